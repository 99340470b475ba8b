"""Reading the program's texts through the accessibility tree (AT-SPI)."""

import sys
import time

try:
    import pyatspi
except ImportError:  # run by a Python that lacks Debian's bindings
    pyatspi = None


def available():
    return pyatspi is not None


def set_timeout(msecs):
    """How long a query waits for the program's answer before failing; libatspi's default
    is 800 ms, a query that times out ends early as if answered."""
    pyatspi.setTimeout(msecs, 15000)


def application(pid, timeout=10):
    """The program's accessible application object, once it has joined the bus."""
    deadline = time.monotonic() + timeout
    attempts = 0
    while True:
        try:
            desktop = pyatspi.Registry.getDesktop(0)
            attempts += 1
            if attempts % 10 == 0:
                # The list of applications is cached and kept by signals; a missed one
                # would hide a new application for good.
                desktop.clear_cache()
            for index in range(desktop.childCount):
                app = desktop.getChildAtIndex(index)
                if app is not None and app.get_process_id() == pid:
                    return app
        except Exception:
            pass
        if time.monotonic() >= deadline:
            try:
                desktop = pyatspi.Registry.getDesktop(0)
                seen = [(a.name, a.get_process_id()) for a in desktop if a is not None]
            except Exception as error:
                seen = repr(error)
            print(f"a11y: no application of pid {pid} among {seen}", file=sys.stderr)
            return None
        time.sleep(0.1)


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        count = node.childCount
    except Exception:
        return
    for index in range(count):
        try:
            child = node.getChildAtIndex(index)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def find(root, name=None, role=None, description=None):
    for node in walk(root):
        try:
            if name is not None and node.name != name:
                continue
            if description is not None and node.description != description:
                continue
            if role is not None and node.getRoleName() != role:
                continue
            return node
        except Exception:
            continue
    return None


def find_all(root, role):
    result = []
    for node in walk(root):
        try:
            if node.getRoleName() == role:
                result.append(node)
        except Exception:
            continue
    return result


def text_of(node):
    """The text a node shows: its Text interface, else its description; None when it
    offers neither."""
    if node is None:
        return None
    try:
        return node.queryText().getText(0, -1)
    except Exception:
        pass
    try:
        if node.description:
            return node.description
    except Exception:
        pass
    return None


def states(node):
    try:
        return {pyatspi.stateToString(s) for s in node.getState().getStates()}
    except Exception:
        return set()


def frames(app):
    """The top-level windows (frames and dialogs) of the application, by name."""
    result = []
    try:
        for index in range(app.childCount):
            child = app.getChildAtIndex(index)
            if child is not None:
                result.append(child)
    except Exception:
        pass
    return result


def labels_text(node):
    """The names of the labels inside node, joined: the text of a message box."""
    names = []
    for child in walk(node):
        try:
            if child.getRoleName() in ("label", "static") and child.name:
                names.append(child.name)
        except Exception:
            continue
    return " | ".join(names)
