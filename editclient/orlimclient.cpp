// orlimclient: hand file names to a running Orlim editor through its edit
// server's Unix-domain socket, or run an alternate editor in our place.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "orlim_request.h"

#define VERSION "21.4"
#define BUGADDRESS "<settop-tools@lists.example.org>"

static const char *progname;
static OrlimOptions options;

// The element before the first file argument becomes the editor's argv[0].
[[noreturn]] static void fall_back_to_alternate_editor(char *argv[])
{
    if (options.alteditor)
        execvp(options.alteditor, argv + options.first_file - 1);
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
    int first = options.first_file;
    if (!write_request(request, options, cwd, argc - first, argv + first)) {
        perror("malloc");
        exit(1);
    }
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
    switch (parse_options(argc, argv, &options)) {
    case orlim_files:
        break;
    case orlim_version:
        fprintf(stderr, "orlimclient %s\n", VERSION);
        exit(1);
    case orlim_usage:
        usage();
    }
    if (argc - options.first_file <= 0)
        usage();

    FILE *reply;
    FILE *request = connect_to_server(argv, &reply);
    send_request(request, argc, argv);
    if (!options.nowait)
        copy_reply(reply);
    return 0;
}
