// coturn as a plain STUN server on a free UDP port of 127.0.0.1 (see
// peer_process.h for the common rules). An account names it as its STUN
// server with Address() ("127.0.0.1:port").
#pragma once

#include <memory>
#include <string>

#include "support/peer_process.h"

namespace qv::test {

class TCoturn {
public:
  // Starts turnserver in STUN-only mode and returns once it answers a binding
  // request (raises after 10 s).
  explicit TCoturn(const TPeerDir& dir);

  int Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  TPeerProcess& Process() { return *process_; }

private:
  int port_ = 0;
  std::unique_ptr<TPeerProcess> process_;
};

}  // namespace qv::test
