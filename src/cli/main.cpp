// quorvelle-cli: a console softphone over TSipClient, driven by commands on
// standard input or --exec, reporting events on standard output.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/phone.h"
#include "cli/startchecks.h"
#include "platform/audio_virtual.h"
#include "platform/audiodevice.h"

using namespace qv;
using namespace qv::cli;

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
  errno = saved;
}

void CatchStopSignals() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// Each step names its option and what would make it work.
void ConfigureAudio(const TCliOptions& o) {
  auto step = [](const std::string& option, const std::string& fix, const std::function<void()>& run) {
    try {
      run();
    } catch (const std::exception& e) {
      throw TUsageError(option + ": " + e.what() + "; " + fix);
    }
  };
  if (!o.Audio.empty()) step("--audio " + o.Audio, "give portaudio or virtual", [&] { SelectAudioBackend(o.Audio); });
  const std::pair<const char*, int> devices[] = {{"--input-device", o.InputDevice}, {"--output-device", o.OutputDevice}};
  for (const auto& [option, device] : devices)
    if (o.Audio == "virtual" && device >= kVirtualDeviceCount)
      throw TUsageError(std::string(option) + " " + std::to_string(device) +
                        ": out of range (the virtual devices are -1 and 0 to " +
                        std::to_string(kVirtualDeviceCount - 1) + ")");
  if (!o.PlayIn.empty())
    step("--play-in", "give a readable WAV file, tone:HZ or silence",
         [&] { VirtualAudio::SetInputSource(std::max(o.InputDevice, 0), o.PlayIn); });
  if (!o.RecordOut.empty())
    step("--record-out", "give a file in a folder that exists and may be written",
         [&] { VirtualAudio::SetOutputFile(std::max(o.OutputDevice, 0), o.RecordOut); });
}

int ExitStatus(TRunResult result) { return result == TRunResult::TimedOut ? 1 : 0; }

int RunScript(TCliPhone& phone, const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    TRunResult result = phone.Execute(command);
    if (result != TRunResult::Continue) return ExitStatus(result);
    phone.Pump(0);  // events of the command come out before the next one runs
    if (phone.Interrupted()) return 0;
  }
  return 0;
}

int RunInput(TCliPhone& phone) {
  const int in = STDIN_FILENO;
  bool eof = fcntl(in, F_GETFD) < 0;  // no standard input at all
  bool discarding = false;            // the rest of a line that was too long
  std::string buffer;
  while (true) {
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos || (eof && !buffer.empty())) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end == std::string::npos ? buffer.size() : end + 1);
      if (discarding) {
        discarding = false;
        continue;
      }
      TRunResult result = phone.Execute(line);
      if (result != TRunResult::Continue) return ExitStatus(result);
    }
    if (buffer.size() > kMaxCommandLength) {
      if (!discarding) phone.Execute(buffer);  // reports it as too long
      discarding = true;
      buffer.clear();
    }
    if (eof || phone.Interrupted()) return 0;
    std::vector<bool> readable;
    phone.Pump(1000, {in}, &readable);
    if (phone.Interrupted()) return 0;
    if (readable.empty() || !readable[0]) continue;
    char chunk[4096];
    // poll said readable, so this read does not block; stdin stays blocking
    // because it may be a terminal we share with the shell.
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n > 0)
      buffer.append(chunk, size_t(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
      eof = true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away must not kill the calls
  TOutput out(stdout, stderr);
  TCliOptions options;
  try {
    options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    out.Error(e.what());
    return 2;
  }
  if (options.Help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  try {
    ResolvePassword(options, std::getenv("QUORVELLE_PASSWORD"));
    ConfigureAudio(options);
    CheckNamesResolve(options);
  } catch (const std::exception& e) {
    out.Error(e.what());
    return 2;
  }
  CatchStopSignals();
  TCliPhone phone(options, out);
  phone.SetInterruptFd(signalPipe[0]);
  try {
    phone.Start();
  } catch (const std::exception& e) {
    out.Error(e.what());
    return 1;
  }
  int status = options.HasExec ? RunScript(phone, SplitScript(options.Exec)) : RunInput(phone);
  try {
    phone.Stop();
  } catch (const std::exception& e) {
    out.Error(e.what());
  }
  return status;
}
