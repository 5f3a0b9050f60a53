#pragma once

// A child process with a pipe on its standard input and one on its standard
// output (standard error is inherited, so sanitizer reports reach the test
// log). Every wait has a deadline; nothing blocks without one.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qbtest {

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes one line to the child's standard input.
  void Send(std::string_view line);
  void CloseInput();

  // The next line after the previous match that contains `needle`; lines in
  // between are skipped (they stay in Lines()). Empty on timeout or when the
  // child's output ends.
  std::optional<std::string> Expect(std::string_view needle,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Where the next Expect starts looking; ExpectSince(mark, ...) searches from
  // such a mark without moving it, for lines that other threads of the child
  // print in no fixed order relative to the ones expected meanwhile.
  std::size_t Mark() const { return cursor_; }
  std::optional<std::string> ExpectSince(
      std::size_t mark, std::string_view needle,
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Every line the child has written so far (reads what is ready, no waiting).
  std::vector<std::string> Lines();

  void Signal(int signal);
  pid_t pid() const { return pid_; }
  // The child's resident memory in KiB (VmRSS), 0 when it cannot be read.
  long ResidentKib() const;
  // Reads the output to its end and reaps the child. Its exit code, or empty on
  // timeout or when a signal ended it.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  std::optional<std::string> Find(std::size_t& position, std::string_view needle,
                                  std::chrono::milliseconds timeout);
  // Reads what arrives until `deadline`; false when the output has ended.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool outEnded_ = false;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t cursor_ = 0;
  std::optional<int> status_;
};

}  // namespace qbtest
