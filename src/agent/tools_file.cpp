// The file tools: read_file, write_file, edit_file and multi_edit. Files are opened only when they
// are regular files, read within bounds, and replaced atomically.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "agent/diff.hpp"
#include "agent/tool_table.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kReadDefaultLines = 2000;

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

json read_schema() {
  return tool_schema("read_file",
                     "Read a text file of the project. Long files are read in ranges of lines.",
                     {{"path", string_param("File path, relative to the project directory")},
                      {"offset", integer_param("First line to read, counting from 1 (default 1)")},
                      {"limit", integer_param("Number of lines to read (default 2000)")}},
                     {"path"});
}

json write_schema() {
  return tool_schema("write_file",
                     "Create or replace a file of the project with the given content.",
                     {{"path", string_param("File path, relative to the project directory")},
                      {"content", string_param("The whole new content of the file")}},
                     {"path", "content"});
}

json edit_schema() {
  return tool_schema(
      "edit_file",
      "Replace one exact occurrence of old_string in a file with new_string. old_string must "
      "match the file exactly (whitespace included) and occur exactly once. Returns a unified "
      "diff.",
      {{"path", string_param("File path, relative to the project directory")},
       {"old_string", string_param("The exact text to replace")},
       {"new_string", string_param("The text to put in its place")}},
      {"path", "old_string", "new_string"});
}

json multi_edit_schema() {
  return tool_schema(
      "multi_edit",
      "Apply several exact replacements to one file, in order; either all apply or none does. "
      "Returns a unified diff.",
      {{"path", string_param("File path, relative to the project directory")},
       {"edits",
        {{"type", "array"},
         {"items",
          {{"type", "object"},
           {"properties",
            {{"old_string", string_param("Exact text")},
             {"new_string", string_param("Replacement")}}},
           {"required", {"old_string", "new_string"}}}}}}},
      {"path", "edits"});
}

// The checks all four share: a path, and consent for the ones that change a file.
void prepare_file_tool(const Toolbox& box, Args& a, PreparedCall& c) {
  const std::string& name = c.name;
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
    if (const auto abs = box.resolve(*path, err)) {
      c.consent = box.consent().check_path(name, box.relative(*abs));
      c.consent_subject = box.relative(*abs);
    }
  }
}

}  // namespace

void add_file_tools(std::vector<ToolSpec>& table) {
  table.push_back({"read_file", read_schema, nullptr, prepare_file_tool,
                   [](Toolbox& box, const PreparedCall& c) { return box.read_file(c.args); }});
  table.push_back({"write_file", write_schema, nullptr, prepare_file_tool,
                   [](Toolbox& box, const PreparedCall& c) { return box.write_file(c.args); }});
  table.push_back({"edit_file", edit_schema, nullptr, prepare_file_tool,
                   [](Toolbox& box, const PreparedCall& c) { return box.edit_file(c.args); }});
  table.push_back({"multi_edit", multi_edit_schema, nullptr, prepare_file_tool,
                   [](Toolbox& box, const PreparedCall& c) { return box.multi_edit(c.args); }});
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
  std::vector<char> buf(std::size_t{64} << 10);
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

}  // namespace orvo::agent
