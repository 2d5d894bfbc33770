#include "client/ClientRunner.h"

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "client/PinPairingClient.h"
#include "client/StreamStats.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "platform/linux/stores/LinuxHostInfo.h"
#include "platform/linux/stores/StandardPaths.h"

namespace orvo::client {

namespace {

// Library log lines go to stderr with --verbose, nowhere otherwise.
class StderrLogger final : public Logger {
 public:
  void write(std::string_view line) override { std::cerr << line << '\n'; }
};
class QuietLogger final : public Logger {
 public:
  void write(std::string_view) override {}
};

double monotonicNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string clientConfigDir() { return platform::linux_paths::configHome() + "/orvo-client"; }
std::string clientSecretsDir() { return platform::linux_paths::dataHome() + "/orvo-client/secrets"; }

std::unique_ptr<Logger> makeLogger(bool verbose) {
  if (verbose) return std::make_unique<StderrLogger>();
  return std::make_unique<QuietLogger>();
}

std::string describeEndpoint(const Endpoint& endpoint) {
  return endpoint.address + ":" + std::to_string(endpoint.port);
}

}  // namespace

ClientRunner::ClientRunner(const ClientCommand& command, std::ostream& out, std::ostream& err)
    : command_(command),
      out_(out),
      err_(err),
      logger_(makeLogger(command.verbose)),
      work_(context_.get_executor()),
      main_(context_, *logger_),
      network_(context_, "127.0.0.1", *logger_),
      settings_(clientConfigDir() + "/defaults.json", *logger_),
      secrets_(clientSecretsDir(), *logger_),
      store_(OrvoPairingRole::client, settings_, secrets_, clock_, collator_, *logger_),
      credentials_(store_, settings_, random_) {}

ClientRunner::~ClientRunner() {
  browsers_.clear();
  discovery_.reset();
}

int ClientRunner::run() {
  switch (command_.kind) {
    case CommandKind::help:
      out_ << clientUsage();
      return kExitSuccess;
    case CommandKind::discover: return discover();
    case CommandKind::pair: return command_.token ? pairWithToken() : pair();
    case CommandKind::windows: return windows();
    case CommandKind::stream: return stream();
    case CommandKind::pointer:
    case CommandKind::scroll:
    case CommandKind::type:
    case CommandKind::key:
    case CommandKind::active:
    case CommandKind::mode: return input();
  }
  return kExitUsage;
}

int ClientRunner::fail(int status, const std::string& message) {
  err_ << "orvo-client: " << message << std::endl;
  return status;
}

std::string ClientRunner::deviceName() const {
  if (command_.deviceName) return *command_.deviceName;
  platform::LinuxHostInfo info;
  return info.localizedName().value_or("orvo-client");
}

bool ClientRunner::runUntil(const std::function<bool()>& done, double seconds) {
  using Duration = std::chrono::steady_clock::duration;
  // Capped so that "forever" stays representable.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<Duration>(std::chrono::duration<double>(std::min(seconds, 1e7)));
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return done();
    // At most 50 ms per turn, so that conditions on the clock are checked in time.
    const Duration slice = std::min<Duration>(deadline - now, std::chrono::milliseconds(50));
    context_.run_one_for(slice);
  }
  return true;
}

void ClientRunner::startBrowsing(bool pairingToo) {
  if (!discovery_) discovery_ = std::make_unique<platform::AvahiServiceDiscovery>(context_, *logger_);
  std::vector<std::string> types = {kSessionServiceType};
  if (pairingToo) types.emplace_back(kPairingServiceType);
  for (const auto& type : types) {
    browsers_.push_back(discovery_->browse(
        type, [this](const platform::ResolvedService& service) { directory_.add(service); },
        [this](const std::string& error) { browseError_ = error; }));
  }
}

