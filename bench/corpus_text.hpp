// Corpus text shared by the benchmarks that render answers.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace orvo::bench {

// The comment that makes a block distinct, in the block's language. compare_rich.py applies the
// same rule to the reference's input, so both sides render the same text.
inline std::string distinct_line(std::string_view lang, int index) {
  static const std::set<std::string, std::less<>> slashes = {
      "c",    "cpp",        "c++", "rust",       "rs", "go",
      "java", "javascript", "js",  "typescript", "ts", "json"};
  const std::string mark = slashes.contains(lang) ? "//" : lang == "sql" ? "--" : "#";
  return mark + " block " + std::to_string(index);
}

// Adds distinct_line() as the first line of every fenced code block.
inline std::string make_distinct(const std::string& text, int& index) {
  std::string out;
  out.reserve(text.size() + 1024);
  bool inside = false;
  char fence = 0;
  std::size_t fence_len = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string_view line(text.data() + pos, end - pos);
    out.append(line);
    pos = end;
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string_view::npos) continue;
    const std::string_view rest = line.substr(indent);
    std::size_t run = 0;
    while (run < rest.size() && (rest[run] == '`' || rest[run] == '~') && rest[run] == rest[0]) {
      ++run;
    }
    if (!inside) {
      if (run < 3) continue;
      std::string_view info = rest.substr(run);
      if (rest[0] == '`' && info.find('`') != std::string_view::npos) continue;
      while (!info.empty() && (info.front() == ' ' || info.front() == '\t')) info.remove_prefix(1);
      const std::size_t word = info.find_first_of(" \t\r\n");
      const std::string lang(info.substr(0, word));
      inside = true;
      fence = rest[0];
      fence_len = run;
      if (out.back() != '\n') out += '\n';
      out.append(indent, ' ').append(distinct_line(lang, index++)).append("\n");
    } else if (run >= fence_len && rest[0] == fence &&
               rest.substr(run).find_first_not_of(" \t\r\n") == std::string_view::npos) {
      inside = false;
    }
  }
  return out;
}

}  // namespace orvo::bench
