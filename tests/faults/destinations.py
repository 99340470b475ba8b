"""Backups onto the file systems people keep their copies on, each mounted from a small image
file (or served by an ssh server on the loopback address): the run completes, the copy holds
what the destination can hold, every entry left out has its line in the log, and the
catalogue has the row. The task folder (catalogue, log, lock) lies on the same file system.
The source lies on ext4, with a link, a hard link, read-only modes,
names other systems refuse, a case twin, an extended attribute and ACLs."""

import contextlib
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faultlib as F  # noqa: E402

DAY = "2025-03-10"
LINK, NAME, TWIN, BIG = ("目的地址不支持符号链接", "目的地址不支持此文件名",
                         "与已复制的文件名仅大小写不同", "文件过大，目的地址无法容纳")
REFUSED_NAMES = [b"a:b", b"q?", b"bad\xff"]
MIB = 1024 * 1024
FILE_TIME, LINK_TIME = 1_300_000_000 * 10**9, 1_000_000_000 * 10**9

# name, how to mount, kept: links, hard links, modes, attributes (None: whatever it gives),
# the names it refuses, whether it ignores case, and a file size limit (RLIMIT_FSIZE).
# fusefat empties a folder it renames, so no copy can be put in place there: it is refused.
ROWS = [
    ("ext4", "ext4", True, True, True, True, [], False, None),
    ("XFS", "xfs", True, True, True, True, [], False, None),
    ("btrfs", "btrfs", True, True, True, True, [], False, None),
    ("btrfs without ACLs", "btrfs-noacl", True, True, True, False, [], False, None),
    ("exFAT (exfat-fuse)", "exfat", False, False, None, False, REFUSED_NAMES, True, None),
    ("FAT32 (fusefat)", "fat", None, None, None, None, None, None, None),
    ("NTFS (ntfs-3g)", "ntfs", True, True, None, None, [b"bad\xff"], False, None),
    ("sshfs", "sshfs", True, True, True, False, [], False, None),
    ("ext4, files over 1 MiB refused", "ext4", True, True, True, True, [], False, MIB),
]


def sh(*command, **kwargs):
    return subprocess.run(list(command), capture_output=True, **kwargs)


def build_source(root):
    os.makedirs(root)
    F.write(os.path.join(root, "file.txt"), b"plain\n", 0o644, FILE_TIME)
    os.link(os.path.join(root, "file.txt"), os.path.join(root, "hard"))
    os.symlink("file.txt", os.path.join(root, "link"))
    os.utime(os.path.join(root, "link"), ns=(LINK_TIME, LINK_TIME), follow_symlinks=False)
    F.write(os.path.join(root, "ro", "frozen"), b"ice\n", 0o444)
    os.chmod(os.path.join(root, "ro"), 0o555)
    for name in REFUSED_NAMES + [b"dot.", b"Case", b"case"]:
        F.write(os.path.join(os.fsencode(root), name), name + b"\n")
    F.write(os.path.join(root, "big.bin"), os.urandom(2 * MIB))
    acl = os.path.join(root, "acl", "f")
    F.write(acl, b"acl\n", 0o640)
    os.setxattr(acl, "user.note", b"hello")
    done = sh("setfacl", "-m", "u:65534:rwx,g::r--,m::rwx", acl)
    done = done.returncode == 0 and sh("setfacl", "-d", "-m", "u:65534:rx",
                                       os.path.dirname(acl)).returncode == 0
    return done


@contextlib.contextmanager
def mounted(kind, work):
    """Mounts a fresh file system of that kind on a folder and yields it (None when the
    machine refuses); unmounts and detaches in every case."""
    image, point = os.path.join(work, f"{kind}.img"), os.path.join(work, f"{kind}.mnt")
    os.makedirs(point)
    undo = []
    try:
        yield mount(kind, image, point, work, undo)
    finally:
        for step in reversed(undo):
            step()


def unmount(point):
    for _ in range(50):
        if sh("umount", point).returncode == 0:
            return
        time.sleep(0.1)
    sh("umount", "-l", point)


