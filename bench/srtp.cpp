// What SRTP costs a call.
//
// Packet: protect and then unprotect one 20 ms PCMU packet (12 + 160 bytes),
// for both suites: ours (TSrtpSession, as the send path and the playback
// thread use it) beside libsrtp2 called directly in a bare loop, the way its
// own timing tests drive it. The difference is what our layer adds.
//
// Call: two calls on 127.0.0.1 with virtual devices exchange a tone for
// three seconds, plain and with SRTP; the process CPU time they used
// (capture, send, receive, playout; both ends) is reported per call and
// second of conversation, as "cpu_ms_per_s".
#include <benchmark/benchmark.h>

#include <srtp2/srtp.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/rtp.h"
#include "media/srtp.h"
#include "platform/audio_virtual.h"
#include "sip/iputils.h"
#include "sip/sdes.h"

namespace {

using namespace qv;

std::vector<uint8_t> PcmuPacket() {
  std::vector<uint8_t> packet(kRtpHeaderBytes + 160 + kSrtpTrailerRoom);
  WriteRtpHeader(packet.data(), 0, 0, 0, 0x1234);
  for (int i = 0; i < 160; ++i) packet[size_t(kRtpHeaderBytes + i)] = uint8_t(i * 37);
  return packet;
}

void SetSequence(uint8_t* packet, uint32_t n) {
  packet[2] = uint8_t(n >> 8);
  packet[3] = uint8_t(n);
  const uint32_t ts = n * 160;
  packet[4] = uint8_t(ts >> 24);
  packet[5] = uint8_t(ts >> 16);
  packet[6] = uint8_t(ts >> 8);
  packet[7] = uint8_t(ts);
}

void BM_SrtpPacketOurs(benchmark::State& state) {
  const int suite = int(state.range(0));
  const std::string key = NewSrtpMasterKey();
  TSrtpSession out(TSrtpSession::TDirection::Outbound, suite, key);
  TSrtpSession in(TSrtpSession::TDirection::Inbound, suite, key);
  std::vector<uint8_t> packet = PcmuPacket();
  uint32_t n = 0;
  for (auto _ : state) {
    SetSequence(packet.data(), n++);
    int length = kRtpHeaderBytes + 160;
    if (!out.Protect(packet.data(), length, int(packet.size())) || !in.Unprotect(packet.data(), length)) {
      state.SkipWithError("SRTP refused a packet");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SrtpPacketOurs)->Arg(kSrtpAes128Sha1_80)->Arg(kSrtpAes128Sha1_32)->ArgNames({"suite"});

void BM_SrtpPacketLibsrtpLoop(benchmark::State& state) {
  srtp_init();
  const std::string key = NewSrtpMasterKey();
  auto make = [&](srtp_ssrc_type_t type) {
    srtp_policy_t policy;
    std::memset(&policy, 0, sizeof policy);
    if (state.range(0) == kSrtpAes128Sha1_80)
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
    else
      srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
    policy.ssrc.type = type;
    policy.key = reinterpret_cast<unsigned char*>(const_cast<char*>(key.data()));
    policy.window_size = 128;
    srtp_t session = nullptr;
    srtp_create(&session, &policy);
    return session;
  };
  srtp_t out = make(ssrc_any_outbound), in = make(ssrc_any_inbound);
  std::vector<uint8_t> packet = PcmuPacket();
  uint32_t n = 0;
  for (auto _ : state) {
    SetSequence(packet.data(), n++);
    int length = kRtpHeaderBytes + 160;
    if (srtp_protect(out, packet.data(), &length) != srtp_err_status_ok ||
        srtp_unprotect(in, packet.data(), &length) != srtp_err_status_ok) {
      state.SkipWithError("libsrtp refused a packet");
      break;
    }
  }
  srtp_dealloc(out);
  srtp_dealloc(in);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SrtpPacketLibsrtpLoop)->Arg(kSrtpAes128Sha1_80)->Arg(kSrtpAes128Sha1_32)->ArgNames({"suite"});

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

std::shared_ptr<TCall> MediaCall(int device, int port) {
  auto call = std::make_shared<TCall>(nullptr, "", nullptr);
  call->SetCodec(CreateCodec(0));
  call->SetLocalRtpPort(port);
  call->SetRemoteRtpAddress("127.0.0.1");
  call->SetInputDevice(device);
  call->SetOutputDevice(device);
  call->SetSilenceThreshold(0);
  return call;
}

int FreePort() {
  const int fd = CreateUdpSocket(0, TSocketSet::Rtp);
  const int port = BoundPort(fd);
  CloseSocket(fd);
  return port;
}

void BM_CallCpu(benchmark::State& state) {
  SelectAudioBackend("virtual");
  VirtualAudio::ResetAll();
  VirtualAudio::SetInputTone(1, 1000, 8000);
  VirtualAudio::SetInputTone(2, 600, 8000);
  const bool secure = state.range(0) != 0;
  double cpuMs = 0, seconds = 0;
  for (auto _ : state) {
    auto a = MediaCall(1, FreePort()), b = MediaCall(2, FreePort());
    a->SetRemoteRtpPort(b->GetLocalRtpPort());
    b->SetRemoteRtpPort(a->GetLocalRtpPort());
    if (secure) {
      TCallSrtp sa, sb;
      sa.Offer = sb.Offer = true;
      sa.Suite = sb.Suite = kSrtpAes128Sha1_80;
      sa.LocalKey = sb.RemoteKey = NewSrtpMasterKey();
      sb.LocalKey = sa.RemoteKey = NewSrtpMasterKey();
      a->SetSrtp(sa);
      b->SetSrtp(sb);
    }
    const double before = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    a->SetMediaActive(true);
    b->SetMediaActive(true);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    a->SetMediaActive(false);
    b->SetMediaActive(false);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpuMs += ProcessCpuMs() - before;
    if (a->GetRtpStats().SrtpRejected + b->GetRtpStats().SrtpRejected > 0) state.SkipWithError("packets refused");
  }
  // Two calls ran (one per end): per call and per second of it.
  state.counters["cpu_ms_per_s"] = cpuMs / 2 / std::max(seconds, 1e-9);
}
BENCHMARK(BM_CallCpu)->Arg(0)->Arg(1)->ArgNames({"srtp"})->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
