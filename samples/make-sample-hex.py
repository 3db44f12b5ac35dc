#!/usr/bin/env python3
"""Writes demo-firmware.hex: a made-up firmware build for demos and tests.

It looks like what a compiler's HEX output holds: a code area from address 0 in 16-byte
records, a gap, a small constant table near the top of the 40 KiB image, and configuration
bytes at 0x0001_0000 behind an extended linear address record (outside the image, so the
encoder leaves them out). The bytes come from a fixed pseudo-random sequence, so the file
is the same on every run.
"""
import sys


def record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def pseudo_random_bytes(count, seed):
    state = seed
    out = bytearray()
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return out


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "demo-firmware.hex"
    lines = []
    code = pseudo_random_bytes(24 * 1024 + 200, 2024)
    for offset in range(0, len(code), 16):
        lines.append(record(offset, 0x00, code[offset:offset + 16]))
    table = pseudo_random_bytes(96, 7)
    for offset in range(0, len(table), 16):
        lines.append(record(0x9F00 + offset, 0x00, table[offset:offset + 16]))
    lines.append(record(0x0000, 0x04, [0x00, 0x01]))
    lines.append(record(0x0000, 0x00, [0xA5, 0x5A, 0x01, 0x00]))
    lines.append(record(0x0000, 0x01, []))
    with open(path, "w", newline="") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main()
