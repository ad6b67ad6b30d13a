// Temporary placeholders while the implementations land.
#include "tui/framework/text/console.hpp"
#include "tui/framework/wrap.hpp"

namespace orvo::tui {

int Segment::cell_length() const {
  return 0;
}
Strip::Strip(std::vector<Segment> segments) : segments_(std::move(segments)) {}
Strip Strip::of(std::string text, Style style) {
  return Strip({Segment(std::move(text), style)});
}
Strip Strip::blank(int width, Style style) {
  return of(std::string(width > 0 ? width : 0, ' '), style);
}
std::string Strip::text() const {
  return {};
}
Strip Strip::crop(int, int) const {
  return *this;
}
Strip Strip::extend(int, Style) const {
  return *this;
}
Strip Strip::adjust(int, Style) const {
  return *this;
}
std::vector<Strip> Strip::divide(const std::vector<int>&) const {
  return {};
}
Strip Strip::apply_style(const Style&, bool) const {
  return *this;
}
Strip Strip::simplify() const {
  return *this;
}
Strip Strip::join(const Strip&) const {
  return *this;
}
void Strip::render(ColorSystem, std::string&) const {}
std::string Strip::render(ColorSystem) const {
  return {};
}

Overflow parse_overflow(std::string_view) {
  return Overflow::Fold;
}
Justify parse_justify(std::string_view) {
  return Justify::Left;
}
Text::Text(std::string_view text, Style style) : plain_(text), style_(style) {}
Text::Text(std::string_view text, Style style, bool nw, Overflow of)
    : no_wrap(nw), overflow(of), plain_(text), style_(style) {}
Text Text::from_ansi(std::string_view ansi, Style base) {
  return Text(ansi, base);
}
Text Text::from_markup(std::string_view m, Style base, const Theme*) {
  return Text(m, base);
}
int Text::cell_len() const {
  return 0;
}
Text& Text::append(std::string_view text, Style) {
  plain_ += text;
  return *this;
}
Text& Text::append(const Text& o) {
  return append(o.plain());
}
Text& Text::stylize(Style, std::size_t, std::size_t) {
  return *this;
}
Text& Text::rstrip() {
  return *this;
}
std::vector<Text> Text::split_lines() const {
  return {*this};
}
Strip Text::to_strip() const {
  return Strip::of(plain_, style_);
}
std::vector<Strip> Text::wrap(int) const {
  return {to_strip()};
}
std::vector<Strip> Text::render_lines(const Console&, int width) const {
  return wrap(width);
}
Text render_markup(std::string_view m, Style base, const Theme* t) {
  return Text::from_markup(m, base, t);
}
std::string escape_markup(std::string_view text) {
  return std::string(text);
}

Theme::Theme(std::initializer_list<std::pair<const std::string, std::string>>) {}
Theme::Theme(const std::map<std::string, std::string>&) {}
const Style* Theme::get(std::string_view name) const {
  auto it = styles_.find(name);
  return it == styles_.end() ? nullptr : &it->second;
}
const Theme& Theme::default_theme() {
  static const Theme t;
  return t;
}
Console::Console(ConsoleOptions o) : width_(o.width), out_(o.out) {
  themes_.push_back(Theme());
}
Console::Console(std::ostream& out, int width, ColorSystem system, bool)
    : width_(width), color_system_(system), out_(&out) {
  themes_.push_back(Theme());
}
void Console::push_theme(const Theme& t, bool) {
  themes_.push_back(t);
}
void Console::pop_theme() {
  if (themes_.size() > 1) themes_.pop_back();
}
Style Console::get_style(std::string_view n) const {
  return Style::parse(n);
}
Style Console::get_style(std::string_view n, const Style& f) const {
  return Style::try_parse(n).value_or(f);
}
std::vector<Strip> Console::render_lines(const Renderable& r, int width) const {
  return r.render_lines(*this, width < 0 ? width_ : width);
}
std::string Console::render(const Renderable&, int) const {
  return {};
}
void Console::render_strip(const Strip&, std::string&) const {}
void Console::print(const Renderable&) {}
void Console::print(std::string_view) {}
void Console::write(std::string_view raw) {
  buffer_ += raw;
}
std::string Console::export_text() const {
  return buffer_;
}

std::vector<std::string> wrap(std::string_view text, int, std::string_view, std::string_view) {
  return {std::string(text)};
}

}  // namespace orvo::tui
