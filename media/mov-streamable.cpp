// mov-streamable: rewrite a QuickTime movie so that its movie header ('moov')
// comes before its media data ('mdat') and the movie can be played while it
// is still being downloaded. libquicktime does the rewriting, but it reports
// success for several broken or missing results, so its work goes into a
// temporary file that is checked against the input before it takes the
// output's place.
#include <lqt.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

enum {
    copy_block = 256 * 1024,
    // A movie header is read whole; its tables grow with the movie's length,
    // and this allows for hours of video.
    moov_limit = 256 * 1024 * 1024,
    // Containers on the way from 'moov' down to the chunk offset tables.
    nesting_limit = 8,
};

struct Atom {
    uint64_t pos;    // of its header
    uint64_t header; // 8, or 16 with a 64-bit size
    uint64_t size;   // header included
    char type[5];
};

// The sample tables every track needs; the chunk offsets count as one.
enum { has_stsd = 1, has_stts = 2, has_stsc = 4, has_stsz = 8, has_offsets = 16, has_all = 31 };

struct Track {
    std::vector<uint64_t> offsets; // of its chunks
    unsigned tables = 0;           // has_ bits
};

struct Movie {
    uint64_t length = 0;
    uint64_t walked = 0;       // end of the last well-formed top-level atom
    std::vector<Atom> atoms;   // top level, in file order
    size_t moov = 0;           // index of 'moov' in atoms
    std::vector<Track> tracks;
};

// Where the result goes. An existing output is opened for writing first, so
// that whatever the system refuses is refused before any work is done.
struct Target {
    std::string path; // the file itself, also when out is a symbolic link
    int fd = -1;      // an existing output, opened for writing
    bool regular = true;
    bool existed = false;
    struct stat st;
};

static const char *progname;
// The temporary files, for removal when a signal ends the program: the
// result, and the input without bytes after its last atom.
static char tmppath[4096];
static volatile sig_atomic_t tmpset;
static char trimpath[4096];
static volatile sig_atomic_t trimset;
// The library's messages, held until the result is known.
static std::string notes;
// The child process running the library, stopped along with the program.
static volatile sig_atomic_t converter;

static void LogMessage(lqt_log_level_t level, const char *domain, const char *message, void *data)
{
    (void)data;
    if (!(level & (LQT_LOG_ERROR | LQT_LOG_WARNING)) || !message)
        return;
    size_t n = strlen(message);
    while (n > 0 && message[n - 1] == '\n')
        n--;
    fprintf(stderr, "%s: [%s] %s: %.*s\n", progname, domain ? domain : "lqt",
            level == LQT_LOG_ERROR ? "error" : "warning", static_cast<int>(n), message);
}

__attribute__((format(printf, 1, 2)))
static bool Fail(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fwrite(notes.data(), 1, notes.size(), stderr);
    notes.clear();
    fprintf(stderr, "%s: ", progname);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    return false;
}

static uint32_t Be32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

static uint64_t Be64(const unsigned char *p)
{
    return uint64_t(Be32(p)) << 32 | Be32(p + 4);
}

static bool ReadAt(int fd, uint64_t pos, void *to, size_t size)
{
    auto *p = static_cast<unsigned char *>(to);
    while (size > 0) {
        ssize_t got = pread(fd, p, size, static_cast<off_t>(pos));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        pos += static_cast<uint64_t>(got);
        size -= static_cast<size_t>(got);
    }
    return true;
}

