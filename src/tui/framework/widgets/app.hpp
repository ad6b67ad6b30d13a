// The application: one UI thread, its event loop, screens, focus, key dispatch, timers and
// batched repaints.
//
//   class MyApp : public App { ... };
//   MyApp app;
//   app.install_screen("main", std::make_unique<MainScreen>());
//   app.on<MyMessage>([&](MyMessage& m) { ... });      // handlers by message type, in order
//   app.set_bindings({Binding("q", "quit", "Quit")});  // "quit" is built in: exit()
//   app.switch_screen("main");
//   return app.run();                                   // a real terminal (/dev/tty)
//
// The loop blocks in the driver's poll until input arrives, a message is posted (post_message
// wakes it) or the nearest timer or frame is due; an idle application uses no CPU.
// Frames: any refresh() marks the screen dirty; at most one frame is drawn per kFrameInterval.
//
// Key dispatch: the focused widget's on_key, then its bindings and those of its ancestors up to
// the screen, then the screen's bindings, then the application's. A binding runs the action
// registered under its name on the widget or screen that owns the binding, or else on the
// application; an action registered nowhere leaves the key unhandled. Tab / Shift+Tab move the
// focus when nothing else took the key.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "tui/framework/message.hpp"
#include "tui/framework/term/driver.hpp"
#include "tui/framework/term/frame_diff.hpp"
#include "tui/framework/widgets/binding.hpp"
#include "tui/framework/widgets/css.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

using TimerId = std::uint64_t;

// How App::run treats standard output while the UI owns the terminal.
struct RunOptions {
  // Points fd 1 (std::cout, printf) away for the whole run and back on every way out (return,
  // exception, signal, crash). nullopt: only when fd 1 is a terminal, since a write there would
  // scroll the screen under the UI.
  std::optional<bool> redirect_stdout;
  // Where it goes: a descriptor of the host's (duplicated, the host keeps it), or -1 to discard.
  int stdout_fd = -1;
};

namespace detail {

// The result of a call made on the UI thread for a waiting worker. Value and error pass under
// the mutex and the UI thread never touches them after handing them over, so the worker owns
// them alone (an exception object's reference count lives in the uninstrumented C++ runtime,
// where a race detector could not see it being handed across).
template <class R>
class CallOutcome {
 public:
  template <class Produce>
  void settle(Produce&& produce) {
    std::optional<Slot> value;
    std::exception_ptr error;
    try {
      if constexpr (std::is_void_v<R>) {
        produce();
        value.emplace();
      } else {
        value.emplace(Slot{produce()});
      }
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
    error_ = std::move(error);
    state_ = State::Done;
    ready_.notify_all();
  }
  void abandon() {
    std::lock_guard lock(mutex_);
    if (state_ == State::Waiting) state_ = State::Broken;
    ready_.notify_all();
  }
  R take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return state_ != State::Waiting; });
    if (state_ == State::Broken) {
      throw std::runtime_error("call_from_thread: the application stopped before the call ran");
    }
    std::optional<Slot> value = std::move(value_);
    std::exception_ptr error = std::move(error_);
    lock.unlock();
    if (error) std::rethrow_exception(std::move(error));
    if constexpr (!std::is_void_v<R>) return std::move(value->v);
  }

 private:
  struct Empty {};
  struct Holder {
    R v;
  };
  using Slot = std::conditional_t<std::is_void_v<R>, Empty, Holder>;
  enum class State { Waiting, Done, Broken };
  std::mutex mutex_;
  std::condition_variable ready_;
  State state_ = State::Waiting;
  std::optional<Slot> value_;
  std::exception_ptr error_;
};

template <class R, class F>
class QueuedCall {
 public:
  QueuedCall(F fn, std::shared_ptr<CallOutcome<R>> outcome)
      : fn_(std::move(fn)), outcome_(std::move(outcome)) {}
  QueuedCall(const QueuedCall&) = delete;
  QueuedCall& operator=(const QueuedCall&) = delete;
  ~QueuedCall() { outcome_->abandon(); }  // no-op once settled
  void run() { outcome_->settle(fn_); }

 private:
  F fn_;
  std::shared_ptr<CallOutcome<R>> outcome_;
};

// The application's message queue, shared with the post handles.
struct Inbox;

}  // namespace detail

