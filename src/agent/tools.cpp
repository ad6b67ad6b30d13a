// The Toolbox: path confinement, and calls checked and run through the table of tools. The tools
// themselves live in one file per family (tools_bash, tools_file, tools_search, tools_web).
#include "agent/tools.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "agent/process.hpp"
#include "agent/tool_table.hpp"
#include "common/utf8.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;
using nlohmann::json;

std::optional<std::string> Args::string(const char* key, bool required) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) {
    if (required && error.empty()) error = std::string("missing required argument \"") + key + "\"";
    return std::nullopt;
  }
  if (!it->is_string()) {
    if (error.empty()) error = std::string("argument \"") + key + "\" must be a string";
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<long long> Args::number(const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  if (it->is_number()) {
    // Clamped as a double first: converting 1e300 to an integer is undefined.
    const double d = it->get<double>();
    if (!std::isnan(d)) return static_cast<long long>(std::clamp(d, -1e15, 1e15));
  }
  // Models often quote numbers.
  if (it->is_string()) {
    try {
      std::size_t used = 0;
      const long long v = std::stoll(it->get<std::string>(), &used);
      if (used == it->get_ref<const std::string&>().size()) return v;
    } catch (const std::exception&) {
    }
  }
  if (error.empty()) error = std::string("argument \"") + key + "\" must be a number";
  return std::nullopt;
}

json tool_schema(const char* name, const char* description, json properties,
                 std::vector<std::string> required) {
  return {
      {"type", "function"},
      {"function",
       {{"name", name},
        {"description", description},
        {"parameters",
         {{"type", "object"}, {"properties", std::move(properties)}, {"required", required}}}}}};
}

json string_param(const char* description) {
  return {{"type", "string"}, {"description", description}};
}

json integer_param(const char* description) {
  return {{"type", "integer"}, {"description", description}};
}

namespace {

std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

const ToolSpec* find_tool(std::string_view name) {
  for (const ToolSpec& t : tool_table()) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

}  // namespace

std::string not_regular(const std::string& shown, mode_t mode) {
  return shown + " is " + kind_of(mode) + ", not a regular file";
}

std::string sys_text(const std::string& what, const std::string& shown, int err) {
  if (err == ENOENT || err == ENOTDIR) return "file not found: " + shown;
  return what + " " + shown + ": " + std::strerror(err);
}

std::string size_text(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  if (bytes < 10 * std::uint64_t{1024}) return std::to_string(bytes) + " bytes";
  if (bytes < 10 * kMiB && bytes % kMiB != 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes / kMiB) + " MiB";
}

const std::vector<ToolSpec>& tool_table() {
  static const std::vector<ToolSpec> table = [] {
    std::vector<ToolSpec> t;
    add_bash_tool(t);
    add_file_tools(t);
    add_search_tools(t);
    add_web_tools(t);
    return t;
  }();
  return table;
}

Toolbox::Toolbox(const AgentSettings& settings, Canceller& canceller)
    : settings_(settings),
      canceller_(canceller),
      root_([&] {
        std::error_code ec;
        fs::path p = settings.project_dir.empty() ? fs::current_path(ec) : settings.project_dir;
        return fs::weakly_canonical(fs::absolute(p, ec), ec);
      }()),
      consent_(root_, settings.extra_consent_rules),
      have_rg_(on_path("rg")),
      sandbox_({settings.sandbox, settings.sandbox_network, settings.bwrap_path}) {}

Toolbox::~Toolbox() {
  try {
    kill_leftovers();
  } catch (...) {
    // Nothing more can be done while going away.
  }
}

void Toolbox::record_group(pid_t pgid) {
  std::lock_guard g(groups_m_);
  // Forget groups that are gone, so a number reused later is never signalled by mistake.
  std::erase_if(groups_, [](pid_t old) {
    if (group_alive(old)) return false;
    forget_exit_group(old);
    return true;
  });
  if (std::find(groups_.begin(), groups_.end(), pgid) == groups_.end()) {
    groups_.push_back(pgid);
    note_exit_group(pgid);
  }
}

void Toolbox::kill_leftovers() {
  std::vector<pid_t> groups;
  {
    std::lock_guard g(groups_m_);
    groups.swap(groups_);
  }
  for (const pid_t g : groups) forget_exit_group(g);
  if (!groups.empty()) end_groups(groups, std::chrono::milliseconds(500));
}

json Toolbox::schemas() const {
  json tools = json::array();
  for (const ToolSpec& t : tool_table()) {
    if (t.offered == nullptr || t.offered(settings_)) tools.push_back(t.schema());
  }
  return tools;
}

bool Toolbox::offers(std::string_view name) const {
  const ToolSpec* t = find_tool(name);
  return t != nullptr && (t->offered == nullptr || t->offered(settings_));
}

std::optional<fs::path> Toolbox::resolve(std::string_view raw, std::string& error) const {
  if (raw.empty()) {
    error = "the path is empty";
    return std::nullopt;
  }
  if (raw.find('\0') != std::string_view::npos) {
    error = "the path contains a NUL character";
    return std::nullopt;
  }
  std::error_code ec;
  fs::path p(raw);
  if (p.is_relative()) p = root_ / p;
  p = fs::weakly_canonical(p.lexically_normal(), ec);
  // weakly_canonical leaves a dangling symlink at the end unresolved; follow it by hand, since
  // writing through it would create a file wherever it points.
  std::error_code missing;  // a path that does not exist yet is fine
  for (int hops = 0; !ec && hops < 16 && fs::is_symlink(fs::symlink_status(p, missing)); ++hops) {
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    if (target.is_relative()) target = p.parent_path() / target;
    p = fs::weakly_canonical(target.lexically_normal(), ec);
  }
  if (ec) {
    error = "cannot resolve " + std::string(raw) + ": " + ec.message();
    return std::nullopt;
  }
  const fs::path rel = p.lexically_relative(root_);
  if (rel.empty() || *rel.begin() == "..") {
    error = "the path " + std::string(raw) + " is outside the project directory " + root_.string();
    return std::nullopt;
  }
  return p;
}

std::string Toolbox::relative(const fs::path& abs) const {
  const fs::path rel = abs.lexically_relative(root_);
  return rel.empty() ? std::string(".") : rel.generic_string();
}

PreparedCall Toolbox::prepare(const std::string& name, const std::string& arguments) const {
  PreparedCall c;
  c.name = name;
  std::string_view argtext = arguments;
  if (text::strip(argtext).empty()) argtext = "{}";
  c.args = json::parse(argtext.begin(), argtext.end(), nullptr, false);
  const std::string shown(text::take_chars(arguments, 200));
  const ToolSpec* tool = find_tool(name);
  if (tool == nullptr || !offers(name)) {
    c.summary = shown;
    c.error = "unknown tool \"" + name + "\"";
    return c;
  }
  if (c.args.is_discarded() || !c.args.is_object()) {
    c.summary = shown;
    c.error = "the arguments are not a JSON object: " + shown;
    c.args = json::object();
    return c;
  }
  Args a{c.args, {}};
  tool->prepare(*this, a, c);
  if (c.summary.empty()) c.summary = shown;
  c.error = a.error;
  return c;
}

ToolResult Toolbox::run(const PreparedCall& c) {
  if (!c.error.empty()) return {c.error, true};
  const ToolSpec* tool = find_tool(c.name);
  if (tool == nullptr) return {"unknown tool \"" + c.name + "\"", true};
  try {
    return tool->run(*this, c);
  } catch (const std::exception& e) {
    return {std::string(c.name) + " failed: " + e.what(), true};
  }
}

}  // namespace orvo::agent
