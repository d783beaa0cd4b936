// TSipMessage: the shallow, never-failing parser of received datagrams.
#include "sip/contact.h"
#include "sip/sipmessage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/sipmessage_invariants.h"

namespace qv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A datagram from header lines, each ended by CR LF as on the wire.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kInvite = Lines({
    "INVITE sip:bob@10.0.0.9:5075 SIP/2.0",
    "Via: SIP/2.0/UDP 192.168.1.7:5070;branch=z9hG4bK776asdhds;rport",
    "Max-Forwards: 70",
    "From: \"Ann Smith\" <sip:ann@10.0.0.5:5062;transport=udp>;tag=77a",
    "To: Bob <sip:bob@10.0.0.9:5075>",
    "Call-ID: a84b4c76e66710@pc33.example.com",
    "CSeq: 12 INVITE",
    "Contact: <sip:ann@10.1.1.1:5080;transport=udp>;expires=3600",
    "Content-Type: application/sdp",
    "Content-Length: 142",
    "",
    "v=0",
    "o=ann 2890844526 2890844526 IN IP4 10.0.0.5",
    "s=-",
    "c=IN IP4 10.2.3.4",
    "t=0 0",
    "m=audio 40000 RTP/AVP 0 8 3 101",
    "a=rtpmap:101 telephone-event/8000",
});

TEST(SipMessageStartLine, ResponseAndRequestAreToldApartByStatusCode) {
  TSipMessage ringing(Lines({"SIP/2.0 180 Ringing", "CSeq: 1 INVITE"}));
  EXPECT_EQ(ringing.StatusCode, "180");
  EXPECT_TRUE(ringing.IsResponse());
  TSipMessage invite(kInvite);
  EXPECT_EQ(invite.StatusCode, "");
  EXPECT_FALSE(invite.IsResponse());
  // An empty reason phrase, and a status line cut inside the code.
  EXPECT_EQ(TSipMessage("SIP/2.0 100 \r\n").StatusCode, "100");
  EXPECT_EQ(TSipMessage("SIP/2.0 18").StatusCode, "18");
  EXPECT_EQ(TSipMessage("SIP/2.0").StatusCode, "");
}

TEST(SipMessageStartLine, RequestUserOnlyForInviteAndMessage) {
  EXPECT_EQ(TSipMessage(kInvite).RequestUser, "bob");
  EXPECT_EQ(TSipMessage("MESSAGE sip:  carol @example.com SIP/2.0\r\n").RequestUser, "carol");
  EXPECT_EQ(TSipMessage("REGISTER sip:dave@example.com SIP/2.0\r\n").RequestUser, "");
  EXPECT_EQ(TSipMessage("invite sip:bob@example.com SIP/2.0\r\n").RequestUser, "");  // case-sensitive
  EXPECT_EQ(TSipMessage("INVITE sip:example.com SIP/2.0\r\n").RequestUser, "");      // no user
  EXPECT_EQ(TSipMessage("INVITE ").RequestUser, "");
  // Only the first line counts.
  EXPECT_EQ(TSipMessage("\r\nINVITE sip:bob@example.com SIP/2.0\r\n").RequestUser, "");
}

TEST(SipMessageCallId, FullCompactAndLowerCaseAgree) {
  for (const char* line : {"Call-ID: abc@host", "i: abc@host", "call-id:abc@host  ", "CALL-ID:\tabc@host",
                           "I:abc@host"}) {
    EXPECT_EQ(TSipMessage(Lines({"OPTIONS sip:x SIP/2.0", line})).CallId, "abc@host") << line;
  }
}

TEST(SipMessageCallId, BlankBeforeColonOrLeadingBlankIsIgnored) {
  EXPECT_EQ(TSipMessage(Lines({"OPTIONS sip:x SIP/2.0", "Call-ID : abc@host"})).CallId, "");
  EXPECT_EQ(TSipMessage(Lines({"OPTIONS sip:x SIP/2.0", " Call-ID: abc@host"})).CallId, "");
  EXPECT_EQ(TSipMessage(Lines({"OPTIONS sip:x SIP/2.0", "Call-IDx: abc@host"})).CallId, "");
}

TEST(SipMessageCallId, CutAtHundredCharactersAndLaterHeaderWins) {
  std::string longId(150, 'k');
  EXPECT_EQ(TSipMessage(Lines({"Call-ID: " + longId})).CallId, std::string(100, 'k'));
  EXPECT_EQ(TSipMessage(Lines({"Call-ID: first", "i: second"})).CallId, "second");
}

TEST(SipMessageCSeq, NumberAndMethod) {
  TSipMessage m(Lines({"CSeq: 12 INVITE"}));
  EXPECT_EQ(m.CSeqNumber, "12");
  EXPECT_EQ(m.CSeqMethod, "INVITE");
  TSipMessage spaced(Lines({"cseq:   0009   BYE"}));
  EXPECT_EQ(spaced.CSeqNumber, "0009");  // text: never converted here
  EXPECT_EQ(spaced.CSeqMethod, "BYE");
  // Without a blank there is no method, so the datagram reads as not SIP.
  TSipMessage glued(Lines({"CSeq:12INVITE"}));
  EXPECT_EQ(glued.CSeqMethod, "");
  EXPECT_EQ(glued.CSeqNumber, "12INVITE");
  EXPECT_EQ(TSipMessage(Lines({"CSeq: 7"})).CSeqMethod, "7");
}

