// The theme styles a markdown render reads, resolved once per render (internal to the renderer).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "tui/framework/text/console.hpp"
#include "tui/framework/text/style.hpp"

namespace orvo::tui::markdown_styles {

// Every theme name the renderer reads, with the style used when the theme lacks it.
enum StyleId {
  Paragraph,
  H1,
  H2,
  H3,
  H4,
  H5,
  H6,
  H1Border,
  H2Border,
  EmStyle,
  StrongStyle,
  StrikeStyle,
  UnderlineStyle,
  CodeInline,
  LinkStyle,
  LinkUrlStyle,
  ImageStyle,
  HtmlStyle,
  Quote,
  QuoteBorder,
  Hr,
  Bullet,
  Number,
  TaskOpen,
  TaskDone,
  TableBorder,
  TableHeader,
  StyleCount
};

// Theme names of the styles a render uses; a theme that lacks one gets the layer's default.
constexpr std::string_view kStyleNames[StyleCount] = {
    "markdown.paragraph",
    "markdown.h1",
    "markdown.h2",
    "markdown.h3",
    "markdown.h4",
    "markdown.h5",
    "markdown.h6",
    "markdown.h1.border",
    "markdown.h2.border",
    "markdown.em",
    "markdown.strong",
    "markdown.s",
    "markdown.underline",
    "markdown.code_inline",
    "markdown.link",
    "markdown.link_url",
    "markdown.image",
    "markdown.html",
    "markdown.block_quote",
    "markdown.block_quote.border",
    "markdown.hr",
    "markdown.item.bullet",
    "markdown.item.number",
    "markdown.item.task",
    "markdown.item.task_done",
    "markdown.table.border",
    "markdown.table.header",
};

struct Styles {
  std::array<Style, StyleCount> s;
  const Style& operator[](StyleId id) const { return s[id]; }

  std::size_t hash() const {
    std::size_t h = 1469598103934665603ull;
    for (const Style& st : s) h = (h ^ st.hash()) * 1099511628211ull;
    return h;
  }
};

inline Styles resolve_styles(const Console& console) {
  Styles out;
  const Theme& theme = console.theme();
  for (int i = 0; i < StyleCount; ++i) {
    const Style* st = theme.get(kStyleNames[i]);
    if (st == nullptr) st = Theme::default_theme().get(kStyleNames[i]);
    out.s[i] = st ? *st : Style();
  }
  return out;
}

}  // namespace orvo::tui::markdown_styles
