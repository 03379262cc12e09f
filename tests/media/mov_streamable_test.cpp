// mov-streamable: the result has its movie header first and the same media;
// every failure gives status 1 and leaves the output path as it was.
#include "run.h"

#include <gtest/gtest.h>
#include <lqt.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {


RunOptions Env(const std::vector<std::string> &env)
{
    RunOptions o;
    o.env = env;
    return o;
}

RunOptions Timeout(double seconds)
{
    RunOptions o;
    o.timeout = seconds;
    return o;
}

RunOptions Cwd(const std::string &dir)
{
    RunOptions o;
    o.cwd = dir;
    return o;
}

const std::string fixtures = std::string(TESTS_SOURCE_DIR) + "/fixtures/media/";

struct Atom {
    uint64_t pos, header, size;
    std::string type;
};

uint64_t Be(const std::string &d, uint64_t pos, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | static_cast<unsigned char>(d.at(pos + i));
    return v;
}

// Atoms in [pos, end); nothing when one of them is not well formed.
std::optional<std::vector<Atom>> Atoms(const std::string &d, uint64_t pos, uint64_t end)
{
    std::vector<Atom> atoms;
    while (pos < end) {
        if (end - pos < 8)
            return std::nullopt;
        Atom a{pos, 8, Be(d, pos, 4), d.substr(pos + 4, 4)};
        if (a.size == 1 && end - pos >= 16)
            a.header = 16, a.size = Be(d, pos + 8, 8);
        else if (a.size == 0)
            a.size = end - pos;
        if (a.size < a.header || a.size > end - pos)
            return std::nullopt;
        atoms.push_back(a);
        pos += a.size;
    }
    return atoms;
}

void CollectOffsets(const std::string &d, const Atom &parent, std::vector<std::vector<uint64_t>> *tracks)
{
    auto children = Atoms(d, parent.pos + parent.header, parent.pos + parent.size);
    ASSERT_TRUE(children) << "inside " << parent.type;
    for (const Atom &a : *children) {
        if (a.type == "trak")
            tracks->emplace_back();
        if (a.type == "trak" || a.type == "mdia" || a.type == "minf" || a.type == "stbl")
            CollectOffsets(d, a, tracks);
        if (a.type == "stco" || a.type == "co64") {
            int width = a.type == "stco" ? 4 : 8;
            uint64_t count = Be(d, a.pos + a.header + 4, 4);
            for (uint64_t i = 0; i < count; i++)
                tracks->back().push_back(Be(d, a.pos + a.header + 8 + i * width, width));
        }
    }
}

struct Layout {
    std::vector<Atom> atoms;
    std::vector<std::vector<uint64_t>> tracks;
};

Layout ReadLayout(const std::string &d)
{
    Layout l;
    auto atoms = Atoms(d, 0, d.size());
    EXPECT_TRUE(atoms) << "top-level atoms not well formed";
    if (!atoms)
        return l;
    l.atoms = *atoms;
    for (const Atom &a : l.atoms)
        if (a.type == "moov")
            CollectOffsets(d, a, &l.tracks);
    return l;
}

