// devsim: runs a program on the simulated box. Checks the scenario, prepares
// its files, drops the raw-I/O capability and execs the program with the
// simulator library preloaded.
#include "paths.h"
#include "scenario.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

static const int status_setup = 125;

static void usage(FILE *f)
{
    fputs("usage: devsim SCENARIO [--trace FILE] -- PROGRAM [ARG...]\n", f);
}

// The records files this run made, removed again if the program never runs.
static std::vector<std::string> created_records;

static void remove_created_records()
{
    for (const std::string &file : created_records) {
        struct stat sb;
        if (lstat(file.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size == 0)
            unlink(file.c_str());
    }
}

[[noreturn]] static void fail(const std::string &msg)
{
    remove_created_records();
    fprintf(stderr, "devsim: %s\n", msg.c_str());
    exit(status_setup);
}

static std::string absolute(const std::string &p)
{
    if (!p.empty() && p[0] == '/')
        return normalize_path(p);
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        fail(std::string("can't find the current folder (") + strerror(errno) + ")");
    return normalize_path(std::string(cwd) + "/" + p);
}

static std::string find_library()
{
    const char *env = getenv("DEVSIM_LIBRARY");
    std::string lib;
    if (env && *env) {
        lib = absolute(env);
    } else {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            fail(std::string("can't find my own executable (") + strerror(errno) + ")");
        self[n] = 0;
        std::string dir(self);
        dir.erase(dir.rfind('/'));
        lib = normalize_path(dir + "/../lib/libdevsim.so");
    }
    if (access(lib.c_str(), R_OK) != 0)
        fail("can't find library '" + lib + "' (" + strerror(errno) + ")");
    return lib;
}

// Records go only into a file made for this run: a name that exists (a file,
// or a symbolic link wherever it leads) is refused, so that a scenario from
// elsewhere can never empty or fill a file of the user who replays it.
static void create_records(const std::string &file)
{
    for (const std::string &made : created_records)
        if (normalize_path(made) == normalize_path(file))
            return; // a second device that records into the same file
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("can't create records file '" + file + "' (" + strerror(errno) + ")");
    close(fd);
    created_records.push_back(file);
}

static void prepare_files(const Scenario &sc)
{
    for (const Device &dev : sc.devices) {
        if (!dev.records.empty())
            create_records(dev.records);
        if (!dev.stills.empty()) {
            struct stat sb;
            if (mkdir(dev.stills.c_str(), 0755) != 0 && errno != EEXIST)
                fail("can't make stills folder '" + dev.stills + "' (" + strerror(errno) + ")");
            if (stat(dev.stills.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode))
                fail("stills folder '" + dev.stills + "' is not a folder");
        }
    }
}

// The program must never get real port access: with CAP_SYS_RAWIO gone from
// the bounding and inheritable sets, an exec cannot give it back, so even a
// direct ioperm system call is refused by the kernel.
static void drop_raw_io()
{
    if (prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO, 0, 0, 0) == 1 && prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0) {
        // Not allowed to drop it (no CAP_SETPCAP): then let no exec raise privileges.
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            fail(std::string("can't keep the program from raw I/O (") + strerror(errno) + ")");
    }
    __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &hdr, data) != 0)
        fail(std::string("can't read capabilities (") + strerror(errno) + ")");
    int i = CAP_TO_INDEX(CAP_SYS_RAWIO);
    unsigned mask = CAP_TO_MASK(CAP_SYS_RAWIO);
    data[i].effective &= ~mask;
    data[i].permitted &= ~mask;
    data[i].inheritable &= ~mask;
    if (syscall(SYS_capset, &hdr, data) != 0)
        fail(std::string("can't drop the raw I/O capability (") + strerror(errno) + ")");
}

static void append_env(const char *name, const std::string &value, const char *sep, bool before)
{
    const char *old = getenv(name);
    std::string v = value;
    if (old && *old)
        v = before ? value + sep + old : std::string(old) + sep + value;
    setenv(name, v.c_str(), 1);
}

int main(int argc, char *argv[])
{
    std::string scenario_arg, trace_arg;
    bool have_scenario = false, have_trace = false;
    int prog = -1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--") {
            prog = i + 1;
            break;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--trace" && i + 1 < argc && !have_trace) {
            trace_arg = argv[++i];
            have_trace = true;
        } else if (!have_scenario && !a.empty() && a[0] != '-') {
            scenario_arg = a;
            have_scenario = true;
        } else {
            usage(stderr);
            return status_setup;
        }
    }
    if (!have_scenario || prog < 0 || prog >= argc) {
        usage(stderr);
        return status_setup;
    }

    Scenario sc;
    std::string err = parse_scenario(scenario_arg, sc);
    if (!err.empty())
        fail(err);
    prepare_files(sc);

    std::string lib = find_library();
    setenv("DEVSIM_SCENARIO", absolute(scenario_arg).c_str(), 1);
    if (have_trace) {
        std::string trace = absolute(trace_arg);
        int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            fail("can't open trace file '" + trace_arg + "' (" + strerror(errno) + ")");
        close(fd);
        setenv("DEVSIM_TRACE", trace.c_str(), 1);
    } else {
        unsetenv("DEVSIM_TRACE");
    }
    append_env("LD_PRELOAD", lib, ":", true);
    append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ":", false);
    drop_raw_io();

    execvp(argv[prog], argv + prog);
    int e = errno;
    remove_created_records();
    fprintf(stderr, "devsim: can't run '%s' (%s)\n", argv[prog], strerror(e));
    return e == ENOENT ? 127 : 126;
}
