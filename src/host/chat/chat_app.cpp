// KestravelTUI: wiring the agent side to the application, and shutting it down.
#include "host/chat/chat_app.hpp"

#include "host/chat/chat_models.hpp"
#include "host/chat/type_ahead.hpp"

namespace orvo::host {

// Posted by the worker thread when a turn has ended.
struct KestravelTUI::TurnEnded : tui::Message {};

// Everything the agent's callbacks touch, owned jointly with them: a worker left behind at exit
// keeps it alive and finds the handle closed, never the destroyed application.
struct KestravelTUI::AgentSide {
  explicit AgentSide(tui::PostHandle handle) : post(std::move(handle)), bridge(post) {}
  tui::PostHandle post;
  tui::TUIBridge bridge;
};

KestravelTUI::KestravelTUI(config::Config config, std::shared_ptr<agent::TurnRunner> runner,
                           ChatInfo info)
    : ConfiguredApp(std::move(config)),
      info_(std::move(info)),
      runner_(std::move(runner)),
      output_(std::make_shared<OutputManager>()),
      agent_side_(std::make_shared<AgentSide>(post_handle())),
      typeahead_(std::make_shared<TypeAhead>()) {
  auto side = agent_side_;
  output_->set_event_callback([side](const std::string& type, Payload payload) {
    side->bridge.on_event(type, std::move(payload));
  });
  output_->set_approval_callback(ReasonedApprovalCallback(
      [side](const std::string& tool, const std::string& command, const std::string& reason) {
        try {
          return side->bridge.request_approval(tool, command, reason);
        } catch (...) {
          return false;  // no answer is a denial
        }
      }));
  output_->set_input_field(typeahead_);
  worker_ = std::make_unique<AgentWorker>(runner_, output_, [post = post_handle()]() mutable {
    post.post_message(std::make_shared<TurnEnded>());
  });

  on<tui::AgentEvent>([this](tui::AgentEvent& e) { on_agent_event(e); });
  on<tui::ApprovalRequest>([this](tui::ApprovalRequest& r) { on_approval(r); });
  on<TurnEnded>([this](TurnEnded&) { on_turn_ended(); });
  on<ModelsListed>([this](ModelsListed& m) { models_listed(m); });
}

tui::TUIBridge& KestravelTUI::bridge() {
  return agent_side_->bridge;
}

KestravelTUI::~KestravelTUI() {
  shutdown();
}

bool KestravelTUI::shutdown() {
  if (shut_down_) return worker_stopped_;
  shut_down_ = true;
  // From here the worker's posts are refused: an approval it asks for later is denied at once,
  // and one it waits for (its prompt maybe still queued, now dropped) is released by closing the
  // bridge. Then the worker is stopped (bounded).
  close();
  models_task_.stop();
  agent_side_->bridge.close();
  worker_stopped_ = worker_->stop();
  // A worker left behind still holds the runner, so its leftovers are ended here, not by its
  // destructor.
  runner_->kill_leftovers();
  return worker_stopped_;
}

}  // namespace orvo::host
