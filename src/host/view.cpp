#include "host/view.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "common/utf8.hpp"
#include "host/replay.hpp"
#include "host/subcommand_cli.hpp"
#include "session/session.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::host::view {

namespace {

using nlohmann::json;
using tui::Scrivlet;

const char* kUsage =
    "usage: kestravel view SCRIPT [--size COLSxROWS] [--ansi] [--state]\n"
    "Plays a JSON Lines script against the conversation view on a headless terminal (default\n"
    "100x40) and prints the screen. Lines: {\"call\": OPERATION, ARG: VALUE, ...},\n"
    "{\"resize\": [cols, rows]}, {\"key\": NAME}, {\"mouse\": \"down|move|up\", \"x\": X, \"y\": "
    "Y},\n"
    "{\"screenshot\": true}.\n";

enum class ArgType { string, boolean, integer, number, string_list };

struct Param {
  std::string name;
  ArgType type;
  std::optional<json> fallback;  // absent: required
  // The range an integer must lie in: the value is taken as it is, never wrapped.
  long long lo = std::numeric_limits<long long>::min();
  long long hi = std::numeric_limits<long long>::max();
};

// `v` as an integer in [lo, hi], or nullopt when it is no integer or lies outside (an unsigned
// value above the signed range included, which a plain conversion would wrap to a negative one).
std::optional<long long> bounded_int(const json& v, long long lo, long long hi) {
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (hi < 0 || u > static_cast<std::uint64_t>(hi)) return std::nullopt;
    return static_cast<long long>(u);
  }
  if (!v.is_number_integer()) return std::nullopt;
  const auto n = v.get<std::int64_t>();
  if (n < lo || n > hi) return std::nullopt;
  return n;
}

using Runner = std::function<std::optional<json>(Scrivlet&, const json&)>;

struct Operation {
  std::vector<Param> params;
  Runner run;
};

std::string s(const json& a, const char* k) {
  return a.at(k).get<std::string>();
}

