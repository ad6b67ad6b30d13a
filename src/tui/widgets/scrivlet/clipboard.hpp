// Copying a selection to the system clipboard.
//
// The first choice is the terminal itself: an OSC 52 sequence (ESC "]52;c;" + Base64 + BEL) on
// the controlling terminal reaches the clipboard of the machine the user sits at, also over ssh
// and through tmux. When that device cannot be opened or written, a local clipboard command takes
// the text on its standard input: pbcopy where it exists, else wl-copy under Wayland, else xclip or
// xsel under X11. Every failure is returned as a short reason; nothing here throws or ends the
// process (SIGPIPE from a command that closed its input early is swallowed).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::tui::clipboard {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64_encode(std::string_view bytes);

// The whole OSC 52 sequence that sets the clipboard to `text` (its bytes as they are).
std::string osc52_sequence(std::string_view text);

// Writes every byte of `bytes` to `fd`, going on after partial writes, EINTR and EAGAIN (waiting
// until the descriptor is writable). Returns the failure reason, or nothing on success.
std::optional<std::string> write_all(int fd, std::string_view bytes);

// Opens `device` write-only, writes `bytes` whole and closes it again on every path.
std::optional<std::string> write_device(const std::string& device, std::string_view bytes);

// One clipboard command: the program name (looked up on PATH by proc::find_program, which skips
// relative directories) and its arguments.
struct Command {
  std::string program;
  std::vector<std::string> args;
  friend bool operator==(const Command&, const Command&) = default;
};

// Where the copy goes. The defaults read the process environment.
struct Options {
  std::string device = "/dev/tty";
  // Environment values; nullopt reads the variable at the time of the copy.
  std::optional<std::string> path;
  std::optional<std::string> wayland_display;
  std::optional<std::string> display;
  // How long a command may take before we stop waiting (it is reaped later).
  std::chrono::milliseconds time_limit{2000};
};

// The commands to try, in order, for this environment (only those found on `path`).
std::vector<Command> fallback_commands(const std::string& path, const std::string& wayland_display,
                                       const std::string& display);

// Runs `command` (no shell) with `input` on its standard input and its output discarded, for at
// most `time_limit`. Returns the failure reason, or nothing when it exited with status 0.
std::optional<std::string> run_command(const std::string& executable,
                                       const std::vector<std::string>& args, std::string_view input,
                                       std::chrono::milliseconds time_limit);

// Copies `text`: OSC 52 on the device first, then the commands in order until one succeeds.
// Returns the reason the copy failed, or nothing.
std::optional<std::string> copy(std::string_view text, const Options& options = {});

// The local commands only, for when the terminal could not be written (`why` says why; it
// starts the reason returned when no command is found).
std::optional<std::string> copy_with_commands(std::string_view text, const Options& options,
                                              const std::string& why);

// Commands that outlived their time limit and are not reaped yet (for tests).
int pending_children();

}  // namespace orvo::tui::clipboard
