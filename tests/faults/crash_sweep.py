"""Crash sweep: kills one backup run (or one pruning, or one save) at every write-type
system call it makes, then checks what is left and that the next run mends it.

Usage: crash_sweep.py <fault_driver> [backup|prune|save ...]   (all three by default)
TESSIVAR_SWEEP_BUDGET caps the kill points per operation (default 800 for the backup, two fifths of it for the pruning, a sixth for the save:
every point of this tree on this build);
when a call site has more points than its share, every k-th is tried and the step shown.
"""

import collections
import math
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

WRITE_CALLS = ["write", "pwrite64", "copy_file_range", "rename", "renameat2", "fsync",
               "fdatasync", "unlink", "unlinkat", "mkdir", "mkdirat", "symlink", "link",
               "utimensat", "chmod", "fchmod", "ftruncate", "openat"]
DAYS = ["2025-03-07", "2025-03-08", "2025-03-09"]
TODAY = "2025-03-10"


def stamp(day):
    return day[2:4] + day[5:7] + day[8:10]


class Layout:
    def __init__(self, base):
        self.base = base
        self.source = os.path.join(base, "src", "reports")
        self.run = os.path.join(base, "run")
        self.task = os.path.join(self.run, "task")
        self.dest = os.path.join(self.run, "dest")
        self.log = os.path.join(self.task, "Log", "FileBackupLog.log")
        self.config = os.path.join(self.task, "config.ini")

    def target(self, day):
        return os.path.join(self.dest, "reports_" + stamp(day))

    def template(self, name):
        return os.path.join(self.base, "template-" + name)

    def save_template(self, name):
        subprocess.run(["cp", "-a", self.run, self.template(name)], check=True)

    def restore(self, name):
        shutil.rmtree(self.run, ignore_errors=True)
        subprocess.run(["cp", "-a", self.template(name), self.run], check=True)


def driver(layout, args, day=TODAY, strace=None):
    return F.run(args, layout.task, env={"TESSIVAR_FAULT_DATE": day}, strace=strace, timeout=60)


def must(result, what):
    status, out, err = result
    if status != 0:
        raise SystemExit(f"setup step failed: {what}: {status} {out} {err}")


def build_templates(layout):
    """v1 copies of three earlier days, config and log; the source then becomes v2."""
    F.make_tree(layout.source, seed=1)
    os.makedirs(layout.task)
    must(driver(layout, ["save", layout.source, layout.dest, "3", "135", "08:30:00"]), "save")
    for day in DAYS:
        must(driver(layout, ["backup", layout.source, layout.dest], day=day), "backup " + day)
    layout.save_template("fresh")  # today's copy not made yet
    must(driver(layout, ["backup", layout.source, layout.dest]), "backup today v1")
    layout.save_template("rerun")  # today's copy made once, from v1
    v1 = F.snapshot(layout.target(DAYS[0]))
    F.write(os.path.join(layout.source, "d2", "e1", "f11.dat"), b"second version\n", 0o644,
            1_700_000_000_000_000_000)
    F.write(os.path.join(layout.source, "d3", "new.dat"), b"new file\n", 0o600,
            1_700_000_000_000_000_000)
    os.utime(os.path.join(layout.source, "d3"), ns=(1_700_000_000_000_000_000,) * 2)
    os.utime(os.path.join(layout.source, "d2", "e1"), ns=(1_700_000_000_000_000_000,) * 2)
    return v1, F.snapshot(layout.source)


def per_thread_counts(layout, args, template):
    """The most calls of each kind that one thread makes in a whole run: the range of N."""
    layout.restore(template)
    trace = os.path.join(layout.base, "trace.txt")
    command = ["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + ",".join(WRITE_CALLS),
               F.DRIVER] + args
    subprocess.run(command, cwd=layout.task, env=dict(os.environ, TESSIVAR_FAULT_DATE=TODAY),
                   capture_output=True, check=True, timeout=60)
    counts = collections.Counter()
    call = re.compile(r"^(\d+)\s+(?:<\.\.\. )?(\w+)\(")
    with open(trace, errors="replace") as f:
        for line in f:
            m = call.match(line)
            if m and "resumed>" not in line:
                counts[(m.group(1), m.group(2))] += 1
    most = collections.Counter()
    for (_, name), n in counts.items():
        most[name] = max(most[name], n)
    return most