// Posts to an application's queue without touching the App object, so it may be kept by a thread
// that outlives the application: once the application is closed (or destroyed) every post is
// refused with false and does nothing. Copies share the queue; any thread may post.
//
//   tui::PostHandle post = app.post_handle();      // on the UI side, before the worker starts
//   std::thread([post]() mutable { post.post_message(...); }).detach();
//
// A worker that holds the App itself (or a TUIBridge bound to it) must be done with it before the
// App is destroyed; one that holds only a handle need not be.
class PostHandle final : public MessageTarget {
 public:
  PostHandle() = default;  // bound to nothing: refuses every message
  bool post_message(MessagePtr message) override;
  // True once the application no longer takes messages.
  bool closed() const;

 private:
  friend class App;
  explicit PostHandle(std::shared_ptr<detail::Inbox> inbox) : inbox_(std::move(inbox)) {}
  std::shared_ptr<detail::Inbox> inbox_;
};

class App : public MessageTarget {
 public:
  static constexpr std::chrono::milliseconds kFrameInterval{16};

  App();
  ~App() override;
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // --- messages (post_message may be called from any thread while the App object exists)
  // Queues `message` for the UI thread. Messages posted before the application runs wait for it.
  // Returns false, handling nothing, once the application is closed.
  bool post_message(MessagePtr message) override;
  // A handle for threads that may outlive this object (see PostHandle).
  PostHandle post_handle() const { return PostHandle(inbox_); }
  // Closes the queue for good: later posts are refused and what is queued is dropped (a waiting
  // call_from_thread gets its error). Any thread; idempotent. run() closes the application when
  // it returns, and the destructor does; a stepwise host (start / step / finish) closes it itself.
  void close();
  bool closed() const;
  // Runs `handler` on the UI thread for every posted message that is a T (or derives from T),
  // in registration order.
  template <class T>
  void on(std::function<void(T&)> handler) {
    handlers_.push_back([h = std::move(handler)](Message& m) {
      if (auto* t = dynamic_cast<T*>(&m)) h(*t);
    });
  }

  // Runs `fn` on the UI thread and returns its result (or rethrows what it threw) to the
  // calling thread, which waits for it. On the UI thread itself it runs at once. Throws
  // std::runtime_error when the application is not running, or stops before the call ran. The
  // UI thread must not be waiting for the caller meanwhile.
  template <class F>
  std::invoke_result_t<F&> call_from_thread(F&& fn) {
    using R = std::invoke_result_t<F&>;
    if (running() && on_ui_thread()) return fn();
    auto outcome = std::make_shared<detail::CallOutcome<R>>();
    // The queue holds the only reference to the call: one dropped unrun marks it broken.
    auto call =
        std::make_shared<detail::QueuedCall<R, std::decay_t<F>>>(std::forward<F>(fn), outcome);
    post_call([call = std::move(call)] { call->run(); });
    return outcome->take();
  }
  // True on the thread that runs the application (the one that called run() or start()).
  bool on_ui_thread() const { return std::this_thread::get_id() == ui_thread_.load(); }

  // Writes bytes straight to the terminal the application drives (the terminal device of run(),
  // the virtual terminal of a pilot), between frames: for sequences that change no cell, such as
  // OSC 52 to set the clipboard. UI thread only; does nothing when the application is not
  // running. Bytes that do change the screen need a repaint_all() afterwards.
  void write_to_terminal(std::string_view bytes);

  // --- screens
  // Installs a screen under `name` (owned by the application). A screen is composed and its
  // widgets mounted (on_mount) when it is first shown while the application runs.
  void install_screen(std::string name, std::unique_ptr<Screen> screen);
  bool has_screen(std::string_view name) const;
  // Replaces the current screen (the top of the stack) by the installed screen `name`.
  void switch_screen(std::string_view name);
  // Puts a screen on top of the current one: an installed one by name, or a new one (owned
  // until popped).
  void push_screen(std::string_view name);
  void push_screen(std::unique_ptr<Screen> screen);
  // Removes the top screen (never the last one).
  void pop_screen();
  // The current screen; throws std::logic_error when there is none.
  Screen& screen();
  bool has_current_screen() const { return !stack_.empty(); }
  // query_one on the current screen.
  template <class T = Widget>
  T& query_one(std::string_view selector) {
    return screen().query_one<T>(selector);
  }

