#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the benchmark's input files into the directory given; with
--memory first, the larger files that only the memory table reads."""
import os
import random
import sys


def record(address, data, record_type=0):
    raw = [len(data), (address >> 8) & 0xFF, address & 0xFF, record_type] + list(data)
    return ":" + "".join("%02X" % b for b in raw) + "%02X" % (-sum(raw) & 0xFF)


def write_image(path, image, per_record):
    lines = [record(o, image[o:o + per_record]) for o in range(0, len(image), per_record)]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")


def write_memory_inputs(out):
    """One-byte records at every other address, an extended linear address
    record before each 64 KiB window: the orders that make the image merge
    the most, at several sizes."""
    rng = random.Random(20261208)
    # Each window's records are the same lines: the byte at an address is
    # its offset in the window halved.
    window = [record(address, [address >> 1 & 0xFF]) for address in range(0, 0x10000, 2)]

    def write(name, windows, order):
        with open(os.path.join(out, name), "w") as f:
            for w in windows:
                f.write(record(0, [0, w], 4) + "\n" + "\n".join(order(window)) + "\n")
            f.write(":00000001FF\n")

    def shuffled(lines):
        lines = list(lines)
        rng.shuffle(lines)
        return lines

    # Descending, as interleaved_descending.hex: 14, 33 and 51 MB of text.
    for name, windows in (("descending_14mb.hex", 32), ("descending_33mb.hex", 76),
                          ("descending_51mb.hex", 116)):
        write(name, reversed(range(windows)), lambda lines: reversed(lines))
    # In random order within each window, the windows ascending and
    # descending: 35 MB each.
    write("shuffled_35mb.hex", range(80), shuffled)
    write("shuffled_descending_35mb.hex", reversed(range(80)), shuffled)


def main():
    if sys.argv[1] == "--memory":
        write_memory_inputs(sys.argv[2])
        return
    out = sys.argv[1]
    rng = random.Random(20261208)
    image = bytes(rng.randrange(256) for _ in range(0x10000))
    # 64 KiB as 4,096 records of 16 bytes.
    write_image(os.path.join(out, "image16.hex"), image, 16)
    # 256 records of 255 bytes (65,280 bytes).
    write_image(os.path.join(out, "image255.hex"), image[:256 * 255], 255)
    # The parser alone: a million well-formed lines that add nothing.
    with open(os.path.join(out, "parser.hex"), "w") as f:
        f.write((record(0, [0x10, 0x00], 2) + "\n") * 1_000_000)
    # Nothing at all: a run's fixed cost.
    open(os.path.join(out, "empty.hex"), "w").close()
    # Bad lines: 2,000,000 checksum errors, one message each.
    with open(os.path.join(out, "bad.hex"), "w") as f:
        f.write(":00000000FF\n" * 2_000_000)
    # Firmware at 0x08000000: 1 MiB as 16-byte records, an extended linear
    # address record every 64 KiB, as toolchains write it.
    big = bytes(rng.randrange(256) for _ in range(1 << 20))
    lines = []
    for offset in range(0, len(big), 16):
        address = 0x08000000 + offset
        if address % 0x10000 == 0:
            lines.append(record(0, [address >> 24, address >> 16 & 0xFF], 4))
        lines.append(record(address & 0xFFFF, big[offset:offset + 16]))
    with open(os.path.join(out, "firmware_1mib.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")
    # The same file with its records in descending order of address, each
    # window's extended linear address record before its records.
    windows = []
    for line in lines:
        if line[7:9] == "04":
            windows.append([line])
        else:
            windows[-1].append(line)
    lines = []
    for window in reversed(windows):
        lines.append(window[0])
        lines.extend(reversed(window[1:]))
    with open(os.path.join(out, "descending_1mib.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")
    # Interleaved bytes: 2,097,152 one-byte records at every other address
    # over 4 MiB from 0, an extended linear address record every 64 KiB, as
    # one bank of a pair of byte-wide memories is dumped.
    lines = []
    for address in range(0, 4 << 20, 2):
        if address % 0x10000 == 0:
            lines.append(record(0, [0, address >> 16], 4))
        lines.append(record(address & 0xFFFF, [address >> 1 & 0xFF]))
    with open(os.path.join(out, "interleaved.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")
    # The same bytes in descending order: every record goes below the ones
    # before it, the image's costliest order.
    lines = []
    for window in reversed(range((4 << 20) // 0x10000)):
        lines.append(record(0, [0, window], 4))
        for address in range(0xFFFE, -1, -2):
            lines.append(record(address, [address >> 1 & 0xFF]))
    with open(os.path.join(out, "interleaved_descending.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")
    # 100,000 one-byte records at distinct random 32-bit addresses, in random
    # order, each under its own extended linear address record.
    lines = []
    for address in rng.sample(range(1 << 32), 100_000):
        lines.append(record(0, [address >> 24, address >> 16 & 0xFF], 4))
        lines.append(record(address & 0xFFFF, [rng.randrange(256)]))
    with open(os.path.join(out, "scattered.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")
    # 16 MiB at 0x10000000 as 16-byte records under an extended linear
    # address record every 64 KiB (46 MB of text): the conversion of text
    # to bytes and back at its largest.
    huge = rng.randbytes(16 << 20)
    lines = []
    for offset in range(0, len(huge), 16):
        address = 0x10000000 + offset
        if address % 0x10000 == 0:
            lines.append(record(0, [address >> 24, address >> 16 & 0xFF], 4))
        raw = bytes([16, address >> 8 & 0xFF, address & 0xFF, 0]) + huge[offset:offset + 16]
        lines.append(":%s%02X" % (raw.hex().upper(), -sum(raw) & 0xFF))
    with open(os.path.join(out, "firmware_16mib.hex"), "w") as f:
        f.write("\n".join(lines) + "\n:00000001FF\n")


if __name__ == "__main__":
    main()
