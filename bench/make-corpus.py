#!/usr/bin/python3
"""Make the labelled corpus on which the detector's modes are scored: a
programme of film scenes cut from real photographs, broadcast as MPEG-2 and
captured with noise, as PGM streams that aspect-inspect reads and the labels
that aspect-inspect --labels reads.

Usage: bench/make-corpus.py OUTDIR [--seed N] [--scenes N] [--shots DIR]

The programme (one fixed list of scenes; photos, pans, timings and texts drawn
from the seed):
- Each scene is a slow pan and zoom across one photograph (Debian's packaged
  wallpapers: plasma-workspace-wallpapers and lomiri-wallpapers-20.04), shown
  full frame (4:3) or letterboxed inside 720x576 to 14:9 (bars of 41 rows),
  16:9 (72) or 2.35:1 (125), bars at black (level 16), picture at levels 16 to
  235 with film grain (Gaussian, sigma 3, new every frame).
- Some scenes carry a station logo in the top bar (white text, under a fifth
  of the width, the whole scene), subtitles in the bottom bar (white text with
  a dark outline, one or two lines, cues of 1.2 to 2.6 s with gaps), a night
  sky (the photo darkened from the top, so its upper rows are near black; no
  bars when full frame), a fade to black at the end (with a few black frames
  after it) or a fade from black at the start. A fade in follows a fade out
  of a film of the same shape (the film goes on); a change of shape is a cut,
  right after a fade out at most, as between a film and the next programme.
- The programme is encoded as broadcast MPEG-2 (mpeg2video, 4 Mbit/s, GOP of
  12, 25 fps, in an MPEG transport stream: corpus.ts) and decoded back; each
  variant then adds capture noise of its own to every pixel, bars included:
  none, uniform in +-8, Gaussian of sigma 6 (+-12 at two sigma), uniform in
  +-16 and Gaussian of sigma 8 (+-16 at two sigma). One frame is one poll.

Labelling rules (one label line a scene, in corpus.labels):
- A scene's class is its film's shape as aspect-detect names it without -o:
  4:3 full frame, L14:9, and L16:9 for 16:9 and anything wider.
- A fade belongs to the scene it fades: the frames fading out and the black
  frames after them carry the class of the scene before (the detector holds
  it, and the viewer still sees that film), the frames fading in the class of
  the scene after. A night sky carries its film's shape too: a dark edge of
  the picture is no bar.
- Every frame is labelled; the label changes only at a cut.

Output in OUTDIR: corpus.ts (the broadcast), one PGM stream a variant
(noise-none.pgm, noise-uniform8.pgm, noise-gauss12.pgm, noise-uniform16.pgm,
noise-gauss16.pgm), corpus.labels (first,last,class, the same for every
variant), corpus.scenes (first,last,class,shape,kinds,photo: what each scene
shows, for scores by kind of scene) and corpus.json (the seed, the variants
and the frame count; written last, so a corpus without it is incomplete).
corpus.json also names a few example frames (a subtitled 16:9 frame, a
noisy one, a night sky, a logo), which --shots DIR saves as PNG. --scenes N makes a shorter
programme of the first N scenes (for trying the script out).
Needs python3-numpy, python3-pil, ffmpeg, fonts-dejavu-core and the two
wallpaper packages.
"""
import glob
import hashlib
import json
import os
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont

W, H = 720, 576
BLACK, WHITE = 16, 235
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

# Photographs only (no abstract art), each with the package that ships it.
PHOTOS = [(n, "plasma-workspace-wallpapers", "/usr/share/wallpapers/%s/contents/images/2560x1600.jpg" % n)
          for n in ("BytheWater", "ColdRipple", "ColorfulCups", "DarkestHour", "EveningGlow", "FallenLeaf",
                    "Grey", "Kite", "OneStandsOut", "Path", "summer_1am")]
PHOTOS.append(("Kleiber", "lomiri-wallpapers-20.04", "/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg"))
NIGHT_PHOTOS = ("DarkestHour", "summer_1am", "EveningGlow", "BytheWater")

# Active picture height of each film shape in a 4:3 frame of 576 lines.
SHAPES = {"4:3": 576, "14:9": 494, "16:9": 432, "2.35:1": 326}
CLASS = {"4:3": "4:3", "14:9": "L14:9", "16:9": "L16:9", "2.35:1": "L16:9"}

