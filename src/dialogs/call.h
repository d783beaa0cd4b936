// TCall: one SIP dialog with its audio media.
//
// The object keeps the dialog identifiers, the copies of the peer's INVITE that
// responses echo, the route set, the stored Digest challenge and the SDP values
// of both sides; the media side (RTP, capture, playback) drives the media data
// kept here.
//
// Threads: the engine's application and transport threads, the call's capture
// and playback threads and the user interface all use one call. Every accessor
// may be called from any thread: scalars are atomic, text fields are copied in
// and out under a small field guard that is never held across a call out of the
// object. The five re-entrant locks serialise longer sequences: the call lock
// (Lock/Unlock, the DTMF queue and whatever the engine does under it), and the
// conference, recorder, WAV and send locks of the media paths.
//
// Create calls with std::make_shared: SetState hands shared_from_this() to the
// engine, and the media threads hold the call through weak_from_this(). The
// call holds its engine weakly, so an engine that keeps calls in its list does
// not keep itself alive through them.
//
// The media (RTP socket, capture and playback threads, sending counters, DTMF
// queue) live in a TCallMedia owned by the call; media/callmedia.h states who
// takes which lock. In short: the media threads never take the call lock, so
// the engine may stop the media while it holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/callmedia.h"
#include "sip/sipints.h"

namespace qv {

// The pseudo-random generator of the calls: a 32-bit linear congruential
// generator (multiplier 134775813, increment 1); a draw below `range` is the
// upper 32 bits of the new state times `range`. Pure: the caller owns the state.
uint32_t LcgDraw(uint32_t& state, uint32_t range);
// The process-wide generator, starting from state 0, shared by every call
// constructor (thread-safe). Nothing else draws from it.
uint32_t CallRandom(uint32_t range);

class TCall final : public IMediaCall, public std::enable_shared_from_this<TCall> {
public:
  // An empty callId makes a fresh one (outgoing call); an incoming call passes
  // the Call-ID of its INVITE.
  TCall(const ISipEnginePtr& engine, const std::string& callId, const ISipAccountPtr& account);
  ~TCall() override;
  TCall(const TCall&) = delete;
  TCall& operator=(const TCall&) = delete;

