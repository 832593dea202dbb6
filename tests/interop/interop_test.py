#!/usr/bin/python3
"""Checks hexpoke against independent Intel HEX implementations.

For random images patched at random addresses (some past the image's end):
  - srec_cat, Python's intelhex and objcopy each read hexpoke's output and
    find exactly the expected bytes at exactly the expected addresses;
  - hexpoke reads files those tools wrote (intelhex's 32-byte lines with a
    start-address record, srec_cat's leading extended-address record) and
    writes them again as 16-byte lines with the same bytes;
  - srec_cat doing the same patch writes the same file, byte for byte;
  - files with records out of order, with gaps and under extended address
    records keep every byte at its address.

Usage: interop_test.py PATH_TO_HEXPOKE
"""
import os
import random
import subprocess
import sys
import tempfile

from intelhex import IntelHex

HEXPOKE = sys.argv[1]
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
    result = run(HEXPOKE, "-i", source, "-o", target, "-a", str(address), "-v", value)
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

                # Files written by the peers, read back by hexpoke.
                ih = IntelHex()
                ih.frombytes(image)
                ih.start_addr = {"EIP": 0}
                ih.write_hex_file(path("intelhex.hex"), byte_count=32)
                result = run("srec_cat", path("in.hex"), "-Intel",
                             "-o", path("srec_written.hex"), "-Intel")
                check(result.returncode == 0, "srec_cat could not write a file")
                for peer_file in ("intelhex.hex", "srec_written.hex"):
                    hexpoke(path(peer_file), path("again.hex"), address, value.hex())
                    check(read_bytes(path("again.hex")) == read_bytes(path("hexpoke.hex")),
                          "%s: hexpoke rewrites %s differently" % (name, peer_file))
                if len(failures) == failures_before:
                    passed += 1
                else:
                    failed += 1
        print("%d passed, %d failed" % (passed, failed))
        placement(rng, path)
    return 1 if failures else 0


def scattered_file(rng):
    """A file as other tools write them: records of random lengths, in
    shuffled order, with gaps, sometimes under a zero extended linear
    address or under extended segment addresses that stay inside 64 KiB.
    Returns its text and the bytes it holds, by address."""
    end = rng.randint(1, 0x10000)
    segments = rng.random() < 0.4
    data = {}
    groups = []
    address = rng.randrange(min(end, 300))
    while address < end:
        length = min(rng.randint(1, 255), end - address)
        chunk = [rng.randrange(256) for _ in range(length)]
        data.update(zip(range(address, address + length), chunk))
        if segments:
            # Its own segment base, at or below it in steps of 16 bytes.
            segment = rng.randrange(address // 16 + 1)
            groups.append([record(0, [segment >> 8, segment & 0xFF], 2),
                           record(address - segment * 16, chunk)])
        else:
            groups.append([record(address, chunk)])
        address += length + rng.choice([0, 0, rng.randrange(1, 2000)])
    rng.shuffle(groups)
    lines = [line for group in groups for line in group]
    if rng.random() < 0.5:
        lines.insert(0, ":020000040000FA")
    return "\n".join(lines + [":00000001FF"]) + "\n", data


def peer_views(path):
    """What intelhex and srec_cat read from `path`: bytes from address 0 to
    the last one, 00 in the gaps."""
    ih = IntelHex(path)
    ih.padding = 0x00
    intelhex = bytes(ih.tobinarray(start=0)) if ih.addresses() else b""
    binary = path + ".bin"
    # srec_cat warns of records out of order, and reads them all the same.
    result = run("srec_cat", path, "-Intel", "-o", binary, "-Binary")
    check(result.returncode == 0 and "error" not in result.stderr,
          "srec_cat cannot read %s: %s" % (path, result.stderr))
    return intelhex, read_bytes(binary)


def placement(rng, path):
    """hexpoke keeps every byte of a scattered file at its address: patched
    with the byte already at some address, its output reads, to srec_cat and
    to intelhex, as exactly the bytes the input reads as."""
    passed = failed = 0
    for _ in range(40):
        failures_before = len(failures)
        text, data = scattered_file(rng)
        with open(path("scattered.hex"), "w") as f:
            f.write(text)
        address = rng.randrange(max(data) + 1)
        hexpoke(path("scattered.hex"), path("placed.hex"), address,
                "%02X" % data.get(address, 0))
        expected = bytes(data.get(a, 0) for a in range(max(data) + 1))
        for name, before, after in zip(("intelhex", "srec_cat"),
                                       peer_views(path("scattered.hex")),
                                       peer_views(path("placed.hex"))):
            check(before == expected, "%s reads the scattered file otherwise" % name)
            check(after == before,
                  "%s: hexpoke's output of a scattered file differs" % name)
        if len(failures) == failures_before:
            passed += 1
        else:
            failed += 1
    print("placement: %d passed, %d failed" % (passed, failed))


if __name__ == "__main__":
    sys.exit(main())
