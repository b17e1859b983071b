#!/usr/bin/env python3
"""Times every directory-walking tool of the server against the peers that do
the same walk, side by side in one run, to show what the parallel walk gives.

warm     /usr and the 1M-entry tree (bench/gen_tree.py): scan_top_files,
         scan_empty_files, scan_empty_folders and scan_folder_sizes against
         ncdu, gdu, du, fd and find; scan_junk on a generated home
         (bench/gen_junk_home.py) against `du -sx` of that home. One untimed
         run of everything, then ROUNDS rounds in alternating order.
cold     scan_top_files and scan_empty_files of the server and the baseline
         on a tree in an ext4 image on a direct-I/O loop device, remounted
         before every run (run_cold_bench.py's method). Needs root.
walkers  scan_top_files warm on /usr with the server made to see 1, 2 and 16
         processors: it runs in a private mount namespace where
         /sys/devices/system/cpu/online is a bind-mounted file saying "0",
         "0-1" or "0-15" (glibc counts processors from that file, and
         std::thread::hardware_concurrency asks glibc). Needs root.
         --walkers-via env passes CORVANE_TEST_WALKERS=N instead.

Medians of wall time, CPU time (user and system) and peak resident memory
(GNU time). With --baseline, a second server binary runs in the same rounds
and every table gives new / baseline. Not part of the test command.

usage: run_walk_bench.py [--server build/release/corvane-mcp] [--baseline PATH] [--rounds 5]
                         [--only warm|cold|walkers] [--tree /tmp/corvane-bench-tree] [--keep-tree]
                         [--junk-home bench/work/junk-home] [--cold-entries 300000] [--keep-image]
                         [--out bench/results/parallel_walk.md] [--trial]
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from run_bench import TIME, count_entries, machine  # noqa: E402
from run_cold_bench import LoopImage, NAMESPACE_MARK, describe, ensure_peers, fs_of, quiet  # noqa: E402
from run_junk_bench import base_folders  # noqa: E402

CPU_ONLINE = "/sys/devices/system/cpu/online"
WALKERS = (1, 2, 16)
PARTS = ("warm", "cold", "walkers")


class Cmd:
    """One timed command: argv, what it reads on stdin, its environment, and
    a check of its output run on the untimed first run (None: no check)."""

    def __init__(self, name, argv, stdin=None, env=None, check=None, server=None):
        self.name, self.argv, self.stdin, self.env, self.check = name, argv, stdin, env, check
        self.server = server  # "new" / "baseline" for the servers, None for peers


def measured(cmd):
    """Runs cmd under GNU time, which forks it from a small process (a child
    forked from this interpreter would count the interpreter's pages as its
    peak). Output goes to a pipe read here. Returns (wall, user, sys, peak
    KiB, stdout)."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        proc = subprocess.run([TIME, "-o", report.name, "-f", "%U %S %M"] + cmd.argv, input=cmd.stdin or b"",
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=cmd.env)
        wall = time.perf_counter() - start
        user, system, rss = report.read().split()[-3:]
    return wall, float(user), float(system), int(rss), proc.stdout


def server_reply(out):
    """The payload of the server's one reply line; raises on a tool error."""
    result = json.loads(out.decode("utf-8").splitlines()[0])["result"]
    text = result["content"][0]["text"]
    if result["isError"]:
        raise RuntimeError("server failed: " + text)
    return text


def server_cmd(label, path, tool, args, env=None, which="new"):
    line = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": tool, "arguments": args}}) + "\n"
    return Cmd(label, [path], line.encode(), env, server_reply, which)


def line_count(out):
    return out.count(b"\n")


def servers_of(args):
    out = [("new", os.path.abspath(args.server))]
    if args.baseline:
        out.append(("baseline", os.path.abspath(args.baseline)))
    return out


def label(tool, which):
    return tool if which == "new" else tool + ", baseline"


# ---- timing rounds -----------------------------------------------------------

