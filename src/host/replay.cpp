#include "host/replay.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "host/subcommand_cli.hpp"
#include "output/output_manager.hpp"

namespace orvo::host {

namespace {

using nlohmann::json;

enum class Kind { String, Bool, Int };

struct Param {
  const char* name;
  Kind kind;
  json fallback;  // null: required
};

struct CallSignature {
  const char* name;
  std::vector<Param> params;
};

const std::vector<CallSignature>& calls() {
  static const std::vector<CallSignature> table = {
      {"start_thinking", {{"reset", Kind::Bool, true}}},
      {"feed_thinking", {{"chunk", Kind::String, nullptr}}},
      {"set_thinking_peek", {{"text", Kind::String, nullptr}}},
      {"thinking_done", {{"full_text", Kind::String, nullptr}}},
      {"set_stage", {{"stage", Kind::String, nullptr}}},
      {"start_streaming", {}},
      {"stream", {{"chunk", Kind::String, nullptr}}},
      {"print_info", {{"text", Kind::String, nullptr}}},
      {"notice", {{"text", Kind::String, nullptr}}},
      {"log_tool", {{"name", Kind::String, nullptr}, {"args", Kind::String, ""}}},
      {"tool_result",
       {{"result", Kind::String, nullptr}, {"error", Kind::Bool, false}, {"idx", Kind::Int, -1}}},
      {"set_error", {{"msg", Kind::String, nullptr}}},
      {"done", {}},
  };
  return table;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::String:
      return "a string";
    case Kind::Bool:
      return "true or false";
    case Kind::Int:
      return "an integer";
  }
  return "";
}

bool fits(const json& v, Kind k) {
  switch (k) {
    case Kind::String:
      return v.is_string();
    case Kind::Bool:
      return v.is_boolean();
    case Kind::Int:
      return v.is_number_integer();
  }
  return false;
}

// The reason of an error of the JSON layer, without nlohmann's "[json.exception.x.n] " prefix.
std::string json_reason(const json::exception& e) {
  std::string what = e.what();
  if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
  return what;
}

Step check_line(int line_no, std::string_view line);

// Every error of the JSON layer (syntax, a number out of range, a type) is a script error.
Step parse_line(int line_no, std::string_view line) {
  try {
    return check_line(line_no, line);
  } catch (const json::exception& e) {
    throw ScriptError(line_no, json_reason(e));
  }
}

Step check_line(int line_no, std::string_view line) {
  json obj;
  try {
    obj = json::parse(line);
  } catch (const json::exception& e) {
    throw ScriptError(line_no, "not valid JSON: " + json_reason(e));
  }
  if (!obj.is_object()) throw ScriptError(line_no, "expected a JSON object");
  Step step;
  step.line = line_no;
  if (obj.contains("sleep")) {
    if (obj.size() != 1) throw ScriptError(line_no, "a pause holds only \"sleep\"");
    const json& s = obj["sleep"];
    if (!s.is_number() || s.get<double>() < 0 || s.get<double>() > 3600) {
      throw ScriptError(line_no, "\"sleep\" must be a number of seconds from 0 to 3600");
    }
    step.sleep = s.get<double>();
    return step;
  }
  if (!obj.contains("call")) throw ScriptError(line_no, "expected \"call\" or \"sleep\"");
  if (!obj["call"].is_string()) throw ScriptError(line_no, "\"call\" must be a string");
  const std::string name = obj["call"].get<std::string>();
  const CallSignature* signature = nullptr;
  for (const auto& c : calls()) {
    if (name == c.name) signature = &c;
  }
  if (signature == nullptr) throw ScriptError(line_no, "unknown call \"" + name + "\"");
  step.call = name;
  step.args = json::object();
  for (const auto& p : signature->params) {
    if (obj.contains(p.name)) {
      if (!fits(obj[p.name], p.kind)) {
        throw ScriptError(line_no, std::string("\"") + p.name + "\" of " + name + " must be " +
                                       kind_name(p.kind));
      }
      if (p.kind == Kind::Int && obj[p.name].is_number_unsigned() &&
          obj[p.name].get<std::uint64_t>() >
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw ScriptError(line_no,
                          std::string("\"") + p.name + "\" of " + name + " is out of range");
      }
      step.args[p.name] = obj[p.name];
    } else if (p.fallback.is_null()) {
      throw ScriptError(line_no, name + " needs \"" + p.name + "\"");
    } else {
      step.args[p.name] = p.fallback;
    }
  }
  for (const auto& [key, value] : obj.items()) {
    if (key == "call") continue;
    bool known = false;
    for (const auto& p : signature->params) known = known || key == p.name;
    if (!known) throw ScriptError(line_no, name + " takes no argument \"" + key + "\"");
  }
  return step;
}

// Writes events as JSON lines; the first failure is kept and reported after the turn.
class EventWriter {
 public:
  explicit EventWriter(const std::string& path) : path_(path), file_(path, std::ios::trunc) {
    if (!file_)
      throw std::runtime_error("cannot write events to " + safe_text(path) + ": " +
                               std::strerror(errno));
  }
  void write(const std::string& name, const PayloadMap& payload) {
    json line = json::object();
    line["event"] = name;
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
    for (const auto& [key, value] : payload) {
      if (const auto* s = std::get_if<std::string>(&value)) {
        body[key] = *s;
      } else {
        body[key] = std::get<std::int64_t>(value);
      }
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["event"] = name;
    out["payload"] = std::move(body);
    file_ << out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    file_.flush();
    if (!file_) throw std::runtime_error("cannot write events to " + safe_text(path_));
  }

 private:
  std::string path_;
  std::ofstream file_;
};

void run_step(OutputManager& out, const Step& step, bool fast) {
  if (step.call.empty()) {
    if (!fast && step.sleep > 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(step.sleep));
    }
    return;
  }
  const json& a = step.args;
  const std::string& c = step.call;
  auto s = [&](const char* k) { return a.at(k).get<std::string>(); };
  if (c == "start_thinking")
    out.start_thinking(a.at("reset").get<bool>());
  else if (c == "feed_thinking")
    out.feed_thinking(s("chunk"));
  else if (c == "set_thinking_peek")
    out.set_thinking_peek(s("text"));
  else if (c == "thinking_done")
    out.thinking_done(s("full_text"));
  else if (c == "set_stage")
    out.set_stage(s("stage"));
  else if (c == "start_streaming")
    out.start_streaming();
  else if (c == "stream")
    out.stream(s("chunk"));
  else if (c == "print_info")
    out.print_info(s("text"));
  else if (c == "notice")
    out.notice(s("text"));
  else if (c == "log_tool")
    out.log_tool(s("name"), s("args"));
  else if (c == "tool_result") {
    out.tool_result(s("result"), a.at("error").get<bool>(), a.at("idx").get<std::int64_t>());
  } else if (c == "set_error")
    out.set_error(s("msg"));
  else if (c == "done")
    out.done();
}

// Signals whose default action ends the process: each erases the status block and shows the
// cursor before the process dies of it (Ctrl+C, Ctrl+\\, kill, crashes).
constexpr int kFatalSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGSEGV,   SIGABRT,
                                 SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP, SIGSYS,    SIGUSR1,
                                 SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

// Gives the terminal back: the block erased if one is drawn (otherwise the line holds answer
// text and stays), the cursor shown, attributes reset. Only write() is used.
void restore_terminal(bool end_line) {
  static const char erase[] = "\r\x1b[J\x1b[?25h\x1b[0m";
  static const char show_nl[] = "\x1b[?25h\x1b[0m\n";
  static const char show[] = "\x1b[?25h\x1b[0m";
  if (!::isatty(STDOUT_FILENO)) return;
  [[maybe_unused]] ssize_t n;
  if (status_block_on_screen()) {
    n = ::write(STDOUT_FILENO, erase, sizeof erase - 1);
  } else if (end_line) {
    n = ::write(STDOUT_FILENO, show_nl, sizeof show_nl - 1);
  } else {
    n = ::write(STDOUT_FILENO, show, sizeof show - 1);
  }
}

// Installed with SA_RESETHAND | SA_NODEFER: the raise below meets the default action at once.
extern "C" void on_fatal_signal(int sig) {
  restore_terminal(true);
  ::raise(sig);
}

void install_tstp_handler();

// Ctrl+Z: erase before the stop; after `fg` the indicator's next tick (at once, since its wait
// timed out while stopped) draws the block again at the cursor.
extern "C" void on_stop_signal(int) {
  const int saved = errno;
  restore_terminal(false);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(SIGTSTP, &dfl, nullptr);
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  ::pthread_sigmask(SIG_UNBLOCK, &set, &old);
  ::raise(SIGTSTP);  // stopped here until SIGCONT
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  install_tstp_handler();
  errno = saved;
}

void install_tstp_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTSTP, &sa, nullptr);
}

