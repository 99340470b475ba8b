"""Crash states in the manner of ALICE (Pillai et al., OSDI 2014). Traces real runs of
`tessivar --task T --backup-now` under strace, replays the calls that change the file system on
a model of the task folder and the destination, and checks the states a power cut could leave:
after each call with everything before it on the disk ("prefixes"), and such states with one
call that no fsync, fdatasync or syncfs had made durable yet left out. Then the next run must
mend each state. Scenarios: the first run of a task, a same-day rerun, a next-day run that prunes.

Usage: crash_states.py <tessivar>   (TESSIVAR_BINARY, when set, is used instead: CTest passes
the fault driver). Checked per scenario: every prefix; every call left out at the last moment it
can be; TESSIVAR_CRASH_SAMPLE (default 40) of the other states with a call left out, seed 1.
"""

import copy
import ctypes
import multiprocessing
import os
import random
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

CALLS = ("open,openat,creat,write,pwrite64,copy_file_range,ftruncate,fallocate,mkdir,mkdirat,rename,"
         "renameat,renameat2,unlink,unlinkat,rmdir,link,linkat,symlink,symlinkat,chmod,fchmod,fchmodat,"
         "chown,fchown,lchown,fchownat,utimensat,fsync,fdatasync,syncfs,sync,sync_file_range")
# The argument that names what a call changes (0 when not listed); the source of a link or rename.
TARGET = {"openat": 1, "mkdirat": 1, "unlinkat": 1, "fchmodat": 1, "symlink": 1, "symlinkat": 2, "link": 1,
          "linkat": 3, "rename": 1, "renameat": 3, "renameat2": 3, "copy_file_range": 2}
SAMPLE = int(os.environ.get("TESSIVAR_CRASH_SAMPLE", "40"))
LOST = b"\xffLOST-IN-THE-CRASH\xff"  # written where data did not reach the disk: never matches
FD = re.compile(r"^(-?\d+|AT_FDCWD)<((?:\\x[0-9a-f]{2})*)>$")
ENTRY_OPS = ("new", "link", "unlink", "rename", "exchange")
G = {}  # what the worker processes share: paths, the scenario, the model and its ops


def unhex(text):
    return bytes.fromhex(text.replace("\\x", "")).decode("utf-8", "surrogateescape")


def parse_trace(path):
    """(name, args, result) of each call that succeeded, in the order the calls returned."""
    pending, calls = {}, []
    for line in open(path):
        pid, rest = line.rstrip("\n").split(None, 1)
        if rest.endswith("<unfinished ...>"):
            pending[pid] = rest[:-len("<unfinished ...>")]
            continue
        resumed = re.match(r"<\.\.\. \w+ resumed>(.*)", rest)
        m = re.match(r"^(\w+)\((.*)\) += (\d+)", pending.pop(pid, "") + resumed.group(1) if resumed else rest)
        if m:  # arguments split at the commas outside brackets
            calls.append((m.group(1), [x.strip() for x in re.findall(r"(?:\[[^\]]*\]|[^,\[])+", m.group(2))]
                          or [""], int(m.group(3))))
    return calls


