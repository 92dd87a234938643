"""keytap --portal against the real xdg-desktop-portal frontend and a GlobalShortcuts backend the
tests steer (conftest.py): what the desktop binds, presses and drops reaches the host."""
import subprocess
import time

import dbus
import dbus.lowlevel
import pytest

from conftest import BINARY, KDE_BACKEND, Keytap

CHORD = "Control+Shift+K"


def binding(accelerator, state, trigger=""):
    return {"t": "binding", "d": {"accelerator": accelerator, "state": state, "trigger": trigger}}


def reply(kind, accelerator):
    return {"t": kind, "d": {"accelerator": accelerator}}


def status(listening, reason=None):
    said = {"listening": listening}
    if reason:
        said["reason"] = reason
    return {"t": "status", "d": said}


READY = {"t": "ready", "d": {"available": True, "permission": "granted"}}


def bound(start, *args, current_desktop=None):
    keytap = start("--backend=portal", *args, current_desktop=current_desktop)
    keytap.expect(READY)
    keytap.send("register", CHORD)
    keytap.expect(reply("registered", CHORD), binding(CHORD, "bound", "Press CTRL+SHIFT+k"))
    return keytap


def test_the_desktop_binds_presses_repeats_and_releases(desktop, start):
    keytap = start("--backend=portal")
    keytap.expect(READY)
    for accelerator in (CHORD, "Alt+F13"):
        keytap.send("register", accelerator)
    keytap.expect(reply("registered", CHORD), reply("registered", "Alt+F13"))
    said = [keytap.next(), keytap.next()]
    assert sorted(said, key=str) == sorted([binding(CHORD, "bound", "Press CTRL+SHIFT+k"),
                                            binding("Alt+F13", "bound", "Press ALT+XF86Tools")], key=str)
    assert desktop.mock.BindCount() == 1  # registrations that come together, bound together
    for _ in range(3):
        desktop.mock.Press(CHORD)  # the desktop repeats while the keys are held
    desktop.mock.Release(CHORD)
    keytap.expect(reply("down", CHORD), reply("up", CHORD))
    keytap.quiet()


@pytest.mark.parametrize("code, left_out, state", [
    (1, [], "refused"),        # the user said no
    (0, [CHORD], "refused"),   # the desktop left it out
    (2, [CHORD], "failed"),
    (2, [], "bound"),          # GNOME 48 answers a bind that worked with 2
])
def test_the_desktops_answer(desktop, start, code, left_out, state):
    desktop.mock.AnswerBinds(code, left_out)
    keytap = start("--backend=portal")
    keytap.expect(READY)
    keytap.send("register", CHORD)
    trigger = "Press CTRL+SHIFT+k" if state == "bound" else ""
    keytap.expect(reply("registered", CHORD), binding(CHORD, state, trigger))


def test_the_user_rebinds_then_drops_it(desktop, start):
    keytap = bound(start)
    desktop.mock.ChangeTrigger(CHORD, "Ctrl+Alt+J")
    keytap.expect(binding(CHORD, "bound", "Ctrl+Alt+J"))
    desktop.mock.ChangeTrigger(CHORD, "")
    keytap.expect(binding(CHORD, "unbound"))


def test_one_activation_fires_its_own_registration(desktop, start):
    keytap = start("--backend=portal")
    keytap.expect(READY)
    for accelerator in (CHORD, "Ctrl+Shift+K"):
        keytap.send("register", accelerator)
    keytap.expect(reply("registered", CHORD), reply("registered", "Ctrl+Shift+K"))
    said = [keytap.next(), keytap.next()]
    assert {line["d"]["accelerator"] for line in said} == {CHORD, "Ctrl+Shift+K"}
    desktop.mock.Press("Ctrl+Shift+K")
    desktop.mock.Release("Ctrl+Shift+K")
    keytap.expect(reply("down", "Ctrl+Shift+K"), reply("up", "Ctrl+Shift+K"))
    keytap.quiet()


