// dvd-disc-id against real DVD-Video fixtures (see tests/fixtures/dvd).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "run.h"

static const std::string fixtures = TESTS_SOURCE_DIR "/fixtures/dvd";
// In a sanitized build, pardon the library's own leak on a failed open.
static const RunOptions failed_open = [] {
    RunOptions opt;
    opt.env = {"LSAN_OPTIONS=print_suppressions=0:suppressions=" TESTS_SOURCE_DIR "/dvd/libdvdread-open.supp"};
    return opt;
}();

// The identifier worked out without the library: MD5 (by md5sum) of
// VIDEO_TS.IFO and the title sets' IFO files, at most ten files, each cut to
// whole 2048-byte sectors.
static std::string ExpectedId(const std::string &video_ts, int title_sets)
{
    std::string bytes;
    for (int i = 0; i <= title_sets && i < 10; i++) {
        char name[32];
        snprintf(name, sizeof name, i == 0 ? "/VIDEO_TS.IFO" : "/VTS_%02d_0.IFO", i);
        std::string ifo = read_file(video_ts + name);
        bytes += ifo.substr(0, ifo.size() / 2048 * 2048);
    }
    RunOptions opt;
    opt.input = bytes;
    RunResult md5 = run_program({"md5sum"}, opt);
    EXPECT_EQ(md5.status, 0);
    return md5.out.substr(0, 32) + "\n";
}

static std::string LastLine(const std::string &text)
{
    size_t start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    return start == std::string::npos ? text : text.substr(start + 1);
}

TEST(DvdDiscId, PrintsMd5OfIfoFilesForFolderVideoTsAndImage)
{
    std::string expected = ExpectedId(fixtures + "/pattern/VIDEO_TS", 1);
    ASSERT_EQ(expected.size(), 33u);
    for (const char *disc : {"/pattern", "/pattern/VIDEO_TS", "/pattern.iso"}) {
        RunResult r = run_program({bin_path("dvd-disc-id"), fixtures + disc});
        EXPECT_EQ(r.status, 0) << disc << "\n" << r.err;
        EXPECT_EQ(r.out, expected) << disc;
    }
    // The image really carries the folder's IFO files, so the same id is earned.
    std::string iso = read_file(fixtures + "/pattern.iso");
    for (const char *ifo : {"/VIDEO_TS.IFO", "/VTS_01_0.IFO"})
        EXPECT_NE(iso.find(read_file(fixtures + "/pattern/VIDEO_TS" + ifo)), std::string::npos) << ifo;
}

TEST(DvdDiscId, TenTitleSetsHashManagerAndFirstNineSets)
{
    RunResult r = run_program({bin_path("dvd-disc-id"), fixtures + "/ten-sets"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, ExpectedId(fixtures + "/ten-sets/VIDEO_TS", 10));
    // This id begins with byte 0x04: its leading zero must be printed.
    ASSERT_EQ(r.out.size(), 33u);
    EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), 32u);
}

TEST(DvdDiscId, WrongArgumentCountsGiveUsage)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"a", "b"}}) {
        args.insert(args.begin(), bin_path("dvd-disc-id"));
        RunResult r = run_program(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: " + bin_path("dvd-disc-id") + " <dvd path>\n");
    }
}

TEST(DvdDiscId, FailuresReportOnStderrOnly)
{
    TempDir tmp("dvd-disc-id");
    const std::string &dir = tmp.path;
    std::string missing = dir + "/no-such-disc", empty = dir + "/empty", text = dir + "/notes.txt";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    write_file(text, std::string(100000, 'x'));

    RunResult r = run_program({bin_path("dvd-disc-id"), missing}, failed_open);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(LastLine(r.err), "Can't open disc '" + missing + "': No such file or directory\n");

    for (const std::string &path : {empty, text}) {
        r = run_program({bin_path("dvd-disc-id"), path});
        EXPECT_EQ(r.status, 255) << path;
        EXPECT_EQ(r.out, "") << path;
        EXPECT_EQ(LastLine(r.err).rfind("Error getting disc id from disc '" + path + "': ", 0), 0u) << r.err;
        // The library's own complaints are kept, on standard error.
        EXPECT_NE(r.err.find("libdvdread: "), std::string::npos);
    }
}

TEST(DvdDiscId, LostOutputIsAFailure)
{
    RunResult r =
        run_program({"sh", "-c", "exec \"$0\" \"$1\" >/dev/full", bin_path("dvd-disc-id"), fixtures + "/pattern"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(LastLine(r.err), bin_path("dvd-disc-id") + ": error writing standard output: No space left on device\n");
}
