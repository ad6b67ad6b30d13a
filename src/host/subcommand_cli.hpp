// The command lines of `kestravel replay` and `kestravel view`, parsed with CLI11 like the main
// one. Every error quotes what was typed through message_safe, so a name holding escape sequences
// can neither drive the terminal nor forge a line of the message.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/utf8.hpp"

namespace orvo::host {

enum class ParseOutcome { Run, Help, Error };

// Parses `args` (as typed, after the subcommand's name) into `app`'s options. `-h`/`--help` gives
// Help; a parse error is written to `err` as "<prog>: <reason>" followed by `usage`.
inline ParseOutcome parse_subcommand(CLI::App& app, const std::vector<std::string>& args,
                                     const std::string& prog, const char* usage,
                                     std::ostream& err) {
  bool help = false;
  app.set_help_flag();
  app.add_flag("-h,--help", help);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 reads from the back
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (help) return ParseOutcome::Help;
    err << prog << ": " << text::message_safe(e.what()) << "\n" << usage;
    return ParseOutcome::Error;
  }
  return help ? ParseOutcome::Help : ParseOutcome::Run;
}

}  // namespace orvo::host
