"""Full disks: the destination, then the task folder (log, catalogue, config), each on a
1 MiB tmpfs. Every run must end in a clear error with the old copies, the log, the catalogue
and config.ini as they were (or, for the task folder, the new log line with no row lost).
Needs root for mount; skips otherwise. Every mount is undone whatever happens."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

DAY_OLD, DAY = "2025-03-09", "2025-03-10"


def state(task, dest):
    integrity, rows = F.catalogue_rows(task)
    return {"log": F.read(os.path.join(task, "Log", "FileBackupLog.log")),
            "config": F.read(os.path.join(task, "config.ini")),
            "integrity": integrity, "rows": rows,
            "copies": {n: F.snapshot(os.path.join(dest, n)) for n in F.copies(dest)
                       if n != "filler"}}


def prepare(task, dest, source):
    status, out, err = F.run(["save", source, dest, "2", "1234567", "08:30:00"], task)
    assert status == 0, err
    status, out, err = F.run(["backup", source, dest], task, env={"TESSIVAR_FAULT_DATE": DAY_OLD})
    assert status == 0, err


def clear_error(report, label, result):
    status, out, err = result
    # A copy that cannot fit is refused before it starts; one that runs out of room fails.
    refused = status == 2 and "目的地址空间不足" in err
    report.check(refused or (status in (1, 3) and ("error:" in err or "失败" in out)),
                 f"{label}: expected a clear error, got {status} {out!r} {err!r}")
    print(f"{label}: exit {status}, {(err or out).strip()[:160]}")


def destination_full(report, base, source_small, source_big):
    task = os.path.join(base, "task1")
    dest = os.path.join(base, "dest1")
    os.makedirs(task)
    with F.Tmpfs(dest):
        prepare(task, dest, source_small)
        before = state(task, dest)
        result = F.run(["backup", source_big, dest], task, env={"TESSIVAR_FAULT_DATE": DAY})
        clear_error(report, "destination full (copy larger than the disk)", result)
        report.check(state(task, dest) == before, "destination full: something changed")
        report.check(F.hidden_entries(dest) == [], f"destination full: left {F.hidden_entries(dest)}")
        # The same, with the disk filled to the last byte before the run starts.
        F.fill(dest)
        result = F.run(["backup", source_small, dest], task, env={"TESSIVAR_FAULT_DATE": DAY})
        clear_error(report, "destination filled to the last byte", result)
        report.check(state(task, dest) == before, "destination filled: something changed")
        report.check(F.hidden_entries(dest) == [], f"destination filled: left {F.hidden_entries(dest)}")


def task_folder_full(report, base, source):
    """The task folder filled so that only `free` bytes are left, for several amounts: the
    run fails at the log or at the catalogue; what it leaves must be whole."""
    for free in (0, 4096, 8192, 16384, 32768, 65536):
        task = os.path.join(base, f"task-{free}")
        dest = os.path.join(base, f"dest-{free}")
        with F.Tmpfs(task):
            prepare(task, dest, source)
            before = state(task, dest)
            filler = F.fill(task)
            if filler:
                with open(filler, "r+b") as f:
                    f.truncate(max(0, os.path.getsize(filler) - free))
            result = F.run(["backup", source, dest], task, env={"TESSIVAR_FAULT_DATE": DAY})
            after = state(task, dest)
            label = f"task folder with {free} bytes free"
            status = result[0]
            if status == 0:
                print(f"{label}: the run fitted")
            else:
                clear_error(report, label, result)
            report.check(after["integrity"] == "ok", f"{label}: catalogue {after['integrity']}")
            report.check(after["config"] == before["config"], f"{label}: config.ini changed")
            new_log = after["log"] or b""
            report.check(new_log == before["log"] or
                         (new_log.startswith(before["log"]) and
                          F.LOG_LINE.match(new_log[len(before["log"]):])),
                         f"{label}: the log is neither old nor old plus one line")
            report.check(all(F.snapshot(r[1]) is not None for r in after["rows"]),
                         f"{label}: a row for a missing copy")
            report.check(all(v == before["copies"][next(iter(before["copies"]))]
                             for v in after["copies"].values()), f"{label}: an incomplete copy")
            report.check(F.hidden_entries(dest) == [], f"{label}: left {F.hidden_entries(dest)}")
            stray = F.hidden_entries(task) + F.hidden_entries(os.path.join(task, "Log"))
            report.check(stray == [], f"{label}: temporaries left in the task folder {stray}")
            target = os.path.join(dest, "reports_250310")
            if status != 0 and os.path.exists(target):
                logged = new_log != before["log"]
                rowed = any(r[1] == target for r in after["rows"])
                print(f"    note: the copy {os.path.basename(target)} stays, log line "
                      f"{'written' if logged else 'not written'}, row {'written' if rowed else 'not written'}")
            # The save on the same full disk reports its failure and keeps the file.
            status, out, err = F.run(["save", "/elsewhere/新", dest, "5", "1", "09:00:00"], task)
            report.check(status in (0, 3), f"{label}: save ended with {status} {err}")
            report.check(status == 0 or F.read(os.path.join(task, "config.ini")) == before["config"],
                         f"{label}: a failed save changed config.ini")
            if status == 3:
                print(f"{label}: save reports {out.strip()}")
            # Pruning on the full disk: a clear error or done; the catalogue stays whole.
            status, out, err = F.run(["prune", "1"], task, env={"TESSIVAR_FAULT_DATE": DAY})
            integrity, rows = F.catalogue_rows(task)
            report.check(status in (0, 1) and integrity == "ok",
                         f"{label}: prune ended with {status} {err}, catalogue {integrity}")
            shutil.rmtree(dest)


def sized_for_two(report, base):
    """A 72 MiB ext4 disk, a 25 MiB source, two copies kept, one --backup-now of the real
    program a day under a moved clock: each day makes room by removing the oldest copy."""
    image, dest, task = (os.path.join(base, n) for n in ("two.img", "two", "task-two"))
    source = os.path.join(base, "source-two", "photos")
    for i in range(5):
        F.write(os.path.join(source, f"p{i}.bin"), os.urandom(5 << 20))
    os.makedirs(dest)
    subprocess.run(["truncate", "-s", "72M", image], check=True)
    subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True)
    if subprocess.run(["mount", "-o", "loop", image, dest]).returncode != 0:
        print("skipped: a sized disk (mount -o loop refused)")
        return

    def backup_now(day, count):
        os.makedirs(task, exist_ok=True)
        F.write(os.path.join(task, "config.ini"), (
            f"[备份设置]\r\n备份文件源地址={source}\r\n备份文件目的地址={dest}\r\n"
            f"备份个数={count}\r\n").encode("gb18030"))
        done = subprocess.run(["faketime", f"2027-01-{day:02d} 10:00:00", os.environ["TESSIVAR_BINARY"],
                               "--task", task, "--backup-now"], capture_output=True, text=True)
        return done.returncode, done.stderr

    copies = lambda: F.copies(dest)
    for day in range(1, 6):
        status, err = backup_now(day, 2)
        report.check(status == 0, f"sized disk, day {day}: exit {status} {err!r}")
    _, rows = F.catalogue_rows(task)
    log = F.read(os.path.join(task, "Log", "FileBackupLog.log")).decode("gb18030")
    report.check(copies() == ["photos_270104", "photos_270105"], f"sized disk: copies {copies()}")
    report.check([r[2] for r in rows] == ["2027-01-04", "2027-01-05"], f"sized disk: rows {rows}")
    report.check(log.count("为腾出空间删除：") == 3, f"sized disk: log {log!r}")
    # The disk unplugged: its empty mount folder is not taken for it; plugged again, it is.
    subprocess.run(["umount", dest], check=True)
    status, err = backup_now(6, 2)
    report.check(status == 1 and err == f"备份目的地址所在的磁盘未连接（{dest}），本次未备份！\n"
                 and os.listdir(dest) == [] and F.catalogue_rows(task)[1] == rows,
                 f"sized disk unplugged: exit {status} {err!r} {os.listdir(dest)}")
    subprocess.run(["mount", "-o", "loop", image, dest], check=True)
    # Count 1 and a source that cannot fit beside the one copy; then a disk too small for one.
    for extra, count in ((40, 1), (90, 2)):
        F.write(os.path.join(source, "extra.bin"), b"\0" * (extra << 20))
        before = copies()
        status, err = backup_now(6, count)
        report.check(status == 1 and err.startswith("目的地址空间不足：需要 ") and copies() == before,
                     f"sized disk, {extra} MiB more, count {count}: exit {status} {err!r} {copies()}")
    print(f"sized disk: five days, two copies kept, {log.count('为腾出空间删除：')} removed to make room")


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    F.need_root("the full-disk suite")
    report = F.Report("full disk")
    base = F.scratch("disk")
    try:
        small = F.make_tree(os.path.join(base, "small", "reports"), files=10)
        big = os.path.join(base, "big", "reports")
        F.make_tree(big, files=30)
        F.write(os.path.join(big, "large.bin"), os.urandom(1536 * 1024))
        destination_full(report, base, small, big)
        task_folder_full(report, base, small)
        sized_for_two(report, base)
    finally:
        mounted = subprocess.run(["findmnt", "-rn", "-o", "TARGET"], capture_output=True, text=True).stdout
        for line in mounted.splitlines():
            if line.startswith(base):
                subprocess.run(["umount", "-l", line])
        shutil.rmtree(base, ignore_errors=True)
    report.finish()


if __name__ == "__main__":
    main()