int ClientRunner::discover() {
  startBrowsing(true);
  runUntil([] { return false; }, command_.discoverSeconds);
  const auto hosts = directory_.hosts();
  if (hosts.empty()) {
    return fail(kExitHostNotFound, "no Orvo hosts found" + (browseError_ ? " (" + *browseError_ + ")" : std::string()));
  }
  for (const auto& host : hosts) {
    out_ << host.displayName() << "  hostId=" << (host.hostId.empty() ? "(none)" : host.hostId) << "\n";
    for (const auto* service : {host.session ? &*host.session : nullptr, host.pairing ? &*host.pairing : nullptr}) {
      if (service == nullptr) continue;
      out_ << "  " << service->type << "\t" << service->name << "\t" << service->address << ":" << service->port;
      for (const auto& [key, value] : service->txt) out_ << "\t" << key << "=" << value;
      out_ << "\n";
    }
  }
  out_.flush();
  return kExitSuccess;
}

int ClientRunner::pair() {
  const auto given = command_.host ? parseEndpoint(*command_.host) : std::nullopt;
  Endpoint endpoint;
  Bytes salt;
  std::string hostId;
  if (command_.salt) {
    auto decoded = base64Decode(*command_.salt);
    if (!decoded || decoded->empty()) return fail(kExitUsage, "--salt is not base64");
    salt = std::move(*decoded);
  }
  if (command_.salt && command_.hostId && given) {
    endpoint = *given;
    hostId = *command_.hostId;
  } else {
    // Salt, host id and pairing port come from the advertisements.
    startBrowsing(true);
    std::optional<AdvertisedHost> found;
    std::string ambiguity;
    runUntil(
        [&] {
          std::vector<AdvertisedHost> complete;
          for (const auto& host : directory_.hosts()) {
            if (command_.host && !host.matches(*command_.host)) continue;
            if (command_.hostId && host.hostId != *command_.hostId) continue;
            if (host.hostId.empty() || !host.txt("pinSalt") || !host.pairingEndpoint()) continue;
            complete.push_back(host);
          }
          if (complete.size() > 1 && !command_.host && !command_.hostId) {
            ambiguity = "several hosts found (" + complete[0].displayName() + ", " + complete[1].displayName() +
                        "); choose one with --host";
            return true;
          }
          if (!complete.empty()) found = complete.front();
          return found.has_value();
        },
        command_.timeout);
    if (!ambiguity.empty()) return fail(kExitUsage, ambiguity);
    if (!found) {
      return fail(kExitHostNotFound,
                  "no host advertising pairing found" +
                      (command_.host ? " for " + *command_.host : std::string()) + " within " +
                      std::to_string(static_cast<int>(command_.timeout)) + " s" +
                      (browseError_ ? " (" + *browseError_ + ")" : std::string()) +
                      "; without discovery pass --host ADDR:PAIRPORT --salt B64 --host-id ID");
    }
    hostId = command_.hostId.value_or(found->hostId);
    if (!command_.salt) {
      auto decoded = base64Decode(*found->txt("pinSalt"));
      if (!decoded) return fail(kExitFailure, "the advertised pinSalt is not base64");
      salt = std::move(*decoded);
    }
    endpoint = *found->pairingEndpoint();
    if (given) {
      // The given address, and the given port unless it is the session port.
      endpoint.address = given->address;
      if (!(found->session && found->session->port == given->port)) endpoint.port = given->port;
    }
  }

  PairRequestMessage request;
  request.clientName = deviceName();
  request.clientDeviceId = command_.deviceId.value_or(credentials_.deviceId());
  std::optional<PairingOutcome> outcome;
  const double deadline = monotonicNow() + command_.timeout;
  int attempts = 0;
  for (double delay = busyFirstDelay;; delay = std::min(delay * 2, busyMaxDelay)) {
    outcome.reset();
    ++attempts;
    auto pairing = PinPairingClient::create(main_, network_);
    pairing->pair(endpoint.address, endpoint.port, *command_.pin, salt, hostId, request,
                  [&](const PairingOutcome& result) { outcome = result; },
                  std::max(1.0, deadline - monotonicNow()));
    runUntil([&] { return outcome.has_value(); }, std::max(1.0, deadline - monotonicNow()) + 1);
    // A busy host said nothing about the code: ask again, later and later.
    if (!outcome || outcome->failure != PairingFailureKind::busy || monotonicNow() + delay >= deadline) break;
    if (command_.verbose) err_ << "orvo-client: host busy; trying again in " << delay << " s" << std::endl;
    runUntil([] { return false; }, delay);
  }
  if (!outcome) return fail(kExitTimedOut, "no answer from " + describeEndpoint(endpoint));
  switch (outcome->failure) {
    case PairingFailureKind::none: break;
    case PairingFailureKind::busy:
      return fail(kExitBusy, "host busy: " + describeEndpoint(endpoint) + " closed the pairing connection before " +
                                 "answering, " + std::to_string(attempts) + " times (" + outcome->description + ")");
    case PairingFailureKind::refused:
      return fail(kExitRefused, "pairing refused by " + describeEndpoint(endpoint) +
                                    " (wrong or expired code?): " + outcome->description);
    case PairingFailureKind::unreachable:
      return fail(kExitHostNotFound, "cannot reach the pairing port " + describeEndpoint(endpoint) + ": " +
                                         outcome->description);
    case PairingFailureKind::badAnswer: return fail(kExitFailure, outcome->description);
    case PairingFailureKind::timedOut: return fail(kExitTimedOut, outcome->description);
  }
  const auto credential = credentials_.storePairing(outcome->response, hostId);
  out_ << "Paired with " << outcome->response.hostName << " (" << outcome->response.serviceName << "), host id "
       << hostId << "\n"
       << "Pairing id: " << credential.peer.id << std::endl;
  return kExitSuccess;
}