def test_signals_from_anyone_but_the_portal_count_for_nothing(desktop, start):
    keytap = bound(start, "--status")
    session = str(desktop.mock.Session())
    keytap_name = ":" + session.split("/")[-2].replace("_", ".")
    forger = dbus.bus.BusConnection(desktop.env["DBUS_SESSION_BUS_ADDRESS"])
    portal = "org.freedesktop.portal.Desktop"
    for path, interface, member, signature, args in [
            ("/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts",
             "Activated", "osta{sv}", [dbus.ObjectPath(session), CHORD, dbus.UInt64(0), {}]),
            (session, "org.freedesktop.portal.Session", "Closed", "", []),
            ("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", "sss",
             [portal, forger.get_name_owner(portal), forger.get_unique_name()])]:
        forged = dbus.lowlevel.SignalMessage(path, interface, member)
        forged.set_destination(keytap_name)
        forged.append(*args, signature=signature)
        forger.send_message(forged)
    forger.flush()
    keytap.quiet(0.5)
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))
    forger.close()


@pytest.mark.parametrize("session_handle", ["", "not a path", "/a//b", "/org/example/elsewhere"])
def test_a_portal_that_answers_with_no_session_handle(desktop, start, session_handle):
    desktop.start_hostile_portal(session_handle)
    keytap = start("--backend=portal")
    keytap.expect({"t": "ready", "d": {"available": True, "permission": "denied"}})
    keytap.send("register", CHORD)
    keytap.expect({"t": "error", "d": {"code": "forbidden",
                                       "message": "the desktop refused a shortcut session"}})


def test_a_portal_that_never_answers_is_asked_once_at_start(desktop, start):
    hostile = desktop.start_hostile_portal(None)
    keytap = start("--backend=portal")
    keytap.expect({"t": "ready", "d": {"available": True, "permission": "denied"}})
    keytap.send("register", CHORD)  # at once after the wait: not asked again so soon
    keytap.expect({"t": "error", "d": {"code": "forbidden", "message": (
        "the desktop's portal did not answer in time")}})
    assert hostile.SessionsAsked() == 1


def test_a_desktop_that_closes_every_session_is_asked_less_and_less(desktop, start):
    keytap = bound(start, "--status")
    desktop.mock.CloseAfterBinds(True)
    keytap.send("register", "Alt+F13")
    keytap.expect(reply("registered", "Alt+F13"), binding("Alt+F13", "bound",
                                                          "Press ALT+XF86Tools"),
                  status(False, "shortcut session closed"))
    # Tried again after 1 s, then 2 s: three binds in all over 2.5 s, not hundreds.
    keytap.expect(status(True), status(False, "shortcut session closed"))
    keytap.quiet(1.0)
    assert desktop.mock.BindCount() == 3
    keytap.send("unregister", "Alt+F13")  # commands are answered meanwhile
    keytap.expect(reply("unregistered", "Alt+F13"))


def test_the_session_token_names_the_host(desktop):
    """KDE files the shortcuts of an app without an id under the session's token: the same for
    each run of one host, another for another host (here a shell between the test and keytap)."""
    env = dict(desktop.env, WAYLAND_DISPLAY="wayland-keytap-test")
    tokens = []
    for launcher in ([], [], ["/bin/sh", "-c", '"$0" "$@"; true']):
        keytap = Keytap([*launcher, BINARY, "--backend=portal"], env)
        keytap.expect(READY)
        keytap.send("register", CHORD)
        keytap.expect(reply("registered", CHORD), binding(CHORD, "bound", "Press CTRL+SHIFT+k"))
        tokens.append(str(desktop.mock.Session()).rsplit("/", 1)[1])
        keytap.process.stdin.close()  # keytap ends, and with it the shell
        assert keytap.process.wait(timeout=10) == 0
    assert tokens[0].startswith("keytap_")
    assert tokens[0] == tokens[1] != tokens[2]