  std::string GetEndStatus() override { return Get(endStatus_); }
  void SetEndStatus(const std::string& value) override { Set(endStatus_, value); }
  int GetLastResponseCode() override { return lastResponseCode_.load(); }
  void SetLastResponseCode(int value) override { lastResponseCode_.store(value); }
  int GetExtraInt1() override { return extraInt1_.load(); }
  void SetExtraInt1(int value) override { extraInt1_.store(value); }
  int GetExtraInt2() override { return extraInt2_.load(); }
  void SetExtraInt2(int value) override { extraInt2_.store(value); }
  std::string GetReferTarget() override { return Get(referTarget_); }
  void SetReferTarget(const std::string& value) override { Set(referTarget_, value); }
  void DeliverRemoteFrame(int16_t* frame) override;
  ISipEnginePtr GetEngine() override { return engine_.lock(); }
  void NotifyDtmf(const std::string& text) override;
  void NotifySilence() override;
  void SetConference(const ISipConferencePtr& value) override;
  ISipConferencePtr GetConference() override;
  void SetRecorder(const ISipRecorderPtr& value) override;
  ISipRecorderPtr GetRecorder() override;
  int RouteCount() override;
  int GetRemoteCSeq() override { return remoteCSeq_.load(); }
  void SetRemoteCSeq(int value) override { remoteCSeq_.store(value); }
  int GetLocalCSeq() override { return localCSeq_.load(); }
  void SetLocalCSeq(int value) override { localCSeq_.store(value); }
  std::string GetRemoteTarget() override { return Get(remoteTarget_); }
  void SetRemoteTarget(const std::string& value) override { Set(remoteTarget_, value); }
  std::string GetRemoteUser() override { return Get(remoteUser_); }
  void SetRemoteUser(const std::string& value) override { Set(remoteUser_, value); }
  TChallenge GetChallenge() override {
    std::lock_guard guard(fields_);
    return challenge_;
  }
  void SetChallenge(const TChallenge& value) override {
    std::lock_guard guard(fields_);
    challenge_ = value;
  }
  std::string GetAuthHeader() override { return Get(authHeader_); }
  void SetAuthHeader(const std::string& value) override { Set(authHeader_, value); }
  std::string RouteLine() override;
  std::string FirstRoute() override;
  void SetRouteSet(const TSipMessage& message) override;
  std::string GetFromHeader() override { return Get(fromHeader_); }
  void SetFromHeader(const std::string& value) override { Set(fromHeader_, value); }
  std::string GetToHeader() override { return Get(toHeader_); }
  void SetToHeader(const std::string& value) override { Set(toHeader_, value); }
  int GetSilenceTimeout() override { return silenceTimeout_.load(); }
  void SetSilenceTimeout(int value) override { silenceTimeout_.store(value); }
  int GetSilenceThreshold() override { return silenceThreshold_.load(); }
  void SetSilenceThreshold(int value) override { silenceThreshold_.store(value); }
  int GetExtraInt3() override { return extraInt3_.load(); }
  void SetExtraInt3(int value) override { extraInt3_.store(value); }
  std::string GetTargetPort() override { return Get(targetPort_); }
  void SetTargetPort(const std::string& value) override { Set(targetPort_, value); }
  std::string GetMediaDirection() override { return Get(mediaDirection_); }
  void SetMediaDirection(const std::string& value) override { Set(mediaDirection_, value); }
  std::string GetTargetAddress() override { return Get(targetAddress_); }
  void SetTargetAddress(const std::string& value) override { Set(targetAddress_, value); }
  IWavFilePtr GetWavSource() override;
  void SetWavSource(const IWavFilePtr& value) override;
  void QueueDtmf(const std::string& digits) override;
  TInfoDtmf& InfoDtmf() override { return infoDtmf_; }
  TDialogState& Dialog() override { return dialog_; }
  int GetSdpVersion() override { return sdpVersion_.load(); }
  void SetSdpVersion(int value) override { sdpVersion_.store(value); }
  int GetSdpSessionId() override { return sdpSessionId_.load(); }
  void SetSdpSessionId(int value) override { sdpSessionId_.store(value); }
  bool GetExtraFlag() override { return extraFlag_.load(); }
  void SetExtraFlag(bool value) override { extraFlag_.store(value); }
  double GetStartTime() override { return startTime_; }
  IAudioCodecPtr GetCodec() override;
  void SetCodec(const IAudioCodecPtr& value) override;
  TRtpPayloadMap GetPayloadMap() override {
    std::lock_guard guard(fields_);
    return payloadMap_;
  }
  void SetPayloadMap(const TRtpPayloadMap& value) override {
    std::lock_guard guard(fields_);
    payloadMap_ = value;
  }
  TCallSrtp GetSrtp() override {
    std::lock_guard guard(fields_);
    return srtp_;
  }
  void SetSrtp(const TCallSrtp& value) override;
  int GetRtpSocket() override;
  bool GetMediaActive() override;
  void SetMediaActive(bool value) override;
  std::string RecordRouteLines() override { return RenderReversed("Record-Route: "); }
  std::string RouteLines() override { return RenderReversed("Route: "); }
  bool GetIncoming() override { return incoming_.load(); }
  void SetIncoming(bool value) override { incoming_.store(value); }
  void Lock() override { callLock_.lock(); }
  void Unlock() override { callLock_.unlock(); }
  std::string GetBranch() override { return Get(branch_); }
  std::string GetViaHeaders() override { return Get(viaHeaders_); }
  void SetViaHeaders(const std::string& value) override { Set(viaHeaders_, value); }
  std::string GetViaHost() override { return Get(viaHost_); }
  void SetViaHost(const std::string& value) override { Set(viaHost_, value); }
  std::string GetViaPort() override { return Get(viaPort_); }
  void SetViaPort(const std::string& value) override { Set(viaPort_, value); }
  int GetLocalRtpPort() override { return localRtpPort_.load(); }
  void SetLocalRtpPort(int value) override { localRtpPort_.store(value); }
  int GetRemoteRtpPort() override { return remoteRtpPort_.load(); }
  void SetRemoteRtpPort(int value) override { remoteRtpPort_.store(value); }
  std::string GetRemoteRtpAddress() override { return Get(remoteRtpAddress_); }
  void SetRemoteRtpAddress(const std::string& value) override { Set(remoteRtpAddress_, value); }
  std::string GetCallId() override { return Get(callId_); }
  std::string GetLocalTag() override { return Get(localTag_); }
  void SetLocalTag(const std::string& value) override { Set(localTag_, value); }
  std::string GetRemoteTag() override { return Get(remoteTag_); }
  void SetRemoteTag(const std::string& value) override { Set(remoteTag_, value); }
  void SetCallId(const std::string& value) override { Set(callId_, value); }
  void SetBranch(const std::string& value) override { Set(branch_, value); }
  bool GetOnHold() override { return onHold_.load(); }
  void SetOnHold(bool value) override { onHold_.store(value); }
  using ISipCall::SetState;
  TCallState State() override { return state_.load(); }
  void SetState(TCallState value) override;
  std::string GetRemoteUri() override { return Get(remoteUri_); }
  void SetRemoteUri(const std::string& value) override { Set(remoteUri_, value); }
  std::string GetLocalUri() override { return Get(localUri_); }
  void SetLocalUri(const std::string& value) override { Set(localUri_, value); }
  std::string GetToHostPart() override { return Get(toHostPart_); }
  void SetToHostPart(const std::string& value) override { Set(toHostPart_, value); }
  bool GetSpeakerEnabled() override { return speakerEnabled_.load(); }
  void SetSpeakerEnabled(bool value) override { speakerEnabled_.store(value); }
  int GetOutputDevice() override { return outputDevice_.load(); }
  void SetOutputDevice(int value) override { outputDevice_.store(value); }
  int GetInputDevice() override { return inputDevice_.load(); }
  void SetInputDevice(int value) override { inputDevice_.store(value); }
  bool GetMicrophoneEnabled() override { return microphoneEnabled_.load(); }
  void SetMicrophoneEnabled(bool value) override { microphoneEnabled_.store(value); }
  ISipAccountPtr GetAccount() override;
  void SetAccount(const ISipAccountPtr& value) override;
  void SendAudioFrame(int16_t* frame) override;
  int GetAudioRate() override;
  TRtpStats GetRtpStats() override { return media_->Stats(); }

