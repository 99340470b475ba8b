"""Shared helpers of the fault scripts: trees, snapshots, the driver, mounts, skips."""

import hashlib
import os
import re
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile
import time

SKIP = 77
DRIVER = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
LOG_LINE = re.compile(rb"^\d{6} \d{1,2}:\d{2}:\d{2}   (.*)   " +
                      "成功备份至".encode("gb18030") + rb"   (.*)\r\n$")
DATED = re.compile(r"^(.*)_(\d{6})$")


def skip(message):
    print("SKIP:", message)
    sys.exit(SKIP)


def need_root(what):
    if os.geteuid() != 0:
        skip(f"{what} needs root (mount, setpriv); running as uid {os.geteuid()}")


def need_program(name):
    if shutil.which(name) is None:
        skip(f"{name} is not installed")


def scratch(prefix, memory=False):
    """A fresh scratch folder that nobody (uid 65534 included) is kept out of; in memory
    (/dev/shm) when asked and possible, where a sync costs nothing."""
    where = "/dev/shm" if memory and os.access("/dev/shm", os.W_OK) else None
    folder = tempfile.mkdtemp(prefix=f"tessivar-{prefix}-", dir=where)
    os.chmod(folder, 0o755)
    return folder


def write(path, data, mode=0o644, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)
    if mtime is not None:
        os.utime(path, ns=(mtime, mtime))


def make_tree(root, files=50, seed=1):
    """About `files` files over nested folders, with a link, a hard link, odd modes, an
    empty file and one bigger file; fixed times so two snapshots can be compared."""
    base = 1_600_000_000_000_000_000 + seed
    for i in range(files):
        folder = os.path.join(root, f"d{i % 4}", f"e{i % 3}") if i % 5 else os.path.join(root, f"d{i % 4}")
        size = 0 if i == 3 else 97 * i + (300_000 if i == 7 else 0)
        data = hashlib.sha256(f"{seed}:{i}".encode()).digest() * (size // 32 + 1)
        mode = (0o600, 0o644, 0o755, 0o640)[i % 4]
        write(os.path.join(folder, f"f{i}.dat"), data[:size], mode, base + i * 1_000_000_007)
    os.symlink("d0/f0.dat", os.path.join(root, "link"))
    os.link(os.path.join(root, "d1", "e1", "f1.dat"), os.path.join(root, "d1", "hard"))
    for folder, _, _ in os.walk(root):
        os.utime(folder, ns=(base, base))
    return root


def snapshot(root):
    """Everything a faithful copy keeps, by relative path; None when root is missing."""
    try:
        os.lstat(root)
    except FileNotFoundError:
        return None
    result = {}
    inodes = {}
    for folder, dirs, files in os.walk(root):
        for name in sorted(dirs) + sorted(files) + [""]:
            path = os.path.join(folder, name) if name else folder
            st = os.lstat(path)
            rel = os.path.relpath(path, root)
            kind = stat.S_IFMT(st.st_mode)
            entry = [kind, stat.S_IMODE(st.st_mode), st.st_mtime_ns]
            if stat.S_ISREG(kind):
                with open(path, "rb") as f:
                    entry.append(hashlib.sha256(f.read()).hexdigest())
                if st.st_nlink > 1:
                    entry.append(inodes.setdefault(st.st_ino, rel))
            elif stat.S_ISLNK(kind):
                entry.append(os.readlink(path))
            result[rel] = tuple(entry)
    return result


def differences(expected, actual, limit=3):
    if expected is None or actual is None:
        return [f"expected {'nothing' if expected is None else 'a tree'}, "
                f"found {'nothing' if actual is None else 'a tree'}"]
    lines = []
    for rel in sorted(set(expected) | set(actual)):
        if expected.get(rel) != actual.get(rel):
            lines.append(f"{rel}: {expected.get(rel)} != {actual.get(rel)}")
    return lines[:limit]


def run(args, cwd, env=None, timeout=60, user=None, strace=None):
    """Runs the driver; returns (status, stdout, stderr). user=65534 drops to nobody."""
    command = [DRIVER] + list(args)
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + command
    if strace is not None:
        command = ["strace", "-f", "-qq", "-o", "/dev/null"] + strace + command
    full_env = dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen")
    full_env.update(env or {})
    done = subprocess.run(command, cwd=cwd, env=full_env, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def catalogue_rows(task):
    """(integrity text, rows) of the task's catalogue; opening it rolls back a hot journal,
    as the next start of the program would."""
    db = sqlite3.connect(f"file:{os.path.join(task, 'wenjianming.mdb')}?mode=rw", uri=True)
    try:
        integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
        rows = db.execute("SELECT id, wenjianming, shijian FROM wenjianming ORDER BY id").fetchall()
    finally:
        db.close()
    return integrity, rows


def add_catalogue_rows(task, rows):
    db = sqlite3.connect(os.path.join(task, "wenjianming.mdb"))
    with db:
        db.executemany("INSERT INTO wenjianming(wenjianming, shijian) VALUES (?, ?)", rows)
    db.close()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def copies(folder):
    """The copies in a destination folder, by name. A copy's checksum manifest is left out of
    the list when sha256sum itself finds it matches its copy; a manifest that does not, or
    whose copy is missing, stays in, so that no comparison with the expected copies holds."""
    names = [n for n in os.listdir(folder) if not n.startswith(".") and n != "lost+found"]
    return sorted(n for n in names if not (
        n.endswith(".sha256") and n[:-7] in names and subprocess.run(
            ["sha256sum", "-c", "--strict", "--quiet", n], cwd=folder,
            capture_output=True).returncode == 0))


def hidden_entries(folder):
    try:
        return sorted(n for n in os.listdir(folder) if n.startswith(".") and n != ".tessivar.lock")
    except FileNotFoundError:
        return []


class Tmpfs:
    """A small tmpfs mounted on `folder` for the block's lifetime; unmounted in every case."""

    def __init__(self, folder, size="1m"):
        self.folder, self.size, self.mounted = folder, size, False

    def __enter__(self):
        os.makedirs(self.folder, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.size},mode=0755",
                               "tmpfs", self.folder], capture_output=True)
        if done.returncode != 0:
            skip(f"cannot mount a tmpfs: {done.stderr.decode(errors='replace').strip()}")
        self.mounted = True
        return self

    def __exit__(self, *exc):
        if self.mounted:
            for attempt in range(50):
                if subprocess.run(["umount", self.folder], capture_output=True).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                subprocess.run(["umount", "-l", self.folder])
        return False


def fill(folder):
    """Fills the file system of folder to the last byte; the filler's path, or None when
    not even its name fits."""
    path = os.path.join(folder, "filler")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    except OSError:
        return None
    try:
        for chunk in (b"\0" * 65536, b"\0" * 512, b"\0"):
            try:
                while os.write(fd, chunk) > 0:
                    pass
            except OSError:
                pass
    finally:
        os.close(fd)
    return path


class Report:
    """Counts checks and failures; prints one line per failure and a summary."""

    def __init__(self, title):
        self.title, self.checks, self.failures = title, 0, []

    def check(self, ok, what):
        self.checks += 1
        if not ok:
            self.failures.append(what)
            print("FAIL:", what, flush=True)
        return ok

    def finish(self):
        print(f"{self.title}: {self.checks} checks, {len(self.failures)} failed")
        sys.exit(1 if self.failures else 0)
