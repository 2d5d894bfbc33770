#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/WaitUntil.h"

extern char** environ;

namespace orvo::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) : ChildProcess(arguments, {}) {}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int target : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, pair[1], target);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view current(*entry);
    const auto replaced = [&](const std::string& e) {
      const auto equals = e.find('=');
      return equals != std::string::npos && current.substr(0, equals + 1) == std::string_view(e).substr(0, equals + 1);
    };
    if (std::none_of(environment.begin(), environment.end(), replaced)) envp.push_back(*entry);
  }
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int result = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);
  if (result != 0) {
    ::close(pair[0]);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  socket_ = pair[0];
  ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  kill();
  if (socket_ >= 0) ::close(socket_);
}

bool ChildProcess::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::send(socket_, text.data(), text.size(), MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void ChildProcess::closeInput() { ::shutdown(socket_, SHUT_WR); }

const std::string& ChildProcess::output() {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    output_.append(buffer, static_cast<std::size_t>(got));
  }
  return output_;
}

std::optional<int> ChildProcess::exitStatus() {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return status_;
}

void ChildProcess::kill() {
  if (pid_ <= 0 || exitStatus()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = -SIGKILL;
}

Outcome runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ChildProcess process(argv);
  const bool ended = waitUntil(
      [&] {
        process.output();
        return process.exitStatus().has_value();
      },
      timeout);
  process.output();
  return {ended ? *process.exitStatus() : -1, process.output()};
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace orvo::testing
