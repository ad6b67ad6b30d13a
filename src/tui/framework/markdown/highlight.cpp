#include "tui/framework/markdown/highlight.hpp"

#include <srchilite/formatter.h>
#include <srchilite/formattermanager.h>
#include <srchilite/formatterparams.h>
#include <srchilite/langdefmanager.h>
#include <srchilite/regexrulefactory.h>
#include <srchilite/settings.h>
#include <srchilite/sourcehighlighter.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

namespace orvo::tui {
namespace {

constexpr int kTabSize = 4;
// Longer lines are left plain: the library's regex search is quadratic in the line length.
constexpr std::size_t kMaxHighlightLine = 2000;
constexpr std::size_t kCacheBytes = 16u << 20;

struct LanguageEntry {
  std::string_view name;
  std::string_view file;
};

// Fence names we know, lower case. Files starting with "kv-" are our own (the library has no
// grammar for them, or its grammar needs headers that answers usually leave out).
constexpr LanguageEntry kLanguages[] = {
    {"py", "python.lang"},
    {"python", "python.lang"},
    {"python3", "python.lang"},
    {"c", "c.lang"},
    {"h", "c.lang"},
    {"cpp", "cpp.lang"},
    {"c++", "cpp.lang"},
    {"cxx", "cpp.lang"},
    {"cc", "cpp.lang"},
    {"hpp", "cpp.lang"},
    {"js", "javascript.lang"},
    {"javascript", "javascript.lang"},
    {"jsx", "javascript.lang"},
    {"mjs", "javascript.lang"},
    {"ts", "javascript.lang"},
    {"typescript", "javascript.lang"},
    {"tsx", "javascript.lang"},
    {"rust", "rust.lang"},
    {"rs", "rust.lang"},
    {"go", "go.lang"},
    {"golang", "go.lang"},
    {"java", "java.lang"},
    {"sh", "sh.lang"},
    {"bash", "sh.lang"},
    {"shell", "sh.lang"},
    {"zsh", "sh.lang"},
    {"console", "sh.lang"},
    {"json", "json.lang"},
    {"yaml", "kv-yaml.lang"},
    {"yml", "kv-yaml.lang"},
    {"toml", "kv-toml.lang"},
    {"diff", "kv-diff.lang"},
    {"patch", "kv-diff.lang"},
    {"sql", "sql.lang"},
    {"cmake", "kv-cmake.lang"},
};

// Element names used by the library's grammars (and ours), mapped to our token kinds; anything
// else is plain.
constexpr std::pair<std::string_view, TokenKind> kElements[] = {
    {"keyword", TokenKind::Keyword},
    {"type", TokenKind::Type},
    {"usertype", TokenKind::Type},
    {"classname", TokenKind::Type},
    {"function", TokenKind::Function},
    {"predef_func", TokenKind::Function},
    {"string", TokenKind::String},
    {"regexp", TokenKind::String},
    {"valquote", TokenKind::String},
    {"url", TokenKind::String},
    {"specialchar", TokenKind::Escape},
    {"number", TokenKind::Number},
    {"comment", TokenKind::Comment},
    {"todo", TokenKind::Comment},
    {"preproc", TokenKind::Preproc},
    {"symbol", TokenKind::Operator},
    {"cbracket", TokenKind::Punctuation},
    {"variable", TokenKind::Variable},
    {"predef_var", TokenKind::Variable},
    {"label", TokenKind::Tag},
    {"key", TokenKind::Tag},
    {"keyquote", TokenKind::Tag},
    {"newfile", TokenKind::Inserted},
    {"oldfile", TokenKind::Deleted},
    {"difflines", TokenKind::Heading},
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool has_file(const std::string& dir, std::string_view file) {
  std::error_code ec;
  return !dir.empty() && std::filesystem::is_regular_file(std::filesystem::path(dir) / file, ec);
}

// Collects the pieces the library formats for one line.
struct LineSink {
  CodeLine* line = nullptr;
};

class KindFormatter : public srchilite::Formatter {
 public:
  KindFormatter(LineSink* sink, TokenKind kind) : sink_(sink), kind_(kind) {}
  void format(const std::string& s, const srchilite::FormatterParams*) override {
    if (s.empty() || sink_->line == nullptr) return;
    CodeLine& line = *sink_->line;
    const auto offset = static_cast<std::uint32_t>(line.text.size());
    line.text += s;
    if (!line.tokens.empty() && line.tokens.back().kind == kind_) {
      line.tokens.back().length += static_cast<std::uint32_t>(s.size());
    } else {
      line.tokens.push_back({offset, static_cast<std::uint32_t>(s.size()), kind_});
    }
  }

 private:
  LineSink* sink_;
  TokenKind kind_;
};

// The library's state: grammars are loaded once and shared, and nothing in it may be used from
// two threads at once, so everything below runs under `mutex`.
class Engine {
 public:
  static Engine& instance() {
    static Engine engine;
    return engine;
  }

  std::mutex mutex;

  // Tokenises `lines` in place (their text is replaced by what the library hands back, which is
  // the same text); returns false when the grammar is unavailable.
  bool highlight(std::string_view file, std::vector<CodeLine>& lines) {
    srchilite::HighlightStatePtr state = grammar(file);
    if (!state) return false;
    try {
      srchilite::SourceHighlighter highlighter(state);
      highlighter.setFormatterManager(&formatters_);
      highlighter.setOptimize(true);
      srchilite::FormatterParams params;
      highlighter.setFormatterParams(&params);
      for (CodeLine& line : lines) {
        if (line.text.empty()) continue;
        if (line.text.size() > kMaxHighlightLine) {
          line.tokens = {{0, static_cast<std::uint32_t>(line.text.size()), TokenKind::Plain}};
          continue;
        }
        CodeLine out;
        sink_.line = &out;
        try {
          params.start = 0;
          highlighter.highlightParagraph(line.text);
        } catch (...) {
          out.text.clear();
        }
        sink_.line = nullptr;
        if (out.text == line.text) {
          line.tokens = std::move(out.tokens);
        } else {
          // The library lost track; show this line plain and restart its state.
          line.tokens = {{0, static_cast<std::uint32_t>(line.text.size()), TokenKind::Plain}};
          highlighter.clearStateStack();
          highlighter.setCurrentState(highlighter.getMainState());
        }
      }
    } catch (...) {
      sink_.line = nullptr;
      return false;
    }
    return true;
  }

 private:
  Engine() : manager_(&factory_), formatters_(make_formatter(TokenKind::Plain)) {
    for (const auto& [name, kind] : kElements) {
      formatters_.addFormatter(std::string(name), make_formatter(kind));
    }
    data_dir_ = find_data_dir();
    if (const char* env = std::getenv("KV_LANG_DIR"); env != nullptr && *env != '\0') {
      own_dir_ = env;
    } else {
#ifdef KV_LANG_DIR
      own_dir_ = KV_LANG_DIR;
#endif
    }
  }

  srchilite::FormatterPtr make_formatter(TokenKind kind) {
    return srchilite::FormatterPtr(new KindFormatter(&sink_, kind));
  }

  static std::string find_data_dir() {
    std::string candidates[3];
    try {
      candidates[0] = srchilite::Settings::retrieveDataDir();
    } catch (...) {
    }
    candidates[1] = "/usr/share/source-highlight";
    candidates[2] = "/usr/local/share/source-highlight";
    for (const std::string& dir : candidates) {
      if (has_file(dir, "cpp.lang")) return dir;
    }
    return {};
  }

  srchilite::HighlightStatePtr grammar(std::string_view file) {
    auto it = grammars_.find(file);
    if (it != grammars_.end()) return it->second;
    srchilite::HighlightStatePtr state;
    std::string dir = file.starts_with("kv-") ? own_dir_ : data_dir_;
    std::string name(file);
    // Without our own files (a binary moved away from its sources) diffs still get the
    // library's grammar, which needs file headers but is better than nothing.
    if (name == "kv-diff.lang" && !has_file(dir, name)) {
      dir = data_dir_;
      name = "diff.lang";
    }
    if (has_file(dir, name)) {
      try {
        state = manager_.getHighlightState(dir, name);
      } catch (...) {
        state.reset();
      }
    }
    grammars_.emplace(std::string(file), state);  // a failure is remembered too
    return state;
  }

  srchilite::RegexRuleFactory factory_;
  srchilite::LangDefManager manager_;
  LineSink sink_;
  srchilite::FormatterManager formatters_;
  std::string data_dir_;
  std::string own_dir_;
  std::map<std::string, srchilite::HighlightStatePtr, std::less<>> grammars_;
};

LruCache<HighlightedCode>& cache() {
  static LruCache<HighlightedCode> c(kCacheBytes);
  return c;
}

std::vector<CodeLine> split_code(std::string_view code) {
  std::vector<CodeLine> lines;
  std::size_t pos = 0;
  while (pos < code.size()) {
    std::size_t end = code.find('\n', pos);
    if (end == std::string_view::npos) end = code.size();
    CodeLine line;
    int col = 0;
    for (std::size_t i = pos; i < end; ++i) {
      const char c = code[i];
      if (c == '\t') {
        const int n = kTabSize - col % kTabSize;
        line.text.append(static_cast<std::size_t>(n), ' ');
        col += n;
      } else if (c == '\r' && i + 1 == end) {
        // CR LF line ends
      } else {
        line.text += c;
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++col;
      }
    }
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

}  // namespace

std::string_view language_file(std::string_view fence_name) {
  const std::string name = lower(fence_name);
  for (const LanguageEntry& e : kLanguages) {
    if (e.name == name) return e.file;
  }
  return {};
}

std::shared_ptr<const HighlightedCode> highlight_code(std::string_view code,
                                                      std::string_view fence_name) {
  const std::string_view file = language_file(fence_name);
  std::string key;
  key.reserve(file.size() + 1 + code.size());
  key.append(file).append(1, '\0').append(code);
  if (auto hit = cache().get(key)) return hit;

  auto lines = std::make_shared<HighlightedCode>(split_code(code));
  bool done = false;
  if (!file.empty()) {
    try {
      Engine& engine = Engine::instance();
      std::lock_guard lock(engine.mutex);
      done = engine.highlight(file, *lines);
    } catch (...) {
      done = false;
    }
  }
  std::size_t cost = 0;
  for (CodeLine& line : *lines) {
    if (!done || line.tokens.empty()) {
      line.tokens.clear();
      if (!line.text.empty()) {
        line.tokens.push_back({0, static_cast<std::uint32_t>(line.text.size()), TokenKind::Plain});
      }
    }
    cost += sizeof(CodeLine) + line.text.size() + line.tokens.size() * sizeof(CodeToken);
  }
  cache().put(key, lines, cost);
  return lines;
}

void clear_highlight_cache() {
  cache().clear();
}

CacheStats highlight_cache_stats() {
  return cache().stats();
}

}  // namespace orvo::tui
