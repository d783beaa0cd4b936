// What a whole secure call costs beside a plain one.
//
// Two user agents of ours (two TSipClient in this process, each on its own
// virtual sound devices, echo canceller off, defaults otherwise) register
// with Digest at a Kamailio this benchmark starts on 127.0.0.1
// (certificates made for it here, as the interop tests make them), then one
// calls the other through it, the callee answers and both exchange a tone
// for a few seconds; the call must be encrypted when asked and carry both
// tones. Settings (transport, srtp):
//
//   0/0   SIP over UDP, plain RTP (what every account had)
//   0/1   SIP over UDP, SRTP mandatory (keys allowed over UDP)
//   1/0   SIP over TLS, plain RTP
//   1/1   SIP over TLS, SRTP mandatory
//
// BM_PlainAndSecureInTurn is the comparison to read: plain (0/0) and secure
// calls one after the other in the same step, so that other programs' load
// falls on both alike; BM_WholeCall runs each setting on its own.
//
// Process CPU time (CLOCK_PROCESS_CPUTIME_ID: every thread of ours, both
// user agents; Kamailio runs in its own process and is not counted), per
// user agent:
//   register_cpu_ms    connection, TLS handshake, REGISTER, 401, REGISTER, 200
//   call_setup_cpu_ms  INVITE, 407, INVITE, 180, 200, ACK and the media start,
//                      both ends averaged
//   cpu_ms_per_call_s  one end of the call for each second of conversation
//                      (capture, encoding, SRTP, sending, receiving, playout,
//                      the signalling connection, the consumer's event loop)
//
//   build/default/bench/bench_secure_call --benchmark_filter=InTurn
//   QV_BENCH_CALL_SECONDS=10 (default 5): the length of each call
//
// Needs kamailio and its tls module (kamailio-tls-modules). CPU time grows
// with the machine's load (late wake-ups, cold caches): compare only within
// one run.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "component/sipclient.h"
#include "platform/audio_virtual.h"
#include "platform/audiodevice.h"
#include "media/srtp.h"
#include "sip/sdes.h"
#include "sip/streamconn.h"
#include "sip/tlsstream.h"
#include "support/peer_kamailio.h"
#include "support/testcerts.h"
#include "support/tone_analysis.h"

namespace {

using namespace qv;
using namespace qv::test;

constexpr double kAliceTone = 1000, kBobTone = 600;
constexpr int kAliceDevice = 1, kBobDevice = 2;

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

int CallSeconds() {
  const char* text = std::getenv("QV_BENCH_CALL_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 5;
}

// One Kamailio for the whole run, with a TLS port and a certificate for
// 127.0.0.1 signed by a CA of our own.
struct TServer {
  TPeerDir dir;
  TTestCa ca = MakeTestCa(dir.Path(), "bench");
  TServerCert cert = MakeServerCert(ca, dir.Path(), "kamailio", {"localhost"}, {"127.0.0.1"});
  TKamailio kamailio{dir, {{"alice", "alicepw"}, {"bob", "bobpw"}}, false, 0, {},
                     TKamailioTls{cert.CertFile, cert.KeyFile}};
};

TServer& Server() {
  static TServer server;
  return server;
}

struct TAgent {
  TSipClient client;
  ISipAccountPtr account;
  bool registered = false;
  ISipCallPtr call;
  bool answered = false;
  bool ended = false;

  TAgent(const std::string& user, bool tls, bool srtp) {
    const int rtp = FreeRtpBase();
    client.SetLocalPort(0);
    client.SetRtpPortMin(rtp);
    client.SetRtpPortMax(rtp + 40);
    client.SetTransport(tls ? TSipTransport::Tls : TSipTransport::Udp);
    client.SetSrtpMode(srtp ? TSrtpMode::Mandatory : TSrtpMode::Off);
    client.SetSrtpKeysWithoutTls(srtp && !tls);
    client.SetCaFile(Server().ca.CertFile);
    // Fed two pure tones and no echo path, the canceller diverges, resets
    // itself and leaks the far end's tone into what it sends; it costs the
    // same with or without TLS and SRTP, so it stays out of the figures.
    client.SetEchoCancellation(false);
    client.OnRegistrationOk = [this](TSipClient&, const ISipAccountPtr&) { registered = true; };
    client.OnInviteOk = [this](TSipClient&, const ISipCallPtr&) { answered = true; };
    client.OnBye = [this](TSipClient&, const ISipCallPtr&) { ended = true; };
    client.SetActive(true);
    const TKamailio& k = Server().kamailio;
    account = client.AddAccount("127.0.0.1:" + std::to_string(tls ? k.TlsPort() : k.Port()), user, user + "pw", "", "");
    // Via, Contact and SDP name 127.0.0.1 (a registrar would otherwise get
    // the machine's own address): nothing goes beyond loopback.
    client.PrepareAccount(account);
  }
};

// Pumps both agents' events until `done` or `timeoutMs`; false on time-out.
// `sliceMs`: how long one agent's wait may hold up the other's events (short
// while a set-up goes back and forth, long while the call only talks, as an
// application's event loop would sleep).
bool PumpUntil(TAgent& a, TAgent& b, const std::function<bool()>& done, int timeoutMs, int sliceMs = 5) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    a.client.ProcessMessages(sliceMs);
    b.client.ProcessMessages(0);
  }
  return true;
}

