// The conference mixer. Every call in a conference has two streams: what its
// remote party says, on its way to the local speaker ("<<" + Call-ID), and what
// is captured for it, on its way to the remote party (">>" + Call-ID). Each
// frame of a stream is stored for every other stream, on the edge
// "source->destination", and replaced by the average of itself and what the
// other streams stored for it. Plain averaging: no gain, no clipping.
//
// Threads: MixLocal runs on the capture thread and MixRemote on the playback
// thread of every participating call, all at once; each holds the conference
// lock for its whole run. Streams and edges live as long as the conference.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sip/sipints.h"

namespace qv {

class TSipConference : public ISipConference {
public:
  // Four frame slots; a fourth unread frame drops the oldest, so an edge
  // holds at most three frames (60 ms) and a source that stops feeding is
  // drained within three frames.
  class TAudioBuffer {
  public:
    void Write(const int16_t* frame);
    bool Read(int16_t* frame);

  private:
    int16_t slots_[4][kFrameSamples] = {};
    int write_ = 0;
    int read_ = 0;
  };

  void MixLocal(ISipCall& call, int16_t* frame) override;
  void MixRemote(ISipCall& call, int16_t* frame) override;

  // The same, for a call known by its Call-ID and switch.
  void MixLocal(const std::string& callId, bool microphoneEnabled, int16_t* frame);
  void MixRemote(const std::string& callId, bool speakerEnabled, int16_t* frame);

  // Stream names in the order first seen, and edge names ("A->B") in the
  // order created.
  std::vector<std::string> Participants();
  std::vector<std::string> Edges();

private:
  struct TEdge {
    int Source;  // stream indexes: 2 * call + 0 for "<<", 2 * call + 1 for ">>"
    int Target;
    TAudioBuffer Buffer;
  };

  int StreamsOf(const std::string& callId);  // index of the call's "<<" stream
  TAudioBuffer* FindEdge(int source, int target);
  TAudioBuffer& Edge(int source, int target);
  void Distribute(int own, int exclude, const int16_t* frame);
  int Gather(int own, int exclude, int32_t* sum);
  std::string StreamName(int stream) const;

  std::mutex lock_;
  std::vector<std::string> callIds_;  // one per call; its two streams follow from it
  std::vector<TEdge> edges_;
};

}  // namespace qv
