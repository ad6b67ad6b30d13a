#include "tui/framework/widgets/app.hpp"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <typeinfo>
#include <unordered_map>

#include "tui/framework/term/background.hpp"
#include "tui/framework/term/stdout_redirect.hpp"
#include "tui/framework/term/terminal_driver.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/console.hpp"
#include "tui/framework/widgets/css_cascade.hpp"
#include "tui/framework/widgets/layout.hpp"
#include "tui/framework/widgets/paint.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {

namespace {

using Clock = std::chrono::steady_clock;

// Parsed DEFAULT_CSS, shared by every screen and application of the process: a class's
// stylesheet is parsed once.
const std::vector<Rule>& parsed(const std::string& origin, std::string_view css, ThemeKind theme) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::vector<Rule>> cache;
  std::lock_guard lock(mutex);
  std::string key(1, static_cast<char>('0' + static_cast<int>(theme)));
  key += origin;
  key += '\0';
  key += css;
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, parse_css(css, origin, palette_for(theme))).first;
  return it->second;
}

void walk(Widget& w, const std::function<void(Widget&)>& fn) {
  fn(w);
  for (auto& c : w.children()) walk(*c, fn);
}

// A call_from_thread request, queued in order with the messages.
class CallMessage final : public Message {
 public:
  explicit CallMessage(std::function<void()> fn) : fn(std::move(fn)) {}
  std::function<void()> fn;
};

bool is_call(const Message& m) {
  return typeid(m) == typeid(CallMessage);
}

bool contains(Widget& root, Widget* target) {
  for (Widget* w = target; w; w = w->parent()) {
    if (w == &root) return true;
  }
  return false;
}

}  // namespace

namespace detail {

// Shared between the App and its post handles, so posting never needs the App object.
struct Inbox {
  std::mutex mutex;
  std::deque<MessagePtr> queue;
  Driver* driver = nullptr;  // the running loop to wake; detached under the mutex by finish()
  bool closed = false;

  bool post(MessagePtr message) {
    if (!message) return false;
    std::lock_guard lock(mutex);
    if (closed) return false;
    const bool was_empty = queue.empty();
    queue.push_back(std::move(message));
    // One wake-up per batch: the loop drains everything that is queued when it wakes. Waking
    // under the lock keeps the driver alive: finish() detaches it under the same lock.
    if (was_empty && driver) driver->wake();
    return true;
  }
};

}  // namespace detail

bool PostHandle::post_message(MessagePtr message) {
  return inbox_ && inbox_->post(std::move(message));
}

bool PostHandle::closed() const {
  if (!inbox_) return true;
  std::lock_guard lock(inbox_->mutex);
  return inbox_->closed;
}

App::App() : inbox_(std::make_shared<detail::Inbox>()) {
  register_action("quit", [this] { exit(); });
}

App::~App() {
  close();
  finish();
  // Widgets unregister themselves from the application as they go; let them do it while every
  // member is still alive.
  stack_.clear();
  saved_focus_.clear();
  graveyard_.clear();
  pushed_.clear();
  installed_.clear();
}

// --- messages

bool App::post_message(MessagePtr message) {
  return inbox_->post(std::move(message));
}

void App::close() {
  std::deque<MessagePtr> dropped;
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->closed = true;
    dropped.swap(inbox_->queue);
  }
  // Destroyed outside the lock: a dropped call tells its waiting caller that it never ran.
}

bool App::closed() const {
  std::lock_guard lock(inbox_->mutex);
  return inbox_->closed;
}

void App::post_call(std::function<void()> fn) {
  auto call = std::make_shared<CallMessage>(std::move(fn));
  std::lock_guard lock(inbox_->mutex);
  Driver* d = inbox_->driver;
  if (!d) throw std::runtime_error("call_from_thread: the application is not running");
  if (inbox_->closed) throw std::runtime_error("call_from_thread: the application is closed");
  inbox_->queue.push_back(std::move(call));
  d->wake();
}

