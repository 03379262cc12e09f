// Tuning: every labelled frame is classified under every setting tried, and
// the setting that gets most of them right is given as a command line.
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

// Marks the cells of the box whose class is truth. The class only grows with
// the band and the logo width, so the two corners bound every cell between
// them: most boxes are settled by two measurements.
static void score_box(const Run &run, TuneGrid &g, int truth, int b0, int b1, int l0, int l1,
                      std::vector<int8_t> &right)
{
    int low = grid_class(run, g, b0, l0), high = grid_class(run, g, b1, l1);
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
        score_box(run, g, truth, b0, mid, l0, l1, right);
        score_box(run, g, truth, mid + 1, b1, l0, l1, right);
    } else {
        int mid = (l0 + l1) / 2;
        score_box(run, g, truth, b0, b1, l0, mid, right);
        score_box(run, g, truth, b0, b1, mid + 1, l1, right);
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
            TuneGrid g{s, black, black ? blacks : tolerances, {}, {}};
            g.score.assign(g.bands.size() * logo_count, 0);
            tuning.grids.push_back(g);
        }
}

// Adds one labelled poll to the score of every setting tried. A poll whose
// frame and label are those of the poll before counts as that one did.
void tune_poll(Run &run, const Poll &p, bool grabbed)
{
    Tuning &tuning = run.tuning;
    tuning.labelled++;
    if (p.wide) {
        if (p.truth == wide_class)
            tuning.constant++;
        return;
    }
    if (!grabbed)
        return;
    std::vector<std::vector<int8_t>> &right = tuning.right;
    if (run.buffer.version != tuning.version || p.truth != tuning.truth) {
        tuning.version = run.buffer.version;
        tuning.truth = p.truth;
        right.resize(tuning.grids.size());
        for (size_t i = 0; i < tuning.grids.size(); i++) {
            TuneGrid &g = tuning.grids[i];
            right[i].assign(g.score.size(), 0);
            if (p.truth == wide_class)
                continue;
            g.seen.assign(g.score.size(), -1);
            score_box(run, g, p.truth, 0, int(g.bands.size()) - 1, 0, logo_count - 1, right[i]);
        }
        LetterboxSettings defaults;
        tuning.defaults_right = tune_class(run, defaults) == p.truth;
    }
    for (size_t i = 0; i < tuning.grids.size(); i++)
        for (size_t c = 0; c < right[i].size(); c++)
            tuning.grids[i].score[c] += right[i][c];
    tuning.defaults_score += tuning.defaults_right;
}

// The setting with the best score; of equal scores the one closest to the
// defaults.
struct Best {
    const TuneGrid *grid = nullptr;
    int band = 0, logo = 0;
    long long score = -1;
    int changes = 0, distance = 0;
    size_t tried = 0;
};

static Best find_best(const Tuning &tuning)
{
    const LetterboxSettings defaults;
    Best best;
    for (const TuneGrid &g : tuning.grids)
        for (size_t band = 0; band < g.bands.size(); band++)
            for (int logo = 0; logo < logo_count; logo++) {
                best.tried++;
                long long score = g.score[band * logo_count + logo] + tuning.constant;
                int v = g.bands[band], l = tune_logos[logo], s = g.overscan_percent;
                // Closeness to the defaults: fewer options changed, then
                // smaller changes (-b counted from 20, the level its help
                // suggests).
                int changes = (g.black || v != defaults.pan_tone_tolerance) + (l != 20) + (s != 3);
                int distance =
                    std::abs(g.black ? v - 0x20 : v - defaults.pan_tone_tolerance) + std::abs(l - 20) + std::abs(s - 3);
                if (score > best.score
                    || (score == best.score
                        && (changes < best.changes || (changes == best.changes && distance < best.distance)))) {
                    best.grid = &g;
                    best.band = int(band);
                    best.logo = logo;
                    best.score = score;
                    best.changes = changes;
                    best.distance = distance;
                }
            }
    return best;
}

static std::string score_text(const Tuning &tuning, const char *what, const std::string &options, long long right)
{
    char text[200];
    snprintf(text, sizeof text, "%-9s %s: %lld of %lld labelled frames right (%.1f%%)\n", what, options.c_str(), right,
             tuning.labelled, tuning.labelled ? 100.0 * right / tuning.labelled : 0.0);
    return text;
}

std::string tune_report(const Run &run)
{
    const Settings &settings = run.settings;
    const Tuning &tuning = run.tuning;
    if (tuning.labelled == 0)
        fail(1, "%s: no frame is labelled", settings.labels);
    const LetterboxSettings defaults;
    Best best = find_best(tuning);
    const TuneGrid &g = *best.grid;
    char line[128];
    snprintf(line, sizeof line, "-b %x -t %x -l %d -s %d", g.black ? g.bands[best.band] : 0,
             g.black ? unsigned(defaults.pan_tone_tolerance) : unsigned(g.bands[best.band]), tune_logos[best.logo],
             g.overscan_percent);
    std::string command = std::string("aspect-detect ") + line;
    if (settings.over_16_9_output)
        command += " -o";
    if (!settings.delay_text.empty())
        command += " -e " + settings.delay_text;

    long long given = 0;
    for (const Poll &p : run.polls)
        given += p.truth >= 0 && p.class_index == p.truth;
    std::string out = "settings tried: " + std::to_string(best.tried) + "\n";
    out += score_text(tuning, "defaults", settings_text(defaults), tuning.defaults_score + tuning.constant);
    if (settings.band_given)
        out += score_text(tuning, "given", settings_text(settings.letterbox), given);
    out += score_text(tuning, "best", line, best.score);
    out += command + "\n";
    return out;
}
