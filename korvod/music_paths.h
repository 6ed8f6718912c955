// What a client may name: a path relative to the music folder that stays
// inside it, however its links lead.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A relative path of plain components: not absolute, no "", "." or ".."
// component, no control bytes. The root is "".
bool music_uri_is_clean(std::string_view uri);

// The real path (links resolved) of uri under the folder, when it exists
// and lies inside the folder's own real path; empty otherwise.
std::optional<std::string> music_path_resolve(const std::string& music_dir, std::string_view uri);

// True when `real` (a resolved path) is the root or lies under it.
bool music_path_within(std::string_view root, std::string_view real);
