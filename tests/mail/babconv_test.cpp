// End-to-end tests of babconv: Babyl text in, mailbox text out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "run.h"

namespace {

const std::string kHead = "BABYL OPTIONS: -*- rmail -*-\nVersion: 5\nLabels: work\n";
const std::string kStart = "\x1f\x0c\n";

std::string babconv()
{
    return bin_path("babconv");
}

RunOptions fed(const std::string &input)
{
    RunOptions o;
    o.input = input;
    return o;
}

std::string ctime_text(time_t t)
{
    char buf[64];
    return ctime_r(&t, buf);
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// One message: label line, stored header, marker, visible header, empty line, body.
std::string message(const std::string &labels, const std::string &visible, const std::string &body)
{
    return kStart + labels + "\nFrom: a@example.org\nSubject: stored\n*** EOOH ***\n" + visible + "\n" + body;
}

// Megabytes of output: name the first difference instead of printing both.
void expect_same(const std::string &got, const std::string &want)
{
    if (got == want)
        return;
    size_t at =
        std::mismatch(got.begin(), got.begin() + std::min(got.size(), want.size()), want.begin()).first - got.begin();
    ADD_FAILURE() << "output differs at byte " << at << " of " << got.size() << " (expected " << want.size()
                  << ")\n got: " << testing::PrintToString(got.substr(at > 40 ? at - 40 : 0, 80))
                  << "\nwant: " << testing::PrintToString(want.substr(at > 40 ? at - 40 : 0, 80));
}

// Compares a run's output with `expected`, in which "FROM\n" stands for the
// separator line. Its date is the start time, so it must be one of the
// seconds the run took, the same on every separator.
void expect_output(const RunResult &r, time_t before, time_t after, const std::string &expected)
{
    std::string prefix = "From \"Babyl to mail by " + babconv() + "\" ";
    std::string separator = prefix + ctime_text(before);
    for (time_t t = before; t <= after; t++)
        if (r.out.compare(0, prefix.size() + 25, prefix + ctime_text(t)) == 0)
            separator = prefix + ctime_text(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_same(r.out, replace_all(expected, "FROM\n", separator));
}

void expect_conversion(const std::string &input, const std::string &expected)
{
    time_t before = time(nullptr);
    RunResult r = run_program({babconv()}, fed(input));
    expect_output(r, before, time(nullptr), expected);
}

// Runs babconv under sh, so that its standard output can be redirected.
RunResult run_in_shell(const std::string &script, const std::string &input, const std::string &arg = "")
{
    return run_program({"sh", "-c", script, babconv(), arg}, fed(input));
}

std::string many_lines(int count)
{
    std::string body;
    for (int i = 0; i < count; i++)
        body += "body line " + std::to_string(i) + " of a long message\n";
    return body;
}

TEST(Babconv, ConvertsEachMessageToSeparatorVisibleHeaderLabelsAndBody)
{
    expect_conversion(
        kHead + message("1, answered,, work,", "Subject: hi\n", "Hello\n")
            + message("0, unseen,,", "Subject: second\nTo: b@example.org\n", "line one\n\nFrom the body, quoted\n")
            + "\x1f",
        "FROM\nSubject: hi\nX-Babyl-Labels: answered, work\n\nHello\n"
        "FROM\nSubject: second\nTo: b@example.org\nX-Babyl-Labels: unseen\n\n"
        "line one\n\n>From the body, quoted\n");
}

TEST(Babconv, LinesBeginningWithFromGetOneMoreQuote)
{
    const std::pair<std::string, std::string> lines[] = {
        {"From a@b Mon Jan  1", ">From a@b Mon Jan  1"},
        {">From x", ">>From x"},
        {">>>From ", ">>>>From "},
        {"From x\r", ">From x"},
        {"From", "From"},
        {"From:", "From:"},
        {" From x", " From x"},
        {"> From x", "> From x"},
        {"x>From x", "x>From x"},
        {"\x1f"
         "From x",
         "\x1f"
         "From x"},
    };
    std::string in, out;
    for (const auto &[line, quoted] : lines) {
        in += line + "\n";
        out += quoted + "\n";
    }
    // in the visible header and in the body
    expect_conversion(kHead + message("1,, work,", "S: x\n" + in, in) + "\x1f",
                      "FROM\nS: x\n" + out + "X-Babyl-Labels: work\n\n" + out);
    // thousands of pieces to put together in one block
    std::string many_in, many_out;
    for (int i = 0; i < 3000; i++) {
        many_in += in;
        many_out += out;
    }
    expect_conversion(kHead + message("1,, work,", "S: x\n", many_in),
                      "FROM\nS: x\nX-Babyl-Labels: work\n\n" + many_out);
}

TEST(Babconv, LabelsLineTakesEveryTokenButTheFirst)
{
    const std::pair<std::string, std::string> cases[] = {
        {"0,", "X-Babyl-Labels: "},         {"", "X-Babyl-Labels: "},
        {"1,,,, ,", "X-Babyl-Labels: "},    {"1, deleted,, a\tb,c\rd", "X-Babyl-Labels: deleted, a, b, c, d"},
        {"1 only", "X-Babyl-Labels: only"},
    };
    for (const auto &[labels, line] : cases) {
        SCOPED_TRACE(labels);
        expect_conversion(kHead + message(labels, "S: x\n", "b\n"), "FROM\nS: x\n" + line + "\n\nb\n");
    }
    // a message start on the last line: nothing to print, nothing to fail
    expect_conversion(kHead + "\x1f\x0c", "");
}

TEST(Babconv, MarkersCountOnlyWhereTheyAreMarkers)
{
    // no marker: no output; a marker with a trailing space is none;
    // a second marker, lines after the end marker, and 0x1F with another
    // byte are body lines
    expect_conversion(kHead + kStart + "1,,\nSubject: none\n\nhidden body\n" + kStart
                          + "1,, x,\n*** EOOH *** \nSubject: hidden too\n"
                          + message("0,, y,", "Subject: shown\n",
                                    "*** EOOH ***\n\x1f\nafter the end marker\n\x1f"
                                    "A stays\n"),
                      "FROM\nSubject: shown\nX-Babyl-Labels: y\n\n"
                      "*** EOOH ***\nafter the end marker\n\x1f"
                      "A stays\n");
    // a marker before any message starts printing, without a labels line
    expect_conversion("BABYL OPTIONS:\n*** EOOH ***\nA: b\n\nbody\n", "FROM\nA: b\n\nbody\n");
}

TEST(Babconv, LineEndsBecomeLfAndOtherCrsStay)
{
    std::string lf = kHead + message("1,, work,", "Subject: hi\n", "Hello\n\nBye\n");
    std::string out = "FROM\nSubject: hi\nX-Babyl-Labels: work\n\nHello\n\nBye\n";
    expect_conversion(lf, out);
    expect_conversion(replace_all(lf, "\n", "\r\n"), out);
    // a lone CR, CR CR LF, and input ending right after a CR
    expect_conversion(lf + "a\rb\r\nc\r\r\nend\r", out + "a\rb\nc\r\nend\r\n");
    // the last line needs no line end
    expect_conversion(lf + "last", out + "last\n");
}

TEST(Babconv, LinesSplitAcrossInputBlocksAreReadWhole)
{
    // every CR sits on the last byte of a power-of-two block from 4 KiB to
    // 1 MiB, its LF on the first byte of the next block; a "From " line
    // starts at, or two bytes before, the boundary at 1.5 times the block
    std::string in = kHead + message("1,, work,", "Subject: hi\n", "");
    std::string out = "FROM\nSubject: hi\nX-Babyl-Labels: work\n\n";
    for (int k = 12; k <= 20; k++) {
        std::string filler((size_t(1) << k) - 1 - in.size(), 'x');
        in += filler + "\r\n";
        out += filler + "\n";
        filler.assign((size_t(3) << (k - 1)) - 2 * (k % 2) - 1 - in.size(), 'y');
        in += filler + "\nFrom cut\n";
        out += filler + "\n>From cut\n";
    }
    TempDir dir("babconv-blocks");
    write_file(dir.path + "/in", in);
    time_t before = time(nullptr);
    RunResult r = run_in_shell("exec \"$0\" < \"$1\"", "", dir.path + "/in");
    expect_output(r, before, time(nullptr), out);
}

TEST(Babconv, LongLinesAreReadWhole)
{
    std::string body;
    for (size_t n : {199, 200, 201, 400, 3 << 20})
        body += std::string(n, static_cast<char>('a' + n % 26)) + "\n";
    std::string header = "X-Long: " + std::string(5000, 'h') + "\n";
    expect_conversion(kHead + message("1,, work,", header, body) + many_lines(20000),
                      "FROM\n" + header + "X-Babyl-Labels: work\n\n" + body + many_lines(20000));
}

TEST(Babconv, ZeroBytesInsideLinesAreWrittenWhole)
{
    std::string zero(1, '\0');
    expect_conversion(kHead
                          + message("1,, work,", "X-Zero: a" + zero + "b\n",
                                    "one" + zero + "two\n" + zero + "lead\n" + std::string(300, '\0') + "\n"),
                      "FROM\nX-Zero: a" + zero + "b\nX-Babyl-Labels: work\n\n" + "one" + zero + "two\n" + zero
                          + "lead\n" + std::string(300, '\0') + "\n");
}

TEST(Babconv, RefusesInputThatIsNotBabyl)
{
    for (const char *input : {"", "BABYL OPTIONS\n\x1f\x0c\n", "Mail\nBABYL OPTIONS:\n", "From a@b Mon\n"}) {
        SCOPED_TRACE(input);
        RunResult r = run_program({babconv()}, fed(std::string(input)));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, babconv() + ": standard input is not a Babyl mailfile.\n");
    }
    // the options section alone is a mailbox without messages
    expect_conversion("BABYL OPTIONS:", "");
    expect_conversion(kHead + "Note: no messages yet\n\x1f", "");
}

TEST(Babconv, HelpVersionAndSurplusArgumentsDoNotConvert)
{
    std::string input = kHead + message("1,, work,", "S: x\n", "b\n");
    std::string usage = "Usage: " + babconv() + " <babylmailbox >unixmailbox\n";
    const std::vector<std::vector<std::string>> cases = {{"-h"}, {"--help"}, {"mbox.babyl"}, {"a", "b"}};
    for (std::vector<std::string> args : cases) {
        args.insert(args.begin(), babconv());
        RunResult r = run_program(args, fed(input));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage);
    }
    for (const char *opt : {"-V", "--version"}) {
        RunResult r = run_program({babconv(), opt}, fed(input));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("babconv (Vantor Orlim 21.4)\nCopyright (C) ", 0), 0u) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    }
    // an unknown option is reported and the conversion still runs
    RunResult r = run_program({babconv(), "-q"}, fed(input));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("'q'"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\nS: x\nX-Babyl-Labels: work\n\nb\n"), std::string::npos) << r.out;
}

TEST(Babconv, FailedWritesEndWithTheSystemsErrorAndStatusOne)
{
    std::string small = kHead + message("1,, work,", "S: x\n", "b\n");
    std::string large = kHead + message("1,, work,", "S: x\n", many_lines(100000));
    auto expect_error = [](const RunResult &r, int error) {
        EXPECT_EQ(r.err, babconv() + ": " + strerror(error) + "\n");
        EXPECT_EQ(r.status, 1);
    };
    expect_error(run_in_shell("exec \"$0\" >/dev/full", small), ENOSPC); // at the final flush
    expect_error(run_in_shell("exec \"$0\" >/dev/full", large), ENOSPC); // on the way
    expect_error(run_in_shell("exec \"$0\" -V >/dev/full", ""), ENOSPC);
    expect_error(run_in_shell("exec \"$0\" >&-", small), EBADF);
    // a reader that leaves early, with SIGPIPE ignored as a caller may have set it
    RunResult r = run_in_shell("trap '' PIPE; { \"$0\"; echo \"status $?\" >&2; } | head -c 1 >/dev/null", large);
    EXPECT_EQ(r.err, babconv() + ": " + strerror(EPIPE) + "\nstatus 1\n");
}

TEST(Babconv, LineBeyondAvailableMemoryEndsAfterWhatWasConverted)
{
    TempDir dir("babconv-memory");
    write_file(dir.path + "/in", kHead + message("1,, work,", "S: x\n", "b\n") + std::string(48 << 20, 'x') + "\n");
#ifdef __SANITIZE_ADDRESS__
    // the sanitizer needs a vast address space: cap its allocations instead
    RunOptions o;
    o.env = {"ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=32"};
    RunResult r = run_program({"sh", "-c", "exec \"$0\" < \"$1\"", babconv(), dir.path + "/in"}, o);
    r.err.erase(0, r.err.rfind('\n', r.err.size() - 2) + 1); // its warning about the refusal
#else
    RunResult r = run_in_shell("ulimit -v 32768 && exec \"$0\" < \"$1\"", "", dir.path + "/in");
#endif
    EXPECT_EQ(r.err, babconv() + ": virtual memory exhausted\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "S: x\nX-Babyl-Labels: work\n\nb\n");
}

TEST(Babconv, IndependentReaderSeesTheSameMessages)
{
    if (std::string(PYTHON3).empty())
        GTEST_SKIP() << "no python3";
    std::string in = kHead;
    for (int i = 0; i < 40; i++)
        in +=
            message(i % 3 ? "1, answered,, work, l" + std::to_string(i) + "," : "0,",
                    "Subject: message " + std::to_string(i) + "\nReceived: by x;\n\tfolded line\nTo: c@d\n",
                    "Hi " + std::to_string(i) + "\n\n> quoted\nFrom the start\n>From quoted\n" + many_lines(i) + "\n");
    in += "\x1f";
    RunResult conv = run_program({babconv()}, fed(in));
    ASSERT_EQ(conv.status, 0);
    TempDir dir("babconv-reader");
    auto check = [&](const std::string &name, const std::string &mbox) {
        write_file(dir.path + "/" + name, mbox);
        return run_program({PYTHON3, MAILBOX_CHECKER, dir.path + "/in.babyl", dir.path + "/" + name});
    };
    write_file(dir.path + "/in.babyl", in);
    RunResult same = check("out.mbox", conv.out);
    RunResult wrong = check("wrong.mbox", replace_all(conv.out, "l17", "l71"));
    RunResult unquoted = check("unquoted.mbox", replace_all(conv.out, "\n>From the", "\nFrom the"));
    EXPECT_EQ(same.out, "same 40 messages\n") << same.err;
    EXPECT_EQ(same.status, 0);
    // the reader does notice a difference, and a "From " line left as it was
    EXPECT_EQ(wrong.status, 1) << wrong.out << wrong.err;
    EXPECT_NE(wrong.out.find("message 17 labels"), std::string::npos) << wrong.out;
    EXPECT_EQ(unquoted.status, 1) << unquoted.out << unquoted.err;
    EXPECT_NE(unquoted.out.find("40 messages in, 80 out"), std::string::npos) << unquoted.out;
}

} // namespace
