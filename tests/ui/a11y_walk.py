"""What a screen reader gets from the real program over AT-SPI.

Starts the program (argv[1]) with Qt's accessibility on, finds it on the accessibility bus
and checks the role, name and states of every control that takes the keyboard focus, in the
main window and in the MIDI setup dialog, and of the menu items. Then drives it with the
keyboard as a user would and checks what a reader is told: the song-mode button and the Thru
item are toggles whose changes are announced, the step count is read-only text, and each
setup list says its chosen device, also after the choice changes. Needs an X server with a
window manager (DISPLAY), a JACK server (JACK_DEFAULT_SERVER) and the accessibility bus.
"""

import os
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402
import pyatspi  # noqa: E402

TITLE = "midi pattern sequencer 1"
STARTING_NOTES = [35, 40, 42, 82]

passed = 0
failed = []


def check(ok, what):
    global passed
    if ok:
        passed += 1
    else:
        failed.append(what)
        print("FAIL: " + what, flush=True)


def pump():
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


def wait_until(condition, timeout=10.0):
    """The first true value of condition() within the deadline, else None."""
    deadline = time.monotonic() + timeout
    while True:
        pump()
        try:
            value = condition()
        except GLib.Error:
            value = None  # an object that went away while it was read
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)


def key(*keys):
    subprocess.run(["xdotool", "key", *keys], check=True)


def fresh(obj):
    """The object with what the client library has cached of it dropped."""
    Atspi.Accessible.clear_cache(obj)
    return obj


def states(obj):
    return {pyatspi.stateToString(s) for s in fresh(obj).getState().getStates()}


def descendants(obj):
    for i in range(obj.childCount):
        child = obj.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        yield from descendants(child)


def find(root, role, name=None):
    for obj in descendants(root):
        if obj.getRoleName() == role and (name is None or obj.name == name):
            return obj
    return None


def wait_focus(obj, timeout=5.0):
    """True once obj has the keyboard focus, within the deadline."""
    return obj is not None and wait_until(lambda: "focused" in states(obj), timeout) is not None


def text_of(obj):
    """The object's text, None when it offers none (a reader then has no value to read)."""
    try:
        text = obj.queryText()
    except NotImplementedError:
        return None
    return text.getText(0, text.characterCount)


