// WAV sources: the RIFF walk, rate and depth conversion, raw streams.
#include "media/wavfiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "media/codecpcm.h"
#include "media/recorder.h"
#include "platform/errors.h"
#include "support/tone_analysis.h"

namespace qv {
namespace {

using test::BytesSamples;
using test::Chunk;
using test::MakeTone;
using test::MakeWav;
using test::SampleBytes;

std::string Load(std::string_view file, int bits = 16, int rate = 8000) {
  std::string pcm;
  LoadWavAsPcm(file, pcm, bits, rate);
  return pcm;
}

std::string TonePcm(double frequency, size_t count, int rate) {
  return SampleBytes(MakeTone(frequency, 10000, count, rate));
}

TEST(WavFileTest, CallFormatFileYieldsExactlyTheDataChunkWhateverComesBefore) {
  test::TScratchDir dir;
  const std::string data = TonePcm(440, 800, 8000);
  const std::string info = Chunk("INFO", "ISFT") + Chunk("ICMT", "odd");  // odd, padded
  const struct {
    const char* name;
    std::string extra;
  } cases[] = {
      {"LIST chunk", Chunk("LIST", "INFO" + Chunk("ISFT", "Quorvelle test"))},
      {"odd chunk with its pad byte", Chunk("junk", "abc", true)},
      {"odd chunk written without the pad byte", Chunk("junk", "abc", false)},
      {"nested odd chunk", Chunk("LIST", info)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("call.wav");
    test::WriteFile(path, MakeWav(8000, 16, data, c.extra));
    TWavFile source(path);
    EXPECT_EQ(source.Data(), data);
    EXPECT_EQ(source.GetPosition(), 0);
    EXPECT_EQ(source.GetSize(), int64_t(data.size()));
  }
}

TEST(WavFileTest, FastFileIsConvertedInHalfSecondStepsAndKeepsItsTone) {
  const int rate = 44100;
  // One second: two whole half-second chunks give exactly 2 x 8000 bytes.
  std::string pcm = Load(MakeWav(rate, 16, TonePcm(1000, rate, rate)));
  ASSERT_EQ(pcm.size(), 16000u);
  std::vector<int16_t> samples = BytesSamples(pcm);
  EXPECT_NEAR(test::DominantFrequency(samples.data(), samples.size(), 8000), 1000, 1);
  EXPECT_NEAR(test::ToneAmplitude(samples.data(), samples.size(), 1000, 8000), 10000, 500);
  // The converter's delay is skipped: the tone is there from the first frame
  // on, and it does not fade before the last one.
  EXPECT_GT(test::Rms(samples.data(), 160), 6000);
  EXPECT_GT(test::Rms(samples.data() + samples.size() - 160, 160), 6000);

  // A tail shorter than half a second gives its share, rounded to samples:
  // 1.25 s -> 2 chunks + round(8000 / 44100 * 22050 / 2) samples.
  EXPECT_EQ(Load(MakeWav(rate, 16, TonePcm(1000, rate * 5 / 4, rate))).size(), 20000u);
  // 0.1 s + one sample: round(8000 / 44100 * 8822 / 2) = 800 samples.
  EXPECT_EQ(Load(MakeWav(rate, 16, TonePcm(1000, 4411, rate))).size(), 1600u);
}

TEST(WavFileTest, OddRateKeepsWholeSamplesInEveryStep) {
  // At 11025 Hz half a second is 5512.5 samples; a step ending inside a
  // sample would turn everything after it into noise.
  const int rate = 11025;
  std::string pcm = Load(MakeWav(rate, 16, TonePcm(700, rate * 3, rate)));
  std::vector<int16_t> samples = BytesSamples(pcm);
  ASSERT_NEAR(double(samples.size()), 24000, 10);
  std::vector<int16_t> last(samples.end() - 8000, samples.end());
  EXPECT_NEAR(test::DominantFrequency(last.data(), last.size(), 8000), 700, 1);
  EXPECT_NEAR(test::ToneAmplitude(last.data(), last.size(), 700, 8000), 10000, 500);
}

TEST(WavFileTest, EightBitSamplesBecomeSixteenBit) {
  // Unsigned 8-bit: 128 is silence.
  std::string bytes = {char(0x80), char(0xFF), char(0x00), char(0x81)};
  std::vector<int16_t> samples = BytesSamples(Load(MakeWav(8000, 8, bytes)));
  EXPECT_EQ(samples, (std::vector<int16_t>{0, 127 * 256, -128 * 256, 256}));

  // 8-bit at another rate: converted in both respects.
  std::string tone;
  for (int16_t s : MakeTone(500, 100, 22050, 22050)) tone.push_back(char(s + 128));
  std::vector<int16_t> converted = BytesSamples(Load(MakeWav(22050, 8, tone)));
  ASSERT_EQ(converted.size(), 8000u);
  EXPECT_NEAR(test::DominantFrequency(converted.data(), converted.size(), 8000), 500, 1);
  EXPECT_NEAR(test::ToneAmplitude(converted.data(), converted.size(), 500, 8000), 100 * 256, 1500);
}

TEST(WavFileTest, BytesThatAreNotRiffAreCallAudio) {
  const std::string raw = "just some bytes, not a header";
  EXPECT_EQ(Load(raw), raw);
  EXPECT_EQ(Load("RIF"), "RIF");
  EXPECT_EQ(Load(""), "");
  TRiffInfo info = ParseRiff(raw);
  EXPECT_EQ(info.DataOffset, 0);
  EXPECT_EQ(info.DataLength, int64_t(raw.size()));
  EXPECT_EQ(info.SampleRate, 8000);
  EXPECT_EQ(info.BitsPerSample, 16);
  // For the ring tone, raw bytes are 8000 Hz and get converted.
  EXPECT_EQ(Load(TonePcm(1000, 8000, 8000), 16, 22050).size(), 22050u * 2);
}

TEST(WavFileTest, FilesWeCannotTrustOrConvertGiveAnEmptySource) {
  const std::string data = TonePcm(1000, 400, 8000);
  std::string noData = MakeWav(8000, 16, data);
  noData.replace(noData.find("data"), 4, "dat?");
  std::string dataTooLong = MakeWav(8000, 16, data);
  dataTooLong[dataTooLong.find("data") + 5] = char(0x7F);
  std::string listTooLong = MakeWav(8000, 16, data, Chunk("LIST", "INFO"));
  listTooLong[listTooLong.find("LIST") + 7] = char(0xFF);
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"no data chunk", noData},
      {"data size past the end", dataTooLong},
      {"chunk size past the end", listTooLong},
      {"header only", std::string("RIFF\x04\0\0\0WAVE", 12)},
      {"24-bit samples", MakeWav(8000, 24, std::string(300, '\x10'))},
      {"rate 0", MakeWav(0, 16, data)},
      {"rate beyond reason", MakeWav(1000000, 16, data)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Load(c.file).size(), 0u);
    EXPECT_EQ(Load(c.file, 16, 22050).size(), 0u);
  }
}

// Stereo is mixed to mono (not played at half speed an octave low), and the
// G.711 laws are decoded rather than played as loud noise.
TEST(WavFileTest, StereoAndG711FilesPlayAsTheirSound) {
  // Left +2000, right 0, then left -1000, right -3000: the mean of the two.
  std::string stereo = SampleBytes({2000, 0, -1000, -3000});
  EXPECT_EQ(BytesSamples(Load(test::MakeWavFormat(kWavePcm, 2, 8000, 16, stereo))),
            (std::vector<int16_t>{1000, -2000}));
  std::string stereo8 = {char(0xFF), char(0x81), char(0x00), char(0x80)};
  EXPECT_EQ(BytesSamples(Load(test::MakeWavFormat(kWavePcm, 2, 8000, 8, stereo8))),
            (std::vector<int16_t>{64 * 256, -64 * 256}));

  // A second of a 440 Hz tone in each law: the tone, at its level and length.
  const std::vector<int16_t> tone = MakeTone(440, 8000, 8000, 8000);
  for (int tag : {kWaveMulaw, kWaveAlaw}) {
    SCOPED_TRACE(tag);
    std::string coded;
    for (int16_t v : tone) coded.push_back(char(tag == kWaveMulaw ? UlawEncode(v) : AlawEncode(v)));
    std::vector<int16_t> samples = BytesSamples(Load(test::MakeWavFormat(tag, 1, 8000, 8, coded)));
    ASSERT_EQ(samples.size(), tone.size());
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_NEAR(samples[i], tone[i], 300) << i;
    // Stereo mu-law at another rate: mixed and converted.
    std::string wide;
    for (int16_t v : MakeTone(440, 8000, 16000, 16000))
      for (int c = 0; c < 2; ++c) wide.push_back(char(tag == kWaveMulaw ? UlawEncode(v) : AlawEncode(v)));
    std::vector<int16_t> down = BytesSamples(Load(test::MakeWavFormat(tag, 2, 16000, 8, wide)));
    ASSERT_EQ(down.size(), 8000u);
    EXPECT_NEAR(test::DominantFrequency(down.data(), down.size(), 8000), 440, 1);
    EXPECT_NEAR(test::ToneAmplitude(down.data(), down.size(), 440, 8000), 8000, 400);
  }
}

// WAVE_FORMAT_EXTENSIBLE: cbSize 22, valid bits, channel mask, sub-format GUID.
TEST(WavFileTest, ExtensibleFilesAreReadByTheirSubFormat) {
  auto tail = [](uint16_t subTag) {
    std::string t;
    for (int v : {22, 0, 16, 0, 3, 0, 0, 0}) t.push_back(char(v));  // cbSize, valid bits, mask
    t.push_back(char(subTag & 0xFF));
    t.push_back(char(subTag >> 8));
    for (int v : {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
      t.push_back(char(v));
    return t;
  };
  const std::string stereo = SampleBytes({300, 100, -500, -700});
  EXPECT_EQ(BytesSamples(Load(test::MakeWavFormat(kWaveExtensible, 2, 8000, 16, stereo, tail(kWavePcm)))),
            (std::vector<int16_t>{200, -600}));
  std::string problem;
  std::string pcm;
  EXPECT_FALSE(LoadWavAsPcm(test::MakeWavFormat(kWaveExtensible, 2, 8000, 32, stereo, tail(3)), pcm, 16,
                            8000, &problem)) << "float samples";
  EXPECT_TRUE(pcm.empty());
  EXPECT_NE(problem.find("Format tag 3"), std::string::npos) << problem;
}

// What the recorder writes, a prompt can play: GSM 6.10 blocks decode to the
// recorded audio, two frames each.
TEST(WavFileTest, OurGsmRecordingsPlayBackAsPrompts) {
  const std::vector<int16_t> tone = MakeTone(700, 9000, 8000 + 100, 8000);
  const std::string file = GsmWavFile(PcmToGsm(SampleBytes(tone)));
  test::TScratchDir dir;
  const std::string path = dir.File("recording.wav");
  test::WriteFile(path, file);
  TWavFile prompt(path);
  std::vector<int16_t> samples = BytesSamples(prompt.Data());
  ASSERT_EQ(samples.size(), 25u * 320) << "whole blocks; the last 100 samples were never coded";
  const size_t skip = 800;  // the coder settles
  double error = 0, signal = 0;
  for (size_t i = skip; i < samples.size(); ++i) {
    signal += double(tone[i]) * tone[i];
    error += (double(samples[i]) - tone[i]) * (double(samples[i]) - tone[i]);
  }
  EXPECT_GT(10 * std::log10(signal / error), 12) << "the tone, not noise";
  EXPECT_NEAR(test::DominantFrequency(samples.data() + skip, samples.size() - skip, 8000), 700, 1);
}

TEST(WavFileTest, FormatsWeDoNotReadRaiseNamingTheFile) {
  test::TScratchDir dir;
  const struct {
    std::string file;
    const char* says;
  } cases[] = {
      {test::MakeWavFormat(85, 2, 44100, 0, std::string(400, '\x55')), "Format tag 85"},  // MPEG layer 3
      {test::MakeWavFormat(2, 1, 8000, 4, std::string(400, '\x55')), "Format tag 2"},     // MS ADPCM
      {test::MakeWavFormat(kWavePcm, 6, 8000, 16, std::string(480, '\x55')), "6 channels"},
      {test::MakeWavFormat(kWaveGsm610, 2, 8000, 0, std::string(130, '\x55')), "2 channels"},
      {MakeWav(8000, 24, std::string(300, '\x10')), "24-bit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const std::string path = dir.File("prompt.wav");
    test::WriteFile(path, c.file);
    try {
      TWavFile source(path);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("\"" + path + "\""), std::string::npos) << text;
      EXPECT_NE(text.find(c.says), std::string::npos) << text;
    }
  }
}

TEST(WavFileTest, FileThatCannotBeReadRaisesNamingIt) {
  test::TScratchDir dir;
  for (const std::string& path : {dir.File("missing.wav"), dir.Path()}) {
    try {
      TWavFile source(path);
      ADD_FAILURE() << "no exception for " << path;
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + path + "\""), std::string::npos) << e.what();
    }
  }
}

TEST(WavFileTest, RingToneLoadOverStreams) {
  // Already in the ring format: copied from its data chunk, header left out.
  const std::string data = TonePcm(1000, 2205, 22050);
  std::istringstream source(MakeWav(22050, 16, data, Chunk("LIST", "INFO")));
  source.seekg(17);  // the loader reads from the start whatever the position
  std::stringstream target;
  LoadWavAsPcm(source, target, 16, 22050);
  EXPECT_EQ(target.str(), data);
  EXPECT_EQ(source.tellg(), 0);
  EXPECT_EQ(target.tellp(), 0);

  // Call audio to the ring rate: 1 s = two steps of 22050 bytes each.
  std::istringstream call(MakeWav(8000, 16, TonePcm(1000, 8000, 8000)));
  std::stringstream ring;
  LoadWavAsPcm(call, ring, 16, 22050);
  std::vector<int16_t> samples = BytesSamples(ring.str());
  ASSERT_EQ(samples.size(), 22050u);
  EXPECT_NEAR(test::DominantFrequency(samples.data(), samples.size(), 22050, 50, 3900), 1000, 1);
}

TEST(WavStreamTest, CopiesTheStreamHeaderIncluded) {
  const std::string resource = MakeWav(8000, 16, TonePcm(697, 800, 8000));
  std::istringstream stream(resource);
  stream.seekg(100);
  TWavStream whole(stream);
  EXPECT_EQ(whole.Data(), resource);
  EXPECT_EQ(whole.GetPosition(), 0);

  stream.seekg(44);
  TWavStream part(stream, 320);
  EXPECT_EQ(part.Data(), resource.substr(44, 320));
  stream.seekg(int64_t(resource.size()) - 10);
  TWavStream tail(stream, 320);
  EXPECT_EQ(tail.GetSize(), 10);
}

TEST(WavStreamTest, ReadsLikeAMemoryStream) {
  std::istringstream stream("0123456789");
  TWavStream source(stream);
  char buffer[8] = {};
  EXPECT_EQ(source.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  source.SetPosition(8);
  EXPECT_EQ(source.Read(buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_EQ(source.GetPosition(), 10);
  source.SetPosition(50);  // past the end: kept, reads nothing
  EXPECT_EQ(source.GetPosition(), 50);
  EXPECT_EQ(source.Read(buffer, 8), 0);
  source.SetPosition(-5);
  EXPECT_EQ(source.GetPosition(), 0);
  EXPECT_EQ(source.Read(buffer, -1), 0);
}

}  // namespace
}  // namespace qv