TEST(SipMessageFromTo, FromWithDisplayNamePortParameterAndTag) {
  TSipMessage m(kInvite);
  EXPECT_EQ(m.FromHeader, "From: \"Ann Smith\" <sip:ann@10.0.0.5:5062;transport=udp>;tag=77a");
  EXPECT_EQ(m.FromUri, "sip:ann@10.0.0.5:5062;transport=udp");
  EXPECT_EQ(m.FromUser, "ann");
  EXPECT_EQ(m.FromHost, "10.0.0.5");
  EXPECT_EQ(m.FromTag, "77a");
}

TEST(SipMessageFromTo, ToWithoutTag) {
  TSipMessage m(kInvite);
  EXPECT_EQ(m.ToHeader, "To: Bob <sip:bob@10.0.0.9:5075>");
  EXPECT_EQ(m.ToTag, "");
  EXPECT_EQ(m.ToUri, "sip:bob@10.0.0.9:5075");
  EXPECT_EQ(m.ToUser, "bob");
  EXPECT_EQ(m.ToHost, "10.0.0.9");
  EXPECT_EQ(m.ToHostPart, "10.0.0.9:5075");
}

TEST(SipMessageFromTo, CompactFormsAddrSpecAndMissingPieces) {
  TSipMessage m(Lines({"f: sip:ann@example.com;tag=x1", "t: sip:bob@example.net ;tag=y2"}));
  EXPECT_EQ(m.FromUri, "");  // no angle brackets
  EXPECT_EQ(m.FromUser, "ann");
  EXPECT_EQ(m.FromHost, "example.com");
  EXPECT_EQ(m.FromTag, "x1");
  EXPECT_EQ(m.ToHost, "example.net");
  EXPECT_EQ(m.ToHostPart, "example.net");
  EXPECT_EQ(m.ToTag, "y2");
  // An unclosed "<" runs to the end of the line; no "@" leaves user and host.
  TSipMessage open(Lines({"To: <sip:example.com;lr"}));
  EXPECT_EQ(open.ToUri, "sip:example.com;lr");
  EXPECT_EQ(open.ToUser, "");
  EXPECT_EQ(open.ToHost, "");
  // A tag is cut at 100 characters.
  EXPECT_EQ(TSipMessage(Lines({"From: <sip:a@b>;tag=" + std::string(120, 't')})).FromTag, std::string(100, 't'));
}

TEST(SipMessageFromTo, LaterLineReplacesFieldByField) {
  TSipMessage m(Lines({"From: <sip:ann@h1>;tag=one", "From: <sip:h2>"}));
  EXPECT_EQ(m.FromHeader, "From: <sip:h2>");
  EXPECT_EQ(m.FromUri, "sip:h2");
  EXPECT_EQ(m.FromTag, "one");   // the second line has no tag
  EXPECT_EQ(m.FromUser, "ann");  // nor a user
  EXPECT_EQ(m.FromHost, "h1");
}

TEST(SipMessageVia, FirstViaDecidesHostAndPort) {
  TSipMessage m(Lines({"Via: SIP/2.0/UDP 192.168.1.7:5070;branch=z9hG4bK1",
                       "v: SIP/2.0/UDP 10.9.9.9:6000;branch=z9hG4bK2"}));
  EXPECT_EQ(m.ViaHost, "192.168.1.7");
  EXPECT_EQ(m.ViaPort, "5070");
  EXPECT_EQ(m.ViaHeaders,
            "Via: SIP/2.0/UDP 192.168.1.7:5070;branch=z9hG4bK1\r\n"
            "v: SIP/2.0/UDP 10.9.9.9:6000;branch=z9hG4bK2\r\n");
}

TEST(SipMessageVia, PortDefaultsTo5060AndBlanksAroundSentByAreDropped) {
  TSipMessage m(Lines({"Via: SIP/2.0/UDP 192.168.1.7;branch=z9hG4bK1"}));
  EXPECT_EQ(m.ViaHost, "192.168.1.7");
  EXPECT_EQ(m.ViaPort, "5060");
  TSipMessage spaced(Lines({"VIA: SIP/2.0/UDP   pc.example.com : 5071 ;branch=z9hG4bK1"}));
  EXPECT_EQ(spaced.ViaHost, "pc.example.com");
  EXPECT_EQ(spaced.ViaPort, "5071");
}

TEST(SipMessageVia, WithoutUdpTheWholeLineStaysAsHost) {
  TSipMessage m(Lines({"Via: SIP/2.0/TCP 192.168.1.7:5070;branch=z9hG4bK1",
                       "Via: SIP/2.0/UDP 10.9.9.9:6000;branch=z9hG4bK2"}));
  EXPECT_EQ(m.ViaHost, "Via: SIP/2.0/TCP 192.168.1.7:5070;branch=z9hG4bK1");
  EXPECT_EQ(m.ViaPort, "");
}

