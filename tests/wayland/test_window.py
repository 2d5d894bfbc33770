#!/usr/bin/python3
"""A GTK 4 test window for the Wayland tests: a known picture, and a log of what reached it.

    test_window.py --title TITLE --log LOGFILE [--width 640 --height 480] [--decorated] [--animate]

The window shows four flat quadrants, red (top left), green (top right), blue (bottom
left) and white (bottom right), so a captured frame can be checked after JPEG. With
--animate it shows instead vertical bars of eight colours that move 4 px to the right at
every frame of the display's frame clock, so every row of the window changes in every
frame (for benchmarks). It is undecorated unless --decorated, so its content is the whole
window and window coordinates are picture coordinates. It appends one line to LOGFILE per
event, flushed at once:

    text é                 committed text (typed characters, input-method commits)
    key BackSpace          an editing key (BackSpace, Delete, Return, Tab, Escape, arrows,
                           Home, End, Page_Up, Page_Down, Insert), or any key with Control
                           or Alt held ("key Control+a")
    click 1 120.0 80.0     a button press: GTK button number (1 left, 2 middle, 3 right)
                           and the position in the quadrants' area (the whole window when
                           undecorated; below GTK's title bar with --decorated)
    scroll 0.0 1.0         a scroll: dx dy as GTK reports them
    active 1               the window became active (has keyboard focus) or not (0)
    drawn 600 10.003       --animate, about once a second: pictures drawn so far, and seconds
                           since the first one (the rate the window really changes at)

Once the window has drawn its first frame it prints "mapped" on stdout. SIGTERM closes it.
"""

import argparse
import signal
import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("Gdk", "4.0")
gi.require_version("Graphene", "1.0")
from gi.repository import Gdk, Gio, GLib, Graphene, Gtk  # noqa: E402

QUADRANTS = [  # (column, row) -> colour
    ((0, 0), (1.0, 0.0, 0.0)),
    ((1, 0), (0.0, 1.0, 0.0)),
    ((0, 1), (0.0, 0.0, 1.0)),
    ((1, 1), (1.0, 1.0, 1.0)),
]

EDITING_KEYS = {
    "BackSpace", "Delete", "KP_Delete", "Return", "KP_Enter", "Tab", "ISO_Left_Tab", "Escape",
    "Left", "Right", "Up", "Down", "Home", "End", "Page_Up", "Page_Down", "Insert",
}


BAR_COLOURS = ["#ff0000", "#ff8000", "#ffff00", "#00ff00", "#00ffff", "#0000ff", "#ff00ff", "#ffffff"]
BAR_WIDTH = 64
BAR_STEP = 4  # pixels per frame


class MovingBars(Gtk.Widget):
    """--animate: the bars, one step further at each draw. Drawn with GTK's snapshot
    nodes, so the cost is GTK's own and the same under Wayland and X11."""

    def __init__(self, log, **kwargs):
        super().__init__(**kwargs)
        self.log = log
        self.colours = []
        for name in BAR_COLOURS:
            colour = Gdk.RGBA()
            colour.parse(name)
            self.colours.append(colour)
        self.drawn = 0
        self.first = None
        self.logged = 0.0

    def do_snapshot(self, snapshot):
        width, height = self.get_width(), self.get_height()
        period = BAR_WIDTH * len(self.colours)
        x = (self.drawn * BAR_STEP) % period - period
        i = 0
        while x < width:
            snapshot.append_color(self.colours[i % len(self.colours)],
                                  Graphene.Rect().init(x, 0, BAR_WIDTH, height))
            x += BAR_WIDTH
            i += 1
        self.drawn += 1
        now = GLib.get_monotonic_time() / 1e6
        if self.first is None:
            self.first = now
        if now - self.logged >= 1.0:
            self.logged = now
            self.log("drawn %d %.3f" % (self.drawn, now - self.first))


