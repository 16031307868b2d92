"""Prints, as JSON, what the accessibility bus of the session in this process's environment
shows of one application: every node on screen, depth-first, as [depth, role, name (or text), x,
y, width, height] in screen coordinates. Run as `a11y.py APPLICATION` with the session's
environment (DesktopSession.shown()); it takes the session's bus from there at start."""

import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

MAX_DEPTH = 40  # a shell's tree is some twenty deep; a cycle must not run forever
MAX_NODES = 20000


def shown(node, depth, out):
    if node is None or depth > MAX_DEPTH or len(out) >= MAX_NODES:  # None: gone meanwhile
        return
    try:
        if not node.get_state_set().contains(Atspi.StateType.SHOWING):
            return
        box = node.get_extents(Atspi.CoordType.SCREEN)
        name = node.get_name()
        if not name and node.get_text_iface():  # a label's text is its name
            name = node.get_text(0, node.get_character_count())
        out.append([depth, node.get_role_name(), name or "", box.x, box.y, box.width, box.height])
        children = [node.get_child_at_index(i) for i in range(node.get_child_count())]
    except GLib.Error:
        return  # gone while we looked
    for child in children:
        shown(child, depth + 1, out)


def main():
    desktop, out = Atspi.get_desktop(0), []
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app and app.get_name() == sys.argv[1]:
                for j in range(app.get_child_count()):
                    shown(app.get_child_at_index(j), 0, out)
        except GLib.Error:
            pass  # an application that has just gone, as a shell killed a moment ago
    json.dump(out, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
