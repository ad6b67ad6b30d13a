// The driver of a real POSIX terminal.
//
// start() opens the terminal device (default "/dev/tty"; all output goes there, never to
// std::cout), saves its termios and switches to raw mode, the alternate screen, a hidden cursor,
// SGR mouse reports with button-drag motion and bracketed paste, and asks whether the terminal
// supports synchronized output. stop() undoes all of it in reverse order and restores the saved
// termios exactly.
//
// Signals, while started (only one TerminalDriver may be started at a time):
//   SIGWINCH          the next poll() reports a ResizeEvent with the new size.
//   SIGTSTP, Ctrl+Z   the next poll() restores the terminal and stops the process; after `fg`
//                     (SIGCONT) it enters the UI modes again and reports a RedrawEvent and a
//                     ResizeEvent. A SIGCONT after a stop from elsewhere does the same.
//   SIGTERM, SIGHUP, SIGINT
//                     the next poll() (or stop(), whichever comes first) restores the terminal
//                     and re-raises the signal with the disposition it had before start() (by
//                     default the process ends as it would have; if it does not, running() is
//                     false afterwards and the application should end). A second such signal
//                     before then restores the terminal in the handler and re-raises.
//   SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL
//                     the handler writes one precomputed reset sequence, restores the termios,
//                     puts back the disposition from before start() and re-raises.
//   SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP,
//   SIGPIPE, SIGIO, SIGSTKFLT, SIGPWR and the real-time signals
//                     (every other signal whose default action ends the process) the same, but
//                     only while their disposition is the default: one the program ignores or
//                     handles is left alone.
// Every restore path also gives fd 1 back when a StdoutRedirect is active.
// Handlers only set flags, write to the wake-up pipe, or write the precomputed reset.
#pragma once

#include <termios.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "tui/framework/term/driver.hpp"
#include "tui/framework/term/input_parser.hpp"

namespace orvo::tui {

// The private (DEC) modes the driver switches; the value is the mode number of DECSET/DECRST
// (CSI ? n h / CSI ? n l).
enum class TerminalMode : int {
  CursorVisible = 25,         // DECTCEM: text cursor shown
  MousePress = 1000,          // X11 mouse: report presses and releases
  MouseDrag = 1002,           // button-event tracking: also motion while a button is held
  MouseSgr = 1006,            // SGR extended coordinates: CSI < b;x;y M/m
  AlternateScreen = 1049,     // save cursor, switch to the alternate screen and clear it
  BracketedPaste = 2004,      // pastes arrive between CSI 200~ and CSI 201~
  SynchronizedOutput = 2026,  // the terminal holds drawing between BSU (set) and ESU (reset)
};

// The escape sequence that sets (`on`) or resets a mode: CSI ? n h (DECSET) or CSI ? n l (DECRST).
std::string mode_sequence(TerminalMode mode, bool on);

struct TerminalOptions {
  std::string device = "/dev/tty";  // the terminal device to open for reading and writing
  bool mouse = true;                // mouse reports (1000, 1002, 1006)
  bool bracketed_paste = true;
  bool alternate_screen = true;
  // Synchronized output: `Query` asks the terminal (DECRQM) and uses it once the terminal says it
  // knows the mode; `On` always wraps frames (terminals that lack it ignore the sequences);
  // `Off` never does.
  enum class Sync { Query, On, Off } sync = Sync::Query;
  bool handle_signals = true;  // install the signal handlers described above
  // Raw mode turns Ctrl+Z into a key (0x1a); with this set the driver takes that key as a
  // request to suspend (as SIGTSTP above) instead of reporting "ctrl+z".
  bool ctrl_z_suspends = true;
  // Colours in frames; nullopt: unless NO_COLOR is set (and not empty).
  std::optional<bool> colors;
};

// The private modes a full-screen run switches, in the order they are entered, with the state
// each has while the run lasts (the cursor is hidden, the rest are set). Leaving undoes them in
// reverse order. The terminal driver and the headless driver both use this one list.
struct ModeSwitch {
  TerminalMode mode;
  bool on;  // the state while running
};
std::vector<ModeSwitch> session_modes(const TerminalOptions& options);
// The bytes that enter (`entering`) or leave the modes of session_modes(options).
std::string session_mode_sequence(const TerminalOptions& options, bool entering);

class TerminalDriver final : public Driver {
 public:
  explicit TerminalDriver(TerminalOptions options = {});
  ~TerminalDriver() override;
  TerminalDriver(const TerminalDriver&) = delete;
  TerminalDriver& operator=(const TerminalDriver&) = delete;

  void start() override;
  void stop() override;
  bool running() const override { return running_; }
  Size size() const override { return size_; }
  void poll(std::optional<std::chrono::milliseconds> timeout,
            std::vector<InputEvent>& out) override;
  // Async-signal-safe: writes one byte to the wake-up pipe.
  void wake() override;
  void write_frame(std::string_view bytes) override;
  bool colors() const override;

  // Restores the terminal and stops the process (as Ctrl+Z does); on return the UI modes are on
  // again and `out` holds a RedrawEvent and a ResizeEvent.
  void suspend(std::vector<InputEvent>& out);
  // Writes bytes outside a frame (an OSC 52 clipboard sequence, say), in one write, to the
  // terminal device (default "/dev/tty").
  void write(std::string_view bytes) override;
  // The terminal's file descriptor (-1 when not started).
  int fd() const { return fd_; }
  // Whether frames are wrapped in synchronized output.
  bool synchronized_output() const { return sync_; }

 private:
  void enter_modes();
  void leave_modes();
  void write_all(std::string_view bytes);
  void read_input(std::vector<InputEvent>& out);
  bool handle_signal_flags(std::vector<InputEvent>& out);
  void install_handlers();
  void remove_handlers();
  Size query_size() const;

  TerminalOptions options_;
  int fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  termios saved_{};
  bool running_ = false;
  bool sync_ = false;
  bool modes_on_ = false;
  Size size_{80, 24};
  InputParser parser_;
  std::string reset_;  // the bytes that leave every mode we entered
  std::string frame_;  // a frame with its synchronized output wrapper
  std::chrono::steady_clock::time_point last_input_{};
};

}  // namespace orvo::tui