TEST(SipMessageVia, FirstViaDecidesEvenWhenItsHostIsEmpty) {
  // The response goes to the top Via only (RFC 3261 18.2.2); a broken top Via
  // must not send it to the hop below.
  TSipMessage m(Lines({"Via: SIP/2.0/UDP ;branch=z9hG4bK1", "Via: SIP/2.0/UDP 10.9.9.9:6000;branch=z9hG4bK2"}));
  EXPECT_EQ(m.ViaHost, "");
  EXPECT_EQ(m.ViaPort, "5060");
}

TEST(SipMessageVia, FirstRportValueDecides) {
  EXPECT_EQ(TSipMessage(Lines({"Via: SIP/2.0/UDP h:5070;rport=5071;branch=z9hG4bK1"})).ViaRport, "5071");
  EXPECT_EQ(TSipMessage(Lines({"Via: SIP/2.0/UDP h:5070;rport;branch=z9hG4bK1"})).ViaRport, "");
  EXPECT_EQ(TSipMessage(Lines({"Via: SIP/2.0/UDP h:5070;branch=z9hG4bK1;rport="})).ViaRport, "");
  EXPECT_EQ(TSipMessage(Lines({"Via: SIP/2.0/UDP a;branch=z9hG4bK1;rport",
                               "Via: SIP/2.0/UDP b;rport=6001;branch=z9hG4bK2",
                               "Via: SIP/2.0/UDP c;rport=6002;branch=z9hG4bK3"}))
                .ViaRport,
            "6001");
  // The first "rport=" decides even when no digits follow it.
  EXPECT_EQ(TSipMessage(Lines({"Via: SIP/2.0/UDP a;rport=;branch=z9hG4bK1",
                               "Via: SIP/2.0/UDP b;rport=6001;branch=z9hG4bK2"}))
                .ViaRport,
            "");
}

// In angle brackets the URI keeps its own parameters (the remote target is
// the whole URI); the header's parameters after ">" are not part of it.
TEST(SipMessageContact, AngleBracketsWithUriAndHeaderParameters) {
  TSipMessage m(kInvite);
  EXPECT_EQ(m.ContactUri, "sip:ann@10.1.1.1:5080;transport=udp");
  EXPECT_EQ(m.ContactHost, "10.1.1.1");
  EXPECT_EQ(m.ContactPort, "5080");
  EXPECT_THAT(m.Contacts, ElementsAre("<sip:ann@10.1.1.1:5080;transport=udp>;expires=3600"));
  TSipMessage gruu(Lines({"Contact: <sip:bob@example.com;gr=urn:uuid:f81d;ob>;+sip.instance=\"<urn:x>\""}));
  EXPECT_EQ(gruu.ContactUri, "sip:bob@example.com;gr=urn:uuid:f81d;ob");
  EXPECT_EQ(gruu.ContactHost, "example.com");
  EXPECT_EQ(gruu.ContactPort, "");
}

// A registrar's 200 lists every binding, in one header or several, each with
// its expiry; Expires and Min-Expires are read as written.
TEST(SipMessageContact, RegistrarAnswerListsBindings) {
  TSipMessage m(Lines({"SIP/2.0 200 OK", "Contact: <sip:a@10.0.0.1:5075>;expires=20, <sip:a@10.0.0.2>;expires=90",
                       "Contact: \"Desk, 2\" <sip:a@10.0.0.3>;expires=5", "Expires: 120", "Min-Expires: 60"}));
  EXPECT_EQ(m.Contacts.size(), 2u);
  EXPECT_EQ(ContactExpires(m.Contacts, "sip:a@10.0.0.2"), 90);
  EXPECT_EQ(ContactExpires(m.Contacts, "SIP:A@10.0.0.1:5075"), 20);
  EXPECT_EQ(ContactExpires(m.Contacts, "sip:a@10.0.0.3"), 5);  // the comma in the quoted name splits nothing
  EXPECT_EQ(ContactExpires(m.Contacts, "sip:a@10.0.0.9"), -1);
  EXPECT_EQ(ContactExpires({"sip:a@h;expires=7"}, "sip:a@h"), 7);
  EXPECT_EQ(ContactExpires({"<sip:a@h>"}, "sip:a@h"), -1);
  EXPECT_EQ(m.Expires, "120");
  EXPECT_EQ(m.MinExpires, "60");
}

// Where a route entry or a remote target sends a request.
TEST(SipMessageContact, UriHopFindsHostAndPort) {
  auto hop = [](const std::string& uri) { TUriHop h = UriHop(uri); return h.Host + " " + std::to_string(h.Port); };
  EXPECT_EQ(hop("<sip:10.0.0.1;lr>"), "10.0.0.1 5060");
  EXPECT_EQ(hop("sip:bob@10.0.0.2:5072;transport=udp;ob"), "10.0.0.2 5072");
  EXPECT_EQ(hop("<SIPS:bob;x=1@[2001:db8::2]>"), "2001:db8::2 5061");
  EXPECT_EQ(hop("<sip:[::1]:5080;lr>"), "::1 5080");
  EXPECT_EQ(hop("sip:bob@host.example?Subject=x"), "host.example 5060");
  for (const char* bad : {"tel:+34911", "sip:bob@10.0.0.1:99999", "sip:bob@10.0.0.1:", "sip:bob@h:5o6", ""})
    EXPECT_EQ(UriHop(bad).Host, "") << bad;
}