int ClientRunner::pairWithToken() {
  std::string error;
  const auto invitation = decodePairingToken(*command_.token, &error);
  if (!invitation) return fail(kExitUsage, "the token does not decode: " + error);
  const auto credential = credentials_.storeInvitation(*invitation, error);
  if (!credential) return fail(kExitUsage, error);
  out_ << "Paired with " << invitation->hostDisplayName << " (" << invitation->serviceName << "), host id "
       << invitation->hostId.value_or("(none)") << "\n"
       << "Pairing id: " << credential->peer.id << std::endl;
  return kExitSuccess;
}

std::optional<ClientRunner::SessionTarget> ClientRunner::findSessionTarget(int& status) {
  const auto given = command_.host ? parseEndpoint(*command_.host) : std::nullopt;
  std::string error;
  std::optional<HostCredential> credential;
  // With several pairings, a host named by --host picks its own credential below.
  if (command_.hostId || given || credentials_.peers().size() <= 1 || !command_.host) {
    credential = credentials_.find(command_.hostId, error);
    if (!credential) {
      status = fail(kExitRefused, error);
      return std::nullopt;
    }
  }
  if (given) return SessionTarget{given, nullptr, *credential};

  auto matches = [selector = command_.host, credential](const AdvertisedHost& host) {
    if (host.sessionEndpoints.empty()) return false;
    if (selector && !host.matches(*selector)) return false;
    return !(credential && credential->peer.stableHostId && host.hostId != *credential->peer.stableHostId);
  };
  startBrowsing(false);
  std::optional<AdvertisedHost> found;
  runUntil(
      [&] {
        for (const auto& host : directory_.hosts()) {
          if (matches(host)) found = host;
        }
        return found.has_value();
      },
      command_.timeout);
  if (!found) {
    const std::string wanted = command_.host ? *command_.host
                               : credential && credential->peer.stableHostId ? "host id " + *credential->peer.stableHostId
                                                                            : "any host";
    status = fail(kExitHostNotFound, "host not found: no session service for " + wanted + " within " +
                                         std::to_string(static_cast<int>(command_.timeout)) + " s" +
                                         (browseError_ ? " (" + *browseError_ + ")" : std::string()) +
                                         "; without discovery pass --host ADDR:PORT");
    return std::nullopt;
  }
  if (!credential) {
    credential = credentials_.find(found->hostId, error);
    if (!credential) {
      status = fail(kExitRefused, error);
      return std::nullopt;
    }
  }
  const std::string hostId = found->hostId;
  return SessionTarget{std::nullopt,
                       [matches, hostId](const AdvertisedHost& host) { return host.hostId == hostId && matches(host); },
                       *credential};
}

