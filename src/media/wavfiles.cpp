#include "media/wavfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <istream>
#include <ostream>
#include <vector>

#include "media/resample.h"
#include "media/text2speech.h"
#include "platform/errors.h"

namespace qv {

namespace {

uint32_t Le32(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint16_t Le16(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return uint16_t(b[0] | b[1] << 8);
}

// RIFF pads a chunk of odd size with one byte, but files written without the
// pad exist too. Where the next chunk starts right after the body we take it
// there; otherwise past the pad byte.
bool LooksLikeChunkId(std::string_view file, int64_t pos) {
  if (pos + 4 > int64_t(file.size())) return false;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(file[size_t(pos + i)]);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool SupportedBits(int64_t bits) { return bits == 8 || bits == 16; }
bool SupportedRate(int64_t rate) { return rate >= kMinPcmRate && rate <= kMaxPcmRate; }

// 8-bit PCM is unsigned with 128 as silence; 16-bit is signed little-endian.
void DecodeSamples(const char* bytes, size_t count, int bits, int16_t* out) {
  if (bits == 8) {
    for (size_t i = 0; i < count; ++i)
      out[i] = int16_t((int(static_cast<unsigned char>(bytes[i])) - 128) * 256);
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = int16_t(Le16(bytes + 2 * i));
  }
}

void EncodeSamples(const std::vector<int16_t>& samples, int bits, std::string& target) {
  size_t start = target.size();
  target.resize(start + samples.size() * size_t(bits / 8));
  char* out = target.data() + start;
  for (int16_t s : samples) {
    if (bits == 8) {
      *out++ = char((s >> 8) + 128);
    } else {
      *out++ = char(uint16_t(s) & 0xFF);
      *out++ = char(uint16_t(s) >> 8);
    }
  }
}

}  // namespace

TRiffInfo ParseRiff(std::string_view file) {
  TRiffInfo info;
  const int64_t size = int64_t(file.size());
  if (size < 4 || file.substr(0, 4) != "RIFF") {
    info.DataLength = size;
    return info;
  }
  // Every pass moves at least 8 bytes on, so the walk ends at the end of the
  // bytes at the latest; without a "data" chunk there is nothing to play.
  int64_t pos = 12;
  while (pos + 8 <= size) {
    std::string_view id = file.substr(size_t(pos), 4);
    int64_t chunkSize = Le32(file.data() + pos + 4);
    int64_t body = pos + 8;
    if (chunkSize > size - body) return info;  // truncated or lying: refuse
    if (id == "data") {
      info.DataOffset = body;
      info.DataLength = chunkSize;
      return info;
    }
    if (id == "fmt ") {
      // Format tag and channel count are not looked at: a source is mono PCM.
      if (chunkSize >= 8) info.SampleRate = Le32(file.data() + body + 4);
      if (chunkSize >= 16) info.BitsPerSample = Le16(file.data() + body + 14);
    }
    pos = body + chunkSize;
    if ((chunkSize & 1) != 0 && !LooksLikeChunkId(file, pos)) ++pos;
  }
  return info;
}

void LoadWavAsPcm(std::string_view source, std::string& target, int targetBits, int targetRate) {
  const TRiffInfo info = ParseRiff(source);
  std::string_view data = source.substr(size_t(info.DataOffset), size_t(info.DataLength));
  if (info.BitsPerSample == targetBits && info.SampleRate == targetRate) {
    target.append(data);
    return;
  }
  if (data.empty() || !SupportedBits(info.BitsPerSample) || !SupportedBits(targetBits) ||
      !SupportedRate(info.SampleRate) || !SupportedRate(targetRate))
    return;

  // Half-second steps, counted in whole samples so that an odd rate cannot
  // leave a chunk ending in the middle of a sample.
  const int sourceBits = info.BitsPerSample;
  const int sourceRate = int(info.SampleRate);
  const int64_t sourceChunk = int64_t(sourceRate / 2) * (sourceBits / 8);
  const int64_t targetChunk = int64_t(targetRate / 2) * (targetBits / 8);
  const int64_t wholeChunks = int64_t(data.size()) / sourceChunk;
  const int64_t tailBytes = int64_t(data.size()) % sourceChunk;
  const int64_t tailSamples =
      int64_t(std::nearbyint(double(targetChunk) / double(sourceChunk) * double(tailBytes) /
                             double(targetBits / 8)));
  const size_t total = size_t(wholeChunks * (targetChunk / (targetBits / 8)) + tailSamples);

  TPcmResampler resampler(sourceRate, targetRate);
  if (!resampler.Valid()) return;
  std::vector<int16_t> out;
  out.reserve(total);
  const size_t sourceBytes = size_t(sourceBits / 8);
  const size_t sourceSamples = data.size() / sourceBytes;
  int16_t block[4096];
  for (size_t done = 0; done < sourceSamples && out.size() < total;) {
    size_t count = std::min(sourceSamples - done, std::size(block));
    DecodeSamples(data.data() + done * sourceBytes, count, sourceBits, block);
    resampler.Process(block, count, out, total);
    done += count;
  }
  resampler.Finish(out, total);
  EncodeSamples(out, targetBits, target);
}

void LoadWavAsPcm(std::istream& source, std::ostream& target, int targetBits, int targetRate) {
  source.clear();
  source.seekg(0);
  std::string bytes;
  char buffer[65536];
  while (source.read(buffer, sizeof buffer) || source.gcount() > 0)
    bytes.append(buffer, size_t(source.gcount()));
  std::string pcm;
  LoadWavAsPcm(bytes, pcm, targetBits, targetRate);
  target.write(pcm.data(), std::streamsize(pcm.size()));
  source.clear();
  source.seekg(0);
  target.seekp(0);
}

std::string ReadWholeFile(const std::string& fileName) {
  auto fail = [&](const char* what, int error) {
    return Exception(std::string(what) + " \"" + fileName + "\". " + std::strerror(error));
  };
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fail("Cannot open file", errno);
  std::string bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.reserve(size_t(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      throw fail("Cannot read file", error);
    }
    bytes.append(buffer, size_t(n));
  }
  ::close(fd);
  return bytes;
}

int TWavBuffer::Read(void* buffer, int count) {
  const int64_t size = int64_t(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  int n = int(std::min<int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

TWavFile::TWavFile(const std::string& fileName) {
  LoadWavAsPcm(ReadWholeFile(fileName), data_, 16, 8000);
}

TWavStream::TWavStream(std::istream& stream, int64_t size) {
  stream.clear();
  if (size <= 0) stream.seekg(0);
  char buffer[65536];
  int64_t left = size <= 0 ? INT64_MAX : size;
  while (left > 0) {
    stream.read(buffer, std::streamsize(std::min<int64_t>(left, sizeof buffer)));
    std::streamsize n = stream.gcount();
    if (n <= 0) break;
    data_.append(buffer, size_t(n));
    left -= n;
  }
  stream.clear();
}

TWavStream::TWavStream(const std::string& text, int voiceIndex) {
  SpeakToPcm(text, voiceIndex, data_);
}

}  // namespace qv
