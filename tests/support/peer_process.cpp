#include "support/peer_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <set>
#include <random>
#include <mutex>
#include <thread>

namespace qv::test {

namespace {

int FreePortOnce(int type) {
  int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("no free port on 127.0.0.1");
  }
  close(s);
  return ntohs(a.sin_port);
}

// The port is released before the caller binds it, so two calls in a row
// (both sides of a test call) may be handed the same one, or one that a
// call of an earlier round still holds while its threads wind down: a port
// is given out once per process.
int FreePort(int type) {
  static std::mutex lock;
  static std::set<std::pair<int, int>> given;
  std::lock_guard<std::mutex> guard(lock);
  for (int attempt = 0;; ++attempt) {
    const int port = FreePortOnce(type);
    if (given.insert({type, port}).second || attempt == 100) return port;
  }
}

}  // namespace

TPeerDir::TPeerDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-peers-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = buffer.data();
  chmod(path_.c_str(), 0755);  // peers that drop privileges still read their configs
}

TPeerDir::~TPeerDir() {
  if (CurrentTestFailed() || getenv("QV_KEEP_PEER_LOGS")) {
    std::cerr << "peer files kept in " << path_ << "\n";
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TPeerDir::Subdir(const std::string& name) const {
  std::string dir = File(name);
  std::filesystem::create_directories(dir);
  chmod(dir.c_str(), 0777);
  return dir;
}

TPeerProcess::TPeerProcess(const std::vector<std::string>& argv, const std::string& logFile,
                           const std::string& workDir)
    : logFile_(logFile), name_(argv.at(0)) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls are allowed in a threaded process.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log < 0 || null < 0) throw std::runtime_error("cannot open " + logFile);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the test died before prctl took effect
    if (chdir(workDir.c_str()) != 0) _exit(127);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(log);
  close(null);
  if (pid_ < 0) throw std::runtime_error("fork failed for " + name_);
  setpgid(pid_, pid_);  // also from here, so that a kill right after start finds the group
}

TPeerProcess::~TPeerProcess() {
  Stop();
  if (CurrentTestFailed())
    std::cerr << "---- last lines of " << logFile_ << " ----\n" << LogTail() << "---- end ----\n";
}

bool TPeerProcess::Reap(bool block) {
  if (reaped_) return true;
  pid_t r = waitpid(pid_, &status_, block ? 0 : WNOHANG);
  if (r == pid_) reaped_ = true;
  return reaped_;
}

bool TPeerProcess::Running() { return !Reap(false); }

int TPeerProcess::Wait(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

int TPeerProcess::Stop(int graceMs) {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    kill(-pid_, SIGTERM);
    if (Wait(graceMs) < 0) {
      kill(-pid_, SIGKILL);
      Reap(true);
    }
  }
  // Children the peer forked (Kamailio's workers) share its group.
  kill(-pid_, SIGKILL);
  return Wait(0);
}

std::string TPeerProcess::Log() const { return ReadTextFile(logFile_); }

bool TPeerProcess::WaitForLog(const std::string& text, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Log().find(text) != std::string::npos) return true;
    if (!Running() || std::chrono::steady_clock::now() >= end) return Log().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string TPeerProcess::LogTail(int lines) const {
  std::string log = Log();
  size_t p = log.size();
  for (int n = 0; n <= lines && p > 0; ++n) {
    size_t q = log.rfind('\n', p - 1);
    if (q == std::string::npos) return log;
    p = q;
  }
  return log.substr(p);
}

std::string RequireProgram(const std::string& name, const std::string& package) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  std::vector<std::string> all;
  while (std::getline(dirs, dir, ':')) all.push_back(dir);
  all.push_back("/usr/sbin");
  all.push_back("/sbin");
  for (const std::string& d : all) {
    std::string candidate = d + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(name + " is not installed (Debian package " + package +
                           "; scripts/install-deps.sh installs it)");
}

int FreeUdpPort() { return FreePort(SOCK_DGRAM); }

int FreeRtpBase(int span) {
  static std::mt19937 random(uint32_t(getpid()) * 2654435761u ^
                             uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  static std::set<int> given;  // never twice in one process, even before use
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  while (true) {
    int base = 30000 + int(random() % uint32_t(30000 / span)) * span;
    if (!given.insert(base).second) continue;
    bool free = true;
    for (int port = base + 2; free && port <= base + span; ++port) {
      int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(uint16_t(port));
      free = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      close(s);
    }
    if (free) return base;
  }
}

bool WaitUdpPortBound(int port, int timeoutMs) {
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // A socket that carries both IPv4 and IPv6 is listed with the IPv6 ones.
    std::istringstream table(ReadTextFile("/proc/net/udp") + ReadTextFile("/proc/net/udp6"));
    std::string line;
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
int FreeTcpPort() { return FreePort(SOCK_STREAM); }

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Substitute(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    std::string key = "@" + name + "@";
    for (size_t p = text.find(key); p != std::string::npos; p = text.find(key, p + value.size()))
      text.replace(p, key.size(), value);
  }
  return text;
}

std::string InteropDataDir() { return std::string(QV_SOURCE_DIR) + "/tests/interop"; }

}  // namespace qv::test
