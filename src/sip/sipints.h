// The shared interfaces of the user agent. They break the cycles between the
// engine, its calls and its accounts, and they are what an embedder holds.
//
// Every interface is reference counted through std::shared_ptr; the last
// reference destroys the object. Threads: unless a method says otherwise it
// may be called from any thread. Scalars that several threads touch are
// atomic; text fields are copied in and out under the object's own field
// guard, so reading a call's RemoteUser on the user-interface thread while the
// transport thread updates the call is safe. Lock()/Unlock() are the
// re-entrant object locks of the design (list lock before object lock).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/interface.h"

namespace qv {

class TSipMessage;
class ISipEngine;
class ISipCall;
class ISipAccount;
class IAudioCodec;
class IWavFile;
class ISipConference;
class ISipRecorder;
class ILogMessage;

using ISipEnginePtr = std::shared_ptr<ISipEngine>;
using ISipCallPtr = std::shared_ptr<ISipCall>;
using ISipAccountPtr = std::shared_ptr<ISipAccount>;
using IAudioCodecPtr = std::shared_ptr<IAudioCodec>;
using IWavFilePtr = std::shared_ptr<IWavFile>;
using ISipConferencePtr = std::shared_ptr<ISipConference>;
using ISipRecorderPtr = std::shared_ptr<ISipRecorder>;

// One audio frame: 160 samples of 16-bit signed mono PCM at 8000 Hz, 20 ms.
// The conference, the recorder, WAV sources and the DTMF detector work in
// such frames whatever the call's codec.
constexpr int kFrameSamples = 160;
constexpr int kFrameBytes = 320;

// The rates a call's audio runs at between the sound devices and the codec:
// 8000 for the narrowband codecs, 16000 for the wideband ones (G.722, Opus).
// A 20 ms frame holds rate / 50 samples.
constexpr int kNarrowRate = 8000;
constexpr int kWideRate = 16000;
constexpr int kMaxAudioRate = kWideRate;
constexpr int kMaxFrameSamples = kMaxAudioRate / 50;
inline constexpr int FrameSamplesAt(int rate) { return rate / 50; }

// Room a decoder may fill from one packet: 120 ms, the longest packet RFC
// 7587 allows, at the highest rate.
constexpr int kMaxDecodedSamples = kMaxAudioRate * 120 / 1000;

// The default silence threshold of the engine and the component, in the
// unit of the setting (see TSipClient::SetSilenceThreshold).
constexpr int kDefaultSilenceThreshold = 1;

// What a call's RTP receiver has counted since the call was made
// (ISipCall::GetRtpStats). Samples are 8000 a second.
struct TRtpStats {
  uint64_t Received = 0;          // datagrams read from the call's RTP socket
  uint64_t ForeignSource = 0;     // dropped: not from the peer's RTP address and port
  uint64_t Duplicates = 0;        // dropped: a sequence number already seen
  uint64_t Late = 0;              // dropped: arrived after their time was played
  uint64_t ConcealedSamples = 0;  // played in place of audio that was lost or not there yet
  uint64_t DroppedSamples = 0;    // skipped to bring the delay back after a burst or drift
  uint64_t SrtpRejected = 0;      // dropped: an SRTP call's datagram that failed authentication or replay checks
  std::string Source;             // "address:port" RTP is taken from; empty before any came
};

// Call states. Embedders read them as the integers of GetState() and compare
// with the cs* numbers; inside the library they are TCallState.
enum class TCallState : int {
  Idle = 0,            // idle or ended
  InviteSent = 1,
  InviteAuthSent = 2,  // INVITE sent again with credentials
  Ringing = 3,
  Connected = 4,
  HoldSent = 7,        // hold re-INVITE sent
  ReferSent = 8,
  ReferAuthSent = 9,   // REFER sent again with credentials
};

// Account (registration) states, likewise.
enum class TAccountState : int {
  Idle = 0,  // not registered
  StunSent = 1,
  RegisterSent = 2,
  RegisterAuthSent = 3,
  Registered = 4,
  UnregisterSent = 5,
  UnregisterAuthSent = 6,
};

inline constexpr int csIdle = 0, csInviteSent = 1, csInviteAuthSent = 2, csRinging = 3,
                     csConnected = 4, csHoldSent = 7, csReferSent = 8, csReferAuthSent = 9;
inline constexpr int asIdle = 0, asStunSent = 1, asRegisterSent = 2, asRegisterAuthSent = 3,
                     asRegistered = 4, asUnregisterSent = 5, asUnregisterAuthSent = 6;

// The last Digest challenge (401/407) that an account or a call must answer,
// kept and read as one value so that no reader sees half of a new challenge.
// Opaque also carries the client nonce we made when the server sent none, so
// that a retry repeats it.
struct TChallenge {
  std::string Status, Realm, Nonce, Qop, Opaque;
};

// Why a registration ended: what an application shows when
// OnRegistrationBye comes. Read it with ISipAccount::GetEndReason().
enum class TRegistrationEnd : int {
  None = 0,           // the account never ended a registration
  Refused = 1,        // the server answered with a failure (Status holds its code)
  NoAnswer = 2,       // the server did not answer, or stopped answering refreshes
  UnknownServer = 3,  // the server's name could not be resolved to an address
  Unregistered = 4,   // removed on request (Unregister, or the engine going inactive)
  Insecure = 5,       // no TLS connection the server could be trusted on (Detail says why)
};

struct TRegistrationEndReason {
  TRegistrationEndReason() = default;
  TRegistrationEndReason(TRegistrationEnd kind, int status, std::string detail = {})
      : Kind(kind), Status(status), Detail(std::move(detail)) {}
  TRegistrationEnd Kind = TRegistrationEnd::None;
  int Status = 0;  // the final status code for Refused (401, 403, 404...), else 0
  std::string Detail;  // over TCP or TLS: what the connection met ("" when nothing)
};

// A short English word for the reason ("refused", "no-answer",
// "unknown-server", "unregistered"; "" for None), for logs and console tools.
inline const char* RegistrationEndText(TRegistrationEnd kind) {
  switch (kind) {
    case TRegistrationEnd::Refused: return "refused";
    case TRegistrationEnd::NoAnswer: return "no-answer";
    case TRegistrationEnd::UnknownServer: return "unknown-server";
    case TRegistrationEnd::Unregistered: return "unregistered";
    case TRegistrationEnd::Insecure: return "insecure";
    default: return "";
  }
}

// What the payload type numbers of a call's RTP mean, as the SDP exchange
// settled them. Each side receives under the numbers of its own SDP and
// sends under the peer's (RFC 3264 5.1), so both directions are kept. Codecs
// are named by their static RFC 3551 numbers (0 PCMU, 8 PCMA, 3 GSM, 9 G.722),
// 110 for Speex and 111 for Opus: the numbers CreateCodec takes. A call whose SDP was never read
// keeps the defaults: the static types, 101 for telephone events both ways,
// 20 ms packets.
struct TRtpPayloadMap {
  static constexpr int8_t kUnset = -1;    // named by no SDP: plays only if it is the decoder's own type
  static constexpr int8_t kEvent = -2;    // telephone-event (RFC 4733)
  static constexpr int8_t kDiscard = -3;  // comfort noise, or a codec we do not have

