#include "platform/audio_wavfile.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/errors.h"

namespace qv {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

[[noreturn]] void Fail(const std::string& name, const char* why) {
  throw Exception("Cannot read WAV file: " + name + " (" + why + ")");
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

}  // namespace

TMonoPcm ParseWavAsMono16(const std::vector<uint8_t>& bytes, const std::string& name) {
  const size_t size = bytes.size();
  const uint8_t* b = bytes.data();
  if (size < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0)
    Fail(name, "not a RIFF/WAVE file");
  uint16_t tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  bool haveFormat = false;
  const uint8_t* data = nullptr;
  size_t dataSize = 0;
  // Chunks are walked with every length checked against what is left, so a
  // truncated or lying file ends the walk instead of reading past the buffer.
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* chunk = b + pos;
    size_t len = Le32(chunk + 4);
    size_t avail = size - pos - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (len < 16 || len > avail) Fail(name, "bad format chunk");
      tag = Le16(chunk + 8);
      channels = Le16(chunk + 10);
      rate = Le32(chunk + 12);
      bits = Le16(chunk + 22);
      if (tag == kFormatExtensible && len >= 26) tag = Le16(chunk + 32);  // sub-format GUID's first word
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      data = chunk + 8;
      dataSize = len < avail ? len : avail;  // streamed files may carry a size that is too large
      break;
    }
    if (len > avail) break;
    pos += 8 + len + (len & 1);
  }
  if (!haveFormat) Fail(name, "no format chunk");
  if (!data) Fail(name, "no data chunk");
  if (tag != kFormatPcm) Fail(name, "not PCM");
  if (bits != 8 && bits != 16) Fail(name, "only 8 or 16 bits per sample");
  if (channels == 0 || rate == 0) Fail(name, "bad format");

  TMonoPcm pcm;
  pcm.SampleRate = rate;
  const size_t bytesPerSample = bits / 8;
  const size_t frameBytes = bytesPerSample * channels;
  const size_t frames = dataSize / frameBytes;
  pcm.Samples.resize(frames);
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* p = data + f * frameBytes;
    int32_t sum = 0;
    for (size_t c = 0; c < channels; ++c, p += bytesPerSample)
      sum += bits == 8 ? (int32_t(p[0]) - 128) << 8 : int16_t(Le16(p));
    pcm.Samples[f] = int16_t(sum / int32_t(channels));
  }
  return pcm;
}

TMonoPcm ReadWavAsMono16(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path, "cannot open");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseWavAsMono16(bytes, path);
}

void TWavWriter::Open(const std::string& path, const TWaveFormat& format) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) throw Exception("Cannot create WAV file: " + path);
  format_ = format;
  dataBytes_ = 0;
  WriteHeader();
}

void TWavWriter::Write(const int16_t* values, size_t count) {
  if (!file_ || count == 0) return;
  // WAV sizes are 32-bit: stop growing the file rather than write a header that lies.
  if (dataBytes_ + count * 2 > 0xFFFFFFFFull - 36) return;
  uint8_t buf[512];
  while (count > 0) {
    size_t n = count < sizeof buf / 2 ? count : sizeof buf / 2;
    for (size_t i = 0; i < n; ++i) PutLe16(buf + 2 * i, uint16_t(values[i]));
    std::fwrite(buf, 2, n, file_);
    dataBytes_ += 2 * n;
    values += n;
    count -= n;
  }
  WriteHeader();
}

void TWavWriter::Close() {
  if (!file_) return;
  WriteHeader();
  std::fclose(file_);
  file_ = nullptr;
}

void TWavWriter::WriteHeader() {
  uint8_t h[44];
  std::memcpy(h, "RIFF", 4);
  PutLe32(h + 4, uint32_t(36 + dataBytes_));
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  PutLe32(h + 16, 16);
  PutLe16(h + 20, kFormatPcm);
  PutLe16(h + 22, format_.Channels);
  PutLe32(h + 24, format_.SamplesPerSec);
  PutLe32(h + 28, format_.AvgBytesPerSec());
  PutLe16(h + 32, uint16_t(format_.BlockAlign()));
  PutLe16(h + 34, format_.BitsPerSample);
  std::memcpy(h + 36, "data", 4);
  PutLe32(h + 40, uint32_t(dataBytes_));
  std::fseek(file_, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, file_);
  std::fseek(file_, 0, SEEK_END);
  std::fflush(file_);
}

}  // namespace qv
