#!/usr/bin/python3
"""A private headless GNOME Wayland desktop for tests.

Starts, in a temporary directory of its own: a system bus and a session bus (dbus-daemon
with their own configuration; the portals, the permission store, dconf and the AT-SPI bus
are D-Bus-activated on the session bus from service files written here), PipeWire with
WirePlumber, gnome-shell headless on one virtual monitor, and the desktop portal
(xdg-desktop-portal with xdg-desktop-portal-gnome). Nothing is shared with a desktop that
may already run on the machine.

Run as root, the desktop processes run as the unprivileged user `orvo-test` (compositors
and portals misbehave as root); run as any other user, everything runs as that user.
Every process started here is stopped by its PID. Each direct child gets
PR_SET_PDEATHSIG, and this process is a child subreaper, so D-Bus-activated services that
outlive their launcher are reparented here and stopped too; if this process dies, the
buses die with it and the activated services leave with their bus.

As a module:

    with GnomeDesktop() as desktop:
        env = desktop.client_env()          # WAYLAND_DISPLAY, buses, runtime dir, ...
        desktop.start_window("Probe", "/tmp/log")
        ...                                 # a client asks the portal for a window
        desktop.pick("Probe")               # answers the picker

As a command (`python3 gnome_desktop.py start`): prints one `NAME=VALUE` line per
variable a client needs, then `ready`, and answers one command per line on stdin:

    window TITLE LOGFILE [W H [decorated] [animate]]
                                         -> "mapped"   test_window.py started and drawn
                                            (animate: its moving bars, a new picture
                                            at every frame)
    pick TITLE [view-only]               -> "picked" | "no-dialog"
                                            the picker answered: TITLE selected, "Remember
                                            this selection" ticked, "Allow remote
                                            interaction" on (off with view-only), Share
    allow                                -> "allowed" | "no-dialog"
                                            a remote-desktop dialog without a window list
                                            answered: interaction on, Share
    dialog?                              -> "yes" | "no"
    dialogs                              -> one JSON line: the open portal dialogs
    cancel                               -> "cancelled N" Cancel pressed in every dialog
    screenshot PNGFILE                   -> "saved"      the virtual monitor as PNG
    layout us|de|ru                      -> "layout us"  once the shell has switched
    close TITLE                          -> "closed"     the window's process has exited
    revoke                               -> "revoked" | "no-indicator"  all sharing
                                            stopped with the top bar indicator's "×"
    quit                                 -> "bye", then everything stops

Titles are single words.

Every step waits for a condition with a deadline; a step that misses it answers
"error: ..." and the desktop keeps running.
"""

import argparse
import ctypes
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
DESKTOP_USER = "orvo-test"

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36

_libc = ctypes.CDLL(None, use_errno=True)

# Keysyms the rig types through mutter's remote desktop interface.
XK_ESCAPE = 0xFF1B
XK_SHIFT_L = 0xFFE1
XK_RETURN = 0xFF0D
XK_SPACE = 0x20
BTN_LEFT = 0x110


class DesktopError(RuntimeError):
    pass


