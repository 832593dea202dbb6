#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks what scripts/release.sh made: every artifact is there and listed
in SHA256SUMS; each archive holds one folder with the binary for its
system, the manual page, README.md, LICENSE and NOTICES.md, every member
dated at the commit; the Debian package passes lintian; and NOTICES.md
names every library and start-up object that the linker's map of each
binary shows it took something from.

Usage: release_test.py REPOSITORY   (after scripts/release.sh there)
"""
import calendar
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import zipfile

root = sys.argv[1]
dist = os.path.join(root, "dist")
builds = os.path.join(root, "build-release")
failures = []
checked = 0


def check(condition, message):
    global checked
    checked += 1
    if not condition:
        failures.append(message)


def read(path, mode="r"):
    with open(path, mode, **({} if "b" in mode else {"errors": "replace"})) as f:
        return f.read()


cmake = read(os.path.join(root, "CMakeLists.txt"))
version = re.search(r"project\(hexpoke VERSION ([0-9.]+)", cmake).group(1)
epoch = int(subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"],
                           capture_output=True, text=True, check=True).stdout)
notices = read(os.path.join(root, "NOTICES.md"))
# The system each binary is for, as its header names it: ELF e_machine or
# PE machine.
targets = {
    "linux-x86_64": ("tar.gz", "hexpoke", "hexpoke.1", ("elf", 62)),
    "linux-aarch64": ("tar.gz", "hexpoke", "hexpoke.1", ("elf", 183)),
    "linux-armhf": ("tar.gz", "hexpoke", "hexpoke.1", ("elf", 40)),
    "win32": ("zip", "hexpoke.exe", "hexpoke.html", ("pe", 0x14C)),
    "win64": ("zip", "hexpoke.exe", "hexpoke.html", ("pe", 0x8664)),
}
deb = "hexpoke_%s_amd64.deb" % version
expected = sorted(["hexpoke-%s-%s.%s" % (version, name, target[0])
                   for name, target in targets.items()] + [deb])


def machine(data):
    """(kind, machine number, whether it needs no program interpreter)."""
    if data[:4] == b"\x7fELF":
        wide, order = data[4] == 2, "big" if data[5] == 2 else "little"

        def number(offset, size):
            return int.from_bytes(data[offset:offset + size], order)
        phoff = number(32, 8) if wide else number(28, 4)
        phentsize, phnum = (number(54, 2), number(56, 2)) if wide else (
            number(42, 2), number(44, 2))
        interpreter = any(number(phoff + i * phentsize, 4) == 3  # PT_INTERP
                          for i in range(phnum))
        return ("elf", number(18, 2), not interpreter)
    if data[:2] == b"MZ":
        pe = int.from_bytes(data[60:64], "little")
        return ("pe", int.from_bytes(data[pe + 4:pe + 6], "little"), True)
    return (None, None, False)


# SHA256SUMS: exactly the artifacts, each with its hash.
sums = {}
for line in read(os.path.join(dist, "SHA256SUMS")).splitlines():
    digest, name = line.split(None, 1)
    sums[name.lstrip("*")] = digest
check(sorted(sums) == expected, "SHA256SUMS lists %s, not %s" % (sorted(sums), expected))
check(sorted(n for n in os.listdir(dist) if n != "SHA256SUMS") == expected,
      "dist/ holds %s" % sorted(os.listdir(dist)))
for name, digest in sums.items():
    path = os.path.join(dist, name)
    if os.path.exists(path):
        check(hashlib.sha256(read(path, "rb")).hexdigest() == digest,
              "%s does not match its line in SHA256SUMS" % name)

for name, (fmt, binary, manual, (kind, number)) in targets.items():
    archive = os.path.join(dist, "hexpoke-%s-%s.%s" % (version, name, fmt))
    if not os.path.exists(archive):
        continue
    folder = "hexpoke-%s-%s" % (version, name)
    members = {}
    if fmt == "tar.gz":
        with tarfile.open(archive) as tar:
            for info in tar.getmembers():
                members[info.name] = (info.mtime, info.uid, info.gid,
                                      tar.extractfile(info).read() if info.isfile() else None)
    else:
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                # A zip's dates are local time to 2 s; the release makes
                # them in UTC.
                mtime = calendar.timegm(info.date_time + (0, 0, -1))
                members[info.filename.rstrip("/")] = (
                    mtime - mtime % 2, 0, 0,
                    None if info.is_dir() else z.read(info))
    files = sorted(m[len(folder) + 1:] for m in members if m.startswith(folder + "/"))
    want = sorted([binary, manual, "README.md", "LICENSE", "NOTICES.md"])
    check(files == want, "%s holds %s, not %s" % (name, files, want))
    check(all(m == folder or m.startswith(folder + "/") for m in members),
          "%s has members outside its one folder %s" % (name, folder))
    check(all(abs(mtime - epoch) < 2 and uid == 0 and gid == 0
              for mtime, uid, gid, _ in members.values()),
          "%s has a member not dated at the commit or not owned by 0" % name)
    for document in ("README.md", "LICENSE", "NOTICES.md"):
        data = members.get(folder + "/" + document, (0, 0, 0, None))[3]
        check(data == read(os.path.join(root, document), "rb"),
              "%s's %s is not the repository's" % (name, document))
    program = members.get(folder + "/" + binary, (0, 0, 0, b""))[3] or b""
    got = machine(program)
    check(got[:2] == (kind, number) and got[2],
          "%s's %s is for %s, not a static %s" % (name, binary, got, (kind, number)))
    page = (members.get(folder + "/" + manual, (0, 0, 0, b""))[3] or b"").decode(errors="replace")
    check(("hexpoke %s" % version) in page,
          "%s's manual page does not name version %s" % (name, version))


# NOTICES.md against what the linker took: the archives that members were
# included from, and the objects it loaded, apart from hexpoke's own.
def linked(map_text):
    taken = set()
    section = False
    for line in map_text.splitlines():
        if line.startswith("Archive member included"):
            section = True
            continue
        if section and re.match(r"^(Discarded input sections|Allocating common symbols|"
                                r"Memory Configuration|Linker script and memory map)",
                                line):
            section = False
        if section:
            m = re.match(r"^\s*(\S+\.a)\(", line)
            if m:
                taken.add(os.path.basename(m.group(1)))
        m = re.match(r"^LOAD (\S+\.o)$", line)
        if m and os.path.isabs(m.group(1)):
            taken.add(os.path.basename(m.group(1)))
    return taken - {"libhexpoke_core.a"}


maps = 0
for name, (_, binary, _, _) in targets.items():
    path = os.path.join(builds, name, binary + ".map")
    if not os.path.exists(path):
        failures.append("no map of %s's link at %s" % (name, path))
        continue
    maps += 1
    taken = linked(read(path))
    check(len(taken) >= 4, "%s's map shows only %s" % (name, sorted(taken)))
    missing = sorted(f for f in taken if "`%s`" % f not in notices)
    check(not missing, "NOTICES.md does not name %s, which %s holds parts of"
          % (", ".join(missing), name))

# The Debian package, as lintian sees it: no error, no warning.
if os.path.exists(os.path.join(dist, deb)):
    result = subprocess.run(["lintian", "--pedantic", os.path.join(dist, deb)],
                            capture_output=True, text=True)
    complaints = [l for l in result.stdout.splitlines() if re.match(r"^[EW]: ", l)]
    check(not complaints, "lintian: %s" % "; ".join(complaints))

for failure in failures:
    print("FAIL:", failure)
print("%d passed, %d failed (%d link maps)" % (checked - len(failures), len(failures), maps))
sys.exit(1 if failures else 0)