// What libquicktime reads: tracks, formats, every compressed video frame and
// the decoded audio samples.
std::string ReadWithLibquicktime(const std::string &path)
{
    quicktime_t *qt = quicktime_open(path.c_str(), 1, 0);
    if (!qt)
        return "cannot open";
    std::string seen;
    for (int t = 0; t < quicktime_video_tracks(qt); t++) {
        long frames = quicktime_video_length(qt, t);
        seen += "video " + std::to_string(quicktime_video_width(qt, t)) + "x"
                + std::to_string(quicktime_video_height(qt, t)) + " " + quicktime_video_compressor(qt, t) + " frames "
                + std::to_string(frames) + "\n";
        for (long f = 0; f < frames; f++) {
            std::string frame(quicktime_frame_size(qt, f, t), '\0');
            quicktime_set_video_position(qt, f, t);
            quicktime_read_frame(qt, reinterpret_cast<unsigned char *>(frame.data()), t);
            seen += frame;
        }
    }
    for (int t = 0; t < quicktime_audio_tracks(qt); t++) {
        long samples = quicktime_audio_length(qt, t);
        int channels = quicktime_track_channels(qt, t);
        seen += "audio " + std::to_string(channels) + "ch " + std::to_string(quicktime_sample_rate(qt, t)) + "Hz "
                + std::to_string(samples) + " samples\n";
        std::vector<std::vector<int16_t>> pcm(channels, std::vector<int16_t>(samples));
        std::vector<int16_t *> heads;
        for (auto &c : pcm)
            heads.push_back(c.data());
        lqt_decode_audio_track(qt, heads.data(), nullptr, samples, t);
        for (auto &c : pcm)
            seen.append(reinterpret_cast<const char *>(c.data()), c.size() * sizeof(int16_t));
    }
    quicktime_close(qt);
    return seen;
}

std::set<std::string> Entries(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

RunResult Convert(const std::string &in, const std::string &out)
{
    return run_program({bin_path("mov-streamable"), in, out});
}

// A fixture movie copied into dir where any user may read it, and the bytes
// it converts to.
std::pair<std::string, std::string> ReadableMovie(const std::string &dir, const std::string &fixture)
{
    const std::string in = dir + "/in.mov";
    write_file(in, read_file(fixtures + fixture));
    chmod(in.c_str(), 0644);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(Convert(in, dir + "/converted.mov").status, 0);
    return {in, read_file(dir + "/converted.mov")};
}

// The result walks cleanly with its movie header before the media data, each
// chunk offset leads to the bytes it led to in the input, and libquicktime
// reads the same movie from both.
void ExpectStreamableCopy(const std::string &inPath, const std::string &outPath, const std::string &expectedTracks)
{
    const std::string in = read_file(inPath), out = read_file(outPath);
    Layout li = ReadLayout(in), lo = ReadLayout(out);
    ASSERT_FALSE(lo.atoms.empty());
    size_t moovs = 0, firstMdat = lo.atoms.size(), moovAt = 0;
    for (size_t i = 0; i < lo.atoms.size(); i++) {
        if (lo.atoms[i].type == "moov")
            moovs++, moovAt = i;
        if (lo.atoms[i].type == "mdat")
            firstMdat = std::min(firstMdat, i);
    }
    EXPECT_EQ(moovs, 1u);
    ASSERT_LT(firstMdat, lo.atoms.size()) << "no media data";
    EXPECT_LT(moovAt, firstMdat) << "movie header after the media data";

    ASSERT_EQ(li.tracks.size(), lo.tracks.size());
    std::vector<std::pair<uint64_t, uint64_t>> moved; // input offset, output offset
    for (size_t t = 0; t < li.tracks.size(); t++) {
        ASSERT_EQ(li.tracks[t].size(), lo.tracks[t].size()) << "track " << t;
        for (size_t c = 0; c < li.tracks[t].size(); c++)
            moved.emplace_back(li.tracks[t][c], lo.tracks[t][c]);
    }
    ASSERT_FALSE(moved.empty());
    std::sort(moved.begin(), moved.end());
    uint64_t mediaEnd = 0;
    for (const Atom &a : li.atoms)
        if (a.type == "mdat" && a.pos <= moved.back().first && moved.back().first < a.pos + a.size)
            mediaEnd = a.pos + a.size;
    for (size_t i = 0; i < moved.size(); i++) {
        uint64_t end = i + 1 < moved.size() ? moved[i + 1].first : mediaEnd;
        uint64_t length = end - moved[i].first;
        ASSERT_LE(moved[i].second + length, out.size());
        EXPECT_TRUE(in.compare(moved[i].first, length, out, moved[i].second, length) == 0)
            << "chunk at " << moved[i].first << " moved to " << moved[i].second;
    }

    std::string before = ReadWithLibquicktime(inPath), after = ReadWithLibquicktime(outPath);
    EXPECT_EQ(before.substr(0, expectedTracks.size()), expectedTracks);
    EXPECT_TRUE(before == after) << "libquicktime reads another movie";
}

TEST(MovStreamable, UsageOnStandardOutput)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string prog = bin_path("mov-streamable");
    const std::string usage = "usage: " + prog + " <in filename> <out filename>\n";
    const std::string in = fixtures + "ffmpeg.mov";
    for (const std::vector<std::string> &argv : std::vector<std::vector<std::string>>{
             {prog}, {prog, in}, {prog, "-h", dir + "/out.mov"}, {prog, "-" + in, dir + "/out.mov"}}) {
        RunResult r = run_program(argv);
        EXPECT_EQ(r.status, 1) << argv.size() << " arguments";
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(Entries(dir).empty());
}

TEST(MovStreamable, FfmpegMovieGetsItsHeaderFirst)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    // An output name that begins with "-" is an output name like any other.
    RunResult r = run_program({bin_path("mov-streamable"), fixtures + "ffmpeg.mov", "-out.mov"}, Cwd(dir));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // The library complains that the header shrank; the gap it left is mended.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Entries(dir), std::set<std::string>{"-out.mov"});
    ExpectStreamableCopy(fixtures + "ffmpeg.mov", dir + "/-out.mov", "video 64x48 jpeg frames 5\n");
}

