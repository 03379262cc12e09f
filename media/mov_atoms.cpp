// The atoms of a QuickTime movie: the top-level walk and the checks of the
// movie header's tables.
#include "mov_atoms.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

enum {
    // A movie header is read whole; its tables grow with the movie's length,
    // and this allows for hours of video.
    moov_limit = 256 * 1024 * 1024,
    // Containers on the way from 'moov' down to the chunk offset tables.
    nesting_limit = 8,
};

uint32_t read_be32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t read_be64(const unsigned char *p)
{
    return uint64_t(read_be32(p)) << 32 | read_be32(p + 4);
}

bool read_at(int fd, uint64_t pos, void *to, size_t size)
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

bool is_type(const Atom &atom, const char *type)
{
    return memcmp(atom.type, type, 4) == 0;
}

// Decodes the header at pos from the bytes at p, which hold end - pos bytes
// or 16, whichever is less. A size of 0 means "up to end"; an atom must not
// pass end.
static bool parse_header(const unsigned char *p, uint64_t pos, uint64_t end, Atom *atom)
{
    if (end - pos < 8)
        return false;
    uint32_t size = read_be32(p);
    atom->pos = pos;
    atom->header = 8;
    memcpy(atom->type, p + 4, 4);
    atom->type[4] = '\0';
    if (size == 1) {
        if (end - pos < 16)
            return false;
        atom->header = 16;
        atom->size = read_be64(p + 8);
    } else if (size == 0) {
        atom->size = end - pos;
    } else {
        atom->size = size;
    }
    return atom->size >= atom->header && atom->size <= end - pos;
}

uint64_t walk_atoms(int fd, uint64_t pos, uint64_t length, std::vector<Atom> *atoms)
{
    while (pos < length) {
        unsigned char head[16];
        size_t want = length - pos < 16 ? static_cast<size_t>(length - pos) : 16;
        Atom atom;
        if (!read_at(fd, pos, head, want) || !parse_header(head, pos, length, &atom))
            return pos;
        for (int i = 0; i < 4; i++)
            if (atom.type[i] < 0x20 || atom.type[i] > 0x7e)
                return pos;
        atoms->push_back(atom);
        pos += atom.size;
    }
    return pos;
}

// The entries that a table's count announces fit in the table. The library
// trusts these counts, and reading past a table makes it loop or crash.
static bool fits_table(const unsigned char *data, const Atom &atom, uint64_t length)
{
    // Bytes before the entries (version, flags, count), and bytes per entry.
    uint64_t fixed = 8, width;
    if (is_type(atom, "stts") || is_type(atom, "ctts") || is_type(atom, "co64"))
        width = 8;
    else if (is_type(atom, "stsc"))
        width = 12;
    else if (is_type(atom, "stss") || is_type(atom, "stps") || is_type(atom, "stco"))
        width = 4;
    else if (is_type(atom, "stsz"))
        fixed = 12, width = 4;
    else if (is_type(atom, "elst"))
        width = atom.size > atom.header && data[atom.pos + atom.header] == 1 ? 20 : 12;
    else if (is_type(atom, "stsd") || is_type(atom, "dref"))
        width = 0; // entries of their own sizes
    else
        return true;
    const unsigned char *body = data + atom.pos + atom.header;
    uint64_t size = atom.size - atom.header;
    if (size < fixed)
        return false;
    uint64_t count = read_be32(body + fixed - 4);
    if (is_type(atom, "stsz") && read_be32(body + 4) != 0)
        return true; // one size for all samples: no entries
    if (width > 0 && count > (size - fixed) / width)
        return false;
    // No sample is larger than the whole file.
    for (uint64_t i = 0; is_type(atom, "stsz") && i < count; i++)
        if (read_be32(body + fixed + 4 * i) > length)
            return false;
    if (width > 0)
        return true;
    // A sample description has at least size, format and data reference
    // index; a data reference size, type, version and flags.
    uint64_t least = is_type(atom, "stsd") ? 16 : 12;
    for (uint64_t pos = fixed, i = 0; i < count; i++) {
        if (size - pos < least)
            return false;
        uint64_t entry = read_be32(body + pos);
        if (entry < least || entry > size - pos)
            return false;
        pos += entry;
    }
    return true;
}

