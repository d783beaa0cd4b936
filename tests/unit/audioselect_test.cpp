// Choosing the sound backend, and the virtual devices configured from the
// environment the way a headless program run is.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "platform/audio_portaudio.h"
#include "platform/audio_virtual.h"
#include "platform/audio_wavfile.h"
#include "platform/audiodevice.h"
#include "platform/messagequeue.h"

extern char** environ;

namespace qv {
namespace {

class AudioSelectTest : public ::testing::Test {
protected:
  void TearDown() override {
    unsetenv("QUORVELLE_AUDIO");
    SelectAudioBackend("virtual");
  }
};

TEST_F(AudioSelectTest, ApiAndEnvironmentChooseTheBackend) {
  SelectAudioBackend("virtual");
  EXPECT_EQ(AudioBackend()->Name(), "virtual");
  SelectAudioBackend("portaudio");
  EXPECT_EQ(AudioBackend()->Name(), "portaudio");
  try {
    SelectAudioBackend("alsa");
    ADD_FAILURE() << "accepted an unknown backend";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Unknown audio backend: alsa");
  }
  EXPECT_EQ(AudioBackend()->Name(), "portaudio") << "a refused choice changes nothing";

  // "" hands the choice back to QUORVELLE_AUDIO.
  setenv("QUORVELLE_AUDIO", "virtual", 1);
  SelectAudioBackend("");
  EXPECT_EQ(AudioBackend()->Name(), "virtual");
  setenv("QUORVELLE_AUDIO", "portaudio", 1);
  SelectAudioBackend("");
  EXPECT_EQ(AudioBackend()->Name(), "portaudio");
}

TEST_F(AudioSelectTest, AutoFallsBackToVirtualWithoutSoundCards) {
  // Enumeration works (and must not crash) on a machine with or without cards.
  IAudioBackendPtr pa = PortAudioBackend();
  std::vector<std::string> ins = pa->InputDeviceNames(), outs = pa->OutputDeviceNames();
  bool cards = !ins.empty() || !outs.empty();
  for (const char* choice : {"auto", "nonsense"}) {  // an unknown value counts as auto
    setenv("QUORVELLE_AUDIO", choice, 1);
    SelectAudioBackend("");
    EXPECT_EQ(AudioBackend()->Name(), cards ? "portaudio" : "virtual") << choice;
  }
  unsetenv("QUORVELLE_AUDIO");
  SelectAudioBackend("");
  EXPECT_EQ(AudioBackend()->Name(), cards ? "portaudio" : "virtual") << "auto is the default";
  if (!cards) {
    // Asked for explicitly, PortAudio without devices reports the missing driver.
    TMessageQueue q;
    try {
      pa->Open(true, -1, kCallFormat, &q);
      ADD_FAILURE() << "opened a device that does not exist";
    } catch (const TWaveException& e) {
      EXPECT_EQ(e.Code(), WaveErrNoDriver);
      EXPECT_STREQ(e.what(), "No device driver is present.");
    }
  } else {
    TMessageQueue q;
    EXPECT_THROW(pa->Open(false, int(outs.size()), kCallFormat, &q), TWaveException);
  }
}

// ---- a program configured only through the environment ----

// The child side: runs only when the parent test starts this executable again.
// Disabled in normal runs: its parent test runs it in a child process.
TEST(AudioEnvChild, DISABLED_Run) {
  ASSERT_NE(std::getenv("QV_AUDIO_CHILD"), nullptr) << "run by its parent test";
  EXPECT_EQ(AudioBackend()->Name(), "virtual");
  // Captures from the default input and plays it back on the default output,
  // then leaves without closing anything: the exit must still leave a valid file.
  // Kept in static pointers: the devices' threads still run while the process exits.
  static auto* q = new TMessageQueue;
  static auto* rec = new TWaveHeader[4];
  static auto* play = new TWaveHeader[10];
  static auto* data = new int16_t[14 * 160];
  IWaveDevicePtr in = WaveInOpen(-1, kCallFormat, q);
  IWaveDevicePtr out = WaveOutOpen(-1, kCallFormat, q);
  for (int i = 0; i < 4; ++i) {
    rec[i].Data = reinterpret_cast<char*>(data + 160 * i);
    rec[i].BufferLength = 320;
    in->AddBuffer(&rec[i]);
  }
  in->Start();
  int played = 0, done = 0;
  TMessage m;
  while (done < 10) {
    if (!q->Get(m)) {
      ASSERT_TRUE(q->Wait(2000));
      continue;
    }
    auto* h = reinterpret_cast<TWaveHeader*>(m.LParam);
    if (m.Msg == MsgWaveOutDone) {
      ++done;
    } else if (played < 10) {
      play[played].Data = reinterpret_cast<char*>(data + 160 * (4 + played));
      play[played].BufferLength = 320;
      std::memcpy(play[played].Data, h->Data, 320);
      out->AddBuffer(&play[played++]);
      in->AddBuffer(h);
    }
  }
  [[maybe_unused]] static IWaveDevice* leftOpen[2];
  leftOpen[0] = in.release();
  leftOpen[1] = out.release();
  std::exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(AudioEnv, EnvironmentConfiguresDefaultDeviceAndFileSurvivesExit) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("qv_audio_env_" + std::to_string(getpid()) + ".wav")).string();
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QUORVELLE_AUDIO", 15) != 0) env.push_back(*e);
  env.push_back("QV_AUDIO_CHILD=1");
  env.push_back("QUORVELLE_AUDIO=virtual");
  env.push_back("QUORVELLE_AUDIO_IN=tone:1000");
  env.push_back("QUORVELLE_AUDIO_OUT=" + path);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=AudioEnvChild.DISABLED_Run";
  std::string alsoDisabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), alsoDisabled.data(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

  TMonoPcm pcm = ReadWavAsMono16(path);
  EXPECT_EQ(pcm.SampleRate, 8000u);
  EXPECT_EQ(std::filesystem::file_size(path), 44 + 2 * pcm.Samples.size()) << "header matches the data";
  ASSERT_GE(pcm.Samples.size(), 1600u);
  int crossings = 0;
  for (size_t i = 1; i < 1600; ++i) crossings += (pcm.Samples[i - 1] < 0) != (pcm.Samples[i] < 0);
  EXPECT_NEAR(crossings, 400, 3) << "200 ms of the 1000 Hz tone from QUORVELLE_AUDIO_IN";
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace qv
