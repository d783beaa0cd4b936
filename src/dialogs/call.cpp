#include "dialogs/call.h"

#include <utility>

#include "dialogs/guids.h"
#include "media/callmedia.h"
#include "platform/clock.h"
#include "sip/sipmessage.h"

namespace qv {

namespace {

constexpr uint32_t kLcgMultiplier = 134775813;  // 0x08088405
constexpr uint32_t kDtmfRepeatMs = 120;         // a detector reports one key press many times

std::atomic<uint32_t> callRandomState{0};

}  // namespace

uint32_t LcgDraw(uint32_t& state, uint32_t range) {
  state = state * kLcgMultiplier + 1;  // wraps modulo 2^32
  return uint32_t((uint64_t(state) * range) >> 32);
}

uint32_t CallRandom(uint32_t range) {
  uint32_t old = callRandomState.load();
  uint32_t next;
  uint32_t result;
  do {
    next = old;
    result = LcgDraw(next, range);
  } while (!callRandomState.compare_exchange_weak(old, next));
  return result;
}

TCall::TCall(const ISipEnginePtr& engine, const std::string& callId, const ISipAccountPtr& account)
    : engine_(engine),
      callId_(callId.empty() ? NewHexId() : callId),
      localTag_(NewTag()),
      branch_(NewBranch()),
      account_(account),
      startTime_(Now()),
      ssrc_(CallRandom(5000) + GetTickMs()),
      media_(std::make_unique<TCallMedia>(ssrc_)) {
  // The generator's draws are ordered: the SSRC part first, then the session id.
  sdpSessionId_.store(int(CallRandom(55000)) + 1234);
}

TCall::~TCall() {
  // Possibly on one of the call's own media threads (it held the last
  // reference): the media then let that thread end by itself.
  media_->SetActive(*this, false);
}

void TCall::SetState(TCallState value) {
  if (state_.exchange(value) == value) return;
  if (ISipEnginePtr engine = engine_.lock()) engine->NotifyCallState(shared_from_this(), int(value));
}

void TCall::NotifyDtmf(const std::string& text) {
  uint32_t now = GetTickMs();
  // Every call restarts the window, so a digit the detector keeps reporting
  // is delivered once; the unsigned difference survives the clock's wrap.
  uint32_t last = lastDtmfTick_.exchange(now);
  if (now - last < kDtmfRepeatMs || text.empty()) return;
  if (ISipEnginePtr engine = engine_.lock()) engine->NotifyDtmf(shared_from_this(), text);
}

void TCall::NotifySilence() {
  if (ISipEnginePtr engine = engine_.lock()) engine->NotifyDtmf(shared_from_this(), "s");
}

void TCall::SetConference(const ISipConferencePtr& value) {
  ISipConferencePtr old;  // released outside the lock
  std::lock_guard guard(conferenceLock_);
  old = std::exchange(conference_, value);
}

ISipConferencePtr TCall::GetConference() {
  std::lock_guard guard(conferenceLock_);
  return conference_;
}

void TCall::SetRecorder(const ISipRecorderPtr& value) {
  ISipRecorderPtr old;
  std::lock_guard guard(recorderLock_);
  old = std::exchange(recorder_, value);
}

ISipRecorderPtr TCall::GetRecorder() {
  std::lock_guard guard(recorderLock_);
  return recorder_;
}

IWavFilePtr TCall::GetWavSource() {
  std::lock_guard guard(wavLock_);
  return wavSource_;
}

void TCall::SetWavSource(const IWavFilePtr& value) {
  IWavFilePtr old;
  std::lock_guard guard(wavLock_);
  old = std::exchange(wavSource_, value);
}

void TCall::DeliverRemoteFrame(int16_t* frame) {
  // Under each lock, so that once SetConference(nullptr) or SetRecorder(nullptr)
  // has returned the old object receives no further frame from this call.
  {
    std::lock_guard guard(conferenceLock_);
    if (conference_) conference_->MixRemote(*this, frame);
  }
  std::lock_guard guard(recorderLock_);
  if (recorder_) recorder_->AddRemoteFrame(frame);
}

void TCall::DeliverLocalFrame(int16_t* frame) {
  {
    std::lock_guard guard(conferenceLock_);
    if (conference_) conference_->MixLocal(*this, frame);
  }
  std::lock_guard guard(recorderLock_);
  if (recorder_) recorder_->AddLocalFrame(frame);
}

bool TCall::ReadWavFrame(int16_t* frame, int bytes, bool& ended) {
  IWavFilePtr finished;  // released after the lock
  std::lock_guard guard(wavLock_);
  if (!wavSource_) return false;
  // Checked and taken off under one lock, so that a source set meanwhile by
  // the user is never the one removed.
  if (wavSource_->GetPosition() + bytes > wavSource_->GetSize()) {
    finished = std::move(wavSource_);
    ended = true;
    return false;
  }
  wavSource_->Read(frame, bytes);
  return true;
}

// The queue has its own small lock rather than the call lock: the capture
// thread reads it every frame, and the engine stops media holding the call lock.
void TCall::QueueDtmf(const std::string& digits) { media_->Dtmf().Append(digits); }

std::string TCall::GetDtmfQueue() { return media_->Dtmf().Get(); }

void TCall::SetDtmfQueue(const std::string& value) { media_->Dtmf().Set(value); }

void TCall::SetSrtp(const TCallSrtp& value) {
  {
    std::lock_guard guard(fields_);
    srtp_ = value;
  }
  // The media follow at once: the next packet either way uses the new keys.
  media_->SetSrtp(*this, value);
}

IAudioCodecPtr TCall::GetCodec() {
  std::lock_guard guard(fields_);
  return codec_;
}

void TCall::SetCodec(const IAudioCodecPtr& value) {
  IAudioCodecPtr old;
  std::lock_guard guard(fields_);
  old = std::exchange(codec_, value);
}

ISipAccountPtr TCall::GetAccount() {
  std::lock_guard guard(fields_);
  return account_;
}

void TCall::SetAccount(const ISipAccountPtr& value) {
  ISipAccountPtr old;
  std::lock_guard guard(fields_);
  old = std::exchange(account_, value);
}

int TCall::GetRtpSocket() { return media_->Socket(); }

bool TCall::GetMediaActive() { return media_->Active(); }

void TCall::SetMediaActive(bool value) { media_->SetActive(*this, value); }

void TCall::SendAudioFrame(int16_t* frame) { media_->SendAudioFrame(*this, frame); }

int TCall::GetAudioRate() { return media_->Rate(); }

// --- Route set -------------------------------------------------------------

void TCall::SetRouteSet(const TSipMessage& message) {
  std::vector<std::string> routes;
  for (int i = message.RecordRouteCount() - 1; i >= 0; --i) routes.push_back(message.RecordRoute(i));
  std::lock_guard guard(fields_);
  routeSet_.swap(routes);
}

int TCall::RouteCount() {
  std::lock_guard guard(fields_);
  return int(routeSet_.size());
}

// Walking the reversed list backwards gives the entries in their order of arrival.
std::string TCall::RenderReversed(const char* name) {
  std::lock_guard guard(fields_);
  std::string lines;
  for (auto it = routeSet_.rbegin(); it != routeSet_.rend(); ++it) lines += name + *it + "\r\n";
  return lines;
}

// The set is kept reversed for a caller and in arrival order for a callee
// (see SetRouteSet and DialogRoute), so the first hop sits at either end.
std::string TCall::FirstRoute() {
  std::lock_guard guard(fields_);
  if (routeSet_.empty()) return {};
  return incoming_.load() ? routeSet_.back() : routeSet_.front();
}

std::string TCall::RouteLine() {
  std::lock_guard guard(fields_);
  if (routeSet_.empty()) return {};
  std::string line = "Route: ";
  for (size_t i = 0; i < routeSet_.size(); ++i) line += (i ? "," : "") + routeSet_[i];
  return line + "\r\n";
}

}  // namespace qv