// The tone the last second played on `device` carries, 0 when silent.
double Heard(int device) {
  std::vector<int16_t> played = VirtualAudio::OutputSamples(device);
  const int rate = int(VirtualAudio::OutputFormat(device).SamplesPerSec);
  if (rate <= 0 || played.size() < size_t(rate)) return 0;
  const int16_t* last = played.data() + played.size() - size_t(rate);
  if (Rms(last, size_t(rate)) < 300) return 0;
  return DominantFrequency(last, size_t(rate), rate);
}

// What one call cost; `error` says why it did not happen as set.
struct TCallCost {
  double RegisterMs = 0, SetupMs = 0, TalkMs = 0, TalkSeconds = 0;
  std::string Error;
};

// One whole call as the file comment tells, with both agents made afresh.
TCallCost RunCall(bool tls, bool srtp, int callSeconds) {
  TCallCost cost;
  auto alice = std::make_unique<TAgent>("alice", tls, srtp);
  auto bob = std::make_unique<TAgent>("bob", tls, srtp);
  bob->client.OnInvite = [&bob](TSipClient& client, const ISipCallPtr& call) {
    call->SetInputDevice(kBobDevice);
    call->SetOutputDevice(kBobDevice);
    bob->call = call;
    client.Answer(call);
  };

  // One after the other, so that neither handshake waits for the other's.
  double before = CpuMs();
  alice->client.Register(alice->account);
  const bool aliceIn = PumpUntil(*alice, *bob, [&] { return alice->registered; }, 10000);
  bob->client.Register(bob->account);
  if (!aliceIn || !PumpUntil(*alice, *bob, [&] { return bob->registered; }, 10000)) {
    cost.Error = "no registration: " + alice->account->GetEndReason().Detail + " " +
                 Server().kamailio.Process().LogTail(10);
    return cost;
  }
  cost.RegisterMs = CpuMs() - before;

  before = CpuMs();
  alice->call = alice->client.MakeCall(alice->account, "bob", kAliceDevice, kAliceDevice);
  if (!PumpUntil(*alice, *bob, [&] { return alice->answered && bob->answered; }, 10000)) {
    cost.Error = "no call: end status " + alice->call->GetEndStatus();
    return cost;
  }
  cost.SetupMs = CpuMs() - before;

  VirtualAudio::ClearOutput(kAliceDevice);
  VirtualAudio::ClearOutput(kBobDevice);
  before = CpuMs();
  const auto start = std::chrono::steady_clock::now();
  PumpUntil(*alice, *bob, [&] { return alice->ended || bob->ended; }, callSeconds * 1000, 100);
  cost.TalkSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.TalkMs = CpuMs() - before;

  // The call must have been what it claims: encrypted when asked, and
  // carrying each side's tone to the other.
  const double aliceHeard = Heard(kAliceDevice), bobHeard = Heard(kBobDevice);
  const bool encrypted = alice->call->GetSrtp().Active() && bob->call->GetSrtp().Active();
  const bool early = alice->ended || bob->ended;
  alice->client.HangUp(alice->call);
  PumpUntil(*alice, *bob, [&] { return bob->ended; }, 5000);
  if (early) {
    cost.Error = "the call ended early";
  } else if (encrypted != srtp || std::abs(aliceHeard - kBobTone) > 5 || std::abs(bobHeard - kAliceTone) > 5) {
    cost.Error = "the call was not as set: srtp " + std::to_string(encrypted) + ", heard " +
                 std::to_string(aliceHeard) + " and " + std::to_string(bobHeard) + " Hz";
  }
  return cost;  // the agents go: un-REGISTER and close, not measured
}

bool StartAll(benchmark::State& state) {
  try {
    Server();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return false;
  }
  SelectAudioBackend("virtual");
  VirtualAudio::ResetAll();
  VirtualAudio::SetInputTone(kAliceDevice, kAliceTone, 8000);
  VirtualAudio::SetInputTone(kBobDevice, kBobTone, 8000);
  return true;
}

// Per user agent (two take part in each call).
void Report(benchmark::State& state, const std::string& prefix, const std::vector<TCallCost>& costs) {
  double registerMs = 0, setupMs = 0, talkMs = 0, talkSeconds = 0;
  for (const TCallCost& c : costs) {
    registerMs += c.RegisterMs;
    setupMs += c.SetupMs;
    talkMs += c.TalkMs;
    talkSeconds += c.TalkSeconds;
  }
  const double n = double(std::max<size_t>(costs.size(), 1));
  state.counters[prefix + "register_cpu_ms"] = registerMs / 2 / n;
  state.counters[prefix + "call_setup_cpu_ms"] = setupMs / 2 / n;
  state.counters[prefix + "cpu_ms_per_call_s"] = talkMs / 2 / std::max(talkSeconds, 1e-9);
}

