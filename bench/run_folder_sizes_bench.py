#!/usr/bin/env python3
"""Times scan_folder_sizes through the real server against the disk-usage
tools people answer the same question with, side by side in one run:
ncdu (`ncdu -x -0 -o-`: the whole tree's sizes as JSON), gdu
(`gdu -n -p -c`: the root's folders by size) and `du -x -d 2 | sort -n`
(every folder two levels down, by size). The server is asked for the
default view (depth 2, top 10 per folder).

Warm: on /usr and on the 1M-entry tree (bench/gen_tree.py), one untimed run
of everything, then ROUNDS alternating rounds. Cold (needs root and loop
devices): the 1M-entry tree and a copy of /usr's shape (its folders, names,
links and file sizes, set with truncate) each in an ext4 image on a
direct-I/O loop device, remounted before every timed run as
run_cold_bench.py does. Medians of wall time, CPU time and peak resident
memory (GNU time). Not part of the test command.

usage: run_folder_sizes_bench.py [--server build/release/corvane-mcp] [--rounds 5]
                                 [--cold-rounds 3] [--tree /tmp/corvane-bench-tree]
                                 [--image-dir /tmp] [--out bench/results/folder_sizes.md]
"""
import argparse
import json
import os
import signal
import stat
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from run_bench import count_entries, machine, measured  # noqa: E402
from run_cold_bench import LoopImage, NAMESPACE_MARK, ensure_peers, fs_of, quiet  # noqa: E402

OURS = "scan_folder_sizes"


def server_line(root):
    msg = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
           "params": {"name": OURS, "arguments": {"path": root}}}
    return (json.dumps(msg) + "\n").encode()


def commands(server, root):
    return [
        (OURS, [server], server_line(root)),
        ("ncdu -x -0 -o-", ["ncdu", "-x", "-0", "-o-", root], None),
        ("gdu -n -p -c", ["gdu", "-n", "-p", "-c", root], None),
        ("du -x -d 2 \\| sort -n", ["sh", "-c", "du -x -d 2 '%s' | sort -n" % root], None),
    ]


def total_of_server(out):
    result = json.loads(out.decode("utf-8").splitlines()[0])["result"]
    text = result["content"][0]["text"]
    if result["isError"]:
        raise RuntimeError("server failed: " + text)
    return json.loads(text[: text.index("\n\n---\n")])["file_count"]


def rounds_of(cmds, rounds, before_each=None):
    samples = {c[0]: [] for c in cmds}
    for r in range(rounds):
        for name, argv, stdin in (cmds if r % 2 == 0 else list(reversed(cmds))):
            if before_each:
                before_each()
            wall, cpu, rss, out = measured(argv, stdin)
            samples[name].append((wall, cpu, rss))
            if name == OURS:
                total_of_server(out)
    return {n: tuple(statistics.median(s[i] for s in v) for i in range(3)) for n, v in samples.items()}


def warm(server, root, rounds):
    cmds = commands(server, root)
    for _, argv, stdin in cmds:
        measured(argv, stdin)
    return rounds_of(cmds, rounds)


def copy_shape(source, dest):
    """Folders, names, links and file sizes of `source` under `dest`; no data."""
    os.makedirs(dest)
    for here, dirs, files in os.walk(source):
        rel = os.path.relpath(here, source)
        at = os.path.join(dest, rel) if rel != "." else dest
        for d in list(dirs):
            p = os.path.join(here, d)
            try:
                if os.path.islink(p) or os.lstat(p).st_dev != os.lstat(source).st_dev:
                    os.symlink(os.readlink(p) if os.path.islink(p) else "/", os.path.join(at, d))
                    dirs.remove(d)
                    continue
                os.mkdir(os.path.join(at, d))
            except OSError:
                dirs.remove(d)
        for f in files:
            p = os.path.join(here, f)
            try:
                st = os.lstat(p)
                if stat.S_ISLNK(st.st_mode):
                    os.symlink(os.readlink(p), os.path.join(at, f))
                elif stat.S_ISREG(st.st_mode):
                    with open(os.path.join(at, f), "wb") as out:
                        out.truncate(st.st_size)
            except OSError:
                pass


