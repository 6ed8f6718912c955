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

// A listed path and the directory operand it was found in, as typed; empty
// for a file named as an operand.
struct listed_file {
  std::string path;
  std::string folder;
};

// dir2files_build, each path with where it came from.
std::vector<listed_file> dir2files_list(int first_file_index, int argc, char** argv);
