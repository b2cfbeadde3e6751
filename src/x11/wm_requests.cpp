// The plain X requests of the core and the event loop, queued unless a reply is needed.
#include "x11/wm_requests.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace vop::x11 {
namespace {

XResult<void> set_list(Connection& c, Window w, Atom property, Atom type, std::span<const uint32_t> values) {
    xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, w, property, type, 32, static_cast<uint32_t>(values.size()),
                        values.data());
    return c.check();
}

std::string reply_error(Connection& c, xcb_generic_error_t* e) {
    std::string text = e ? describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id, e->sequence)
                         : describe_conn_error(xcb_connection_has_error(c.conn));
    std::free(e);
    return text;
}

}  // namespace

XResult<void> set_cardinals(Connection& c, Window w, Atom property, std::span<const uint32_t> values) {
    return set_list(c, w, property, XCB_ATOM_CARDINAL, values);
}
XResult<void> set_windows(Connection& c, Window w, Atom property, std::span<const uint32_t> values) {
    return set_list(c, w, property, XCB_ATOM_WINDOW, values);
}
XResult<void> set_atoms(Connection& c, Window w, Atom property, std::span<const uint32_t> values) {
    return set_list(c, w, property, XCB_ATOM_ATOM, values);
}

XResult<void> delete_property(Connection& c, Window w, Atom property) {
    xcb_delete_property(c.conn, w, property);
    return c.check();
}

XResult<void> restack(Connection& c, Window w, Window sibling, RestackFor why) {
    return c.restack(w, sibling, true, why);
}

XResult<void> restack_below(Connection& c, Window w, Window sibling, RestackFor why) {
    return c.restack(w, sibling, false, why);
}

XResult<void> set_input_focus(Connection& c, Window w) {
    xcb_set_input_focus(c.conn, XCB_INPUT_FOCUS_PARENT, w, XCB_CURRENT_TIME);
    return c.check();
}

XResult<void> sync(Connection& c) {
    auto cookie = xcb_get_input_focus(c.conn);
    VOP_TRY(c.check());
    xcb_generic_error_t* e = nullptr;
    if (auto* r = xcb_get_input_focus_reply(c.conn, cookie, &e)) {
        std::free(r);
        return {};
    }
    return err(Error::reply(reply_error(c, e)));
}

XResult<void> send_delete_window(Connection& c, Window w) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = c.atoms.WM_PROTOCOLS;
    ev.data.data32[0] = c.atoms.WM_DELETE_WINDOW;
    ev.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c.conn, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
    return c.check();
}

XResult<RootChildren> root_children(Connection& c) {
    auto cookie = xcb_query_tree(c.conn, c.root);
    VOP_TRY(c.check());
    xcb_generic_error_t* e = nullptr;
    xcb_query_tree_reply_t* r = xcb_query_tree_reply(c.conn, cookie, &e);
    if (!r) return err(Error::reply(reply_error(c, e)));
    const Window* kids = xcb_query_tree_children(r);
    RootChildren out{{kids, kids + xcb_query_tree_children_length(r)}, cookie.sequence};
    std::free(r);
    return out;
}

XResult<std::optional<WindowAttributes>> window_attributes(Connection& c, Window w) {
    auto cookie = xcb_get_window_attributes(c.conn, w);
    VOP_TRY(c.check());
    xcb_get_window_attributes_reply_t* r = xcb_get_window_attributes_reply(c.conn, cookie, nullptr);
    if (!r) return std::optional<WindowAttributes>{};
    WindowAttributes a{r->map_state == XCB_MAP_STATE_VIEWABLE, r->override_redirect != 0,
                       r->map_state != XCB_MAP_STATE_UNMAPPED};
    std::free(r);
    return std::optional<WindowAttributes>{a};
}

XResult<std::vector<std::optional<WindowPlace>>> places_of(Connection& c, std::span<const Window> windows) {
    // Every request goes out before any reply is awaited: one round trip.
    std::vector<std::pair<xcb_get_window_attributes_cookie_t, xcb_query_tree_cookie_t>> cookies;
    cookies.reserve(windows.size());
    for (Window w : windows) cookies.emplace_back(xcb_get_window_attributes(c.conn, w), xcb_query_tree(c.conn, w));
    VOP_TRY(c.check());
    std::vector<std::optional<WindowPlace>> out;
    out.reserve(windows.size());
    for (auto [attributes, tree] : cookies) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> a(
            xcb_get_window_attributes_reply(c.conn, attributes, nullptr), &std::free);
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> t(xcb_query_tree_reply(c.conn, tree, nullptr),
                                                                        &std::free);
        if (!a || !t) {
            out.emplace_back();
            continue;
        }
        out.emplace_back(WindowPlace{t->parent, a->map_state != XCB_MAP_STATE_UNMAPPED, a->your_event_mask != 0});
    }
    return out;
}

XResult<std::optional<WindowPlace>> window_place(Connection& c, Window w) {
    auto places = places_of(c, {&w, 1});
    if (!places) return places.take_error();
    return std::move(places->front());
}

XResult<std::optional<RootGeometry>> root_geometry(Connection& c, Window w) {
    // Both requests go out before either reply is awaited: one round trip.
    auto geometry = xcb_get_geometry(c.conn, w);
    auto origin = xcb_translate_coordinates(c.conn, w, c.root, 0, 0);
    VOP_TRY(c.check());
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> g(xcb_get_geometry_reply(c.conn, geometry, nullptr),
                                                                      &std::free);
    std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> o(
        xcb_translate_coordinates_reply(c.conn, origin, nullptr), &std::free);
    if (!g || !o) return std::optional<RootGeometry>{};
    // The translated point is the inside corner; the outer corner lies a border width up and left of it.
    const Rect rect{static_cast<int16_t>(o->dst_x - g->border_width), static_cast<int16_t>(o->dst_y - g->border_width),
                    g->width, g->height};
    return std::optional<RootGeometry>{RootGeometry{rect, g->border_width}};
}

XResult<void> send_configure_notify(Connection& c, Window w, const RootGeometry& g) {
    xcb_configure_notify_event_t ev{};
    ev.response_type = XCB_CONFIGURE_NOTIFY;
    ev.event = w;
    ev.window = w;
    ev.above_sibling = XCB_NONE;
    ev.x = g.rect.x;
    ev.y = g.rect.y;
    ev.width = g.rect.width;
    ev.height = g.rect.height;
    ev.border_width = g.border_width;
    ev.override_redirect = 0;
    xcb_send_event(c.conn, 0, w, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&ev));
    return c.check();
}

}  // namespace vop::x11
