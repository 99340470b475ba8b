"""Hostile catalogue and settings. Catalogue rows point at /, at the home folder, at a
home-like dated folder, at the source, at the task folder, through "..", through a linked
folder, at relative paths; pruning must delete nothing of a sacrificial tree of canaries but
the real old copies. A catalogue that is not SQLite, a config.ini of garbage or of 100 MB:
nothing crashes, nothing outside is deleted."""

import os
import random
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

DAY = "2025-03-10"


def canary(folder):
    F.write(os.path.join(folder, "canary.txt"), b"must survive\n")
    return folder


def alive(folder):
    return F.read(os.path.join(folder, "canary.txt")) == b"must survive\n"


def hostile_rows(report, base):
    home = canary(os.path.join(base, "home_240101"))  # the home folder itself has a dated name
    source = os.path.join(home, "photos_240102")  # so has the source
    F.make_tree(source, files=5)
    canary(source)
    task = os.path.join(home, "task_240103")
    os.makedirs(task)
    canary(task)
    dest = os.path.join(base, "dest")
    outside = canary(os.path.join(base, "outside"))
    outside_dated = canary(os.path.join(base, "outside", "victim_240104"))
    behind_link = canary(os.path.join(base, "outside", "linked_240107"))
    os.makedirs(dest)
    os.symlink(outside, os.path.join(dest, "via"))
    os.symlink(outside_dated, os.path.join(dest, "link_240105"))
    env = {"HOME": home, "TESSIVAR_FAULT_DATE": DAY}
    status, out, err = F.run(["backup", source, dest], task, env=env)
    assert status == 0, err
    copy = os.path.join(dest, "photos_240102_250310")
    rows = [("/", "2000-01-01"), ("/_000101", "2000-01-01"), (home, "2000-01-01"),
            (os.path.dirname(home), "2000-01-01"), (source, "2000-01-01"), (task, "2000-01-01"),
            (os.path.join(dest, "..", "outside", "victim_240104"), "2000-01-01"),
            (os.path.join(dest, "via", "linked_240107"), "2000-01-01"),
            (os.path.join(dest, "link_240105"), "2000-01-01"),
            ("outside/victim_240104", "2000-01-01"), ("", "2000-01-01"),
            (os.path.join(dest, "photos_240102_250310", ".."), "2000-01-01"),
            (dest + "/", "2000-01-01"), (os.path.join(source, "d0") + "_240106", "2000-01-01"),
            ("/tmp/../" + os.path.relpath(outside_dated, "/tmp"), "2000-01-01"),
            ("\u0000" + outside_dated, "2000-01-01"), (outside_dated + "\n", "2000-01-01")]
    F.add_catalogue_rows(task, rows)
    status, out, err = F.run(["prune", "1"], os.path.join(base, "outside"), env=env)
    status, out, err = F.run(["prune", "1", source], task, env=env)
    report.check(status == 0, f"pruning hostile rows: {status} {err}")
    survivors = {"home": alive(home), "source": alive(source) and os.path.isfile(os.path.join(source, "d0", "f0.dat")),
                 "task folder": alive(task), "outside": alive(outside), "/bin": os.path.isdir("/bin"),
                 "the real copy": os.path.isdir(copy)}
    for what, ok in survivors.items():
        report.check(ok, f"pruning hostile rows deleted {what}")
    report.check(os.path.islink(os.path.join(dest, "via")), "pruning deleted the linked folder")
    report.check(alive(outside_dated), "pruning deleted a dated folder named through '..'")
    integrity, left = F.catalogue_rows(task)
    # A row reached through a linked folder is neither followed nor forgotten.
    via = os.path.join(dest, "via", "linked_240107")
    report.check(sorted(r[1] for r in left) == sorted([copy, via]) and alive(behind_link),
                 f"rows left after pruning: {[r[1] for r in left]}")
    print("hostile rows:", ", ".join(f"{k} {'kept' if v else 'DELETED'}" for k, v in survivors.items()),
          f"; dated folder named through '..': {'kept' if alive(outside_dated) else 'DELETED'}")


