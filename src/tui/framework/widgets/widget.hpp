// The widget tree: Widget (base), WidgetType (class attributes), and the compose builder.
// Container, Static and Screen have headers of their own.
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

  explicit Widget(std::string id = "");
  ~Widget() override;
  Widget(const Widget&) = delete;
  Widget& operator=(const Widget&) = delete;

  const std::string& id() const { return id_; }
  void add_class(std::string name);
  void remove_class(std::string_view name);
  bool has_class(std::string_view name) const;
  // False when the widget handles text selection itself (its class says ALLOW_SELECT = false).
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
  // The base style of the content: the computed colour and background (each from the nearest
  // widget up the tree that sets it).
  Style base_style() const { return base_style_; }

  // --- drawing
  // Row y (0 = top of the content area) of what is visible now. Rows past the content give "".
  virtual Strip render_line(int y);
  // The row render_line(y) would return, when the widget keeps it stored as it is: the painter
  // then draws it in place instead of copying it. nullptr: call render_line.
  virtual const Strip* stored_line(int) { return nullptr; }
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
  // The application switched between the dark and the light look (App::set_theme): styles the
  // widget keeps itself (not from stylesheets) are to be taken again.
  virtual void on_theme_changed() {}
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
  // The scroll offset moved (by any means: keys, wheel, scroll_to, an animation step).
  virtual void on_scrolled_to(int /*y*/) {}
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
  // Replaces the bindings. On a mounted widget every action must be registered already (here or
  // on the application), else std::logic_error.
  void set_bindings(std::vector<Binding> bindings);
  // Registers the operation behind `action_<name>`.
  void register_action(std::string name, std::function<void()> fn);
  // Runs a registered action; false when this widget has none of that name.
  bool run_action(std::string_view name);
  bool has_action(std::string_view name) const { return actions_.has(name); }

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
  friend struct StyleCascade;

  // Called by the application after each layout that changed the content size, before
  // on_resize (which subclasses may override without calling the base).
  virtual void content_resized() {}
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
  Style base_style_;  // resolved with styles_, so painting neither parses nor climbs the tree
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

namespace detail {
// The class name without namespaces or template arguments ("orvo::tui::Foo<int>" -> "Foo").
std::string css_type_name(const std::type_info& type);
// Whether a class has the attribute at all (its own or a base's). Which class declared it is told
// apart at run time by its address: GCC refuses that comparison in a constant expression when
// sanitizers are on.
template <class T>
concept HasCss = requires {
  T::DEFAULT_CSS;
};
template <class T>
concept HasCssType = requires {
  T::CSS_TYPE;
};
template <class T>
concept HasSelect = requires {
  T::ALLOW_SELECT;
};
template <class T>
concept HasBindings = requires {
  T::BINDINGS;
};
template <class D, class B>
bool declares_css() {
  if constexpr (!HasCss<D>) {
    return false;
  } else if constexpr (!HasCss<B>) {
    return true;
  } else {
    return static_cast<const void*>(&D::DEFAULT_CSS) != static_cast<const void*>(&B::DEFAULT_CSS);
  }
}
template <class D, class B>
bool declares_css_type() {
  if constexpr (!HasCssType<D>) {
    return false;
  } else if constexpr (!HasCssType<B>) {
    return true;
  } else {
    return static_cast<const void*>(&D::CSS_TYPE) != static_cast<const void*>(&B::CSS_TYPE);
  }
}
template <class D, class B>
bool declares_bindings() {
  if constexpr (!HasBindings<D>) {
    return false;
  } else if constexpr (!HasBindings<B>) {
    return true;
  } else {
    return static_cast<const void*>(&D::BINDINGS) != static_cast<const void*>(&B::BINDINGS);
  }
}
}  // namespace detail

// The base of a widget class: reads the class attributes of `Derived` so that declaring them is
// all a class does.
//
//   class Picker : public WidgetType<Picker, Screen> {
//    public:
//     static constexpr std::string_view DEFAULT_CSS = "Picker { height: auto; }";
//     static constexpr bool ALLOW_SELECT = false;           // it selects text itself
//     static inline const std::vector<Binding> BINDINGS = {Binding("1", "pick", "Pick")};
//     static constexpr std::string_view CSS_TYPE = "Picker"; // optional: the class name is used
//     Picker() { register_action("pick", [this] { ... }); }
//   };
//
// Selectors match the class by its name (and by every base's). DEFAULT_CSS and BINDINGS count
// only where a class declares them itself; a class's bindings come before its bases', so they win
// on the same key. ALLOW_SELECT is inherited from the nearest class that declares it. Arguments
// are passed on to `Base`'s constructor. Every binding's action must be registered (by the widget
// or the application) when the widget is mounted; a missing one is a std::logic_error then.
template <class Derived, class Base = Widget>
class WidgetType : public Base {
 public:
  template <class... Args>
  explicit WidgetType(Args&&... args) : Base(std::forward<Args>(args)...) {
    std::string type;
    if constexpr (detail::HasCssType<Derived>) {
      if (detail::declares_css_type<Derived, Base>()) type = std::string(Derived::CSS_TYPE);
    }
    if (type.empty()) type = detail::css_type_name(typeid(Derived));
    std::string_view css;
    if constexpr (detail::HasCss<Derived>) {
      if (detail::declares_css<Derived, Base>()) css = Derived::DEFAULT_CSS;
    }
    this->declare_css_type(std::move(type), css);
    if constexpr (detail::HasSelect<Derived>) this->set_allow_select(Derived::ALLOW_SELECT);
    if constexpr (detail::HasBindings<Derived>) {
      if (detail::declares_bindings<Derived, Base>()) {
        std::vector<Binding> all(std::begin(Derived::BINDINGS), std::end(Derived::BINDINGS));
        const auto& inherited = this->bindings();
        all.insert(all.end(), inherited.begin(), inherited.end());
        this->set_bindings(std::move(all));
      }
    }
  }
};

}  // namespace orvo::tui