TEST(MovStreamable, LibquicktimeMovieReplacesAnExistingOutputKeepingItsMode)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string out = dir + "/out.mov";
    write_file(out, "old contents");
    chmod(out.c_str(), 0640);
    RunResult r = Convert(fixtures + "libquicktime.mov", out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Entries(dir), std::set<std::string>{"out.mov"});
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ExpectStreamableCopy(fixtures + "libquicktime.mov", out, "video 64x48 jpeg frames 5\n");
}

// Zero padding or a cut-off fragment after the last atom: the library loses
// the media data of such a movie, so it gets the movie without them.
TEST(MovStreamable, BytesAfterTheLastAtomAreLeftOut)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string movie = read_file(fixtures + "ffmpeg.mov");
    ASSERT_EQ(Convert(fixtures + "ffmpeg.mov", dir + "/plain.mov").status, 0);
    const std::string plain = read_file(dir + "/plain.mov");
    for (const std::string &tail : {std::string(4, '\0'), std::string(100, '\0'), std::string("\0\0\0\x40mo", 5)}) {
        write_file(dir + "/in.mov", movie + tail);
        RunResult r = Convert(dir + "/in.mov", dir + "/out.mov");
        EXPECT_EQ(r.status, 0) << tail.size() << " bytes: " << r.err;
        EXPECT_EQ(r.err, "") << tail.size() << " bytes";
        EXPECT_TRUE(read_file(dir + "/out.mov") == plain) << tail.size() << " bytes";
        EXPECT_EQ(Entries(dir), (std::set<std::string>{"in.mov", "out.mov", "plain.mov"}));
    }
}

TEST(MovStreamable, AlreadyStreamableMovieIsCopiedUnchanged)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string in = fixtures + "ffmpeg-faststart.mov";
    RunResult r = Convert(in, dir + "/out.mov");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(dir + "/out.mov") == read_file(in));
}

TEST(MovStreamable, OutputIntoAPipeGetsTheConvertedMovie)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    RunResult toFile = Convert(fixtures + "ffmpeg.mov", dir + "/out.mov");
    ASSERT_EQ(toFile.status, 0);
    RunResult toPipe =
        run_program({bin_path("mov-streamable"), fixtures + "ffmpeg.mov", "/dev/stdout"}, Env({"TMPDIR=" + dir}));
    EXPECT_EQ(toPipe.status, 0) << toPipe.err;
    EXPECT_TRUE(toPipe.out == read_file(dir + "/out.mov"));
    EXPECT_EQ(Entries(dir), std::set<std::string>{"out.mov"}) << "temporary file left behind";

    RunResult streamable = run_program({bin_path("mov-streamable"), fixtures + "ffmpeg-faststart.mov", "/dev/stdout"});
    EXPECT_EQ(streamable.status, 0);
    EXPECT_TRUE(streamable.out == read_file(fixtures + "ffmpeg-faststart.mov"));
}