  TRtpPayloadMap() {
    Received.fill(kUnset);
    Received[0] = 0;
    Received[3] = 3;
    Received[8] = 8;
    Received[13] = kDiscard;  // comfort noise is never audio of the call's codec
    Received[101] = kEvent;
  }

  std::array<int8_t, 128> Received;  // by received payload type
  int SendAudioType = -1;             // the peer's number for our codec; -1: the codec's own
  int SendEventType = 101;            // the peer's telephone-event number; -1: it takes none
  int SendEventClock = 8000;          // the RTP clock its SDP gave that telephone-event
  int SendPacketMs = 20;              // audio per packet we send
  bool AudioRejected = false;         // the peer's SDP put port 0 on the audio stream
};

// How an account reaches its server (RFC 3261 18): UDP, the default, TCP, or
// TLS over TCP.
enum class TSipTransport : int { Udp = 0, Tcp = 1, Tls = 2 };

// The transport as a Via writes it ("UDP", "TCP", "TLS") and the value of a
// URI's transport parameter ("" for UDP, which the URI leaves out; "tcp", "tls").
inline const char* ViaTransportName(TSipTransport t) {
  return t == TSipTransport::Tls ? "TLS" : t == TSipTransport::Tcp ? "TCP" : "UDP";
}
inline const char* UriTransportParam(TSipTransport t) {
  return t == TSipTransport::Tls ? ";transport=tls" : t == TSipTransport::Tcp ? ";transport=tcp" : "";
}

// SRTP of an account's calls (RFC 3711, keys in the SDP as RFC 4568 says).
// Off: plain RTP as always. Optional: the offer stays RTP/AVP and carries
// a=crypto lines; a peer that answers without them gets plain RTP. Mandatory:
// the offer says RTP/SAVP and a call without SRTP is refused.
enum class TSrtpMode : int { Off = 0, Optional = 1, Mandatory = 2 };

// The crypto suites we offer and take (RFC 4568 6.2), by number.
constexpr int kSrtpNone = 0;
constexpr int kSrtpAes128Sha1_80 = 1;  // AES_CM_128_HMAC_SHA1_80
constexpr int kSrtpAes128Sha1_32 = 2;  // AES_CM_128_HMAC_SHA1_32
constexpr int kSrtpMasterKeyBytes = 30;  // 16 bytes of key, 14 of salt

// A call's SRTP: what our SDP carries and what the exchange settled. The
// engine sets it from each offer and answer; the media read it when it
// changes. Keys are raw bytes, never logged.
struct TCallSrtp {
  bool Offer = false;     // our SDP carries a=crypto lines
  bool Savp = false;      // and names the RTP/SAVP profile
  std::string LocalKey;   // our master key and salt, made once per call
  int Suite = kSrtpNone;  // the settled suite; kSrtpNone: plain RTP
  int Tag = 0;            // the tag of the settled a=crypto line
  std::string RemoteKey;  // the peer's master key and salt
  bool Active() const { return Suite != kSrtpNone; }
  bool operator==(const TCallSrtp&) const = default;
};

class ILogMessage : public virtual IInterface {
public:
  virtual std::string GetText() const = 0;
};

class IAudioCodec : public virtual IInterface {
public:
  // RTP timestamp units per 20 ms frame: 160 at the 8000 Hz clock of every
  // narrowband codec and of G.722 (RFC 3551 4.5.2), 960 for Opus (48000 Hz,
  // RFC 7587 4.1).
  virtual int GetFrameSize() = 0;
  virtual int GetPayloadType() = 0;  // RTP payload type
  // Decodes `length` payload bytes into `samples` (room for
  // kMaxDecodedSamples); returns the PCM bytes written, at GetSampleRate().
  virtual int Decode(const uint8_t* payload, int16_t* samples, int length) = 0;
  // Encodes one 20 ms frame (GetSampleRate() / 50 samples) into `payload`
  // (room for 1024 bytes); returns its length, 0 when this frame need not be
  // sent (discontinuous transmission).
  virtual int Encode(const int16_t* frame, uint8_t* payload) = 0;
  // The rate of the PCM that Encode takes and Decode gives.
  virtual int GetSampleRate() { return kNarrowRate; }
  // The RTP clock rate of the payload format.
  virtual int GetClockRate() { return kNarrowRate; }
};

// Audio played into a call in place of the microphone: 16-bit mono 8000 Hz bytes.
class IWavFile : public virtual IInterface {
public:
  virtual int64_t GetPosition() = 0;
  virtual int64_t GetSize() = 0;
  virtual void SetPosition(int64_t position) = 0;
  virtual int Read(void* buffer, int count) = 0;
};

class ISipConference : public virtual IInterface {
public:
  // Capture path of `call`: the frame may be rewritten with the conference mix.
  virtual void MixLocal(ISipCall& call, int16_t* frame) = 0;
  // Playback path of `call`, just before the frame is played.
  virtual void MixRemote(ISipCall& call, int16_t* frame) = 0;
};

class ISipRecorder : public virtual IInterface {
public:
  virtual void AddLocalFrame(const int16_t* frame) = 0;
  virtual void AddRemoteFrame(const int16_t* frame) = 0;
  virtual void Clear() = 0;
  virtual void SaveToStream(std::ostream& stream) = 0;
  virtual void SaveToFile(const std::string& fileName) = 0;
};

class ISipAccount : public virtual IInterface {
public:
  // Lock around whole operations (list lock before account lock).
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  // Registration state.
  int GetState() { return int(State()); }
  void SetState(int value) { SetState(TAccountState(value)); }
  virtual TAccountState State() = 0;
  virtual void SetState(TAccountState value) = 0;
  virtual void SetStateTime(double value) = 0;
  virtual double GetStateTime() = 0;
  virtual int GetExpires() = 0;
  virtual void SetExpires(int value) = 0;