class TestWindow:
    def __init__(self, app, args):
        self.log = open(args.log, "a", buffering=1, encoding="utf-8")
        self.window = Gtk.ApplicationWindow(application=app, title=args.title)
        self.window.set_default_size(args.width, args.height)
        self.window.set_decorated(args.decorated)
        self.window.set_resizable(False)

        # Four flat boxes coloured by CSS: no drawing code, so nothing beyond GTK is needed.
        css = Gtk.CssProvider()
        css.load_from_data(b"".join(b".q%d { background-color: rgb(%d,%d,%d); }" % (
            i, r * 255, g * 255, b * 255) for i, (_, (r, g, b)) in enumerate(QUADRANTS)))
        Gtk.StyleContext.add_provider_for_display(Gdk.Display.get_default(), css,
                                                  Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
        self.animate = args.animate
        if self.animate:
            self.area = MovingBars(self.write, focusable=True, can_focus=True, hexpand=True, vexpand=True)
        else:
            self.area = Gtk.Grid(focusable=True, can_focus=True, row_homogeneous=True,
                                 column_homogeneous=True, hexpand=True, vexpand=True)
            for i, ((column, row), _) in enumerate(QUADRANTS):
                box = Gtk.Box(hexpand=True, vexpand=True, css_classes=["q%d" % i])
                self.area.attach(box, column, row, 1, 1)
        self.area.set_size_request(args.width, args.height)
        self.window.set_child(self.area)

        # Typed text goes through an input method context, as in any text widget, so
        # compose sequences and Ctrl+Shift+U work as they do in real applications.
        self.im = Gtk.IMMulticontext()
        self.im.connect("commit", lambda _im, text: self.write("text " + text))
        keys = Gtk.EventControllerKey()
        keys.set_im_context(self.im)
        keys.connect("key-pressed", self.on_key)
        self.area.add_controller(keys)

        clicks = Gtk.GestureClick(button=0)
        clicks.connect("pressed", self.on_click)
        self.area.add_controller(clicks)

        scroll = Gtk.EventControllerScroll(flags=Gtk.EventControllerScrollFlags.BOTH_AXES)
        scroll.connect("scroll", lambda _c, dx, dy: self.write("scroll %.1f %.1f" % (dx, dy)) or True)
        self.area.add_controller(scroll)

        self.window.connect("notify::is-active", self.on_active)
        self.window.connect("realize", lambda *_: self.im.set_client_widget(self.area))
        self.mapped = False
        self.area.add_tick_callback(self.on_tick)
        self.window.present()
        self.area.grab_focus()

    def write(self, line):
        self.log.write(line + "\n")

    def on_tick(self, _widget, _clock):
        # The first tick after mapping comes with the first frame.
        if self.window.get_mapped() and not self.mapped:
            self.mapped = True
            print("mapped", flush=True)
            if not self.animate:
                return GLib.SOURCE_REMOVE
        if self.animate:
            # Each tick of the frame clock asks for the next picture.
            self.area.queue_draw()
        return GLib.SOURCE_CONTINUE

    def on_key(self, _controller, keyval, _keycode, state):
        name = Gdk.keyval_name(keyval) or "0x%x" % keyval
        held = []
        if state & Gdk.ModifierType.CONTROL_MASK:
            held.append("Control")
        if state & Gdk.ModifierType.ALT_MASK:
            held.append("Alt")
        if held and name not in ("Control_L", "Control_R", "Alt_L", "Alt_R", "Shift_L", "Shift_R"):
            self.write("key " + "+".join(held + [name]))
        elif name in EDITING_KEYS:
            self.write("key " + name)
        return False

    def on_click(self, gesture, _n_press, x, y):
        self.area.grab_focus()
        self.write("click %d %.1f %.1f" % (gesture.get_current_button(), x, y))

    def on_active(self, window, _pspec):
        if window.is_active():
            self.im.focus_in()
        else:
            self.im.focus_out()
        self.write("active %d" % (1 if window.is_active() else 0))


def main():
    parser = argparse.ArgumentParser(description="GTK 4 test window")
    parser.add_argument("--title", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--decorated", action="store_true")
    parser.add_argument("--animate", action="store_true", help="moving bars, a new picture every frame")
    args = parser.parse_args()

    # Many test windows may run at once: each is its own application instance.
    app = Gtk.Application(application_id="org.orvo.TestWindow",
                          flags=Gio.ApplicationFlags.NON_UNIQUE)
    holder = []
    app.connect("activate", lambda a: holder.append(TestWindow(a, args)))
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: app.quit() or False)
    return app.run([sys.argv[0]])


if __name__ == "__main__":
    sys.exit(main())
