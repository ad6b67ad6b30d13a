#include "tui/framework/text/sgr_filter.hpp"

#include <cstdlib>
#include <vector>

namespace orvo::tui {

namespace {

std::vector<std::string_view> split_params(std::string_view params) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t semi = params.find(';', start);
    out.push_back(params.substr(start, semi == std::string_view::npos ? semi : semi - start));
    if (semi == std::string_view::npos) return out;
    start = semi + 1;
  }
}

int number(std::string_view p) {
  int n = 0;
  for (const char c : p) {
    if (c < '0' || c > '9') return -1;  // colon forms and the like: not ours to read
    n = n * 10 + (c - '0');
    if (n > 9999) return -1;
  }
  return p.empty() ? 0 : n;
}

}  // namespace

bool no_color_requested() {
  const char* v = std::getenv("NO_COLOR");
  return v != nullptr && *v != '\0';
}

std::string SgrColorFilter::strip_params(std::string_view params) {
  const std::vector<std::string_view> parts = split_params(params);
  std::string out;
  auto keep = [&](std::string_view p) {
    if (!out.empty()) out += ';';
    out += p;
  };
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const int n = number(parts[i]);
    if ((n >= 30 && n <= 37) || n == 39 || (n >= 40 && n <= 47) || n == 49 ||
        (n >= 90 && n <= 97) || (n >= 100 && n <= 107) || n == 59)
      continue;
    if (n == 38 || n == 48 || n == 58) {
      // 38;5;N or 38;2;R;G;B: the colour's own parameters go with it.
      if (i + 1 < parts.size()) {
        const int kind = number(parts[i + 1]);
        i += kind == 5 ? 2 : kind == 2 ? 4 : 1;
      }
      continue;
    }
    keep(parts[i]);
  }
  return out;
}

std::string SgrColorFilter::feed(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    if (held_.empty()) {
      if (c == '\x1b')
        held_ += c;
      else
        out += c;
      continue;
    }
    held_ += c;
    if (held_.size() == 2) {
      if (c != '[') {  // not a CSI: nothing to rewrite
        out += held_;
        held_.clear();
      }
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x40 && u <= 0x7E) {  // the final byte
      if (c == 'm') {
        const std::string_view params = std::string_view(held_).substr(2, held_.size() - 3);
        const std::string kept = strip_params(params);
        // A sequence that only set colours says nothing any more; a reset stays a reset.
        if (!kept.empty() || params.empty())
          out += "\x1b[" + kept + "m";
        else if (params.find_first_not_of("0;") == std::string_view::npos)
          out += "\x1b[0m";
      } else {
        out += held_;
      }
      held_.clear();
    } else if (held_.size() > kMaxHeld) {
      out += held_;
      held_.clear();
    }
  }
  return out;
}

std::string SgrColorFilter::flush() {
  std::string out;
  out.swap(held_);
  return out;
}

}  // namespace orvo::tui
