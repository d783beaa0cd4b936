// sipp running one scenario against our user agent (see peer_process.h for
// the common rules).
//
//   TSipp uas(dir, "uas_register.xml", {.Calls = 1});           // waits for us
//   TSipp uac(dir, "uac_bye.xml", {.Remote = "127.0.0.1:5075"});  // calls us
//   EXPECT_EQ(uac.Wait(20000), 0);  // sipp's exit code: 0 = every call passed
//
// Scenarios are looked up in tests/interop/sipp/ unless the name holds a "/".
// Every run traces its messages (Messages()) and errors (Errors()) into the
// TPeerDir. sipp's own -timeout ends a run that hangs; Wait() also gives up
// after its limit (and then kills sipp), returning -1.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/peer_process.h"

namespace qv::test {

struct TSippOptions {
  std::string Remote;                 // "host:port" to call; empty for a scenario that waits
  int LocalPort = 0;                  // 0: a free port
  int Calls = 1;                      // -m
  int TimeoutSeconds = 30;            // sipp's global -timeout
  std::vector<std::string> Extra;     // more arguments, e.g. {"-s", "alice", "-key", "k", "v"}
};

class TSipp {
public:
  TSipp(const TPeerDir& dir, const std::string& scenario, const TSippOptions& options);

  int Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // sipp's exit code once it ended within `timeoutMs`, -1 otherwise.
  int Wait(int timeoutMs) { return process_->Wait(timeoutMs); }
  bool Running() { return process_->Running(); }
  std::string Messages() const { return ReadTextFile(messages_); }
  std::string Errors() const { return ReadTextFile(errors_); }
  std::string Screen() const { return process_->Log(); }
  // For a failed run: errors, then the message trace.
  std::string Report() const;
  TPeerProcess& Process() { return *process_; }

private:
  int port_ = 0;
  std::string messages_, errors_;
  std::unique_ptr<TPeerProcess> process_;
};

}  // namespace qv::test
