// Every request and response the builders produce must parse in an independent
// SIP stack, and read back there with the identifiers we put in.
#include <gtest/gtest.h>
#include <osipparser2/osip_parser.h>

#include <string>
#include <vector>

#include "dialogs/siprequests.h"
#include "sip/sipmessage.h"
#include "support/sipfixtures.h"

namespace qv::test {
namespace {

struct TExpected {
  std::string Name;
  std::string Text;
  std::string CallId;  // empty: the fresh one in Text
  std::string CSeq;
  std::string Method;  // of the CSeq header
  std::string FromTag;
  std::string ToUri;
};

std::string Owned(char* text) {
  std::string out = text ? text : "";
  osip_free(text);
  return out;
}

std::string HeaderValue(const std::string& text, const std::string& name) {
  size_t at = text.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  at += name.size() + 4;
  return text.substr(at, text.find("\r\n", at) - at);
}

class OsipReadsBack : public ::testing::Test {
protected:
  static void SetUpTestSuite() { parser_init(); }

  void Check(const TExpected& e) {
    SCOPED_TRACE(e.Name);
    osip_message_t* sip = nullptr;
    ASSERT_EQ(osip_message_init(&sip), 0);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int rc = osip_message_parse(sip, e.Text.data(), e.Text.size());
    std::string noise = ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0) << e.Text;
    EXPECT_EQ(noise.find("ERROR"), std::string::npos) << noise;
    if (rc == 0) {
      char* text = nullptr;
      ASSERT_NE(osip_message_get_call_id(sip), nullptr);
      osip_call_id_to_str(osip_message_get_call_id(sip), &text);
      EXPECT_EQ(Owned(text), e.CallId.empty() ? HeaderValue(e.Text, "Call-ID") : e.CallId);

      ASSERT_NE(osip_message_get_cseq(sip), nullptr);
      EXPECT_STREQ(osip_cseq_get_number(osip_message_get_cseq(sip)), e.CSeq.c_str());
      EXPECT_STREQ(osip_cseq_get_method(osip_message_get_cseq(sip)), e.Method.c_str());

      osip_generic_param_t* tag = nullptr;
      ASSERT_NE(osip_message_get_from(sip), nullptr);
      ASSERT_EQ(osip_from_get_tag(osip_message_get_from(sip), &tag), 0);
      EXPECT_STREQ(tag->gvalue, e.FromTag.c_str());

      ASSERT_NE(osip_message_get_to(sip), nullptr);
      osip_uri_to_str(osip_to_get_url(osip_message_get_to(sip)), &text);
      EXPECT_EQ(Owned(text), e.ToUri);

      // Content-Length as written, and equal to the body osip found.
      std::string body = e.Text.substr(e.Text.find("\r\n\r\n") + 4);
      ASSERT_NE(osip_message_get_content_length(sip), nullptr);
      EXPECT_EQ(std::string(osip_message_get_content_length(sip)->value), std::to_string(body.size()));
      osip_body_t* parsed = nullptr;
      if (!body.empty()) {
        ASSERT_GE(osip_message_get_body(sip, 0, &parsed), 0);
        EXPECT_EQ(std::string(parsed->body, parsed->length), body);
      }
    }
    osip_message_free(sip);
  }

