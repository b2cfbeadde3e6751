// Reading client-window properties: floating and dock policy, class, title, hints, transients and struts.
#include "x11/properties.hpp"

#include "util/unicode.hpp"

#include "logging.hpp"
#include "x11/connection.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::connection";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using PropertyReply = std::unique_ptr<xcb_get_property_reply_t, FreeDeleter>;

// One GetProperty, waited for; null on any failure.
PropertyReply get_property(xcb_connection_t* c, Window w, Atom property, Atom type, uint32_t length) {
    auto cookie = xcb_get_property(c, 0, w, property, type, 0, length);
    if (xcb_connection_has_error(c)) return nullptr;
    return PropertyReply(xcb_get_property_reply(c, cookie, nullptr));
}

std::string_view bytes_of(const xcb_get_property_reply_t* r) {
    return {static_cast<const char*>(xcb_get_property_value(r)),
            static_cast<size_t>(std::max(0, xcb_get_property_value_length(r)))};
}

// The complete 32-bit values of a format-32 reply (a trailing partial value is dropped).
std::vector<uint32_t> cardinals_of(const xcb_get_property_reply_t* r) {
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));
    return std::vector<uint32_t>(v, v + std::max(0, xcb_get_property_value_length(r)) / 4);
}

bool atom_list_has(const PropertyReply& r, std::initializer_list<Atom> wanted) {
    if (!r || r->type != XCB_ATOM_ATOM || r->format != 32) return false;
    for (uint32_t a : cardinals_of(r.get()))
        if (std::find(wanted.begin(), wanted.end(), a) != wanted.end()) return true;
    return false;
}

}  // namespace

bool Connection::should_float(Window window) {
    auto transient = get_property(conn, window, atoms.WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    if (transient && transient->type == XCB_ATOM_WINDOW && xcb_get_property_value_length(transient.get()) > 0) {
        log::debug(kTarget, "Window {} has WM_TRANSIENT_FOR, should float", window);
        return true;
    }
    auto types = get_property(conn, window, atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, 32);
    if (atom_list_has(types, {atoms._NET_WM_WINDOW_TYPE_DIALOG, atoms._NET_WM_WINDOW_TYPE_UTILITY,
                              atoms._NET_WM_WINDOW_TYPE_TOOLBAR, atoms._NET_WM_WINDOW_TYPE_SPLASH,
                              atoms._NET_WM_WINDOW_TYPE_NOTIFICATION})) {
        log::debug(kTarget, "Window {} has floating window type, should float", window);
        return true;
    }
    auto state = get_property(conn, window, atoms._NET_WM_STATE, XCB_ATOM_ATOM, 32);
    if (atom_list_has(state, {atoms._NET_WM_STATE_MODAL})) {
        log::debug(kTarget, "Window {} is modal, should float", window);
        return true;
    }
    return false;
}

bool Connection::should_ignore(Window window) {
    auto types = get_property(conn, window, atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, 32);
    if (atom_list_has(types, {atoms._NET_WM_WINDOW_TYPE_DOCK, atoms._NET_WM_WINDOW_TYPE_DESKTOP})) {
        log::debug(kTarget, "Window {} is dock/desktop type, ignoring", window);
        return true;
    }
    return false;
}

bool Connection::is_desktop(Window window) {
    auto types = get_property(conn, window, atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, 32);
    return atom_list_has(types, {atoms._NET_WM_WINDOW_TYPE_DESKTOP});
}

// WM_CLASS, WM_NAME and STRING are predefined atoms, so they need no interning.
std::optional<WmClass> Connection::get_wm_class(Window window) {
    auto r = get_property(conn, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024);
    if (!r || r->format != 8) return std::nullopt;
    std::string_view all = bytes_of(r.get());
    std::vector<std::string_view> texts;
    while (!all.empty() && texts.size() < 2) {
        size_t nul = all.find('\0');
        std::string_view text = all.substr(0, nul);
        if (!text.empty()) texts.push_back(text);
        all = nul == std::string_view::npos ? std::string_view{} : all.substr(nul + 1);
    }
    if (texts.size() < 2) return std::nullopt;
    auto instance = unicode::decode_utf8(texts[0]);
    auto class_name = unicode::decode_utf8(texts[1]);
    if (!instance || !class_name) return std::nullopt;
    return WmClass{std::move(*instance), std::move(*class_name)};
}

std::optional<std::string> Connection::get_window_title(Window window) {
    // 1024 units = 4096 bytes; bytes_after tells whether the title was longer than that.
    auto net = get_property(conn, window, atoms._NET_WM_NAME, atoms.UTF8_STRING, 1024);
    if (net && net->format == 8 && xcb_get_property_value_length(net.get()) > 0)
        return unicode::decode_utf8(bytes_of(net.get()), net->bytes_after > 0);
    auto legacy = get_property(conn, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 1024);
    if (legacy && legacy->format == 8) return unicode::decode_utf8(bytes_of(legacy.get()), legacy->bytes_after > 0);
    return std::nullopt;
}

std::optional<WmHints> Connection::get_wm_hints(Window window) {
    auto r = get_property(conn, window, atoms.WM_HINTS, XCB_GET_PROPERTY_TYPE_ANY, 9);
    if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 4) return std::nullopt;
    const std::vector<uint32_t> v = cardinals_of(r.get());
    const uint32_t flags = v[0];
    WmHints h;
    h.input = !(flags & 0x1) || v.size() == 1 || v[1] != 0;
    if ((flags & 0x2) && v.size() >= 3) h.initial_state = v[2];
    h.urgent = (flags & 0x100) != 0;
    return h;
}

