#!/usr/bin/env python3
"""Lays out the extra face sets that face-eval is run on, outside every repository.

    tools/extra-faces/rebuild.py DEEPFACE_GIT_DIR SHARED_FACES_DIR OUT_DIR

DEEPFACE_GIT_DIR: a git directory of github.com/serengil/deepface (any commit that has the files
listed in README.md beside this script). SHARED_FACES_DIR: ../shared/data/faces. OUT_DIR: for example
/work/extra-data/faces. Writes:
  OUT_DIR/heldout/pNN/imgN.jpg   the deepface test photos, one folder per person (see README.md)
  OUT_DIR/london_a, london_b     the two halves of london_pairs (symlinks), with london_info.csv
"""
import collections
import csv
import io
import os
import subprocess
import sys


def git_show(git_dir, path):
    return subprocess.check_output(["git", "--git-dir", git_dir, "show", "HEAD:" + path])


def heldout(git_dir, out):
    # People are the connected sets of the dataset's own "same person: Yes" pairs.
    parent = {}

    def find(x):
        parent.setdefault(x, x)
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    rows = []
    for name, key in (("master.csv", "Decision"), ("face-recognition-pivot.csv", "decision")):
        text = git_show(git_dir, "tests/unit/dataset/" + name).decode()
        for r in csv.DictReader(io.StringIO(text)):
            x, y = r["file_x"].split("/")[-1], r["file_y"].split("/")[-1]
            rows.append((x, y, r[key]))
            find(x), find(y)
            if r[key] == "Yes":
                parent[find(x)] = find(y)
    if any(d == "No" and find(x) == find(y) for x, y, d in rows):
        sys.exit("the pair lists contradict each other")
    people = collections.defaultdict(list)
    for f in parent:
        people[find(f)].append(f)
    number = lambda f: int(f[3:-4])
    ordered = sorted((sorted(v, key=number) for v in people.values()), key=lambda v: number(v[0]))
    for i, photos in enumerate(ordered, 1):
        folder = os.path.join(out, "heldout", "p%02d" % i)
        os.makedirs(folder, exist_ok=True)
        for f in photos:
            with open(os.path.join(folder, f), "wb") as fh:
                fh.write(git_show(git_dir, "tests/unit/dataset/" + f))
    print("heldout: %d people, %d photos" % (len(ordered), sum(map(len, ordered))))


def london_halves(shared, out):
    # Alternating within each group in id order, so that both halves hold every group.
    src = os.path.join(shared, "london_pairs")
    info = os.path.join(src, "london_info.csv")
    with open(info, newline="") as fh:
        rows = sorted(csv.DictReader(fh), key=lambda r: r["face_id"])
    seen = collections.Counter()
    for half in ("london_a", "london_b"):
        os.makedirs(os.path.join(out, half), exist_ok=True)
        link = os.path.join(out, half, "london_info.csv")
        if not os.path.lexists(link):
            os.symlink(info, link)
    for r in rows:
        half = ("london_a", "london_b")[seen[r["face_eth"]] % 2]
        seen[r["face_eth"]] += 1
        link = os.path.join(out, half, "london_" + r["face_id"])
        if not os.path.lexists(link):
            os.symlink(os.path.join(src, "london_" + r["face_id"]), link)
    print("london halves: %s" % dict(seen))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    heldout(sys.argv[1], sys.argv[3])
    london_halves(os.path.abspath(sys.argv[2]), sys.argv[3])
