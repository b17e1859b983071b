#!/usr/bin/env python3
"""Times scan_junk through the real server against `du -sx` over the same
base folders, on a generated home (gen_junk_home.py).

The server gets HOME, XDG_CACHE_HOME, XDG_STATE_HOME and TMPDIR pointing at
the generated home; du gets every existing base folder the catalogue names
for that environment (the machine's /var/tmp, /var/crash and /var/log
included, which the scan reads too). Warm cache: one untimed run of each
first, then ROUNDS rounds in alternating order. Reports median wall time,
CPU time (user + system) and peak resident memory. Not part of the test
command.

usage: run_junk_bench.py [--server build/release/corvane-mcp] [--rounds 7]
                         [--home bench/work/junk-home] [--scale 1]
                         [--out bench/results/junk_scan.md]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def base_folders(env):
    """The Linux base-folder lists (src/modules/junk_scan/junk_folders_posix.cpp), existing ones, unique."""
    home, cache, state, tmp = env["HOME"], env["XDG_CACHE_HOME"], env["XDG_STATE_HOME"], env["TMPDIR"]
    candidates = [tmp, "/var/tmp", "/var/crash",
                  home + "/.npm/_cacache", home + "/.cargo/registry/cache",
                  cache + "/pip", cache + "/yarn", cache + "/go-build",
                  home + "/Desktop", home + "/Downloads", home + "/Documents",
                  cache + "/google-chrome/Default/Cache", cache + "/chromium/Default/Cache",
                  cache + "/microsoft-edge/Default/Cache", cache + "/mozilla/firefox",
                  cache, cache + "/thumbnails", state, "/var/log"]
    candidates += [home + "/" + d for d in ("Documents", "Projects", "Developer", "dev", "code", "workspace",
                                            "repos", "src", "projects")]
    out = []
    for c in candidates:
        if os.path.exists(c) and c not in out:
            out.append(c)
    return out


def measured(argv, env=None, stdin_bytes=None):
    # The child's own peak RSS comes from GNU time: a forked child's
    # ru_maxrss would count the Python interpreter it was forked from.
    rss_file = os.path.join(HERE, "work", "rss.txt")
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE if stdin_bytes is not None else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if stdin_bytes is not None:
        proc.stdin.write(stdin_bytes)
        proc.stdin.close()
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("%s exited with %d" % (argv[5], proc.returncode))
    with open(rss_file) as f:
        rss_kib = int(f.read().split()[-1])
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss_mib": rss_kib / 1024, "out": out}


def payload_of(out):
    text = json.loads(out.decode("utf-8").splitlines()[0])["result"]["content"][0]["text"]
    return json.loads(text[: text.index("\n\n---\n")])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", default=os.path.join(REPO, "build/release/corvane-mcp"))
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--home", default=os.path.join(HERE, "work/junk-home"))
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--out", default=os.path.join(HERE, "results/junk_scan.md"))
    args = ap.parse_args()
    if not os.path.exists(args.server):
        sys.exit("no server at %s: cmake --preset release && cmake --build --preset release" % args.server)
    if not os.path.exists(args.home):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_junk_home.py"), args.home, "--scale",
                        str(args.scale)], check=True)

    root = os.path.abspath(args.home)
    env = dict(os.environ, HOME=root + "/home", XDG_CACHE_HOME=root + "/home/.cache",
               XDG_STATE_HOME=root + "/home/.local/state", TMPDIR=root + "/tmp")
    request = (json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "scan_junk"}})
               + "\n").encode()
    folders = base_folders(env)
    # du lists a folder given inside another one again; without the nested
    # ones it reads each file once, as the scan does.
    outermost = [f for f in folders if not any(f.startswith(g + "/") for g in folders)]
    commands = {
        "corvane scan_junk": lambda: measured([args.server], env=env, stdin_bytes=request),
        "du -sx": lambda: measured(["du", "-sx"] + folders),
        "du -sx, outermost folders only": lambda: measured(["du", "-sx"] + outermost),
    }

    warm = {name: run() for name, run in commands.items()}  # untimed: fills the caches
    payload = payload_of(warm["corvane scan_junk"]["out"])
    runs = {name: [] for name in commands}
    names = list(commands)
    for r in range(args.rounds):
        for name in names if r % 2 == 0 else reversed(names):
            runs[name].append(commands[name]())

    def median(name, key):
        return statistics.median(x[key] for x in runs[name])

    files = sum(len(fs) for _, _, fs in os.walk(root))
    ours = median("corvane scan_junk", "wall")
    lines = [
        "# scan_junk vs du -sx",
        "",
        "Generated home: `bench/gen_junk_home.py` (scale %g): %d files. Machine: %s, %d logical CPUs, Python %s."
        % (args.scale, files, platform.platform(), os.cpu_count(), platform.python_version()),
        "Warm cache, %d rounds in alternating order, medians. du gets the %d existing base folders of the"
        " catalogue for this environment (the machine's own /var/tmp and /var/log included, as the scan reads"
        " them too); the last line gives du only the %d of them that lie inside no other."
        % (args.rounds, len(folders), len(outermost)),
        "",
        "| Command | Wall (s) | CPU (s) | Peak RSS (MiB) | Wall vs scan_junk |",
        "|---|---|---|---|---|",
    ]
    for name in names:
        wall = median(name, "wall")
        lines.append("| %s | %.3f | %.3f | %.1f | %.2f× |" % (name, wall, median(name, "cpu"), median(name, "rss_mib"),
                                                            wall / ours))
    lines += ["", "Target: scan_junk at most 1.0× du's wall time: scan_junk / du = %.2f."
              % (ours / median("du -sx", "wall")),
              "Load average at the end: %.1f (other work shares the machine; the rounds alternate so that both"
              " sides see it alike)." % os.getloadavg()[0], "",
              "scan_junk found: " + ", ".join("%s %d items" % (c["id"], c["item_count"]) for c in payload["categories"])
              + "; total_size %d bytes." % payload["total_size"], ""]
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