  // Identity and settings.
  virtual std::string GetDisplayName() = 0;
  virtual void SetDisplayName(const std::string& value) = 0;
  virtual std::string GetDisplayPrefix() = 0;
  virtual std::string GetDomain() = 0;
  virtual void SetDomain(const std::string& value) = 0;
  virtual std::string GetProxy() = 0;
  virtual void SetProxy(const std::string& value) = 0;
  virtual std::string GetStunServer() = 0;
  virtual void SetStunServer(const std::string& value) = 0;
  virtual std::string GetUserName() = 0;
  virtual void SetUserName(const std::string& value) = 0;
  virtual std::string GetPassword() = 0;
  virtual void SetPassword(const std::string& value) = 0;

  // Addresses: the server, ours, and what STUN and the registrar told us.
  virtual std::string GetServer() = 0;
  // Stores the server address and chooses the local address that routes to it.
  virtual void SetServer(const std::string& value) = 0;
  virtual int GetServerPort() = 0;
  virtual void SetServerPort(int value) = 0;
  virtual std::string GetLocalAddress() = 0;
  virtual void SetLocalAddress(const std::string& value) = 0;
  virtual int GetLocalPort() = 0;
  virtual void SetLocalPort(int value) = 0;
  virtual std::string GetStunAddress() = 0;
  virtual void SetStunAddress(const std::string& value) = 0;
  virtual void SetPublicAddress(const std::string& value) = 0;
  virtual std::string GetContactAddress() = 0;  // public address when known, else local
  virtual std::string GetContactUri() = 0;  // "sip:" + user + "@" + contact address + ":" + port
  virtual std::string GetRport() = 0;
  virtual void SetRport(const std::string& value) = 0;

