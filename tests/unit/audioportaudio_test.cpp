// The PortAudio backend on a machine without a sound card: a child process
// whose ALSA configuration (through HOME) defines a "null" PCM, which PortAudio
// lists as a device that takes and gives sound without hardware. That runs the
// real callback path: buffer hand-over, notifications, stop, reset, close.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <portaudio.h>

#include <cmath>

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
      EXPECT_NE(hdr->TimeNs, 0) << "each buffer carries when it was captured";
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
      EXPECT_NE(reinterpret_cast<TWaveHeader*>(m.LParam)->TimeNs, 0) << "each buffer carries when it played";
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

// The frequency with the most energy in `samples` at `rate`, 100 to 3000 Hz in 10 Hz steps.
double Strongest(const std::vector<int16_t>& samples, double rate) {
  double best = 0, bestHz = 0;
  for (double hz = 100; hz <= 3000; hz += 10) {
    double re = 0, im = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
      re += samples[i] * std::cos(2 * M_PI * hz * double(i) / rate);
      im += samples[i] * std::sin(2 * M_PI * hz * double(i) / rate);
    }
    if (re * re + im * im > best) {
      best = re * re + im * im;
      bestHz = hz;
    }
  }
  return bestHz;
}

// A device at its own rate: ALSA "file" PCMs that record what is played and
// give what a file holds, at whatever rate the stream runs.
TEST(PortAudioChild, DISABLED_RunAtTheDevicesRate) {
  ASSERT_NE(std::getenv("QV_PA_CHILD"), nullptr) << "run by its parent test";
  const std::string home = std::getenv("HOME");
  // The capture PCM opens (and is listed) only with its file in place.
  std::ofstream(home + "/in.raw", std::ios::binary) << std::string(4000, '\0');
  ASSERT_EQ(AudioBackend()->Name(), "portaudio");
  const int rec = WaveDeviceByName(true, "qvrec"), play = WaveDeviceByName(false, "qvplay");
  ASSERT_GE(rec, 0);
  ASSERT_GE(play, 0);
  double rate = 0;
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i)
    if (std::string(Pa_GetDeviceInfo(i)->name) == "qvrec") rate = Pa_GetDeviceInfo(i)->defaultSampleRate;
  std::printf("the file devices run at %.0f Hz by default\n", rate);
  ASSERT_GT(rate, 8000) << "the test wants a device whose own rate is not the call's";

  // Capture: a 1 kHz tone at the device's rate reaches the owner at 8 kHz.
  {
    std::vector<int16_t> tone(size_t(rate) * 3);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(2 * M_PI * 1000 * double(i) / rate));
    std::ofstream(home + "/in.raw", std::ios::binary).write(reinterpret_cast<const char*>(tone.data()),
                                                             std::streamsize(tone.size() * 2));
    TMessageQueue q;
    std::vector<TWaveHeader> h(4);
    std::vector<std::vector<int16_t>> data(4, std::vector<int16_t>(160));
    std::vector<int16_t> got;
    IWaveDevicePtr in = WaveInOpen(rec, kCallFormat, &q);
    for (size_t i = 0; i < h.size(); ++i) {
      h[i].Data = reinterpret_cast<char*>(data[i].data());
      h[i].BufferLength = 320;
      in->AddBuffer(&h[i]);
    }
    in->Start();
    TMessage m;
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(Next(q, m)) << "capture buffer " << i;
      auto* hdr = reinterpret_cast<TWaveHeader*>(m.LParam);
      ASSERT_EQ(hdr->BytesRecorded, 320u);
      auto* p = reinterpret_cast<const int16_t*>(hdr->Data);
      got.insert(got.end(), p, p + 160);
      in->AddBuffer(hdr);
    }
    in->Close();
    got.erase(got.begin(), got.begin() + 800);  // the converter's start
    EXPECT_EQ(Strongest(got, 8000), 1000);
    double power = 0;
    for (int16_t v : got) power += double(v) * v;
    EXPECT_NEAR(std::sqrt(power / double(got.size())), 8000 / std::sqrt(2.0), 800);
  }
  // Playback: an 8 kHz tone of the owner's lands in the file at the device's rate.
  {
    TMessageQueue q;
    std::vector<TWaveHeader> h(25);
    std::vector<std::vector<int16_t>> data(25, std::vector<int16_t>(160));
    IWaveDevicePtr out = WaveOutOpen(play, kCallFormat, &q);
    for (size_t i = 0; i < h.size(); ++i) {
      for (int k = 0; k < 160; ++k) data[i][size_t(k)] = int16_t(8000 * std::sin(2 * M_PI * 1000 * double(i * 160 + k) / 8000));
      h[i].Data = reinterpret_cast<char*>(data[i].data());
      h[i].BufferLength = 320;
      out->AddBuffer(&h[i]);
    }
    TMessage m;
    for (size_t i = 0; i < h.size(); ++i) ASSERT_TRUE(Next(q, m)) << "playback buffer " << i;
    out->Close();
  }
  std::ifstream file(home + "/out.raw", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<int16_t> played(bytes.size() / 2);
  std::memcpy(played.data(), bytes.data(), played.size() * 2);
  // The null PCM is not paced: on a busy machine the stream runs on silence
  // between buffers the owner is still adding. The runs of silence go.
  std::vector<int16_t> sound;
  for (size_t i = 0; i < played.size();) {
    size_t j = i;
    while (j < played.size() && played[j] == 0) ++j;
    if (j - i < 16) sound.insert(sound.end(), played.begin() + long(i), played.begin() + long(j));
    if (j < played.size()) sound.push_back(played[j]);
    i = j + 1;
  }
  played.swap(sound);
  ASSERT_GE(played.size(), size_t(rate * 0.4)) << "half a second of the call's audio at the device's rate";
  played.erase(played.begin(), played.begin() + long(rate / 20));
  played.resize(size_t(rate * 0.3));
  EXPECT_EQ(Strongest(played, rate), 1000);
  std::exit(::testing::Test::HasFailure() ? 1 : 0);
}

// Runs `test` in a child whose HOME holds `asoundrc`.
void RunChild(const std::string& test, const std::string& asoundrc) {
  namespace fs = std::filesystem;
  fs::path home = fs::temp_directory_path() / ("qv_pa_home_" + std::to_string(getpid()));
  fs::create_directories(home);
  std::string config = asoundrc;
  for (size_t at; (at = config.find("$HOME")) != std::string::npos;) config.replace(at, 5, home.string());
  std::ofstream(home / ".asoundrc") << config;
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
  std::string filter = "--gtest_filter=PortAudioChild." + test;
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

TEST(PortAudioBackend, NullDevice) { RunChild("DISABLED_Run", "pcm.qvnull {\n  type null\n}\n"); }

TEST(PortAudioBackend, DeviceOpensAtItsOwnRateAndTheCallHearsEightKilohertz) {
  RunChild("DISABLED_RunAtTheDevicesRate",
           "pcm.qvplay {\n  type file\n  slave.pcm \"null\"\n  file \"$HOME/out.raw\"\n  format \"raw\"\n}\n"
           "pcm.qvrec {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n  infile \"$HOME/in.raw\"\n"
           "  format \"raw\"\n}\n");
}

}  // namespace
}  // namespace qv
