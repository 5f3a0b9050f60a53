#include "support/dev_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace qbtest {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
  // Writing to a child that has gone must fail, not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);

  std::vector<std::string> argvStore{program};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  if (rc != 0) {
    close(in_);
    close(out_);
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + program);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

void ChildProcess::Send(std::string_view line) {
  std::string data(line);
  data += '\n';
  std::size_t done = 0;
  while (in_ >= 0 && done < data.size()) {
    ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void ChildProcess::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  if (outEnded_) return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd fd{out_, POLLIN, 0};
  int ready = poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count())));
  if (ready <= 0) return true;
  char buffer[8192];
  ssize_t n = read(out_, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    outEnded_ = true;
    if (!partial_.empty()) lines_.push_back(std::move(partial_));
    partial_.clear();
    return false;
  }
  partial_.append(buffer, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines_.push_back(partial_.substr(start, nl - start));
  }
  partial_.erase(0, start);
  return true;
}

std::optional<std::string> ChildProcess::Expect(std::string_view needle,
                                                std::chrono::milliseconds timeout) {
  return Find(cursor_, needle, timeout);
}

std::optional<std::string> ChildProcess::ExpectSince(std::size_t mark, std::string_view needle,
                                                     std::chrono::milliseconds timeout) {
  return Find(mark, needle, timeout);
}

std::optional<std::string> ChildProcess::Find(std::size_t& position, std::string_view needle,
                                              std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (; position < lines_.size(); ++position) {
      if (lines_[position].find(needle) != std::string::npos) return lines_[position++];
    }
    if (std::chrono::steady_clock::now() >= deadline || !ReadSome(deadline)) {
      // One last look at what the final read brought.
      for (; position < lines_.size(); ++position) {
        if (lines_[position].find(needle) != std::string::npos) return lines_[position++];
      }
      return std::nullopt;
    }
  }
}

std::vector<std::string> ChildProcess::Lines() {
  while (!outEnded_) {
    std::size_t before = lines_.size() + partial_.size();
    ReadSome(std::chrono::steady_clock::now());
    if (lines_.size() + partial_.size() == before) break;
  }
  return lines_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!outEnded_ && std::chrono::steady_clock::now() < deadline) ReadSome(deadline);
  while (!status_) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // The output has ended, so the child is in its last steps.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (*status_ < 0) return std::nullopt;
  return status_;
}

long ChildProcess::ResidentKib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace qbtest
