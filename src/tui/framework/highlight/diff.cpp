// Unified diffs.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- diff

}  // namespace

void diff(std::vector<CodeLine>& lines) {
  constexpr std::string_view kHeads[] = {"diff ",
                                         "index ",
                                         "--- ",
                                         "+++ ",
                                         "*** ",
                                         "@@",
                                         "new file mode",
                                         "deleted file mode",
                                         "similarity index",
                                         "rename from",
                                         "rename to",
                                         "Binary files",
                                         "old mode",
                                         "new mode"};
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    if (s.empty()) continue;
    K kind = K::Plain;
    for (std::string_view h : kHeads) {
      if (s.starts_with(h)) {
        kind = K::Heading;
        break;
      }
    }
    if (kind == K::Plain) {
      if (s[0] == '-' || s[0] == '<') kind = K::Deleted;
      if (s[0] == '+' || s[0] == '>') kind = K::Inserted;
    }
    emit(0, s.size(), kind);
  }
}

}  // namespace orvo::tui::lex
