#include "interop/loss/loss_support.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/peer_process.h"

namespace qv::test {

namespace {

// The network this process sees has nothing but loopback: the namespace the
// interop tests run in (run_in_netns.sh), never a machine's own network.
bool InPrivateNetwork() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool onlyLoopback = true;
  for (ifaddrs* i = list; i; i = i->ifa_next)
    if (!(i->ifa_flags & IFF_LOOPBACK)) onlyLoopback = false;
  freeifaddrs(list);
  return onlyLoopback;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, separator)) out.push_back(field);
  return out;
}

}  // namespace

void DropAtRandom(int port, int percent) {
  std::string iptables = RequireProgram("iptables", "iptables");
  if (!InPrivateNetwork())
    throw std::runtime_error("refusing to change the firewall outside the test's own network namespace");
  std::string probability = "0." + std::string(percent < 10 ? "0" : "") + std::to_string(percent);
  // Both directions are dropped where they arrive (INPUT): dropped on the
  // way out (OUTPUT), a datagram would fail its sender's sendto() with
  // EPERM, which no real network does.
  for (const std::string rule : {"INPUT -p udp --dport ", "INPUT -p udp --sport "}) {
    std::string command = iptables + " -A " + rule + std::to_string(port) +
                          " -m statistic --mode random --probability " + probability + " -j DROP";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }
}

TSippCounts ReadSippCounts(const std::string& statFile) {
  std::stringstream in(ReadTextFile(statFile));
  std::string header, line, last;
  std::getline(in, header);
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  std::vector<std::string> names = Split(header, ';'), values = Split(last, ';');
  TSippCounts counts;
  for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
    if (names[i] == "SuccessfulCall(C)") counts.Successful = std::atoi(values[i].c_str());
    if (names[i] == "FailedCall(C)") counts.Failed = std::atoi(values[i].c_str());
  }
  return counts;
}

}  // namespace qv::test
