#include "host/demo_agent.hpp"
#include "host/demo_files.hpp"

#include <chrono>
#include <exception>

#include "common/utf8.hpp"
#include "output/output_manager.hpp"

namespace orvo::host {

namespace {

const char* kThinkingFast =
    "The server crashes when APP_PORT is set. Probably the port is read as a string.\n"
    "Read config.py, find the callers, fix the parsing, run the tests.";

const char* kThinkingDeep =
    "The user reports that the server crashes whenever APP_PORT is set in the environment.\n"
    "Without the variable it works, so the default path is fine and the parsed value is not.\n"
    "os.environ.get returns a string; if load() passes it straight to Config, cfg.port is a str.\n"
    "sock.bind((host, port)) then raises TypeError: an integer is required.\n"
    "Plan: read src/config.py, search every use of load() and APP_PORT, convert the value with\n"
    "int() and give a clear message for a bad value, then run the config tests.\n"
    "The build directory holds stale bytecode from the old layout; cleaning it would help.";

const char* kGrep =
    "src/config.py:13:    port = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "src/server.py:4:from config import load\n"
    "src/server.py:18:    cfg = load()\n"
    "src/server.py:19:    sock.bind((cfg.host, cfg.port))\n"
    "src/cli.py:7:from config import load\n"
    "tests/test_config.py:3:from config import load\n"
    "tests/test_config.py:9:    assert load().port == 8080\n"
    "tests/test_config.py:14:    monkeypatch.setenv(\"APP_PORT\", \"9000\")\n"
    "tests/test_config.py:15:    assert load().port == 9000\n"
    "docs/config.md:12:`APP_PORT` overrides the port (default 8080).\n";

const char* kDiff =
    "--- a/src/config.py\n"
    "+++ b/src/config.py\n"
    "@@ -11,4 +11,8 @@ class Config:\n"
    " \n"
    " def load() -> Config:\n"
    "-    port = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "-    return Config(port=port)\n"
    "+    raw = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "+    try:\n"
    "+        port = int(raw)\n"
    "+    except ValueError:\n"
    "+        raise SystemExit(f\"APP_PORT must be a number, not {raw!r}\")\n"
    "+    return Config(port=port)\n";

const char* kPytestFail =
    "F.                                                                       [100%]\n"
    "FAILED tests/test_config.py::test_bad_port - SystemExit: APP_PORT must be a number\n"
    "E   assert 'not a number' in \"APP_PORT must be a number, not 'abc'\"\n"
    "1 failed, 1 passed in 0.04s\n"
    "exit status 1\n";

const char* kRemoved =
    "removed directory 'build/lib'\n"
    "removed directory 'build'\n"
    "removed directory '.pytest_cache'\n";

const char* kAnswerHead =
    "## Fixed: `APP_PORT` is now parsed as a number\n"
    "\n"
    "`load()` passed the raw string from the environment to `Config`, so `cfg.port` was "
    "`\"8080\"` (a **string**) and `sock.bind` failed with a *TypeError* whenever the variable "
    "was set.\n"
    "\n"
    "What changed in `src/config.py`:\n"
    "\n"
    "- the value is converted with `int()`;\n"
    "- a bad value stops the program with a clear message instead of a traceback;\n";

const char* kAnswerCleaned = "- the stale `build/` and `.pytest_cache/` directories are gone.\n";
const char* kAnswerKept =
    "- `build/` and `.pytest_cache/` are left in place, as you asked; delete them yourself if "
    "stale bytecode gets in the way.\n";

const char* kAnswerTail =
    "\n"
    "```python\n"
    "def load() -> Config:\n"
    "    raw = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "    try:\n"
    "        port = int(raw)\n"
    "    except ValueError:\n"
    "        raise SystemExit(f\"APP_PORT must be a number, not {raw!r}\")\n"
    "    return Config(port=port)\n"
    "```\n"
    "\n"
    "One test still fails: `test_bad_port` expects the words *not a number*. Shall I update the "
    "test, or change the message to match it?\n";

const char* kTree =
    "src/\n"
    "  cli.py\n"
    "  config.py\n"
    "  server.py\n"
    "tests/\n"
    "  test_config.py\n"
    "docs/\n"
    "  config.md\n"
    "pyproject.toml\n"
    "README.md\n";

// The prompt as it may be quoted back: one line, short.
std::string quoted(const std::string& prompt) {
  std::string one;
  for (char c : prompt) one += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  std::string_view cut = text::take_chars(one, 60);
  return std::string(cut) + (cut.size() < one.size() ? "…" : "");
}

}  // namespace

DemoAgent::DemoAgent(double speed, double tokens_per_second)
    : speed_(speed), tokens_per_second_(tokens_per_second > 0 ? tokens_per_second : 40.0) {}

void DemoAgent::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  wake_.notify_all();
}