TEST(SipMessageContact, CompactFormAddrSpecAndNoUser) {
  TSipMessage compact(Lines({"m: \"A\" < sip:ann@pc.example.com >;q=0.5"}));
  EXPECT_EQ(compact.ContactUri, "sip:ann@pc.example.com");
  EXPECT_EQ(compact.ContactHost, "pc.example.com");
  EXPECT_EQ(compact.ContactPort, "");
  TSipMessage bare(Lines({"Contact: sip:ann@10.1.1.1:5080;expires=60"}));
  EXPECT_EQ(bare.ContactUri, "sip:ann@10.1.1.1:5080");
  EXPECT_EQ(bare.ContactPort, "5080");
  TSipMessage noUser(Lines({"Contact: <sip:10.1.1.1:5080>"}));
  EXPECT_EQ(noUser.ContactUri, "sip:10.1.1.1:5080");
  EXPECT_EQ(noUser.ContactHost, "");
  EXPECT_EQ(noUser.ContactPort, "");
  EXPECT_EQ(TSipMessage(Lines({"Contact: <sip:a@h:" + std::string(30, '9') + ">"})).ContactPort,
            std::string(15, '9'));
}

TEST(SipMessageRecordRoute, OneHeaderTwoRoutesKeepOrder) {
  TSipMessage m(Lines({"SIP/2.0 200 OK", "Record-Route: <sip:p1.example.com;lr> , <sip:p2.example.com;lr>",
                       "record-route: <sip:p3.example.com;lr>"}));
  ASSERT_EQ(m.RecordRouteCount(), 3);
  EXPECT_EQ(m.RecordRoute(0), "<sip:p1.example.com;lr>");
  EXPECT_EQ(m.RecordRoute(1), "<sip:p2.example.com;lr>");
  EXPECT_EQ(m.RecordRoute(2), "<sip:p3.example.com;lr>");
  EXPECT_EQ(m.RecordRoute(3), "");
  EXPECT_EQ(m.RecordRouteHeaders,
            "Record-Route: <sip:p1.example.com;lr>\r\n"
            "Record-Route: <sip:p2.example.com;lr>\r\n"
            "Record-Route: <sip:p3.example.com;lr>\r\n");
}

TEST(SipMessageRecordRoute, AbsentListAndEmptyElements) {
  TSipMessage none(kInvite);
  EXPECT_FALSE(none.RecordRoutes.has_value());
  EXPECT_EQ(none.RecordRouteCount(), 0);
  EXPECT_EQ(none.RecordRoute(0), "");
  EXPECT_EQ(none.RecordRouteHeaders, "");
  // Empty list elements are allowed (RFC 3261 7.3.1) but are no routes: an
  // empty entry would later become an empty Route header.
  TSipMessage sparse(Lines({"Record-Route: ,<sip:p1;lr>,, <sip:p2;lr> ,"}));
  EXPECT_THAT(*sparse.RecordRoutes, ElementsAre("<sip:p1;lr>", "<sip:p2;lr>"));
  TSipMessage empty(Lines({"Record-Route:"}));
  ASSERT_TRUE(empty.RecordRoutes.has_value());
  EXPECT_EQ(empty.RecordRouteCount(), 0);
  EXPECT_EQ(empty.RecordRouteHeaders, "");
}

TEST(SipMessageSdp, AudioPortPayloadTypesAndConnection) {
  TSipMessage m(kInvite);
  EXPECT_EQ(m.SdpAudioPort, "40000");
  EXPECT_THAT(m.PayloadTypes, ElementsAre(0, 8, 3));
  EXPECT_EQ(m.PayloadTypeCount(), 3);
  EXPECT_EQ(m.PayloadType(1), 8);
  EXPECT_EQ(m.SdpAddress, "10.2.3.4");
}

TEST(SipMessageSdp, EveryAudioLineAddsPayloadsAndTheLastGivesThePort) {
  TSipMessage m(Lines({"", "c=IN IP4 10.0.0.1", "m=audio 4000 RTP/AVP 0 101", "c=IN IP4 10.0.0.2",
                       "m=video 5000 RTP/AVP 31", "m=audio 4002 RTP/AVP\t18 x 8 -", "M=audio 9 RTP/AVP 4",
                       "m=audio 4004 RTP/SAVP 9"}));
  EXPECT_EQ(m.SdpAudioPort, "4004");
  // An RTP/SAVP line is audio too (SRTP): its payload types count.
  EXPECT_THAT(m.PayloadTypes, ElementsAre(0, 18, 8, 9));
  EXPECT_EQ(m.SdpAddress, "10.0.0.2");
}

