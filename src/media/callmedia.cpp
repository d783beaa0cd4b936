#include "media/callmedia.h"

#include <cstring>
#include <utility>

#include "media/soundinput.h"
#include "media/soundplay.h"
#include "sip/iputils.h"

namespace qv {

namespace {

// The sender's view of the call's socket and peer address.
class TCallOutput final : public IRtpOutput {
public:
  TCallOutput(TCallMedia& media, IMediaCall& call) : media_(media), call_(call) {}
  bool SendRtp(const uint8_t* bytes, int length) override { return media_.SendRtp(call_, bytes, length); }

private:
  TCallMedia& media_;
  IMediaCall& call_;
};

}  // namespace

TCallMedia::TCallMedia(uint32_t ssrc) : sender_(ssrc) {}

TCallMedia::~TCallMedia() = default;

void TCallMedia::SetActive(IMediaCall& call, bool value) {
  if (value) {
    Start(call);
  } else {
    Stop(call);
  }
}

void TCallMedia::Start(IMediaCall& call) {
  std::unique_lock lock(control_);
  if (active_) return;
  std::weak_ptr<ISipCall> self = call.WeakSelf();
  std::unique_ptr<TSoundCardOutput> playback;
  std::unique_ptr<TSoundCardInput> capture;
  try {
    // Each start is a new offer or answer: the source is found again.
    peer_->Forget();
    // The devices run at the codec's rate: a wideband codec hears and sends
    // the whole band, with no conversion between them and the codec.
    IAudioCodecPtr codec = call.GetCodec();
    const int rate = codec && codec->GetSampleRate() == kWideRate ? kWideRate : kNarrowRate;
    rate_ = rate;
    if (rate != kNarrowRate) {
      sourceUp_.Setup(kNarrowRate, rate);
      narrowDown_.Setup(rate, kNarrowRate);
      narrowUp_.Setup(kNarrowRate, rate);
    }
    playback = std::make_unique<TSoundCardOutput>(self, codec, call.GetOutputDevice(), peer_, rate);
    auto socket = std::make_shared<TRtpSocket>(CreateUdpSocket(call.GetLocalRtpPort(), TSocketSet::Rtp));
    playback->SetSocket(socket);
    {
      std::lock_guard guard(call.SendLock());
      socket_ = socket;
    }
    socketFd_ = socket->Fd;
    active_ = true;
    if (!captureByHand_) capture = std::make_unique<TSoundCardInput>(self, call.GetInputDevice(), rate);
  } catch (...) {
    // Undo what was made, ending the threads outside control_.
    active_ = false;
    socketFd_ = -1;
    {
      std::lock_guard guard(call.SendLock());
      socket_.reset();
    }
    lock.unlock();
    capture.reset();
    playback.reset();
    throw;
  }
  capture_ = std::move(capture);
  playback_ = std::move(playback);
}

void TCallMedia::Stop(IMediaCall& call) {
  std::unique_ptr<TSoundCardInput> capture;
  std::unique_ptr<TSoundCardOutput> playback;
  {
    std::lock_guard guard(control_);
    capture = std::move(capture_);
    playback = std::move(playback_);
    active_ = false;
    socketFd_ = -1;
  }
  // The capture thread first: once it is gone nothing sends any more, and
  // the socket can be let go under the send lock without waiting for it.
  capture.reset();
  {
    std::lock_guard guard(call.SendLock());
    socket_.reset();
  }
  playback.reset();  // the socket closes when the playback thread lets go of it
}

int TCallMedia::CaptureOpenError() {
  std::lock_guard guard(control_);
  return capture_ ? capture_->OpenError() : 0;
}

bool TCallMedia::PlaybackDeviceFailed() {
  std::lock_guard guard(control_);
  return playback_ && playback_->DeviceFailed();
}

bool TCallMedia::SendRtp(IMediaCall& call, const uint8_t* bytes, int length) {
  std::lock_guard guard(call.SendLock());
  if (!socket_) return false;
  const TRtpAddress to = peer_->SendTarget({call.GetRemoteRtpAddress(), call.GetRemoteRtpPort()});
  return SendDatagram(TSocketSet::Rtp, socket_->Fd, bytes, length, to.Port, to.Host);
}

void TCallMedia::FromNarrowband(const int16_t* narrow, int16_t* frame) {
  const int rate = rate_;
  if (rate == kNarrowRate) {
    if (narrow != frame) std::memcpy(frame, narrow, kFrameBytes);
    return;
  }
  sourceUp_.Setup(kNarrowRate, rate);
  sourceUp_.Convert(narrow, kFrameSamples, frame, FrameSamplesAt(rate));
}

// A wideband frame goes to the conference and the recorder converted, and
// comes back converted only when the conference mixed others into it: a call
// alone keeps its whole band.
void TCallMedia::DeliverLocal(IMediaCall& call, int16_t* frame) {
  const int rate = rate_;
  if (rate == kNarrowRate) {
    call.DeliverLocalFrame(frame);
    return;
  }
  if (!call.GetConference() && !call.GetRecorder()) return;
  const int samples = FrameSamplesAt(rate);
  int16_t narrow[kFrameSamples], before[kFrameSamples];
  narrowDown_.Setup(rate, kNarrowRate);
  narrowDown_.Convert(frame, samples, narrow, kFrameSamples);
  std::memcpy(before, narrow, sizeof before);
  call.DeliverLocalFrame(narrow);
  if (std::memcmp(before, narrow, sizeof before) != 0) {
    narrowUp_.Setup(kNarrowRate, rate);
    narrowUp_.Convert(narrow, kFrameSamples, frame, samples);
  }
}

void TCallMedia::SendAudioFrame(IMediaCall& call, int16_t* frame) {
  // The payload types and packet time as the last SDP exchange left them.
  const TRtpPayloadMap map = call.GetPayloadMap();
  TCallOutput output(*this, call);
  sender_.SendPending(dtmf_, output, map.SendEventType, map.SendEventClock);

  IAudioCodecPtr codec = call.GetCodec();
  const int rate = rate_;
  // A WAV source plays instead of the microphone, 20 ms of its 8000 Hz audio
  // at a time; when too little is left it is taken off and the microphone
  // comes back.
  int16_t narrow[kFrameSamples];
  bool wavEnded = false;
  const bool fromWav = call.ReadWavFrame(narrow, kFrameBytes, wavEnded);
  if (fromWav) FromNarrowband(narrow, frame);
  if (wavEnded) {
    ISipEnginePtr engine = call.GetEngine();
    ISipCallPtr self = call.WeakSelf().lock();
    if (engine && self) engine->NotifyWavStopped(self);
  }
  // Muted means muted: a WAV source that just ended does not let the
  // microphone through.
  if (!fromWav && !call.GetMicrophoneEnabled()) FromNarrowband(kMutedFrame.data(), frame);
  const bool onHold = call.GetOnHold();
  // A peer that takes no telephone events hears the digits as tones, like a
  // WAV source would play them (the conference and the recorder hear them too).
  if (map.SendEventType < 0 && !onHold && codec) sender_.PlayInBandDigit(dtmf_, frame, rate);
  DeliverLocal(call, frame);

  if (!codec) {
    sender_.Discard();  // no common codec (a re-offer failed): send nothing
    return;
  }
  const int codecRate = codec->GetSampleRate();
  if (codecRate != rate) {
    // A re-offer changed to a codec of another rate while the media ran.
    int16_t converted[kMaxFrameSamples];
    toCodec_.Setup(rate, codecRate);
    toCodec_.Convert(frame, FrameSamplesAt(rate), converted, FrameSamplesAt(codecRate));
    sender_.Prepare(*codec, converted, onHold, map.SendAudioType, map.SendPacketMs);
    return;
  }
  sender_.Prepare(*codec, frame, onHold, map.SendAudioType, map.SendPacketMs);
}

}  // namespace qv
