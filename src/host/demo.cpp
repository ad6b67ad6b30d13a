// The built-in demo turn of `kestravel replay`: everything a turn can show.
#include "common/utf8.hpp"
#include "host/demo_files.hpp"
#include "host/replay.hpp"

namespace orvo::host {

namespace {

using nlohmann::json;

class Builder {
 public:
  Builder& call(const std::string& name, json args = json::object()) {
    Step s;
    s.line = static_cast<int>(steps.size()) + 1;
    s.call = name;
    s.args = std::move(args);
    steps.push_back(std::move(s));
    return *this;
  }
  Builder& sleep(double seconds) {
    Step s;
    s.line = static_cast<int>(steps.size()) + 1;
    s.sleep = seconds;
    steps.push_back(std::move(s));
    return *this;
  }
  // Streams `text` in small pieces, as a model would.
  Builder& stream(const std::string& text, std::size_t piece = 6, double pause = 0.015) {
    for (std::size_t i = 0; i < text.size();) {
      // Never cut inside a UTF-8 sequence.
      const std::size_t n = text::char_start_from(text, i + std::min(piece, text.size() - i)) - i;
      call("stream", {{"chunk", text.substr(i, n)}});
      sleep(pause);
      i += n;
    }
    return *this;
  }
  std::vector<Step> steps;
};

const char* kGrep =
    "src/config.py:13:    port = os.environ.get(\"APP_PORT\", \"8080\")\n"
    "src/server.py:4:from config import load\n"
    "src/server.py:18:    cfg = load()\n"
    "src/server.py:19:    sock.bind((cfg.host, cfg.port))\n"
    "src/cli.py:7:from config import load\n"
    "src/cli.py:31:    print(f\"listening on {load().port}\")\n"
    "tests/test_config.py:3:from config import load\n"
    "tests/test_config.py:9:    assert load().port == 8080\n"
    "tests/test_config.py:14:    monkeypatch.setenv(\"APP_PORT\", \"9000\")\n"
    "tests/test_config.py:15:    assert load().port == 9000\n"
    "docs/config.md:12:`APP_PORT` overrides the port (default 8080).\n"
    "MallocStackLogging: can't turn off malloc stack logging because it was not enabled.\n";

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
    "ERROR: exit status 1\n"
    "(the remaining lines are not shown on an error)\n";

const char* kColoured =
    "\x1b[0m\x1b[01;34msrc\x1b[0m\n"
    "\x1b[01;34mtests\x1b[0m\n"
    "\x1b[01;32mrun.sh\x1b[0m\n"
    "README.md\n"
    "\x1b]0;pwned title\x07pyproject.toml\n"
    "\x1b[2J\x1b[Hsetup.cfg\n";

const char* kAnswer =
    "## Fixed: `APP_PORT` is now parsed as a number\n"
    "\n"
    "`load()` passed the raw string from the environment to `Config`, so `cfg.port` was "
    "`\"8080\"` (a **string**) and `sock.bind` failed with a *TypeError* whenever the variable "
    "was set.\n"
    "\n"
    "What changed in `src/config.py`:\n"
    "\n"
    "- the value is converted with `int()`;\n"
    "- a bad value stops the program with a clear message instead of a traceback.\n"
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

}  // namespace

std::vector<Step> demo_script() {
  Builder b;
  b.call("start_thinking", {{"reset", true}})
      .call("set_stage", {{"stage", "Reading the request"}})
      .call("feed_thinking", {{"chunk", "The user says the server crashes when APP_PORT is set."}})
      .call("set_thinking_peek", {{"text", "APP_PORT is probably read as a string"}})
      .sleep(1.6)
      .call("set_stage", {{"stage", ""}})
      .call("feed_thinking", {{"chunk", "Look at config.py first, then find every caller."}})
      .sleep(1.4)
      .call("thinking_done",
            {{"full_text",
              "The user says the server crashes when APP_PORT is set. APP_PORT is probably read "
              "as a string. Look at config.py first, then find every caller."}})
      .call("log_tool", {{"name", "read_file"}, {"args", "src/config.py"}})
      .sleep(0.8)
      .call("tool_result", {{"result", kDemoConfigFile}, {"error", false}, {"idx", 0}})
      .call("log_tool", {{"name", "grep"}, {"args", "-rn \"load\\|APP_PORT\" src tests docs"}})
      .sleep(0.9)
      .call("tool_result", {{"result", kGrep}, {"error", false}, {"idx", 1}})
      .call("set_stage", {{"stage", "Writing the fix"}})
      .sleep(1.2)
      .call("log_tool", {{"name", "edit_file"}, {"args", "src/config.py"}})
      .sleep(0.5)
      .call("tool_result", {{"result", kDiff}, {"error", false}, {"idx", 2}})
      .call("log_tool", {{"name", "bash"}, {"args", "python -m pytest -q tests/test_config.py"}})
      .sleep(1.5)
      .call("tool_result", {{"result", kPytestFail}, {"error", true}, {"idx", 3}})
      .call("print_info", {{"text", "1 test failed; listing the project before answering"}})
      .call("log_tool", {{"name", "list_files"}, {"args", "ls --color=always"}})
      .sleep(0.4)
      .call("tool_result", {{"result", kColoured}, {"error", false}, {"idx", 4}})
      .call("start_thinking", {{"reset", false}})
      .sleep(1.0)
      .stream(kAnswer)
      .call("done");
  return b.steps;
}

}  // namespace orvo::host
