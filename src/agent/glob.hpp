// Glob patterns of the glob and grep tools, matched against '/'-separated paths.
#pragma once

#include <string_view>

namespace orvo::agent {

// Glob matching on '/'-separated paths: * and ? stay inside one component, ** spans any number of
// components, [...] classes (with ! or ^), {a,b} alternatives. Bounded work for any pattern: brace
// expansion is capped and star backtracking has a budget, after which the match fails.
bool glob_match(std::string_view pattern, std::string_view path);

}  // namespace orvo::agent
