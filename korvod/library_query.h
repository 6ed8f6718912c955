// Questions to the library: which songs a filter takes (find's exact
// match, search's case-insensitive substring, MPD's filter expressions),
// and the values of a tag.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "library.h"

struct song_condition {
  song_tag tag = song_tag::any;
  std::string value;
  bool negated = false;
  bool contains = false;  // a substring, else the whole value
  bool fold_case = false;
};

struct song_filter {
  std::vector<song_condition> all;  // every one must hold
};

// The filter of find (exact) or search (substring, any case) from the
// command's arguments: "TAG VALUE" pairs, or one expression such as
// (Artist == "Miles") or ((album contains 'blue') AND (base 'jazz')).
// Empty with the reason in *why.
std::optional<song_filter> query_parse_filter(const std::vector<std::string>& args, bool search, std::string* why);

bool query_matches(const song_record& song, const song_filter& filter);
