// aspect-inspect: runs the detector's own measurement and classification over
// recorded or decoded frames, one frame per poll, and shows what it measured,
// what it would have printed, and which settings would have done better.
// This file holds the command line and main; extern.h names the other files.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "aspect_class.h"
#include "extern.h"

const char *const progname = "aspect-inspect";

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
    {"robust", no_argument, nullptr, 'R'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

static void usage(FILE *out)
{
    fprintf(out,
            "Usage: %s [-b HEX] [-t HEX] [-l PERCENT] [-s PERCENT] [-e POLLS] [-a] [-f] [-o]\n"
            "                      [--robust] [--plot FILE] [--labels FILE [--tune]] [INPUT ...]\n"
            "INPUT: a devsim scenario (*.scn), a folder aspect-record wrote, or binary PGM\n"
            "files (several images one after the other); '-' or none: a PGM stream on\n"
            "standard input. One frame a poll.\n"
            "Options mean what they mean for aspect-detect, with its defaults.\n"
            "  --plot FILE    draw the run into FILE (.png or .svg)\n"
            "  --labels FILE  lines first,last,class: score the frames against them\n"
            "  --tune         with --labels: find the settings that classify most\n"
            "                 labelled frames right and print them\n",
            progname);
}

// "progname: message" on one line of standard error, then exit with status:
// 1 for bad input, 2 for a bad command line (with where to find help).
void fail(int status, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "%s: ", progname);
    vfprintf(stderr, format, ap);
    va_end(ap);
    if (status == 2)
        fprintf(stderr, ". Try '%s --help'", progname);
    fputc('\n', stderr);
    exit(status);
}

bool ends_with(const char *s, const char *tail)
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

bool read_percent(const char *word, float *fraction)
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

static void read_options(Settings &settings, int argc, char *argv[])
{
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":b:t:l:s:e:afoh", long_options, nullptr)) != -1) {
        unsigned int number;
        switch (c) {
        case 'b':
            if (!read_hex(optarg, &number) || number > 0xff)
                fail(2, "bad -b value '%s' (hexadecimal grey level, 0 to ff)", optarg);
            settings.letterbox.black = uint8_t(number);
            settings.band_given = true;
            break;
        case 't':
            if (!read_hex(optarg, &number))
                fail(2, "bad -t value '%s' (hexadecimal grey levels)", optarg);
            settings.letterbox.pan_tone_tolerance = int32_t(number);
            settings.letterbox.tolerance_given = true;
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
        case 'R':
            settings.letterbox.robust = true;
            settings.band_given = true;
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

// The INPUT words; none is standard input.
static void read_input_names(Settings &settings, int argc, char *argv[])
{
    for (int i = optind; i < argc; i++)
        settings.inputs.push_back(argv[i]);
    if (settings.inputs.empty())
        settings.inputs.push_back("-");
    // Frames are never typed: a terminal would only be waited on.
    for (const char *input : settings.inputs)
        if (strcmp(input, "-") == 0 && isatty(STDIN_FILENO))
            fail(2, "standard input is a terminal; give INPUT files or pipe frames in");
}

// --tune: the best settings, then a second pass over the frames with them
// (and with the defaults, when other settings were given) for their scores.
static void advise(Run &run)
{
    find_advice(run);
    run.others.resize(run.settings.band_given ? 2 : 1);
    start_replay(run, run.others[0], run.advice.letterbox);
    if (run.settings.band_given)
        start_replay(run, run.others[1], LetterboxSettings{});
    read_inputs(run);
}

int main(int argc, char *argv[])
{
    Run run;
    const Settings &settings = run.settings;
    read_options(run.settings, argc, argv);
    read_input_names(run.settings, argc, argv);
    start_replay(run, run.given, settings.letterbox);
    if (settings.labels)
        read_labels(run, settings.labels);
    if (settings.tune)
        set_up_tuning(run.tuning);
    read_inputs(run);
    check_labels(run);
    if (settings.tune)
        advise(run);

    // Everything is known to be sound before anything is written.
    std::string out = settings.tune ? tune_report(run) : table_text(run);
    if (settings.plot)
        draw_plot(run, settings.plot);
    fwrite(out.data(), 1, out.size(), stdout);
    if (fclose(stdout) != 0)
        fail(1, "can't write standard output (%s)", strerror(errno));
    if (settings.tune)
        report_advice(run);
    else if (settings.labels)
        report_labels(run);
    end_run(run);
    return 0;
}
