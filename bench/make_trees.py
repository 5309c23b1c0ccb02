#!/usr/bin/env python3
"""Creates the benchmark trees under a folder (kept between runs):
  large/   a few large files (3 x 512 MiB of random-ish data)
  small/   50,000 small files (1-8 KiB) in 500 folders
  empty/   600,000 empty files in 20,000 folders (30 per folder, 3 levels)
"""
import os
import sys


def large(root):
    os.makedirs(root, exist_ok=True)
    block = os.urandom(1 << 20)
    for i in range(3):
        path = os.path.join(root, f"large{i}.bin")
        if os.path.exists(path) and os.path.getsize(path) == 512 << 20:
            continue
        with open(path, "wb") as f:
            for k in range(512):
                f.write(block[k % 7:] + block[:k % 7])


def small(root):
    if os.path.exists(os.path.join(root, "done")):
        return
    for d in range(500):
        folder = os.path.join(root, f"folder {d:03d}")
        os.makedirs(folder, exist_ok=True)
        for i in range(100):
            with open(os.path.join(folder, f"small file {i:03d}.txt"), "wb") as f:
                f.write(bytes([65 + (i % 26)]) * (1024 * (1 + (i + d) % 8)))
    open(os.path.join(root, "done"), "w").close()


def empty(root):
    if os.path.exists(os.path.join(root, "done")):
        return
    n = 0
    for a in range(20):
        for b in range(1000):
            folder = os.path.join(root, f"a{a:02d}", f"b{b:03d}")
            os.makedirs(folder, exist_ok=True)
            for i in range(30):
                open(os.path.join(folder, f"e{i:02d}.dat"), "wb").close()
                n += 1
    open(os.path.join(root, "done"), "w").close()


if __name__ == "__main__":
    base = sys.argv[1] if len(sys.argv) > 1 else "/tmp/velloran-bench"
    which = sys.argv[2:] or ["large", "small", "empty"]
    for name in which:
        globals()[name](os.path.join(base, name))
