#!/usr/bin/python3
"""Compares the panel's pixel screen, cut from a screenshot, with the picture
`quimbel screen --png` draws for the same snapshot, cell by cell.

  look.py SHOT.png X Y SIDE REFERENCE.png SCALE

X, Y, SIDE: the screen's square in the screenshot; SCALE: the reference's
pixels per cell. Prints the cells that differ; exit 1 when any does.
"""
import subprocess
import sys

import numpy as np


def pixels(path):
    size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", path], check=True,
                          capture_output=True, text=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "rgb:-"], check=True,
                         capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.uint8).reshape(h, w, 3)


def main():
    shot = pixels(sys.argv[1])
    x, y, side = int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    reference = pixels(sys.argv[5])
    scale = int(sys.argv[6])
    cell = side / 32.0
    wrong = []
    for row in range(32):
        for col in range(32):
            seen = shot[int(y + (row + 0.5) * cell), int(x + (col + 0.5) * cell)]
            want = reference[row * scale + scale // 2, col * scale + scale // 2]
            if tuple(seen) != tuple(want):
                wrong.append(f"({row},{col}) {bytes(seen).hex()} != {bytes(want).hex()}")
    print(f"{1024 - len(wrong)} of 1024 cells equal", *wrong[:8])
    sys.exit(1 if wrong else 0)


if __name__ == "__main__":
    main()
