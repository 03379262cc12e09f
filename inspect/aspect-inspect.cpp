// aspect-inspect: runs the detector's own measurement and classification over
// recorded or decoded frames, one frame per poll, and shows what it measured,
// what it would have printed, and which settings would have done better.
#include <algorithm>
#include <cairo-svg.h>
#include <cairo.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fontconfig/fontconfig.h>
#include <getopt.h>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "aspect_class.h"
#include "letterbox.h"
#include "pgm.h"
#include "scenario.h"

// Class numbers beside the class table's indexes 0 to 3.
static const int wide_class = 4; // "16:9", a wide stream
static const int no_class = 5;   // no measurement; above every class when tuning
static const char *const wide_word = "16:9";

// More polls than a day of recording at 12.5 a second is a scenario's
// times= gone wrong, not a recording.
static const long long most_polls = 2000000;
// Capture cards deliver a few hundred thousand pixels; 8192x8192 is plenty.
static const long long most_pixels = 1 << 26;

struct Settings {
    LetterboxSettings letterbox;
    uint32_t delay = 25;
    bool aspect = false;
    bool over_16_9_output = false;
    bool frontend_lock_test = false;
    bool band_given = false; // -b, -t, -l or -s given
    std::string delay_text;  // -e as given, for the tuned command line
    const char *plot = nullptr;
    const char *labels = nullptr;
    bool tune = false;
};

// One poll: one row of the table.
struct Poll {
    bool wide = false;
    std::optional<Measurement> measurement;
    int class_index = -1; // of this frame's measurement alone; -1: none
    int truth = -1;       // labelled class; -1: no label
    std::string printed;  // what the detector prints at this poll
};

struct Label {
    long long first, last;
    int class_index;
    int line;
};

// The settings of one overscan and one kind of band, tried with every band
// value and every logo width: the measurement grows monotonically with both.
struct TuneGrid {
    int overscan_percent;
    bool black; // band values are -b levels, else -t tolerances
    std::vector<int> bands;
    std::vector<long long> score; // bands x logo widths
    std::vector<int8_t> seen;     // this frame's class per cell; -1: not measured yet
};

static const char *progname = "aspect-inspect";
static Settings settings;
static std::vector<Poll> polls;
static std::vector<Label> labels;
static size_t next_label;

// The capture buffer: what the capture device holds, as devsim keeps it.
struct Buffer {
    std::vector<uint8_t> pixels;
    int width = -1, height = -1; // -1 until the first frame
    long long version = 0;       // bumped whenever the buffer is refilled
};

// What the detector's output step prints is caught in this stream.
struct Caught {
    FILE *stream;
    char *text;
    size_t size, used;
};

// The score of every setting tried, and what the frame last tuned gave.
struct Tuning {
    std::vector<TuneGrid> grids;
    float logo_fractions[16];
    long long constant = 0; // labelled wide polls: right under every setting
    long long labelled = 0, defaults_score = 0;
    long long version = -1; // of the buffer last tuned
    int truth = -1;         // its label
    bool defaults_right = false;
    std::vector<std::vector<int8_t>> right; // per grid: the cells that got it right
};

static Buffer buffer;
static Caught caught;
static Tuning tuning;
static long long measured_version = -1;
static std::optional<Measurement> last_measurement;

// Plain class of every active height 1 to H, and the heights over which each
// class holds once it is current (its hysteresis bounds).
static std::vector<int8_t> plain_class;
static int hold_low[4], hold_high[4];

static const int tune_overscans[] = {0, 1, 2, 3, 4, 5, 6, 8, 10};
static const int tune_logos[] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 30, 40, 50};
static const int logo_count = int(sizeof tune_logos / sizeof tune_logos[0]);
static_assert(logo_count == sizeof Tuning::logo_fractions / sizeof(float));

static void usage(FILE *out)
{
    fprintf(out,
            "Usage: %s [-b HEX] [-t HEX] [-l PERCENT] [-s PERCENT] [-e POLLS] [-a] [-f] [-o]\n"
            "                      [--plot FILE] [--labels FILE [--tune]] [INPUT ...]\n"
            "INPUT: a devsim scenario (*.scn), or binary PGM files (several images one\n"
            "after the other); '-' or none: a PGM stream on standard input. One frame a poll.\n"
            "Options mean what they mean for aspect-detect, with its defaults.\n"
            "  --plot FILE    draw the run into FILE (.png or .svg)\n"
            "  --labels FILE  lines first,last,class: score the frames against them\n"
            "  --tune         with --labels: find the settings that classify most\n"
            "                 labelled frames right and print them\n",
            progname);
}

// "progname: message" on standard error, then exit with status: 1 for bad
// input, 2 (after the usage text) for a bad command line.
static void fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3), noreturn));
static void fail(int status, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "%s: ", progname);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    if (status == 2)
        usage(stderr);
    exit(status);
}

