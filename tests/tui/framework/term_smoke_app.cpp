// A minimal program on the terminal driver, run inside tmux by term_tmux_test.sh: it shows a few
// cells and the last input event, repaints on resize and after a suspend, and quits on "q".
#include <cstdio>
#include <string>

#include "tui/framework/term/frame_diff.hpp"
#include "tui/framework/term/terminal_driver.hpp"

int main() {
  using namespace orvo::tui;
  TerminalDriver driver;
  driver.start();
  FrameDiffer comp(driver.size());
  std::string last = "none";
  int redraws = 0;
  bool running = true;
  std::vector<InputEvent> events;
  while (running && driver.running()) {
    Size s = comp.size();
    comp.frame().clear();
    comp.frame().draw_text(0, 0, "Hello 界 smoke", to_cell_style(Style::parse("bold #5f87ff")));
    comp.frame().draw_text(0, 1, "last: " + last);
    comp.frame().draw_text(0, 2,
                           "size: " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                               " redraws: " + std::to_string(redraws));
    comp.frame().draw_text(0, s.height - 1, "press q to quit", to_cell_style(Style::parse("dim")));
    driver.write_frame(comp.render());
    events.clear();
    driver.poll(std::nullopt, events);
    for (const auto& e : events) {
      if (const auto* k = std::get_if<KeyEvent>(&e); k && k->key == "q") running = false;
      if (const auto* r = std::get_if<ResizeEvent>(&e)) comp.resize({r->width, r->height});
      if (std::holds_alternative<RedrawEvent>(e)) {
        comp.invalidate();
        ++redraws;
      }
      last = describe(e);
    }
  }
  driver.stop();
  std::printf("smoke app done\n");
  return 0;
}
