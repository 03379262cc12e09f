// orlimclient: hand file names to a running Orlim editor through its edit
// server's Unix-domain socket, or run an alternate editor in our place.

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define VERSION "21.4"
#define BUGADDRESS "<settop-tools@lists.example.org>"

static const char *progname;
static const char *alteditor;
static int nowait;

static const struct option longopts[] = {
    {"no-wait", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'H'},
    {"version", no_argument, nullptr, 'V'},
    {"alternate-editor", required_argument, nullptr, 'a'},
    {nullptr, 0, nullptr, 0},
};

// The element before the first file argument becomes the editor's argv[0].
[[noreturn]] static void fall_back_to_alternate_editor(char *argv[])
{
    if (alteditor)
        execvp(alteditor, argv + optind - 1);
    exit(1);
}

static void *xmalloc(size_t size)
{
    void *p = malloc(size);
    if (!p) {
        perror("malloc");
        exit(1);
    }
    return p;
}

// gethostname fails rather than truncate, so grow the buffer until it fits.
static char *get_host_name()
{
    for (size_t size = 32;; size *= 2) {
        char *name = static_cast<char *>(xmalloc(size + 1));
        name[size] = '\0';
        if (gethostname(name, size) == 0)
            return name;
        free(name);
    }
}

// The path and its terminating zero must fit sun_path; a longer one is refused.
static bool format_socket_path(struct sockaddr_un *addr, uid_t uid, const char *host)
{
    int n = snprintf(addr->sun_path, sizeof addr->sun_path, "/tmp/osrv%d-%s", static_cast<int>(uid), host);
    if (n < 0 || static_cast<size_t>(n) >= sizeof addr->sun_path) {
        fprintf(stderr, "%s: socket path too long for host name %s\n", progname, host);
        return false;
    }
    return true;
}

enum socket_owner { owned_by_user, owned_by_other, stat_failed };

static socket_owner check_socket_owner(const char *path, int *stat_error)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        *stat_error = errno;
        return stat_failed;
    }
    return st.st_uid == geteuid() ? owned_by_user : owned_by_other;
}

static bool server_is_ours(int sock, uid_t euid)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == euid;
}

// A '+' argument made of digits and ':' only is a position, not a file name.
static bool needs_prefix(const char *arg)
{
    if (arg[0] == '/')
        return false;
    if (arg[0] != '+')
        return true;
    const char *p = arg + 1;
    while (isdigit(static_cast<unsigned char>(*p)) || *p == ':')
        p++;
    return *p != '\0';
}

static char *quote_for_server(const char *s)
{
    size_t n = strlen(s);
    char *quoted = static_cast<char *>(xmalloc(2 * n + 1));
    char *q = quoted;
    for (size_t i = 0; i < n; i++) {
        if (s[i] == ' ') {
            *q++ = '&';
            *q++ = '_';
        } else if (s[i] == '&') {
            *q++ = '&';
            *q++ = '&';
        } else if (s[i] == '-' && i == 0) {
            *q++ = '&';
            *q++ = '-';
        } else {
            *q++ = s[i];
        }
    }
    *q = '\0';
    return quoted;
}

