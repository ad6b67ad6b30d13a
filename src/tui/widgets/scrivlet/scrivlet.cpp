// The class shell: construction, the width rule of write, line counting, clear and the replay.
#include "tui/widgets/scrivlet/scrivlet.hpp"

#include <exception>

#include "tui/framework/widgets/app.hpp"

namespace orvo::tui::scrivlet {

namespace {

// The code point starting at byte `i` and its length; an invalid byte reads as itself, length 1.
char32_t decode(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int extra = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0 && b0 >= 0xC2) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0 && b0 <= 0xF4) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    return 0xFFFD;
  }
  if (i + static_cast<std::size_t>(extra) >= s.size()) return 0xFFFD;
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms and surrogates are invalid: one byte at a time then.
  if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0xFFFD;
  len = static_cast<std::size_t>(extra) + 1;
  return cp;
}

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

std::pair<std::string, std::string> tool_header(std::string_view name) {
  for (const auto& h : TOOL_HEADERS)
    if (h.name == name) return {std::string(h.label), std::string(h.verb)};
  return {std::string(name), std::string(name)};
}

const Theme& custom_theme() {
  static const Theme theme = [] {
    std::map<std::string, std::string> defs;
    for (const auto& s : CUSTOM_THEME) defs.emplace(s.name, s.definition);
    return Theme(defs);
  }();
  return theme;
}

namespace {

// Length of the line break starting at byte i (0 when there is none): the ASCII breaks, NEL,
// LS and PS. Byte patterns suffice: in UTF-8 these lead bytes never occur inside another
// character.
std::size_t break_at(std::string_view t, std::size_t i) {
  const auto b = static_cast<unsigned char>(t[i]);
  if (b < 0x20) {
    if (b == '\r') return i + 1 < t.size() && t[i + 1] == '\n' ? 2 : 1;
    return (b == '\n' || b == 0x0B || b == 0x0C || b == 0x1C || b == 0x1D || b == 0x1E) ? 1 : 0;
  }
  if (b == 0xC2) return i + 1 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0x85 ? 2 : 0;
  if (b == 0xE2 && i + 2 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0x80) {
    const auto c = static_cast<unsigned char>(t[i + 2]);
    return c == 0xA8 || c == 0xA9 ? 3 : 0;
  }
  return 0;
}

// Bytes that may start a line break; everything else is skipped at table speed (tool output
// runs to tens of kilobytes and every replay walks it).
struct BreakLeads {
  bool lead[256] = {};
  constexpr BreakLeads() {
    for (int b = 0; b < 0x20; ++b) lead[b] = true;
    lead[0xC2] = lead[0xE2] = true;
  }
};
constexpr BreakLeads kBreakLeads;

std::size_t next_candidate(std::string_view t, std::size_t i) {
  const char* p = t.data();
  const std::size_t n = t.size();
  while (i < n && !kBreakLeads.lead[static_cast<unsigned char>(p[i])]) ++i;
  return i;
}

}  // namespace

std::vector<std::string_view> line_views(std::string_view text, std::size_t limit) {
  std::vector<std::string_view> out;
  std::size_t start = 0, i = 0;
  while (out.size() < limit && (i = next_candidate(text, i)) < text.size()) {
    const std::size_t len = break_at(text, i);
    if (len == 0) {
      ++i;
      continue;
    }
    out.push_back(text.substr(start, i - start));
    i += len;
    start = i;
  }
  if (start < text.size() && out.size() < limit) out.push_back(text.substr(start));
  return out;
}

std::size_t count_lines(std::string_view text) {
  std::size_t n = 0, start = 0, i = 0;
  while ((i = next_candidate(text, i)) < text.size()) {
    const std::size_t len = break_at(text, i);
    if (len == 0) {
      ++i;
      continue;
    }
    ++n;
    i += len;
    start = i;
  }
  return n + (start < text.size() ? 1 : 0);
}

std::vector<std::string> split_lines(std::string_view text) {
  const auto views = line_views(text);
  return std::vector<std::string>(views.begin(), views.end());
}

