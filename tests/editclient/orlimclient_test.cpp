// End-to-end tests of orlimclient against an edit-server stand-in on a real
// Unix-domain socket. Every run gets a host name of its own in a private UTS
// namespace, so the socket path /tmp/osrv<uid>-<host> is never shared.
#include "run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const uid_t kNobody = 65534;

static int BoundSocket(const std::string &path, uid_t owner)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || chown(path.c_str(), owner, owner) != 0)
        throw std::runtime_error("socket " + path + ": " + strerror(errno));
    return fd;
}

// Accepts one connection, records the request line, then sends `reply` and
// closes (an empty reply: closes at once), or with `hold` never replies.
// It allocates nothing while the client runs, since the test forks then.
struct EditServer {
    std::string path;
    std::string reply;
    bool hold;
    int listener, stop[2];
    char request[65536];
    size_t length = 0;
    bool connected = false;
    std::thread thread;

    EditServer(const std::string &p, uid_t owner, bool holdopen, std::string r = "")
        : path(p)
        , reply(std::move(r))
        , hold(holdopen)
        , listener(BoundSocket(p, owner))
    {
        if (listen(listener, 4) != 0 || pipe2(stop, O_CLOEXEC) != 0)
            throw std::runtime_error("listen: " + std::string(strerror(errno)));
        thread = std::thread([this] { Serve(); });
    }
    ~EditServer()
    {
        Finish();
        close(listener);
        close(stop[0]);
        close(stop[1]);
        unlink(path.c_str());
    }
    bool Wait(int fd)
    {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
        return poll(p, 2, 60000) > 0 && (p[0].revents & (POLLIN | POLLHUP));
    }
    void Serve()
    {
        if (!Wait(listener))
            return;
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        connected = true;
        timeval bound{60, 0};
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        while (length < sizeof request && Wait(c)) {
            ssize_t n = read(c, request + length, sizeof request - length);
            if (n <= 0)
                break;
            length += n;
            if (memchr(request + length - n, '\n', n))
                break;
        }
        for (size_t sent = 0; sent < reply.size();) {
            ssize_t n = write(c, reply.data() + sent, reply.size() - sent);
            if (n <= 0)
                break;
            sent += n;
        }
        if (hold)
            Wait(stop[0]);
        close(c);
    }
    void Finish()
    {
        if (thread.joinable()) {
            (void)!write(stop[1], "", 1);
            thread.join();
        }
    }
    std::string Request()
    {
        Finish();
        return std::string(request, length);
    }
};

class OrlimClient : public ::testing::Test {
protected:
    std::optional<TempDir> tmp;
    std::string dir, host, argvfile;
    std::string client = bin_path("orlimclient");
    std::string editor = test_bin_path("orlim-record-argv");
    std::vector<std::string> launch; // words between the host name and the client

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: private UTS namespaces, sockets owned by other users";
        static int count;
        dir = tmp.emplace("orlimclient").path;
        chmod(dir.c_str(), 0755);
        host = "orlimtest-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        argvfile = dir + "/argv";
        ResetEditor();
    }

    // The client and the editor copied where any user may run them.
    void RunAsNobody()
    {
        for (std::string *prog : {&client, &editor}) {
            std::string copy = dir + "/" + prog->substr(prog->rfind('/') + 1);
            ASSERT_EQ(run_program({"cp", *prog, copy}).status, 0);
            *prog = copy;
        }
        launch = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    std::string SocketPath(uid_t uid) { return "/tmp/osrv" + std::to_string(uid) + "-" + host; }
    void ResetEditor()
    {
        write_file(argvfile, "");
        chmod(argvfile.c_str(), 0666);
    }
    RunResult Run(const std::vector<std::string> &args, RunOptions opt = {})
    {
        std::vector<std::string> argv = {test_bin_path("orlim-in-uts"), host};
        argv.insert(argv.end(), launch.begin(), launch.end());
        argv.push_back(client);
        argv.insert(argv.end(), args.begin(), args.end());
        opt.env.insert(opt.env.begin(), {"ALTERNATE_EDITOR", "LOGNAME", "USER", "ORLIM_ARGV_FILE=" + argvfile});
        if (opt.cwd.empty())
            opt.cwd = dir;
        return run_program(argv, opt);
    }
    // The vector the alternate editor was started with; empty when it was not.
    std::vector<std::string> EditorArgv()
    {
        std::vector<std::string> v;
        std::string bytes = read_file(argvfile);
        for (size_t at = 0; at < bytes.size(); at = bytes.find('\0', at) + 1)
            v.push_back(bytes.c_str() + at);
        return v;
    }
    std::string Usage()
    {
        return "Usage: " + client
               + " [-a ALTERNATE-EDITOR] [-n] [--no-wait] [+LINE[:COLUMN]] FILENAME\n"
                 "Or "
               + client
               + " --version\n"
                 "Report bugs to <settop-tools@lists.example.org>.\n";
    }
    std::string NoSocket() { return client + ": can't find socket; have you started the server?\n"; }
    std::string Preload()
    {
        const char *asan = getenv("ASAN_OPTIONS");
        return std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    }
};

