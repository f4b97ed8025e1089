#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> args, const Environment& env,
                           bool captureOutput, bool input, bool errorsApart, bool terminal) {
  int outPipe[2] = {-1, -1};
  int inPipe[2] = {-1, -1};  // [0] the child's side, [1] ours
  if (captureOutput && ::pipe(outPipe) != 0) return;
  if (input && terminal) {
    inPipe[1] = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (inPipe[1] < 0 || ::grantpt(inPipe[1]) != 0 || ::unlockpt(inPipe[1]) != 0) return;
    inPipe[0] = ::open(::ptsname(inPipe[1]), O_RDWR | O_NOCTTY);
    if (inPipe[0] < 0) return;
  } else if (input && ::pipe(inPipe) != 0) {
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    if (captureOutput) {
      ::dup2(outPipe[1], STDOUT_FILENO);
      if (!errorsApart) ::dup2(outPipe[1], STDERR_FILENO);
      ::close(outPipe[0]);
      ::close(outPipe[1]);
    }
    if (input) {
      ::dup2(inPipe[0], STDIN_FILENO);
      ::close(inPipe[0]);
      ::close(inPipe[1]);
    }
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (captureOutput) {
    ::close(outPipe[1]);
    out_ = outPipe[0];
  }
  if (input) {
    ::close(inPipe[0]);
    in_ = inPipe[1];
  }
}

ChildProcess::~ChildProcess() {
  if (in_ >= 0) ::close(in_);
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGTERM);
    if (Wait(5000) < 0) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
  if (out_ >= 0) ::close(out_);
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
  auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t at = pending_.find('\n');
    if (at != std::string::npos) {
      *line = pending_.substr(0, at);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      pending_.erase(0, at + 1);
      return true;
    }
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return false;
    char buffer[512];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string ChildProcess::ReadAll(int timeoutMs) {
  auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::string all;
  all.swap(pending_);
  while (out_ >= 0) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) break;
    char buffer[4096];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  return all;
}

bool ChildProcess::ReadUntil(const std::string& text, int timeoutMs) {
  auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(text) == std::string::npos) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

bool ChildProcess::Send(const std::string& text) {
  if (in_ < 0) return false;
  return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProcess::Wait(int timeoutMs) {
  auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0 && status_ < 0) {
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (MsLeft(end) == 0) break;
    ::poll(nullptr, 0, 10);
  }
  return status_;
}

void ChildProcess::Terminate() {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGTERM);
}

void ChildProcess::Interrupt() {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGINT);
}

void ChildProcess::Kill() {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, SIGKILL);
}

void SendSignal(pid_t pid, int signal) {
  if (pid > 0) ::kill(pid, signal);
}

std::string BuiltProgramDir() {
  const char* dir = std::getenv("QX_BIN_DIR");
  return dir != nullptr ? dir : "";
}
