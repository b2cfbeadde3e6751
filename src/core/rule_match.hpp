// Matching a window's class, instance and title against the user's window rules.
#pragma once

#include "config/rules.hpp"
#include "core/tree.hpp"

#include <string_view>
#include <vector>

namespace vop {

// Every matching rule applies in order; a later rule wins where two set the same action.
// Patterns are case-insensitive substrings; a rule without any pattern never matches.
RuleActions match_rules(const std::vector<WindowRule>& rules, Window w, std::string_view class_name,
                        std::string_view instance, std::string_view title);

}  // namespace vop
