#include "config/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <re2/re2.h>
#include <toml++/toml.h>

namespace orvo::config {

namespace fs = std::filesystem;
using nlohmann::json;

struct Document {
  std::mutex mutex;
  toml::table table;  // the file as last read or written
  Config baseline;    // known values as last read or written (command-line values included)
};

namespace {

std::string sys_error(const std::string& what, const fs::path& path, int err) {
  return what + " " + path.string() + ": " + std::strerror(err);
}

// --- TOML <-> JSON for the request fields of each mode

json to_json(const toml::node& node) {
  if (const auto* t = node.as_table()) {
    json out = json::object();
    for (const auto& [k, v] : *t) out[std::string(k.str())] = to_json(v);
    return out;
  }
  if (const auto* a = node.as_array()) {
    json out = json::array();
    for (const auto& v : *a) out.push_back(to_json(v));
    return out;
  }
  if (const auto* s = node.as_string()) return s->get();
  if (const auto* i = node.as_integer()) return i->get();
  if (const auto* f = node.as_floating_point()) return f->get();
  if (const auto* b = node.as_boolean()) return b->get();
  // Dates and times travel as their TOML text.
  std::ostringstream text;
  node.visit([&](const auto& v) { text << v; });
  return text.str();
}

// Appends the TOML form of `value` to `array` or inserts it under `key` of `table`.
void insert_json(toml::table& table, const std::string& key, const json& value);

void push_json(toml::array& array, const json& value) {
  if (value.is_object()) {
    toml::table t;
    for (const auto& [k, v] : value.items()) insert_json(t, k, v);
    array.push_back(std::move(t));
  } else if (value.is_array()) {
    toml::array a;
    for (const auto& v : value) push_json(a, v);
    array.push_back(std::move(a));
  } else if (value.is_string()) {
    array.push_back(value.get<std::string>());
  } else if (value.is_boolean()) {
    array.push_back(value.get<bool>());
  } else if (value.is_number_integer()) {
    array.push_back(value.get<std::int64_t>());
  } else if (value.is_number()) {
    array.push_back(value.get<double>());
  }
  // null has no TOML form: left out.
}

void insert_json(toml::table& table, const std::string& key, const json& value) {
  if (value.is_object()) {
    toml::table t;
    for (const auto& [k, v] : value.items()) insert_json(t, k, v);
    table.insert_or_assign(key, std::move(t));
  } else if (value.is_array()) {
    toml::array a;
    for (const auto& v : value) push_json(a, v);
    table.insert_or_assign(key, std::move(a));
  } else if (value.is_string()) {
    table.insert_or_assign(key, value.get<std::string>());
  } else if (value.is_boolean()) {
    table.insert_or_assign(key, value.get<bool>());
  } else if (value.is_number_integer()) {
    table.insert_or_assign(key, value.get<std::int64_t>());
  } else if (value.is_number()) {
    table.insert_or_assign(key, value.get<double>());
  }
}

// --- reading known keys

class Reader {
 public:
  explicit Reader(fs::path path) : path_(std::move(path)) {}

  [[noreturn]] void fail(const toml::node& node, const std::string& reason) const {
    const auto& b = node.source().begin;
    throw ConfigParseError(path_, static_cast<int>(b.line), static_cast<int>(b.column), reason);
  }

  const toml::table* table(const toml::table& parent, std::string_view key,
                           const std::string& name) const {
    const toml::node* n = parent.get(key);
    if (n == nullptr) return nullptr;
    if (!n->is_table()) fail(*n, name + " must be a table");
    return n->as_table();
  }

  void read(const toml::table& t, std::string_view key, const std::string& section,
            std::string& out) const {
    if (const toml::node* n = t.get(key)) {
      if (!n->is_string()) fail(*n, section + "." + std::string(key) + " must be a string");
      out = n->as_string()->get();
    }
  }

  void read(const toml::table& t, std::string_view key, const std::string& section,
            double& out) const {
    if (const toml::node* n = t.get(key)) {
      double v = 0;
      if (n->is_integer())
        v = static_cast<double>(n->as_integer()->get());
      else if (n->is_floating_point())
        v = n->as_floating_point()->get();
      else
        fail(*n, section + "." + std::string(key) + " must be a number of seconds");
      if (!(v > 0) || !std::isfinite(v))
        fail(*n, section + "." + std::string(key) + " must be greater than 0");
      out = v;
    }
  }