TEST(SipMessageSdp, OddConnectionAndMediaLines) {
  EXPECT_EQ(TSipMessage("c=IN IP6 ::1\r\n").SdpAddress, "::1");
  EXPECT_EQ(TSipMessage("c=IN IP6 ::ffff:203.0.113.200:12345:6789:abcd:ef01:2345:6789\r\n").SdpAddress.size(), 46u);
  EXPECT_EQ(TSipMessage("C=IN IP4 10.0.0.1\r\n").SdpAddress, "");  // SDP is case-sensitive
  EXPECT_EQ(TSipMessage("c=IN IP4 10.200.300.400.500.600.700\r\n").SdpAddress, "10.200.300.400.500.6");
  EXPECT_EQ(TSipMessage("c=IN IP4").SdpAddress, "");
  TSipMessage noPort("m=audio RTP/AVP 0\r\n");
  EXPECT_EQ(noPort.SdpAudioPort, "");
  EXPECT_THAT(noPort.PayloadTypes, ElementsAre(0));
  EXPECT_EQ(TSipMessage("m=audio 123456789012345 RTP/AVP\r\n").SdpAudioPort, "1234567890");
  EXPECT_THAT(TSipMessage("m=audio 4000 RTP/AVP 99999999999 +7 +-7 - 8\r\n").PayloadTypes, ElementsAre(7, 8));
}

// The audio stream's attributes: what each payload type stands for comes
// from its a=rtpmap (names without regard to case, 8000 Hz mono only), else
// from RFC 3551's static table; the first audio stream alone counts, and a
// media-level a=ptime beats a session-level one.
TEST(SipMessageSdp, RtpMapFmtpAndPtimeOfTheAudioStream) {
  TSipMessage m(Lines({"", "v=0", "a=ptime:40", "m=audio 4000 RTP/AVP 96 0 13 101 110 98 99 100",
                       "a=rtpmap:96 telephone-event/8000", "a=fmtp:96 0-16", "a=rtpmap:0 pcmu/8000",
                       "a=rtpmap:13 CN/8000", "a=rtpmap:110 opus/48000/2", "a=rtpmap:96 PCMA/8000",
                       "a=rtpmap:98 speex/16000", "a=rtpmap:99 PCMU/8000/2", "a=rtpmap:100 SPEEX/8000/1",
                       "a=rtpmap:x GSM/8000", "a=rtpmap:300 GSM/8000", "a=rtpmap:97", "a=ptime:30",
                       "m=video 5000 RTP/AVP 97", "a=rtpmap:97 GSM/8000", "a=ptime:10",
                       "m=audio 6000 RTP/AVP 3"}));
  const TSdpAudio& a = m.SdpAudio;
  EXPECT_TRUE(a.Present);
  EXPECT_EQ(a.Port, 4000);
  EXPECT_THAT(a.PayloadTypes, ElementsAre(96, 0, 13, 101, 110, 98, 99, 100));
  EXPECT_EQ(a.Ptime, 30);
  EXPECT_EQ(a.Meaning(96), kSdpTelephoneEvent) << "the first map of a number stands";
  EXPECT_EQ(a.Meaning(0), 0);
  EXPECT_EQ(a.Meaning(13), kSdpComfortNoise);
  EXPECT_EQ(a.Meaning(101), kSdpTelephoneEvent) << "older offers of ours had no map for it";
  EXPECT_EQ(a.Meaning(110), 111) << "110 mapped to Opus is not Speex";
  EXPECT_EQ(a.Meaning(98), kSdpUnknown) << "wideband";
  EXPECT_EQ(a.Meaning(99), kSdpUnknown) << "stereo";
  EXPECT_EQ(a.Meaning(100), 110);
  EXPECT_EQ(a.Meaning(97), kSdpUnknown) << "the video stream's maps are not ours";
  EXPECT_EQ(a.Meaning(8), 8);
  ASSERT_EQ(a.Fmtps.size(), 1u);
  EXPECT_EQ(a.Fmtps[0], (std::pair<int, std::string>{96, "0-16"}));
  EXPECT_EQ(a.TypeFor(kSdpTelephoneEvent), 96);
  EXPECT_EQ(a.TypeFor(110), 100);
  EXPECT_EQ(a.TypeFor(3), -1) << "the second audio stream is not read";

  TSipMessage legacy("m=audio 4000 RTP/AVP 110 3\r\na=ptime:20\r\n");
  EXPECT_EQ(legacy.SdpAudio.Meaning(110), 110) << "our own older offers: 110 without a map";
  EXPECT_EQ(legacy.SdpAudio.TypeFor(kSdpTelephoneEvent), -1);
  EXPECT_EQ(TSipMessage("a=ptime:60\r\nm=audio 0 RTP/AVP 0\r\n").SdpAudio.Ptime, 60);
  TSipMessage removed("m=audio 0 RTP/AVP 0\r\n");
  EXPECT_TRUE(removed.SdpAudio.Present);
  EXPECT_EQ(removed.SdpAudio.Port, 0);
  EXPECT_FALSE(TSipMessage(kInvite.substr(0, kInvite.find("m=audio"))).SdpAudio.Present);
}

