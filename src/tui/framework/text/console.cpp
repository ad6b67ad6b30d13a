#include "tui/framework/text/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace orvo::tui {
namespace {

std::map<std::string, Style, std::less<>> parse_defs(
    const std::vector<std::pair<std::string, std::string>>& defs) {
  std::map<std::string, Style, std::less<>> out;
  for (const auto& [name, def] : defs) {
    try {
      out.insert_or_assign(name, Style::parse(def));
    } catch (const StyleSyntaxError& e) {
      throw StyleSyntaxError("theme entry \"" + name + "\": " + e.what());
    }
  }
  return out;
}

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

ColorSystem detect_color_system() {
  const char* colorterm = std::getenv("COLORTERM");
  if (colorterm != nullptr) {
    const std::string_view c = colorterm;
    if (c == "truecolor" || c == "24bit") return ColorSystem::TrueColor;
  }
  const char* term = std::getenv("TERM");
  const std::string_view t = term != nullptr ? term : "";
  if (t == "dumb") return ColorSystem::None;
  if (t.find("256color") != std::string_view::npos) return ColorSystem::EightBit;
  return ColorSystem::Standard;
}

int detect_width(const std::ostream* out) {
  const int fd = out == &std::cout ? 1 : (out == &std::cerr || out == &std::clog) ? 2 : -1;
  winsize ws{};
  if (fd >= 0 && ::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (const char* cols = std::getenv("COLUMNS")) {
    const int n = std::atoi(cols);
    if (n > 0) return n;
  }
  return 80;
}

}  // namespace

Theme::Theme(std::initializer_list<std::pair<const std::string, std::string>> defs)
    : styles_(parse_defs({defs.begin(), defs.end()})) {}

Theme::Theme(const std::map<std::string, std::string>& defs)
    : styles_(parse_defs({defs.begin(), defs.end()})) {}

const Style* Theme::get(std::string_view name) const {
  auto it = styles_.find(name);
  return it == styles_.end() ? nullptr : &it->second;
}

const Theme& Theme::default_theme() {
  static const Theme theme{
      {"none", ""},
      {"reset",
       "not bold not dim not italic not underline not reverse not strike default on default"},
      {"bold", "bold"},
      {"dim", "dim"},
      {"italic", "italic"},
      {"underline", "underline"},
      {"strike", "strike"},
      {"reverse", "reverse"},
      {"repr.number", "bold cyan"},
      {"repr.str", "green"},
      {"markdown.paragraph", ""},
      {"markdown.text", ""},
      {"markdown.em", "italic"},
      {"markdown.emph", "italic"},
      {"markdown.strong", "bold"},
      {"markdown.s", "strike"},
      {"markdown.code", "bold cyan on black"},
      {"markdown.code_inline", "bold cyan on black"},
      {"markdown.code_block", "cyan on black"},
      {"markdown.block_quote", "magenta"},
      {"markdown.list", "cyan"},
      {"markdown.item", ""},
      {"markdown.item.bullet", "bold yellow"},
      {"markdown.item.number", "yellow"},
      {"markdown.hr", "yellow"},
      {"markdown.h1.border", ""},
      {"markdown.h1", "bold"},
      {"markdown.h2", "bold underline"},
      {"markdown.h3", "bold"},
      {"markdown.h4", "bold dim"},
      {"markdown.h5", "underline"},
      {"markdown.h6", "italic"},
      {"markdown.h7", "italic dim"},
      {"markdown.link", "bright_blue"},
      {"markdown.link_url", "blue underline"},
      {"markdown.table.header", "bold"},
      {"markdown.table.border", ""},
      {"markdown.h2.border", "dim"},
      {"markdown.underline", "underline"},
      {"markdown.image", "italic bright_magenta"},
      {"markdown.html", "dim"},
      {"markdown.block_quote.border", "magenta"},
      {"markdown.item.task", "yellow"},
      {"markdown.item.task_done", "green"},
  };
  return theme;
}

Console::Console(ConsoleOptions o) : out_(o.out) {
  set_width(o.width < 1 ? detect_width(out_) : o.width);
  is_terminal_ = o.force_terminal || (out_ == &std::cout && ::isatty(1) != 0) ||
                 ((out_ == &std::cerr || out_ == &std::clog) && ::isatty(2) != 0);
  const bool no_color = o.no_color ? *o.no_color : env_set("NO_COLOR");
  if (!is_terminal_)
    color_system_ = ColorSystem::None;
  else if (no_color)
    color_system_ = ColorSystem::Monochrome;  // colours go, bold and the other attributes stay
  else
    color_system_ = o.color_system ? *o.color_system : detect_color_system();
  hyperlinks_ = is_terminal_ && (o.hyperlinks ? *o.hyperlinks : terminal_shows_hyperlinks());
  themes_.push_back(Theme::default_theme());
}

Console::Console(std::ostream& out, int width, ColorSystem system, bool force_terminal)
    : Console(ConsoleOptions{width, system, force_terminal, &out, std::nullopt, std::nullopt}) {}

bool terminal_shows_hyperlinks() {
  auto env = [](const char* name) -> std::string_view {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string_view() : std::string_view(v);
  };
  if (const std::string_view force = env("KV_HYPERLINKS"); !force.empty()) return force != "0";
  const std::string_view program = env("TERM_PROGRAM");
  for (std::string_view p : {"iTerm.app", "WezTerm", "vscode", "ghostty", "Hyper", "Tabby"}) {
    if (program == p) return true;
  }
  const std::string_view term = env("TERM");
  for (std::string_view t : {"xterm-kitty", "foot", "wezterm", "xterm-ghostty"}) {
    if (term == t) return true;
  }
  if (!env("KITTY_WINDOW_ID").empty() || !env("WT_SESSION").empty() ||
      !env("KONSOLE_VERSION").empty()) {
    return true;
  }
  const std::string_view vte = env("VTE_VERSION");  // GNOME Terminal and friends: 0.50 and later
  return !vte.empty() && std::atoi(std::string(vte).c_str()) >= 5000;
}

void Console::push_theme(const Theme& theme, bool inherit) {
  Theme merged = inherit ? themes_.back() : Theme();
  for (const auto& [name, style] : theme.styles()) merged.set(name, style);
  themes_.push_back(std::move(merged));
}

void Console::pop_theme() {
  if (themes_.size() > 1) themes_.pop_back();
}

Style Console::get_style(std::string_view name_or_definition) const {
  if (const Style* s = themes_.back().get(name_or_definition)) return *s;
  return Style::parse(name_or_definition);
}

Style Console::get_style(std::string_view name_or_definition, const Style& fallback) const {
  if (const Style* s = themes_.back().get(name_or_definition)) return *s;
  return Style::try_parse(name_or_definition).value_or(fallback);
}

std::vector<Strip> Console::render_lines(const Renderable& r, int width) const {
  return r.render_lines(*this, width < 1 ? width_ : width);
}

void Console::render_strip(const Strip& strip, std::string& out) const {
  strip.render(color_system_, out, hyperlinks_);
}

std::string Console::render(const Renderable& r, int width) const {
  std::string out;
  for (const Strip& row : render_lines(r, width)) {
    row.render(color_system_, out, hyperlinks_);
    out += '\n';
  }
  return out;
}

void Console::print(const Renderable& r) {
  write(render(r));
}

void Console::print(std::string_view markup) {
  print(Text::from_markup(markup, Style(), &themes_.back()));
}

void Console::write(std::string_view raw) {
  if (out_ != nullptr) {
    out_->write(raw.data(), static_cast<std::streamsize>(raw.size()));
    out_->flush();
  } else {
    buffer_ += raw;
  }
}

std::string Console::export_text() const {
  return Text::from_ansi(buffer_).plain();
}

}  // namespace orvo::tui
