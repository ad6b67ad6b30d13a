// A shell command line split the way a POSIX shell (bash) separates it, for the consent
// analysis: simple commands with their words (quotes removed), redirections, how they are joined
// (; && || | &), the subshell scopes around them and their place in the text. It runs nothing and
// expands nothing; a word that would be expanded is marked so the caller knows it cannot tell its
// value. Cost is linear in the length of the line times a fixed nesting cap, and it never throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::agent {

// Per-word marks.
inline constexpr unsigned kWordExpanded = 1;  // holds $var, ${...}, $(...), `...` or arithmetic
inline constexpr unsigned kWordGlob = 2;      // holds an unquoted *, ?, [ or a brace expansion
inline constexpr unsigned kWordQuoted = 4;    // some part was quoted or escaped

struct Redirect {
  enum class Kind { Truncate, Append, ReadWrite, Input, HereDoc };
  Kind kind = Kind::Truncate;
  std::string target;  // empty for here-documents and here-strings
  unsigned flags = 0;  // marks of the target word
};

enum class Connector { End, Seq, And, Or, Pipe, Background };

struct SimpleCommand {
  std::vector<std::string> words;
  std::vector<unsigned> flags;          // one per word
  std::vector<std::string> overwrites;  // targets of >, >|, &> and N> (not >>, not >&N)
  std::vector<Redirect> redirects;
  bool stdin_from_pipe = false;  // the previous command's output is piped in
  std::size_t begin = 0;         // the command's place in the analysed text
  std::size_t end = 0;
  int opens = 0;                    // subshell scopes opened just before this command
  int closes = 0;                   // scopes closed just after it
  Connector next = Connector::End;  // how it is joined to what follows
  bool in_substitution = false;     // runs inside $(...), `...` or <(...)
};

struct ShellLine {
  std::vector<SimpleCommand> commands;  // in the order the shell would start them
  bool too_deep = false;                // nesting beyond the cap was not looked into
};

ShellLine parse_shell(std::string_view line);

// The commands of parse_shell, for callers that need only those.
std::vector<SimpleCommand> split_commands(std::string_view command_line);

}  // namespace orvo::agent