def garbage_catalogue(report, base):
    source = F.make_tree(os.path.join(base, "cat-src", "reports"), files=4)
    for label, content in (("random bytes", random.Random(7).randbytes(20000)),
                           ("an empty file", b""),
                           ("a text file", b"SQLite format 3\0 but not really\n" * 40)):
        task = os.path.join(base, "cat-" + label.replace(" ", "-"))
        dest = task + "-dest"
        os.makedirs(task)
        F.write(os.path.join(task, "wenjianming.mdb"), content)
        for args in (["backup", source, dest], ["prune", "1"]):
            status, out, err = F.run(args, task, env={"TESSIVAR_FAULT_DATE": DAY})
            report.check(status in (0, 1), f"catalogue of {label}, {args[0]}: ended with {status} {err}")
            report.check(status == 0 or "error:" in err, f"catalogue of {label}: no clear error")
            print(f"catalogue of {label}, {args[0]}: exit {status}, {err.strip()[:100]}")
        if content:
            report.check(F.read(os.path.join(task, "wenjianming.mdb")) == content,
                         f"catalogue of {label} was overwritten")
        else:  # what a creation cut short leaves: completed with its table, then used
            rows = F.catalogue_rows(task)[1]
            report.check(len(rows) == 1, f"catalogue of {label} was not completed: {rows}")
        report.check(alive(canary(os.path.join(base, "outside"))), "outside canary")


def garbage_config(report, base):
    rng = random.Random(11)
    contents = {"random bytes": rng.randbytes(64 * 1024),
                "no section": b"\xe5\xa4\x87=1\r\nkey\r\n=\r\n[\r\n]]]\r\n" * 100,
                "a broken time": "[备份设置]\r\n定时时刻=25:99:99\r\n".encode("gb18030"),
                "a huge count": "[备份设置]\r\n备份个数=1e400\r\n".encode("gb18030"),
                "a long value": "[备份设置]\r\n备份文件源地址=".encode("gb18030") + b"x" * 100000 + b"\r\n"}
    for label, content in contents.items():
        task = os.path.join(base, "cfg-" + label.replace(" ", "-"))
        os.makedirs(task)
        F.write(os.path.join(task, "config.ini"), content)
        status, out, err = F.run(["load"], task)
        report.check(status in (0, 1), f"config.ini of {label}: load ended with {status} {err}")
        print(f"config.ini of {label}: load exit {status} {err.strip()[:90]}")
        status, out, err = F.run(["save", "/s", "/d", "2", "1", "08:00:00"], task)
        report.check(status in (0, 3), f"config.ini of {label}: save ended with {status} {err}")
    # 100 MB, made in /tmp and removed afterwards.
    task = os.path.join(base, "cfg-100mb")
    os.makedirs(task)
    with open(os.path.join(task, "config.ini"), "wb") as f:
        f.write("[备份设置]\r\n备份个数=3\r\n".encode("gb18030"))
        line = b"filler=" + b"y" * 1000 + b"\r\n"
        for _ in range(100 * 1024):
            f.write(line)
        f.write("[备份设置]\r\n备份文件源地址=/tail\r\n".encode("gb18030"))
    for args in (["load"], ["save", "/s", "/d", "2", "1", "08:00:00"]):
        started = time.monotonic()
        status, out, err = F.run(args, task, timeout=120)
        took = time.monotonic() - started
        report.check(status in (0, 1, 3), f"config.ini of 100 MB: {args[0]} ended with {status} {err}")
        print(f"config.ini of 100 MB: {args[0]} exit {status} in {took:.1f} s {(err or out).strip()[:80]}")
    shutil.rmtree(task)


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    report = F.Report("hostile catalogue and settings")
    base = F.scratch("hostile")
    try:
        hostile_rows(report, base)
        garbage_catalogue(report, base)
        garbage_config(report, base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    report.finish()


if __name__ == "__main__":
    main()
