#include "tui/framework/widgets/widget.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>

#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/box_model.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {

// --- ComposeResult

Widget& ComposeResult::yield(std::unique_ptr<Widget> widget) {
  Widget& ref = *widget;
  if (open_.empty()) {
    top_.push_back(std::move(widget));
  } else {
    Widget* parent = open_.back();
    widget->parent_ = parent;
    parent->children_.push_back(std::move(widget));
  }
  return ref;
}

// --- Widget

Widget::Widget(std::string id) : id_(std::move(id)) {
  declare_css_type("Widget", DEFAULT_CSS);
}

Widget::~Widget() {
  // Children go first so that each one still finds the application while it lets go.
  children_.clear();
  if (app_) {
    if (scroll_anim_timer_) app_->cancel_timer(scroll_anim_timer_);
    app_->forget(this);
  }
}

void Widget::declare_css_type(std::string type, std::string_view default_css) {
  css_types_.insert(css_types_.begin(), type);
  css_chain_.emplace_back(std::move(type), default_css);
}

void Widget::add_class(std::string name) {
  if (std::find(classes_.begin(), classes_.end(), name) == classes_.end()) {
    classes_.push_back(std::move(name));
    if (app_) app_->invalidate_styles();
  }
}

void Widget::remove_class(std::string_view name) {
  auto it = std::find(classes_.begin(), classes_.end(), name);
  if (it != classes_.end()) {
    classes_.erase(it);
    if (app_) app_->invalidate_styles();
  }
}

bool Widget::has_class(std::string_view name) const {
  return std::find(classes_.begin(), classes_.end(), name) != classes_.end();
}

App* Widget::app() const {
  return app_;
}

Screen* Widget::screen() const {
  const Widget* w = this;
  while (w->parent_) w = w->parent_;
  return dynamic_cast<Screen*>(const_cast<Widget*>(w));
}

void Widget::attach(Widget* parent, App* app) {
  parent_ = parent;
  app_ = app;
}

Widget& Widget::mount(std::unique_ptr<Widget> child) {
  Widget& ref = *child;
  child->parent_ = this;
  children_.push_back(std::move(child));
  if (mounted_ && app_) app_->mount_tree(ref);
  return ref;
}

void Widget::remove() {
  if (!parent_) return;
  auto& siblings = parent_->children_;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [this](const std::unique_ptr<Widget>& c) { return c.get() == this; });
  if (it == siblings.end()) return;
  std::unique_ptr<Widget> self = std::move(*it);
  siblings.erase(it);
  parent_ = nullptr;
  if (app_) {
    app_->discard(std::move(self));  // handlers further up the stack may still use it
  }
}

namespace {

void collect_matches(Widget& root, const std::vector<Selector>& sels, std::vector<Widget*>& out) {
  for (const auto& c : root.children()) {
    for (const auto& s : sels) {
      if (matches(s, *c)) {
        out.push_back(c.get());
        break;
      }
    }
    collect_matches(*c, sels, out);
  }
}

std::vector<Selector> parse_selector(std::string_view selector) {
  std::string css(selector);
  css += " {}";
  try {
    auto rules = parse_css(css, "selector");
    if (rules.size() != 1) throw NoMatches("invalid selector \"" + std::string(selector) + "\"");
    return rules[0].selectors;
  } catch (const CssError& e) {
    throw NoMatches("invalid selector \"" + std::string(selector) + "\": " + e.what());
  }
}

}  // namespace

std::vector<Widget*> Widget::query(std::string_view selector) {
  std::vector<Widget*> out;
  collect_matches(*this, parse_selector(selector), out);
  return out;
}

Widget& Widget::query_one_widget(std::string_view selector) {
  auto found = query(selector);
  if (found.empty()) {
    throw NoMatches("no widget matches \"" + std::string(selector) + "\"");
  }
  return *found.front();
}

Strip Widget::render_line(int) {
  return Strip();
}

void Widget::refresh() {
  // Only what the current screen shows can change a frame.
  if (!app_ || !app_->has_current_screen()) return;
  const Widget* root = this;
  while (root->parent_) root = root->parent_;
  if (root == &app_->screen()) app_->refresh();
}

