#!/usr/bin/env python3
"""Builds a tree of zero-byte files for the memory bench: FOLDERS folders of
PER_FOLDER files each, under long-ish names, 1,000,000 files by default.

usage: gen_empty_tree.py ROOT [--folders 1000] [--per-folder 1000]
"""
import argparse
import os


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--folders", type=int, default=1000)
    ap.add_argument("--per-folder", type=int, default=1000)
    args = ap.parse_args()
    os.makedirs(args.root, exist_ok=False)
    for f in range(args.folders):
        folder = os.path.join(args.root, "folder-%04d" % f)
        os.mkdir(folder)
        for i in range(args.per_folder):
            os.close(os.open(os.path.join(folder, "an-empty-placeholder-file-%06d.log" % i), os.O_CREAT | os.O_WRONLY, 0o644))
    print("%d empty files under %s" % (args.folders * args.per_folder, args.root))


if __name__ == "__main__":
    main()
