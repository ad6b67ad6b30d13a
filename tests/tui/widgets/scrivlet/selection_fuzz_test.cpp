// Random press/move/release/scroll/toggle sequences against random histories: nothing throws,
// every repaint keeps each row's text, and every extracted text is made of consecutive drawn
// rows (a tail of the first, whole rows between, a head of the last).
#include <gtest/gtest.h>

#include <random>

#include "sel_fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Mounted;
using testing::rows;

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto nl = s.find('\n', start);
    out.push_back(s.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

bool ends_with(const std::string& s, const std::string& t) {
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

bool is_substring_by_rows(const std::string& text, const std::vector<std::string>& drawn) {
  if (text.empty()) return true;
  const auto pieces = split(text);
  for (std::size_t y = 0; y + pieces.size() <= drawn.size(); ++y) {
    bool ok = true;
    for (std::size_t k = 0; k < pieces.size() && ok; ++k) {
      const std::string& row = drawn[y + k];
      if (pieces.size() == 1)
        ok = row.find(pieces[k]) != std::string::npos;
      else if (k == 0)
        ok = ends_with(row, pieces[k]);
      else if (k + 1 == pieces.size())
        ok = row.rfind(pieces[k], 0) == 0;
      else
        ok = row == pieces[k];
    }
    if (ok) return true;
  }
  return false;
}

std::string random_text(std::mt19937& rng) {
  static const char* const words[] = {"alpha",    "β",           "界界", "x\u0303",
                                      "😀",        "tab\there",   "",     "\x1b[31mred",
                                      "\xff\xfe", "line\nbreak", "  ",   "-"};
  std::uniform_int_distribution<int> n(0, 12), w(0, std::size(words) - 1);
  std::string s;
  for (int i = n(rng); i > 0; --i) s += std::string(words[w(rng)]) + (i % 3 ? " " : "\n");
  return s;
}

void random_history(Scrivlet& v, std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 7), count(0, 25);
  for (int i = count(rng); i > 0; --i) {
    switch (kind(rng)) {
      case 0:
        v.append_user(random_text(rng));
        break;
      case 1:
        v.append_info(random_text(rng));
        break;
      case 2:
        v.append_thinking(random_text(rng), rng() % 2 == 0);
        break;
      case 3:
        v.append_approval("bash", random_text(rng));
        break;
      case 4:
        v.append_turn_summary(rng() % 200, {"bash", "grep"}, 0, rng() % 5000);
        break;
      case 5:
        v.append_tool_result(random_text(rng), rng() % 2 == 0);
        break;
      case 6:
        v.append_error(random_text(rng));
        break;
      default:
        v._spacer();
        break;
    }
  }
}

TEST(ScrivletSelectionFuzz, RandomGesturesOnRandomHistories) {
  for (unsigned seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Mounted m({std::uniform_int_distribution<int>(20, 90)(rng), 12});
    Scrivlet& v = m.v;
    random_history(v, rng);
    m.pilot.wait_idle();
    std::uniform_int_distribution<int> op(0, 6), x(-3, 100), y(-3, 14);
    for (int step = 0; step < 80; ++step) {
      ASSERT_NO_THROW({
        switch (op(rng)) {
          case 0:
            v.on_mouse_down(testing::mouse(x(rng), y(rng)));
            break;
          case 1:
          case 2:
            v.on_mouse_move(testing::mouse(x(rng), y(rng)));
            break;
          case 3:
            v.on_mouse_up(testing::mouse(x(rng), y(rng)));
            break;
          case 4:
            v.scroll_relative(std::uniform_int_distribution<int>(-5, 5)(rng));
            break;
          case 5:
            v._handle_thinking_click(std::uniform_int_distribution<int>(-3, 200)(rng));
            break;
          default:
            m.pilot.wait_idle();
            break;
        }
      });
      const auto drawn = rows(v);
      const std::string sel = v.get_selection();
      EXPECT_TRUE(is_substring_by_rows(sel, drawn)) << "selection: " << sel;
      for (int r = 0; r < v.size().height; ++r) {
        const Strip painted = v.render_line(r);
        const long long idx = static_cast<long long>(v.scroll_offset().y) + r;
        if (idx >= 0 && idx < static_cast<long long>(drawn.size())) {
          ASSERT_EQ(painted.text(), drawn[static_cast<std::size_t>(idx)]);
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvo::tui::scrivlet