static bool ends_with(const char *s, const char *tail)
{
    size_t n = strlen(s), m = strlen(tail);
    return n >= m && strcasecmp(s + n - m, tail) == 0;
}

// The conversions of aspect-detect, but a word must be read whole: a value
// the detector would silently ignore is an error here.
static bool read_hex(const char *word, unsigned int *value)
{
    int used = 0;
    return sscanf(word, "%x%n", value, &used) == 1 && word[used] == '\0';
}

static bool read_percent(const char *word, float *fraction)
{
    int used = 0;
    float value;
    if (sscanf(word, "%g%n", &value, &used) != 1 || word[used] != '\0')
        return false;
    // As the detector does it: the float read, then divided as a float.
    value /= 100;
    *fraction = value;
    return true;
}

static void read_options(int argc, char *argv[])
{
    static const struct option long_options[] = {
        {"black", required_argument, nullptr, 'b'},
        {"pan_tone_tolerance", required_argument, nullptr, 't'},
        {"logo_width", required_argument, nullptr, 'l'},
        {"overscan", required_argument, nullptr, 's'},
        {"delay", required_argument, nullptr, 'e'},
        {"aspect", no_argument, nullptr, 'a'},
        {"plot", required_argument, nullptr, 'P'},
        {"labels", required_argument, nullptr, 'L'},
        {"tune", no_argument, nullptr, 'T'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":b:t:l:s:e:afoh", long_options, nullptr)) != -1) {
        unsigned int number;
        switch (c) {
        case 'b':
            if (!read_hex(optarg, &number))
                fail(2, "bad -b value '%s' (hexadecimal grey level)", optarg);
            settings.letterbox.black = uint8_t(number);
            settings.band_given = true;
            break;
        case 't':
            if (!read_hex(optarg, &number))
                fail(2, "bad -t value '%s' (hexadecimal grey levels)", optarg);
            settings.letterbox.pan_tone_tolerance = int32_t(number);
            settings.band_given = true;
            break;
        case 'l':
            if (!read_percent(optarg, &settings.letterbox.logo_width))
                fail(2, "bad -l value '%s' (percent)", optarg);
            settings.band_given = true;
            break;
        case 's':
            if (!read_percent(optarg, &settings.letterbox.overscan) || !(settings.letterbox.overscan >= 0))
                fail(2, "bad -s value '%s' (percent, 0 or more)", optarg);
            settings.band_given = true;
            break;
        case 'e': {
            int used = 0;
            if (sscanf(optarg, "%u%n", &settings.delay, &used) != 1 || optarg[used] != '\0' || optarg[0] == '-')
                fail(2, "bad -e value '%s' (polls)", optarg);
            settings.delay_text = optarg;
            break;
        }
        case 'a':
            settings.aspect = true;
            break;
        case 'f':
            settings.frontend_lock_test = true;
            break;
        case 'o':
            settings.over_16_9_output = true;
            break;
        case 'P':
            if (!ends_with(optarg, ".png") && !ends_with(optarg, ".svg"))
                fail(2, "plot file '%s' must end in .png or .svg", optarg);
            settings.plot = optarg;
            break;
        case 'L':
            settings.labels = optarg;
            break;
        case 'T':
            settings.tune = true;
            break;
        case 'h':
            usage(stdout);
            exit(0);
        case ':':
            fail(2, "option %s needs a value", argv[optind - 1]);
        default:
            fail(2, "unknown option %s", argv[optind - 1]);
        }
    }
    if (settings.tune && !settings.labels)
        fail(2, "%s needs --labels", "--tune");
}

// Index of a class word (the class table's, or "16:9"); -1 for another word.
static int class_of_word(const std::string &word)
{
    for (int k = 0; k < 4; k++)
        if (word == class_table.entries[k].word)
            return k;
    return word == wide_word ? wide_class : -1;
}

static const char *word_of_class(int k)
{
    return k == wide_class ? wide_word : k >= 0 && k < 4 ? class_table.entries[k].word : "";
}

static void read_labels(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f)
        fail(1, "can't read labels '%s' (%s)", path, strerror(errno));
    char text[256];
    int line = 0;
    while (fgets(text, sizeof text, f)) {
        line++;
        if (!strchr(text, '\n') && !feof(f))
            fail(1, "%s:%d: line too long", path, line);
        text[strcspn(text, "\r\n")] = '\0';
        if (text[0] == '\0' || text[0] == '#' || (line == 1 && strcmp(text, "first,last,class") == 0))
            continue;
        long long first, last;
        char word[32];
        int used = 0;
        if (sscanf(text, "%lld,%lld,%31[^,]%n", &first, &last, word, &used) != 3 || text[used] != '\0')
            fail(1, "%s:%d: expected first,last,class", path, line);
        int k = class_of_word(word);
        if (k < 0)
            fail(1, "%s:%d: unknown class '%s' (4:3, L14:9, L16:9, L>16:9 or 16:9)", path, line, word);
        if (first < 1 || last < first)
            fail(1, "%s:%d: frames %lld to %lld are not a range of frames counted from 1", path, line, first, last);
        labels.push_back({first, last, k, line});
    }
    if (ferror(f))
        fail(1, "can't read labels '%s' (%s)", path, strerror(errno));
    fclose(f);
    std::sort(labels.begin(), labels.end(), [](const Label &a, const Label &b) { return a.first < b.first; });
    for (size_t i = 1; i < labels.size(); i++)
        if (labels[i].first <= labels[i - 1].last)
            fail(1, "%s:%d: frame %lld is labelled already on line %d", path, labels[i].line, labels[i].first,
                 labels[i - 1].line);
}

