// mov-streamable: rewrite a QuickTime movie so that its movie header ('moov')
// comes before its media data ('mdat') and the movie can be played while it
// is still being downloaded. libquicktime does the rewriting, but it reports
// success for several broken or missing results, so its work goes into a
// temporary file that is checked against the input before it takes the
// output's place.
#include "mov_atoms.h"

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
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

enum : size_t {
    copy_block = 256 * 1024,
    // Bytes handed to the kernel per copy call.
    copy_chunk = 1 << 30,
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
// Signals that end the program: their handler removes the temporary files,
// and they are held off while an existing output is being overwritten.
static const int stop_signals[] = {SIGHUP,  SIGINT, SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1,
                                   SIGUSR2, SIGBUS, SIGXCPU, SIGVTALRM, SIGPROF};
// The temporary files live in a folder of their own, so that the library
// creates its result instead of truncating a file made for it, which ext4
// flushes when it is closed (bench/RESULTS.md, row "mov-streamable: temporary
// folder"). For removal when a signal ends the program: the folder, the
// result, and the input without bytes after its last atom.
static char tmpdir[4096];
static volatile sig_atomic_t tmpdirset;
static char tmppath[4096];
static char trimpath[4096];
// Set once an output is partly overwritten: the result is then its only
// complete copy and stays.
static volatile sig_atomic_t keep_result;
// The library's messages, held until the result is known.
static std::string notes;
// The child process running the library, stopped along with the program.
static volatile sig_atomic_t converter;

// ---- messages ------------------------------------------------------------

static void log_message(lqt_log_level_t level, const char *domain, const char *message, void *data)
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

__attribute__((format(printf, 1, 2))) static bool fail(const char *format, ...)
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

// The library's messages after a verified conversion, but for its complaint
// about a header that shrank when the gap that left has been mended.
static void print_notes(bool mended)
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

// ---- the output ----------------------------------------------------------

static bool resolve_target(const char *in, const char *out, Target *target)
{
    struct stat in_st;
    if (stat(in, &in_st) != 0)
        return fail("%s: %s", in, strerror(errno));
    if (!S_ISREG(in_st.st_mode))
        return fail("%s: not a regular file", in);
    target->path = out;
    if (stat(out, &target->st) != 0) {
        if (errno != ENOENT)
            return fail("%s: %s", out, strerror(errno));
        return true;
    }
    target->existed = true;
    if (target->st.st_dev == in_st.st_dev && target->st.st_ino == in_st.st_ino)
        return fail("%s and %s are the same file", in, out);
    if (S_ISDIR(target->st.st_mode))
        return fail("%s: %s", out, strerror(EISDIR));
    // Not truncated yet: only asked whether the system lets us write it.
    target->fd = open(out, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (target->fd < 0 || fstat(target->fd, &target->st) != 0)
        return fail("%s: %s", out, strerror(errno));
    target->regular = S_ISREG(target->st.st_mode);
    // Through a symbolic link, replace the file it names, not the link.
    struct stat link_st;
    if (target->regular && lstat(out, &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
        char *real = realpath(out, nullptr);
        if (!real)
            return fail("%s: %s", out, strerror(errno));
        target->path = real;
        free(real);
    }
    return true;
}

// ---- temporary files -----------------------------------------------------

// Only unlink, rmdir and a store: safe in a signal handler too.
static void remove_temps()
{
    if (tmpdirset) {
        unlink(trimpath);
        if (!keep_result) {
            unlink(tmppath);
            rmdir(tmpdir);
        }
        tmpdirset = 0;
    }
}

static void end_on_signal(int sig)
{
    if (converter > 0)
        kill(converter, SIGKILL);
    remove_temps();
    signal(sig, SIG_DFL);
    raise(sig);
}

// A new folder in dir for the temporary files; tmpdirset says so only once
// it is there, with signals held off in between.
static bool make_temp_dir(const std::string &dir)
{
    std::string templ = dir + "/.mov-streamable-XXXXXX";
    if (templ.size() + sizeof "/trimmed.mov" > sizeof tmpdir) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(tmpdir, templ.c_str(), templ.size() + 1);
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    bool made = mkdtemp(tmpdir) != nullptr;
    int saved = errno;
    if (made) {
        // The folder's name is filled in now; the length was checked above.
        std::string result = std::string(tmpdir) + "/result.mov", trimmed = std::string(tmpdir) + "/trimmed.mov";
        memcpy(tmppath, result.c_str(), result.size() + 1);
        memcpy(trimpath, trimmed.c_str(), trimmed.size() + 1);
        tmpdirset = 1;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return made;
}

// Beside the output, so that rename can put the result in place; in the
// temporary directory for a device or a pipe, and for an existing output in
// a folder the caller may not write.
static bool create_temp_dir(const Target &target, bool *beside)
{
    *beside = false;
    if (target.regular) {
        size_t slash = target.path.rfind('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.path.substr(0, slash);
        if (make_temp_dir(dir)) {
            *beside = true;
            return true;
        }
        if (!target.existed || (errno != EACCES && errno != EPERM && errno != EROFS))
            return fail("%s: %s", target.path.c_str(), strerror(errno));
    }
    const char *env = getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    return make_temp_dir(dir) ? true : fail("%s: %s", dir.c_str(), strerror(errno));
}

static int create_temp_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("%s: %s", path, strerror(errno));
    return fd;
}

// ---- copying -------------------------------------------------------------

static bool write_all(int fd, const unsigned char *from, size_t size)
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

// Copies from the start of from (a regular file), up to size bytes or its
// end, to where to stands. Inside the kernel where it can: copy_file_range
// between regular files, sendfile into a pipe or a device, reads and writes
// where neither works: the kernel's copies took about half the time of
// reads and writes (bench/RESULTS.md, row "mov-streamable: copy calls").
static bool copy_file(int from, int to, uint64_t size, const char *from_name, const char *to_name)
{
    bool range = true, send = true;
    std::vector<unsigned char> block;
    for (uint64_t pos = 0; pos < size;) {
        size_t want = size - pos < copy_chunk ? static_cast<size_t>(size - pos) : copy_chunk;
        off_t at = static_cast<off_t>(pos);
        ssize_t put;
        if (range) {
            put = copy_file_range(from, &at, to, nullptr, want, 0);
            if (put < 0
                && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)) {
                range = false;
                continue;
            }
        } else if (send) {
            put = sendfile(to, from, &at, want);
            if (put < 0 && (errno == EINVAL || errno == ENOSYS)) {
                send = false;
                continue;
            }
        } else {
            block.resize(copy_block);
            put = pread(from, block.data(), want < copy_block ? want : copy_block, at);
            if (put < 0 && errno != EINTR)
                return fail("%s: %s", from_name, strerror(errno));
            if (put > 0 && !write_all(to, block.data(), static_cast<size_t>(put)))
                return fail("%s: %s", to_name, strerror(errno));
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail("%s: %s", to_name, strerror(errno));
        if (put == 0)
            return true;
        pos += static_cast<uint64_t>(put);
    }
    return true;
}

// The library loses the media data of a movie followed by bytes that form no
// atom; it gets a copy of the movie without them, beside the result.
static bool trim_input(int in_fd, const char *in, uint64_t size)
{
    int fd = create_temp_file(trimpath);
    if (fd < 0)
        return false;
    bool ok = copy_file(in_fd, fd, size, in, trimpath);
    if (close(fd) != 0 && ok)
        ok = fail("%s: %s", trimpath, strerror(errno));
    return ok;
}

// ---- the conversion ------------------------------------------------------

// The library runs in a child process: it trusts the movie's tables, and a
// damaged movie can make it crash, which must still end in a clean failure.
// What it prints is kept in notes until the result is known.
static bool convert_with_library(const char *in)
{
    fflush(stdout);
    fflush(stderr);
    int log = memfd_create("mov-streamable-notes", MFD_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        if (log >= 0)
            close(log);
        return fail("fork: %s", strerror(errno));
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
            return fail("waitpid: %s", strerror(errno));
        }
    }
    converter = 0;
    struct stat st;
    if (log >= 0 && fstat(log, &st) == 0 && st.st_size > 0) {
        notes.resize(static_cast<size_t>(st.st_size));
        if (!read_at(log, 0, notes.data(), notes.size()))
            notes.clear();
    }
    if (log >= 0)
        close(log);
    if (WIFSIGNALED(status))
        return fail("conversion failed: libquicktime ended by signal %d (%s)", WTERMSIG(status),
                    strsignal(WTERMSIG(status)));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? true : fail("conversion failed");
}

// ---- checking the result -------------------------------------------------

// A rewritten header smaller than the original leaves zero bytes before the
// media data, which an atom reader takes for an atom up to the end of the
// file. Finds the next well-formed atom and covers the gap with a 'free' atom.
static bool mend_gap(int fd, uint64_t length, uint64_t at, uint64_t limit)
{
    uint64_t left = length - at < limit ? length - at : limit;
    std::vector<unsigned char> gap(left);
    if (!read_at(fd, at, gap.data(), gap.size()))
        return fail("%s: %s", tmppath, errno ? strerror(errno) : "short read");
    uint64_t size = 0;
    for (uint64_t g = 1; g <= left && gap[g - 1] == 0; g++) {
        std::vector<Atom> rest;
        if (walk_atoms(fd, at + g, length, &rest) == length) {
            size = g;
            break;
        }
    }
    if (size == 0)
        return fail("conversion failed: no well-formed atom after the movie header");
    if (size < 8)
        return fail("conversion failed: %u-byte gap after the movie header", static_cast<unsigned>(size));
    if (size > 0xffffffffu)
        return fail("conversion failed: gap after the movie header too large");
    unsigned char head[8] = {
        uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 'f', 'r', 'e', 'e'};
    if (pwrite(fd, head, sizeof head, static_cast<off_t>(at)) != sizeof head)
        return fail("%s: %s", tmppath, strerror(errno));
    return true;
}

// The gap a shrunken movie header leaves before the media data, covered
// when there is one; mended says so.
static bool mend_result(int fd, const Movie &in, bool *mended)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail("%s: %s", tmppath, strerror(errno));
    uint64_t length = static_cast<uint64_t>(st.st_size);
    std::vector<Atom> atoms;
    if (walk_atoms(fd, 0, length, &atoms) == length)
        return true;
    if (atoms.empty() || !is_type(atoms.back(), "moov"))
        return fail("conversion failed: result is not well formed");
    const Atom &moov = atoms.back();
    *mended = true;
    return mend_gap(fd, length, moov.pos + moov.size, in.atoms[in.moov].size);
}

// Reads both files in 256 KiB blocks, which two buffers of in the cache
// compare fastest; mapping them was slower, page faults being dear
// (bench/RESULTS.md, row "mov-streamable: comparing the media").
static bool match_bytes(int a, uint64_t a_pos, int b, uint64_t b_pos, uint64_t size)
{
    std::vector<unsigned char> x(copy_block), y(copy_block);
    while (size > 0) {
        size_t n = size < x.size() ? static_cast<size_t>(size) : x.size();
        if (!read_at(a, a_pos, x.data(), n) || !read_at(b, b_pos, y.data(), n) || memcmp(x.data(), y.data(), n) != 0)
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
static bool verify(int in_fd, const Movie &in, int fd)
{
    Movie out;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail("%s: %s", tmppath, strerror(errno));
    out.length = static_cast<uint64_t>(st.st_size);
    if (walk_atoms(fd, 0, out.length, &out.atoms) != out.length)
        return fail("conversion failed: result is not well formed");
    std::string why;
    if (!read_movie_header(fd, &out, &why))
        return fail("conversion result: %s", why.c_str());
    if (!is_streamable(out))
        return fail("conversion failed: movie header still after the media data");

    auto in_media = find_media_ranges(in), out_media = find_media_ranges(out);
    if (in.tracks.size() != out.tracks.size())
        return fail("conversion failed: %zu tracks became %zu", in.tracks.size(), out.tracks.size());
    bool have_shift = false;
    int64_t shift = 0;
    for (size_t t = 0; t < in.tracks.size(); t++) {
        const auto &old_offsets = in.tracks[t].offsets, &new_offsets = out.tracks[t].offsets;
        if (old_offsets.size() != new_offsets.size())
            return fail("conversion failed: chunk count of track %zu changed", t + 1);
        for (size_t c = 0; c < old_offsets.size(); c++) {
            int64_t moved = static_cast<int64_t>(new_offsets[c] - old_offsets[c]);
            if (!have_shift)
                shift = moved, have_shift = true;
            if (moved != shift)
                return fail("conversion failed: chunk offsets not moved by one shift");
        }
    }
    if (!have_shift) {
        if (in_media.empty() || out_media.empty())
            return in_media.empty() || fail("conversion failed: media data lost");
        shift = static_cast<int64_t>(out_media[0].first - in_media[0].first);
    }
    for (const auto &range : in_media) {
        uint64_t begin = range.first + static_cast<uint64_t>(shift);
        uint64_t end = range.second + static_cast<uint64_t>(shift);
        bool inside = false;
        for (const auto &o : out_media)
            inside = inside || (begin >= o.first && end <= o.second);
        if (!inside || !match_bytes(in_fd, range.first, fd, begin, range.second - range.first))
            return fail("conversion failed: media data not found unchanged in the result");
    }
    return true;
}

// ---- putting the result in place -----------------------------------------

// Writes the bytes of from into the open output, over its old ones, then cuts
// a regular file to their length.
static bool write_into(const Target &target, int from, const char *from_name, const char *out)
{
    if (!copy_file(from, target.fd, UINT64_MAX, from_name, out))
        return false;
    if (target.regular) {
        off_t end = lseek(target.fd, 0, SEEK_CUR);
        if (end < 0 || ftruncate(target.fd, end) != 0)
            return fail("%s: %s", out, strerror(errno));
    }
    return true;
}

// Gives back the blocks reserved beyond the end of an output left as it
// was: ext4 keeps them, also those of a reservation it refused half way,
// which would leave the disk full. ext4 frees them on a truncate to the same
// length, tmpfs on a punched hole; both calls and the reservation set the
// modification time, so the old one is put back. Best effort throughout.
static void release_space(const Target &target, uint64_t size)
{
    off_t old = target.st.st_size, want = static_cast<off_t>(size);
    if (want > old) {
        [[maybe_unused]] int cut = ftruncate(target.fd, old);
        fallocate(target.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, old, want - old);
    }
    struct timespec times[2] = {{0, UTIME_OMIT}, target.st.st_mtim};
    futimens(target.fd, times);
}

// Room for size bytes in the output before its first byte is overwritten,
// so that a full disk is met while it is still whole. The reservation lies
// beyond its end and leaves its length as it is.
static bool reserve_space(const Target &target, uint64_t size, const char *out)
{
    if (size == 0 || fallocate(target.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return true;
    int why = errno;
    if (why != EOPNOTSUPP && why != ENOSYS) {
        release_space(target, size);
        return fail("%s: %s", out, strerror(why));
    }
    // The filesystem cannot reserve: count its free blocks instead.
    struct statvfs vfs;
    if (fstatvfs(target.fd, &vfs) != 0)
        return fail("%s: %s", out, strerror(errno));
    uint64_t held = static_cast<uint64_t>(target.st.st_blocks) * 512;
    uint64_t room = static_cast<uint64_t>(geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail) * vfs.f_frsize;
    if (size > held && size - held > room)
        return fail("%s: %s", out, strerror(ENOSPC));
    return true;
}

// Writes the checked result over an existing regular output. Its space is
// reserved first and the stop signals wait until the copy is done, so only a
// failure of the copy itself (an I/O error, a disk that could not reserve and
// filled meanwhile) leaves the output partly written; the result then stays
// where it is and the program says so.
static bool overwrite(const Target &target, int fd, const char *out)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail("%s: %s", tmppath, strerror(errno));
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : stop_signals)
        sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, &old);
    uint64_t size = static_cast<uint64_t>(st.st_size);
    bool ok = reserve_space(target, size, out);
    if (ok && !write_into(target, fd, tmppath, out)) {
        ok = false;
        if (lseek(target.fd, 0, SEEK_CUR) == 0) {
            release_space(target, size); // nothing written over: as it was
        } else {
            keep_result = 1;
            fprintf(stderr, "%s: %s: partly written; the converted movie is kept in %s\n", progname, out, tmppath);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// Replacing the output by the temporary file changes nothing a user can see:
// the caller's own file under one name, without an ACL or other extended
// attributes (which would stay with the old file), whose group and mode the
// temporary file could take on.
static bool may_replace(const Target &target, int fd)
{
    const struct stat &st = target.st;
    if (st.st_uid != geteuid() || st.st_nlink != 1)
        return false;
    ssize_t names = flistxattr(target.fd, nullptr, 0);
    if (names != 0 && !(names < 0 && errno == ENOTSUP))
        return false;
    struct stat now;
    if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 || fchmod(fd, st.st_mode & 07777) != 0
        || fstat(fd, &now) != 0)
        return false;
    return now.st_gid == st.st_gid && (now.st_mode & 07777) == (st.st_mode & 07777);
}

// A new output appears whole, by rename. An existing one keeps its inode,
// owner, group, mode, links and extended attributes: renamed over only where
// may_replace, else overwritten (a device or a pipe written into).
static bool install(const Target &target, int fd, bool beside, const char *out)
{
    if (target.existed && !(beside && may_replace(target, fd)))
        return target.regular ? overwrite(target, fd, out) : write_into(target, fd, tmppath, out);
    if (!target.existed) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0)
            return fail("%s: %s", tmppath, strerror(errno));
    }
    // Flushed before it replaces a file, so that after a crash that file
    // holds its old contents or the new ones, never a gap; a new output has
    // nothing to lose, and is spared the flush's cost (bench/RESULTS.md, row
    // "mov-streamable: flush before rename").
    if (target.existed && fsync(fd) != 0)
        return fail("%s: %s", tmppath, strerror(errno));
    if (rename(tmppath, target.path.c_str()) != 0) {
        if (target.existed)
            return overwrite(target, fd, out);
        return fail("%s: %s", target.path.c_str(), strerror(errno));
    }
    return true;
}

// ---- the whole run -------------------------------------------------------

static bool convert_file(int in_fd, const char *in, const char *out, const Target &target)
{
    Movie movie;
    std::string why;
    if (!read_movie(in_fd, &movie, &why))
        return fail("%s: %s", in, why.c_str());
    if (!is_streamable(movie) && !chunks_in_media(movie))
        return fail("%s: chunk offsets outside the media data", in);
    if (is_streamable(movie) && !target.regular)
        return write_into(target, in_fd, in, out);

    bool beside;
    if (!create_temp_dir(target, &beside))
        return false;
    bool ok = true, mended = false;
    int fd = -1;
    if (is_streamable(movie)) {
        fd = create_temp_file(tmppath);
        ok = fd >= 0 && copy_file(in_fd, fd, UINT64_MAX, in, tmppath);
    } else {
        // The library creates the file by its name; look at what is there after it.
        const char *from = in;
        if (movie.walked < movie.length) {
            ok = trim_input(in_fd, in, movie.walked);
            from = trimpath;
        }
        ok = ok && convert_with_library(from);
        fd = open(tmppath, O_RDWR | O_CLOEXEC);
        if (ok && fd < 0)
            ok = fail("%s: %s", tmppath, strerror(errno));
        ok = ok && mend_result(fd, movie, &mended) && verify(in_fd, movie, fd);
    }
    ok = ok && install(target, fd, beside, out);
    if (fd >= 0)
        close(fd);
    remove_temps();
    if (ok)
        print_notes(mended);
    return ok;
}

static bool make_streamable(const char *in, const char *out)
{
    Target target;
    bool ok = resolve_target(in, out, &target);
    int in_fd = -1;
    if (ok) {
        in_fd = open(in, O_RDONLY | O_CLOEXEC);
        ok = in_fd >= 0 ? convert_file(in_fd, in, out, target) : fail("%s: %s", in, strerror(errno));
    }
    if (in_fd >= 0)
        close(in_fd);
    if (target.fd >= 0 && close(target.fd) != 0 && ok)
        ok = fail("%s: %s", out, strerror(errno));
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
    for (int sig : stop_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            signal(sig, end_on_signal);
    }
    lqt_set_log_callback(log_message, nullptr);

    return make_streamable(argv[1], argv[2]) ? 0 : 1;
}
