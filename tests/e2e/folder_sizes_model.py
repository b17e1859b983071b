#!/usr/bin/env python3
"""An independent model of scan_folder_sizes, and the random trees it is
compared on.

  folder_sizes_model.py make DIR COUNT SEED RULES  builds COUNT random trees in
      DIR and writes DIR/cases.json (each tree's root, the arguments to call
      the tool with, and the folders to cover with a mount)
  folder_sizes_model.py answer DIR RULES  prints, for each case, the payload
      text the tool must answer, as one JSON string per line

RULES is "posix" (Linux, run as an unprivileged user so that locked folders
are unreadable) or "windows" (the Windows build under Wine, which sees the
same tree through drive Z: and lists no links, special files or ill-formed
names, so the trees it gets have none).

The model follows the tool's stated rules, not its code: a depth-first walk
in listing order that never follows links or enters other mounts; every
regular file counts in its folder and in each folder above it; a file with
several hard links counts once, at the first path met (POSIX; Windows counts
it at each path); excluded folders are not there at all.
"""
import json
import os
import random
import stat
import sys

LIMITS = {"depth": (8, 2), "top_n": (100, 10)}
SHOWN_EXTENSIONS = 20


# ---------------------------------------------------------------- the rules

def lossy(raw):
    return raw.decode("utf-8", "replace")


def lower(text):
    return text.lower()


def extension(name):
    if name in ("", ".."):
        return None
    dot = name.rfind(".")
    if dot <= 0:
        return None
    return lower(name[dot + 1:])


def unix_seconds(mtime_ns):
    return mtime_ns // 1_000_000_000 if mtime_ns >= 0 else 0


class Literal(str):
    """An integer as the request wrote it."""


def count_argument(literals, name):
    """An integer literal of zero or more that fits in 64 bits, clamped to
    1..most; anything else the default."""
    most, default = LIMITS[name]
    text = literals.get(name)
    if text is None or not text.isdigit() or int(text) >= 2 ** 64:
        return default
    return min(max(int(text), 1), most)


def exclude_entries(arguments):
    raw = arguments.get("exclude_paths") if isinstance(arguments, dict) else None
    if not isinstance(raw, list):
        return []
    out = []
    for item in raw:
        if not isinstance(item, str):
            continue
        item = item.rstrip("\\/")
        if item:
            out.append(lower(item))
    return out


def excluded(shown_path, entries):
    low = lower(shown_path)
    return any(low.startswith(e) for e in entries)


class Folder:
    def __init__(self, name, path, order):
        self.name, self.path, self.order = name, path, order
        self.size = self.allocated = self.files = self.folders = 0
        self.modified = 0
        self.own_size = self.own_count = 0
        self.children = []


class Walk:
    def __init__(self, rules, entries):
        self.windows = rules == "windows"
        self.entries = entries
        self.sep = "\\" if self.windows else "/"
        self.seen_links = set()
        self.unreadable = 0
        self.by_extension = {}
        self.met = 0

    def join(self, shown, name):
        return shown + name if shown.endswith(self.sep) else shown + self.sep + name

    def folder(self, raw, shown, name, device):
        node = Folder(name, shown, self.met)
        self.met += 1
        try:
            names = os.listdir(raw)
        except OSError:
            self.unreadable += 1
            return node
        for entry in names:
            self.entry(node, os.path.join(raw, entry), shown, lossy(entry), device)
        return node

    def entry(self, node, raw, parent_shown, name, device):
        try:
            st = os.lstat(raw)
        except OSError:
            return  # an entry that cannot be told is skipped
        if stat.S_ISDIR(st.st_mode):
            if st.st_dev != device or os.path.ismount(raw):
                return  # another mount: a link
            shown = self.join(parent_shown, name)
            if excluded(shown, self.entries):
                return
            child = self.folder(raw, shown, name, device)
            node.children.append(child)
            node.size += child.size
            node.allocated += child.allocated
            node.files += child.files
            node.folders += 1 + child.folders
            node.modified = max(node.modified, child.modified)
        elif stat.S_ISREG(st.st_mode):
            if not self.windows and st.st_nlink > 1:
                key = (st.st_dev, st.st_ino)
                if key in self.seen_links:
                    return
                self.seen_links.add(key)
            allocated = st.st_blocks * 512 if not self.windows else self.windows_allocation(st)
            node.own_size += st.st_size
            node.own_count += 1
            node.size += st.st_size
            node.allocated += allocated
            node.files += 1
            node.modified = max(node.modified, unix_seconds(st.st_mtime_ns))
            total = self.by_extension.setdefault(extension(name), [0, 0])
            total[0] += st.st_size
            total[1] += 1
        # links, FIFOs, sockets and devices count for nothing

    @staticmethod
    def windows_allocation(st):
        # The Windows listing's allocation size as Wine gives it: the blocks
        # the Linux file system holds for the file.
        return st.st_blocks * 512