  // The registration dialog and its last challenge.
  virtual std::string GetCallId() = 0;
  virtual void SetCallId(const std::string& value) = 0;
  virtual std::string GetLocalTag() = 0;
  virtual void SetLocalTag(const std::string& value) = 0;
  virtual std::string GetRemoteTag() = 0;
  virtual void SetRemoteTag(const std::string& value) = 0;
  virtual std::string GetBranch() = 0;
  virtual void SetBranch(const std::string& value) = 0;
  virtual int GetCSeq() = 0;
  virtual void SetCSeq(int value) = 0;
  virtual TChallenge GetChallenge() = 0;
  virtual void SetChallenge(const TChallenge& value) = 0;

  // Secure calls: the transport to the server, the SRTP mode, a file of CA
  // certificates trusted besides the system's (empty: the system's only),
  // and whether SRTP keys may be sent over a transport other than TLS,
  // where anyone on the path reads them.
  virtual TSipTransport GetTransport() = 0;
  virtual void SetTransport(TSipTransport value) = 0;
  virtual TSrtpMode GetSrtpMode() = 0;
  virtual void SetSrtpMode(TSrtpMode value) = 0;
  virtual std::string GetCaFile() = 0;
  virtual void SetCaFile(const std::string& value) = 0;
  virtual bool GetSrtpKeysWithoutTls() = 0;
  virtual void SetSrtpKeysWithoutTls(bool value) = 0;

  // Whom the account's password is given to. A 401/407 is answered only for
  // the realm its own server named first (LearnedRealm, kept once learned),
  // the account's domain, or one of the realms the user listed (Realms,
  // separated by commas or blanks; empty by default).
  virtual std::string GetRealms() = 0;
  virtual void SetRealms(const std::string& value) = 0;
  virtual std::string GetLearnedRealm() = 0;
  virtual void SetLearnedRealm(const std::string& value) = 0;

