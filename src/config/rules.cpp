// Printed forms of key-binding modifier masks, window rules and compositor rules.
#include "config/rules.hpp"

#include "util/debug_form.hpp"

#include <array>

namespace vop {

namespace {

struct ModName {
    uint16_t bit;
    const char* name;
};

constexpr std::array<ModName, 9> kModNames{{
    {0x0001, "SHIFT"},
    {0x0002, "LOCK"},
    {0x0004, "CONTROL"},
    {0x0008, "M1"},
    {0x0010, "M2"},
    {0x0020, "M3"},
    {0x0040, "M4"},
    {0x0080, "M5"},
    {0x8000, "ANY"},
}};

std::string opt_float(const std::optional<double>& v) {
    return v ? "Some(" + float_form(*v) + ")" : std::string("None");
}

}  // namespace

std::string modifier_mask_form(uint16_t mask) {
    if (mask == 0) return "0";
    std::string out;
    uint16_t known = 0;
    for (const auto& m : kModNames) known |= m.bit;
    if (uint16_t other = mask & ~known) out = std::to_string(other);
    for (const auto& m : kModNames) {
        if (!(mask & m.bit)) continue;
        if (!out.empty()) out += " | ";
        out += m.name;
    }
    return out;
}

std::string to_string(const WindowMatch& m) {
    return fmt::format("WindowMatch {{ class: {}, instance: {}, title: {} }}", dbg::form(m.class_name),
                       dbg::form(m.instance), dbg::form(m.title));
}

std::string to_string(const RuleActions& a) {
    return fmt::format("RuleActions {{ floating: {}, workspace: {} }}", dbg::form(a.floating), dbg::form(a.workspace));
}

std::string to_string(const WindowRule& r) {
    return fmt::format("WindowRule {{ match_criteria: {}, actions: {} }}", to_string(r.match_criteria),
                       to_string(r.actions));
}

std::string to_string(const PicomRule& r) {
    return fmt::format(
        "PicomRule {{ match_expr: {}, corner_radius: {}, opacity: {}, shadow: {}, blur_background: {}, shader: {} }}",
        dbg::quoted(r.match_expr), dbg::form(r.corner_radius), opt_float(r.opacity), dbg::form(r.shadow),
        dbg::form(r.blur_background), dbg::form(r.shader));
}

}  // namespace vop
