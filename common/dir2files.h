// File list expansion: the file operands become a sorted list of regular
// files, a directory contributing the regular files directly inside it.
// Symbolic links are followed; a file reached through a directory is listed
// once, however many links lead to it.
#pragma once

#include <string>
#include <vector>

// Examines argv[first_file_index .. argc-1], or "." when there are none, and
// returns the paths in ascending byte order (the caller owns them).
std::vector<std::string> dir2files_build(int first_file_index, int argc, char** argv);
