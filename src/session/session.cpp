#include "session/session.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace orvo::session {

using nlohmann::json;

namespace {

// Records are written with invalid UTF-8 replaced: a tool's binary output must not make a line
// unreadable.
std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool write_all(int fd, std::string_view data, std::string& error) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string utc_stamp(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H-%M-%SZ", &tm);
  return buf;
}

// "2024-05-01T14-03-05Z..." -> local "2024-05-01 14:03"; the name itself when it is no stamp.
std::string started_of(const std::string& stem) {
  std::tm tm{};
  if (stem.size() < 20 ||
      ::strptime(stem.substr(0, 20).c_str(), "%Y-%m-%dT%H-%M-%SZ", &tm) == nullptr)
    return stem;
  const std::time_t t = ::timegm(&tm);
  std::tm local{};
  ::localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
  return buf;
}

bool string_list(const json& v) {
  if (!v.is_array()) return false;
  return std::all_of(v.begin(), v.end(), [](const json& e) { return e.is_string(); });
}

}  // namespace

fs::path state_root() {
  if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x == '/')
    return fs::path(x) / "kestravel";
  if (const char* h = std::getenv("HOME"); h != nullptr && *h == '/')
    return fs::path(h) / ".local" / "state" / "kestravel";
  return {};
}

std::string project_key(const fs::path& project) {
  std::string base = project.filename().string();
  if (base.empty()) base = project.parent_path().filename().string();
  std::string safe;
  for (const char c : base) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    safe += ok ? c : '_';
    if (safe.size() >= 40) break;
  }
  if (safe.empty() || safe.front() == '.') safe.insert(safe.begin(), '_');
  // FNV-1a over the whole path: stable across runs and builds.
  std::uint64_t h = 1469598103934665603ULL;
  for (const unsigned char c : project.string()) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08llx", static_cast<unsigned long long>(h & 0xffffffffULL));
  return safe + "-" + hex;
}

void make_private_dirs(const fs::path& dir) {
  if (dir.empty()) throw std::runtime_error("no state directory (HOME is not set)");
  fs::path p;
  for (const auto& part : dir) {
    p /= part;
    if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create " + p.string() + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error(dir.string() + " is not a directory");
}

SessionWriter::SessionWriter(const fs::path& dir, const fs::path& project,
                             std::chrono::system_clock::time_point start) {
  make_private_dirs(dir);
  const std::string stamp = utc_stamp(start);
  for (int i = 0; i < 100 && fd_ < 0; ++i) {
    path_ = dir / (stamp + (i == 0 ? std::string() : "-" + std::to_string(i)) + ".jsonl");
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                 0600);
    if (fd_ < 0 && errno != EEXIST)
      throw std::runtime_error("cannot create " + path_.string() + ": " + std::strerror(errno));
  }
  if (fd_ < 0) throw std::runtime_error("cannot create a session file in " + dir.string());
  json h = {{"session", kFormatVersion}, {"project", project.string()}, {"started", stamp}};
  line(h);
  flush();
}

SessionWriter::~SessionWriter() {
  flush();
  if (fd_ >= 0) ::close(fd_);
}

void SessionWriter::line(const json& record) {
  buffer_ += dump(record);
  buffer_ += '\n';
}

void SessionWriter::entry(const Entry& e) {
  line({{"call", "entry"}, {"kind", e.kind}, {"values", e.values}});
}

void SessionWriter::message(const json& m) {
  line({{"message", m}});
}

void SessionWriter::clear() {
  line({{"call", "clear"}});
}

bool SessionWriter::flush() {
  if (buffer_.empty()) return true;
  std::string err;
  const bool ok = write_all(fd_, buffer_, err);
  buffer_.clear();
  if (!ok) error_ = "cannot write " + path_.string() + ": " + err;
  return ok;
}

bool is_session_header(std::string_view first_line) {
  try {
    const json h = json::parse(first_line);
    return h.is_object() && h.contains("session") && h["session"].is_number_integer();
  } catch (const json::exception&) {
    return false;
  }
}

