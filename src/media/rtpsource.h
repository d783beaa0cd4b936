// Where a call's RTP may come from, and where it then goes.
//
// Anyone who guesses a call's RTP port could otherwise be heard on the
// speaker, in the recording and in a conference, and raise digits. The rule
// (symmetric RTP with latching, as RFC 4961 describes the sending side):
// - the first source that sends a valid packet (RTP version 2, a payload type
//   the call takes) after the media started is latched: the address and port
//   the SDP gave, or, when the peer sits behind a NAT and its packets come from
//   elsewhere, that other address and port;
// - from then on only the latched source is heard, except that the SDP's own
//   address and port take the latch over once (it is what the peer said; a
//   stranger who raced its first packet loses the latch to it);
// - a new offer or answer that moves the peer's address or port, and every
//   restart of the media, forget the latch;
// - while the latched source's address differs from the SDP's, RTP is sent to
//   the latched source, since that is the only way through the peer's NAT. A
//   peer that sends from another port of the address it gave (a media server,
//   a recording being replayed) is no NAT: it gets our RTP where it said;
// - everything else is dropped and counted (TRtpStats::ForeignSource).
//
// TRtpPeerState is shared by the playback thread, which decides, the
// capture thread, which sends, and whoever reads the call's statistics: any
// thread. TSourceCheck belongs to the playback thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "sip/sipints.h"

namespace qv {

struct TRtpAddress {
  std::string Host;
  int Port = 0;
  bool operator==(const TRtpAddress&) const = default;
};

class TRtpPeerState {
public:
  std::atomic<uint64_t> Received{0}, ForeignSource{0}, Duplicates{0}, Late{0};
  std::atomic<uint64_t> ConcealedSamples{0}, DroppedSamples{0};
  std::atomic<uint64_t> SrtpRejected{0};

  // `source` is latched against the SDP address `sdp`.
  void Latch(const TRtpAddress& source, const TRtpAddress& sdp);
  void Forget();
  // Where to send while the SDP says `sdp`: the latched source when it was
  // latched against that same SDP address and lies on another host; `sdp`
  // otherwise.
  TRtpAddress SendTarget(const TRtpAddress& sdp);
  TRtpStats Stats();

private:
  std::mutex lock_;  // leaf lock
  bool latched_ = false;
  TRtpAddress source_, sdp_;
};

class TSourceCheck {
public:
  enum class TVerdict {
    Accept,     // from the latched source
    NewSource,  // latched (or moved to the SDP's source) now: a new stream starts
    Drop,       // from elsewhere, or not valid enough to latch onto
  };
  // `from`: the datagram's sender; `sdp`: the peer's address as the SDP says
  // now; `validForLatch`: the datagram is RTP the call takes.
  TVerdict Check(const TRtpAddress& from, const TRtpAddress& sdp, bool validForLatch, TRtpPeerState& shared);

private:
  bool latched_ = false;
  TRtpAddress source_;
  TRtpAddress sdp_;  // the SDP address the latch was made against
};

}  // namespace qv