void App::write_to_terminal(std::string_view bytes) {
  if (Driver* d = driver_.load()) d->write(bytes);
}

void App::run_messages() {
  std::deque<MessagePtr> batch;
  {
    std::lock_guard lock(inbox_->mutex);
    batch.swap(inbox_->queue);
  }
  while (!batch.empty()) {
    MessagePtr m = std::move(batch.front());
    batch.pop_front();
    if (is_call(*m)) {
      static_cast<CallMessage&>(*m).fn();  // exceptions go back to the caller
    } else {
      for (std::size_t i = 0; i < handlers_.size(); ++i) handlers_[i](*m);
    }
    if (exit_requested_) {
      // Keep the rest for nobody: the application is ending.
      return;
    }
  }
}

// --- screens

void App::install_screen(std::string name, std::unique_ptr<Screen> screen) {
  if (!screen) throw std::invalid_argument("install_screen: no screen");
  screen->attach(nullptr, this);
  installed_.insert_or_assign(std::move(name), std::move(screen));
}

bool App::has_screen(std::string_view name) const {
  return installed_.find(name) != installed_.end();
}

static Screen& find_installed(
    const std::map<std::string, std::unique_ptr<Screen>, std::less<>>& installed,
    std::string_view name) {
  auto it = installed.find(name);
  if (it == installed.end()) {
    throw std::invalid_argument("no screen installed as \"" + std::string(name) + "\"");
  }
  return *it->second;
}

void App::switch_screen(std::string_view name) {
  Screen& next = find_installed(installed_, name);
  if (!stack_.empty()) {
    Screen* top = stack_.back();
    if (top == &next) return;
    stack_.pop_back();
    retire(top);
  }
  stack_.push_back(&next);
  activate(next);
}

void App::push_screen(std::string_view name) {
  Screen& next = find_installed(installed_, name);
  stack_.push_back(&next);
  activate(next);
}

void App::push_screen(std::unique_ptr<Screen> screen) {
  if (!screen) throw std::invalid_argument("push_screen: no screen");
  screen->attach(nullptr, this);
  Screen& ref = *screen;
  pushed_.push_back(std::move(screen));
  stack_.push_back(&ref);
  activate(ref);
}

void App::pop_screen() {
  if (stack_.size() <= 1) throw std::logic_error("pop_screen: the last screen cannot be popped");
  Screen* top = stack_.back();
  stack_.pop_back();
  retire(top);
  activate(*stack_.back());
}

void App::retire(Screen* s) {
  if (focused_ && contains(*s, focused_)) {
    saved_focus_[s] = focused_;  // given back when the screen is shown again
    focused_ = nullptr;
  }
  if (captured_ && contains(*s, captured_)) captured_ = nullptr;
  // An unnamed pushed screen ends here; it is destroyed after the current event, since the
  // event's handler may be running on it.
  if (std::find(stack_.begin(), stack_.end(), s) != stack_.end()) return;
  for (auto it = pushed_.begin(); it != pushed_.end(); ++it) {
    if (it->get() == s) {
      styled_at_.erase(s);
      graveyard_.push_back(std::move(*it));
      pushed_.erase(it);
      break;
    }
  }
}

Screen& App::screen() {
  if (stack_.empty()) throw std::logic_error("the application has no screen");
  return *stack_.back();
}

void App::activate(Screen& s) {
  // Screens are composed and mounted when they are first shown on a running application.
  if (!driver_.load()) return;
  if (!s.mounted_) mount_tree(s);
  if (auto it = saved_focus_.find(&s); it != saved_focus_.end()) {
    focused_ = it->second;
    saved_focus_.erase(it);
  }
  if (!focused_ || !contains(s, focused_)) {
    focused_ = nullptr;
    std::vector<Widget*> f;
    collect_focusable(s, f);
    if (!f.empty()) focused_ = f.front();
  }
  invalidate_layout();
  s.on_show();
}

