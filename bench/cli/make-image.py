#!/usr/bin/env python3
"""Writes an 8 MiB image with 0xFF gaps (data runs of 64 bytes to 4 KiB, gaps of 6 to 512
bytes), the same on every run: the input of the conversion benchmark."""
import random
import sys

random.seed(1)
image = bytearray(b"\xff" * (8 * 1024 * 1024))
i = 0
while i < len(image):
    for _ in range(64 + random.randrange(4032)):
        if i >= len(image):
            break
        image[i] = random.randrange(255)
        i += 1
    i += 6 + random.randrange(507)
with open(sys.argv[1], "wb") as f:
    f.write(image)
