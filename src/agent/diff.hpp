// Unified diff of two versions of a text file, for edit results the model and the user read.
#pragma once

#include <string>
#include <string_view>

namespace orvo::agent {

// "--- a/<path>\n+++ b/<path>\n" and "@@ -l,n +l,n @@" hunks with `context` lines around each
// change; "" when the texts are equal. A missing final newline is marked as diff(1) marks it.
std::string unified_diff(std::string_view path, std::string_view before, std::string_view after,
                         int context = 3);

}  // namespace orvo::agent