std::vector<Endpoint> ClientRunner::sessionCandidates(const SessionTarget& target) const {
  if (target.given) return {*target.given};
  for (const auto& host : directory_.hosts()) {
    if (target.matches(host)) return host.sessionEndpoints;
  }
  return {};
}

std::shared_ptr<OrvoClient> ClientRunner::openSession(const SessionTarget& target, const OrvoClientHandlers& handlers,
                                                      int& status) {
  const double deadline = monotonicNow() + command_.timeout;
  std::vector<Endpoint> unreachable;
  std::string lastError;
  double busyDelay = busyFirstDelay;
  int busyAttempts = 0;
  auto untried = [&]() -> std::optional<Endpoint> {
    for (const auto& endpoint : sessionCandidates(target)) {
      if (std::find(unreachable.begin(), unreachable.end(), endpoint) == unreachable.end()) return endpoint;
    }
    return std::nullopt;
  };
  for (;;) {
    auto endpoint = untried();
    if (!endpoint && !target.given) {
      runUntil([&] { return untried().has_value(); }, std::max(0.0, deadline - monotonicNow()));
      endpoint = untried();
    }
    if (!endpoint) {
      status = fail(kExitHostNotFound, "cannot connect: " + lastError);
      return nullptr;
    }

    bool ready = false;
    sessionEnd_.reset();
    OrvoClientHandlers wrapped = handlers;
    wrapped.ready = [&ready, user = handlers.ready] {
      ready = true;
      if (user) user();
    };
    wrapped.ended = [this, user = handlers.ended](const SessionEnd& end) {
      sessionEnd_ = end;
      if (user) user(end);
    };
    OrvoClientOptions options;
    options.deviceName = deviceName();
    auto session = OrvoClient::create(main_, network_, options, std::move(wrapped));
    session->connect(endpoint->address, endpoint->port, target.credential.peer.id, target.credential.key);
    runUntil([&] { return ready || sessionEnd_.has_value(); }, std::max(0.0, deadline - monotonicNow()));
    if (ready) return session;
    if (sessionEnd_ && sessionEnd_->kind == SessionEndKind::busy) {
      // The host turned the connection away unheard (its limits): the key is fine and
      // kept; ask again, later and later, while the timeout allows.
      ++busyAttempts;
      if (monotonicNow() + busyDelay < deadline) {
        if (command_.verbose) err_ << "orvo-client: host busy; trying again in " << busyDelay << " s" << std::endl;
        runUntil([] { return false; }, busyDelay);
        busyDelay = std::min(busyDelay * 2, busyMaxDelay);
        continue;
      }
      status = fail(kExitBusy, "host busy: " + describeEndpoint(*endpoint) + " closed the connection before " +
                                   "answering, " + std::to_string(busyAttempts) + " times (" +
                                   sessionEnd_->description + ")");
      return nullptr;
    }
    if (sessionEnd_ && sessionEnd_->kind == SessionEndKind::unreachable && !target.given) {
      // A withdrawn port: try the next address browsing reports.
      unreachable.push_back(*endpoint);
      lastError = describeEndpoint(*endpoint) + ": " + sessionEnd_->description;
      continue;
    }
    if (sessionEnd_) {
      status = reportSessionEnd(*sessionEnd_);
    } else {
      status = fail(kExitTimedOut, "no session with " + describeEndpoint(*endpoint) + " within " +
                                       std::to_string(static_cast<int>(command_.timeout)) + " s");
    }
    return nullptr;
  }
}

