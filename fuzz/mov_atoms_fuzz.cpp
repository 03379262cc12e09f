// mov-streamable's movie reader on arbitrary bytes: the walk over the
// top-level atoms and the checks of the movie header's tables. The header is
// read into a buffer of its own size, so AddressSanitizer stops any read past
// it. Properties: the walk covers the input from its start without gaps up
// to where it stops, and in a movie the reader accepts every table holds the
// entries its count announces and the chunk offsets collected are those of
// the tables, track by track, by an independent reading.
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "mov_atoms.h"

static uint64_t read_be(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | p[i];
    return v;
}

// Walks the atoms in [begin, end) of the input; checks each table below them
// and collects the chunk offsets of each track.
static void read_tables(const uint8_t *d, uint64_t begin, uint64_t end, std::vector<std::vector<uint64_t>> *tracks)
{
    for (uint64_t pos = begin; pos < end;) {
        FUZZ_CHECK(end - pos >= 8);
        uint64_t size = read_be(d + pos, 4), head = 8;
        if (size == 1) {
            FUZZ_CHECK(end - pos >= 16);
            size = read_be(d + pos + 8, 8), head = 16;
        } else if (size == 0) {
            size = end - pos;
        }
        FUZZ_CHECK(size >= head && size <= end - pos);
        const std::string type(reinterpret_cast<const char *>(d + pos + 4), 4);
        const uint8_t *body = d + pos + head;
        const uint64_t length = size - head;
        if (type == "trak")
            tracks->emplace_back();
        if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl" || type == "edts" || type == "dinf") {
            read_tables(d, pos + head, pos + size, tracks);
        } else if (type == "stsd" || type == "dref") {
            FUZZ_CHECK(length >= 8);
            uint64_t at = 8;
            for (uint64_t i = 0, count = read_be(body + 4, 4); i < count; i++) {
                FUZZ_CHECK(length - at >= 4);
                uint64_t entry = read_be(body + at, 4);
                FUZZ_CHECK(entry >= 12 && entry <= length - at);
                at += entry;
            }
        } else {
            uint64_t fixed = type == "stsz" ? 12 : 8, width = 0;
            if (type == "stts" || type == "ctts" || type == "co64")
                width = 8;
            else if (type == "stsc")
                width = 12;
            else if (type == "stss" || type == "stps" || type == "stco")
                width = 4;
            else if (type == "stsz")
                width = length >= 8 && read_be(body + 4, 4) == 0 ? 4 : 0;
            else if (type == "elst")
                width = length > 0 && body[0] == 1 ? 20 : 12;
            if (width > 0) {
                FUZZ_CHECK(length >= fixed);
                uint64_t count = read_be(body + fixed - 4, 4);
                FUZZ_CHECK(fixed + count * width <= length);
                if (type == "stco" || type == "co64") {
                    FUZZ_CHECK(!tracks->empty());
                    for (uint64_t i = 0; i < count; i++)
                        tracks->back().push_back(read_be(body + fixed + i * width, int(width)));
                }
            }
        }
        pos += size;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("mov_atoms_fuzz", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        abort();

    Movie movie;
    std::string why;
    bool accepted = read_movie(fd, &movie, &why);
    uint64_t pos = 0;
    for (const Atom &atom : movie.atoms) {
        FUZZ_CHECK(atom.pos == pos && atom.size >= atom.header && atom.size <= size - pos);
        pos += atom.size;
    }
    FUZZ_CHECK(movie.walked == pos && pos <= size);
    FUZZ_CHECK(accepted == why.empty());
    if (!accepted)
        return 0;

    const Atom &moov = movie.atoms.at(movie.moov);
    FUZZ_CHECK(memcmp(moov.type, "moov", 4) == 0);
    std::vector<std::vector<uint64_t>> tracks;
    read_tables(data + moov.pos, moov.header, moov.size, &tracks);
    FUZZ_CHECK(tracks.size() == movie.tracks.size());
    for (size_t t = 0; t < tracks.size(); t++) {
        FUZZ_CHECK(movie.tracks[t].tables == has_all);
        FUZZ_CHECK(tracks[t] == movie.tracks[t].offsets);
    }
    // What the program asks next must hold up on any accepted movie too.
    if (!is_streamable(movie))
        (void)chunks_in_media(movie);
    return 0;
}