// Frames are numbered in order, so the labels are walked once.
static int truth_of(long long frame)
{
    while (next_label < labels.size() && labels[next_label].last < frame)
        next_label++;
    if (next_label < labels.size() && labels[next_label].first <= frame)
        return labels[next_label].class_index;
    return -1;
}

// The plain class of each height, and each class's hysteresis bounds, asked
// of the classification itself on a scratch copy of its state.
static void learn_classes()
{
    OutputState kept = output_state;
    plain_class.assign(size_t(buffer.height) + 1, -1);
    for (int k = 0; k < 4; k++) {
        hold_low[k] = INT_MAX;
        hold_high[k] = INT_MIN;
    }
    for (int a = 1; a <= buffer.height; a++) {
        output_state.class_index = -1;
        classify_measurement(a, buffer.height, false);
        plain_class[a] = int8_t(output_state.class_index);
        for (int k = 0; k < class_table.count; k++) {
            output_state.class_index = k;
            classify_measurement(a, buffer.height, false);
            if (output_state.class_index == k) {
                hold_low[k] = std::min(hold_low[k], a);
                hold_high[k] = std::max(hold_high[k], a);
            }
        }
    }
    output_state = kept;
}

static void set_frame_size(int w, int h, const std::string &where)
{
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
        learn_classes();
    } else if (w != buffer.width || h != buffer.height) {
        fail(1, "%s is %dx%d, the frames before it are %dx%d", where.c_str(), w, h, buffer.width, buffer.height);
    }
}