  // The text of a MESSAGE kept for its retry with credentials.
  virtual std::string GetMessageText() = 0;
  virtual void SetMessageText(const std::string& value) = 0;

  // Why the last registration ended; valid when OnRegistrationBye comes.
  virtual TRegistrationEndReason GetEndReason() = 0;
  virtual void SetEndReason(const TRegistrationEndReason& value) = 0;

  // The engine's bookkeeping of the registration: times on its monotonic
  // clock, in milliseconds. Guarded by the account lock.
  struct TRegistration {
    int64_t sentAt = 0;          // the last REGISTER (or STUN request) went out
    int64_t expiresAt = 0;       // the server drops our binding then (0: no binding)
    int64_t refreshAt = 0;       // the next refresh (0: none due)
    int64_t retryDelay = 0;      // the wait before the next retry of a failed refresh
    int64_t reconnectDelay = 0;  // over TCP or TLS: the wait before registering over a new connection
    int64_t keepAliveAt = 0;     // the next NAT keep-alive
    bool refreshing = false;     // a refresh is out while the account stays registered
    bool challenged = false;     // the REGISTER out answers a challenge already
    int intervalExpires = 0;     // the expiry the server granted last (seconds)
    int cseq = 0;                // of the REGISTER out: answers to older ones are let be
    bool portGiven = false;      // the server was given with a port: no SRV lookup
    TRegistrationEndReason failure;  // what the last failed refresh met
  };
  virtual TRegistration& Registration() = 0;
};

class ISipCall : public virtual IInterface {
public:
  // The call lock: around whole operations of the engine (list lock before
  // call lock). The media threads never take it.
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual ISipEnginePtr GetEngine() = 0;
  virtual ISipAccountPtr GetAccount() = 0;
  virtual void SetAccount(const ISipAccountPtr& value) = 0;

  // State. A change of state notifies the engine.
  int GetState() { return int(State()); }
  void SetState(int value) { SetState(TCallState(value)); }
  virtual TCallState State() = 0;
  virtual void SetState(TCallState value) = 0;
  virtual bool GetIncoming() = 0;
  virtual void SetIncoming(bool value) = 0;
  virtual bool GetOnHold() = 0;
  virtual void SetOnHold(bool value) = 0;
  virtual double GetStartTime() = 0;
  virtual std::string GetEndStatus() = 0;
  virtual void SetEndStatus(const std::string& value) = 0;
  virtual int GetLastResponseCode() = 0;
  virtual void SetLastResponseCode(int value) = 0;
  virtual std::string GetReferTarget() = 0;
  virtual void SetReferTarget(const std::string& value) = 0;
  // Free for the application's own use; the library never reads them.
  virtual int GetExtraInt1() = 0;
  virtual void SetExtraInt1(int value) = 0;
  virtual int GetExtraInt2() = 0;
  virtual void SetExtraInt2(int value) = 0;
  virtual int GetExtraInt3() = 0;
  virtual void SetExtraInt3(int value) = 0;
  virtual bool GetExtraFlag() = 0;
  virtual void SetExtraFlag(bool value) = 0;