def shown_order(folder):
    return (-folder.size, folder.name.encode("utf-8"), folder.order)


def members(folder, level, depth, top_n):
    out = {
        "path": folder.path,
        "size": folder.size,
        "allocated_size": folder.allocated,
        "file_count": folder.files,
        "folder_count": folder.folders,
        "files_size": folder.own_size,
        "files_count": folder.own_count,
    }
    if level < depth:
        ranked = sorted(folder.children, key=shown_order)
        shown, rest = ranked[:top_n], ranked[top_n:]
        out["folders"] = [node_json(c, level + 1, depth, top_n) for c in shown]
        if rest:
            out["omitted_count"] = len(rest)
            out["omitted_size"] = sum(c.size for c in rest)
    return out


def node_json(folder, level, depth, top_n):
    out = members(folder, level, depth, top_n)
    out["name"] = folder.name
    out["modified"] = folder.modified
    return out


def extension_order(item):
    ext, (size, _) = item
    return (-size, ext is not None, (ext or "").encode("utf-8"))


def answer(root_raw, root_shown, arguments, literals, rules):
    depth = count_argument(literals, "depth")
    top_n = count_argument(literals, "top_n")
    entries = exclude_entries(arguments)
    walk = Walk(rules, entries)
    if excluded(root_shown, entries):
        root = Folder("", root_shown, 0)
    else:
        try:
            device = os.stat(root_raw).st_dev
        except OSError:
            device = None
        root = walk.folder(root_raw, root_shown, "", device)
    out = members(root, 0, depth, top_n)
    out["unreadable_count"] = walk.unreadable
    ranked = sorted(walk.by_extension.items(), key=extension_order)
    by_extension = {"extensions": [{"extension": e, "size": s, "file_count": n}
                                   for e, (s, n) in ranked[:SHOWN_EXTENSIONS]]}
    rest = ranked[SHOWN_EXTENSIONS:]
    if rest:
        by_extension["omitted_count"] = len(rest)
        by_extension["omitted_size"] = sum(s for _, (s, _) in rest)
    out["by_extension"] = by_extension
    return json.dumps(out, indent=2, sort_keys=True, ensure_ascii=False)


# ----------------------------------------------------------- random trees

PLAIN = ["a", "B", "c", "Data", "x", "é", "ß", "İ", "Σ", "日本", "tmp", "a b", "Ab"]
ODD_POSIX = ["q\"uote", "back\\slash", "new\nline", "ctl\x01", "ta\tb"]
EXTENSIONS = ["", ".txt", ".TXT", ".jpg", ".tar.gz", ".", ".Ä", ".log", ".bin", ".x" * 2]
SIZES = [0, 0, 1, 7, 100, 4096, 5000, 65536, 200_000]


class Maker:
    def __init__(self, rng, rules, files):
        self.rng = rng
        self.posix = rules == "posix"
        self.files = files  # raw paths of regular files, for hard links (across trees too)
        self.mounts = []

    def name(self, taken):
        r = self.rng
        for _ in range(20):
            if self.posix and r.random() < 0.06:
                raw = r.choice([b"\xff", b"bad\xc3(", b"\xe2\x82", b"\xed\xa0\x80x"]) + str(r.randrange(9)).encode()
            else:
                base = r.choice(PLAIN + (ODD_POSIX if self.posix and r.random() < 0.1 else []))
                if r.random() < 0.15:
                    base = "." + base
                ext = r.choice(EXTENSIONS) if r.random() < 0.8 else ".e%d" % r.randrange(40)
                raw = (base + ext).encode()
            key = raw.lower() if not self.posix else raw
            if key not in taken and raw not in (b".", b".."):
                taken.add(key)
                return raw
        return None

    def tree(self, raw, level, budget):
        r = self.rng
        taken = set()
        for _ in range(r.randrange(0, 12)):
            if budget[0] <= 0:
                return
            budget[0] -= 1
            name = self.name(taken)
            if name is None:
                continue
            path = os.path.join(raw, name)
            roll = r.random()
            if roll < 0.35 and level < 6:
                os.mkdir(path)
                if self.posix and r.random() < 0.05:
                    self.mounts.append(path)  # covered by a mount holding a file
                    continue
                self.tree(path, level + 1, budget)
                self.touch(path)
                if self.posix and r.random() < 0.07:
                    os.chmod(path, r.choice([0o000, 0o311, 0o644]))
            elif roll < 0.4 and self.files:
                os.link(r.choice(self.files), path)
            elif roll < 0.46 and self.posix:
                target = r.choice(self.files + [raw, b"/usr", b"missing"])
                os.symlink(target, path)
            elif roll < 0.49 and self.posix:
                os.mkfifo(path)
            else:
                self.file(path)

    def file(self, path):
        r = self.rng
        size = r.choice(SIZES)
        with open(path, "wb") as f:
            if r.random() < 0.15:
                f.truncate(r.choice([1 << 20, 3 << 20]))  # sparse
                f.seek(r.randrange(1 << 20))
                f.write(b"s" * r.randrange(1, 5000))
            else:
                f.write(b"\x07" * size)
        self.touch(path)
        self.files.append(path)

    def touch(self, path):
        r = self.rng
        seconds = r.choice([-86400 * 400, -1, 0, 1, 1_600_000_000, 1_700_000_000, r.randrange(1 << 31)])
        ns = seconds * 1_000_000_000 + r.randrange(1_000_000_000)
        os.utime(path, ns=(ns, ns), follow_symlinks=False)


