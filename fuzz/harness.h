// Shared pieces of the fuzz targets: a program's exit() turned into a jump
// back to the target, so that one process can run the program many times.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline jmp_buf fuzz_exit_jump;
inline int fuzz_exit_status;

[[noreturn]] inline void fuzz_exit(int status)
{
    fflush(stdout);
    fuzz_exit_status = status;
    longjmp(fuzz_exit_jump, 1);
}

// A property failed: say which, with the input size, and stop the run so
// that libFuzzer keeps the input.
#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) { \
            fprintf(stderr, "fuzz: property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort(); \
        } \
    } while (0)

// Splits input bytes at zero bytes into words; every word is a string.
#include <string>
#include <vector>
inline std::vector<std::string> split_words(const uint8_t *data, size_t size)
{
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(char(data[i]));
    }
    return words;
}

// A small deterministic generator for read sizes and the like.
struct FuzzRandom {
    uint64_t state;
    uint32_t next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    }
};
