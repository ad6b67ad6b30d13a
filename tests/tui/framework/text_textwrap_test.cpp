#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include <unistd.h>

#include "tui/framework/text/textwrap.hpp"

namespace orvo::tui {
namespace {

using Rows = std::vector<std::string>;

// Expected rows are those of Python's textwrap.wrap(text, width, initial_indent=...,
// subsequent_indent=...).
TEST(TextWrap, MatchesPythonTextwrap) {
  struct Case {
    const char* text;
    int width;
    const char* initial;
    const char* subsequent;
    Rows rows;
  } cases[] = {
      {"", 10, "", "", {}},
      {"   \x09"
       "\x0A"
       " ",
       10,
       "",
       "",
       {}},
      {"hello world", 5, "", "", {"hello", "world"}},
      {"hello world", 11, "", "", {"hello world"}},
      {"  leading spaces kept on the first row",
       12,
       "",
       "",
       {"  leading", "spaces kept", "on the first", "row"}},
      {"trailing spaces   ", 9, "", "", {"trailing", "spaces"}},
      {"a  b   c", 3, "", "", {"a", "b", "c"}},
      {"well-known self-contained x-y",
       6,
       "",
       "",
       {"well-", "known", "self-c", "ontain", "ed x-y"}},
      {"well-known self-contained", 12, "", "", {"well-known", "self-", "contained"}},
      {"a-b-c-d e--f --option under_score-x",
       5,
       "",
       "",
       {"a-b-", "c-d e", "--f -", "-opti", "on un", "der_s", "core-", "x"}},
      {"Look, goof-ball -- use the -b option!",
       10,
       "",
       "",
       {"Look,", "goof-ball", "-- use the", "-b option!"}},
      {"pre--post", 4, "", "", {"pre", "--", "post"}},
      {"ab\x09"
       "c\x09"
       "d",
       8,
       "",
       "",
       {"ab", "c", "d"}},
      {"x\x09"
       "y\x0A"
       "\x09"
       "z",
       20,
       "",
       "",
       {"x       y         z"}},
      {"line1\x0A"
       "line2\x0D"
       "line3\x0B"
       "line4\x0C"
       "end",
       12,
       "",
       "",
       {"line1 line2", "line3 line4", "end"}},
      {"supercalifragilisticexpialidocious",
       10,
       "",
       "",
       {"supercalif", "ragilistic", "expialidoc", "ious"}},
      {"ab supercalifragilistic", 10, "", "", {"ab superca", "lifragilis", "tic"}},
      {"abcd xxxxxxxxxx", 5, "", "", {"abcd ", "xxxxx", "xxxxx"}},
      {"a-very-long-hyphenated-word-here",
       10,
       "",
       "",
       {"a-very-", "long-hyphe", "nated-", "word-here"}},
      {"----------", 4, "", "", {"----", "----", "--"}},
      {"https://example.com/a/very/long/path/to/something?x=1",
       20,
       "",
       "",
       {"https://example.com/", "a/very/long/path/to/", "something?x=1"}},
      {"word word word word word word ",
       12,
       "  ",
       "    ",
       {"  word word", "    word", "    word", "    word", "    word"}},
      {"indent wider than the width", 4, "12345", "   ", {"12345i", "   n", "   d", "   e", "   n",
                                                          "   t",   "   w", "   i", "   d", "   e",
                                                          "   r",   "   t", "   h", "   a", "   n",
                                                          "   t",   "   h", "   e", "   w", "   i",
                                                          "   d",   "   t", "   h"}},
      {"caf\xC3\xA9"
       " na\xC3\xAF"
       "ve r\xC3\xA9"
       "sum\xC3\xA9"
       " \xE6\x97\xA5"
       "\xE6\x9C\xAC"
       "\xE8\xAA\x9E"
       "\xE3\x81\xAE"
       "\xE6\x96\x87"
       "\xE7\xAB\xA0",
       8,
       "",
       "",
       {"caf\xC3\xA9",
        "na\xC3\xAF"
        "ve",
        "r\xC3\xA9"
        "sum\xC3\xA9",
        "\xE6\x97\xA5"
        "\xE6\x9C\xAC"
        "\xE8\xAA\x9E"
        "\xE3\x81\xAE"
        "\xE6\x96\x87"
        "\xE7\xAB\xA0"}},
      {"\xC2\xA0"
       "nbsp\xC2\xA0"
       " stays",
       6,
       "",
       "",
       {"\xC2\xA0"
        "nbsp\xC2\xA0",
        "stays"}},
      {"emoji \xF0\x9F\x91\x8D"
       "\xF0\x9F\x8F\xBD"
       " and more words",
       9,
       "",
       "",
       {"emoji \xF0\x9F\x91\x8D"
        "\xF0\x9F\x8F\xBD",
        "and more", "words"}},
      {"two.  Sentences here", 9, "> ", "  ", {"> two.  S", "  entence", "  s here"}},
      {"xxxxxxxxxxxxxxxxxxxxxxxxx",
       10,
       "-> ",
       "..",
       {"-> xxxxxxx", "..xxxxxxxx", "..xxxxxxxx", "..xx"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " @" + std::to_string(c.width));
    EXPECT_EQ(textwrap_wrap(c.text, c.width, c.initial, c.subsequent), c.rows);
  }
}

TEST(TextWrap, RejectsWidthBelowOne) {
  EXPECT_THROW(textwrap_wrap("x", 0), std::invalid_argument);
}

TEST(TextWrap, InvalidUtf8CountsOneColumnPerByteAndIsKept) {
  EXPECT_EQ(textwrap_wrap("ab\xFF\xFE cd", 4), (Rows{"ab\xFF\xFE", "cd"}));
}

// Random texts against the real textwrap, when a Python interpreter is at hand.
TEST(TextWrap, DifferentialAgainstPython) {
  const char* python = "/usr/bin/python3";
  if (!std::filesystem::exists(python)) GTEST_SKIP() << "no python3";
  const std::vector<std::string> pieces = {
      "a",        "Z",        "1",        "_",          "-",    "--",  " ",        "  ",
      "\t",       "\n",       "\r",       "\v",         ".",    ",",   "!",        "?",
      "'",        "\"",       "&",        "(",          ")",    "x-y", "\xC3\xA9", "\xE6\x97\xA5",
      "\xC2\xA0", "\xC2\xB2", "\xD9\xA3", "well-known", "a--b", "---"};
  std::mt19937 rng(12345);
  struct Case {
    std::string text;
    int width;
    std::string initial, subsequent;
  };
  std::vector<Case> cases;
  for (int i = 0; i < 400; ++i) {
    Case c;
    const int n = static_cast<int>(rng() % 60);
    for (int k = 0; k < n; ++k) c.text += pieces[rng() % pieces.size()];
    c.width = 3 + static_cast<int>(rng() % 25);
    c.initial = std::string(rng() % 3, '>');
    c.subsequent = std::string(rng() % 3, ' ');
    cases.push_back(std::move(c));
  }
  // Hex-encode the inputs so any byte survives the trip.
  auto hex = [](const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char ch : s) out += {d[ch >> 4], d[ch & 15]};
    return out;
  };
  const auto dir = std::filesystem::temp_directory_path();
  const auto script = dir / ("kv_wrap_diff_" + std::to_string(::getpid()) + ".py");
  {
    std::FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(
        "import sys, textwrap\n"
        "for line in sys.stdin:\n"
        "    w, t, a, b = line.split()\n"
        "    f = lambda h: bytes.fromhex(h[1:]).decode()\n"
        "    rows = textwrap.wrap(f(t), int(w), initial_indent=f(a), subsequent_indent=f(b))\n"
        "    print(' '.join('x' + r.encode().hex() for r in rows))\n",
        f);
    std::fclose(f);
  }
  const auto input = dir / ("kv_wrap_diff_" + std::to_string(::getpid()) + ".in");
  {
    std::FILE* f = std::fopen(input.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (const auto& c : cases)
      std::fprintf(f, "%d x%s x%s x%s\n", c.width, hex(c.text).c_str(), hex(c.initial).c_str(),
                   hex(c.subsequent).c_str());
    std::fclose(f);
  }
  const std::string cmd = std::string(python) + " " + script.string() + " < " + input.string();
  std::FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
  ASSERT_EQ(::pclose(p), 0);
  std::filesystem::remove(script);
  std::filesystem::remove(input);
  std::size_t pos = 0;
  for (const auto& c : cases) {
    const std::size_t nl = out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    const std::string line = out.substr(pos, nl - pos);
    pos = nl + 1;
    std::string expected;
    for (const auto& r : textwrap_wrap(c.text, c.width, c.initial, c.subsequent)) {
      if (!expected.empty()) expected += ' ';
      expected += "x" + hex(r);
    }
    EXPECT_EQ(expected, line) << "text=" << c.text << " width=" << c.width;
  }
}

}  // namespace
}  // namespace orvo::tui