int Widget::content_height(int width) {
  // Children stacked (vertical) or side by side (horizontal); fractions count as their content.
  bool horizontal = styles_.layout == Layout::Horizontal;
  int total = 0;
  for (auto& c : children_) {
    if (c->styles_.display == Display::None) continue;
    const Styles& s = c->styles_;
    int h;
    if (s.height && s.height->unit == Scalar::Unit::Cells) {
      h = static_cast<int>(s.height->value);
    } else {
      int w = width;
      if (s.width && s.width->unit == Scalar::Unit::Cells) {
        w = std::min(width, static_cast<int>(s.width->value));
      }
      h = box_model::auto_height(*c, w);
    }
    total = horizontal ? std::max(total, h) : total + h;
  }
  return total;
}

int Widget::content_width() {
  bool horizontal = styles_.layout == Layout::Horizontal;
  int total = 0;
  for (auto& c : children_) {
    if (c->styles_.display == Display::None) continue;
    const Styles& s = c->styles_;
    int w;
    if (s.width && s.width->unit == Scalar::Unit::Cells) {
      w = static_cast<int>(s.width->value);
    } else {
      w = box_model::auto_width(*c);
    }
    total = horizontal ? total + w : std::max(total, w);
  }
  return total;
}

void Widget::compose(ComposeResult&) {}

bool Widget::on_mouse_scroll(const MouseEvent& event) {
  if (max_scroll_y() <= 0) return false;
  scroll_relative(event.kind == MouseKind::ScrollUp ? -3 : 3);
  return true;
}

void Widget::capture_mouse() {
  if (app_) app_->capture_mouse(this);
}

void Widget::release_mouse() {
  if (app_) app_->release_mouse(this);
}

void Widget::focus() {
  if (app_) app_->set_focus(this);
}

bool Widget::has_focus() const {
  return app_ && app_->focused() == this;
}

int Widget::virtual_height() {
  return size().height;
}

int Widget::max_scroll_y() {
  return std::max(0, virtual_height() - size().height);
}

bool Widget::is_scrollable() const {
  return styles_.overflow_y == OverflowMode::Auto || styles_.overflow_y == OverflowMode::Scroll;
}

void Widget::set_scroll_y(int y) {
  int max = max_scroll_y();
  y = std::clamp(y, 0, max);
  following_end_ = y >= max;
  if (y != scroll_.y) {
    scroll_.y = y;
    refresh();
    on_scrolled_to(y);
  }
}

void Widget::scroll_to(int y, bool animate) {
  if (scroll_anim_timer_ && app_) {
    app_->cancel_timer(scroll_anim_timer_);
    scroll_anim_timer_ = 0;
  }
  scroll_anim_target_ = -1;
  if (!animate || !app_ || !app_->running()) {
    set_scroll_y(y);
    return;
  }
  scroll_anim_target_ = std::clamp(y, 0, max_scroll_y());
  scroll_anim_timer_ = app_->set_interval(std::chrono::milliseconds(16), [this] {
    int target = std::min(scroll_anim_target_, max_scroll_y());
    int diff = target - scroll_.y;
    int step = diff / 3;
    if (step == 0) step = diff;
    set_scroll_y(scroll_.y + step);
    if (scroll_.y == target) {
      app_->cancel_timer(scroll_anim_timer_);
      scroll_anim_timer_ = 0;
      scroll_anim_target_ = -1;
    }
  });
}

void Widget::scroll_end(bool animate) {
  scroll_to(max_scroll_y(), animate);
  if (!animate) following_end_ = true;
}

void Widget::register_action(std::string name, std::function<void()> fn) {
  actions_.add(std::move(name), std::move(fn));
}

bool Widget::run_action(std::string_view name) {
  return actions_.run(name);
}

void Widget::set_bindings(std::vector<Binding> bindings) {
  std::swap(bindings_, bindings);
  if (mounted_ && app_) {
    try {
      app_->check_bindings(*this);
    } catch (...) {
      std::swap(bindings_, bindings);  // refused: the old bindings stay
      throw;
    }
  }
}

namespace detail {

std::string css_type_name(const std::type_info& type) {
  int status = 0;
  char* raw = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && raw ? raw : type.name();
  std::free(raw);
  // Drop template arguments, then every scope before the last "::" (namespaces, enclosing
  // classes and functions of local classes).
  if (auto lt = name.find('<'); lt != std::string::npos) name.erase(lt);
  if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

}  // namespace detail

}  // namespace orvo::tui