static bool WriteAll(int fd, const unsigned char *from, size_t size)
{
    while (size > 0) {
        ssize_t put = write(fd, from, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        from += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// Decodes the header at pos from the bytes at p (at least min(16, end - pos)
// of them). A size of 0 means "up to end"; an atom must not pass end.
static bool ParseHeader(const unsigned char *p, uint64_t pos, uint64_t end, Atom *atom)
{
    if (end - pos < 8)
        return false;
    uint32_t size = Be32(p);
    atom->pos = pos;
    atom->header = 8;
    memcpy(atom->type, p + 4, 4);
    atom->type[4] = '\0';
    if (size == 1) {
        if (end - pos < 16)
            return false;
        atom->header = 16;
        atom->size = Be64(p + 8);
    } else if (size == 0) {
        atom->size = end - pos;
    } else {
        atom->size = size;
    }
    return atom->size >= atom->header && atom->size <= end - pos;
}

// Walks the top-level atoms from pos toward the end of the file and returns
// where the walk stopped: at length, or at the first header that is not well
// formed, with atoms holding those before it.
static uint64_t WalkAtoms(int fd, uint64_t pos, uint64_t length, std::vector<Atom> *atoms)
{
    while (pos < length) {
        unsigned char head[16];
        size_t want = length - pos < 16 ? static_cast<size_t>(length - pos) : 16;
        Atom atom;
        if (!ReadAt(fd, pos, head, want) || !ParseHeader(head, pos, length, &atom))
            return pos;
        for (int i = 0; i < 4; i++)
            if (atom.type[i] < 0x20 || atom.type[i] > 0x7e)
                return pos;
        atoms->push_back(atom);
        pos += atom.size;
    }
    return pos;
}

static bool IsType(const Atom &atom, const char *type)
{
    return memcmp(atom.type, type, 4) == 0;
}

// The entries that a table's count announces fit in the table. The library
// trusts these counts, and reading past a table makes it loop or crash.
static bool TableFits(const std::vector<unsigned char> &data, const Atom &atom, uint64_t length)
{
    // Bytes before the entries (version, flags, count), and bytes per entry.
    uint64_t fixed = 8, width;
    if (IsType(atom, "stts") || IsType(atom, "ctts") || IsType(atom, "co64"))
        width = 8;
    else if (IsType(atom, "stsc"))
        width = 12;
    else if (IsType(atom, "stss") || IsType(atom, "stps") || IsType(atom, "stco"))
        width = 4;
    else if (IsType(atom, "stsz"))
        fixed = 12, width = 4;
    else if (IsType(atom, "elst"))
        width = atom.size > atom.header && data[atom.pos + atom.header] == 1 ? 20 : 12;
    else if (IsType(atom, "stsd") || IsType(atom, "dref"))
        width = 0; // entries of their own sizes
    else
        return true;
    const unsigned char *body = data.data() + atom.pos + atom.header;
    uint64_t size = atom.size - atom.header;
    if (size < fixed)
        return false;
    uint64_t count = Be32(body + fixed - 4);
    if (IsType(atom, "stsz") && Be32(body + 4) != 0)
        return true; // one size for all samples: no entries
    if (width > 0 && count > (size - fixed) / width)
        return false;
    // No sample is larger than the whole file.
    for (uint64_t i = 0; IsType(atom, "stsz") && i < count; i++)
        if (Be32(body + fixed + 4 * i) > length)
            return false;
    if (width > 0)
        return true;
    // A sample description has at least size, format and data reference
    // index; a data reference size, type, version and flags.
    uint64_t least = IsType(atom, "stsd") ? 16 : 12;
    for (uint64_t pos = fixed, i = 0; i < count; i++) {
        if (size - pos < least)
            return false;
        uint64_t entry = Be32(body + pos);
        if (entry < least || entry > size - pos)
            return false;
        pos += entry;
    }
    return true;
}

// Collects the chunk offsets ('stco', 32-bit, or 'co64') of every track
// below the container whose body spans [begin, end) of data, and checks the
// tables on the way.
static bool CollectOffsets(const std::vector<unsigned char> &data, uint64_t begin, uint64_t end,
                           int depth, uint64_t length, std::vector<Track> *tracks)
{
    if (depth > nesting_limit)
        return false;
    for (uint64_t pos = begin; pos < end;) {
        Atom atom;
        if (!ParseHeader(data.data() + pos, pos, end, &atom))
            return false;
        uint64_t body = pos + atom.header;
        if (IsType(atom, "trak")) {
            tracks->emplace_back();
            if (!CollectOffsets(data, body, pos + atom.size, depth + 1, length, tracks))
                return false;
        } else if (IsType(atom, "mdia") || IsType(atom, "minf") || IsType(atom, "stbl") ||
                   IsType(atom, "edts") || IsType(atom, "dinf")) {
            if (!CollectOffsets(data, body, pos + atom.size, depth + 1, length, tracks))
                return false;
        } else if (!TableFits(data, atom, length)) {
            return false;
        } else if (IsType(atom, "stco") || IsType(atom, "co64")) {
            uint64_t width = IsType(atom, "stco") ? 4 : 8;
            if (tracks->empty() || (tracks->back().tables & has_offsets))
                return false;
            tracks->back().tables |= has_offsets;
            uint64_t count = Be32(data.data() + body + 4);
            const unsigned char *entry = data.data() + body + 8;
            for (uint64_t i = 0; i < count; i++, entry += width)
                tracks->back().offsets.push_back(width == 4 ? Be32(entry) : Be64(entry));
        } else if (!tracks->empty()) {
            tracks->back().tables |= IsType(atom, "stsd") ? has_stsd : IsType(atom, "stts") ? has_stts
                                   : IsType(atom, "stsc") ? has_stsc : IsType(atom, "stsz") ? has_stsz : 0;
        }
        pos += atom.size;
    }
    return true;
}

// Reads the movie header of a file whose top-level atoms are already walked.
static bool ReadOffsets(int fd, Movie *movie, const char *name)
{
    size_t count = 0;
    for (size_t i = 0; i < movie->atoms.size(); i++)
        if (IsType(movie->atoms[i], "moov"))
            movie->moov = i, count++;
    if (count != 1)
        return Fail(count ? "%s: more than one movie header" : "%s: not a QuickTime movie", name);
    const Atom &moov = movie->atoms[movie->moov];
    if (moov.size > moov_limit)
        return Fail("%s: movie header too large", name);
    // Sixteen spare zero bytes let ParseHeader look past a short last atom.
    std::vector<unsigned char> data(moov.size + 16);
    if (!ReadAt(fd, moov.pos, data.data(), moov.size))
        return Fail("%s: %s", name, errno ? strerror(errno) : "short read");
    if (!CollectOffsets(data, moov.header, moov.size, 0, movie->length, &movie->tracks))
        return Fail("%s: movie header not well formed", name);
    for (size_t t = 0; t < movie->tracks.size(); t++)
        if (movie->tracks[t].tables != has_all)
            return Fail("%s: track %zu lacks sample tables", name, t + 1);
    return true;
}

static bool ReadMovie(int fd, const char *name, Movie *movie)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Fail("%s: %s", name, strerror(errno));
    movie->length = static_cast<uint64_t>(st.st_size);
    // Bytes after the last atom that form none (zero padding, a cut-off
    // fragment) are left out; the atoms before them must hold the movie.
    movie->walked = WalkAtoms(fd, 0, movie->length, &movie->atoms);
    if (movie->atoms.empty())
        return Fail("%s: not a QuickTime movie", name);
    return ReadOffsets(fd, movie, name);
}

// The movie header already precedes all media data (or there is none).
static bool IsStreamable(const Movie &movie)
{
    for (size_t i = 0; i < movie.moov; i++)
        if (IsType(movie.atoms[i], "mdat"))
            return false;
    return true;
}

// The payload [begin, end) of each 'mdat'.
static std::vector<std::pair<uint64_t, uint64_t>> MediaRanges(const Movie &movie)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const Atom &atom : movie.atoms)
        if (IsType(atom, "mdat"))
            ranges.emplace_back(atom.pos + atom.header, atom.pos + atom.size);
    return ranges;
}

