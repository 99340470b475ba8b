"""Hostile source trees: link loops, a link to /, invalid UTF-8 names, a path deeper than
PATH_MAX, FIFOs, a device file, a socket, entries of other owners, a file that vanishes or
shrinks during the copy. No run may hang (each has a
timeout), nothing outside the source may be read into the copy or deleted, and each run ends
in a clear error or a faithful copy."""

import os
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

DAY = "2025-03-10"


def backup(task, source, dest, strace=None, timeout=30):
    try:
        return F.run(["backup", source, dest], task, env={"TESSIVAR_FAULT_DATE": DAY},
                     strace=strace, timeout=timeout)
    except subprocess.TimeoutExpired:
        return ("hang", "", "")


def faithful_or_clear(report, label, result, source, dest):
    status, out, err = result
    target = os.path.join(dest, os.path.basename(source) + "_250310")
    if status == 0:
        diff = F.differences(F.snapshot(source), F.snapshot(target))
        report.check(not diff, f"{label}: the copy differs: {diff}")
        print(f"{label}: faithful copy")
    else:
        report.check(status == 1 and "error:" in err, f"{label}: {status} {err!r}")
        report.check(not os.path.exists(target), f"{label}: a failed run left {target}")
        print(f"{label}: exit {status}, {err.strip()[:150]}")
    report.check(F.hidden_entries(dest) == [], f"{label}: left {F.hidden_entries(dest)}")


def links_and_names(report, base, task, dest):
    source = os.path.join(base, "links", "reports")
    F.make_tree(source, files=6)
    outside = os.path.join(base, "outside")
    F.write(os.path.join(outside, "canary.txt"), b"outside the source\n")
    os.symlink("loop-b", os.path.join(source, "loop-a"))
    os.symlink("loop-a", os.path.join(source, "loop-b"))
    os.symlink("..", os.path.join(source, "d0", "up"))
    os.symlink(".", os.path.join(source, "self"))
    os.symlink("/", os.path.join(source, "root"))
    os.symlink(outside, os.path.join(source, "outside"))
    os.symlink("missing/target", os.path.join(source, "dangling"))
    bad_names = [b"bad-\xff\xfe.txt", b"latin1-caf\xe9", b"\xc3(", b"line\nbreak", b" lead blank"]
    for name in bad_names:
        F.write(os.path.join(os.fsencode(source), name), b"named in bytes\n")
    os.makedirs(os.path.join(os.fsencode(source), b"dir-\x80\x81"))
    F.write(os.path.join(os.fsencode(source), b"dir-\x80\x81", b"inner"), b"x")
    start = time.monotonic()
    result = backup(task, source, dest)
    faithful_or_clear(report, "link loops, link to /, invalid UTF-8 names", result, source, dest)
    report.check(time.monotonic() - start < 20, "link loops: took too long")
    target = os.path.join(dest, "reports_250310")
    if os.path.isdir(target):
        report.check(os.path.islink(os.path.join(target, "root")), "the link to / was not kept as a link")
        report.check(not os.path.exists(os.path.join(target, "outside", "..", "reports_250310", "canary.txt"))
                     or os.path.islink(os.path.join(target, "outside")), "a link was followed")
        # Pruning that copy must delete the links, never what they point at.
        F.add_catalogue_rows(task, [(target, "2000-01-01")])
        F.run(["backup", os.path.join(base, "links", "reports"), dest], task,
              env={"TESSIVAR_FAULT_DATE": "2025-03-11"})
        status, out, err = F.run(["prune", "1"], task, env={"TESSIVAR_FAULT_DATE": "2025-03-11"})
        report.check(status == 0, f"pruning a copy full of links: {status} {err}")
        report.check(not os.path.exists(target), "pruning left the copy full of links")
        report.check(F.read(os.path.join(outside, "canary.txt")) == b"outside the source\n",
                     "pruning a copy with a link outside deleted what the link points at")
        report.check(os.path.isdir(source) and os.path.exists("/bin"), "pruning followed a link")
    shutil.rmtree(dest, ignore_errors=True)


