// Kamailio as registrar and proxy with Digest authentication, on a free UDP
// port of 127.0.0.1 (see peer_process.h for the common rules).
//
//   TPeerDir dir;
//   TKamailio kamailio(dir, {{"alice", "alicepw"}, {"bob", "bobpw"}});
//   account = engine->AddAccount("", kamailio.Address(), "alice", "alicepw", "");
//
// REGISTER is challenged with 401 and checked against the users given here
// (domain 127.0.0.1); initial INVITE, MESSAGE and REFER from those users are
// challenged with 407 and then relayed to the callee's registered Contact;
// requests inside a dialog follow Record-Route. The configuration is
// tests/interop/kamailio.cfg.in with the port filled in.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/peer_process.h"

namespace qv::test {

struct TSipUser {
  std::string Name;
  std::string Password;
};

class TKamailio {
public:
  // Starts Kamailio and returns once it answers on its port (raises when it
  // does not within 10 s, with the tail of its log). `qop` adds qop="auth" to
  // the challenges. `port` 0 takes a free one; 5060 serves a domain whose
  // URIs carry no port (a Refer-To, a call to user@127.0.0.1), which only a
  // test in its own network namespace may take.
  // `defines` are more "-A" arguments: "MAX_EXPIRES=20" caps what the
  // registrar grants, "CTL_SOCKET=\"unix:PATH\"" opens the control socket
  // that kamcmd reads the location table through; "WITH_IPV6" makes it
  // listen on [::1] at the same port too.
  TKamailio(const TPeerDir& dir, const std::vector<TSipUser>& users, bool qop = false, int port = 0,
            const std::vector<std::string>& defines = {});

  int Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Ipv6Address() const { return "[::1]:" + std::to_string(port_); }
  TPeerProcess& Process() { return *process_; }

private:
  int port_ = 0;
  std::unique_ptr<TPeerProcess> process_;
};

// Sends an OPTIONS without a user part to 127.0.0.1:`port` until something
// answers; false after `timeoutMs`.
bool SipPortAnswers(int port, int timeoutMs);

}  // namespace qv::test
