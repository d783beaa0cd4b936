#include "support/peer_sipp.h"

#include <stdexcept>

namespace qv::test {

TSipp::TSipp(const TPeerDir& dir, const std::string& scenario, const TSippOptions& options) {
  std::string program = RequireProgram("sipp", "sip-tester");
  port_ = options.LocalPort ? options.LocalPort : FreeUdpPort();
  std::string file = scenario.find('/') == std::string::npos ? InteropDataDir() + "/sipp/" + scenario : scenario;
  std::string name = scenario.substr(scenario.rfind('/') + 1);
  name = name.substr(0, name.find('.')) + "-" + std::to_string(port_);
  messages_ = dir.File(name + ".messages");
  errors_ = dir.File(name + ".errors");
  std::vector<std::string> argv = {program, "-sf", file};
  if (!options.Remote.empty()) argv.push_back(options.Remote);
  for (const std::string& a :
       {std::string("-i"), std::string("127.0.0.1"), std::string("-p"), std::to_string(port_),
        std::string("-m"), std::to_string(options.Calls), std::string("-nostdin"),
        std::string("-timeout"), std::to_string(options.TimeoutSeconds) + "s", std::string("-timeout_error"),
        std::string("-trace_msg"), std::string("-message_file"), messages_,
        std::string("-trace_err"), std::string("-error_file"), errors_})
    argv.push_back(a);
  argv.insert(argv.end(), options.Extra.begin(), options.Extra.end());
  process_ = std::make_unique<TPeerProcess>(argv, dir.File(name + ".screen"), dir.Path());
  // A waiting scenario must be listening before anyone sends to it.
  if (!WaitUdpPortBound(port_, 5000))
    throw std::runtime_error("sipp did not bind port " + std::to_string(port_) + ":\n" + process_->LogTail());
}

std::string TSipp::Report() const {
  return "---- sipp errors ----\n" + Errors() + "---- sipp messages ----\n" + Messages() +
         "---- sipp screen ----\n" + process_->LogTail(30);
}

}  // namespace qv::test
