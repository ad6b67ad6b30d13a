// The chat's slash commands: one table (name, one-line help, what runs) read by the menu that
// opens on "/", by /help and by dispatch. To add a command, add a row to the table in
// chat_commands.cpp and a member of KestravelTUI that runs it.
//
// What a line starting with "/" is (classify_slash):
//   "//..."                        a prompt, one "/" dropped: "//etc" sends "/etc"
//   first word a known command     that command; the rest of the line is its argument
//   first word holds another "/"   a prompt (a path: "/etc/hosts has a bad entry")
//   unknown word with text after   a prompt ("/tmp is full")
//   unknown word alone             an unknown command: said so, nothing is sent
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::host {

class KestravelTUI;

struct ChatCommand {
  std::string_view name;  // with its slash: "/help"
  std::string_view args;  // how its argument is written in the help ("" for none)
  std::string_view help;  // one line
  void (KestravelTUI::*run)(std::string_view args);
  // Typed during a turn it waits in the queue for the turn to end (else it runs at once).
  bool waits_for_turn = false;
};

// The table, in the order the menu and /help list it.
std::span<const ChatCommand> chat_commands();
// The row named `name` ("/help"), or nullptr.
const ChatCommand* find_command(std::string_view name);

struct SlashLine {
  enum class Kind { prompt, command, unknown_command };
  Kind kind = Kind::prompt;
  std::string text;  // prompt: what is sent; otherwise the command's name
  std::string args;  // command: the rest of the line, trimmed
};

// `line` as typed (leading and trailing whitespace already trimmed) against the known names.
SlashLine classify_slash(std::string_view line, std::span<const std::string_view> names);
// The same against the table.
SlashLine classify_slash(std::string_view line);

// Names of the table starting with `prefix` (the menu's rows), in table order.
std::vector<const ChatCommand*> commands_matching(std::string_view prefix);

}  // namespace orvo::host
