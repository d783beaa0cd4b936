// quorvelle-cli: a console softphone over TSipClient, driven by commands on
// standard input or --exec, reporting events on standard output.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/phone.h"
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

void ConfigureAudio(const TCliOptions& o) {
  if (!o.Audio.empty()) SelectAudioBackend(o.Audio);
  if (!o.PlayIn.empty()) VirtualAudio::SetInputSource(std::max(o.InputDevice, 0), o.PlayIn);
  if (!o.RecordOut.empty()) VirtualAudio::SetOutputFile(std::max(o.OutputDevice, 0), o.RecordOut);
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
  try {
    ConfigureAudio(options);
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
