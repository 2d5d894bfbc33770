#include "app/ControlSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Log.h"
#include "platform/linux/stores/StandardPaths.h"

namespace orvo {
namespace {

constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr std::size_t kMaxResponseBytes = 4 * 1024 * 1024;
constexpr long kMaxSessions = 4;
constexpr auto kSessionTimeout = std::chrono::seconds(5);
constexpr auto kAnswerTimeout = std::chrono::minutes(10);

using Socket = asio::local::stream_protocol::socket;

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(200);

bool peerIsSameUser(Socket& socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  return credentials.uid == ::getuid();
}

}  // namespace

std::string controlSocketPath() {
  const std::string runtime = platform::linux_paths::runtimeDir();
  if (!runtime.empty()) return runtime + "/orvo-host.sock";
  return platform::linux_paths::runtimeFallbackDir() + "/orvo-host.sock";
}

std::string encodeControlRequest(const std::vector<std::string>& args) {
  return json::encode(json::Json{{"args", args}}) + "\n";
}

std::optional<std::vector<std::string>> decodeControlRequest(const std::string& line) {
  const auto parsed = json::parse(line);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const auto found = parsed->find("args");
  if (found == parsed->end() || !found->is_array()) return std::nullopt;
  std::vector<std::string> args;
  for (const auto& item : *found) {
    if (!item.is_string()) return std::nullopt;
    args.push_back(item.get<std::string>());
  }
  return args;
}

std::string encodeControlResponse(const HostCommands::Result& result) {
  return json::encode(json::Json{{"exitCode", result.exitCode}, {"output", result.output}}) + "\n";
}

std::optional<HostCommands::Result> decodeControlResponse(const std::string& line) {
  const auto parsed = json::parse(line);
  if (!parsed) return std::nullopt;
  json::ObjectReader reader(*parsed);
  HostCommands::Result result;
  result.exitCode = static_cast<int>(reader.requireInt64("exitCode"));
  result.output = reader.requireString("output");
  if (!reader.ok()) return std::nullopt;
  return result;
}

// One control connection: read one line, answer, close; abandoned after a timeout.
struct ControlServer::Session : std::enable_shared_from_this<Session> {
  Session(Socket connected, Executor& run, std::shared_ptr<int> liveToken)
      : socket(std::move(connected)), timer(socket.get_executor()), executor(run), token(std::move(liveToken)) {}

  void run() {
    armTimer(kSessionTimeout);
    asio::async_read_until(socket, buffer, '\n', [self = shared_from_this()](std::error_code error, std::size_t size) {
      if (error) {
        self->timer.cancel();
        return;
      }
      std::string line(asio::buffers_begin(self->buffer.data()), asio::buffers_begin(self->buffer.data()) + size);
      const auto args = decodeControlRequest(line);
      if (!args) return self->answer({2, "orvo-host ctl: malformed request\n"});
      self->armTimer(kAnswerTimeout);
      self->executor(*args, [self](HostCommands::Result result) { self->answer(result); });
    });
  }

  // Closes the connection when the time runs out first; re-arming replaces the deadline.
  void armTimer(std::chrono::steady_clock::duration limit) {
    timer.expires_after(limit);
    timer.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (!error) self->socket.close();
    });
  }

  void answer(const HostCommands::Result& result) {
    if (answered || !socket.is_open()) return;
    answered = true;
    response = encodeControlResponse(result);
    asio::async_write(socket, asio::buffer(response), [self = shared_from_this()](std::error_code, std::size_t) {
      self->timer.cancel();
      std::error_code ignored;
      self->socket.shutdown(Socket::shutdown_both, ignored);
      self->socket.close(ignored);
    });
  }

  Socket socket;
  asio::steady_timer timer;
  asio::streambuf buffer{kMaxRequestBytes};
  Executor& executor;
  std::shared_ptr<int> token;
  std::string response;
  bool answered = false;
};

