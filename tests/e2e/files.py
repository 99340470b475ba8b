"""The files the program reads and writes, built and read back byte for byte."""

import datetime
import hashlib
import os
import sqlite3
import stat
import subprocess

SECTION = "备份设置"
KEY_SOURCE = "备份文件源地址"
KEY_TARGET = "备份文件目的地址"
KEY_TIME = "定时时刻"
KEY_DAYS = "备份频率"
KEY_COUNT = "备份个数"

# Monday first, as the boxes' captions read (Tuesday's and Saturday's end in a blank).
DAY_CAPTIONS = ["星期一", "星期二 ", "星期三", "星期四", "星期五", "星期六 ", "星期日"]
ALL_DAYS = "".join(caption + ";" for caption in DAY_CAPTIONS)

LOG_SEPARATOR = "   成功备份至   "
CATALOGUE_TABLE = ("CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                   "wenjianming TEXT, shijian TEXT)")


def gb(text):
    return text.encode("gb18030")


def config_bytes(lines):
    """config.ini as the program writes it: GB18030, every line ended by CR LF."""
    return b"".join(gb(line) + b"\r\n" for line in lines)


def config_lines(source, target, time_text, days, count):
    return [f"[{SECTION}]",
            f"{KEY_SOURCE}={source}",
            f"{KEY_TARGET}={target}",
            f"{KEY_TIME}={time_text}",
            f"{KEY_DAYS}={days}",
            f"{KEY_COUNT}={count}"]


def write_bytes(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def read_bytes(path):
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except FileNotFoundError:
        return None


def date_stamp(day):
    return day.strftime("%y%m%d")


def log_line(day, clock, source, target):
    """One entry of the operation log, as bytes, with its CR LF. The C.UTF-8 long time
    format writes the hour with a leading zero."""
    return gb(f"{date_stamp(day)} {clock.strftime('%H:%M:%S')}   {source}"
              f"{LOG_SEPARATOR}{target}") + b"\r\n"


def parse_log_time(line):
    """The date and time at the start of a log line, or None."""
    try:
        head = line[:15].decode("ascii")
        return datetime.datetime.strptime(head, "%y%m%d %H:%M:%S")
    except (UnicodeDecodeError, ValueError):
        return None


def log_lines(data):
    if not data:
        return []
    return [piece + b"\r\n" for piece in data.split(b"\r\n")[:-1]]


# -- catalogue ------------------------------------------------------------------------

def catalogue_tables(path):
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        tables = {}
        for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type='table'"):
            tables[name] = [row[1] for row in db.execute(f"PRAGMA table_info({name})")]
        return tables


def catalogue_rows(path):
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        return list(db.execute("SELECT id, wenjianming, shijian FROM wenjianming ORDER BY id"))


def seed_catalogue(path, rows):
    db = sqlite3.connect(path)
    try:
        db.execute(CATALOGUE_TABLE)
        db.executemany("INSERT INTO wenjianming (wenjianming, shijian) VALUES (?, ?)", rows)
        db.commit()
    finally:
        db.close()


# -- source trees -----------------------------------------------------------------------

OLD_TIME = datetime.datetime(2001, 2, 3, 4, 5, 6).timestamp()


def make_source_tree(root):
    """A folder with nested folders, an empty folder, a symbolic link (and a dangling
    one), a name that is not UTF-8, an executable file and an old modification time."""
    broot = os.fsencode(root)
    os.makedirs(os.path.join(broot, b"sub", b"deeper"))
    os.makedirs(os.path.join(broot, b"sub", b"empty"))
    write_bytes(os.path.join(broot, b"a.txt"), b"hello\n")
    write_bytes(os.path.join(broot, b"sub", b"deeper", b"b.bin"), os.urandom(300_000))
    write_bytes(os.path.join(broot, "中文名.txt".encode()), gb("内容") + b"\r\n")
    write_bytes(os.path.join(broot, b"\xff\xfe-latin1-\xe9.dat"), b"\x00\x01\x02")
    write_bytes(os.path.join(broot, b"run.sh"), b"#!/bin/sh\necho hi\n")
    os.chmod(os.path.join(broot, b"run.sh"), 0o755)
    old = os.path.join(broot, b"sub", b"old.txt")
    write_bytes(old, b"from long ago\n")
    os.utime(old, (OLD_TIME, OLD_TIME))
    os.symlink(b"a.txt", os.path.join(broot, b"link-to-a"))
    os.symlink(b"../nowhere", os.path.join(broot, b"sub", b"dangling"))


def destination_entries(folder):
    """What a destination folder holds, a copy's checksum manifest left out when sha256sum -c
    passes for it beside its copy (one that does not, or without its copy, stays in)."""
    names = os.listdir(folder)
    return sorted(n for n in names if not (
        n.endswith(".sha256") and n[:-7] in names and subprocess.run(
            ["sha256sum", "-c", "--strict", "--quiet", n], cwd=folder,
            capture_output=True).returncode == 0))


def tree_listing(root):
    """Every entry below root by its relative byte name: kind, permission bits, and for a
    file its size, digest and modification time, for a link its target."""
    broot = os.fsencode(root)
    listing = {}
    for folder, dirs, files in os.walk(broot, followlinks=False):
        for name in dirs + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, broot)
            info = os.lstat(path)
            mode = stat.S_IMODE(info.st_mode)
            if stat.S_ISLNK(info.st_mode):
                listing[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(info.st_mode):
                listing[relative] = ("dir", oct(mode))
            else:
                with open(path, "rb") as stream:
                    digest = hashlib.sha256(stream.read()).hexdigest()[:16]
                listing[relative] = ("file", oct(mode), info.st_size, digest, info.st_mtime_ns)
    return listing


def tree_differences(expected, actual):
    problems = []
    for name in sorted(set(expected) | set(actual)):
        if name not in actual:
            problems.append(f"missing {name!r}")
        elif name not in expected:
            problems.append(f"extra {name!r}")
        elif expected[name] != actual[name]:
            problems.append(f"{name!r}: {expected[name]} != {actual[name]}")
    return problems
