#include "media/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

extern "C" {
#include <gsm.h>
}

#include "platform/errors.h"

namespace qv {

namespace {

constexpr size_t kBlockPcmBytes = 640;  // 320 samples, two GSM frames
constexpr size_t kBlockGsmBytes = 65;

void PutText(std::string& out, const char* text) { out.append(text, 4); }

void Put16(std::string& out, uint32_t value) {
  out.push_back(char(value & 0xFF));
  out.push_back(char((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

Exception FileError(const char* what, const std::string& fileName, int error) {
  return Exception(std::string(what) + " \"" + fileName + "\". " + std::strerror(error));
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Writes the whole file beside its final name and renames it into place, so
// readers (and a crash) see either the old file or the complete new one. The
// temporary file is made with the usual 0666 less umask, like the file it
// replaces would have been.
void WriteFileWhole(const std::string& fileName, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = fileName + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw FileError("Cannot create file", fileName, errno);
  bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::rename(temp.c_str(), fileName.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(temp.c_str());
    throw FileError("Cannot write file", fileName, error);
  }
}

}  // namespace

void TSipRecorder::TAudioBuffer::Write(const int16_t* frame) {
  if (fill_ < 4) ++fill_;
  std::memcpy(slots_[write_], frame, kFrameBytes);
  write_ = (write_ + 1) % 4;
  if (write_ == read_) read_ = (read_ + 1) % 4;
}

bool TSipRecorder::TAudioBuffer::Read(int16_t* frame) {
  if (fill_ > 0) --fill_;
  if (read_ == write_) return false;
  std::memcpy(frame, slots_[read_], kFrameBytes);
  read_ = (read_ + 1) % 4;
  return true;
}

void TSipRecorder::AddLocalFrame(const int16_t* frame) {
  std::lock_guard guard(lock_);
  local_.Write(frame);
  Flush();
}

void TSipRecorder::AddRemoteFrame(const int16_t* frame) {
  std::lock_guard guard(lock_);
  remote_.Write(frame);
}

void TSipRecorder::Flush() {
  while (local_.FillCount() > 3 || remote_.FillCount() > 3) {
    int32_t mix[kFrameSamples] = {};
    int16_t frame[kFrameSamples];
    if (local_.Read(frame))
      for (int i = 0; i < kFrameSamples; ++i) mix[i] = frame[i];
    // Without a local frame this halves the remote side: it is averaged
    // with the silence that was not captured.
    if (remote_.Read(frame))
      for (int i = 0; i < kFrameSamples; ++i) mix[i] = (mix[i] + frame[i]) / 2;
    size_t start = track_.size();
    track_.resize(start + kFrameBytes);
    for (int i = 0; i < kFrameSamples; ++i) {
      track_[start + 2 * size_t(i)] = char(mix[i] & 0xFF);
      track_[start + 2 * size_t(i) + 1] = char((mix[i] >> 8) & 0xFF);
    }
  }
}

void TSipRecorder::Clear() {
  std::lock_guard guard(lock_);
  track_.clear();
  ++generation_;
}

std::string TSipRecorder::Track() {
  std::lock_guard guard(lock_);
  return track_;
}

std::string TSipRecorder::TakeTrack(uint64_t& generation) {
  std::lock_guard guard(lock_);
  generation = generation_;
  std::string taken;
  taken.swap(track_);
  return taken;
}

void TSipRecorder::GiveBack(std::string taken, uint64_t generation) {
  std::lock_guard guard(lock_);
  // A Clear while saving threw the recording away on purpose.
  if (generation != generation_) return;
  taken.append(track_);
  track_.swap(taken);
}

void TSipRecorder::SaveToStream(std::ostream& stream) {
  // The frames keep coming while the file is coded and written: the track is
  // taken out under the lock and coded outside it, so the call's real-time
  // threads never wait for the GSM coder or the disk.
  uint64_t generation = 0;
  std::string pcm = TakeTrack(generation);
  try {
    std::string file = GsmWavFile(PcmToGsm(pcm));
    stream.write(file.data(), std::streamsize(file.size()));
    stream.flush();
    if (!stream) throw Exception("Cannot write the recording");
  } catch (...) {
    GiveBack(std::move(pcm), generation);
    throw;
  }
}

void TSipRecorder::SaveToFile(const std::string& fileName) {
  uint64_t generation = 0;
  std::string pcm = TakeTrack(generation);
  try {
    WriteFileWhole(fileName, GsmWavFile(PcmToGsm(pcm)));
  } catch (...) {
    GiveBack(std::move(pcm), generation);
    throw;
  }
}

std::string PcmToGsm(std::string_view pcm) {
  std::string out;
  gsm coder = gsm_create();
  if (coder == nullptr) throw Exception("Can't convert PCM to GSM");
  // The WAV flavour codes two frames into one 65-byte block: the first call
  // writes 32 bytes, the second 33.
  int one = 1;
  gsm_option(coder, GSM_OPT_WAV49, &one);
  const size_t blocks = pcm.size() / kBlockPcmBytes;
  out.resize(blocks * kBlockGsmBytes);
  gsm_signal samples[kBlockPcmBytes / 2];
  for (size_t b = 0; b < blocks; ++b) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pcm.data() + b * kBlockPcmBytes);
    for (size_t i = 0; i < kBlockPcmBytes / 2; ++i)
      samples[i] = gsm_signal(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
    auto* block = reinterpret_cast<gsm_byte*>(out.data() + b * kBlockGsmBytes);
    gsm_encode(coder, samples, block);
    gsm_encode(coder, samples + kFrameSamples, block + 32);
  }
  gsm_destroy(coder);
  return out;
}

std::string GsmWavFile(std::string_view gsm) {
  const uint32_t length = uint32_t(gsm.size());
  std::string file;
  file.reserve(48 + gsm.size());
  PutText(file, "RIFF");
  Put32(file, length + 40);
  PutText(file, "WAVE");
  PutText(file, "fmt ");
  Put32(file, 20);    // format chunk size
  Put16(file, 49);    // GSM 6.10
  Put16(file, 1);     // channels
  Put32(file, 8000);  // samples per second
  Put32(file, 1625);  // bytes per second
  Put16(file, 65);    // block alignment
  Put16(file, 0);     // bits per sample
  Put16(file, 2);     // extra format bytes
  Put16(file, 320);   // samples per block
  PutText(file, "data");
  Put32(file, length);
  file.append(gsm);
  return file;
}

}  // namespace qv
