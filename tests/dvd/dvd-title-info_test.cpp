// dvd-title-info against real DVD-Video fixtures (see tests/fixtures/dvd).
#include <gtest/gtest.h>

#include "run.h"

static const std::string fixtures = TESTS_SOURCE_DIR "/fixtures/dvd";
// In a sanitized build, pardon the library's own leak on a failed open.
static const RunOptions failed_open = [] {
    RunOptions opt;
    opt.env = {"LSAN_OPTIONS=print_suppressions=0:suppressions=" TESTS_SOURCE_DIR "/dvd/libdvdread-open.supp"};
    return opt;
}();

static RunResult Info(const std::string &disc, const std::string &title)
{
    return run_program({bin_path("dvd-title-info"), disc, title});
}

static bool StartsWith(const std::string &text, const std::string &head)
{
    return text.compare(0, head.size(), head) == 0;
}

TEST(DvdTitleInfo, ReportsManagerAndTitleSetAlikeForFolderAndImage)
{
    RunResult vmg = Info(fixtures + "/pattern", "0");
    EXPECT_EQ(vmg.status, 0);
    EXPECT_TRUE(StartsWith(vmg.out, "Local ifo_print\nVMG top level\n-------------\n"
                                    "VMG Identifier: DVDVIDEO-VMG\n"))
        << vmg.out;
    EXPECT_NE(vmg.out.find("\nVMG Number of Title Sets 1\n"), std::string::npos);
    RunResult vts = Info(fixtures + "/pattern", "1");
    EXPECT_EQ(vts.status, 0);
    EXPECT_TRUE(StartsWith(vts.out, "Local ifo_print\nVTS top level\n-------------\n"
                                    "VTS Identifier: DVDVIDEO-VTS\n"))
        << vts.out;
    // Library warnings go to standard error, never into the report.
    EXPECT_EQ(vts.out.find("libdvdread"), std::string::npos);
    EXPECT_NE(vts.err.find("libdvdread: "), std::string::npos);

    EXPECT_EQ(Info(fixtures + "/pattern.iso", "0").out, vmg.out);
    EXPECT_EQ(Info(fixtures + "/pattern.iso", "1").out, vts.out);
}

TEST(DvdTitleInfo, TitleNumberIsItsLeadingDigits)
{
    std::string disc = fixtures + "/ten-sets";
    RunResult vmg = Info(disc, "0"), second = Info(disc, "2"), tenth = Info(disc, "10");
    EXPECT_NE(vmg.out.find("\nVMG Number of Title Sets 10\n"), std::string::npos) << vmg.out;
    EXPECT_NE(second.out.find("VTS top level"), std::string::npos);
    EXPECT_NE(tenth.out.find("VTS top level"), std::string::npos);
    EXPECT_NE(second.out, tenth.out);
    EXPECT_EQ(Info(disc, "2x").out, second.out);
    EXPECT_EQ(Info(disc, "abc").out, vmg.out);
}

TEST(DvdTitleInfo, MissingTitlesPrintNoReportButSucceed)
{
    // 4294967297 and -4294967296 would wrap round to titles 1 and 0 as an int.
    for (const char *title : {"2", "-1", "4294967297", "-4294967296"}) {
        RunResult r = Info(fixtures + "/pattern", title);
        EXPECT_EQ(r.status, 0) << title;
        EXPECT_EQ(r.out.find("top level"), std::string::npos) << title << "\n" << r.out;
        EXPECT_NE(r.err.find("Can't open info file for title"), std::string::npos) << r.err;
    }
}

TEST(DvdTitleInfo, WrongArgumentCountsGiveUsage)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"a"}, {"a", "1", "b"}}) {
        args.insert(args.begin(), bin_path("dvd-title-info"));
        RunResult r = run_program(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: " + bin_path("dvd-title-info") + " <dvd path> <title number>\n");
    }
}

TEST(DvdTitleInfo, OnlyAMissingDiscFailsToOpen)
{
    TempDir tmp("dvd-title-info");
    const std::string &dir = tmp.path;
    RunResult r = run_program({bin_path("dvd-title-info"), dir + "/no-such-disc", "1"}, failed_open);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), "Can't open disc " + dir + "/no-such-disc!\n");

    // The library takes any existing directory or file for a disc image.
    write_file(dir + "/notes.txt", "not a disc\n");
    for (const std::string &path : {dir, dir + "/notes.txt"}) {
        r = Info(path, "0");
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.out.find("top level"), std::string::npos) << r.out;
    }
}

TEST(DvdTitleInfo, LostReportIsAFailure)
{
    RunResult r =
        run_program({"sh", "-c", "exec \"$0\" \"$1\" 1 >/dev/full", bin_path("dvd-title-info"), fixtures + "/pattern"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(": error writing standard output: No space left on device\n"), std::string::npos) << r.err;
}
