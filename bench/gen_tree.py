#!/usr/bin/env python3
"""Builds a deterministic test tree for the directory-scan benchmarks.

About 1,000,000 entries: ~10% directories at mixed depths with chains 30+
levels deep, files with a skewed (Pareto) size distribution, ~2% zero-byte
files, chains of empty folders, symbolic links to files and directories, and
a few large sparse files. Sizes are set with truncate, so the tree takes
almost no disk space. The same seed always gives the same tree.

usage: gen_tree.py ROOT [--entries N] [--seed S]
"""
import argparse
import os
import random


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--seed", type=int, default=20240607)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.root, exist_ok=False)

    target_dirs = args.entries // 10
    dirs = [args.root]
    made = 0

    def new_dir(parent, name):
        nonlocal made
        path = os.path.join(parent, name)
        os.mkdir(path)
        made += 1
        return path

    # Directory skeleton: mostly bushy, with some deep chains.
    while made < target_dirs:
        roll = rng.random()
        parent = dirs[int(len(dirs) * rng.random() ** 0.7)]
        if roll < 0.01:
            # A deep chain, 30 to 60 levels.
            p = parent
            for level in range(rng.randint(30, 60)):
                p = new_dir(p, "chain%d_%d" % (made, level))
                dirs.append(p)
        elif roll < 0.03:
            # A chain of empty folders (stays empty: not added to `dirs`).
            p = parent
            for level in range(rng.randint(2, 12)):
                p = new_dir(p, "empty%d_%d" % (made, level))
        else:
            dirs.append(new_dir(parent, "d%d" % made))

    files = args.entries - made
    links = files // 200
    sparse = 5
    regular = files - links - sparse
    for i in range(regular):
        parent = dirs[rng.randrange(len(dirs))]
        ext = rng.choice([".txt", ".jpg", ".log", ".bin", ".tar.gz", "", ".c", ".JSON"])
        path = os.path.join(parent, "f%d%s" % (i, ext))
        if rng.random() < 0.02:
            size = 0
        else:
            size = int(min(rng.paretovariate(1.1) * 400, 2**31))
        fd = os.open(path, os.O_CREAT | os.O_WRONLY, 0o644)
        if size:
            os.ftruncate(fd, size)
        os.close(fd)
    for i in range(sparse):
        path = os.path.join(dirs[rng.randrange(len(dirs))], "sparse%d.img" % i)
        with open(path, "wb") as f:
            f.truncate((8 + i) * 2**30)
    for i in range(links):
        parent = dirs[rng.randrange(len(dirs))]
        target = dirs[rng.randrange(len(dirs))] if i % 2 else os.path.join(parent, "f%d.txt" % i)
        os.symlink(target, os.path.join(parent, "link%d" % i))
    print("%d directories, %d files, %d links under %s" % (made, regular + sparse, links, args.root))


if __name__ == "__main__":
    main()
