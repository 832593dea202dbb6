#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs hexpoke on every file system in FILE_SYSTEMS, each mounted small for
the test, and checks on each:

  patch     a patch in place (-i F -o F) and to a new name, on files of
            several shapes: exit 0, nothing printed, exactly the expected
            text (from the model below) with the expected meaning (as
            Python's intelhex reads it), and nothing left beside the files;
  at once   20 runs at once on one file in place, each adding its own bytes
            past the image's end, several trials: every run that exited 0
            has its patch in the file, the file reads as its input plus the
            kept patches, and nothing is left beside it; runs that failed
            are told apart from patches lost (exit 0 without the bytes);
  kills     SIGKILL at random moments while a run patches a file of some
            20 MB in place: the file is then exactly the old or exactly the
            new content, never anything else; at most one file is left
            beside it after any kill; a run that exits 0 leaves none;
  full      on a small instance of it, filled by a filler file until 64 KiB
            are left, a patch that grows the file by some 165 KB, in place
            and to a new name: `Error : File not written`, exit 127, the
            file byte for byte as it was, and nothing left beside it;
  read-only the file system mounted read-only: `Error : File not opened`,
            exit 127, the file as it was (in place and to a new name).

A file system that cannot be mounted here (not root, no /dev/fuse, no loop
device, a missing program, a kernel without it) is skipped with its reason.
Everything the test mounts, attaches or starts is undone at its end,
whatever ends it. Where HEXPOKE_SUMMARY names a file (scripts/summary.sh),
each file system gets a line in it: what ran, or why it was skipped. Not
root, the test gives up with status 75 and its reason, as scripts/test.sh
expects of a part that cannot be set up.

Usage: filesystems_test.py [options] PATH_TO_HEXPOKE   (run as root)
  --only KEY,...   these file systems only (keys: see --list)
  --trials N       trials of the 20 runs at once (100)
  --kills N        kills mid-write (20)
  --kill-mb N      size of the file that runs are killed on (20)
  --scratch DIR    where images, mount points and files go: a new directory
                   made inside DIR, removed at the end (default: TMPDIR)
  --seed N         the kill moments' seed (default: from the clock, printed)
Exit status: 0 every check passed on what could be mounted, 1 a check
failed, 75 not root.
"""
import argparse
import contextlib
import functools
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

from intelhex import IntelHex

SKIP_STATUS = 75
MiB = 1 << 20


# ---------------------------------------------------------------------------
# The model: what hexpoke must write. A file's meaning is its bytes by
# address and its start address records; the output is each run of bytes in
# 16-byte records from its first address, cut at every 64 KiB boundary, an
# extended linear address record (04) starting each 64 KiB window that holds
# bytes where any byte lies above 64 KiB, then the start address records and
# the end-of-file record, lines ending in LF. (The inputs below use 04
# records only, where they need any.)

def record(address, data, record_type=0):
    raw = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, record_type]) + bytes(data)
    return ":%s%02X" % (raw.hex().upper(), -sum(raw) & 0xFF)


class Malformed(Exception):
    pass


def parse(text):
    """(bytes by address, {start record type: its 4 bytes}) of an Intel HEX
    text of 00, 01, 04 and 05 records (03 too). Raises Malformed on anything
    else, a bad checksum or a length byte that disagrees with the line."""
    data, starts, base = {}, {}, 0
    for number, line in enumerate(text.split(), 1):
        try:
            if not line.startswith(":"):
                raise ValueError("no ':'")
            raw = bytes.fromhex(line[1:])
        except ValueError as error:
            raise Malformed("line %d %r: %s" % (number, line[:50], error))
        if len(raw) < 5 or raw[0] + 5 != len(raw):
            raise Malformed("line %d %r: wrong length" % (number, line[:50]))
        if sum(raw) & 0xFF:
            raise Malformed("line %d %r: wrong checksum" % (number, line[:50]))
        kind, payload = raw[3], raw[4:-1]
        if kind == 0:
            address = base + (raw[1] << 8 | raw[2])
            data.update((address + i, b) for i, b in enumerate(payload))
        elif kind == 1:
            pass
        elif kind == 4 and len(payload) == 2:
            base = (payload[0] << 8 | payload[1]) << 16
        elif kind in (3, 5) and len(payload) == 4:
            starts[kind] = bytes(payload)
        else:
            raise Malformed("line %d %r: record type %02X" % (number, line[:50], kind))
    return data, starts


def patched(data, address, value):
    """The bytes after a patch: a patch below 64 KiB that starts at or past
    the image's end first fills 00 up to its address."""
    data = dict(data)
    end = max(data) + 1 if data else 0
    if address < 0x10000 and address >= end:
        data.update((a, 0) for a in range(end, address))
    data.update((address + i, b) for i, b in enumerate(value))
    return data


def runs_of(data):
    """[(first address, bytes)] of each run of consecutive addresses."""
    runs = []
    for address in sorted(data):
        if runs and runs[-1][0] + len(runs[-1][1]) == address:
            runs[-1][1].append(data[address])
        else:
            runs.append((address, bytearray([data[address]])))
    return [(start, bytes(run)) for start, run in runs]


def render(runs, starts=None):
    """The text hexpoke writes for these runs and start records."""
    extended = any(start + len(run) > 0x10000 for start, run in runs)
    lines, window = [], None
    for start, run in runs:
        at = 0
        while at < len(run):
            address = start + at
            if extended and address >> 16 != window:
                window = address >> 16
                lines.append(record(0, window.to_bytes(2, "big"), 4))
            count = min(16, len(run) - at, 0x10000 - (address & 0xFFFF))
            lines.append(record(address & 0xFFFF, run[at:at + count]))
            at += count
    for kind in sorted(starts or {}):
        lines.append(record(0, starts[kind], kind))
    lines.append(":00000001FF")
    return ("\n".join(lines) + "\n").encode()


def expected_output(text, address, value):
    data, starts = parse(text.decode())
    return render(runs_of(patched(data, address, value)), starts)


# ---------------------------------------------------------------------------
# The files the checks patch, written here.

def eight_records():
    """Firmware as it usually comes: 8 records of 16 bytes from 0000."""
    return render([(0, bytes(range(0x30, 0xB0)))])


def shapes():
    """(name, input file, address, value) of the files patched by check
    `patch`."""
    rng = random.Random(20261210)
    page = rng.randbytes(4096)
    at_flash = rng.randbytes(96)
    # Another writer's shape: 32-byte records, CR LF lines; hexpoke's output
    # of it is shorter than its input.
    long_lines = bytes(range(256))
    crlf = "\r\n".join([record(o, long_lines[o:o + 32]) for o in range(0, 256, 32)]
                       + [":00000001FF"]) + "\r\n"
    return [
        ("8 records, inside", eight_records(), 40, bytes.fromhex("DEADBEEF")),
        ("8 records, past the end", eight_records(), 1000, bytes.fromhex("A55A")),
        ("256 records (11 KiB), across its end", render([(0, page)]), 4090,
         bytes.fromhex("0102030405060708")),
        ("04 records and a start address at 0800 0000",
         render([(0x08000000, at_flash)], {5: bytes.fromhex("08000101")}),
         0x08000010, bytes.fromhex("CAFE")),
        ("32-byte records and CR LF lines", crlf.encode(), 3, bytes.fromhex("EE")),
    ]


# ---------------------------------------------------------------------------
# Running things.

def run(argv, timeout=120, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)


def first_line(text):
    lines = [line for line in (text or "").strip().splitlines() if line.strip()]
    return lines[0].strip() if lines else ""


@dataclass
class Ran:
    code: int          # exit status; -9 when killed, None when it hung
    output: str        # standard output and error
    seconds: float


class Hexpoke:
    def __init__(self, path):
        self.path = path

    def argv(self, source, target, address, value):
        return [self.path, "-i", source, "-o", target, "-a", str(address), "-v", value.hex().upper()]

    def __call__(self, source, target, address, value, timeout=120):
        began = time.monotonic()
        try:
            result = subprocess.run(self.argv(source, target, address, value),
                                    capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return Ran(None, "hung for %d s" % timeout, time.monotonic() - began)
        return Ran(result.returncode, result.stdout + result.stderr, time.monotonic() - began)


def describe(ran):
    if ran.code is None:
        return ran.output
    said = " ".join(ran.output.split())
    return "exit %s%s" % (ran.code, ", printed %r" % said[:120] if said else ", nothing printed")


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def difference(expected, actual):
    """Where `actual` first differs from `expected`, in words."""
    if actual is None:
        return "no such file"
    if actual == b"":
        return "the file is empty (expected %d bytes)" % len(expected)
    if not actual.strip(b"\0"):
        return "the file is %d bytes of NUL (expected %d bytes of text)" % (len(actual), len(expected))
    lines_e, lines_a = expected.split(b"\n"), actual.split(b"\n")
    for number, (e, a) in enumerate(zip(lines_e, lines_a), 1):
        if e != a:
            return "%d bytes, expected %d; line %d is %s, expected %s" % (
                len(actual), len(expected), number, shown(a), shown(e))
    if len(lines_a) < len(lines_e):
        return "%d bytes, expected %d; cut short after line %d" % (
            len(actual), len(expected), len(lines_a))
    return "%d bytes, expected %d; more after the expected end: %s" % (
        len(actual), len(expected), shown(b"\n".join(lines_a[len(lines_e):])))


def shown(line, most=46):
    text = repr(line[:most])[1:]   # b'...' without the b
    return text + ("..." if len(line) > most else "")


def beside(directory, *names):
    """What the directory holds besides `names`, with sizes."""
    found = []
    for entry in sorted(os.listdir(directory)):
        if entry not in names:
            try:
                size = os.lstat(os.path.join(directory, entry)).st_size
            except OSError:
                size = -1
            found.append("%s (%s)" % (entry, human(size)))
    return found


def human(size):
    if size >= MiB:
        return "%.1f MB" % (size / 1e6)
    return "%d bytes" % size


def listing(names, most=3):
    if len(names) <= most:
        return ", ".join(names)
    return ", ".join(names[:most]) + ", and %d more" % (len(names) - most)


# ---------------------------------------------------------------------------
# The file systems: how each is made, mounted, filled and made read-only.

@dataclass
class Instance:
    """One mounted file system, its image, loop device and backing
    directory, as far as it has them."""
    fs: "FileSystem"
    root: str                 # the instance's own scratch directory
    size_mb: int
    dir: str = ""             # the mount point
    image: str = ""
    device: str = ""
    backing: str = ""         # sshfs' remote directory, bindfs' source, overlay's
    lower: str = ""
    upper: str = ""
    work: str = ""
    port: int = 0
    key: str = ""

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


@dataclass
class FileSystem:
    name: str                                   # as printed and in the summary
    key: str                                    # for --only
    how: str                                    # one line on how it is made
    needs: Dict[str, str]                       # program: its Debian package
    kernel: str                                 # file system type the kernel must know
    mount: Callable[[Instance, bool], List[str]]  # argv that mounts it (read-only if True)
    mkfs: Optional[Callable[[Instance], List[str]]] = None  # argv that makes the image
    loop: bool = False                          # mounted from the image as a loop device
    backing: bool = False                       # mounts a directory on a tmpfs of its own
    fuse: bool = False
    remount: bool = False                       # made read-only by mount -o remount,ro
    fill: str = "write"                         # "fallocate" or "write": see fill()
    sshd: bool = False                          # needs the test's own sshd
    size_mb: int = 1024                         # of the instance for most checks (sparse)
    full_mb: int = 32                           # of the instance that check `full` fills
    seeds_below: bool = False                   # files put in the lower directory first
    # Why runs at once may read what is not their file here, where the file
    # system itself is at fault: such a run must fail, not write garbage;
    # every run that exits 0 must still keep its patch.
    garbled_reads: str = ""


def kernel_mount(fs_type):
    return lambda i, ro: ["mount", "-t", fs_type] + (["-o", "ro"] if ro else []) + [i.device, i.dir]


def fuse_ro(ro):
    return ["-o", "ro"] if ro else []


SSH_OPTIONS = "IdentityFile={key},StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null," \
              "BatchMode=yes,LogLevel=ERROR"

FILE_SYSTEMS = [
    FileSystem("FAT (FUSE)", "fat", "fusefat -o rw+ on an image made by mkfs.vfat",
               {"fusefat": "fusefat", "mkfs.vfat": "dosfstools"}, "fuse",
               mkfs=lambda i: ["mkfs.vfat", i.image],
               mount=lambda i, ro: ["fusefat", "-o", "ro" if ro else "rw+", i.image, i.dir],
               fuse=True,
               garbled_reads="fusefat reads back other files' bytes from a file that "
                             "was open elsewhere when another was renamed over it (a plain "
                             "script that locks, reads and renames meets it too)"),
    FileSystem("exFAT (FUSE)", "exfat",
               "mount.exfat-fuse on a loop device of an image made by mkfs.exfat",
               {"mount.exfat-fuse": "exfat-fuse", "mkfs.exfat": "exfatprogs",
                "losetup": "mount"}, "fuseblk",
               mkfs=lambda i: ["mkfs.exfat", i.image],
               mount=lambda i, ro: ["mount.exfat-fuse"] + fuse_ro(ro) + [i.device, i.dir],
               loop=True, fuse=True),
    FileSystem("NTFS (ntfs-3g)", "ntfs", "ntfs-3g on an image made by mkntfs -F -Q",
               {"ntfs-3g": "ntfs-3g", "mkntfs": "ntfs-3g"}, "fuse",
               mkfs=lambda i: ["mkntfs", "-F", "-Q", "-q", i.image],
               mount=lambda i, ro: ["ntfs-3g"] + fuse_ro(ro) + [i.image, i.dir], fuse=True),
    FileSystem("NTFS (lowntfs-3g)", "lowntfs", "lowntfs-3g on an image made by mkntfs -F -Q",
               {"lowntfs-3g": "ntfs-3g", "mkntfs": "ntfs-3g"}, "fuse",
               mkfs=lambda i: ["mkntfs", "-F", "-Q", "-q", i.image],
               mount=lambda i, ro: ["lowntfs-3g"] + fuse_ro(ro) + [i.image, i.dir], fuse=True),
    FileSystem("sshfs", "sshfs", "sshfs to the test's own sshd on 127.0.0.1, over a tmpfs",
               {"sshfs": "sshfs", "/usr/sbin/sshd": "openssh-server",
                "ssh": "openssh-client", "ssh-keygen": "openssh-client"}, "fuse",
               mount=lambda i, ro: ["sshfs", "-p", str(i.port), "-o",
                                    SSH_OPTIONS.format(key=i.key) + (",ro" if ro else ""),
                                    "root@127.0.0.1:" + i.backing, i.dir],
               backing=True, fuse=True, sshd=True),
    FileSystem("bindfs", "bindfs", "bindfs over a directory on a tmpfs", {"bindfs": "bindfs"},
               "fuse", mount=lambda i, ro: ["bindfs"] + fuse_ro(ro) + [i.backing, i.dir],
               backing=True, fuse=True),
    FileSystem("xfs", "xfs", "a loop device of an image made by mkfs.xfs",
               {"mkfs.xfs": "xfsprogs", "losetup": "mount"}, "xfs",
               mkfs=lambda i: ["mkfs.xfs", "-q", i.image], mount=kernel_mount("xfs"),
               loop=True, remount=True, fill="fallocate", full_mb=300),
    FileSystem("btrfs", "btrfs", "a loop device of an image made by mkfs.btrfs",
               {"mkfs.btrfs": "btrfs-progs", "losetup": "mount"}, "btrfs",
               mkfs=lambda i: ["mkfs.btrfs", "-q", i.image], mount=kernel_mount("btrfs"),
               loop=True, remount=True, fill="fallocate", full_mb=128),
    FileSystem("overlay", "overlay",
               "overlay of directories on a tmpfs, the files in the lower one",
               {}, "overlay",
               mount=lambda i, ro: ["mount", "-t", "overlay", "overlay", "-o",
                                    "lowerdir=%s,upperdir=%s,workdir=%s%s"
                                    % (i.lower, i.upper, i.work, ",ro" if ro else ""), i.dir],
               backing=True, remount=True, seeds_below=True),
    FileSystem("ext4", "ext4", "a loop device of an image made by mkfs.ext4",
               {"mkfs.ext4": "e2fsprogs", "losetup": "mount"}, "ext4",
               mkfs=lambda i: ["mkfs.ext4", "-q", "-F", i.image], mount=kernel_mount("ext4"),
               loop=True, remount=True, fill="fallocate"),
    FileSystem("tmpfs", "tmpfs", "a tmpfs", {}, "tmpfs",
               mount=lambda i, ro: ["mount", "-t", "tmpfs", "-o", "size=%dm%s"
                                    % (i.size_mb, ",ro" if ro else ""), "tmpfs", i.dir],
               remount=True, fill="fallocate"),
]


class Skip(Exception):
    """The file system cannot be had on this machine; the message says why."""


def kernel_knows(fs_type):
    def listed():
        with open("/proc/filesystems") as f:
            return any(line.split()[-1] == fs_type for line in f if line.split())
    if listed():
        return True
    run(["modprobe", "-q", fs_type], timeout=30) if shutil.which("modprobe") else None
    return listed()


def unavailable(fs):
    """Why `fs` cannot be mounted here, or None."""
    for program, package in fs.needs.items():
        if not (os.access(program, os.X_OK) if program.startswith("/") else shutil.which(program)):
            return "no %s (Debian package %s)" % (program, package)
    needed = ["mount", "umount"] + (["truncate"] if fs.mkfs else [])
    for program in needed:
        if not shutil.which(program):
            return "no %s" % program
    if fs.fuse and not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if fs.loop and not os.path.exists("/dev/loop-control"):
        return "no loop devices (/dev/loop-control)"
    if not kernel_knows(fs.kernel):
        return "the kernel has no %s file system" % fs.kernel
    return None


def must(argv, what, timeout=120):
    """Runs a set-up command; one that fails means the file system cannot be
    had here."""
    try:
        result = run(argv, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Skip("%s: %s hung for %d s" % (what, argv[0], timeout))
    except OSError as error:
        raise Skip("%s: %s: %s" % (what, argv[0], error.strerror))
    if result.returncode != 0:
        raise Skip("%s: %s exited %d: %s" % (what, os.path.basename(argv[0]), result.returncode,
                                             first_line(result.stderr + result.stdout)))
    return result.stdout


def mounted(directory):
    """Whether a file system is mounted on `directory` or anywhere below it."""
    directory = os.path.realpath(directory)
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == directory or point.startswith(directory + "/"):
                return True
    return False


def daemons_of(directory):
    """The processes serving the FUSE mount on `directory`: those with it
    among their arguments (the test started them, and only they name the
    test's own directory)."""
    pids = []
    target = os.fsencode(directory)
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if target in argv[1:]:
            pids.append(int(entry))
    return pids


def unmount(directory, fuse):
    """Unmounts `directory` and, for FUSE, waits for its daemon to finish
    writing the image. Lazily if it is busy."""
    if not mounted(directory):
        return
    daemons = daemons_of(directory) if fuse else []
    if run(["umount", directory], timeout=60).returncode != 0:
        if fuse and shutil.which("fusermount"):
            run(["fusermount", "-u", "-z", directory], timeout=60)
        if mounted(directory):
            run(["umount", "-l", directory], timeout=60)
    deadline = time.monotonic() + 60
    while daemons and time.monotonic() < deadline:
        daemons = [pid for pid in daemons if os.path.exists("/proc/%d" % pid)
                   and not open("/proc/%d/stat" % pid).read().split(")")[-1].split()[0] == "Z"]
        time.sleep(0.05)
    if daemons:
        raise RuntimeError("the daemons of %s are still running: %s" % (directory, daemons))


class Sshd:
    """The test's own sshd on 127.0.0.1, on a free port, with keys made for
    it: root may log in with the client key only."""

    def __init__(self, scratch, stack):
        self.dir = os.path.join(scratch, "sshd")
        os.makedirs(self.dir)
        self.key = os.path.join(self.dir, "client_key")
        for key in ("host_key", "client_key"):
            must(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "hexpoke-test",
                  "-f", os.path.join(self.dir, key)], "ssh-keygen")
        shutil.copy(self.key + ".pub", os.path.join(self.dir, "authorized_keys"))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write("\n".join([
                "Port %d" % self.port, "ListenAddress 127.0.0.1",
                "HostKey %s/host_key" % self.dir, "PidFile %s/sshd.pid" % self.dir,
                "AuthorizedKeysFile %s/authorized_keys" % self.dir,
                "PermitRootLogin prohibit-password", "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "UsePAM no", "StrictModes no",
                "Subsystem sftp internal-sftp", ""]))
        os.makedirs("/run/sshd", exist_ok=True)   # its privilege separation directory
        self.log = open(os.path.join(self.dir, "sshd.log"), "w")
        # -D: it stays this process's child, stopped by its own id.
        self.process = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", config],
                                        stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        stack.callback(self.stop)
        deadline = time.monotonic() + 15
        while True:
            if self.process.poll() is not None:
                raise Skip("sshd exited %d: %s" % (self.process.returncode, self.log_line()))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise Skip("sshd did not listen within 15 s: %s" % self.log_line())
                time.sleep(0.1)

    def log_line(self):
        self.log.flush()
        with open(self.log.name) as f:
            return first_line(f.read()) or "no message"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class Machine:
    """What the file systems share: the scratch directory, the cleanups of
    everything made, and the sshd once started."""

    def __init__(self, scratch, stack):
        self.scratch = scratch
        self.stack = stack
        self.sshd = None

    def make(self, fs, purpose, size_mb, seeds, stack):
        """Makes and mounts an instance of `fs` under the scratch directory
        with the files `seeds` ({relative path: bytes}) in it; `stack` undoes
        it all. Raises Skip where it cannot be had."""
        i = Instance(fs, os.path.join(self.scratch, "%s-%s" % (fs.key, purpose)), size_mb)
        os.makedirs(i.root)
        stack.callback(remove_tree, i.root)
        i.dir = os.path.join(i.root, "mnt")
        os.makedirs(i.dir)
        if fs.mkfs:
            i.image = os.path.join(i.root, "image")
            must(["truncate", "-s", "%dM" % size_mb, i.image], "sparse image")
            must(fs.mkfs(i), "making the file system", timeout=300)
        if fs.loop:
            i.device = must(["losetup", "-f", "--show", i.image], "attaching a loop device").strip()
            stack.callback(detach, i.device)
        if fs.backing:
            tmpfs = os.path.join(i.root, "backing")
            os.makedirs(tmpfs)
            must(["mount", "-t", "tmpfs", "-o", "size=%dm" % size_mb, "tmpfs", tmpfs],
                 "mounting the backing tmpfs")
            stack.callback(unmount, tmpfs, False)
            i.backing = os.path.join(tmpfs, "files")
            i.lower, i.upper, i.work = (os.path.join(tmpfs, d) for d in ("lower", "upper", "work"))
            for d in (i.backing, i.lower, i.upper, i.work):
                os.makedirs(d)
        if fs.sshd:
            if self.sshd is None:
                self.sshd = Sshd(self.scratch, self.stack)
            i.port, i.key = self.sshd.port, self.sshd.key
        if fs.seeds_below:
            put(i.lower, seeds)
        must(fs.mount(i, False), "mounting")
        stack.callback(unmount, i.dir, fs.fuse)
        if not fs.seeds_below:
            put(i.dir, seeds)
        return i

    def make_readonly(self, i):
        """Mounts `i` read-only: remounted where the row says so and that
        works, else unmounted and mounted again read-only."""
        fs = i.fs
        if fs.remount and run(["mount", "-o", "remount,ro", i.dir], timeout=60).returncode == 0:
            return
        unmount(i.dir, fs.fuse)
        must(fs.mount(i, True), "mounting read-only")


def put(directory, seeds):
    for name, content in seeds.items():
        path = os.path.join(directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def detach(device):
    for _ in range(50):
        if run(["losetup", "-d", device], timeout=60).returncode == 0:
            return
        time.sleep(0.1)   # a FUSE daemon may still hold it a moment
    raise RuntimeError("could not detach %s" % device)


def remove_tree(directory):
    # Never through a mount that is still there.
    if mounted(directory):
        raise RuntimeError("%s still has a mount below it; left as it is" % directory)
    shutil.rmtree(directory, ignore_errors=True)


FULL_MARGIN = 64 << 10   # left free: a file can still be made, but not written


def fill(i, name):
    """Fills the file system of `i` almost full with the file `name`:
    fallocate first where the row says it works, then writes of shrinking
    sizes until even a byte no longer fits; then gives FULL_MARGIN back, so
    that a new file can still be made (an inode, a directory entry, a copy
    up of a small file) but not the output of check `full`. Returns the free
    space then left, as statvfs has it."""
    path = i.path(name)
    if i.fs.fill == "fallocate" and shutil.which("fallocate"):
        free = os.statvfs(i.dir)
        subprocess.run(["fallocate", "-l", str(free.f_bavail * free.f_frsize), path],
                       capture_output=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        for size in (MiB, 64 << 10, 4096, 512, 1):
            chunk = bytes(size)
            try:
                while True:
                    os.write(fd, chunk)
            except OSError:
                pass
        # A file system that takes writes late (sshfs) may say no only now.
        try:
            os.fsync(fd)
        except OSError:
            pass
        os.ftruncate(fd, max(0, os.fstat(fd).st_size - FULL_MARGIN))
        os.fsync(fd)
    finally:
        os.close(fd)
    free = os.statvfs(i.dir)
    return free.f_bavail * free.f_frsize


# ---------------------------------------------------------------------------
# The checks. Each returns an Outcome.

@dataclass
class Outcome:
    name: str
    passed: bool
    summary: str
    details: List[str] = field(default_factory=list)


def check_patch(hexpoke, i):
    problems, runs = [], 0
    for number, (shape, text, address, value) in enumerate(shapes(), 1):
        expected = expected_output(text, address, value)
        meaning, starts = parse(expected.decode())
        for mode in ("in place", "to a new name"):
            where = i.path("patch", "%d-%s" % (number, mode.replace(" ", "-")))
            source = os.path.join(where, "fw.hex")
            target = source if mode == "in place" else os.path.join(where, "new.hex")
            ran = hexpoke(source, target, address, value)
            runs += 1
            said = "%s, %s" % (shape, mode)
            if ran.code != 0 or ran.output:
                problems.append("%s: %s, expected exit 0 and nothing printed" % (said, describe(ran)))
            written = read_file(target)
            if written != expected:
                problems.append("%s: %s" % (said, difference(expected, written)))
            elif not same_meaning(target, meaning, starts):
                problems.append("%s: intelhex reads other bytes or start address" % said)
            if target != source and read_file(source) != text:
                problems.append("%s: the input changed: %s" % (said, difference(text, read_file(source))))
            left = beside(where, "fw.hex", os.path.basename(target))
            if left:
                problems.append("%s: left beside it: %s" % (said, listing(left)))
    count = len(shapes())
    if problems:
        return Outcome("patch", False, "%d of %d runs went wrong" % (
            len({p.split(":")[0] for p in problems}), runs), problems)
    return Outcome("patch", True, "%d shapes in place and to a new name: the expected bytes, "
                   "nothing beside" % count)


def same_meaning(path, data, starts):
    try:
        ih = IntelHex(path)
    except Exception:   # intelhex raises its own kinds for a bad file
        return False
    read = {a: ih[a] for a in ih.addresses()}
    start = ih.start_addr or {}
    wanted = {}
    if 5 in starts:
        wanted["EIP"] = int.from_bytes(starts[5], "big")
    if 3 in starts:
        wanted.update(CS=int.from_bytes(starts[3][:2], "big"), IP=int.from_bytes(starts[3][2:], "big"))
    return read == data and start == wanted


AT_ONCE = 20


def at_once_patch(run_number):
    """The address and value of one of the runs at once: each past the
    image's end, each its own."""
    return 128 + 4 * run_number, bytes([0xC0 | run_number % 64, run_number + 1])


def check_at_once(hexpoke, i, trials, garbled_reads=""):
    original = eight_records()
    base, starts = parse(original.decode())
    failed = {}            # what a failed run did: [(trial, run)]
    lost, other = [], []
    for trial in range(1, trials + 1):
        where = i.path("at-once", "trial-%d" % trial)
        path = os.path.join(where, "fw.hex")
        with started(hexpoke.argv(path, path, *at_once_patch(n)) for n in range(AT_ONCE)) as runs:
            ended = [finish(process) for process in runs]
        kept = []
        for n, ran in enumerate(ended):
            if ran.code == 0 and not ran.output:
                kept.append(n)
            else:
                failed.setdefault(describe(ran), []).append((trial, n))
        final = read_file(path)
        try:
            if not final:
                raise Malformed("the file is empty" if final == b"" else "the file is gone")
            if not final.strip(b"\0"):
                raise Malformed("the file is %d bytes of NUL" % len(final))
            data, _ = parse(final.decode(errors="replace"))
        except Malformed as error:
            other.append("trial %d: the file cannot be read: %s" % (trial, error))
            continue
        lost_here = []
        for n in kept:
            address, value = at_once_patch(n)
            if any(data.get(address + k) != b for k, b in enumerate(value)):
                lost_here.append("trial %d: run %d exited 0, but its bytes %s at %d are not in the file"
                                 % (trial, n, value.hex().upper(), address))
        lost += lost_here
        expected = base
        for n in kept:
            expected = patched(expected, *at_once_patch(n))
        expected_text = render(runs_of(expected), starts)
        if final != expected_text and not lost_here:
            other.append("trial %d: the file is not its input plus the kept patches: %s"
                         % (trial, difference(expected_text, final)))
        left = beside(where, "fw.hex")
        if left:
            other.append("trial %d: left beside it: %s" % (trial, listing(left)))
    total = trials * AT_ONCE
    failed_count = sum(len(runs) for runs in failed.values())
    what = "%d trials of %d runs" % (trials, AT_ONCE)
    if not (failed or lost or other):
        return Outcome("at once", True, what + ": every run exited 0, every patch kept, "
                       "nothing beside")
    # A run that read garbage says so as a reader of the text does; one that
    # could not open, read or write the file failed for another reason.
    garbled = garbled_reads and not any("File not" in said for said in failed)
    if garbled and not (lost or other):
        return Outcome("at once", True, what + ": %d failed, having read what is not the "
                       "file; every run that exited 0 kept its patch, nothing beside"
                       % failed_count, ["%s: %s" % (plural(len(runs), "run"), said)
                                        for said, runs in failed.items()] + [
                           "allowed here: " + garbled_reads])
    parts = []
    if lost:
        parts.append("%s LOST (exit 0 without its bytes)" % plural(len(lost), "patch", "patches"))
    if failed:
        parts.append("%d of %d runs failed" % (failed_count, total))
    if other:
        parts.append(plural(len(other), "other fault"))
    details = lost + ["%s: %s (trial %d run %d%s)" % (
        plural(len(runs), "run"), said, runs[0][0], runs[0][1], ", and more" if len(runs) > 1 else "")
        for said, runs in sorted(failed.items(), key=lambda item: -len(item[1]))] + other
    return Outcome("at once", False, what + ": " + "; ".join(parts), details)


def plural(count, one, many=None):
    return "%d %s" % (count, one if count == 1 else many or one + "s")


@contextlib.contextmanager
def started(argvs):
    """Runs started together; any still running at the end is killed."""
    processes = []
    try:
        for argv in argvs:
            processes.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        yield processes
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
            process.wait()


def finish(process, timeout=120):
    """How the run ended: Ran, its code None if it hung (then killed)."""
    try:
        output, _ = process.communicate(timeout=timeout)
        code = process.returncode
    except subprocess.TimeoutExpired:
        process.kill()
        output, _ = process.communicate()
        return Ran(None, "hung for %d s" % timeout, timeout)
    return Ran(code, output.decode(errors="replace"), 0)


def kill_image(megabytes):
    """The bytes of a file of about `megabytes` MB as hexpoke writes it:
    random data from 0000, 04 records at each 64 KiB window."""
    size = megabytes * 1000000 * 16 // 44 // 16 * 16
    return random.Random(megabytes).randbytes(size)


KILL_ADDRESS_FRACTION = 0.5
KILL_VALUES = (bytes.fromhex("C0DEC0DE"), bytes.fromhex("5EA5EA00"))


class KillFiles:
    """The three contents a file may have in check `kills`: the original,
    and the original with either of two patches at one address."""

    def __init__(self, megabytes):
        data = kill_image(megabytes)
        self.address = int(len(data) * KILL_ADDRESS_FRACTION) // 16 * 16 + 5
        self.original = render([(0, data)])
        self.contents = {}
        for value in KILL_VALUES:
            changed = bytearray(data)
            changed[self.address:self.address + len(value)] = value
            self.contents[value] = render([(0, bytes(changed))])

    def next_patch(self, current):
        """The patch that changes `current`: never the one it already has."""
        return KILL_VALUES[1] if current == self.contents[KILL_VALUES[0]] else KILL_VALUES[0]


def check_kills(hexpoke, i, files, kills, rng):
    where = i.path("kills")
    path = os.path.join(where, "fw.hex")
    problems = []
    # A run not killed, which the kills are timed by.
    value = files.next_patch(files.original)
    ran = hexpoke(path, path, files.address, value)
    current = read_file(path)
    if ran.code != 0 or ran.output or current != files.contents[value]:
        problems.append("the first run, not killed: %s; %s" % (
            describe(ran), "the file has the new content" if current == files.contents[value]
            else "the file is as it was" if current == files.original
            else difference(files.contents[value], current)))
        if current not in (files.original, files.contents[value]):
            return Outcome("kills", False, "the first run, not killed, already failed: no kills "
                           "tried", problems)
    if beside(where, "fw.hex"):
        problems.append("the first run, not killed, left beside it: %s"
                        % listing(beside(where, "fw.hex")))
    duration = ran.seconds
    killed = crowded = most_beside = 0
    for kill in range(1, kills + 1):
        old = current
        value = files.next_patch(old)
        new = files.contents[value]
        with started([hexpoke.argv(path, path, files.address, value)]) as (process,):
            time.sleep(rng.uniform(0, duration))
            if process.poll() is None:
                process.send_signal(signal.SIGKILL)
            ran = finish(process)
        current = read_file(path)
        left = beside(where, "fw.hex")
        most_beside = max(most_beside, len(left))
        if ran.code == -signal.SIGKILL:
            killed += 1
            if len(left) > 1:
                crowded += 1
                problems.append("kill %d: %d files left beside it: %s" % (kill, len(left), listing(left)))
        elif ran.code != 0 or ran.output:
            problems.append("kill %d: the run ended before the kill: %s" % (kill, describe(ran)))
        else:
            if current != new:
                problems.append("kill %d: the run exited 0 before the kill, but the file is not "
                                "the new content: %s" % (kill, difference(new, current)))
            if left:
                problems.append("kill %d: the run exited 0 before the kill, and left beside it: %s"
                                % (kill, listing(left)))
        if current not in (old, new):
            problems.append("kill %d: TORN, neither the old nor the new content: against the old, "
                            "%s; against the new, %s" % (kill, difference(old, current),
                                                          difference(new, current)))
            return Outcome("kills", False, "the file was torn by kill %d; stopped there" % kill,
                           problems)
    # The next run, not killed, leaves nothing from the kills behind.
    value = files.next_patch(current)
    ran = hexpoke(path, path, files.address, value)
    current = read_file(path)
    if ran.code != 0 or ran.output:
        problems.append("the run after the kills: %s, expected exit 0 and nothing printed" % describe(ran))
    if current != files.contents[value]:
        problems.append("the run after the kills: %s" % difference(files.contents[value], current))
    left = beside(where, "fw.hex")
    if left:
        problems.append("the run after the kills (exit %s) left beside it %s: %s"
                        % (ran.code, plural(len(left), "file"), listing(left)))
    what = "%d kills (%d mid-run) on a %s file, runs of %.2f s" % (
        kills, killed, human(len(files.original)), duration)
    if problems:
        summary = what + ": "
        if crowded:
            summary += "%d left more than one file beside it (up to %d); " % (crowded, most_beside)
        return Outcome("kills", False, summary + plural(len(problems), "fault"), problems)
    return Outcome("kills", True, what + ": old or new content each time, %s" % (
        "never a file left beside it" if most_beside == 0 else "at most one file beside it"))


FULL_ADDRESS = 60000   # the patch fills 00 up to it: some 165 KB more to write
FULL_VALUE = bytes.fromhex("F0F1")


def check_full(hexpoke, machine, fs, stack):
    original = eight_records()
    try:
        i = machine.make(fs, "full", fs.full_mb, {"full/fw.hex": original}, stack)
    except Skip as reason:
        return Outcome("full", False, "the small instance could not be mounted: %s" % reason)
    free = fill(i, "filler")
    problems = []
    needed = len(expected_output(original, FULL_ADDRESS, FULL_VALUE))
    if free >= needed:
        problems.append("could not fill it: %d bytes still free, the new file needs %d" % (free, needed))
    problems += refused(hexpoke, i.path("full"), original, FULL_ADDRESS, FULL_VALUE,
                        "Error : File not written")
    if problems:
        return Outcome("full", False, plural(len(problems), "fault"), problems)
    return Outcome("full", True, "in place and to a new name: 'File not written', exit 127, "
                   "the file kept, nothing beside")


def refused(hexpoke, where, original, address, value, message):
    """Patches where/fw.hex in place and to a new name, each of which must
    end with `message` and exit 127, leaving the file as it was (`original`)
    and nothing beside it. Returns the faults found."""
    path = os.path.join(where, "fw.hex")
    problems = []
    for mode, target in (("in place", path), ("to a new name", os.path.join(where, "new.hex"))):
        ran = hexpoke(path, target, address, value)
        if ran.code != 127 or ran.output.strip() != message:
            problems.append("%s: %s, expected exit 127 and '%s'" % (mode, describe(ran), message))
        if read_file(path) != original:
            problems.append("%s: the file changed: %s" % (mode, difference(original, read_file(path))))
        left = beside(where, "fw.hex")
        if left:
            problems.append("%s: left beside it: %s" % (mode, listing(left)))
    return problems


def check_readonly(hexpoke, machine, i):
    where = i.path("read-only")
    original = eight_records()
    try:
        machine.make_readonly(i)
    except Skip as reason:
        return Outcome("read-only", False, "could not be mounted read-only: %s" % reason)
    problems = refused(hexpoke, where, original, 40, bytes.fromhex("0BAD"),
                       "Error : File not opened")
    if problems:
        return Outcome("read-only", False, plural(len(problems), "fault"), problems)
    return Outcome("read-only", True, "in place and to a new name: 'File not opened', exit 127, "
                   "the file kept")


# ---------------------------------------------------------------------------

def main_seeds(kill_files, trials):
    seeds = {"read-only/fw.hex": eight_records(), "kills/fw.hex": kill_files.original}
    for number, (_, text, _, _) in enumerate(shapes(), 1):
        for mode in ("in-place", "to-a-new-name"):
            seeds["patch/%d-%s/fw.hex" % (number, mode)] = text
    for trial in range(1, trials + 1):
        seeds["at-once/trial-%d/fw.hex" % trial] = eight_records()
    return seeds


def test_one(fs, machine, hexpoke, options, kill_files, rng):
    """The checks on `fs`: [Outcome], or raises Skip."""
    reason = unavailable(fs)
    if reason:
        raise Skip(reason)
    outcomes = []
    with contextlib.ExitStack() as stack:
        i = machine.make(fs, "main", fs.size_mb, main_seeds(kill_files(), options.trials), stack)
        for check in (lambda: check_patch(hexpoke, i),
                      lambda: check_at_once(hexpoke, i, options.trials, fs.garbled_reads),
                      lambda: check_kills(hexpoke, i, kill_files(), options.kills, rng)):
            outcomes.append(report(check()))
        with contextlib.ExitStack() as small:
            outcomes.append(report(check_full(hexpoke, machine, fs, small)))
        outcomes.append(report(check_readonly(hexpoke, machine, i)))
    return outcomes


DETAILS_SHOWN = 8


def report(outcome):
    print("  %-4s  %-9s  %s" % ("ok" if outcome.passed else "FAIL", outcome.name, outcome.summary))
    for detail in outcome.details[:DETAILS_SHOWN]:
        print("          - %s" % detail)
    if len(outcome.details) > DETAILS_SHOWN:
        print("          - and %d more" % (len(outcome.details) - DETAILS_SHOWN))
    sys.stdout.flush()
    return outcome


def summary_line(kind, part, detail):
    path = os.environ.get("HEXPOKE_SUMMARY")
    if path:
        with open(path, "a") as f:
            f.write("%s\t%s\t%s\n" % (kind, part, detail))


def give_up(reason):
    print("%s: %s" % (os.path.basename(sys.argv[0]), reason), file=sys.stderr)
    if os.environ.get("HEXPOKE_SUMMARY"):
        with open(os.environ["HEXPOKE_SUMMARY"] + ".reason", "w") as f:
            f.write(reason + "\n")
    sys.exit(SKIP_STATUS)


def interrupted(number, frame):
    print("\n%s: stopped by signal %d; unmounting what it mounted" % (
        os.path.basename(sys.argv[0]), number), file=sys.stderr)
    raise SystemExit(128 + number)


def arguments():
    parser = argparse.ArgumentParser(description="hexpoke on many file systems (run as root)")
    parser.add_argument("hexpoke", nargs="?", help="the hexpoke binary to test")
    parser.add_argument("--only", help="comma-separated keys of the file systems to test")
    parser.add_argument("--list", action="store_true", help="list the file systems and exit")
    # A patch lost to runs at once is a race: where it happened at all, one
    # trial in 10 to 30 showed it, so 100 trials find it nearly always.
    parser.add_argument("--trials", type=int, default=100,
                        help="trials of the %d runs at once" % AT_ONCE)
    parser.add_argument("--kills", type=int, default=20, help="kills mid-write")
    parser.add_argument("--kill-mb", type=int, default=20, help="size of the file killed runs patch")
    parser.add_argument("--scratch", help="a new directory for the test is made in this one")
    parser.add_argument("--seed", type=int, help="seed of the kill moments")
    options = parser.parse_args()
    if options.list:
        for fs in FILE_SYSTEMS:
            print("%-8s %-18s %s" % (fs.key, fs.name, fs.how))
        sys.exit(0)
    if not options.hexpoke:
        parser.error("the hexpoke binary to test is needed")
    keys = [fs.key for fs in FILE_SYSTEMS]
    options.only = options.only.split(",") if options.only else keys
    unknown = [key for key in options.only if key not in keys]
    if unknown:
        parser.error("unknown file system %s; known: %s" % (", ".join(unknown), ", ".join(keys)))
    if options.trials < 1 or options.kills < 0 or options.kill_mb < 1:
        parser.error("--trials and --kill-mb must be at least 1, --kills at least 0")
    return options


def main():
    options = arguments()
    hexpoke = Hexpoke(os.path.abspath(options.hexpoke))
    if not os.access(hexpoke.path, os.X_OK):
        print("no executable hexpoke at %s" % hexpoke.path, file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        give_up("not root: mounting file systems needs root")
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    seed = options.seed if options.seed is not None else int(time.time())
    rng = random.Random(seed)
    began = time.monotonic()
    if options.scratch:
        os.makedirs(options.scratch, exist_ok=True)
    # Absolute, as the mount commands are given it: the daemons are found by it.
    scratch = os.path.abspath(tempfile.mkdtemp(prefix="hexpoke-filesystems.", dir=options.scratch))
    print("== hexpoke on file systems: %s\n   scratch %s, kill seed %d, %d trials of %d runs at once,"
          " %d kills" % (hexpoke.path, scratch, seed, options.trials, AT_ONCE, options.kills))
    # Made once, when a file system is first mounted.
    kill_files = functools.lru_cache(maxsize=None)(lambda: KillFiles(options.kill_mb))
    results = []    # (FileSystem, [Outcome] or the reason it was skipped, seconds)
    with contextlib.ExitStack() as stack:
        stack.callback(remove_tree, scratch)
        machine = Machine(scratch, stack)
        for fs in FILE_SYSTEMS:
            if fs.key not in options.only:
                continue
            print("\n== %s: %s" % (fs.name, fs.how))
            sys.stdout.flush()
            started = time.monotonic()
            try:
                outcome = test_one(fs, machine, hexpoke, options, kill_files, rng)
            except Skip as reason:
                outcome = str(reason)
                print("  skipped: %s" % reason)
            results.append((fs, outcome, time.monotonic() - started))
    failed = skipped = passed = 0
    print("\n== summary: %d s" % (time.monotonic() - began))
    for fs, outcome, seconds in results:
        if isinstance(outcome, str):
            skipped += 1
            print("  %-18s skipped: %s" % (fs.name, outcome))
            summary_line("skipped", "file system " + fs.name, outcome)
            continue
        bad = [o.name for o in outcome if not o.passed]
        good = [o.name for o in outcome if o.passed]
        if bad:
            failed += 1
            detail = "FAILED %s%s (%d s)" % (", ".join(bad), "; passed " + ", ".join(good)
                                             if good else "", seconds)
        else:
            passed += 1
            detail = "%d checks passed: %s (%d s)" % (len(outcome), ", ".join(good), seconds)
        print("  %-18s %s" % (fs.name, detail))
        summary_line("ran", "file system " + fs.name, detail)
    print("file systems: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
