// Tuning: every labelled frame is classified under every setting tried, and
// the setting that gets most of them right, of those that keep every class
// reachable, is advised.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "extern.h"

static const int tune_overscans[] = {0, 1, 2, 3, 4, 5, 6, 8, 10};
static const int tune_logos[] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 30, 40, 50};
static_assert(logo_count == sizeof tune_logos / sizeof tune_logos[0]);

// The class number of a measurement for tuning: a larger band or logo width
// makes the bars taller, the class higher, and at the end no measurement.
static int tune_class(const Run &run, const LetterboxSettings &s)
{
    const Buffer &buffer = run.buffer;
    auto m = measure_letterbox(buffer.pixels.data(), buffer.width, buffer.height, s);
    return m ? run.classes.plain[m->active_height] : no_class;
}

static LetterboxSettings grid_settings(const Tuning &tuning, const TuneGrid &g, int band, int logo)
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

static int grid_class(const Run &run, TuneGrid &g, int band, int logo)
{
    int8_t &seen = g.seen[size_t(band) * logo_count + logo];
    if (seen < 0)
        seen = int8_t(tune_class(run, grid_settings(run.tuning, g, band, logo)));
    return seen;
}

// Classifies every cell of the box. The class only grows with the band and
// the logo width, so where the two corners agree every cell between them has
// their class: most boxes are settled by two measurements.
static void fill_box(const Run &run, TuneGrid &g, int b0, int b1, int l0, int l1)
{
    int low = grid_class(run, g, b0, l0), high = grid_class(run, g, b1, l1);
    if (low == high) {
        for (int b = b0; b <= b1; b++)
            for (int l = l0; l <= l1; l++)
                g.seen[size_t(b) * logo_count + l] = int8_t(low);
        return;
    }
    if (b1 - b0 >= l1 - l0) {
        int mid = (b0 + b1) / 2;
        fill_box(run, g, b0, mid, l0, l1);
        fill_box(run, g, mid + 1, b1, l0, l1);
    } else {
        int mid = (l0 + l1) / 2;
        fill_box(run, g, b0, b1, l0, mid);
        fill_box(run, g, b0, b1, mid + 1, l1);
    }
}

void set_up_tuning(Tuning &tuning)
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
            TuneGrid g{s, black, black ? blacks : tolerances, {}, {}, {}};
            g.score.assign(g.bands.size() * logo_count, 0);
            g.held.assign(g.score.size(), -1);
            tuning.grids.push_back(g);
        }
}

// The cells that get the frame in the buffer right: by its class, or without
// a measurement by the class the labelled frames before it left in force.
// Not grabbed, every cell is without a measurement.
static void judge_cells(Run &run, int truth, bool grabbed)
{
    Tuning &tuning = run.tuning;
    tuning.right.resize(tuning.grids.size());
    for (size_t i = 0; i < tuning.grids.size(); i++) {
        TuneGrid &g = tuning.grids[i];
        std::vector<int8_t> &right = tuning.right[i];
        g.seen.assign(g.score.size(), grabbed ? -1 : no_class);
        if (grabbed)
            fill_box(run, g, 0, int(g.bands.size()) - 1, 0, logo_count - 1);
        right.assign(g.score.size(), 0);
        for (size_t c = 0; c < right.size(); c++) {
            int k = g.seen[c];
            right[c] = k == truth || (k == no_class && g.held[c] == truth);
            if (k != no_class)
                g.held[c] = int8_t(k);
        }
    }
}

// Adds one poll to the score of every setting tried. A poll whose frame and
// label are those of the poll before counts as that one did; a wide stream
// is right under every setting and leaves 16:9 in force.
void tune_poll(Run &run, const Poll &p)
{
    Tuning &tuning = run.tuning;
    if (p.wide) {
        tuning.constant += p.truth == wide_class;
        for (TuneGrid &g : tuning.grids)
            std::fill(g.held.begin(), g.held.end(), int8_t(wide_class));
        tuning.version = -1;
        return;
    }
    if (p.truth < 0)
        return;
    if (!p.grabbed || run.buffer.version != tuning.version || p.truth != tuning.truth) {
        judge_cells(run, p.truth, p.grabbed);
        tuning.version = p.grabbed ? run.buffer.version : -1;
        tuning.truth = p.truth;
    }
    for (size_t i = 0; i < tuning.grids.size(); i++)
        for (size_t c = 0; c < tuning.right[i].size(); c++)
            tuning.grids[i].score[c] += tuning.right[i][c];
}