void App::mount_tree(Widget& w) {
  // Compose the whole subtree first, so that every on_mount can query any widget of it.
  std::function<void(Widget&)> compose = [&](Widget& x) {
    x.app_ = this;
    ComposeResult r;
    x.compose(r);
    for (auto& c : r.take()) {
      c->parent_ = &x;
      x.children_.push_back(std::move(c));
    }
    for (auto& c : x.children_) {
      c->parent_ = &x;
      if (!c->mounted_) compose(*c);
    }
  };
  compose(w);
  std::function<void(Widget&)> mount = [&](Widget& x) {
    for (auto& c : x.children_) {
      if (!c->mounted_) mount(*c);
    }
    x.mounted_ = true;
    x.on_mount();
    // Actions are registered by constructors or on_mount: from here on a key bound to a
    // missing one would do nothing, so say so now.
    check_bindings(x);
  };
  mount(w);
  ++styles_generation_;
  invalidate_layout();
}

void App::add_css(std::string css) {
  parse_css(css, "App CSS");  // fail early, naming the problem
  extra_css_.push_back(std::move(css));
  ++styles_generation_;
  invalidate_layout();
}

void App::apply_styles(Screen& screen) {
  std::vector<std::string> seen;
  std::vector<const std::vector<Rule>*> sources;
  walk(screen, [&](Widget& w) {
    for (const auto& [type, css] : w.css_chain()) {
      if (std::find(seen.begin(), seen.end(), type) != seen.end()) continue;
      seen.push_back(type);
      if (!css.empty()) sources.push_back(&parsed(type + " DEFAULT_CSS", css, theme_));
    }
  });
  for (const auto& css : extra_css_) sources.push_back(&parsed("App CSS", css, theme_));
  std::vector<Rule> rules;
  for (const auto* src : sources) rules.insert(rules.end(), src->begin(), src->end());
  StyleCascade::apply(screen, rules);
}

void App::set_theme(ThemeKind kind) {
  if (kind == theme_) return;
  theme_ = kind;
  auto tell = [](Widget& root) { walk(root, [](Widget& w) { w.on_theme_changed(); }); };
  for (auto& [name, s] : installed_) tell(*s);
  for (auto& s : pushed_) tell(*s);
  invalidate_styles();
  on_theme_changed();
}

Size App::size() const {
  if (!driver_.load()) throw std::runtime_error("the application is not running: no screen size");
  return size_;
}

bool App::colors() const {
  const Driver* d = driver_.load();
  return d == nullptr || d->colors();
}

void App::exit(int code) {
  exit_requested_ = true;
  exit_code_ = code;
  if (Driver* d = driver_.load()) d->wake();
}

// --- actions

void App::register_action(std::string name, std::function<void()> fn) {
  actions_.add(std::move(name), std::move(fn));
}

bool App::run_action(std::string_view name) {
  return actions_.run(name);
}

void App::check_bindings(const Widget& w) const {
  for (const auto& b : w.bindings()) {
    if (w.has_action(b.action) || has_action(b.action)) continue;
    throw std::logic_error(w.css_types().front() + ": the binding of \"" + b.key +
                           "\" names the action \"" + b.action +
                           "\", which neither the widget nor the application registers");
  }
}

// --- focus

void App::collect_focusable(Widget& w, std::vector<Widget*>& out) {
  if (w.styles_.display == Display::None) return;
  if (w.can_focus()) out.push_back(&w);
  for (auto& c : w.children()) collect_focusable(*c, out);
}

void App::set_focus(Widget* w) {
  if (focused_ != w) {
    focused_ = w;
    refresh();
  }
}

void App::focus_next(int direction) {
  if (stack_.empty()) return;
  std::vector<Widget*> f;
  collect_focusable(screen(), f);
  if (f.empty()) return;
  auto it = std::find(f.begin(), f.end(), focused_);
  int n = static_cast<int>(f.size());
  int i = it == f.end() ? (direction > 0 ? -1 : 0) : static_cast<int>(it - f.begin());
  set_focus(f[static_cast<std::size_t>(((i + direction) % n + n) % n)]);
}