  void read(const toml::table& t, std::string_view key, const std::string& section,
            bool& out) const {
    if (const toml::node* n = t.get(key)) {
      if (!n->is_boolean()) fail(*n, section + "." + std::string(key) + " must be true or false");
      out = n->as_boolean()->get();
    }
  }

  void read(const toml::table& t, std::string_view key, const std::string& section,
            long long& out) const {
    if (const toml::node* n = t.get(key)) {
      if (!n->is_integer() || n->as_integer()->get() <= 0)
        fail(*n, section + "." + std::string(key) + " must be a whole number greater than 0");
      out = n->as_integer()->get();
    }
  }

 private:
  fs::path path_;
};

void read_known(const toml::table& root, const fs::path& path, Config& c) {
  Reader r(path);
  if (const toml::table* rt = r.table(root, "runtime", "runtime")) {
    r.read(*rt, "laptop_26b_runtime_mode", "runtime", c.runtime.laptop_26b_runtime_mode);
    r.read(*rt, "endpoint", "runtime", c.runtime.endpoint);
    r.read(*rt, "model", "runtime", c.runtime.model);
    r.read(*rt, "api_key_env", "runtime", c.runtime.api_key_env);
    r.read(*rt, "connect_timeout", "runtime", c.runtime.connect_timeout);
    r.read(*rt, "healthcheck_timeout", "runtime", c.runtime.healthcheck_timeout);
    r.read(*rt, "stall_timeout", "runtime", c.runtime.stall_timeout);
    if (const toml::table* modes = r.table(*rt, "modes", "runtime.modes")) {
      for (const auto& [k, v] : *modes) {
        const std::string name(k.str());
        if (!v.is_table()) r.fail(v, "runtime.modes." + name + " must be a table");
        c.runtime.modes[name] = to_json(v);
      }
    }
  }
  if (const toml::table* se = r.table(root, "sessions", "sessions")) {
    r.read(*se, "keep_days", "sessions", c.sessions.keep_days);
    r.read(*se, "checkpoint_max_mb", "sessions", c.sessions.checkpoint_max_mb);
  }
  if (const toml::table* ag = r.table(root, "agent", "agent")) {
    r.read(*ag, "context_budget", "agent", c.agent.context_budget);
    r.read(*ag, "max_steps", "agent", c.agent.max_steps);
    r.read(*ag, "sandbox", "agent", c.agent.sandbox);
    if (c.agent.sandbox != "auto" && c.agent.sandbox != "off")
      r.fail(*ag->get("sandbox"), "agent.sandbox must be \"auto\" or \"off\"");
    r.read(*ag, "sandbox_network", "agent", c.agent.sandbox_network);
    r.read(*ag, "web_fetch_timeout", "agent", c.agent.web_fetch_timeout);
    r.read(*ag, "keep_background", "agent", c.agent.keep_background);
    r.read(*ag, "max_edit_bytes", "agent", c.agent.max_edit_bytes);
    if (const toml::node* n = ag->get("consent")) {
      const toml::array* rules = n->as_array();
      if (rules == nullptr) r.fail(*n, "agent.consent must be an array of tables");
      for (const auto& item : *rules) {
        const toml::table* t = item.as_table();
        if (t == nullptr) r.fail(item, "each agent.consent entry must be a table");
        ConsentRule rule;
        r.read(*t, "tool", "agent.consent", rule.tool);
        r.read(*t, "pattern", "agent.consent", rule.pattern);
        if (rule.pattern.empty()) r.fail(item, "agent.consent entry without a pattern");
        // A pattern that does not compile would protect nothing; say so instead.
        re2::RE2::Options opts;
        opts.set_log_errors(false);
        if (const re2::RE2 re(rule.pattern, opts); !re.ok()) {
          r.fail(item, "agent.consent pattern does not compile: " + re.error());
        }
        c.agent.consent.push_back(std::move(rule));
      }
    }
  }
  if (const toml::table* ui = r.table(root, "ui", "ui")) {
    r.read(*ui, "theme", "ui", c.ui.theme);
    if (c.ui.theme != "auto" && c.ui.theme != "dark" && c.ui.theme != "light")
      r.fail(*ui->get("theme"), "ui.theme must be \"auto\", \"dark\" or \"light\"");
  }
}

// The largest settings file read: a device or a runaway file given as --config must not fill
// the memory.
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

// The file's text, or nullopt when it does not exist. A directory is an error, not "no file".
std::optional<std::string> read_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;  // saving reports the path
    throw ConfigError(sys_error("cannot read", path, errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ConfigError(sys_error("cannot read", path, errno));
  if (S_ISDIR(st.st_mode))
    throw ConfigError("cannot read " + path.string() +
                      ": it is a directory; --config names the settings file itself");
  // Opened without blocking only so that a FIFO cannot hang the start; reads block again.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConfigError(sys_error("cannot read", path, errno));
    }
    if (text.size() + static_cast<std::size_t>(n) > kMaxFileBytes)
      throw ConfigError("cannot read " + path.string() + ": larger than " +
                        std::to_string(kMaxFileBytes >> 20) + " MiB");
    text.append(buf, static_cast<std::size_t>(n));
  }
}

// The file a path names after following symbolic links (a dangling link names its target): a
// settings file kept elsewhere and linked into place is saved there, and the link stays.
fs::path resolve_links(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) throw ConfigError(sys_error("cannot follow the link", path, ec.value()));
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  throw ConfigError(sys_error("cannot follow the link", path, ELOOP));
}

