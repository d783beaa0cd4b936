// Runs quorvelle-cli (or any program) as a child process for tests: standard
// input through a pipe or /dev/null, standard output and error collected by
// reader threads, every wait bounded, and the child killed when the object
// goes (or a wait runs out).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peer_process.h"

namespace qv::test {

// The console tool in the build tree.
std::string CliPath();

class TChildProcess {
public:
  // `withStdin` false: standard input is /dev/null. `env` entries are
  // "NAME=VALUE" added to this process's environment.
  TChildProcess(const std::string& program, const std::vector<std::string>& args,
                bool withStdin = false, const std::vector<std::string>& env = {});
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void Write(const std::string& bytes);
  void CloseStdin();

  // Waits until a line of standard output starts with `prefix` (searching
  // from line `from` on); returns its index, or -1 after `timeoutMs`.
  int WaitLine(const std::string& prefix, int timeoutMs, size_t from = 0);
  // Waits for the exit and for the last of its output; the exit status,
  // 128 + signal when killed by one, or -1 when it had to be killed after
  // `timeoutMs`.
  int Wait(int timeoutMs);
  void Kill(int signal);

  std::vector<std::string> OutLines();
  std::vector<std::string> ErrLines();
  std::string Out();
  std::string Err();

private:
  void Reader(int fd, std::string& into);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int status_ = -2;  // -2: still running
  int readersDone_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::thread outReader_, errReader_;
};

}  // namespace qv::test