TEST(MovStreamable, BrokenResultsAndBadInputsFailLeavingNoOutput)
{
    // nowide: the library moves every chunk offset 8 bytes short of its data;
    // bitexact: the rewritten header grows over the start of the media data.
    for (const char *name : {"ffmpeg-nowide.mov", "ffmpeg-bitexact.mov", "not-a-movie.wav", "sine.ac3"}) {
        TempDir tmp("mov-streamable");
        const std::string &dir = tmp.path;
        RunResult r = Convert(fixtures + name, dir + "/out.mov");
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_NE(r.err, "") << name;
        EXPECT_TRUE(Entries(dir).empty()) << name;
        // The library's complaint, held back until now, comes before ours.
        if (std::string(name).find("ffmpeg") == 0) {
            EXPECT_EQ(r.err.find(bin_path("mov-streamable") + ": [core] error: quicktime_make_streamable: moov size"),
                      0u)
                << r.err;
        }
    }
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    RunResult missing = Convert(dir + "/missing.mov", dir + "/out.mov");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, bin_path("mov-streamable") + ": " + dir + "/missing.mov: No such file or directory\n");
    EXPECT_TRUE(Entries(dir).empty());
}

// libquicktime trusts the tables' counts: a count past its table made it loop
// for ever or crash, so such movies are refused before it runs.
TEST(MovStreamable, DamagedSampleTablesAreRefused)
{
    const std::string original = read_file(fixtures + "ffmpeg.mov");
    struct {
        const char *table;
        size_t at; // from the start of the atom
        std::string bytes;
    } damages[] = {
        {"stsc", 12, std::string("\x00\x00\x03\xe8", 4)}, // 1000 entries in a table of one
        {"stsz", 16, std::string("\xff\xff\xff\xff", 4)},
        {"stsd", 12, std::string("\x00\x00\x00\x02", 4)},
        {"stts", 4, "xxxx"}, // the track's time-to-sample table gone
    };
    for (const auto &damage : damages) {
        TempDir tmp("mov-streamable");
        const std::string &dir = tmp.path;
        std::string movie = original;
        size_t atom = movie.find(damage.table, movie.find("moov")) - 4;
        movie.replace(atom + damage.at, damage.bytes.size(), damage.bytes);
        write_file(dir + "/in.mov", movie);
        RunResult r = run_program({bin_path("mov-streamable"), dir + "/in.mov", dir + "/out.mov"}, Timeout(20));
        EXPECT_FALSE(r.timed_out) << damage.table;
        EXPECT_EQ(r.status, 1) << damage.table;
        EXPECT_EQ(r.out, "") << damage.table;
        EXPECT_EQ(Entries(dir), std::set<std::string>{"in.mov"}) << damage.table;
    }
}

TEST(MovStreamable, FailureLeavesAnExistingOutputAsItWas)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    write_file(dir + "/out.mov", "precious");
    RunResult r = Convert(fixtures + "ffmpeg-nowide.mov", dir + "/out.mov");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir + "/out.mov"), "precious");
    EXPECT_EQ(Entries(dir), std::set<std::string>{"out.mov"});
}

TEST(MovStreamable, SameFileUnderAnyNameIsRefused)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string movie = dir + "/movie.mov", original = read_file(fixtures + "ffmpeg.mov");
    write_file(movie, original);
    ASSERT_EQ(link(movie.c_str(), (dir + "/hard.mov").c_str()), 0);
    ASSERT_EQ(symlink("movie.mov", (dir + "/soft.mov").c_str()), 0);
    for (const char *other : {"movie.mov", "hard.mov", "soft.mov", "./movie.mov"}) {
        RunResult r = Convert(movie, dir + "/" + other);
        EXPECT_EQ(r.status, 1) << other;
        EXPECT_EQ(r.out, "") << other;
        EXPECT_NE(r.err.find("are the same file"), std::string::npos) << other << ": " << r.err;
    }
    EXPECT_TRUE(read_file(movie) == original);
    EXPECT_EQ(Entries(dir), (std::set<std::string>{"movie.mov", "hard.mov", "soft.mov"}));
}