void App::discard(std::unique_ptr<Widget> w) {
  // Out of the tree now: no focus, capture or hit test may reach it any more.
  std::function<void(Widget&)> drop = [&](Widget& x) {
    forget(&x);
    for (auto& c : x.children()) drop(*c);
  };
  drop(*w);
  graveyard_.push_back(std::move(w));
  invalidate_styles();
}

void App::forget(Widget* w) {
  if (focused_ == w) focused_ = nullptr;
  for (auto it = saved_focus_.begin(); it != saved_focus_.end();) {
    if (it->second == w || it->first == w) {
      it = saved_focus_.erase(it);
    } else {
      ++it;
    }
  }
  if (captured_ == w) captured_ = nullptr;
}

// --- running

int App::run(const RunOptions& options) {
  TerminalDriver driver;
  RunOptions o = options;
  if (!o.redirect_stdout) o.redirect_stdout = ::isatty(1) != 0;
  return run(driver, o);
}

int App::run(Driver& driver) {
  return run(driver, RunOptions{false, -1});
}

int App::run(Driver& driver, const RunOptions& options) {
  std::optional<StdoutRedirect> redirect;  // destroyed last: restored after the terminal
  if (options.redirect_stdout.value_or(false)) redirect.emplace(options.stdout_fd);
  start(driver);
  try {
    while (!exit_requested_) step(std::nullopt);
  } catch (...) {
    close();
    finish();
    throw;
  }
  // Closed before the driver stops: a worker's post from now on is refused, not left queued
  // for a loop that will not run again.
  close();
  finish();
  return exit_code_;
}

void App::start(Driver& driver) {
  if (driver_.load()) throw std::logic_error("the application is running already");
  for (const auto& b : bindings_) {
    if (!has_action(b.action)) {
      throw std::logic_error("App: the binding of \"" + b.key + "\" names the action \"" +
                             b.action + "\", which the application does not register");
    }
  }
  driver.start();
  size_ = driver.size();
  frame_differ_ = std::make_unique<FrameDiffer>(size_);
  // Hyperlinks only on a real terminal known to show them (headless runs stay byte-stable).
  frame_differ_->set_hyperlinks(dynamic_cast<TerminalDriver*>(&driver) != nullptr &&
                                terminal_shows_hyperlinks());
  exit_requested_ = false;
  ui_thread_.store(std::this_thread::get_id());
  {
    std::lock_guard lock(inbox_->mutex);
    driver_.store(&driver, std::memory_order_release);
    inbox_->driver = &driver;
  }
  if (detect_theme_) {
    driver.write(std::string(kBackgroundQuery) + "\x1b[c");
    awaiting_background_ = true;
    background_deadline_ = Clock::now() + background_wait_;
    background_hold_until_ = Clock::now() + background_hold_;
  }
  // Messages posted before the start are waiting: make sure the first poll does not block.
  driver.wake();
  invalidate_layout();
  try {
    if (!stack_.empty()) activate(screen());
  } catch (...) {
    finish();  // a screen that cannot be mounted: the terminal is given back
    throw;
  }
}

