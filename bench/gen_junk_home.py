#!/usr/bin/env python3
"""Builds a deterministic home folder for the junk-scan benchmark.

A Linux-style home as the junk catalogue sees it (HOME, XDG_CACHE_HOME =
HOME/.cache, XDG_STATE_HOME = HOME/.local/state) plus a temporary folder
for TMPDIR: package and browser caches with many small files, node_modules
and target folders in several projects (node_modules nested in
node_modules), logs, Thumbs.db / desktop.ini files deep in Documents, and
beside them an ordinary document tree made by gen_tree.py (deep chains,
links, empty folders). About 400,000 files at --scale 1. Sizes are set with truncate, so the tree
takes little disk space. The same seed always gives the same tree.

usage: gen_junk_home.py ROOT [--scale F] [--seed S]
       (ROOT/home and ROOT/tmp are created; ROOT must not exist)
"""
import argparse
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Tree:
    def __init__(self, root, rng):
        self.root = root
        self.rng = rng
        self.files = 0
        self.dirs = set()

    def file(self, rel, size=None):
        path = os.path.join(self.root, rel)
        parent = os.path.dirname(path)
        if parent not in self.dirs:
            os.makedirs(parent, exist_ok=True)
            self.dirs.add(parent)
        with open(path, "wb") as f:
            f.truncate(size if size is not None else self.size())
        self.files += 1

    def size(self):
        # Mostly small, a long tail of larger ones.
        return min(int(self.rng.paretovariate(1.2) * 700), 64 << 20)

    def hexname(self, n=40):
        return "%0*x" % (n, self.rng.getrandbits(4 * n))


def caches(t, n):
    for i in range(n(20000)):
        h = t.hexname(56)
        t.file("home/.cache/pip/http-v2/%s/%s/%s/%s/%s/%s" % (h[0], h[1], h[2], h[3], h[4], h))
    for i in range(n(1500)):
        t.file("home/.cache/pip/wheels/%s/%s/pkg%d-1.0-py3-none-any.whl" % (t.hexname(2), t.hexname(2), i))
    for i in range(n(30000)):
        h = t.hexname(64)
        t.file("home/.cache/go-build/%s/%s-%s" % (h[:2], h, "da"[i % 2]))
    for p in range(n(600)):
        base = "home/.cache/yarn/v6/npm-pkg%d-1.%d.0-%s-integrity/node_modules/pkg%d" % (p, p % 9, t.hexname(8), p)
        for f in range(30):
            t.file("%s/%s/f%d.js" % (base, ("lib", "dist", "src")[f % 3], f))
    for name, count in (("google-chrome", 15000), ("chromium", 5000), ("microsoft-edge", 3000)):
        for i in range(n(count)):
            t.file("home/.cache/%s/Default/Cache/Cache_Data/f_%06x" % (name, i))
        t.file("home/.cache/%s/Default/Cache/Cache_Data/index" % name, 48)
    for i in range(n(10000)):
        t.file("home/.cache/mozilla/firefox/k3x9a.default-release/cache2/entries/%s" % t.hexname(40).upper())
    for i in range(n(8000)):
        t.file("home/.cache/thumbnails/%s/%s.png" % (("normal", "large")[i % 2], t.hexname(32)))
    for i in range(n(6000)):
        t.file("home/.cache/mesa_shader_cache/%s/%s" % (t.hexname(2), t.hexname(38)))
    for i in range(n(9000)):
        t.file("home/.cache/JetBrains/IdeaIC2023.3/caches/%d/%d/%d/part%d" % (i % 7, i % 13, i % 5, i))
    for i in range(n(20000)):
        h = t.hexname(64)
        t.file("home/.npm/_cacache/content-v2/sha512/%s/%s/%s" % (h[:2], h[2:4], h[4:]))
        t.file("home/.npm/_cacache/index-v5/%s/%s/%s" % (h[4:6], h[6:8], h[8:48]), 300)
    for i in range(n(2000)):
        t.file("home/.cargo/registry/cache/index.crates.io-6f17d22bba15001f/crate%d-0.%d.%d.crate" % (i, i % 30, i % 7))