// The operations a script may call, with their parameters in order. New operations of the view
// get a row here.
const std::map<std::string, Operation, std::less<>>& operations() {
  static const std::map<std::string, Operation, std::less<>> ops = [] {
    std::map<std::string, Operation, std::less<>> m;
    const auto str = [](const char* n) { return Param{n, ArgType::string, std::nullopt}; };
    auto none = [](auto fn) {
      return [fn](Scrivlet& v, const json& a) -> std::optional<json> {
        fn(v, a);
        return std::nullopt;
      };
    };
    for (const char* name :
         {"append_user", "append_queued", "append_assistant", "append_info", "append_error"}) {
      const std::string n = name;
      m[n] = {{str("text")}, none([n](Scrivlet& v, const json& a) {
                const std::string t = s(a, "text");
                if (n == "append_user") v.append_user(t);
                if (n == "append_queued") v.append_queued(t);
                if (n == "append_assistant") v.append_assistant(t);
                if (n == "append_info") v.append_info(t);
                if (n == "append_error") v.append_error(t);
              })};
    }
    m["append_thinking"] = {{str("text"), {"expanded", ArgType::boolean, false}},
                            none([](Scrivlet& v, const json& a) {
                              v.append_thinking(s(a, "text"), a.at("expanded").get<bool>());
                            })};
    m["append_tool"] = {{str("name"), str("args")}, none([](Scrivlet& v, const json& a) {
                          v.append_tool(s(a, "name"), s(a, "args"));
                        })};
    m["append_tool_done"] = {{str("name"), str("args"), str("summary")},
                             none([](Scrivlet& v, const json& a) {
                               v.append_tool_done(s(a, "name"), s(a, "args"), s(a, "summary"));
                             })};
    m["append_tool_result"] = {{str("result"), {"error", ArgType::boolean, false}},
                               none([](Scrivlet& v, const json& a) {
                                 v.append_tool_result(s(a, "result"), a.at("error").get<bool>());
                               })};
    m["append_approval"] = {{str("tool_name"), str("command"), {"reason", ArgType::string, ""}},
                            none([](Scrivlet& v, const json& a) {
                              v.append_approval(s(a, "tool_name"), s(a, "command"), s(a, "reason"));
                            })};
    m["append_turn_summary"] = {
        {{"elapsed", ArgType::number, std::nullopt},
         {"tools", ArgType::string_list, std::nullopt},
         {"tokens_in", ArgType::integer, 0},
         {"tokens_out", ArgType::integer, 0},
         {"cost_saved", ArgType::number, 0.0}},
        none([](Scrivlet& v, const json& a) {
          v.append_turn_summary(
              a.at("elapsed").get<double>(), a.at("tools").get<std::vector<std::string>>(),
              a.at("tokens_in").get<long long>(), a.at("tokens_out").get<long long>(),
              a.at("cost_saved").get<double>());
        })};
    m["stream_token"] = {{str("token")},
                         none([](Scrivlet& v, const json& a) { v.stream_token(s(a, "token")); })};
    m["finish_stream"] = {
        {{"full_text", ArgType::string, ""}},
        none([](Scrivlet& v, const json& a) { v.finish_stream(s(a, "full_text")); })};
    // A history entry as a session file records it: kept, then the log drawn again from its
    // history (so a saved conversation shows as it did).
    m["entry"] = {{str("kind"), {"values", ArgType::string_list, json::array()}},
                  none([](Scrivlet& v, const json& a) {
                    v._history.emplace_back(s(a, "kind"),
                                            a.at("values").get<std::vector<std::string>>());
                    v._rerender();
                  })};
    m["reset_steps"] = {{}, none([](Scrivlet& v, const json&) { v.reset_steps(); })};
    m["clear"] = {{}, none([](Scrivlet& v, const json&) { v.clear(); })};
    m["_spacer"] = {{}, none([](Scrivlet& v, const json&) { v._spacer(); })};
    m["_rerender"] = {{}, none([](Scrivlet& v, const json&) { v._rerender(); })};
    m["_handle_thinking_click"] = {
        {{"y", ArgType::integer, std::nullopt, -100000, 100000}},
        none([](Scrivlet& v, const json& a) { v._handle_thinking_click(a.at("y").get<int>()); })};
    m["get_selection"] = {{}, [](Scrivlet& v, const json&) -> std::optional<json> {
                            return json(v.get_selection());
                          }};
    return m;
  }();
  return ops;
}

bool type_ok(const json& v, ArgType t) {
  switch (t) {
    case ArgType::string:
      return v.is_string();
    case ArgType::boolean:
      return v.is_boolean();
    case ArgType::integer:
      return v.is_number_integer();
    case ArgType::number:
      return v.is_number();
    case ArgType::string_list:
      if (!v.is_array()) return false;
      for (const auto& e : v)
        if (!e.is_string()) return false;
      return true;
  }
  return false;
}

const char* type_name(ArgType t) {
  switch (t) {
    case ArgType::string:
      return "a string";
    case ArgType::boolean:
      return "true or false";
    case ArgType::integer:
      return "an integer";
    case ArgType::number:
      return "a number";
    case ArgType::string_list:
      return "a list of strings";
  }
  return "?";
}

int int_field(const json& obj, const char* key, int line) {
  if (!obj.contains(key)) throw ViewScriptError(line, std::string("missing \"") + key + "\"");
  const json& v = obj.at(key);
  if (!v.is_number_integer())
    throw ViewScriptError(line, std::string("\"") + key + "\" must be an integer");
  const auto n = bounded_int(v, -100000, 100000);
  if (!n) throw ViewScriptError(line, std::string("\"") + key + "\" is out of range");
  return static_cast<int>(*n);
}

