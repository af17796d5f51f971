#!/usr/bin/python3
"""A desktop notification service for tests: owns org.freedesktop.Notifications on the session bus
it finds (run it under dbus-run-session, never on a real desktop's bus) and appends every Notify
call to a file as one line of JSON: app_name, replaces_id, app_icon, summary, body, urgency (the
hint's value, null when absent) and its D-Bus type ("y", a byte, as the protocol has it), the
hints' keys, expire_timeout and the id it answered.

    notification_recorder.py RECORD_FILE

Prints "ready" on standard output once it owns the name, and exits on SIGTERM or SIGINT, or with
status 2 when the name is taken by another service.
"""
import json
import signal
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg direction="in" type="s" name="app_name"/>
      <arg direction="in" type="u" name="replaces_id"/>
      <arg direction="in" type="s" name="app_icon"/>
      <arg direction="in" type="s" name="summary"/>
      <arg direction="in" type="s" name="body"/>
      <arg direction="in" type="as" name="actions"/>
      <arg direction="in" type="a{sv}" name="hints"/>
      <arg direction="in" type="i" name="expire_timeout"/>
      <arg direction="out" type="u" name="id"/>
    </method>
    <method name="CloseNotification">
      <arg direction="in" type="u" name="id"/>
    </method>
    <method name="GetCapabilities">
      <arg direction="out" type="as" name="capabilities"/>
    </method>
    <method name="GetServerInformation">
      <arg direction="out" type="s" name="name"/>
      <arg direction="out" type="s" name="vendor"/>
      <arg direction="out" type="s" name="version"/>
      <arg direction="out" type="s" name="spec_version"/>
    </method>
  </interface>
</node>
"""


class Recorder:
    def __init__(self, path):
        self.out = open(path, "a", encoding="utf-8")
        self.next_id = 1
        self.shown = set()

    def notify(self, params):
        app_name, replaces_id, app_icon, summary, body, _actions, hints, expire = params.unpack()
        urgency_variant = params.get_child_value(6).lookup_value("urgency", None)
        # As a real service does: a shown notification is replaced under its id, anything else
        # gets a new one.
        if replaces_id in self.shown:
            nid = replaces_id
        else:
            nid = self.next_id
            self.next_id += 1
        self.shown.add(nid)
        urgency = hints.get("urgency")
        record = {
            "app_name": app_name,
            "replaces_id": replaces_id,
            "app_icon": app_icon,
            "summary": summary,
            "body": body,
            "urgency": int(urgency) if urgency is not None else None,
            "urgency_type": urgency_variant.get_type_string() if urgency_variant is not None else None,
            "hints": sorted(hints.keys()),
            "expire_timeout": expire,
            "id": nid,
        }
        self.out.write(json.dumps(record) + "\n")
        self.out.flush()
        return nid

    def call(self, _conn, _sender, _path, _iface, method, params, invocation):
        if method == "Notify":
            invocation.return_value(GLib.Variant("(u)", (self.notify(params),)))
        elif method == "CloseNotification":
            self.shown.discard(params.unpack()[0])
            invocation.return_value(None)
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["body"],)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("recorder", "tests", "1", "1.2")))
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 1
    recorder = Recorder(sys.argv[1])
    loop = GLib.MainLoop()
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    status = {"code": 0}

    def on_bus(conn, _name):
        conn.register_object("/org/freedesktop/Notifications", node.interfaces[0], recorder.call, None, None)

    def on_name(_conn, _name):
        print("ready", flush=True)

    def on_lost(_conn, _name):
        status["code"] = 2
        loop.quit()

    Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications",
                     Gio.BusNameOwnerFlags.DO_NOT_QUEUE, on_bus, on_name, on_lost)
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    loop.run()
    return status["code"]


if __name__ == "__main__":
    sys.exit(main())