// Every chunk lies in the media data, which is what the conversion moves.
static bool ChunksInMedia(const Movie &movie)
{
    auto media = MediaRanges(movie);
    for (const Track &track : movie.tracks) {
        for (uint64_t offset : track.offsets) {
            bool inside = false;
            for (const auto &range : media)
                inside = inside || (offset >= range.first && offset < range.second);
            if (!inside)
                return false;
        }
    }
    return true;
}

static bool ResolveTarget(const char *in, const char *out, Target *target)
{
    struct stat in_st;
    if (stat(in, &in_st) != 0)
        return Fail("%s: %s", in, strerror(errno));
    if (!S_ISREG(in_st.st_mode))
        return Fail("%s: not a regular file", in);
    target->path = out;
    if (stat(out, &target->st) != 0) {
        if (errno != ENOENT)
            return Fail("%s: %s", out, strerror(errno));
        return true;
    }
    target->existed = true;
    if (target->st.st_dev == in_st.st_dev && target->st.st_ino == in_st.st_ino)
        return Fail("%s and %s are the same file", in, out);
    if (S_ISDIR(target->st.st_mode))
        return Fail("%s: %s", out, strerror(EISDIR));
    // Not truncated yet: only asked whether the system lets us write it.
    target->fd = open(out, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (target->fd < 0 || fstat(target->fd, &target->st) != 0)
        return Fail("%s: %s", out, strerror(errno));
    target->regular = S_ISREG(target->st.st_mode);
    // Through a symbolic link, replace the file it names, not the link.
    struct stat link_st;
    if (target->regular && lstat(out, &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
        char *real = realpath(out, nullptr);
        if (!real)
            return Fail("%s: %s", out, strerror(errno));
        target->path = real;
        free(real);
    }
    return true;
}

static void OnSignal(int sig)
{
    if (converter > 0)
        kill(converter, SIGKILL);
    if (tmpset)
        unlink(tmppath);
    if (trimset)
        unlink(trimpath);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A new file in dir; its name goes into path, and set says so only once the
// file is there, with signals held off in between.
static int make_temp(const std::string &dir, char *path, volatile sig_atomic_t *set)
{
    std::string templ = dir + "/.mov-streamable-XXXXXX";
    if (templ.size() >= sizeof tmppath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(path, templ.c_str(), templ.size() + 1);
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    int fd = mkostemp(path, O_CLOEXEC);
    *set = fd >= 0;
    int saved = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return fd;
}

// Beside the output, so that rename can put it in place; in the temporary
// directory for a device or a pipe, and for an existing output in a folder
// the caller may not write.
static int CreateTemp(const Target &target, bool *beside)
{
    *beside = false;
    if (target.regular) {
        size_t slash = target.path.rfind('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.path.substr(0, slash);
        int fd = make_temp(dir, tmppath, &tmpset);
        if (fd >= 0) {
            *beside = true;
            return fd;
        }
        if (!target.existed || (errno != EACCES && errno != EPERM && errno != EROFS)) {
            Fail("%s: %s", target.path.c_str(), strerror(errno));
            return -1;
        }
    }
    const char *tmpdir = getenv("TMPDIR");
    std::string dir = tmpdir && *tmpdir ? tmpdir : "/tmp";
    int fd = make_temp(dir, tmppath, &tmpset);
    if (fd < 0)
        Fail("%s: %s", dir.c_str(), strerror(errno));
    return fd;
}

static void RemoveTemp()
{
    if (tmpset) {
        unlink(tmppath);
        tmpset = 0;
    }
    if (trimset) {
        unlink(trimpath);
        trimset = 0;
    }
}

// Copies from the start of from, up to size bytes or its end, to where to stands.
static bool CopyFile(int from, int to, uint64_t size, const char *from_name, const char *to_name)
{
    std::vector<unsigned char> block(copy_block);
    for (uint64_t pos = 0; pos < size;) {
        size_t want = size - pos < block.size() ? static_cast<size_t>(size - pos) : block.size();
        ssize_t got = pread(from, block.data(), want, static_cast<off_t>(pos));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail("%s: %s", from_name, strerror(errno));
        if (got == 0)
            return true;
        if (!WriteAll(to, block.data(), static_cast<size_t>(got)))
            return Fail("%s: %s", to_name, strerror(errno));
        pos += static_cast<uint64_t>(got);
    }
    return true;
}

// The library loses the media data of a movie followed by bytes that form no
// atom; it gets a copy of the movie without them, beside the result.
static bool TrimInput(int in_fd, const char *in, uint64_t size)
{
    std::string dir = tmppath;
    dir.resize(dir.rfind('/'));
    int fd = make_temp(dir.empty() ? "/" : dir, trimpath, &trimset);
    if (fd < 0)
        return Fail("%s: %s", dir.c_str(), strerror(errno));
    bool ok = CopyFile(in_fd, fd, size, in, trimpath);
    if (close(fd) != 0 && ok)
        ok = Fail("%s: %s", trimpath, strerror(errno));
    return ok;
}

// The library runs in a child process: it trusts the movie's tables, and a
// damaged movie can make it crash, which must still end in a clean failure.
// What it prints is kept in notes until the result is known.
static bool ConvertWithLibrary(const char *in)
{
    fflush(stdout);
    fflush(stderr);
    int log = memfd_create("mov-streamable-notes", MFD_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        if (log >= 0)
            close(log);
        return Fail("fork: %s", strerror(errno));
    }
    if (pid == 0) {
        // Ends with the program, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        // It prints some messages with printf: keep them off standard
        // output, which carries only the usage line.
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        } else if (dup2(2, 1) < 0) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0)
                dup2(null, 1);
        }
        std::string in_path = in, out_path = tmppath;
        int result = quicktime_make_streamable(in_path.data(), out_path.data());
        fflush(stdout);
        fflush(stderr);
        _exit(result == 0 ? 0 : 1);
    }
    converter = pid;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            converter = 0;
            if (log >= 0)
                close(log);
            return Fail("waitpid: %s", strerror(errno));
        }
    }
    converter = 0;
    struct stat st;
    if (log >= 0 && fstat(log, &st) == 0 && st.st_size > 0) {
        notes.resize(static_cast<size_t>(st.st_size));
        if (!ReadAt(log, 0, notes.data(), notes.size()))
            notes.clear();
    }
    if (log >= 0)
        close(log);
    if (WIFSIGNALED(status))
        return Fail("conversion failed: libquicktime ended by signal %d (%s)", WTERMSIG(status),
                    strsignal(WTERMSIG(status)));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? true : Fail("conversion failed");
}

