// aspect-record: records what the aspect detector sees in each poll (the
// decoder's stream format, the frontend lock, the grabbed grey frame) into a
// folder that the box simulator replays: scenario.scn and its PGM frames.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "aspect_poll.h"

enum { status_device = 1, status_usage = 2, status_folder = 3 };

struct Settings {
    std::string dev_video = "/dev/video0";
    std::string dev_dvb = "/dev/dvb/adapter0";
    float poll_rate = 0.08f; // seconds, as the detector holds it
    unsigned long long polls = 250;
    bool frontend_lock_test = false;
    bool no_decoder = false;
    std::string dir;
};

// Consecutive polls that saw the same: one poll line of the scenario.
struct Step {
    int format;
    bool locked;
    unsigned frame; // number of its frame file; 0: nothing grabbed
    unsigned long long times;
};

static const char *progname;
static Settings settings;
static std::string partial; // DIR/.partial, where the recording grows
static bool dir_created;
// DIR and DIR/.partial, held open so that no name below DIR is looked up
// twice: a folder swapped for a link mid-run cannot redirect a write or an
// unlink.
static int dir_fd = -1, partial_fd = -1;
static std::vector<Step> steps;
static std::vector<uint8_t> last_frame;
static unsigned frames; // frame files written
static volatile sig_atomic_t stop;

enum { opt_no_decoder = 256 };

static const struct option long_options[] = {
    {"dev_video", required_argument, nullptr, 'v'},
    {"dev_dvb", required_argument, nullptr, 'd'},
    {"poll_rate", required_argument, nullptr, 'p'},
    {"polls", required_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {"no-decoder", no_argument, nullptr, opt_no_decoder},
    {nullptr, 0, nullptr, 0},
};

static void usage();

// A real number of seconds; the longest period stays within one usleep, so
// that a stop signal always cuts the sleep short.
static bool read_poll_rate(const char *text)
{
    char *end;
    errno = 0;
    double value = strtod(text, &end);
    if (end == text || *end || errno || !(value > 0 && value <= 3600) || !(float(value) > 0))
        return false;
    settings.poll_rate = float(value);
    return true;
}

static bool read_polls(const char *text)
{
    if (*text < '0' || *text > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (*end || errno || value == 0)
        return false;
    settings.polls = value;
    return true;
}

// Parses the command line into settings; false when the program ends at
// once, with the status in *status.
static bool read_options(int argc, char *argv[], int *status)
{
    *status = status_usage;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":v:d:p:n:fh", long_options, nullptr)) != -1) {
        switch (c) {
        case 'v':
            settings.dev_video = optarg;
            break;
        case 'd':
            settings.dev_dvb = optarg;
            break;
        case 'p':
            if (!read_poll_rate(optarg)) {
                fprintf(stderr, "%s: error - invalid poll rate '%s' (seconds; >0 and <=3600) - not started\n", progname,
                        optarg);
                return false;
            }
            break;
        case 'n':
            if (!read_polls(optarg)) {
                fprintf(stderr, "%s: error - invalid number of polls '%s' (decimal number; >0) - not started\n",
                        progname, optarg);
                return false;
            }
            break;
        case 'f':
            settings.frontend_lock_test = true;
            break;
        case opt_no_decoder:
            settings.no_decoder = true;
            break;
        case 'h':
            usage();
            *status = 0;
            return false;
        case ':':
            fprintf(stderr, "%s: error - missing argument for option %s [arg #%d] - not started\n", progname,
                    argv[optind - 1], optind - 1);
            return false;
        default:
            fprintf(stderr, "%s: error - unknown option %s [arg #%d] - not started\n", progname, argv[optind - 1],
                    optind - 1);
            return false;
        }
    }
    if (optind == argc) {
        fprintf(stderr, "%s: error - no folder given - not started\n", progname);
        return false;
    }
    if (argc - optind > 1) {
        fprintf(stderr, "%s: error - extra arguments '%s'... [arg #%d...] - not started\n", progname, argv[optind + 1],
                optind + 1);
        return false;
    }
    settings.dir = argv[optind];
    return true;
}