TEST_F(OrlimClient, VersionHelpAndMissingFileEndWithStatus1)
{
    const std::string version = "orlimclient 21.4\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-V"}, version}, {{"--version", "notes.txt"}, version},
        {{"-H"}, Usage()}, {{"--help", "notes.txt"}, Usage()},
        {{}, Usage()},     {{"-n"}, Usage()},
    };
    for (const auto &[args, err] : cases) {
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
}

TEST_F(OrlimClient, BadOptionGetsDiagnosticThenUsage)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-x", "notes.txt"}, {"notes.txt", "-a"}, {"--bogus", "notes.txt"}}) {
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        ASSERT_GT(r.err.size(), Usage().size()) << args[0];
        EXPECT_EQ(r.err.substr(0, client.size() + 2), client + ": ");
        EXPECT_EQ(r.err.substr(r.err.size() - Usage().size()), Usage());
    }
}

TEST_F(OrlimClient, RequestLineQuotesNamesAndPrefixesRelativeOnes)
{
    ASSERT_EQ(dir.find_first_of(" &"), std::string::npos) << "the temp dir itself would be quoted";
    ASSERT_EQ(mkdir((dir + "/my docs").c_str(), 0755), 0);
    const std::string d = dir + "/";
    struct Case {
        std::string cwd;
        std::vector<std::string> args;
        std::string request;
    };
    const std::vector<Case> cases = {
        {dir + "/my docs",
         {"-n", "+12:3", "a b&x.txt", "/etc/motd", "+x1"},
         "-nowait +12:3 " + dir + "/my&_docs/a&_b&&x.txt /etc/motd " + dir + "/my&_docs/+x1 \n"},
        {dir, {"-n", "+12", "+12:5", "+:", "+", "+12a", "+a"}, "-nowait +12 +12:5 +: + " + d + "+12a " + d + "+a \n"},
        {dir,
         {"notes.txt", "--no-wait", "", "/tmp/a b", "--", "-x", "a\nb", "&-x-", "-n"},
         "-nowait " + d + "notes.txt " + d + " /tmp/a&_b " + d + "&-x " + d + "a\nb " + d + "&&-x- " + d + "&-n \n"},
        {"/", {"-n", "notes.txt"}, "-nowait //notes.txt \n"},
    };
    for (const Case &c : cases) {
        // The server never replies: a client that waited would time out.
        EditServer server(SocketPath(0), 0, true);
        RunOptions opt;
        opt.cwd = c.cwd;
        RunResult r = Run(c.args, opt);
        EXPECT_EQ(r.status, 0) << c.request;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(server.Request(), c.request);
    }
}

