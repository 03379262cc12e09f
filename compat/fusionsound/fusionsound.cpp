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
    "quiet", "banner", "no-banner", "debug", "no-debug", "driver", "device",
    "channels", "sampleformat", "samplerate", "buffertime", "session", "remote",
};

static const char *ResultName(DFBResult result)
{
    switch (result) {
    case DFB_OK: return "DFB_OK";
    case DFB_FAILURE: return "DFB_FAILURE";
    case DFB_INIT: return "DFB_INIT";
    case DFB_BUG: return "DFB_BUG";
    case DFB_DEAD: return "DFB_DEAD";
    case DFB_UNSUPPORTED: return "DFB_UNSUPPORTED";
    case DFB_UNIMPLEMENTED: return "DFB_UNIMPLEMENTED";
    case DFB_ACCESSDENIED: return "DFB_ACCESSDENIED";
    case DFB_INVARG: return "DFB_INVARG";
    case DFB_NOSYSTEMMEMORY: return "DFB_NOSYSTEMMEMORY";
    }
    return "DFB_UNKNOWN";
}

// One line per call; a single write, so lines of concurrent writers stay whole.
static void Record(const std::string &call, DFBResult result)
{
    const char *path = getenv("FUSIONSOUND_STANDIN_LOG");
    if (!path || !*path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = call + " " + ResultName(result) + "\n";
    ssize_t put = write(fd, line.data(), line.size());
    (void)put;
    close(fd);
}

static DFBResult Finish(const std::string &call, DFBResult result)
{
    Record(call, result);
    return result;
}

static bool Injected(const char *call)
{
    const char *fail = getenv("FUSIONSOUND_STANDIN_FAIL");
    return fail && strcmp(fail, call) == 0;
}

static bool KnownOption(const std::string &option)
{
    std::string name = option.substr(0, option.find('='));
    for (const char *known : known_options)
        if (name == known)
            return true;
    return false;
}

// "--fs:a,b=c": every comma-separated option must be known; an empty list is none.
static bool ParseOptions(const char *list)
{
    std::string rest = list;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string option = rest.substr(0, comma);
        if (!option.empty() && !KnownOption(option))
            return false;
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return true;
}

static void Wake(int)
{
    // Nothing to do: the caught signal only ends the caller's pause().
}

static DFBResult StandinAddRef(IFusionSound *thiz)
{
    (void)thiz;
    return Finish("AddRef", DFB_UNIMPLEMENTED);
}

static DFBResult StandinRelease(IFusionSound *thiz)
{
    if (!thiz)
        return Finish("Release", DFB_DEAD);
    free(thiz);
    return Finish("Release", DFB_OK);
}

extern "C" DFBResult FusionSoundInit(int *argc, char *(*argv[]))
{
    std::string call = "FusionSoundInit";
    if (Injected("FusionSoundInit"))
        return Finish(call, DFB_FAILURE);
    if (argc && argv && *argv) {
        char **args = *argv;
        int kept = *argc > 0 ? 1 : 0;
        for (int i = kept; i < *argc; i++) {
            if (strncmp(args[i], "--fs:", 5) != 0) {
                args[kept++] = args[i];
                continue;
            }
            call += std::string(" ") + args[i];
            if (!ParseOptions(args[i] + 5))
                return Finish(call, DFB_INVARG);
        }
        if (kept < *argc)
            args[kept] = nullptr;
        *argc = kept;
    }
    initialised = true;
    return Finish(call, DFB_OK);
}

extern "C" DFBResult FusionSoundCreate(IFusionSound **ret_interface)
{
    if (!ret_interface)
        return Finish("FusionSoundCreate", DFB_INVARG);
    if (!initialised)
        return Finish("FusionSoundCreate", DFB_INIT);
    if (Injected("FusionSoundCreate"))
        return Finish("FusionSoundCreate", DFB_FAILURE);
    auto *sound = static_cast<IFusionSound *>(calloc(1, sizeof(IFusionSound)));
    if (!sound)
        return Finish("FusionSoundCreate", DFB_NOSYSTEMMEMORY);
    sound->AddRef = StandinAddRef;
    sound->Release = StandinRelease;

    // The library keeps its server connection tidy on these three, so a
    // program sleeping in pause() wakes and can release the interface.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = Wake;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    *ret_interface = sound;
    return Finish("FusionSoundCreate", DFB_OK);
}

extern "C" const char *DirectFBErrorString(DFBResult result)
{
    switch (result) {
    case DFB_OK: return "Everything OK";
    case DFB_FAILURE: return "General failure";
    case DFB_INIT: return "Initialization error";
    case DFB_BUG: return "Internal bug";
    case DFB_DEAD: return "Interface is dead";
    case DFB_UNSUPPORTED: return "Not supported";
    case DFB_UNIMPLEMENTED: return "Not implemented";
    case DFB_ACCESSDENIED: return "Access denied";
    case DFB_INVARG: return "Invalid argument";
    case DFB_NOSYSTEMMEMORY: return "Out of memory";
    }
    return "Unknown result";
}

extern "C" DFBResult DirectFBErrorFatal(const char *msg, DFBResult result)
{
    fprintf(stderr, "%s: %s\n", msg ? msg : "(null)", DirectFBErrorString(result));
    exit(1);
}