ViewStep parse_line(const json& obj, int line) {
  if (!obj.is_object()) throw ViewScriptError(line, "a line must be a JSON object");
  ViewStep step;
  step.line = line;
  auto only = [&](std::initializer_list<const char*> keys) {
    for (const auto& [k, v] : obj.items()) {
      bool known = false;
      for (const char* key : keys) known = known || k == key;
      if (!known) throw ViewScriptError(line, "unexpected key \"" + k + "\"");
    }
  };
  if (obj.contains("call")) {
    if (!obj.at("call").is_string()) throw ViewScriptError(line, "\"call\" must be a string");
    step.kind = ViewStep::Kind::call;
    step.name = obj.at("call").get<std::string>();
    const auto it = operations().find(step.name);
    if (it == operations().end())
      throw ViewScriptError(line, "unknown operation \"" + step.name + "\"");
    step.args = json::object();
    for (const auto& p : it->second.params) {
      if (obj.contains(p.name)) {
        if (!type_ok(obj.at(p.name), p.type))
          throw ViewScriptError(line,
                                step.name + ": \"" + p.name + "\" must be " + type_name(p.type));
        if (p.type == ArgType::integer && !bounded_int(obj.at(p.name), p.lo, p.hi))
          throw ViewScriptError(line, step.name + ": \"" + p.name + "\" is out of range");
        step.args[p.name] = obj.at(p.name);
      } else if (p.fallback) {
        step.args[p.name] = *p.fallback;
      } else {
        throw ViewScriptError(line, step.name + ": missing argument \"" + p.name + "\"");
      }
    }
    for (const auto& [k, v] : obj.items()) {
      if (k == "call") continue;
      bool known = false;
      for (const auto& p : it->second.params) known = known || p.name == k;
      if (!known) throw ViewScriptError(line, step.name + ": unknown argument \"" + k + "\"");
    }
  } else if (obj.contains("resize")) {
    only({"resize"});
    const json& r = obj.at("resize");
    if (!r.is_array() || r.size() != 2 || !r[0].is_number_integer() || !r[1].is_number_integer())
      throw ViewScriptError(line, "\"resize\" must be [cols, rows]");
    step.kind = ViewStep::Kind::resize;
    const auto cols = bounded_int(r[0], 1, 1000);
    const auto rows = bounded_int(r[1], 1, 1000);
    if (!cols || !rows) throw ViewScriptError(line, "\"resize\" needs 1 to 1000 columns and rows");
    step.x = static_cast<int>(*cols);
    step.y = static_cast<int>(*rows);
  } else if (obj.contains("key")) {
    only({"key"});
    if (!obj.at("key").is_string() || obj.at("key").get<std::string>().empty())
      throw ViewScriptError(line, "\"key\" must be a key name");
    step.kind = ViewStep::Kind::key;
    step.name = obj.at("key").get<std::string>();
  } else if (obj.contains("mouse")) {
    only({"mouse", "x", "y"});
    const json& m = obj.at("mouse");
    if (!m.is_string() || (m != "down" && m != "move" && m != "up"))
      throw ViewScriptError(line, "\"mouse\" must be \"down\", \"move\" or \"up\"");
    step.kind = ViewStep::Kind::mouse;
    step.name = m.get<std::string>();
    step.x = int_field(obj, "x", line);
    step.y = int_field(obj, "y", line);
  } else if (obj.contains("screenshot")) {
    only({"screenshot"});
    step.kind = ViewStep::Kind::screenshot;
  } else {
    throw ViewScriptError(line,
                          "expected \"call\", \"resize\", \"key\", \"mouse\" or \"screenshot\"");
  }
  return step;
}

class ViewScreen : public tui::Screen {
 public:
  ViewScreen() {
    tui::scrivlet::ScrivletOptions o;
    o.id = "view";
    view = &mount_new<Scrivlet>(o);
  }
  Scrivlet* view;
};

class ViewApp : public tui::App {
 public:
  ViewApp() {
    auto screen = std::make_unique<ViewScreen>();
    view = screen->view;
    install_screen("view", std::move(screen));
    switch_screen("view");
  }
  Scrivlet* view;
};

json pair_or_null(const std::optional<std::pair<int, int>>& p) {
  return p ? json::array({p->first, p->second}) : json(nullptr);
}

