#!/usr/bin/env python3
"""Run every benchmark of the tool set and print one table: each row a piece
of work, our figure, the peer's figure measured in the same run, the ratio.

Usage: bench/run-bench.py BUILD_DIR [--quick] [--only PART,...] [--markdown FILE]

BUILD_DIR holds the programs (bin/, lib/) and bench/letterbox_bench, as
`make bench` builds them. Generated inputs live in a temporary folder that is
removed at the end. --quick shrinks the filter inputs tenfold (for trying the
script out; the recorded figures come from a full run). --markdown also
writes the table and a description of the machine to FILE. --only runs some
of the parts: letterbox, detector, ac3-trim, babconv, mov-streamable, wss-signal,
inspect, robust.
Needs python3, valgrind, ffmpeg (the movie peer and its input), cat and cp;
the labelled corpus (robust, and the detector's noisy frame) is made once into
BUILD_DIR/corpus by bench/make-corpus.py, which needs Debian's python3 with
numpy and PIL, fonts-dejavu-core and the wallpaper packages it names.
"""
import hashlib
import io
import json
import os
import platform
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import corpus_score  # noqa: E402

FRAMES = ["4:3", "14:9", "16:9-logo", "2.39:1", "black"]

rows = []      # dicts: work, ours, peer, peer_value, unit, ratio, goal, met
missing = []   # what could not be measured, and why
details = []   # blocks of text printed after the table


def note(text):
    print(text, file=sys.stderr, flush=True)


def add_row(work, ours, peer, peer_value, unit, goal=None, check=None, ratio=None, met=None):
    """ours may be a word ("not built") instead of a figure; met may be given
    where the goal is on ours alone and the ratio may not exist."""
    numeric = isinstance(ours, (int, float))
    if ratio is None and numeric and peer_value:
        ratio = ours / peer_value
    if met is None and check is not None and ratio is not None:
        met = check(ratio, ours)
    rows.append(dict(work=work, ours=ours, peer=peer, peer_value=peer_value, unit=unit,
                     ratio=ratio, goal=goal or "", met=met))


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def best_wall(cmd, runs=3, shell=False, before=None):
    """Best wall time in seconds of `runs` runs of cmd (output discarded)."""
    best = None
    for _ in range(runs):
        if before:
            before()
        t0 = time.perf_counter()
        subprocess.run(cmd, shell=shell, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t = time.perf_counter() - t0
        best = t if best is None or t < best else best
    return best


def best_walls(cmds, runs=5, shell=False, before=None):
    """Best wall times of several commands, run in turns so that a change in
    the load of a shared machine falls on all of them alike."""
    best = [None] * len(cmds)
    for _ in range(runs):
        for i, cmd in enumerate(cmds):
            t = best_wall(cmd, runs=1, shell=shell, before=before)
            best[i] = t if best[i] is None or t < best[i] else best[i]
    return best


def median_walls(cmds, runs=9, shell=False, before=None):
    """Median wall times of several commands run in turns, `runs` times each;
    every other round runs them in reverse order, so that none always follows
    the same one."""
    times = [[] for _ in cmds]
    for r in range(runs):
        order = range(len(cmds)) if r % 2 == 0 else reversed(range(len(cmds)))
        for i in order:
            times[i].append(best_wall(cmds[i], runs=1, shell=shell, before=before))
    return [statistics.median(t) for t in times]


def child_cpu(cmd, **kw):
    """User + system CPU seconds of one run of cmd, and its wall time."""
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    wall = time.perf_counter() - t0
    r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime), wall


# --- letterbox measurement -------------------------------------------------