// A rewritten header smaller than the original leaves zero bytes before the
// media data, which an atom reader takes for an atom up to the end of the
// file. Finds the next well-formed atom and covers the gap with a 'free' atom.
static bool MendGap(int fd, uint64_t length, uint64_t at, uint64_t limit)
{
    uint64_t left = length - at < limit ? length - at : limit;
    std::vector<unsigned char> gap(left);
    if (!ReadAt(fd, at, gap.data(), gap.size()))
        return Fail("%s: %s", tmppath, errno ? strerror(errno) : "short read");
    uint64_t size = 0;
    for (uint64_t g = 1; g <= left && gap[g - 1] == 0; g++) {
        std::vector<Atom> rest;
        if (WalkAtoms(fd, at + g, length, &rest) == length) {
            size = g;
            break;
        }
    }
    if (size == 0)
        return Fail("conversion failed: no well-formed atom after the movie header");
    if (size < 8)
        return Fail("conversion failed: %u-byte gap after the movie header", static_cast<unsigned>(size));
    if (size > 0xffffffffu)
        return Fail("conversion failed: gap after the movie header too large");
    unsigned char head[8] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),
                             'f', 'r', 'e', 'e'};
    if (pwrite(fd, head, sizeof head, static_cast<off_t>(at)) != sizeof head)
        return Fail("%s: %s", tmppath, strerror(errno));
    return true;
}

