// The chat screen's layout (conversation, status row, input box, key legend), its wiring once
// mounted, and the legend of the keys that work at the moment.
#include <algorithm>
#include <chrono>
#include <string_view>
#include <vector>

#include "host/chat/chat_app.hpp"
#include "host/chat/chat_log.hpp"
#include "host/chat/text_row.hpp"
#include "host/chat/type_ahead.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::host {

ChatScreen::ChatScreen() : Screen("chat") {
  declare_css_type("ChatScreen", DEFAULT_CSS);
  set_min_size({20, 5});  // a row of conversation, status, input and legend
}

void ChatScreen::compose(tui::ComposeResult& r) {
  r.yield<ChatLog>(tui::scrivlet::ScrivletOptions{.id = "log", .stay_when_scrolled_up = true});
  r.yield<TextRows>("queue");
  r.yield<TextRow>("status");
  r.yield<TextRows>("menu");
  r.yield<InputBox>("input");
  r.yield<TextRow>("legend");
}

void ChatScreen::on_mount() {
  if (mounted) mounted();
}

void ChatScreen::on_resize() {
  if (resized) resized();
}

void ChatScreen::on_show() {
  if (shown) shown();
}

void KestravelTUI::install_chat() {
  auto screen = std::make_unique<ChatScreen>();
  ChatScreen* s = screen.get();
  s->mounted = [this] { chat_mounted(); };
  s->shown = [this] { chat_shown(); };
  s->resized = [this] {
    if (input_) input_->set_max_rows(std::max(1, size().height / 3));
    update_legend();  // fitted to the new width
    // A drag of the window sends a burst of sizes: the log is laid out again once, at the last.
    if (reflow_timer_) cancel_timer(*reflow_timer_);
    reflow_timer_ = set_timer(std::chrono::milliseconds(60), [this] {
      reflow_timer_.reset();
      reflow_log();
    });
  };
  install_screen("chat", std::move(screen));
}

void KestravelTUI::chat_mounted() {
  tui::Screen& s = screen();
  auto& log = s.query_one<ChatLog>("#log");
  log.on_scrolled = [this] { reader_scrolled(); };
  log.on_copied = [this](std::size_t n, const std::optional<std::string>& failure) {
    copied(n, failure);
  };
  log_ = &log;
  input_ = &s.query_one<InputBox>("#input");
  input_->set_placeholder("Ask anything · /help for commands");
  input_->on_submit = [this](const std::string& text) { submit(text); };
  input_->on_change = [this] {
    typeahead_->set_text(input_->text());
    update_menu();
    update_legend();
  };
  input_->key_filter = [this](const tui::KeyEvent& e) { return handle_key(e); };
  input_->set_max_rows(std::max(1, size().height / 3));
  input_->focus();
  session_start();
  update_status();
  update_legend();
}

void KestravelTUI::reflow_log() {
  // The replay re-flows every entry at the log's present width, keeps an answer still streaming
  // and the reader's place; at an unchanged width it moves the rows back.
  if (log_) log_->_rerender();
}

void KestravelTUI::chat_shown() {
  // Back from the mode screen: the status row names the mode just chosen, and what waited in
  // the queue behind /mode runs now.
  update_queue();
  update_status();
  update_legend();
  run_queue();
}

std::string KestravelTUI::legend_text() const {
  if (menu_open() && !approval_pending_) return "↑↓ choose · tab complete · enter run · esc close";
  if (approval_pending_) {
    // Keys meant for the box never answer: 1 and 2 are text while it holds any.
    if (input_ && !input_->text().empty())
      return "1/2 answer once the box is empty · esc deny and stop";
    return "1 allow · 2 deny · esc deny and stop";
  }
  // Scrolled up, End is what brings the reader back: it takes the place of the scroll keys.
  const bool up = log_ && !log_->at_end();
  const std::string scroll = up ? "end ↓ latest" : "pgup/pgdn scroll";
  if (turn_running_) {
    return "enter queue · esc/ctrl+c stop · " + scroll + " · drag to copy";
  }
  if (input_ && !input_->text().empty()) {
    return "enter send · ctrl+j new line · ctrl+c clear · ↑↓ history · " + scroll;
  }
  return "enter send · ↑ history · " + scroll + " · drag to copy · /help · ctrl+d quit";
}

std::string fit_legend(const std::string& legend, int width) {
  static constexpr std::string_view kSep = " · ";
  std::vector<std::string> items;
  for (std::size_t start = 0;;) {
    const std::size_t sep = legend.find(kSep, start);
    items.push_back(legend.substr(start, sep == std::string::npos ? sep : sep - start));
    if (sep == std::string::npos) break;
    start = sep + kSep.size();
  }
  auto joined = [&] {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : std::string(kSep)) + item;
    return out;
  };
  // How to quit, stop or answer stays longest: the other items go from the right.
  auto essential = [](const std::string& item) {
    for (std::string_view word : {"quit", "stop", "allow", "deny", "answer"})
      if (item.find(word) != std::string::npos) return true;
    return false;
  };
  for (std::size_t i = items.size(); i-- > 0 && tui::cell_len(joined()) > width;)
    if (!essential(items[i])) items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
  return joined();
}

void KestravelTUI::update_legend() {
  int width = 1 << 20;
  try {
    width = std::max(1, size().width - 2);  // the row's padding
  } catch (const std::exception&) {
  }
  std::string text = fit_legend(legend_text(), width);
  if (text == last_legend_) return;
  last_legend_ = text;
  if (!has_current_screen()) return;
  try {
    screen().query_one<TextRow>("#legend").set({tui::Segment(text, tui::Style::parse("dim"))});
  } catch (const tui::NoMatches&) {
  }
}

}  // namespace orvo::host