// Scenario paths are absolute words: a relative device path is completed
// with the working folder, and one that no scenario can hold is refused.
static bool make_scenario_path(std::string *path)
{
    if (path->empty() || (*path)[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (!cwd) {
            fprintf(stderr, "%s: can't get the working folder (%s)\n", progname, strerror(errno));
            return false;
        }
        *path = std::string(cwd) + "/" + *path;
        free(cwd);
    }
    for (unsigned char ch : *path) {
        if (ch <= ' ' || ch == '#' || ch == 0x7f) {
            fprintf(stderr,
                    "%s: error - device path '%s' cannot be replayed (blank, '#' or control character) "
                    "- not started\n",
                    progname, path->c_str());
            return false;
        }
    }
    return true;
}

// An existing DIR must be the caller's and closed to others: whoever may
// write into it could swap .partial for a link to files of the caller's.
static bool folder_is_safe(const char *dir)
{
    struct stat st;
    if (fstat(dir_fd, &st) != 0) {
        fprintf(stderr, "%s: can't read folder '%s' (%s)\n", progname, dir, strerror(errno));
        return false;
    }
    if (st.st_uid != geteuid()) {
        fprintf(stderr, "%s: folder '%s' belongs to another user; record into a folder of your own\n", progname, dir);
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        fprintf(stderr, "%s: folder '%s' may be written by others; record into a folder only you can write\n", progname,
                dir);
        return false;
    }
    return true;
}

// Whether DIR holds nothing; *partial_only when it holds just a .partial.
static bool read_folder_empty(const char *dir, bool *empty, bool *partial_only)
{
    int fd = dup(dir_fd);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        fprintf(stderr, "%s: can't read folder '%s' (%s)\n", progname, dir, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    int entries = 0;
    *partial_only = false;
    errno = 0;
    while (struct dirent *entry = readdir(d))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            entries++;
            *partial_only = strcmp(entry->d_name, ".partial") == 0;
        }
    int err = errno;
    closedir(d);
    if (err != 0) {
        fprintf(stderr, "%s: can't read folder '%s' (%s)\n", progname, dir, strerror(err));
        return false;
    }
    *empty = entries == 0;
    *partial_only = *partial_only && entries == 1;
    return true;
}

// Opens DIR (creating it when missing) and checks that it may take the
// recording: the caller's, closed to others, and empty.
static bool open_folder(const char *dir)
{
    if (mkdir(dir, 0755) == 0) {
        dir_created = true;
    } else if (errno != EEXIST) {
        fprintf(stderr, "%s: can't create folder '%s' (%s)\n", progname, dir, strerror(errno));
        return false;
    }
    dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        fprintf(stderr, "%s: can't read folder '%s' (%s)\n", progname, dir, strerror(errno));
        return false;
    }
    bool empty, partial_only;
    if (!folder_is_safe(dir) || !read_folder_empty(dir, &empty, &partial_only))
        return false;
    if (partial_only)
        fprintf(stderr,
                "%s: folder '%s' holds only '.partial', what a stopped or older run left; remove it and record "
                "again\n",
                progname, dir);
    else if (!empty)
        fprintf(stderr, "%s: folder '%s' is not empty\n", progname, dir);
    return empty;
}

