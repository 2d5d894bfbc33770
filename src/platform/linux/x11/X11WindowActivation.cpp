#include "platform/linux/x11/X11WindowActivation.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/linux/x11/X11WindowQuery.h"

namespace orvo::platform::x11 {
namespace {

// EWMH source indication: a pager or similar tool acting on the user's behalf, which
// window managers obey without focus-stealing prevention.
constexpr std::uint32_t kSourcePager = 2;

std::vector<X11Window> windowsOf(X11Display& display, std::int32_t pid) {
  std::vector<X11Window> windows = readTopLevelWindows(display, true).windows;
  std::erase_if(windows, [&](const X11Window& w) { return applicationOf(w) != pid || w.overrideRedirect; });
  return windows;
}

int errorCode(const Error& error) { return error ? error->error_code : 0; }

int sendToWindowManager(X11Display& display, xcb_window_t window, Atom type, std::array<std::uint32_t, 5> data) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = display.atom(type);
  std::memcpy(event.data.data32, data.data(), sizeof event.data.data32);
  static_assert(sizeof event == 32);
  xcb_connection_t* c = display.connection();
  return errorCode(
      checkOf(c, xcb_send_event_checked(c, 0, display.root(),
                                        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                                        reinterpret_cast<const char*>(&event))));
}

int requestActivation(X11Display& display, xcb_window_t window) {
  const xcb_timestamp_t now = display.serverTime().value_or(XCB_CURRENT_TIME);
  return sendToWindowManager(display, window, Atom::NET_ACTIVE_WINDOW, {kSourcePager, now, XCB_NONE, 0, 0});
}

// Without a window manager: on top of its siblings (when asked) and the input focus.
int raiseAndFocusDirectly(X11Display& display, xcb_window_t window, bool raise) {
  xcb_connection_t* c = display.connection();
  if (raise) {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    if (const int code =
            errorCode(checkOf(c, xcb_configure_window_checked(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above)))) {
      return code;
    }
  }
  return errorCode(checkOf(c, xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME)));
}

// 0 when the window exists, else the X error (BadWindow).
int checkExists(X11Display& display, xcb_window_t window) {
  xcb_connection_t* c = display.connection();
  Error error;
  auto attributes = replyOf(c, xcb_get_window_attributes_reply, xcb_get_window_attributes(c, window), &error);
  if (attributes) return 0;
  return error ? error->error_code : X11WindowActivation::kNoDisplay;
}

}  // namespace

bool X11WindowActivation::isTrusted() {
  const auto display = connection_.display();
  return display && display->extensions().xtest;
}

std::optional<RunningApplication> X11WindowActivation::runningApplication(std::int32_t pid) {
  const auto display = connection_.display();
  if (!display) return std::nullopt;
  const auto windows = windowsOf(*display, pid);
  if (windows.empty()) return std::nullopt;
  auto name = ownerNameOf(windows.front());
  if (!name) name = processName(pid);
  return RunningApplication{.pid = pid, .localizedName = std::move(name)};
}

bool X11WindowActivation::activate(std::int32_t pid) {
  const auto display = connection_.display();
  if (!display) return false;
  const auto windows = windowsOf(*display, pid);
  auto pick = [&](auto&& wanted) { return std::find_if(windows.begin(), windows.end(), wanted); };
  auto target = pick([](const X11Window& w) { return w.layer == layer::normal && w.onScreen(); });
  if (findWindowManager(*display)) {
    if (target == windows.end()) target = pick([](const X11Window& w) { return w.layer == layer::normal; });
    if (target == windows.end()) target = windows.begin();
    return target != windows.end() && requestActivation(*display, target->window) == 0;
  }
  if (target == windows.end()) target = pick([](const X11Window& w) { return w.onScreen(); });
  return target != windows.end() && raiseAndFocusDirectly(*display, target->window, true) == 0;
}

int X11WindowActivation::applicationWindows(std::int32_t pid, std::vector<std::uint32_t>& windows) {
  windows.clear();
  const auto display = connection_.display();
  if (!display) return kNoDisplay;
  for (const X11Window& w : windowsOf(*display, pid)) windows.push_back(w.window);
  return display->hasFailed() ? kNoDisplay : 0;
}

int X11WindowActivation::setFocusedWindow(std::int32_t, std::uint32_t window) {
  const auto display = connection_.display();
  if (!display) return kNoDisplay;
  if (const int code = checkExists(*display, window)) return code;
  if (findWindowManager(*display)) return requestActivation(*display, window);
  return raiseAndFocusDirectly(*display, window, false);
}

int X11WindowActivation::raise(std::uint32_t window) {
  const auto display = connection_.display();
  if (!display) return kNoDisplay;
  if (const int code = checkExists(*display, window)) return code;
  const auto manager = findWindowManager(*display);
  if (!manager) return raiseAndFocusDirectly(*display, window, true);
  if (manager->supports(display->atom(Atom::NET_RESTACK_WINDOW))) {
    // data: source, sibling (none: above every window of its layer), detail Above.
    return sendToWindowManager(*display, window, Atom::NET_RESTACK_WINDOW,
                               {kSourcePager, XCB_NONE, XCB_STACK_MODE_ABOVE, 0, 0});
  }
  return requestActivation(*display, window);
}

}  // namespace orvo::platform::x11
