#!/usr/bin/env python3
"""Writes a random tree for the walk comparisons: the same seed always gives
the same tree.

Nested folders of random depth and width; files whose sizes come from a
short list, so that many share a size (and the largest size several times,
so that a short list of the largest files is cut inside a tie); zero-byte
files; empty folders, chains of them and folders holding only them; the
same content many times and contents one byte apart; hard links; links to
files, to folders, to an ancestor and to nothing; a FIFO; names with
spaces, non-ASCII, bytes that are not UTF-8 and case variants; names that
look like junk; now and then a folder of a few thousand entries. The root
also has a home's layout (Projects, .cache, .local/state, tmp, ...), so
that scan_junk pointed at it has something in every kind of folder.

usage: random_tree.py ROOT SEED   (ROOT must not exist yet)
"""
import os
import random
import sys

SIZES = [1, 2, 3, 7, 100, 512, 4096, 4096, 65535, 65536, 65537, 100000]
BASES = ["file", "Data", "a b", " lead", "trail ", "Ünïcødé", "naïve café", "日本語", "emoji😀", "ΣΊΣΥΦΟΣ",
         "UPPER", "upper", "Mixed", "x", "#hash", "-dash", "semi;colon", "quote'd", 'dq"x', "percent%20"]
EXTS = ["", "", ".txt", ".TXT", ".bin", ".Bin", ".log", ".tmp", ".tar.gz", ".", ".dat", ".DMP", ".md"]
JUNK_FILES = ["Thumbs.db", ".DS_Store", "desktop.ini", "core.tmp", "debug.log", "x.TMP", "crash.dmp"]
JUNK_DIRS = ["node_modules", ".cache", "__pycache__", "target", "build", "dist", ".gradle", ".next"]
# Where scan_junk looks, with the root as HOME and TMPDIR at root/tmp.
HOME_DIRS = ["Projects", "Documents", "Desktop", "Downloads", "src", "code", ".cache", ".cache/thumbnails",
             ".cache/chromium/Default/Cache", ".cache/pip", ".local/state", ".npm/_cacache", "tmp"]


