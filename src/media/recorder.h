// Call recording: the local (captured) and remote (played) frames of a call
// are mixed into one 8000 Hz 16-bit mono track, saved as a GSM 6.10 WAV file.
//
// Threads: AddLocalFrame comes from the call's capture thread, AddRemoteFrame
// from its playback thread, the rest from the application. Every operation
// holds the recorder's re-entrant lock, but a save holds it only to take the
// track out (and to put it back when the save failed): coding and writing run
// outside it, so the real-time threads never wait for the coder or the disk.
// Frames that arrive during a save stay in the track for the next one.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "sip/sipints.h"

namespace qv {

class TSipRecorder : public ISipRecorder {
public:
  // Four frame slots; a fourth write drops the oldest frame, so at most three
  // are held. The fill count runs to 4 and is what Flush watches, which keeps
  // the track three frames behind the local side.
  class TAudioBuffer {
  public:
    void Write(const int16_t* frame);
    bool Read(int16_t* frame);
    int FillCount() const { return fill_; }

  private:
    int16_t slots_[4][kFrameSamples] = {};
    int write_ = 0;
    int read_ = 0;
    int fill_ = 0;
  };

  void AddLocalFrame(const int16_t* frame) override;
  void AddRemoteFrame(const int16_t* frame) override;
  void Clear() override;
  // Writes the GSM 6.10 WAV file and empties the track. A stream that fails
  // raises qv::Exception and the track is kept.
  void SaveToStream(std::ostream& stream) override;
  // Replaces the file only once the whole recording is written beside it, so
  // a failed save never leaves a truncated file in place of a good one. The
  // track is emptied on success; a failure raises qv::Exception naming the
  // file and keeps the track for another try.
  void SaveToFile(const std::string& fileName) override;

  // PCM bytes recorded and not yet saved.
  std::string Track();

private:
  void Flush();
  std::string TakeTrack(uint64_t& generation);
  void GiveBack(std::string taken, uint64_t generation);

  std::recursive_mutex lock_;
  TAudioBuffer local_;
  TAudioBuffer remote_;
  std::string track_;
  uint64_t generation_ = 0;  // counts Clear calls, so a failed save cannot undo one
};

// GSM 6.10 blocks (65 bytes for each 320 samples) of 16-bit 8000 Hz PCM. A
// last part shorter than a block (40 ms) is left out.
std::string PcmToGsm(std::string_view pcm);

// A complete GSM 6.10 WAV file: the 48-byte header, then `gsm`.
std::string GsmWavFile(std::string_view gsm);

}  // namespace qv
