#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/OrvoClient.h"
#include "host/ControlMessages.h"

namespace orvo::client {

enum class CommandKind { help, discover, pair, windows, stream, pointer, scroll, type, key, active, mode };

// One `orvo-client` invocation, as parsed from its arguments. Fields not used by the
// command keep their defaults.
struct ClientCommand {
  CommandKind kind = CommandKind::help;

  // Where and who: --host NAME|ADDR:PORT, --host-id ID, --name N (device name), --timeout S
  // (connecting, discovery and answers), --verbose (library log lines on stderr).
  std::optional<std::string> host;
  std::optional<std::string> hostId;
  std::optional<std::string> deviceName;
  double timeout = 10.0;
  bool verbose = false;

  // discover: --seconds S.
  double discoverSeconds = 3.0;

  // pair: --pin CODE or --token TOKEN; --salt B64 (with --host-id, pairs without
  // discovery); --device-id D.
  std::optional<std::string> pin;
  std::optional<std::string> token;
  std::optional<std::string> salt;
  std::optional<std::string> deviceId;

  // stream: --window ID (repeatable), --frames N (per window) or --seconds S, --out DIR,
  // --frame-timeout S (a window that sends no frame this long after a request is gone),
  // --depth N (requests kept open per window; a client keeps 1: it asks for the next
  // frame when one arrives), --fps F (at most F requests per second per window, as a
  // client showing frames at its display's rate; unpaced when absent).
  std::vector<std::uint32_t> windows;
  std::optional<int> frames;
  std::optional<double> streamSeconds;
  std::optional<std::string> outDir;
  double frameTimeout = 5.0;
  int depth = 1;
  std::optional<double> maxFramesPerSecond;

  // click, down, drag, up: --window ID --x NX --y NY [--button NAME]. scroll: --dx, --dy,
  // [--window ID]. active ID, mode ID isolated|composited, type TEXT, key COMMAND.
  PointerAction pointer = PointerAction::click;
  std::optional<std::uint32_t> window;
  double x = 0;
  double y = 0;
  std::optional<std::string> button;
  double dx = 0;
  double dy = 0;
  std::string text;
  KeyboardCommand keyCommand = KeyboardCommand::enter;
  CaptureMode captureMode = CaptureMode::isolated;
  // Input commands: how long to wait for the host to reject the input.
  double wait = 0.5;
};

struct ParsedCommandLine {
  std::optional<ClientCommand> command;
  std::string error;  // when command is absent
};

// Parses the arguments after the program name.
ParsedCommandLine parseClientCommandLine(const std::vector<std::string>& args);

// Window ids in decimal or as 0x-prefixed hexadecimal (as xwininfo prints them).
std::optional<std::uint32_t> parseWindowId(const std::string& text);

std::string clientUsage();

}  // namespace orvo::client
