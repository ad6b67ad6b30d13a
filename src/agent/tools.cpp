#include "agent/tools.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "agent/diff.hpp"
#include "agent/http.hpp"
#include "agent/process.hpp"
#include "common/utf8.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kReadDefaultLines = 2000;
constexpr std::size_t kMaxListed = 1000;

json schema(const char* name, const char* description, json properties,
            std::vector<std::string> required) {
  return {
      {"type", "function"},
      {"function",
       {{"name", name},
        {"description", description},
        {"parameters",
         {{"type", "object"}, {"properties", std::move(properties)}, {"required", required}}}}}};
}

json str(const char* description) {
  return {{"type", "string"}, {"description", description}};
}
json integer(const char* description) {
  return {{"type", "integer"}, {"description", description}};
}

// Argument access with errors the model can act on.
struct Args {
  const json& j;
  std::string error;

  std::optional<std::string> string(const char* key, bool required) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
      if (required && error.empty())
        error = std::string("missing required argument \"") + key + "\"";
      return std::nullopt;
    }
    if (!it->is_string()) {
      if (error.empty()) error = std::string("argument \"") + key + "\" must be a string";
      return std::nullopt;
    }
    return it->get<std::string>();
  }
  std::optional<long long> number(const char* key) {
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
};

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

std::string not_regular(const std::string& shown, mode_t mode) {
  return shown + " is " + kind_of(mode) + ", not a regular file";
}

std::string sys_text(const std::string& what, const std::string& shown, int err) {
  if (err == ENOENT || err == ENOTDIR) return "file not found: " + shown;
  return what + " " + shown + ": " + std::strerror(err);
}

