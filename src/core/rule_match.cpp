// Window-rule matching: case-insensitive substring patterns, later rules override earlier ones.
#include "core/rule_match.hpp"

#include "logging.hpp"
#include "util/unicode.hpp"

namespace vop {

RuleActions match_rules(const std::vector<WindowRule>& rules, Window w, std::string_view class_name,
                        std::string_view instance, std::string_view title) {
    RuleActions result;
    if (rules.empty()) return result;
    const std::string cls = unicode::to_lower(class_name);
    const std::string inst = unicode::to_lower(instance);
    const std::string ttl = unicode::to_lower(title);
    auto holds = [](const std::optional<std::string>& pattern, const std::string& text) {
        return !pattern || text.find(unicode::to_lower(*pattern)) != std::string::npos;
    };
    for (const WindowRule& rule : rules) {
        const WindowMatch& m = rule.match_criteria;
        if (!m.class_name && !m.instance && !m.title) continue;
        if (!holds(m.class_name, cls) || !holds(m.instance, inst) || !holds(m.title, ttl)) continue;
        log::info("vop::core", "Rule matched for window {}: {}", w, to_string(rule.actions));
        if (rule.actions.workspace) result.workspace = rule.actions.workspace;
        if (rule.actions.floating) result.floating = rule.actions.floating;
    }
    return result;
}

}  // namespace vop