def test_where_the_session_bus_is_found(desktop, tmp_path):
    """Without a usable DBUS_SESSION_BUS_ADDRESS: the bus at $XDG_RUNTIME_DIR/bus, else none;
    never one started for keytap."""
    empty = tmp_path / "empty"
    empty.mkdir()
    runtime = desktop.env["XDG_RUNTIME_DIR"]
    rows = [(None, str(empty), "denied"), ("autolaunch:", str(empty), "denied"),
            ("unix:path=/nonexistent;autolaunch:", runtime, "denied"),
            (None, runtime, "granted"), ("autolaunch:", runtime, "granted")]
    for address, runtime, permission in rows:
        env = dict(desktop.env, XDG_RUNTIME_DIR=runtime)
        del env["DBUS_SESSION_BUS_ADDRESS"]
        if address:
            env["DBUS_SESSION_BUS_ADDRESS"] = address
        trace = tmp_path / "trace"
        keytap = Keytap(["strace", "-f", "-qq", "-e", "trace=execve", "-o", str(trace), BINARY,
                         "--backend=portal"], env)
        keytap.expect({"t": "ready", "d": {"available": True, "permission": permission}})
        keytap.process.stdin.close()
        assert keytap.process.wait(timeout=10) == 0
        assert trace.read_text().count("execve(") == 1, (address, trace.read_text())  # its own
    del env["DBUS_SESSION_BUS_ADDRESS"]
    keytap = Keytap([BINARY, "--backend=portal"], env=dict(env, XDG_RUNTIME_DIR=str(empty)))
    keytap.expect({"t": "ready", "d": {"available": True, "permission": "denied"}})
    keytap.send("register", CHORD)
    keytap.expect({"t": "error", "d": {"code": "forbidden", "message": (
        "no D-Bus session bus (none in DBUS_SESSION_BUS_ADDRESS, none at $XDG_RUNTIME_DIR/bus)")}})
    keytap.end()


def test_an_unanswered_bind_gives_way_to_the_next_set(desktop, start):
    desktop.mock.HoldBinds(True)  # a dialog nobody closes
    keytap = start("--backend=portal")
    keytap.expect(READY)
    keytap.send("register", CHORD)
    keytap.expect(reply("registered", CHORD))
    keytap.quiet()
    desktop.mock.HoldBinds(False)
    keytap.send("register", "Alt+F13")
    keytap.expect(reply("registered", "Alt+F13"))
    said = [keytap.next(), keytap.next()]
    assert sorted(said, key=str) == sorted([
        binding(CHORD, "bound", "Press CTRL+SHIFT+k"),
        binding("Alt+F13", "bound", "Press ALT+XF86Tools")], key=str)
    assert desktop.mock.LastBind() == ["Alt+F13", CHORD]


def test_a_closed_session_ends_the_hold_and_binds_again(desktop, start):
    keytap = bound(start, "--release-stale-holds", "--status")
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))
    desktop.mock.CloseSession()
    keytap.expect(status(False, "shortcut session closed"), reply("up", CHORD), status(True))
    keytap.quiet()
    assert desktop.mock.BindCount() == 2
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))


def test_a_session_that_did_not_open_again_is_tried_again_later(desktop, start):
    keytap = bound(start)  # no --status: nothing else would try again
    desktop.mock.RefuseSessions(True)
    desktop.mock.CloseSession()
    keytap.quiet()
    desktop.mock.RefuseSessions(False)
    deadline = time.monotonic() + 10
    while desktop.mock.BindCount() < 2:
        assert time.monotonic() < deadline, "no session was opened again"
        time.sleep(0.05)
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))


def test_a_restarted_portal(desktop, start):
    keytap = bound(start, "--release-stale-holds", "--status")
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))
    desktop.stop_portal()
    keytap.expect(status(False, "shortcut session closed"), reply("up", CHORD))
    desktop.start_portal()
    keytap.expect(status(True))
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))