class Model:
    """Nodes by number: kind ("d", "f", "l"), data (a folder's maps names to nodes), mode, mtime
    (None: the time of the crash). Ops name nodes, so a lost rename moves nothing else."""

    def __init__(self, roots=()):
        self.nodes, inodes = {}, {}
        self.roots = {root: self.scan(root, inodes) for root in roots}

    def scan(self, path, inodes):
        st = os.lstat(path)
        if st.st_ino not in inodes:
            node = inodes[st.st_ino] = len(self.nodes)
            kind = "l" if os.path.islink(path) else "d" if os.path.isdir(path) else "f"
            data = {"l": lambda: os.readlink(path), "f": lambda: bytearray(F.read(path)), "d": dict}[kind]()
            self.nodes[node] = {"kind": kind, "data": data, "mode": st.st_mode & 0o7777, "mtime": st.st_mtime_ns}
            for name in sorted(os.listdir(path)) if kind == "d" else []:
                data[name] = self.scan(os.path.join(path, name), inodes)
        return inodes[st.st_ino]

    def lookup(self, path):
        """(folder node, name) of a path under a root; None outside the roots or when missing."""
        for root, node in self.roots.items():
            if path.startswith(root + "/"):
                *folders, name = path[len(root) + 1:].split("/")
                for part in folders:
                    node = self.nodes[node]["data"].get(part) if self.nodes[node]["kind"] == "d" else None
                    if node is None:
                        return None
                return node, name
        return None

    def node(self, path):
        where = self.lookup(path)
        return self.roots.get(path, where and self.nodes[where[0]]["data"].get(where[1]))

    def apply(self, op):
        kind, a, n = op[0], op[1:], self.nodes
        if kind == "sync" or any(x not in n for x in (a[::2] if kind in ("rename", "exchange", "link") else a[:1])):
            return  # a node this state lacks: its creation did not reach the disk
        if kind in ENTRY_OPS:
            n[a[0]]["mtime"] = None
        if kind == "new":  # folder, name, node, kind, mode, link target
            n[a[2]] = {"kind": a[3], "mode": a[4], "mtime": None, "data": {"d": {}, "f": bytearray(), "l": a[5]}[a[3]]}
            n[a[0]]["data"][a[1]] = a[2]
        elif kind == "link":  # folder, name, node
            n[a[0]]["data"][a[1]] = a[2]
        elif kind == "unlink" and n[a[0]]["data"].get(a[1]) == a[2]:
            del n[a[0]]["data"][a[1]]
        elif kind in ("rename", "exchange") and a[1] in n[a[0]]["data"]:  # folder, name, folder, name
            moved, there = n[a[0]]["data"].pop(a[1]), n[a[2]]["data"].get(a[3])
            n[a[2]]["data"][a[3]], n[a[2]]["mtime"] = moved, None
            if kind == "exchange" and there is not None:
                n[a[0]]["data"][a[1]] = there
        elif kind == "data":  # node, offset, bytes; None: the size becomes the offset
            data, n[a[0]]["mtime"] = n[a[0]]["data"], None
            data.extend(b"\0" * max(0, a[1] - len(data)))
            data[a[1]:len(data) if a[2] is None else a[1] + len(a[2])] = a[2] or b""
        elif kind in ("mode", "mtime") and a[1] != "omit":
            n[a[0]][kind] = a[1]

    def write_out(self):
        """Puts the model on the disk at its roots, emptied first; hard links kept."""
        placed, times = {}, []

        def put(node, path):
            e = self.nodes[node]
            if node in placed:
                return os.link(placed[node], path)
            placed[node] = path
            if e["kind"] == "l":
                os.symlink(e["data"], path)
            elif e["kind"] == "d":
                os.mkdir(path)
                for name, child in e["data"].items():
                    put(child, os.path.join(path, name))
            else:
                with open(path, "wb") as f:
                    f.write(e["data"])
            if e["kind"] != "l":
                os.chmod(path, e["mode"])
            times.append((path, e["mtime"]))

        for root, node in self.roots.items():
            shutil.rmtree(root, ignore_errors=True)
            put(node, root)
        for path, mtime in times:  # a folder after what it holds
            if mtime is not None:
                os.utime(path, ns=(mtime, mtime), follow_symlinks=False)


