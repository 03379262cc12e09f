#include "box.h"

static bool is_time_stamp(const std::string &word)
{
    return word.find('.') != std::string::npos && word.find_first_not_of("0123456789.") == std::string::npos;
}

static bool is_sleep(const std::string &call)
{
    for (const char *name : {"usleep ", "sleep ", "nanosleep ", "clock_nanosleep "})
        if (call.rfind(name, 0) == 0)
            return true;
    return false;
}

std::vector<std::string> trace_lines(const std::string &text, TraceView view)
{
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t space = line.find(' ');
        if (space == std::string::npos || !is_time_stamp(line.substr(0, space))) {
            lines.push_back("> " + line);
            continue;
        }
        std::string call = line.substr(space + 1);
        if (!view.sleeps && is_sleep(call))
            continue;
        size_t arrow = call.rfind(" -> ");
        if (call.rfind("open ", 0) == 0 && arrow != std::string::npos && arrow + 4 < call.size()
            && call.find_first_not_of("0123456789", arrow + 4) == std::string::npos)
            call.replace(arrow + 4, std::string::npos, "fd");
        lines.push_back(view.times ? line.substr(0, space + 1) + call : call);
    }
    return lines;
}

std::string normalise_trace(const std::string &text, TraceView view)
{
    std::string out;
    for (const std::string &line : trace_lines(text, view))
        out += line + "\n";
    return out;
}

std::string ramp_frame(int width, int height, int top, int bottom)
{
    std::string pgm = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            pgm += char(y < top || y >= height - bottom ? 0 : x * 255 / (width - 1));
    return pgm;
}

Box::Box(const std::string &tag, const std::string &scenario_text)
    : tmp(tag)
{
    scenario(scenario_text);
}

std::string Box::read(const std::string &name) const
{
    return file_exists(path(name)) ? read_file(path(name)) : "";
}

std::vector<std::string> Box::argv(const std::string &program, const std::vector<std::string> &args) const
{
    std::vector<std::string> v = {
        bin_path("devsim"), scenario_path, "--trace",
        trace_path,         "--",          program.find('/') == std::string::npos ? bin_path(program) : program};
    v.insert(v.end(), args.begin(), args.end());
    return v;
}

RunResult Box::run(const std::string &program, const std::vector<std::string> &args, RunOptions opt) const
{
    write_file(trace_path, "");
    if (opt.cwd.empty())
        opt.cwd = dir;
    return run_program(argv(program, args), opt);
}

RunResult Box::run_merged(const std::string &program, const std::vector<std::string> &args) const
{
    write_file(trace_path, "");
    std::vector<std::string> v = {"/bin/sh", "-c", "exec \"$@\" >>\"$0\"", trace_path};
    for (const std::string &word : argv(program, args))
        v.push_back(word);
    RunOptions opt;
    opt.cwd = dir;
    return run_program(v, opt);
}