std::string size_text(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  if (bytes < 10 * 1024) return std::to_string(bytes) + " bytes";
  if (bytes < 10 * kMiB && bytes % kMiB != 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

// Opens a regular file for reading. Anything else is refused by name before it is opened (opening
// a device can have effects of its own), and the opened descriptor is checked again, since the
// path may have been replaced in between; O_NONBLOCK keeps a FIFO swapped in from blocking the
// open itself. `dir_hint` is appended when the path is a directory.
int open_regular(const fs::path& p, const std::string& shown, const char* dir_hint, struct stat& st,
                 std::string& error) {
  if (::stat(p.c_str(), &st) != 0) {
    error = sys_text("cannot open", shown, errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    error =
        S_ISDIR(st.st_mode) ? shown + " is a directory" + dir_hint : not_regular(shown, st.st_mode);
    return -1;
  }
  const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = sys_text("cannot open", shown, errno);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error =
        S_ISDIR(st.st_mode) ? shown + " is a directory" + dir_hint : not_regular(shown, st.st_mode);
    ::close(fd);
    return -1;
  }
  return fd;
}

// read() retried on EINTR; -1 with errno on failure.
ssize_t read_some(int fd, char* buf, std::size_t n) {
  while (true) {
    const ssize_t r = ::read(fd, buf, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// The whole of a regular file known to be at most `limit` bytes; more than that (it grew) is an
// error rather than a larger buffer.
bool read_bounded(int fd, const std::string& shown, std::size_t limit, std::string& out,
                  std::string& error) {
  out.clear();
  char buf[65536];
  while (true) {
    const ssize_t n = read_some(fd, buf, sizeof buf);
    if (n < 0) {
      error = sys_text("cannot read", shown, errno);
      return false;
    }
    if (n == 0) return true;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      error = shown + " grew past " + size_text(limit) + " while being read; nothing was changed";
      return false;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// The length of the longest prefix of s[0, n) that does not end inside a UTF-8 sequence.
std::size_t utf8_cut(std::string_view s, std::size_t n) {
  if (n >= s.size()) return s.size();
  std::size_t k = n;
  while (k > 0 && n - k < 3 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
  return (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80 ? n : k;
}

// Writes through a fresh temporary file and a rename, so a failure never leaves half a file.
// The temporary is created with O_EXCL under a random name: nothing planted there (a FIFO, a
// link) is ever opened.
bool write_whole(const fs::path& p, std::string_view data, std::string& error) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  static std::atomic<unsigned> counter{0};
  std::string tmpl;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
    const auto salt = std::chrono::steady_clock::now().time_since_epoch().count() ^
                      (static_cast<long long>(counter.fetch_add(1)) << 20);
    tmpl = (p.parent_path() / ("." + p.filename().string() + ".kv-tmp-" +
                               std::to_string(::getpid()) + "-" + std::to_string(salt & 0xFFFFFF)))
               .string();
    // 0666 less the umask, as any new file.
    fd = ::open(tmpl.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = "cannot write " + p.string() + ": " + std::strerror(errno);
    return false;
  }
  const fs::path tmp = tmpl;
  bool ok = true;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "writing " + p.string() + " failed: " + std::strerror(errno);
      ok = false;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  // Keep the mode of the file replaced.
  struct stat st {};
  if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);
  if (::close(fd) != 0 && ok) {
    error = "writing " + p.string() + " failed: " + std::strerror(errno);
    ok = false;
  }
  if (ok && ::rename(tmp.c_str(), p.c_str()) != 0) {
    error = "cannot replace " + p.string() + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

// A bash timeout in seconds from the model, as a double so that huge, negative or non-finite
// values are clamped before any integer conversion. Not positive: the default.
std::chrono::milliseconds clamp_timeout(double secs, std::chrono::milliseconds fallback,
                                        std::chrono::milliseconds max) {
  if (!(secs > 0)) return std::min(fallback, max);  // also NaN
  const double ms = std::clamp(secs * 1000.0, 1000.0, static_cast<double>(max.count()));
  return std::chrono::milliseconds(static_cast<long long>(ms));
}

std::size_t count_occurrences(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return 0;
  std::size_t n = 0;
  for (auto pos = hay.find(needle); pos != std::string_view::npos;
       pos = hay.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

std::string to_crlf(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) out.push_back('\r');
    out.push_back(s[i]);
  }
  return out;
}

// Expands the first {a,b} group (recursively), bounded so a hostile pattern cannot explode:
// at most 257 alternatives, and `budget` bytes of pattern copied in all (nested or comma-heavy
// groups in a long pattern would otherwise copy it once per level or per comma). A pattern that
// runs out of budget is left with fewer alternatives, possibly none.
void expand_braces(const std::string& p, std::vector<std::string>& out, long& budget) {
  budget -= static_cast<long>(p.size()) + 1;
  if (out.size() > 256 || budget < 0) return;
  const auto open = p.find('{');
  if (open == std::string::npos) {
    out.push_back(p);
    return;
  }
  int depth = 0;
  std::vector<std::size_t> commas;
  std::size_t close = std::string::npos;
  for (std::size_t i = open; i < p.size(); ++i) {
    if (p[i] == '{') ++depth;
    if (p[i] == '}' && --depth == 0) {
      close = i;
      break;
    }
    if (p[i] == ',' && depth == 1) commas.push_back(i);
  }
  if (close == std::string::npos) {
    out.push_back(p);
    return;
  }
  std::size_t start = open + 1;
  commas.push_back(close);
  for (const auto c : commas) {
    if (out.size() > 256 || budget < 0) return;
    expand_braces(p.substr(0, open) + p.substr(start, c - start) + p.substr(close + 1), out,
                  budget);
    start = c + 1;
  }
}

// Reading the class is paid from `budget` too: a long class after a star is read once per try.
bool match_class(std::string_view pat, std::size_t& pi, char c, long& budget) {
  // pat[pi] == '['
  std::size_t i = pi + 1;
  bool negate = false;
  if (i < pat.size() && (pat[i] == '!' || pat[i] == '^')) {
    negate = true;
    ++i;
  }
  bool hit = false;
  bool first = true;
  while (i < pat.size() && (pat[i] != ']' || first)) {
    first = false;
    if (i + 2 < pat.size() && pat[i + 1] == '-' && pat[i + 2] != ']') {
      if (pat[i] <= c && c <= pat[i + 2]) hit = true;
      i += 3;
    } else {
      if (pat[i] == c) hit = true;
      ++i;
    }
  }
  budget -= static_cast<long>(i - pi);
  if (i >= pat.size()) return false;  // unterminated: treat as no match
  pi = i + 1;
  return hit != negate;
}

// `budget` is shared by the whole match and pays for every step, so neither many stars
// (exponential) nor one star before a long literal (quadratic) can make a match slow.
bool match_here(std::string_view pat, std::string_view s, long& budget) {
  if (--budget <= 0) return false;
  std::size_t pi = 0, si = 0;
  while (pi < pat.size()) {
    if (--budget <= 0) return false;
    const char c = pat[pi];
    if (c == '*') {
      const bool dbl = pi + 1 < pat.size() && pat[pi + 1] == '*';
      if (dbl) {
        std::size_t rest = pi + 2;
        if (rest < pat.size() && pat[rest] == '/') {
          // "**/" matches zero or more whole components.
          if (match_here(pat.substr(rest + 1), s.substr(si), budget)) return true;
          for (std::size_t k = si; k < s.size(); ++k) {
            if (--budget <= 0) return false;
            if (s[k] == '/' && match_here(pat.substr(rest + 1), s.substr(k + 1), budget)) {
              return true;
            }
          }
          return false;
        }
        for (std::size_t k = si; k <= s.size(); ++k) {
          if (match_here(pat.substr(rest), s.substr(k), budget)) return true;
        }
        return false;
      }
      for (std::size_t k = si; k <= s.size(); ++k) {
        if (match_here(pat.substr(pi + 1), s.substr(k), budget)) return true;
        if (k < s.size() && s[k] == '/') break;
      }
      return false;
    }
    if (si >= s.size()) return false;
    if (c == '?') {
      if (s[si] == '/') return false;
      ++pi;
      ++si;
    } else if (c == '[') {
      if (s[si] == '/' || !match_class(pat, pi, s[si], budget)) return false;
      ++si;
    } else {
      if (c == '\\' && pi + 1 < pat.size()) ++pi;
      if (pat[pi] != s[si]) return false;
      ++pi;
      ++si;
    }
  }
  return si == s.size();
}

bool skipped_dir(const std::string& name) {
  return name == ".git" || name == "node_modules" || name == "__pycache__" || name == ".hg" ||
         name == ".svn";
}

std::string decode_entities(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out.push_back(s[i]);
      continue;
    }
    const auto semi = s.find(';', i);
    if (semi == std::string_view::npos || semi - i > 10) {
      out.push_back('&');
      continue;
    }
    const std::string_view ent = s.substr(i + 1, semi - i - 1);
    std::string rep;
    if (ent == "amp")
      rep = "&";
    else if (ent == "lt")
      rep = "<";
    else if (ent == "gt")
      rep = ">";
    else if (ent == "quot")
      rep = "\"";
    else if (ent == "apos" || ent == "#39")
      rep = "'";
    else if (ent == "nbsp")
      rep = " ";
    else if (!ent.empty() && ent[0] == '#') {
      try {
        const bool hex = ent.size() > 1 && (ent[1] == 'x' || ent[1] == 'X');
        const unsigned long cp =
            std::stoul(std::string(ent.substr(hex ? 2 : 1)), nullptr, hex ? 16 : 10);
        text::encode(static_cast<char32_t>(std::min<unsigned long>(cp, 0x10FFFF)), rep);
      } catch (const std::exception&) {
      }
    }
    if (rep.empty()) {
      out.push_back('&');
      continue;
    }
    out += rep;
    i = semi;
  }
  return out;
}

std::string url_encode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view path) {
  std::vector<std::string> alts;
  long expand_budget = 1L << 20;
  expand_braces(std::string(pattern), alts, expand_budget);
  // One budget for all alternatives: a path of a few thousand bytes needs a small part of it.
  long budget = 1L << 20;
  for (const auto& a : alts) {
    if (match_here(a, path, budget)) return true;
  }
  return false;
}

std::string html_to_text(std::string_view html) {
  std::string out;
  std::size_t i = 0;
  auto lower_starts = [&](std::size_t at, std::string_view word) {
    if (at + word.size() > html.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
      if (std::tolower(static_cast<unsigned char>(html[at + k])) != word[k]) return false;
    }
    return true;
  };
  while (i < html.size()) {
    if (html[i] == '<') {
      for (const char* skip : {"script", "style", "noscript"}) {
        if (lower_starts(i + 1, skip)) {
          const std::string close = std::string("</") + skip;
          std::size_t j = i + 1;
          while (j < html.size() && !lower_starts(j, close)) ++j;
          i = j;
          break;
        }
      }
      const auto end = html.find('>', i);
      if (end == std::string_view::npos) break;
      const bool block = lower_starts(i + 1, "p") || lower_starts(i + 1, "br") ||
                         lower_starts(i + 1, "div") || lower_starts(i + 1, "li") ||
                         lower_starts(i + 1, "h") || lower_starts(i + 1, "/p") ||
                         lower_starts(i + 1, "tr") || lower_starts(i + 1, "pre");
      out.push_back(block ? '\n' : ' ');
      i = end + 1;
    } else {
      out.push_back(html[i++]);
    }
  }
  out = decode_entities(out);
  // Collapse blank runs: at most one empty line, no trailing spaces.
  std::string clean;
  std::size_t pos = 0;
  int blank = 0;
  while (pos < out.size()) {
    const auto nl = out.find('\n', pos);
    std::string_view line(out.data() + pos, (nl == std::string::npos ? out.size() : nl) - pos);
    pos = nl == std::string::npos ? out.size() : nl + 1;
    std::string collapsed;
    for (char c : line) {
      if (c == ' ' || c == '\t' || c == '\r') {
        if (!collapsed.empty() && collapsed.back() != ' ') collapsed.push_back(' ');
      } else {
        collapsed.push_back(c);
      }
    }
    while (!collapsed.empty() && collapsed.back() == ' ') collapsed.pop_back();
    if (collapsed.empty()) {
      if (++blank > 1 || clean.empty()) continue;
    } else {
      blank = 0;
    }
    clean += collapsed;
    clean.push_back('\n');
  }
  while (clean.size() >= 2 && clean[clean.size() - 1] == '\n' && clean[clean.size() - 2] == '\n') {
    clean.pop_back();
  }
  return clean;
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
  tools.push_back(schema(
      "bash",
      "Run a shell command in the project directory and return its output (stdout and stderr). "
      "Use for builds, tests, git and other commands.",
      {{"command", str("The command line to run with bash -c")},
       {"timeout", integer("Seconds before the command is killed (default 120, at most 600)")}},
      {"command"}));
  tools.push_back(schema("read_file",
                         "Read a text file of the project. Long files are read in ranges of lines.",
                         {{"path", str("File path, relative to the project directory")},
                          {"offset", integer("First line to read, counting from 1 (default 1)")},
                          {"limit", integer("Number of lines to read (default 2000)")}},
                         {"path"}));
  tools.push_back(schema("write_file",
                         "Create or replace a file of the project with the given content.",
                         {{"path", str("File path, relative to the project directory")},
                          {"content", str("The whole new content of the file")}},
                         {"path", "content"}));
  tools.push_back(schema(
      "edit_file",
      "Replace one exact occurrence of old_string in a file with new_string. old_string must "
      "match the file exactly (whitespace included) and occur exactly once. Returns a unified "
      "diff.",
      {{"path", str("File path, relative to the project directory")},
       {"old_string", str("The exact text to replace")},
       {"new_string", str("The text to put in its place")}},
      {"path", "old_string", "new_string"}));
  tools.push_back(schema(
      "multi_edit",
      "Apply several exact replacements to one file, in order; either all apply or none does. "
      "Returns a unified diff.",
      {{"path", str("File path, relative to the project directory")},
       {"edits",
        {{"type", "array"},
         {"items",
          {{"type", "object"},
           {"properties", {{"old_string", str("Exact text")}, {"new_string", str("Replacement")}}},
           {"required", {"old_string", "new_string"}}}}}}},
      {"path", "edits"}));
  tools.push_back(schema(
      "grep", "Search file contents with a regular expression; returns file:line:text matches.",
      {{"pattern", str("Regular expression")},
       {"path", str("File or directory to search (default: the project)")},
       {"glob", str("Only files whose name matches this glob, e.g. *.py")}},
      {"pattern"}));
  tools.push_back(
      schema("glob", "Find files whose path matches a glob pattern such as **/*.cpp or src/*.h.",
             {{"pattern", str("Glob pattern; without a '/' it matches file names at any depth")},
              {"path", str("Directory to search (default: the project)")}},
             {"pattern"}));
  tools.push_back(schema("list_files", "List the files and directories under a directory.",
                         {{"path", str("Directory (default: the project)")}}, {}));
  tools.push_back(schema("web_fetch", "Fetch a web page (http or https) and return its text.",
                         {{"url", str("The URL to fetch")}}, {"url"}));
  if (!settings_.search_endpoint.empty()) {
    tools.push_back(schema("web_search", "Search the web; returns titles, URLs and snippets.",
                           {{"query", str("What to search for")}}, {"query"}));
  }
  return tools;
}

bool Toolbox::offers(std::string_view name) const {
  static const char* const names[] = {"bash", "read_file", "write_file", "edit_file", "multi_edit",
                                      "grep", "glob",      "list_files", "web_fetch"};
  if (name == "web_search") return !settings_.search_endpoint.empty();
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
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
  if (!offers(name)) {
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
  if (name == "bash") {
    const auto cmd = a.string("command", true);
    a.number("timeout");
    c.summary = cmd.value_or("");
    if (cmd) {
      if (auto f = consent_.analyse_command(*cmd)) {
        c.consent = std::move(f->reason);
        c.consent_trigger = std::move(f->trigger);
      }
      c.consent_subject = *cmd;
    }
  } else if (name == "read_file" || name == "write_file" || name == "edit_file" ||
             name == "multi_edit") {
    const auto path = a.string("path", true);
    c.summary = path.value_or("");
    if (name == "read_file") {
      const auto off = a.number("offset");
      const auto lim = a.number("limit");
      if (off || lim) {
        const long long first = std::max(1LL, off.value_or(1));
        c.summary += lim ? " (lines " + std::to_string(first) + "-" +
                               std::to_string(first + std::max(0LL, *lim - 1)) + ")"
                         : " (from line " + std::to_string(first) + ")";
      }
    } else if (name == "write_file") {
      a.string("content", true);
    } else if (name == "edit_file") {
      a.string("old_string", true);
      a.string("new_string", true);
    } else {
      const auto it = c.args.find("edits");
      if (it == c.args.end() || !it->is_array()) {
        if (a.error.empty()) a.error = "argument \"edits\" must be an array";
      } else {
        for (const auto& e : *it) {
          if (!e.is_object() || !e.contains("old_string") || !e.contains("new_string") ||
              !e["old_string"].is_string() || !e["new_string"].is_string()) {
            if (a.error.empty()) {
              a.error = "every edit needs \"old_string\" and \"new_string\" strings";
            }
          }
        }
      }
    }
    if (path && a.error.empty() && name != "read_file") {
      std::string err;
      if (const auto abs = resolve(*path, err)) {
        c.consent = consent_.check_path(name, relative(*abs));
        c.consent_subject = relative(*abs);
      }
    }
  } else if (name == "grep") {
    const auto pat = a.string("pattern", true);
    const auto path = a.string("path", false);
    a.string("glob", false);
    c.summary = pat.value_or("") + (path ? " " + *path : "");
  } else if (name == "glob") {
    const auto pat = a.string("pattern", true);
    const auto path = a.string("path", false);
    c.summary = pat.value_or("") + (path ? " in " + *path : "");
  } else if (name == "list_files") {
    c.summary = a.string("path", false).value_or(".");
  } else if (name == "web_fetch") {
    c.summary = a.string("url", true).value_or("");
  } else if (name == "web_search") {
    c.summary = a.string("query", true).value_or("");
  }
  if (c.summary.empty()) c.summary = shown;
  c.error = a.error;
  return c;
}

ToolResult Toolbox::run(const PreparedCall& c) {
  if (!c.error.empty()) return {c.error, true};
  try {
    if (c.name == "bash") {
      double secs = std::nan("");  // none given: the default
      if (const auto it = c.args.find("timeout"); it != c.args.end()) {
        if (it->is_number()) {
          secs = it->get<double>();
        } else if (it->is_string()) {
          Args a{c.args, {}};
          if (const auto v = a.number("timeout")) secs = static_cast<double>(*v);
        }
      }
      const auto t = clamp_timeout(secs, settings_.bash_timeout, settings_.bash_max_timeout);
      return bash(c.args["command"].get<std::string>(), t);
    }
    if (c.name == "read_file") return read_file(c.args);
    if (c.name == "write_file") return write_file(c.args);
    if (c.name == "edit_file") return edit_file(c.args);
    if (c.name == "multi_edit") return multi_edit(c.args);
    if (c.name == "grep") return grep(c.args);
    if (c.name == "glob") return glob(c.args);
    if (c.name == "list_files") return list_files(c.args);
    if (c.name == "web_fetch") return web_fetch(c.args);
    if (c.name == "web_search") return web_search(c.args);
  } catch (const std::exception& e) {
    return {std::string(c.name) + " failed: " + e.what(), true};
  }
  return {"unknown tool \"" + c.name + "\"", true};
}

ToolResult Toolbox::bash(const std::string& command, std::chrono::milliseconds timeout) {
  const char* shell = ::access("/bin/bash", X_OK) == 0 ? "/bin/bash" : "/bin/sh";
  const auto r = run_process(sandbox_.wrap({shell, "-c", command}, root_), root_, timeout,
                             settings_.tool_output_cap, canceller_);
  if (!r.started) return {"could not run the command: " + r.start_error, true};
  // Something the command started in the background may still run in its group.
  if (!settings_.keep_background_processes && group_alive(r.pgid)) record_group(r.pgid);
  ToolResult out{r.output, false};
  while (!out.text.empty() && out.text.back() == '\n') out.text.pop_back();
  auto note = [&](const std::string& n) {
    if (!out.text.empty()) out.text += "\n";
    out.text += n;
  };
  if (r.cancelled) {
    note("[cancelled by the user; the command was killed]");
    out.error = true;
  } else if (r.timed_out) {
    note("[timed out after " + std::to_string(timeout.count() / 1000) +
         " s; the command was killed]");
    out.error = true;
  } else if (r.signal != 0) {
    note("[killed by signal " + std::to_string(r.signal) + "]");
    out.error = true;
  } else if (r.exit_code != 0) {
    note("[exit code " + std::to_string(r.exit_code) + "]");
    out.error = true;
  } else if (out.text.empty()) {
    out.text = "(no output)";
  }
  return out;
}

ToolResult Toolbox::read_file(const json& args) {
  std::string err;
  const auto p = resolve(args["path"].get<std::string>(), err);
  if (!p) return {err, true};
  const std::string shown = relative(*p);
  struct stat st {};
  Fd fd(open_regular(*p, shown, "; use list_files", st, err));
  if (fd.get() < 0) return {err, true};
  Args a{args, {}};
  const std::size_t first = static_cast<std::size_t>(std::max(1LL, a.number("offset").value_or(1)));
  const std::size_t limit = static_cast<std::size_t>(
      std::max(1LL, a.number("limit").value_or(static_cast<long long>(kReadDefaultLines))));
  const std::size_t cap = std::max<std::size_t>(settings_.tool_output_cap, 1);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // Counting the lines after the range shown costs a pass over the rest: only for files of a
  // sane size. Otherwise reading stops once the range (or the output cap) is done.
  const bool count_all = size <= settings_.max_edit_bytes;

  std::string out;
  std::string line;        // the current line while in range, at most cap + 1 bytes
  std::size_t lineno = 1;  // the line the next byte belongs to
  std::size_t shown_last = first - 1;
  std::size_t cut_line = 0;    // a line shown only in part
  bool shown_done = false;     // nothing more will be shown; the rest is only counted
  std::uint64_t consumed = 0;  // bytes looked at
  // The size is only what fstat said: counting also stops after max_edit_bytes, for a file that
  // keeps producing more than it claims.
  auto only_counting_left = [&] {
    return shown_done && (!count_all || consumed > settings_.max_edit_bytes);
  };
  bool at_end = false;
  auto in_range = [&] { return !shown_done && lineno >= first && lineno - first < limit; };
  auto finish_line = [&] {
    if (out.size() + line.size() > cap && !out.empty()) {
      shown_done = true;
    } else {
      if (line.size() > cap) {
        line.resize(utf8_cut(line, cap));
        cut_line = lineno;
        shown_done = true;
      }
      out += line;
      shown_last = lineno;
    }
    line.clear();
  };
  std::vector<char> buf(64 * 1024);
  bool sniffed = false;
  char last = '\n';
  while (!only_counting_left()) {
    if (canceller_.cancelled()) return {"cancelled by the user", true};
    const ssize_t n = read_some(fd.get(), buf.data(), buf.size());
    if (n < 0) return {sys_text("cannot read", shown, errno), true};
    if (n == 0) {
      at_end = true;
      break;
    }
    const auto len = static_cast<std::size_t>(n);
    if (!sniffed) {
      sniffed = true;
      if (std::memchr(buf.data(), '\0', std::min<std::size_t>(len, 8192)) != nullptr) {
        return {shown + " is a binary file (" + size_text(size) + "); not shown", true};
      }
    }
    last = buf[len - 1];
    std::size_t pos = 0;
    while (pos < len) {
      const auto* nl = static_cast<const char*>(std::memchr(buf.data() + pos, '\n', len - pos));
      const std::size_t end = nl != nullptr ? static_cast<std::size_t>(nl - buf.data()) + 1 : len;
      if (in_range()) {
        line.append(buf.data() + pos, std::min(end - pos, cap + 1 - line.size()));
        // A line longer than the cap is cut at once, not read to its end.
        if (nl != nullptr || line.size() > cap) finish_line();
      }
      // Past the range: nothing more is shown.
      if (nl != nullptr && ++lineno >= first && lineno - first >= limit) shown_done = true;
      pos = end;
      if (only_counting_left()) break;
    }
    consumed += pos;
  }
  if (at_end && !line.empty()) finish_line();  // the last line, without a newline
  if (at_end && consumed == 0) return {"(empty file)", false};
  // Complete lines seen; a last line without a newline counts too.
  const std::size_t total = lineno - 1 + (at_end && last != '\n' ? 1 : 0);
  if (at_end && first > total) {
    return {"offset " + std::to_string(first) + " is past the end of " + shown + " (" +
                std::to_string(total) + " lines)",
            true};
  }
  const bool more =
      at_end ? shown_last < total : consumed < size || consumed > settings_.max_edit_bytes;
  if (more || first > 1 || cut_line != 0) {
    if (!out.empty() && out.back() != '\n') out.push_back('\n');
    if (cut_line != 0) {
      out += "[line " + std::to_string(cut_line) + " is longer than " + size_text(cap) +
             "; only its start is shown]\n";
    }
    out += "[lines " + std::to_string(first) + "-" + std::to_string(shown_last) + " of " +
           (at_end ? std::to_string(total) : "a file of " + size_text(size)) +
           (more ? "; read more with offset " + std::to_string(shown_last + 1) : std::string()) +
           "]";
  }
  return {out, false};
}

ToolResult Toolbox::write_file(const json& args) {
  std::string err;
  const auto p = resolve(args["path"].get<std::string>(), err);
  if (!p) return {err, true};
  // Only a regular file is replaced: a FIFO or a device node in its place is left alone.
  struct stat st {};
  const bool existed = ::stat(p->c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) return {relative(*p) + " is a directory", true};
  if (existed && !S_ISREG(st.st_mode)) return {not_regular(relative(*p), st.st_mode), true};
  const std::string& content = args["content"].get_ref<const std::string&>();
  if (!write_whole(*p, content, err)) return {err, true};
  const auto lines = std::count(content.begin(), content.end(), '\n') +
                     (!content.empty() && content.back() != '\n' ? 1 : 0);
  return {std::string(existed ? "Overwrote " : "Created ") + relative(*p) + " (" +
              std::to_string(lines) + " lines, " + std::to_string(content.size()) + " bytes)",
          false};
}

ToolResult Toolbox::edit_file(const json& args) {
  json edits = json::array();
  edits.push_back({{"old_string", args["old_string"]}, {"new_string", args["new_string"]}});
  return apply_edits(args["path"].get<std::string>(), edits, false);
}

ToolResult Toolbox::multi_edit(const json& args) {
  if (args["edits"].empty()) return {"no edits given", true};
  return apply_edits(args["path"].get<std::string>(), args["edits"], true);
}

ToolResult Toolbox::apply_edits(const std::string& path, const json& edits, bool multi) {
  std::string err;
  const auto p = resolve(path, err);
  if (!p) return {err, true};
  const std::string shown = relative(*p);
  struct stat st {};
  Fd fd(open_regular(*p, shown, "", st, err));
  if (fd.get() < 0) return {err, true};
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > settings_.max_edit_bytes) {
    return {shown + " is " + size_text(size) + "; files over " +
                size_text(settings_.max_edit_bytes) +
                " are not edited with this tool (nothing was changed; use bash, e.g. sed)",
            true};
  }
  std::string before;
  if (!read_bounded(fd.get(), shown, settings_.max_edit_bytes, before, err)) return {err, true};
  const bool crlf = before.find("\r\n") != std::string::npos;
  std::string text = before;
  std::size_t n = 0;
  for (const auto& e : edits) {
    ++n;
    const std::string where = multi ? "edit " + std::to_string(n) + ": " : "";
    std::string old_s = e["old_string"].get<std::string>();
    std::string new_s = e["new_string"].get<std::string>();
    if (old_s.empty()) return {where + "old_string is empty; nothing was changed", true};
    if (old_s == new_s)
      return {where + "old_string and new_string are the same; nothing was changed", true};
    std::size_t count = count_occurrences(text, old_s);
    if (count == 0 && crlf) {
      // The model writes "\n"; the file has CR LF line ends.
      old_s = to_crlf(old_s);
      new_s = to_crlf(new_s);
      count = count_occurrences(text, old_s);
    }
    if (count == 0) {
      return {where + "old_string was not found in " + relative(*p) +
                  "; nothing was changed (it must match exactly, whitespace included)",
              true};
    }
    if (count > 1) {
      return {where + "old_string occurs " + std::to_string(count) + " times in " + relative(*p) +
                  "; nothing was changed (add surrounding lines so it is unique)",
              true};
    }
    text.replace(text.find(old_s), old_s.size(), new_s);
  }
  if (!write_whole(*p, text, err)) return {err, true};
  return {unified_diff(relative(*p), before, text), false};
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

ToolResult Toolbox::web_fetch(const json& args) {
  const std::string url = args["url"].get<std::string>();
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
    return {"only http:// and https:// URLs can be fetched", true};
  }
  HttpRequest req;
  req.url = url;
  req.method = "GET";
  req.connect_timeout = settings_.connect_timeout;
  req.stall_timeout = std::chrono::milliseconds(30000);
  req.deadline = settings_.web_fetch_timeout;
  req.headers = {"User-Agent: kestravel", "Accept: text/html,text/plain,application/json,*/*"};
  std::string body;
  bool truncated = false;
  const std::size_t cap = settings_.web_fetch_max_bytes;
  const auto r = http_transfer(
      req,
      [&](std::string_view piece) {
        if (body.size() + piece.size() > cap) {
          body.append(piece.substr(0, cap - body.size()));
          truncated = true;
          return false;
        }
        body.append(piece);
        return true;
      },
      canceller_);
  if (r.kind == HttpOutcome::Kind::cancelled) return {"cancelled by the user", true};
  if (r.kind != HttpOutcome::Kind::ok && r.kind != HttpOutcome::Kind::stopped) {
    return {r.message, true};
  }
  const std::string_view head = std::string_view(body).substr(0, 2048);
  const bool html = head.find("<html") != std::string_view::npos ||
                    head.find("<HTML") != std::string_view::npos ||
                    head.find("<!DOCTYPE") != std::string_view::npos ||
                    head.find("<!doctype") != std::string_view::npos;
  std::string out = html ? html_to_text(body) : body;
  if (out.size() > settings_.tool_output_cap) {
    out.resize(std::string(text::take_chars(out, settings_.tool_output_cap)).size());
    out.resize(std::min(out.size(), settings_.tool_output_cap));
    truncated = true;
  }
  if (truncated) out += "\n[truncated]";
  return {out, false};
}

ToolResult Toolbox::web_search(const json& args) {
  const std::string query = args["query"].get<std::string>();
  HttpRequest req;
  req.url = settings_.search_endpoint +
            (settings_.search_endpoint.find('?') == std::string::npos ? "?" : "&") +
            "q=" + url_encode(query) + "&format=json";
  req.method = "GET";
  req.connect_timeout = settings_.connect_timeout;
  req.stall_timeout = std::chrono::milliseconds(30000);
  req.deadline = settings_.web_fetch_timeout;
  std::string body;
  const std::size_t cap = settings_.web_fetch_max_bytes;
  const auto r = http_transfer(
      req,
      [&](std::string_view piece) {
        body.append(piece.substr(0, cap - std::min(cap, body.size())));
        return body.size() < cap;
      },
      canceller_);
  if (r.kind == HttpOutcome::Kind::cancelled) return {"cancelled by the user", true};
  if (r.kind != HttpOutcome::Kind::ok) return {r.message, true};
  const json j = json::parse(body, nullptr, false);
  if (!j.is_object() || !j.contains("results") || !j["results"].is_array()) {
    return {"the search service answered something that is not a result list", true};
  }
  std::string out;
  int n = 0;
  for (const auto& item : j["results"]) {
    if (!item.is_object() || ++n > 10) break;
    auto field = [&](const char* k) {
      return item.contains(k) && item[k].is_string() ? item[k].get<std::string>() : std::string();
    };
    out += std::to_string(n) + ". " + field("title") + "\n   " + field("url") + "\n";
    const std::string snippet = field("content");
    if (!snippet.empty()) out += "   " + std::string(text::take_chars(snippet, 300)) + "\n";
  }
  if (out.empty()) return {"no results", false};
  out.pop_back();
  return {out, false};
}

}  // namespace orvo::agent
