// The search tools: grep (ripgrep when installed, else grep), glob and list_files.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "agent/glob.hpp"
#include "agent/process.hpp"
#include "agent/tool_table.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kMaxListed = 1000;

// Directories a listing or a glob does not descend into.
bool skipped_dir(const std::string& name) {
  return name == ".git" || name == "node_modules" || name == "__pycache__" || name == ".hg" ||
         name == ".svn";
}

json grep_schema() {
  return tool_schema(
      "grep", "Search file contents with a regular expression; returns file:line:text matches.",
      {{"pattern", string_param("Regular expression")},
       {"path", string_param("File or directory to search (default: the project)")},
       {"glob", string_param("Only files whose name matches this glob, e.g. *.py")}},
      {"pattern"});
}

json glob_schema() {
  return tool_schema(
      "glob", "Find files whose path matches a glob pattern such as **/*.cpp or src/*.h.",
      {{"pattern", string_param("Glob pattern; without a '/' it matches file names at any depth")},
       {"path", string_param("Directory to search (default: the project)")}},
      {"pattern"});
}

json list_files_schema() {
  return tool_schema("list_files", "List the files and directories under a directory.",
                     {{"path", string_param("Directory (default: the project)")}}, {});
}

void prepare_grep(const Toolbox&, Args& a, PreparedCall& c) {
  const auto pat = a.string("pattern", true);
  const auto path = a.string("path", false);
  a.string("glob", false);
  c.summary = pat.value_or("") + (path ? " " + *path : "");
}

void prepare_glob(const Toolbox&, Args& a, PreparedCall& c) {
  const auto pat = a.string("pattern", true);
  const auto path = a.string("path", false);
  c.summary = pat.value_or("") + (path ? " in " + *path : "");
}

void prepare_list_files(const Toolbox&, Args& a, PreparedCall& c) {
  c.summary = a.string("path", false).value_or(".");
}

}  // namespace

void add_search_tools(std::vector<ToolSpec>& table) {
  table.push_back({"grep", grep_schema, nullptr, prepare_grep,
                   [](Toolbox& box, const PreparedCall& c) { return box.grep(c.args); }});
  table.push_back({"glob", glob_schema, nullptr, prepare_glob,
                   [](Toolbox& box, const PreparedCall& c) { return box.glob(c.args); }});
  table.push_back({"list_files", list_files_schema, nullptr, prepare_list_files,
                   [](Toolbox& box, const PreparedCall& c) { return box.list_files(c.args); }});
}

ToolResult Toolbox::grep(const json& args) {
  Args a{args, {}};
  const std::string pattern = *a.string("pattern", true);
  const auto path = a.string("path", false);
  const auto g = a.string("glob", false);
  std::string err;
  std::string target = ".";
  if (path) {
    const auto p = resolve(*path, err);
    if (!p) return {err, true};
    target = relative(*p);
    // A FIFO named directly would be opened and read by the search, which would block on it.
    struct stat st {};
    if (::stat(p->c_str(), &st) != 0) return {sys_text("cannot search", target, errno), true};
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
      return {not_regular(target, st.st_mode), true};
  }
  std::vector<std::string> argv;
  if (have_rg_) {
    argv = {"rg", "--line-number", "--no-heading", "--color=never", "--max-columns=500"};
    if (g) argv.insert(argv.end(), {"--glob", *g});
  } else {
    // -D skip: FIFOs, sockets and devices met in the tree are not opened.
    argv = {"grep", "-rnEI", "-D", "skip", "--color=never", "--exclude-dir=.git"};
    if (g) argv.push_back("--include=" + *g);
  }
  argv.insert(argv.end(), {"-e", pattern});
  // Without a path operand both tools search the working directory and print paths without "./".
  if (target != ".") argv.insert(argv.end(), {"--", target});
  const auto r =
      run_process(argv, root_, settings_.bash_timeout, settings_.tool_output_cap, canceller_);
  if (!r.started) return {"could not run " + argv[0] + ": " + r.start_error, true};
  if (r.cancelled) return {"cancelled by the user", true};
  if (r.timed_out) return {"the search timed out", true};
  if (r.exit_code == 1) return {"no matches", false};
  std::string out = r.output;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (r.exit_code != 0) return {out.empty() ? "the search failed" : out, true};
  return {out, false};
}

ToolResult Toolbox::glob(const json& args) {
  Args a{args, {}};
  const std::string pattern = *a.string("pattern", true);
  const auto path = a.string("path", false);
  std::string err;
  fs::path base = root_;
  if (path) {
    const auto p = resolve(*path, err);
    if (!p) return {err, true};
    base = *p;
  }
  const bool by_name = pattern.find('/') == std::string::npos;
  std::vector<std::string> found;
  std::error_code ec;
  std::size_t seen = 0;
  for (auto it = fs::recursive_directory_iterator(
           base, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (canceller_.cancelled()) return {"cancelled by the user", true};
    const auto name = it->path().filename().string();
    if (it->is_directory(ec) && skipped_dir(name)) {
      it.disable_recursion_pending();
      continue;
    }
    if (++seen > 200000) break;
    const std::string rel = it->path().lexically_relative(base).generic_string();
    if (glob_match(pattern, by_name ? name : rel)) {
      found.push_back(relative(it->path()) + (it->is_directory(ec) ? "/" : ""));
    }
  }
  if (found.empty()) return {"no files match " + pattern, false};
  std::sort(found.begin(), found.end());
  std::string out;
  const std::size_t n = std::min(found.size(), kMaxListed);
  for (std::size_t i = 0; i < n; ++i) out += found[i] + "\n";
  if (found.size() > n) out += "[" + std::to_string(found.size() - n) + " more not shown]\n";
  out.pop_back();
  return {out, false};
}

ToolResult Toolbox::list_files(const json& args) {
  Args a{args, {}};
  const auto path = a.string("path", false);
  std::string err;
  fs::path base = root_;
  if (path && !path->empty()) {
    const auto p = resolve(*path, err);
    if (!p) return {err, true};
    base = *p;
  }
  std::error_code ec;
  if (!fs::is_directory(base, ec)) return {relative(base) + " is not a directory", true};
  std::vector<std::string> entries;
  std::size_t more = 0;
  for (auto it = fs::recursive_directory_iterator(
           base, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (canceller_.cancelled()) return {"cancelled by the user", true};
    const bool dir = it->is_directory(ec);
    const auto name = it->path().filename().string();
    if (dir && skipped_dir(name)) {
      it.disable_recursion_pending();
      continue;
    }
    if (entries.size() >= kMaxListed) {
      ++more;
      if (more > 100000) break;
      continue;
    }
    entries.push_back(it->path().lexically_relative(base).generic_string() + (dir ? "/" : ""));
  }
  std::sort(entries.begin(), entries.end());
  if (entries.empty()) return {"(empty directory)", false};
  std::string out;
  for (const auto& e : entries) out += e + "\n";
  if (more) out += "[" + std::to_string(more) + " more entries not shown]\n";
  out.pop_back();
  return {out, false};
}

}  // namespace orvo::agent