  // The dialog: identifiers, the peer's addresses and the route set.
  virtual std::string GetCallId() = 0;
  virtual void SetCallId(const std::string& value) = 0;
  virtual std::string GetLocalTag() = 0;
  virtual void SetLocalTag(const std::string& value) = 0;
  virtual std::string GetRemoteTag() = 0;
  virtual void SetRemoteTag(const std::string& value) = 0;
  virtual std::string GetBranch() = 0;
  virtual void SetBranch(const std::string& value) = 0;
  virtual int GetLocalCSeq() = 0;
  virtual void SetLocalCSeq(int value) = 0;
  virtual int GetRemoteCSeq() = 0;
  virtual void SetRemoteCSeq(int value) = 0;
  virtual std::string GetLocalUri() = 0;
  virtual void SetLocalUri(const std::string& value) = 0;
  virtual std::string GetRemoteUri() = 0;
  virtual void SetRemoteUri(const std::string& value) = 0;
  virtual std::string GetRemoteUser() = 0;
  virtual void SetRemoteUser(const std::string& value) = 0;
  virtual std::string GetRemoteTarget() = 0;
  virtual void SetRemoteTarget(const std::string& value) = 0;
  virtual std::string GetToHostPart() = 0;
  virtual void SetToHostPart(const std::string& value) = 0;
  virtual std::string GetTargetAddress() = 0;
  virtual void SetTargetAddress(const std::string& value) = 0;
  virtual std::string GetTargetPort() = 0;
  virtual void SetTargetPort(const std::string& value) = 0;
  // Copies of the peer's INVITE that responses echo.
  virtual std::string GetFromHeader() = 0;
  virtual void SetFromHeader(const std::string& value) = 0;
  virtual std::string GetToHeader() = 0;
  virtual void SetToHeader(const std::string& value) = 0;
  virtual std::string GetViaHeaders() = 0;
  virtual void SetViaHeaders(const std::string& value) = 0;
  virtual std::string GetViaHost() = 0;
  virtual void SetViaHost(const std::string& value) = 0;
  virtual std::string GetViaPort() = 0;
  virtual void SetViaPort(const std::string& value) = 0;
  virtual void SetRouteSet(const TSipMessage& message) = 0;
  virtual int RouteCount() = 0;
  virtual std::string RouteLine() = 0;  // one "Route:" line, entries first to last
  // The entry the requests of the dialog go to first (RFC 3261 12.2.1.1);
  // "" with no route set.
  virtual std::string FirstRoute() = 0;
  virtual std::string RouteLines() = 0;
  virtual std::string RecordRouteLines() = 0;

  // Authentication: the last challenge, and the credentials line sent for it.
  virtual TChallenge GetChallenge() = 0;
  virtual void SetChallenge(const TChallenge& value) = 0;
  virtual std::string GetAuthHeader() = 0;
  virtual void SetAuthHeader(const std::string& value) = 0;

  // SDP: both sides' media addresses, the codec, the direction.
  virtual IAudioCodecPtr GetCodec() = 0;
  virtual void SetCodec(const IAudioCodecPtr& value) = 0;
  virtual int GetLocalRtpPort() = 0;
  virtual void SetLocalRtpPort(int value) = 0;
  virtual int GetRemoteRtpPort() = 0;
  virtual void SetRemoteRtpPort(int value) = 0;
  virtual std::string GetRemoteRtpAddress() = 0;
  virtual void SetRemoteRtpAddress(const std::string& value) = 0;
  // The payload types of both directions (set by the engine from the SDP;
  // read by the media threads once per frame or packet).
  virtual TRtpPayloadMap GetPayloadMap() = 0;
  virtual void SetPayloadMap(const TRtpPayloadMap& value) = 0;
  virtual std::string GetMediaDirection() = 0;
  virtual void SetMediaDirection(const std::string& value) = 0;
  // SRTP as the SDP exchange settled it; setting it hands new keys to the
  // media at once.
  virtual TCallSrtp GetSrtp() = 0;
  virtual void SetSrtp(const TCallSrtp& value) = 0;
  virtual int GetSdpVersion() = 0;
  virtual void SetSdpVersion(int value) = 0;
  virtual int GetSdpSessionId() = 0;
  virtual void SetSdpSessionId(int value) = 0;

  // Media: RTP, sound devices, the switches and what is played or mixed in.
  virtual bool GetMediaActive() = 0;
  virtual void SetMediaActive(bool value) = 0;  // starts or stops RTP, capture and playback
  virtual int GetRtpSocket() = 0;
  virtual int GetInputDevice() = 0;
  virtual void SetInputDevice(int value) = 0;
  virtual int GetOutputDevice() = 0;
  virtual void SetOutputDevice(int value) = 0;
  virtual bool GetMicrophoneEnabled() = 0;
  virtual void SetMicrophoneEnabled(bool value) = 0;
  virtual bool GetSpeakerEnabled() = 0;
  virtual void SetSpeakerEnabled(bool value) = 0;
  virtual int GetSilenceThreshold() = 0;
  virtual void SetSilenceThreshold(int value) = 0;
  virtual int GetSilenceTimeout() = 0;
  virtual void SetSilenceTimeout(int value) = 0;
  virtual IWavFilePtr GetWavSource() = 0;
  virtual void SetWavSource(const IWavFilePtr& value) = 0;
  virtual ISipConferencePtr GetConference() = 0;
  virtual void SetConference(const ISipConferencePtr& value) = 0;
  virtual ISipRecorderPtr GetRecorder() = 0;
  virtual void SetRecorder(const ISipRecorderPtr& value) = 0;
  // The receiver's counters and the source it accepts RTP from.
  virtual TRtpStats GetRtpStats() = 0;

