#include "interop_ua.h"

#include <chrono>

#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "platform/audiodevice.h"
#include "support/peer_baresip.h"
#include "support/peer_process.h"
#include "support/tone_analysis.h"

namespace qv::test {

TInteropUa::TInteropUa()
    : window_(std::make_shared<TMessageQueue>()),
      engine_(std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(0, window_))),
      events_(window_) {
  // Media run on the virtual devices: no sound card, and the tests choose
  // what the microphone says and read back what was played.
  SelectAudioBackend("virtual");
  // RTP ports from a free spot too: nothing in these tests is fixed.
  int base = FreeUdpPort() & ~1;
  if (base > 60000) base = 40000;
  // The peers' tones reach us through a virtual microphone: not a room's
  // echo and noise to remove.
  engine_->SetEchoCancellation(false);
  engine_->SetRtpPortMin(base);
  engine_->SetRtpPortMax(base + 200);
  engine_->SetActive(true);
}

TInteropUa::~TInteropUa() { engine_->SetActive(false); }

ISipAccountPtr TInteropUa::AddAccount(const std::string& server, const std::string& user,
                                      const std::string& password, const std::string& stun) {
  return engine_->AddAccount(stun, server, user, password, "");
}

bool TInteropUa::Register(const ISipAccountPtr& account, int timeoutMs) {
  engine_->StartRegistration(account);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (events_.WaitFor(MsgRegistered, 50)) return true;
    if (events_.WaitFor(MsgRegistrationEnded, 0)) return false;
  }
  return false;
}

ISipCallPtr TInteropUa::WaitIncoming(int timeoutMs) {
  auto event = events_.WaitFor(MsgIncomingCall, timeoutMs);
  if (!event) return nullptr;
  auto call = std::dynamic_pointer_cast<ISipCall>(event->Obj);
  call->Lock();
  if (call->GetState() == csIdle) call->SetState(csRinging);
  call->Unlock();
  return call;
}

bool TInteropUa::WaitCallEvent(uint32_t msg, const ISipCallPtr& call, int timeoutMs) {
  return events_.WaitFor(msg, timeoutMs, call).has_value();
}

std::string TInteropUa::Received() {
  events_.Pump();
  std::string all;
  for (const std::string& text : events_.Logs()) all += text + "\n----\n";
  return all;
}

double FrequencyWeHear(double seconds, int rate) {
  VirtualAudio::WaitOutputSamples(0, uint64_t(seconds * rate), int(seconds * 1000) + 3000);
  std::vector<int16_t> played = VirtualAudio::OutputSamples(0);
  if (played.size() < size_t(rate) || int(VirtualAudio::OutputFormat(0).SamplesPerSec) != rate) return 0;
  const int16_t* last = played.data() + played.size() - rate;
  if (Rms(last, size_t(rate)) < 500) return 0;
  return DominantFrequency(last, size_t(rate), rate);
}

double FrequencyBaresipHeard(const TBaresip& peer, int rate) {
  for (const std::string& path : peer.RecordedAudio()) {
    if (path.find("-dec.wav") == std::string::npos) continue;
    TMonoPcm heard = ReadWavAsMono16(path);
    const size_t skip = size_t(rate) / 2;
    if (int(heard.SampleRate) != rate || heard.Samples.size() < skip + size_t(rate)) return 0;
    const int16_t* second = heard.Samples.data() + skip;
    if (Rms(second, size_t(rate)) < 500) return 0;
    return DominantFrequency(second, size_t(rate), rate);
  }
  return 0;
}

}  // namespace qv::test