TEST_F(OrlimClient, WaitingModeCopiesReplyUnchanged)
{
    const std::string replies[] = {
        "",
        "first line\n" + std::string(10000, 'r') + "\n" + std::string("nul\0inside\n", 11) + "no end",
    };
    for (const std::string &reply : replies) {
        EditServer server(SocketPath(0), 0, false, reply);
        RunResult r = Run({"notes.txt", "+7"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Waiting for Orlim..." + reply);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(server.Request(), dir + "/notes.txt +7 \n");
    }
}

TEST_F(OrlimClient, UnusableServerFallsBackToAlternateEditor)
{
    RunAsNobody();
    const std::string path = SocketPath(kNobody);
    // A server listens for the last two: root's process on a socket file
    // owned by root, then on one owned by the user.
    struct Cause {
        std::string message;
        std::function<void()> make;
        std::optional<uid_t> served;
    };
    const std::vector<Cause> causes = {
        {NoSocket(), [] {}, {}},
        {client + ": connect: " + strerror(ECONNREFUSED) + "\n", [&] { close(BoundSocket(path, kNobody)); }, {}},
        {client + ": can't stat " + path + ": " + strerror(ELOOP) + "\n",
         [&] { ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0); },
         {}},
        {client + ": Invalid socket owner\n", [] {}, 0},
        {client + ": Invalid socket owner\n", [] {}, kNobody},
    };
    for (const Cause &cause : causes) {
        std::optional<EditServer> server;
        if (cause.served)
            server.emplace(path, *cause.served, true);
        cause.make();
        RunResult r = Run({"+3", "notes.txt"});
        EXPECT_EQ(r.status, 1) << cause.message;
        EXPECT_EQ(r.err, cause.message);
        EXPECT_EQ(EditorArgv(), std::vector<std::string>{});

        r = Run({"-a", editor, "+3", "notes.txt"});
        EXPECT_EQ(r.status, 42) << cause.message;
        EXPECT_EQ(r.err, cause.message);
        EXPECT_EQ(EditorArgv(), (std::vector<std::string>{editor, "+3", "notes.txt"}));
        if (server) {
            EXPECT_EQ(server->Request(), ""); // joins the server: connected is settled
            EXPECT_EQ(server->connected, cause.served == kNobody);
        }
        ResetEditor();
        unlink(path.c_str());
    }
}

TEST_F(OrlimClient, AlternateEditorComesFromTheLastOptionWord)
{
    const std::string env = "ALTERNATE_EDITOR=" + editor, bad = "/nonexistent/editor";
    struct Case {
        std::vector<std::string> env, args, argv;
    };
    const std::vector<Case> cases = {
        {{env}, {"notes.txt"}, {}},
        {{env}, {"-n", "notes.txt"}, {"-n", "notes.txt"}},
        {{}, {"-a", editor, "-n", "notes.txt"}, {}},
        {{}, {"-n", "-a", editor, "notes.txt"}, {editor, "notes.txt"}},
        {{}, {"notes.txt", "-a", editor}, {editor, "notes.txt"}},
        {{}, {"-a" + editor, "+3", "notes.txt"}, {"-a" + editor, "+3", "notes.txt"}},
        {{"ALTERNATE_EDITOR=" + bad}, {"--alt", editor, "a b"}, {editor, "a b"}},
        {{env}, {"--alternate-editor=" + bad, "-n", "notes.txt"}, {"-n", "notes.txt"}},
        {{}, {"-a", bad, "notes.txt"}, {}},
    };
    for (const Case &c : cases) {
        RunOptions opt;
        opt.env = c.env;
        RunResult r = Run(c.args, opt);
        EXPECT_EQ(r.status, c.argv.empty() ? 1 : 42) << c.args[0];
        EXPECT_EQ(r.err, NoSocket());
        EXPECT_EQ(EditorArgv(), c.argv) << c.args[0];
        ResetEditor();
    }
}

TEST_F(OrlimClient, RootUsesSocketOwnedByAnotherUserSilently)
{
    EditServer server(SocketPath(0), kNobody, true);
    RunResult r = Run({"-n", "notes.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.Request(), "-nowait " + dir + "/notes.txt \n");
}

TEST_F(OrlimClient, SecondTryTakesLoginNameThenUser)
{
    struct Case {
        std::vector<std::string> env;
        bool used;
    };
    const std::vector<Case> cases = {
        {{"LOGNAME=nobody"}, true},
        {{"USER=nobody"}, true},
        {{"LOGNAME=", "USER=nobody"}, false},
        {{"LOGNAME=root", "USER=nobody"}, false},
        {{"LOGNAME=no-such-user-here", "USER=nobody"}, false},
    };
    for (const Case &c : cases) {
        EditServer server(SocketPath(kNobody), kNobody, true);
        RunOptions opt;
        opt.env = c.env;
        RunResult r = Run({"-n", "notes.txt"}, opt);
        EXPECT_EQ(r.status, c.used ? 0 : 1) << c.env[0];
        EXPECT_EQ(r.err, c.used ? "" : NoSocket());
        EXPECT_EQ(server.Request(), c.used ? "-nowait " + dir + "/notes.txt \n" : "");
    }

    // A failed second query is the one reported.
    ASSERT_EQ(symlink(SocketPath(kNobody).c_str(), SocketPath(kNobody).c_str()), 0);
    RunOptions opt;
    opt.env = {"LOGNAME=nobody"};
    RunResult r = Run({"notes.txt"}, opt);
    unlink(SocketPath(kNobody).c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, client + ": can't stat " + SocketPath(kNobody) + ": " + strerror(ELOOP) + "\n");
}

TEST_F(OrlimClient, HostNameOf64BytesIsUsedWhole)
{
    host.resize(64, 'x');
    EditServer server(SocketPath(0), 0, true);
    RunResult r = Run({"-n", "/etc/motd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.Request(), "-nowait /etc/motd \n");
}

TEST_F(OrlimClient, HostNameTooLongForSocketPathFallsBack)
{
    const std::string name(150, 'h');
    RunOptions opt;
    opt.env = {"LD_PRELOAD=" ORLIM_SHIM, Preload(), "ORLIM_SHIM_HOSTNAME=" + name};
    const std::string message = client + ": socket path too long for host name " + name + "\n";
    RunResult r = Run({"notes.txt", "-n"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(EditorArgv(), std::vector<std::string>{});

    r = Run({"-a", editor, "notes.txt"}, opt);
    EXPECT_EQ(r.status, 42);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(EditorArgv(), (std::vector<std::string>{editor, "notes.txt"}));
}

TEST_F(OrlimClient, OutOfMemoryWhileQuotingSendsNothingAndEndsWithStatus1)
{
    // Quoting n bytes takes a block of 2n+1.
    const std::string name(1000, 'q');
    EditServer server(SocketPath(0), 0, true);
    RunOptions opt;
    opt.env = {"LD_PRELOAD=" ORLIM_SHIM, Preload(), "ORLIM_SHIM_FAIL_MALLOC=2001"};
    RunResult r = Run({"-n", "/etc/motd", name}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("malloc: ") + strerror(ENOMEM) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server.Request(), ""); // joins the server: connected is settled
    EXPECT_TRUE(server.connected);
}

TEST_F(OrlimClient, WorkingDirectoryTooLongFallsBack)
{
    // 34 levels of 250 bytes: longer than the 8192-byte buffer.
    const std::string level(250, 'd');
    launch = {"bash", "-c",
              "for i in $(seq 34); do mkdir " + level + " && cd " + level + " || exit 99; done; exec \"$@\"", "deep"};
    for (bool alternate : {false, true}) {
        EditServer server(SocketPath(0), 0, true);
        std::vector<std::string> args = {"notes.txt"};
        if (alternate)
            args.insert(args.begin(), {"-a", editor});
        RunResult r = Run(args);
        EXPECT_EQ(r.status, alternate ? 42 : 1);
        EXPECT_EQ(r.err, client + ": Cannot get current working directory (" + strerror(ERANGE) + ")\n");
        const std::vector<std::string> none, used = {editor, "notes.txt"};
        EXPECT_EQ(EditorArgv(), alternate ? used : none);
        EXPECT_EQ(server.Request(), "");
        remove_tree(dir + "/" + level);
    }
}

} // namespace