void DemoAgent::set_mode(const std::string& mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

void DemoAgent::reset_conversation() {
  turns_ = 0;
}

void DemoAgent::check() {
  std::lock_guard lock(mutex_);
  if (cancelled_) throw Interrupted{};
}

void DemoAgent::pause(double seconds) {
  std::unique_lock lock(mutex_);
  if (speed_ > 0 && seconds > 0) {
    const auto d = std::chrono::duration<double>(seconds / speed_);
    wake_.wait_for(lock, d, [this] { return cancelled_; });
  }
  if (cancelled_) throw Interrupted{};
}

void DemoAgent::think(OutputManager& out, const std::string& text) {
  std::string so_far;
  for (std::string_view line : text::split_lines(text)) {
    // A model's reasoning arrives a few words at a time.
    std::size_t pos = 0;
    while (pos < line.size()) {
      std::size_t end = line.find(' ', pos + 12);
      end = end == std::string_view::npos ? line.size() : end + 1;
      const std::string chunk(line.substr(pos, end - pos));
      out.feed_thinking(chunk);
      so_far += chunk;
      pos = end;
      pause(static_cast<double>(chunk.size()) / 4.0 / tokens_per_second_);
    }
    out.feed_thinking("\n");
    so_far += "\n";
    out.set_thinking_peek(std::string(line));
  }
  out.thinking_done(text);
}

void DemoAgent::stream_answer(OutputManager& out, const std::string& text) {
  // About one token (four characters, never inside a UTF-8 sequence) per chunk.
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t n =
        text::char_start_from(text, i + std::min<std::size_t>(4, text.size() - i)) - i;
    out.stream(std::string_view(text).substr(i, n));
    i += n;
    pause(1.0 / tokens_per_second_);
  }
}

void DemoAgent::run_turn(const std::string& prompt, OutputManager& out) {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = false;  // a cancel between turns does not stop the next one
  }
  const int n = ++turns_;
  try {
    try {
      if (n == 1)
        full_turn(prompt, out);
      else
        short_turn(prompt, out, (n - 2) % 2);
    } catch (const Interrupted&) {
      // The answer line may be half written: end it before the note.
      if (out.state.phase == Phase::STREAMING) out.stream("\n");
      out.print_info("Interrupted: the turn was stopped.");
      out.done();
    }
  } catch (const std::exception& e) {
    // A turn never throws to the host: the output controller's own failures end the turn.
    try {
      out.set_error(std::string("demo runtime: ") + e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      out.set_error("demo runtime: unknown error");
    } catch (...) {
    }
  }
}

void DemoAgent::full_turn(const std::string& prompt, OutputManager& out) {
  std::string mode;
  {
    std::lock_guard lock(mutex_);
    mode = mode_;
  }
  const bool deep = mode == "turbo-think";
  out.start_thinking(true);
  out.set_stage("Reading the request");
  pause(0.6);
  out.set_stage("");
  think(out, deep ? kThinkingDeep : kThinkingFast);

  int idx = out.log_tool("read_file", "src/config.py");
  pause(0.7);
  out.tool_result(kDemoConfigFile, false, idx);
  check();

  idx = out.log_tool("grep", "-rn \"load\\|APP_PORT\" src tests docs");
  pause(0.8);
  out.tool_result(kGrep, false, idx);

  out.set_stage("Writing the fix");
  pause(1.0);
  idx = out.log_tool("edit_file", "src/config.py");
  pause(0.5);
  out.tool_result(kDiff, false, idx);

  out.set_stage("Checking the tests");
  idx = out.log_tool("bash", "python -m pytest -q tests/test_config.py");
  pause(1.4);
  out.tool_result(kPytestFail, true, idx);
  check();

  // Destructive: ask first. Without a way to ask, the answer is no.
  out.set_stage("Cleaning up");
  pause(0.4);
  const bool allowed =
      out.ask_approval("bash", kDestructiveCommand, kDestructiveReason).value_or(false);
  check();
  if (allowed) {
    idx = out.log_tool("bash", kDestructiveCommand);
    pause(0.4);
    out.tool_result(kRemoved, false, idx);
  } else {
    out.print_info(std::string("Skipped `") + kDestructiveCommand + "`: denied by the user");
  }

  out.start_thinking(false);
  pause(0.8);
  std::string answer = kAnswerHead;
  answer += allowed ? kAnswerCleaned : kAnswerKept;
  answer += kAnswerTail;
  (void)prompt;
  stream_answer(out, answer);
  out.done();
}

void DemoAgent::short_turn(const std::string& prompt, OutputManager& out, int variant) {
  out.start_thinking(true);
  out.set_stage("Reading the request");
  pause(0.4);
  out.set_stage("");
  if (variant == 0) {
    think(out, "The user asks: \"" + quoted(prompt) +
                   "\".\nLook at the project layout first, then answer briefly.");
    const int idx = out.log_tool("list_files", ".");
    pause(0.5);
    out.tool_result(kTree, false, idx);
    out.start_thinking(false);
    pause(0.5);
    stream_answer(out, "This is the demo runtime, so here is a short, scripted answer to *" +
                           quoted(prompt) +
                           "*.\n\nThe project has three modules:\n\n"
                           "1. `src/config.py`: settings from the environment;\n"
                           "2. `src/server.py`: the socket server;\n"
                           "3. `src/cli.py`: the command line.\n\n"
                           "Point Kestravel at a real model server with `--endpoint` to get real "
                           "answers.\n");
  } else {
    think(out, "Check where the port is used before answering.");
    const int idx = out.log_tool("grep", "-rn port src");
    pause(0.6);
    out.tool_result(
        "src/config.py:8:    port: int = 8080\nsrc/server.py:19:    sock.bind((cfg.host, "
        "cfg.port))\n",
        false, idx);
    out.start_thinking(false);
    pause(0.4);
    stream_answer(out,
                  "The port is read in `src/config.py` and used once, in `src/server.py`:\n\n"
                  "```python\nsock.bind((cfg.host, cfg.port))\n```\n\n"
                  "Nothing else needs to change for *" +
                      quoted(prompt) + "*.\n");
  }
  out.done();
}

}  // namespace orvo::host
