// Markup reduced to what the text of a page needs, before the HTML parser sees it. Internal to
// kv_html.
#pragma once

#include <string>
#include <string_view>

namespace orvo::html {

// `html` with the markup that changes nothing in html_to_text's output taken out: attributes,
// formatting elements (<b>, <a>, <font>...), and elements nested past a depth no real page
// reaches (their text is kept). Text, comments and raw text (script, style, textarea...) are
// copied as they are. This keeps the parser linear: on pages nested hundreds of thousands deep, or
// with thousands of attributes or open formatting elements, it would take quadratic time and
// memory.
std::string simplify_markup(std::string_view html);

}  // namespace orvo::html