def mount(kind, image, point, work, undo):
    if kind == "sshfs":
        return serve_sshfs(point, work, undo)
    size = {"btrfs": 128, "btrfs-noacl": 128, "xfs": 300}.get(kind, 64)
    with open(image, "wb") as f:
        f.truncate(size * MIB)
    mkfs = {"ext4": ["mkfs.ext4", "-q", "-F"], "btrfs": ["mkfs.btrfs", "-q"], "xfs": ["mkfs.xfs", "-q"],
            "btrfs-noacl": ["mkfs.btrfs", "-q"], "exfat": ["mkfs.exfat"],
            "fat": ["mkfs.vfat", "-F", "32"], "ntfs": ["mkfs.ntfs", "-F", "-Q"]}[kind]
    if shutil.which(mkfs[0]) is None or sh(*mkfs, image).returncode != 0:
        return None
    if kind == "exfat":
        loop = sh("losetup", "-f", "--show", image, text=True)
        if loop.returncode != 0:
            return None
        undo.append(lambda: sh("losetup", "-d", loop.stdout.strip()))
        command = ["mount.exfat-fuse", loop.stdout.strip(), point]
    else:
        command = {"fat": ["fusefat", "-o", "rw+", image, point],
                   "ntfs": ["ntfs-3g", image, point],
                   "btrfs-noacl": ["mount", "-o", "loop,noacl", image, point]}.get(
                       kind, ["mount", "-o", "loop", image, point])
    if shutil.which(command[0]) is None or sh(*command).returncode != 0:
        return None
    undo.append(lambda: unmount(point))
    return point


def serve_sshfs(point, work, undo):
    """An sshd of our own on a free loopback port, keys made for the occasion, and sshfs
    onto a folder of this machine; yields the mount point (the server's folder is
    point + '.served')."""
    if not all(shutil.which(p) for p in ("sshfs", "ssh-keygen", "/usr/sbin/sshd")):
        return None
    keys = os.path.join(work, "ssh")
    served = point + ".served"
    os.makedirs(keys)
    os.makedirs(served)
    for key in ("host", "user"):
        sh("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(keys, key))
    shutil.copy(os.path.join(keys, "user.pub"), os.path.join(keys, "authorized"))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(os.path.join(keys, "config"), "w") as f:
        f.write(f"HostKey {keys}/host\nAuthorizedKeysFile {keys}/authorized\n"
                f"PidFile {keys}/pid\nListenAddress 127.0.0.1\nStrictModes no\n"
                "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                "PermitRootLogin prohibit-password\nUsePAM no\nSubsystem sftp internal-sftp\n")
    os.makedirs("/run/sshd", exist_ok=True)
    server = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", f"{keys}/config", "-p",
                               str(port)], stderr=subprocess.DEVNULL)
    undo.append(lambda: (server.kill(), server.wait()))
    for _ in range(50):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                break
        time.sleep(0.1)
    done = sh("sshfs", "-p", str(port), "-o", f"IdentityFile={keys}/user,BatchMode=yes,"
              "StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null",
              f"root@127.0.0.1:{served}", point)
    if done.returncode != 0:
        return None
    undo.append(lambda: unmount(point))
    return point


def left_out_lines(task):
    """The lines after the last run line of the log, as (path bytes, reason)."""
    lines = (F.read(os.path.join(task, "Log", "FileBackupLog.log")) or b"").split(b"\r\n")
    runs = [i for i, line in enumerate(lines) if F.LOG_LINE.match(line + b"\r\n")]
    result = []
    for line in lines[runs[-1] + 1:] if runs else []:
        if line:
            text = line.decode("gb18030")
            path, _, reason = text.removeprefix("    未复制：").rpartition("（")
            result.append((path, reason.removesuffix("）")))
    return result


def shown(name):
    return "".join(chr(b) if b < 0x80 else f"\\x{b:02X}" for b in name)