# The programme: shape and what the scene shows besides the film.
PROGRAMME = [
    ("4:3", ()),
    ("16:9", ("logo",)),
    ("16:9", ("subtitles",)),
    ("14:9", ()),
    ("2.35:1", ("subtitles",)),
    ("4:3", ("night sky",)),
    ("16:9", ("logo", "fade out")),
    ("16:9", ("fade in", "logo")),
    ("14:9", ("subtitles",)),
    ("2.35:1", ("logo",)),
    ("4:3", ("fade out",)),
    ("4:3", ("night sky", "fade in")),
    ("16:9", ("night sky",)),
    ("16:9", ("subtitles", "logo")),
    ("14:9", ("logo", "fade out")),
    ("14:9", ("fade in",)),
    ("2.35:1", ("subtitles", "fade out")),
    ("4:3", ()),
]

# (name, kind, level): uniform noise in +-level, or Gaussian of sigma level/2.
VARIANTS = [("none", "none", 0), ("uniform8", "uniform", 8), ("gauss12", "gauss", 12),
            ("uniform16", "uniform", 16), ("gauss16", "gauss", 16)]

LOGOS = ["K1", "NORD 3", "TV8", "ALPHA", "RTS 2", "CINE+"]
LINES = ["Where were you last night?", "I told you, I was at the harbour.", "Nobody saw you there.",
         "Then ask the ferryman.", "He left for the islands.", "How convenient.", "We have to go.", "Now?",
         "Before the storm comes in.", "I'm not leaving without her.", "She made her choice.", "Listen to me!",
         "The road is closed beyond the bridge.", "Take the path through the forest.", "It's too dark.",
         "Yes.", "Wait here.", "Do you hear that?", "It's only the wind.", "Keep walking."]

FADE, GAP = 12, 6   # frames of a fade, black frames after a fade out
GRAIN_SIGMA = 3.0
ENCODE = ["-c:v", "mpeg2video", "-b:v", "4M", "-maxrate", "4M", "-minrate", "4M", "-bufsize", "1835k",
          "-g", "12", "-bf", "2", "-flags", "+bitexact", "-fflags", "+bitexact", "-r", "25"]


def load_photos():
    photos = []
    for name, package, path in PHOTOS:
        if not os.path.exists(path):
            sys.exit("make-corpus: %s is missing (apt-get install %s)" % (path, package))
        img = Image.open(path).convert("L")
        # Enough pixels for a zoom of 1.6 over the frame's width.
        img.thumbnail((1600, 1600), Image.LANCZOS)
        photos.append((name, img))
    return photos


def plan(rng, photos, count):
    """The scenes: shape, kinds, photo, frame count, pan and the overlays."""
    names = [n for n, _ in photos]
    order = list(rng.permutation(len(photos)))
    scenes = []
    for i, (shape, kinds) in enumerate(PROGRAMME[:count]):
        if "night sky" in kinds:
            pick = names.index(NIGHT_PHOTOS[i % len(NIGHT_PHOTOS)])
        else:
            pick = int(order.pop(0)) if order else int(rng.integers(len(photos)))
        s = dict(shape=shape, kinds=kinds, photo=pick, frames=int(rng.integers(48, 72)))
        # A pan from one corner region towards another, zooming in or out.
        s["zoom"] = (1.0 + 0.3 * rng.random(), 1.0 + 0.3 * rng.random())
        s["pan"] = (rng.random(2), rng.random(2))
        if "logo" in kinds:
            s["logo"] = (LOGOS[int(rng.integers(len(LOGOS)))], bool(rng.integers(2)))
        if "subtitles" in kinds:
            s["cues"] = cues(rng, s["frames"], shape)
        if "night sky" in kinds:
            s["stars"] = rng.random((int(rng.integers(0, 12)), 2)) if rng.random() < 0.5 else np.zeros((0, 2))
        scenes.append(s)
    return scenes


def cues(rng, frames, shape):
    """Subtitle cues (first, last, lines) inside a scene."""
    out = []
    f = int(rng.integers(3, 12))
    while f + 30 < frames:
        length = int(rng.integers(30, 66))
        two = shape != "14:9" and rng.random() < 0.5
        text = [LINES[int(rng.integers(len(LINES)))] for _ in range(2 if two else 1)]
        out.append((f, min(frames - 1, f + length - 1), text))
        f += length + int(rng.integers(4, 20))
    return out


