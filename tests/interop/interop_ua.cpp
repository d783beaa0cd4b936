#include "interop_ua.h"

#include <chrono>

#include "platform/audiodevice.h"
#include "support/peer_process.h"

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

}  // namespace qv::test
