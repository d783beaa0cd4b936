// Wideband codecs in the SDP exchange, against a scripted peer: what we
// offer (Opus with its a=fmtp, G.722, telephone events at both clocks), what
// we answer to a peer's Opus or G.722, and what the peer's parameters make
// our Opus send.
#include <gtest/gtest.h>

#include "engine/sipengine.h"
#include "media/codecopus.h"
#include "media/codecs.h"
#include "sip/sdp.h"
#include "support/engine_fixture.h"
#include "support/udppeer.h"

using namespace qv;
using namespace qv::test;

namespace {

using WidebandSdp = EngineTest;

std::string ContactOf(const TUdpPeer& peer) {
  return "Contact: <sip:bob@127.0.0.1:" + std::to_string(peer.Port()) + ">\r\n";
}

std::string OfferSdp(const std::string& mediaLines) {
  return "v=0\r\no=- 42 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + mediaLines;
}

TEST_F(WidebandSdp, OfferNamesOpusFirstThenG722WithEventsAtBothClocks) {
  engine->SetCodecs(WidebandCodecs());
  ISipCallPtr call = engine->Invite(account, "bob", -1, -1);
  std::string invite = peer.Expect("INVITE ");
  const std::string offer = Body(invite);
  const std::string speex = SpeexAvailable() ? " 110" : "";
  EXPECT_NE(offer.find(" RTP/AVP 111 9 0 8 3" + speex + " 101 102\r\n"
                       "a=rtpmap:111 opus/48000/2\r\n"
                       "a=fmtp:111 maxplaybackrate=16000;sprop-maxcapturerate=16000;stereo=0;sprop-stereo=0;"
                       "useinbandfec=1\r\n"
                       "a=rtpmap:9 G722/8000\r\n"
                       "a=rtpmap:0 PCMU/8000\r\n"),
            std::string::npos)
      << offer;
  EXPECT_NE(offer.find("a=rtpmap:101 telephone-event/8000\r\n"
                       "a=fmtp:101 0-15\r\n"
                       "a=rtpmap:102 telephone-event/48000\r\n"
                       "a=fmtp:102 0-15\r\n"
                       "a=ptime:20\r\n"),
            std::string::npos)
      << offer;

  // The answer keeps Opus but names telephone events at 8000 Hz only, as
  // many peers do: we receive under our numbers, and send digits under its.
  ToEngine(Respond(invite, "200 OK", "bobtag", ContactOf(peer),
                   "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 41000 RTP/AVP 111 101\r\n"
                   "a=rtpmap:111 opus/48000/2\r\na=fmtp:111 useinbandfec=1; usedtx=1\r\n"
                   "a=rtpmap:101 telephone-event/8000\r\n"));
  ASSERT_TRUE(events->WaitFor(MsgCallAnswered));
  ASSERT_TRUE(call->GetCodec());
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), kCodecOpus);
  auto* opus = dynamic_cast<TCodecOpus*>(call->GetCodec().get());
  ASSERT_TRUE(opus);
  EXPECT_TRUE(opus->Settings().Fec) << "the answer asked for FEC";
  EXPECT_TRUE(opus->Settings().Dtx);
  const TRtpPayloadMap map = call->GetPayloadMap();
  EXPECT_EQ(map.Received[111], kCodecOpus);
  EXPECT_EQ(map.Received[102], TRtpPayloadMap::kEvent);
  EXPECT_EQ(map.SendEventType, 101);
  EXPECT_EQ(map.SendEventClock, 8000);
  engine->HangUp(call);
}

