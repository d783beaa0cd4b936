// Incoming requests from a scripted peer: calls answered, refused, cancelled,
// redirected and re-INVITEd, OPTIONS, MESSAGE and DTMF by INFO.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "support/engine_fixture.h"

using namespace qv;
using namespace qv::test;

namespace {

using IncomingTest = EngineTest;

TEST_F(IncomingTest, AnsweredThenEndedByThePeer) {
  std::string invite = IncomingInvite("in-1@127.0.0.1", 5);
  ToEngine(invite);
  std::string trying = peer.Expect("SIP/2.0 100 Trying");
  EXPECT_EQ(Header(trying, "CSeq"), "5 INVITE");
  EXPECT_EQ(Header(trying, "Via"), Header(invite, "Via"));
  std::string ringing = peer.Expect("SIP/2.0 180 Ringing");
  EXPECT_EQ(Header(ringing, "Call-ID"), "in-1@127.0.0.1");
  auto event = events->WaitFor(MsgIncomingCall);
  ASSERT_TRUE(event);
  auto call = std::dynamic_pointer_cast<ISipCall>(event->Obj);
  ASSERT_TRUE(call);
  EXPECT_TRUE(call->GetIncoming());
  EXPECT_EQ(call->GetCallId(), "in-1@127.0.0.1");
  EXPECT_EQ(call->GetRemoteUser(), "bob");
  EXPECT_EQ(call->GetRemoteRtpPort(), 40000);
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 0);
  call->SetState(csRinging);

  engine->Answer(call);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "CSeq"), "5 INVITE");
  EXPECT_EQ(Header(ok, "To"), "<sip:alice@127.0.0.1>;tag=" + call->GetLocalTag());
  EXPECT_NE(Body(ok).find("m=audio " + std::to_string(call->GetLocalRtpPort()) + " RTP/AVP 0 101\r\n"),
            std::string::npos);
  EXPECT_NE(Body(ok).find("c=IN IP4 127.0.0.1\r\n"), std::string::npos);
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetMediaActive());

  ToEngine(InDialogRequest(invite, "ACK", 5));  // nothing to answer
  peer.Quiet(100);
  ToEngine(InDialogRequest(invite, "BYE", 6));
  std::string byeOk = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(byeOk, "CSeq"), "6 BYE");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_EQ(call->GetEndStatus(), "");
  EXPECT_FALSE(call->GetMediaActive());
  EXPECT_EQ(engine->Calls().Count(), 0);
}

TEST_F(IncomingTest, BusyAnswer) {
  ISipCallPtr call = RingIncoming(IncomingInvite("in-busy"));
  ASSERT_TRUE(call);
  engine->Busy(call);
  std::string busy = peer.Expect("SIP/2.0 486 Busy here");
  EXPECT_NE(Header(busy, "To").find(";tag=" + call->GetLocalTag()), std::string::npos);
  EXPECT_EQ(Header(busy, "CSeq"), "1 INVITE");
}

TEST_F(IncomingTest, CodecChoice) {
  // Nothing we know: 488 and no call.
  ToEngine(IncomingInvite("in-488", 1, Sdp(40000, "18 97")));
  std::string refused = peer.Expect("SIP/2.0 488 Not Acceptable Here");
  EXPECT_EQ(Header(refused, "Call-ID"), "in-488");
  events->Pump(100);
  EXPECT_EQ(events->Count(MsgIncomingCall), 0);
  EXPECT_EQ(engine->Calls().Count(), 0);
  // Our order decides among what is offered.
  ISipCallPtr call = RingIncoming(IncomingInvite("in-gsm", 1, Sdp(40000, "97 3 8")));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), 8);
  // No offer at all: the first of our list.
  ISipCallPtr bare = RingIncoming(IncomingInvite("in-bare", 1, ""));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->GetCodec()->GetPayloadType(), 0);
}

std::string OfferSdp(const std::string& mediaLines) {
  return "v=0\r\no=- 42 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + mediaLines;
}