// The gap a shrunken movie header leaves before the media data, covered
// when there is one; mended says so.
static bool MendResult(int fd, const Movie &in, bool *mended)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Fail("%s: %s", tmppath, strerror(errno));
    uint64_t length = static_cast<uint64_t>(st.st_size);
    std::vector<Atom> atoms;
    if (WalkAtoms(fd, 0, length, &atoms) == length)
        return true;
    if (atoms.empty() || !IsType(atoms.back(), "moov"))
        return Fail("conversion failed: result is not well formed");
    const Atom &moov = atoms.back();
    *mended = true;
    return MendGap(fd, length, moov.pos + moov.size, in.atoms[in.moov].size);
}

static bool SameBytes(int a, uint64_t a_pos, int b, uint64_t b_pos, uint64_t size)
{
    std::vector<unsigned char> x(copy_block), y(copy_block);
    while (size > 0) {
        size_t n = size < x.size() ? static_cast<size_t>(size) : x.size();
        if (!ReadAt(a, a_pos, x.data(), n) || !ReadAt(b, b_pos, y.data(), n) || memcmp(x.data(), y.data(), n) != 0)
            return false;
        a_pos += n;
        b_pos += n;
        size -= n;
    }
    return true;
}

// Checks the converted movie against the input: atoms well formed with the
// movie header before the media data, every chunk offset moved by one and the
// same shift, and the input's media data found unchanged at that shift.
static bool Verify(int in_fd, const Movie &in, int fd)
{
    Movie out;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Fail("%s: %s", tmppath, strerror(errno));
    out.length = static_cast<uint64_t>(st.st_size);
    if (WalkAtoms(fd, 0, out.length, &out.atoms) != out.length)
        return Fail("conversion failed: result is not well formed");
    if (!ReadOffsets(fd, &out, "conversion result"))
        return false;
    if (!IsStreamable(out))
        return Fail("conversion failed: movie header still after the media data");

    auto in_media = MediaRanges(in), out_media = MediaRanges(out);
    if (in.tracks.size() != out.tracks.size())
        return Fail("conversion failed: %zu tracks became %zu", in.tracks.size(), out.tracks.size());
    bool have_shift = false;
    int64_t shift = 0;
    for (size_t t = 0; t < in.tracks.size(); t++) {
        const auto &old_offsets = in.tracks[t].offsets, &new_offsets = out.tracks[t].offsets;
        if (old_offsets.size() != new_offsets.size())
            return Fail("conversion failed: chunk count of track %zu changed", t + 1);
        for (size_t c = 0; c < old_offsets.size(); c++) {
            int64_t moved = static_cast<int64_t>(new_offsets[c] - old_offsets[c]);
            if (!have_shift)
                shift = moved, have_shift = true;
            if (moved != shift)
                return Fail("conversion failed: chunk offsets not moved by one shift");
        }
    }
    if (!have_shift) {
        if (in_media.empty() || out_media.empty())
            return in_media.empty() || Fail("conversion failed: media data lost");
        shift = static_cast<int64_t>(out_media[0].first - in_media[0].first);
    }
    for (const auto &range : in_media) {
        uint64_t begin = range.first + static_cast<uint64_t>(shift);
        uint64_t end = range.second + static_cast<uint64_t>(shift);
        bool inside = false;
        for (const auto &o : out_media)
            inside = inside || (begin >= o.first && end <= o.second);
        if (!inside || !SameBytes(in_fd, range.first, fd, begin, range.second - range.first))
            return Fail("conversion failed: media data not found unchanged in the result");
    }
    return true;
}

