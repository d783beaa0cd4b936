#include "media/rtpsource.h"

namespace qv {

void TRtpPeerState::Latch(const TRtpAddress& source, const TRtpAddress& sdp) {
  std::lock_guard guard(lock_);
  latched_ = true;
  source_ = source;
  sdp_ = sdp;
}

void TRtpPeerState::Forget() {
  std::lock_guard guard(lock_);
  latched_ = false;
}

TRtpAddress TRtpPeerState::SendTarget(const TRtpAddress& sdp) {
  std::lock_guard guard(lock_);
  return latched_ && sdp_ == sdp && source_.Host != sdp.Host ? source_ : sdp;
}

TRtpStats TRtpPeerState::Stats() {
  TRtpStats stats;
  stats.Received = Received.load();
  stats.ForeignSource = ForeignSource.load();
  stats.Duplicates = Duplicates.load();
  stats.Late = Late.load();
  stats.ConcealedSamples = ConcealedSamples.load();
  stats.DroppedSamples = DroppedSamples.load();
  stats.SrtpRejected = SrtpRejected.load();
  std::lock_guard guard(lock_);
  if (latched_) stats.Source = source_.Host + ":" + std::to_string(source_.Port);
  return stats;
}

TSourceCheck::TVerdict TSourceCheck::Check(const TRtpAddress& from, const TRtpAddress& sdp, bool validForLatch,
                                           TRtpPeerState& shared) {
  if (latched_ && !(sdp == sdp_)) {
    // A new offer or answer moved the peer: whatever was latched belonged to
    // the old address.
    latched_ = false;
    shared.Forget();
  }
  if (latched_) {
    if (from == source_) return TVerdict::Accept;
    if (!(from == sdp) || !validForLatch) return TVerdict::Drop;
    // The peer's own address speaks: it wins over whoever latched first.
  } else if (!validForLatch) {
    return TVerdict::Drop;
  }
  latched_ = true;
  source_ = from;
  sdp_ = sdp;
  shared.Latch(from, sdp);
  return TVerdict::NewSource;
}

}  // namespace qv