// RFC 3264 6.1: the answer repeats the offer's numbers, telephone-event
// included, and offers none when none was offered; what a number means is
// what the offer's a=rtpmap says, not what it means in our own offers.
TEST_F(IncomingTest, AnswerTakesTheOffersPayloadNumbers) {
  engine->SetCodecs({110, 8, 0});
  const bool speex = engine->CodecCount() == 3;
  ISipCallPtr call = RingIncoming(IncomingInvite("in-96", 1, OfferSdp(
      "m=audio 40000 RTP/AVP 110 97 8 96\r\n"
      "a=rtpmap:110 opus/48000/2\r\n"
      "a=rtpmap:97 speex/8000\r\n"
      "a=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:96 telephone-event/8000\r\n"
      "a=fmtp:96 0-16\r\n"
      "a=ptime:30\r\n")));
  ASSERT_TRUE(call);
  TRtpPayloadMap map = call->GetPayloadMap();
  EXPECT_EQ(map.SendEventType, 96);
  EXPECT_EQ(map.Received[96], TRtpPayloadMap::kEvent);
  EXPECT_EQ(map.Received[101], TRtpPayloadMap::kEvent) << "ours still counts";
  EXPECT_EQ(map.Received[110], 111) << "Opus (not offered by us, but ours), not Speex";
  engine->Answer(call);
  std::string answer = Body(peer.Expect("SIP/2.0 200 OK"));
  const std::string port = std::to_string(call->GetLocalRtpPort());
  if (speex) {
    EXPECT_EQ(call->GetCodec()->GetPayloadType(), 110);
    EXPECT_EQ(map.SendAudioType, 97);
    EXPECT_EQ(map.SendPacketMs, 20) << "Speex goes one frame to a packet";
    EXPECT_NE(answer.find("m=audio " + port + " RTP/AVP 97 96\r\n"
                          "a=rtpmap:97 speex/8000\r\n"
                          "a=rtpmap:96 telephone-event/8000\r\n"
                          "a=fmtp:96 0-16\r\n"
                          "a=sendrecv\r\n"), std::string::npos) << answer;
  } else {
    EXPECT_EQ(call->GetCodec()->GetPayloadType(), 8);
    EXPECT_EQ(map.SendPacketMs, 30);
    EXPECT_NE(answer.find("m=audio " + port + " RTP/AVP 8 96\r\na=rtpmap:96 telephone-event/8000\r\n"),
              std::string::npos) << answer;
  }

  // No telephone-event offered: none answered, digits will go in band.
  ISipCallPtr plain = RingIncoming(IncomingInvite("in-plain", 1, OfferSdp("m=audio 40002 RTP/AVP 0\r\n")));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->GetPayloadMap().SendEventType, -1);
  engine->Answer(plain);
  std::string plainAnswer = Body(peer.Expect("SIP/2.0 200 OK"));
  EXPECT_NE(plainAnswer.find(" RTP/AVP 0\r\na=sendrecv\r\n"), std::string::npos) << plainAnswer;
  EXPECT_EQ(plainAnswer.find("telephone-event"), std::string::npos);
}

// RFC 3264 8.2: a re-offer that puts port 0 on the audio stream takes it
// away: the media stop and the answer refuses the stream with port 0 too. A
// later offer with a port brings them back.
TEST_F(IncomingTest, ReOfferWithPortZeroStopsTheMedia) {
  std::string invite = IncomingInvite("in-port0", 1);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  ASSERT_TRUE(call->GetMediaActive());
  ToEngine(InDialogRequest(invite, "INVITE", 2, "", OfferSdp("m=audio 0 RTP/AVP 0\r\n"), "application/sdp"));
  std::string refused = Body(peer.Expect("SIP/2.0 200 OK"));
  EXPECT_NE(refused.find("m=audio 0 RTP/AVP 0"), std::string::npos) << refused;
  EXPECT_FALSE(call->GetMediaActive());
  EXPECT_EQ(call->GetState(), csConnected) << "the call itself goes on";
  ToEngine(InDialogRequest(invite, "INVITE", 3, "", Sdp(40004, "0"), "application/sdp"));
  std::string back = Body(peer.Expect("SIP/2.0 200 OK"));
  EXPECT_NE(back.find("m=audio " + std::to_string(call->GetLocalRtpPort()) + " RTP/AVP 0 101"), std::string::npos);
  EXPECT_TRUE(call->GetMediaActive());
}

