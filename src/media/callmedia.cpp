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
    playback = std::make_unique<TSoundCardOutput>(self, call.GetCodec(), call.GetOutputDevice(), peer_);
    auto socket = std::make_shared<TRtpSocket>(CreateUdpSocket(call.GetLocalRtpPort(), TSocketSet::Rtp));
    playback->SetSrtp(srtpIn_);
    playback->SetSocket(socket);
    {
      std::lock_guard guard(call.SendLock());
      socket_ = socket;
    }
    socketFd_ = socket->Fd;
    active_ = true;
    if (!captureByHand_) capture = std::make_unique<TSoundCardInput>(self, call.GetInputDevice());
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
  if (!srtpOut_) return SendDatagram(TSocketSet::Rtp, socket_->Fd, bytes, length, to.Port, to.Host);
  // A secure call sends nothing in the clear: a packet SRTP refuses is lost.
  uint8_t packet[kRtpPacketBytes + kSrtpTrailerRoom];
  if (length > kRtpPacketBytes) return false;
  std::memcpy(packet, bytes, size_t(length));
  if (!srtpOut_->Protect(packet, length, int(sizeof packet))) return false;
  return SendDatagram(TSocketSet::Rtp, socket_->Fd, packet, length, to.Port, to.Host);
}

namespace {

// The session for one direction: the one in hand when its suite and key are
// still those asked for, a new one when they changed, none for plain RTP.
TSrtpSessionPtr SessionFor(const TSrtpSessionPtr& current, TSrtpSession::TDirection direction,
                           const TCallSrtp& srtp, const std::string& key) {
  if (!srtp.Active()) return nullptr;
  if (current && current->Suite() == srtp.Suite && current->Key() == key) return current;
  return std::make_shared<TSrtpSession>(direction, srtp.Suite, key);
}

}  // namespace

void TCallMedia::SetSrtp(IMediaCall& call, const TCallSrtp& srtp) {
  std::lock_guard lock(control_);
  TSrtpSessionPtr out, in;
  {
    std::lock_guard guard(call.SendLock());
    out = SessionFor(srtpOut_, TSrtpSession::TDirection::Outbound, srtp, srtp.LocalKey);
  }
  in = SessionFor(srtpIn_, TSrtpSession::TDirection::Inbound, srtp, srtp.RemoteKey);
  {
    std::lock_guard guard(call.SendLock());
    srtpOut_ = std::move(out);
  }
  srtpIn_ = in;
  if (playback_) playback_->SetSrtp(std::move(in));
  encrypted_ = srtp.Active();
}

void TCallMedia::SendAudioFrame(IMediaCall& call, int16_t* frame) {
  // The payload types and packet time as the last SDP exchange left them.
  const TRtpPayloadMap map = call.GetPayloadMap();
  TCallOutput output(*this, call);
  sender_.SendPending(dtmf_, output, map.SendEventType);

  IAudioCodecPtr codec = call.GetCodec();
  // A WAV source plays instead of the microphone, one frame's worth of
  // bytes at a time; when too little is left it is taken off and the
  // microphone comes back.
  const int frameBytes = codec ? std::min(2 * codec->GetFrameSize(), kFrameBytes) : kFrameBytes;
  bool wavEnded = false;
  const bool fromWav = call.ReadWavFrame(frame, frameBytes, wavEnded);
  if (wavEnded) {
    ISipEnginePtr engine = call.GetEngine();
    ISipCallPtr self = call.WeakSelf().lock();
    if (engine && self) engine->NotifyWavStopped(self);
  }
  // Muted means muted: a WAV source that just ended does not let the
  // microphone through.
  if (!fromWav && !call.GetMicrophoneEnabled()) std::memcpy(frame, kMutedFrame.data(), kFrameBytes);
  const bool onHold = call.GetOnHold();
  // A peer that takes no telephone events hears the digits as tones, like a
  // WAV source would play them (the conference and the recorder hear them too).
  if (map.SendEventType < 0 && !onHold && codec) sender_.PlayInBandDigit(dtmf_, frame);
  call.DeliverLocalFrame(frame);

  if (!codec) {
    sender_.Discard();  // no common codec (a re-offer failed): send nothing
    return;
  }
  sender_.Prepare(*codec, frame, onHold, map.SendAudioType, map.SendPacketMs);
}

}  // namespace qv
