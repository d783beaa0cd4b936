// Minimal PCM WAV reading and writing for the virtual sound devices: a capture
// source read from a file, and a sink written to one. Not the media layer's WAV
// sources (those convert through the resampler and read more formats).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/audiodevice.h"

namespace qv {

struct TMonoPcm {
  uint32_t SampleRate = 0;
  std::vector<int16_t> Samples;
};

// Reads a PCM WAV file of 8 or 16 bits, any rate, any channel count, and mixes
// it down to 16-bit mono. Raises qv::Exception ("Cannot read WAV file: PATH
// (why)") on anything else.
TMonoPcm ReadWavAsMono16(const std::string& path);

// The same from bytes already in memory (`name` only appears in errors).
TMonoPcm ParseWavAsMono16(const std::vector<uint8_t>& bytes, const std::string& name);

// Writes 16-bit PCM. The RIFF and data sizes are rewritten after every Write,
// so the file is a valid WAV whenever no Write is in progress. Not thread-safe:
// the owner serialises calls.
class TWavWriter {
public:
  TWavWriter() = default;
  ~TWavWriter() { Close(); }
  TWavWriter(const TWavWriter&) = delete;
  TWavWriter& operator=(const TWavWriter&) = delete;

  // Creates or truncates `path`; raises qv::Exception when it cannot.
  void Open(const std::string& path, const TWaveFormat& format);
  void Write(const int16_t* values, size_t count);  // interleaved values
  void Close();

  bool IsOpen() const { return file_ != nullptr; }
  const TWaveFormat& Format() const { return format_; }
  uint64_t DataBytes() const { return dataBytes_; }

private:
  void WriteHeader();

  std::FILE* file_ = nullptr;
  TWaveFormat format_;
  uint64_t dataBytes_ = 0;
};

}  // namespace qv
