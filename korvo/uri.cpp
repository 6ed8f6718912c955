#include "uri.h"

#include <dirent.h>

#include <cstdlib>
#include <memory>

std::string uri_percent_decode(std::string_view encoded) {
  std::string decoded;
  decoded.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size()) {
      const int high = hex_digit_value(encoded[i + 1]);
      const int low = hex_digit_value(encoded[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded.push_back(static_cast<char>((high << 4) | low));
        i += 2;
        continue;
      }
    }
    decoded.push_back(encoded[i]);
  }
  return decoded;
}

std::optional<std::string> uri_cdda_directory(std::string_view host, const char* home) {
  if (home == nullptr) return std::nullopt;
  const std::string gvfs = std::string(home) + "/.gvfs/";
  dirent** entries = nullptr;
  const int count = scandir(gvfs.c_str(), &entries, nullptr, alphasort);
  if (count < 0) return std::nullopt;
  std::optional<std::string> found;
  for (int i = 0; i < count; ++i) {
    const std::string_view name = entries[i]->d_name;
    if (name.starts_with("cdda") && name.find(host) != std::string_view::npos) found = gvfs + std::string(name) + "/";
    free(entries[i]);
  }
  free(entries);
  return found;
}

std::optional<std::string> uri_to_path(std::string_view uri, const char* home) {
  uri = uri.substr(0, uri.find_first_of("\r\n"));
  if (uri.starts_with(kFileScheme)) return uri_percent_decode(uri.substr(kFileScheme.size()));
  if (!uri.starts_with(kCddaScheme)) return std::nullopt;
  const std::string_view rest = uri.substr(kCddaScheme.size());
  const size_t slash = rest.find('/');
  const std::string_view host = rest.substr(0, slash);
  const std::optional<std::string> directory = uri_cdda_directory(host, home);
  if (!directory) return std::nullopt;
  const std::string_view track = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  return *directory + uri_percent_decode(track);
}
