// The answer to /model, posted by the thread that asked the runtime for its models.
#pragma once

#include <string>

#include "host/chat/chat_app.hpp"
#include "runtime/gateway.hpp"

namespace orvo::host {

struct KestravelTUI::ModelsListed : tui::Message {
  ModelsListed(runtime::ModelList l, std::string n, std::string e)
      : list(std::move(l)), wanted(std::move(n)), endpoint(std::move(e)) {}
  runtime::ModelList list;
  std::string wanted;    // the NAME of /model NAME; "" to list them
  std::string endpoint;  // where the list came from
};

}  // namespace orvo::host