  std::shared_ptr<TFakeEngine> engine = std::make_shared<TFakeEngine>();
  std::shared_ptr<TAccount> account = MakeAccount();
  std::shared_ptr<TCall> outgoing = MakeOutgoingCall(engine, account);
  std::shared_ptr<TCall> incoming = MakeIncomingCall(engine, account);
};

TEST_F(OsipReadsBack, AccountRequests) {
  account->SetDisplayName("Ann Lee");
  account->SetPublicAddress("203.0.113.7");
  account->SetChallenge({"407", "voip", "4b1e3f5a", "auth", ""});
  account->SetMessageText("Hello there\r\n");
  const std::string reg = "0F2B9C4D1E7A4B6C8D3E5F7091A2B3C4";
  const std::string self = "sip:1001@pbx.example.org";
  std::vector<TExpected> cases = {
      {"REGISTER", BuildRegister(*account), reg, "7", "REGISTER", "8F3A1C2B7", self},
      {"REGISTER auth", BuildRegisterAuth(*account), reg, "7", "REGISTER", "8F3A1C2B7", self},
      {"un-REGISTER", BuildUnregister(*account), reg, "7", "REGISTER", "8F3A1C2B7", self},
      {"un-REGISTER auth", BuildUnregisterAuth(*account), reg, "7", "REGISTER", "8F3A1C2B7", self},
      {"MESSAGE", BuildMessage(*account, "1003", "se\xc3\xb1or\r\n"), "", "7", "MESSAGE", "8F3A1C2B7",
       "sip:1003@pbx.example.org"},
      {"MESSAGE auth", BuildMessageAuth(TSipMessage(kMessage407), *account, "1003"),
       "E1D2C3B4A5F60718293A4B5C6D7E8F90", "7", "MESSAGE", "8F3A1C2B7", "sip:1003@pbx.example.org"},
  };
  for (const TExpected& e : cases) Check(e);
}

TEST_F(OsipReadsBack, CallRequests) {
  outgoing->SetChallenge({"401", "voip", "6a7b8c9d", "auth-int", ""});
  const std::string out = "5D1C2B3A4F5E6D7C8B9A0F1E2D3C4B5A";
  const std::string in = "3c26700c5b8e-kf9pw1x@192.168.1.30";
  const std::string bob = "sip:1002@pbx.example.org";
  const std::string invite = BuildInvite(*outgoing, "0 8 3");
  outgoing->SetMediaDirection("sendonly");
  std::vector<TExpected> cases = {
      {"INVITE", invite, out, "21", "INVITE", "A1B2C3D4E", bob},
      {"INVITE on hold", BuildInvite(*outgoing, ""), out, "21", "INVITE", "A1B2C3D4E", bob},
      {"INVITE auth", BuildInviteAuth(*outgoing, "0 8 3"), out, "21", "INVITE", "A1B2C3D4E", bob},
      {"INFO", BuildInfoDtmf(*incoming, "#"), in, "22", "INFO", "77E1D2C3B", bob},
      {"CANCEL", BuildCancel(*outgoing), out, "21", "CANCEL", "A1B2C3D4E", bob},
      {"REFER", BuildRefer(*outgoing, "1003"), out, "21", "REFER", "A1B2C3D4E", bob},
      {"REFER auth", BuildReferAuth(*outgoing, "1003"), out, "21", "REFER", "A1B2C3D4E", bob},
      {"BYE", BuildBye(*incoming), in, "22", "BYE", "77E1D2C3B", bob},
      {"ACK 2xx", BuildAck(*outgoing, TSipMessage(kInvite200)), out, "21", "ACK", "A1B2C3D4E", bob},
      {"ACK non-2xx", BuildAckFromResponse(TSipMessage(kInvite486)), out, "21", "ACK", "A1B2C3D4E",
       "sip:1002@pbx.example.org:5060"},
  };
  for (const TExpected& e : cases) Check(e);
}

TEST_F(OsipReadsBack, Responses) {
  incoming->SetCodec(std::make_shared<TFakeCodec>(0));
  const std::string in = "3c26700c5b8e-kf9pw1x@192.168.1.30";
  const std::string me = "sip:1001@pbx.example.org";
  std::vector<TExpected> cases = {
      {"200 with SDP", BuildInviteOk(*incoming), in, "102", "INVITE", "b85f3e2a1b", me},
      {"302", BuildRedirect(*incoming, "1003"), in, "102", "INVITE", "b85f3e2a1b", me},
      {"486", BuildInviteResponse(*incoming, "486 Busy here"), in, "102", "INVITE", "b85f3e2a1b", me},
      {"100", BuildResponse(TSipMessage(kIncomingInvite), "100 Trying"), in, "102", "INVITE",
       "b85f3e2a1b", me},
      {"200 INFO", BuildOk(TSipMessage(kIncomingInfo)), in, "103", "INFO", "b85f3e2a1b", me},
      {"200 OPTIONS", BuildOptionsOk(TSipMessage(kOptions)), "7a1b2c3d4e5f@192.168.1.1", "102",
       "OPTIONS", "b812ab34cd", "sip:1001@192.168.1.20:5075"},
      {"488", BuildNotAcceptable(TSipMessage(kIncomingInvite)), in, "102", "INVITE", "b85f3e2a1b", me},
  };
  for (const TExpected& e : cases) Check(e);
}

}  // namespace
}  // namespace qv::test
