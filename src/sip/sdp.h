// The audio stream of an SDP body (RFC 4566) as this user agent reads it, and
// what a call makes of an offer or an answer: which codec, and which payload
// type numbers mean what in each direction (TRtpPayloadMap, sipints.h).
//
// Our codecs are named by their static RFC 3551 numbers (0 PCMU, 8 PCMA,
// 3 GSM, 9 G.722) and by 110 for Speex narrowband and 111 for Opus, the
// numbers we offer them under.
// Pure functions and plain values: any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sip/sipints.h"

namespace qv {

// What a payload type of one SDP stands for, besides one of our codecs.
constexpr int kSdpTelephoneEvent = -2;
constexpr int kSdpComfortNoise = -3;
constexpr int kSdpUnknown = -1;

// The dynamic numbers of our offers: Opus, and telephone events at its clock
// (101 stays telephone-event/8000, as every build of this program offered it).
constexpr int kOfferedOpusType = 111;
constexpr int kOfferedWideEventType = 102;

// One "a=rtpmap:<type> <encoding>/<clock rate>[/<channels>]" line.
struct TRtpMapLine {
  int PayloadType = -1;
  std::string Encoding;  // as written; compared without regard to case
  int ClockRate = 0;
  int Channels = 1;
};

// The first audio stream of an SDP body ("m=audio" up to the next "m=" line).
struct TSdpAudio {
  bool Present = false;           // an m=audio line was seen
  int Port = 0;                   // 0 on a present stream: rejected or removed (RFC 3264 8.2)
  std::vector<int> PayloadTypes;  // every number of the m= line, in order
  std::vector<TRtpMapLine> RtpMaps;
  std::vector<std::pair<int, std::string>> Fmtps;  // "a=fmtp:<type> <parameters>"
  int Ptime = 0;                  // a=ptime in ms, 0 when absent

  // One of our codec numbers (0, 8, 3, 9, 110, 111), kSdpTelephoneEvent,
  // kSdpComfortNoise or kSdpUnknown. An a=rtpmap line decides; without one
  // the static types of RFC 3551 keep their meaning, and so do 101 and 110,
  // which older builds of this program offered without a map.
  int Meaning(int payloadType) const;
  const TRtpMapLine* RtpMap(int payloadType) const;
  // The first number that stands for `meaning`, -1 when none does.
  int TypeFor(int meaning) const;
  // The clock rate of a number's rtpmap; 8000 without one.
  int ClockRate(int payloadType) const;
  // The first telephone-event number at `clockRate`, else the first at any
  // clock; -1 when there is none.
  int EventTypeFor(int clockRate) const;
  // The a=fmtp parameters of a number; empty when it has none.
  std::string Format(int payloadType) const;
};

// Reads the lines of an SDP attribute, one at a time, into `audio`. The
// message parser hands over every line of the body; only the lines of the
// first audio stream count.
class TSdpAudioReader {
public:
  explicit TSdpAudioReader(TSdpAudio& audio) : audio_(audio) {}
  void Line(std::string_view line);

private:
  TSdpAudio& audio_;
  bool inAudio_ = false;  // between the first m=audio and the next m= line
  bool seenAudio_ = false;
};

// "PCMU", "PCMA", "GSM", "G722", "speex", "opus", "telephone-event"; empty
// for anything else.
std::string EncodingName(int meaning);
// Our a=fmtp parameters for Opus (RFC 7587 6.1): mono speech at up to
// 16000 Hz both ways, and in-band FEC welcome (we recover from it).
inline constexpr const char* kOpusFormat =
    "maxplaybackrate=16000;sprop-maxcapturerate=16000;stereo=0;sprop-stereo=0;useinbandfec=1";

// What an a=rtpmap line gives after the number for one of our codecs:
// "PCMU/8000", "G722/8000", "opus/48000/2"...; empty for other numbers.
std::string RtpMapFormat(int codec);
// The RTP clock of one of our codecs: 48000 for Opus, 8000 for the others.
int CodecClockRate(int codec);

// The codec of a call: the first of `preference` (our codec numbers, best
// first) that the remote SDP lists, and the remote's number for it.
struct TAudioChoice {
  int Codec = -1;       // -1: nothing in common
  int RemoteType = -1;  // the payload type the remote SDP gives it
};
TAudioChoice ChooseAudio(const TSdpAudio& remote, const std::vector<int>& preference);

// Audio per packet that we send with `codec` when the peer asks for
// `ptimeMs` (0: not said): 10 to 60 ms in steps of 10 for G.711, whole
// 20 ms frames up to 60 ms for GSM, 20 ms for Speex.
int SendPacketMs(int codec, int ptimeMs);

// The payload types of a call once the remote SDP is known. `weOffered`:
// the remote SDP answers our offer (whose numbers we keep receiving under,
// RFC 3264 5.1); otherwise it is the offer we answer, and our answer repeats
// its numbers (RFC 3264 6.1).
TRtpPayloadMap MakePayloadMap(const TSdpAudio& remote, const TAudioChoice& choice, bool weOffered);

}  // namespace qv