// One setting tried, with what ranks it: its score, then closeness to the
// defaults.
struct Candidate {
    const TuneGrid *grid;
    int band, logo;
    long long score;
    int changes, distance;
};

static Candidate candidate(const Tuning &tuning, const TuneGrid &g, int band, int logo)
{
    const LetterboxSettings defaults;
    int v = g.bands[band], l = tune_logos[logo], s = g.overscan_percent;
    // Closeness to the defaults: fewer options changed, then smaller changes
    // (-b counted from 20, the level its help suggests).
    int changes = (g.black || v != defaults.pan_tone_tolerance) + (l != 20) + (s != 3);
    int distance = std::abs(g.black ? v - 0x20 : v - defaults.pan_tone_tolerance) + std::abs(l - 20) + std::abs(s - 3);
    return {&g, band, logo, g.score[size_t(band) * logo_count + logo] + tuning.constant, changes, distance};
}

// The best setting that keeps every class reachable; of equal scores the
// one closest to the defaults.
void find_advice(Run &run)
{
    const Tuning &tuning = run.tuning;
    std::vector<Candidate> all;
    for (const TuneGrid &g : tuning.grids)
        for (size_t band = 0; band < g.bands.size(); band++)
            for (int logo = 0; logo < logo_count; logo++)
                all.push_back(candidate(tuning, g, int(band), logo));
    std::stable_sort(all.begin(), all.end(), [](const Candidate &a, const Candidate &b) {
        if (a.score != b.score)
            return a.score > b.score;
        return a.changes != b.changes ? a.changes < b.changes : a.distance < b.distance;
    });
    Reach reach = make_reach(run);
    Advice &advice = run.advice;
    advice.tried = all.size();
    for (const Candidate &c : all) {
        LetterboxSettings s = grid_settings(tuning, *c.grid, c.band, c.logo);
        if (!keeps_classes(reach, run.classes, s))
            continue;
        const LetterboxSettings defaults;
        char line[128];
        snprintf(line, sizeof line, "-b %x -t %x -l %d -s %d", c.grid->black ? c.grid->bands[c.band] : 0,
                 c.grid->black ? unsigned(defaults.pan_tone_tolerance) : unsigned(c.grid->bands[c.band]),
                 tune_logos[c.logo], c.grid->overscan_percent);
        advice.options = line;
        advice.letterbox = s;
        return;
    }
    fail(1, "no setting tried keeps every class measurable at %dx%d", run.buffer.width, run.buffer.height);
}

static std::string score_text(const char *what, const std::string &options, const Score &score)
{
    char text[200];
    snprintf(text, sizeof text, "%-9s %s: %lld of %lld labelled frames right (%.1f%%)\n", what, options.c_str(),
             score.right, score.labelled, score.labelled ? 100.0 * score.right / score.labelled : 0.0);
    return text;
}

// Whether the robust measurement, given, gets more labelled frames right
// than the best plain setting: it is then the advice.
static bool robust_wins(const Run &run)
{
    return run.settings.letterbox.robust && run.given.score.right > run.others[0].score.right;
}

// The report on standard output, its last line the command line to use.
// The scores are those of passes of the detector's code with the settings.
std::string tune_report(const Run &run)
{
    const Settings &settings = run.settings;
    std::string command =
        "aspect-detect " + (robust_wins(run) ? settings_text(settings.letterbox) : run.advice.options);
    if (settings.over_16_9_output)
        command += " -o";
    if (!settings.delay_text.empty())
        command += " -e " + settings.delay_text;
    std::string out = "settings tried: " + std::to_string(run.advice.tried) + "\n";
    const Score &defaults = settings.band_given ? run.others[1].score : run.given.score;
    out += score_text("defaults", settings_text(LetterboxSettings{}), defaults);
    if (settings.band_given)
        out += score_text("given", settings_text(settings.letterbox), run.given.score);
    out += score_text("best", run.advice.options, run.others[0].score);
    return out + command + "\n";
}

// On standard error: when the labels hold one class only, and the labelled
// frames the advice still gets wrong.
void report_advice(const Run &run)
{
    int first = run.labels[0].class_index;
    bool one =
        std::all_of(run.labels.begin(), run.labels.end(), [first](const Label &l) { return l.class_index == first; });
    if (one)
        fprintf(stderr, "%s: the labels hold one class only, %s: the advice fits that class only\n", progname,
                word_of_class(first));
    report_wrong(run, robust_wins(run) ? run.given.score : run.others[0].score);
}