std::string_view strip(std::string_view text) {
  auto space_at = [&](std::size_t i, std::size_t& len) {
    const auto b = static_cast<unsigned char>(text[i]);
    len = 1;
    if (b < 0x80) return is_space(b);
    const char32_t c = decode(text, i, len);
    return len > 1 && is_space(c);
  };
  std::size_t begin = 0, len = 1;
  while (begin < text.size() && space_at(begin, len)) begin += len;
  std::size_t end = text.size();
  while (end > begin) {
    // The start of the last character: at most three continuation bytes back.
    std::size_t s = end - 1;
    while (s > begin && end - s < 4 && (static_cast<unsigned char>(text[s]) & 0xC0) == 0x80) --s;
    if (!space_at(s, len) || s + len != end) break;
    end = s;
  }
  return text.substr(begin, end - begin);
}

bool has_content(std::string_view text) {
  return !strip(text).empty();
}

std::string_view cut(std::string_view text, std::size_t n) {
  std::size_t i = 0, count = 0;
  while (i < text.size() && count < n) {
    std::size_t len = 1;
    decode(text, i, len);
    i += len;
    ++count;
  }
  return text.substr(0, i);
}

Scrivlet::Scrivlet(ScrivletOptions options)
    : WidgetType(RichLogOptions{std::move(options.id), true, options.max_lines, options.auto_scroll,
                                options.stay_when_scrolled_up}) {}

void Scrivlet::on_mount() {
  console().push_theme(custom_theme());
}

Scrivlet& Scrivlet::write(const Renderable& content, std::optional<int> width) {
  if (!width) {
    try {
      const int w = size().width - 2;
      if (w > 10) width = w;
    } catch (const std::exception&) {
      // No size yet: the base log's default width applies.
    }
  }
  RichLog::write(content, width);
  return *this;
}

std::optional<int> Scrivlet::_app_width() const {
  try {
    if (App* a = app()) return a->size().width;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

int Scrivlet::_track_lines(int count) {
  const int start = _line_counter.value_or(0);
  _line_counter = start + count;
  return start;
}

void Scrivlet::_spacer() {
  _history.emplace_back("spacer");
  write(Text(""));
  _track_lines();
}

void Scrivlet::clear() {
  RichLog::clear();
  if (!_rerendering) {
    _history.clear();
    _thinking_states.clear();
    _thinking_line_map.clear();
  }
  _line_counter = 0;
}

void Scrivlet::reset_steps() {
  _step_count = 0;
}

void Scrivlet::_rerender() {
  _rerendering = true;
  const int saved_y = scroll_offset().y;
  RichLog::clear();
  _thinking_line_map.clear();
  _line_counter = 0;
  // Indexes, not iterators: a renderer must not invalidate the walk even if it appends.
  for (std::size_t i = 0; i < _history.size(); ++i) {
    const HistoryEntry& e = _history[i];
    const std::string& k = e.kind();
    const auto& v = e.values();
    auto has = [&](std::size_t n) { return v.size() >= n; };
    if (k == "spacer") {
      write(Text(""));
      _track_lines();
    } else if (k == "user" && has(1)) {
      _render_user(v[0]);
    } else if (k == "assistant" && has(1)) {
      _render_assistant(v[0]);
    } else if (k == "thinking" && has(1)) {
      const int idx = static_cast<int>(i);
      const auto it = _thinking_states.find(idx);
      _render_thinking(v[0], it != _thinking_states.end() && it->second, idx);
    } else if (k == "tool" && has(2)) {
      _render_tool(v[0], v[1]);
    } else if (k == "tool_done" && has(3)) {
      _render_tool_done(v[0], v[1], v[2]);
    } else if (k == "tool_result" && has(2)) {
      _render_tool_result(v[0], v[1] == "true");
    } else if (k == "info" && has(1)) {
      _render_info(v[0]);
    } else if (k == "error" && has(1)) {
      _render_error(v[0]);
    } else if (k == "turn_summary" && has(1)) {
      _render_turn_summary(v[0]);
    } else if (k == "approval" && has(2)) {
      _render_approval(v[0], v[1]);
    } else if (k == "queued" && has(1)) {
      _render_queued(v[0]);
    } else if (k == "raw" && e.renderable()) {
      write(*e.renderable());
      _track_lines();
    }
    // Any other kind (or an entry missing its values) is skipped.
  }
  _rerendering.reset();
  scroll_to(saved_y, false);
}

}  // namespace orvo::tui::scrivlet
