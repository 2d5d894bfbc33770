#include "platform/linux/x11/X11WindowQuery.h"

#include <algorithm>
#include <fstream>
#include <string_view>
#include <unordered_set>

#include "platform/linux/x11/X11Text.h"

namespace orvo::platform::x11 {
namespace {

// How much of each property is read, in 32-bit units. Bounds what a misbehaving client
// can make us allocate; longer titles are cut (and the cut mended by sanitizeUtf8).
constexpr std::uint32_t kTitleLongs = 1024;
constexpr std::uint32_t kClassLongs = 256;
constexpr std::uint32_t kAtomListLongs = 64;
constexpr std::uint32_t kWindowListLongs = 65536;

using PropertyReply = Reply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t requestProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                                          xcb_atom_t type, std::uint32_t longs) {
  return xcb_get_property(c, 0, window, property, type, 0, longs);
}

bool present(const PropertyReply& reply) { return reply && reply->type != XCB_ATOM_NONE; }

std::string_view bytesOf(const PropertyReply& reply) {
  if (!present(reply) || reply->format != 8) return {};
  return {static_cast<const char*>(xcb_get_property_value(reply.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

std::vector<std::uint32_t> valuesOf(const PropertyReply& reply) {
  if (!present(reply) || reply->format != 32) return {};
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

// Requests in flight for one window.
struct Pending {
  xcb_window_t window = XCB_NONE;
  xcb_get_window_attributes_cookie_t attributes{};
  xcb_get_geometry_cookie_t geometry{};
  xcb_translate_coordinates_cookie_t position{};
  xcb_get_property_cookie_t type{}, state{}, pid{}, wmClass{}, netName{}, wmName{}, wmState{}, frameExtents{},
      gtkExtents{};
  std::optional<xcb_query_tree_cookie_t> children;
};

// What was read about one window.
struct Details {
  X11Window window;
  bool inputOnly = false;
  bool desktop = false;
  bool hasWmState = false;
  bool hasWmClass = false;
  std::vector<xcb_window_t> children;
};

Pending request(X11Display& display, xcb_window_t window, bool withChildren) {
  xcb_connection_t* c = display.connection();
  Pending p;
  p.window = window;
  p.attributes = xcb_get_window_attributes(c, window);
  p.geometry = xcb_get_geometry(c, window);
  p.position = xcb_translate_coordinates(c, window, display.root(), 0, 0);
  p.type = requestProperty(c, window, display.atom(Atom::NET_WM_WINDOW_TYPE), XCB_ATOM_ATOM, kAtomListLongs);
  p.state = requestProperty(c, window, display.atom(Atom::NET_WM_STATE), XCB_ATOM_ATOM, kAtomListLongs);
  p.pid = requestProperty(c, window, display.atom(Atom::NET_WM_PID), XCB_ATOM_CARDINAL, 1);
  p.wmClass = requestProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, kClassLongs);
  p.netName = requestProperty(c, window, display.atom(Atom::NET_WM_NAME), display.atom(Atom::UTF8_STRING), kTitleLongs);
  p.wmName = requestProperty(c, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, kTitleLongs);
  p.wmState = requestProperty(c, window, display.atom(Atom::WM_STATE), display.atom(Atom::WM_STATE), 1);
  p.frameExtents = requestProperty(c, window, display.atom(Atom::NET_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 4);
  p.gtkExtents = requestProperty(c, window, display.atom(Atom::GTK_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 4);
  if (withChildren) p.children = xcb_query_tree(c, window);
  return p;
}

// Left, right, top and bottom margins of a _NET_FRAME_EXTENTS or _GTK_FRAME_EXTENTS
// property; zero when it is absent or malformed. Absurd values are capped.
struct Margins {
  double left = 0, right = 0, top = 0, bottom = 0;
};
Margins extentsOf(const PropertyReply& reply) {
  const auto values = valuesOf(reply);
  if (values.size() != 4) return {};
  auto margin = [](std::uint32_t value) { return static_cast<double>(std::min<std::uint32_t>(value, 4096)); };
  return {margin(values[0]), margin(values[1]), margin(values[2]), margin(values[3])};
}

// `area` grown (sign 1) or shrunk (sign -1) by the margins; a shrink never leaves less
// than one pixel.
Rect withMargins(const Rect& area, const Margins& m, int sign) {
  if (sign < 0 && (m.left + m.right >= area.width || m.top + m.bottom >= area.height)) return area;
  const double s = sign;
  return Rect{area.x - s * m.left, area.y - s * m.top, area.width + s * (m.left + m.right),
              area.height + s * (m.top + m.bottom)};
}

struct TypeLayer {
  Atom type;
  std::int64_t layer;
};
constexpr TypeLayer kTypeLayers[] = {
    {Atom::NET_WM_WINDOW_TYPE_NORMAL, layer::normal},    {Atom::NET_WM_WINDOW_TYPE_DIALOG, layer::normal},
    {Atom::NET_WM_WINDOW_TYPE_UTILITY, layer::floating}, {Atom::NET_WM_WINDOW_TYPE_TOOLBAR, layer::floating},
    {Atom::NET_WM_WINDOW_TYPE_DOCK, layer::dock},        {Atom::NET_WM_WINDOW_TYPE_NOTIFICATION, layer::notification},
    {Atom::NET_WM_WINDOW_TYPE_MENU, layer::menu},        {Atom::NET_WM_WINDOW_TYPE_DROPDOWN_MENU, layer::menu},
    {Atom::NET_WM_WINDOW_TYPE_POPUP_MENU, layer::menu},  {Atom::NET_WM_WINDOW_TYPE_COMBO, layer::menu},
    {Atom::NET_WM_WINDOW_TYPE_SPLASH, layer::overlay},   {Atom::NET_WM_WINDOW_TYPE_TOOLTIP, layer::tooltip},
    {Atom::NET_WM_WINDOW_TYPE_DND, layer::dragging},
};

std::optional<std::string> titleOf(X11Display& display, const PropertyReply& netName, const PropertyReply& wmName) {
  if (present(netName) && netName->type == display.atom(Atom::UTF8_STRING)) {
    std::string title = sanitizeUtf8(bytesOf(netName));
    if (!title.empty() || !present(wmName)) return title;
  }
  if (!present(wmName)) return std::nullopt;
  const std::string_view bytes = bytesOf(wmName);
  if (wmName->type == XCB_ATOM_STRING) return latin1ToUtf8(bytes);
  if (wmName->type == display.atom(Atom::UTF8_STRING)) return sanitizeUtf8(bytes);
  if (wmName->type == display.atom(Atom::COMPOUND_TEXT)) return compoundTextToUtf8(bytes);
  return std::nullopt;
}

// Collects every reply of `p` (each must be taken, or xcb keeps it); nothing when the
// window has gone.
std::optional<Details> collect(X11Display& display, Pending& p) {
  xcb_connection_t* c = display.connection();
  auto attributes = replyOf(c, xcb_get_window_attributes_reply, p.attributes);
  auto geometry = replyOf(c, xcb_get_geometry_reply, p.geometry);
  auto position = replyOf(c, xcb_translate_coordinates_reply, p.position);
  auto type = replyOf(c, xcb_get_property_reply, p.type);
  auto state = replyOf(c, xcb_get_property_reply, p.state);
  auto pid = replyOf(c, xcb_get_property_reply, p.pid);
  auto wmClass = replyOf(c, xcb_get_property_reply, p.wmClass);
  auto netName = replyOf(c, xcb_get_property_reply, p.netName);
  auto wmName = replyOf(c, xcb_get_property_reply, p.wmName);
  auto wmState = replyOf(c, xcb_get_property_reply, p.wmState);
  auto frameExtents = replyOf(c, xcb_get_property_reply, p.frameExtents);
  auto gtkExtents = replyOf(c, xcb_get_property_reply, p.gtkExtents);
  Reply<xcb_query_tree_reply_t> tree;
  if (p.children) tree = replyOf(c, xcb_query_tree_reply, *p.children);
  if (!attributes || !geometry) return std::nullopt;

  Details d;
  X11Window& w = d.window;
  w.window = p.window;
  w.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  w.overrideRedirect = attributes->override_redirect != 0;
  d.inputOnly = attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
  if (position) {
    const Rect area{double(position->dst_x), double(position->dst_y), double(geometry->width),
                    double(geometry->height)};
    w.bounds = withMargins(area, extentsOf(gtkExtents), -1);
    w.frame = withMargins(*w.bounds, extentsOf(frameExtents), 1);
  }

  for (const std::uint32_t atom : valuesOf(type)) {
    if (atom == display.atom(Atom::NET_WM_WINDOW_TYPE_DESKTOP)) {
      d.desktop = true;
      break;
    }
    const auto known = std::find_if(std::begin(kTypeLayers), std::end(kTypeLayers),
                                    [&](const TypeLayer& t) { return display.atom(t.type) == atom; });
    if (known != std::end(kTypeLayers)) {
      w.layer = known->layer;
      break;  // the first type we know wins
    }
  }
  if (w.overrideRedirect && w.layer == layer::normal) w.layer = layer::overlay;
  for (const std::uint32_t atom : valuesOf(state)) {
    w.hidden = w.hidden || atom == display.atom(Atom::NET_WM_STATE_HIDDEN);
  }

  if (const auto values = valuesOf(pid); !values.empty() && values[0] > 0 && values[0] <= 0x7FFFFFFF) {
    w.pid = static_cast<std::int32_t>(values[0]);
  }
  d.hasWmClass = present(wmClass);
  if (const std::string_view bytes = bytesOf(wmClass); !bytes.empty()) {
    // "instance\0class\0"
    const auto nul = bytes.find('\0');
    if (nul != std::string_view::npos) {
      std::string name = latin1ToUtf8(bytes.substr(nul + 1));
      if (!name.empty()) w.className = std::move(name);
    }
  }
  w.title = titleOf(display, netName, wmName);
  d.hasWmState = present(wmState);
  if (tree) {
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    d.children.assign(children, children + xcb_query_tree_children_length(tree.get()));
  }
  return d;
}

bool keep(const Details& d, bool includeUnmapped, bool managed) {
  if (d.desktop || d.inputOnly) return false;
  if (!includeUnmapped && !d.window.onScreen()) return false;
  if (managed || d.window.viewable) return true;
  return !d.window.overrideRedirect && (d.hasWmState || d.hasWmClass);
}

std::vector<Pending> requestAll(X11Display& display, const std::vector<xcb_window_t>& windows, bool withChildren) {
  std::vector<Pending> pending;
  pending.reserve(windows.size());
  for (const xcb_window_t window : windows) pending.push_back(request(display, window, withChildren));
  return pending;
}

// Collects `pending` (bottom to top) and appends the windows kept, front first. With
// `clients`, a window that holds one of them is a window manager frame and is left out.
void collectFrontToBack(X11Display& display, std::vector<Pending>& pending, bool includeUnmapped, bool managed,
                        const std::unordered_set<xcb_window_t>* clients, std::vector<X11Window>& out) {
  std::vector<X11Window> kept;
  for (Pending& p : pending) {
    auto details = collect(display, p);
    if (!details || !keep(*details, includeUnmapped, managed)) continue;
    if (clients && std::any_of(details->children.begin(), details->children.end(),
                               [&](xcb_window_t child) { return clients->contains(child); })) {
      continue;
    }
    kept.push_back(std::move(details->window));
  }
  out.insert(out.end(), std::make_move_iterator(kept.rbegin()), std::make_move_iterator(kept.rend()));
}

}  // namespace

bool WindowManager::supports(xcb_atom_t atom) const {
  return std::find(supported.begin(), supported.end(), atom) != supported.end();
}

std::optional<WindowManager> findWindowManager(X11Display& display) {
  xcb_connection_t* c = display.connection();
  const auto checkCookie =
      requestProperty(c, display.root(), display.atom(Atom::NET_SUPPORTING_WM_CHECK), XCB_ATOM_WINDOW, 1);
  const auto supportedCookie =
      requestProperty(c, display.root(), display.atom(Atom::NET_SUPPORTED), XCB_ATOM_ATOM, kWindowListLongs);
  auto check = replyOf(c, xcb_get_property_reply, checkCookie);
  auto supported = replyOf(c, xcb_get_property_reply, supportedCookie);
  const auto checkValues = valuesOf(check);
  if (checkValues.empty()) return std::nullopt;
  auto self =
      replyOf(c, xcb_get_property_reply,
              requestProperty(c, checkValues[0], display.atom(Atom::NET_SUPPORTING_WM_CHECK), XCB_ATOM_WINDOW, 1));
  const auto selfValues = valuesOf(self);
  if (selfValues.empty() || selfValues[0] != checkValues[0]) return std::nullopt;
  const auto atoms = valuesOf(supported);
  return WindowManager{.checkWindow = checkValues[0], .supported = {atoms.begin(), atoms.end()}};
}

TopLevelWindows readTopLevelWindows(X11Display& display, bool includeUnmapped) {
  xcb_connection_t* c = display.connection();
  const xcb_window_t root = display.root();
  TopLevelWindows result;

  // Round 1: the window manager's check window and client list, and the root's children.
  const auto checkCookie = requestProperty(c, root, display.atom(Atom::NET_SUPPORTING_WM_CHECK), XCB_ATOM_WINDOW, 1);
  const auto stackingCookie =
      requestProperty(c, root, display.atom(Atom::NET_CLIENT_LIST_STACKING), XCB_ATOM_WINDOW, kWindowListLongs);
  const auto treeCookie = xcb_query_tree(c, root);
  auto check = replyOf(c, xcb_get_property_reply, checkCookie);
  auto stacking = replyOf(c, xcb_get_property_reply, stackingCookie);
  auto tree = replyOf(c, xcb_query_tree_reply, treeCookie);
  if (!tree) return result;
  const xcb_window_t* treeChildren = xcb_query_tree_children(tree.get());
  const std::vector<xcb_window_t> rootChildren(treeChildren, treeChildren + xcb_query_tree_children_length(tree.get()));
  const auto checkValues = valuesOf(check);

  if (!checkValues.empty()) {
    const xcb_window_t checkWindow = checkValues[0];
    auto clientValues = valuesOf(stacking);
    if (!present(stacking)) {
      // A window manager without a stacking list: its client list, in mapping order.
      auto list =
          replyOf(c, xcb_get_property_reply,
                  requestProperty(c, root, display.atom(Atom::NET_CLIENT_LIST), XCB_ATOM_WINDOW, kWindowListLongs));
      clientValues = valuesOf(list);
    }
    const std::vector<xcb_window_t> clients(clientValues.begin(), clientValues.end());
    const std::unordered_set<xcb_window_t> clientSet(clients.begin(), clients.end());

    // Round 2: is the check window alive and naming itself; the clients; which of the
    // other root children are mapped override-redirect windows.
    const auto selfCookie =
        requestProperty(c, checkWindow, display.atom(Atom::NET_SUPPORTING_WM_CHECK), XCB_ATOM_WINDOW, 1);
    std::vector<std::pair<xcb_window_t, xcb_get_window_attributes_cookie_t>> others;
    for (const xcb_window_t child : rootChildren) {
      if (child != checkWindow && !clientSet.contains(child)) {
        others.emplace_back(child, xcb_get_window_attributes(c, child));
      }
    }
    std::vector<Pending> pendingClients = requestAll(display, clients, false);
    auto self = replyOf(c, xcb_get_property_reply, selfCookie);
    const auto selfValues = valuesOf(self);
    const bool alive = !selfValues.empty() && selfValues[0] == checkWindow;
    std::vector<X11Window> managed;
    collectFrontToBack(display, pendingClients, includeUnmapped, true, nullptr, managed);
    std::vector<xcb_window_t> candidates;
    for (auto& [child, cookie] : others) {
      auto attributes = replyOf(c, xcb_get_window_attributes_reply, cookie);
      if (attributes && attributes->override_redirect && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
          attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) {
        candidates.push_back(child);
      }
    }
    if (alive) {
      // Round 3, only when there are any: the override-redirect windows. One that holds
      // a client is a frame of a window manager that makes its frames so, not a window.
      if (!candidates.empty()) {
        std::vector<Pending> pending = requestAll(display, candidates, true);
        collectFrontToBack(display, pending, includeUnmapped, false, &clientSet, result.windows);
      }
      result.windows.insert(result.windows.end(), std::make_move_iterator(managed.begin()),
                            std::make_move_iterator(managed.end()));
      result.windowManager = true;
      return result;
    }
  }

  // No window manager (or a stale trace of one): the root's children themselves.
  std::vector<Pending> pending = requestAll(display, rootChildren, false);
  collectFrontToBack(display, pending, includeUnmapped, false, nullptr, result.windows);
  return result;
}

std::optional<std::string> processName(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!std::getline(in, name) || name.empty()) return std::nullopt;
  return sanitizeUtf8(name);
}

std::int32_t applicationOf(const X11Window& window) {
  if (window.pid) return *window.pid;
  // X resource ids use at most 29 bits, so the negative is always in range.
  return -static_cast<std::int32_t>(window.window & 0x1FFFFFFF);
}

std::optional<std::string> ownerNameOf(const X11Window& window) {
  if (window.className) return window.className;
  if (window.pid) return processName(*window.pid);
  return std::nullopt;
}

}  // namespace orvo::platform::x11