TEST(MovStreamable, UnwritableOrFullOutputFails)
{
    TempDir tmp("mov-streamable");
    const std::string &dir = tmp.path;
    const std::string in = fixtures + "ffmpeg.mov";

    RunResult noDir = Convert(in, dir + "/no/such/dir/out.mov");
    EXPECT_EQ(noDir.status, 1);
    EXPECT_EQ(noDir.out, "");

    RunResult full = Convert(in, "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, "");
    EXPECT_NE(full.err.find("/dev/full: No space left on device"), std::string::npos) << full.err;

    // A disk that fills up half way, as the file size limit makes it.
    RunResult limited = run_program({"prlimit", "--fsize=6000", bin_path("mov-streamable"), in, dir + "/out.mov"});
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.out, "");
    EXPECT_TRUE(Entries(dir).empty()) << "output or temporary file left behind";
}

} // namespace

namespace {

// An ordinary user (65534) writing over outputs that root set up: each keeps
// its inode, owner, group, mode and links, or is refused as the system
// refuses it; no temporary file stays, beside the output or in TMPDIR.
TEST(MovStreamable, ExistingOutputKeepsItsIdentity)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: files of other users";
    const uid_t nobody = 65534;
    TempDir tmp("mov-streamable");
    const auto [in, converted] = ReadableMovie(tmp.path, "ffmpeg.mov");
    const std::string tmpdir = tmp.path + "/tmp";
    ASSERT_EQ(mkdir(tmpdir.c_str(), 0700), 0);
    ASSERT_EQ(chown(tmpdir.c_str(), nobody, nobody), 0);

    struct {
        const char *what;
        uid_t owner;
        mode_t mode;
        bool second_link, folder_writable;
        int status;
    } cases[] = {
        {"read-only", nobody, 0444, false, true, 1},
        {"another user's", 0, 0666, false, true, 0},
        {"with a second link", nobody, 0644, true, true, 0},
        {"in a folder the user may not write", nobody, 0664, false, false, 0},
    };
    for (const auto &c : cases) {
        const std::string dir = tmp.path + "/" + c.what, out = dir + "/out.mov";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(chown(dir.c_str(), c.folder_writable ? nobody : 0, 0), 0);
        write_file(out, "old contents");
        ASSERT_EQ(chown(out.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), (dir + "/link.mov").c_str()), 0);
        }
        struct stat before, after;
        ASSERT_EQ(stat(out.c_str(), &before), 0);

        RunResult r = run_program(
            {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", bin_path("mov-streamable"), in, out},
            Env({"TMPDIR=" + tmpdir}));
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, c.status ? bin_path("mov-streamable") + ": " + out + ": Permission denied\n" : "") << c.what;
        EXPECT_TRUE(read_file(out) == (c.status ? "old contents" : converted)) << c.what;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        EXPECT_EQ(after.st_uid, before.st_uid) << c.what;
        EXPECT_EQ(after.st_gid, before.st_gid) << c.what;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
        EXPECT_EQ(after.st_nlink, before.st_nlink) << c.what;
        EXPECT_EQ(Entries(dir).size(), c.second_link ? 2u : 1u) << c.what;
        EXPECT_TRUE(Entries(tmpdir).empty()) << c.what;
    }
}