nlohmann::ordered_json state_of(const Scrivlet& v) {
  json history = json::array();
  for (const auto& e : v._history) {
    json entry = json::array({e.kind()});
    for (const auto& value : e.values()) entry.push_back(value);
    history.push_back(entry);
  }
  json states = json::object();
  for (const auto& [k, b] : v._thinking_states) states[std::to_string(k)] = b;
  json line_map = json::object();
  for (const auto& [k, i] : v._thinking_line_map) line_map[std::to_string(k)] = i;
  json lines = json::array();
  for (const auto& row : v.lines()) lines.push_back(row.text());
  nlohmann::ordered_json out;
  out["history"] = history;
  out["thinking_states"] = states;
  out["thinking_line_map"] = line_map;
  out["line_counter"] = v._line_counter ? json(*v._line_counter) : json(nullptr);
  out["step_count"] = v._step_count;
  out["sel_start"] = pair_or_null(v._sel_start);
  out["sel_end"] = pair_or_null(v._sel_end);
  out["selecting"] = v._selecting;
  out["selected_text"] = v._selected_text;
  out["scroll_y"] = v.scroll_offset().y;
  out["lines"] = lines;
  return out;
}

// One JSON line. Invalid UTF-8 in texts must not stop the dump, and C1 controls (which some
// terminals obey even UTF-8 encoded) are written as \u escapes like the C0 ones.
template <class J>
std::string dump(const J& j) {
  const std::string raw = j.dump(-1, ' ', false, J::error_handler_t::replace);
  std::string out;
  out.reserve(raw.size());
  static const char* hex = "0123456789abcdef";
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto b = static_cast<unsigned char>(raw[i]);
    const auto next = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0;
    if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {
      out += "\\u00";
      out += hex[next >> 4];
      out += hex[next & 15];
      ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

// Calls that only add entries at the end of the log (nothing they do reads the layout).
bool appends_only(const ViewStep& step) {
  return step.kind == ViewStep::Kind::call && step.name.starts_with("append_");
}

// The length of the strictly valid UTF-8 sequence at `p` (as the JSON parser accepts it: no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t p) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[p + i]); };
  const auto cont = [&](std::size_t i) { return p + i < s.size() && (b(i) & 0xC0) == 0x80; };
  const unsigned char c = b(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F)) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if ((c == 0xF0 && b(1) < 0x90) || (c == 0xF4 && b(1) > 0x8F)) return 0;
    return 4;
  }
  return 0;
}