def run_rounds(cmds, rounds, before_each=None, after_each=None):
    """Untimed first run of every command (checks its output), then ROUNDS
    rounds in alternating order. Returns {name: [(wall, user, sys, rss, extra)]}
    where extra is what after_each returned."""
    firsts = {}
    for c in cmds:
        if before_each:
            before_each(c)
        out = measured(c)[4]
        firsts[c.name] = c.check(out) if c.check else None
    samples = {c.name: [] for c in cmds}
    for r in range(rounds):
        for c in (cmds if r % 2 == 0 else list(reversed(cmds))):
            if before_each:
                before_each(c)
            wall, user, system, rss, _ = measured(c)
            extra = after_each(c) if after_each else None
            samples[c.name].append((wall, user, system, rss, extra))
            print("  round %d  %-34s %8.3f s" % (r + 1, c.name.replace("\\", ""), wall), flush=True)
    return samples, firsts


def medians(samples):
    """{name: (wall, user, sys, rss KiB, extra)} medians."""
    out = {}
    for name, s in samples.items():
        extra = [x[4] for x in s if x[4] is not None]
        out[name] = tuple(statistics.median(x[i] for x in s) for i in range(4)) + \
            (statistics.median(extra) if extra else None,)
    return out


def ratio(a, b):
    return a / b if b else float("nan")


# ---- warm ----------------------------------------------------------------------

def peer_cmds(root):
    sh = lambda cmd: ["sh", "-c", cmd]
    return {
        "ncdu": Cmd("ncdu -0 -x -o-", ["ncdu", "-0", "-x", "-o-", root]),
        "gdu": Cmd("gdu -n -x -p -c", ["gdu", "-n", "-x", "-p", "-c", root]),
        "du": Cmd("du -sx", ["du", "-sx", root]),
        # A size filter makes fd lstat every file from its own threads; +1b
        # keeps the same files as find's -size +0, so the two listings can be
        # compared.
        "fd": Cmd("fdfind -j2 -H -I --size +1b", sh("fdfind -j2 -H -I --one-file-system -t f --size +1b . '%s'"
                                                    % root), check=line_count),
        "find size": Cmd("find -type f -size +0", ["find", root, "-xdev", "-type", "f", "-size", "+0"],
                         check=line_count),
        "find empty f": Cmd("find -type f -empty", ["find", root, "-xdev", "-type", "f", "-empty"]),
        "find empty d": Cmd("find -type d -empty", ["find", root, "-xdev", "-type", "d", "-empty"]),
    }


# (job, tool, arguments, peers, (peer the target is against, target ratio))
WARM_JOBS = [
    ("largest files", "scan_top_files", {"top_n": 20}, ["ncdu", "gdu", "du", "fd", "find size"], ("ncdu", 0.5)),
    ("empty files", "scan_empty_files", {}, ["find empty f"], ("find empty f", 0.6)),
    ("empty folders", "scan_empty_folders", {}, ["find empty d"], ("find empty d", 0.3)),
    ("folder sizes", "scan_folder_sizes", {}, ["ncdu", "gdu"], ("ncdu", 0.5)),
]


def bench_jobs(jobs, rounds):
    """jobs: [(job, [server Cmd...], [peer Cmd...], (target peer name, ratio))].
    A command shared by several jobs (ncdu, gdu) runs once per round."""
    cmds = []
    for _, servers, peers, _ in jobs:
        for c in servers + peers:
            if all(c.name != d.name for d in cmds):
                cmds.append(c)
    samples, firsts = run_rounds(cmds, rounds)
    if "fdfind -j2 -H -I --size +1b" in firsts and firsts["fdfind -j2 -H -I --size +1b"] != \
            firsts["find -type f -size +0"]:
        raise RuntimeError("fd and find list different files: %d / %d lines"
                           % (firsts["fdfind -j2 -H -I --size +1b"], firsts["find -type f -size +0"]))
    return medians(samples)


def warm_tree(servers, root, rounds):
    peers = peer_cmds(root)
    jobs = []
    for job, tool, tool_args, peer_keys, (target_key, target) in WARM_JOBS:
        ours = [server_cmd(label(tool, which), path, tool, dict(path=root, **tool_args), which=which)
                for which, path in servers]
        jobs.append((job, ours, [peers[k] for k in peer_keys], (peers[target_key].name, target)))
    return jobs, bench_jobs(jobs, rounds)


def junk_env(home):
    root = os.path.abspath(home)
    return dict(os.environ, HOME=root + "/home", XDG_CACHE_HOME=root + "/home/.cache",
                XDG_STATE_HOME=root + "/home/.local/state", TMPDIR=root + "/tmp")


