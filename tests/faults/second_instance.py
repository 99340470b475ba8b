"""A second instance in the same task folder: the backup of one and the pruning of the other
never interleave. One process is slowed down under strace so that the other one starts while
the first is inside its run; the driver writes when each enters and leaves the locked part.
The same pair without the lock shows that the window is wide enough to catch an overlap."""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402


def spans(trace):
    begins, result = {}, []
    with open(trace) as f:
        for line in f:
            pid, event, op, ns = line.split()
            if event == "begin":
                begins[pid] = (op, int(ns))
            else:
                op, start = begins.pop(pid)
                result.append((start, int(ns), op, pid))
    # A run that never reached its end (it failed) lasts, for the overlap, for ever.
    result += [(start, float("inf"), op + " (failed)", pid) for pid, (op, start) in begins.items()]
    return sorted(result), begins


def overlapping(intervals):
    return any(a[1] > b[0] for a, b in zip(intervals, intervals[1:]))


def start(base, args, trace, slow_call=None, no_lock=False):
    env = dict(os.environ, LC_ALL="C.UTF-8", TESSIVAR_FAULT_TRACE=trace,
               TESSIVAR_FAULT_DATE="2025-03-10")
    if no_lock:
        env["TESSIVAR_FAULT_NO_LOCK"] = "1"
    command = [F.DRIVER] + args
    if slow_call:
        # Every call of that kind waits 15 ms on entry: the run lasts long enough for the
        # other instance to start inside it.
        command = ["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                   f"inject={slow_call}:delay_enter=15000"] + command
    return subprocess.Popen(command, cwd=os.path.join(base, "task"), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def pair(base, first, second, slow_call, no_lock):
    shutil.rmtree(os.path.join(base, "task"))
    shutil.rmtree(os.path.join(base, "dest"))
    subprocess.run(["cp", "-a", os.path.join(base, "template", "task"),
                    os.path.join(base, "template", "dest"), base], check=True)
    trace = os.path.join(base, "trace")
    if os.path.exists(trace):
        os.unlink(trace)
    a = start(base, first, trace, slow_call, no_lock)
    deadline = time.monotonic() + 20
    while not (os.path.exists(trace) and os.path.getsize(trace) > 0) and time.monotonic() < deadline:
        time.sleep(0.005)
    b = start(base, second, trace, None, no_lock)
    results = [p.communicate(timeout=60) + (p.returncode,) for p in (a, b)]
    intervals, unfinished = spans(trace)
    return results, intervals, unfinished


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    F.need_program("strace")
    report = F.Report("second instance")
    base = F.scratch("second")
    try:
        source = F.make_tree(os.path.join(base, "src", "reports"), files=40)
        dest = os.path.join(base, "dest")
        os.makedirs(os.path.join(base, "task"))
        for day in ("2025-03-07", "2025-03-08", "2025-03-09"):
            F.run(["backup", source, dest], os.path.join(base, "task"),
                  env={"TESSIVAR_FAULT_DATE": day})
        os.makedirs(os.path.join(base, "template"))
        subprocess.run(["cp", "-a", os.path.join(base, "task"), dest,
                        os.path.join(base, "template")], check=True)
        cases = [("backup then prune", ["backup", source, dest], ["prune", "1"], "copy_file_range"),
                 ("prune then backup", ["prune", "1"], ["backup", source, dest], "unlinkat"),
                 ("backup then backup", ["backup", source, dest], ["backup", source, dest],
                  "copy_file_range")]
        for name, first, second, slow in cases:
            seen_overlap = None
            for no_lock in (True, False):
                results, intervals, unfinished = pair(base, first, second, slow, no_lock)
                overlap = overlapping(intervals)
                label = f"{name} {'without' if no_lock else 'with'} the lock"
                print(f"{label}: spans (ms) " +
                      ", ".join(f"{op} {(s - intervals[0][0]) / 1e6:.0f}-{(e - intervals[0][0]) / 1e6:.0f}"
                                for s, e, op, _ in intervals) +
                      f"; exits {[r[2] for r in results]}" +
                      f"; {'interleaved' if overlap else 'one after the other'}")
                if no_lock:
                    seen_overlap = overlap
                    continue
                for out, err, status in results:
                    report.check(status == 0, f"{label}: an instance failed: {status} {err.decode()}")
                report.check(len(intervals) == 2 and not unfinished, f"{label}: {intervals}")
                copies = F.copies(dest)
                integrity, rows = F.catalogue_rows(os.path.join(base, "task"))
                report.check(integrity == "ok", f"{label}: catalogue integrity {integrity}")
                report.check(sorted(os.path.basename(r[1]) for r in rows) == copies,
                             f"{label}: rows {rows} against copies {copies}")
                report.check(not overlap, f"{label}: the two runs interleaved")
            report.check(seen_overlap, f"{name}: without the lock the runs did not overlap, "
                                       "so the test window is too narrow to prove anything")

        # A lock file that cannot be made: the run refuses with a clear error, copies nothing.
        lock = os.path.join(base, "task", ".tessivar.lock")
        os.unlink(lock)
        os.mkdir(lock)
        shutil.rmtree(dest)
        status, out, err = F.run(["backup", source, dest], os.path.join(base, "task"))
        report.check(status == 1 and "Cannot lock the task folder" in err,
                     f"lock file in the way: {status} {err}")
        report.check(not os.path.exists(dest), "a run without its lock still copied")
        print("lock file in the way:", err.strip())
    finally:
        shutil.rmtree(base, ignore_errors=True)
    report.finish()


if __name__ == "__main__":
    main()
