// The menu of slash commands: typing "/" at the start of the box opens it above the box, one row
// per command of the table with its help, filtered by what is typed. Up/Down choose, Tab
// completes the name, Enter runs the chosen command, Esc closes the menu.
#include <algorithm>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/text_row.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/themed.hpp"

namespace orvo::host {

std::vector<const ChatCommand*> KestravelTUI::menu_items() const {
  if (!input_ || menu_dismissed_ || !input_->buffer().pastes().empty()) return {};
  const std::string& t = input_->text();
  // Only while the first word is being typed: "//" sends a literal slash, and a space or a line
  // break ends the name.
  if (!t.starts_with('/') || t.starts_with("//") || t.find_first_of(" \t\n") != std::string::npos)
    return {};
  return commands_matching(t);
}

void KestravelTUI::update_menu() {
  if (input_ && !input_->text().starts_with('/')) menu_dismissed_ = false;
  const auto items = menu_items();
  if (menu_selected_ >= items.size()) menu_selected_ = 0;
  std::vector<tui::Strip> rows;
  std::size_t width = 0;
  for (const ChatCommand* c : items) width = std::max(width, c->name.size());
  const tui::Style& name_style = tui::themed("bold #5f87ff", theme());
  const tui::Style& help_style = tui::themed("dim", theme());
  const tui::Style& chosen = tui::themed("reverse", theme());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const bool sel = i == menu_selected_;
    std::string name(items[i]->name);
    name.resize(width, ' ');
    std::vector<tui::Segment> segs;
    segs.emplace_back(sel ? " ▸ " : "   ", name_style);
    segs.emplace_back(name, sel ? name_style + chosen : name_style);
    segs.emplace_back("  " + std::string(items[i]->help), help_style);
    rows.emplace_back(std::move(segs));
  }
  if (!has_current_screen()) return;
  try {
    screen().query_one<TextRows>("#menu").set(std::move(rows));
  } catch (const tui::NoMatches&) {
  }
}

bool KestravelTUI::menu_key(const tui::KeyEvent& e) {
  const auto items = menu_items();
  if (items.empty() || !input_) return false;
  const std::string& k = e.key;
  const std::size_t n = items.size();
  if (k == "up" || k == "down") {
    menu_selected_ = (menu_selected_ + (k == "up" ? n - 1 : 1)) % n;
    update_menu();
    return true;
  }
  if (k == "escape") {
    menu_dismissed_ = true;
    update_menu();
    update_legend();
    return true;
  }
  const ChatCommand* c = items[std::min(menu_selected_, n - 1)];
  if (k == "tab") {
    // A command that takes an argument gets the space after its name (which closes the menu).
    input_->set_text(std::string(c->name) + (c->args.empty() ? "" : " "));
    return true;
  }
  if (k == "enter") {
    // The box submits the chosen name as if typed, so it is recalled like any prompt.
    input_->set_text(std::string(c->name));
    return false;
  }
  return false;
}

}  // namespace orvo::host
