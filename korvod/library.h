// The music library: what the music folder holds, read once by a scan and
// kept in the state folder. Songs and folders are named by their path
// relative to the music folder ("Miles/Kind of Blue/01.flac").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct song_record {
  std::string uri;
  int64_t modified = 0;  // seconds since the epoch
  int64_t duration_ms = 0;
  std::string format;  // "44100:16:2", "dsd64:2"
  std::string title;
  std::string artist;
  std::string album;
  std::string track;
  std::string date;
};

struct directory_record {
  std::string uri;
  int64_t modified = 0;
};

struct music_library {
  std::vector<directory_record> directories;  // sorted by uri, the root not among them
  std::vector<song_record> songs;             // sorted by uri
  int64_t updated = 0;                        // when the last scan ended, seconds since the epoch
};

// The tags a client can ask for and filter by, and the pseudo tags of
// find and search.
enum class song_tag { artist, album, title, track, date, file, any, base };
constexpr song_tag kListedTags[] = {song_tag::artist, song_tag::album, song_tag::title, song_tag::track,
                                    song_tag::date};

std::optional<song_tag> library_tag_by_name(std::string_view name);  // case-insensitive
std::string_view library_tag_name(song_tag tag);                     // "Artist", …
std::string_view library_tag_value(const song_record& song, song_tag tag);

const song_record* library_find_song(const music_library& library, std::string_view uri);
// "" (the root) included.
bool library_has_directory(const music_library& library, std::string_view uri);
// The folder a song or folder lies in: "a/b/c.flac" -> "a/b", "c.flac" -> "".
std::string_view library_parent(std::string_view uri);
// Whether uri is the folder `base` or lies under it ("" holds everything).
bool library_under(std::string_view uri, std::string_view base);

// The library as its cache file holds it, and back (empty for a text that
// is not one).
std::string library_cache_text(const music_library& library);
std::optional<music_library> library_from_cache_text(std::string_view text);
