#include "agent/openai_agent.hpp"

#include <chrono>
#include <cstdlib>
#include <optional>

#include "agent/chat_stream.hpp"
#include "agent/http.hpp"
#include "agent/sse.hpp"
#include "common/utf8.hpp"
#include "output/output_manager.hpp"

namespace orvo::agent {

using nlohmann::json;

namespace {

// The last line of `text` that has something visible on it.
std::string_view last_visible_line(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    const auto nl = text.rfind('\n', end - 1);
    const std::size_t start = nl == std::string_view::npos ? 0 : nl + 1;
    const std::string_view line = text.substr(start, end - start);
    if (text::has_visible(line)) return text::strip(line);
    if (nl == std::string_view::npos) break;
    end = nl;
  }
  return {};
}

std::string dump(const json& j) {
  // Tool output may hold invalid UTF-8; it is replaced rather than failing the request.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Keeps a tool result within `cap` bytes for the model (head and tail, cut at characters).
std::string cap_for_model(const std::string& s, std::size_t cap) {
  if (s.size() <= cap) return s;
  const std::string_view head = text::take_chars(s, cap / 2);
  const std::size_t tail_start = text::char_start_from(s, s.size() - cap / 2);
  return std::string(head) + "\n[... " + std::to_string(tail_start - head.size()) +
         " bytes left out ...]\n" + s.substr(tail_start);
}

}  // namespace

struct OpenAIAgent::Step {
  std::string reasoning;
  std::string content;
  std::string peek;
  bool thinking_closed = false;
  bool answer_started = false;
  ToolCallAssembler assembler;
  std::vector<ToolCall> calls;
  bool saw_done = false;
  std::string finish_reason;
  std::string stream_error;
  bool cancelled = false;
  std::string error;
};

OpenAIAgent::OpenAIAgent(AgentSettings settings)
    : settings_(std::move(settings)),
      toolbox_(settings_, canceller_),
      mode_(settings_.mode),
      model_(settings_.model) {
  if (settings_.max_steps < 1) settings_.max_steps = 1;
}

void OpenAIAgent::cancel() {
  canceller_.cancel();
}

void OpenAIAgent::set_mode(const std::string& mode) {
  std::lock_guard g(m_);
  mode_ = mode;
}

void OpenAIAgent::set_model(const std::string& model) {
  std::lock_guard g(m_);
  model_ = model.empty() ? settings_.model : model;
}

void OpenAIAgent::reset_conversation() {
  reset_pending_.store(true);
}

TurnUsage OpenAIAgent::last_turn_usage() const {
  std::lock_guard g(m_);
  return usage_;
}

std::vector<json> OpenAIAgent::messages_since(std::uint64_t& serial) const {
  const auto& all = conversation_.messages();
  const std::uint64_t first = conversation_.dropped();
  std::vector<json> out;
  for (std::uint64_t i = std::max(serial, first) - first; i < all.size(); ++i)
    out.push_back(all[i]);
  serial = first + all.size();
  return out;
}

void OpenAIAgent::restore_conversation(std::vector<json> messages) {
  reset_pending_.store(false);
  conversation_.clear();
  for (auto& m : messages)
    if (m.is_object() && m.contains("role")) conversation_.add(std::move(m));
  // A session cut in the middle of a turn is closed as a failed one would be.
  conversation_.close_failed_turn("the session ended before this turn did");
}

std::string OpenAIAgent::system_prompt() const {
  if (!settings_.system_prompt.empty()) return settings_.system_prompt + settings_.instructions;
  return "You are a coding agent working in the project directory " + toolbox_.root().string() +
         ". Use the tools to look at files, search, edit and run commands; paths are relative to "
         "the project directory. Read before you edit, keep changes minimal, and check your work "
         "by running the relevant commands. When you are done, answer briefly in Markdown." +
         settings_.instructions;
}

json OpenAIAgent::request_body() const {
  json messages = json::array();
  messages.push_back({{"role", "system"}, {"content", system_prompt()}});
  for (const auto& m : conversation_.messages()) messages.push_back(m);
  AgentSettings s = settings_;
  {
    std::lock_guard g(m_);
    s.mode = mode_;
    s.model = model_;
  }
  json body = {{"model", s.model},
               {"messages", std::move(messages)},
               {"stream", true},
               {"stream_options", {{"include_usage", true}}},
               {"tools", toolbox_.schemas()}};
  body.merge_patch(mode_fields_for(s));
  if (settings_.extra_request_fields.is_object()) body.merge_patch(settings_.extra_request_fields);
  // A configuration that asks for a complete answer: strict servers refuse stream_options then.
  if (const auto it = body.find("stream"); it != body.end() && *it == false)
    body.erase("stream_options");
  return body;
}

void OpenAIAgent::run_turn(const std::string& prompt, orvo::OutputManager& out) {
  std::string failure;
  try {
    run_turn_inner(prompt, out);
    return;
  } catch (const std::exception& e) {
    failure = std::string("the agent stopped: ") + e.what();
  } catch (...) {
    failure = "the agent stopped on an unexpected error";
  }
  skipped_ = {};
  answer_open_ = false;
  try {
    // The next prompt must find the conversation in a state the server accepts.
    conversation_.close_failed_turn(failure);
  } catch (...) {
  }
  try {
    out.set_error(failure);
  } catch (...) {
  }
}

namespace {

std::string megabytes(std::uint64_t bytes) {
  constexpr std::uint64_t kMB = std::uint64_t{1} << 20;
  const std::uint64_t mb = (bytes + kMB / 2) / kMB;
  return std::to_string(std::max<std::uint64_t>(mb, 1)) + " MB";
}

}  // namespace

std::string OpenAIAgent::skipped_note(const Skipped& s) {
  std::string note;
  if (s.malformed > 0) {
    note = "skipped " + std::to_string(s.malformed) + " malformed " +
           (s.malformed == 1 ? "event" : "events") + " from the server (" + s.first_malformed + ")";
  }
  const std::string limit = megabytes(SseParser::kMaxEventBytes);
  if (s.oversized_answer) {
    if (!note.empty()) note += "; ";
    note += "dropped the server's answer: larger than the " + limit + " limit";
  } else if (s.oversized > 0) {
    if (!note.empty()) note += "; ";
    note += s.oversized == 1 ? "dropped a " + megabytes(s.oversized_bytes) + " event"
                             : "dropped " + std::to_string(s.oversized) + " events (" +
                                   megabytes(s.oversized_bytes) + ")";
    note += " from the server: larger than the " + limit + " limit";
  }
  return note;
}

void OpenAIAgent::end_turn(orvo::OutputManager& out, const std::string& error, bool interrupted) {
  const std::string note = skipped_note(skipped_);
  if (!note.empty()) {
    if (answer_open_) out.stream("\n");
    out.notice(note);
  }
  answer_open_ = false;
  skipped_ = {};
  {
    std::lock_guard g(m_);
    if (usage_.reported) {
      out.set_usage(usage_.prompt_tokens, usage_.completion_tokens, usage_.generation_seconds);
    }
  }
  if (!error.empty()) {
    conversation_.close_failed_turn("the request failed: " + error);
    out.set_error(error);
    return;
  }
  if (interrupted) {
    conversation_.close_failed_turn("interrupted by the user");
    out.print_info("interrupted");
  }
  out.done();
}

void OpenAIAgent::finish_interrupted(orvo::OutputManager& out) {
  end_turn(out, "", true);
}

void OpenAIAgent::run_turn_inner(const std::string& prompt, orvo::OutputManager& out) {
  canceller_.reset();
  skipped_ = {};
  answer_open_ = false;
  if (reset_pending_.exchange(false)) conversation_.clear();
  {
    std::lock_guard g(m_);
    usage_ = {};
  }
  conversation_.add_user(prompt);
  const std::size_t fixed = (system_prompt().size() + dump(toolbox_.schemas()).size()) / 4;
  const std::size_t budget =
      settings_.context_budget_tokens > fixed ? settings_.context_budget_tokens - fixed : 0;

  for (int n = 0;; ++n) {
    // One turn, one summary: only the first request resets the turn's clock and tool list.
    out.start_thinking(n == 0);
    if (n >= settings_.max_steps) {
      out.print_info("stopped after " + std::to_string(settings_.max_steps) +
                     " model requests (the step limit); send a message to continue");
      return end_turn(out, "", false);
    }
    if (canceller_.cancelled()) return finish_interrupted(out);
    conversation_.fit(budget);
    Step step;
    stream_step(out, step);
    answer_open_ = step.answer_started;

    json assistant = {{"role", "assistant"}, {"content", step.content}};
    if (step.cancelled || !step.error.empty()) {
      // What was said so far stays in the conversation; half-streamed tool calls do not.
      if (!step.content.empty()) conversation_.add(std::move(assistant));
      if (step.cancelled) return finish_interrupted(out);
      return end_turn(out, step.error, false);
    }
    if (step.calls.empty()) {
      conversation_.add(std::move(assistant));
      if (step.finish_reason == "length") {
        if (step.answer_started) out.stream("\n");
        answer_open_ = false;
        out.print_info("the answer was cut off at the model's output limit");
      }
      return end_turn(out, "", false);
    }
    json calls = json::array();
    for (const auto& c : step.calls) {
      calls.push_back({{"id", c.id},
                       {"type", "function"},
                       {"function", {{"name", c.name}, {"arguments", c.arguments}}}});
    }
    assistant["tool_calls"] = std::move(calls);
    conversation_.add(std::move(assistant));
    run_tools(out, step);
    if (canceller_.cancelled()) return finish_interrupted(out);
  }
}

bool OpenAIAgent::stream_step(orvo::OutputManager& out, Step& step) {
  HttpRequest req;
  std::string base = settings_.endpoint;
  while (!base.empty() && base.back() == '/') base.pop_back();
  req.url = base + "/chat/completions";
  req.body = dump(request_body());
  req.connect_timeout = settings_.connect_timeout;
  req.stall_timeout = settings_.stall_timeout;
  req.headers = {"Content-Type: application/json", "Accept: text/event-stream"};
  if (!settings_.api_key_env.empty()) {
    if (const char* key = std::getenv(settings_.api_key_env.c_str()); key && *key) {
      req.headers.push_back(std::string("Authorization: Bearer ") + key);
    }
  }

  auto close_thinking = [&] {
    if (!step.thinking_closed && !step.reasoning.empty()) {
      step.thinking_closed = true;
      out.thinking_done(step.reasoning);
    }
  };
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> first_delta;  // generation starts with the first delta
  bool usage_seen = false;
  auto apply = [&](const ChunkDelta& d) {
    if (d.usage) {
      usage_seen = true;
      std::lock_guard g(m_);
      usage_.reported = true;
      usage_.prompt_tokens += d.usage->prompt_tokens;
      usage_.completion_tokens += d.usage->completion_tokens;
    }
    if (!d.finish_reason.empty()) step.finish_reason = d.finish_reason;
    if (!first_delta && (!d.reasoning.empty() || !d.content.empty() || !d.tool_calls.empty()))
      first_delta = Clock::now();
    if (!d.reasoning.empty()) {
      step.reasoning += d.reasoning;
      out.feed_thinking(d.reasoning);
      const std::string_view peek = last_visible_line(step.reasoning);
      if (peek != step.peek) {
        step.peek.assign(peek);
        out.set_thinking_peek(step.peek);
      }
    }
    if (!d.content.empty()) {
      close_thinking();
      std::string_view c = d.content;
      // Leading blank lines before the answer (common before a tool call) draw nothing useful.
      if (!step.answer_started) {
        std::size_t i = 0;
        while (i < c.size() && (c[i] == '\n' || c[i] == '\r' || c[i] == ' ' || c[i] == '\t')) ++i;
        c.remove_prefix(i);
      }
      if (!c.empty()) {
        step.answer_started = true;
        step.content.append(c);
        out.stream(c);
      }
    }
    for (const auto& tc : d.tool_calls) {
      close_thinking();
      step.assembler.add(tc);
    }
  };
  StreamDecoder decoder;
  auto on_event = [&](std::string_view event, std::string_view data) {
    if (!step.stream_error.empty()) return;
    if (event == "error") {
      step.stream_error = error_body_message(data);
      if (step.stream_error.empty()) step.stream_error = "the server reported an error";
      return;
    }
    ChunkDelta d = decoder.decode(data);
    if (d.done) {
      step.saw_done = true;
      return;
    }
    if (!d.malformed.empty()) {
      if (skipped_.malformed++ == 0) skipped_.first_malformed = d.malformed;
      return;
    }
    if (!d.error.empty()) {
      step.stream_error = "the server reported an error: " + d.error;
      return;
    }
    apply(d);
  };

  // A server asked to stream may still answer with one complete JSON body (a chat.completion):
  // its first byte tells, since an event stream never starts with '{'.
  enum class Shape { unknown, events, whole } shape = Shape::unknown;
  std::string whole;
  SseParser parser;
  const auto sent = Clock::now();
  const auto outcome = http_transfer(
      req,
      [&](std::string_view bytes) {
        if (shape == Shape::unknown) {
          std::size_t i = 0;
          while (i < bytes.size() &&
                 (bytes[i] == ' ' || bytes[i] == '\n' || bytes[i] == '\r' || bytes[i] == '\t')) {
            ++i;
          }
          if (i < bytes.size()) shape = bytes[i] == '{' ? Shape::whole : Shape::events;
        }
        if (shape == Shape::whole) {
          if (whole.size() + bytes.size() > SseParser::kMaxEventBytes) {
            skipped_.oversized_answer = true;
            whole.clear();
            whole.shrink_to_fit();
            return false;
          }
          whole.append(bytes);
          return true;
        }
        parser.feed(bytes, on_event);
        return step.stream_error.empty() && !step.saw_done;
      },
      canceller_);
  skipped_.oversized += parser.dropped();
  skipped_.oversized_bytes += parser.dropped_bytes();
  bool complete_answer = false;
  if (shape == Shape::whole && outcome.kind == HttpOutcome::Kind::ok) {
    first_delta = sent;  // the whole answer was generated before it was sent
    const ChunkDelta d = decoder.decode(whole);
    if (!d.malformed.empty()) {
      step.stream_error = "the server's answer is not a chat completion (" + d.malformed + ")";
    } else if (!d.error.empty()) {
      step.stream_error = "the server reported an error: " + d.error;
    } else {
      apply(d);
      complete_answer = true;
    }
  }
  if (step.stream_error.empty()) {
    // A surrogate half the answer ended with is U+FFFD, not lost.
    const ChunkDelta tail = decoder.finish();
    if (!tail.reasoning.empty() || !tail.content.empty() || !tail.tool_calls.empty()) apply(tail);
  }
  {
    std::lock_guard g(m_);
    ++usage_.requests;
    if (first_delta) {
      usage_.generation_seconds +=
          std::chrono::duration<double>(Clock::now() - *first_delta).count();
    }
    if (usage_seen) {
      out.set_usage(usage_.prompt_tokens, usage_.completion_tokens, usage_.generation_seconds);
    }
  }
  close_thinking();
  using K = HttpOutcome::Kind;
  if (outcome.kind == K::cancelled) {
    step.cancelled = true;
  } else if (!step.stream_error.empty()) {
    step.error = step.stream_error;
  } else if (skipped_.oversized_answer) {
    step.error =
        "the server's answer is larger than the " + megabytes(SseParser::kMaxEventBytes) + " limit";
  } else if (outcome.kind == K::ok || (outcome.kind == K::stopped && step.saw_done)) {
    if (!complete_answer && !step.saw_done && step.finish_reason.empty()) {
      step.error = "the server ended the answer before it was complete";
    }
  } else {
    step.error = outcome.message;
  }
  if (step.error.empty() && !step.cancelled) step.calls = step.assembler.take();
  return step.error.empty() && !step.cancelled;
}

void OpenAIAgent::run_tools(orvo::OutputManager& out, Step& step) {
  for (const auto& call : step.calls) {
    ToolResult res;
    if (canceller_.cancelled()) {
      // Every call needs its result in the conversation, also the ones that never ran.
      res = {"cancelled by the user", true};
    } else {
      const PreparedCall pc = toolbox_.prepare(call.name, call.arguments);
      // Ask before the call is logged: a log line first would read as if it had already run.
      std::optional<ToolResult> refused;
      if (pc.error.empty() && pc.consent) {
        const bool can_ask = out.has_approval_callback();
        bool approved = false;
        if (can_ask) {
          // A plain-terminal host asks on the terminal; the status block must not draw over it.
          out._stop_indicator();
          try {
            approved = out.ask_approval(call.name, pc.consent_subject, *pc.consent).value_or(false);
          } catch (const std::exception&) {
            approved = false;
          }
        }
        if (canceller_.cancelled()) {
          refused = ToolResult{"cancelled by the user", true};
        } else if (!can_ask) {
          refused =
              ToolResult{"denied: no one could be asked for consent (" + *pc.consent + ")", true};
        } else if (!approved) {
          refused = ToolResult{"denied by the user", true};
        }
      }
      const int idx = out.log_tool(call.name, pc.summary);
      if (!pc.error.empty()) {
        res = {pc.error, true};
      } else if (refused) {
        res = std::move(*refused);
      } else {
        res = toolbox_.run(pc);
      }
      // The sandbox notice is for the user, first in the result both front-ends show (a long
      // result is folded after its first lines); the model's copy stays the command's output.
      if (const auto notice = toolbox_.take_sandbox_notice())
        out.tool_result("[" + *notice + "]\n" + res.text, res.error, idx);
      else
        out.tool_result(res.text, res.error, idx);
    }
    conversation_.add({{"role", "tool"},
                       {"tool_call_id", call.id},
                       {"name", call.name},
                       {"content", cap_for_model(res.text, settings_.tool_output_cap)}});
  }
}

}  // namespace orvo::agent