TEST_F(WidebandSdp, AnswerToOpusTakesItsNumberAndItsEventClock) {
  engine->SetCodecs(WidebandCodecs());
  ISipCallPtr call = RingIncoming(IncomingInvite("wb-opus", 1, OfferSdp(
      "m=audio 40000 RTP/AVP 96 9 0 97 101\r\n"
      "a=rtpmap:96 OPUS/48000/2\r\n"
      "a=fmtp:96 maxplaybackrate=16000\r\n"
      "a=rtpmap:97 telephone-event/48000\r\n"
      "a=rtpmap:101 telephone-event/8000\r\n")));
  ASSERT_TRUE(call);
  ASSERT_TRUE(call->GetCodec());
  EXPECT_EQ(call->GetCodec()->GetPayloadType(), kCodecOpus);
  EXPECT_FALSE(dynamic_cast<TCodecOpus&>(*call->GetCodec()).Settings().Fec) << "not asked for";
  const TRtpPayloadMap map = call->GetPayloadMap();
  EXPECT_EQ(map.SendAudioType, 96);
  EXPECT_EQ(map.SendEventType, 97) << "RFC 4733 2.1: the event clock of the audio";
  EXPECT_EQ(map.SendEventClock, 48000);
  EXPECT_EQ(map.Received[96], kCodecOpus);
  EXPECT_EQ(map.Received[9], kCodecG722);
  engine->Answer(call);
  const std::string port = std::to_string(call->GetLocalRtpPort());
  EXPECT_NE(Body(peer.Expect("SIP/2.0 200 OK"))
                .find("m=audio " + port + " RTP/AVP 96 97\r\n"
                      "a=rtpmap:96 opus/48000/2\r\n"
                      "a=fmtp:96 maxplaybackrate=16000;sprop-maxcapturerate=16000;stereo=0;sprop-stereo=0;"
                      "useinbandfec=1\r\n"
                      "a=rtpmap:97 telephone-event/48000\r\n"),
            std::string::npos);
}

TEST_F(WidebandSdp, DeskPhoneG722AndTheNarrowbandListUnchanged) {
  engine->SetCodecs(WidebandCodecs());
  ISipCallPtr desk = RingIncoming(IncomingInvite("wb-g722", 1, OfferSdp(
      "m=audio 40000 RTP/AVP 0 9 101\r\na=rtpmap:101 telephone-event/8000\r\n")));
  ASSERT_TRUE(desk);
  EXPECT_EQ(desk->GetCodec()->GetPayloadType(), kCodecG722) << "ours before the offer's order";
  EXPECT_EQ(desk->GetPayloadMap().SendEventClock, 8000);
  engine->Answer(desk);
  const std::string port = std::to_string(desk->GetLocalRtpPort());
  EXPECT_NE(Body(peer.Expect("SIP/2.0 200 OK"))
                .find("m=audio " + port + " RTP/AVP 9 101\r\na=rtpmap:101 telephone-event/8000\r\n"),
            std::string::npos)
      << "a static number stands without its map";

  // An engine with the list this program always had answers G.711.
  engine->SetCodecs(NarrowbandCodecs());
  ISipCallPtr old = RingIncoming(IncomingInvite("wb-old", 1, OfferSdp(
      "m=audio 40002 RTP/AVP 96 9 0 101\r\na=rtpmap:96 opus/48000/2\r\na=rtpmap:101 telephone-event/8000\r\n")));
  ASSERT_TRUE(old);
  EXPECT_EQ(old->GetCodec()->GetPayloadType(), kCodecPCMU);
}

// What each payload type of an SDP means, where the wideband codecs differ
// from the others: Opus is named with two channels at 48000 Hz, G.722 at the
// 8000 Hz clock RFC 3551 gives it, telephone events at any clock.
TEST(WidebandSdpMeaning, ClocksAndChannelsDecide) {
  TSdpAudio a;
  TSdpAudioReader reader(a);
  for (const char* line :
       {"m=audio 4000 RTP/AVP 96 97 98 99 9 100 101 102", "a=rtpmap:96 opus/48000/2", "a=rtpmap:97 opus/16000/1",
        "a=rtpmap:98 G722/16000", "a=rtpmap:99 g722/8000", "a=rtpmap:100 telephone-event/16000",
        "a=rtpmap:101 telephone-event/8000", "a=rtpmap:102 telephone-event/0"})
    reader.Line(line);
  EXPECT_EQ(a.Meaning(96), kCodecOpus);
  EXPECT_EQ(a.Meaning(97), kSdpUnknown) << "RFC 7587 7: opus/48000/2 only";
  EXPECT_EQ(a.Meaning(98), kSdpUnknown) << "G.722's RTP clock is 8000";
  EXPECT_EQ(a.Meaning(99), kCodecG722);
  EXPECT_EQ(a.Meaning(9), kCodecG722) << "the static number without a map";
  EXPECT_EQ(a.Meaning(102), kSdpUnknown);
  EXPECT_EQ(a.EventTypeFor(16000), 100);
  EXPECT_EQ(a.EventTypeFor(48000), 100) << "none at that clock: the first there is";
  EXPECT_EQ(a.ClockRate(96), 48000);
  EXPECT_EQ(a.ClockRate(9), 8000);
  EXPECT_EQ(RtpMapFormat(kCodecOpus), "opus/48000/2");
  EXPECT_EQ(RtpMapFormat(kCodecG722), "G722/8000");
}

}  // namespace
