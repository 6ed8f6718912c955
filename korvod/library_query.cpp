#include "library_query.h"

#include <algorithm>
#include <cctype>

namespace {

std::string folded(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool text_matches(std::string_view have, const song_condition& condition) {
  if (condition.fold_case) {
    const std::string value = folded(have);
    return condition.contains ? value.find(condition.value) != std::string::npos : value == condition.value;
  }
  return condition.contains ? have.find(condition.value) != std::string_view::npos : have == condition.value;
}

bool condition_holds(const song_record& song, const song_condition& condition) {
  bool holds = false;
  if (condition.tag == song_tag::base) {
    holds = library_under(song.uri, condition.value);
  } else if (condition.tag == song_tag::any) {
    holds = text_matches(song.uri, condition);
    for (const song_tag tag : kListedTags) holds = holds || text_matches(library_tag_value(song, tag), condition);
  } else {
    holds = text_matches(library_tag_value(song, condition.tag), condition);
  }
  return holds != condition.negated;
}

// A small reader of filter expressions.
struct expression_reader {
  std::string_view text;
  size_t at = 0;

  void blanks() {
    while (at < text.size() && text[at] == ' ') ++at;
  }
  bool take(std::string_view word) {
    blanks();
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
  }
  std::optional<std::string> word() {
    blanks();
    std::string found;
    while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '-' ||
                                text[at] == '_' || text[at] == '=' || text[at] == '!' || text[at] == '~')) {
      found += text[at++];
    }
    if (found.empty()) return std::nullopt;
    return found;
  }
  std::optional<std::string> quoted() {
    blanks();
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return std::nullopt;
    const char quote = text[at++];
    std::string found;
    while (at < text.size() && text[at] != quote) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      found += text[at++];
    }
    if (at >= text.size()) return std::nullopt;
    ++at;
    return found;
  }
};

bool read_expression(expression_reader& reader, song_filter& filter, int depth) {
  if (depth > 16 || !reader.take("(")) return false;
  reader.blanks();
  if (reader.at < reader.text.size() && reader.text[reader.at] == '(') {
    // (A AND B AND …)
    for (;;) {
      if (!read_expression(reader, filter, depth + 1)) return false;
      if (reader.take(")")) return true;
      if (!reader.take("AND")) return false;
    }
  }
  const std::optional<std::string> name = reader.word();
  if (!name) return false;
  song_condition condition;
  if (*name == "base") {
    const std::optional<std::string> value = reader.quoted();
    if (!value) return false;
    condition.tag = song_tag::base;
    condition.value = *value;
  } else {
    const std::optional<song_tag> tag = library_tag_by_name(*name);
    const std::optional<std::string> op = reader.word();
    const std::optional<std::string> value = reader.quoted();
    if (!tag || *tag == song_tag::base || !op || !value) return false;
    condition.tag = *tag;
    if (*op == "==") {
    } else if (*op == "!=") {
      condition.negated = true;
    } else if (*op == "contains") {
      condition.contains = true;
    } else if (*op == "eq_cs") {
    } else {
      return false;
    }
    condition.value = *value;
  }
  filter.all.push_back(std::move(condition));
  return reader.take(")");
}

}  // namespace

std::optional<song_filter> query_parse_filter(const std::vector<std::string>& args, bool search, std::string* why) {
  song_filter filter;
  size_t end = args.size();
  // sort and window are taken and left alone: results come in path order.
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "sort" || args[i] == "window") {
      end = std::min(end, i);
    }
  }
  if (end >= 1 && !args[0].empty() && args[0].front() == '(') {
    expression_reader reader{args[0]};
    if (end != 1 || !read_expression(reader, filter, 0) || (reader.blanks(), reader.at != reader.text.size())) {
      *why = "Malformed filter expression";
      return std::nullopt;
    }
    if (search) {
      for (song_condition& condition : filter.all) {
        condition.fold_case = true;
        condition.value = folded(condition.value);
      }
    }
    return filter;
  }
  if (end == 0 || end % 2 != 0) {
    *why = "incorrect arguments";
    return std::nullopt;
  }
  for (size_t i = 0; i < end; i += 2) {
    const std::optional<song_tag> tag = library_tag_by_name(args[i]);
    if (!tag) {
      *why = "Unknown filter type";
      return std::nullopt;
    }
    song_condition condition;
    condition.tag = *tag;
    condition.value = args[i + 1];
    if (search && *tag != song_tag::base) {
      condition.contains = true;
      condition.fold_case = true;
      condition.value = folded(condition.value);
    }
    filter.all.push_back(std::move(condition));
  }
  return filter;
}

bool query_matches(const song_record& song, const song_filter& filter) {
  return std::all_of(filter.all.begin(), filter.all.end(),
                     [&](const song_condition& condition) { return condition_holds(song, condition); });
}
