// The widget tree: Widget (base), Container, Static, Screen, and the compose builder.
//
// A widget draws its content one row at a time (render_line); the framework adds what the
// stylesheet asks for around it (background, border, padding, scrollbar) and clips it to the
// parent. Mouse coordinates given to a widget are relative to its content area, i.e. the area
// render_line draws (inside border, padding and scrollbar), so column x of an event is column x
// of the row render_line returned.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "tui/framework/term/events.hpp"
#include "tui/framework/term/geometry.hpp"
#include "tui/framework/text/segment.hpp"
#include "tui/framework/text/style.hpp"
#include "tui/framework/widgets/binding.hpp"
#include "tui/framework/widgets/css.hpp"

namespace orvo::tui {

class App;
class Screen;
class Widget;

// A query that found nothing (or something of the wrong type).
class NoMatches : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class WrongType : public NoMatches {
 public:
  using NoMatches::NoMatches;
};

// Collects the children a widget composes. Widgets yielded while a container scope is open
// become that container's children:
//
//   void compose(ComposeResult& r) override {
//     r.yield<Static>("", "header");
//     {
//       auto center = r.open<Container>("center");
//       r.yield<Static>("box text", "box");   // child of #center
//     }
//   }
class ComposeResult {
 public:
  class Scope {
   public:
    explicit Scope(ComposeResult* r) : result_(r) {}
    Scope(Scope&& o) noexcept : result_(std::exchange(o.result_, nullptr)) {}
    Scope(const Scope&) = delete;
    ~Scope() {
      if (result_) result_->close();
    }

   private:
    ComposeResult* result_;
  };

  template <class T, class... Args>
  T& yield(Args&&... args) {
    auto w = std::make_unique<T>(std::forward<Args>(args)...);
    T& ref = *w;
    yield(std::move(w));
    return ref;
  }
  Widget& yield(std::unique_ptr<Widget> widget);

  // Yields a widget and keeps it open until the returned scope ends.
  template <class T, class... Args>
  [[nodiscard]] Scope open(Args&&... args) {
    Widget& w = yield<T>(std::forward<Args>(args)...);
    open_.push_back(&w);
    return Scope(this);
  }

  std::vector<std::unique_ptr<Widget>> take() { return std::move(top_); }

 private:
  void close() { open_.pop_back(); }
  std::vector<std::unique_ptr<Widget>> top_;
  std::vector<Widget*> open_;
};

class Widget : public Selectable {
 public:
  static constexpr std::string_view DEFAULT_CSS = "";
  // True leaves text selection to the framework; a widget with its own selection sets it false.
  // (The framework has no selection of its own yet; the flag is recorded for when it does.)
  static constexpr bool ALLOW_SELECT = true;

  explicit Widget(std::string id = "");
  ~Widget() override;
  Widget(const Widget&) = delete;
  Widget& operator=(const Widget&) = delete;

  const std::string& id() const { return id_; }
  void add_class(std::string name);
  void remove_class(std::string_view name);
  bool has_class(std::string_view name) const;
  bool allow_select() const { return allow_select_; }

  // --- tree
  Widget* parent() const { return parent_; }
  const std::vector<std::unique_ptr<Widget>>& children() const { return children_; }
  // Adds a child (composed and mounted at once when this widget is mounted already).
  Widget& mount(std::unique_ptr<Widget> child);
  template <class T, class... Args>
  T& mount_new(Args&&... args) {
    auto w = std::make_unique<T>(std::forward<Args>(args)...);
    T& ref = *w;
    mount(std::move(w));
    return ref;
  }
  // Takes this widget (and its children) out of the tree; it is destroyed once the current event
  // is handled (at once when no application runs it). No effect on a widget without a parent.
  void remove();
  // The application (nullptr until the widget's screen is installed in one).
  App* app() const;
  Screen* screen() const;
  bool is_mounted() const { return mounted_; }

  // The single descendant matching `selector` ("#id", "Type", "Type#id", ".class", "A B"), as T.
  // Throws NoMatches when none matches, WrongType when it is not a T.
  template <class T = Widget>
  T& query_one(std::string_view selector) {
    Widget& w = query_one_widget(selector);
    if (auto* t = dynamic_cast<T*>(&w)) return *t;
    throw WrongType("query_one(\"" + std::string(selector) + "\"): the match is not a " +
                    typeid(T).name());
  }
  Widget& query_one_widget(std::string_view selector);
  std::vector<Widget*> query(std::string_view selector);

  // --- geometry (screen coordinates; empty until laid out)
  Region region() const { return region_; }
  Region content_region() const { return content_; }
  // Size of the content area (what render_line fills); 0x0 before layout.
  Size size() const { return Size{content_.width, content_.height}; }
  const Styles& styles() const { return styles_; }
  // The base style of the content: the computed colour and background.
  Style base_style() const;

  // --- drawing
  // Row y (0 = top of the content area) of what is visible now. Rows past the content give "".
  virtual Strip render_line(int y);
  // Requests a repaint (batched by the application).
  void refresh();
  // Lines of content at `width`, for height: auto.
  virtual int content_height(int width);
  // Cells of content, for width: auto.
  virtual int content_width();

