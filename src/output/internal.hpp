// Internals shared by the three source files of OutputManager (the turn lifecycle in
// output_manager.cpp, the tool log in tool_log.cpp, the status indicator in indicator.cpp).
// Not part of the module's interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "output/output_manager.hpp"

namespace orvo {

namespace detail {

// Wall-clock seconds since the epoch (or the test clock).
double now();

// Writes to std::cout as it is now. A failed write clears the stream's error state (so that the
// next write tries again) and throws std::ios_base::failure.
void put(std::string_view s);
void flush_out();

// The first `n` code points of `s`.
std::string cut(std::string_view s, std::size_t n);

// "true" or "false".
const char* flag(bool b);

}  // namespace detail

// State the indicator thread reads; shared so that a thread that outlives its controller (a stop
// that timed out, or process exit) never reads freed memory.
struct OutputManager::Core {
  std::atomic<bool> block_drawn{false};  // a frame is on screen and not yet erased
  std::mutex lock;
  OutputState state;
  std::string custom_stage;
  std::string status_line;
  std::shared_ptr<InputField> input_field;
};

}  // namespace orvo