// Collects the chunk offsets ('stco', 32-bit, or 'co64') of every track
// below the container whose body spans [begin, end) of data, and checks the
// tables on the way; data holds nothing past the movie header.
static bool collect_offsets(const unsigned char *data, uint64_t begin, uint64_t end, int depth, uint64_t length,
                            std::vector<Track> *tracks)
{
    if (depth > nesting_limit)
        return false;
    for (uint64_t pos = begin; pos < end;) {
        Atom atom;
        if (!parse_header(data + pos, pos, end, &atom))
            return false;
        uint64_t body = pos + atom.header;
        if (is_type(atom, "trak")) {
            tracks->emplace_back();
            if (!collect_offsets(data, body, pos + atom.size, depth + 1, length, tracks))
                return false;
        } else if (is_type(atom, "mdia") || is_type(atom, "minf") || is_type(atom, "stbl") || is_type(atom, "edts")
                   || is_type(atom, "dinf")) {
            if (!collect_offsets(data, body, pos + atom.size, depth + 1, length, tracks))
                return false;
        } else if (!fits_table(data, atom, length)) {
            return false;
        } else if (is_type(atom, "stco") || is_type(atom, "co64")) {
            uint64_t width = is_type(atom, "stco") ? 4 : 8;
            if (tracks->empty() || (tracks->back().tables & has_offsets))
                return false;
            tracks->back().tables |= has_offsets;
            uint64_t count = read_be32(data + body + 4);
            const unsigned char *entry = data + body + 8;
            for (uint64_t i = 0; i < count; i++, entry += width)
                tracks->back().offsets.push_back(width == 4 ? read_be32(entry) : read_be64(entry));
        } else if (!tracks->empty()) {
            tracks->back().tables |= is_type(atom, "stsd")   ? has_stsd
                                     : is_type(atom, "stts") ? has_stts
                                     : is_type(atom, "stsc") ? has_stsc
                                     : is_type(atom, "stsz") ? has_stsz
                                                             : 0;
        }
        pos += atom.size;
    }
    return true;
}

bool read_movie_header(int fd, Movie *movie, std::string *why)
{
    size_t count = 0;
    for (size_t i = 0; i < movie->atoms.size(); i++)
        if (is_type(movie->atoms[i], "moov"))
            movie->moov = i, count++;
    if (count != 1)
        return *why = count ? "more than one movie header" : "not a QuickTime movie", false;
    const Atom &moov = movie->atoms[movie->moov];
    if (moov.size > moov_limit)
        return *why = "movie header too large", false;
    std::vector<unsigned char> data(moov.size);
    if (!read_at(fd, moov.pos, data.data(), moov.size))
        return *why = errno ? strerror(errno) : "short read", false;
    if (!collect_offsets(data.data(), moov.header, moov.size, 0, movie->length, &movie->tracks))
        return *why = "movie header not well formed", false;
    for (size_t t = 0; t < movie->tracks.size(); t++)
        if (movie->tracks[t].tables != has_all)
            return *why = "track " + std::to_string(t + 1) + " lacks sample tables", false;
    return true;
}

bool read_movie(int fd, Movie *movie, std::string *why)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return *why = strerror(errno), false;
    movie->length = static_cast<uint64_t>(st.st_size);
    // Bytes after the last atom that form none (zero padding, a cut-off
    // fragment) are left out; the atoms before them must hold the movie.
    movie->walked = walk_atoms(fd, 0, movie->length, &movie->atoms);
    if (movie->atoms.empty())
        return *why = "not a QuickTime movie", false;
    return read_movie_header(fd, movie, why);
}

bool is_streamable(const Movie &movie)
{
    for (size_t i = 0; i < movie.moov; i++)
        if (is_type(movie.atoms[i], "mdat"))
            return false;
    return true;
}

std::vector<std::pair<uint64_t, uint64_t>> find_media_ranges(const Movie &movie)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const Atom &atom : movie.atoms)
        if (is_type(atom, "mdat"))
            ranges.emplace_back(atom.pos + atom.header, atom.pos + atom.size);
    return ranges;
}

bool chunks_in_media(const Movie &movie)
{
    auto media = find_media_ranges(movie);
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