def to_ops(calls, model, cwd):
    """Model ops of the traced calls, applied to model as they come: (op, needs, call) where
    needs are the nodes whose fsync makes the op durable (a syncfs makes everything durable)."""
    ops, offsets = [], {}

    def path(args, i):
        fd, folder = FD.match(args[i]), FD.match(args[i - 1]) if i else None
        return unhex(fd.group(2)) if fd else os.path.normpath(
            os.path.join(unhex(folder.group(2)) if folder else cwd, unhex(args[i][1:-1])))

    for name, a, ret in calls:
        i = TARGET.get(name, 1 if name == "utimensat" and a[1] != "NULL" else 0)
        p = path(a, i) if a[0] else ""
        src = path(a, i - 2 if i == 3 else 0) if name.startswith(("link", "rename")) else None
        where, node, shown = model.lookup(p), model.node(p), f"{name} {src + ' -> ' if src else ''}{p}"
        fd, new = int(FD.match(a[i]).group(1)) if FD.match(a[i]) and a[i][0] != "A" else None, []
        if name in ("sync", "syncfs"):
            new.append(("sync", None))
        elif name.startswith(("open", "creat")):
            offsets[ret] = 0
            flags = "O_CREAT|O_TRUNC" if name == "creat" else a[i + 1]
            if where and node is None and "O_CREAT" in flags:
                new.append(("new", where[0], where[1], None, "f", int(a[-1], 8) & ~0o022, None))
            elif node is not None and "O_TRUNC" in flags:
                new.append(("data", node, 0, None))
        elif name in ("write", "pwrite64", "copy_file_range") and node is not None:
            at = int(a[3].strip("[]")) if name != "write" and a[3] != "NULL" else offsets.get(fd, 0)
            offsets[fd] = at + ret if name == "write" or a[3] == "NULL" else offsets.get(fd, 0)
            if name == "copy_file_range":  # the data is read back from the source file
                with open(path(a, 0), "rb") as f:
                    f.seek(int(a[1].strip("[]")) if a[1] != "NULL" else offsets.get(int(FD.match(a[0]).group(1)), 0))
                    data = f.read(ret)
            else:
                data = unhex(a[1][1:-1]).encode("utf-8", "surrogateescape")[:ret]
            new += [("data", node, at, data)] if data else []
        elif name == "ftruncate" and node is not None:  # fallocate: the writes give the size
            new.append(("data", node, int(a[1]), None))
        elif name.startswith(("mkdir", "symlink")) and where:
            kind, mode = ("d", int(a[-1], 8) & ~0o022) if name.startswith("mkdir") else ("l", 0o777)
            new.append(("new", where[0], where[1], None, kind, mode, unhex(a[0][1:-1]) if kind == "l" else None))
        elif name.startswith("link") and where and model.node(src) is not None:
            new.append(("link", where[0], where[1], model.node(src)))
        elif name.startswith("rename") and where and model.lookup(src):
            shown += " (exchange)" * ("EXCHANGE" in a[-1])
            new.append(("exchange" if "EXCHANGE" in a[-1] else "rename", *model.lookup(src), *where))
        elif name in ("unlink", "unlinkat", "rmdir") and node is not None:
            new.append(("unlink", where[0], where[1], node))
        elif name in ("chmod", "fchmod", "fchmodat") and node is not None:
            new.append(("mode", node, int(a[i + 1], 8)))
        elif name == "utimensat" and node is not None:
            t = re.findall(r"\{tv_sec=(\d+), tv_nsec=(\d+)\}|UTIME_(NOW|OMIT)", a[2])
            new.append(("mtime", node, None if not t or t[-1][2] == "NOW" else "omit" if t[-1][2]
                        else int(t[-1][0]) * 10**9 + int(t[-1][1])))
        elif name in ("fsync", "fdatasync") and node is not None:
            new.append(("sync", node))
        for op in new:  # chown, sync_file_range and what lies outside the two folders change nothing
            op = op[:3] + (max(model.nodes) + 1,) + op[4:] if op[0] == "new" else op
            model.apply(op)
            ops.append((op, set() if op[0] == "sync" else {op[1], op[3]} if op[0] in ENTRY_OPS[3:] else {op[1]}, shown))
    return ops


def durable_at(ops):
    """For each op, the index of the sync that makes it durable (len(ops) when none does)."""
    result = []
    for j, (_, needs, _) in enumerate(ops):
        left, when = set(needs), len(ops)
        for i in range(j + 1, len(ops)):
            if ops[i][0][0] == "sync":
                left.discard(ops[i][0][1])
                if ops[i][0][1] is None or not left:
                    when = i
                    break
        result.append(when)
    return result


