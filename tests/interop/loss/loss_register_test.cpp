// A registration kept alive through a lossy network: Kamailio grants 20 s at
// most, 10 % of the datagrams to and from quorvelle-cli are lost, and for
// 150 s its Contact must be in Kamailio's location table at every reading,
// one a second, with time left on it.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "interop/loss/loss_support.h"
#include "support/cliprocess.h"
#include "support/peer_kamailio.h"

namespace qv::test {
namespace {

// The seconds left on `contact` in Kamailio's location table; -1 when it is
// not listed (or listed as expired).
int SecondsLeft(const std::string& kamcmd, const std::string& socket, const std::string& contact) {
  std::string command = kamcmd + " -s " + socket + " ul.dump 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  size_t at = out.find("Address: " + contact);
  if (at == std::string::npos) return -1;
  size_t expires = out.find("Expires: ", at);
  if (expires == std::string::npos) return -1;
  std::string value = out.substr(expires + 9, out.find('\n', expires) - expires - 9);
  return value.empty() || !isdigit(static_cast<unsigned char>(value[0])) ? -1 : std::stoi(value);
}

TEST(LossTest, RegistrationStaysInTheLocationTable) {
  std::string kamcmd = RequireProgram("kamcmd", "kamailio");
  TPeerDir dir;
  std::string socket = "unix:" + dir.File("kamailio.ctl");
  TKamailio kamailio(dir, {{"alice", "alicepw"}}, false, 0, {"MAX_EXPIRES=20", "CTL_SOCKET=\"" + socket + "\""});
  int port = FreeUdpPort();
  DropAtRandom(port, 10);
  int rtp = FreeRtpBase();
  TChildProcess cli(CliPath(),
                    {"--server", kamailio.Address(), "--user", "alice", "--password", "alicepw", "--local-port",
                     std::to_string(port), "--rtp-min", std::to_string(rtp), "--rtp-max", std::to_string(rtp + 40),
                     "--audio", "virtual"},
                    true);
  ASSERT_GE(cli.WaitLine("event registered", 30000), 0) << cli.Out() << cli.Err() << kamailio.Process().LogTail();
  const std::string contact = "sip:alice@127.0.0.1:" + std::to_string(port);
  int readings = 0, missing = 0, least = 1000;
  auto next = std::chrono::steady_clock::now();
  for (int second = 0; second < 150; ++second) {
    next += std::chrono::seconds(1);
    std::this_thread::sleep_until(next);
    int left = SecondsLeft(kamcmd, socket, contact);
    ++readings;
    if (left < 0) {
      ++missing;
      ADD_FAILURE() << "not in the location table after " << second + 1 << " s";
    } else if (left < least) {
      least = left;
    }
  }
  std::string log = kamailio.Process().Log();
  int registers = 0;
  for (size_t at = log.find("REQ REGISTER"); at != std::string::npos; at = log.find("REQ REGISTER", at + 1)) ++registers;
  std::printf("150 s at 10 %% loss, 20 s granted: %d readings, %d without our Contact, at least %d s left; "
              "Kamailio saw %d REGISTERs\n",
              readings, missing, least, registers);
  EXPECT_EQ(missing, 0);
  for (const std::string& line : cli.OutLines()) EXPECT_NE(line.rfind("event registration-ended", 0), 0u) << line;
  cli.Write("quit\n");
  EXPECT_EQ(cli.Wait(20000), 0);
}

}  // namespace
}  // namespace qv::test