def deep_path(report, base, task, dest):
    source = os.path.join(base, "deep", "reports")
    os.makedirs(source)
    here = os.open(".", os.O_RDONLY)
    try:
        os.chdir(source)
        for _ in range(24):  # 24 * 201 bytes: about 4.8 kB, beyond PATH_MAX (4096)
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
        with open("deepest.txt", "wb") as f:
            f.write(b"at the bottom\n")
    finally:
        os.fchdir(here)
        os.close(here)
    result = backup(task, source, dest, timeout=60)
    status, out, err = result
    target = os.path.join(dest, "reports_250310")
    if status == 0:
        report.check(os.path.isdir(target), "deep path: done without a copy")
        print("deep path: copied")
    else:
        report.check(status == 1 and "error:" in err, f"deep path: {status} {err!r}")
        print(f"deep path: exit {status}, {err.strip()[-120:]}")
    report.check(status == 0 or not os.path.exists(target), "deep path: a failed run left the copy")
    report.check(F.hidden_entries(dest) == [], f"deep path: left {F.hidden_entries(dest)}")
    shutil.rmtree(dest, ignore_errors=True)
    shutil.rmtree(os.path.join(base, "deep"), ignore_errors=True)


def fifos(report, base, task, dest):
    source = os.path.join(base, "fifo", "reports")
    F.make_tree(source, files=4)
    os.mkfifo(os.path.join(source, "pipe"))
    os.mkfifo(os.path.join(source, "d0", "pipe2"))
    result = backup(task, source, dest, timeout=20)
    report.check(result[0] != "hang", "a FIFO in the source hung the run")
    target = os.path.join(dest, "reports_250310")
    if result[0] == 0:
        diff = F.differences(F.snapshot(source), F.snapshot(target))
        report.check(diff == [], f"FIFO: {diff}")
        print("FIFOs in the source: copied as FIFOs")
    else:
        print(f"FIFOs in the source: exit {result[0]}, {result[2].strip()[:120]}")
    shutil.rmtree(dest, ignore_errors=True)
    pipe = os.path.join(base, "fifo", "lone-pipe")
    os.mkfifo(pipe)
    result = backup(task, pipe, dest, timeout=20)
    report.check(result[0] == 1 and "error:" in result[2], f"a FIFO as the source: {result}")
    print(f"a FIFO as the source: exit {result[0]}, {result[2].strip()[:120]}")
    shutil.rmtree(dest, ignore_errors=True)


def owned(root):
    """The snapshot with owners and device numbers."""
    return {rel: entry + (lambda st: (st.st_uid, st.st_gid, st.st_rdev))(os.lstat(os.path.join(root, rel)))
            for rel, entry in (F.snapshot(root) or {}).items()}


def specials_and_owners(report, base):
    """As root the copy keeps all but the socket, owners and set-ID bits too. As nobody the
    device file is left out as well, and the copy is nobody's, with set-ID bits only where
    the source was nobody's too."""
    source = os.path.join(base, "owners", "reports")
    os.makedirs(os.path.join(source, "theirs"))
    os.mkfifo(os.path.join(source, "pipe"), 0o640)
    os.mknod(os.path.join(source, "null"), stat.S_IFCHR | 0o644, os.makedev(1, 3))
    socket.socket(socket.AF_UNIX).bind(os.path.join(source, "socket"))
    os.symlink("theirs", os.path.join(source, "link"))
    for name, owner, mode in (("setuid", 0, 0o4755), ("given", 1234, 0o2755), ("mine", 65534, 0o6755),
                              ("theirs", 2222, 0o755), ("null", 2222, 0o644), ("link", 2222, None)):
        path = os.path.join(source, name)
        os.path.lexists(path) or F.write(path, b"#!/bin/sh\n")
        os.lchown(path, owner, owner)
        mode and os.chmod(path, mode)
    for user in (None, 65534):
        task, dest = (os.path.join(base, "owners", f"{user}-{part}") for part in ("task", "dest"))
        for folder in (task, dest):
            os.makedirs(folder)
            os.chown(folder, 65534, 65534)
        status, out, err = F.run(["backup", source, dest], task, env={"TESSIVAR_FAULT_DATE": DAY}, user=user)
        log = (F.read(os.path.join(task, "Log", "FileBackupLog.log")) or b"").decode("gb18030")
        left = [line.strip() for line in log.splitlines() if "未复制" in line]
        expected = {rel: entry[:1] + (entry[1] & ~(0o6000 if user and rel != "mine" else 0),) + entry[2:-3]
                    + ((user, user, 0) if user else entry[-3:]) for rel, entry in owned(source).items()
                    if rel not in ("socket", "null" if user else "")}
        report.check(status == 0 and left == ["未复制：null（无权创建设备文件）"] * bool(user) +
                     ["未复制：socket（套接字无法复制）"], f"special entries as {user}: {status} {err!r} {left}")
        copy = owned(os.path.join(dest, "reports_250310"))
        report.check(F.differences(expected, copy) == [], f"as {user}: {F.differences(expected, copy)}")
        print(f"special entries and owners as {user or 'root'}: exit {status}, {left}")