std::optional<Window> Connection::get_transient_for(Window window) {
    auto r = get_property(conn, window, atoms.WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    if (!r || r->type != XCB_ATOM_WINDOW || r->format != 32) return std::nullopt;
    const std::vector<uint32_t> v = cardinals_of(r.get());
    if (v.empty() || v[0] == 0) return std::nullopt;
    return v[0];
}

std::vector<Atom> Connection::get_wm_state(Window window) {
    auto r = get_property(conn, window, atoms._NET_WM_STATE, XCB_ATOM_ATOM, 1024);
    if (!r || r->type != XCB_ATOM_ATOM || r->format != 32) return {};
    return cardinals_of(r.get());
}

std::optional<Strut> Connection::get_strut(Window window) {
    auto read = [&](Atom property, uint32_t length) -> std::optional<Strut> {
        auto r = get_property(conn, window, property, XCB_ATOM_CARDINAL, length);
        if (!r || r->format != 32 || xcb_get_property_value_length(r.get()) < 16) return std::nullopt;
        const std::vector<uint32_t> v = cardinals_of(r.get());
        Strut s{v[0], v[1], v[2], v[3]};
        // The partial strut's spans along each edge; without them every side covers its whole edge.
        if (v.size() >= 12) {
            s.left_start_y = v[4], s.left_end_y = v[5], s.right_start_y = v[6], s.right_end_y = v[7];
            s.top_start_x = v[8], s.top_end_x = v[9], s.bottom_start_x = v[10], s.bottom_end_x = v[11];
        }
        return s;
    };
    auto strut = read(atoms._NET_WM_STRUT_PARTIAL, 12);
    if (!strut && xcb_connection_has_error(conn)) return std::nullopt;
    if (!strut) strut = read(atoms._NET_WM_STRUT, 4);
    if (!strut) return std::nullopt;
    // Client data is untrusted: no side may reserve more than the whole screen.
    strut->left = std::min<uint32_t>(strut->left, screen_width);
    strut->right = std::min<uint32_t>(strut->right, screen_width);
    strut->top = std::min<uint32_t>(strut->top, screen_height);
    strut->bottom = std::min<uint32_t>(strut->bottom, screen_height);
    return strut;
}

}  // namespace vop