TEST_F(IncomingTest, IgnoredInvites) {
  // No user part in the Request-URI.
  ToEngine(IncomingInvite("in-nouser", 1, Sdp(40000), "sip:127.0.0.1"));
  peer.Quiet();
  // A repeated INVITE of a ringing call: its transaction answers with the
  // last response again; the dispatcher never sees it.
  std::string invite = IncomingInvite("in-repeat");
  ISipCallPtr call = RingIncoming(invite);
  ToEngine(invite);
  peer.Expect("SIP/2.0 180 Ringing");
  peer.Quiet();
  events->Pump();
  EXPECT_EQ(events->Count(MsgIncomingCall), 0);
  EXPECT_EQ(engine->Calls().Count(), 1);
  EXPECT_EQ(call->GetState(), csRinging);
}

TEST_F(IncomingTest, CancelWhileRinging) {
  std::string invite = IncomingInvite("in-cancel", 3);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  std::string cancel = InDialogRequest(invite, "CANCEL", 3);  // the INVITE's branch
  ToEngine(cancel);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "CSeq"), "3 CANCEL");
  std::string terminated = peer.Expect("SIP/2.0 487 Request terminated");
  EXPECT_EQ(Header(terminated, "CSeq"), "3 INVITE");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_EQ(engine->Calls().Count(), 0);
  ToEngine(InDialogRequest(invite, "ACK", 3));
  peer.Quiet(100);
}

// A CANCEL that crossed our 200 finds nothing to cancel: answered, the call
// goes on.
TEST_F(IncomingTest, CancelAfterTheAnswer) {
  std::string invite = IncomingInvite("in-late-cancel", 4);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  ToEngine(InDialogRequest(invite, "CANCEL", 4));
  EXPECT_EQ(Header(peer.Expect("SIP/2.0 200 OK"), "CSeq"), "4 CANCEL");
  peer.Quiet(150);  // no 487
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetMediaActive());
  EXPECT_EQ(engine->Calls().Count(), 1);
}

TEST_F(IncomingTest, ReInviteFromThePeer) {
  std::string invite = IncomingInvite("in-reinvite", 1);
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  int version = call->GetSdpVersion();

  std::string sdp = Sdp(40002, "8");
  ToEngine(InDialogRequest(invite, "INVITE", 2, "", sdp, "application/sdp"));
  std::string ok2 = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok2, "CSeq"), "2 INVITE");
  EXPECT_EQ(Header(ok2, "To"), Header(ok, "To"));  // our tag, once
  EXPECT_NE(Body(ok2).find("RTP/AVP 8 101"), std::string::npos) << Body(ok2);
  EXPECT_NE(Body(ok2).find(" " + std::to_string(version + 1) + " IN IP4"), std::string::npos);
  EXPECT_EQ(call->GetRemoteRtpPort(), 40002);
  EXPECT_EQ(call->GetState(), csConnected);
  EXPECT_TRUE(call->GetMediaActive());
}

TEST_F(IncomingTest, OptionsAndMessage) {
  std::string port = std::to_string(peer.Port());
  std::string options = "OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\n"
                        "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bKopt\r\n"
                        "From: <sip:bob@127.0.0.1>;tag=o1\r\nTo: <sip:alice@127.0.0.1>\r\n"
                        "Call-ID: opt-1\r\nCSeq: 9 OPTIONS\r\nContent-Length: 0\r\n\r\n";
  ToEngine(options);
  std::string ok = peer.Expect("SIP/2.0 200 OK");
  EXPECT_EQ(Header(ok, "Accept"), "application/sdp");
  EXPECT_EQ(Header(ok, "Allow"), "INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE");
  EXPECT_EQ(Header(ok, "CSeq"), "9 OPTIONS");

  std::string message = "MESSAGE sip:alice@127.0.0.1 SIP/2.0\r\n"
                        "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bKmsg\r\n"
                        "From: <sip:bob@127.0.0.1>;tag=m1\r\nTo: <sip:alice@127.0.0.1>\r\n"
                        "Call-ID: msg-1\r\nCSeq: 4 MESSAGE\r\nContent-Type: text/plain\r\n"
                        "Content-Length: 4\r\n\r\nhola";
  ToEngine(message);
  EXPECT_EQ(Header(peer.Expect("SIP/2.0 200 OK"), "CSeq"), "4 MESSAGE");
}

