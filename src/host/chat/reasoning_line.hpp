// The latest line of a reasoning stream, for the status row: reasoning is fed as it arrives and
// only its last visible line is kept, bounded and stripped of control characters, so a model that
// reasons in one endless line costs a few kilobytes and a cheap step per chunk.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvo::host {

class ReasoningLine {
 public:
  // Bytes kept of one line; the rest of a longer line is dropped (the row shows its start).
  static constexpr std::size_t kMaxBytes = 1024;

  void feed(std::string_view chunk);
  void clear();
  // The line being written when it has something visible, else the last visible one before it;
  // "" when there is none. Spaces at either end trimmed; tabs are spaces.
  std::string line() const;

 private:
  void append(std::string_view part);
  std::string current_;   // the line being written (capped)
  std::string previous_;  // the last complete line with something visible
  std::string pending_;   // an incomplete UTF-8 sequence at the end of the last chunk
};

}  // namespace orvo::host
