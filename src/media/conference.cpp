#include "media/conference.h"

#include <cstring>

namespace qv {

// Edges are keyed by the pair of streams rather than by their joined name:
// a Call-ID may itself contain "->", and two different pairs must never
// share one buffer.

void TSipConference::TAudioBuffer::Write(const int16_t* frame) {
  std::memcpy(slots_[write_], frame, kFrameBytes);
  write_ = (write_ + 1) % 4;
  if (write_ == read_) read_ = (read_ + 1) % 4;
}

bool TSipConference::TAudioBuffer::Read(int16_t* frame) {
  if (read_ == write_) return false;
  std::memcpy(frame, slots_[read_], kFrameBytes);
  read_ = (read_ + 1) % 4;
  return true;
}

int TSipConference::StreamsOf(const std::string& callId) {
  for (size_t i = 0; i < callIds_.size(); ++i)
    if (callIds_[i] == callId) return int(2 * i);
  callIds_.push_back(callId);  // "<<" then ">>", both listed on first sight
  return int(2 * (callIds_.size() - 1));
}

TSipConference::TAudioBuffer* TSipConference::FindEdge(int source, int target) {
  for (TEdge& edge : edges_)
    if (edge.Source == source && edge.Target == target) return &edge.Buffer;
  return nullptr;
}

TSipConference::TAudioBuffer& TSipConference::Edge(int source, int target) {
  if (TAudioBuffer* buffer = FindEdge(source, target)) return *buffer;
  edges_.push_back(TEdge{source, target, {}});
  return edges_.back().Buffer;
}

// Stores `frame` for every stream but the calling call's own two.
void TSipConference::Distribute(int own, int exclude, const int16_t* frame) {
  const int streams = int(2 * callIds_.size());
  for (int s = 0; s < streams; ++s)
    if (s != own && s != exclude) Edge(own, s).Write(frame);
}

// Adds what every other stream stored for `own`; returns how many did.
int TSipConference::Gather(int own, int exclude, int32_t* sum) {
  const int streams = int(2 * callIds_.size());
  int n = 0;
  int16_t frame[kFrameSamples];
  for (int s = 0; s < streams; ++s) {
    if (s == own || s == exclude) continue;
    TAudioBuffer* buffer = FindEdge(s, own);
    if (buffer == nullptr || !buffer->Read(frame)) continue;
    for (int i = 0; i < kFrameSamples; ++i) sum[i] += frame[i];
    ++n;
  }
  return n;
}

void TSipConference::MixLocal(ISipCall& call, int16_t* frame) {
  MixLocal(call.GetCallId(), call.GetMicrophoneEnabled(), frame);
}

void TSipConference::MixRemote(ISipCall& call, int16_t* frame) {
  MixRemote(call.GetCallId(), call.GetSpeakerEnabled(), frame);
}

void TSipConference::MixLocal(const std::string& callId, bool microphoneEnabled, int16_t* frame) {
  std::lock_guard guard(lock_);
  const int remote = StreamsOf(callId);
  const int local = remote + 1;  // the captured stream, going out to the peer
  if (microphoneEnabled) Distribute(local, remote, frame);
  int32_t sum[kFrameSamples] = {};
  int n = Gather(local, remote, sum);
  if (microphoneEnabled) {
    for (int i = 0; i < kFrameSamples; ++i) sum[i] += frame[i];
    ++n;
  }
  // Integer division truncates toward zero, as the mix is meant to.
  if (n == 0) return;
  for (int i = 0; i < kFrameSamples; ++i) frame[i] = int16_t(sum[i] / n);
}

void TSipConference::MixRemote(const std::string& callId, bool speakerEnabled, int16_t* frame) {
  std::lock_guard guard(lock_);
  const int remote = StreamsOf(callId);
  const int local = remote + 1;
  // The other parties hear this peer even when our own speaker is off.
  Distribute(remote, local, frame);
  if (!speakerEnabled) return;
  int32_t sum[kFrameSamples] = {};
  int n = Gather(remote, local, sum);
  if (n == 0) return;
  for (int i = 0; i < kFrameSamples; ++i) sum[i] += frame[i];
  ++n;
  for (int i = 0; i < kFrameSamples; ++i) frame[i] = int16_t(sum[i] / n);
}

std::string TSipConference::StreamName(int stream) const {
  return ((stream & 1) == 0 ? "<<" : ">>") + callIds_[size_t(stream / 2)];
}

std::vector<std::string> TSipConference::Participants() {
  std::lock_guard guard(lock_);
  std::vector<std::string> names;
  for (int s = 0; s < int(2 * callIds_.size()); ++s) names.push_back(StreamName(s));
  return names;
}

std::vector<std::string> TSipConference::Edges() {
  std::lock_guard guard(lock_);
  std::vector<std::string> names;
  for (const TEdge& edge : edges_)
    names.push_back(StreamName(edge.Source) + "->" + StreamName(edge.Target));
  return names;
}

}  // namespace qv
