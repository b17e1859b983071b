#!/usr/bin/env python3
"""An independent model of scan_folder_sizes, and random trees to compare it on.

  folder_sizes_model.py make DIR COUNT SEED RULES   COUNT random trees in DIR,
      with DIR/cases.json, the tool calls (DIR/requests.jsonl) and the folders
      to cover with a mount first (DIR/mounts.list, NUL-separated)
  folder_sizes_model.py answer DIR RULES   per case, one JSON line:
      {"text": payload text} or {"error": message}

RULES: "posix" (run as an unprivileged user, so locked folders are unreadable)
or "windows" (the Windows build under Wine sees the tree through Z:, and its
trees hold no links, special files or ill-formed names, which Wine cannot
show). Written from the tool's rules: a depth-first walk in listing order that
never follows links or enters other mounts; every regular file counts in its
folder and each folder above; a hard-linked file counts once, at the first
path met (Windows: at each path); an excluded folder is not there at all.
"""
import json
import os
import random
import stat
import sys

LIMITS = {"depth": (8, 2), "top_n": (100, 10)}


class Literal(str):
    """An integer as the request wrote it."""


def count_argument(arguments, name):
    most, default = LIMITS[name]
    text = arguments.get(name)
    if not isinstance(text, Literal) or not text.isdigit() or int(text) >= 2 ** 64:
        return default
    return min(max(int(text), 1), most)


def extension(name):
    dot = name.rfind(".")
    return None if name == ".." or dot <= 0 else name[dot + 1:].lower()


class Folder:
    def __init__(self, name, path, order):
        self.name, self.path, self.order = name, path, order
        self.size = self.allocated = self.files = self.folders = self.modified = 0
        self.own_size = self.own_count = 0
        self.children = []


