// Entity decoding and HTML-to-text, shared by web_fetch and the markdown renderer.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "agent/tools.hpp"
#include "html/entities.hpp"
#include "html/text.hpp"

namespace {

using orvo::html::decode_entities;
using orvo::html::html_to_text;

const std::string kFffd = "\xEF\xBF\xBD";

// Markdown's HTML blocks decode with decode_entities; fetched pages go through the HTML parser.
// Both must read a reference the same way.
TEST(HtmlEntities, DecoderAndPageConversionAgree) {
  struct Case {
    const char* in;
    std::string want;
  };
  const Case cases[] = {
      {"wait&hellip;", "wait\xE2\x80\xA6"},
      {"&copy; 2024", "\xC2\xA9 2024"},
      {"a&mdash;b",
       "a\xE2\x80\x94"
       "b"},
      {"x&#0;y", "x" + kFffd + "y"},
      {"&#xD800;", kFffd},
      {"&#x110000;", kFffd},
      {"&#99999999999999999999;", kFffd},
      {"a &amp b", "a & b"},  // legacy name without ";" in text
      {"&copy2024",
       "\xC2\xA9"
       "2024"},  // ... followed by more letters or digits
      {"&notit;",
       "\xC2\xAC"
       "it;"},  // longest legacy prefix
      {"&notin;", "\xE2\x88\x89"},
      {"&foo; &bar", "&foo; &bar"},   // unknown names are kept
      {"&#x41 &#66;", "A B"},         // numeric without ";"
      {"&#; &#x;", "&#; &#x;"},       // no digits: not a reference
      {"&#150;", "\xE2\x80\x93"},     // 0x80..0x9F read as Windows-1252
      {"&#x81;", kFffd},              // ... unless it has no character there
      {"&#27;[31m", kFffd + "[31m"},  // no escape sequences out of a reference
      {"AT&T & co", "AT&T & co"},
      {"&lt;b&gt;&quot;&apos;", "<b>\"'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_entities(c.in), c.want) << c.in;
    EXPECT_EQ(orvo::agent::html_to_text(std::string("<p>") + c.in + "</p>"), c.want + "\n") << c.in;
  }
}

TEST(HtmlEntities, OneWholeReference) {
  struct Case {
    const char* ref;
    const char* want;
  };
  // A single reference as markdown hands it over: the ";" is required there.
  for (const Case& c :
       {Case{"&amp;", "&"}, Case{"&hellip;", "\xE2\x80\xA6"}, Case{"&#x1F600;", "\xF0\x9F\x98\x80"},
        Case{"&#0;", "\xEF\xBF\xBD"}, Case{"&nosuch;", "&nosuch;"}, Case{"&amp", "&amp"},
        Case{"&#12a;", "&#12a;"}}) {
    std::string out;
    orvo::html::decode_entity(c.ref, out);
    EXPECT_EQ(out, c.want) << c.ref;
  }
}

TEST(HtmlToText, MalformedPages) {
  struct Case {
    const char* name;
    std::string html;
    std::string want;
  };
  const Case cases[] = {
      {"unclosed tags", "<html><body><p>one<p>two<div>three<ul><li>a<li>b</ul>after",
       "one\n\ntwo\n\nthree\n- a\n- b\nafter\n"},
      {"nested tables", "<table><tr><td>a<td><table><tr><td>b<td>c</table><td>d</table>",
       "a |\nb | c\nd\n"},
      {"script with a closing tag in a string",
       "<div>before <script>var s = \"</div>\"; document.write('<p>x</p>');</script> after</div>",
       "before after\n"},
      {"comments", "a<!-- hidden <p>x</p> -->b<!-- never closed <p>y</p>", "ab\n"},
      {"CDATA outside foreign content is a comment", "a<![CDATA[x<y]]>b", "ab\n"},
      {"CDATA in svg is text", "<p>a<svg><text><![CDATA[1<2]]></text></svg></p>", "a1<2\n"},
      {"hidden elements",
       "<head><title>T</title><style>p{}</style></head><body><noscript>js</noscript>"
       "<template><p>t</p></template><p>shown</p>",
       "shown\n"},
      {"whitespace collapsed", "  <p>  a \n\t b  </p>\n\n  <p>c</p>  ", "a b\n\nc\n"},
      {"pre keeps whitespace", "<p>x</p><pre>  a\n    b</pre>y", "x\n\n  a\n    b\ny\n"},
      {"breaks, and blank runs collapsed", "<br><br>a<br>b<br><br><br><br>c", "a\nb\n\nc\n"},
      {"nested lists", "<ul><li>a<ul><li>b</li></ul></li><li>c</li></ul>", "- a\n  - b\n- c\n"},
      {"no-break spaces read as spaces", "a&nbsp;&nbsp;b", "a b\n"},
      {"controls in the page", "a\x1b[31mb\x7f", "a" + kFffd + "[31mb" + kFffd + "\n"},
      {"unterminated tag", "<p>text<a href=\"x", "text\n"},
      {"tag cut off at the end", "a<div class=\"x", "a\n"},
      {"quote in an attribute name", "<div a\"b>text</div>after\"", "text\nafter\"\n"},
      {"'>' in a quoted value", "<p title=\"a>b\">x</p>", "x\n"},
      {"bogus comment", "a<!x <b>y</b>>z<?php echo 1 ?>w", "ay>zw\n"},
      {"less-than in text", "1 < 2 <3", "1 < 2 <3\n"},
      {"textarea is text", "<textarea><b>x</b></textarea>", "<b>x</b>\n"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(html_to_text(c.html), c.want) << c.name;
}

TEST(HtmlToText, StopsSoonAfterTheLimit) {
  std::string page;
  for (int i = 0; i < 10000; ++i) page += "<p>paragraph " + std::to_string(i) + "</p>";
  const std::string all = html_to_text(page);
  const std::string cut = html_to_text(page, 100);
  EXPECT_GT(cut.size(), 100u);  // longer than asked: the caller can tell it was cut
  EXPECT_LT(cut.size(), 200u);
  EXPECT_EQ(all.substr(0, cut.size()), cut);
}

// Pages built to make an HTML5 parser take quadratic time or memory: nested as deep as they are
// long (which would also overflow the stack when the tree is freed), with hundreds of thousands
// of attributes, or with open formatting elements the parser reopens in every block.
TEST(HtmlToText, HostilePagesWithinBoundedTime) {
  auto repeat = [](std::string_view piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
  };
  std::string reopened;
  for (int i = 0; i < 50000; ++i) reopened += "<b id=" + std::to_string(i) + ">";
  struct Case {
    const char* name;
    std::string html;
    std::string want;
  };
  const Case cases[] = {
      {"deep",
       repeat("<div>", 200000) + "<script>if (a<b) f('<p>no</p>')</script>deep" +
           repeat("<span><b>", 100000) + "<p>end",
       "deep\nend\n"},
      {"self-closing divs", repeat("<div/>", 200000) + "x", "x\n"},
      {"attributes", "<div" + repeat(" a", 300000) + ">x</div>", "x\n"},
      {"reopened formatting", reopened + repeat("<div>x</div>", 50000), repeat("x\n", 50000)},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(html_to_text(c.html), c.want) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.name;
  }
}

}  // namespace