void install_signal_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : kFatalSignals) {
    struct sigaction old {};
    // A signal ignored by whoever started us (nohup, a shell's background job) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
  struct sigaction old {};
  if (::sigaction(SIGTSTP, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) install_tstp_handler();
}

}  // namespace

std::string read_script(const std::string& path, std::string& text, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return "";
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::strerror(errno);
    }
    if (text.size() + static_cast<std::size_t>(n) > kMaxScriptBytes) {
      return "larger than " + std::to_string(kMaxScriptBytes >> 20) +
             " MiB, the most a script may hold";
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

std::vector<Step> parse_script(std::string_view text) {
  std::vector<Step> steps;
  int line_no = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    ++line_no;
    pos = end + 1;
    if (line.find('\0') != std::string_view::npos) throw ScriptError(line_no, "holds a NUL byte");
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    steps.push_back(parse_line(line_no, line));
  }
  return steps;
}

std::string dump_script(const std::vector<Step>& steps) {
  std::string out;
  for (const auto& step : steps) {
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    if (step.call.empty()) {
      line["sleep"] = step.sleep;
    } else {
      line["call"] = step.call;
      for (const auto& [k, v] : step.args.items()) line[k] = v;
    }
    out += line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  return out;
}

void play(const std::vector<Step>& steps, const ReplayOptions& options) {
  std::unique_ptr<EventWriter> writer;
  if (options.events_path) writer = std::make_unique<EventWriter>(*options.events_path);

  std::exception_ptr failure;
  std::exception_ptr event_failure;
  std::thread worker([&] {
    // Nothing may escape this thread.
    try {
      OutputManager out;
      if (writer) {
        out.set_event_callback([&](const std::string& name, Payload payload) {
          try {
            writer->write(name, *payload);
          } catch (const std::exception&) {
            if (!event_failure) event_failure = std::current_exception();
          }
        });
      }
      for (const auto& step : steps) run_step(out, step, options.fast);
      out._stop_indicator();  // a script that ends mid-turn leaves no block behind
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
  });
  worker.join();
  if (failure) std::rethrow_exception(failure);
  if (event_failure) std::rethrow_exception(event_failure);
}

int write_help(std::ostream& out, std::string_view text, int status) {
  errno = 0;
  out << text << std::flush;
  if (out) return status;
  const int err = errno;
  out.clear();
  std::cerr << "kestravel: cannot write the help text"
            << (err != 0 ? std::string(": ") + std::strerror(err) : std::string()) << "\n";
  return status != 0 ? status : 1;
}

int replay_main(const std::vector<std::string>& args) {
  static const char* usage =
      "usage: kestravel replay [SCRIPT] [--events FILE] [--fast] [--dump-demo]\n"
      "  SCRIPT         a turn script (JSON Lines, one call per line); the built-in demo without "
      "it\n"
      "  --events FILE  write every agent event to FILE as one JSON line\n"
      "  --fast         skip the pauses of the script\n"
      "  --dump-demo    print the built-in demo as a script and exit\n";
  ReplayOptions options;
  std::optional<std::string> script_path;
  bool dump = false;
  CLI::App app;
  app.add_option("SCRIPT", script_path, "a turn script");
  app.add_option("--events", options.events_path, "write every agent event to FILE");
  app.add_flag("--fast", options.fast);
  app.add_flag("--dump-demo", dump);
  switch (parse_subcommand(app, args, "kestravel replay", usage, std::cerr)) {
    case ParseOutcome::Help:
      return write_help(std::cout, usage, 0);
    case ParseOutcome::Error:
      return 2;
    case ParseOutcome::Run:
      break;
  }

  std::vector<Step> steps;
  if (script_path) {
    const std::string name = safe_text(*script_path);
    std::string text;
    struct stat script_stat {};
    if (std::string err = read_script(*script_path, text, script_stat); !err.empty()) {
      std::cerr << "kestravel replay: cannot read " << name << ": " << err << "\n";
      return 2;
    }
    // The events file is truncated only after this check and after the whole script is checked.
    struct stat events_stat {};
    if (options.events_path && ::stat(options.events_path->c_str(), &events_stat) == 0 &&
        events_stat.st_dev == script_stat.st_dev && events_stat.st_ino == script_stat.st_ino) {
      std::cerr << "kestravel replay: --events " << safe_text(*options.events_path)
                << " is the script itself; it would be overwritten\n";
      return 2;
    }
    try {
      steps = parse_script(text);
    } catch (const ScriptError& e) {
      std::cerr << "kestravel replay: " << name << ": " << e.what() << "\n";
      return 2;
    }
  } else {
    steps = demo_script();
  }
  if (dump) {
    std::cout << dump_script(steps) << std::flush;
    return std::cout ? 0 : 1;
  }

  install_signal_handlers();
  try {
    play(steps, options);
  } catch (const std::ios_base::failure&) {
    std::cerr << "kestravel replay: standard output closed; turn not finished\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "kestravel replay: " << e.what() << "\n";
    return 1;
  } catch (...) {
    std::cerr << "kestravel replay: the turn failed\n";
    return 1;
  }
  return 0;
}

}  // namespace orvo::host
