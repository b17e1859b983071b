#!/usr/bin/env python3
"""Compares the replies of two server binaries, byte for byte, on every
walking tool: over /usr, a given big tree and random trees from
tests/e2e/random_tree.py. The old binary runs once per target; the new one
with the machine showing 1, 2, 16 and 64 processors (a file bind-mounted
over /sys/devices/system/cpu/online in a private mount namespace, so root
only). /var/log, /var/tmp and /var/crash are empty tmpfs mounts in every
run, so that scan_junk sees only the random tree it is pointed at.

Prints one line per tool: "identical on N trees", or the first tree, tool,
arguments and processor count that differ with a short diff. Exits 1 on any
difference.

usage: walk_differential.py --old PATH --new PATH [--tree DIR] [--usr DIR]
                            [--random N] [--counts 1,2,16,64] [--seed S]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "tests", "e2e", "random_tree.py")
TOOLS = ["scan_top_files", "scan_empty_files", "scan_empty_folders", "scan_folder_sizes", "find_copies",
         "find_duplicates", "scan_junk"]
WRAPPER = "\n".join([
    '[ -z "$1" ] || mount --bind "$1" /sys/devices/system/cpu/online || exit 97',
    "for d in /var/log /var/tmp /var/crash; do if [ -d $d ]; then mount -t tmpfs none $d || exit 98; fi; done",
    'exec "$2"',
])


def some_file(root, min_size):
    """The first regular file of at least min_size bytes in sorted order, or None."""
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            p = os.path.join(folder, name)
            try:
                if os.path.isfile(p) and not os.path.islink(p) and os.path.getsize(p) >= min_size:
                    p.encode("utf-8")
                    return p
            except (OSError, UnicodeEncodeError):
                pass
    return None


def calls_for(root, big):
    """[tool, arguments] for one target; a big one gets fewer, cheaper calls."""
    sub = os.path.join(root, "Projects" if not big else "share")
    out = [
        ["scan_top_files", {"path": root, "top_n": 3}],
        ["scan_top_files", {"path": root, "top_n": 200}],
        ["scan_empty_files", {"path": root}],
        ["scan_empty_files", {"path": root, "exclude_paths": ["node_modules", sub]}],
        ["scan_empty_folders", {"path": root}],
        ["scan_empty_folders", {"path": root, "recursive": False}],
        ["scan_folder_sizes", {"path": root, "depth": 8 if not big else 3, "top_n": 3}],
        ["scan_folder_sizes", {"path": root, "exclude_paths": [".cache", "node_modules"]}],
        ["find_duplicates", {"search_dirs": [root, sub], "min_size": 1 if not big else 1 << 20}],
    ]
    if not big:
        out += [
            ["scan_top_files", {"path": root, "top_n": 1}],
            ["scan_empty_files", {"path": root, "recursive": False}],
            ["scan_empty_folders", {"path": root, "exclude_paths": [".cache", sub + "/"]}],
            ["scan_folder_sizes", {"path": root, "depth": 1, "top_n": 1}],
            ["find_duplicates", {"search_dirs": [sub, root], "recursive": False, "min_size": 0}],
            ["find_duplicates", {"search_dirs": [root], "exclude_paths": [".tmp"], "min_size": 4096}],
        ]
    seed = some_file(root, 4096 if not big else 1 << 16)
    if seed:
        out.append(["find_copies", {"seed_path": seed, "search_dirs": [root]}])
        if not big:
            out.append(["find_copies", {"seed_path": seed, "search_dirs": [sub, root], "recursive": False}])
            out.append(["find_copies", {"seed_path": seed, "search_dirs": [root], "match_mode": "similar",
                                        "similarity_threshold": 0.5}])
    return out


def junk_env(root):
    return {"HOME": root, "XDG_CACHE_HOME": os.path.join(root, ".cache"),
            "XDG_STATE_HOME": os.path.join(root, ".local/state"), "TMPDIR": os.path.join(root, "tmp")}


def run(binary, online_file, calls, env=None):
    """The reply lines of one server run that makes `calls` in order."""
    text = "".join(json.dumps({"jsonrpc": "2.0", "id": i + 1, "method": "tools/call",
                               "params": {"name": name, "arguments": args}}, ensure_ascii=False) + "\n"
                   for i, (name, args) in enumerate(calls))
    full_env = dict(os.environ, CORVANE_TEST_WARM_AHEAD="off", **(env or {}))
    done = subprocess.run(["unshare", "-m", "sh", "-c", WRAPPER, "walk_differential", online_file or "", binary],
                          input=text.encode("utf-8"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env)
    if done.returncode != 0:
        sys.exit(f"{binary} exited {done.returncode}: {done.stderr.decode(errors='replace')[:2000]}")
    lines = done.stdout.decode("utf-8", errors="surrogateescape").rstrip("\n").split("\n")
    if len(lines) != len(calls):
        sys.exit(f"{binary}: {len(lines)} replies to {len(calls)} calls")
    return lines


def short_diff(a, b):
    i = 0
    while i < min(len(a), len(b)) and a[i] == b[i]:
        i += 1
    lo = max(0, i - 60)
    return f"at byte {i}: old {a[lo:i + 60]!r} / new {b[lo:i + 60]!r}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--old", required=True)
    ap.add_argument("--new", required=True)
    ap.add_argument("--tree", default="/tmp/corvane-bench-tree", help="a big tree; skipped when absent")
    ap.add_argument("--usr", default="/usr", help="a system folder; '' to skip")
    ap.add_argument("--random", type=int, default=100, help="how many random trees")
    ap.add_argument("--seed", type=int, default=1, help="the first random tree's seed")
    ap.add_argument("--counts", default="1,2,16,64", help="processor counts for the new binary")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the processor count is faked with a bind mount")
    counts = [int(c) for c in args.counts.split(",")]
    work = tempfile.mkdtemp(prefix="corvane-walkdiff-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.chmod(work, 0o755)
    try:
        online = {}
        for n in counts:
            online[n] = os.path.join(work, f"online-{n}")
            with open(online[n], "w") as f:
                f.write("0\n" if n == 1 else f"0-{n - 1}\n")
        # (target label, calls, environment); a target's calls run in one server.
        targets = []
        for big in [p for p in (args.usr, args.tree) if p and os.path.isdir(p)]:
            targets.append((big, calls_for(big, True), None))
        for i in range(args.random):
            seed = args.seed + i
            root = os.path.join(work, f"t{seed}")
            subprocess.run([sys.executable, GENERATOR, root, str(seed)], check=True)
            targets.append((f"random tree {seed}", calls_for(root, False), None))
            targets.append((f"random tree {seed}", [["scan_junk", {}]], junk_env(root)))
        seen = {tool: set() for tool in TOOLS}
        first_difference = {}
        for label, calls, env in targets:
            old = run(args.old, None, calls, env)
            for n in counts:
                new = run(args.new, online[n], calls, env)
                for (tool, arguments), a, b in zip(calls, old, new):
                    seen[tool].add(label)
                    if a != b and tool not in first_difference:
                        first_difference[tool] = (f"{label}, {n} processors, {json.dumps(arguments, ensure_ascii=False)}: "
                                                  f"{short_diff(a, b)}")
        for tool in TOOLS:
            if tool in first_difference:
                print(f"{tool}: DIFFERS on {first_difference[tool]}")
            else:
                print(f"{tool}: identical on {len(seen[tool])} trees")
        return 1 if first_difference else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