  // --- Media side ------------------------------------------------------
  uint32_t GetSsrc() const { return ssrc_; }
  // The RFC 2833 digits waiting to be sent (the queue has its own lock).
  std::string GetDtmfQueue();
  void SetDtmfQueue(const std::string& value);
  TCallMedia& Media() { return *media_; }
  std::recursive_mutex& SendLock() override { return sendLock_; }
  std::weak_ptr<ISipCall> WeakSelf() override { return weak_from_this(); }
  std::recursive_mutex& ConferenceLock() { return conferenceLock_; }
  std::recursive_mutex& RecorderLock() { return recorderLock_; }
  std::recursive_mutex& WavLock() { return wavLock_; }
  uint32_t GetLastDtmfTick() const { return lastDtmfTick_.load(); }
  bool ReadWavFrame(int16_t* frame, int bytes, bool& ended) override;
  void DeliverLocalFrame(int16_t* frame) override;

private:
  std::string Get(const std::string& field) {
    std::lock_guard guard(fields_);
    return field;
  }
  void Set(std::string& field, const std::string& value) {
    std::lock_guard guard(fields_);
    field = value;
  }
  std::string RenderReversed(const char* name);

  std::weak_ptr<ISipEngine> engine_;

  // The five re-entrant locks of the call, and the guard of the text fields.
  std::recursive_mutex callLock_, conferenceLock_, recorderLock_, wavLock_, sendLock_;
  std::mutex fields_;

  // Guarded by fields_.
  std::string callId_, localTag_, remoteTag_, branch_;
  std::string localUri_, remoteUri_, remoteUser_, remoteTarget_;
  std::string targetAddress_, targetPort_, viaHost_, viaPort_, toHostPart_;
  std::string viaHeaders_, fromHeader_, toHeader_;
  std::string endStatus_, referTarget_;
  std::string authHeader_;
  TChallenge challenge_;
  std::string mediaDirection_{"sendrecv"};
  std::string remoteRtpAddress_;
  std::vector<std::string> routeSet_;  // stored in reverse order of arrival
  ISipAccountPtr account_;
  IAudioCodecPtr codec_;
  TRtpPayloadMap payloadMap_;
  TCallSrtp srtp_;

  ISipConferencePtr conference_;      // guarded by conferenceLock_
  ISipRecorderPtr recorder_;          // guarded by recorderLock_
  IWavFilePtr wavSource_;             // guarded by wavLock_
  TInfoDtmf infoDtmf_;                // guarded by callLock_
  TDialogState dialog_;               // guarded by callLock_

  const double startTime_;
  const uint32_t ssrc_;
  std::atomic<TCallState> state_{TCallState::Idle};
  std::atomic<bool> incoming_{false};
  std::atomic<bool> onHold_{false};
  std::atomic<bool> extraFlag_{false};
  std::atomic<bool> speakerEnabled_{true};
  std::atomic<bool> microphoneEnabled_{true};
  std::atomic<int> localCSeq_{0}, remoteCSeq_{0}, lastResponseCode_{0};
  std::atomic<int> extraInt1_{0}, extraInt2_{0}, extraInt3_{0};
  std::atomic<int> sdpVersion_{0}, sdpSessionId_{0};
  std::atomic<int> localRtpPort_{0}, remoteRtpPort_{0};
  std::atomic<int> silenceThreshold_{0}, silenceTimeout_{0};
  std::atomic<int> inputDevice_{-1}, outputDevice_{-1};
  std::atomic<uint32_t> lastDtmfTick_{0};
  // Last: destroyed first, after the destructor has stopped the media.
  std::unique_ptr<TCallMedia> media_;
};

using TCallPtr = std::shared_ptr<TCall>;

}  // namespace qv