// Writes the bytes of from into the open output, over its old ones, then cuts
// a regular file to their length.
static bool WriteInto(const Target &target, int from, const char *from_name, const char *out)
{
    if (!CopyFile(from, target.fd, UINT64_MAX, from_name, out))
        return false;
    if (target.regular) {
        off_t end = lseek(target.fd, 0, SEEK_CUR);
        if (end < 0 || ftruncate(target.fd, end) != 0)
            return Fail("%s: %s", out, strerror(errno));
    }
    return true;
}

// Replacing the output by the temporary file changes nothing a user can see:
// the caller's own file under one name, whose group and mode the temporary
// file could take on.
static bool MayReplace(const Target &target, int fd)
{
    const struct stat &st = target.st;
    if (st.st_uid != geteuid() || st.st_nlink != 1)
        return false;
    struct stat now;
    if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 || fchmod(fd, st.st_mode & 07777) != 0 ||
        fstat(fd, &now) != 0)
        return false;
    return now.st_gid == st.st_gid && (now.st_mode & 07777) == (st.st_mode & 07777);
}

// A new output appears whole, by rename. An existing one keeps its inode,
// owner, group, mode and links: renamed over only where MayReplace, else
// written into.
static bool Install(const Target &target, int fd, bool beside, const char *out)
{
    if (target.existed && !(beside && MayReplace(target, fd)))
        return WriteInto(target, fd, tmppath, out);
    if (!target.existed) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0)
            return Fail("%s: %s", tmppath, strerror(errno));
    }
    if (fsync(fd) != 0)
        return Fail("%s: %s", tmppath, strerror(errno));
    if (rename(tmppath, target.path.c_str()) != 0) {
        if (target.existed)
            return WriteInto(target, fd, tmppath, out);
        return Fail("%s: %s", target.path.c_str(), strerror(errno));
    }
    tmpset = 0;
    return true;
}