void App::finish() {
  Driver* d;
  std::vector<MessagePtr> calls;
  {
    std::lock_guard lock(inbox_->mutex);
    d = driver_.exchange(nullptr);
    inbox_->driver = nullptr;
    // Calls waiting for the loop will never run: their callers get an error (when the task is
    // destroyed, below, outside the lock). Other messages wait for a later run.
    auto& queue = inbox_->queue;
    for (auto it = queue.begin(); it != queue.end();) {
      if (is_call(**it)) {
        calls.push_back(std::move(*it));
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  calls.clear();
  awaiting_background_ = false;  // an answer to this run's query means nothing to the next
  if (d) d->stop();
}

bool App::idle() const {
  std::lock_guard lock(inbox_->mutex);
  return inbox_->queue.empty() && ((!dirty_ && !layout_dirty_) || holding_frames());
}

void App::step(std::optional<std::chrono::milliseconds> timeout, bool force_frame) {
  Driver* d = driver_.load();
  if (!d) throw std::logic_error("step: the application is not running");
  auto wait = time_to_next_deadline();
  if (force_frame && (dirty_ || layout_dirty_)) wait = std::chrono::milliseconds(0);
  if (timeout && (!wait || *timeout < *wait)) wait = timeout;
  {
    std::lock_guard lock(inbox_->mutex);
    if (!inbox_->queue.empty()) wait = std::chrono::milliseconds(0);
  }
  events_.clear();
  d->poll(wait, events_);
  for (const auto& e : events_) {
    dispatch_input(e);
    if (exit_requested_) break;
  }
  if (!exit_requested_) run_messages();
  if (!exit_requested_) run_timers();
  graveyard_.clear();
  if (exit_requested_) return;
  if (awaiting_background_ && Clock::now() >= background_deadline_) awaiting_background_ = false;
  if ((dirty_ || layout_dirty_) && !holding_frames()) {
    if (force_frame || Clock::now() - last_frame_ >= kFrameInterval) draw_frame();
  }
}

void App::layout_now() {
  if (stack_.empty()) return;
  Screen& s = screen();
  // Handlers may change content (and so sizes) again; a few rounds settle it.
  for (int round = 0; round < 4; ++round) {
    if (std::uint64_t& at = styled_at_[&s]; at != styles_generation_) {
      apply_styles(s);
      at = styles_generation_;
    }
    layout_dirty_ = false;
    std::vector<Widget*> resized;
    LayoutEngine::arrange(s, Region{0, 0, size_.width, size_.height}, resized);
    for (Widget* w : resized) {
      w->content_resized();
      w->on_resize();
    }
    if (!layout_dirty_) break;
  }
  layout_dirty_ = false;
}

void App::draw_frame() {
  if (!frame_differ_) return;
  layout_now();
  if (Driver* d = driver_.load()) frame_differ_->set_colors(d->colors());  // NO_COLOR
  CellBuffer& frame = frame_differ_->frame();
  if (stack_.empty()) {
    frame.clear();
  } else if (too_small()) {
    frame.clear();
    // The note folds onto shorter rows as the terminal narrows, so the size stays readable.
    const std::string dims = std::to_string(size_.width) + "×" + std::to_string(size_.height);
    const std::vector<std::vector<std::string>> notes = {
        {"terminal too small (" + dims + ")"},
        {"terminal too small", "(" + dims + ")"},
        {"too small", dims},
        {dims},
    };
    const auto fits = [&](const std::vector<std::string>& rows) {
      if (static_cast<int>(rows.size()) > size_.height) return false;
      for (const auto& r : rows)
        if (cell_len(r) > size_.width) return false;
      return true;
    };
    const auto it = std::find_if(notes.begin(), notes.end(), fits);
    const auto& rows = it != notes.end() ? *it : notes.back();
    int y = std::max(0, (size_.height - static_cast<int>(rows.size()) + 1) / 2);
    for (const auto& r : rows) {
      frame.draw_text(std::max(0, (size_.width - cell_len(r)) / 2), y++, r);
    }
  } else {
    Painter::paint(frame, screen(), frame.region());  // covers every cell
  }
  frame_bytes_.clear();
  frame_differ_->render(frame_bytes_);
  if (Driver* d = driver_.load()) d->write_frame(frame_bytes_);
  dirty_ = false;
  last_frame_ = Clock::now();
  ++frames_;
}

bool App::too_small() const {
  if (stack_.empty()) return false;
  const Size need = stack_.back()->min_size();
  return size_.width < need.width || size_.height < need.height;
}

void App::repaint_all() {
  if (frame_differ_) frame_differ_->invalidate();
  refresh();
}

}  // namespace orvo::tui
