// The agent's cancellation is the shared one (common/cancel.hpp).
#pragma once

#include "common/cancel.hpp"

namespace orvo::agent {
using ::orvo::Canceller;
}  // namespace orvo::agent