toml::table parse(const std::string& text, const fs::path& path) {
  try {
    return toml::parse(text, path.string());
  } catch (const toml::parse_error& e) {
    const auto& b = e.source().begin;
    throw ConfigParseError(path, static_cast<int>(b.line), static_cast<int>(b.column),
                           std::string(e.description()));
  }
}

toml::table& ensure_table(toml::table& parent, const std::string& key) {
  toml::node* n = parent.get(key);
  if (n == nullptr || !n->is_table()) {
    parent.insert_or_assign(key, toml::table{});
    n = parent.get(key);
  }
  return *n->as_table();
}

// Writes into `root` the known values of `c` that differ from `base` (the mode always).
void write_changed(toml::table& root, const Config& c, const Config& base) {
  const RuntimeSection& r = c.runtime;
  const RuntimeSection& b = base.runtime;
  toml::table& rt = ensure_table(root, "runtime");
  rt.insert_or_assign("laptop_26b_runtime_mode", r.laptop_26b_runtime_mode);
  auto str = [&](const char* key, const std::string& v, const std::string& old) {
    if (v != old) rt.insert_or_assign(key, v);
  };
  auto num = [&](const char* key, double v, double old) {
    if (v != old) rt.insert_or_assign(key, v);
  };
  str("endpoint", r.endpoint, b.endpoint);
  str("model", r.model, b.model);
  str("api_key_env", r.api_key_env, b.api_key_env);
  num("connect_timeout", r.connect_timeout, b.connect_timeout);
  num("healthcheck_timeout", r.healthcheck_timeout, b.healthcheck_timeout);
  num("stall_timeout", r.stall_timeout, b.stall_timeout);
  if (r.modes != b.modes) {
    toml::table& modes = ensure_table(rt, "modes");
    for (const auto& [name, fields] : r.modes) {
      auto old = b.modes.find(name);
      if (old != b.modes.end() && old->second == fields) continue;
      toml::table t;
      if (fields.is_object())
        for (const auto& [k, v] : fields.items()) insert_json(t, k, v);
      modes.insert_or_assign(name, std::move(t));
    }
  }
  if (c.ui != base.ui) {
    toml::table& ui = ensure_table(root, "ui");
    if (c.ui.theme != base.ui.theme) ui.insert_or_assign("theme", c.ui.theme);
  }
  if (c.agent != base.agent) {
    toml::table& ag = ensure_table(root, "agent");
    if (c.agent.context_budget != base.agent.context_budget)
      ag.insert_or_assign("context_budget", c.agent.context_budget);
    if (c.agent.max_steps != base.agent.max_steps)
      ag.insert_or_assign("max_steps", c.agent.max_steps);
    if (c.agent.sandbox != base.agent.sandbox) ag.insert_or_assign("sandbox", c.agent.sandbox);
    if (c.agent.sandbox_network != base.agent.sandbox_network)
      ag.insert_or_assign("sandbox_network", c.agent.sandbox_network);
    if (c.agent.web_fetch_timeout != base.agent.web_fetch_timeout)
      ag.insert_or_assign("web_fetch_timeout", c.agent.web_fetch_timeout);
    if (c.agent.keep_background != base.agent.keep_background)
      ag.insert_or_assign("keep_background", c.agent.keep_background);
    if (c.agent.max_edit_bytes != base.agent.max_edit_bytes)
      ag.insert_or_assign("max_edit_bytes", c.agent.max_edit_bytes);
    if (c.agent.consent != base.agent.consent) {
      toml::array rules;
      for (const auto& rule : c.agent.consent)
        rules.push_back(toml::table{{"tool", rule.tool}, {"pattern", rule.pattern}});
      ag.insert_or_assign("consent", std::move(rules));
    }
  }
}