  // DTMF going out.
  virtual void QueueDtmf(const std::string& digits) = 0;  // RFC 2833 sending
  // Digits sent by SIP INFO go one transaction at a time: two INFOs in flight
  // together may pass each other in a proxy with several workers, and the far
  // end would hear "7*" for "*7". Guarded by the call's lock.
  struct TInfoDtmf {
    std::deque<std::string> waiting;
    int inFlightCSeq = 0;  // 0: none
    int64_t sentAt = 0;    // the engine's monotonic clock, ms
  };
  virtual TInfoDtmf& InfoDtmf() = 0;

  // The engine's bookkeeping of the dialog: times on its monotonic clock in
  // milliseconds. Guarded by the call's lock.
  struct TDialogState {
    int64_t startMs = 0;        // the call was made
    int64_t endedMs = 0;        // it ended while still listed (a BYE or CANCEL out)
    bool ended = false;         // over for us: neither answered nor offered again
    bool confirmed = false;     // a 2xx made the dialog: our INVITEs are re-INVITEs now
    int reInviteCSeq = 0;       // our re-INVITE out (0: none)
    bool heldBefore = false;    // whether the call was on hold before that re-INVITE
    int64_t glareRetryAt = 0;   // after a 491: when the re-INVITE goes again (0: never)
    // The peer's INVITE that made an incoming call: a CANCEL must name its
    // transaction (RFC 3261 9.2: Call-ID, CSeq number, top Via branch).
    int inviteCSeq = 0;
    std::string inviteBranch;
  };
  virtual TDialogState& Dialog() = 0;

  // From the media threads.
  // Capture path: one captured 20 ms frame at GetAudioRate() (may be
  // overwritten). Capture thread.
  virtual void SendAudioFrame(int16_t* frame) = 0;
  // The rate the call's media run at between the sound devices and the codec,
  // fixed when they start: the sample rate of the call's codec then (8000
  // without one). Any thread.
  virtual int GetAudioRate() { return kNarrowRate; }
  // Playback path: hands a 160-sample 8000 Hz frame about to be played to the
  // conference and the recorder (remote side). Playback thread.
  virtual void DeliverRemoteFrame(int16_t* frame) = 0;
  virtual void NotifyDtmf(const std::string& text) = 0;  // 120 ms debounce
  virtual void NotifySilence() = 0;
};

// The SIP user agent. User operations run on the application thread; the
// transport thread runs the dispatch of every received datagram.
class ISipEngine : public virtual IInterface {
public:
  // Activation and the transport.
  virtual bool GetActive() = 0;
  virtual void SetActive(bool value) = 0;
  virtual int GetLocalPort() = 0;
  virtual void SetLocalPort(int value) = 0;
  // The port the transport is bound to (0 while inactive): LocalPort 0 lets
  // the system choose.
  virtual int GetBoundPort() = 0;
  virtual bool SendText(const std::string& text, int port, const std::string& host) = 0;
  virtual void Log(const std::string& text) = 0;
  // The signalling time-outs; the consumer calls it about once a second.
  virtual void Tick() = 0;
  // The NAT keep-alive (an empty CR LF CR LF datagram to the registrar
  // every 25 s while registered over UDP), on unless switched off.
  virtual void SetKeepAlive(bool value) = 0;
  virtual bool GetKeepAlive() = 0;
  // Limits against a flood of calls. MaxCalls (default 32): with that many
  // calls listed, a new incoming INVITE is answered 486 and leaves nothing
  // behind. InviteRateLimit (default 10, 0 = off): new INVITEs accepted from
  // one source address within a second; beyond it 503, nothing kept.
  virtual int GetMaxCalls() = 0;
  virtual void SetMaxCalls(int value) = 0;
  virtual int GetInviteRateLimit() = 0;
  virtual void SetInviteRateLimit(int value) = 0;