// A tmpfs of its own that a test can fill; unmounted however the test ends.
struct SmallDisk {
    TempDir tmp{"mov-streamable"};
    std::string dir = tmp.path + "/disk";
    bool mounted = mkdir(dir.c_str(), 0755) == 0 && mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    ~SmallDisk()
    {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
    }
    uint64_t room() const
    {
        struct statvfs vfs;
        return statvfs(dir.c_str(), &vfs) == 0 ? uint64_t(vfs.f_bavail) * vfs.f_bsize : 0;
    }
};

// An output written into, on a disk with room for the converted movie beside
// it but not for both: the missing space is found before the output's first
// byte is overwritten.
TEST(MovStreamable, OutputWrittenIntoKeepsItsBytesOnAFullDisk)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a tmpfs mount and files of other users";
    TempDir tmp("mov-streamable");
    const auto [in, converted] = ReadableMovie(tmp.path, "libquicktime.mov");
    const uint64_t page = 4096, pages = (converted.size() + page - 1) / page;
    ASSERT_GE(pages, 3u);

    struct {
        const char *what;
        bool as_root, second_link;
    } cases[] = {
        {"with a second link, by its owner", false, true},
        {"another user's, by root", true, false},
    };
    for (const auto &c : cases) {
        SmallDisk disk;
        if (!disk.mounted)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        const std::string out = disk.dir + "/out.mov";
        chmod(disk.tmp.path.c_str(), 0755);
        ASSERT_EQ(chown(disk.dir.c_str(), 65534, 65534), 0);
        write_file(out, "old contents");
        ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), (disk.dir + "/link.mov").c_str()), 0);
        }
        // Room for the converted movie beside the output, and one page more.
        const uint64_t room = (pages + 1) * page;
        ASSERT_GT(disk.room(), room);
        write_file(disk.dir + "/filler", std::string(disk.room() - room, '\0'));
        std::vector<std::string> argv = {bin_path("mov-streamable"), in, out};
        if (!c.as_root)
            argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});

        RunResult r = run_program(argv);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, bin_path("mov-streamable") + ": " + out + ": No space left on device\n") << c.what;
        EXPECT_TRUE(read_file(out) == "old contents") << c.what;
        EXPECT_EQ(Entries(disk.dir).size(), c.second_link ? 3u : 2u) << c.what;
        EXPECT_EQ(disk.room(), room) << c.what << ": space still held";
    }
}

// An ACL or another extended attribute stays with the output: it is written
// into, since a rename would put a file without them in its place.
TEST(MovStreamable, OutputKeepsItsAclAndExtendedAttributes)
{
    TempDir tmp("mov-streamable");
    const auto [in, converted] = ReadableMovie(tmp.path, "ffmpeg.mov");
    // user::rw- user:65534:rw- group::r-- mask::rw- other::---
    const std::string acl("\x02\0\0\0"
                          "\x01\0\x06\0\xff\xff\xff\xff"
                          "\x02\0\x06\0\xfe\xff\0\0"
                          "\x04\0\x04\0\xff\xff\xff\xff"
                          "\x10\0\x06\0\xff\xff\xff\xff"
                          "\x20\0\0\0\xff\xff\xff\xff",
                          44);
    struct {
        const char *name;
        std::string value;
    } cases[] = {{"system.posix_acl_access", acl}, {"user.origin", "camera 2"}};
    for (const auto &c : cases) {
        const std::string out = tmp.path + "/" + c.name + ".mov";
        write_file(out, "old contents");
        ASSERT_EQ(chmod(out.c_str(), 0640), 0);
        if (setxattr(out.c_str(), c.name, c.value.data(), c.value.size(), 0) != 0)
            GTEST_SKIP() << c.name << ": " << strerror(errno);
        struct stat before, after;
        ASSERT_EQ(stat(out.c_str(), &before), 0);

        RunResult r = Convert(in, out);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_TRUE(read_file(out) == converted) << c.name;
        std::string kept(64, '\0');
        ssize_t n = getxattr(out.c_str(), c.name, kept.data(), kept.size());
        EXPECT_EQ(kept.substr(0, n < 0 ? 0 : size_t(n)), c.value) << c.name;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
    }
}

} // namespace