// Creates DIR when it is missing, and DIR/.partial in it; DIR must hold
// nothing else, so that two recordings never mix.
static bool prepare_folder()
{
    const char *dir = settings.dir.c_str();
    partial = settings.dir + "/.partial";
    bool ok = open_folder(dir);
    if (ok && mkdirat(dir_fd, ".partial", 0700) != 0) {
        fprintf(stderr, "%s: can't create folder '%s' (%s)\n", progname, partial.c_str(), strerror(errno));
        ok = false;
    }
    if (ok) {
        partial_fd = openat(dir_fd, ".partial", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (partial_fd < 0) {
            fprintf(stderr, "%s: can't read folder '%s' (%s)\n", progname, partial.c_str(), strerror(errno));
            unlinkat(dir_fd, ".partial", AT_REMOVEDIR);
            ok = false;
        }
    }
    if (!ok) {
        if (dir_fd >= 0)
            close(dir_fd);
        dir_fd = -1;
        if (dir_created)
            rmdir(dir);
    }
    return ok;
}

static std::string frame_name(unsigned number)
{
    char name[32];
    snprintf(name, sizeof name, "frame-%05u.pgm", number);
    return name;
}

static bool write_all(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Writes a new file in DIR/.partial; the message names it on failure.
static bool write_new_file(const std::string &name, const std::string &head, const uint8_t *body, size_t size)
{
    std::string path = partial + "/" + name;
    int fd = openat(partial_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write_all(fd, head.data(), head.size()) && write_all(fd, body, size);
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        fprintf(stderr, "%s: can't write '%s' (%s)\n", progname, path.c_str(), strerror(err));
    return ok;
}

// Adds one poll to the steps; a grabbed frame that differs from the last one
// grabbed goes into a new file. A poll without lock read no format: the last
// one stands for it.
static bool record_poll(const PollRecord &poll)
{
    unsigned frame = 0;
    if (poll.frame) {
        size_t size = size_t(poll.width) * size_t(poll.height);
        const uint8_t *pixels = poll.frame;
        if (frames > 0 && (size == 0 || memcmp(last_frame.data(), pixels, size) == 0)) {
            frame = frames;
        } else {
            std::string head = "P5\n" + std::to_string(poll.width) + " " + std::to_string(poll.height) + "\n255\n";
            if (!write_new_file(frame_name(frames + 1), head, pixels, size))
                return false;
            last_frame.assign(pixels, pixels + size);
            frame = ++frames;
        }
    }
    const int format = poll.format;
    const bool locked = poll.locked;
    if (!steps.empty() && steps.back().format == format && steps.back().locked == locked && steps.back().frame == frame)
        steps.back().times++;
    else
        steps.push_back({format, locked, frame, 1});
    return true;
}

// One poll, with the detector's own poll step (its device half); 0 or the
// status that ends the recording.
static int poll_once(Devices &devices, PollRecord &poll)
{
    PollSettings asked;
    asked.frontend_lock_test = settings.frontend_lock_test;
    if (!poll_step(&devices, asked, nullptr, poll))
        return status_device;
    return record_poll(poll) ? 0 : status_folder;
}

// The devices are named by absolute paths, as a scenario needs them.
static std::string scenario_text(const std::string &dvb, const std::string &video, const Devices &devices,
                                 unsigned long long done, const char *ending)
{
    char line[160];
    snprintf(line, sizeof line, "# aspect-record: %llu polls every %g s\n", done, double(settings.poll_rate));
    std::string text = line;
    if (ending) {
        snprintf(line, sizeof line, "# ended after %llu of %llu polls: %s\n", done, settings.polls, ending);
        text += line;
    }
    std::string replay = "# replay: devsim scenario.scn -- aspect-detect";
    if (settings.frontend_lock_test)
        replay += " -f";
    if (settings.no_decoder)
        replay += " --no-decoder";
    if (video != "/dev/video0")
        replay += " -v " + video;
    if (dvb != "/dev/dvb/adapter0")
        replay += " -d " + dvb;
    text += replay + "\n";

    // No separator is added, as the detector adds none.
    text += "decoder " + dvb + "/video0\n";
    if (settings.frontend_lock_test)
        text += "frontend " + dvb + "/frontend0\n";
    const struct video_mmap &request = devices.request;
    text += "capture " + video + " " + std::to_string(request.width) + "x" + std::to_string(request.height);
    if (!devices.v4l2 && devices.buffer_size != size_t(request.width) * size_t(request.height))
        text += " mbuf=" + std::to_string(devices.buffer_size);
    text += "\nclock virtual\n";
    for (const Step &step : steps) {
        text += "poll " + stream_format_word(step.format);
        if (!step.locked)
            text += " nolock";
        if (step.frame)
            text += " frame=" + frame_name(step.frame);
        if (step.times > 1)
            text += " times=" + std::to_string(step.times);
        text += "\n";
    }
    return text;
}

// Removes everything this run put into DIR, and DIR itself if it made it:
// every file in .partial (a half-written frame too) and the files already
// moved out of it.
static void discard_recording()
{
    for (unsigned i = 1; i <= frames; i++)
        unlinkat(dir_fd, frame_name(i).c_str(), 0);
    if (partial_fd >= 0) {
        int fd = dup(partial_fd);
        if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
            while (struct dirent *entry = readdir(d))
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    unlinkat(partial_fd, entry->d_name, 0);
            closedir(d);
        } else if (fd >= 0) {
            close(fd);
        }
        close(partial_fd);
        partial_fd = -1;
    }
    unlinkat(dir_fd, ".partial", AT_REMOVEDIR);
    close(dir_fd);
    dir_fd = -1;
    if (dir_created)
        rmdir(settings.dir.c_str());
}

// Writes the scenario and moves the recording out of DIR/.partial: frames
// first and the scenario last, each on the disk before it is moved, so a
// folder with a scenario is always a complete recording.
static bool finish_folder(const std::string &text)
{
    if (!write_new_file("scenario.scn", text, nullptr, 0))
        return false;
    if (syncfs(dir_fd) != 0) {
        fprintf(stderr, "%s: can't write '%s' (%s)\n", progname, settings.dir.c_str(), strerror(errno));
        return false;
    }
    for (unsigned i = 0; i <= frames; i++) {
        std::string name = i < frames ? frame_name(i + 1) : "scenario.scn";
        if (renameat(partial_fd, name.c_str(), dir_fd, name.c_str()) != 0) {
            fprintf(stderr, "%s: can't move '%s/%s' to '%s/%s' (%s)\n", progname, partial.c_str(), name.c_str(),
                    settings.dir.c_str(), name.c_str(), strerror(errno));
            return false;
        }
    }
    close(partial_fd);
    partial_fd = -1;
    unlinkat(dir_fd, ".partial", AT_REMOVEDIR);
    fsync(dir_fd);
    close(dir_fd);
    dir_fd = -1;
    return true;
}

static void on_stop_signal(int)
{
    stop = 1;
}

// Device calls restart after the signal; only the sleep is cut short.
static void catch_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A dropped ssh connection to the box ends the recording as Ctrl-C does.
    sigaction(SIGHUP, &sa, nullptr);
    // A file size limit is a write error like a full disk, reported and
    // cleaned up, not a kill that leaves .partial behind.
    signal(SIGXFSZ, SIG_IGN);
}

static void show_progress(unsigned long long done, const char *end)
{
    fprintf(stderr, "%s: %llu of %llu polls, %u frames%s", progname, done, settings.polls, frames, end);
}

static void usage()
{
    printf("Usage: %s [<Options>] <Folder>\n"
           "  -v, --dev_video=<Device>  Video device\n"
           "                            (default is /dev/video0)\n"
           "  -d, --dev_dvb=<Device>    DVB device\n"
           "                            (default is /dev/dvb/adapter0)\n"
           "  -p, --poll_rate=<Value>   Poll rate (real number; seconds; >0 and <=3600; default is %g)\n"
           "  -n, --polls=<Value>       Number of polls to record (decimal number; >0; default is %u)\n"
           "  -f                        Enable 'frontend has lock' test\n"
           "      --no-decoder          Run without a DVB decoder: every poll grabs a frame\n"
           "  -h, --help                Displays this page (and exits)\n"
           "<Folder> must be new or empty; it receives scenario.scn and the frames.\n",
           progname, 0.08, 250u);
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    int status;
    if (!read_options(argc, argv, &status))
        return status;

    Devices devices =
        name_devices(settings.dev_dvb, settings.dev_video, settings.frontend_lock_test, settings.no_decoder);
    std::string scenario_dvb = settings.dev_dvb;
    std::string scenario_video = settings.dev_video;
    if (!make_scenario_path(&scenario_dvb) || !make_scenario_path(&scenario_video))
        return status_usage;
    if (!prepare_folder())
        return status_folder;
    catch_stop_signals();

    if (!open_devices(devices)) {
        discard_recording();
        return status_device;
    }
    const struct video_mmap &request = devices.request;
    if (request.width < 0 || request.width > 65535 || request.height < 0 || request.height > 65535) {
        fprintf(stderr, "%s: capture size %dx%d cannot be replayed\n", progname, request.width, request.height);
        close_devices(devices);
        discard_recording();
        return status_device;
    }

    bool progress = isatty(STDERR_FILENO);
    PollRecord poll;
    unsigned long long done = 0;
    status = 0;
    while (done < settings.polls && !stop) {
        double start = now_seconds();
        status = poll_once(devices, poll);
        if (status)
            break;
        done++;
        if (progress)
            show_progress(done, "\r");
        if (done < settings.polls && !stop)
            sleep_rest_of_poll(start, settings.poll_rate);
    }
    close_devices(devices);
    if (progress && status != status_device)
        show_progress(done, "\n");
    if (status == status_folder) {
        discard_recording();
        return status_folder;
    }

    const char *ending = status == status_device         ? "a device request failed"
                         : stop && done < settings.polls ? "stopped by a signal"
                                                         : nullptr;
    if (!finish_folder(scenario_text(scenario_dvb, scenario_video, devices, done, ending))) {
        discard_recording();
        return status_folder;
    }
    if (status == status_device)
        fprintf(stderr, "%s: the %llu polls before the error are kept in '%s'\n", progname, done, settings.dir.c_str());
    return status;
}