SessionData parse_session(std::string_view text, const std::string& name) {
  SessionData d;
  std::size_t pos = 0;
  int line = 0;
  int version = 0;
  auto stop = [&](const std::string& why) {
    d.note = name + ": line " + std::to_string(line) + ": " + why +
             "; the session was read up to the line before";
  };
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    const bool complete = end != std::string_view::npos;
    if (!complete) end = text.size();
    std::string_view row = text.substr(pos, end - pos);
    pos = end + 1;
    ++line;
    if (row.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    json r;
    try {
      r = json::parse(row);
    } catch (const json::exception&) {
      stop(complete ? "not JSON (edited by hand?)" : "cut off (the program was ended mid-write)");
      return d;
    }
    if (!r.is_object()) {
      stop("not a record");
      return d;
    }
    if (line == 1 || version == 0) {
      if (!r.contains("session") || !r["session"].is_number_integer()) {
        stop("no session header");
        return d;
      }
      version = r["session"].get<int>();
      d.header = r;
      if (version > kFormatVersion)
        d.note = name + ": written by a newer Kestravel (format " + std::to_string(version) +
                 "); only what this version knows is read";
      continue;
    }
    const auto call = r.find("call");
    if (r.size() == 1 && r.contains("message") && r["message"].is_object()) {
      d.messages.push_back(std::move(r["message"]));
    } else if (call != r.end() && *call == "clear" && r.size() == 1) {
      d.entries.clear();
      d.messages.clear();
    } else if (call != r.end() && *call == "entry" && r.contains("kind") && r["kind"].is_string() &&
               r.contains("values") && string_list(r["values"])) {
      Entry e{r["kind"].get<std::string>(), r["values"].get<std::vector<std::string>>()};
      if (e.kind == "user" && !e.values.empty()) {
        if (d.turns == 0) d.first_prompt = e.values[0];
        ++d.turns;
      }
      d.entries.push_back(std::move(e));
    } else {
      stop(version > kFormatVersion ? "a record this version does not know"
                                    : "not a session record");
      return d;
    }
  }
  if (version == 0 && d.note.empty()) d.note = name + ": empty, no session header";
  return d;
}

SessionData read_session(const fs::path& path) {
  SessionData d;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    d.note = "cannot read " + path.string() + ": " + std::strerror(errno);
    return d;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    d.note = path.string() + " is not a regular file";
    return d;
  }
  std::string text;
  char buf[65536];
  bool capped = false;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxReadBytes) {
      capped = true;
      break;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (capped) {
    // Whole lines only.
    const auto last = text.rfind('\n');
    text.resize(last == std::string::npos ? 0 : last + 1);
  }
  d = parse_session(text, path.filename().string());
  if (capped && d.note.empty())
    d.note = path.filename().string() + ": larger than " + std::to_string(kMaxReadBytes >> 20) +
             " MiB; only its beginning was read";
  return d;
}

std::vector<SessionInfo> list_sessions(const fs::path& dir, std::size_t limit) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".jsonl" && it->is_regular_file(ec)) files.push_back(it->path());
  }
  // The names are UTC stamps: newest last in name order.
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().string() > b.filename().string();
  });
  std::vector<SessionInfo> out;
  for (const auto& f : files) {
    if (out.size() >= limit) break;
    const SessionData d = read_session(f);
    if (d.turns == 0) continue;  // nothing to resume
    out.push_back({f, started_of(f.stem().string()), d.first_prompt, d.turns});
  }
  return out;
}

int prune_sessions(const fs::path& dir, int keep_days, std::chrono::system_clock::time_point now) {
  if (keep_days <= 0) return 0;
  const auto limit =
      std::chrono::system_clock::to_time_t(now) - static_cast<std::time_t>(keep_days) * 24 * 3600;
  int removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (it->path().extension() != ".jsonl" || ::lstat(it->path().c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (st.st_mtime < limit && ::unlink(it->path().c_str()) == 0) ++removed;
  }
  return removed;
}

std::string describe(const SessionInfo& s, std::size_t number, std::size_t width) {
  std::string prompt = s.first_prompt;
  for (char& c : prompt)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  std::string head = std::to_string(number) + "  " + s.started + "  " + std::to_string(s.turns) +
                     (s.turns == 1 ? " turn   " : " turns  ");
  const std::size_t room = width > head.size() + 1 ? width - head.size() : 1;
  if (prompt.size() > room) {
    std::size_t cut = room > 1 ? room - 1 : 0;
    while (cut > 0 && (static_cast<unsigned char>(prompt[cut]) & 0xC0) == 0x80) --cut;
    prompt = prompt.substr(0, cut) + "…";
  }
  return head + prompt;
}

std::vector<std::string> PromptHistory::load() const {
  std::vector<std::string> out;
  std::ifstream in(file_, std::ios::binary);
  std::string row;
  while (std::getline(in, row)) {
    try {
      const json j = json::parse(row);
      if (j.is_string()) out.push_back(j.get<std::string>());
    } catch (const json::exception&) {
    }
  }
  if (out.size() > cap_) out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(cap_));
  return out;
}

void PromptHistory::add(const std::string& prompt) {
  try {
    make_private_dirs(file_.parent_path());
    const int fd =
        ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    std::string err;
    write_all(fd, dump(json(prompt)) + "\n", err);
    ::close(fd);
    // Rarely: the file is cut back to the newest `cap_` prompts.
    std::error_code ec;
    if (fs::file_size(file_, ec) < 4096 || ec) return;
    std::ifstream in(file_, std::ios::binary);
    std::size_t lines = 0;
    for (std::string row; std::getline(in, row);) ++lines;
    if (lines <= 2 * cap_) return;
    const auto kept = load();
    const fs::path tmp = file_.string() + ".tmp";
    const int t = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (t < 0) return;
    std::string text;
    for (const auto& p : kept) text += dump(json(p)) + "\n";
    const bool ok = write_all(t, text, err);
    ::close(t);
    if (ok) fs::rename(tmp, file_, ec);
  } catch (const std::exception&) {
  }
}

}  // namespace orvo::session
