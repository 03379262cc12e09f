#include "paths.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

std::string normalize_path(const std::string &path)
{
    bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string part = path.substr(i, j - i);
        i = j + 1;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else if (!part.empty() && part != ".") { // not a repeated slash or the current folder
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string &part : parts) {
        if (absolute || !out.empty())
            out += '/';
        out += part;
    }
    if (out.empty())
        return absolute ? "/" : ".";
    return out;
}

std::string full_path(int dirfd, const char *path)
{
    std::string p = path;
    if (!p.empty() && p[0] == '/')
        return p;
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return p;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, base, sizeof base - 1);
        if (n <= 0)
            return p;
        base[n] = 0;
    }
    return std::string(base) + "/" + p;
}

std::string follow_links(std::string pending)
{
    std::string done;
    size_t pos = 1;
    int hops = 0;
    while (pos <= pending.size()) {
        size_t next = pending.find('/', pos);
        if (next == std::string::npos)
            next = pending.size();
        std::string comp = pending.substr(pos, next - pos);
        pos = next + 1;
        if (comp.empty() || comp == ".")
            continue;
        if (comp == "..") {
            done.erase(done.empty() ? 0 : done.rfind('/'));
            continue;
        }
        std::string cand = done + "/" + comp;
        char target[PATH_MAX];
        ssize_t n = readlink(cand.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            done = cand; // no link, or nothing there: taken as it stands
            continue;
        }
        if (++hops > 40)
            return cand;
        target[n] = 0;
        std::string rest = pos <= pending.size() ? pending.substr(pos) : "";
        pending = normalize_path((target[0] == '/' ? std::string(target) : done + "/" + target) + "/" + rest);
        done.clear();
        pos = 1;
    }
    return done.empty() ? "/" : done;
}

bool is_played_kind(const std::string &p)
{
    static const char *const prefixes[] = {"/dev/video", "/dev/vbi", "/dev/dsp", "/dev/mixer"};
    if (p == "/dev/dvb" || p.rfind("/dev/dvb/", 0) == 0 || p == "/dev/port")
        return true;
    for (const char *pre : prefixes)
        if (p.rfind(pre, 0) == 0)
            return true;
    return false;
}