class Tree:
    def __init__(self, root, seed):
        self.rng = random.Random(seed)
        self.root = root
        self.files = []    # regular files written, for hard links and file links
        self.folders = []  # folders made, for folder links
        self.serial = 0
        self.top_size = self.rng.choice([65537, 100000, 131072])
        self.pool = self.contents()

    def contents(self):
        """Contents shared by many files: a base per size, and bases one byte apart."""
        rng = self.rng
        pool = []
        for size in sorted(set(rng.sample(SIZES, 6) + [self.top_size])):
            base = bytearray(rng.randbytes(size))
            pool.append(bytes(base))
            for at in (0, size // 2, size - 1):
                if rng.random() < 0.5:
                    near = bytearray(base)
                    near[at] ^= 0x5A
                    pool.append(bytes(near))
        return pool

    def name(self, folder):
        rng = self.rng
        self.serial += 1
        roll = rng.random()
        if roll < 0.08:
            base = rng.choice(JUNK_FILES)
            # A junk name once per folder; after that a number in front keeps the extension.
            return base if not os.path.exists(os.path.join(folder, base)) else f"{self.serial}{base}"
        name = f"{rng.choice(BASES)}{self.serial}{rng.choice(EXTS)}"
        if rng.random() < 0.1:
            # Its case variant beside it.
            return [name, name.swapcase()]
        return name

    def content(self):
        rng = self.rng
        roll = rng.random()
        if roll < 0.15:
            return b""
        if roll < 0.6:
            return rng.choice(self.pool)
        if roll < 0.68:
            return rng.randbytes(self.top_size)  # the largest size, other content: ties at the cut
        return rng.randbytes(rng.choice(SIZES))

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)
        self.files.append(path)

    def put_file(self, folder):
        names = self.name(folder)
        for n in names if isinstance(names, list) else [names]:
            self.write(os.path.join(folder, n), self.content())

    def empty_chain(self, folder):
        path = folder
        for i in range(self.rng.randint(1, 5)):
            path = os.path.join(path, f"empty{self.serial}-{i}")
        os.makedirs(path)
        self.serial += 1
        # Folders holding only empty folders, beside the chain.
        if self.rng.random() < 0.5:
            for i in range(self.rng.randint(1, 3)):
                os.mkdir(os.path.join(os.path.dirname(path), f"bare{self.serial}-{i}"))

    def link(self, folder):
        rng = self.rng
        self.serial += 1
        at = os.path.join(folder, f"link{self.serial}")
        roll = rng.random()
        if roll < 0.3 and self.files:
            os.symlink(os.path.relpath(rng.choice(self.files), folder), at)
        elif roll < 0.55 and self.folders:
            os.symlink(os.path.relpath(rng.choice(self.folders), folder), at)
        elif roll < 0.7:
            os.symlink("..", at)  # a loop through its parent
        elif roll < 0.8:
            os.symlink("no/such/target", at)
        elif self.files:
            os.link(rng.choice(self.files), at)

    def wide(self, folder):
        """A few thousand entries in one folder: small files of few sizes, some empty folders."""
        rng = self.rng
        path = os.path.join(folder, f"wide{self.serial}")
        os.mkdir(path)
        self.serial += 1
        for i in range(rng.randint(2000, 4000)):
            if rng.random() < 0.05:
                os.mkdir(os.path.join(path, f"d{i}"))
            else:
                with open(os.path.join(path, f"f{i}{rng.choice(EXTS)}"), "wb") as f:
                    f.write(b"w" * rng.choice([0, 0, 1, 2, 3, 4096]))

    def fill(self, folder, depth, budget):
        """Random entries below `folder`; returns how many of `budget` are left."""
        rng = self.rng
        self.folders.append(folder)
        for _ in range(rng.randint(0, 9)):
            if budget <= 0:
                break
            budget -= 1
            roll = rng.random()
            if roll < 0.55:
                self.put_file(folder)
            elif roll < 0.8 and depth > 0:
                if rng.random() < 0.15:
                    sub = rng.choice(JUNK_DIRS)
                    sub = os.path.join(folder, sub if not os.path.exists(os.path.join(folder, sub)) else f"{sub}{self.serial}")
                else:
                    sub = os.path.join(folder, f"{rng.choice(BASES)}{self.serial} dir")
                self.serial += 1
                os.mkdir(sub)
                budget = self.fill(sub, depth - 1 - (rng.random() < 0.3), budget)
            elif roll < 0.88:
                self.empty_chain(folder)
            else:
                self.link(folder)
        return budget

    def build(self):
        rng = self.rng
        os.makedirs(self.root)
        for d in HOME_DIRS:
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        budget = rng.randint(150, 900)
        # Most of the tree below the home's folders, the rest at the root.
        for d in rng.sample(HOME_DIRS, 6) + [""]:
            budget = self.fill(os.path.join(self.root, d), rng.randint(1, 7), budget // 2 + 20)
        # Junk the categories look for by name.
        os.makedirs(os.path.join(self.root, "Projects/web/node_modules/dep/node_modules"), exist_ok=True)
        self.write(os.path.join(self.root, "Projects/web/node_modules/dep/index.js"), rng.choice(self.pool))
        self.write(os.path.join(self.root, "tmp/left.tmp"), rng.randbytes(rng.choice(SIZES)))
        self.write(os.path.join(self.root, "Desktop/Thumbs.db"), rng.randbytes(rng.choice(SIZES)))
        # The largest size a few times more: scan_top_files with a short list cuts inside them.
        for i in range(rng.randint(2, 6)):
            folder = rng.choice(self.folders)
            self.write(os.path.join(folder, f"top{i}.bin"), rng.randbytes(self.top_size))
        if rng.random() < 0.8:
            os.mkfifo(os.path.join(rng.choice(self.folders), "pipe"))
        if rng.random() < 0.3:
            # A name that is not UTF-8.
            with open(os.fsencode(rng.choice(self.folders)) + b"/bad\xff\xfename", "wb") as f:
                f.write(rng.choice(self.pool))
        if rng.random() < 0.35:
            self.wide(rng.choice(self.folders))
        # Links made last can point at anything made before.
        for _ in range(rng.randint(1, 6)):
            self.link(rng.choice(self.folders))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.rstrip().rsplit("\n", 1)[-1])
    Tree(sys.argv[1], int(sys.argv[2])).build()


if __name__ == "__main__":
    main()