// Runs the detector's output step into the caught stream, and returns the
// line it printed (without its newline), or "".
static std::string run_output_step()
{
    output_step(settings.aspect, caught.stream);
    std::string line(caught.text + caught.used, caught.size - caught.used);
    caught.used = caught.size;
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

// The class number of a measurement for tuning: a larger band or logo width
// makes the bars taller, the class higher, and at the end no measurement.
static int tune_class(const LetterboxSettings &s)
{
    auto m = measure_letterbox(buffer.pixels.data(), buffer.width, buffer.height, s);
    return m ? plain_class[m->active_height] : no_class;
}

static LetterboxSettings grid_settings(const TuneGrid &g, int band, int logo)
{
    LetterboxSettings s;
    s.overscan = float(g.overscan_percent) / 100;
    if (g.black)
        s.black = uint8_t(g.bands[band]);
    else
        s.pan_tone_tolerance = g.bands[band];
    s.logo_width = tuning.logo_fractions[logo];
    return s;
}

static int grid_class(TuneGrid &g, int band, int logo)
{
    int8_t &seen = g.seen[size_t(band) * logo_count + logo];
    if (seen < 0)
        seen = int8_t(tune_class(grid_settings(g, band, logo)));
    return seen;
}

// Marks the cells of the box whose class is truth. The class only grows with
// the band and the logo width, so the two corners bound every cell between
// them: most boxes are settled by two measurements.
static void score_box(TuneGrid &g, int truth, int b0, int b1, int l0, int l1, std::vector<int8_t> &right)
{
    int low = grid_class(g, b0, l0), high = grid_class(g, b1, l1);
    if (low > truth || high < truth)
        return;
    if (low == truth && high == truth) {
        for (int b = b0; b <= b1; b++)
            for (int l = l0; l <= l1; l++)
                right[size_t(b) * logo_count + l] = 1;
        return;
    }
    if (b1 - b0 >= l1 - l0) {
        int mid = (b0 + b1) / 2;
        score_box(g, truth, b0, mid, l0, l1, right);
        score_box(g, truth, mid + 1, b1, l0, l1, right);
    } else {
        int mid = (l0 + l1) / 2;
        score_box(g, truth, b0, b1, l0, mid, right);
        score_box(g, truth, b0, b1, mid + 1, l1, right);
    }
}

static void set_up_tuning()
{
    for (int i = 0; i < logo_count; i++) {
        char word[16];
        snprintf(word, sizeof word, "%d", tune_logos[i]);
        read_percent(word, &tuning.logo_fractions[i]);
    }
    std::vector<int> tolerances, blacks;
    for (int t = 0; t <= 0x20; t++)
        tolerances.push_back(t);
    for (int t : {0x24, 0x28, 0x30, 0x38, 0x40})
        tolerances.push_back(t);
    for (int b = 0x04; b <= 0x40; b += 4)
        blacks.push_back(b);
    for (int b = 0x48; b <= 0x80; b += 8)
        blacks.push_back(b);
    for (int s : tune_overscans)
        for (bool black : {false, true}) {
            TuneGrid g{s, black, black ? blacks : tolerances, {}, {}};
            g.score.assign(g.bands.size() * logo_count, 0);
            tuning.grids.push_back(g);
        }
}

// Adds one labelled poll to the score of every setting tried. A poll whose
// frame and label are those of the poll before counts as that one did.
static void tune_poll(const Poll &p, bool grabbed)
{
    tuning.labelled++;
    if (p.wide) {
        if (p.truth == wide_class)
            tuning.constant++;
        return;
    }
    if (!grabbed)
        return;
    std::vector<std::vector<int8_t>> &right = tuning.right;
    if (buffer.version != tuning.version || p.truth != tuning.truth) {
        tuning.version = buffer.version;
        tuning.truth = p.truth;
        right.resize(tuning.grids.size());
        for (size_t i = 0; i < tuning.grids.size(); i++) {
            TuneGrid &g = tuning.grids[i];
            right[i].assign(g.score.size(), 0);
            if (p.truth == wide_class)
                continue;
            g.seen.assign(g.score.size(), -1);
            score_box(g, p.truth, 0, int(g.bands.size()) - 1, 0, logo_count - 1, right[i]);
        }
        LetterboxSettings defaults;
        tuning.defaults_right = tune_class(defaults) == p.truth;
    }
    for (size_t i = 0; i < tuning.grids.size(); i++)
        for (size_t c = 0; c < right[i].size(); c++)
            tuning.grids[i].score[c] += right[i][c];
    tuning.defaults_score += tuning.defaults_right;
}

static void take_poll(bool wide, bool lock = true)
{
    if ((long long)polls.size() >= most_polls)
        fail(1, "more than %lld polls; cut the recording or its times= counts", most_polls);
    Poll p;
    p.truth = truth_of((long long)polls.size() + 1);
    // Without lock the detector with -f asks the decoder nothing and grabs nothing.
    bool locked = lock || !settings.frontend_lock_test;
    p.wide = wide && locked;
    bool grabbed = !wide && locked;

    // The poll loop of the detector, without its devices.
    output_state.changed = false;
    if (p.wide) {
        enter_wide_stream();
    } else if (grabbed) {
        if (output_state.wide_stream)
            leave_wide_stream();
        if (measured_version != buffer.version) {
            last_measurement = measure_letterbox(buffer.pixels.data(), buffer.width, buffer.height, settings.letterbox);
            measured_version = buffer.version;
        }
        p.measurement = last_measurement;
        if (p.measurement)
            classify_measurement(p.measurement->active_height, buffer.height, settings.aspect);
    }
    p.printed = run_output_step();

    p.class_index = p.wide ? wide_class : p.measurement ? plain_class[p.measurement->active_height] : -1;
    if (settings.tune && p.truth >= 0)
        tune_poll(p, grabbed);
    polls.push_back(std::move(p));
}

static int next_stream_byte(void *f)
{
    int c = getc(static_cast<FILE *>(f));
    return c == EOF ? -1 : c;
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

static void read_pgm_stream(FILE *f, const char *name)
{
    long long images = 0;
    for (;;) {
        long long frame = (long long)polls.size() + 1;
        int w, h;
        if (!read_frame_header(f, name, frame, &w, &h))
            break;
        char where[64];
        snprintf(where, sizeof where, "frame %lld", frame);
        set_frame_size(w, h, std::string(name) + ": " + where);
        size_t got = fread(buffer.pixels.data(), 1, buffer.pixels.size(), f);
        if (got < buffer.pixels.size())
            fail(1, "%s: frame %lld: truncated image (%zu of %zu bytes)", name, frame, got, buffer.pixels.size());
        buffer.version++;
        images++;
        take_poll(false);
    }
    if (images == 0)
        fail(1, "%s: no image", name);
}

// A scenario's poll steps in order, as devsim plays them to a detector
// without -f: a step without a frame leaves the capture buffer as it was, and
// a wide poll grabs nothing.
static void read_scenario(const char *path)
{
    Scenario sc;
    std::string error = parse_scenario(path, sc);
    if (!error.empty())
        fail(1, "%s", error.c_str());
    const Device *camera = nullptr;
    bool decoder = false;
    for (const Device &d : sc.devices) {
        if (d.kind == DeviceKind::capture && !camera)
            camera = &d;
        decoder = decoder || d.kind == DeviceKind::decoder;
    }
    if (!decoder || !camera)
        fail(1, "%s: no %s device; aspect-detect would not start", path, decoder ? "capture" : "decoder");
    std::string where = std::string(path) + ":" + std::to_string(camera->line) + ": capture size";
    if (camera->mbuf < (long long)camera->width * camera->height)
        fail(1, "%s: the capture buffer is smaller than a frame; aspect-detect would not start", where.c_str());
    set_frame_size(camera->width, camera->height, where);
    for (const PollStep &st : sc.steps) {
        bool wide = st.video_format == 1 || st.video_format == 2;
        for (long long n = 0; n < st.times; n++) {
            if (n == 0 && !wide && !st.frame.empty() && (st.lock || !settings.frontend_lock_test)) {
                FILE *f = fopen(st.frame_path.c_str(), "rb");
                if (!f || fseeko(f, st.frame_offset, SEEK_SET) != 0
                    || fread(buffer.pixels.data(), 1, buffer.pixels.size(), f) != buffer.pixels.size())
                    fail(1, "%s:%d: can't read frame '%s'", path, st.line, st.frame.c_str());
                fclose(f);
                buffer.version++;
            }
            take_poll(wide, st.lock);
        }
    }
}

static void check_labels()
{
    long long frames = (long long)polls.size();
    for (const Label &l : labels)
        if (l.last > frames)
            fail(1, "%s:%d: frames %lld to %lld, but there are %lld frames", settings.labels, l.line, l.first, l.last,
                 frames);
}

static std::string settings_text(const LetterboxSettings &s)
{
    char text[96];
    snprintf(text, sizeof text, "-b %x -t %x -l %g -s %g", s.black, unsigned(s.pan_tone_tolerance),
             double(s.logo_width) * 100, double(s.overscan) * 100);
    return text;
}

static std::string table_text()
{
    std::string out = "frame,top_bar,bottom_bar,active_height,class,printed";
    out += settings.labels ? ",truth\n" : "\n";
    char row[160];
    for (size_t i = 0; i < polls.size(); i++) {
        const Poll &p = polls[i];
        if (p.measurement)
            snprintf(row, sizeof row, "%zu,%d,%d,%d,", i + 1, p.measurement->top_bar, p.measurement->bottom_bar,
                     p.measurement->active_height);
        else
            snprintf(row, sizeof row, "%zu,,,,", i + 1);
        out += row;
        out += word_of_class(p.class_index);
        out += ",";
        out += p.printed;
        if (settings.labels) {
            out += ",";
            out += word_of_class(p.truth);
        }
        out += "\n";
    }
    return out;
}

// The share of labelled frames classified right, and runs of the others.
static void report_labels()
{
    long long labelled = 0, right = 0;
    for (const Poll &p : polls)
        if (p.truth >= 0) {
            labelled++;
            right += p.class_index == p.truth;
        }
    fprintf(stderr, "%s: %lld of %lld labelled frames classified right (%.1f%%)\n", progname, right, labelled,
            labelled ? 100.0 * right / labelled : 0.0);
    for (size_t i = 0; i < polls.size();) {
        const Poll &p = polls[i];
        size_t j = i + 1;
        if (p.truth < 0 || p.class_index == p.truth) {
            i = j;
            continue;
        }
        while (j < polls.size() && polls[j].truth == p.truth && polls[j].class_index == p.class_index)
            j++;
        const char *got = p.class_index < 0 ? "no measurement" : word_of_class(p.class_index);
        if (j - i > 1)
            fprintf(stderr, "%s: frames %zu-%zu: %s, labelled %s\n", progname, i + 1, j, got, word_of_class(p.truth));
        else
            fprintf(stderr, "%s: frame %zu: %s, labelled %s\n", progname, i + 1, got, word_of_class(p.truth));
        i = j;
    }
}

static std::string score_text(const char *what, const std::string &options, long long right)
{
    char text[200];
    snprintf(text, sizeof text, "%-9s %s: %lld of %lld labelled frames right (%.1f%%)\n", what, options.c_str(), right,
             tuning.labelled, tuning.labelled ? 100.0 * right / tuning.labelled : 0.0);
    return text;
}

static std::string tune_report()
{
    if (tuning.labelled == 0)
        fail(1, "%s: no frame is labelled", settings.labels);
    const LetterboxSettings defaults;
    const TuneGrid *best = nullptr;
    int best_band = 0, best_logo = 0;
    long long best_score = -1;
    int best_changes = 0, best_distance = 0;
    size_t tried = 0;
    for (const TuneGrid &g : tuning.grids)
        for (size_t band = 0; band < g.bands.size(); band++)
            for (int logo = 0; logo < logo_count; logo++) {
                tried++;
                long long score = g.score[band * logo_count + logo] + tuning.constant;
                int v = g.bands[band], l = tune_logos[logo], s = g.overscan_percent;
                // Closeness to the defaults: fewer options changed, then
                // smaller changes (-b counted from 20, the level its help
                // suggests).
                int changes = (g.black || v != defaults.pan_tone_tolerance) + (l != 20) + (s != 3);
                int distance =
                    std::abs(g.black ? v - 0x20 : v - defaults.pan_tone_tolerance) + std::abs(l - 20) + std::abs(s - 3);
                if (score > best_score
                    || (score == best_score
                        && (changes < best_changes || (changes == best_changes && distance < best_distance)))) {
                    best = &g;
                    best_band = int(band);
                    best_logo = logo;
                    best_score = score;
                    best_changes = changes;
                    best_distance = distance;
                }
            }
    char line[128];
    snprintf(line, sizeof line, "-b %x -t %x -l %d -s %d", best->black ? best->bands[best_band] : 0,
             best->black ? unsigned(defaults.pan_tone_tolerance) : unsigned(best->bands[best_band]),
             tune_logos[best_logo], best->overscan_percent);
    std::string command = std::string("aspect-detect ") + line;
    if (settings.over_16_9_output)
        command += " -o";
    if (!settings.delay_text.empty())
        command += " -e " + settings.delay_text;

    long long given = 0;
    for (const Poll &p : polls)
        given += p.truth >= 0 && p.class_index == p.truth;
    std::string out = "settings tried: " + std::to_string(tried) + "\n";
    out += score_text("defaults", settings_text(defaults), tuning.defaults_score + tuning.constant);
    if (settings.band_given)
        out += score_text("given", settings_text(settings.letterbox), given);
    out += score_text("best", line, best_score);
    out += command + "\n";
    return out;
}

struct Colour {
    double r, g, b;
};

// By class number: the four classes of the table, the wide stream, none.
static const Colour class_colours[6] = {
    {0.22, 0.47, 0.73}, {0.25, 0.65, 0.25}, {0.95, 0.55, 0.10},
    {0.58, 0.30, 0.65}, {0.85, 0.15, 0.15}, {0.55, 0.55, 0.55},
};

static void set_colour(cairo_t *cr, const Colour &c, double alpha = 1)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// A round step that cuts range into at most about `most` parts.
static double tick_step(double range, int most)
{
    double raw = range / most;
    double power = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= raw)
            return m * power;
    return 10 * power;
}

static void show_text(cairo_t *cr, double x, double y, const std::string &text, double align = 0)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, x - align * e.x_advance, y);
    cairo_show_text(cr, text.c_str());
}