def labelled_by(obj):
    for relation in obj.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            return [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return []


class Events:
    """Records the events a reader listens to."""

    def __init__(self):
        self.seen = []
        self._listener = Atspi.EventListener.new(self._record)
        for kind in ("object:state-changed:checked", "object:text-changed:insert",
                     "object:property-change:accessible-name"):
            self._listener.register(kind)

    def _record(self, event):
        try:
            self.seen.append((event.type, event.source.name, event.source.getRoleName(),
                              event.detail1, event.any_data))
        except GLib.Error:
            pass

    def wait_for(self, kind, name, detail1=None, timeout=5.0):
        def match():
            for e in self.seen:
                if e[0] == kind and e[1] == name and (detail1 is None or e[3] == detail1):
                    return e
            return None
        return wait_until(match, timeout)


def check_control(obj, role, required=(), forbidden=(), value=None):
    where = "%r (%s)" % (obj.name, obj.getRoleName())
    check(obj.getRoleName() == role, "%s should be a %s" % (where, role))
    have = states(obj)
    for s in ("enabled", "sensitive", "focusable", "showing", "visible", *required):
        check(s in have, "%s should be %s; it is %s" % (where, s, sorted(have)))
    for s in forbidden:
        check(s not in have, "%s should not be %s" % (where, s))
    if value is not None:
        current = obj.queryValue().currentValue
        check(current == value, "%s should have the value %s, has %s" % (where, value, current))


def focusables(root):
    """The controls under root that take the focus. A drop-down list's own list is part of
    it and is not walked."""
    found = []
    for i in range(root.childCount):
        child = root.getChildAtIndex(i)
        if child is None:
            continue
        if "focusable" in states(child):
            found.append(child)
        if child.getRoleName() != "combo box":
            found.extend(focusables(child))
    return found


def walk_window(frame):
    """Every control that takes the focus, each once, with its role, name and state."""
    expected = {
        "open": ("push button", (), ("checked",), None),
        "exit": ("push button", (), ("checked",), None),
        "start or stop": ("push button", (), ("checked",), None),
        "clear": ("push button", (), ("checked",), None),
        "rock": ("push button", (), ("checked",), None),
        "random pattern": ("push button", (), ("checked",), None),
        "reset voice notes": ("push button", (), ("checked",), None),
        "panic": ("push button", (), ("checked",), None),
        "song mode": ("check box", (), ("checked",), None),
        "tempo": ("scroll bar", (), (), 100.0),
        "pattern number": ("scroll bar", (), (), 0.0),
        "song list": ("text", ("editable",), ("read only",), None),
        # The program writes it; a reader takes it as a status, not as text being typed.
        "tick count": ("text", ("read only",), ("editable",), None),
    }
    for v in range(4):
        expected["voice %d note" % (v + 1)] = ("scroll bar", (), (), float(STARTING_NOTES[v]))
        for s in range(16):
            expected["voice %d, step %d" % (v + 1, s + 1)] = ("check box", (), ("checked",), None)

    found = focusables(frame)
    names = [o.name for o in found]
    check(sorted(names) == sorted(expected),
          "focusable controls of the window: missing %s, unexpected %s" %
          (sorted(set(expected) - set(names)), sorted(n for n in names if n not in expected)))
    for obj in found:
        if obj.name in expected:
            role, required, forbidden, value = expected[obj.name]
            check_control(obj, role, required, forbidden, value)
    opener = [o for o in found if o.name == "open"]
    check(bool(opener) and wait_focus(opener[0]), "focus starts on 'open'")


def walk_menus(frame):
    bar = find(frame, "menu bar")
    check(bar is not None, "the window has a menu bar")
    if bar is None:
        return
    menus = {}
    for i in range(bar.childCount):
        title = bar.getChildAtIndex(i)
        popup = title.getChildAtIndex(0)
        menus[title.name] = [(popup.getChildAtIndex(j).getRoleName(), popup.getChildAtIndex(j).name)
                             for j in range(popup.childCount)]
    check(menus == {
        "File": [("menu item", "Load Pattern"), ("menu item", "Save Pattern As..."),
                 ("separator", ""), ("menu item", "Exit")],
        # Thru is on or off: a check box in the menu, the one role that carries its state.
        "MIDI": [("menu item", "Setup"), ("check box", "Thru")],
        "Help": [("menu item", "About")],
    }, "menus as a reader gets them: %s" % menus)
    thru = find(bar, "check box", "Thru")
    if thru:
        check("checked" in states(thru), "Thru starts checked")


def song_mode(frame, events):
    # From "open", back past the step count to the song-mode button, as the user tabs.
    ticks = find(frame, "text", "tick count")
    button = find(frame, "check box", "song mode")
    key("shift+Tab")
    check(wait_focus(ticks), "Shift+Tab from 'open' reaches the step count")
    key("shift+Tab")
    check(wait_focus(button), "Shift+Tab again reaches the song-mode button")
    if button is None:
        return
    for press, on in ((1, True), (2, False)):
        key("space")
        event = events.wait_for("object:state-changed:checked", "song mode", 1 if on else 0)
        check(event is not None, "press %d of song mode is announced as %s" %
              (press, "checked" if on else "unchecked"))
        check(("checked" in states(button)) == on, "song mode is %s after press %d" %
              ("on" if on else "off", press))


def thru(frame, events):
    setup = find(frame, "menu item", "Setup")
    item = find(frame, "check box", "Thru")
    key("alt+m")
    check(wait_focus(setup), "Alt+M opens the MIDI menu on Setup")
    key("Down")
    check(wait_focus(item), "Down reaches Thru")
    if item is None:
        key("Escape", "Escape")
        return
    check("checked" in states(item), "Thru is read as checked: %s" % sorted(states(item)))
    key("Return")
    check(events.wait_for("object:state-changed:checked", "Thru", 0) is not None,
          "choosing Thru announces it unchecked")
    check("checked" not in states(item), "Thru is unchecked after it is chosen")


def setup_dialog(app, frame, events):
    key("alt+m")
    wait_focus(find(frame, "menu item", "Setup"))
    key("s")
    dialog = wait_until(lambda: find(app, "dialog", "MIDI Setup"))
    check(dialog is not None, "MIDI > Setup opens the setup dialog")
    if dialog is None:
        return
    # A port that cannot open says so in a message box over the dialog: closed here.
    def no_box():
        for i in range(app.childCount):
            w = app.getChildAtIndex(i)
            if w is not None and w.name == TITLE and w.getRoleName() != "frame" \
                    and "active" in states(w):
                key("Return")
                return False
        return "active" in states(dialog)
    check(wait_until(no_box) is not None, "the setup dialog is active")

    found = focusables(dialog)
    check(sorted(o.getRoleName() for o in found) ==
          ["combo box", "combo box", "push button", "push button"],
          "focusable controls of the dialog: %s" % [(o.getRoleName(), o.name) for o in found])
    lists = {}
    for obj in found:
        if obj.getRoleName() == "push button":
            check_control(obj, "push button")
            check(obj.name in ("Ok", "Cancel"), "a button of the dialog is %r" % obj.name)
            continue
        check_control(obj, "combo box", ("expandable",))
        labels = labelled_by(obj)
        check(len(labels) == 1, "list %r has one label: %s" % (obj.name, labels))
        if labels:
            lists[labels[0]] = obj
    check(sorted(lists) == ["MIDI In Device", "MIDI Out Device"], "the lists' labels: %s" % sorted(lists))
    check(wait_focus(lists.get("MIDI In Device")), "focus starts on the input list")

    # Each list says its chosen device: as its name and as its text. Loading chose entry 0.
    for label, combo in lists.items():
        entries = [combo.getChildAtIndex(0).getChildAtIndex(i).name
                   for i in range(combo.getChildAtIndex(0).childCount)]
        shown = text_of(combo)
        if entries:
            check(shown == entries[0] and combo.name == entries[0],
                  "%s says its chosen device %r: text %r, name %r" % (label, entries[0], shown, combo.name))
        else:
            check(shown == "" and combo.name.lower() == label.lower(),
                  "%s with no device says its label: text %r, name %r" % (label, shown, combo.name))

    out = lists.get("MIDI Out Device")
    if out is not None:
        entries = [out.getChildAtIndex(0).getChildAtIndex(i).name
                   for i in range(out.getChildAtIndex(0).childCount)]
        check(len(entries) >= 2, "the output list offers a second device: %s" % entries)
        key("Tab")
        check(wait_focus(out), "Tab reaches the output list")
        if len(entries) >= 2:
            key("Down")
            check(events.wait_for("object:text-changed:insert", entries[1]) is not None,
                  "Down on the output list announces %r" % entries[1])
            check(text_of(fresh(out)) == entries[1] and out.name == entries[1],
                  "the output list then says %r: %r" % (entries[1], text_of(out)))
    key("Tab", "Tab")
    check(wait_focus(find(dialog, "push button", "Cancel")),
          "Tab, Tab from the output list reaches Cancel")
    key("space")
    check(wait_until(lambda: find(app, "dialog", "MIDI Setup") is None) is not None,
          "Cancel closes the dialog")


def main():
    program = sys.argv[1]
    log = tempfile.NamedTemporaryFile(prefix="a11y-program-", suffix=".log", delete=False)
    # A JACK client with a MIDI input gives the output list a second device to choose.
    monitor = subprocess.Popen(["jack_midi_dump"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    proc = subprocess.Popen([program], stdout=log, stderr=subprocess.STDOUT, env=env)
    events = Events()
    try:
        def the_app():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                a = desktop.getChildAtIndex(i)
                if a is not None and a.get_process_id() == proc.pid and find(a, "frame", TITLE):
                    return a
            return None
        app = wait_until(the_app, 20)
        check(app is not None, "the program shows its window on the accessibility bus")
        if app is None:
            return
        frame = find(app, "frame", TITLE)
        win = subprocess.run(["xdotool", "search", "--sync", "--name", "^%s$" % TITLE],
                             capture_output=True, text=True, timeout=10).stdout.split()[0]
        subprocess.run(["xdotool", "windowactivate", "--sync", win], check=True, timeout=10)

        walk_window(frame)
        walk_menus(frame)
        song_mode(frame, events)
        thru(frame, events)
        setup_dialog(app, frame, events)

        # File > Exit, chosen as a reader chooses it: through the item's action. (Ended by a
        # key, the program would quit while Qt still holds that key's release for the
        # accessibility bus, which a leak check at exit then reports.)
        exit_item = find(frame, "menu item", "Exit")
        action = exit_item.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        check("Press" in names, "File > Exit can be pressed by a reader: %s" % names)
        action.doAction(names.index("Press") if "Press" in names else 0)
        try:
            rc = proc.wait(10)
        except subprocess.TimeoutExpired:
            rc = None
        check(rc == 0, "File > Exit ends the program with 0, got %s" % rc)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        monitor.terminate()
        monitor.wait()
        if failed:
            with open(log.name) as f:
                print("program output:\n" + f.read())
        os.unlink(log.name)
    print("%d passed, %d failed" % (passed, len(failed)))


if __name__ == "__main__":
    main()
    sys.exit(1 if failed else 0)