  // --- hooks
  // Children this widget creates when mounted.
  virtual void compose(ComposeResult& result);
  virtual void on_mount() {}
  // The content size changed (also on the first layout).
  virtual void on_resize() {}
  // Mouse handlers: x and y are relative to the content area.
  virtual void on_mouse_down(const MouseEvent&) {}
  virtual void on_mouse_move(const MouseEvent&) {}
  virtual void on_mouse_up(const MouseEvent&) {}
  // Wheel: scrolls the widget when it can scroll; returns false to pass it to the parent.
  virtual bool on_mouse_scroll(const MouseEvent& event);
  // A key while this widget has the focus; true when handled.
  virtual bool on_key(const KeyEvent&) { return false; }
  // Pasted text while this widget has the focus.
  virtual void on_paste(const std::string&) {}
  void capture_mouse();
  void release_mouse();

  // --- focus
  bool can_focus() const { return can_focus_; }
  void focus();
  bool has_focus() const;

  // --- scrolling (vertical only; scroll_offset().x stays 0)
  Offset scroll_offset() const { return scroll_; }
  // Total content rows (the scrollable height); by default the content height.
  virtual int virtual_height();
  int max_scroll_y();
  bool is_scrollable() const;
  void scroll_to(int y, bool animate = false);
  void scroll_relative(int dy, bool animate = false) { scroll_to(target_y() + dy, animate); }
  void scroll_home(bool animate = false) { scroll_to(0, animate); }
  void scroll_end(bool animate = false);
  void scroll_page_up() { scroll_relative(-std::max(1, size().height)); }
  void scroll_page_down() { scroll_relative(std::max(1, size().height)); }
  // True while the view is held at the end of the content (follows new rows).
  bool at_end() const { return following_end_; }

  // --- bindings and actions
  const std::vector<Binding>& bindings() const { return bindings_; }
  void set_bindings(std::vector<Binding> bindings) { bindings_ = std::move(bindings); }
  // Registers the operation behind `action_<name>`.
  void register_action(std::string name, std::function<void()> fn);
  // Runs a registered action; false when this widget has none of that name.
  bool run_action(std::string_view name);

  // --- Selectable
  const std::string& css_id() const override { return id_; }
  const std::vector<std::string>& css_types() const override { return css_types_; }
  const std::vector<std::string>& css_classes() const override { return classes_; }
  const Selectable* css_parent() const override { return parent_; }
  // (type name, DEFAULT_CSS) of this class and its bases, base first.
  const std::vector<std::pair<std::string, std::string_view>>& css_chain() const {
    return css_chain_;
  }

 protected:
  // Each class calls this in its constructor: its type name for selectors and its DEFAULT_CSS.
  void declare_css_type(std::string type, std::string_view default_css);
  void set_can_focus(bool on) { can_focus_ = on; }
  void set_allow_select(bool on) { allow_select_ = on; }

 private:
  friend class App;
  friend class ComposeResult;
  friend struct LayoutEngine;
  friend struct Painter;

  int target_y() const { return scroll_anim_target_ >= 0 ? scroll_anim_target_ : scroll_.y; }
  void set_scroll_y(int y);
  void attach(Widget* parent, App* app);

  std::string id_;
  std::vector<std::string> classes_;
  std::vector<std::string> css_types_;  // own class first
  std::vector<std::pair<std::string, std::string_view>> css_chain_;
  bool allow_select_ = true;
  bool can_focus_ = false;

  Widget* parent_ = nullptr;
  App* app_ = nullptr;
  std::vector<std::unique_ptr<Widget>> children_;
  bool mounted_ = false;

  Styles styles_;
  Region region_;
  Region content_;
  Region scrollbar_;  // vertical scrollbar area (empty when none)
  Size last_size_{-1, -1};

  Offset scroll_;
  bool following_end_ = true;
  int scroll_anim_target_ = -1;
  std::uint64_t scroll_anim_timer_ = 0;

  std::vector<Binding> bindings_;
  ActionRegistry actions_;
};

// A widget that holds other widgets (stacked vertically unless its style says otherwise).
class Container : public Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "Container { height: 1fr; layout: vertical; }";
  explicit Container(std::string id = "");
};

// Text given as console markup ("[bold]x[/]"), wrapped to the widget's width.
class Static : public Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "Static { height: auto; }";
  explicit Static(std::string text = "", std::string id = "");

  // Replaces the content (markup) and repaints.
  void update(std::string text);
  const std::string& text() const { return text_; }

  Strip render_line(int y) override;
  int content_height(int width) override;
  int content_width() override;

 private:
  const std::vector<Strip>& rows(int width);
  std::string text_;
  std::vector<Strip> rows_;
  int rows_width_ = -1;
};

// The root of a widget tree that fills the terminal. Applications install named screens and
// switch between them.
class Screen : public Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "Screen { layout: vertical; background: $background; color: $foreground; }";
  explicit Screen(std::string id = "");
};

}  // namespace orvo::tui