void BM_WholeCall(benchmark::State& state) {
  const bool tls = state.range(0) != 0, srtp = state.range(1) != 0;
  if (!StartAll(state)) return;
  std::vector<TCallCost> costs;
  for (auto _ : state) {
    costs.push_back(RunCall(tls, srtp, CallSeconds()));
    if (!costs.back().Error.empty()) {
      state.SkipWithError(costs.back().Error.c_str());
      return;
    }
  }
  Report(state, "", costs);
}
BENCHMARK(BM_WholeCall)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->ArgNames({"transport", "srtp"})
    ->Iterations(3)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The pair that matters, measured in turns: each step makes a plain call and
// a secure one (transport:1/srtp:1, TLS and SRTP; the other two settings
// tell the parts apart), the order changing every step, so that the load of
// other programs on the machine weighs on both alike. "plain_" and
// "secure_" counters as above; "extra_" the secure call's cost above the
// plain one.
void BM_PlainAndSecureInTurn(benchmark::State& state) {
  const bool tls = state.range(0) != 0, srtp = state.range(1) != 0;
  if (!StartAll(state)) return;
  std::vector<TCallCost> plain, secure;
  bool secureFirst = false;
  for (auto _ : state) {
    for (bool secureNow : {secureFirst, !secureFirst}) {
      TCallCost cost = RunCall(secureNow && tls, secureNow && srtp, CallSeconds());
      if (!cost.Error.empty()) {
        state.SkipWithError(cost.Error.c_str());
        return;
      }
      (secureNow ? secure : plain).push_back(cost);
    }
    secureFirst = !secureFirst;
  }
  Report(state, "plain_", plain);
  Report(state, "secure_", secure);
  for (const char* what : {"register_cpu_ms", "call_setup_cpu_ms", "cpu_ms_per_call_s"})
    state.counters[std::string("extra_") + what] =
        double(state.counters["secure_" + std::string(what)]) - double(state.counters["plain_" + std::string(what)]);
}
BENCHMARK(BM_PlainAndSecureInTurn)
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 0})
    ->ArgNames({"transport", "srtp"})
    ->Iterations(6)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The pieces of a secure set-up that may explain its cost: the TLS client
// context each new connection makes (the system's certificate store read
// and the CA file), and the two SRTP sessions of a call.
void BM_TlsClientContext(benchmark::State& state) {
  const std::string caFile = state.range(0) ? Server().ca.CertFile : "";
  for (auto _ : state) benchmark::DoNotOptimize(std::make_shared<TTlsContext>(caFile));
}
BENCHMARK(BM_TlsClientContext)->Arg(0)->Arg(1)->ArgNames({"ca_file"})->Unit(benchmark::kMillisecond);

// A connection to Kamailio's TLS port up to the end of the handshake (the
// context above included), then closed: the client's side of it.
void BM_TlsConnect(benchmark::State& state) {
  TStreamConnection::TOptions options;
  options.Host = "127.0.0.1";
  options.Port = Server().kamailio.TlsPort();
  options.Tls = true;
  options.CaFile = Server().ca.CertFile;
  options.KeepAliveMs = 0;
  double cpuMs = 0;
  for (auto _ : state) {
    const double before = CpuMs();
    TStreamConnection connection(options, nullptr, nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (connection.Description().empty() && connection.Open() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (connection.Description().empty()) {
      state.SkipWithError("no TLS handshake with Kamailio");
      break;
    }
    cpuMs += CpuMs() - before;
  }
  state.counters["cpu_ms"] = cpuMs / double(std::max<int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_TlsConnect)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SrtpSessionPair(benchmark::State& state) {
  double firstMs = CpuMs();
  { TSrtpSession first(TSrtpSession::TDirection::Outbound, kSrtpAes128Sha1_80, NewSrtpMasterKey()); }
  firstMs = CpuMs() - firstMs;
  const std::string key = NewSrtpMasterKey();
  for (auto _ : state) {
    TSrtpSession out(TSrtpSession::TDirection::Outbound, kSrtpAes128Sha1_80, key);
    TSrtpSession in(TSrtpSession::TDirection::Inbound, kSrtpAes128Sha1_80, key);
    benchmark::DoNotOptimize(&in);
  }
  // The library's start (its self tests) runs with the first session of the process.
  state.counters["first_session_cpu_ms"] = firstMs;
}
BENCHMARK(BM_SrtpSessionPair)->Unit(benchmark::kMicrosecond);


}  // namespace

BENCHMARK_MAIN();