def warm_junk(servers, home, rounds):
    env = junk_env(home)
    folders = base_folders(env)
    # du reads a folder named inside another one twice; the outermost ones
    # hold every file the scan reads, once: the generated home and the
    # machine's own /var folders the catalogue names.
    outermost = [f for f in folders if not any(f.startswith(g + "/") for g in folders)]
    ours = [server_cmd(label("scan_junk", which), path, "scan_junk", {}, env=env, which=which)
            for which, path in servers]
    du = Cmd("du -sx", ["du", "-sx"] + outermost)
    jobs = [("junk", ours, [du], (du.name, 0.5))]
    return jobs, bench_jobs(jobs, rounds), outermost


def warm_section(title, jobs, rows):
    lines = ["### " + title, "",
             "| job | command | wall s | CPU s | user s | sys s | peak MiB | wall / server's |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    summary = []
    for job, servers, peers, (target_name, target) in jobs:
        ours = rows[servers[0].name]
        for c in servers + peers:
            w, u, s, m, _ = rows[c.name]
            lines.append("| %s | %s | %.3f | %.3f | %.3f | %.3f | %.1f | %.2f |"
                         % (job, c.name, w, u + s, u, s, m / 1024, ratio(w, ours[0])))
        got = ratio(ours[0], rows[target_name][0])
        base = ratio(ours[0], rows[servers[1].name][0]) if len(servers) > 1 else None
        summary.append((title, servers[0].name, target_name, got, target, base,
                        ratio(ours[3], rows[servers[1].name][3]) if base else None))
    lines.append("")
    return lines, summary


def summary_table(summary):
    lines = ["| tree | server tool | peer | server wall / peer wall | target | met | new / baseline wall "
             "| new / baseline peak |", "|---|---|---|---:|---:|---|---:|---:|"]
    for title, tool, peer, got, target, base, base_mem in summary:
        lines.append("| %s | %s | %s | %.2f× | ≤ %.2f× | %s | %s | %s |"
                     % (title, tool, peer, got, target, "yes" if got <= target else "**no**",
                        "%.2f×" % base if base else "—", "%.2f×" % base_mem if base_mem else "—"))
    return lines + [""]


def part_warm(args, servers):
    made_tree = False
    if not os.path.isdir(args.tree):
        print("making a %d-entry tree in %s" % (args.entries, args.tree), flush=True)
        quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), args.tree, "--entries", str(args.entries)])
        made_tree = True
    if not os.path.isdir(args.junk_home):
        print("making a junk home (scale %g) in %s" % (args.junk_scale, args.junk_home), flush=True)
        quiet([sys.executable, os.path.join(HERE, "gen_junk_home.py"), args.junk_home, "--scale",
               str(args.junk_scale)])
    lines, summary = [], []
    try:
        for root in (args.tree, "/usr"):
            title = "%s (%d entries)" % (root, count_entries(root))
            print("warm: " + title, flush=True)
            jobs, rows = warm_tree(servers, root, args.rounds)
            got, s = warm_section(title, jobs, rows)
            lines += got
            summary += s
    finally:
        if made_tree and not args.keep_tree:
            shutil.rmtree(args.tree, ignore_errors=True)
    title = "junk home %s (%d entries)" % (args.junk_home, count_entries(args.junk_home))
    print("warm: " + title, flush=True)
    jobs, rows, folders = warm_junk(servers, args.junk_home, args.rounds)
    got, s = warm_section(title, jobs, rows)
    lines += got[:-1] + ["", "du -sx reads " + ", ".join("`%s`" % f for f in folders) + ": the base folders "
                         "of the junk catalogue for this environment that lie inside no other.", ""]
    summary += s
    head = ["## Warm", "",
            "One untimed run of everything, then %d alternating rounds, medians. Server runs include process "
            "start-up and the JSON reply. Targets are the server's wall time over the named peer's." % args.rounds,
            ""]
    return head + summary_table(summary) + lines


# ---- cold ----------------------------------------------------------------------

