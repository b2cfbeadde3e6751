// RandR: is the extension there, change notifications, and the monitors from outputs and CRTCs.
#include "x11/connection.hpp"

#include "logging.hpp"
#include "util/unicode.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::connection";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::string reply_failure(xcb_connection_t* c, xcb_generic_error_t* e) {
    std::string text = e ? describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id, e->sequence)
                         : describe_conn_error(xcb_connection_has_error(c));
    std::free(e);
    return text;
}

Error randr_missing() { return Error::connection("RANDR extension not supported by the server"); }
}  // namespace

bool Connection::has_randr() const { return randr_event_base().has_value(); }

std::optional<uint8_t> Connection::randr_event_base() const {
    // Answered from the setup-time query, cached by xcb; no RandR request is sent.
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn, &xcb_randr_id);
    if (!ext || !ext->present) return std::nullopt;
    return ext->first_event;
}

XResult<void> Connection::select_randr_input() {
    if (!has_randr()) return err(randr_missing());
    xcb_randr_select_input(conn, root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    return check();
}

XResult<std::vector<Monitor>> Connection::detect_monitors() {
    // Sending a RandR request to a server without the extension would close the connection.
    if (!has_randr()) return err(randr_missing());

    auto res_cookie = xcb_randr_get_screen_resources(conn, root);
    VOP_TRY(check());
    xcb_generic_error_t* e = nullptr;
    Reply<xcb_randr_get_screen_resources_reply_t> res(xcb_randr_get_screen_resources_reply(conn, res_cookie, &e));
    if (!res) return err(Error::reply(reply_failure(conn, e)));

    auto primary_cookie = xcb_randr_get_output_primary(conn, root);
    VOP_TRY(check());
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(conn, primary_cookie, &e));
    if (!primary) return err(Error::reply(reply_failure(conn, e)));

    std::vector<Monitor> found;
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_outputs(res.get());
    const int n = xcb_randr_get_screen_resources_outputs_length(res.get());
    for (int i = 0; i < n; ++i) {
        auto info_cookie = xcb_randr_get_output_info(conn, outputs[i], 0);
        VOP_TRY(check());
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(conn, info_cookie, nullptr));
        if (!info) continue;
        if (info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) continue;
        auto crtc_cookie = xcb_randr_get_crtc_info(conn, info->crtc, 0);
        VOP_TRY(check());
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(conn, crtc_cookie, nullptr));
        if (!crtc) continue;
        Monitor m;
        m.name = unicode::lossy(std::string_view(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                                                     static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get()))));
        m.rect = Rect{crtc->x, crtc->y, crtc->width, crtc->height};
        m.output = outputs[i];
        m.primary = outputs[i] == primary->output;
        found.push_back(std::move(m));
    }
    return arrange_monitors(std::move(found));
}

std::vector<Monitor> arrange_monitors(std::vector<Monitor> found) {
    log::debug(kTarget, "Raw monitor order from RandR:");
    for (const Monitor& m : found)
        log::debug(kTarget, "  '{}' at ({}, {}) size {}x{}", m.name, m.rect.x, m.rect.y, m.rect.width, m.rect.height);
    std::stable_sort(found.begin(), found.end(),
                     [](const Monitor& a, const Monitor& b) { return a.rect.x < b.rect.x; });
    // One workspace per monitor and only ten workspaces: the rest stay unused.
    for (size_t i = kMaxMonitors; i < found.size(); ++i) {
        const Monitor& m = found[i];
        log::warn(kTarget, "Ignoring monitor '{}' at ({}, {}): at most {} monitors are used", m.name, m.rect.x,
                  m.rect.y, kMaxMonitors);
    }
    if (found.size() > kMaxMonitors) found.resize(kMaxMonitors);
    for (size_t i = 0; i < found.size(); ++i) {
        const Monitor& m = found[i];
        log::info(kTarget, "Monitor {}: '{}' at ({}, {}) size {}x{} {}", i, m.name, m.rect.x, m.rect.y, m.rect.width,
                  m.rect.height, m.primary ? "(primary)" : "");
    }
    return found;
}

void Connection::update_screen_size() {
    auto cookie = xcb_get_geometry(conn, root);
    if (xcb_connection_has_error(conn)) return;
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(conn, cookie, nullptr));
    if (!g) return;
    if (g->width != screen_width || g->height != screen_height) {
        log::debug(kTarget, "Screen size now {}x{}", g->width, g->height);
    }
    screen_width = g->width;
    screen_height = g->height;
}

}  // namespace vop