def node_modules(t, base, packages, rng):
    for p in range(packages):
        pkg = "%s/node_modules/pkg%d" % (base, p)
        for f in range(12):
            t.file("%s/%s/m%d.js" % (pkg, ("lib", "dist", "lib/util", "types")[f % 4], f))
        t.file("%s/package.json" % pkg, 600)
        if rng.random() < 0.2:  # a dependency with its own node_modules
            for q in range(3):
                for f in range(6):
                    t.file("%s/node_modules/sub%d/index%d.js" % (pkg, q, f))


def projects(t, n, rng):
    for p in range(6):
        root = "home/Projects/web%d" % p
        node_modules(t, root, n(800), rng)
        for f in range(n(300)):
            t.file("%s/src/%s/c%d.tsx" % (root, ("pages", "components", "lib")[f % 3], f))
        for f in range(n(200)):
            t.file("%s/%s/chunk%d.js" % (root, (".next/static", "dist")[f % 2], f))
    for p in range(3):
        root = "home/Projects/rust%d" % p
        for f in range(n(6000)):
            t.file("%s/target/debug/%s/unit%d" % (root, ("deps", "build/x/out", "incremental/q/s")[f % 3], f))
        for f in range(n(150)):
            t.file("%s/src/mod%d.rs" % (root, f))
    for p in range(4):
        root = "home/code/py%d" % p
        for f in range(n(800)):
            d = "pkg/sub%d" % (f % 20)
            t.file("%s/%s/m%d.py" % (root, d, f))
            t.file("%s/%s/__pycache__/m%d.cpython-311.pyc" % (root, d, f))
        for f in range(n(200)):
            t.file("%s/build/lib/pkg/m%d.py" % (root, f))
    # A repository checked out under Documents, as many people keep them.
    node_modules(t, "home/Documents/work/site", n(500), rng)


def documents(t, n, rng):
    for i in range(n(30000)):
        depth = rng.randint(1, 20)
        folder = "/".join("album%d" % ((i >> k) % 4) for k in range(depth))
        t.file("home/Documents/Photos/%s/IMG_%05d.JPG" % (folder, i))
        if i % 50 == 0:
            t.file("home/Documents/Photos/%s/Thumbs.db" % folder, 20480)
        if i % 170 == 0:
            t.file("home/Documents/Photos/%s/desktop.ini" % folder, 120)
    for i in range(n(2000)):
        t.file("home/Downloads/download%d.%s" % (i, ("zip", "pdf", "iso", "exe")[i % 4]))
    for i in range(n(300)):
        t.file("home/Desktop/note%d.txt" % i)
    t.file("home/Desktop/.DS_Store", 6148)
    t.file("home/Downloads/ehthumbs.db", 4096)


def logs_and_temp(t, n):
    for i in range(n(2000)):
        t.file("home/.local/state/app%d/logs/%s.log" % (i % 40, t.hexname(8)))
        t.file("home/.local/state/app%d/state%d.json" % (i % 40, i))
    for i in range(n(3000)):
        t.file("tmp/session%d/part%d.tmp" % (i % 60, i))
    for i in range(n(400)):
        t.file("tmp/file%d%s" % (i, (".dmp", ".crash", ".tmp", "")[i % 4]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=20240611)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.root, exist_ok=False)
    t = Tree(args.root, rng)

    def n(count):
        return max(1, int(count * args.scale))

    caches(t, n)
    projects(t, n, rng)
    documents(t, n, rng)
    logs_and_temp(t, n)
    print("%d junk-layout files in %d folders" % (t.files, len(t.dirs)))
    subprocess.run([sys.executable, os.path.join(HERE, "gen_tree.py"), os.path.join(args.root, "home/Documents/Archive"),
                    "--entries", str(n(100000)), "--seed", str(args.seed)], check=True)


if __name__ == "__main__":
    main()