TEST_F(IncomingTest, DtmfByInfoNeedsARegisteredAccount) {
  std::string invite = IncomingInvite("in-info");
  ISipCallPtr call = RingIncoming(invite);
  ASSERT_TRUE(call);
  engine->Answer(call);
  peer.Expect("SIP/2.0 200 OK");
  auto info = [&](int cseq, const std::string& signal) {
    return InDialogRequest(invite, "INFO", cseq, "", "Signal= " + signal + "\r\nDuration= 160\r\n",
                           "application/dtmf-relay");
  };
  ToEngine(info(2, "11"));  // not registered: neither answered nor reported
  peer.Quiet();
  events->Pump();
  EXPECT_EQ(events->Count(MsgDtmf), 0);

  RegisterAccount();
  ToEngine(info(3, "11"));
  EXPECT_EQ(Header(peer.Expect("SIP/2.0 200 OK"), "CSeq"), "3 INFO");
  auto dtmf = events->WaitFor(MsgDtmf);
  ASSERT_TRUE(dtmf);
  EXPECT_EQ(dtmf->WParam, uintptr_t('#'));
  EXPECT_EQ(dtmf->Obj, call);
  ToEngine(info(4, "7"));
  peer.Expect("SIP/2.0 200 OK");
  dtmf = events->WaitFor(MsgDtmf);
  ASSERT_TRUE(dtmf);
  EXPECT_EQ(dtmf->WParam, uintptr_t('7'));
  ToEngine(info(5, "16"));  // no such key: answered, not reported
  peer.Expect("SIP/2.0 200 OK");
  events->Pump(100);
  EXPECT_EQ(events->Count(MsgDtmf), 0);
}

TEST_F(IncomingTest, RedirectOfARingingCall) {
  ISipCallPtr call = RingIncoming(IncomingInvite("in-302"));
  ASSERT_TRUE(call);
  engine->Transfer(call, "carol");
  std::string moved = peer.Expect("SIP/2.0 302 Moved Temporarily");
  EXPECT_EQ(Header(moved, "Contact"), "<sip:carol@127.0.0.1>");
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetState(), csIdle);
  EXPECT_EQ(engine->Calls().Count(), 0);
}

TEST_F(IncomingTest, WithoutWindowTheCallIsRefused) {
  UseEngineWithoutWindow();
  ToEngine(IncomingInvite("in-nowindow"));
  peer.Expect("SIP/2.0 100 Trying");
  peer.Expect("SIP/2.0 180 Ringing");
  peer.Expect("SIP/2.0 486 Busy here");
  EXPECT_EQ(engine->Calls().Count(), 0);
}

TEST_F(IncomingTest, UnansweredCallTimesOut) {
  ISipCallPtr call = RingIncoming(IncomingInvite("in-timeout"));
  ASSERT_TRUE(call);
  AdvanceClock(121'000);
  engine->Tick();
  ASSERT_TRUE(CallEnded());
  EXPECT_EQ(call->GetEndStatus(), "408");
  EXPECT_EQ(engine->Calls().Count(), 0);
  // The caller stops ringing: a final answer, repeated until acknowledged.
  std::string refusal = peer.Expect("SIP/2.0 480 Temporarily Unavailable");
  EXPECT_EQ(Header(refusal, "CSeq"), "1 INVITE");
  AdvanceClock(500);
  peer.Expect("SIP/2.0 480 ");
}

}  // namespace