  // Settings given to new calls.
  virtual void SetCodecs(const std::vector<int>& payloadTypes) = 0;
  virtual int CodecCount() = 0;
  virtual int CodecAt(int index) = 0;
  virtual std::string CodecListText() = 0;
  virtual int GetRtpPortMin() = 0;
  virtual void SetRtpPortMin(int value) = 0;
  virtual int GetRtpPortMax() = 0;
  virtual void SetRtpPortMax(int value) = 0;
  virtual int GetSilenceThreshold() = 0;
  virtual void SetSilenceThreshold(int value) = 0;
  virtual int GetSilenceTimeout() = 0;
  virtual void SetSilenceTimeout(int value) = 0;
  // Echo cancellation and noise suppression of the microphone (on by
  // default): read by every call's capture thread once per frame, so a
  // change reaches the calls already running. Any thread.
  virtual bool GetEchoCancellation() = 0;
  virtual void SetEchoCancellation(bool value) = 0;
  virtual int NextCSeq() = 0;

  // Accounts and registration.
  virtual ISipAccountPtr AddAccount(const std::string& stunServer, const std::string& server,
                                    const std::string& userName, const std::string& password,
                                    const std::string& proxy) = 0;
  // Takes the account off the engine's list: incoming requests are then no
  // longer answered through it. Nothing is sent.
  virtual void RemoveAccount(const ISipAccountPtr& account) = 0;
  // What a registration does to the account's addresses (server resolved from
  // the proxy or the domain, local address towards it, our SIP port), without
  // sending anything: for an account used without a registrar.
  virtual void PrepareAccount(const ISipAccountPtr& account) = 0;
  virtual void StartRegistration(const ISipAccountPtr& account) = 0;  // STUN first when set
  virtual void Register(const ISipAccountPtr& account) = 0;
  virtual void Unregister(const ISipAccountPtr& account) = 0;
  virtual ISipAccountPtr FindAccountByCallId(const std::string& callId) = 0;
  virtual void SendMessage(const ISipAccountPtr& account, const std::string& user,
                           const std::string& text) = 0;

  // Calls.
  virtual ISipCallPtr Invite(const ISipAccountPtr& account, const std::string& target,
                             int inputDevice, int outputDevice) = 0;
  virtual void Answer(const ISipCallPtr& call) = 0;
  virtual void Busy(const ISipCallPtr& call) = 0;
  virtual void HangUp(const ISipCallPtr& call) = 0;
  virtual void Hold(const ISipCallPtr& call) = 0;
  virtual void Unhold(const ISipCallPtr& call) = 0;
  virtual void Transfer(const ISipCallPtr& call, const std::string& target) = 0;
  virtual void DropCall(const ISipCallPtr& call) = 0;
  virtual ISipCallPtr FindCallByCallId(const std::string& callId) = 0;
  virtual void SendDtmfInfo(const ISipCallPtr& call, const std::string& digit) = 0;
  virtual void SendDtmfRfc2833(const ISipCallPtr& call, const std::string& digits) = 0;
  virtual void PlayWavFile(const ISipCallPtr& call, const std::string& fileName) = 0;
  virtual void PlayWavStream(const ISipCallPtr& call, std::istream& stream, int64_t size) = 0;

  // From calls and their media threads: posted to the consumer as events.
  virtual void NotifyCallState(const ISipCallPtr& call, int state) = 0;
  virtual void NotifyDtmf(const ISipCallPtr& call, const std::string& text) = 0;
  virtual void NotifySilence(const ISipCallPtr& call) = 0;
  virtual void NotifyWavStopped(const ISipCallPtr& call) = 0;
  // A sound device of the call could not be opened (`input`: the capture
  // device); `reason` is the device error text. The call goes on: without
  // capture it sends silence (or what it plays) on its own clock.
  virtual void NotifyDeviceError(const ISipCallPtr& call, bool input, const std::string& reason) = 0;
};

}  // namespace qv