def wait_until(condition, timeout, what, interval=0.02):
    """Polls `condition` until it returns a true value, which is returned; raises
    DesktopError naming `what` once `timeout` seconds have passed. The poll interval
    grows to 0.25 s so a slow machine is not flooded."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise DesktopError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)
        interval = min(interval * 1.5, 0.25)


def _die_with(parent):
    """A preexec_fn: the child is killed when `parent` (the thread that started it) ends.
    It runs after the user switch, which would clear the setting; a parent already gone
    before the setting took hold is caught by the getppid() check."""
    def setup():
        _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)
    return setup


class GnomeDesktop:
    """One private desktop. start() brings everything up or raises DesktopError (with
    everything it started stopped again); stop() stops every process by its PID.

    start() makes the calling process a child subreaper, and the desktop's processes die
    with the thread that called start(): call it from a thread that outlives the desktop
    (the main thread). One desktop per process."""

    def __init__(self, width=1280, height=800, user=None, keep_dir=False, verbose=False):
        self.width = width
        self.height = height
        self.keep_dir = keep_dir
        self.verbose = verbose
        self.dir = None
        self._procs = {}       # name -> Popen, in start order
        self._windows = {}     # title -> Popen of test_window.py
        self._session = None   # dbus-python connection to the private session bus
        self._input = None     # the rig's own mutter remote-desktop session
        self._fork_seen = {}   # pid -> when first seen: the shell's children not yet exec'd
        self.timings = {}
        if user is None:
            user = DESKTOP_USER if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name
        self.user = pwd.getpwnam(user)
        self._switch_user = self.user.pw_uid != os.geteuid()

    # ----------------------------------------------------------------------------------
    # Life cycle

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        begin = time.monotonic()
        _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        try:
            self._make_dirs()
            self._start_buses()
            self.timings["buses"] = time.monotonic() - begin
            self._start_pipewire()
            self.timings["pipewire"] = time.monotonic() - begin
            self._start_shell_with_retries()
            self.timings["shell"] = time.monotonic() - begin
            self._start_portal()
            self.timings["portal"] = time.monotonic() - begin
        except BaseException:
            self.stop()
            raise
        self.timings["ready"] = time.monotonic() - begin

    def stop(self):
        for title in list(self._windows):
            self._stop_process(self._windows.pop(title))
        if self._input is not None:
            try:
                self._input.stop()
            except Exception:
                pass
            self._input = None
        if self._session is not None:
            try:
                self._session.close()
            except Exception:
                pass
            self._session = None
        # The compositor and PipeWire first, then every service the buses activated (the
        # portals, AT-SPI, dconf: our descendants), then the buses.
        order = ["gnome-shell", "wireplumber", "pipewire"]
        for name in order:
            if name in self._procs:
                self._stop_process(self._procs.pop(name))
        self._stop_descendants()
        for name in list(self._procs):
            self._stop_process(self._procs.pop(name))
        self._stop_descendants()
        if self.dir and not self.keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    # ----------------------------------------------------------------------------------
    # What a client needs

    def client_env(self):
        """The environment a client of this desktop runs with (to be added to its own)."""
        return {
            "ORVO_DESKTOP_USER": self.user.pw_name,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "WAYLAND_DISPLAY": "wayland-0",
            "DBUS_SESSION_BUS_ADDRESS": self.session_bus,
            "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus,
            "PIPEWIRE_REMOTE": "pipewire-0",
            "XDG_SESSION_TYPE": "wayland",
            "XDG_CURRENT_DESKTOP": "GNOME",
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local", "state"),
            "GDK_BACKEND": "wayland",
            "QT_QPA_PLATFORM": "wayland",
        }

    def _env(self, extra=None):
        env = {
            "PATH": SYSTEM_PATH,
            "LANG": "C.UTF-8",
            "USER": self.user.pw_name,
            "LOGNAME": self.user.pw_name,
            "SHELL": "/bin/sh",
        }
        env.update(self.client_env())
        # The shell and the portals use these; GTK dialogs use the a11y bus.
        env["XDG_SESSION_DESKTOP"] = "gnome"
        env["GSETTINGS_BACKEND"] = "dconf"
        env["GNOME_SHELL_SESSION_MODE"] = "user"
        # mutter would otherwise try a GPU; there is none.
        env["LIBGL_ALWAYS_SOFTWARE"] = "1"
        env["GSK_RENDERER"] = "cairo"
        env["GTK_A11Y"] = "atspi"
        if extra:
            env.update(extra)
        return env

    # ----------------------------------------------------------------------------------
    # Processes

    def _spawn(self, name, argv, env=None, stdout=None, stdin=subprocess.DEVNULL):
        log = open(os.path.join(self.dir, "logs", name + ".log"), "ab")
        kwargs = {}
        if self._switch_user:
            kwargs.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        proc = subprocess.Popen(
            argv, env=env or self._env(), cwd=self.home, stdin=stdin,
            stdout=stdout if stdout is not None else log, stderr=log,
            preexec_fn=_die_with(os.getpid()), close_fds=True, **kwargs)
        log.close()
        self._log("started %s (pid %d)" % (name, proc.pid))
        return proc

    def _stop_process(self, proc, grace=3.0):
        if proc.poll() is None:
            try:
                proc.send_signal(signal.SIGTERM)
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            except ProcessLookupError:
                pass
        for stream in (proc.stdin, proc.stdout):
            if stream:
                try:
                    stream.close()
                except Exception:
                    pass

    def _descendants(self):
        """PIDs of processes whose parent is this process but that we did not start:
        services activated by a bus whose launcher has gone, reparented to us."""
        mine = {p.pid for p in self._procs.values()} | {p.pid for p in self._windows.values()}
        me = os.getpid()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            pid = int(entry)
            if ppid == me and pid not in mine:
                found.append(pid)
        return found

    def _stop_descendants(self, only_orphans=False):
        """Stops every process of this desktop that we did not start ourselves: the
        children of our buses (activated services and their babysitters) and orphans
        reparented to us (or only the orphans). Each is signalled by its PID."""
        pids = set(self._descendants())
        for proc in ([] if only_orphans else self._procs.values()):
            pids |= _children_of(proc.pid, recursive=True)
        for pid in pids:
            _signal(pid, signal.SIGTERM)
        deadline = time.monotonic() + 3
        while pids and time.monotonic() < deadline:
            pids = {pid for pid in pids if _alive(pid)}
            self._reap()
            if pids:
                time.sleep(0.05)
        for pid in pids:
            _signal(pid, signal.SIGKILL)
        self._reap()

    def _reap(self):
        # Orphans reparented to this subreaper are ours to wait for.
        for pid in self._descendants():
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass

    def _log(self, text):
        if self.verbose:
            print("[gnome_desktop] " + text, file=sys.stderr, flush=True)

    # ----------------------------------------------------------------------------------
    # Steps of start()

    def _make_dirs(self):
        self.dir = tempfile.mkdtemp(prefix="orvo-gnome-")
        self.runtime_dir = os.path.join(self.dir, "runtime")
        self.home = os.path.join(self.dir, "home")
        for path in [self.runtime_dir, self.home, os.path.join(self.dir, "logs"),
                     os.path.join(self.dir, "services"), os.path.join(self.dir, "system-services"),
                     os.path.join(self.home, ".config"), os.path.join(self.home, ".cache"),
                     os.path.join(self.home, ".local", "share"),
                     os.path.join(self.home, ".local", "state")]:
            os.makedirs(path, exist_ok=True)
        os.chmod(self.runtime_dir, 0o700)
        # The desktop's user runs the test window from here: the source tree may sit under
        # a directory only its owner can enter (a clone in /root or a mktemp directory).
        self.test_window = os.path.join(self.dir, "test_window.py")
        shutil.copyfile(os.path.join(HERE, "test_window.py"), self.test_window)
        os.chmod(self.test_window, 0o644)
        # The shell ties a window to an application through a desktop file named after its
        # Wayland app id; without one the window's app id is "window:N", new for every
        # window, and a restore token never finds a restarted window again.
        applications = os.path.join(self.home, ".local", "share", "applications")
        os.makedirs(applications, exist_ok=True)
        with open(os.path.join(applications, "org.orvo.TestWindow.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Orvo Test Window\nNoDisplay=true\n"
                    "Exec=%s %s\n" % (SYSTEM_PYTHON, self.test_window))
        self.system_bus = "unix:path=" + os.path.join(self.dir, "system_bus_socket")
        self.session_bus = "unix:path=" + os.path.join(self.runtime_dir, "bus")
        if self._switch_user:
            for root, dirs, files in os.walk(self.dir):
                for name in [root] + [os.path.join(root, d) for d in dirs]:
                    os.chown(name, self.user.pw_uid, self.user.pw_gid)
        # The desktop user reaches the temp dir; nobody else does.
        os.chmod(self.dir, 0o700)

    def _bus_config(self, kind, socket, servicedir):
        return """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>%s</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
  <limit name="service_start_timeout">20000</limit>
