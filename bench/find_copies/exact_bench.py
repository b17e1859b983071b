#!/usr/bin/env python3
"""Times find_copies in exact mode through the real server against a shell
pipeline doing the same job, and against jdupes and rmlint (which find every
duplicate set under the root: a larger job), on a generated tree and on /usr.

Warm cache (one untimed run of everything first), then ROUNDS rounds in which
every command runs once, in alternating order; medians of wall time. Also
reports the bytes the server read per same-size candidate (rchar from
/proc/PID/io, taken before it exits). Installs jdupes and rmlint with apt
when they are missing. The table replaces the exact-mode table in OUT (the
notes around it stay), with the pipeline's wall time over the server's as
the column the benchmark chart plots. Not part of the test command.

usage: exact_bench.py [--server build/release/corvane-mcp] [--rounds 5]
                      [--tree /tmp/corvane-copies-tree] [--entries 1000000]
                      [--out bench/results/find_copies.md]
"""
import argparse
import hashlib
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def ensure_peers():
    missing = [p for p in ("jdupes", "rmlint") if shutil.which(p) is None]
    if missing:
        env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing, check=True, env=env)


def generate_tree(root, entries):
    """The directory-scan bench's generator when it is there, else a small one
    of our own (bushy folders, mixed extensions, sparse files of skewed size)."""
    shared = os.path.join(REPO, "bench", "gen_tree.py")
    if os.path.exists(shared):
        subprocess.run([sys.executable, shared, root, "--entries", str(entries)], check=True)
        return
    rng = random.Random(7)
    os.makedirs(root)
    dirs = [root]
    for i in range(entries // 10):
        dirs.append(os.path.join(dirs[int(len(dirs) * rng.random() ** 0.7)], "d%d" % i))
        os.mkdir(dirs[-1])
    for i in range(entries - entries // 10):
        ext = rng.choice([".txt", ".jpg", ".log", ".bin", "", ".c"])
        with open(os.path.join(rng.choice(dirs), "f%d%s" % (i, ext)), "wb") as f:
            f.truncate(int(min(rng.paretovariate(1.1) * 400, 2**31)))


def plant_seeds(root):
    """Random-content seeds of 10 KB and 5 MB, each with copies and same-size
    decoys (differing in the middle or at the end) spread over the tree."""
    rng = random.Random(11)
    folders = []
    for dirpath, dirnames, _ in os.walk(root):
        folders.append(dirpath)
        if len(folders) >= 20000:
            break
    seeds = {}
    for label, size in (("10k", 10 * 1024), ("5m", 5 * 1024 * 1024)):
        data = bytearray(rng.getrandbits(8) for _ in range(min(size, 1 << 16)))
        data = bytes((data * (size // len(data) + 1))[:size])
        data = bytes(rng.getrandbits(8) for _ in range(64)) + data[64:]
        seed = os.path.join(root, "seed-%s.dat" % label)
        with open(seed, "wb") as f:
            f.write(data)
        for i in range(40):
            content = data
            if i % 2:
                at = size // 2 if i % 4 == 1 else size - 1
                content = data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]
            with open(os.path.join(rng.choice(folders), "c%s_%d.dat" % (label, i)), "wb") as f:
                f.write(content)
        seeds[label] = (seed, size, hashlib.sha256(data).hexdigest())
    return seeds


def run(argv, stdin_bytes=None, want_io=False, limit=None):
    start = time.perf_counter()
    if limit is not None:
        # A peer that takes longer than `limit` is stopped and reported as such.
        try:
            out = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 timeout=limit).stdout
        except subprocess.TimeoutExpired:
            return None, b"", None
        return time.perf_counter() - start, out, None
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin_bytes is not None else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    rchar = None
    if stdin_bytes is not None:
        proc.stdin.write(stdin_bytes)
        proc.stdin.flush()
        line = proc.stdout.readline()  # the reply: the search is over
        if want_io:
            with open("/proc/%d/io" % proc.pid) as f:
                rchar = int(next(l for l in f if l.startswith("rchar:")).split()[1])
        proc.stdin.close()
        out = line + proc.stdout.read()
    else:
        out = proc.stdout.read()
    proc.wait()
    return time.perf_counter() - start, out, rchar


def find_copies_line(seed, roots):
    msg = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
           "params": {"name": "find_copies", "arguments": {"seed_path": seed, "search_dirs": roots}}}
    return (json.dumps(msg) + "\n").encode()


def matches_in(reply):
    text = json.loads(reply)["result"]["content"][0]["text"]
    return len(json.loads(text[: text.index("\n\n---\n")])["entries"]) - 1


def same_size_candidates(root, ext, size):
    out = subprocess.run(["find", root, "-xdev", "-type", "f", "-name", "*." + ext, "-size", "%dc" % size],
                         stdout=subprocess.PIPE, check=True).stdout
    return len(out.splitlines())


def bench_case(name, server, root, seed, size, digest, rounds, peer_rounds, peer_limit):
    ext = seed.rsplit(".", 1)[1]
    pipeline = ("find '%s' -xdev -type f -name '*.%s' -size %dc -print0 | xargs -0 sha256sum | grep %s"
                % (root, ext, size, digest))
    commands = [("server", [server], find_copies_line(seed, [root])), ("pipeline", ["sh", "-c", pipeline], None)]
    peers = [("jdupes -r", ["jdupes", "-r", "-q", root]), ("rmlint", ["rmlint", "-o", "fdupes", "-T", "df", root])]
    for _, argv, stdin in commands:  # warm the cache
        run(argv, stdin)
    times = {label: [] for label, _, _ in commands}
    # The peers do a larger job (every duplicate set): fewer rounds, with a
    # time limit, after the timed rounds of the two that do the same job.
    for label, argv in peers if peer_rounds else []:
        walls = [run(argv, limit=peer_limit)[0] for _ in range(peer_rounds)]
        times[label] = [w if w is not None else float("inf") for w in walls]
    rchar = []
    for r in range(rounds):
        order = commands if r % 2 == 0 else list(reversed(commands))
        for label, argv, stdin in order:
            wall, out, io = run(argv, stdin, want_io=label == "server")
            times[label].append(wall)
            if label == "server":
                rchar.append(io)
                matches = matches_in(out)
            if label == "pipeline":
                piped = len(out.splitlines())
    medians = {label: statistics.median(v) for label, v in times.items()}
    candidates = same_size_candidates(root, ext, size)
    result = {"name": name, "medians": medians, "matches": matches, "pipeline_matches": piped,
              "same_size": candidates, "rchar": statistics.median(rchar)}
    print(json.dumps(result), flush=True)
    return result


def pick_usr_seed():
    """A header of about 110 KB under /usr (many .h candidates)."""
    best = None
    for dirpath, _, files in os.walk("/usr/include"):
        for f in files:
            if f.endswith(".h"):
                p = os.path.join(dirpath, f)
                s = os.lstat(p).st_size
                if os.path.isfile(p) and not os.path.islink(p) and (best is None or abs(s - 110000) < abs(best[1] - 110000)):
                    best = (p, s)
    if best is None or abs(best[1] - 110000) > 30000:
        out = subprocess.run(["find", "/usr", "-xdev", "-type", "f", "-name", "*.h", "-size", "+90k", "-size", "-130k"],
                             stdout=subprocess.PIPE, check=True).stdout.decode().split()
        best = (out[0], os.path.getsize(out[0]))
    with open(best[0], "rb") as f:
        return best[0], best[1], hashlib.sha256(f.read()).hexdigest()


SECTION = "## Copy finder, exact mode"
LAST_RUN = "Last run"


def place_table(out, table, footer):
    """Puts the table, and the line saying where it ran, in place of the ones
    under SECTION in out, leaving the notes around them; adds the section when
    out has none."""
    text = open(out).read() if os.path.exists(out) else "# Copy finder benchmarks\n"
    lines = text.rstrip("\n").split("\n")
    start = next((i for i, l in enumerate(lines) if l.startswith(SECTION)), None)
    if start is None:
        lines += ["", SECTION + " (through the real server, `bench/find_copies/exact_bench.py`)", "",
                  *table, "", footer]
    else:
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
        first = next((i for i in range(start + 1, end) if lines[i].startswith("|")), None)
        if first is None:
            lines[end:end] = ["", *table, "", footer]
        else:
            last = first
            while last < end and lines[last].startswith("|"):
                last += 1
            if last + 1 < end and lines[last] == "" and lines[last + 1].startswith(LAST_RUN + ":"):
                last += 2
            lines[first:last] = [*table, "", footer]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", default=os.path.join(REPO, "build/release/corvane-mcp"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--tree", default="/tmp/corvane-copies-tree")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--out", default=os.path.join(REPO, "bench/results/find_copies.md"))
    ap.add_argument("--peer-rounds", type=int, default=1, help="runs of jdupes and rmlint per root")
    ap.add_argument("--peer-limit", type=float, default=300, help="seconds before a peer run is stopped")
    args = ap.parse_args()
    ensure_peers()
    if not os.path.exists(args.tree):
        generate_tree(args.tree, args.entries)
    seeds_file = os.path.join(args.tree, "seed-5m.dat")
    seeds = plant_seeds(args.tree) if not os.path.exists(seeds_file) else None
    if seeds is None:
        seeds = {}
        for label, size in (("10k", 10 * 1024), ("5m", 5 * 1024 * 1024)):
            p = os.path.join(args.tree, "seed-%s.dat" % label)
            with open(p, "rb") as f:
                seeds[label] = (p, size, hashlib.sha256(f.read()).hexdigest())

    results = []
    usr_seed = pick_usr_seed()
    results.append(bench_case("/usr, %s (%d B)" % (usr_seed[0], usr_seed[1]), args.server, "/usr", *usr_seed,
                              args.rounds, args.peer_rounds, args.peer_limit))
    for label in ("10k", "5m"):
        seed, size, digest = seeds[label]
        results.append(bench_case("tree (%d entries), %s seed" % (args.entries, label), args.server, args.tree, seed,
                                  size, digest, args.rounds, args.peer_rounds if label == "10k" else 0,
                                  args.peer_limit))

    lines = ["| case | server | find\\|xargs sha256sum | server / pipeline "
             "| wall ratio (find\\|xargs sha256sum / server) | jdupes -r (all sets) | rmlint (all sets) "
             "| matches (server / pipeline) | same-size candidates | bytes read per same-size candidate |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        m = r["medians"]
        peer = lambda k: ("> %d s (stopped)" % args.peer_limit if m[k] == float("inf") else "%.3f s" % m[k]) \
            if k in m else "—"
        per = r["rchar"] / max(r["same_size"], 1)
        lines.append("| %s | %.3f s | %.3f s | %.2f× | %.2f | %s | %s | %d / %d | %d | %.0f |" % (
            r["name"], m["server"], m["pipeline"], m["server"] / m["pipeline"], m["pipeline"] / m["server"],
            peer("jdupes -r"), peer("rmlint"), r["matches"], r["pipeline_matches"], r["same_size"], per))
    print("\n".join(lines))
    footer = ("%s: %s, %d logical processors, %s; median of %d rounds, warm cache."
              % (LAST_RUN, platform.processor() or platform.machine(), os.cpu_count(), platform.platform(),
                 args.rounds))
    place_table(args.out, lines, footer)
    chart = os.path.join(REPO, "scripts", "bench-chart.mjs")
    if os.path.dirname(os.path.abspath(args.out)) == os.path.join(REPO, "bench", "results") \
            and shutil.which("node") and shutil.which("gnuplot"):
        subprocess.run(["node", chart], check=False)


if __name__ == "__main__":
    main()
