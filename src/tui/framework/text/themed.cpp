#include "tui/framework/text/themed.hpp"

#include <map>
#include <mutex>
#include <utility>

namespace orvo::tui {

namespace {

// Dark-look colour -> light-look colour. Foregrounds keep at least 4.5:1 on white; the
// backgrounds (selection, code) stay light enough for dark text.
constexpr std::pair<std::string_view, std::string_view> kLight[] = {
    {"#32cd32", "#1a7f37"},  // success, added lines: lime is unreadable on white
    {"red", "#cf222e"},      // failures, removed lines
    {"yellow", "#9a6700"},   // warnings, approval questions, queued prompts
    {"#d7af00", "#9a6700"},  // notes in the status row
    {"white", "#1f2328"},    // prompts and headings, drawn bold
    {"#5f87ff", "#0969da"},  // marks, tool heads, borders
    {"#87af87", "#116329"},  // the status row
    {"#6c6c6c", "#59636e"},  // the key legend
    {"cyan", "#0550ae"},     // thinking
    {"#264f78", "#add6ff"},  // selection background
    {"#2a2a2a", "#eff1f3"},  // code background
    {"#d72b6b", "#b3245c"},  // code text
};

std::string_view swap(std::string_view word) {
  for (const auto& [dark, light] : kLight)
    if (word == dark) return light;
  return word;
}

}  // namespace

std::string themed_definition(std::string_view dark_definition, ThemeKind kind) {
  if (kind == ThemeKind::dark) return std::string(dark_definition);
  std::string out;
  std::size_t pos = 0;
  while (pos < dark_definition.size()) {
    const std::size_t end = dark_definition.find(' ', pos);
    const std::string_view word = dark_definition.substr(
        pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    out += swap(word);
    if (end == std::string_view::npos) break;
    out += ' ';
    pos = end + 1;
  }
  return out;
}

const Style& themed(std::string_view dark_definition, ThemeKind kind) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, ThemeKind>, Style, std::less<>> cache;
  std::lock_guard lock(mutex);
  std::pair<std::string, ThemeKind> key(dark_definition, kind);
  auto it = cache.find(key);
  if (it == cache.end())
    it =
        cache.emplace(std::move(key), Style::parse(themed_definition(dark_definition, kind))).first;
  return it->second;
}

std::string_view code_theme_for(ThemeKind kind) {
  return kind == ThemeKind::light ? "github-light" : "monokai";
}

}  // namespace orvo::tui
