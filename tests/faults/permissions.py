"""Permissions, as the unprivileged user 65534 (root ignores permission bits): an unreadable
source file, an unwritable destination, a read-only config.ini (read-only bits, and a file of
another owner), a read-only Log folder, a read-only catalogue. Each must end in a clear error
with nothing half-done. And a source with a read-only folder, whose copies the program must
still be able to replace and prune. Needs root to change users; skips otherwise."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

NOBODY = 65534
DAY_OLD, DAY = "2025-03-09", "2025-03-10"
DAY_OLDER = "2025-03-08"


def as_nobody(args, task):
    return F.run(args, task, user=NOBODY, env={"TESSIVAR_FAULT_DATE": DAY})


def give(path):
    for folder, dirs, files in os.walk(path):
        for name in [""] + dirs + files:
            os.lchown(os.path.join(folder, name) if name else folder, NOBODY, NOBODY)


class Case:
    """A task of its own, set up by nobody: old copy, config, log."""

    def __init__(self, base, name, source):
        self.task = os.path.join(base, name, "task")
        self.dest = os.path.join(base, name, "dest")
        self.source = source
        os.makedirs(self.task)
        os.makedirs(self.dest)
        give(os.path.join(base, name))
        for args, day in ((["save", source, self.dest, "2", "135", "08:30:00"], DAY),
                          (["backup", source, self.dest], DAY_OLD)):
            status, out, err = F.run(args, self.task, user=NOBODY, env={"TESSIVAR_FAULT_DATE": day})
            assert status == 0, (args, status, err)
        self.before = self.state()

    def state(self):
        integrity, rows = F.catalogue_rows(self.task)
        return {"log": F.read(os.path.join(self.task, "Log", "FileBackupLog.log")),
                "config": F.read(os.path.join(self.task, "config.ini")),
                "integrity": integrity, "rows": rows,
                "copies": F.copies(self.dest)}

    def target(self, day):
        return os.path.join(self.dest, "reports_" + day)


def expect_clear_error(report, label, result, words):
    status, out, err = result
    print(f"{label}: exit {status}, {(err or out).strip()[:170]}")
    return report.check(status in (1, 3) and any(w in err + out for w in words),
                        f"{label}: expected an error naming {words}, got {status} {out!r} {err!r}")


def nothing_half_done(report, label, case, allow_uncatalogued_copy=False):
    after = case.state()
    report.check(after["integrity"] == "ok", f"{label}: catalogue {after['integrity']}")
    report.check(after["rows"] == case.before["rows"], f"{label}: catalogue rows changed")
    report.check(after["config"] == case.before["config"], f"{label}: config.ini changed")
    report.check(after["log"] == case.before["log"], f"{label}: log changed")
    report.check(F.hidden_entries(case.dest) == [], f"{label}: left {F.hidden_entries(case.dest)}")
    extra = sorted(set(after["copies"]) - set(case.before["copies"]))
    if extra and allow_uncatalogued_copy:
        print(f"    note: the complete copy {extra} stays without log line and row")
    elif extra:
        report.check(False, f"{label}: new entries {extra} in the destination")


def read_only_folders(report, base, source):
    """Copies keep a source folder's 0555; the program still replaces them on a rerun of the
    day and prunes them, and keeps the row of a copy it cannot delete."""
    locked = os.path.join(source, "d3", "locked")
    F.write(os.path.join(locked, "kept.dat"), b"read-only folder")
    give(os.path.join(base, "src"))
    os.chmod(locked, 0o555)
    case = Case(base, "read-only-folders", source)  # the copy of DAY_OLD
    for day in (DAY_OLDER, DAY, DAY, DAY):
        result = F.run(["backup", source, case.dest], case.task, user=NOBODY, env={"TESSIVAR_FAULT_DATE": day})
        report.check(result[0] == 0, f"read-only folder, backup on {day}: {result}")

    def rows_match(label, hidden):
        paths = sorted(r[1] for r in F.catalogue_rows(case.task)[1])
        on_disk = [os.path.join(case.dest, n) for n in F.copies(case.dest)]
        print(f"{label}: rows {[os.path.basename(p) for p in paths]}, hidden {F.hidden_entries(case.dest)}")
        report.check(paths == on_disk, f"{label}: rows {paths} but copies {on_disk}")
        report.check(F.hidden_entries(case.dest) == hidden, f"{label}: left {F.hidden_entries(case.dest)}")

    rows_match("read-only folder, three runs on one day", [])
    # Something the user cannot delete in the oldest copy: it keeps its row until it goes.
    blocker = os.path.join(case.dest, "reports_250308", "d0", "root's")
    F.write(os.path.join(blocker, "file"), b"root's")
    prune = F.run(["prune", "1"], case.task, user=NOBODY, env={"TESSIVAR_FAULT_DATE": DAY})
    report.check(prune[0] == 0, f"read-only folder, prune 1: {prune}")
    paths = [r[1] for r in F.catalogue_rows(case.task)[1]]
    report.check(paths == [case.target("250308"), case.target("250310")],
                 f"read-only folder, undeletable copy: rows {paths}")
    aside = [n for n in os.listdir(case.dest) if n.startswith(".reports_250308.") and n.endswith(".pruning")]
    give(os.path.join(case.dest, aside[0]))  # where pruning set it aside, marked with the task
    prune = F.run(["prune", "1"], case.task, user=NOBODY, env={"TESSIVAR_FAULT_DATE": DAY})
    report.check(prune[0] == 0, f"read-only folder, prune 1 again: {prune}")
    rows_match("read-only folder, pruned to 1", [])
    report.check(F.copies(case.dest) == ["reports_250310"] and not F.hidden_entries(case.dest),
                 f"pruned to {os.listdir(case.dest)}")


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    F.need_root("the permission suite")
    F.need_program("setpriv")
    report = F.Report("permissions")
    base = F.scratch("perm")
    try:
        source = F.make_tree(os.path.join(base, "src", "reports"), files=12)
        give(os.path.join(base, "src"))
        probe = F.run(["load"], base, user=NOBODY)
        if probe[0] != 0:
            F.skip(f"cannot run the driver as uid {NOBODY}: {probe}")

        case = Case(base, "unreadable-source", source)
        secret = os.path.join(source, "d2", "f10.dat")
        os.chmod(secret, 0o000)
        expect_clear_error(report, "unreadable source file", as_nobody(["backup", source, case.dest], case.task),
                           ["Permission denied"])
        nothing_half_done(report, "unreadable source file", case)
        os.chmod(secret, 0o644)

        case = Case(base, "unwritable-destination", source)
        os.chmod(case.dest, 0o555)
        expect_clear_error(report, "unwritable destination", as_nobody(["backup", source, case.dest], case.task),
                           ["Permission denied"])
        nothing_half_done(report, "unwritable destination", case)

        for label, change in (("read-only config.ini", lambda p: os.chmod(p, 0o444)),
                              ("config.ini of another owner", lambda p: (os.lchown(p, 0, 0), os.chmod(p, 0o644)))):
            case = Case(base, label.replace(" ", "-"), source)
            change(os.path.join(case.task, "config.ini"))
            result = as_nobody(["save", "/new/source", case.dest, "4", "2", "09:15:00"], case.task)
            expect_clear_error(report, label, result, ["配置文件保存失败!"])
            nothing_half_done(report, label, case)
            report.check(F.hidden_entries(case.task) == [], f"{label}: left {F.hidden_entries(case.task)}")

        case = Case(base, "read-only-log-folder", source)
        os.chmod(os.path.join(case.task, "Log"), 0o555)
        result = as_nobody(["backup", source, case.dest], case.task)
        expect_clear_error(report, "read-only Log folder", result, ["Cannot create file", "Permission denied"])
        nothing_half_done(report, "read-only Log folder", case, allow_uncatalogued_copy=True)

        case = Case(base, "read-only-catalogue", source)
        os.chmod(os.path.join(case.task, "wenjianming.mdb"), 0o444)
        result = as_nobody(["backup", source, case.dest], case.task)
        expect_clear_error(report, "read-only catalogue", result, ["readonly", "read-only", "Permission"])
        # The run checks the catalogue before it copies: no copy, no log line, no row.
        nothing_half_done(report, "read-only catalogue", case)
        result = as_nobody(["prune", "1"], case.task)
        print(f"read-only catalogue, pruning: exit {result[0]}, {result[2].strip()[:120]}")
        report.check(result[0] in (0, 1), f"read-only catalogue: prune ended with {result}")
        report.check(all(F.snapshot(r[1]) is not None for r in F.catalogue_rows(case.task)[1]),
                     "read-only catalogue: pruning deleted a copy whose row it could not remove")

        read_only_folders(report, base, source)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    report.finish()


if __name__ == "__main__":
    main()