ARGUMENT_VALUES = [None, "0", "1", "2", "3", "8", "9", "100", "101", "1000", "18446744073709551615",
                   "18446744073709551616", "-1", "-0", "2.0", "1e1", '"3"', "true", "null", "[2]"]


def arguments_text(rng, shown_root, rel_folders, sep):
    """The arguments object as JSON text (so that literals such as 2.0 or -0
    reach the server as written), with "path" last filled in by the caller."""
    parts = []
    for name in ("depth", "top_n"):
        value = rng.choice(ARGUMENT_VALUES)
        if value is not None:
            parts.append(f'"{name}": {value}')
    roll = rng.random()
    if roll < 0.5 and rel_folders:
        picks = []
        for rel in rng.sample(rel_folders, min(len(rel_folders), rng.randrange(1, 3))):
            text = shown_root + sep + rel.replace("/", sep)
            if rng.random() < 0.5:
                text = text.upper()
            if rng.random() < 0.3:
                text = text[: max(1, len(text) - rng.randrange(1, 3))]
            picks.append(text + rng.choice(["", sep, "//"]))
        parts.append('"exclude_paths": ' + json.dumps(picks + rng.choice([[], [5], [None, ""], ["/"]])))
    elif roll < 0.55:
        parts.append('"exclude_paths": ' + json.dumps([shown_root.lower()]))
    elif roll < 0.6:
        parts.append('"exclude_paths": "not a list"')
    return parts


def shown_path(unix_path, rules):
    return "Z:" + unix_path.replace("/", "\\") if rules == "windows" else unix_path


def make(directory, count, seed, rules):
    rng = random.Random(seed)
    cases = []
    files = []
    for i in range(count):
        root = os.path.join(directory, f"t{i:03d}")
        os.mkdir(root)
        maker = Maker(rng, rules, files)
        maker.tree(root.encode(), 1, [rng.choice([5, 30, 100, 300])])
        if rng.random() < 0.6 and os.listdir(root):
            # Equal sizes make ties, which the order must settle by name.
            for j in range(rng.randrange(2, 5)):
                twin = os.path.join(root, f"twin{'Ab'[j % 2]}{j}")
                os.mkdir(twin)
                with open(os.path.join(twin, "f.dat"), "wb") as f:
                    f.write(b"t" * 321)
        rel_folders = []
        for here, dirs, _ in os.walk(root):
            for d in dirs:
                rel = os.path.relpath(os.path.join(here, d), root)
                if rel.isascii() and rel.isprintable():
                    rel_folders.append(rel)
        shown = shown_path(root, rules)
        parts = arguments_text(rng, shown, sorted(rel_folders), "\\" if rules == "windows" else "/")
        target = root if rng.random() > 0.03 else os.path.join(root, "missing-folder")
        parts.append('"path": ' + json.dumps(shown_path(target, rules)))
        cases.append({"root": target, "arguments": "{" + ", ".join(parts) + "}",
                      "mounts": [m.decode("utf-8", "surrogateescape") for m in maker.mounts]})
    with open(os.path.join(directory, "cases.json"), "w") as f:
        json.dump(cases, f)
    # What the test sends, and the folders it covers with a mount first.
    with open(os.path.join(directory, "requests.jsonl"), "w") as f:
        for i, case in enumerate(cases):
            f.write('{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"scan_folder_sizes",'
                    '"arguments":%s}}\n' % (i, case["arguments"]))
    with open(os.path.join(directory, "mounts.list"), "wb") as f:
        for case in cases:
            for m in case["mounts"]:
                f.write(m.encode("utf-8", "surrogateescape") + b"\0")


def answer_all(directory, rules):
    with open(os.path.join(directory, "cases.json")) as f:
        cases = json.load(f)
    for case in cases:
        raw_args = json.loads(case["arguments"], parse_int=Literal)
        literals = {name: raw_args.get(name) for name in LIMITS if isinstance(raw_args.get(name), Literal)}
        arguments = json.loads(case["arguments"])
        shown = arguments["path"]
        raw = case["root"].encode("utf-8", "surrogateescape")
        if not os.path.isdir(raw):
            print(json.dumps({"error": "PATH_NOT_FOUND: " + shown}))
            continue
        print(json.dumps({"text": answer(raw, shown, arguments, literals, rules)}))

if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        answer_all(sys.argv[2], sys.argv[3])