def letterbox(build, work):
    exe = os.path.join(build, "bench", "letterbox_bench")
    shim = os.path.join(build, "bench", "libcallgrind_shim.so")
    if not os.access(exe, os.X_OK):
        missing.append("letterbox rows: no %s (libbenchmark-dev, libavfilter-dev)" % exe)
        return {}
    note("letterbox: Google Benchmark, 5 repetitions (CPU time, median)")
    out = os.path.join(work, "letterbox.json")
    run([exe, "--benchmark_repetitions=5", "--benchmark_min_time=0.1",
         "--benchmark_out=" + out, "--benchmark_out_format=json"], stdout=subprocess.DEVNULL)
    with open(out) as f:
        data = json.load(f)
    times = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        assert b["time_unit"] == "ns"
        times.setdefault(b["run_name"], []).append(b["cpu_time"])
    med = {k: statistics.median(v) / 1000.0 for k, v in times.items()}   # microseconds

    note("letterbox: instructions per frame under callgrind")
    env = dict(os.environ, LD_PRELOAD=shim)

    def instructions(what, frame, n):
        cg = os.path.join(work, "callgrind.out")
        run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + cg, exe, "count", what, frame, str(n)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(cg) as f:
            for line in f:
                if line.startswith("totals:"):
                    return int(line.split()[1])
        raise RuntimeError("no totals in callgrind output")

    have_valgrind = shutil.which("valgrind") is not None
    if not have_valgrind:
        missing.append("instruction counts: valgrind not installed")
    graph = None
    for frame in FRAMES:
        t_ours, t_crop, t_pass = med["ours/" + frame], med["cropdetect/" + frame], med["onepass/" + frame]
        goal, check = None, None
        if frame in ("16:9-logo", "black"):
            goal, check = "<= 0.3x", lambda r, o: r <= 0.3
        if frame == "4:3":
            goal, check = "< 1 us", lambda r, o: o < 1.0
        add_row("letterbox %s: time/frame" % frame, t_ours, "cropdetect", t_crop, "us", goal, check)
        if have_valgrind:
            n_ours, n_crop = 2000, 100
            harness = instructions("none", frame, 0)
            if graph is None:
                graph = instructions("cropdetect-none", frame, 0) - harness
            i_ours = (instructions("ours", frame, n_ours) - harness) / n_ours
            i_crop = (instructions("cropdetect", frame, n_crop) - harness - graph) / n_crop
            add_row("letterbox %s: instructions/frame" % frame, i_ours, "cropdetect", i_crop, "instr")
        goal, check = "<= 2x", lambda r, o: r <= 2.0
        add_row("letterbox %s: time/frame" % frame, t_ours, "one pass over its rows", t_pass, "us", goal, check)
    return med


def write_pgm(build, frame, path):
    exe = os.path.join(build, "bench", "letterbox_bench")
    with open(path, "wb") as f:
        run([exe, "pgm", frame], stdout=f)


# --- the detector's poll loop under devsim ----------------------------------

def poll_cpu(devsim, detect, options, scenario, work, polls):
    """CPU microseconds a poll of aspect-detect under devsim, and its lines."""
    scn = os.path.join(work, "box.scn")
    with open(scn, "w") as f:
        f.write(scenario)
    out = os.path.join(work, "detect.out")
    with open(out, "w") as f:
        cpu, _ = child_cpu([devsim, scn, "--", detect] + options, stdout=f, stderr=subprocess.DEVNULL)
    with open(out) as f:
        return cpu / polls * 1e6, f.read().split()


def detector(build, work, med, polls):
    devsim = os.path.join(build, "bin", "devsim")
    detect = os.path.join(build, "bin", "aspect-detect")
    if not (os.access(devsim, os.X_OK) and os.access(detect, os.X_OK)):
        missing.append("detector rows: devsim or aspect-detect not built")
        return
    write_pgm(build, "16:9-logo", os.path.join(work, "wide.pgm"))
    head = "clock virtual\ndecoder /dev/dvb/adapter0/video0\ncapture /dev/video0 720x576\n"
    cases = [
        ("every poll grabs the 16:9 frame", "poll 4:3 frame=wide.pgm times=%d\n" % polls, "L16:9"),
        ("frame delivered once, then unchanged", "poll 4:3 frame=wide.pgm\npoll 4:3 times=%d\n" % (polls - 1),
         "L16:9"),
    ]
    # A mode may take the noisy frame for any class (the corpus rows score
    # that): here it must print one line, as it polls it again and again.
    if corpus_frame(build, "subtitled-16x9", "uniform16", os.path.join(work, "noisy.pgm")):
        cases.append(("every poll grabs a subtitled 16:9 corpus frame, noise +-16",
                      "poll 4:3 frame=noisy.pgm times=%d\n" % polls, None))
    modes = [("", [])]
    if corpus_score.has_option(detect, "--robust"):
        modes.append(("--robust ", ["--robust"]))
    today = {}
    for mode, options in modes:
        for name, steps, expect in cases:
            note("detector: %d polls under devsim's virtual clock (%s%s)" % (polls, mode, name))
            t, lines = poll_cpu(devsim, detect, options, head + steps, work, polls)
            if len(lines) != 1 or (expect and lines != [expect]):
                raise RuntimeError("aspect-detect %sprinted %r, expected one %s" % (mode, lines[:5], expect or "line"))
            work_name = "aspect-detect %spoll (CPU), %s" % (mode, name)
            if options:
                add_row(work_name, t, "today's mode", today[name], "us", "< 150 us", lambda r, o: o < 150)
            else:
                today[name] = t
                add_row(work_name, t, "the measurement alone",
                        med.get("ours/16:9-logo") if expect else None, "us")
    # The same polls from a V4L2 device streaming YUYV, beside the V4L1 grey
    # device: devsim's buffers and poll and the detector's luma gather on top.
    name, steps, expect = cases[0]
    note("detector: %d polls under devsim's virtual clock (V4L2 YUYV, %s)" % (polls, name))
    t, lines = poll_cpu(devsim, detect, [], head.replace("720x576", "720x576 v4l2 formats=YUYV") + steps, work, polls)
    if lines != [expect]:
        raise RuntimeError("aspect-detect on V4L2 printed %r, expected one %s" % (lines[:5], expect))
    add_row("aspect-detect poll (CPU), V4L2 YUYV 720x576, %s" % name, t, "V4L1 GREY, the same polls", today[name],
            "us", "< 150 us", lambda r, o: o < 150)


