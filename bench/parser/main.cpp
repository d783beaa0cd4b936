// Parsing one received datagram: TSipMessage against libosip2 and sofia-sip,
// on three everyday messages, in one run. Ours reads the SDP as well, so the
// peers are timed twice: the message alone (the harder comparison) and the
// message plus its SDP body.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "peers.h"
#include "sip/sipmessage.h"

namespace qv::bench {
namespace {

// Header lines, an empty line and the body, each line ended by CR LF, with the
// Content-Length computed.
std::string Message(std::initializer_list<const char*> headers, std::initializer_list<const char*> body) {
  std::string sdp;
  for (const char* line : body) sdp += std::string(line) + "\r\n";
  std::string text;
  for (const char* line : headers) text += std::string(line) + "\r\n";
  text += "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  return text;
}

const std::string kInvite = Message(
    {
        "INVITE sip:bob@192.168.1.20:5075 SIP/2.0",
        "Via: SIP/2.0/UDP 192.168.1.10:5075;rport;branch=z9hG4bK-d8754z-5f3a9c1e2b7d4a60",
        "Max-Forwards: 70",
        "Contact: <sip:alice@192.168.1.10:5075;transport=udp>",
        "To: <sip:bob@192.168.1.20:5075>",
        "From: \"Alice Martin\" <sip:alice@pbx.example.com>;tag=9fxced76sl",
        "Call-ID: 3848276298220188511@192.168.1.10",
        "CSeq: 102 INVITE",
        "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE",
        "Supported: replaces, timer",
        "Session-Expires: 1800;refresher=uac",
        "User-Agent: Quorvelle 0.9.3",
        "Content-Type: application/sdp",
    },
    {
        "v=0",
        "o=- 1382734 1382734 IN IP4 192.168.1.10",
        "s=Quorvelle",
        "c=IN IP4 192.168.1.10",
        "t=0 0",
        "m=audio 20000 RTP/AVP 0 8 3 97 101",
        "a=rtpmap:0 PCMU/8000",
        "a=rtpmap:8 PCMA/8000",
        "a=rtpmap:3 GSM/8000",
        "a=rtpmap:97 speex/8000",
        "a=fmtp:97 mode=\"3,any\";vbr=off",
        "a=rtpmap:101 telephone-event/8000",
        "a=fmtp:101 0-15",
        "a=ptime:20",
        "a=sendrecv",
    });

const std::string kChallenge = Message(
    {
        "SIP/2.0 401 Unauthorized",
        "Via: SIP/2.0/UDP 192.168.1.10:5075;branch=z9hG4bK-d8754z-1c0e7a9b3f2d5e48;received=203.0.113.7;rport=41234",
        "From: <sip:alice@pbx.example.com>;tag=73a1f0c2",
        "To: <sip:alice@pbx.example.com>;tag=as5c3e1f9d",
        "Call-ID: 1f6b9e2d4c8a7035@192.168.1.10",
        "CSeq: 1 REGISTER",
        "Server: PBX 18.20.0",
        "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO, PUBLISH, MESSAGE",
        "Supported: replaces, timer",
        "WWW-Authenticate: Digest algorithm=MD5, realm=\"pbx.example.com\", nonce=\"5f3c2a1b7d9e\", "
        "opaque=\"0a1b2c3d\", qop=\"auth\"",
    },
    {});

const std::string kOk = Message(
    {
        "SIP/2.0 200 OK",
        "Via: SIP/2.0/UDP 192.168.1.10:5075;rport=5075;branch=z9hG4bK-d8754z-5f3a9c1e2b7d4a60;received=192.168.1.10",
        "Record-Route: <sip:192.168.1.1;lr;ftag=9fxced76sl>",
        "Record-Route: <sip:10.20.0.1;lr;ftag=9fxced76sl;did=4c1.a2b>",
        "From: \"Alice Martin\" <sip:alice@pbx.example.com>;tag=9fxced76sl",
        "To: <sip:bob@192.168.1.20:5075>;tag=e8f2a73c",
        "Call-ID: 3848276298220188511@192.168.1.10",
        "CSeq: 102 INVITE",
        "Contact: <sip:bob@192.168.1.20:5075>",
        "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, INFO, MESSAGE",
        "Supported: replaces",
        "User-Agent: Quorvelle 0.9.3",
        "Content-Type: application/sdp",
    },
    {
        "v=0",
        "o=- 7730112 7730113 IN IP4 192.168.1.20",
        "s=-",
        "c=IN IP4 192.168.1.20",
        "t=0 0",
        "m=audio 21000 RTP/AVP 0 101",
        "a=rtpmap:0 PCMU/8000",
        "a=rtpmap:101 telephone-event/8000",
        "a=fmtp:101 0-15",
        "a=ptime:20",
        "a=sendrecv",
    });

const std::string* const kMessages[] = {&kInvite, &kChallenge, &kOk};
const char* const kNames[] = {"invite_sdp", "401_register", "200_ok_sdp_rr"};

void Ours(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    TSipMessage m(*text);
    benchmark::DoNotOptimize(m.CallId.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text->size()));
}

template <size_t (*Parse)(const char*, size_t)>
void Peer(benchmark::State& state, const std::string* text) {
  for (auto _ : state) benchmark::DoNotOptimize(Parse(text->data(), text->size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text->size()));
}

// Every parser must read every message before any is timed.
void CheckAll() {
  for (size_t i = 0; i < 3; ++i) {
    const std::string& t = *kMessages[i];
    TSipMessage m(t);
    bool ok = !m.CallId.empty() && !m.CSeqMethod.empty() && OsipParse(t.data(), t.size()) == m.CallId.size() &&
              SofiaParse(t.data(), t.size()) == m.CallId.size() &&
              OsipParseWithSdp(t.data(), t.size()) == m.CallId.size() &&
              SofiaParseWithSdp(t.data(), t.size()) == m.CallId.size();
    std::fprintf(stderr, "%s: %zu bytes%s\n", kNames[i], t.size(), ok ? "" : "  PARSE FAILED");
    if (!ok) std::exit(1);
  }
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) {
  using namespace qv::bench;
  OsipInit();
  CheckAll();
  for (size_t i = 0; i < 3; ++i) {
    std::string n = kNames[i];
    benchmark::RegisterBenchmark((n + "/ours").c_str(), Ours, kMessages[i]);
    benchmark::RegisterBenchmark((n + "/osip").c_str(), Peer<OsipParse>, kMessages[i]);
    benchmark::RegisterBenchmark((n + "/sofia").c_str(), Peer<SofiaParse>, kMessages[i]);
    benchmark::RegisterBenchmark((n + "/osip+sdp").c_str(), Peer<OsipParseWithSdp>, kMessages[i]);
    benchmark::RegisterBenchmark((n + "/sofia+sdp").c_str(), Peer<SofiaParseWithSdp>, kMessages[i]);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