</busconfig>
""" % (kind, socket, servicedir)

    def _write_services(self):
        # Only the services this desktop needs are activatable, each started the way its
        # own service file says (without systemd).
        services = {
            "org.freedesktop.portal.Desktop": "/usr/libexec/xdg-desktop-portal",
            "org.freedesktop.impl.portal.desktop.gnome": "/usr/libexec/xdg-desktop-portal-gnome",
            "org.freedesktop.impl.portal.PermissionStore": "/usr/libexec/xdg-permission-store",
            "org.a11y.Bus": "/usr/libexec/at-spi-bus-launcher",
            "ca.desrt.dconf": "/usr/libexec/dconf-service",
        }
        for name, exe in services.items():
            with open(os.path.join(self.dir, "services", name + ".service"), "w") as f:
                f.write("[D-BUS Service]\nName=%s\nExec=%s\n" % (name, exe))

    def _start_bus(self, kind, socket, servicedir):
        config = os.path.join(self.dir, kind + "-bus.conf")
        with open(config, "w") as f:
            f.write(self._bus_config(kind, socket, servicedir))
        proc = self._spawn(kind + "-bus", ["dbus-daemon", "--nofork", "--config-file=" + config,
                                           "--print-address"], stdout=subprocess.PIPE)
        self._procs[kind + "-bus"] = proc
        line = _readline(proc.stdout, 10) or ""
        if not line.startswith("unix:"):
            raise DesktopError("%s bus did not start (see %s)" % (kind, self._logname(kind + "-bus")))
        return "unix:path=" + socket

    def _start_buses(self):
        self._write_services()
        self._start_bus("system", os.path.join(self.dir, "system_bus_socket"),
                        os.path.join(self.dir, "system-services"))
        self._start_bus("session", os.path.join(self.runtime_dir, "bus"),
                        os.path.join(self.dir, "services"))
        import dbus
        self._session = dbus.bus.BusConnection(self.session_bus)
        self._write_settings()

    def _write_settings(self):
        # Settings the desktop reads through dconf at start: no welcome tour, the "us"
        # layout, no screen blanking or lock while a test runs.
        settings = [
            ("org.gnome.shell", "welcome-dialog-last-shown-version", "'999'"),
            ("org.gnome.desktop.input-sources", "sources", "[('xkb', 'us')]"),
            ("org.gnome.desktop.session", "idle-delay", "uint32 0"),
            ("org.gnome.desktop.screensaver", "lock-enabled", "false"),
            ("org.gnome.desktop.interface", "enable-animations", "false"),
            ("org.gnome.desktop.interface", "toolkit-accessibility", "true"),
            ("org.gnome.desktop.notifications", "show-banners", "false"),
        ]
        for schema, key, value in settings:
            self._run(["gsettings", "set", schema, key, value])

    def _run(self, argv, timeout=20, check=True):
        kwargs = {}
        if self._switch_user:
            kwargs.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        result = subprocess.run(argv, env=self._env(), cwd=self.home, capture_output=True,
                                timeout=timeout, **kwargs)
        if check and result.returncode != 0:
            raise DesktopError("%s failed: %s" % (" ".join(argv), result.stderr.decode().strip()))
        return result.stdout.decode()

    def _logname(self, name):
        return os.path.join(self.dir, "logs", name + ".log")

    def _start_pipewire(self):
        self._procs["pipewire"] = self._spawn("pipewire", ["pipewire"])
        socket = os.path.join(self.runtime_dir, "pipewire-0")
        wait_until(lambda: os.path.exists(socket) or self._exited("pipewire"), 10, "pipewire's socket")
        self._check_alive("pipewire")
        self._procs["wireplumber"] = self._spawn("wireplumber", ["wireplumber"])
        # WirePlumber is ready once it has published the default-node metadata.
        wait_until(lambda: self._exited("wireplumber") or self._pw_has_session_manager(), 15,
                   "wireplumber")
        self._check_alive("wireplumber")

    def _pw_has_session_manager(self):
        out = self._run(["pw-dump", "-N"], check=False)
        try:
            objects = json.loads(out or "[]")
        except ValueError:
            return False
        for obj in objects:
            props = (obj.get("info") or {}).get("props") or {}
            if obj.get("type") == "PipeWire:Interface:Client" and \
                    props.get("application.name") == "WirePlumber":
                return True
        return False

    def _exited(self, name):
        return self._procs[name].poll() is not None

    def _check_alive(self, name):
        if self._exited(name):
            raise DesktopError("%s exited with %s; its log: %s" % (
                name, self._procs[name].returncode, self._logname(name)))

    def _start_shell_with_retries(self, attempts=4):
        # gnome-shell 43 starts ibus-daemon itself (a session without systemd) through
        # GLib.spawn_async with a JavaScript child-setup callback. Now and then that
        # callback, run in the forked child, waits forever on a GType lock another thread
        # held at the fork (gdb: the child in g_type_get_qdata under g_spawn_async, the
        # shell in g_spawn_async reading the child's status pipe), and the shell hangs with
        # it: about one start in four here. A hung start is seen by that child (a copy of
        # gnome-shell that never execs) and the shell is started again.
        import dbus
        for attempt in range(1, attempts + 1):
            try:
                self._start_shell()
                self._start_input()
                self._close_overview()
                return
            except (DesktopError, dbus.exceptions.DBusException) as error:
                self._log("gnome-shell attempt %d failed: %s" % (attempt, error))
                self.timings.setdefault("shell restarts", 0)
                self.timings["shell restarts"] += 1
                if attempt == attempts:
                    raise DesktopError("gnome-shell did not come up in %d attempts: %s" % (attempts, error))
                self._input = None
                if os.environ.get("ORVO_GNOME_DEBUG_HANG"):
                    self._debug_hang(attempt)
                os.replace(self._logname("gnome-shell"), self._logname("gnome-shell.failed%d" % attempt))
                self._stop_process(self._procs.pop("gnome-shell"), grace=1.0)
                self._stop_descendants(only_orphans=True)

    def _debug_hang(self, attempt):
        # Backtraces of the hung shell and of its children, for the log.
        pids = [self._procs["gnome-shell"].pid] + sorted(_children_of(self._procs["gnome-shell"].pid, True))
        with open(self._logname("gnome-shell.hang%d" % attempt), "w") as f:
            for pid in pids:
                try:
                    f.write("== %d %s\n" % (pid, open("/proc/%d/cmdline" % pid).read().replace("\0", " ")))
                except OSError:
                    continue
                f.flush()
                subprocess.run(["gdb", "-batch", "-p", str(pid), "-ex", "thread apply all bt 30"],
                               stdout=f, stderr=subprocess.STDOUT, timeout=120)

    def _start_shell(self):
        # ORVO_GNOME_SHELL_PREFIX (for debugging) runs the shell under a tool, e.g. strace.
        prefix = os.environ.get("ORVO_GNOME_SHELL_PREFIX", "").split()
        self._procs["gnome-shell"] = self._spawn("gnome-shell", prefix + [
            "gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-0",
            "--virtual-monitor", "%dx%d" % (self.width, self.height)])
        wait_until(lambda: self._exited("gnome-shell") or self._shell_hung() or
                   self._name_has_owner("org.gnome.Shell"), 30, "gnome-shell on the session bus")
        # The fork that can hang comes a moment after the shell owns its name; its end is
        # logged ("Failed to launch ibus-daemon" where IBus is not installed) or an
        # ibus-daemon runs. Without either by the deadline the start goes on.
        try:
            wait_until(lambda: self._exited("gnome-shell") or self._shell_hung() or self._ibus_spawned(),
                       10, "gnome-shell's start of ibus-daemon")
        except DesktopError:
            pass
        if self._shell_hung():
            raise DesktopError("gnome-shell hung in its fork of ibus-daemon")
        self._check_alive("gnome-shell")
        wait_until(lambda: self._exited("gnome-shell") or
                   self._name_has_owner("org.gnome.Mutter.RemoteDesktop"), 10,
                   "mutter's remote desktop interface")
        self._check_alive("gnome-shell")
        # Owning its names is not yet answering: a shell hung at start owns them too.
        self._shell_property("ShellVersion")

    def _shell_hung(self, grace=1.5):
        """Whether a child of the shell has stayed an unexec'd copy of gnome-shell for
        `grace` seconds (see _start_shell_with_retries)."""
        shell = self._procs["gnome-shell"].pid
        now = time.monotonic()
        for pid in _children_of(shell):
            try:
                same = os.readlink("/proc/%d/exe" % pid) == os.readlink("/proc/%d/exe" % shell)
            except OSError:
                continue
            if not same:
                continue
            seen = self._fork_seen.setdefault(pid, now)
            if now - seen >= grace:
                return True
        return False

    def _ibus_spawned(self):
        with open(self._logname("gnome-shell"), errors="replace") as f:
            if "ibus-daemon" in f.read():
                return True
        for pid in _children_of(self._procs["gnome-shell"].pid):
            try:
                if os.path.basename(os.readlink("/proc/%d/exe" % pid)) == "ibus-daemon":
                    return True
            except OSError:
                pass
        return False

    def _name_has_owner(self, name):
        try:
            return bool(self._session.name_has_owner(name))
        except Exception:
            return False

    def _shell_property(self, name):
        import dbus
        shell = self._session.get_object("org.gnome.Shell", "/org/gnome/Shell")
        return shell.Get("org.gnome.Shell", name, dbus_interface=dbus.PROPERTIES_IFACE, timeout=5)

    def _start_input(self):
        before = set(self._pw_nodes())
        self._input = MutterInput(self._session, self.width, self.height)
        self._input.start()
        # The monitor stream's node, for screenshots.
        self.monitor_node = wait_until(lambda: (set(self._pw_nodes()) - before or {None}).pop(), 10,
                                       "the monitor stream's PipeWire node")

    def _pw_nodes(self):
        out = self._run(["pw-dump", "-N"], check=False)
        try:
            return [o["id"] for o in json.loads(out or "[]") if o.get("type") == "PipeWire:Interface:Node"
                    and (o.get("info") or {}).get("props", {}).get("media.name") == "meta-screen-cast-src"]
        except ValueError:
            return []

    def screenshot(self, path, timeout=10):
        """Saves the virtual monitor as PNG (what a person would see), from the rig's own
        monitor stream."""
        self._grab(["pngenc", "!", "filesink", "location=" + path], path, timeout)

    def _grab(self, tail, path, timeout):
        if self._switch_user:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.fchown(fd, self.user.pw_uid, self.user.pw_gid)
            os.close(fd)
        kwargs = {}
        if self._switch_user:
            kwargs.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        grabber = subprocess.Popen(["gst-launch-1.0", "-q", "pipewiresrc", "path=%d" % self.monitor_node,
                                    "num-buffers=1", "!", "videoconvert", "!"] + tail,
                                   env=self._env(), cwd=self.home, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=_die_with(os.getpid()), **kwargs)
        # mutter sends a monitor frame only when the screen changes: the pointer, drawn
        # into this stream, is nudged until one comes.
        nudge = [0]
        def taken():
            if grabber.poll() is not None:
                return True
            nudge[0] ^= 1
            self._input.move(self.width - 1 - nudge[0], self.height - 1)
            return False
        try:
            wait_until(taken, timeout, "a frame of the monitor", interval=0.05)
        finally:
            self._stop_process(grabber, grace=1.0)
        if grabber.returncode != 0:
            raise DesktopError("the monitor frame could not be saved (gst-launch exited %d)" % grabber.returncode)

    def _close_overview(self):
        # The shell opens its Overview once start-up has finished; Escape closes it. We wait
        # for it to open (it may already be open) and press Escape until it is closed.
        try:
            wait_until(lambda: bool(self._shell_property("OverviewActive")), 10, "the Overview to open")
        except DesktopError:
            return
        def closed():
            if not self._shell_property("OverviewActive"):
                return True
            self._input.key(XK_ESCAPE)
            self.timings["Escape presses"] = self.timings.get("Escape presses", 0) + 1
            return False
        wait_until(closed, 10, "the Overview to close", interval=0.2)

    def _start_portal(self):
        import dbus
        def offered():
            try:
                portal = self._session.get_object("org.freedesktop.portal.Desktop",
                                                  "/org/freedesktop/portal/desktop")
                types = portal.Get("org.freedesktop.portal.ScreenCast", "AvailableSourceTypes",
                                   dbus_interface=dbus.PROPERTIES_IFACE, timeout=20)
                return int(types) != 0
            except dbus.exceptions.DBusException as error:
                self._log("portal not yet: %s" % error)
                return False
        wait_until(offered, 30, "the ScreenCast portal", interval=0.2)
        # The a11y bus must be up before a portal dialog opens, or the dialog is not
        # reachable through AT-SPI.
        a11y = self._session.get_object("org.a11y.Bus", "/org/a11y/bus")
        self.a11y_bus = str(a11y.GetAddress(dbus_interface="org.a11y.Bus", timeout=20))

    # ----------------------------------------------------------------------------------
    # Test windows

    def start_window(self, title, logfile, width=640, height=480, decorated=False, animate=False, timeout=20):
        """Starts test_window.py with `title` (with GTK's own title bar if `decorated`,
        its moving bars if `animate`); returns once it has drawn its first frame."""
        if title in self._windows:
            raise DesktopError("a window titled %r is already open" % title)
        if self._switch_user:
            # The window appends to the log as the desktop user.
            fd = os.open(logfile, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            os.fchown(fd, self.user.pw_uid, self.user.pw_gid)
            os.close(fd)
        proc = self._spawn("window-" + title.replace("/", "_"),
                           [SYSTEM_PYTHON, self.test_window, "--title", title,
                            "--width", str(width), "--height", str(height), "--log", logfile]
                           + (["--decorated"] if decorated else []) + (["--animate"] if animate else []),
                           stdout=subprocess.PIPE)
        self._windows[title] = proc
        line = _readline(proc.stdout, timeout)
        if line != "mapped":
            self._stop_process(self._windows.pop(title))
            raise DesktopError("window %r did not map (%r; see %s)" % (
                title, line, self._logname("window-" + title)))

    def close_window(self, title):
        proc = self._windows.pop(title, None)
        if proc is None:
            raise DesktopError("no window titled %r" % title)
        self._stop_process(proc)

    # ----------------------------------------------------------------------------------
    # Portal dialogs

    def _atspi(self, *args, timeout=10):
        """One look at (or one action on) the portal's dialogs through AT-SPI, in a child
        process of its own: a fresh AT-SPI client each time has no stale cache of
        applications that came or went, and a call that hangs on a dying dialog is ended
        by its PID with the child."""
        result = subprocess.run([SYSTEM_PYTHON, os.path.abspath(__file__), "_atspi"] + list(args),
                                env=self._atspi_env(), capture_output=True, timeout=timeout)
        lines = result.stdout.decode().strip().splitlines()
        if result.returncode != 0 or not lines:
            raise DesktopError("AT-SPI %s failed: %s" % (args[0], result.stderr.decode().strip()[-500:]))
        return json.loads(lines[-1])

    def _atspi_env(self):
        env = dict(os.environ)
        env.update(DBUS_SESSION_BUS_ADDRESS=self.session_bus, AT_SPI_BUS_ADDRESS=self.a11y_bus,
                   XDG_RUNTIME_DIR=self.runtime_dir, PYTHONWARNINGS="ignore")
        return env

    def dialogs(self):
        """The portal dialogs on screen: a list of {"title", "windows": [titles offered],
        "selected": [...], "remember": bool or None, "allow": bool or None, "share": bool}."""
        return self._atspi("dialogs", "")

    def dialog_open(self):
        return bool(self.dialogs())

    def pick(self, title, allow_input=True, timeout=15):
        """Answers the open window picker (a ScreenCast or RemoteDesktop dialog): selects the
        window `title`, ticks "Remember this selection" where offered, switches on "Allow
        remote interaction" where offered (unless allow_input is False) and presses Share.
        Returns "picked" once that dialog has gone, or "no-dialog" if no picker opened
        within `timeout`. A dialog left open by a client that closed its session is not
        mistaken for the new one: the newest picker offering `title` is answered."""
        deadline = time.monotonic() + timeout
        if self._wait_dialog(lambda d: d["windows"], deadline) is None:
            return "no-dialog"
        # The picker lists windows as it learns of them: give a new one its moment.
        try:
            dialog = wait_until(lambda: self._find_dialog(lambda d: title in d["windows"]),
                                max(0.5, deadline - time.monotonic()), "window %r in the picker" % title,
                                interval=0.1)
        except DesktopError:
            raise DesktopError("the open pickers offer %s, not %r" % (
                [d["windows"] for d in self.dialogs()], title))
        ident = dialog["id"]
        wait_until(lambda: title in self._atspi("select", ident, title)["selected"],
                   max(1.0, deadline - time.monotonic()), "%r selected in the picker" % title)
        if dialog["remember"] is False:
            # GTK 4.8's check button offers no AT-SPI action: focus it and press Space.
            self._atspi("focus", ident, "Remember this selection")
            self._input.key(XK_SPACE)
            wait_until(lambda: self._find_dialog(lambda d: d["id"] == ident and d["remember"]), 5,
                       "Remember ticked")
        if dialog["allow"] is not None and dialog["allow"] != allow_input:
            self._atspi("toggle", ident, "Allow remote interaction")
            wait_until(lambda: self._find_dialog(lambda d: d["id"] == ident and d["allow"] == allow_input),
                       5, "Allow remote interaction switched")
        self._press(ident, "Share", deadline)
        return "picked"

    def allow(self, timeout=10):
        """Answers a remote-desktop dialog without a window list (devices only): switches on
        "Allow remote interaction" and presses Share. "allowed", or "no-dialog" if none
        opened within `timeout`."""
        deadline = time.monotonic() + timeout
        dialog = self._wait_dialog(lambda d: d["allow"] is not None and not d["windows"], deadline)
        if dialog is None:
            return "no-dialog"
        ident = dialog["id"]
        if not dialog["allow"]:
            self._atspi("toggle", ident, "Allow remote interaction")
            wait_until(lambda: self._find_dialog(lambda d: d["id"] == ident and d["allow"]), 5,
                       "Allow remote interaction on")
        self._press(ident, "Share", deadline)
        return "allowed"

    def cancel(self):
        """Presses Cancel in every open portal dialog; returns how many there were."""
        dialogs = self.dialogs()
        for dialog in dialogs:
            self._press(dialog["id"], "Cancel", time.monotonic() + 5, wait_sensitive=False)
        return len(dialogs)

    def _find_dialog(self, condition):
        # The newest dialog first: a client that closed its session can leave its dialog open.
        for dialog in reversed(self.dialogs()):
            if condition(dialog):
                return dialog
        return None

    def _wait_dialog(self, condition, deadline):
        try:
            return wait_until(lambda: self._find_dialog(condition),
                              max(0.1, deadline - time.monotonic()), "a portal dialog", interval=0.1)
        except DesktopError:
            return None

    def _press(self, ident, button, deadline, wait_sensitive=True):
        if wait_sensitive:
            wait_until(lambda: self._find_dialog(lambda d: d["id"] == ident and d["share"]),
                       max(1.0, deadline - time.monotonic()), "%s to become sensitive" % button)
        self._atspi("press", ident, button)
        wait_until(lambda: not self._find_dialog(lambda d: d["id"] == ident),
                   max(2.0, deadline - time.monotonic()), "the dialog to close", interval=0.1)

    def revoke(self, timeout=10):
        """Stops all screen sharing as a person does: a click on the "×" of the sharing
        indicator in the top bar (mutter refuses a Stop over D-Bus from anyone but the
        session's creator: "Access denied"). The portal then closes the sessions built on
        it. The indicator also counts the rig's own input session, which the click ends
        too: that one is made again. Returns "revoked", or "no-indicator"."""
        box = self._indicator_box()
        if box is None:
            return "no-indicator"
        left, top, right, bottom = box
        # The pill is [screen icon  ×]: the × sits in its right sixth.
        import dbus
        own = self._input.session_path
        self._input.move(right - (right - left) / 6, (top + bottom) / 2)
        self._input.button(True)
        try:
            self._input.button(False)
        except dbus.exceptions.DBusException:
            pass  # the press already ended our own session with all the others
        wait_until(lambda: own not in _child_paths(self._session, "org.gnome.Mutter.RemoteDesktop",
                                                   "/org/gnome/Mutter/RemoteDesktop/Session"),
                   timeout, "the sharing to stop")
        self._start_input()
        return "revoked"

    def _indicator_box(self):
        """The bounding box of the sharing indicator's orange pill in the top bar, or None."""
        raw = os.path.join(self.dir, "panel.rgb")
        self._grab(["video/x-raw,format=RGB", "!", "filesink", "location=" + raw], raw, 10)
        with open(raw, "rb") as f:
            data = f.read()
        xs, ys = [], []
        for y in range(0, 32):
            row = data[y * self.width * 3:(y + 1) * self.width * 3]
            for x in range(self.width // 2, self.width):
                r, g, b = row[3 * x], row[3 * x + 1], row[3 * x + 2]
                if r > 150 and 90 < g < 190 and b < 80 and r - b > 120:  # the indicator's amber
                    xs.append(x)
                    ys.append(y)
        if len(xs) < 50:
            return None
        return min(xs), min(ys), max(xs), max(ys)

    def set_layout(self, layout, timeout=10):
        """Makes `layout` (us, de or ru) the only input source, as the Settings panel would,
        and returns once a new Wayland client gets that layout's keymap. Keys typed after
        that use it: mutter applies a keymap and the virtual keyboards' keys in order."""
        if layout not in LAYOUT_MARKERS:
            raise DesktopError("unknown layout %r" % layout)
        self._run(["gsettings", "set", "org.gnome.desktop.input-sources", "sources",
                   "[('xkb', '%s')]" % layout])
        # The shell's own record of the current source (mru-sources) is written only
        # once IBus runs, so the keymap itself is asked.
        wait_until(lambda: self._keymap_layout() == layout, timeout,
                   "the keymap of layout %s" % layout, interval=0.05)

    def _keymap_layout(self):
        result = subprocess.run([SYSTEM_PYTHON, os.path.abspath(__file__), "_keymap"],
                                env=dict(self._atspi_env(), WAYLAND_DISPLAY="wayland-0", GDK_BACKEND="wayland"),
                                capture_output=True, timeout=10)
        return result.stdout.decode().strip()


# Which of our layouts a keymap is: the keysyms only that layout has.
LAYOUT_MARKERS = {"us": [], "de": ["ssharp"], "ru": ["Cyrillic_a"]}


def _keymap_main():
    """Prints which of LAYOUT_MARKERS' layouts the compositor's current keymap is."""
    import gi
    gi.require_version("Gdk", "4.0")
    from gi.repository import Gdk, GLib
    display = Gdk.Display.open(os.environ["WAYLAND_DISPLAY"])
    # GDK starts with a built-in keymap until the compositor's arrives: a round trip and
    # the events it brings.
    display.sync()
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)
    has = lambda name: bool(display.map_keyval(Gdk.keyval_from_name(name))[1])
    found = [layout for layout, markers in LAYOUT_MARKERS.items() if markers and all(map(has, markers))]
    print(found[0] if len(found) == 1 else ("us" if not found and has("a") else "unknown"))


def _readline(stream, timeout):
    import select
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        return None
    return stream.readline().decode().strip()


def _child_paths(bus, service, prefix):
    import xml.etree.ElementTree as ElementTree
    xml = bus.get_object(service, prefix).Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
    return [prefix + "/" + node.get("name") for node in ElementTree.fromstring(str(xml)).findall("node")]


def _children_of(pid, recursive=False):
    found = set()
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            kids = [int(x) for x in f.read().split()]
    except OSError:
        return found
    for kid in kids:
        found.add(kid)
        if recursive:
            found |= _children_of(kid, True)
    return found


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class MutterInput:
    """The rig's own input: a mutter remote-desktop session with a screen-cast stream of
    the virtual monitor, so absolute pointer motion is in monitor pixels. This is mutter's
    private interface (what gnome-remote-desktop uses), not the portal: it asks nobody."""

    def __init__(self, bus, width, height):
        self.bus = bus
        self.width = width
        self.height = height
        self.session = None
        self.stream = None

    def start(self):
        import dbus
        rd = self.bus.get_object("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop")
        path = rd.CreateSession(dbus_interface="org.gnome.Mutter.RemoteDesktop", timeout=5)
        self.session_path = str(path)
        self.session = dbus.Interface(self.bus.get_object("org.gnome.Mutter.RemoteDesktop", path),
                                      "org.gnome.Mutter.RemoteDesktop.Session")
        session_id = self.bus.get_object("org.gnome.Mutter.RemoteDesktop", path).Get(
            "org.gnome.Mutter.RemoteDesktop.Session", "SessionId", dbus_interface=dbus.PROPERTIES_IFACE, timeout=5)
        sc = self.bus.get_object("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast")
        sc_path = sc.CreateSession({"remote-desktop-session-id": session_id},
                                   dbus_interface="org.gnome.Mutter.ScreenCast", timeout=5)
        self.screen_cast_path = str(sc_path)
        sc_session = self.bus.get_object("org.gnome.Mutter.ScreenCast", sc_path)
        connector = self._connector()
        # The pointer drawn in (cursor mode 1): moving it makes mutter send a frame.
        self.stream = sc_session.RecordMonitor(connector, {"cursor-mode": dbus.UInt32(1)},
                                               dbus_interface="org.gnome.Mutter.ScreenCast.Session", timeout=5)
        self.session.Start(timeout=5)
        # mutter drops the first key of a new virtual keyboard: spend it on Shift.
        if not os.environ.get("ORVO_GNOME_NO_WARMUP_KEY"):
            self.key(XK_SHIFT_L)

    def _connector(self):
        dc = self.bus.get_object("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig")
        _serial, monitors, _logical, _props = dc.GetCurrentState(
            dbus_interface="org.gnome.Mutter.DisplayConfig", timeout=5)
        return str(monitors[0][0][0])

    def stop(self):
        if self.session is not None:
            self.session.Stop()
            self.session = None

    def key(self, keysym):
        import dbus
        self.session.NotifyKeyboardKeysym(dbus.UInt32(keysym), True)
        self.session.NotifyKeyboardKeysym(dbus.UInt32(keysym), False)

    def move(self, x, y):
        import dbus
        self.session.NotifyPointerMotionAbsolute(self.stream, dbus.Double(x), dbus.Double(y))

    def button(self, pressed, button=BTN_LEFT):
        import dbus
        self.session.NotifyPointerButton(dbus.Int32(button), bool(pressed))

    def click(self, x, y, button=BTN_LEFT):
        self.move(x, y)
        self.button(True, button)
        self.button(False, button)


# --------------------------------------------------------------------------------------
# The portal's dialogs through AT-SPI (run as `gnome_desktop.py _atspi OP [ARG]`, one
# JSON line out). xdg-desktop-portal-gnome 43 draws its dialogs with GTK 4.8, whose AT-SPI
# offers: the window list as a list with Selection, "Allow remote interaction" as a check
# box with a toggle action, Share and Cancel as push buttons with a click action, and
# "Remember this selection" as a check box without actions.

PORTAL_APP = "xdg-desktop-portal-gnome"


def _atspi_main(op, dialog, arg):
    import warnings
    warnings.simplefilter("ignore")  # the deprecated but simplest AT-SPI calls
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def walk(node):
        yield node
        for i in range(node.get_child_count()):
            child = node.get_child_at_index(i)
            if child is not None:
                yield from walk(child)

    def states(node):
        return {s.value_nick for s in node.get_state_set().get_states()}

    def frames():
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is None or app.get_name() != PORTAL_APP:
                    continue
                for j in range(app.get_child_count()):
                    frame = app.get_child_at_index(j)
                    if frame is not None and "visible" in states(frame):
                        yield frame
            except gi.repository.GLib.Error:
                continue  # the portal's process left while we looked

    def describe(frame):
        info = {"id": frame.path, "title": frame.get_name(), "windows": [], "selected": [], "remember": None,
                "allow": None, "share": False}
        for node in walk(frame):
            role = node.get_role()
            name = node.get_name()
            if role == Atspi.Role.LIST_ITEM and "selectable" in states(node) \
                    and name != "Allow remote interaction":
                info["windows"].append(name)
                if "selected" in states(node):
                    info["selected"].append(name)
            elif role == Atspi.Role.CHECK_BOX and name == "Remember this selection":
                info["remember"] = "checked" in states(node)
            elif role == Atspi.Role.CHECK_BOX and name == "Allow remote interaction":
                info["allow"] = "checked" in states(node)
            elif role == Atspi.Role.PUSH_BUTTON and name.endswith("Share"):
                info["share"] = "sensitive" in states(node)
        return info

    def find(dialog, role, name):
        for frame in frames():
            if frame.path != dialog:
                continue
            for node in walk(frame):
                if node.get_role() == role and (node.get_name() == name or node.get_name().endswith(" " + name)):
                    return node
        raise SystemExit("no %s %r in portal dialog %s" % (role.value_nick, name, dialog))

    def act(node, action):
        iface = node.get_action_iface()
        for i in range(iface.get_n_actions() if iface else 0):
            if iface.get_action_name(i) == action:
                return bool(iface.do_action(i))
        raise SystemExit("%r offers no %r action" % (node.get_name(), action))

    if op == "dialogs":
        result = []
        for frame in frames():
            try:
                result.append(describe(frame))
            except gi.repository.GLib.Error:
                pass  # closed while we looked: no longer open

    elif op == "select":
        item = find(dialog, Atspi.Role.LIST_ITEM, arg)
        item.get_parent().get_selection_iface().select_child(item.get_index_in_parent())
        result = {"selected": [d for f in frames() if f.path == dialog for d in describe(f)["selected"]]}
    elif op == "toggle":
        result = {"done": act(find(dialog, Atspi.Role.CHECK_BOX, arg), "toggle")}
    elif op == "press":
        result = {"done": act(find(dialog, Atspi.Role.PUSH_BUTTON, arg), "click")}
    elif op == "focus":
        result = {"done": bool(find(dialog, Atspi.Role.CHECK_BOX, arg).get_component_iface().grab_focus())}
    else:
        raise SystemExit("unknown AT-SPI operation " + op)
    print(json.dumps(result))


# --------------------------------------------------------------------------------------
# Command line


def _serve(desktop, out):
    def answer(text):
        # One line per answer, whatever an error message holds.
        out.write(" | ".join(text.splitlines()) + "\n")
        out.flush()

    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        command, args = words[0], words[1:]
        try:
            if command == "window" and len(args) in (2, 4, 5, 6) and set(args[4:]) <= {"decorated", "animate"} \
                    and len(set(args[4:])) == len(args[4:]):
                size = [int(a) for a in args[2:4]] or [640, 480]
                desktop.start_window(args[0], args[1], *size, decorated="decorated" in args[4:],
                                     animate="animate" in args[4:])
                answer("mapped")
            elif command == "pick" and len(args) in (1, 2) and args[1:] in ([], ["view-only"]):
                answer(desktop.pick(args[0], allow_input=not args[1:]))
            elif command == "allow" and not args:
                answer(desktop.allow())
            elif command == "dialog?" and not args:
                answer("yes" if desktop.dialog_open() else "no")
            elif command == "dialogs" and not args:
                answer(json.dumps(desktop.dialogs()))
            elif command == "screenshot" and len(args) == 1:
                desktop.screenshot(args[0])
                answer("saved")
            elif command == "cancel" and not args:
                answer("cancelled %d" % desktop.cancel())
            elif command == "revoke" and not args:
                answer(desktop.revoke())
            elif command == "layout" and len(args) == 1 and args[0] in ("us", "de", "ru"):
                desktop.set_layout(args[0])
                answer("layout " + args[0])
            elif command == "close" and len(args) == 1:
                desktop.close_window(args[0])
                answer("closed")
            elif command == "quit":
                answer("bye")
                return
            else:
                answer("error: unknown command: " + line.strip())
        except Exception as error:  # one failed step does not end the desktop
            answer("error: %s" % error)


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "_keymap":
        _keymap_main()
        return 0
    if len(sys.argv) >= 3 and sys.argv[1] == "_atspi":
        _atspi_main(sys.argv[2], (sys.argv[3:4] or [""])[0], " ".join(sys.argv[4:]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["start"])
    parser.add_argument("--size", default="1280x800")
    parser.add_argument("--user", help="the desktop user (default: orvo-test as root, else yourself)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    desktop = GnomeDesktop(width, height, user=args.user, keep_dir=args.keep, verbose=args.verbose)
    out = sys.stdout
    # The commands' answers are the only thing on stdout.
    sys.stdout = sys.stderr
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    try:
        desktop.start()
        for name, value in desktop.client_env().items():
            out.write("%s=%s\n" % (name, value))
        out.write("ORVO_DESKTOP_DIR=%s\n" % desktop.dir)
        out.write("ready\n")
        out.flush()
        print("[gnome_desktop] ready in %.2f s: %s" % (desktop.timings["ready"], ", ".join(
            "%s %.2f" % item for item in desktop.timings.items())), file=sys.stderr, flush=True)
        _serve(desktop, out)
    except KeyboardInterrupt:
        pass
    except DesktopError as error:
        out.write("error: %s\n" % error)
        out.flush()
        return 1
    finally:
        desktop.stop()
    return 0


if __name__ == "__main__":
    # python3-gi and python3-dbus are Debian's: a python3 of its own earlier on PATH (pyenv,
    # a virtualenv) lacks them.
    import importlib.util
    if importlib.util.find_spec("dbus") is None and \
            os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    sys.exit(main())
