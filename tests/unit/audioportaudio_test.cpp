// The PortAudio backend on a machine without a sound card: a child process
// whose ALSA configuration (through HOME) defines a "null" PCM, which PortAudio
// lists as a device that takes and gives sound without hardware. That runs the
// real callback path: buffer hand-over, notifications, stop, reset, close.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/audio_portaudio.h"
#include "platform/audiodevice.h"
#include "platform/messagequeue.h"

extern char** environ;

namespace qv {
namespace {

bool Next(TMessageQueue& q, TMessage& m, int ms = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!q.Get(m)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    q.Wait(int(left.count()));
  }
  return true;
}

// Disabled in normal runs: its parent test runs it in a child process.
TEST(PortAudioChild, DISABLED_Run) {
  ASSERT_NE(std::getenv("QV_PA_CHILD"), nullptr) << "run by its parent test";
  ASSERT_EQ(AudioBackend()->Name(), "portaudio") << "auto takes PortAudio once it lists a device";
  std::vector<std::string> outs = WaveOutDeviceNames();
  ASSERT_FALSE(outs.empty());
  int dev = WaveDeviceByName(false, "qvnull");
  ASSERT_GE(dev, 0);
  EXPECT_EQ(WaveDeviceByName(true, "qvnull"), dev) << "the null PCM is listed for both directions";

  TMessageQueue q;
  std::vector<TWaveHeader> h(8);
  std::vector<std::vector<char>> data(8, std::vector<char>(320, 1));
  for (size_t i = 0; i < h.size(); ++i) {
    h[i].Data = data[i].data();
    h[i].BufferLength = 320;
    h[i].User = i;
  }
  {
    IWaveDevicePtr in = WaveInOpen(dev, kCallFormat, &q);
    for (int i = 0; i < 4; ++i) in->AddBuffer(&h[i]);
    in->Start();
    TMessage m;
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(Next(q, m)) << "capture buffer " << i;
      auto* hdr = reinterpret_cast<TWaveHeader*>(m.LParam);
      EXPECT_EQ(m.Msg, uint32_t(MsgWaveInData));
      EXPECT_EQ(hdr->User, uintptr_t(i % 4));
      EXPECT_EQ(hdr->BytesRecorded, 320u);
      in->AddBuffer(hdr);
    }
    in->Reset();
    int back = 0;
    while (q.Get(m)) ++back;
    EXPECT_EQ(back, 4) << "reset gives every queued buffer back";
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(h[i].InQueue);
    in->Close();
  }
  {
    IWaveDevicePtr out = WaveOutOpen(-1, kRingFormat, &q);
    for (auto& hdr : h) out->AddBuffer(&hdr);
    TMessage m;
    for (uintptr_t i = 0; i < 8; ++i) {
      ASSERT_TRUE(Next(q, m)) << "playback buffer " << i;
      EXPECT_EQ(m.Msg, uint32_t(MsgWaveOutDone));
      EXPECT_EQ(reinterpret_cast<TWaveHeader*>(m.LParam)->User, i) << "in queue order";
    }
    std::vector<std::vector<char>> big(4, std::vector<char>(44100));  // 1 s each
    for (int i = 0; i < 4; ++i) {
      h[i].Data = big[i].data();
      h[i].BufferLength = 44100;
      out->AddBuffer(&h[i]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = std::chrono::steady_clock::now();
    out->Reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << "stops at once";
    int back = 0;
    while (q.Get(m)) ++back;
    EXPECT_EQ(back, 4);
  }  // closed by destruction, before the buffers go
  std::exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(PortAudioBackend, NullDevice) {
  namespace fs = std::filesystem;
  fs::path home = fs::temp_directory_path() / ("qv_pa_home_" + std::to_string(getpid()));
  fs::create_directories(home);
  std::ofstream(home / ".asoundrc") << "pcm.qvnull {\n  type null\n}\n";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 &&
        std::strncmp(*e, "QUORVELLE_AUDIO", 15) != 0)
      env.push_back(*e);
  env.push_back("HOME=" + home.string());
  env.push_back("QV_PA_CHILD=1");
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=PortAudioChild.DISABLED_Run";
  std::string alsoDisabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), alsoDisabled.data(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  // Bounded: a backend that hangs must fail the test, not the run.
  int status = 0;
  pid_t r = 0;
  for (int i = 0; i < 300 && (r = waitpid(pid, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (r == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "child hung";
  }
  fs::remove_all(home);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
}  // namespace qv
