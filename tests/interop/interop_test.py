#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks hexpoke against independent Intel HEX implementations.

For random images from address 0000 (the classic firmware file), patched at
random addresses (some past the image's end):
  - srec_cat, Python's intelhex and objcopy each read hexpoke's output and
    find exactly the expected bytes at exactly the expected addresses;
  - hexpoke reads files those tools wrote (intelhex's 32-byte lines with a
    start-address record, srec_cat's leading extended-address record) and
    writes them again as 16-byte lines with the same bytes and start address;
  - srec_cat doing the same patch writes the same file, byte for byte.

For random sparse images over the whole 32-bit address space (several runs,
some across 64 KiB boundaries, gaps, a start address or none), written as
files by a writer of random record lengths and order, by intelhex and by
srec_cat, and patched inside the data, in gaps and past the end: srec_cat,
objcopy and intelhex each read hexpoke's output as exactly the input plus
the patch, start address included.

Usage: interop_test.py [EMULATOR...] PATH_TO_HEXPOKE
(EMULATOR: what runs a cross-built hexpoke, such as qemu-aarch64-static)
"""
import os
import random
import subprocess
import sys
import tempfile

from intelhex import IntelHex

HEXPOKE = sys.argv[1:]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def record(address, data, record_type=0):
    raw = [len(data), address >> 8 & 0xFF, address & 0xFF, record_type] + list(data)
    return ":" + "".join("%02X" % b for b in raw) + "%02X" % (-sum(raw) & 0xFF)


def hex_file(image, per_record=16):
    lines = [record(o, image[o:o + per_record]) for o in range(0, len(image), per_record)]
    return "\n".join(lines + [":00000001FF"]) + "\n"


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


def hexpoke(source, target, address, value):
    result = run(*HEXPOKE, "-i", source, "-o", target, "-a", str(address), "-v", value)
    check(result.returncode == 0 and result.stdout == "" and result.stderr == "",
          "hexpoke %s at %d: exit %d, %r %r"
          % (value, address, result.returncode, result.stdout, result.stderr))


def srec_patch(source, target, address, value_bytes):
    # hexpoke pads a gap before the address with zeros; srec_cat is told to.
    end = address + len(value_bytes)
    result = run("srec_cat", "(", source, "-Intel", "-exclude", str(address), str(end),
                 "-generate", str(address), str(end), "-repeat-data",
                 *["0x%02X" % b for b in value_bytes], ")", "-fill", "0x00", "0", str(end),
                 "-o", target, "-Intel", "-Output_Block_Size=16", "-address-length=2")
    check(result.returncode == 0, "srec_cat patch failed: " + result.stderr)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def peers_read(path, expected, name):
    """Every peer reads `path` and finds `expected` from address 0."""
    ih = IntelHex(path)
    check(ih.minaddr() == 0 and ih.maxaddr() == len(expected) - 1,
          "%s: intelhex sees addresses %s..%s, expected 0..%d"
          % (name, ih.minaddr(), ih.maxaddr(), len(expected) - 1))
    check(ih.tobinstr() == expected, "%s: intelhex reads other bytes" % name)

    binary = path + ".srec.bin"
    result = run("srec_cat", path, "-Intel", "-o", binary, "-Binary")
    check(result.returncode == 0 and result.stderr == "",
          "%s: srec_cat complains: %s" % (name, result.stderr))
    check(read_bytes(binary) == expected, "%s: srec_cat reads other bytes" % name)

    binary = path + ".objcopy.bin"
    result = run("objcopy", "-I", "ihex", "-O", "binary", path, binary)
    check(result.returncode == 0 and result.stderr == "",
          "%s: objcopy complains: %s" % (name, result.stderr))
    check(read_bytes(binary) == expected, "%s: objcopy reads other bytes" % name)


def main():
    rng = random.Random(int(os.environ.get("INTEROP_SEED", "20261208")))
    with tempfile.TemporaryDirectory() as work:
        path = lambda name: os.path.join(work, name)
        passed = failed = 0
        for size in [1, 15, 16, 17, 255, 4096, 40000, 65535, 65536]:
            for _ in range(3):
                failures_before = len(failures)
                image = bytes(rng.randrange(256) for _ in range(size))
                count = rng.randint(1, 8)
                # Inside the image, at its end, or past it with a gap.
                address = rng.choice([rng.randrange(size), size,
                                      min(size + rng.randrange(100), 65536 - count)])
                address = min(address, 65536 - count)
                value = bytes(rng.randrange(256) for _ in range(count))
                expected = bytearray(image)
                if len(expected) < address + count:
                    expected.extend(bytes(address + count - len(expected)))
                expected[address:address + count] = value
                expected = bytes(expected)
                name = "%d bytes, %d at %d" % (size, count, address)

                with open(path("in.hex"), "w") as f:
                    f.write(hex_file(image))
                hexpoke(path("in.hex"), path("hexpoke.hex"), address, value.hex())
                peers_read(path("hexpoke.hex"), expected, name)

                srec_patch(path("in.hex"), path("srec.hex"), address, value)
                check(read_bytes(path("srec.hex")) == read_bytes(path("hexpoke.hex")),
                      "%s: srec_cat's patched file differs" % name)

                # Files written by the peers, read back by hexpoke. The start
                # address that intelhex writes is kept, just before the end.
                ih = IntelHex()
                ih.frombytes(image)
                ih.start_addr = {"EIP": 0x1234}
                ih.write_hex_file(path("intelhex.hex"), byte_count=32)
                result = run("srec_cat", path("in.hex"), "-Intel",
                             "-o", path("srec_written.hex"), "-Intel")
                check(result.returncode == 0, "srec_cat could not write a file")
                plain = read_bytes(path("hexpoke.hex"))
                started = plain.replace(b":00000001FF\n", b"%s\n:00000001FF\n"
                                        % record(0, [0, 0, 0x12, 0x34], 5).encode())
                for peer_file, expected_file in (("intelhex.hex", started),
                                                 ("srec_written.hex", plain)):
                    hexpoke(path(peer_file), path("again.hex"), address, value.hex())
                    check(read_bytes(path("again.hex")) == expected_file,
                          "%s: hexpoke rewrites %s differently" % (name, peer_file))
                if len(failures) == failures_before:
                    passed += 1
                else:
                    failed += 1
        print("%d passed, %d failed" % (passed, failed))
        sparse(rng, path)
    return 1 if failures else 0


WINDOW = 0x10000
SPACE = 1 << 32
LARGEST_PATCH_ADDRESS = (1 << 31) - 1  # -a takes an int


def sparse_image(rng):
    """Random runs over the address space: (bytes by address, style). The
    style says how a file places them: "none" (all below 64 KiB, no extended
    address records), "segment" (02 records, all below 1 MiB) or "linear"."""
    style = rng.choice(["none", "segment", "linear", "linear"])
    top = {"none": WINDOW, "segment": 0x100000, "linear": SPACE}[style]
    data = {}
    for _ in range(rng.randint(1, 5)):
        length = rng.randint(1, 3000)
        kind = rng.random()
        if kind < 0.3 and top > WINDOW:  # across a 64 KiB boundary
            start = rng.randrange(WINDOW, top, WINDOW) - rng.randint(1, length)
        elif kind < 0.5:  # where firmware lives: low, or at 0x08000000
            start = rng.choice([0, 0x7000, 0x08000000 % top]) + rng.randrange(64)
        else:
            start = rng.randrange(top - length)
        start = max(0, min(start, top - length))
        data.update((a, rng.randrange(256)) for a in range(start, start + length))
    return data, style


def random_start(rng):
    """No start address, or one of either kind, as intelhex spells it."""
    return rng.choice([None, {"EIP": rng.randrange(SPACE)},
                       {"CS": rng.randrange(WINDOW), "IP": rng.randrange(WINDOW)}])


def start_record(start):
    if "EIP" in start:
        return record(0, list(start["EIP"].to_bytes(4, "big")), 5)
    return record(0, list(start["CS"].to_bytes(2, "big") + start["IP"].to_bytes(2, "big")), 3)


def runs_of(data):
    """The runs of consecutive addresses: [(start, [bytes])]."""
    runs = []
    for address in sorted(data):
        if runs and runs[-1][0] + len(runs[-1][1]) == address:
            runs[-1][1].append(data[address])
        else:
            runs.append((address, [data[address]]))
    return runs


def own_file(rng, data, style, start):
    """A file as toolchains write them, more or less: records of random
    lengths, in random order, each group under its own extended address
    record. Linear records may run on across a 64 KiB boundary; segment
    records stay inside their segment."""
    groups = []
    for run_start, run in runs_of(data):
        at = 0
        while at < len(run):
            address = run_start + at
            length = min(rng.randint(1, 255), len(run) - at)
            chunk = run[at:at + length]
            if style == "none":
                groups.append([record(address, chunk)])
            elif style == "segment":
                # A segment at or below the address, whose 64 KiB hold the record.
                lowest = max(0, (address + length - WINDOW + 15) // 16)
                segment = rng.randint(lowest, min(address // 16, 0xFFFF))
                groups.append([record(0, [segment >> 8, segment & 0xFF], 2),
                               record(address - segment * 16, chunk)])
            else:
                groups.append([record(0, [address >> 24, address >> 16 & 0xFF], 4),
                               record(address & 0xFFFF, chunk)])
            at += length
    rng.shuffle(groups)
    lines = [line for group in groups for line in group]
    if start is not None:
        lines.insert(rng.randrange(len(lines) + 1), start_record(start))
    return "\n".join(lines + [":00000001FF"]) + "\n"


def intelhex_file(rng, path, data, start):
    ih = IntelHex()
    for address, byte in data.items():
        ih[address] = byte
    ih.start_addr = start
    ih.write_hex_file(path, byte_count=rng.choice([8, 16, 32, 255]))


def start_as_linear(start):
    """The start address as srec_cat and objcopy report it."""
    if start is None:
        return None
    return start["EIP"] if "EIP" in start else start["CS"] * 16 + start["IP"]


def read_own(text):
    """The bytes and start address of a file of 00, 01, 04 and 05 records, as
    srec_cat writes them."""
    data, base, start = {}, 0, None
    for line in text.split():
        raw = bytes.fromhex(line[1:])
        length, address, kind, payload = raw[0], raw[1] << 8 | raw[2], raw[3], raw[4:-1]
        if kind == 0:
            data.update((base + address + i, b) for i, b in enumerate(payload))
        elif kind == 4:
            base = int.from_bytes(payload, "big") << 16
        elif kind == 5:
            start = int.from_bytes(payload, "big")
        elif kind != 1:
            raise ValueError("unexpected record " + line)
    return data, start


def read_srec(text):
    """The bytes and start address of S-records, as objcopy writes them."""
    data, start = {}, None
    for line in text.split():
        kind, raw = line[1], bytes.fromhex(line[2:])
        width = {"1": 2, "2": 3, "3": 4, "7": 4, "8": 3, "9": 2}.get(kind)
        if width is None:
            continue
        address = int.from_bytes(raw[1:1 + width], "big")
        if kind in "123":
            data.update((address + i, b) for i, b in enumerate(raw[1 + width:-1]))
        else:
            start = address
    return data, start


def peers_see(path, data, start, name):
    """srec_cat, objcopy and intelhex all read `path` as `data` and `start`."""
    ih = IntelHex(path)
    seen = ih.todict()
    seen_start = seen.pop("start_addr", None)
    check(seen == data, "%s: intelhex reads other bytes" % name)
    check(seen_start == start, "%s: intelhex reads start %s, not %s"
          % (name, seen_start, start))

    result = run("srec_cat", path, "-Intel", "-o", "-", "-Intel", "-address-length=4")
    check(result.returncode == 0 and result.stderr == "",
          "%s: srec_cat complains: %s" % (name, result.stderr))
    seen, seen_start = read_own(result.stdout)
    check(seen == data, "%s: srec_cat reads other bytes" % name)
    check(seen_start == start_as_linear(start), "%s: srec_cat reads another start" % name)

    srec = path + ".srec"
    # S3 and S7 records throughout: 32-bit addresses, and so a start
    # address that is not cut to the width the data's addresses need.
    result = run("objcopy", "-I", "ihex", "-O", "srec", "--srec-forceS3", path, srec)
    check(result.returncode == 0 and result.stderr == "",
          "%s: objcopy complains: %s" % (name, result.stderr))
    seen, seen_start = read_srec(read_bytes(srec).decode()) if result.returncode == 0 else ({}, None)
    check(seen == data, "%s: objcopy reads other bytes" % name)
    # objcopy writes a start address of 0 for a file without one.
    check(seen_start == (start_as_linear(start) if start is not None else 0),
          "%s: objcopy reads start %s, not %s" % (name, seen_start, start))


def patch_address(rng, data, count):
    """Inside the data, in a gap, or past the end; within -a's range."""
    end = max(data) + 1
    patchable = [a for a in data if a + count <= LARGEST_PATCH_ADDRESS]
    where = rng.choice(["inside", "gap", "past the end", "low"])
    if where == "inside" and patchable:
        return rng.choice(patchable), where
    if where == "gap":
        for _ in range(100):
            address = rng.randrange(min(end, LARGEST_PATCH_ADDRESS))
            if address not in data:
                return address, where
    if where == "low" and end < WINDOW:
        return rng.randrange(end, WINDOW), "past the end below 64 KiB"
    if end + count <= LARGEST_PATCH_ADDRESS:
        return rng.randrange(end, min(end + 0x100000, LARGEST_PATCH_ADDRESS - count)), "past the end"
    return rng.randrange(LARGEST_PATCH_ADDRESS - count), "anywhere"


def patched(data, address, value):
    """What hexpoke must make of the data: a patch that starts below 64 KiB
    at or past the image's end grows it with 00 up to the patch; every other
    patch adds its own bytes only."""
    data = dict(data)
    end = max(data) + 1 if data else 0
    if address < WINDOW:
        data.update((a, 0) for a in range(end, address))
    data.update((address + i, b) for i, b in enumerate(value))
    return data


def sparse(rng, path):
    passed = failed = 0
    for case in range(60):
        data, style = sparse_image(rng)
        start = random_start(rng)
        writer = ["own", "intelhex", "srec_cat"][case % 3]
        source = path("sparse.hex")
        if writer == "own":
            with open(source, "w") as f:
                f.write(own_file(rng, data, style, start))
        elif writer == "intelhex":
            intelhex_file(rng, source, data, start)
        else:
            # srec_cat rewrites intelhex's file in its own way: 04 records
            # where needed, records of its own length, 05 start addresses.
            intelhex_file(rng, path("for_srec.hex"), data, start)
            result = run("srec_cat", path("for_srec.hex"), "-Intel", "-o", source, "-Intel",
                         "-Output_Block_Size=%d" % rng.choice([16, 32, 64]))
            check(result.returncode == 0, "srec_cat could not write: " + result.stderr)
            if start is not None:
                start = {"EIP": start_as_linear(start)}
        failures_before = len(failures)
        count = rng.randint(1, 8)
        address, where = patch_address(rng, data, count)
        value = bytes(rng.randrange(256) for _ in range(count))
        name = "sparse %d (%s, %s, %d runs), %d bytes %s at 0x%X" % (
            case, writer, style, len(runs_of(data)), count, where, address)
        hexpoke(source, path("out.hex"), address, value.hex())
        peers_see(path("out.hex"), patched(data, address, value), start, name)
        if len(failures) == failures_before:
            passed += 1
        else:
            failed += 1
    print("sparse: %d passed, %d failed" % (passed, failed))


if __name__ == "__main__":
    sys.exit(main())
