#!/usr/bin/env python3
"""What find_duplicates should answer for a tree, worked out from its rules
alone: walk, group by size, partial fingerprint over 64 KiB, SHA-256.

Reads a JSON array of requests on stdin, each {"search_dirs", "recursive",
"min_size", "exclude_paths", "wine"}, the directories as Unix paths (a
path that is not UTF-8 as an array of bytes); writes a JSON array of the
payloads, each as the server pretty-prints it. "Unreadable" means what it means
to a process without the power to override permissions: a file without
its owner's read bit, a folder without read and search.
"""
import hashlib
import json
import os
import re
import stat
import sys

WINDOW = 65536


def shown(raw, wine):
    text = raw.decode('utf-8', 'replace')
    return 'Z:' + text.replace('/', '\\') if wine else text


def readable(st):
    return st.st_mode & stat.S_IRUSR


def listable(st):
    return (st.st_mode & (stat.S_IRUSR | stat.S_IXUSR)) == (stat.S_IRUSR | stat.S_IXUSR)


def mount_points():
    """Linux: every mount point, as bytes; a walk never enters or counts one."""
    points = set()
    try:
        with open('/proc/self/mountinfo', 'rb') as f:
            for line in f:
                field = line.split(b' ')[4]
                points.add(re.sub(rb'\\([0-7]{3})', lambda m: bytes([int(m.group(1), 8)]), field))
    except OSError:
        pass
    return points


def walk(root, req, roots, excludes, found):
    """Every regular file under root, by the walking rules."""
    wine = req['wine']
    # Windows sees a Linux mount as a plain folder.
    mounts = set() if wine else mount_points()
    pending = [(root, 1)]
    while pending:
        folder, depth = pending.pop()
        folder_st = os.lstat(folder)
        if not listable(folder_st):
            continue
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            st = os.lstat(path)
            if path in mounts:
                continue  # another mount: a link, never entered or counted
            if stat.S_ISDIR(st.st_mode):
                if st.st_dev != folder_st.st_dev:
                    continue
                if not req['recursive'] or path in roots:
                    continue
                if any(shown(path, wine).lower().startswith(e) for e in excludes):
                    continue
                pending.append((path, depth + 1))
            elif stat.S_ISREG(st.st_mode):
                if st.st_size < req['min_size']:
                    continue
                if any(e in shown(path, wine).lower() for e in excludes):
                    continue
                found[path] = st


def fingerprint(path, size, counter):
    with open(path, 'rb') as f:
        head = f.read(min(size, WINDOW))
        tail = b''
        if size > 2 * WINDOW:
            f.seek(size - WINDOW)
            tail = f.read(WINDOW)
    counter[0] += len(head) + len(tail)
    return hashlib.sha256(size.to_bytes(8, 'little') + head + tail).digest()


def digest(path, counter):
    with open(path, 'rb') as f:
        data = f.read()
    counter[0] += len(data)
    return hashlib.sha256(data).digest()


def model(req):
    wine = req['wine']
    excludes = [e.rstrip('/\\').lower() for e in req['exclude_paths']]
    excludes = [e for e in excludes if e]
    roots = []
    for d in req['search_dirs']:
        r = os.fsencode(os.path.realpath(d))
        if r not in roots and not any(shown(r, wine).lower().startswith(e) for e in excludes):
            roots.append(r)
    found = {}
    for r in roots:
        walk(r, req, set(roots), excludes, found)

    by_size = {}
    for path, st in found.items():
        by_size.setdefault(st.st_size, []).append(path)
    counter = [0]
    compared = 0
    groups = []
    for size, paths in by_size.items():
        # One file, many paths: the first path in the shown order stands.
        by_file = {}
        for p in sorted(paths, key=lambda p: (shown(p, wine).encode(), p)):
            st = found[p]
            by_file.setdefault((st.st_dev, st.st_ino), p)
        distinct = list(by_file.values())
        if len(distinct) < 2:
            continue
        compared += len(distinct)
        candidates = [[p for p in distinct if readable(found[p])]]
        if size > WINDOW:
            by_print = {}
            for p in candidates[0]:
                by_print.setdefault(fingerprint(p, size, counter), []).append(p)
            candidates = [ps for ps in by_print.values() if len(ps) > 1]
        for ps in candidates:
            by_digest = {}
            for p in ps:
                by_digest.setdefault(digest(p, counter), []).append(p)
            for same in by_digest.values():
                if len(same) > 1:
                    files = sorted(same, key=lambda p: (shown(p, wine).encode(), p))
                    groups.append({'first': files[0], 'size': size, 'file_count': len(files), 'wasted_size': size * (len(files) - 1),
                                   'files': [{'path': shown(p, wine),
                                              'modified': max(0, int(found[p].st_mtime // 1))} for p in files]})
    groups.sort(key=lambda g: (-g['wasted_size'], -g['size'], g['files'][0]['path'].encode(), g.pop('first')))
    return {'groups': groups, 'group_count': len(groups), 'duplicate_count': sum(g['file_count'] - 1 for g in groups),
            'wasted_size': sum(g['wasted_size'] for g in groups), 'files_compared': compared,
            'bytes_read': counter[0]}


if __name__ == '__main__':
    answers = []
    for request in json.load(sys.stdin):
        request['search_dirs'] = [os.fsencode(d) if isinstance(d, str) else bytes(d) for d in request['search_dirs']]
        answers.append(json.dumps(model(request), indent=2, sort_keys=True, ensure_ascii=False))
    json.dump(answers, sys.stdout)
