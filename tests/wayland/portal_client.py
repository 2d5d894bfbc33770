"""A small client of the desktop portal's ScreenCast and RemoteDesktop interfaces, as the host
uses them: every request answered through its Request object's Response signal, waited for
with a deadline. dbus-python with the GLib main loop; no threads.
"""

import secrets
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"
REMOTE = "org.freedesktop.portal.RemoteDesktop"
SESSION = "org.freedesktop.portal.Session"
REQUEST = "org.freedesktop.portal.Request"


class PortalError(RuntimeError):
    pass


def plain(value):
    """dbus-python values as plain Python values, for printing as JSON."""
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32,
                          dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    return value


class PortalClient:
    def __init__(self, address):
        self.bus = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
        self.portal = self.bus.get_object(PORTAL, PORTAL_PATH)
        self.sender = self.bus.get_unique_name()[1:].replace(".", "_")
        self.closed_sessions = []      # (session path, details) of every Session.Closed seen
        self.bus.add_signal_receiver(self._on_closed, signal_name="Closed", dbus_interface=SESSION,
                                     path_keyword="path")

    def _on_closed(self, *args, path=None):
        self.closed_sessions.append((str(path), plain(args[0]) if args else {}))

    def pump(self, seconds=0.0):
        """Runs the main loop for `seconds` (at least one pass), dispatching signals."""
        context = GLib.MainContext.default()
        end = time.monotonic() + seconds
        while True:
            while context.pending():
                context.iteration(False)
            if time.monotonic() >= end:
                return
            context.iteration(False) or time.sleep(0.01)

    def wait(self, condition, timeout):
        end = time.monotonic() + timeout
        while not condition():
            if time.monotonic() >= end:
                return False
            self.pump(0.02)
        return True

    def prop(self, interface, name):
        return self.portal.Get(interface, name, dbus_interface=dbus.PROPERTIES_IFACE)

    def props(self, interface):
        return plain(self.portal.GetAll(interface, dbus_interface=dbus.PROPERTIES_IFACE))

    def begin(self, interface, method, *args, options=None):
        """Calls a request method; returns a handle whose result() waits for its Response.
        The handle token is chosen here, so the Response subscription exists before the call."""
        token = "orvo" + secrets.token_hex(6)
        options = dict(options or {})
        options["handle_token"] = token
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (self.sender, token)
        pending = PendingRequest(self, path, method)
        getattr(self.portal, method)(*args, options, dbus_interface=interface, timeout=30)
        return pending

    def request(self, interface, method, *args, options=None, timeout=30):
        return self.begin(interface, method, *args, options=options).result(timeout)

    def create_session(self, interface):
        token = "orvo" + secrets.token_hex(6)
        code, results = self.request(interface, "CreateSession",
                                     options={"session_handle_token": token})
        if code != 0:
            raise PortalError("CreateSession answered %d" % code)
        return str(results["session_handle"])

    def close_session(self, session):
        self.bus.get_object(PORTAL, session).Close(dbus_interface=SESSION)

    def open_pipewire_remote(self, interface, session):
        fd = self.portal.OpenPipeWireRemote(dbus.ObjectPath(session), dbus.Dictionary({}, signature="sv"),
                                            dbus_interface=interface)
        return fd.take()

    def remote(self, method, session, *args):
        """A RemoteDesktop Notify* call (no Response)."""
        getattr(self.portal, method)(dbus.ObjectPath(session), dbus.Dictionary({}, signature="sv"), *args,
                                     dbus_interface=REMOTE)


class PendingRequest:
    def __init__(self, client, path, method):
        self.client = client
        self.path = path
        self.method = method
        self.response = None
        self.started = time.monotonic()
        self.answered_after = None
        self._match = client.bus.add_signal_receiver(
            self._on_response, signal_name="Response", dbus_interface=REQUEST, path=path)

    def _on_response(self, code, results):
        self.response = (int(code), plain(results))
        self.answered_after = time.monotonic() - self.started
        self._match.remove()

    def done(self):
        self.client.pump()
        return self.response is not None

    def result(self, timeout=30):
        if not self.client.wait(lambda: self.response is not None, timeout):
            raise PortalError("%s: no Response within %.0f s" % (self.method, timeout))
        return self.response
