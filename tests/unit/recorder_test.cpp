// Call recorder: the mix of both sides, the GSM 6.10 WAV file, saving safely.
#include "media/recorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/errors.h"
#include "support/tone_analysis.h"

namespace qv {
namespace {

std::vector<int16_t> Frame(int16_t value) { return std::vector<int16_t>(kFrameSamples, value); }

uint32_t Le32(const std::string& bytes, size_t at) {
  return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
         uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
}

// Feeds `frames` alternately local then remote.
void Feed(TSipRecorder& recorder, int frames, int16_t local, int16_t remote) {
  for (int i = 0; i < frames; ++i) {
    recorder.AddLocalFrame(Frame(local).data());
    recorder.AddRemoteFrame(Frame(remote).data());
  }
}

TEST(RecorderTest, TenFramesEachSideGiveThreeBlocksInA243ByteFile) {
  TSipRecorder recorder;
  Feed(recorder, 10, 1000, -3);
  // Three frames of each side are still in the rings.
  ASSERT_EQ(recorder.Track().size(), 2240u);

  std::ostringstream out;
  recorder.SaveToStream(out);
  const std::string file = out.str();
  ASSERT_EQ(file.size(), 243u);
  // The header, field by field.
  const std::string expected = std::string("RIFF") + std::string("\xEB\x00\x00\x00", 4) +
                               "WAVE" + "fmt " + std::string("\x14\x00\x00\x00", 4) +
                               std::string("\x31\x00", 2) +          // GSM 6.10
                               std::string("\x01\x00", 2) +          // mono
                               std::string("\x40\x1F\x00\x00", 4) +  // 8000 Hz
                               std::string("\x59\x06\x00\x00", 4) +  // 1625 bytes/s
                               std::string("\x41\x00", 2) +          // block 65
                               std::string("\x00\x00", 2) +          // bits
                               std::string("\x02\x00", 2) +          // extra bytes
                               std::string("\x40\x01", 2) +          // 320 samples/block
                               "data" + std::string("\xC3\x00\x00\x00", 4);
  EXPECT_EQ(file.substr(0, 48), expected);
  EXPECT_EQ(recorder.Track().size(), 0u);

  // Saving again holds only what came since: nothing.
  std::ostringstream again;
  recorder.SaveToStream(again);
  EXPECT_EQ(again.str().size(), 48u);
  EXPECT_EQ(Le32(again.str(), 44), 0u);
  EXPECT_EQ(Le32(again.str(), 4), 40u);
}

TEST(RecorderTest, TrackAveragesBothSidesTruncatingTowardZero) {
  TSipRecorder recorder;
  Feed(recorder, 5, -1000, -3);
  std::vector<int16_t> track = test::BytesSamples(recorder.Track());
  ASSERT_EQ(track.size(), 2u * kFrameSamples);
  for (int16_t s : track) ASSERT_EQ(s, -501);  // -1003 / 2, not -502

  // Remote frames alone wait for the local side: the track follows the
  // capture, three frames behind.
  TSipRecorder remoteOnly;
  for (int i = 0; i < 6; ++i) remoteOnly.AddRemoteFrame(Frame(1001).data());
  EXPECT_EQ(remoteOnly.Track().size(), 0u);
  for (int i = 0; i < 4; ++i) remoteOnly.AddLocalFrame(Frame(1).data());
  track = test::BytesSamples(remoteOnly.Track());
  ASSERT_EQ(track.size(), size_t(kFrameSamples));
  EXPECT_EQ(track[0], 501);

  remoteOnly.Clear();
  EXPECT_EQ(remoteOnly.Track().size(), 0u);
}

TEST(RecorderTest, RecordedToneDecodesAsTheSameToneWithAnotherDecoder) {
  ASSERT_EQ(std::system("sox --version >/dev/null 2>&1"), 0) << "sox is needed (scripts/install-deps.sh installs it)";
  test::TScratchDir dir;
  TSipRecorder recorder;
  const int frames = 150;  // 3 s
  std::vector<int16_t> tone = test::MakeTone(1000, 8000, size_t(frames) * kFrameSamples, 8000);
  for (int i = 0; i < frames; ++i) recorder.AddLocalFrame(tone.data() + i * kFrameSamples);
  const std::string wav = dir.File("tone.wav");
  recorder.SaveToFile(wav);

  const std::string raw = dir.File("tone.raw");
  const std::string command =
      "sox '" + wav + "' -t raw -e signed -b 16 -c 1 -r 8000 '" + raw + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<int16_t> decoded = test::BytesSamples(test::ReadFile(raw));
  // 147 frames reached the track; whole 320-sample blocks were coded.
  ASSERT_EQ(decoded.size(), 73u * 320);
  EXPECT_NEAR(test::DominantFrequency(decoded.data(), decoded.size(), 8000), 1000, 5);
  EXPECT_GT(test::ToneAmplitude(decoded.data(), decoded.size(), 1000, 8000), 4000);
}

TEST(RecorderTest, FailedSaveKeepsTheGoodFileAndTheTrack) {
  test::TScratchDir dir;
  const std::string path = dir.File("call.wav");
  TSipRecorder recorder;
  Feed(recorder, 10, 100, 100);
  recorder.SaveToFile(path);
  const std::string good = test::ReadFile(path);
  ASSERT_EQ(good.size(), 243u);

  Feed(recorder, 200, 200, 200);
  const size_t recorded = recorder.Track().size();
  ASSERT_GT(recorded, 0u);

  // The disk fills up half-way through the new file (as root, permissions
  // would not stop us, a file size limit does).
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    recorder.SaveToFile(path);
  } catch (const Exception& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_NE(message.find("\"" + path + "\""), std::string::npos) << message;
  EXPECT_EQ(test::ReadFile(path), good);
  EXPECT_EQ(recorder.Track().size(), recorded);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left behind";

  // A directory that does not exist: the same, and the next save can succeed.
  EXPECT_THROW(recorder.SaveToFile(dir.File("no/such/dir.wav")), Exception);
  EXPECT_EQ(recorder.Track().size(), recorded);
  recorder.SaveToFile(path);
  EXPECT_EQ(test::ReadFile(path).size(), 48 + recorded / 640 * 65);
  EXPECT_EQ(recorder.Track().size(), 0u);
}

TEST(RecorderTest, FailingStreamRaisesAndKeepsTheTrack) {
  TSipRecorder recorder;
  Feed(recorder, 10, 1, 1);
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_THROW(recorder.SaveToStream(broken), Exception);
  EXPECT_EQ(recorder.Track().size(), 2240u);
}

TEST(RecorderTest, FramesKeepComingWhileSaving) {
  TSipRecorder recorder;
  const int frames = 2000;
  std::thread capture([&] {
    for (int i = 0; i < frames; ++i) recorder.AddLocalFrame(Frame(300).data());
  });
  std::thread playback([&] {
    for (int i = 0; i < frames; ++i) recorder.AddRemoteFrame(Frame(100).data());
  });
  // Each save takes what was recorded until then and leaves the rest for the
  // next one; none is lost or saved twice, save for the tail under one block
  // that each save leaves out.
  size_t saved = 0;
  auto save = [&] {
    std::ostringstream out;
    recorder.SaveToStream(out);
    const std::string file = out.str();
    ASSERT_EQ(file.size(), 48 + size_t(Le32(file, 44)));
    ASSERT_EQ(Le32(file, 44) % 65, 0u);
    saved += Le32(file, 44) / 65 * 640;
  };
  for (int i = 0; i < 50; ++i) save();
  capture.join();
  playback.join();
  save();
  EXPECT_LE(saved, size_t(frames) * kFrameBytes);
  EXPECT_GE(saved, size_t(frames) * kFrameBytes / 2);
}

}  // namespace
}  // namespace qv