class Walk:
    def __init__(self, rules, excludes):
        self.windows, self.excludes = rules == "windows", excludes
        self.sep = "\\" if self.windows else "/"
        self.linked, self.by_extension = set(), {}
        self.unreadable = self.met = 0

    def excluded(self, shown):
        return any(shown.lower().startswith(e) for e in self.excludes)

    def folder(self, raw, shown, name, device):
        node = Folder(name, shown, self.met)
        self.met += 1
        try:
            names = os.listdir(raw)
        except OSError:
            self.unreadable += 1
            return node
        for entry in names:
            self.entry(node, os.path.join(raw, entry), entry.decode("utf-8", "replace"), device)
        return node

    def entry(self, node, raw, name, device):
        try:
            st = os.lstat(raw)
        except OSError:
            return
        if stat.S_ISDIR(st.st_mode):
            shown = node.path + name if node.path.endswith(self.sep) else node.path + self.sep + name
            if st.st_dev != device or os.path.ismount(raw) or self.excluded(shown):
                return
            child = self.folder(raw, shown, name, device)
            node.children.append(child)
            node.folders += 1 + child.folders
        elif stat.S_ISREG(st.st_mode):
            if not self.windows and st.st_nlink > 1:
                if (st.st_dev, st.st_ino) in self.linked:
                    return
                self.linked.add((st.st_dev, st.st_ino))
            # Wine's listing gives the blocks Linux holds as the allocation size.
            child = Folder(name, "", 0)
            child.size, child.allocated, child.files = st.st_size, st.st_blocks * 512, 1
            child.modified = max(st.st_mtime_ns // 10 ** 9, 0)
            node.own_size += st.st_size
            node.own_count += 1
            total = self.by_extension.setdefault(extension(name), [0, 0])
            total[0] += st.st_size
            total[1] += 1
        else:
            return  # links, FIFOs, sockets and devices count for nothing
        node.size += child.size
        node.allocated += child.allocated
        node.files += child.files
        node.modified = max(node.modified, child.modified)


def payload(folder, level, depth, top_n):
    out = {"path": folder.path, "size": folder.size, "allocated_size": folder.allocated,
           "file_count": folder.files, "folder_count": folder.folders,
           "files_size": folder.own_size, "files_count": folder.own_count}
    if level > 0:
        out.update(name=folder.name, modified=folder.modified)
    if level < depth:
        ranked = sorted(folder.children, key=lambda c: (-c.size, c.name.encode(), c.order))
        out["folders"] = [payload(c, level + 1, depth, top_n) for c in ranked[:top_n]]
        if ranked[top_n:]:
            out.update(omitted_count=len(ranked) - top_n, omitted_size=sum(c.size for c in ranked[top_n:]))
    return out


def answer(raw, text, rules):
    arguments, plain = json.loads(text, parse_int=Literal), json.loads(text)
    excludes = plain.get("exclude_paths")
    excludes = [e.rstrip("\\/").lower() for e in excludes if isinstance(e, str) and e.rstrip("\\/")] \
        if isinstance(excludes, list) else []
    shown, walk = plain["path"], Walk(rules, excludes)
    root = Folder("", shown, 0) if walk.excluded(shown) else walk.folder(raw, shown, "", os.stat(raw).st_dev)
    out = payload(root, 0, count_argument(arguments, "depth"), count_argument(arguments, "top_n"))
    out["unreadable_count"] = walk.unreadable
    ranked = sorted(walk.by_extension.items(), key=lambda i: (-i[1][0], i[0] is not None, (i[0] or "").encode()))
    out["by_extension"] = {"extensions": [{"extension": e, "size": s, "file_count": n} for e, (s, n) in ranked[:20]]}
    if ranked[20:]:
        out["by_extension"].update(omitted_count=len(ranked) - 20, omitted_size=sum(s for _, (s, _) in ranked[20:]))
    return json.dumps(out, indent=2, sort_keys=True, ensure_ascii=False)


# ---------------------------------------------------------------- random trees

NAMES = ["a", "B", "c", "Data", "é", "ß", "İ", "Σ", "日本", "a b", "Ab", ".hidden"]
ODD = [b"q\"uote", b"back\\slash", b"new\nline", b"ctl\x01", b"\xff", b"bad\xc3(", b"\xe2\x82", b"\xed\xa0\x80x"]
EXTENSIONS = ["", ".txt", ".TXT", ".jpg", ".tar.gz", ".", ".Ä", ".log"]
ARGUMENTS = [None, "0", "1", "2", "3", "8", "9", "100", "101", "18446744073709551615", "18446744073709551616",
             "-1", "-0", "2.0", "1e1", '"3"', "true", "null"]


def make_tree(r, raw, level, budget, files, mounts, posix):
    taken = set()
    for _ in range(r.randrange(12)):
        if budget[0] <= 0:
            return
        budget[0] -= 1
        ext = r.choice(EXTENSIONS) if r.random() < 0.8 else ".e%d" % r.randrange(40)
        name = r.choice(ODD) if posix and r.random() < 0.1 else (r.choice(NAMES) + ext).encode()
        if name.lower() in taken:
            continue
        taken.add(name.lower())
        path, roll = os.path.join(raw, name), r.random()
        if roll < 0.35 and level < 6:
            os.mkdir(path)
            if posix and r.random() < 0.05:
                mounts.append(path)  # a mount holding a file will cover it
                continue
            make_tree(r, path, level + 1, budget, files, mounts, posix)
            if posix and r.random() < 0.07:
                os.chmod(path, r.choice([0o000, 0o311, 0o644]))  # unreadable, or entries that cannot be told
        elif roll < 0.42 and files:
            os.link(r.choice(files), path)  # within the tree or from an earlier one
        elif roll < 0.48 and posix:
            os.symlink(r.choice(files + [raw, b"/usr"]), path)
        elif roll < 0.5 and posix:
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                if r.random() < 0.15:
                    f.truncate(3 << 20)  # sparse
                    f.seek(r.randrange(1 << 20))
                f.write(b"x" * r.choice([0, 0, 1, 100, 4096, 5000, 65536, 200_000]))
            files.append(path)
        if not os.path.islink(path):
            t = r.choice([-86400 * 400, 0, 1_600_000_000, r.randrange(1 << 31)]) * 10 ** 9 + r.randrange(10 ** 9)
            os.utime(path, ns=(t, t))


def make(directory, count, seed, rules):
    r, files, cases, posix = random.Random(seed), [], [], rules == "posix"
    sep = "/" if posix else "\\"
    for i in range(count):
        root, mounts = os.path.join(directory, "t%03d" % i), []
        os.mkdir(root)
        make_tree(r, root.encode(), 1, [r.choice([5, 30, 100, 300])], files, mounts, posix)
        for j in range(r.randrange(5) if r.random() < 0.6 else 0):  # equal sizes: ties settled by name
            os.mkdir(os.path.join(root, "twin%s%d" % ("Ab"[j % 2], j)))
            with open(os.path.join(root, "twin%s%d" % ("Ab"[j % 2], j), "f"), "wb") as f:
                f.write(b"t" * 321)
        shown = root if posix else "Z:" + root.replace("/", "\\")
        parts = ['"%s": %s' % (n, v) for n in LIMITS for v in [r.choice(ARGUMENTS)] if v]
        rel = [os.path.relpath(os.path.join(h, d), root) for h, ds, _ in os.walk(root) for d in ds]
        rel = sorted(p for p in rel if p.isascii() and p.isprintable())
        if rel and r.random() < 0.5:  # whole names, cut ones, other case, trailing separators
            picks = [shown + sep + p.replace("/", sep) for p in r.sample(rel, min(len(rel), r.randrange(1, 3)))]
            picks = [(p.upper() if r.random() < 0.5 else p)[: len(p) - r.choice([0, 0, 1, 2])] + r.choice(["", sep])
                     for p in picks]
            parts.append('"exclude_paths": ' + json.dumps(picks + r.choice([[], [5], [None, ""], ["/"]])))
        elif r.random() < 0.2:
            parts.append('"exclude_paths": ' + r.choice([json.dumps([shown.lower()]), '"not a list"']))
        target = root if r.random() > 0.03 else os.path.join(root, "missing")
        parts.append('"path": ' + json.dumps(target if posix else "Z:" + target.replace("/", "\\")))
        cases.append({"root": target, "arguments": "{%s}" % ", ".join(parts)})
        for m in mounts:
            with open(os.path.join(directory, "mounts.list"), "ab") as f:
                f.write(m + b"\0")
    with open(os.path.join(directory, "cases.json"), "w") as f:
        json.dump(cases, f)
    with open(os.path.join(directory, "requests.jsonl"), "w") as f:
        for i, case in enumerate(cases):
            f.write('{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"scan_folder_sizes",'
                    '"arguments":%s}}\n' % (i, case["arguments"]))
    open(os.path.join(directory, "mounts.list"), "ab").close()


def answer_all(directory, rules):
    with open(os.path.join(directory, "cases.json")) as f:
        for case in json.load(f):
            raw = case["root"].encode()
            if not os.path.isdir(raw):
                print(json.dumps({"error": "PATH_NOT_FOUND: " + json.loads(case["arguments"])["path"]}))
            else:
                print(json.dumps({"text": answer(raw, case["arguments"], rules)}))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        answer_all(sys.argv[2], sys.argv[3])
