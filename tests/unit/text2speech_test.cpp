// Speech into call audio.
#include "media/text2speech.h"

#include <gtest/gtest.h>

#include <thread>

#include "media/wavfiles.h"
#include "support/tone_analysis.h"

namespace qv {
namespace {

TEST(TextToSpeechTest, SpanishGreetingGivesAboutASecondOfCallAudio) {
  const int spanish = FindSpeechVoice("es");
  ASSERT_GE(spanish, 0) << "no Spanish voice installed";
  EXPECT_EQ(ListSpeechVoices()[size_t(spanish)].Language, "es");

  TWavStream speech("Hola, bienvenido", spanish);
  EXPECT_EQ(speech.GetPosition(), 0);
  const int64_t size = speech.GetSize();
  EXPECT_EQ(size % 2, 0);
  // 8000 samples of 2 bytes per second.
  EXPECT_GT(size, 16000 * 6 / 10);
  EXPECT_LT(size, 16000 * 3);
  std::vector<int16_t> samples = test::BytesSamples(speech.Data());
  EXPECT_GT(test::Rms(samples.data(), samples.size()), 300);
  // Speech sits well below 4 kHz; a rate mix-up (22 kHz samples taken as
  // 8 kHz) would leave it an octave and more too low and three times too long.
  const double f = test::DominantFrequency(samples.data(), samples.size(), 8000, 60, 3900);
  EXPECT_GT(f, 80);
}

TEST(TextToSpeechTest, UnknownVoiceGivesNothingAndNoError) {
  const int count = int(ListSpeechVoices().size());
  ASSERT_GT(count, 0);
  for (int index : {count, -1, 1 << 30}) {
    SCOPED_TRACE(index);
    std::string pcm = "kept";
    EXPECT_NO_THROW(SpeakToPcm("Hola", index, pcm));
    EXPECT_EQ(pcm, "kept");
    TWavStream speech("Hola", index);
    EXPECT_EQ(speech.GetSize(), 0);
  }
  std::string pcm;
  SpeakToPcm("", 0, pcm);  // nothing to say is not an error either
  EXPECT_LT(pcm.size(), 16000u);
}

TEST(TextToSpeechTest, ConcurrentCallersGetTheSameSpeech) {
  const int spanish = FindSpeechVoice("es");
  ASSERT_GE(spanish, 0);
  std::string alone;
  SpeakToPcm("uno dos tres", spanish, alone);
  ASSERT_FALSE(alone.empty());
  std::string results[3];
  std::vector<std::thread> threads;
  for (std::string& result : results)
    threads.emplace_back([&result, spanish] { SpeakToPcm("uno dos tres", spanish, result); });
  for (std::thread& t : threads) t.join();
  // Two renderings of one text differ by a few samples (the engine carries
  // some state from one utterance to the next), never by much more.
  for (const std::string& result : results)
    EXPECT_NEAR(double(result.size()), double(alone.size()), alone.size() / 50.0);
}

}  // namespace
}  // namespace qv