int ClientRunner::reportSessionEnd(const SessionEnd& end) {
  switch (end.kind) {
    case SessionEndKind::refused:
      return fail(kExitRefused, "the host refused this client's key: not paired, or the pairing was revoked (" +
                                    end.description + ")");
    case SessionEndKind::unreachable: return fail(kExitHostNotFound, "cannot connect: " + end.description);
    case SessionEndKind::busy: return fail(kExitBusy, "host busy: " + end.description);
    case SessionEndKind::closedByHost:
      return fail(kExitSessionEnded,
                  "the host ended the session (pairing revoked, another client took over, or the host stopped)");
    case SessionEndKind::failed: return fail(kExitSessionEnded, "the session broke: " + end.description);
    case SessionEndKind::protocol: return fail(kExitFailure, "the host broke the protocol: " + end.description);
    case SessionEndKind::closed: return kExitSuccess;
  }
  return kExitFailure;
}

int ClientRunner::windows() {
  int status = kExitSuccess;
  const auto target = findSessionTarget(status);
  if (!target) return status;
  std::optional<WindowListMessage> list;
  auto session = openSession(*target, {.windowList = [&](const WindowListMessage& message) { list = message; }},
                             status);
  if (!session) return status;
  session->requestWindowList();
  runUntil([&] { return list.has_value() || sessionEnd_.has_value(); }, command_.timeout);
  if (!list) {
    if (sessionEnd_) return reportSessionEnd(*sessionEnd_);
    return fail(kExitTimedOut, "no window list within " + std::to_string(static_cast<int>(command_.timeout)) + " s");
  }
  for (const auto& window : list->windows) {
    out_ << window.windowId << "\t" << window.width << "x" << window.height << "\t" << window.appName << "\t"
         << window.title;
    if (window.statusSummary) out_ << "\t" << *window.statusSummary;
    out_ << "\n";
  }
  out_.flush();
  session->close();
  return kExitSuccess;
}