// One line at most, like fgets, but the count keeps NUL bytes of the reply.
static size_t read_chunk(FILE *f, char *buf, size_t size)
{
    size_t n = 0;
    int c;
    while (n + 1 < size && (c = getc(f)) != EOF) {
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    return n;
}

[[noreturn]] static void usage()
{
    fprintf(stderr, "Usage: %s [-a ALTERNATE-EDITOR] [-n] [--no-wait] [+LINE[:COLUMN]] FILENAME\n", progname);
    fprintf(stderr, "Or %s --version\n", progname);
    fprintf(stderr, "Report bugs to " BUGADDRESS ".\n");
    exit(1);
}

// Whatever the last option word says wins: -a, or else the environment.
static void parse_options(int argc, char *argv[])
{
    int c;
    while ((c = getopt_long(argc, argv, "VHna:", longopts, nullptr)) != -1) {
        alteditor = getenv("ALTERNATE_EDITOR");
        switch (c) {
        case 'a':
            alteditor = optarg;
            break;
        case 'n':
            nowait = 1;
            break;
        case 'V':
            fprintf(stderr, "orlimclient %s\n", VERSION);
            exit(1);
        default:
            usage();
        }
    }
}

// The socket path of the effective user, or else of the login name's user;
// ownership is judged against the effective user id either way.
static void find_socket(struct sockaddr_un *addr, char *argv[])
{
    char *host = get_host_name();
    uid_t euid = geteuid();
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (!format_socket_path(addr, euid, host))
        fall_back_to_alternate_editor(argv);
    int stat_error = 0;
    socket_owner owner = check_socket_owner(addr->sun_path, &stat_error);

    if (owner != owned_by_user) {
        const char *name = getenv("LOGNAME");
        if (!name)
            name = getenv("USER");
        struct passwd *pw = name ? getpwnam(name) : nullptr;
        if (pw && pw->pw_uid != euid) {
            if (!format_socket_path(addr, pw->pw_uid, host))
                fall_back_to_alternate_editor(argv);
            owner = check_socket_owner(addr->sun_path, &stat_error);
        }
    }
    free(host);

    if (owner == owned_by_other && euid != 0) {
        fprintf(stderr, "%s: Invalid socket owner\n", progname);
        fall_back_to_alternate_editor(argv);
    }
    if (owner == stat_failed) {
        if (stat_error == ENOENT)
            fprintf(stderr, "%s: can't find socket; have you started the server?\n", progname);
        else
            fprintf(stderr, "%s: can't stat %s: %s\n", progname, addr->sun_path, strerror(stat_error));
        fall_back_to_alternate_editor(argv);
    }
}

// Returns the request stream; *reply gets the reply stream on the same socket.
static FILE *connect_to_server(char *argv[], FILE **reply)
{
    // Close-on-exec: the alternate editor must not hold the server's connection.
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        fprintf(stderr, "%s: ", progname);
        perror("socket");
        fall_back_to_alternate_editor(argv);
    }

    struct sockaddr_un addr;
    find_socket(&addr, argv);
    socklen_t len = offsetof(struct sockaddr_un, sun_path) + strlen(addr.sun_path);
    if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), len) < 0) {
        fprintf(stderr, "%s: ", progname);
        perror("connect");
        fall_back_to_alternate_editor(argv);
    }
    // The path may have led elsewhere since it was checked (a symbolic link
    // in /tmp): the process at the other end must be the user's own too.
    uid_t euid = geteuid();
    if (euid != 0 && !server_is_ours(sock, euid)) {
        fprintf(stderr, "%s: Invalid socket owner\n", progname);
        fall_back_to_alternate_editor(argv);
    }

    FILE *request = fdopen(sock, "r+");
    *reply = request ? fdopen(sock, "r+") : nullptr;
    if (!*reply) {
        fprintf(stderr, "%s: ", progname);
        perror("fdopen");
        fall_back_to_alternate_editor(argv);
    }
    return request;
}

static void send_request(FILE *request, int argc, char *argv[])
{
    char cwd[8192];
    if (!getcwd(cwd, sizeof cwd)) {
        fprintf(stderr, "%s: %s (%s)\n", progname, "Cannot get current working directory", strerror(errno));
        fall_back_to_alternate_editor(argv);
    }

    // Quote every piece before writing, so that running out of memory
    // never leaves half a request for the server.
    char *dir = nullptr;
    char **quoted = static_cast<char **>(xmalloc((argc - optind) * sizeof *quoted));
    for (int i = optind; i < argc; i++) {
        if (needs_prefix(argv[i]) && !dir)
            dir = quote_for_server(cwd);
        quoted[i - optind] = quote_for_server(argv[i]);
    }

    if (nowait)
        fprintf(request, "-nowait ");
    for (int i = optind; i < argc; i++) {
        if (needs_prefix(argv[i]))
            fprintf(request, "%s/", dir);
        fprintf(request, "%s ", quoted[i - optind]);
        free(quoted[i - optind]);
    }
    free(quoted);
    free(dir);
    fprintf(request, "\n");
    fflush(request);
}

static void copy_reply(FILE *reply)
{
    printf("Waiting for Orlim...");
    fflush(stdout);
    char buf[8192];
    size_t n;
    while ((n = read_chunk(reply, buf, sizeof buf)) > 0) {
        fwrite(buf, 1, n, stdout);
        if (buf[n - 1] != '\n' && n + 1 < sizeof buf)
            break; // end of file or a read error inside the chunk
    }
}

int main(int argc, char *argv[])
{
    progname = argc > 0 ? argv[0] : "orlimclient";
    parse_options(argc, argv);
    if (argc - optind <= 0)
        usage();

    FILE *reply;
    FILE *request = connect_to_server(argv, &reply);
    send_request(request, argc, argv);
    if (!nowait)
        copy_reply(reply);
    return 0;
}
