// Paths as devsim compares them: the scenario's device paths, the paths a
// program opens, and the launcher's own files.
#pragma once

#include <string>

// Collapses repeated slashes and resolves "." and ".." without looking at the
// file system; a relative path stays relative.
std::string normalize_path(const std::string &path);

// PATH as the kernel would start from it: relative paths are put after the
// folder of DIRFD (AT_FDCWD: the current folder). Left as it is when that
// folder cannot be found.
std::string full_path(int dirfd, const char *path);

// Resolves symbolic links along an absolute path; unlike realpath it goes on
// when the end does not exist (a link to a device missing on this machine).
std::string follow_links(std::string pending);

// Whether the path is of a kind devsim plays (and therefore never opened for real).
bool is_played_kind(const std::string &normalized);