static void hatch(cairo_t *cr, double x0, double y0, double x1, double y1)
{
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
    cairo_clip_preserve(cr);
    cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.25);
    cairo_fill(cr);
    cairo_set_source_rgba(cr, 0.3, 0.3, 0.3, 0.7);
    cairo_set_line_width(cr, 1);
    for (double x = x0 - (y1 - y0); x < x1; x += 6) {
        cairo_move_to(cr, x, y1);
        cairo_line_to(cr, x + (y1 - y0), y0);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

// The class the detector's printed lines have put in force, per poll.
static std::vector<int> classes_in_force()
{
    std::vector<int> in_force(polls.size());
    int current = -1;
    for (size_t i = 0; i < polls.size(); i++) {
        const std::string &line = polls[i].printed;
        if (!line.empty())
            current = class_of_word(line.substr(line.rfind(' ') + 1));
        in_force[i] = current;
    }
    return in_force;
}

static void draw(cairo_t *cr, double page_w, double page_h)
{
    const double left = 80, right = page_w - 250, top = 56, bottom = page_h - (settings.labels ? 158 : 130);
    const double printed_top = bottom + 8, printed_bottom = printed_top + 22;
    const double labels_top = printed_bottom + 6, labels_bottom = labels_top + (settings.labels ? 22 : -6);
    const double marks_top = labels_bottom + 6, marks_bottom = marks_top + 12;
    size_t n = std::max<size_t>(polls.size(), 1);
    int count = class_table.count;

    int plain_low[4], plain_high[4];
    for (int k = 0; k < 4; k++) {
        plain_low[k] = INT_MAX;
        plain_high[k] = INT_MIN;
    }
    for (int a = 1; a <= buffer.height; a++)
        if (plain_class[a] >= 0) {
            plain_low[plain_class[a]] = std::min(plain_low[plain_class[a]], a);
            plain_high[plain_class[a]] = std::max(plain_high[plain_class[a]], a);
        }
    // From a little below the lowest class boundary (or the lowest
    // measurement) up to the full frame height.
    double y_low = buffer.height;
    for (int k = 0; k + 1 < count; k++)
        if (plain_low[k] <= buffer.height)
            y_low = std::min(y_low, plain_low[k] - 40.0);
    for (const Poll &p : polls)
        if (p.measurement)
            y_low = std::min(y_low, p.measurement->active_height - 10.0);
    y_low = std::max(0.0, std::floor(y_low));
    double y_high = buffer.height + 2;
    auto x_of = [&](double frame) { return left + (frame - 0.5) / double(n) * (right - left); };
    auto y_of = [&](double a) { return bottom - (a - y_low) / (y_high - y_low) * (bottom - top); };

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    // Class bands by the plain thresholds, hysteresis margins between them.
    cairo_save(cr);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_clip(cr);
    for (int k = 0; k < count; k++) {
        if (plain_low[k] > plain_high[k])
            continue;
        set_colour(cr, class_colours[k], 0.16);
        cairo_rectangle(cr, left, y_of(plain_high[k] + 0.5), right - left,
                        y_of(plain_low[k] - 0.5) - y_of(plain_high[k] + 0.5));
        cairo_fill(cr);
    }
    for (int k = 0; k + 1 < count; k++)
        if (hold_low[k] <= hold_high[k + 1])
            hatch(cr, left, y_of(hold_high[k + 1] + 0.5), right, y_of(hold_low[k] - 0.5));
    cairo_restore(cr);
    cairo_set_font_size(cr, 13);
    for (int k = 0; k < count; k++) {
        double mid = (std::min<double>(plain_high[k], y_high) + std::max<double>(plain_low[k], y_low)) / 2;
        if (plain_low[k] > plain_high[k] || mid < y_low || plain_high[k] < y_low)
            continue;
        set_colour(cr, class_colours[k]);
        show_text(cr, right - 8, y_of(mid) + 5, word_of_class(k), 1);
    }

    // Grid and axes.
    cairo_set_font_size(cr, 11);
    cairo_set_line_width(cr, 1);
    double y_step = tick_step(y_high - y_low, 8);
    for (double a = std::ceil(y_low / y_step) * y_step; a <= y_high; a += y_step) {
        cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
        cairo_move_to(cr, left, std::round(y_of(a)) + 0.5);
        cairo_line_to(cr, right, std::round(y_of(a)) + 0.5);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, left - 6, y_of(a) + 4, std::to_string(int(a)), 1);
    }
    double x_step = std::max(1.0, tick_step(double(n), 10));
    for (double f = x_step; f <= double(n); f += x_step) {
        cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
        cairo_move_to(cr, std::round(x_of(f)) + 0.5, top);
        cairo_line_to(cr, std::round(x_of(f)) + 0.5, marks_bottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, x_of(f), marks_bottom + 16, std::to_string((long long)f), 0.5);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, left + 0.5, top + 0.5, right - left - 1, bottom - top - 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 13);
    show_text(cr, (left + right) / 2, marks_bottom + 40, "frame (one a poll; 12.5 a second at the default poll rate)",
              0.5);
    cairo_save(cr);
    cairo_translate(cr, 22, (top + bottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    show_text(cr, 0, 0, "active picture height (rows)", 0.5);
    cairo_restore(cr);
    cairo_set_font_size(cr, 15);
    char title[200];
    snprintf(title, sizeof title, "aspect-inspect: %zu frames of %dx%d   %s -e %u%s%s%s", polls.size(), buffer.width,
             buffer.height, settings_text(settings.letterbox).c_str(), settings.delay, settings.aspect ? " -a" : "",
             settings.frontend_lock_test ? " -f" : "", settings.over_16_9_output ? " -o" : "");
    show_text(cr, left, 32, title);

    // The measured heights, a line broken where nothing was measured.
    cairo_save(cr);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, 1.5);
    bool drawing = false;
    for (size_t i = 0; i < polls.size(); i++) {
        if (!polls[i].measurement) {
            drawing = false;
            continue;
        }
        double x = x_of(double(i + 1)), y = y_of(polls[i].measurement->active_height);
        if (drawing)
            cairo_line_to(cr, x, y);
        else
            cairo_move_to(cr, x, y);
        drawing = true;
        if (n <= 400) {
            cairo_stroke(cr);
            cairo_arc(cr, x, y, 2.2, 0, 2 * M_PI);
            cairo_fill(cr);
            cairo_move_to(cr, x, y);
        }
    }
    cairo_stroke(cr);
    cairo_restore(cr);

    // Strips under the plot: the printed class in force, the labels, and
    // the frames without a measurement or with a wide stream.
    std::vector<int> frames(polls.size()), truth(polls.size());
    for (size_t i = 0; i < polls.size(); i++) {
        frames[i] = polls[i].wide ? wide_class : polls[i].measurement ? -1 : no_class;
        truth[i] = polls[i].truth;
    }
    auto strip = [&](const std::vector<int> &classes, double y0, double y1, const char *name) {
        for (size_t i = 0; i < classes.size();) {
            size_t j = i + 1;
            while (j < classes.size() && classes[j] == classes[i])
                j++;
            if (classes[i] >= 0) {
                set_colour(cr, class_colours[classes[i]]);
                cairo_rectangle(cr, x_of(i + 0.5), y0, x_of(j + 0.5) - x_of(i + 0.5), y1 - y0);
                cairo_fill(cr);
            }
            i = j;
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, left + 0.5, y0 + 0.5, right - left - 1, y1 - y0 - 1);
        cairo_stroke(cr);
        cairo_set_font_size(cr, 11);
        show_text(cr, left - 6, (y0 + y1) / 2 + 4, name, 1);
    };
    strip(classes_in_force(), printed_top, printed_bottom, "printed");
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (size_t i = 0; i < polls.size(); i++)
        if (!polls[i].printed.empty()) {
            double x = x_of(double(i + 1));
            cairo_move_to(cr, x - 4, printed_top);
            cairo_line_to(cr, x + 4, printed_top);
            cairo_line_to(cr, x, printed_top + 6);
            cairo_close_path(cr);
            cairo_fill(cr);
        }
    if (settings.labels)
        strip(truth, labels_top, labels_bottom, "labelled");
    strip(frames, marks_top, marks_bottom, "frames");

    // Legend.
    double x = right + 24, y = top + 8;
    cairo_set_font_size(cr, 12);
    auto entry = [&](const std::string &text) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, x + 30, y + 11, text);
        y += 22;
    };
    auto heading = [&](const std::string &text) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, x, y + 11, text);
        y += 20;
    };
    heading("Class by plain thresholds");
    for (int k = 0; k < count; k++) {
        set_colour(cr, class_colours[k], 0.3);
        cairo_rectangle(cr, x, y, 22, 14);
        cairo_fill(cr);
        entry(word_of_class(k));
    }
    hatch(cr, x, y, x + 22, y + 14);
    entry("hysteresis margin");
    y += 8;
    heading("Measured");
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, x, y + 7);
    cairo_line_to(cr, x + 22, y + 7);
    cairo_stroke(cr);
    entry("active height");
    set_colour(cr, class_colours[no_class]);
    cairo_rectangle(cr, x, y + 2, 22, 10);
    cairo_fill(cr);
    entry("no measurement");
    set_colour(cr, class_colours[wide_class]);
    cairo_rectangle(cr, x, y + 2, 22, 10);
    cairo_fill(cr);
    entry("wide stream (16:9)");
    y += 8;
    heading(settings.labels ? "Printed last, labelled" : "Printed last");
    for (int k : {0, 1, 2, 3, wide_class}) {
        if (k < wide_class && k >= count)
            continue;
        set_colour(cr, class_colours[k]);
        cairo_rectangle(cr, x, y + 2, 22, 10);
        cairo_fill(cr);
        entry(word_of_class(k));
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, x + 7, y + 2);
    cairo_line_to(cr, x + 15, y + 2);
    cairo_line_to(cr, x + 11, y + 8);
    cairo_close_path(cr);
    cairo_fill(cr);
    entry("a line printed");
}