// The library's messages after a verified conversion, but for its complaint
// about a header that shrank when the gap that left has been mended.
static void PrintNotes(bool mended)
{
    static const char moot[] = "quicktime_make_streamable: moov size changed from ";
    for (size_t at = 0; at < notes.size();) {
        size_t end = notes.find('\n', at);
        end = end == std::string::npos ? notes.size() : end + 1;
        std::string line = notes.substr(at, end - at);
        const char *p = strstr(line.c_str(), moot);
        unsigned long long before, after;
        if (!(mended && p && sscanf(p + strlen(moot), "%llu to %llu", &before, &after) == 2 && after < before))
            fwrite(line.data(), 1, line.size(), stderr);
        at = end;
    }
    notes.clear();
}

static bool ConvertFile(int in_fd, const char *in, const char *out, const Target &target)
{
    Movie movie;
    if (!ReadMovie(in_fd, in, &movie))
        return false;
    if (!IsStreamable(movie) && !ChunksInMedia(movie))
        return Fail("%s: chunk offsets outside the media data", in);
    if (IsStreamable(movie) && !target.regular)
        return WriteInto(target, in_fd, in, out);

    bool beside;
    int fd = CreateTemp(target, &beside);
    if (fd < 0)
        return false;
    bool ok = true, mended = false;
    if (IsStreamable(movie)) {
        ok = CopyFile(in_fd, fd, UINT64_MAX, in, tmppath);
    } else {
        // The library writes the file by its name; look at what is there after it.
        close(fd);
        const char *from = in;
        if (movie.walked < movie.length) {
            ok = TrimInput(in_fd, in, movie.walked);
            from = trimpath;
        }
        ok = ok && ConvertWithLibrary(from);
        fd = open(tmppath, O_RDWR | O_CLOEXEC);
        if (ok && fd < 0)
            ok = Fail("%s: %s", tmppath, strerror(errno));
        ok = ok && MendResult(fd, movie, &mended) && Verify(in_fd, movie, fd);
    }
    ok = ok && Install(target, fd, beside, out);
    if (fd >= 0)
        close(fd);
    RemoveTemp();
    if (ok)
        PrintNotes(mended);
    return ok;
}

static bool MakeStreamable(const char *in, const char *out)
{
    Target target;
    bool ok = ResolveTarget(in, out, &target);
    int in_fd = -1;
    if (ok) {
        in_fd = open(in, O_RDONLY | O_CLOEXEC);
        ok = in_fd >= 0 ? ConvertFile(in_fd, in, out, target) : Fail("%s: %s", in, strerror(errno));
    }
    if (in_fd >= 0)
        close(in_fd);
    if (target.fd >= 0 && close(target.fd) != 0 && ok)
        ok = Fail("%s: %s", out, strerror(errno));
    return ok;
}

static void usage()
{
    printf("usage: %s <in filename> <out filename>\n", progname);
    exit(1);
}

int main(int argc, char *argv[])
{
    progname = argc > 0 ? argv[0] : "mov-streamable";
    if (argc < 3 || argv[1][0] == '-')
        usage();

    // A closed standard descriptor would be handed out by the next open and
    // then receive what the library prints.
    for (int std_fd = 0; std_fd <= 2; std_fd++)
        if (fcntl(std_fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            return 1;

    // Failed writes (a closed pipe, the file size limit) are then reported
    // as errors instead of ending the program with its temporary file left.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Signals that end the program take its temporary files along; one
    // ignored when the program starts stays ignored.
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGBUS, SIGXCPU, SIGVTALRM, SIGPROF}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            signal(sig, OnSignal);
    }
    lqt_set_log_callback(LogMessage, nullptr);

    return MakeStreamable(argv[1], argv[2]) ? 0 : 1;
}