TEST(SipMessageInfo, SignalValue) {
  EXPECT_EQ(TSipMessage(Lines({"INFO sip:x SIP/2.0", "", "Signal=5", "Duration=160"})).DtmfSignal, "5");
  EXPECT_EQ(TSipMessage(Lines({"INFO sip:x SIP/2.0", "", "Signal= 5"})).DtmfSignal, "5");
  EXPECT_EQ(TSipMessage(Lines({"INFO sip:x SIP/2.0", "", "signal=10"})).DtmfSignal, "10");
}

TEST(SipMessageChallenge, NonceRealmOpaqueAndQop) {
  TSipMessage m(Lines({"SIP/2.0 401 Unauthorized", "CSeq: 1 REGISTER",
                       "WWW-Authenticate: Digest realm=\"asterisk\", nonce=\"4b3a1c\", opaque=\"5ccc\", "
                       "algorithm=MD5, qop=\"auth,auth-int\""}));
  EXPECT_EQ(m.AuthRealm, "asterisk");
  EXPECT_EQ(m.AuthNonce, "4b3a1c");
  EXPECT_EQ(m.AuthOpaque, "5ccc");
  EXPECT_EQ(m.AuthQop, "auth-int");
  EXPECT_EQ(TSipMessage("Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth\"").AuthQop, "auth");
  TSipMessage plain("proxy-authenticate: Digest realm=\"r\",nonce=\"n\"");
  EXPECT_EQ(plain.AuthNonce, "n");
  EXPECT_EQ(plain.AuthQop, "");
  EXPECT_EQ(plain.AuthOpaque, "");
}

TEST(SipMessageChallenge, UnclosedQuoteRunsToEndOfLineAndLaterChallengeReplacesAll) {
  TSipMessage open(Lines({"WWW-Authenticate: Digest realm=\"r\", nonce=\"abc", "CSeq: 1 REGISTER"}));
  EXPECT_EQ(open.AuthNonce, "abc");
  EXPECT_EQ(TSipMessage("WWW-Authenticate: Digest nonce=").AuthNonce, "");
  // An opaque or qop of the first challenge must not be sent with the nonce of
  // the second.
  TSipMessage two(Lines({"WWW-Authenticate: Digest realm=\"a\", nonce=\"1\", opaque=\"o\", qop=\"auth\"",
                         "WWW-Authenticate: Digest realm=\"b\", nonce=\"2\""}));
  EXPECT_EQ(two.AuthRealm, "b");
  EXPECT_EQ(two.AuthNonce, "2");
  EXPECT_EQ(two.AuthOpaque, "");
  EXPECT_EQ(two.AuthQop, "");
}

TEST(SipMessageLineEnds, LoneCrLoneLfAndMixed) {
  for (const char* end : {"\r\n", "\r", "\n"}) {
    std::string text = std::string("SIP/2.0 200 OK") + end + "Call-ID: c1" + end + "CSeq: 3 BYE" + end +
                       "Via: SIP/2.0/UDP h:5070" + end + end + "Signal=1";
    TSipMessage m(text);
    EXPECT_EQ(m.StatusCode, "200");
    EXPECT_EQ(m.CallId, "c1");
    EXPECT_EQ(m.CSeqMethod, "BYE");
    EXPECT_EQ(m.ViaHeaders, "Via: SIP/2.0/UDP h:5070\r\n");
    EXPECT_EQ(m.DtmfSignal, "1");
  }
  // LF CR is two line ends with an empty line between, which ends the headers.
  TSipMessage reversed("SIP/2.0 200 OK\n\rCall-ID: c1\n\rCSeq: 3 BYE");
  EXPECT_EQ(reversed.StatusCode, "200");
  EXPECT_EQ(reversed.CallId, "");
  TSipMessage unterminated("CSeq: 3 BYE");
  EXPECT_EQ(unterminated.CSeqMethod, "BYE");
}

TEST(SipMessageHeaderSection, BodyAndTrailingBytesCannotSetHeaders) {
  TSipMessage m(Lines({"MESSAGE sip:bob@h SIP/2.0", "From: <sip:ann@h1>;tag=1", "Call-ID: real",
                       "CSeq: 5 MESSAGE", "Via: SIP/2.0/UDP 10.0.0.1:5060", "", "From: <sip:mallory@h2>;tag=2",
                       "Call-ID: forged", "CSeq: 6 BYE", "Via: SIP/2.0/UDP 6.6.6.6:5060", "Record-Route: <sip:x>",
                       "WWW-Authenticate: Digest nonce=\"n\"", "Contact: <sip:m@6.6.6.6>"}));
  EXPECT_EQ(m.FromUser, "ann");
  EXPECT_EQ(m.CallId, "real");
  EXPECT_EQ(m.CSeqMethod, "MESSAGE");
  EXPECT_EQ(m.ViaHeaders, "Via: SIP/2.0/UDP 10.0.0.1:5060\r\n");
  EXPECT_FALSE(m.RecordRoutes.has_value());
  EXPECT_EQ(m.AuthNonce, "");
  EXPECT_EQ(m.ContactUri, "");
  // Blank lines before the start line do not end the (not yet begun) headers.
  EXPECT_EQ(TSipMessage("\r\n\r\nSIP/2.0 200 OK\r\nCSeq: 1 BYE\r\n").CSeqMethod, "BYE");
  // Only the start line makes a response: the status line of a sipfrag body
  // (a NOTIFY during a transfer) is the body's own.
  TSipMessage notify(Lines({"NOTIFY sip:ann@h SIP/2.0", "CSeq: 2 NOTIFY", "", "SIP/2.0 503 Unavailable"}));
  EXPECT_EQ(notify.StatusCode, "");
  EXPECT_FALSE(notify.IsResponse());
  EXPECT_EQ(notify.SipfragStatus, "503");
  EXPECT_EQ(notify.CSeqMethod, "NOTIFY");
  // A status line among the headers is neither.
  TSipMessage odd(Lines({"MESSAGE sip:ann@h SIP/2.0", "SIP/2.0 200 OK", "CSeq: 2 MESSAGE"}));
  EXPECT_EQ(odd.StatusCode, "");
  EXPECT_EQ(odd.SipfragStatus, "");
  EXPECT_EQ(TSipMessage("\r\n\r\nSIP/2.0 180 Ringing\r\nCSeq: 1 INVITE\r\n").StatusCode, "180");
}

