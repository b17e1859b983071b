#!/usr/bin/env python3
"""Times scan_top_files on a cold cache against ncdu, find, gdu and fd doing
the same job, with the server's warm time on the same tree beside it.

Each tree (bench/gen_tree.py) lives in an ext4 image on a loop device opened
with direct I/O, so the host's page cache never holds its blocks; before
every timed run the image is unmounted, the loop device's buffers flushed and
the image mounted again read-only. Every command runs once per round, in
alternating order; medians of wall time, CPU time and peak resident memory
(GNU time), and the bytes read from the loop device (proof that the run was
cold). A second server binary (--baseline) runs in the same rounds, so a
change can be compared with an older build in one run. Needs root (loop
devices, mounts): skips otherwise. Runs in a private mount namespace and
cleans up (unmount, detach, image removed unless --keep) on any exit.
Not part of the test command.

usage: run_cold_bench.py [--server build/release/corvane-mcp] [--baseline PATH]
                         [--entries 300000 [N ...]] [--rounds 5] [--warm-rounds 5]
                         [--warm-peers] [--image-dir /tmp] [--keep]
                         [--out bench/results/cold.md]
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
from run_bench import TIME, count_entries, measured  # noqa: E402

NAMESPACE_MARK = "CORVANE_COLD_BENCH_NS"
FD_THREADS = (1, 2)


def fd_command(root, threads):
    # `--size +0b` holds every file, and makes fd's own threads lstat each one
    # (the cold inode reads overlap as they would in fd); stat(1) then prints
    # the sizes from the warm inodes so the listing matches find's.
    return ("fdfind -H -I --one-file-system --type f --size +0b --threads %d . '%s' -X stat -c '%%s %%n' "
            "| sort -n | tail -20" % (threads, root))


def ensure_peers(wanted=None):
    """Installs the packages of the programs (program: package) not found."""
    wanted = wanted or {"ncdu": "ncdu", "gdu": "gdu", "fdfind": "fd-find", TIME: "time"}
    missing = [pkg for prog, pkg in wanted.items() if shutil.which(prog) is None]
    if missing:
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing, check=True,
                       env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})


def quiet(argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


class LoopImage:
    """An ext4 image on a direct-I/O loop device, mounted at a private folder."""

    def __init__(self, path):
        self.path = path
        self.device = None
        self.mnt = None
        self.mounted = False

    def create(self, entries):
        # Sizes come from truncate, so data blocks are few: folders and inode
        # tables are what take room. Inode tables are written now, not by a
        # background thread during the timed runs.
        size = max(512 << 20, (64 << 20) + entries * 2048)
        with open(self.path, "wb") as f:
            f.truncate(size)
        quiet(["mkfs.ext4", "-q", "-F", "-m", "0", "-N", str(entries + entries // 10 + 10000),
               "-E", "lazy_itable_init=0,lazy_journal_init=0", "-L", "corvane-cold", self.path])

    def attach(self):
        self.device = subprocess.run(["losetup", "--direct-io=on", "--find", "--show", self.path], check=True,
                                     stdout=subprocess.PIPE, text=True).stdout.strip()
        name = os.path.basename(self.device)
        with open("/sys/block/%s/loop/dio" % name) as f:
            if f.read().strip() != "1":
                # The kernel falls back to buffered I/O when the backing file
                # system cannot do direct I/O (tmpfs, for one).
                raise RuntimeError("%s did not take direct I/O: put the image on a disk file system "
                                   "(--image-dir)" % self.device)
        self.mnt = tempfile.mkdtemp(prefix="corvane-cold-mnt-")

    def mount(self, writable=False):
        quiet(["mount", "-t", "ext4", "-o", ("rw" if writable else "ro") + ",noatime", self.device, self.mnt])
        self.mounted = True

    def unmount(self):
        if self.mounted:
            quiet(["umount", self.mnt])
            self.mounted = False

    def remount_cold(self):
        self.unmount()
        quiet(["blockdev", "--flushbufs", self.device])
        self.mount()

    def bytes_read(self):
        with open("/sys/block/%s/stat" % os.path.basename(self.device)) as f:
            return int(f.read().split()[2]) * 512

    def release(self, remove):
        """Best effort, every step tried: this runs on the way out of a failure too."""
        if self.mounted:
            for _ in range(5):
                if subprocess.run(["umount", self.mnt], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(1)
            else:
                subprocess.run(["umount", "-l", self.mnt], stderr=subprocess.DEVNULL)
            self.mounted = False
        if self.device:
            subprocess.run(["losetup", "-d", self.device], stderr=subprocess.DEVNULL)
            self.device = None
        if self.mnt:
            try:
                os.rmdir(self.mnt)
            except OSError:
                pass
            self.mnt = None
        if remove:
            for p in (self.path, self.path + ".done"):
                try:
                    os.remove(p)
                except FileNotFoundError:
                    pass


def server_line(root):
    msg = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
           "params": {"name": "scan_top_files", "arguments": {"path": root, "top_n": 20}}}
    return (json.dumps(msg) + "\n").encode()


def largest_of_server(out):
    result = json.loads(out.decode("utf-8").splitlines()[0])["result"]
    text = result["content"][0]["text"]
    if result["isError"]:
        raise RuntimeError("server failed: " + text)
    rows = json.loads(text[: text.index("\n\n---\n")])
    return max(r["size"] for r in rows)


def largest_of_listing(out):
    return int(out.decode("utf-8", "replace").strip().splitlines()[-1].split(" ", 1)[0])


def commands(servers, root):
    """(name, argv, stdin, how to read the largest size from the output or None)."""
    sh = lambda cmd: ["sh", "-c", cmd]
    out = [(name, [path], server_line(root), largest_of_server) for name, path in servers]
    out += [
        ("ncdu -x -0 -o-", ["ncdu", "-x", "-0", "-o-", root], None, None),
        ("find \\| sort \\| tail -20",
         sh("find '%s' -xdev -type f -printf '%%s %%p\\n' | sort -n | tail -20" % root), None, largest_of_listing),
        ("gdu -n -p -c", ["gdu", "-n", "-p", "-c", root], None, None),
    ]
    out += [("fdfind --threads %d" % t, sh(fd_command(root, t)), None, largest_of_listing) for t in FD_THREADS]
    return out


def bench_tree(image, servers, rounds, warm_rounds, warm_peers):
    root = os.path.join(image.mnt, "tree")
    cmds = commands(servers, root)
    cold = {c[0]: [] for c in cmds}
    for r in range(rounds):
        order = cmds if r % 2 == 0 else list(reversed(cmds))
        for name, argv, stdin, largest in order:
            image.remount_cold()
            before = image.bytes_read()
            wall, cpu, rss, out = measured(argv, stdin)
            cold[name].append((wall, cpu, rss, image.bytes_read() - before))
            if r == 0 and largest is not None:
                cold[name + "/largest"] = largest(out)
            print("  round %d  %-26s %7.3f s" % (r + 1, name.replace("\\", ""), wall), flush=True)
    # Every command that lists sizes must have seen the same tree.
    seen = {n[: -len("/largest")]: v for n, v in cold.items() if n.endswith("/largest")}
    if len(set(seen.values())) != 1:
        raise RuntimeError("the commands disagree on the largest file: %r" % seen)
    for n in seen:
        del cold[n + "/largest"]

    image.remount_cold()
    warm_cmds = cmds if warm_peers else cmds[: len(servers)]
    warm = {c[0]: [] for c in warm_cmds}
    for name, argv, stdin, _ in warm_cmds:
        measured(argv, stdin)
    for r in range(warm_rounds):
        for name, argv, stdin, _ in (warm_cmds if r % 2 == 0 else list(reversed(warm_cmds))):
            warm[name].append(measured(argv, stdin)[0])

    med = lambda name, i: statistics.median(s[i] for s in cold[name])
    ours = servers[0][0]
    base = [med(ours, i) for i in range(3)]
    rows = []
    for name, _, _, _ in cmds:
        w, c, m, read = (med(name, i) for i in range(4))
        warm_w = statistics.median(warm[name]) if name in warm else None
        rows.append((name, w, c, m, read, w / base[0], c / base[1] if base[1] else float("nan"), m / base[2],
                     warm_w))
    return rows


def fs_of(path):
    """(type, source) of the file system holding path."""
    found = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "--target", path], capture_output=True,
                           text=True).stdout.split()
    return tuple(found[:2]) if len(found) >= 2 else ("?", "?")


def machine(image_dir):
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return "%s, %d logical CPUs, Linux %s, image file on %s (%s)" % ((cpu, os.cpu_count(), os.uname().release)
                                                                     + fs_of(image_dir))


def describe(binary):
    """The commit a binary was built from, when it sits in a git work tree."""
    got = subprocess.run(["git", "-C", os.path.dirname(binary), "describe", "--always", "--dirty"],
                         capture_output=True, text=True)
    return "`%s`%s" % (binary, " (%s)" % got.stdout.strip() if got.returncode == 0 else "")


def report(args, servers, sections, loads):
    lines = [
        "# Cold cache: largest files, server vs peers", "",
        "Machine: %s. Cold: %d alternating rounds, medians; warm: %d rounds after one untimed run. Ratios are each "
        "command's figure over the server's (above 1.0: the server is faster or smaller). Server runs include "
        "process start-up and the JSON reply. "
        "Load average at the start / end: %.1f / %.1f." % (machine(args.image_dir), args.rounds, args.warm_rounds,
                                                          loads[0], loads[1]), "",
        "Method: each tree from `bench/gen_tree.py` sits in an ext4 image on a loop device opened with direct I/O "
        "(`losetup --direct-io=on`), so the host's page cache never holds its blocks. Before every cold run the "
        "image is unmounted, the loop device's buffers are dropped (`blockdev --flushbufs`) and it is mounted "
        "again read-only with noatime, so no inode, folder or block of the tree is in memory; \"MiB read\" is "
        "what the run read from the loop device, and the warm column is the same command on one mount after an "
        "untimed run.", "",
        "Servers: " + "; ".join("%s = %s" % (name, describe(path)) for name, path in servers) + ". "
        "fd: `%s`." % fd_command("ROOT", 1).replace("--threads 1", "--threads N"), "",
    ]
    for entries, counted, rows in sections:
        lines += ["## cold, gen_tree.py --entries %d (%d entries)" % (entries, counted), "",
                  "| command | cold wall s | cold CPU s | peak MiB | MiB read | wall ratio | CPU ratio | memory ratio "
                  "| warm wall s | cold / warm |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for name, w, c, m, read, wr, cr, mr, warm_w in rows:
            warm_cells = ("%.3f | %.1f" % (warm_w, w / warm_w)) if warm_w else "— | —"
            lines.append("| %s | %.3f | %.3f | %.1f | %.1f | %.2f | %.2f | %.2f | %s |"
                         % (name, w, c, m / 1024, read / 2**20, wr, cr, mr, warm_cells))
        if len(servers) > 1:
            ours, theirs = rows[0], rows[1]
            lines += ["", "Server / baseline: cold wall %.2f×, warm wall %.2f×, peak memory %.2f×."
                      % (ours[1] / theirs[1], ours[8] / theirs[8], ours[3] / theirs[3])]
        lines.append("")
    return "\n".join(lines)


def redraw_chart(out):
    results = os.path.join(REPO, "bench", "results")
    if os.path.dirname(os.path.abspath(out)) != results:
        return
    if shutil.which("node") and shutil.which("gnuplot"):
        subprocess.run(["node", os.path.join(REPO, "scripts", "bench-chart.mjs")], check=False)
    else:
        print("chart not redrawn (needs node and gnuplot): node scripts/bench-chart.mjs")


def write_report(out, text):
    """Writes the report, shows it, and redraws the chart from it."""
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        f.write(text)
    print(text)
    redraw_chart(out)


def stop_on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--server", default=os.path.join(REPO, "build", "release", "corvane-mcp"))
    ap.add_argument("--baseline", help="a second server binary timed in the same rounds")
    ap.add_argument("--entries", type=int, nargs="+", default=[300_000], help="one tree per count")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--warm-rounds", type=int)
    ap.add_argument("--warm-peers", action="store_true", help="time the peers warm too")
    ap.add_argument("--image-dir", default=tempfile.gettempdir(), help="where the images go (a disk file system)")
    ap.add_argument("--keep", action="store_true", help="keep the images; a later run reuses them")
    ap.add_argument("--out", default=os.path.join(REPO, "bench", "results", "cold.md"))
    args = ap.parse_args()
    args.warm_rounds = args.rounds if args.warm_rounds is None else args.warm_rounds
    if os.geteuid() != 0:
        print("cold-cache benchmark skipped: it needs root (loop devices, mounts)")
        return
    if not os.path.exists("/dev/loop-control"):
        print("cold-cache benchmark skipped: no loop devices here (/dev/loop-control)")
        return
    servers = [("scan_top_files", os.path.abspath(args.server))]
    if args.baseline:
        servers.append(("scan_top_files, baseline", os.path.abspath(args.baseline)))
    for _, path in servers:
        if not os.access(path, os.X_OK):
            sys.exit("no server at %s: cmake --preset release && cmake --build --preset release" % path)
    if fs_of(args.image_dir)[0] in ("tmpfs", "ramfs"):
        # Direct I/O from a file in memory reads memory: nothing would be cold.
        sys.exit("--image-dir %s is in memory (%s): give a folder on a disk" % (args.image_dir,
                                                                               fs_of(args.image_dir)[0]))
    if os.environ.get(NAMESPACE_MARK) != "1":
        # The mounts stay private to this run and vanish with it.
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv,
                   {**os.environ, NAMESPACE_MARK: "1"})
    ensure_peers()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop_on_signal)

    loads = [os.getloadavg()[0]]
    sections = []
    for entries in args.entries:
        image = LoopImage(os.path.join(args.image_dir, "corvane-cold-%d.img" % entries))
        try:
            reuse = os.path.exists(image.path + ".done")
            if not reuse:
                print("making a %d-entry tree in %s" % (entries, image.path), flush=True)
                image.create(entries)
            image.attach()
            image.mount(writable=not reuse)
            tree = os.path.join(image.mnt, "tree")
            if not reuse:
                quiet([sys.executable, os.path.join(HERE, "gen_tree.py"), tree, "--entries", str(entries)])
                open(image.path + ".done", "w").close()
            counted = count_entries(tree)
            print("cold-cache bench: %d entries on %s (%s)" % (counted, image.device, image.path), flush=True)
            sections.append((entries, counted, bench_tree(image, servers, args.rounds, args.warm_rounds,
                                                          args.warm_peers)))
        finally:
            # A second Ctrl-C must not leave the device attached.
            for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(signum, signal.SIG_IGN)
            image.release(remove=not args.keep)
            signal.signal(signal.SIGINT, signal.default_int_handler)
            for signum in (signal.SIGTERM, signal.SIGHUP):
                signal.signal(signum, stop_on_signal)
    loads.append(os.getloadavg()[0])

    write_report(args.out, report(args, servers, sections, loads))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("interrupted; the image is unmounted and detached")
    except (RuntimeError, subprocess.CalledProcessError) as e:
        sys.exit("cold-cache benchmark failed: %s" % e)
