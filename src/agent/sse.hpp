// Server-sent events, parsed by the rules of the event-stream format: LF, CR LF or a lone CR end a
// line, a line starting with ':' is a comment, "data" lines of one event are joined with "\n", an
// empty line dispatches the event. Bytes may arrive split anywhere (inside a line, a CR LF pair or
// a UTF-8 character); nothing is dispatched before its event is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::agent {

class SseParser {
 public:
  // Feeds the next bytes of the stream; calls on_event(event_name, data) for every completed
  // event with a data field (event_name is "" unless the event set one).
  template <class F>
  void feed(std::string_view bytes, F&& on_event) {
    std::size_t pos = 0;
    if (skip_lf_ && !bytes.empty()) {
      skip_lf_ = false;
      if (bytes[0] == '\n') pos = 1;
    }
    while (pos < bytes.size()) {
      const std::size_t end = find_eol(bytes, pos);
      if (end == std::string_view::npos) {
        line_.append(bytes.substr(pos));
        check_line_size();
        return;
      }
      std::string_view line = bytes.substr(pos, end - pos);
      if (bytes[end] == '\r') {
        if (end + 1 < bytes.size()) {
          pos = end + 1 + (bytes[end + 1] == '\n' ? 1 : 0);
        } else {
          pos = end + 1;
          skip_lf_ = true;  // a LF at the start of the next read belongs to this CR
        }
      } else {
        pos = end + 1;
      }
      if (!line_.empty()) {
        line_.append(line);
        if (line_dropped_) {
          dropped_bytes_ += line_.size() - 1;  // the rest of a dropped line, past its marker
          line_dropped_ = false;
        }
        process_line(std::string_view(line_), on_event);
        line_.clear();
      } else {
        process_line(line, on_event);
      }
    }
  }

  // Bytes received so far that belong to no dispatched event (an unfinished line or event).
  bool has_partial() const { return !line_.empty() || has_data_; }
  // Discards anything pending (a stream that ended mid-event drops it, as the format says).
  void reset();

  // A single line or event larger than this is dropped, so a broken server cannot grow memory.
  static constexpr std::size_t kMaxEventBytes = std::size_t{16} << 20;
  // Number of events dropped for exceeding kMaxEventBytes (a line that long counts as one).
  std::size_t dropped() const { return dropped_; }
  // Bytes of the events counted by dropped(), as far as they have arrived.
  std::uint64_t dropped_bytes() const { return dropped_bytes_; }

 private:
  static std::size_t find_eol(std::string_view s, std::size_t from);

  template <class F>
  void process_line(std::string_view line, F& on_event) {
    if (first_line_) {
      first_line_ = false;
      if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);  // byte order mark
    }
    if (line.empty()) {
      if (has_data_ && !oversized_) {
        if (!data_.empty() && data_.back() == '\n') data_.pop_back();
        on_event(std::string_view(event_), std::string_view(data_));
      }
      data_.clear();
      event_.clear();
      has_data_ = false;
      oversized_ = false;
      return;
    }
    if (line[0] == ':') return;  // comment (keep-alive)
    std::string_view field = line;
    std::string_view value;
    if (const auto colon = line.find(':'); colon != std::string_view::npos) {
      field = line.substr(0, colon);
      value = line.substr(colon + 1);
      if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
    }
    if (field == "data") {
      if (oversized_) {
        dropped_bytes_ += value.size();
        return;
      }
      if (data_.size() + value.size() > kMaxEventBytes) {
        ++dropped_;
        dropped_bytes_ += data_.size() + value.size();
        data_.clear();
        has_data_ = false;
        oversized_ = true;
        return;
      }
      data_.append(value);
      data_.push_back('\n');
      has_data_ = true;
    } else if (field == "event") {
      event_.assign(value);
    }
    // "id", "retry" and unknown fields mean nothing to a chat completion stream.
  }

  void check_line_size();

  std::string line_;   // an unfinished line carried over from the previous read
  std::string data_;   // data lines of the current event, each followed by "\n"
  std::string event_;  // the current event's name
  bool has_data_ = false;
  bool skip_lf_ = false;
  bool first_line_ = true;
  bool oversized_ = false;     // the current event is being dropped
  bool line_dropped_ = false;  // line_ is the marker of a dropped line, then what followed it
  std::size_t dropped_ = 0;
  std::uint64_t dropped_bytes_ = 0;
};

}  // namespace orvo::agent
