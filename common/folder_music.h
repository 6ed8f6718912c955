// What a folder holds beside its music (cover pictures, notes, playlists)
// is left out of the play list, with one notice a folder. A file named on
// the command line is always listed: the player reports what it cannot play.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "dir2files.h"
#include "music_file.h"

// False when none of the readers knows the file's kind: no native magic of
// theirs, and FFmpeg (when it is among them) finds no audio in it. A file a
// reader knows but refuses (damaged, unsupported) is music.
bool folder_music_is_music(const char* path, std::span<const music_reader> readers);

// The listed paths, less the files found in a folder that are not music;
// prints "skipped N files that are not music in <folder>" once for each
// folder that had any.
std::vector<std::string> folder_music_keep(std::vector<listed_file> listed, std::span<const music_reader> readers);

// The music of one folder as the command line lists a folder's: its regular
// files in byte order, less what is not music, with the same notice.
std::vector<std::string> folder_music_of(const std::string& folder, std::span<const music_reader> readers);
