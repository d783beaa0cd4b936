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

extern "C" {
#include <gsm.h>
}

#include "media/codecpcm.h"
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

// The tail of the GUID of every WAVE_FORMAT_EXTENSIBLE sub-format: the first
// two bytes are the plain format tag (1 for PCM, 6 A-law, 7 mu-law...).
constexpr unsigned char kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void ReadFormat(std::string_view fmt, TRiffInfo& info) {
  if (fmt.size() >= 2) info.FormatTag = Le16(fmt.data());
  if (fmt.size() >= 4) info.Channels = Le16(fmt.data() + 2);
  if (fmt.size() >= 8) info.SampleRate = Le32(fmt.data() + 4);
  if (fmt.size() >= 16) info.BitsPerSample = Le16(fmt.data() + 14);
  // cbSize 22: valid bits, channel mask, then the sub-format GUID.
  if (info.FormatTag == kWaveExtensible && fmt.size() >= 40 &&
      std::memcmp(fmt.data() + 26, kSubFormatTail, sizeof kSubFormatTail) == 0)
    info.FormatTag = Le16(fmt.data() + 24);
}

// What the samples are, or why we cannot read them.
std::string FormatProblem(const TRiffInfo& info) {
  const int tag = info.FormatTag;
  if (tag != kWavePcm && tag != kWaveMulaw && tag != kWaveAlaw && tag != kWaveGsm610)
    return "Format tag " + std::to_string(tag) + " is not PCM, mu-law, A-law or GSM 6.10.";
  const int maxChannels = tag == kWaveGsm610 ? 1 : 2;
  if (info.Channels < 1 || info.Channels > maxChannels)
    return std::to_string(info.Channels) + " channels.";
  if (tag == kWavePcm && !SupportedBits(info.BitsPerSample))
    return std::to_string(info.BitsPerSample) + "-bit samples.";
  if ((tag == kWaveMulaw || tag == kWaveAlaw) && info.BitsPerSample != 8)
    return std::to_string(info.BitsPerSample) + "-bit G.711 samples.";
  if (!SupportedRate(info.SampleRate)) return "Sample rate " + std::to_string(info.SampleRate) + ".";
  return {};
}

int16_t DecodeSample(const unsigned char* p, int tag, int bits) {
  switch (tag) {
    case kWaveMulaw:
      return UlawDecode(p[0]);
    case kWaveAlaw:
      return AlawDecode(p[0]);
    default:  // PCM: 8-bit is unsigned with 128 as silence; 16-bit signed little-endian
      return bits == 8 ? int16_t((int(p[0]) - 128) * 256) : int16_t(p[0] | p[1] << 8);
  }
}

// GSM 6.10 as WAV files hold it: 65-byte blocks of two frames (libgsm's WAV49
// packing); a last partial block is left out.
std::vector<int16_t> DecodeGsmBlocks(std::string_view data) {
  constexpr size_t kBlock = 65;
  std::vector<int16_t> out;
  gsm decoder = gsm_create();
  if (!decoder) return out;
  int wav49 = 1;
  gsm_option(decoder, GSM_OPT_WAV49, &wav49);
  const size_t blocks = data.size() / kBlock;
  out.resize(blocks * 2 * kFrameSamples);
  for (size_t b = 0; b < blocks; ++b) {
    gsm_byte block[kBlock];
    std::memcpy(block, data.data() + b * kBlock, kBlock);
    gsm_signal* pcm = out.data() + b * 2 * kFrameSamples;
    // The first frame takes 32 bytes and a half, the second the rest.
    if (gsm_decode(decoder, block, pcm) != 0) std::fill(pcm, pcm + kFrameSamples, 0);
    if (gsm_decode(decoder, block + 33, pcm + kFrameSamples) != 0)
      std::fill(pcm + kFrameSamples, pcm + 2 * kFrameSamples, 0);
  }
  gsm_destroy(decoder);
  return out;
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

// The samples as 16-bit mono at the file's own rate; two channels are mixed.
std::vector<int16_t> DecodeToMono(const TRiffInfo& info, std::string_view data) {
  if (info.FormatTag == kWaveGsm610) return DecodeGsmBlocks(data);
  const int bytes = info.FormatTag == kWavePcm ? info.BitsPerSample / 8 : 1;
  const size_t frame = size_t(bytes * info.Channels);
  const size_t count = data.size() / frame;
  std::vector<int16_t> out(count);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t i = 0; i < count; ++i, p += frame) {
    int sum = 0;
    for (int c = 0; c < info.Channels; ++c) sum += DecodeSample(p + c * bytes, info.FormatTag, info.BitsPerSample);
    out[i] = int16_t(sum / info.Channels);
  }
  return out;
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
    if (id == "fmt ") ReadFormat(file.substr(size_t(body), size_t(chunkSize)), info);
    pos = body + chunkSize;
    if ((chunkSize & 1) != 0 && !LooksLikeChunkId(file, pos)) ++pos;
  }
  return info;
}

bool LoadWavAsPcm(std::string_view source, std::string& target, int targetBits, int targetRate,
                  std::string* problem) {
  const TRiffInfo info = ParseRiff(source);
  std::string_view data = source.substr(size_t(info.DataOffset), size_t(info.DataLength));
  if (info.FormatTag == kWavePcm && info.Channels == 1 && info.BitsPerSample == targetBits &&
      info.SampleRate == targetRate) {
    target.append(data);
    return true;
  }
  std::string why = FormatProblem(info);
  if (why.empty() && !(SupportedBits(targetBits) && SupportedRate(targetRate))) why = "No such target format.";
  if (!why.empty()) {
    if (problem) *problem = why;
    return false;
  }
  std::vector<int16_t> mono = DecodeToMono(info, data);
  if (mono.empty()) return true;
  const int sourceRate = int(info.SampleRate);
  if (sourceRate == targetRate) {
    EncodeSamples(mono, targetBits, target);
    return true;
  }
  // Half-second steps, counted in whole samples so that an odd rate cannot
  // leave a step ending in the middle of a sample.
  const int64_t sourceStep = sourceRate / 2;
  const int64_t targetStep = targetRate / 2;
  const int64_t wholeSteps = int64_t(mono.size()) / sourceStep;
  const int64_t tail = int64_t(mono.size()) % sourceStep;
  const int64_t tailSamples = int64_t(std::nearbyint(double(targetStep) / double(sourceStep) * double(tail)));
  const size_t total = size_t(wholeSteps * targetStep + tailSamples);

  TPcmResampler resampler(sourceRate, targetRate);
  if (!resampler.Valid()) {
    if (problem) *problem = "Sample rate " + std::to_string(sourceRate) + ".";
    return false;
  }
  std::vector<int16_t> out;
  out.reserve(total);
  constexpr size_t kPiece = 4096;
  for (size_t done = 0; done < mono.size() && out.size() < total; done += kPiece)
    resampler.Process(mono.data() + done, std::min(kPiece, mono.size() - done), out, total);
  resampler.Finish(out, total);
  EncodeSamples(out, targetBits, target);
  return true;
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
  std::string problem;
  if (!LoadWavAsPcm(ReadWholeFile(fileName), data_, 16, 8000, &problem))
    throw Exception("Unsupported WAV format in file \"" + fileName + "\". " + problem);
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
