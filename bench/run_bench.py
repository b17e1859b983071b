#!/usr/bin/env python3
"""Times the three directory-scan tools through the real server against
peer programs doing the same job on the same tree, in one run.

Warm cache (one untimed run of everything first), then ROUNDS rounds in
which every command runs once, in alternating order. Reports median wall
time, CPU time (user + system) and peak resident memory, with each peer's
figure as a ratio to the server's. Not part of the test command.

usage: run_bench.py [--server build/release/corvane-mcp] [--rounds 5]
                    [--tree /tmp/corvane-bench-tree] [--keep-tree] [--out bench/results/dir_scan.md]
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


TIME = "/usr/bin/time"


def ensure_peers():
    wanted = {"gdu": "gdu", "ncdu": "ncdu", TIME: "time"}
    missing = [pkg for prog, pkg in wanted.items() if shutil.which(prog) is None]
    if missing:
        subprocess.run(["apt-get", "install", "-y", "-q"] + missing, check=True,
                       env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})


def measured(argv, stdin_bytes=None):
    """Runs argv under GNU time, which forks it from a small process (a child
    forked from this interpreter would count the interpreter's pages as its
    peak). Returns (wall s, CPU s, peak RSS KiB, stdout bytes)."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        proc = subprocess.run([TIME, "-o", report.name, "-f", "%U %S %M"] + argv, input=stdin_bytes or b"",
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        user, system, rss = report.read().split()[-3:]
    return wall, float(user) + float(system), int(rss), proc.stdout


def server_call(server, tool, args):
    line = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": tool, "arguments": args}}) + "\n"
    return [server], line.encode()


def jobs(server, root):
    sh = lambda cmd: ["sh", "-c", cmd]
    return [
        ("largest files", [
            ("scan_top_files",) + tuple(server_call(server, "scan_top_files", {"path": root, "top_n": 20})),
            ("find \\| sort \\| tail -20", sh("find '%s' -xdev -type f -printf '%%s %%p\\n' | sort -n | tail -20" % root), None),
            ("gdu -n -p -c", ["gdu", "-n", "-p", "-c", root], None),
            ("ncdu -x -0 -o-", ["ncdu", "-x", "-0", "-o-", root], None),
        ]),
        ("empty files", [
            ("scan_empty_files",) + tuple(server_call(server, "scan_empty_files", {"path": root})),
            ("find -type f -empty", ["find", root, "-xdev", "-type", "f", "-empty"], None),
        ]),
        ("empty folders", [
            ("scan_empty_folders",) + tuple(server_call(server, "scan_empty_folders", {"path": root})),
            ("find -type d -empty", ["find", root, "-xdev", "-type", "d", "-empty"], None),
        ]),
    ]


def count_entries(root):
    out = subprocess.run(["find", root, "-xdev", "-mindepth", "1", "-printf", "x"], capture_output=True).stdout
    return len(out)


def bench_tree(server, root, rounds):
    table = jobs(server, root)
    commands = [c for _, group in table for c in group]
    for name, argv, stdin_bytes in commands:  # warm the cache, check the server answers
        _, _, _, out = measured(argv, stdin_bytes)
        if stdin_bytes is not None:
            reply = json.loads(out)
            if reply["result"]["isError"]:
                sys.exit("server failed: " + reply["result"]["content"][0]["text"])
    samples = {c[0]: [] for c in commands}
    for r in range(rounds):
        order = commands if r % 2 == 0 else list(reversed(commands))
        for name, argv, stdin_bytes in order:
            wall, cpu, rss, _ = measured(argv, stdin_bytes)
            samples[name].append((wall, cpu, rss))
    results = []
    for job, group in table:
        ours = group[0][0]
        med = lambda name, i: statistics.median(s[i] for s in samples[name])
        base = (med(ours, 0), med(ours, 1), med(ours, 2))
        for name, _, _ in group:
            w, c, m = med(name, 0), med(name, 1), med(name, 2)
            results.append((job, name, w, c, m, w / base[0], c / base[1] if base[1] else float("nan"), m / base[2]))
    return results


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "--target", "/tmp"], capture_output=True, text=True).stdout.strip()
    return "%s, %d logical CPUs, Linux %s, /tmp on %s" % (cpu, os.cpu_count(), platform.release(), fs or "?")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", default=os.path.join(HERE, "..", "build", "release", "corvane-mcp"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--tree", default="/tmp/corvane-bench-tree")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--keep-tree", action="store_true")
    ap.add_argument("--out", default=os.path.join(HERE, "results", "dir_scan.md"))
    args = ap.parse_args()
    server = os.path.abspath(args.server)
    if not os.access(server, os.X_OK):
        sys.exit("build the release server first: cmake --preset release && cmake --build --preset release")
    ensure_peers()
    made_tree = False
    if not os.path.isdir(args.tree):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_tree.py"), args.tree, "--entries", str(args.entries)],
                       check=True)
        made_tree = True
    try:
        sections = []
        for root in (args.tree, "/usr"):
            entries = count_entries(root)
            print("benching %s (%d entries)" % (root, entries), flush=True)
            sections.append((root, entries, bench_tree(server, root, args.rounds)))
    finally:
        if made_tree and not args.keep_tree:
            shutil.rmtree(args.tree, ignore_errors=True)

    lines = ["# Directory scans: server vs peers", "",
             "Machine: %s. Warm cache, %d alternating rounds, medians. Ratios are peer / server "
             "(above 1.0: the server is faster or smaller). Server runs include process start-up "
             "and the JSON reply." % (machine(), args.rounds), ""]
    for root, entries, results in sections:
        lines += ["## %s (%d entries)" % (root, entries), "",
                  "| job | command | wall s | CPU s | peak MiB | wall ratio | CPU ratio | memory ratio |",
                  "|---|---|---:|---:|---:|---:|---:|---:|"]
        for job, name, w, c, m, wr, cr, mr in results:
            lines.append("| %s | %s | %.3f | %.3f | %.1f | %.2f | %.2f | %.2f |" % (job, name, w, c, m / 1024, wr, cr, mr))
        lines.append("")
    text = "\n".join(lines)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
