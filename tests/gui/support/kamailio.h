// A Kamailio registrar and proxy on 127.0.0.1 for the GUI tests: REGISTER
// with Digest (one password for every user), location lookup, stateful
// relaying with record-routing. Started in the test's network namespace on
// a free port, stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <QTemporaryDir>
#include <string>

namespace qv::test {

class TKamailio {
public:
  explicit TKamailio(const std::string& password = "pw");
  ~TKamailio();

  static bool Installed();
  bool Running() const { return pid_ > 0; }
  int Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Log() const;  // what it wrote on stderr

private:
  bool WaitReady(int timeoutMs);

  QTemporaryDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace qv::test
