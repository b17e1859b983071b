#!/usr/bin/env python3
"""Times find_duplicates through the real server against jdupes, fdupes and
rmlint finding every duplicate group of the same tree, side by side in one
run: /usr and the 1,000,000-entry tree of bench/gen_tree.py, warm and cold.

Warm: one untimed run of every command, then ROUNDS rounds in alternating
order. Cold: the tree sits in an ext4 image on a loop device opened with
direct I/O (run_cold_bench.py's method: unmounted, buffers flushed and
mounted again before every run), /usr as a copy of it. Medians of wall
time, CPU time and peak resident memory (GNU time); each peer's figure over
the server's (above 1: the server is faster or smaller). Needs root for the
cold half; skips it otherwise. Not part of the test command.

usage: run_dups_bench.py [--server build/release/corvane-mcp] [--rounds 3] [--big-rounds 1]
                         [--entries 1000000] [--image-dir /tmp] [--keep]
                         [--warm-only] [--out bench/results/find_duplicates.md]
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from run_bench import TIME, count_entries, measured  # noqa: E402
from run_cold_bench import (NAMESPACE_MARK, LoopImage, describe, ensure_peers, machine, quiet,  # noqa: E402
                            stop_on_signal, write_report)

OURS = "server: find_duplicates"
# A peer stopped after this long shows as this long, with what it found by
# then, marked "stopped".
LIMIT_S = 300
LIMIT = ["timeout", str(LIMIT_S)]


def groups_of_server(out):
    result = json.loads(out.decode("utf-8").splitlines()[0])["result"]
    text = result["content"][0]["text"]
    if result["isError"]:
        raise RuntimeError("server failed: " + text)
    payload = json.loads(text[: text.index("\n\n---\n")])
    return payload["group_count"], payload["duplicate_count"]


def groups_of_fdupes_format(out):
    """Groups and extra copies of jdupes/fdupes output: one path a line, groups
    apart by an empty line."""
    groups = copies = 0
    for block in out.decode("utf-8", "replace").split("\n\n"):
        paths = [p for p in block.split("\n") if p]
        if len(paths) > 1:
            groups += 1
            copies += len(paths) - 1
    return groups, copies


def commands(server, root):
    """(name, argv, stdin, how to count the groups). Every peer is asked for
    the same job: every group of identical files of at least one byte, links
    not followed, hard links not reported as copies of each other. rmlint
    writes its report to stdout (never to a file of its choosing)."""
    line = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": "find_duplicates", "arguments": {"search_dirs": [root]}}}) + "\n"
    return [
        (OURS, [server], line.encode(), groups_of_server),
        ("jdupes -r -q", LIMIT + ["jdupes", "-r", "-q", root], None, groups_of_fdupes_format),
        ("fdupes -r -q -n", LIMIT + ["fdupes", "-r", "-q", "-n", root], None, groups_of_fdupes_format),
        ("rmlint -T df -o fdupes:stdout", LIMIT + ["rmlint", "-T", "df", "-o", "fdupes:stdout", root], None,
         groups_of_fdupes_format),
    ]


def timed_rounds(cmds, rounds, before_each=None):
    runs = {c[0]: [] for c in cmds}
    found = {}
    for r in range(rounds):
        for name, argv, stdin, groups in (cmds if r % 2 == 0 else list(reversed(cmds))):
            if before_each:
                before_each()
            wall, cpu, rss, out = measured(argv, stdin)
            runs[name].append((wall, cpu, rss))
            found[name] = groups(out)
            print("  round %d  %-30s %8.3f s %7.1f MiB" % (r + 1, name, wall, rss / 1024), flush=True)
    return runs, found


def rows_of(runs, found):
    med = lambda name, i: statistics.median(s[i] for s in runs[name])
    base = [med(OURS, i) for i in range(3)]
    return [(name, med(name, 0), med(name, 1), med(name, 2), med(name, 0) / base[0], med(name, 2) / base[2],
             found[name]) for name in runs]


def warm(server, root, rounds, warm_up_all=True):
    """`warm_up_all` false: only the server's untimed run brings the tree into
    memory (enough when the files are sparse, so holding no data)."""
    cmds = commands(server, root)
    for _, argv, stdin, _ in (cmds if warm_up_all else cmds[:1]):
        measured(argv, stdin)
    return rows_of(*timed_rounds(cmds, rounds))


def cold(image, server, root, rounds):
    return rows_of(*timed_rounds(commands(server, root), rounds, image.remount_cold))


def make_image(image, size, inodes):
    with open(image.path, "wb") as f:
        f.truncate(size)
    quiet(["mkfs.ext4", "-q", "-F", "-m", "0", "-N", str(inodes), "-E", "lazy_itable_init=0,lazy_journal_init=0",
           "-L", "corvane-dups", image.path])


def cold_tree(args, server, name, fill, size, inodes, also_warm):
    """Fills an image once (kept with --keep), then times the commands cold on
    it and, when asked, warm on one mount after an untimed run."""
    image = LoopImage(os.path.join(args.image_dir, "corvane-dups-%s.img" % name))
    try:
        reuse = os.path.exists(image.path + ".done")
        if not reuse:
            print("making %s in %s" % (name, image.path), flush=True)
            make_image(image, size, inodes)
        image.attach()
        image.mount(writable=not reuse)
        root = os.path.join(image.mnt, "tree")
        if not reuse:
            fill(root)
            open(image.path + ".done", "w").close()
        counted = count_entries(root)
        print("cold: %s, %d entries" % (name, counted), flush=True)
        cold_rows = cold(image, server, root, args.big_rounds)
        warm_rows = warm(server, root, args.big_rounds, warm_up_all=False) if also_warm else None
        return counted, cold_rows, warm_rows
    finally:
        image.release(remove=not args.keep)


def table(title, rows):
    lines = ["## %s" % title, "",
             "| command | wall s | CPU s | peak MiB | wall ratio | memory ratio | groups / extra copies |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for name, w, c, m, wr, mr, (groups, copies) in rows:
        stopped = " (stopped at %d s)" % LIMIT_S if w >= LIMIT_S - 1 else ""
        lines.append("| %s | %.3f | %.3f | %.1f | %.2f | %.2f | %d / %d%s |"
                     % (name, w, c, m / 1024, wr, mr, groups, copies, stopped))
    ours = rows[0]
    fastest = min(rows[1:], key=lambda r: r[1])
    lines += ["", "Server / fastest peer (%s): wall %.2f× (target at most 0.5×), peak memory %.2f× of that peer's "
              "(target at most 1×)." % (fastest[0], ours[1] / fastest[1], ours[3] / fastest[3]), ""]
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--server", default=os.path.join(REPO, "build", "release", "corvane-mcp"))
    ap.add_argument("--rounds", type=int, default=3, help="rounds on /usr warm")
    ap.add_argument("--big-rounds", type=int, default=1, help="rounds cold, and on the 1M tree warm")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--image-dir", default="/tmp")
    ap.add_argument("--keep", action="store_true", help="keep the images; a later run reuses them")
    ap.add_argument("--warm-only", action="store_true")
    ap.add_argument("--out", default=os.path.join(REPO, "bench", "results", "find_duplicates.md"))
    args = ap.parse_args()
    server = os.path.abspath(args.server)
    if not os.access(server, os.X_OK):
        sys.exit("no server at %s: ./dev build release" % server)
    can_cold = not args.warm_only and os.geteuid() == 0 and os.path.exists("/dev/loop-control")
    if can_cold and os.environ.get(NAMESPACE_MARK) != "1":
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv,
                   {**os.environ, NAMESPACE_MARK: "1"})
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)
    ensure_peers({"jdupes": "jdupes", "fdupes": "fdupes", "rmlint": "rmlint", TIME: "time"})
    loads = [os.getloadavg()[0]]
    sections = []

    print("warm: /usr", flush=True)
    sections.append(("warm, /usr (%d entries)" % count_entries("/usr"), warm(server, "/usr", args.rounds)))
    gen = lambda root: quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), root, "--entries", str(args.entries)])
    if can_cold:
        tree_size = max(512 << 20, (64 << 20) + args.entries * 2048)
        inodes = args.entries + args.entries // 10 + 10000
        for name, fill, size, count in [
            ("gen_tree", gen, tree_size, inodes),
            ("usr", lambda root: quiet(["cp", "-a", "/usr", root]), 16 << 30, 400_000),
        ]:
            label = "gen_tree.py --entries %d" % args.entries if name == "gen_tree" else "a copy of /usr"
            counted, cold_rows, warm_rows = cold_tree(args, server, name, fill, size, count, name == "gen_tree")
            sections.append(("cold, %s (%d entries)" % (label, counted), cold_rows))
            if warm_rows:
                sections.append(("warm, %s (%d entries)" % (label, counted), warm_rows))
    else:
        print("cold runs skipped (they need root and loop devices); the 1M tree warm in %s" % args.image_dir)
        root = os.path.join(args.image_dir, "corvane-dups-tree")
        if not os.path.exists(root):
            gen(root)
        sections.append(("warm, gen_tree.py --entries %d" % args.entries,
                         warm(server, root, args.big_rounds, warm_up_all=False)))
    loads.append(os.getloadavg()[0])

    lines = ["# Duplicate groups: find_duplicates vs jdupes, fdupes and rmlint", "",
             "Machine: %s. /usr warm: %d rounds in alternating order, medians, after one untimed run of each "
             "command; cold, and the 1M tree warm: %d round(s) (the generated tree's files are sparse, so the "
             "server's untimed run alone warms it). Peers are stopped after %d s. Ratios are each command's figure over the server's (above 1: the server is faster or "
             "smaller). Server runs include process start-up and the JSON reply. Load average at the start / "
             "end: %.1f / %.1f." % (machine(args.image_dir), args.rounds, args.big_rounds, LIMIT_S, loads[0],
                                    loads[1]), "",
             "Cold: the tree in an ext4 image on a loop device with direct I/O, unmounted, flushed "
             "(`blockdev --flushbufs`) and mounted again read-only before every run (bench/run_cold_bench.py's "
             "method); /usr cold is a copy of it (`cp -a`) in such an image. Every command looks for all "
             "groups of identical files of one byte or more: fdupes gets `-n` to leave empty files out as the "
             "others do, rmlint `-T df` to look for duplicates only and `-o fdupes:stdout` to write its report "
             "to stdout. Server: %s." % describe(server), ""]
    for title, rows in sections:
        lines += table(title, rows)
    write_report(args.out, "\n".join(lines))


if __name__ == "__main__":
    try:
        main()
    except (KeyboardInterrupt, RuntimeError, subprocess.CalledProcessError) as e:
        sys.exit("duplicates benchmark stopped (images unmounted and detached): %s" % e)
