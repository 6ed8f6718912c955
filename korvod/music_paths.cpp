#include "music_paths.h"

#include <climits>
#include <cstdlib>
#include <memory>

namespace {

struct free_deleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, free_deleter> resolved(realpath(path.c_str(), nullptr));
  if (resolved == nullptr) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

bool music_uri_is_clean(std::string_view uri) {
  if (uri.empty()) return true;
  if (uri.front() == '/') return false;
  for (const char c : uri) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  size_t at = 0;
  for (;;) {
    const size_t slash = uri.find('/', at);
    const std::string_view part = uri.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    at = slash + 1;
  }
}

bool music_path_within(std::string_view root, std::string_view real) {
  if (real == root) return true;
  if (root == "/") return !real.empty() && real.front() == '/';
  return real.size() > root.size() && real.substr(0, root.size()) == root && real[root.size()] == '/';
}

std::optional<std::string> music_path_resolve(const std::string& music_dir, std::string_view uri) {
  if (!music_uri_is_clean(uri)) return std::nullopt;
  const std::optional<std::string> root = real_path(music_dir);
  if (!root) return std::nullopt;
  const std::optional<std::string> real = real_path(uri.empty() ? music_dir : music_dir + "/" + std::string(uri));
  if (!real || !music_path_within(*root, *real)) return std::nullopt;
  return real;
}
