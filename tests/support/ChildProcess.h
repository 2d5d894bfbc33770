#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::testing {

// A program run by a test, its standard input, output and error on one local socket
// pair (so writes to a finished child fail with an error instead of SIGPIPE). The
// child is killed by its PID when the object goes.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments);
  // With `environment` ("NAME=VALUE" entries) set for the child on top of this process's
  // environment (an entry replaces the variable of the same name).
  ChildProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Writes to the child's standard input; false when it can no longer be written.
  bool write(std::string_view text);
  // End of input for the child.
  void closeInput();
  // Everything the child has written so far (reads what is available, never blocks).
  const std::string& output();
  // The exit status once the child has ended (-signal when killed by one); never blocks.
  std::optional<int> exitStatus();
  void kill();

 private:
  pid_t pid_ = -1;
  int socket_ = -1;
  std::string output_;
  std::optional<int> status_;
};

// How a program run to its end finished.
struct Outcome {
  int exitCode = -1;  // -1: still running at the deadline (then killed)
  std::string output;  // standard output and error
};

// Runs a program to its end, reading its output as it goes.
Outcome runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace orvo::testing
