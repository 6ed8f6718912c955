// File list expansion: the file operands become a sorted list of regular
// files, a directory contributing the regular files directly inside it.
#pragma once

// Examines argv[first_file_index .. argc-1], or "." when there are none, and
// returns the sorted paths as a null-terminated array (never null). The texts
// live in the module's pool: copy them before releasing.
char** dir2files_build(int first_file_index, int argc, char** argv);

// Frees the result array and empties the list (the pool keeps its memory).
void dir2files_release_result();

// Frees everything; the module is back in its initial state.
void dir2files_release_all();