  // Size of the terminal in cells; throws std::runtime_error before the application runs.
  Size size() const;
  // Whether the terminal shows colours (false under NO_COLOR): what only a colour tells apart
  // needs an attribute then. True while not running.
  bool colors() const;

  // Ends the application: run() returns `code` after the current event.
  void exit(int code = 0);
  bool exiting() const { return exit_requested_; }

  // --- bindings and actions of the application itself ("quit" is registered: exit()).
  // Every action of the application's bindings must be registered by the time it runs
  // (std::logic_error from run/start otherwise).
  const std::vector<Binding>& bindings() const { return bindings_; }
  void set_bindings(std::vector<Binding> bindings) { bindings_ = std::move(bindings); }
  void register_action(std::string name, std::function<void()> fn);
  bool run_action(std::string_view name);
  bool has_action(std::string_view name) const { return actions_.has(name); }

  // An extra stylesheet applied to every screen after the widgets' DEFAULT_CSS.
  void add_css(std::string css);

  // --- dark or light. Stylesheets' $variables come from palette_for(theme()); widgets that pick
  // colours themselves read theme() and hear of a change through Widget::on_theme_changed.
  ThemeKind theme() const { return theme_; }
  void set_theme(ThemeKind kind);
  // After set_theme changed the look: what the application styled itself is to be redone.
  virtual void on_theme_changed() {}
  // How long start() holds the first frame for the terminal's answer to the background query: a
  // local terminal answers within a few milliseconds, and one that answers nothing (a bare pty)
  // must not slow the start down by more than this.
  static constexpr std::chrono::milliseconds kBackgroundHold{30};
  // How long after the query an answer still sets the theme (the frames drawn meanwhile are
  // restyled): long enough for a remote terminal over ssh. A later answer is dropped.
  static constexpr std::chrono::milliseconds kBackgroundWait{250};
  // With `on`, start() asks the terminal for its background colour (OSC 11, then a device
  // attributes query every terminal answers, so that one without OSC 11 need not be waited for)
  // and sets the theme from the answer. The first frame waits for the answer at most `hold`; an
  // answer after `wait` is dropped and the theme stays as it was set.
  void set_detect_theme(bool on, std::chrono::milliseconds wait = kBackgroundWait,
                        std::chrono::milliseconds hold = kBackgroundHold) {
    detect_theme_ = on;
    background_wait_ = wait;
    background_hold_ = std::min(hold, wait);
  }
  // True while start()'s query is waiting for its answer.
  bool awaiting_background() const { return awaiting_background_; }

  // --- timers (callbacks run on the UI thread). While the application runs, these are for the
  // UI thread only (std::logic_error elsewhere): from another thread use call_from_thread.
  TimerId set_interval(std::chrono::milliseconds interval, std::function<void()> fn);
  TimerId set_timer(std::chrono::milliseconds delay, std::function<void()> fn);
  void cancel_timer(TimerId id);

  // --- focus and mouse capture
  Widget* focused() const { return focused_; }
  void set_focus(Widget* widget);
  void focus_next(int direction = 1);
  Widget* mouse_captured() const { return captured_; }

  // Requests a frame (batched).
  void refresh() { dirty_ = true; }
  // Forgets what the terminal shows and draws every cell again on the next frame (Ctrl+L does
  // this when no widget or binding takes the key).
  void repaint_all();
  // Stylesheets are matched again (a class or the tree changed), then laid out.
  void invalidate_styles() {
    ++styles_generation_;
    invalidate_layout();
  }
  // Lays the screen out again before the next frame.
  void invalidate_layout() {
    layout_dirty_ = true;
    dirty_ = true;
  }

  // --- running
  // Runs on the real terminal until exit(); the terminal is restored however the loop ends. The
  // application is closed when run returns (either way).
  int run(const RunOptions& options = {});
  // Runs on `driver` (started and stopped here) until exit(). Standard output is left alone
  // unless `options` ask for a redirect.
  int run(Driver& driver);
  int run(Driver& driver, const RunOptions& options);

  // Stepwise running, for the headless pilot and for hosts with their own loop.
  void start(Driver& driver);
  // One turn of the loop: waits at most `timeout` (nullopt: until something happens) for input,
  // messages or timers, handles them, and draws a frame when one is due. `force_frame` draws a
  // pending frame without waiting for the frame interval.
  void step(std::optional<std::chrono::milliseconds> timeout, bool force_frame = false);
  // Stops the driver (idempotent).
  void finish();
  bool running() const { return driver_ != nullptr; }
  // Nothing queued, no frame pending.
  bool idle() const;
  int exit_code() const { return exit_code_; }

