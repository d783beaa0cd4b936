// Audio sources played into a call in place of the microphone, and the WAV
// loader they share with the ring-tone player.
//
// A source is a block of bytes taken as 16-bit signed little-endian mono
// samples at 8000 Hz; it carries no format of its own. TWavFile converts a
// WAV file to that on loading, TWavStream copies raw bytes (a tone resource,
// header and all) or holds synthesised speech.
//
// Threads: a source is built on any thread and then read by the one capture
// thread of the call it is attached to; it has no lock of its own.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "sip/sipints.h"

namespace qv {

// WAVE format tags we read (WAVE_FORMAT_EXTENSIBLE stands for the tag of
// its sub-format).
constexpr int kWavePcm = 1;
constexpr int kWaveAlaw = 6;
constexpr int kWaveMulaw = 7;
constexpr int kWaveGsm610 = 49;
constexpr int kWaveExtensible = 0xFFFE;

// Where the samples of a WAV file are and what they are.
struct TRiffInfo {
  int64_t DataOffset = 0;
  int64_t DataLength = 0;
  // A file that is not RIFF, or has no "fmt " chunk, is taken as call audio.
  int64_t SampleRate = 8000;
  int BitsPerSample = 16;
  int FormatTag = kWavePcm;  // an extensible file's sub-format, when it has a known GUID
  int Channels = 1;
};

// Finds the "data" chunk. Bytes that do not start with "RIFF" are all data.
// A RIFF file without a "data" chunk, or with a chunk running past the end of
// the bytes, yields DataLength 0: nothing to play.
TRiffInfo ParseRiff(std::string_view file);

// Appends the samples of a WAV file (or raw 16-bit 8000 Hz bytes) to
// `target`, converted to mono PCM of `targetBits` (8 or 16) at `targetRate`.
// Read: PCM of 8 or 16 bits, mu-law, A-law (one or two channels; two are
// mixed), GSM 6.10 (mono; what the recorder writes), and any of them behind
// WAVE_FORMAT_EXTENSIBLE. Mono PCM already in the target format is copied as
// it is. Otherwise the length follows half-second steps: each whole half
// second of source gives exactly half a second of target, a shorter tail
// gives its proportional length in whole samples. A format we cannot read
// appends nothing and returns false, saying why in `problem` when given.
bool LoadWavAsPcm(std::string_view source, std::string& target, int targetBits, int targetRate,
                  std::string* problem = nullptr);
// The same over streams: reads `source` from its start to its end, writes at
// the target's current position and leaves both streams at position 0.
void LoadWavAsPcm(std::istream& source, std::ostream& target, int targetBits, int targetRate);

// The in-memory byte stream behind both kinds of source.
class TWavBuffer : public IWavFile {
public:
  int64_t GetPosition() override { return position_; }
  int64_t GetSize() override { return int64_t(data_.size()); }
  // Like a memory stream, a position past the end is kept and reads nothing.
  void SetPosition(int64_t position) override { position_ = position < 0 ? 0 : position; }
  int Read(void* buffer, int count) override;

  const std::string& Data() const { return data_; }

protected:
  std::string data_;
  int64_t position_ = 0;
};

class TWavFile : public TWavBuffer {
public:
  // Loads and converts the whole file; raises qv::Exception naming the file
  // when it cannot be read or holds audio in a format we do not read.
  // Positioned at 0.
  explicit TWavFile(const std::string& fileName);
};

class TWavStream : public TWavBuffer {
public:
  // Copies the stream's bytes as they are, a RIFF header included (a tone
  // resource thus plays its 44 header bytes as its first 22 samples).
  // size 0 copies the whole stream from its start; a positive size copies
  // that many bytes (or up to the end) from its current position.
  // Positioned at 0.
  explicit TWavStream(std::istream& stream, int64_t size = 0);
  // Speaks `text` with the installed voice at `voiceIndex` (see
  // text2speech.h). Never raises: a failure leaves the source empty.
  TWavStream(const std::string& text, int voiceIndex);
};

// Reads a whole file; raises qv::Exception naming the file when it cannot.
std::string ReadWholeFile(const std::string& fileName);

}  // namespace qv
