#!/usr/bin/python3
"""A desktop notification service for tests: owns org.freedesktop.Notifications on the session bus
it finds (run it under dbus-run-session, never on a real desktop's bus) and appends every Notify
call to a file as one line of JSON: app_name, replaces_id, app_icon, summary, body, what a service
with body markup shows of the body ("shown": its text with the tags dropped and the entities read,
or null when the body is no well-formed markup, which such a service fails on), urgency (the hint's
value, null when absent) and its D-Bus type ("y", a byte, as the protocol has it), the hints' keys,
expire_timeout and the id it answered.

    notification_recorder.py [--silent] RECORD_FILE

--silent: own the name and never answer a call, as a service that has hung.

Prints "ready" on standard output once it owns the name, and exits on SIGTERM or SIGINT, or with
status 2 when the name is taken by another service.
"""
import json
import signal
import sys
import xml.etree.ElementTree as ElementTree

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


def shown_text(body):
    """The body as a service that reads it as markup shows it, or None when it is no markup."""
    try:
        return "".join(ElementTree.fromstring("<markup>" + body + "</markup>").itertext())
    except ElementTree.ParseError:
        return None


class Recorder:
    def __init__(self, path, silent):
        self.out = open(path, "a", encoding="utf-8")
        self.next_id = 1
        self.shown = set()
        self.silent = silent
        self.unanswered = []

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
            "shown": shown_text(body),
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
        if self.silent:
            self.unanswered.append(invocation)  # kept, so that no answer ever goes out
        elif method == "Notify":
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
    args = sys.argv[1:]
    silent = bool(args) and args[0] == "--silent"
    if silent:
        args = args[1:]
    if len(args) != 1:
        sys.stderr.write(__doc__)
        return 1
    recorder = Recorder(args[0], silent)
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
