#!/usr/bin/env python3
"""Score the detector's modes on the labelled corpus of make-corpus.py.

Usage: bench/corpus_score.py CORPUS_DIR ASPECT_INSPECT [-e POLLS] [OPTION ...]

Runs `aspect-inspect --labels corpus.labels -e POLLS [OPTION ...]` over each
noise variant of the corpus (one run a variant, as one capture is one
channel's noise), once at the defaults and once with --robust when the
program has it, and prints the scores by noise variant and by kind of scene.

From the table aspect-inspect writes (frame,...,class,printed,truth):
- the class in force at a frame is the last printed line up to it (none
  before the first): what the television shows;
- frames right: the class in force is the truth;
- right outside the delay: the same over the frames that are not among the
  delay + 1 frames from each change of the truth (the first frame is one);
- a wrong switch: a printed line that changes the class in force (a line
  that repeats it switches nothing) to a class that is not the truth at that
  frame, nor the truth at any of the delay + 1 frames before it (a line that
  names the class shown before a cut is the detector catching up on the
  frames it saw before the cut, not a switch the viewer could call wrong).
"""
import csv
import dataclasses
import io
import json
import os
import subprocess
import sys

DELAY = 25   # aspect-detect's default -e


@dataclasses.dataclass
class Score:
    frames: int = 0
    right: int = 0
    outside: int = 0          # frames outside the delay after a change of the truth
    outside_right: int = 0
    wrong_switches: int = 0

    def add(self, other):
        for k in dataclasses.fields(self):
            setattr(self, k.name, getattr(self, k.name) + getattr(other, k.name))

    def share(self):
        return 100.0 * self.right / self.frames if self.frames else 0.0

    def outside_share(self):
        return 100.0 * self.outside_right / self.outside if self.outside else 0.0


def read_rows(text):
    """(class printed, truth) per frame of aspect-inspect's table."""
    rows = list(csv.DictReader(io.StringIO(text)))
    if rows and "truth" not in rows[0]:
        raise ValueError("the table has no truth column (run with --labels)")
    return [(r["printed"], r["truth"]) for r in rows]


def score_frames(rows, delay, group_of=lambda i: None):
    """The total Score, and one per group (group_of(frame index) names a
    frame's groups: a list of names, or None)."""
    total, groups = Score(), {}
    in_force, since_change = "", 0
    for i, (printed, truth) in enumerate(rows):
        since_change = 0 if i == 0 or truth != rows[i - 1][1] else since_change + 1
        s = Score()
        if printed and printed != in_force and printed != truth:
            lag = {t for _, t in rows[max(0, i - delay - 1):i]}
            s.wrong_switches = int(printed not in lag)
        if printed:
            in_force = printed
        if truth:
            s.frames = 1
            s.right = int(in_force == truth)
            if since_change > delay:
                s.outside = 1
                s.outside_right = s.right
        total.add(s)
        for g in group_of(i) or ():
            groups.setdefault(g, Score()).add(s)
    return total, groups


def read_scenes(corpus):
    """Per frame index, the groups it is scored in: its shape and its kinds."""
    groups = []
    with open(os.path.join(corpus, "corpus.scenes")) as f:
        for r in csv.DictReader(f):
            names = ["shape " + r["shape"]] + ["scene " + k for k in r["kinds"].split("+")]
            groups.extend([names] * (int(r["last"]) - int(r["first"]) + 1))
    return groups


def has_option(program, option):
    out = subprocess.run([program, "--help"], capture_output=True, text=True)
    return option in out.stdout + out.stderr


def score_mode(corpus, inspect, options, delay=DELAY):
    """Scores of one mode: "all" (every variant), "noise" (a Score per
    variant), "scene" (per scene group over every variant) and "clean" (per
    scene group in the capture without noise)."""
    with open(os.path.join(corpus, "corpus.json")) as f:
        manifest = json.load(f)
    scenes = read_scenes(corpus)
    labels = os.path.join(corpus, "corpus.labels")
    result = {"all": Score(), "noise": {}, "scene": {}, "clean": {}}
    for v in manifest["variants"]:
        table = subprocess.run([inspect, "-e", str(delay), "--labels", labels] + options
                               + [os.path.join(corpus, v["file"])],
                               check=True, capture_output=True, text=True).stdout
        s, groups = score_frames(read_rows(table), delay, lambda i: scenes[i])
        result["all"].add(s)
        result["noise"][v["name"]] = s
        for name, g in groups.items():
            result["scene"].setdefault(name, Score()).add(g)
        if v["noise"] == "none":
            result["clean"] = groups
    return result


def modes(inspect):
    """The modes to score: today's, and --robust where the program has it."""
    return [("today", [])] + ([("robust", ["--robust"])] if has_option(inspect, "--robust") else [])


def report(results, out=sys.stdout):
    """Prints the scores of each mode side by side: by noise variant, by kind
    of scene over every variant and in the capture without noise."""
    cols = "  %7s %8s %6s" % ("right", "outside", "wrong")
    for title, part in (("noise", "noise"), ("scene", "scene"), ("scene, no noise", "clean")):
        first = results[0][1][part]
        print("%-18s %6s" % ("", "") + "".join("  %-23s" % m for m, _ in results), file=out)
        print("%-18s %6s" % (title, "frames") + cols * len(results), file=out)
        for key in sorted(first, key=lambda k: (not k.startswith("shape "), k)) + ["all"]:
            line = ""
            for _, r in results:
                sc = r[part].get(key) if key != "all" else total_of(r[part])
                line += "  %6.1f%% %7.1f%% %6d" % (sc.share(), sc.outside_share(), sc.wrong_switches)
            frames = (first[key] if key != "all" else total_of(first)).frames
            print("%-18s %6d" % (key, frames) + line, file=out)
        print(file=out)
    print("right: frames whose class in force is the truth; outside: the same outside the delay after a change "
          "of the truth; wrong: wrong switches", file=out)


def total_of(groups):
    """The total over groups: the variants, or the shapes (a frame has one
    shape, but a scene may show several kinds)."""
    shapes = [s for name, s in groups.items() if name.startswith("shape ")]
    total = Score()
    for s in shapes or groups.values():
        total.add(s)
    return total


def main():
    args = sys.argv[1:]
    if len(args) < 2 or args[0].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    corpus, inspect = args[0], args[1]
    rest = args[2:]
    delay = DELAY
    if "-e" in rest:
        delay = int(rest[rest.index("-e") + 1])
        del rest[rest.index("-e"):rest.index("-e") + 2]
    results = [(m, score_mode(corpus, inspect, opts + rest, delay)) for m, opts in modes(inspect)]
    report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
