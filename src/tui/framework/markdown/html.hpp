// Raw HTML in markdown, shown as a reader of the rendered page would see it: comments hidden,
// tags hidden with their text kept, <br> as a line break, <pre> as a code block, entities decoded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tui/framework/markdown/document.hpp"

namespace orvo::tui::md {

// One piece of inline HTML (md4c hands tags over one at a time, a multi-line one in pieces).
struct HtmlTag {
  enum Type : std::uint8_t { Ignore, Break, Open, Close };
  Type type = Ignore;
  std::uint16_t flag = 0;  // the run flag an Open/Close tag switches (Strong for <b>, ...)
};

// Whether `raw` (the pieces gathered so far) is one whole tag or comment.
bool html_complete(std::string_view raw);

// What a whole inline tag or comment does.
HtmlTag inline_html(std::string_view raw);

// Replaces an Html block by what it shows: a Code block for <pre> (language from
// class="language-x"), a Paragraph of its text otherwise, or an empty Paragraph when it holds
// nothing visible (comments only, front matter in a comment, closing tags).
void convert_html_block(Block& b);

}  // namespace orvo::tui::md
