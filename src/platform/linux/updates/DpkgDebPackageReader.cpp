#include "platform/linux/updates/DpkgDebPackageReader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace orvo::platform {
namespace {

constexpr std::size_t kMaxOutputBytes = 64 * 1024;

class Pipe {
 public:
  Pipe() {
    if (::pipe2(ends_, O_CLOEXEC) != 0) ends_[0] = ends_[1] = -1;
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return ends_[0] >= 0; }
  int read() const { return ends_[0]; }
  int write() const { return ends_[1]; }
  void closeRead() { closeEnd(0); }
  void closeWrite() { closeEnd(1); }

 private:
  void closeEnd(int which) {
    if (ends_[which] >= 0) ::close(ends_[which]);
    ends_[which] = -1;
  }
  int ends_[2];
};

struct Run {
  std::optional<std::string> error;  // it could not be run, or did not end in time
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs `argv` with no input, collecting at most kMaxOutputBytes of each output, for at most
// `timeout`; a program still running then is killed.
Run runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  Run run;
  Pipe out;
  Pipe err;
  if (!out.ok() || !err.ok()) return {.error = std::string("cannot make a pipe: ") + std::strerror(errno)};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write(), 2);
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (auto& arg : copies) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {.error = "cannot run " + argv[0] + ": " + std::strerror(spawned)};
  out.closeWrite();
  err.closeWrite();

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool outOpen = true;
  bool errOpen = true;
  bool late = false;
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      late = true;
      break;
    }
    pollfd fds[2] = {{outOpen ? out.read() : -1, POLLIN, 0}, {errOpen ? err.read() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      std::string& sink = i == 0 ? run.out : run.err;
      sink.append(chunk, std::min(static_cast<std::size_t>(n), kMaxOutputBytes - std::min(sink.size(), kMaxOutputBytes)));
    }
  }
  // Both outputs closed: the program is ending. Wait for it, but no longer than the time.
  int status = 0;
  while (!late) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return {.error = std::string("lost the program: ") + std::strerror(errno)};
    if (std::chrono::steady_clock::now() >= deadline) late = true;
    else ::usleep(2000);
  }
  if (late) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {.error = argv[0] + " did not finish within " + std::to_string(timeout.count() / 1000) + " s"};
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string firstLine(const std::string& text) {
  const auto end = text.find('\n');
  return text.substr(0, end);
}

std::string trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

DpkgDebPackageReader::DpkgDebPackageReader(std::string program, std::chrono::milliseconds timeout)
    : program_(std::move(program)), timeout_(timeout) {}

std::optional<PackageReader::Fields> DpkgDebPackageReader::readFields(const std::filesystem::path& package,
                                                                         std::string& error) {
  const auto run = runProgram({program_, "--field", package.string(), "Package", "Version"}, timeout_);
  if (run.error) {
    error = *run.error;
    return std::nullopt;
  }
  if (run.exitCode != 0) {
    const auto why = firstLine(run.err);
    error = why.empty() ? program_ + " failed with status " + std::to_string(run.exitCode) : why;
    return std::nullopt;
  }
  // One "Field: value" line per field asked for.
  Fields fields;
  std::size_t start = 0;
  while (start < run.out.size()) {
    auto end = run.out.find('\n', start);
    if (end == std::string::npos) end = run.out.size();
    const std::string line = run.out.substr(start, end - start);
    start = end + 1;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = line.substr(0, colon);
    if (name == "Package") fields.package = trimmed(line.substr(colon + 1));
    if (name == "Version") fields.version = trimmed(line.substr(colon + 1));
  }
  if (fields.package.empty() || fields.version.empty()) {
    error = "the package names no Package or no Version";
    return std::nullopt;
  }
  return fields;
}

std::optional<bool> DpkgDebPackageReader::isNewerVersion(const std::string& candidate, const std::string& current,
                                                           std::string& error) {
  // Exit status 0: newer, 1: not newer; anything else (a version of bad syntax) is an error.
  const auto run = runProgram({"dpkg", "--compare-versions", candidate, "gt", current}, timeout_);
  if (run.error) {
    error = *run.error;
    return std::nullopt;
  }
  if (run.exitCode == 0 || run.exitCode == 1) return run.exitCode == 0;
  const auto why = firstLine(run.err);
  error = why.empty() ? "dpkg cannot compare " + candidate + " with " + current : why;
  return std::nullopt;
}

}  // namespace orvo::platform