TEST(SipMessageGarbage, StunAndRandomDatagramsGiveNoMethod) {
  for (const char* name : {"rfc5769/sample_request.bin", "rfc5769/sample_ipv4_response.bin",
                           "rfc5769/sample_ipv6_response.bin", "rfc5769/sample_request_long_term_auth.bin",
                           "stun-coturn/binding_response_rfc3489_client.bin",
                           "stun-coturn/binding_response_rfc5389_client.bin"}) {
    std::string data = ReadFile(std::filesystem::path(QV_TESTDATA_DIR) / name);
    ASSERT_FALSE(data.empty()) << name;
    TSipMessage m(data);
    EXPECT_EQ(m.CSeqMethod, "") << name;
    EXPECT_EQ(qv::testing::CheckSipMessageInvariants(m, data), "") << name;
  }
  TSipMessage empty("");
  EXPECT_EQ(empty.CSeqMethod, "");
  EXPECT_THAT(empty.PayloadTypes, IsEmpty());
  std::string nuls("CSeq: 1\0 INVITE\r\n\0\0\0", 20);
  TSipMessage withNul(nuls);
  EXPECT_EQ(withNul.RawText, nuls);
  EXPECT_EQ(withNul.CSeqMethod, "INVITE");
  EXPECT_EQ(withNul.CSeqNumber, "1");  // a NUL is trimmed like any control byte
  // Every byte value at every position of a short prefix: nothing may read
  // past the text.
  for (int c = 0; c < 256; ++c) {
    for (const char* head : {"Via: SIP/2.0/UDP", "WWW-Authenticate: nonce=", "m=audio", "c=IN IP4", "CSeq:",
                             "INVITE sip:", "From: <sip:a@", "Contact: <", "Record-Route:", "SIP/2.0 1"}) {
      std::string text = std::string(head) + char(c);
      TSipMessage m(text);
      ASSERT_EQ(qv::testing::CheckSipMessageInvariants(m, text), "") << head << " + " << c;
    }
  }
}

// RFC 4475: the torture messages, byte for byte.
std::filesystem::path Rfc4475(const char* name) { return std::filesystem::path(QV_TESTDATA_DIR) / "rfc4475" / name; }

TEST(SipMessageRfc4475, EveryMessageParsesWithinTheInvariants) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QV_TESTDATA_DIR) / "rfc4475")) {
    if (entry.path().extension() != ".dat") continue;
    std::string data = ReadFile(entry.path());
    TSipMessage m(data);
    EXPECT_EQ(qv::testing::CheckSipMessageInvariants(m, data), "") << entry.path();
    ++count;
  }
  EXPECT_EQ(count, 50);
}

