// Real peers for interop tests: the pieces every peer shares.
//
// - TPeerDir: a scratch directory for one test's peers (configs, logs,
//   recordings). Removed at the end unless the test failed or the variable
//   QV_KEEP_PEER_LOGS is set; a failed test prints where it was kept.
// - TPeerProcess: one child process started by the test and always stopped by
//   it: its process group gets SIGTERM, then SIGKILL; it also dies with the
//   test process (PR_SET_PDEATHSIG), so a crashed test leaves nothing behind.
//   Its stdout and stderr go to a log file in the TPeerDir; on a failed test
//   the tail of that log is printed.
// - FreeUdpPort / FreeTcpPort: a port on 127.0.0.1 that nothing holds now,
//   never the same one twice in one process.
// - RequireProgram: the path of an installed program, or an exception that
//   fails the test (a missing peer is a failure, never a skip).
//
// The peers themselves (Kamailio, sipp, baresip, coturn) are in peer_*.h.
// Interop tests run inside a network namespace that has only loopback (see
// tests/interop/run_in_netns.sh), so every address our stack and the peers
// choose stays on 127.0.0.1 and no port collides with the machine's.
//
// These helpers use no test framework: the GoogleTest programs and the Qt Test
// programs share them. Each framework's support library defines
// CurrentTestFailed().
//
// Threads: one test thread; none of these classes is shared between threads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qv::test {

class TPeerDir {
public:
  TPeerDir();
  ~TPeerDir();
  TPeerDir(const TPeerDir&) = delete;
  TPeerDir& operator=(const TPeerDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // A subdirectory, made when missing.
  std::string Subdir(const std::string& name) const;

private:
  std::string path_;
};

class TPeerProcess {
public:
  // Starts `argv` (argv[0] is looked up on PATH) in `workDir`, output to `logFile`.
  TPeerProcess(const std::vector<std::string>& argv, const std::string& logFile,
               const std::string& workDir);
  ~TPeerProcess();  // Stop()
  TPeerProcess(const TPeerProcess&) = delete;
  TPeerProcess& operator=(const TPeerProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // True while the process has not exited.
  bool Running();
  // Waits up to `timeoutMs` for the exit. The exit code, 128 + signal number
  // for a process killed by a signal, or -1 when it is still running.
  int Wait(int timeoutMs);
  // Asks the process group to end (SIGTERM), waits up to `graceMs`, then
  // kills it (SIGKILL). Returns the exit status as Wait does. Idempotent.
  int Stop(int graceMs = 3000);
  std::string Log() const;
  // Waits until `text` appears in the log; false after `timeoutMs` or when the
  // process ended first.
  bool WaitForLog(const std::string& text, int timeoutMs);
  // The last `lines` lines of the log.
  std::string LogTail(int lines = 40) const;

private:
  bool Reap(bool block);

  pid_t pid_ = -1;
  int status_ = -1;  // valid once reaped
  bool reaped_ = false;
  std::string logFile_;
  std::string name_;
};

// Whether the test now running has failed (its peers' logs are then kept and
// their tails printed). Defined by the framework's support library.
bool CurrentTestFailed();

// The absolute path of `name` on PATH; raises std::runtime_error naming the
// Debian package to install when it is missing.
std::string RequireProgram(const std::string& name, const std::string& package);

int FreeUdpPort();
int FreeTcpPort();
// The start of an RTP port range for one phone: its first `span` ports above
// the start were free a moment ago. Chosen at random between 30000 and
// 60000, so that test processes running side by side do not meet.
int FreeRtpBase(int span = 40);
// True once some socket of this network namespace is bound to UDP `port`
// (read from /proc/net/udp and udp6); waits up to `timeoutMs`.
bool WaitUdpPortBound(int port, int timeoutMs);

std::string ReadTextFile(const std::string& path);
void WriteTextFile(const std::string& path, const std::string& text);
// `text` with every "@NAME@" replaced by its value.
std::string Substitute(std::string text, const std::vector<std::pair<std::string, std::string>>& values);

// The directory of the interop data (scenarios, configuration templates).
std::string InteropDataDir();

}  // namespace qv::test
