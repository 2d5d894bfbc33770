#include "client/ClientCommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace orvo::client {

namespace {

std::optional<double> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int> parseCount(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

const std::map<std::string, CommandKind>& commandNames() {
  static const std::map<std::string, CommandKind> names = {
      {"discover", CommandKind::discover}, {"pair", CommandKind::pair},     {"windows", CommandKind::windows},
      {"stream", CommandKind::stream},     {"click", CommandKind::pointer}, {"down", CommandKind::pointer},
      {"drag", CommandKind::pointer},      {"up", CommandKind::pointer},    {"scroll", CommandKind::scroll},
      {"type", CommandKind::type},         {"key", CommandKind::key},       {"active", CommandKind::active},
      {"mode", CommandKind::mode},         {"help", CommandKind::help},     {"--help", CommandKind::help},
      {"-h", CommandKind::help},
  };
  return names;
}

// The options each command takes besides the common ones.
bool takesOption(CommandKind kind, const std::string& option) {
  static const std::map<CommandKind, std::vector<std::string>> options = {
      {CommandKind::discover, {"--seconds"}},
      {CommandKind::pair, {"--pin", "--token", "--salt", "--device-id"}},
      {CommandKind::windows, {}},
      {CommandKind::stream, {"--window", "--frames", "--seconds", "--out", "--frame-timeout", "--depth", "--fps"}},
      {CommandKind::pointer, {"--window", "--x", "--y", "--button", "--wait"}},
      {CommandKind::scroll, {"--window", "--dx", "--dy", "--wait"}},
      {CommandKind::type, {"--wait"}},
      {CommandKind::key, {"--wait"}},
      {CommandKind::active, {"--wait"}},
      {CommandKind::mode, {"--wait"}},
  };
  static const std::vector<std::string> common = {"--host", "--host-id", "--name", "--timeout"};
  for (const auto& name : common) {
    if (name == option) return kind != CommandKind::discover || option == "--timeout";
  }
  const auto found = options.find(kind);
  if (found == options.end()) return false;
  for (const auto& name : found->second) {
    if (name == option) return true;
  }
  return false;
}

}  // namespace

std::optional<std::uint32_t> parseWindowId(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::uint64_t value = 0;
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

ParsedCommandLine parseClientCommandLine(const std::vector<std::string>& args) {
  auto failure = [](std::string error) { return ParsedCommandLine{std::nullopt, std::move(error)}; };
  if (args.empty()) return failure("no command given");
  const auto named = commandNames().find(args[0]);
  if (named == commandNames().end()) return failure("unknown command: " + args[0]);

  ClientCommand command;
  command.kind = named->second;
  if (command.kind == CommandKind::help) return {command, {}};
  if (args[0] == "down") command.pointer = PointerAction::down;
  if (args[0] == "drag") command.pointer = PointerAction::drag;
  if (args[0] == "up") command.pointer = PointerAction::up;

  std::vector<std::string> positional;
  bool sawDx = false;
  bool sawDy = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--verbose") {
      command.verbose = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    if (!takesOption(command.kind, arg)) return failure(args[0] + " does not take " + arg);
    if (i + 1 >= args.size()) return failure(arg + " needs a value");
    const std::string& value = args[++i];
    // Durations must be positive; positions and scroll amounts may be anything finite.
    auto number = [&](double& out, bool positive) -> bool {
      const auto parsed = parseNumber(value);
      if (!parsed || (positive && *parsed <= 0)) return false;
      out = *parsed;
      return true;
    };
    bool ok = true;
    if (arg == "--host") {
      command.host = value;
    } else if (arg == "--host-id") {
      command.hostId = value;
    } else if (arg == "--name") {
      command.deviceName = value;
    } else if (arg == "--timeout") {
      ok = number(command.timeout, true);
    } else if (arg == "--seconds") {
      double seconds = 0;
      ok = number(seconds, true);
      if (command.kind == CommandKind::discover) {
        command.discoverSeconds = seconds;
      } else {
        command.streamSeconds = seconds;
      }
    } else if (arg == "--pin") {
      command.pin = value;
    } else if (arg == "--token") {
      command.token = value;
    } else if (arg == "--salt") {
      command.salt = value;
    } else if (arg == "--device-id") {
      command.deviceId = value;
    } else if (arg == "--window") {
      const auto id = parseWindowId(value);
      ok = id.has_value();
      if (ok && command.kind == CommandKind::stream) command.windows.push_back(*id);
      if (ok && command.kind != CommandKind::stream) command.window = id;
    } else if (arg == "--frames") {
      command.frames = parseCount(value);
      ok = command.frames.has_value() && *command.frames > 0;
    } else if (arg == "--depth") {
      const auto depth = parseCount(value);
      ok = depth && *depth >= 1 && *depth <= 8;
      if (ok) command.depth = *depth;
    } else if (arg == "--fps") {
      double fps = 0;
      ok = number(fps, true);
      if (ok) command.maxFramesPerSecond = fps;
    } else if (arg == "--out") {
      command.outDir = value;
    } else if (arg == "--frame-timeout") {
      ok = number(command.frameTimeout, true);
    } else if (arg == "--x") {
      ok = number(command.x, false);
    } else if (arg == "--y") {
      ok = number(command.y, false);
    } else if (arg == "--button") {
      command.button = value;
    } else if (arg == "--dx") {
      ok = number(command.dx, false);
      sawDx = true;
    } else if (arg == "--dy") {
      ok = number(command.dy, false);
      sawDy = true;
    } else if (arg == "--wait") {
      const auto parsed = parseNumber(value);
      ok = parsed && *parsed >= 0;
      if (ok) command.wait = *parsed;
    }
    if (!ok) return failure("invalid value for " + arg + ": " + value);
  }

  auto expectPositional = [&](std::size_t count, const char* what) -> std::optional<std::string> {
    if (positional.size() != count) return args[0] + " takes " + what;
    return std::nullopt;
  };
  switch (command.kind) {
    case CommandKind::help:
      break;
    case CommandKind::discover:
    case CommandKind::windows:
      if (auto error = expectPositional(0, "no positional arguments")) return failure(*error);
      break;
    case CommandKind::pair:
      if (auto error = expectPositional(0, "no positional arguments")) return failure(*error);
      if (command.pin.has_value() == command.token.has_value()) return failure("pair takes either --pin or --token");
      if (command.salt && !command.hostId) return failure("--salt needs --host-id as well");
      if (command.token && (command.salt || command.host)) return failure("--token takes no --host or --salt");
      break;
    case CommandKind::stream:
      if (auto error = expectPositional(0, "no positional arguments")) return failure(*error);
      if (command.windows.empty()) return failure("stream needs at least one --window");
      if (command.frames && command.streamSeconds) return failure("stream takes --frames or --seconds, not both");
      if (!command.frames && !command.streamSeconds) command.frames = 100;
      break;
    case CommandKind::pointer:
      if (auto error = expectPositional(0, "no positional arguments")) return failure(*error);
      if (!command.window) return failure(args[0] + " needs --window");
      break;
    case CommandKind::scroll:
      if (auto error = expectPositional(0, "no positional arguments")) return failure(*error);
      if (!sawDx && !sawDy) return failure("scroll needs --dx or --dy");
      break;
    case CommandKind::type:
      if (auto error = expectPositional(1, "one TEXT argument")) return failure(*error);
      command.text = positional[0];
      break;
    case CommandKind::key: {
      if (auto error = expectPositional(1, "one COMMAND argument")) return failure(*error);
      const auto key = keyboardCommandNamed(positional[0]);
      if (!key) return failure("unknown key command: " + positional[0]);
      command.keyCommand = *key;
      break;
    }
    case CommandKind::active: {
      if (auto error = expectPositional(1, "one window ID")) return failure(*error);
      command.window = parseWindowId(positional[0]);
      if (!command.window) return failure("invalid window id: " + positional[0]);
      break;
    }
    case CommandKind::mode: {
      if (auto error = expectPositional(2, "a window ID and isolated|composited")) return failure(*error);
      command.window = parseWindowId(positional[0]);
      if (!command.window) return failure("invalid window id: " + positional[0]);
      const auto mode = captureModeNamed(positional[1]);
      if (!mode) return failure("unknown capture mode: " + positional[1]);
      command.captureMode = *mode;
      break;
    }
  }
  return {command, {}};
}

std::string clientUsage() {
  return R"(usage: orvo-client COMMAND [OPTIONS]

Commands:
  discover [--seconds S]                 list Orvo hosts on the network with their TXT keys
  pair --pin CODE [--host NAME|ADDR:PORT] [--name N] [--device-id D] [--salt B64 --host-id ID]
                                         pair with the host's 6-digit code
  pair --token TOKEN                     import an advanced pairing token
  windows                                list the host's windows
  stream --window ID [--window ID ...] [--frames N | --seconds S] [--out DIR] [--frame-timeout S]
         [--depth N] [--fps F]           pull frames like a client and report fps, bytes and latency
                                         (--depth: requests kept open per window, default 1;
                                         --fps: at most F requests per second per window)
  click|down|drag|up --window ID --x NX --y NY [--button left|right|middle]
  scroll [--dx DX] [--dy DY] [--window ID]
  type TEXT
  key backspace|enter|escape|leftArrow|rightArrow|upArrow|downArrow
  active ID                              tell the host which window the client shows
  mode ID isolated|composited            choose a window's capture mode

Common options (not for discover):
  --host NAME|ADDR:PORT   the host (found by discovery unless ADDR:PORT is given)
  --host-id ID            the paired host to use when several are stored
  --name N                this device's name (default: the computer's name)
  --timeout S             discovery, connection and answer timeout (default 10)
  --wait S                input commands: how long to wait for a rejection (default 0.5)
  --verbose               log lines of the network layers on stderr

Exit status: 0 success, 1 failure, 2 usage, 3 host not found, 4 refused (wrong code,
not paired or revoked: the host's TLS alert for an unknown key), 5 session ended by the
host, 6 timed out (no answer, window gone), 7 input rejected, 8 host busy (it closed the
connection before answering, each time until the timeout; the stored key is kept).
)";
}

}  // namespace orvo::client
