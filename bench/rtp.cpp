// Cost of one 20 ms frame through a call's media paths, PCMU.
//
// Send: SendAudioFrame as the capture thread calls it (pending packet out
// through a real UDP socket to 127.0.0.1, WAV/mute checks, conference and
// recorder hand-over points, encode, counters). The capture device is made to
// fail so that only the benchmark feeds frames.
//
// Receive: what the playback thread does with one datagram it has read
// (parse, decode, in-band DTMF and silence watch, reorder, play hand-over to
// conference and recorder), with no sound device: a play buffer counts as
// played at once.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "dialogs/call.h"
#include "media/codecs.h"
#include "media/recorder.h"
#include "media/rtp.h"
#include "media/rtpreceive.h"
#include "platform/audio_virtual.h"
#include "platform/audiodevice.h"

namespace {

using namespace qv;

std::vector<int16_t> ToneFrame() {
  std::vector<int16_t> frame(kFrameSamples);
  for (int i = 0; i < kFrameSamples; ++i)
    frame[size_t(i)] = int16_t(8000 * std::sin(2 * std::numbers::pi * 1000 * i / 8000.0));
  return frame;
}

int BoundLoopbackSocket(int& port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

void BM_SendPathPcmu(benchmark::State& state) {
  SelectAudioBackend("virtual");
  int sinkPort = 0, rtpPort = 0;
  int sink = BoundLoopbackSocket(sinkPort);
  close(BoundLoopbackSocket(rtpPort));
  auto call = std::make_shared<TCall>(nullptr, "", nullptr);
  call->SetCodec(CreateCodec(0));
  call->SetLocalRtpPort(rtpPort);
  call->SetRemoteRtpAddress("127.0.0.1");
  call->SetRemoteRtpPort(sinkPort);
  call->SetInputDevice(6);
  call->Media().SetCaptureByHand(true);  // frames go in by the benchmark's hand
  call->SetOutputDevice(6);
  if (state.range(0)) call->SetRecorder(std::make_shared<TSipRecorder>());
  call->SetMediaActive(true);
  const std::vector<int16_t> tone = ToneFrame();
  int16_t frame[kFrameSamples];
  uint8_t drain[2048];
  int64_t frames = 0;
  for (auto _ : state) {
    std::memcpy(frame, tone.data(), kFrameBytes);
    call->SendAudioFrame(frame);
    if ((++frames & 63) == 0) {
      state.PauseTiming();  // keep the sink's queue from filling up
      while (recv(sink, drain, sizeof drain, 0) > 0) {
      }
      if (state.range(0)) call->GetRecorder()->Clear();
      state.ResumeTiming();
    }
  }
  call->SetMediaActive(false);
  close(sink);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendPathPcmu)->Arg(0)->Arg(1)->ArgNames({"recorder"});

void BM_ReceivePathPcmu(benchmark::State& state) {
  auto call = std::make_shared<TCall>(nullptr, "", nullptr);
  call->SetSilenceThreshold(500);
  call->SetSilenceTimeout(5000);
  if (state.range(0)) call->SetRecorder(std::make_shared<TSipRecorder>());
  TRtpReceiver receiver(CreateCodec(0));
  const std::vector<int16_t> tone = ToneFrame();
  std::vector<uint8_t> packet(kRtpHeaderBytes + 160);
  WriteRtpHeader(packet.data(), 0, 0, 0, 0x1234);
  CreateCodec(0)->Encode(tone.data(), packet.data() + kRtpHeaderBytes);
  uint16_t sequence = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    packet[2] = uint8_t(sequence >> 8);
    packet[3] = uint8_t(sequence);
    ++sequence;
    receiver.HandlePacket(packet.data(), int(packet.size()), *call);
    if (state.range(0) && (++frames & 1023) == 0) call->GetRecorder()->Clear();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceivePathPcmu)->Arg(0)->Arg(1)->ArgNames({"recorder"});

}  // namespace

BENCHMARK_MAIN();
