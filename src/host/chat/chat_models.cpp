// /model: the runtime's models, listed or switched to for this run. The list is read on a thread
// of its own (a server may take its time; the chat goes on meanwhile) and posted back.
#include "host/chat/chat_models.hpp"

#include "common/utf8.hpp"

namespace orvo::host {

namespace {

// Names shown at most; a server that lists thousands gets a count for the rest.
constexpr std::size_t kMaxListed = 40;

}  // namespace

std::string KestravelTUI::model_label() const {
  const std::string& model = orvo_config.runtime.model;
  if (!model.empty()) return text::message_safe(model);
  if (runtime::OrvoRuntimeGateway(orvo_config.runtime).is_builtin())
    return std::string(runtime::kBuiltinModel);
  return "";
}

void KestravelTUI::model_command(const std::string& text) {
  std::string_view rest = text::strip(text);
  rest.remove_prefix(std::min(rest.size(), std::string_view("/model").size()));
  const std::string wanted(text::strip(rest));
  const config::RuntimeSection runtime = orvo_config.runtime;
  const runtime::OrvoRuntimeGateway gateway(runtime);
  if (gateway.is_builtin()) {
    // Nothing to wait for.
    ModelsListed m(gateway.list_models(), wanted, runtime.endpoint);
    models_listed(m);
    return;
  }
  // The latest /model wins: starting one stops the one before.
  models_task_.start([post = post_handle(), runtime, wanted](Canceller& cancel) mutable {
    auto list = runtime::OrvoRuntimeGateway(runtime).list_models(&cancel);
    if (cancel.cancelled()) return;
    post.post_message(std::make_shared<ModelsListed>(std::move(list), wanted, runtime.endpoint));
  });
}

void KestravelTUI::models_listed(ModelsListed& m) {
  if (!log_) return;
  const ReaderPlace place = reader_place();
  const std::string where = text::message_safe(m.endpoint);
  const bool builtin = m.endpoint == "builtin";
  const std::string source = builtin ? "the demo runtime" : where;
  if (!m.list.ok) {
    log_->append_error("Could not list the models: " + m.list.error);
  } else if (m.list.ids.empty()) {
    log_->append_info("The server lists no models at " + where + ".");
  } else if (m.wanted.empty()) {
    const std::string current = model_label();
    std::string s = "Models of " + source + ":";
    for (std::size_t i = 0; i < m.list.ids.size() && i < kMaxListed; ++i) {
      const std::string& id = m.list.ids[i];
      const bool in_use = !current.empty() && (id == current || runtime::names_model(id, current));
      s += (in_use ? "\n  ● " : "\n    ") + id + (in_use ? "  (in use)" : "");
    }
    if (m.list.ids.size() > kMaxListed)
      s += "\n    … " + std::to_string(m.list.ids.size() - kMaxListed) + " more";
    if (current.empty()) s += "\nNone is named: the server picks one.";
    s += "\n/model NAME switches for this session.";
    log_->append_info(s);
  } else {
    const std::string* found = nullptr;
    for (const auto& id : m.list.ids) {
      if (id == m.wanted) {
        found = &id;
        break;
      }
      if (found == nullptr && runtime::names_model(id, m.wanted)) found = &id;
    }
    if (found == nullptr) {
      log_->append_info("No model \"" + text::message_safe(m.wanted) + "\" at " + source +
                        " (/model lists them); the model stays " +
                        (model_label().empty() ? "the server's choice" : model_label()) + ".");
    } else {
      // As typed when it names the listed one the way Ollama does ("qwen" for "qwen:latest").
      const std::string chosen = *found == m.wanted ? *found : m.wanted;
      config::set_session_model(orvo_config, chosen);
      log_->append_info("Model: " + text::message_safe(chosen) +
                        (turn_running_ ? " (from the next turn)." : "."));
      update_status();
    }
  }
  keep_reader_place(place);
}

}  // namespace orvo::host
