#include "library.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <utility>

#include "control_channel.h"

namespace {

constexpr std::string_view kCacheHeader = "korvod library 1";

struct tag_name_entry {
  song_tag tag;
  std::string_view name;
};
constexpr tag_name_entry kTagNames[] = {
    {song_tag::artist, "Artist"}, {song_tag::album, "Album"}, {song_tag::title, "Title"}, {song_tag::track, "Track"},
    {song_tag::date, "Date"},     {song_tag::file, "file"},   {song_tag::any, "any"},     {song_tag::base, "base"},
};

std::vector<std::string_view> split_tabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

std::optional<int64_t> number(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<song_tag> library_tag_by_name(std::string_view name) {
  for (const tag_name_entry& entry : kTagNames) {
    if (entry.name.size() == name.size() && strncasecmp(entry.name.data(), name.data(), name.size()) == 0) {
      return entry.tag;
    }
  }
  return std::nullopt;
}

std::string_view library_tag_name(song_tag tag) {
  for (const tag_name_entry& entry : kTagNames) {
    if (entry.tag == tag) return entry.name;
  }
  return {};
}

std::string_view library_tag_value(const song_record& song, song_tag tag) {
  switch (tag) {
    case song_tag::artist: return song.artist;
    case song_tag::album: return song.album;
    case song_tag::title: return song.title;
    case song_tag::track: return song.track;
    case song_tag::date: return song.date;
    case song_tag::file: return song.uri;
    case song_tag::any:
    case song_tag::base: return {};
  }
  return {};
}

const song_record* library_find_song(const music_library& library, std::string_view uri) {
  const auto found = std::lower_bound(library.songs.begin(), library.songs.end(), uri,
                                      [](const song_record& song, std::string_view key) { return song.uri < key; });
  return found != library.songs.end() && found->uri == uri ? &*found : nullptr;
}

bool library_has_directory(const music_library& library, std::string_view uri) {
  if (uri.empty()) return true;
  const auto found =
      std::lower_bound(library.directories.begin(), library.directories.end(), uri,
                       [](const directory_record& directory, std::string_view key) { return directory.uri < key; });
  return found != library.directories.end() && found->uri == uri;
}

std::string_view library_parent(std::string_view uri) {
  const size_t slash = uri.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : uri.substr(0, slash);
}

bool library_under(std::string_view uri, std::string_view base) {
  if (base.empty()) return true;
  return uri == base || (uri.size() > base.size() && uri.substr(0, base.size()) == base && uri[base.size()] == '/');
}

std::string library_cache_text(const music_library& library) {
  std::string text(kCacheHeader);
  text += "\nupdated\t" + std::to_string(library.updated) + "\n";
  for (const directory_record& directory : library.directories) {
    text += "directory\t" + control_escape(directory.uri) + "\t" + std::to_string(directory.modified) + "\n";
  }
  for (const song_record& song : library.songs) {
    text += "song\t" + control_escape(song.uri) + "\t" + std::to_string(song.modified) + "\t" +
            std::to_string(song.duration_ms) + "\t" + control_escape(song.format);
    for (const std::string* tag : {&song.title, &song.artist, &song.album, &song.track, &song.date}) {
      text += "\t" + control_escape(*tag);
    }
    text += "\n";
  }
  return text;
}

std::optional<music_library> library_from_cache_text(std::string_view text) {
  music_library library;
  bool header = true;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (std::exchange(header, false)) {
      if (line != kCacheHeader) return std::nullopt;
      continue;
    }
    const std::vector<std::string_view> fields = split_tabs(line);
    if (fields[0] == "updated" && fields.size() == 2) {
      library.updated = number(fields[1]).value_or(0);
    } else if (fields[0] == "directory" && fields.size() == 3) {
      library.directories.push_back({control_unescape(fields[1]), number(fields[2]).value_or(0)});
    } else if (fields[0] == "song" && fields.size() == 10) {
      song_record song;
      song.uri = control_unescape(fields[1]);
      song.modified = number(fields[2]).value_or(0);
      song.duration_ms = number(fields[3]).value_or(0);
      song.format = control_unescape(fields[4]);
      song.title = control_unescape(fields[5]);
      song.artist = control_unescape(fields[6]);
      song.album = control_unescape(fields[7]);
      song.track = control_unescape(fields[8]);
      song.date = control_unescape(fields[9]);
      library.songs.push_back(std::move(song));
    } else if (!line.empty()) {
      return std::nullopt;
    }
  }
  if (header) return std::nullopt;
  const auto by_uri = [](const auto& a, const auto& b) { return a.uri < b.uri; };
  std::sort(library.directories.begin(), library.directories.end(), by_uri);
  std::sort(library.songs.begin(), library.songs.end(), by_uri);
  return library;
}