def changing_files(report, base, task, dest):
    """The copy is held up on entry to its first data copy; meanwhile a file is removed and
    another one cut short."""
    if shutil.which("strace") is None:
        print("SKIP part: strace is missing, no vanishing files")
        return
    for what in ("vanish", "shrink"):
        source = os.path.join(base, what, "reports")
        F.make_tree(source, files=30)
        victim = os.path.join(source, "d3", "e1", "f7.dat")  # the 300 kB file
        removed = []

        def meddle():
            time.sleep(0.25)
            if what == "vanish":
                for folder, _, files in os.walk(source):
                    for name in files:
                        if name.endswith(("1.dat", "5.dat")):
                            os.unlink(os.path.join(folder, name))
                            removed.append(name)
            else:
                with open(victim, "r+b") as f:
                    f.truncate(10)

        helper = threading.Thread(target=meddle)
        helper.start()
        result = backup(task, source, dest,
                        strace=["-e", "inject=copy_file_range,pwrite64:delay_enter=600000:when=1"], timeout=40)
        helper.join()
        status, out, err = result
        target = os.path.join(dest, "reports_250310")
        label = f"a file that {'vanishes' if what == 'vanish' else 'shrinks'} during the copy"
        report.check(status != "hang", f"{label}: hung")
        # A vanished file is simply not in the copy: the run completes without it.
        report.check(what == "shrink" or status == 0, f"{label}: {status} {err!r}")
        if what == "vanish" and status == 0:
            copied = F.snapshot(target)
            report.check(len(copied) < len(F.snapshot(source)) + len(removed),
                         f"{label}: every removed file is still in the copy")
        if status == 0:
            copied = F.read(os.path.join(target, "d3", "e1", "f7.dat"))
            now = F.read(victim)
            print(f"{label}: done; the copy of the cut file holds {len(copied or b'')} bytes "
                  f"(the source now {len(now or b'')})")
            report.check(copied is None or now is None or copied == now or len(copied) > len(now),
                         f"{label}: a copy that is neither the old nor the new file")
        else:
            report.check(status == 1 and "error:" in err, f"{label}: {status} {err!r}")
            report.check(not os.path.exists(target), f"{label}: a failed run left the copy")
            print(f"{label}: exit {status}, {err.strip()[:150]}")
        report.check(F.hidden_entries(dest) == [], f"{label}: left {F.hidden_entries(dest)}")
        shutil.rmtree(dest, ignore_errors=True)


def threads_refused(report, base, task, dest):
    """The system refuses every copy thread, or every one after the first (clone3 fails with
    EAGAIN): the copy goes on with the threads it has."""
    if shutil.which("strace") is None:
        print("SKIP part: strace is missing, no refused threads")
        return
    source = os.path.join(base, "threads", "reports")
    F.make_tree(source, files=30)
    for when in ("1+", "2+"):
        result = backup(task, source, dest,
                        strace=["-e", f"inject=clone3:error=EAGAIN:when={when}"])
        label = f"threads refused from the {when[0]}. on"
        report.check(result[0] == 0, f"{label}: {result[0]} {result[2]!r}")
        faithful_or_clear(report, label, result, source, dest)
        shutil.rmtree(dest, ignore_errors=True)


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    report = F.Report("hostile trees")
    base = F.scratch("trees")
    try:
        task = os.path.join(base, "task")
        os.makedirs(task)
        dest = os.path.join(base, "dest")
        links_and_names(report, base, task, dest)
        deep_path(report, base, task, dest)
        fifos(report, base, task, dest)
        specials_and_owners(report, base)
        changing_files(report, base, task, dest)
        threads_refused(report, base, task, dest)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    report.finish()


if __name__ == "__main__":
    main()
