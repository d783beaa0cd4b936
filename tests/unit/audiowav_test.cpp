// The small WAV reader and writer behind the virtual devices' files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/audio_wavfile.h"

namespace qv {
namespace {

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void Chunk(std::vector<uint8_t>& v, const char* id, const std::vector<uint8_t>& body) {
  v.insert(v.end(), id, id + 4);
  Put32(v, uint32_t(body.size()));
  v.insert(v.end(), body.begin(), body.end());
  if (body.size() & 1) v.push_back(0);
}
std::vector<uint8_t> Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, bool extensible = false) {
  std::vector<uint8_t> f;
  Put16(f, extensible ? 0xFFFE : tag);
  Put16(f, channels);
  Put32(f, rate);
  Put32(f, rate * channels * bits / 8);
  Put16(f, uint16_t(channels * bits / 8));
  Put16(f, bits);
  if (extensible) {
    Put16(f, 22);        // extension size
    Put16(f, bits);      // valid bits
    Put32(f, 0);         // channel mask
    Put16(f, tag);       // sub-format GUID, first word
    f.resize(f.size() + 14, 0);
  }
  return f;
}
std::vector<uint8_t> Wav(const std::vector<uint8_t>& fmt, const std::vector<uint8_t>& data, bool oddChunkFirst = false) {
  std::vector<uint8_t> body{'W', 'A', 'V', 'E'};
  if (oddChunkFirst) Chunk(body, "LIST", {1, 2, 3});
  Chunk(body, "fmt ", fmt);
  Chunk(body, "data", data);
  std::vector<uint8_t> file{'R', 'I', 'F', 'F'};
  Put32(file, uint32_t(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

TEST(WavFile, EightBitStereoIsMixedToSixteenBitMono) {
  std::vector<uint8_t> data{128, 128, 255, 255, 0, 0, 255, 1};
  TMonoPcm pcm = ParseWavAsMono16(Wav(Fmt(1, 2, 11025, 8), data, /*oddChunkFirst=*/true), "t");
  EXPECT_EQ(pcm.SampleRate, 11025u);
  EXPECT_EQ(pcm.Samples, (std::vector<int16_t>{0, 127 << 8, -128 << 8, 0}));
}

TEST(WavFile, ExtensiblePcmAndTruncatedDataAreRead) {
  std::vector<uint8_t> data;
  for (int16_t v : {1, -2, 300}) Put16(data, uint16_t(v));
  std::vector<uint8_t> file = Wav(Fmt(1, 1, 8000, 16, /*extensible=*/true), data);
  EXPECT_EQ(ParseWavAsMono16(file, "t").Samples, (std::vector<int16_t>{1, -2, 300}));
  // A data chunk claiming more than the file holds (a recording cut short):
  // the samples that are there, and no half sample.
  file.pop_back();
  EXPECT_EQ(ParseWavAsMono16(file, "t").Samples, (std::vector<int16_t>{1, -2}));
}

TEST(WavFile, WhatIsNotPcmOrIsBrokenIsRefused) {
  std::vector<uint8_t> data(8, 0);
  auto refused = [](const std::vector<uint8_t>& f, const char* why) {
    try {
      ParseWavAsMono16(f, "x.wav");
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
      return;
    }
    ADD_FAILURE() << "accepted: " << why;
  };
  refused(Wav(Fmt(3, 1, 8000, 32), data), "not PCM");  // float
  refused(Wav(Fmt(1, 1, 8000, 24), data), "8 or 16 bits");
  refused(Wav(Fmt(1, 0, 8000, 16), data), "bad format");
  refused({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}, "not a RIFF/WAVE");
  std::vector<uint8_t> noData{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(noData, "fmt ", Fmt(1, 1, 8000, 16));
  refused(noData, "no data chunk");
  std::vector<uint8_t> shortFmt{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(shortFmt, "fmt ", {1, 0, 1, 0});
  refused(shortFmt, "bad format chunk");

  // Every prefix of a good file either parses or is refused: never a read past the end.
  std::vector<uint8_t> good = Wav(Fmt(1, 2, 8000, 16, true), std::vector<uint8_t>(40, 7), true);
  for (size_t n = 0; n <= good.size(); ++n) {
    std::vector<uint8_t> prefix(good.begin(), good.begin() + n);
    try {
      ParseWavAsMono16(prefix, "p");
    } catch (const Exception&) {
    }
  }
}

TEST(WavFile, WriterKeepsTheHeaderRightAfterEveryWrite) {
  std::string path = (std::filesystem::temp_directory_path() / ("qv_wavw_" + std::to_string(getpid()) + ".wav")).string();
  TWavWriter w;
  w.Open(path, TWaveFormat{22050, 2, 16});
  int16_t v[6] = {1, 2, 3, 4, -5, -6};
  for (int i = 1; i <= 3; ++i) {
    w.Write(v, 6);
    EXPECT_EQ(std::filesystem::file_size(path), 44u + 12u * i);
    TMonoPcm pcm = ReadWavAsMono16(path);  // while still open
    EXPECT_EQ(pcm.SampleRate, 22050u);
    ASSERT_EQ(pcm.Samples.size(), 3u * i);
    EXPECT_EQ(pcm.Samples[2], int16_t(-5));  // stereo read back as the mean
  }
  w.Close();
  EXPECT_EQ(ReadWavAsMono16(path).Samples.size(), 9u);
  std::filesystem::remove(path);
  EXPECT_THROW(w.Open("/nonexistent-dir/x.wav", TWaveFormat{}), Exception);
}

}  // namespace
}  // namespace qv