def survey(crashed):
    """Complete dated copies, catalogue rows, and what is wrong with them."""
    dest, names, problems, rows = G["dest"], sorted(os.listdir(G["dest"])), [], []
    dated = [n for n in names if re.fullmatch(r"reports_\d{6}", n)]
    shots = {n: F.snapshot(os.path.join(dest, n)) for n in dated}
    complete = {n for n in dated if shots[n] == G["want"]}
    problems += [f"incomplete copy under its dated name {n} ({F.differences(G['want'], shots[n], 1)[0][:120]})"
                 for n in dated if n not in complete]
    for n in (n for n in names if n.endswith(".sha256") and not n.startswith(".")):  # "<copy>.sha256"
        if n[:-len(".sha256")] not in dated:
            problems.append(f"manifest {n} without its copy")
        elif subprocess.run(["sha256sum", "-c", "--quiet", n], cwd=dest, capture_output=True).returncode:
            problems.append(f"manifest {n} does not match its copy (sha256sum -c)")
    if os.path.exists(os.path.join(G["task"], "wenjianming.mdb")):
        try:
            integrity, rows = F.catalogue_rows(G["task"])
            problems += [f"catalogue integrity: {integrity}"] if integrity != "ok" else []
        except Exception as error:
            problems.append(f"catalogue does not open: {error}")
    # A pruning deletes the copy, then its row: cut short, a row it found may name nothing.
    problems += [f"row for {r[1]}, which is no complete copy" for r in rows
                 if os.path.dirname(r[1]) != dest or os.path.basename(r[1]) not in complete
                 if not (crashed and r in G["rows_before"] and not os.path.lexists(r[1]))]
    return complete, rows, problems


