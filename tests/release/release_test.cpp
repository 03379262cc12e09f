// What a user of a release meets: an installed tree that works on its own,
// and manual pages that quote the programs' texts as the programs print them.
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

static const std::string man_dir = SOURCE_DIR "/man/";

// "aspect-detect:1 kbdpoke:8 ...": the programs built here and their sections.
static std::vector<std::pair<std::string, std::string>> built_programs()
{
    std::vector<std::pair<std::string, std::string>> programs;
    std::istringstream words(RELEASE_PROGRAMS);
    std::string word;
    while (words >> word) {
        auto colon = word.find(':');
        programs.emplace_back(word.substr(0, colon), word.substr(colon + 1));
    }
    return programs;
}

// Installs the build as `make install PREFIX=/usr DESTDIR=dir` does.
static std::string install_tree(const std::string &tag)
{
    std::string dir = make_temp_dir(tag);
    RunOptions opt;
    opt.env = {"DESTDIR=" + dir};
    auto r = run_program({CMAKE_EXECUTABLE, "--install", BUILD_ROOT, "--prefix", "/usr"}, opt);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return dir;
}

static bool executable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

TEST(Install, EveryProgramAndItsPageLandWhereTheyBelong)
{
    std::string dir = install_tree("release-install");
    std::string usr = dir + "/usr";
    auto programs = built_programs();
    ASSERT_FALSE(programs.empty());

    for (const auto &[name, section] : programs) {
        std::string bin = section == "8" ? "/sbin/" : "/bin/";
        EXPECT_TRUE(executable(usr + bin + name)) << name << " not in " << bin;
        std::string page = name + "." + section;
        std::string installed = usr + "/share/man/man" + section + "/" + page;
        ASSERT_TRUE(file_exists(installed)) << installed;
        EXPECT_EQ(read_file(installed), read_file(man_dir + page)) << page;
    }
    // Nothing lands in bin or sbin without a page.
    for (const char *bin : {"/bin", "/sbin"}) {
        if (!fs::exists(usr + bin))
            continue;
        for (const auto &entry : fs::directory_iterator(usr + bin)) {
            std::string name = entry.path().filename();
            EXPECT_TRUE(file_exists(usr + "/share/man/man1/" + name + ".1")
                        || file_exists(usr + "/share/man/man8/" + name + ".8"))
                << "no page for " << bin << "/" << name;
        }
    }
    // The launcher looks for its library in ../lib.
    EXPECT_TRUE(file_exists(usr + "/lib/libdevsim.so"));
    EXPECT_EQ(read_file(usr + "/share/doc/settop-tools/devsim/README.md"), read_file(SOURCE_DIR "/devsim/README.md"));

    // Examples keep their contents and their execute bits.
    std::string examples = SOURCE_DIR "/examples";
    if (fs::exists(examples)) {
        int files = 0;
        for (const auto &entry : fs::recursive_directory_iterator(examples)) {
            if (!entry.is_regular_file())
                continue;
            files++;
            std::string rel = fs::relative(entry.path(), examples);
            std::string installed = usr + "/share/doc/settop-tools/examples/" + rel;
            ASSERT_TRUE(file_exists(installed)) << rel;
            EXPECT_EQ(read_file(installed), read_file(entry.path()));
            auto mode = [](const std::string &p) { return fs::status(p).permissions() & fs::perms::owner_exec; };
            EXPECT_EQ(mode(installed), mode(entry.path())) << rel;
        }
        EXPECT_GT(files, 0);
    }
    remove_tree(dir);
}

