#include "support/cliprocess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace qv::test {

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

std::string CliPath() { return std::string(QV_BINARY_DIR) + "/src/cli/quorvelle-cli"; }

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& args,
                             bool withStdin, const std::vector<std::string>& env) {
  int in[2] = {-1, -1}, out[2], err[2];
  if ((withStdin && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (withStdin)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.push_back(*e);
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (withStdin) close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    if (withStdin) close(in[1]);
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  stdin_ = withStdin ? in[1] : -1;
  outReader_ = std::thread([this, fd = out[0]] { Reader(fd, out_); });
  errReader_ = std::thread([this, fd = err[0]] { Reader(fd, err_); });
}

TChildProcess::~TChildProcess() {
  CloseStdin();
  Wait(0);  // kills a child that is still running
  outReader_.join();
  errReader_.join();
  // A sanitizer build's child prints its report the moment it finds the fault,
  // but a test that killed the child, or expected some other exit status, would
  // not notice it from the status alone.
  for (const char* marker : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"})
    if (err_.find(marker) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from child " << pid_ << ":\n" << err_;
      break;
    }
}

void TChildProcess::Reader(int fd, std::string& into) {
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    into.append(buffer, size_t(n));
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  ++readersDone_;
  changed_.notify_all();
}

void TChildProcess::Write(const std::string& bytes) {
  size_t done = 0;
  while (stdin_ >= 0 && done < bytes.size()) {
    ssize_t n = write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
}

void TChildProcess::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

int TChildProcess::WaitLine(const std::string& prefix, int timeoutMs, size_t from) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    std::vector<std::string> lines = SplitLines(out_);
    // Only whole lines count.
    if (!out_.empty() && out_.back() != '\n') lines.pop_back();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rfind(prefix, 0) == 0) return int(i);
    if (changed_.wait_until(lock, end) == std::cv_status::timeout) return -1;
  }
}

int TChildProcess::Wait(int timeoutMs) {
  if (status_ != -2) return status_;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int raw;
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      // What it wrote last may still be in the pipes.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(5), [this] { return readersDone_ == 2; });
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      status_ = -1;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void TChildProcess::Kill(int signal) {
  if (status_ == -2) kill(pid_, signal);
}

std::vector<std::string> TChildProcess::OutLines() { return SplitLines(Out()); }
std::vector<std::string> TChildProcess::ErrLines() { return SplitLines(Err()); }

std::string TChildProcess::Out() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string TChildProcess::Err() {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

}  // namespace qv::test