  // Frames drawn so far.
  std::uint64_t frames() const { return frames_; }
  // The terminal is smaller than the current screen's min_size(): the frame only says so.
  bool too_small() const;

  // Called by widgets.
  void capture_mouse(Widget* w) { captured_ = w; }
  void release_mouse(Widget* w) {
    if (captured_ == w) captured_ = nullptr;
  }
  // Throws std::logic_error naming the widget's class, key and action when one of its bindings
  // names an action registered neither by the widget nor by the application.
  void check_bindings(const Widget& w) const;
  // A widget is being destroyed: drop pointers to it.
  void forget(Widget* w);
  // Keeps a removed widget until the current event is handled, then destroys it.
  void discard(std::unique_ptr<Widget> w);

 protected:
  // Hook for subclasses: a key no widget, screen or binding handled.
  virtual bool on_unhandled_key(const KeyEvent&) { return false; }

 private:
  struct Timer {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds interval{0};  // 0: one-shot
    std::function<void()> fn;
  };

  void post_call(std::function<void()> fn);
  void check_timer_thread(const char* what) const;
  void activate(Screen& screen);
  void retire(Screen* screen);
  friend class Widget;
  void mount_tree(Widget& w);
  void apply_styles(Screen& screen);
  void layout_now();
  void draw_frame();
  void dispatch_input(const InputEvent& e);
  void dispatch_key(const KeyEvent& e);
  void dispatch_mouse(const MouseEvent& e);
  void run_messages();
  void run_timers();
  std::optional<std::chrono::milliseconds> time_to_next_deadline() const;
  Widget* widget_at(Widget& root, int x, int y);
  void collect_focusable(Widget& w, std::vector<Widget*>& out);

  // Message queue: filled from any thread, drained on the UI thread.
  std::shared_ptr<detail::Inbox> inbox_;
  std::atomic<Driver*> driver_{nullptr};
  std::atomic<std::thread::id> ui_thread_{};
  std::vector<std::function<void(Message&)>> handlers_;

  std::map<std::string, std::unique_ptr<Screen>, std::less<>> installed_;
  std::vector<std::unique_ptr<Screen>> pushed_;     // screens owned because pushed unnamed
  std::vector<std::unique_ptr<Widget>> graveyard_;  // removed, destroyed after the event
  std::vector<Screen*> stack_;

  std::vector<Binding> bindings_;
  ActionRegistry actions_;
  std::vector<std::string> extra_css_;
  ThemeKind theme_ = ThemeKind::dark;
  bool detect_theme_ = false;
  std::chrono::milliseconds background_wait_ = kBackgroundWait;
  std::chrono::milliseconds background_hold_ = kBackgroundHold;
  std::chrono::steady_clock::time_point background_hold_until_{};
  // Frames wait for the background answer (idle() holds then too).
  bool holding_frames() const {
    return awaiting_background_ && std::chrono::steady_clock::now() < background_hold_until_;
  }
  bool awaiting_background_ = false;
  std::chrono::steady_clock::time_point background_deadline_{};

  std::map<TimerId, Timer> timers_;
  TimerId next_timer_ = 1;

  Widget* focused_ = nullptr;
  std::map<const Widget*, Widget*> saved_focus_;  // per hidden screen
  Widget* captured_ = nullptr;

  std::unique_ptr<FrameDiffer> frame_differ_;
  std::string frame_bytes_;  // a frame's output, kept so that each frame reuses its room
  Size size_{};
  bool dirty_ = true;
  bool layout_dirty_ = true;
  // Stylesheets or trees changed at this generation; each screen is matched again when it is
  // next laid out (a screen mounted while another is shown is styled when it is shown).
  std::uint64_t styles_generation_ = 1;
  std::unordered_map<const Screen*, std::uint64_t> styled_at_;
  std::vector<InputEvent> events_;
  std::chrono::steady_clock::time_point last_frame_{};
  std::uint64_t frames_ = 0;
  bool exit_requested_ = false;
  int exit_code_ = 0;
};

}  // namespace orvo::tui