def cold(server, image_dir, name, fill, entries, rounds):
    image = LoopImage(os.path.join(image_dir, "corvane-sizes-%s.img" % name))
    try:
        image.create(entries)
        image.attach()
        image.mount(writable=True)
        tree = os.path.join(image.mnt, "tree")
        fill(tree)
        counted = count_entries(tree)
        image.remount_cold()
        print("cold: %s, %d entries on %s" % (name, counted, image.device), flush=True)
        return counted, rounds_of(commands(server, tree), rounds, image.remount_cold)
    finally:
        image.release(remove=True)


def table(title, rows):
    fastest_peer = min(v[0] for n, v in rows.items() if n != OURS)
    ours = rows[OURS]
    lines = ["## " + title, "",
             "| command | wall s | CPU s | peak MiB | wall / server's |", "|---|---:|---:|---:|---:|"]
    for name, (w, c, m) in rows.items():
        lines.append("| %s | %.3f | %.3f | %.1f | %.2f |" % (name, w, c, m / 1024, w / ours[0]))
    lines += ["", "Server / fastest peer: %.2f× wall (target ≤ 0.90×)." % (ours[0] / fastest_peer), ""]
    return lines, ours[0] / fastest_peer, ours[2] / 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--server", default=os.path.join(REPO, "build", "release", "corvane-mcp"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--cold-rounds", type=int, default=3)
    ap.add_argument("--tree", default="/tmp/corvane-bench-tree")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--image-dir", default=tempfile.gettempdir())
    ap.add_argument("--out", default=os.path.join(REPO, "bench", "results", "folder_sizes.md"))
    args = ap.parse_args()
    server = os.path.abspath(args.server)
    if not os.access(server, os.X_OK):
        sys.exit("build the release server first: ./dev build release")
    can_cold = os.geteuid() == 0 and os.path.exists("/dev/loop-control") and \
        fs_of(args.image_dir)[0] not in ("tmpfs", "ramfs")
    if can_cold and os.environ.get(NAMESPACE_MARK) != "1":
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv,
                   {**os.environ, NAMESPACE_MARK: "1"})
    ensure_peers()
    signal.signal(signal.SIGTERM, lambda s, _: sys.exit(128 + s))
    if not os.path.isdir(args.tree):
        quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), args.tree, "--entries", str(args.entries)])

    loads = [os.getloadavg()[0]]
    lines = ["# Folder sizes: server vs peers", ""]
    summary = []
    for root in (args.tree, "/usr"):
        print("warm: %s" % root, flush=True)
        got, ratio, rss = table("warm, %s (%d entries)" % (root, count_entries(root)), warm(server, root, args.rounds))
        lines += got
        summary.append(("warm " + root, ratio, rss))
    if can_cold:
        gen = lambda tree: quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), tree, "--entries",
                                  str(args.entries)])
        for name, fill, entries in (("gen_tree", gen, args.entries),
                                    ("usr-shape", lambda tree: copy_shape("/usr", tree), count_entries("/usr"))):
            counted, rows = cold(server, args.image_dir, name, fill, entries, args.cold_rounds)
            got, ratio, rss = table("cold, %s (%d entries)" % (name, counted), rows)
            lines += got
            summary.append(("cold " + name, ratio, rss))
    else:
        lines += ["Cold runs skipped: they need root, loop devices and an image folder on a disk.", ""]
    loads.append(os.getloadavg()[0])

    head = ("Machine: %s. Warm: one untimed run, then %d alternating rounds; cold: %d alternating rounds, each "
            "run after the image is remounted (run_cold_bench.py's method), medians. Server runs include process "
            "start-up and the JSON reply. Load average at the start / end: %.1f / %.1f."
            % (machine(), args.rounds, args.cold_rounds, loads[0], loads[1]))
    lines[2:2] = [head, "", "| run | server / fastest peer (≤ 0.90×) | server peak MiB |", "|---|---:|---:|"] + \
        ["| %s | %.2f× | %.1f |" % s for s in summary] + [""]
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