def film_picture(scene, img, t, height):
    """The film's picture at time t (0 to 1) of the scene: a box of the photo
    with the film's shape, panned and zoomed, scaled to 720 x height."""
    pw, ph = img.size
    ratio = 4.0 / 3.0 * H / height           # display aspect of the picture
    zoom = scene["zoom"][0] + (scene["zoom"][1] - scene["zoom"][0]) * t
    bw = min(pw, ph * ratio) / zoom
    bh = bw / ratio
    a, b = scene["pan"]
    cx = (a[0] + (b[0] - a[0]) * t) * (pw - bw)
    cy = (a[1] + (b[1] - a[1]) * t) * (ph - bh)
    pic = img.resize((W, height), Image.BILINEAR, box=(cx, cy, cx + bw, cy + bh))
    return np.asarray(pic, dtype=np.float32) * ((WHITE - BLACK) / 255.0)


def night(pic, stars):
    """Darkens a picture from the top: its upper rows near black, a few stars."""
    h = pic.shape[0]
    y = np.linspace(0.0, 1.0, h, dtype=np.float32)[:, None]
    ramp = np.clip((y - 0.08) / 0.5, 0.0, 1.0)
    pic *= 0.02 + 0.5 * ramp * ramp * (3 - 2 * ramp)
    for sx, sy in stars:
        x, r = int(sx * (W - 4)), int(sy * h * 0.25)
        pic[r:r + 2, x:x + 2] = 150
    return pic


def frame_of(scene, img, f, grain):
    """One frame of the programme before the broadcast: grey levels 16-235."""
    height = SHAPES[scene["shape"]]
    top = (H - height) // 2
    frame = np.full((H, W), float(BLACK), dtype=np.float32)
    n = scene["frames"]
    pic = film_picture(scene, img, f / max(1, n - 1), height)
    if "night sky" in scene["kinds"]:
        pic = night(pic, scene["stars"])
    level = 1.0
    if "fade in" in scene["kinds"]:
        level = min(level, (f + 1) / (FADE + 1))
    if "fade out" in scene["kinds"]:
        level = min(level, max(0.0, (n - GAP - f) / (FADE + 1)))
    pic = pic * level + grain[:height] * min(1.0, 2 * level)
    frame[top:top + height] += pic
    frame = np.clip(frame + 0.5, 0, 255).astype(np.uint8)
    image = Image.fromarray(frame, "L")
    if "logo" in scene["kinds"]:
        draw_logo(image, scene["logo"], top)
    for first, last, text in scene.get("cues", ()):
        if first <= f <= last and level == 1.0:
            draw_subtitle(image, text, top + height, scene["shape"])
    return np.asarray(image)


def draw_logo(image, logo, bar):
    text, right = logo
    font = ImageFont.truetype(FONT, 18 if bar > 50 else 14)
    draw = ImageDraw.Draw(image)
    x0, y0, x1, y1 = draw.textbbox((0, 0), text, font=font)
    # Inside the title-safe area, in the middle of the bar's visible rows.
    y = (17 + bar) // 2 - (y1 + y0) // 2 if bar > 17 else 30
    x = W - 60 - (x1 - x0) if right else 60
    draw.text((x, y), text, font=font, fill=200)