@pytest.mark.parametrize("desktop, current_desktop, binds", [
    (KDE_BACKEND, "KDE", 1),  # Plasma before 6.5: a listed shortcut is live, a bind opens settings
    (KDE_BACKEND, "GNOME", 2),  # KDE's backend's name, owned in another desktop's session
    ("org.freedesktop.impl.portal.desktop.keytaptest", None, 2),  # elsewhere a bind makes it live
], indirect=["desktop"])
def test_a_new_session_binds_unless_kdes_listing_is_live(desktop, start, current_desktop, binds):
    bound(start, current_desktop=current_desktop).end()
    bound(start, current_desktop=current_desktop)
    assert desktop.mock.BindCount() == binds


@pytest.mark.parametrize("desktop", [KDE_BACKEND], indirect=True)
def test_kdes_live_listing_is_taken_only_when_it_is_exactly_the_set(desktop, start):
    keytap = bound(start)
    keytap.send("register", "Alt+F13")
    keytap.expect(reply("registered", "Alt+F13"), binding("Alt+F13", "bound", "Press ALT+XF86Tools"))
    keytap.end()
    bound(start)  # Alt+F13 listed too: a bind drops it, else it stays taken from every window
    assert desktop.mock.LastBind() == [CHORD]


def test_a_changed_set_is_bound_whole_in_a_new_session(desktop, start):
    keytap = bound(start)
    keytap.send("register", "Alt+F13")
    keytap.expect(reply("registered", "Alt+F13"),
                  binding("Alt+F13", "bound", "Press ALT+XF86Tools"))
    assert desktop.mock.LastBind() == ["Alt+F13", CHORD]
    keytap.send("unregister", "Alt+F13")
    keytap.expect(reply("unregistered", "Alt+F13"))
    keytap.quiet()  # the chord's binding has not changed
    assert desktop.mock.LastBind() == [CHORD]  # the desktop lets go of the key
    desktop.mock.Press(CHORD)
    keytap.expect(reply("down", CHORD))


def test_what_keytap_refuses_itself(start):
    keytap = start("--backend=portal", "--extended-keys", "--mouse-buttons", "--capture")
    keytap.expect(READY)
    text = "a key that types text, which the desktop would take from every window: "
    rows = [
        ("Shift+A", text), ("Space", text), ("Numpad5", text),
        ("Control", "not available on this platform: "),
        ("MouseBack", "not available on this platform: "),
        ("LeftControl+K", "not available on this platform: "),
        ("Control+Space", None), ("F13", None),
    ]
    for accelerator, refusal in rows:
        keytap.send("register", accelerator)
        if refusal:
            keytap.expect({"t": "error", "d": {"code": "bad_request",
                                               "message": refusal + accelerator}})
        else:
            keytap.expect(reply("registered", accelerator))
    keytap.send("capture")  # only bound shortcuts come through the portal
    keytap.expect({"t": "error", "d": {"code": "bad_request",
                                       "message": "not available on this platform: capture"}})


def test_without_a_portal(desktop, start):
    desktop.stop_portal()
    keytap = start("--backend=portal")
    keytap.expect({"t": "ready", "d": {"available": True, "permission": "denied"}})
    keytap.send("register", CHORD)
    keytap.expect({"t": "error", "d": {"code": "forbidden",
                                       "message": "no desktop portal on the session bus"}})


def test_doctor_suggests_the_portal_where_evdev_reads_nothing(desktop):
    env = dict(desktop.env, WAYLAND_DISPLAY="wayland-keytap-test")
    doctor = subprocess.run([BINARY, "--doctor"], env=env, capture_output=True, text=True,
                            timeout=30, check=False)
    assert "portal: The desktop's portal offers global shortcuts (GlobalShortcuts version 1)." \
        in doctor.stdout
    assert "Start keytap with --portal" in doctor.stdout