int ClientRunner::stream() {
  int status = kExitSuccess;
  const auto target = findSessionTarget(status);
  if (!target) return status;
  if (command_.outDir) {
    std::error_code error;
    std::filesystem::create_directories(*command_.outDir, error);
    if (error) return fail(kExitFailure, "cannot create " + *command_.outDir + ": " + error.message());
  }

  std::map<std::uint32_t, WindowStreamStats> stats;
  for (const auto window : command_.windows) stats.emplace(window, WindowStreamStats(window));
  const std::size_t wanted = command_.frames ? static_cast<std::size_t>(*command_.frames) : 0;
  std::shared_ptr<OrvoClient> session;
  std::string writeError;

  // The next request of a window: at once, or, with --fps, no sooner than one frame
  // interval after the previous request of that window.
  std::map<std::uint32_t, asio::steady_timer> paceTimers;
  auto requestNext = [&](std::uint32_t windowId, WindowStreamStats& window) {
    const double now = monotonicNow();
    const double due = command_.maxFramesPerSecond ? window.lastRequestAt() + 1.0 / *command_.maxFramesPerSecond : now;
    if (due <= now) {
      window.requested(now);
      session->requestWindowSnapshot(windowId);
      return;
    }
    auto& timer = paceTimers.try_emplace(windowId, context_).first->second;
    timer.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(std::chrono::duration<double>(due - now)));
    timer.async_wait([&, windowId](const std::error_code& error) {
      if (error || sessionEnd_) return;
      stats.at(windowId).requested(monotonicNow());
      session->requestWindowSnapshot(windowId);
    });
  };

  auto onFrame = [&](ReceivedFrame frame) {
    const auto entry = stats.find(frame.windowId);
    if (entry == stats.end() || !entry->second.awaitingFrame()) return;
    auto& window = entry->second;
    window.received(monotonicNow(), frame.jpeg);
    if (command_.outDir) {
      const auto path = *command_.outDir + "/window-" + std::to_string(frame.windowId) + "-" +
                        std::to_string(window.frames()) + ".jpg";
      std::ofstream file(path, std::ios::binary);
      file.write(reinterpret_cast<const char*>(frame.jpeg.data()), static_cast<std::streamsize>(frame.jpeg.size()));
      if (!file) writeError = "cannot write " + path;
    }
    if (wanted == 0 || window.frames() + window.outstanding() < wanted) requestNext(frame.windowId, window);
  };
  session = openSession(*target, {.frame = onFrame}, status);
  if (!session) return status;

  const double start = monotonicNow();
  for (auto& [window, entry] : stats) {
    for (int i = 0; i < command_.depth && (wanted == 0 || entry.outstanding() < wanted); ++i) {
      entry.requested(monotonicNow());
      session->requestWindowSnapshot(window);
    }
  }
  std::optional<std::uint32_t> silentWindow;
  auto finished = [&] {
    if (sessionEnd_ || !writeError.empty()) return true;
    const double now = monotonicNow();
    for (const auto& [window, entry] : stats) {
      if (entry.awaitingFrame() && now - entry.oldestRequestAt() > command_.frameTimeout) {
        silentWindow = window;
        return true;
      }
    }
    if (command_.streamSeconds) return now - start >= *command_.streamSeconds;
    for (const auto& [window, entry] : stats) {
      if (entry.frames() < wanted) return false;
    }
    return true;
  };
  // The frame timeout bounds every wait, so this deadline is only a backstop.
  runUntil(finished, 1e9);

  for (const auto& [window, entry] : stats) out_ << entry.summary() << "\n";
  out_.flush();
  if (sessionEnd_) return reportSessionEnd(*sessionEnd_);
  session->close();
  if (!writeError.empty()) return fail(kExitFailure, writeError);
  if (silentWindow) {
    return fail(kExitTimedOut, "no frame from window " + std::to_string(*silentWindow) + " within " +
                                   std::to_string(command_.frameTimeout) + " s (window gone?)");
  }
  return kExitSuccess;
}

int ClientRunner::input() {
  int status = kExitSuccess;
  const auto target = findSessionTarget(status);
  if (!target) return status;
  std::optional<InputRejectedMessage> rejected;
  auto session = openSession(
      *target, {.inputRejected = [&](const InputRejectedMessage& message) { rejected = message; }}, status);
  if (!session) return status;

  switch (command_.kind) {
    case CommandKind::pointer:
      session->sendPointer(command_.pointer, *command_.window, command_.x, command_.y, command_.button);
      break;
    case CommandKind::scroll: session->sendScroll(command_.dx, command_.dy, command_.window); break;
    case CommandKind::type: session->sendKeyboardText(command_.text); break;
    case CommandKind::key: session->sendKeyboardCommand(command_.keyCommand); break;
    case CommandKind::active: session->sendActiveWindow(*command_.window); break;
    case CommandKind::mode: session->sendCaptureMode(*command_.window, command_.captureMode); break;
    default: break;
  }
  bool sent = false;
  session->afterSent([&sent] { sent = true; });
  runUntil([&] { return sent || sessionEnd_.has_value(); }, command_.timeout);
  if (!sent && !sessionEnd_) return fail(kExitTimedOut, "the message could not be sent in time");
  runUntil([&] { return rejected.has_value() || sessionEnd_.has_value(); }, command_.wait);
  if (rejected) {
    return fail(kExitInputRejected,
                "input rejected for window " + std::to_string(rejected->windowId) + ": " + rejected->reason);
  }
  if (sessionEnd_) return reportSessionEnd(*sessionEnd_);
  session->close();
  return kExitSuccess;
}

}  // namespace orvo::client