TEST(SipMessageRfc4475, ShallowFieldsOfSelectedMessages) {
  TSipMessage wsinv(ReadFile(Rfc4475("wsinv.dat")));
  EXPECT_EQ(wsinv.CallId, "wsinv.ndaksdj@192.0.2.1");
  EXPECT_EQ(wsinv.RequestUser, "vivekg");
  EXPECT_EQ(wsinv.CSeqMethod, "0009");  // the method is on a folded line
  EXPECT_EQ(wsinv.ContactUri, "sip:jdrosen@example.com");
  EXPECT_EQ(wsinv.SdpAddress, "192.0.2.4");
  EXPECT_EQ(wsinv.SdpAudioPort, "49217");
  EXPECT_THAT(wsinv.PayloadTypes, ElementsAre(0, 12));
  EXPECT_EQ(wsinv.FromHeader, "");  // "from   :" has blanks before the colon

  TSipMessage esc01(ReadFile(Rfc4475("esc01.dat")));
  EXPECT_EQ(esc01.CallId, "esc01.239409asdfakjkn23onasd0-3234");  // compact "i:"

  // A REGISTER followed by bytes that look like an INVITE: the INVITE's
  // headers must not leak into the REGISTER.
  TSipMessage dblreq(ReadFile(Rfc4475("dblreq.dat")));
  EXPECT_EQ(dblreq.CallId, "dblreq.0ha0isndaksdj99sdfafnl3lk233412");
  EXPECT_EQ(dblreq.CSeqMethod, "REGISTER");
  EXPECT_EQ(dblreq.CSeqNumber, "8");
  EXPECT_EQ(dblreq.FromTag, "43251j3j324");
  EXPECT_EQ(dblreq.ViaHeaders, "Via: SIP/2.0/UDP 192.0.2.125;branch=z9hG4bKkdjuw23492\r\n");
  EXPECT_EQ(dblreq.RequestUser, "");

  TSipMessage longreq(ReadFile(Rfc4475("longreq.dat")));
  EXPECT_EQ(longreq.CallId.size(), 100u);
  EXPECT_EQ(longreq.CSeqNumber, "3882340");
  EXPECT_EQ(longreq.FromUser.substr(0, 25), "amazinglylongcallernameam");

  EXPECT_EQ(TSipMessage(ReadFile(Rfc4475("bigcode.dat"))).StatusCode, "429");  // of 4294967301
  EXPECT_EQ(TSipMessage(ReadFile(Rfc4475("noreason.dat"))).StatusCode, "100");
  EXPECT_EQ(TSipMessage(ReadFile(Rfc4475("unreason.dat"))).StatusCode, "200");
  TSipMessage insuf(ReadFile(Rfc4475("insuf.dat")));
  EXPECT_EQ(insuf.CallId, "");
  EXPECT_EQ(insuf.CSeqMethod, "INVITE");
}

// PROTOS c07-sip: 4527 mangled INVITEs, unpacked from the tarball at run time.
class SipMessageProtos : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = std::filesystem::temp_directory_path() / ("qv-protos-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::string tarball = std::string(QV_TESTDATA_DIR) + "/protos/protos-c07-sip.tar.gz";
    std::string command = "tar -xzf '" + tarball + "' -C '" + dir_.string() + "'";
    unpacked_ = std::system(command.c_str()) == 0;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  // A case file is "<length> <INVITE template><length> <teardown template>".
  static std::string InviteTemplate(const std::string& data) {
    size_t space = data.find(' ');
    if (space == std::string::npos || space == 0 || space > 9) return {};
    for (size_t i = 0; i < space; ++i)
      if (data[i] < '0' || data[i] > '9') return {};
    size_t length = std::stoul(data.substr(0, space));
    return data.substr(space + 1, length);
  }

  static std::filesystem::path dir_;
  static bool unpacked_;
};
std::filesystem::path SipMessageProtos::dir_;
bool SipMessageProtos::unpacked_ = false;

TEST_F(SipMessageProtos, EveryCaseParsesWithinTheInvariants) {
  ASSERT_TRUE(unpacked_) << "tar could not unpack the PROTOS suite";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "protos-c07-sip")) {
    std::string data = ReadFile(entry.path());
    std::string invite = InviteTemplate(data);
    // The whole file, the INVITE alone, and the INVITE as the transport would
    // cut it.
    for (const std::string& text : {data, invite, invite.substr(0, 4096)}) {
      TSipMessage m(text);
      ASSERT_EQ(qv::testing::CheckSipMessageInvariants(m, text), "") << entry.path();
    }
    ++count;
  }
  EXPECT_EQ(count, 4527);
}

TEST_F(SipMessageProtos, ValidCaseFilledIn) {
  ASSERT_TRUE(unpacked_);
  std::string text = InviteTemplate(ReadFile(dir_ / "protos-c07-sip" / "0000000"));
  auto fill = [&](const std::string& key, const std::string& value) {
    for (size_t p; (p = text.find(key)) != std::string::npos;) text.replace(p, key.size(), value);
  };
  fill("<To>", "bob@127.0.0.1:5075");
  fill("<From>", "protos@127.0.0.1:5090");
  fill("<From-Address>", "127.0.0.1");
  fill("<From-IP>", "127.0.0.1");
  fill("<Local-Port>", "5090");
  fill("<Branch-ID>", ".r1.0");
  fill("<Call-ID>", "protos-r1-0");
  fill("<CSeq>", "1");
  fill("<Content-Length>", "120");
  TSipMessage m(text);
  EXPECT_EQ(m.RequestUser, "bob");
  EXPECT_EQ(m.CallId, "protos-r1-0@127.0.0.1");
  EXPECT_EQ(m.CSeqMethod, "INVITE");
  EXPECT_EQ(m.ViaHost, "127.0.0.1");
  EXPECT_EQ(m.ViaPort, "5090");
  EXPECT_EQ(m.FromTag, "0");
  EXPECT_EQ(m.ToUser, "bob");
  EXPECT_EQ(m.ToHostPart, "127.0.0.1:5075");
  EXPECT_EQ(m.ContactHost, "127.0.0.1");
  EXPECT_EQ(m.ContactPort, "5090");
  EXPECT_EQ(m.SdpAddress, "127.0.0.1");
  EXPECT_EQ(m.SdpAudioPort, "9876");
  EXPECT_THAT(m.PayloadTypes, ElementsAre(0));
}

}  // namespace
}  // namespace qv