def check_state(item):
    k, j = item
    model = copy.deepcopy(G["model"])
    for i, (op, _, _) in enumerate(G["ops"][:k]):
        if i != j:
            model.apply(op)
        elif op[0] == "data" and op[3]:  # the data did not reach the disk: garbage in its place
            model.apply(op[:3] + ((LOST * (len(op[3]) // len(LOST) + 1))[:len(op[3])],))
    model.write_out()
    complete, rows, problems = survey(True)
    log, old = F.read(G["log"]), G["log_before"] or b""
    if log not in (G["log_before"], None) and not (log.startswith(old) and F.LOG_LINE.match(log[len(old):])):
        problems.append("the log is neither the old one nor the old one and the new line")
    done = subprocess.run(["faketime", G["day"] + " 10:00:00", G["binary"], "--task", G["task"], "--backup-now"],
                          cwd=G["task"], capture_output=True, timeout=60, env=G["env"])
    after, rows_after, later = survey(False)
    if done.returncode != 0:
        later.append(f"exit {done.returncode}: {done.stderr.decode(errors='replace').strip()[:200]}")
    today = "reports_" + G["day"][2:].replace("-", "")
    if today not in after or not any(os.path.basename(r[1]) == today for r in rows_after):
        later.append(f"{today} is not a complete, catalogued copy")
    kept = sorted({r[1][-6:] for r in rows} | {today[-6:]})[-G["count"]:]  # what the pruning keeps
    pruned = {os.path.basename(r[1]) for r in rows if r[1][-6:] not in kept}
    later += [f"the complete copy {n} was deleted" for n in sorted(complete - after - pruned)]
    left = [os.path.relpath(os.path.join(where, n), G["run"])
            for where in (G["dest"], G["task"], os.path.dirname(G["log"])) for n in F.hidden_entries(where)]
    later += [f"leftovers {left}"] if left else []
    return k, j, problems + ["after the next run: " + p for p in later]


def private_run_folder():
    """A folder of the worker's own, bound at the same path in a mount namespace of its own:
    the same file system, whose identity the pruning checks."""
    libc, own = ctypes.CDLL(None, use_errno=True), f"{G['base']}/worker-{os.getpid()}"
    os.mkdir(own)
    if (libc.unshare(0x20000) or libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None) or
            libc.mount(own.encode(), G["run"].encode(), None, 0x1000, None)):
        raise OSError(ctypes.get_errno(), "cannot make a private mount")


def scenario(label, day, count, workers):
    run, task, started = G["run"], G["task"], time.time()
    F.write(os.path.join(task, "config.ini"), (f"[备份设置]\r\n备份文件源地址={G['source']}\r\n"
            f"备份文件目的地址={G['dest']}\r\n备份个数={count}\r\n").encode("gb18030"))
    rows = F.catalogue_rows(task)[1] if os.path.exists(os.path.join(task, "wenjianming.mdb")) else []
    G.update(day=day, count=count, log_before=F.read(G["log"]), rows_before=rows, model=Model([task, G["dest"]]))
    trace = os.path.join(G["base"], "trace.txt")
    done = subprocess.run(["strace", "-f", "-y", "-xx", "-s", "1048576", "-qq", "-o", trace, "-e", "trace=" + CALLS,
                           "faketime", day + " 10:00:00", G["binary"], "--task", task, "--backup-now"],
                          cwd=task, capture_output=True, text=True, timeout=120, env=G["env"])
    if done.returncode != 0:
        raise SystemExit(f"the traced run failed ({done.returncode}): {done.stderr.strip()[-300:]}")
    subprocess.run(["cp", "-a", run, run + ".after"], check=True)
    calls = parse_trace(trace)
    ops = G["ops"] = to_ops(calls, copy.deepcopy(G["model"]), task)
    durable = durable_at(ops)
    prefixes = [(k, None) for k in range(len(ops) + 1) if k == 0 or ops[k - 1][0][0] != "sync"]
    # One call left out: never a sync, never the last call (that state is a prefix).
    drops = [(k, j) for k in range(2, len(ops) + 1) for j in range(k - 1) if ops[j][0][0] != "sync" and durable[j] >= k]
    latest = [(k, j) for k, j in drops if k == durable[j]]  # just before the flush that would keep it
    rest = sorted(set(drops) - set(latest))
    chosen = prefixes + latest + random.Random(1).sample(rest, min(len(rest), SAMPLE))
    if workers > 1:
        with multiprocessing.Pool(workers, initializer=private_run_folder) as pool:
            results = pool.map(check_state, chosen, chunksize=4)
    else:
        results = [check_state(item) for item in chosen]
    shutil.rmtree(run)
    os.rename(run + ".after", run)
    bad = [r for r in results if r[2]]
    print(f"{label}: {len(calls)} calls traced, {len(ops)} model ops, {len(prefixes) + len(drops)} states built, "
          f"{len(chosen)} checked ({len(prefixes)} prefixes, {len(latest)} with a call left out last, "
          f"{len(chosen) - len(prefixes) - len(latest)} of the other {len(rest)} sampled), {len(bad)} bad, "
          f"{time.time() - started:.0f} s", flush=True)
    for k, j, problems in bad:
        lost = f", call #{j + 1} ({ops[j][2]}) lost" if j is not None else ""
        print(f"  BAD crash after call #{k} ({ops[k - 1][2] if k else 'none'}){lost}: "
              f"{'; '.join(problems)}".replace(G["base"] + "/", ""))
    return len(bad)


def main():
    binary = os.environ.get("TESSIVAR_BINARY") or F.DRIVER
    if binary is None:
        raise SystemExit(__doc__)
    for program in ("strace", "faketime", "sha256sum"):
        F.need_program(program)
    if subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], capture_output=True).returncode:
        F.skip("strace is refused here (ptrace not permitted)")
    os.umask(0o022)
    base = F.scratch("crash-states", memory=True)
    run = os.path.join(base, "run")
    G.update(base=base, run=run, binary=os.path.abspath(binary), task=os.path.join(run, "task"),
             dest=os.path.join(run, "dest"), source=os.path.join(base, "src", "reports"),
             log=os.path.join(run, "task", "Log", "FileBackupLog.log"),
             # faketime sets the day; NO_FAKE_STAT keeps it from moving the times the copier reads
             env=dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen", NO_FAKE_STAT="1"))
    try:
        G["want"] = F.snapshot(F.make_tree(G["source"], files=20))
        os.makedirs(G["task"])
        os.makedirs(G["dest"])
        private = subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "--bind", base, run],
                                 capture_output=True).returncode == 0
        if not private:
            print("note: unshare -m refused, so the states are checked one at a time")
        workers = 4 * (os.cpu_count() or 1) if private else 1
        bad = scenario("first run of the task", "2027-01-04", 2, workers)
        bad += scenario("same-day rerun", "2027-01-04", 2, workers)
        bad += scenario("next day, count 1 (prunes the first copy)", "2027-01-05", 1, workers)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print(f"crash states: {bad} bad")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