def kill_points(most, budget):
    """(call, N) pairs; calls with few points keep them all, the rest share the budget."""
    small = {c: n for c, n in most.items() if n <= 24}
    large = {c: n for c, n in most.items() if n > 24}
    left = max(budget - sum(small.values()), len(large))
    large_total = sum(large.values())
    points, steps = [], {}
    for call, n in sorted(small.items()):
        points += [(call, i) for i in range(1, n + 1)]
    for call, n in sorted(large.items()):
        share = max(1, left * n // large_total) if large_total else n
        step = max(1, math.ceil(n / share))
        steps[call] = step
        chosen = list(range(1, n + 1, step))
        if chosen[-1] != n:
            chosen.append(n)
        points += [(call, i) for i in chosen]
    return points, steps


def copies(layout):
    return F.copies(layout.dest)


def log_is_old_or_new(old, now, source, target):
    if now == old:
        return True
    if now is None or old is None or not now.startswith(old):
        return False
    m = F.LOG_LINE.match(now[len(old):])
    return bool(m) and m.group(1) == source.encode() and m.group(2) == target.encode()


def check_dated_copies(layout, bad, v1, v2, today_allowed):
    for name in copies(layout):
        m = F.DATED.match(name)
        if not m or m.group(1) != "reports":
            bad(f"stray entry {name} in the destination")
            continue
        shot = F.snapshot(os.path.join(layout.dest, name))
        allowed = today_allowed if name == os.path.basename(layout.target(TODAY)) else [v1]
        if shot not in allowed:
            bad(f"incomplete copy {name}: {F.differences(allowed[-1], shot)}")


def check_catalogue(layout, bad, v1, v2, gone_allowed=False):
    try:
        integrity, rows = F.catalogue_rows(layout.task)
    except Exception as error:  # a catalogue that no longer opens is a bad state too
        bad(f"catalogue does not open: {error}")
        return []
    if integrity != "ok":
        bad(f"catalogue integrity: {integrity}")
    seen = set()
    for _, path, day in rows:
        if (path, day) in seen:
            bad(f"two rows for {path} {day}")
        seen.add((path, day))
        shot = F.snapshot(path)
        if shot is None and not gone_allowed:
            bad(f"row for a missing copy: {path}")
        elif shot is not None and shot not in (v1, v2):
            bad(f"row for an incomplete copy: {path}")
    return rows


def check_task_files(layout, bad, before):
    if F.read(layout.config) != before["config"]:
        bad("config.ini changed by a backup run")
    if not log_is_old_or_new(before["log"], F.read(layout.log), layout.source, layout.target(TODAY)):
        bad("log is neither the old nor the new content")


def leftovers(layout):
    return ([f"dest/{n}" for n in F.hidden_entries(layout.dest)] +
            [f"task/{n}" for n in F.hidden_entries(layout.task)] +
            [f"Log/{n}" for n in F.hidden_entries(os.path.dirname(layout.log))])


def sweep_backup(layout, v1, v2, budget, totals):
    for template, today_allowed in (("fresh", [None, v2]), ("rerun", [v1, v2])):
        args = ["backup", layout.source, layout.dest]
        most = per_thread_counts(layout, args, template)
        points, steps = kill_points(most, budget // 2)
        print(f"backup ({template} day): calls per thread {dict(sorted(most.items()))}; "
              f"{len(points)} kill points, sampled steps {steps or 'none'}", flush=True)
        layout.restore(template)
        before = {"config": F.read(layout.config), "log": F.read(layout.log)}
        for call, n in points:
            layout.restore(template)
            sweep_point(layout, totals, f"backup/{template} {call}#{n}", call, n, args,
                        lambda bad: (check_dated_copies(layout, bad, v1, v2, today_allowed),
                                     check_catalogue(layout, bad, v1, v2),
                                     check_task_files(layout, bad, before)),
                        lambda bad: after_backup(layout, bad, v2, before))


def after_backup(layout, bad, v2, before):
    status, out, err = driver(layout, ["backup", layout.source, layout.dest])
    if status != 0:
        bad(f"next backup failed: {status} {err.strip()}")
        return
    if F.snapshot(layout.target(TODAY)) != v2:
        bad("next backup did not leave a complete copy")
    rows = [r for r in F.catalogue_rows(layout.task)[1] if r[1] == layout.target(TODAY)]
    if len(rows) != 1:
        bad(f"{len(rows)} rows for today's copy after the next backup")
    log = F.read(layout.log) or b""
    if not log.endswith(layout.target(TODAY).encode() + b"\r\n"):
        bad("the next backup's log line is missing")
    for name in leftovers(layout):
        bad(f"leftover after the next backup: {name}")


def sweep_prune(layout, v1, v2, budget, totals):
    # Four copies of four days (three earlier ones and today's), keep 2: two are deleted.
    args = ["prune", "2"]
    most = per_thread_counts(layout, args, "rerun")
    points, steps = kill_points(most, budget)
    print(f"prune: calls per thread {dict(sorted(most.items()))}; {len(points)} kill points, "
          f"sampled steps {steps or 'none'}", flush=True)

    def after(bad):
        status, out, err = driver(layout, args)
        if status != 0:
            bad(f"next pruning failed: {status} {err.strip()}")
        kept = copies(layout)
        if kept != ["reports_250309", "reports_250310"]:
            bad(f"after the next pruning the copies are {kept}")
        rows = sorted(r[1] for r in F.catalogue_rows(layout.task)[1])
        if rows != [layout.target(d) for d in ("2025-03-09", TODAY)]:
            bad(f"after the next pruning the rows are {rows}")
        for name in leftovers(layout):
            bad(f"leftover after the next pruning: {name}")

    for call, n in points:
        layout.restore("rerun")
        sweep_point(layout, totals, f"prune {call}#{n}", call, n, args,
                    # The copy goes before its row, so a kill in between leaves a row for a
                    # copy that is gone; the next pruning removes it (checked below).
                    lambda bad: (check_dated_copies(layout, bad, v1, v2, [v1]),
                                 check_catalogue(layout, bad, v1, v2, gone_allowed=True)),
                    after)


def sweep_save(layout, budget, totals):
    new_args = ["save", "/srv/新的/源", "/srv/目的 地", "7", "246", "21:05:00"]
    old = {"source": layout.source, "destination": layout.dest, "count": "3",
           "days": "135", "time": "08:30"}
    new = {"source": "/srv/新的/源", "destination": "/srv/目的 地", "count": "7",
           "days": "246", "time": "21:05"}
    most = per_thread_counts(layout, new_args, "rerun")
    points, steps = kill_points(most, budget)
    print(f"save: calls per thread {dict(sorted(most.items()))}; {len(points)} kill points, "
          f"sampled steps {steps or 'none'}", flush=True)

    def loaded():
        status, out, err = driver(layout, ["load"])
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return status, values, err

    def check(bad):
        status, values, err = loaded()
        if status != 0:
            bad(f"config.ini no longer loads: {err.strip()}")
            return
        for key in old:
            # The days are ticked, never unticked, by a load: a mix of old and new lists
            # shows as their union at worst.
            if key == "days":
                continue
            if values.get(key) not in (old[key], new[key]):
                bad(f"config.ini key {key} holds {values.get(key)!r}")

    def after(bad):
        status, out, err = driver(layout, new_args)
        if status != 0:
            bad(f"next save failed: {status} {out.strip()} {err.strip()}")
        status, values, err = loaded()
        if status != 0 or any(values.get(k) != v for k, v in new.items()):
            bad(f"after the next save the settings read {values}")
        for name in leftovers(layout):
            bad(f"leftover after the next save: {name}")

    for call, n in points:
        layout.restore("rerun")
        sweep_point(layout, totals, f"save {call}#{n}", call, n, new_args, check, after)


def sweep_point(layout, totals, label, call, n, args, check, after):
    status, _, err = driver(layout, args,
                            strace=["-e", f"inject={call}:signal=KILL:when={n}"])
    if status == 0:
        totals["not reached"] += 1  # this thread count was not reached in this run
        return
    totals["kill points"] += 1
    problems = []
    bad = problems.append
    if status not in (-9, 137):
        bad(f"the killed run ended with {status}: {err.strip()[:200]}")
    check(bad)
    after(bad)
    if problems:
        totals["bad states"] += 1
        for p in problems:
            kind = re.sub(r"\S*/run/", "", p.split(": [")[0])
            kind = re.sub(r"\.tmp-[0-9a-f]+|\.[0-9a-z]{8,}\.tmp|_\d{6}", "*", kind)
            totals.setdefault("kinds", collections.Counter())[kind] += 1
        print(f"BAD {label}: " + "; ".join(problems[:4]), flush=True)


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    F.need_program("strace")
    probe = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "true"], capture_output=True)
    if probe.returncode != 0:
        F.skip(f"strace cannot trace here: {probe.stderr.decode(errors='replace').strip()}")
    wanted = sys.argv[2:] or ["backup", "prune", "save"]
    budget = int(os.environ.get("TESSIVAR_SWEEP_BUDGET", "800"))
    layout = Layout(F.scratch("sweep", memory=True))
    started = time.monotonic()
    failed = False
    try:
        v1, v2 = build_templates(layout)
        for operation in wanted:
            totals = collections.Counter()
            if operation == "backup":
                sweep_backup(layout, v1, v2, budget, totals)
            elif operation == "prune":
                sweep_prune(layout, v1, v2, budget * 2 // 5, totals)
            elif operation == "save":
                sweep_save(layout, budget // 6, totals)
            kinds = totals.pop("kinds", None)
            print(f"SWEEP {operation}: {totals['kill points']} kill points tried, "
                  f"{totals['bad states']} bad states, {totals['not reached']} N beyond the run"
                  f" ({time.monotonic() - started:.0f} s so far)", flush=True)
            for kind, count in (kinds or {}).items():
                print(f"    {count:4d} x {kind}")
            failed = failed or totals["bad states"] > 0
    finally:
        shutil.rmtree(layout.base, ignore_errors=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