TEST(Install, InstalledProgramsAndDevsimRunFromTheTree)
{
    std::string dir = install_tree("release-run");
    std::string bin = dir + "/usr/bin/";

    auto version = run_program({bin + "babconv", "-V"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out.substr(0, version.out.find('\n') + 1), "babconv (Vantor Orlim 21.4)\n");

    // The installed launcher must find the installed library (nothing points
    // it at the build tree) and play the mixer for an installed program.
    write_file(dir + "/box.scn", "mixer /dev/dsp cd=0x4b4b\n");
    RunOptions opt;
    opt.env = {"DEBUG=", "DEVSIM_LIBRARY", "LD_PRELOAD"};
    auto r = run_program(
        {bin + "devsim", dir + "/box.scn", "--trace", dir + "/run.trace", "--", bin + "cd-level-refresh"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "READ_CD returned 19275\n");
    EXPECT_NE(read_file(dir + "/run.trace").find("SOUND_MIXER_WRITE_CD /dev/dsp level=0x4b4b -> 0\n"),
              std::string::npos)
        << read_file(dir + "/run.trace");
    remove_tree(dir);
}

// The page as a reader sees it: one entry per line, without the overstrike
// of bold and underlined text and without indentation.
static std::set<std::string> rendered_lines(const std::string &page)
{
    auto r = run_program({MANDOC_EXECUTABLE, "-Tascii", man_dir + page});
    EXPECT_EQ(r.status, 0) << page << ": " << r.err;
    std::string plain;
    for (size_t i = 0; i < r.out.size(); i++) {
        if (i + 1 < r.out.size() && r.out[i + 1] == '\b')
            i++;
        else
            plain += r.out[i];
    }
    std::set<std::string> lines;
    std::istringstream in(plain);
    std::string line;
    while (std::getline(in, line)) {
        auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos)
            lines.insert(line.substr(first, line.find_last_not_of(" \t") + 1 - first));
    }
    return lines;
}

struct Quote {
    std::string page;
    std::vector<std::string> argv; // run by name, so argv[0] is the plain name
    const char *scenario;          // run under devsim with this scenario, or not at all (null)
    int status;
};

TEST(ManPages, UsageAndMessageLinesAreQuotedAsTheProgramsPrintThem)
{
    std::string dir = make_temp_dir("release-quotes");
    write_file(dir + "/logo.mpg", "not really a picture");
    std::string logo = dir + "/logo.mpg";
    const char *none = nullptr;
    const char *empty = "";
    std::vector<Quote> quotes = {
        {"aspect-detect.1", {"aspect-detect"}, empty, 0},
        {"aspect-detect.1", {"aspect-detect", "-x"}, empty, 0},
        {"aspect-detect.1", {"aspect-detect", "-e"}, empty, 0},
        {"aspect-detect.1", {"aspect-detect", "foo"}, empty, 0},
        {"aspect-detect.1", {"aspect-detect", "-s", "-3"}, empty, 0},
        {"wss-signal.1", {"wss-signal", "a", "b"}, none, 99},
        {"wss-signal.1", {"wss-signal"}, empty, 1},
        {"still-show.1", {"still-show"}, none, 255},
        {"still-show.1", {"still-show", "/nonexistent/logo.mpg"}, none, 255},
        {"still-show.1", {"still-show", logo}, empty, 255},
        {"still-show.1", {"still-show", logo, "-1"}, empty, 255},
        {"cd-level-refresh.1", {"cd-level-refresh"}, empty, 1},
        {"cd-level-refresh.1", {"cd-level-refresh"}, "mixer /dev/dsp cd=none\n", 1},
        {"mov-streamable.1", {"mov-streamable"}, none, 1},
        {"dvd-disc-id.1", {"dvd-disc-id"}, none, 1},
        {"dvd-title-info.1", {"dvd-title-info"}, none, 1},
        {"babconv.1", {"babconv", "-h"}, none, 0},
        {"babconv.1", {"babconv", "-V"}, none, 0},
        {"babconv.1", {"babconv"}, none, 1},
        {"orlimclient.1", {"orlimclient", "-H"}, none, 1},
        {"orlimclient.1", {"orlimclient", "-V"}, none, 1},
        {"keyshot.1", {"keyshot", "-count"}, none, 1},
        {"keyshot.1", {"keyshot", "-x"}, none, 1},
        {"keyshot.1", {"keyshot", "Contrl"}, none, 1},
        {"keyshot.1", {"keyshot"}, none, 1},
        {"key-chord.1", {"key-chord", "a"}, none, 1},
        {"keycode-send.1", {"keycode-send", "38"}, none, 1},
        {"devsim.1", {"devsim"}, none, 125},
    };
    for (const auto &[name, section] : built_programs())
        if (name == "kbdpoke")
            quotes.push_back({"kbdpoke.8", {"kbdpoke"}, empty, 0});

    RunOptions opt;
    opt.env = {"PATH=" BIN_DIR ":/usr/bin:/bin", "DISPLAY", "DEVSIM_LIBRARY", "LD_PRELOAD"};
    for (const Quote &q : quotes) {
        std::vector<std::string> argv = q.argv;
        if (q.scenario) {
            write_file(dir + "/box.scn", q.scenario);
            argv.insert(argv.begin(), {"devsim", dir + "/box.scn", "--"});
        }
        std::string what = q.argv[0] + (q.argv.size() > 1 ? " " + q.argv[1] : "");
        auto r = run_program(argv, opt);
        EXPECT_EQ(r.status, q.status) << what << ": " << r.err;
        std::string printed = r.out + "\n" + r.err;
        // A quote that printed nothing would prove nothing.
        EXPECT_NE(printed.find_first_not_of(" \n"), std::string::npos) << what;

        auto page = rendered_lines(q.page);
        std::istringstream lines(printed);
        std::string line;
        while (std::getline(lines, line)) {
            auto first = line.find_first_not_of(" \t");
            if (first == std::string::npos)
                continue;
            line = line.substr(first, line.find_last_not_of(" \t") + 1 - first);
            EXPECT_TRUE(page.count(line)) << q.page << " lacks the line printed by " << what << ":\n" << line;
        }
    }
    remove_tree(dir);
}