ControlServer::ControlServer(asio::io_context& context, std::string path, Executor executor, Logger& logger)
    : context_(context), path_(std::move(path)), executor_(std::move(executor)), logger_(logger), acceptor_(context), retryTimer_(context) {}

ControlServer::~ControlServer() { stop(); }

std::optional<std::string> ControlServer::start() {
  // Without a runtime directory the socket lives in a private directory of ours under the
  // user's cache: made 0700 when missing, refused when it is not ours.
  const auto directory = std::filesystem::path(path_).parent_path().string();
  if (directory == platform::linux_paths::runtimeFallbackDir()) {
    if (auto error = platform::linux_paths::ensurePrivateDirectory(directory, true)) return error;
  }
  // A socket file that answers belongs to a running host; one that does not is stale.
  if (std::filesystem::exists(std::filesystem::symlink_status(path_))) {
    Socket probe(context_);
    std::error_code error;
    probe.connect(asio::local::stream_protocol::endpoint(path_), error);
    if (!error) return "another Orvo Host is already running (control socket " + path_ + ")";
    ::unlink(path_.c_str());
  }
  std::error_code error;
  acceptor_.open(asio::local::stream_protocol(), error);
  if (!error) acceptor_.bind(asio::local::stream_protocol::endpoint(path_), error);
  if (error) return "cannot create the control socket " + path_ + ": " + error.message();
  bound_ = true;
  if (::chmod(path_.c_str(), 0600) != 0) return "cannot restrict the control socket " + path_ + ": " + std::strerror(errno);
  acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) return "cannot listen on the control socket " + path_ + ": " + error.message();
  accept();
  return std::nullopt;
}

void ControlServer::accept() {
  acceptor_.async_accept([this, alive = std::weak_ptr(open_)](std::error_code error, Socket socket) {
    if (alive.expired() || !acceptor_.is_open()) return;
    if (error) {
      // Mostly a full descriptor table (EMFILE): the connection stays queued, so an
      // immediate retry would fail again at once and spin. Wait a little.
      logLine(logger_, "OrvoHost: control socket accept failed:", error.message());
      retryTimer_.expires_after(kAcceptRetryDelay);
      retryTimer_.async_wait([this, alive](const std::error_code& timerError) {
        if (!timerError && !alive.expired() && acceptor_.is_open()) accept();
      });
      return;
    }
    if (!peerIsSameUser(socket)) {
      logLine(logger_, "OrvoHost: refused a control connection from another user");
    } else if (open_.use_count() > kMaxSessions) {
      logLine(logger_, "OrvoHost: too many control connections; refusing one");
    } else {
      std::make_shared<Session>(std::move(socket), executor_, open_)->run();
    }
    accept();
  });
}

void ControlServer::stop() {
  std::error_code ignored;
  retryTimer_.cancel();
  acceptor_.close(ignored);
  if (bound_) {
    ::unlink(path_.c_str());
    bound_ = false;
  }
}

ControlReply sendControlRequest(const std::string& path, const std::vector<std::string>& args) {
  asio::io_context context;
  Socket socket(context);
  std::error_code error;
  socket.connect(asio::local::stream_protocol::endpoint(path), error);
  if (error) return {std::nullopt, "no Orvo Host is running (nothing answers on " + path + ")"};
  // Commands (and their answers) go only to a host of this user, never to whatever
  // another user bound at this path.
  if (!peerIsSameUser(socket)) {
    return {std::nullopt, "the control socket " + path + " belongs to another user; refusing to use it"};
  }
  const std::string request = encodeControlRequest(args);
  asio::write(socket, asio::buffer(request), error);
  asio::streambuf buffer(kMaxResponseBytes);
  const auto size = asio::read_until(socket, buffer, '\n', error);
  if (size == 0) return {std::nullopt, "the host closed the control connection without answering"};
  const std::string line(asio::buffers_begin(buffer.data()), asio::buffers_begin(buffer.data()) + size);
  auto result = decodeControlResponse(line);
  if (!result) return {std::nullopt, "the host's answer could not be read"};
  return {std::move(result), ""};
}

}  // namespace orvo
