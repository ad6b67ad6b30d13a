// The consent analysis of one command line (internal to consent*.cpp): where each simple command
// runs, what it writes, and why it must ask.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/consent.hpp"
#include "agent/shell_words.hpp"

namespace orvo::agent::consent {

namespace fs = std::filesystem;

// The directories a command may start in; `unknown` when one of them cannot be told (cd "$X").
struct Places {
  std::vector<fs::path> dirs;
  bool unknown = false;
};

// A path operand resolved against the places.
struct Target {
  std::string shown;            // as written
  std::vector<fs::path> paths;  // absolute, one per place
  bool unknown = false;         // its value cannot be told
  bool glob = false;
};

// The words of one simple command after assignments and wrappers, and what feeds it.
struct Words {
  std::vector<std::string> w;
  std::vector<unsigned> f;
  bool stdin_fed = false;   // a pipe, a file or a here-document on its standard input
  bool from_input = false;  // more operands come from its input (xargs, find -exec ... +)
  std::size_t size() const { return w.size(); }
  bool literal(std::size_t i) const { return (f[i] & kWordExpanded) == 0; }
};

class Analysis {
 public:
  Analysis(const fs::path& root, const std::vector<ConsentPolicy::Rule>& rules);

  // Analyses `text` starting in `start`; `trigger` names the caller's command when `text` is an
  // inner string (sh -c '...'), else each simple command is its own trigger.
  void line(std::string_view text, Places start, int depth, std::string_view trigger = {});
  std::optional<ConsentFinding> finding() const;
  bool full() const { return reasons_.size() >= kMaxReasons; }

  // For the program rules.
  void ask(std::string reason);
  Target resolve(const std::string& word, unsigned flags) const;
  bool outside(const fs::path& p) const;
  static bool exists(const fs::path& p);
  static bool is_dir(const fs::path& p);
  // Asks when writing `t` leaves the project or cannot be placed; with `replacing`, also when it
  // exists. `verb` starts the reason for an existing target ("overwrites", "replaces").
  void check_write(const Target& t, bool replacing, const char* verb = "overwrites");
  // Asks when `t` lies outside the project (or cannot be placed): `what` + " outside the project".
  void check_inside(const Target& t, const char* what);
  const Places& places() const { return *places_; }
  const fs::path& root() const { return root_; }
  // Looks at one command given as words (sh -c strings, find -exec and the like come back here).
  void words(Words w, int depth);
  // A command line inside a word (sh -c, eval, trap, ...), run in the current places.
  void inner_line(const std::string& text, int depth);

  // A new set of places when the command just analysed was cd, pushd or popd.
  std::optional<Places> moved;

 private:
  static constexpr std::size_t kMaxReasons = 3;
  void simple(const SimpleCommand& cmd, int depth);
  void redirects(const SimpleCommand& cmd);
  void change_dir(const Words& w, std::size_t i, const std::string& prog);

  const fs::path& root_;
  const std::vector<ConsentPolicy::Rule>& rules_;
  const Places* places_ = nullptr;
  std::vector<Places> dir_stack_;  // pushd's stack
  std::string trigger_;
  std::vector<std::string> reasons_;
  std::string first_trigger_;
};

// Program rules (consent_programs.cpp). `i` indexes the program word in `w`; each returns true
// when it knew the program.
bool program_rules(Analysis& a, const Words& w, std::size_t i, const std::string& prog, int depth);
void git_rules(Analysis& a, const Words& w, std::size_t i);

inline bool one_of(const std::string& s, std::initializer_list<const char*> set) {
  for (const char* x : set) {
    if (s == x) return true;
  }
  return false;
}

// "a", "a and b", "a, b and c", "5 files".
std::string names(const std::vector<std::string>& items);
std::string basename_of(const std::string& word);

}  // namespace orvo::agent::consent