# --- the labelled corpus: today's mode and --robust -------------------------

corpus_made = {}   # build folder: the corpus folder, or None where it could not be made


def ensure_corpus(build):
    """The labelled corpus in BUILD/corpus, made (once, about a minute) where
    it is missing or an older generator made it; None if it cannot be made."""
    if build in corpus_made:
        return corpus_made[build]
    corpus = os.path.join(build, "corpus")
    generator = os.path.join(ROOT, "bench", "make-corpus.py")
    with open(generator, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    try:
        with open(os.path.join(corpus, "corpus.json")) as f:
            fresh = json.load(f).get("generator") == digest
    except (OSError, ValueError):
        fresh = False
    corpus_made[build] = corpus
    if not fresh:
        # Debian's interpreter: numpy and PIL come as Debian packages.
        python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
        note("corpus: making the labelled corpus in %s" % corpus)
        t0 = time.perf_counter()
        if subprocess.run([python, generator, corpus]).returncode != 0:
            missing.append("corpus rows: bench/make-corpus.py failed (scripts/install-deps bench)")
            corpus_made[build] = None
        else:
            note("corpus: made in %.0f s" % (time.perf_counter() - t0))
    return corpus_made[build]


def corpus_frame(build, name, variant, path):
    """Writes the corpus's example frame `name` of a noise variant to path as
    a PGM; False without a corpus."""
    corpus = ensure_corpus(build)
    if not corpus:
        return False
    with open(os.path.join(corpus, "corpus.json")) as f:
        frame = json.load(f)["examples"][name][0]
    with open(os.path.join(corpus, "noise-%s.pgm" % variant), "rb") as f:
        header = f.readline() + f.readline() + f.readline()
        width, height = map(int, header.split()[1:3])
        size = len(header) + width * height
        f.seek((frame - 1) * size)
        data = f.read(size)
    with open(path, "wb") as f:
        f.write(data)
    return True


def robust(build):
    inspect = os.path.join(build, "bin", "aspect-inspect")
    if not os.access(inspect, os.X_OK):
        missing.append("corpus rows: aspect-inspect not built (libcairo2-dev)")
        return
    corpus = ensure_corpus(build)
    if not corpus:
        return
    with open(os.path.join(corpus, "corpus.json")) as f:
        manifest = json.load(f)
    results = []
    for mode, options in corpus_score.modes(inspect):
        note("corpus: aspect-inspect --labels %s" % (" ".join(options) or "(today's mode)"))
        results.append((mode, corpus_score.score_mode(corpus, inspect, options)))
    today = results[0][1]["all"]
    robust_score = results[1][1]["all"] if len(results) > 1 else None
    name = "labelled corpus, %d frames (%d noise levels), -e %d" % (
        manifest["frames"] * len(manifest["variants"]), len(manifest["variants"]), corpus_score.DELAY)
    goal = "robust: no wrong switch, >=99% right outside the delay"
    met = None
    if robust_score:
        met = robust_score.wrong_switches == 0 and robust_score.outside_share() >= 99.0
    pick = lambda f: f(robust_score) if robust_score else "not built"
    add_row(name + ": frames right", pick(corpus_score.Score.share), "today's mode", today.share(), "%")
    add_row(name + ": right outside the delay", pick(corpus_score.Score.outside_share), "today's mode",
            today.outside_share(), "%", goal, met=met)
    add_row(name + ": wrong switches", pick(lambda r: r.wrong_switches), "today's mode", today.wrong_switches,
            "switches", goal, met=met)
    text = io.StringIO()
    corpus_score.report(results, text)
    details.append("Scores on the labelled corpus (bench/corpus_score.py %s %s):\n\n%s"
                   % (corpus, inspect, text.getvalue()))


# --- filters ---------------------------------------------------------------

def ac3_stream(path, size):
    frames = open(os.path.join(ROOT, "tests", "fixtures", "media", "sine.ac3"), "rb").read()
    junk_size = 64 << 20 if size >= (512 << 20) else size // 16
    # junk without a sync word (every 0x77 made 0x78), dense in 0x0b
    junk = bytearray(os.urandom(1 << 20))
    junk = junk.replace(b"\x77", b"\x78")
    with open(path, "wb") as f:
        for _ in range(junk_size >> 20):
            f.write(junk)
        block = frames * ((1 << 20) // len(frames) + 1)
        written = junk_size
        while written < size:
            piece = block[:size - written]
            f.write(piece)
            written += len(piece)
    return junk_size


def ac3_trim(build, work, size):
    trim = os.path.join(build, "bin", "ac3-trim")
    if not os.access(trim, os.X_OK):
        missing.append("ac3-trim row: ac3-trim not built")
        return
    path = os.path.join(work, "stream.ac3")
    out = os.path.join(work, "trimmed.ac3")
    note("ac3-trim: %d MiB through a pipe and from file to file, 9 runs each" % (size >> 20))
    junk = ac3_stream(path, size)
    got = subprocess.run("cat '%s' | '%s' | wc -c" % (path, trim), shell=True, check=True,
                         capture_output=True, text=True).stdout.strip()
    if int(got) != size - junk:
        raise RuntimeError("ac3-trim wrote %s bytes, expected %d" % (got, size - junk))
    mb = size / 1e6
    load = os.getloadavg()[0]
    t_cat, t_trim = median_walls(["cat '%s' | cat > /dev/null" % path,
                                  "cat '%s' | '%s' > /dev/null" % (path, trim)], shell=True)
    add_row("ac3-trim, %d MiB through a pipe (median of 9, load %.1f)" % (size >> 20, load),
            mb / t_trim, "cat", mb / t_cat, "MB/s", ">= 1.1x", lambda r, o: r >= 1.1)

    def unlink_out():
        if os.path.exists(out):
            os.unlink(out)
    run("'%s' < '%s' > '%s'" % (trim, path, out), shell=True)
    if os.path.getsize(out) != size - junk:
        raise RuntimeError("ac3-trim wrote %d bytes to a file, expected %d" % (os.path.getsize(out), size - junk))
    load = os.getloadavg()[0]
    t_cat, t_trim = median_walls(["cat < '%s' > '%s'" % (path, out), "'%s' < '%s' > '%s'" % (trim, path, out)],
                                 shell=True, before=unlink_out)
    add_row("ac3-trim, %d MiB file to file (median of 9, load %.1f)" % (size >> 20, load),
            mb / t_trim, "cat", mb / t_cat, "MB/s", ">= 1.0x", lambda r, o: r >= 1.0)
    unlink_out()
    os.unlink(path)


def babyl_file(path, size):
    msgs = []
    # Line ends are LF throughout: Python's Babyl reader takes a CR LF
    # "*** EOOH ***" for an ordinary line and fails.
    eol = "\n"
    for m in range(250):
        s = ["\x1f\x0c\n1, answered,, work, list%d,\n" % (m % 7),
             "Received: from relay%d.example.org by mx.example.org;%s" % (m, eol),
             "From: Sender %d <s%d@example.org>%s" % (m, m, eol),
             "To: box@example.org%sSubject: message %d%s" % (eol, m, eol),
             "Date: Mon, 1 Jan 2024 12:%02d:00 +0000%s" % (m % 60, eol),
             "*** EOOH ***%s" % eol,
             "From: Sender %d <s%d@example.org>%s" % (m, m, eol),
             "To: box@example.org%sSubject: message %d%s%s" % (eol, m, eol, eol)]
        for n in range(55):
            s.append("%s line %d of message %d, some ordinary text to make up a line.%s"
                     % ("From" if n == 30 else ">" if n % 9 == 8 else "", n, m, eol))
        msgs.append("".join(s))
    chunk = "".join(msgs).encode()
    with open(path, "wb") as f:
        f.write(b"BABYL OPTIONS: -*- rmail -*-\nVersion: 5\nLabels: work\n")
        for _ in range(max(1, size // len(chunk))):
            f.write(chunk)
        f.write(b"\x1f")


PY_MAILBOX = r"""
import mailbox, sys
src = mailbox.Babyl(sys.argv[1], create=False)
dst = mailbox.mbox(sys.argv[2])
dst.lock()
for message in src:
    dst.add(mailbox.mboxMessage(message))
dst.flush()
dst.unlock()
"""


def babconv(build, work, size):
    prog = os.path.join(build, "bin", "babconv")
    if not os.access(prog, os.X_OK):
        missing.append("babconv rows: babconv not built")
        return
    path = os.path.join(work, "in.babyl")
    note("babconv: %d MB Babyl file" % (size // 1000000))
    babyl_file(path, size)
    mb = os.path.getsize(path) / 1e6
    t_cat, t_ours = median_walls(["cat < '%s'" % path, "'%s' < '%s'" % (prog, path)], shell=True)
    load = os.getloadavg()[0]
    add_row("babconv, %.0f MB Babyl to mbox (median of 9, load %.1f)" % (mb, load), mb / t_ours,
            "cat", mb / t_cat, "MB/s", ">= 0.8x", lambda r, o: r >= 0.8)
    note("babconv: Python's mailbox module on the same file (one run)")
    script = os.path.join(work, "convert.py")
    with open(script, "w") as f:
        f.write(PY_MAILBOX)
    out = os.path.join(work, "out.mbox")
    t0 = time.perf_counter()
    run([sys.executable, script, path, out])
    t_py = time.perf_counter() - t0
    add_row("babconv, %.0f MB Babyl to mbox" % mb, mb / t_ours, "Python mailbox", mb / t_py, "MB/s")
    os.unlink(out)
    os.unlink(path)


def movie(work, size):
    """A QuickTime movie of about `size` bytes with its header at the end."""
    ff = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]
    clip = os.path.join(work, "clip.mov")
    run(ff + ["-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-f", "lavfi",
              "-i", "sine=frequency=440:sample_rate=48000", "-t", "8", "-c:v", "mjpeg", "-q:v", "2",
              "-c:a", "pcm_s16le", "-f", "mov", clip])
    loops = max(1, size // os.path.getsize(clip))
    big = os.path.join(work, "movie.mov")
    run(ff + ["-stream_loop", str(loops - 1), "-i", clip, "-c", "copy", "-f", "mov", big])
    os.unlink(clip)
    return big


def moov_first(path):
    with open(path, "rb") as f:
        while True:
            head = f.read(8)
            if len(head) < 8:
                return None
            size, kind = struct.unpack(">I4s", head)
            if kind in (b"moov", b"mdat"):
                return kind == b"moov"
            if size == 1:
                size = struct.unpack(">Q", f.read(8))[0]
                f.seek(size - 16, 1)
            else:
                f.seek(size - 8, 1)


def mov_streamable(build, work, size):
    prog = os.path.join(build, "bin", "mov-streamable")
    if not os.access(prog, os.X_OK):
        missing.append("mov-streamable rows: mov-streamable not built")
        return
    if not shutil.which("ffmpeg"):
        missing.append("mov-streamable rows: ffmpeg not installed (input and peer)")
        return
    note("mov-streamable: making a %d MB movie" % (size // 1000000))
    src = movie(work, size)
    mb = os.path.getsize(src) / 1e6
    out = os.path.join(work, "out.mov")
    drop = lambda: os.path.exists(out) and os.unlink(out)
    run([prog, src, out], stdout=subprocess.DEVNULL)
    if moov_first(out) is not True:
        raise RuntimeError("mov-streamable did not put the movie header first")
    load = os.getloadavg()[0]
    t_cp, t_ours, t_ff = median_walls([["cp", src, out], [prog, src, out],
                                       ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", src, "-c", "copy",
                                        "-movflags", "+faststart", "-f", "mov", out]], runs=7, before=drop)
    name = "mov-streamable, %.0f MB movie (median of 7, load %.1f)" % (mb, load)
    add_row(name, t_ours, "cp", t_cp, "s", "<= 1.1x", lambda r, o: r <= 1.1)
    add_row(name, t_ours, "ffmpeg -c copy +faststart", t_ff, "s")
    drop()
    os.unlink(src)


# --- wss-signal --------------------------------------------------------------

FIELD_RATE = 50.0   # a word per field of the picture is the most that could ever be needed


def wss_signal(build, work, words):
    devsim = os.path.join(build, "bin", "devsim")
    prog = os.path.join(build, "bin", "wss-signal")
    if not (os.access(prog, os.X_OK) and os.access(devsim, os.X_OK)):
        missing.append("wss-signal row: wss-signal or devsim not built")
        return
    scn = os.path.join(work, "vbi.scn")
    records = os.path.join(work, "vbi.records")
    with open(scn, "w") as f:
        f.write("vbi /dev/vbi0 records=vbi.records\n")
    inp = os.path.join(work, "words")
    cycle = ["4:3", "L14:9", "L16:9", "L>16:9", "16:9"]
    with open(inp, "w") as f:
        for i in range(words):
            f.write(cycle[i % len(cycle)] + "\n")
        f.write("exit\n")
    note("wss-signal: %d words through a pipe into devsim's vbi device" % words)
    echo = os.path.join(work, "echo")
    t0 = time.perf_counter()
    subprocess.run("cat '%s' | '%s' '%s' -- '%s' > '%s'" % (inp, devsim, scn, prog, echo),
                   shell=True, check=True)
    t = time.perf_counter() - t0
    with open(echo) as f:
        echoed = sum(1 for line in f if line.startswith("> WSS"))
    if echoed != words or os.path.getsize(records) != 64 * words:
        raise RuntimeError("wss-signal echoed %d words and wrote %d bytes of records for %d words"
                           % (echoed, os.path.getsize(records), words))
    add_row("wss-signal, %d words, pipe to vbi device" % words, words / t,
            "one word per field (fixed)", FIELD_RATE, "words/s", ">= 1x", lambda r, o: r >= 1.0)


# --- aspect-inspect --tune ---------------------------------------------------

def noisy_frames(path, labels, frames):
    """720x576 PGM frames in scenes of 50: 4:3, 14:9 and 16:9 letterboxes whose
    bars lie at level 16 with +-12 of capture noise (the defaults miss them),
    and the labels of the scenes."""
    w, h = 720, 576
    noise = bytes(16 + v % 25 - 12 for v in range(256))
    picture = bytes(40 + v % 200 for v in range(256))
    bars = [os.urandom(w * 72).translate(noise) for _ in range(64)]
    pictures = [os.urandom(w * h).translate(picture) for _ in range(8)]
    scenes = []
    with open(path, "wb") as f:
        for i in range(frames):
            k = i // 50 % 3
            bar = (0, 41, 72)[k]
            f.write(b"P5\n720 576\n255\n" + bars[i % 64][:w * bar] + pictures[i % 8][w * bar:w * (h - bar)]
                    + bars[(i * 7 + 3) % 64][:w * bar])
            if scenes and scenes[-1][2] == k:
                scenes[-1][1] = i + 1
            else:
                scenes.append([i + 1, i + 1, k])
    with open(labels, "w") as f:
        for first, last, k in scenes:
            f.write("%d,%d,%s\n" % (first, last, ("4:3", "L14:9", "L16:9")[k]))


def inspect_tune(build, work, frames):
    prog = os.path.join(build, "bin", "aspect-inspect")
    if not os.access(prog, os.X_OK):
        missing.append("aspect-inspect row: aspect-inspect not built (libcairo2-dev)")
        return
    note("aspect-inspect: --tune over %d noisy 720x576 frames" % frames)
    path, labels = os.path.join(work, "noisy.pgm"), os.path.join(work, "noisy.labels")
    noisy_frames(path, labels, frames)
    out = subprocess.run([prog, "--labels", labels, "--tune", path], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    tried = int(out[0].split()[-1])
    best = [line for line in out if line.startswith("best ")]
    if not best or " %d of %d " % (frames, frames) not in best[0] or not out[-1].startswith("aspect-detect -b "):
        raise RuntimeError("aspect-inspect --tune did not find settings for every frame: %r" % out)
    t_plain, t_tune = best_walls([[prog, "--labels", labels, path], [prog, "--labels", labels, "--tune", path]],
                                 runs=3)
    add_row("aspect-inspect --tune, %d frames x %d settings" % (frames, tried), t_tune,
            "one setting (no --tune)", t_plain, "s", "< 10 s", lambda r, o: o < 10)
    os.unlink(path)


# --- the table -------------------------------------------------------------

def fmt(v, unit):
    if v is None:
        return "-"
    if isinstance(v, str):
        return v
    if unit == "%":
        return "%.1f%%" % v
    if unit == "switches":
        return "%d" % v
    if unit == "instr":
        return "{:,.0f}".format(v)
    if unit == "us":
        return "%.3g us" % v if v < 10 else "%.1f us" % v
    if unit == "s":
        return "%.2f s" % v
    if unit == "MB/s":
        return "%.0f MB/s" % v
    if unit == "words/s":
        return "{:,.0f}/s".format(v)
    return "%g %s" % (v, unit)


def table():
    head = ["work", "ours", "peer", "peer's figure", "ours/peer", "goal", "met"]
    body = []
    for r in rows:
        met = "" if r["met"] is None else ("yes" if r["met"] else "NO")
        body.append([r["work"], fmt(r["ours"], r["unit"]), r["peer"], fmt(r["peer_value"], r["unit"]),
                     "-" if r["ratio"] is None else "%.3g" % r["ratio"], r["goal"], met])
    return head, body


def print_table(head, body):
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(line(head))
    print(line(["-" * w for w in widths]))
    for b in body:
        print(line(b))
    for m in missing:
        print("not measured: " + m)
    for d in details:
        print()
        print(d, end="")


def machine():
    model = "unknown CPU"
    flags = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model == "unknown CPU":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags") and not flags:
                    have = line.split(":", 1)[1].split()
                    flags = " ".join(x for x in ("sse2", "avx2", "avx512bw") if x in have)
    except OSError:
        pass
    load = os.getloadavg()[0]
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return ("%s, %d CPUs (%s), %.0f GiB memory, %s %s, load average %.1f at the start"
            % (model, os.cpu_count(), flags, mem, platform.system(), platform.release(), load))


def markdown(head, body, desc):
    out = ["Machine: " + desc, "",
           "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for b in body:
        out.append("| " + " | ".join(x.replace("|", "\\|") for x in b) + " |")
    for m in missing:
        out.append("")
        out.append("Not measured: " + m)
    for d in details:
        title, text = d.split("\n", 1)
        out += ["", title, "", "```", text.strip("\n"), "```"]
    return "\n".join(out) + "\n"


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(args[0])
    quick = "--quick" in args
    md = args[args.index("--markdown") + 1] if "--markdown" in args else None
    scale = 10 if quick else 1
    only = args[args.index("--only") + 1].split(",") if "--only" in args else None
    want = lambda part: only is None or part in only
    desc = machine()
    tmp = tempfile.mkdtemp(prefix="bench.")
    try:
        med = letterbox(build, tmp) if want("letterbox") else {}
        if want("detector"):
            detector(build, tmp, med, 100000 // scale)
        if want("ac3-trim"):
            ac3_trim(build, tmp, (1 << 30) // scale)
        if want("babconv"):
            babconv(build, tmp, 200 * 1000000 // scale)
        if want("mov-streamable"):
            mov_streamable(build, tmp, 300 * 1000000 // scale)
        if want("wss-signal"):
            wss_signal(build, tmp, 100000 // scale)
        if want("inspect"):
            inspect_tune(build, tmp, 2000 // scale)
        if want("robust"):
            robust(build)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    head, body = table()
    print()
    print("Machine: " + desc)
    print()
    print_table(head, body)
    if md:
        with open(md, "w") as f:
            f.write(markdown(head, body, desc))
    return 0


if __name__ == "__main__":
    sys.exit(main())
