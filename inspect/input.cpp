// Reading input: binary PGM files and streams, and devsim scenarios played as
// devsim plays them to the detector, also as the folder aspect-record writes.
// Each frame is one poll.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include "extern.h"
#include "video_format.h"
#include "pgm.h"
#include "scenario.h"

// Capture cards deliver a few hundred thousand pixels; 8192x8192 is plenty.
static const long long most_pixels = 1 << 26;

static void set_frame_size(Run &run, int w, int h, const std::string &where)
{
    Buffer &buffer = run.buffer;
    if (buffer.width < 0) {
        buffer.width = w;
        buffer.height = h;
        // A header is not trusted with gigabytes before its pixels are seen.
        if ((long long)w * h > most_pixels)
            fail(1, "%s: size %dx%d is more than %lld pixels", where.c_str(), w, h, most_pixels);
        try {
            buffer.pixels.assign(size_t(w) * size_t(h), 0);
        } catch (const std::exception &) {
            fail(1, "%s: can't hold a %dx%d frame", where.c_str(), w, h);
        }
        learn_classes(run);
    } else if (w != buffer.width || h != buffer.height) {
        fail(1, "%s is %dx%d, the frames before it are %dx%d", where.c_str(), w, h, buffer.width, buffer.height);
    }
}

static int next_stream_byte(void *f)
{
    int c = getc(static_cast<FILE *>(f));
    return c == EOF ? -1 : c;
}

// Whitespace after the last image, such as a newline a tool added, is no
// frame. A read error is left for the header reader to report.
static bool only_space_left(FILE *f)
{
    int c;
    while ((c = getc(f)) != EOF && isspace(c))
        ;
    if (c == EOF)
        return !ferror(f);
    ungetc(c, f);
    return false;
}

// Reads the header of the next image; false at the end of the input.
static bool read_frame_header(FILE *f, const char *name, long long frame, int *w, int *h)
{
    PgmHeader header;
    // Numbers up to 655359 reach the size and maxval checks and their own
    // messages; a longer one is refused as it is read.
    switch (read_pgm_header({next_stream_byte, f}, 655359, header)) {
    case PgmStatus::end:
        if (ferror(f))
            fail(1, "%s: frame %lld: can't read (%s)", name, frame, strerror(errno));
        return false;
    case PgmStatus::not_p5:
        fail(1, "%s: frame %lld: not a binary PGM (P5)", name, frame);
    case PgmStatus::bad_header:
        fail(1, "%s: frame %lld: bad PGM header", name, frame);
    case PgmStatus::too_large:
        fail(1, "%s: frame %lld: PGM size or maxval out of range", name, frame);
    case PgmStatus::bad_maxval:
        fail(1, "%s: frame %lld: maxval %lld; only 1 to 255 is supported", name, frame, header.maxval);
    case PgmStatus::ok:
        break;
    }
    if (header.width < 1 || header.height < 1 || header.width > 65535 || header.height > 65535)
        fail(1, "%s: frame %lld: size %lldx%lld; 1 to 65535 each", name, frame, header.width, header.height);
    *w = int(header.width);
    *h = int(header.height);
    return true;
}

static void read_pgm_stream(Run &run, FILE *f, const char *name)
{
    Buffer &buffer = run.buffer;
    long long images = 0;
    for (;;) {
        long long frame = (long long)run.polls.size() + 1;
        int w, h;
        if ((images > 0 && only_space_left(f)) || !read_frame_header(f, name, frame, &w, &h))
            break;
        char where[64];
        snprintf(where, sizeof where, "frame %lld", frame);
        set_frame_size(run, w, h, std::string(name) + ": " + where);
        size_t got = fread(buffer.pixels.data(), 1, buffer.pixels.size(), f);
        if (got < buffer.pixels.size())
            fail(1, "%s: frame %lld: truncated image (%zu of %zu bytes)", name, frame, got, buffer.pixels.size());
        buffer.version++;
        images++;
        take_poll(run, false);
    }
    if (images == 0)
        fail(1, "%s: no image", name);
}

