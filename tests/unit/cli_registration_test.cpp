// quorvelle-cli's registration events, in process against a hand-driven
// registrar on loopback: the end of a registration says why it ended.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/phone.h"
#include "platform/audiodevice.h"
#include "platform/clock.h"
#include "support/streampeer.h"
#include "support/testcerts.h"
#include "support/udppeer.h"

namespace qv::cli {
namespace {

using test::Header;
using test::Respond;
using test::TUdpPeer;

class CliRegistration : public ::testing::Test {
protected:
  void SetUp() override {
    SelectAudioBackend("virtual");
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    output_ = std::make_unique<TOutput>(out_, err_);
    options_ = ParseOptions({"--server", "127.0.0.1:" + std::to_string(registrar_.Port()), "--user", "alice",
                             "--local-port", "0"});
    phone_ = std::make_unique<TCliPhone>(options_, *output_);
  }
  void TearDown() override {
    phone_.reset();
    std::fclose(out_);
    std::fclose(err_);
  }

  // Everything printed on standard output so far.
  std::string Out() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, out_)) text.append(buffer, n);
    return text;
  }
  bool Printed(const std::string& line) {
    for (int i = 0; i < 50; ++i) {
      if (Out().find(line + "\n") != std::string::npos) return true;
      phone_->Pump(100);
    }
    return false;
  }
  // Answers the newest REGISTER with `status` (older ones may still be
  // repeated by their transactions); nothing for "".
  void Answer(const std::string& status) {
    std::string request = registrar_.Expect("REGISTER ");
    while (std::optional<std::string> more = registrar_.Receive(100))
      if (test::CSeqNumber(*more) > test::CSeqNumber(request)) request = *more;
    std::string via = Header(request, "Via");
    int port = std::stoi(via.substr(via.find(':', via.find(' ')) + 1));
    if (!status.empty()) registrar_.Send(Respond(request, status, "reg-tag"), port);
  }

  TUdpPeer registrar_;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  std::unique_ptr<TOutput> output_;
  TCliOptions options_;
  std::unique_ptr<TCliPhone> phone_;
};

TEST_F(CliRegistration, EndsSayWhy) {
  phone_->Start();
  Answer("403 Forbidden");
  EXPECT_TRUE(Printed("event registration-ended reason=refused status=403")) << Out();

  // The engine's 20 s time-out, without waiting for it: its monotonic clock
  // is moved.
  phone_->Execute("register");
  Answer("");
  AdvanceClockForTests(21000);
  EXPECT_TRUE(Printed("event registration-ended reason=no-answer")) << Out();

  phone_->Execute("register");
  Answer("200 OK");
  EXPECT_TRUE(Printed("event registered")) << Out();
  phone_->Execute("unregister");
  Answer("200 OK");
  EXPECT_TRUE(Printed("event registration-ended reason=unregistered")) << Out();
}

// Over TLS, a server whose certificate names another host: the tool says
// the registration ended as insecure, with the reason, and registers
// nothing there.
TEST(CliRegistrationTls, ACertificateForAnotherHostEndsAsInsecureWithTheReason) {
  SelectAudioBackend("virtual");
  std::string dir = ::testing::TempDir() + "cli-tls-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  test::TTestCa ca = test::MakeTestCa(dir, "cli");
  test::TStreamPeer server(test::MakeServerCert(ca, dir, "elsewhere", {"pbx.elsewhere.test"}));
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  {
    TOutput output(out, err);
    TCliPhone phone(ParseOptions({"--server", "127.0.0.1:" + std::to_string(server.Port()), "--user", "alice",
                                  "--local-port", "0", "--transport", "tls", "--ca-file", ca.CertFile}),
                    output);
    phone.Start();
    std::string text;
    for (int i = 0; i < 50 && text.find("event registration-ended") == std::string::npos; ++i) {
      phone.Pump(100);
      std::fflush(out);
      std::rewind(out);
      text.clear();
      char buffer[4096];
      while (size_t n = std::fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
    }
    EXPECT_NE(text.find("event registration-ended reason=insecure detail=\"TLS: the certificate of 127.0.0.1 "
                        "was refused: it is not made out to 127.0.0.1\""),
              std::string::npos)
        << text;
    EXPECT_FALSE(server.Receive(100));
  }
  std::fclose(out);
  std::fclose(err);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv::cli