def check_row(report, row, source, dest, task, served):
    label, _, links, hard, modes, attributes, refused, ignores_case, limit = row
    env = {"TESSIVAR_FAULT_DATE": DAY}
    command = ["backup", source, dest]
    if limit:  # the kernel refuses larger writes with EFBIG, as FAT32 does from 4 GiB on
        command = ["prlimit", f"--fsize={limit}", F.DRIVER] + command
    status, out, err = run_limited(command, task) if limit else F.run(command, task, env=env)
    copy = os.path.join(dest, "reports_250310")
    seen = os.path.join(served, "reports_250310")  # where the file system keeps it
    integrity, rows = F.catalogue_rows(task)
    report.check(F.hidden_entries(dest) == [], f"{label}: left {F.hidden_entries(dest)}")
    if refused is None:
        report.check(status == 1 and "a folder renamed there loses what it holds" in err
                     and rows == [] and not os.path.exists(copy), f"{label}: {status} {err!r}")
        print(f"{label}: refused, {err.strip()}", flush=True)
        return
    report.check(status == 0 and out.strip() == "文件备份完毕！", f"{label}: {status} {err!r}")
    report.check([r[1] for r in rows][-1:] == [copy], f"{label}: rows {rows}")
    reported = left_out_lines(task)
    expected = [(shown(n), NAME) for n in refused] + ([("link", LINK)] if not links else [])
    expected += [("big.bin", BIG)] if limit else []
    twin = [entry for entry in reported if entry[1] == TWIN]
    if ignores_case:
        report.check(len(twin) == 1 and twin[0][0] in ("Case", "case"), f"{label}: twin {twin}")
        expected += twin
    report.check(sorted(reported) == sorted(expected), f"{label}: reported {reported}")
    for name in [b"file.txt", b"hard", b"ro/frozen", b"dot.", b"acl/f", b"big.bin"] + [
            n for n in REFUSED_NAMES + [b"Case", b"case"] if n not in refused]:
        if (name == b"big.bin" and limit) or (ignores_case and shown(name) in dict(twin)):
            report.check(name not in os.listdir(os.fsencode(copy)),
                         f"{label}: {name} was left out but is there")
            continue
        report.check(F.read(os.path.join(os.fsencode(copy), name)) ==
                     F.read(os.path.join(os.fsencode(source), name)), f"{label}: {name} differs")
    report.check(os.path.islink(os.path.join(copy, "link")) == links, f"{label}: link")
    # Setting the copied link's time must not reach the file it points at (sshfs would).
    mtime = os.stat(os.path.join(copy, "file.txt")).st_mtime_ns
    report.check(mtime == FILE_TIME, f"{label}: file.txt has the time {mtime}")
    same = os.stat(os.path.join(seen, "hard")).st_ino == os.stat(os.path.join(seen, "file.txt")).st_ino
    report.check(same == hard, f"{label}: hard link kept {same}")
    if modes:
        mode = stat.S_IMODE(os.stat(os.path.join(copy, "ro")).st_mode)
        frozen = stat.S_IMODE(os.stat(os.path.join(copy, "ro", "frozen")).st_mode)
        report.check((mode, frozen) == (0o555, 0o444), f"{label}: modes {mode:o} {frozen:o}")
        group = stat.S_IMODE(os.stat(os.path.join(copy, "acl", "f")).st_mode) & 0o070
        report.check(group == (0o070 if attributes else 0o040), f"{label}: group bits {group:o}")
    if attributes is not None:
        try:
            acl = [os.getxattr(os.path.join(copy, "acl", "f"), "user.note"),
                   sh("getfacl", "-c", os.path.join(copy, "acl")).stdout.count(b"default:user:")]
        except OSError:
            acl = None
        report.check((acl == [b"hello", 2]) == attributes, f"{label}: attributes {acl}")
    print(f"{label}: exit {status}, {len(reported)} left out: {reported}", flush=True)


def run_limited(command, task):
    """The driver with a file size limit; the limit's signal is ignored, so a write beyond
    it fails with EFBIG as on a file system that cannot hold the file."""
    import signal
    env = dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen",
               TESSIVAR_FAULT_DATE=DAY)
    done = subprocess.run(command, cwd=task, env=env, capture_output=True, timeout=60,
                          preexec_fn=lambda: signal.signal(signal.SIGXFSZ, signal.SIG_IGN))
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def main():
    if F.DRIVER is None:
        raise SystemExit(__doc__)
    F.need_root("mounting file systems")
    report = F.Report("destinations")
    work = tempfile.mkdtemp(prefix="tessivar-destinations-")
    ran = []
    try:
        with mounted("ext4", work) as ext4:
            if ext4 is None:
                F.skip("cannot mount an ext4 image for the source")
            source = os.path.join(ext4, "reports")
            if not build_source(source):
                F.skip("setfacl cannot set ACLs on the ext4 source")
            for row in ROWS:
                with mounted(row[1], os.path.join(work, str(len(ran)) + row[1])) as point:
                    if point is None:
                        print(f"NOT RUN: {row[0]}: this machine will not mount it", flush=True)
                        continue
                    task = os.path.join(point, "task")  # the catalogue and log there too
                    os.makedirs(task)
                    dest = os.path.join(point, "backups")
                    served = point + ".served" if row[1] == "sshfs" else point
                    check_row(report, row, source, dest, task, os.path.join(served, "backups"))
                    ran.append(row[0])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if not ran:
        F.skip("no file system could be mounted")
    report.finish()


if __name__ == "__main__":
    main()
