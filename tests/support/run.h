// Run a built program as a user would, and collect what it did.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;        // exit status; 128 + signal number when killed by a signal
    bool signaled = false;  // ended by a signal
    bool timed_out = false; // killed by run_program after the timeout
    std::string out;
    std::string err;
};

struct RunOptions {
    std::optional<std::string> input = {}; // bytes on standard input; none: /dev/null
    std::vector<std::string> env = {};     // "NAME=VALUE" to set, "NAME" alone to unset
    std::string cwd = {};                  // working directory; empty: inherit
    double timeout = 30.0;                 // seconds before SIGKILL
    bool close_stdin = false;              // standard input closed instead of /dev/null
};

// argv[0] is looked up as given (an absolute path, or by PATH via execvp).
// TEST_WRAPPER in the environment (words such as "valgrind -q") is put in front of
// the tool-set program, also behind devsim's "--"; TEST_TIMEOUT_SCALE stretches timeouts.
RunResult run_program(const std::vector<std::string> &argv, const RunOptions &opt = {});

// Path of a program built into build/bin.
std::string bin_path(const std::string &program);
// Path of a helper built beside the tests.
std::string test_bin_path(const std::string &helper);

// A fresh empty directory under $TMPDIR (or /tmp), removed by remove_tree.
std::string make_temp_dir(const std::string &tag);
void remove_tree(const std::string &path);

// A fresh temporary directory, removed however the test ends.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string &tag)
        : path(make_temp_dir(tag))
    {
    }
    ~TempDir() { remove_tree(path); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
