// The atoms of a QuickTime movie as mov-streamable reads them: the walk over
// the top-level atoms, and the movie header's sample tables checked against
// the counts they announce before anything trusts those counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
    uint64_t walked = 0;     // end of the last well-formed top-level atom
    std::vector<Atom> atoms; // top level, in file order
    size_t moov = 0;         // index of 'moov' in atoms
    std::vector<Track> tracks;
};

uint32_t read_be32(const unsigned char *p);
uint64_t read_be64(const unsigned char *p);
bool read_at(int fd, uint64_t pos, void *to, size_t size);
bool is_type(const Atom &atom, const char *type);

// Walks the top-level atoms of fd from pos toward length and returns where
// the walk stopped: at length, or at the first header that is not well
// formed, with atoms holding those before it.
uint64_t walk_atoms(int fd, uint64_t pos, uint64_t length, std::vector<Atom> *atoms);

// Walks a movie file and reads its header, checking every sample table
// against the count it announces and collecting the chunk offsets of each
// track; false with why (a text for after the file name) when it is no movie
// the conversion can trust.
bool read_movie(int fd, Movie *movie, std::string *why);
// Reads the header of a movie whose top-level atoms are already walked.
bool read_movie_header(int fd, Movie *movie, std::string *why);

// The movie header already precedes all media data (or there is none).
bool is_streamable(const Movie &movie);
// The payload [begin, end) of each 'mdat'.
std::vector<std::pair<uint64_t, uint64_t>> find_media_ranges(const Movie &movie);
// Every chunk lies in the media data, which is what the conversion moves.
bool chunks_in_media(const Movie &movie);