// Four hex digits at `p`, or -1.
long hex4(std::string_view s, std::size_t p) {
  if (p + 4 > s.size()) return -1;
  long v = 0;
  for (std::size_t i = p; i < p + 4; ++i) {
    const char c = s[i];
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// A JSON string starting at the quote at `p`, decoded into `out`; `p` ends past the closing quote.
// False for anything the general parser should judge (it reports the fault).
bool fast_string(std::string_view s, std::size_t& p, std::string& out) {
  if (p >= s.size() || s[p] != '"') return false;
  ++p;
  while (p < s.size()) {
    // The plain run up to the next quote, backslash, control or non-ASCII byte, copied at once.
    std::size_t q = p;
    while (q < s.size()) {
      const auto c = static_cast<unsigned char>(s[q]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++q;
    }
    out.append(s, p, q - p);
    p = q;
    if (p >= s.size()) return false;
    const auto c = static_cast<unsigned char>(s[p]);
    if (c == '"') {
      ++p;
      return true;
    }
    if (c < 0x20) return false;
    if (c >= 0x80) {
      const std::size_t n = utf8_sequence(s, p);
      if (n == 0) return false;
      out.append(s, p, n);
      p += n;
      continue;
    }
    // An escape.
    if (p + 1 >= s.size()) return false;
    const char e = s[p + 1];
    p += 2;
    switch (e) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        long cp = hex4(s, p);
        if (cp < 0) return false;
        p += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (p + 1 >= s.size() || s[p] != '\\' || s[p + 1] != 'u') return false;
          const long lo = hex4(s, p + 2);
          if (lo < 0xDC00 || lo > 0xDFFF) return false;
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        text::encode(static_cast<char32_t>(cp), out);
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

// A line that is one flat object of strings and booleans (every append a script makes), parsed
// without the general parser's per-character work; nullopt for anything else, which the general
// parser then reads (and reports, when it is at fault). The result is the one it would give.
std::optional<json> fast_object(std::string_view s) {
  std::size_t p = 0;
  const auto ws = [&] {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\r' || s[p] == '\n')) ++p;
  };
  ws();
  if (p >= s.size() || s[p] != '{') return std::nullopt;
  ++p;
  json obj = json::object();
  ws();
  if (p < s.size() && s[p] == '}') return std::nullopt;  // rare: left to the general parser
  while (true) {
    ws();
    std::string key;
    if (!fast_string(s, p, key)) return std::nullopt;
    ws();
    if (p >= s.size() || s[p] != ':') return std::nullopt;
    ++p;
    ws();
    if (p >= s.size()) return std::nullopt;
    if (s[p] == '"') {
      std::string value;
      if (!fast_string(s, p, value)) return std::nullopt;
      obj[key] = std::move(value);
    } else if (s.substr(p, 4) == "true") {
      obj[key] = true;
      p += 4;
    } else if (s.substr(p, 5) == "false") {
      obj[key] = false;
      p += 5;
    } else {
      return std::nullopt;
    }
    ws();
    if (p >= s.size()) return std::nullopt;
    if (s[p] == ',') {
      ++p;
      continue;
    }
    if (s[p] != '}') return std::nullopt;
    ++p;
    ws();
    if (p != s.size()) return std::nullopt;
    return obj;
  }
}

}  // namespace

std::vector<ViewStep> parse_view_script(std::string_view text, std::string* note) {
  std::vector<ViewStep> steps;
  int line = 0;
  // A session file plays as far as it can be read: one cut short by a crash, or written by a
  // newer version, still shows what came before its first bad line.
  const bool session = session::is_session_header(text.substr(0, text.find('\n')));
  if (session) {
    try {
      return parse_view_script_lines(text, steps, line);
    } catch (const ViewScriptError& e) {
      if (note != nullptr)
        *note = std::string(e.what()) + "; the session is shown up to the line before";
      return steps;
    }
  }
  return parse_view_script_lines(text, steps, line);
}

std::vector<ViewStep> parse_view_script_lines(std::string_view text, std::vector<ViewStep>& steps,
                                              int& line) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view row = text.substr(pos, end - pos);
    pos = end + 1;
    ++line;
    if (row.find('\0') != std::string_view::npos) throw ViewScriptError(line, "holds a NUL byte");
    if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
    if (row.find_first_not_of(" \t") == std::string_view::npos) continue;
    json obj;
    try {
      if (auto fast = fast_object(row)) {
        obj = std::move(*fast);
      } else {
        obj = json::parse(row);
      }
    } catch (const json::exception& e) {
      // Syntax errors and numbers out of range alike (1e400 overflows a double).
      std::string what = e.what();
      if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
      const bool range = dynamic_cast<const json::out_of_range*>(&e) != nullptr;
      throw ViewScriptError(line, (range ? "a number out of range: " : "not JSON: ") + what);
    }
    // A session file's header and the agent's messages are no operations of the view.
    if (obj.is_object() && (obj.contains("session") || obj.contains("message"))) continue;
    steps.push_back(parse_line(obj, line));
  }
  return steps;
}

std::vector<ViewStep> parse_view_script(std::istream& in, std::string* note) {
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    if (text.size() + static_cast<std::size_t>(in.gcount()) > kMaxScriptBytes)
      throw ViewScriptError(0, "larger than " + std::to_string(kMaxScriptBytes >> 20) +
                                   " MiB, the most a script may hold");
    text.append(buf, static_cast<std::size_t>(in.gcount()));
  }
  return parse_view_script(text, note);
}

int view_main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool end_process) {
  std::optional<std::string> script;
  int cols = 100, rows = 40;
  bool ansi = false, state = false;
  std::string size;
  CLI::App cli;
  cli.add_option("SCRIPT", script, "a JSON Lines script, - for standard input");
  cli.add_option("--size", size, "COLSxROWS");
  cli.add_flag("--ansi", ansi);
  cli.add_flag("--state", state);
  switch (parse_subcommand(cli, args, "kestravel view", kUsage, err)) {
    case ParseOutcome::Help:
      out << kUsage;
      return 0;
    case ParseOutcome::Error:
      return 2;
    case ParseOutcome::Run:
      break;
  }
  if (!size.empty()) {
    const auto x = size.find('x');
    try {
      std::size_t p1 = 0, p2 = 0;
      if (x == std::string::npos) throw std::invalid_argument("no x");
      cols = std::stoi(size.substr(0, x), &p1);
      rows = std::stoi(size.substr(x + 1), &p2);
      if (p1 != x || p2 != size.size() - x - 1 || cols < 1 || rows < 1 || cols > 1000 ||
          rows > 1000)
        throw std::invalid_argument("range");
    } catch (const std::exception&) {
      err << "kestravel view: bad size " << text::message_safe(size)
          << " (expected COLSxROWS, 1 to 1000)\n";
      return 2;
    }
  }
  if (!script) {
    err << kUsage;
    return 2;
  }
  std::vector<ViewStep> steps;
  std::string note;
  try {
    if (*script == "-") {
      steps = parse_view_script(std::cin, &note);
    } else {
      // As replay reads its scripts: a size cap (so /dev/zero ends), directories refused.
      std::string text;
      struct stat st {};
      if (const std::string e = read_script(*script, text, st); !e.empty()) {
        err << "kestravel view: cannot read " << text::message_safe(*script) << ": " << e << "\n";
        return 2;
      }
      steps = parse_view_script(text, &note);
    }
  } catch (const ViewScriptError& e) {
    err << "kestravel view: " << text::message_safe(*script) << ": " << text::message_safe(e.what())
        << "\n";
    return 2;
  }

  if (!note.empty())
    err << "kestravel view: " << text::message_safe(*script) << ": " << text::message_safe(note)
        << "\n";
  ViewApp app;
  tui::Pilot pilot(app, {cols, rows});
  Scrivlet& v = *app.view;
  // The view is drawn headless, but a copy must reach the terminal the player runs in.
  v.clipboard_through_app = false;
  // A script's screens and state come out the same at any length: every replay in one go.
  v.sliced_reflow_entries = std::numeric_limits<std::size_t>::max();
  auto print_screen = [&] { out << (ansi ? pilot.screenshot_ansi() : pilot.screenshot()) << "\n"; };
  bool printed_last = false;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ViewStep& step = steps[i];
    printed_last = false;
    try {
      switch (step.kind) {
        case ViewStep::Kind::call: {
          const auto result = operations().find(step.name)->second.run(v, step.args);
          // A run of appends settles once, after its last one, as a terminal's loop would draw
          // one frame for them: a frame in between shows nothing the script can see.
          if (result || i + 1 == steps.size() || !appends_only(step) || !appends_only(steps[i + 1]))
            pilot.wait_idle();
          if (result) out << dump(json{{"call", step.name}, {"result", *result}}) << "\n";
          break;
        }
        case ViewStep::Kind::resize:
          pilot.resize(step.x, step.y);
          break;
        case ViewStep::Kind::key:
          pilot.press(step.name);
          break;
        case ViewStep::Kind::mouse: {
          const auto r = v.content_region();
          if (step.name == "down") pilot.mouse_down(r.x + step.x, r.y + step.y);
          if (step.name == "move") pilot.mouse_move(r.x + step.x, r.y + step.y);
          if (step.name == "up") pilot.mouse_up(r.x + step.x, r.y + step.y);
          break;
        }
        case ViewStep::Kind::screenshot:
          print_screen();
          printed_last = true;
          break;
      }
    } catch (const std::exception& e) {
      err << "kestravel view: " << text::message_safe(*script) << ": line " << step.line << ": "
          << text::message_safe(e.what()) << "\n";
      return 1;
    }
  }
  // A script ending in a screenshot has printed its final screen already.
  if (!printed_last) print_screen();
  if (state) out << dump(state_of(v)) << "\n";
  if (end_process) {
    // Everything is printed: the system takes the memory back faster than freeing every row.
    out.flush();
    err.flush();
    // A screen that could not be written (a full disk behind a redirection) is no success.
    const bool written = static_cast<bool>(out) && std::fflush(nullptr) == 0;
    std::_Exit(written ? 0 : 1);
  }
  return 0;
}

}  // namespace orvo::host::view