static void draw_plot(const char *path)
{
    const double w = 1280, h = 680;
    bool svg = ends_with(path, ".svg");
    cairo_surface_t *surface =
        svg ? cairo_svg_surface_create(path, w, h) : cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(w), int(h));
    cairo_t *cr = cairo_create(surface);
    draw(cr, w, h);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && !svg)
        status = cairo_surface_write_to_png(surface, path);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    // Let cairo and the font cache behind it give back what they keep for
    // the next drawing, which does not come: leak checkers see a clean exit.
    cairo_debug_reset_static_data();
    FcFini();
    if (status != CAIRO_STATUS_SUCCESS)
        fail(1, "can't write plot '%s' (%s)", path,
             status == CAIRO_STATUS_WRITE_ERROR ? strerror(errno) : cairo_status_to_string(status));
}

int main(int argc, char *argv[])
{
    read_options(argc, argv);
    set_up_class_table(settings.over_16_9_output);
    if (!set_up_output_state(settings.delay))
        fail(1, "can't hold the history of a delay of %u polls (%s)", settings.delay, strerror(errno));
    if (settings.labels)
        read_labels(settings.labels);
    if (settings.tune)
        set_up_tuning();
    caught.stream = open_memstream(&caught.text, &caught.size);
    if (!caught.stream)
        fail(1, "can't set up the output buffer (%s)", strerror(errno));

    if (optind == argc)
        read_pgm_stream(stdin, "standard input");
    for (int i = optind; i < argc; i++) {
        const char *input = argv[i];
        if (strcmp(input, "-") == 0) {
            read_pgm_stream(stdin, "standard input");
        } else if (ends_with(input, ".scn")) {
            read_scenario(input);
        } else {
            FILE *f = fopen(input, "rb");
            if (!f)
                fail(1, "can't read '%s' (%s)", input, strerror(errno));
            read_pgm_stream(f, input);
            fclose(f);
        }
    }
    check_labels();

    // Everything is known to be sound before anything is written.
    std::string out = settings.tune ? tune_report() : table_text();
    if (settings.plot)
        draw_plot(settings.plot);
    fwrite(out.data(), 1, out.size(), stdout);
    if (fclose(stdout) != 0)
        fail(1, "can't write standard output (%s)", strerror(errno));
    if (settings.labels && !settings.tune)
        report_labels();
    return 0;
}