def draw_subtitle(image, lines, picture_end, shape):
    size = 16 if shape == "14:9" else 20
    font = ImageFont.truetype(FONT, size)
    draw = ImageDraw.Draw(image)
    step = size + 5
    block = step * len(lines)
    # Centred in the bar between the picture and the overscanned bottom rows.
    y = picture_end + max(2, (H - 17 - picture_end - block) // 2)
    for line in lines:
        x0, _, x1, _ = draw.textbbox((0, 0), line, font=font)
        draw.text(((W - (x1 - x0)) // 2, y), line, font=font, fill=WHITE, stroke_width=2, stroke_fill=BLACK)
        y += step


def encode(scenes, photos, rng, path):
    """Writes the programme as MPEG-2; returns the frame count."""
    # A bank of grain fields, rolled differently every frame: cheaper than
    # new noise, and no repeat the eye (or the encoder) would notice.
    bank = [rng.normal(0, GRAIN_SIGMA, (H, W)).astype(np.float32) for _ in range(8)]
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p",
           "-s", "%dx%d" % (W, H), "-r", "25", "-i", "-"] + ENCODE + ["-f", "mpegts", path]
    enc = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    chroma = bytes([128]) * (W * H // 2)
    total = 0
    for s in scenes:
        img = photos[s["photo"]][1]
        for f in range(s["frames"]):
            grain = np.roll(bank[int(rng.integers(len(bank)))], int(rng.integers(W)), axis=1)
            enc.stdin.write(frame_of(s, img, f, grain).tobytes() + chroma)
            total += 1
    enc.stdin.close()
    if enc.wait() != 0:
        sys.exit("make-corpus: ffmpeg could not encode the programme")
    return total


def decoded(path):
    """The broadcast's frames as decoded: the luma planes."""
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"]
    dec = subprocess.Popen(cmd, stdout=subprocess.PIPE)
    size = W * H * 3 // 2
    while True:
        data = dec.stdout.read(size)
        if len(data) < size:
            break
        yield np.frombuffer(data, dtype=np.uint8, count=W * H).reshape(H, W)
    if dec.wait() != 0:
        sys.exit("make-corpus: ffmpeg could not decode %s" % path)


def add_noise(rng, frame, kind, level):
    if kind == "none":
        return frame
    if kind == "uniform":
        noise = rng.integers(-level, level + 1, frame.shape, dtype=np.int16)
    else:
        noise = np.rint(rng.normal(0, level / 2.0, frame.shape)).astype(np.int16)
    return np.clip(frame.astype(np.int16) + noise, 0, 255).astype(np.uint8)


def write_labels(scenes, photos, out):
    first = 1
    with open(os.path.join(out, "corpus.labels"), "w") as lab, open(os.path.join(out, "corpus.scenes"), "w") as sc:
        lab.write("first,last,class\n")
        sc.write("first,last,class,shape,kinds,photo\n")
        for s in scenes:
            last = first + s["frames"] - 1
            lab.write("%d,%d,%s\n" % (first, last, CLASS[s["shape"]]))
            sc.write("%d,%d,%s,%s,%s,%s\n" % (first, last, CLASS[s["shape"]], s["shape"],
                                             "+".join(s["kinds"]) or "plain", photos[s["photo"]][0]))
            first = last + 1


def examples(scenes):
    """Frames worth a look, by name: (frame number from 1, variant)."""
    want = {"subtitled-16x9": lambda s: s["shape"] == "16:9" and "subtitles" in s["kinds"],
            "noisy-16": lambda s: s["shape"] == "14:9" and not s["kinds"],
            "night-sky": lambda s: s["kinds"] == ("night sky",) and s["shape"] == "4:3",
            "logo": lambda s: s["kinds"] == ("logo",)}
    found, start = {}, 0
    for s in scenes:
        for name, fits in want.items():
            if name not in found and fits(s):
                f = s["frames"] // 2
                if s.get("cues"):
                    f = (s["cues"][0][0] + s["cues"][0][1]) // 2
                found[name] = (start + f + 1, "uniform16" if name == "noisy-16" else "none")
        start += s["frames"]
    return found


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    out = args[0]
    seed = int(args[args.index("--seed") + 1]) if "--seed" in args else 1
    count = int(args[args.index("--scenes") + 1]) if "--scenes" in args else len(PROGRAMME)
    shots_dir = args[args.index("--shots") + 1] if "--shots" in args else None
    os.makedirs(out, exist_ok=True)
    manifest = os.path.join(out, "corpus.json")
    for old in [manifest] + glob.glob(os.path.join(out, "noise-*.pgm")):
        if os.path.exists(old):
            os.unlink(old)
    rng = np.random.default_rng(seed)
    photos = load_photos()
    scenes = plan(rng, photos, count)
    ts = os.path.join(out, "corpus.ts")
    frames = encode(scenes, photos, rng, ts)
    write_labels(scenes, photos, out)

    shots = examples(scenes)
    if shots_dir:
        os.makedirs(shots_dir, exist_ok=True)
    files = [open(os.path.join(out, "noise-%s.pgm" % name), "wb") for name, _, _ in VARIANTS]
    header = b"P5\n%d %d\n255\n" % (W, H)
    decoded_count = 0
    for i, frame in enumerate(decoded(ts)):
        for (name, kind, level), f in zip(VARIANTS, files):
            noisy = add_noise(rng, frame, kind, level)
            f.write(header + noisy.tobytes())
            for shot, (at, variant) in shots.items():
                if shots_dir and at == i + 1 and variant == name:
                    Image.fromarray(noisy, "L").save(os.path.join(shots_dir, shot + ".png"))
        decoded_count += 1
    for f in files:
        f.close()
    if decoded_count != frames:
        sys.exit("make-corpus: %d frames encoded, %d decoded" % (frames, decoded_count))
    with open(manifest, "w") as f:
        json.dump({"seed": seed, "scenes": count, "frames": frames,
                   "variants": [dict(name=n, noise=k, level=lv, file="noise-%s.pgm" % n) for n, k, lv in VARIANTS],
                   "packages": sorted({p for _, p, _ in PHOTOS}), "examples": shots,
                   "generator": hashlib.sha256(open(__file__, "rb").read()).hexdigest()}, f, indent=1)
    print("make-corpus: %d frames in %d scenes, %d variants, in %s" % (frames, count, len(VARIANTS), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
