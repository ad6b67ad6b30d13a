#include "host/chat/session_host.hpp"

#include <algorithm>
#include <fstream>

namespace orvo::host {

namespace {

constexpr std::size_t kInstructionBytes = std::size_t{32} << 10;

class CheckpointRunner : public agent::TurnRunner {
 public:
  CheckpointRunner(std::shared_ptr<agent::TurnRunner> inner,
                   std::shared_ptr<session::FileHistory> files)
      : inner_(std::move(inner)), files_(std::move(files)) {}
  void run_turn(const std::string& prompt, orvo::OutputManager& out) override {
    // A checkpoint that fails leaves the turn to run without one (the note says so).
    try {
      files_->before_turn();
    } catch (const std::exception&) {
    }
    inner_->run_turn(prompt, out);
    try {
      files_->after_turn();
    } catch (const std::exception&) {
    }
  }
  void cancel() override { inner_->cancel(); }
  void set_mode(const std::string& mode) override { inner_->set_mode(mode); }
  void reset_conversation() override { inner_->reset_conversation(); }
  void kill_leftovers() override { inner_->kill_leftovers(); }
  std::vector<nlohmann::json> messages_since(std::uint64_t& serial) const override {
    return inner_->messages_since(serial);
  }
  void restore_conversation(std::vector<nlohmann::json> messages) override {
    inner_->restore_conversation(std::move(messages));
  }

 private:
  std::shared_ptr<agent::TurnRunner> inner_;
  std::shared_ptr<session::FileHistory> files_;
};

std::string read_capped(const fs::path& p, bool& cut) {
  std::ifstream in(p, std::ios::binary);
  std::string s(kInstructionBytes + 1, '\0');
  in.read(s.data(), static_cast<std::streamsize>(s.size()));
  s.resize(static_cast<std::size_t>(in.gcount()));
  cut = s.size() > kInstructionBytes;
  if (cut) s.resize(kInstructionBytes);
  return s;
}

}  // namespace

Instructions load_instructions(const fs::path& project, const fs::path& config_dir) {
  Instructions out;
  for (const fs::path& dir : {config_dir, project}) {
    if (dir.empty()) continue;
    for (const char* name : {"AGENTS.md", "KESTRAVEL.md"}) {
      const fs::path p = dir / name;
      std::error_code ec;
      if (!fs::is_regular_file(p, ec)) continue;
      bool cut = false;
      const std::string text = read_capped(p, cut);
      if (text.empty()) continue;
      out.text += "\n\nInstructions from " + p.string() + ":\n" + text;
      if (cut) out.text += "\n[cut at 32 KiB]";
      out.files.push_back(p);
    }
  }
  return out;
}

SessionHost::SessionHost(fs::path project, long long keep_days, std::uint64_t checkpoint_max_bytes)
    : project_(std::move(project)), prompts_({}) {
  const fs::path root = session::state_root();
  if (root.empty()) {
    notes_.push_back("sessions are not saved: HOME is not set");
    return;
  }
  const std::string key = session::project_key(project_);
  sessions_dir_ = root / "sessions" / key;
  prompts_ = session::PromptHistory(root / "history" / (key + ".jsonl"));
  std::error_code ec;
  if (fs::is_directory(sessions_dir_, ec))
    session::prune_sessions(sessions_dir_, static_cast<int>(std::min(keep_days, 100000LL)));
  if (checkpoint_max_bytes > 0) {
    files_ = std::make_shared<session::FileHistory>(session::Checkpoints(
        root / "checkpoints" / (key + ".git"), project_, checkpoint_max_bytes));
  }
}

std::vector<session::SessionInfo> SessionHost::list() const {
  if (sessions_dir_.empty()) return {};
  auto all = session::list_sessions(sessions_dir_);
  // This run's own file is no session to go back to.
  if (writer_) std::erase_if(all, [&](const auto& s) { return s.path == writer_->path(); });
  return all;
}

std::optional<fs::path> SessionHost::latest() const {
  const auto all = list();
  if (all.empty()) return std::nullopt;
  return all.front().path;
}

bool SessionHost::ensure_writer() {
  if (writer_) return true;
  if (sessions_dir_.empty()) return false;
  try {
    writer_ = std::make_unique<session::SessionWriter>(sessions_dir_, project_);
    return true;
  } catch (const std::exception& e) {
    notes_.push_back(std::string("sessions are not saved: ") + e.what());
    sessions_dir_.clear();
    return false;
  }
}

void SessionHost::begin_resumed(const session::SessionData& data) {
  // A new file for the continued session: the old one is never written again.
  writer_.reset();
  if (!ensure_writer()) return;
  for (const auto& e : data.entries) writer_->entry(e);
  for (const auto& m : data.messages) writer_->message(m);
  writer_->flush();
}

void SessionHost::record(const std::vector<session::Entry>& entries,
                         const std::vector<nlohmann::json>& messages) {
  if (entries.empty() && messages.empty()) return;
  if (!ensure_writer()) return;
  for (const auto& e : entries) writer_->entry(e);
  for (const auto& m : messages) writer_->message(m);
  if (!writer_->flush()) notes_.push_back(writer_->error());
}

void SessionHost::cleared() {
  entries_recorded = 0;
  if (writer_) {
    writer_->clear();
    writer_->flush();
  }
}

std::shared_ptr<agent::TurnRunner> with_checkpoints(std::shared_ptr<agent::TurnRunner> inner,
                                                    std::shared_ptr<session::FileHistory> files) {
  if (!files) return inner;
  return std::make_shared<CheckpointRunner>(std::move(inner), std::move(files));
}

std::vector<std::string> describe_undo(const session::UndoPlan& plan) {
  std::vector<std::string> out;
  const std::size_t n = plan.files.size();
  out.push_back("Undo turn " + std::to_string(plan.turn + 1) + ": put back " + std::to_string(n) +
                (n == 1 ? " file" : " files") + " as they were before it?");
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < n && i < kShown; ++i) {
    const bool kept = std::find(plan.conflicts.begin(), plan.conflicts.end(), plan.files[i]) !=
                      plan.conflicts.end();
    out.push_back("  " + plan.files[i] + (kept ? "  (changed since the turn: kept as it is)" : ""));
  }
  if (n > kShown) out.push_back("  … and " + std::to_string(n - kShown) + " more");
  out.push_back("Press 1 to undo, 2 to keep the files.");
  return out;
}

}  // namespace orvo::host