// The capture device the detector would use, once it is known to start.
static const Device &find_camera(const Scenario &sc, const char *path)
{
    const Device *camera = nullptr;
    bool decoder = false;
    for (const Device &d : sc.devices) {
        if (d.kind == DeviceKind::capture && !camera)
            camera = &d;
        decoder = decoder || d.kind == DeviceKind::decoder;
    }
    if (!decoder || !camera)
        fail(1, "%s: no %s device; aspect-detect would not start", path, decoder ? "capture" : "decoder");
    return *camera;
}

// A scenario's poll steps in order, as devsim plays them to a detector
// without -f: a step without a frame leaves the capture buffer as it was, and
// a wide poll grabs nothing.
static void read_scenario(Run &run, const char *path)
{
    Scenario sc;
    std::string error = parse_scenario(path, sc);
    if (!error.empty())
        fail(1, "%s", error.c_str());
    const Device &camera = find_camera(sc, path);
    std::string where = std::string(path) + ":" + std::to_string(camera.line) + ": capture size";
    if (camera.mbuf < (long long)camera.width * camera.height)
        fail(1, "%s: the capture buffer is smaller than a frame; aspect-detect would not start", where.c_str());
    set_frame_size(run, camera.width, camera.height, where);
    Buffer &buffer = run.buffer;
    long long polls = run.others.empty() ? (long long)run.polls.size() : (long long)run.replayed;
    for (const PollStep &st : sc.steps) {
        if (st.times > most_polls - polls)
            fail(1, "%s:%d: times=%lld makes more than %lld polls; cut the recording or its times= counts", path,
                 st.line, st.times, most_polls);
        polls += st.times;
        bool wide = is_wide_format(st.video_format);
        for (long long n = 0; n < st.times; n++) {
            if (n == 0 && !wide && !st.frame.empty() && (st.lock || !run.settings.frontend_lock_test)) {
                FILE *f = fopen(st.frame_path.c_str(), "rb");
                if (!f || fseeko(f, st.frame_offset, SEEK_SET) != 0
                    || fread(buffer.pixels.data(), 1, buffer.pixels.size(), f) != buffer.pixels.size())
                    fail(1, "%s:%d: can't read frame '%s'", path, st.line, st.frame.c_str());
                fclose(f);
                buffer.version++;
            }
            take_poll(run, wide, st.lock);
        }
    }
}

// Standard input, kept in a temporary file when --tune reads the frames
// twice.
static FILE *standard_input(Run &run)
{
    if (!run.settings.tune)
        return stdin;
    if (!run.spool) {
        run.spool = tmpfile();
        if (!run.spool)
            fail(1, "can't keep standard input for a second pass (%s)", strerror(errno));
        char block[65536];
        size_t n;
        while ((n = fread(block, 1, sizeof block, stdin)) > 0)
            if (fwrite(block, 1, n, run.spool) != n)
                fail(1, "can't keep standard input for a second pass (%s)", strerror(errno));
        if (ferror(stdin))
            fail(1, "standard input: can't read (%s)", strerror(errno));
    }
    if (fflush(run.spool) != 0 || fseeko(run.spool, 0, SEEK_SET) != 0)
        fail(1, "can't keep standard input for a second pass (%s)", strerror(errno));
    return run.spool;
}

static bool is_folder(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// One INPUT of the command line: '-' is standard input, *.scn a scenario, a
// folder a recording with its scenario.scn, anything else a PGM file.
static void read_input(Run &run, const char *input)
{
    if (strcmp(input, "-") == 0) {
        read_pgm_stream(run, standard_input(run), "standard input");
    } else if (ends_with(input, ".scn")) {
        read_scenario(run, input);
    } else if (is_folder(input)) {
        read_scenario(run, (std::string(input) + "/scenario.scn").c_str());
    } else {
        FILE *f = fopen(input, "rb");
        if (!f)
            fail(1, "can't read '%s' (%s)", input, strerror(errno));
        read_pgm_stream(run, f, input);
        fclose(f);
    }
}

// Every INPUT in order. A second pass starts from the black buffer a
// capture device holds before its first frame, as the first did.
void read_inputs(Run &run)
{
    if (!run.others.empty()) {
        std::fill(run.buffer.pixels.begin(), run.buffer.pixels.end(), 0);
        run.buffer.version++;
    }
    for (const char *input : run.settings.inputs)
        read_input(run, input);
}
