// FusionSound stand-in. It behaves as the programs here expect of the real
// library, and records every call in the file that FUSIONSOUND_STANDIN_LOG
// names, so that tests can see what a program did with it.
// FUSIONSOUND_STANDIN_FAIL=FusionSoundInit or =FusionSoundCreate makes that
// call fail with DFB_FAILURE, as the real one does without a sound server.
#include <directfb.h>
#include <fusionsound.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static bool initialised;

// Options of the form --fs:name or --fs:name=value that the stand-in knows.
static const char *const known_options[] = {
    "quiet",    "banner",       "no-banner",  "debug",      "no-debug", "driver", "device",
    "channels", "sampleformat", "samplerate", "buffertime", "session",  "remote",
};

static const char *name_result(DFBResult result)
{
    switch (result) {
    case DFB_OK:
        return "DFB_OK";
    case DFB_FAILURE:
        return "DFB_FAILURE";
    case DFB_INIT:
        return "DFB_INIT";
    case DFB_BUG:
        return "DFB_BUG";
    case DFB_DEAD:
        return "DFB_DEAD";
    case DFB_UNSUPPORTED:
        return "DFB_UNSUPPORTED";
    case DFB_UNIMPLEMENTED:
        return "DFB_UNIMPLEMENTED";
    case DFB_ACCESSDENIED:
        return "DFB_ACCESSDENIED";
    case DFB_INVARG:
        return "DFB_INVARG";
    case DFB_NOSYSTEMMEMORY:
        return "DFB_NOSYSTEMMEMORY";
    }
    return "DFB_UNKNOWN";
}

// One line per call; a single write, so lines of concurrent writers stay whole.
static void record_call(const std::string &call, DFBResult result)
{
    const char *path = getenv("FUSIONSOUND_STANDIN_LOG");
    if (!path || !*path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = call + " " + name_result(result) + "\n";
    ssize_t put = write(fd, line.data(), line.size());
    (void)put;
    close(fd);
}

static DFBResult finish_call(const std::string &call, DFBResult result)
{
    record_call(call, result);
    return result;
}

static bool is_injected(const char *call)
{
    const char *fail = getenv("FUSIONSOUND_STANDIN_FAIL");
    return fail && strcmp(fail, call) == 0;
}

static bool is_known_option(const std::string &option)
{
    std::string name = option.substr(0, option.find('='));
    for (const char *known : known_options)
        if (name == known)
            return true;
    return false;
}

// "--fs:a,b=c": every comma-separated option must be known; an empty list is none.
static bool parse_options(const char *list)
{
    std::string rest = list;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string option = rest.substr(0, comma);
        if (!option.empty() && !is_known_option(option))
            return false;
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return true;
}

static void wake_up(int)
{
    // Nothing to do: the caught signal only ends the caller's pause().
}

static DFBResult add_ref(IFusionSound *thiz)
{
    (void)thiz;
    return finish_call("AddRef", DFB_UNIMPLEMENTED);
}

static DFBResult release_interface(IFusionSound *thiz)
{
    if (!thiz)
        return finish_call("Release", DFB_DEAD);
    free(thiz);
    return finish_call("Release", DFB_OK);
}

extern "C" DFBResult FusionSoundInit(int *argc, char *(*argv[]))
{
    std::string call = "FusionSoundInit";
    if (is_injected("FusionSoundInit"))
        return finish_call(call, DFB_FAILURE);
    if (argc && argv && *argv) {
        char **args = *argv;
        int kept = *argc > 0 ? 1 : 0;
        for (int i = kept; i < *argc; i++) {
            if (strncmp(args[i], "--fs:", 5) != 0) {
                args[kept++] = args[i];
                continue;
            }
            call += std::string(" ") + args[i];
            if (!parse_options(args[i] + 5))
                return finish_call(call, DFB_INVARG);
        }
        if (kept < *argc)
            args[kept] = nullptr;
        *argc = kept;
    }
    initialised = true;
    return finish_call(call, DFB_OK);
}

extern "C" DFBResult FusionSoundCreate(IFusionSound **ret_interface)
{
    if (!ret_interface)
        return finish_call("FusionSoundCreate", DFB_INVARG);
    if (!initialised)
        return finish_call("FusionSoundCreate", DFB_INIT);
    if (is_injected("FusionSoundCreate"))
        return finish_call("FusionSoundCreate", DFB_FAILURE);
    auto *sound = static_cast<IFusionSound *>(calloc(1, sizeof(IFusionSound)));
    if (!sound)
        return finish_call("FusionSoundCreate", DFB_NOSYSTEMMEMORY);
    sound->AddRef = add_ref;
    sound->Release = release_interface;

    // The library keeps its server connection tidy on these three, so a
    // program sleeping in pause() wakes and can release the interface.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = wake_up;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    *ret_interface = sound;
    return finish_call("FusionSoundCreate", DFB_OK);
}

extern "C" const char *DirectFBErrorString(DFBResult result)
{
    switch (result) {
    case DFB_OK:
        return "Everything OK";
    case DFB_FAILURE:
        return "General failure";
    case DFB_INIT:
        return "Initialization error";
    case DFB_BUG:
        return "Internal bug";
    case DFB_DEAD:
        return "Interface is dead";
    case DFB_UNSUPPORTED:
        return "Not supported";
    case DFB_UNIMPLEMENTED:
        return "Not implemented";
    case DFB_ACCESSDENIED:
        return "Access denied";
    case DFB_INVARG:
        return "Invalid argument";
    case DFB_NOSYSTEMMEMORY:
        return "Out of memory";
    }
    return "Unknown result";
}

extern "C" DFBResult DirectFBErrorFatal(const char *msg, DFBResult result)
{
    fprintf(stderr, "%s: %s\n", msg ? msg : "(null)", DirectFBErrorString(result));
    exit(1);
}
