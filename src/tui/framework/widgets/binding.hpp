// Key bindings: a key (or several, separated by commas) that runs a named action.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvo::tui {

struct Binding {
  Binding(std::string key_, std::string action_, std::string description_ = "", bool show_ = false)
      : key(std::move(key_)),
        action(std::move(action_)),
        description(std::move(description_)),
        show(show_) {}

  std::string key;     // key names as the input layer spells them: "q", "ctrl+c", "1,enter"
  std::string action;  // runs the owner's operation action_<action>
  std::string description;
  bool show = false;  // listed in a key legend

  // True when `key_name` is one of this binding's keys.
  bool matches(std::string_view key_name) const {
    std::string_view rest = key;
    while (true) {
      auto comma = rest.find(',');
      std::string_view one = rest.substr(0, comma);
      while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
      while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
      if (one == key_name) return true;
      if (comma == std::string_view::npos) return false;
      rest.remove_prefix(comma + 1);
    }
  }
};

// Operations registered by name ("quit" runs the owner's action_quit), as bindings refer to them.
class ActionRegistry {
 public:
  // Registers `fn` under `name`, replacing an earlier one.
  void add(std::string name, std::function<void()> fn) {
    for (auto& [n, f] : actions_) {
      if (n == name) {
        f = std::move(fn);
        return;
      }
    }
    actions_.emplace_back(std::move(name), std::move(fn));
  }
  bool has(std::string_view name) const {
    for (const auto& [n, f] : actions_) {
      if (n == name) return true;
    }
    return false;
  }
  // Runs the action `name`; false when none is registered.
  bool run(std::string_view name) {
    for (auto& [n, f] : actions_) {
      if (n == name) {
        // A copy: the action may replace itself or destroy its owner.
        auto fn = f;
        fn();
        return true;
      }
    }
    return false;
  }

 private:
  std::vector<std::pair<std::string, std::function<void()>>> actions_;
};

}  // namespace orvo::tui