// Writes `text` to a new file beside `path` and renames it over `path`.
void write_atomically(const fs::path& path, const std::string& text) {
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    // Made one level at a time so that every new directory is private.
    fs::path partial;
    for (const auto& part : dir) {
      partial /= part;
      if (fs::is_directory(partial, ec)) continue;
      if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
        throw ConfigError(sys_error("cannot create the directory", partial, errno));
    }
  }
  // Keep the mode of an existing file; a new one is private to the user.
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw ConfigError(sys_error("cannot write a file in", dir, errno));
  const fs::path tmp = tmpl;
  auto fail = [&](const std::string& what) {
    const int err = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    throw ConfigError(sys_error(what, path, err));
  };
  ::fchmod(fd, mode);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("cannot flush");
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw ConfigError(sys_error("cannot write", path, err));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw ConfigError(sys_error("cannot replace", path, err));
  }
  // The rename itself survives a crash only once the directory is flushed too.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

std::string describe(const ConfigParseError& e) {
  return e.path().string() + ":" + std::to_string(e.line()) + ":" + std::to_string(e.column()) +
         ": " + e.reason();
}

}  // namespace

bool is_known_mode(const std::string& mode) {
  return mode == kModeFast || mode == kModeReasoning;
}

std::map<std::string, json> RuntimeSection::default_modes() {
  // Each server kind reads its own field and ignores the others: llama.cpp and vLLM pass
  // chat_template_kwargs to the model's template, Ollama reads think, others reasoning_effort.
  return {
      {kModeFast, json{{"chat_template_kwargs", {{"enable_thinking", false}}}, {"think", false}}},
      {kModeReasoning, json{{"chat_template_kwargs", {{"enable_thinking", true}}},
                            {"think", true},
                            {"reasoning_effort", "high"}}},
  };
}

ConfigParseError::ConfigParseError(fs::path path, int line, int column, std::string reason)
    : ConfigError(path.string() + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                  reason),
      path_(std::move(path)),
      line_(line),
      column_(column),
      reason_(std::move(reason)) {}

fs::path default_config_path() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg) / "kestravel" / "config.toml";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0')
    return fs::path(home) / ".config" / "kestravel" / "config.toml";
  throw ConfigError("cannot find the configuration: neither XDG_CONFIG_HOME nor HOME is set");
}

Config load_config(const LoadOptions& options) {
  Config c;
  c.path = options.path ? *options.path : default_config_path();
  c.document = std::make_shared<Document>();
  if (auto text = read_file(c.path)) {
    c.document->table = parse(*text, c.path);
    read_known(c.document->table, c.path, c);
  }
  if (options.endpoint) c.runtime.endpoint = *options.endpoint;
  if (options.model) c.runtime.model = *options.model;
  if (options.mode) c.runtime.laptop_26b_runtime_mode = *options.mode;
  c.document->baseline.runtime = c.runtime;
  c.document->baseline.agent = c.agent;
  return c;
}

void set_session_model(Config& config, const std::string& model) {
  config.runtime.model = model;
  if (!config.document) return;
  std::lock_guard lock(config.document->mutex);
  config.document->baseline.runtime.model = model;
}

void save_config(const Config& config) {
  if (config.path.empty()) throw ConfigError("the configuration has no file to be saved to");
  std::shared_ptr<Document> doc = config.document;
  if (!doc) doc = std::make_shared<Document>();
  std::lock_guard lock(doc->mutex);

  // Start from the file as it is now, so that edits made meanwhile are kept.
  toml::table root = doc->table;
  if (auto text = read_file(config.path)) {
    try {
      root = parse(*text, config.path);
    } catch (const ConfigParseError& e) {
      throw ConfigError("not saved: " + describe(e));
    }
  }
  write_changed(root, config, doc->baseline);
  std::ostringstream out;
  out << root << "\n";
  write_atomically(resolve_links(config.path), out.str());
  doc->table = std::move(root);
  doc->baseline.runtime = config.runtime;
  doc->baseline.agent = config.agent;
}

}  // namespace orvo::config