def part_cold(args, servers):
    if os.geteuid() != 0 or not os.path.exists("/dev/loop-control"):
        return ["## Cold", "", "Skipped: needs root and loop devices.", ""]
    if fs_of(args.image_dir)[0] in ("tmpfs", "ramfs"):
        return ["## Cold", "", "Skipped: --image-dir %s is in memory; nothing would be cold." % args.image_dir, ""]
    # The same image name as run_cold_bench.py's, so either reuses the other's.
    image = LoopImage(os.path.join(args.image_dir, "corvane-cold-%d.img" % args.cold_entries))
    try:
        reuse = os.path.exists(image.path + ".done")
        if not reuse:
            print("making a %d-entry tree in %s" % (args.cold_entries, image.path), flush=True)
            image.create(args.cold_entries)
        image.attach()
        image.mount(writable=not reuse)
        tree = os.path.join(image.mnt, "tree")
        if not reuse:
            quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), tree, "--entries", str(args.cold_entries)])
            open(image.path + ".done", "w").close()
        counted = count_entries(tree)
        image.remount_cold()
        print("cold: %d entries on %s" % (counted, image.device), flush=True)
        tools = [("scan_top_files", {"top_n": 20}), ("scan_empty_files", {})]
        cmds = [server_cmd(label(tool, which), path, tool, dict(path=tree, **a), which=which)
                for tool, a in tools for which, path in servers]
        start = {}

        def before(c):
            image.remount_cold()
            start["read"] = image.bytes_read()

        samples, _ = run_rounds(cmds, args.rounds, before, lambda c: image.bytes_read() - start["read"])
        # The untimed first runs were cold too and checked the replies.
        rows = medians(samples)
    finally:
        image.release(remove=not args.keep_image)
    lines = ["## Cold", "",
             "gen_tree.py --entries %d (%d entries) in an ext4 image on a direct-I/O loop device "
             "(`losetup --direct-io=on`), unmounted, its buffers dropped (`blockdev --flushbufs`) and mounted "
             "again read-only before every run, so nothing of the tree is in memory; MiB read is what the run read "
             "from the device. %d alternating rounds, medians. Target: new no slower than baseline."
             % (args.cold_entries, counted, args.rounds), "",
             "| command | wall s | CPU s | user s | sys s | peak MiB | MiB read | new / baseline wall |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for c in cmds:
        w, u, s, m, read = rows[c.name]
        base = rows.get(c.name + ", baseline") if c.server == "new" else None
        lines.append("| %s | %.3f | %.3f | %.3f | %.3f | %.1f | %.1f | %s |"
                     % (c.name, w, u + s, u, s, m / 1024, (read or 0) / 2**20,
                        "%.2f× (%s)" % (w / base[0], "met" if w <= base[0] else "**not met**") if base else "—"))
    return lines + [""]


# ---- walkers -------------------------------------------------------------------

class FakeProcessors:
    """Bind-mounts a file over the kernel's list of online processors, in
    this process's private mount namespace (main enters one)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="corvane-walkers-")
        self.mounted = False

    def show(self, n):
        self.release()
        path = os.path.join(self.dir, "online-%d" % n)
        with open(path, "w") as f:
            f.write("0\n" if n == 1 else "0-%d\n" % (n - 1))
        quiet(["mount", "--bind", path, CPU_ONLINE])
        self.mounted = True
        # Python's count comes from the same glibc call the server's does.
        if os.cpu_count() != n:
            raise RuntimeError("the bind mount over %s did not change the processor count: %s, not %d"
                               % (CPU_ONLINE, os.cpu_count(), n))

    def release(self):
        if self.mounted:
            quiet(["umount", CPU_ONLINE])
            self.mounted = False

    def close(self):
        self.release()
        shutil.rmtree(self.dir, ignore_errors=True)


def part_walkers(args, servers):
    via_mount = args.walkers_via == "mount"
    if via_mount and os.geteuid() != 0:
        return ["## Walkers", "", "Skipped: faking the processor count needs root (mounts); try --walkers-via env.",
                ""]
    cmds = []
    for n in WALKERS:
        for which, path in servers:
            env = None if via_mount else dict(os.environ, CORVANE_TEST_WALKERS=str(n))
            c = server_cmd("%s, %d walker%s" % (label("scan_top_files", which), n, "s" if n > 1 else ""), path,
                           "scan_top_files", {"path": "/usr", "top_n": 20}, env=env, which=which)
            c.walkers = n
            cmds.append(c)
    fake = FakeProcessors() if via_mount else None
    try:
        samples, _ = run_rounds(cmds, args.rounds, (lambda c: fake.show(c.walkers)) if fake else None)
    finally:
        if fake:
            fake.close()
    rows = medians(samples)
    how = ("the server sees N processors: it runs in this script's private mount namespace with `%s` "
           "bind-mounted to a file saying `0`, `0-1` or `0-15` (checked: glibc's count follows it)" % CPU_ONLINE
           if via_mount else "the server gets CORVANE_TEST_WALKERS=N")
    lines = ["## Walkers: scan_top_files on /usr (%d entries), warm" % count_entries("/usr"), "",
             "For N walkers %s. This machine has %d processors, so counts above that measure the cost of more "
             "threads than cores (switching, contention in the kernel), not the speed of a bigger machine; the "
             "system-time column is the kernel's share. %d alternating rounds after one untimed run, medians."
             % (how, os.cpu_count(), args.rounds), "",
             "| command | walkers | wall s | user s | sys s | sys share | peak MiB | wall / 1 walker's |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for c in cmds:
        w, u, s, m, _ = rows[c.name]
        one = rows[cmds[[d.server for d in cmds].index(c.server)].name][0]
        lines.append("| %s | %d | %.3f | %.3f | %.3f | %.0f%% | %.1f | %.2f |"
                     % (c.name, c.walkers, w, u, s, 100 * ratio(s, u + s), m / 1024, ratio(w, one)))
    return lines + [""]


# ---- main ----------------------------------------------------------------------

def stop_on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--server", default=os.path.join(REPO, "build", "release", "corvane-mcp"))
    ap.add_argument("--baseline", help="today's server, timed in the same rounds")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", choices=PARTS, action="append", help="run only this part (may repeat)")
    ap.add_argument("--tree", default="/tmp/corvane-bench-tree")
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--keep-tree", action="store_true", help="keep the tree this run made")
    ap.add_argument("--junk-home", default=os.path.join(HERE, "work", "junk-home"))
    ap.add_argument("--junk-scale", type=float, default=1.0)
    ap.add_argument("--cold-entries", type=int, default=300_000)
    ap.add_argument("--image-dir", default=tempfile.gettempdir(), help="where the cold image goes (a disk)")
    ap.add_argument("--keep-image", action="store_true", help="keep the cold image; a later run reuses it")
    ap.add_argument("--walkers-via", choices=("mount", "env"), default="mount")
    ap.add_argument("--trial", action="store_true", help="mark the results as a trial run")
    ap.add_argument("--out", default=os.path.join(REPO, "bench", "results", "parallel_walk.md"))
    args = ap.parse_args()
    parts = args.only or list(PARTS)
    servers = servers_of(args)
    for _, path in servers:
        if not os.access(path, os.X_OK):
            sys.exit("no server at %s: ./dev build release" % path)
    if os.geteuid() == 0 and ("cold" in parts or "walkers" in parts) and os.environ.get(NAMESPACE_MARK) != "1":
        # Mounts (the image, the fake processor list) stay private to this run.
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv,
                   {**os.environ, NAMESPACE_MARK: "1"})
    ensure_peers()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)

    loads = [os.getloadavg()[0]]
    body = []
    for part in PARTS:
        if part in parts:
            body += {"warm": part_warm, "cold": part_cold, "walkers": part_walkers}[part](args, servers)
    loads.append(os.getloadavg()[0])
    head = ["# Parallel walk: server vs peers, new vs baseline", ""]
    if args.trial:
        head += ["**Trial run** (%d round%s, on a machine busy with other work): proves the script works; the "
                 "figures are not the benchmark's." % (args.rounds, "" if args.rounds == 1 else "s"), ""]
    head += ["Machine: %s. Load average at the start / end: %.1f / %.1f." % (machine(), loads[0], loads[1]), "",
             "Servers: " + "; ".join("%s = %s" % (which, describe(path)) for which, path in servers) + ".", "",
             "Run: `python3 bench/run_walk_bench.py %s`." % " ".join(sys.argv[1:]), ""]
    text = "\n".join(head + body)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("interrupted; mounts and devices are released")
    except (RuntimeError, subprocess.CalledProcessError) as e:
        sys.exit("walk benchmark failed: %s" % e)
