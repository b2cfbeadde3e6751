// The test X client: window creation with properties, and readers for geometry, properties, focus, pixels.
#include "test_client.hpp"

#include "process.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vop::test {
namespace {

template <class T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

}  // namespace

TestClient::TestClient(const std::string& display) {
    int screen = 0;
    conn_ = xcb_connect(display.c_str(), &screen);
    if (int e = xcb_connection_has_error(conn_)) {
        xcb_disconnect(conn_);
        conn_ = nullptr;
        throw HarnessError("TestClient: cannot connect to " + display + " (xcb error " + std::to_string(e) + ")");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_));
    for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
    root_ = it.data->root;
    root_visual_ = it.data->root_visual;
}

TestClient::~TestClient() {
    if (conn_) xcb_disconnect(conn_);
}

bool TestClient::connected() const { return conn_ && xcb_connection_has_error(conn_) == 0; }

uint32_t TestClient::atom(const std::string& name) {
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        conn_, xcb_intern_atom(conn_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    if (!r) throw HarnessError("InternAtom " + name + " failed");
    return atoms_[name] = r->atom;
}

std::optional<uint32_t> TestClient::existing_atom(const std::string& name) {
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        conn_, xcb_intern_atom(conn_, 1, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    if (!r || r->atom == XCB_ATOM_NONE) return std::nullopt;
    return r->atom;
}

std::string TestClient::atom_name(uint32_t a) {
    Reply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(conn_, xcb_get_atom_name(conn_, a), nullptr));
    if (!r) return "<atom " + std::to_string(a) + ">";
    return std::string(xcb_get_atom_name_name(r.get()), static_cast<size_t>(xcb_get_atom_name_name_length(r.get())));
}

uint32_t TestClient::create_window(const WindowSpec& s) {
    uint32_t w = xcb_generate_id(conn_);
    const uint32_t values[] = {0xFFFFFF, s.override_redirect ? 1u : 0u,
                               XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE | s.events};
    xcb_create_window(conn_, XCB_COPY_FROM_PARENT, w, root_, s.x, s.y, s.width, s.height, s.border_width,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, root_visual_,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    if (s.instance || s.class_name) {
        std::string v = s.instance.value_or("") + '\0' + s.class_name.value_or("") + '\0';
        set_string(w, "WM_CLASS", "STRING", v);
    }
    if (s.net_wm_name) set_string(w, "_NET_WM_NAME", "UTF8_STRING", *s.net_wm_name);
    if (s.wm_name) set_string(w, "WM_NAME", "STRING", *s.wm_name);
    if (!s.window_type.empty()) set_atoms(w, "_NET_WM_WINDOW_TYPE", s.window_type);
    if (!s.state.empty()) set_atoms(w, "_NET_WM_STATE", s.state);
    if (s.transient_for) set_window_ids(w, "WM_TRANSIENT_FOR", {*s.transient_for});
    if (s.strut) set_cardinals(w, "_NET_WM_STRUT", {s.strut->begin(), s.strut->end()});
    if (s.strut_partial) set_cardinals(w, "_NET_WM_STRUT_PARTIAL", {s.strut_partial->begin(), s.strut_partial->end()});
    if (s.urgent || s.input) set_wm_hints(w, s.urgent, s.input);
    if (!s.protocols.empty()) set_atoms(w, "WM_PROTOCOLS", s.protocols);
    sync();
    return w;
}

uint32_t TestClient::open_window(const WindowSpec& desc) {
    uint32_t w = create_window(desc);
    map(w);
    return w;
}

void TestClient::map(uint32_t w) {
    xcb_map_window(conn_, w);
    flush_writes();
}

void TestClient::unmap(uint32_t w) {
    xcb_unmap_window(conn_, w);
    flush_writes();
}

void TestClient::destroy(uint32_t w) {
    xcb_destroy_window(conn_, w);
    flush_writes();
}

void TestClient::withdraw(uint32_t w) {
    xcb_unmap_window(conn_, w);
    notify_withdrawn(w);
}

void TestClient::notify_withdrawn(uint32_t w) {
    xcb_unmap_notify_event_t ev{};
    ev.response_type = XCB_UNMAP_NOTIFY;
    ev.event = root_;
    ev.window = w;
    xcb_send_event(conn_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    flush_writes();
}

void TestClient::reparent(uint32_t w, uint32_t parent) {
    xcb_reparent_window(conn_, w, parent, 0, 0);
    flush_writes();
}

void TestClient::hold(bool on) {
    held_ = on;
    flush_writes();
}

void TestClient::flush_writes() {
    if (!held_) xcb_flush(conn_);
}

void TestClient::configure(uint32_t w, int16_t x, int16_t y, uint16_t width, uint16_t height) {
    const uint32_t v[] = {static_cast<uint32_t>(static_cast<int32_t>(x)), static_cast<uint32_t>(static_cast<int32_t>(y)),
                          width, height};
    xcb_configure_window(conn_, w,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         v);
    xcb_flush(conn_);
}

void TestClient::set_property(uint32_t w, const std::string& name, const std::string& type, uint8_t format,
                              const void* data, uint32_t count) {
    xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, atom(name), atom(type), format, count, data);
    xcb_flush(conn_);
}

void TestClient::set_string(uint32_t w, const std::string& name, const std::string& type, const std::string& bytes) {
    set_property(w, name, type, 8, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void TestClient::set_atoms(uint32_t w, const std::string& name, const std::vector<std::string>& atom_names) {
    std::vector<uint32_t> ids;
    for (const auto& n : atom_names) ids.push_back(atom(n));
    set_property(w, name, "ATOM", 32, ids.data(), static_cast<uint32_t>(ids.size()));
}

void TestClient::set_cardinals(uint32_t w, const std::string& name, const std::vector<uint32_t>& values) {
    set_property(w, name, "CARDINAL", 32, values.data(), static_cast<uint32_t>(values.size()));
}

void TestClient::set_window_ids(uint32_t w, const std::string& name, const std::vector<uint32_t>& windows) {
    set_property(w, name, "WINDOW", 32, windows.data(), static_cast<uint32_t>(windows.size()));
}

void TestClient::delete_property(uint32_t w, const std::string& name) {
    xcb_delete_property(conn_, w, atom(name));
    xcb_flush(conn_);
}

void TestClient::set_wm_hints(uint32_t w, std::optional<bool> urgent, std::optional<bool> input) {
    // flags, input, initial_state, icon_pixmap, icon_window, icon_x, icon_y, icon_mask, window_group
    std::array<uint32_t, 9> hints{};
    constexpr uint32_t kInputHint = 1, kUrgencyHint = 256;
    if (input) {
        hints[0] |= kInputHint;
        hints[1] = *input ? 1 : 0;
    }
    if (urgent && *urgent) hints[0] |= kUrgencyHint;
    set_property(w, "WM_HINTS", "WM_HINTS", 32, hints.data(), static_cast<uint32_t>(hints.size()));
}

namespace {
Reply<xcb_get_property_reply_t> get_property(xcb_connection_t* c, uint32_t w, uint32_t prop) {
    Reply<xcb_get_property_reply_t> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 24), nullptr));
    if (r && r->type == XCB_ATOM_NONE) r.reset();
    return r;
}
}  // namespace

std::optional<std::string> TestClient::property_bytes(uint32_t w, const std::string& name) {
    auto r = get_property(conn_, w, atom(name));
    if (!r) return std::nullopt;
    auto len = static_cast<size_t>(xcb_get_property_value_length(r.get()));
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())), len);
}

std::optional<std::vector<uint32_t>> TestClient::property_u32(uint32_t w, const std::string& name) {
    auto r = get_property(conn_, w, atom(name));
    if (!r || r->format != 32) return std::nullopt;
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    return std::vector<uint32_t>(v, v + r->value_len);
}

std::optional<std::vector<std::string>> TestClient::property_atoms(uint32_t w, const std::string& name) {
    auto ids = property_u32(w, name);
    if (!ids) return std::nullopt;
    std::vector<std::string> out;
    for (uint32_t a : *ids) out.push_back(atom_name(a));
    return out;
}

bool TestClient::says_fullscreen(uint32_t w) {
    const auto state = property_u32(w, "_NET_WM_STATE").value_or(std::vector<uint32_t>{});
    return std::find(state.begin(), state.end(), atom("_NET_WM_STATE_FULLSCREEN")) != state.end();
}

std::optional<std::string> TestClient::property_type(uint32_t w, const std::string& name) {
    auto r = get_property(conn_, w, atom(name));
    if (!r) return std::nullopt;
    return atom_name(r->type);
}

std::optional<Geometry> TestClient::geometry(uint32_t w) {
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(conn_, xcb_get_geometry(conn_, w), nullptr));
    if (!g) return std::nullopt;
    auto bw = static_cast<int16_t>(g->border_width);
    Reply<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
        conn_, xcb_translate_coordinates(conn_, w, root_, static_cast<int16_t>(-bw), static_cast<int16_t>(-bw)),
        nullptr));
    if (!t) return std::nullopt;
    return Geometry{t->dst_x, t->dst_y, g->width, g->height, g->border_width};
}

std::optional<uint8_t> TestClient::map_state(uint32_t w) {
    Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, w), nullptr));
    if (!a) return std::nullopt;
    return a->map_state;
}

bool TestClient::viewable(uint32_t w) { return map_state(w) == XCB_MAP_STATE_VIEWABLE; }

std::optional<uint32_t> TestClient::all_event_masks(uint32_t w) {
    Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, w), nullptr));
    if (!a) return std::nullopt;
    return a->all_event_masks;
}

std::optional<uint32_t> TestClient::parent(uint32_t w) {
    Reply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(conn_, xcb_query_tree(conn_, w), nullptr));
    if (!t) return std::nullopt;
    return t->parent;
}

std::vector<uint32_t> TestClient::children(uint32_t w) {
    Reply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(conn_, xcb_query_tree(conn_, w), nullptr));
    if (!t) return {};
    const uint32_t* c = xcb_query_tree_children(t.get());
    return std::vector<uint32_t>(c, c + xcb_query_tree_children_length(t.get()));
}

uint32_t TestClient::input_focus() {
    Reply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
    return f ? f->focus : 0;
}

uint32_t TestClient::root_pixel(int16_t x, int16_t y) {
    Reply<xcb_get_image_reply_t> img(xcb_get_image_reply(
        conn_, xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, 1, 1, ~0u), nullptr));
    if (!img) throw HarnessError("GetImage on the root failed");
    // Depth 24 in 32 bits per pixel, least significant byte first: B, G, R, unused.
    const uint8_t* d = xcb_get_image_data(img.get());
    if (xcb_get_image_data_length(img.get()) < 3) throw HarnessError("GetImage returned no pixel");
    return static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[1]) << 8 | d[0];
}

uint8_t TestClient::select_input_checked(uint32_t w, uint32_t event_mask) {
    auto cookie = xcb_change_window_attributes_checked(conn_, w, XCB_CW_EVENT_MASK, &event_mask);
    Reply<xcb_generic_error_t> e(xcb_request_check(conn_, cookie));
    return e ? e->error_code : 0;
}

void TestClient::send_root_message(uint32_t w, const std::string& type, std::array<uint32_t, 5> data) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = atom(type);
    std::memcpy(ev.data.data32, data.data(), sizeof ev.data.data32);
    xcb_send_event(conn_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    flush_writes();
}

void TestClient::pump_events() {
    while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_)) {
        if ((ev->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
            auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
            ClientMessage m;
            m.window = cm->window;
            m.type_atom = cm->type;  // named in take_client_messages, outside the event loop
            std::memcpy(m.data.data(), cm->data.data32, sizeof cm->data.data32);
            messages_.push_back(m);
        } else if ((ev->response_type & 0x7F) == XCB_CONFIGURE_NOTIFY) {
            auto* cn = reinterpret_cast<xcb_configure_notify_event_t*>(ev);
            configures_.push_back({cn->window, {cn->x, cn->y, cn->width, cn->height, cn->border_width},
                                   (ev->response_type & 0x80) != 0});
        } else if (const uint8_t kind = ev->response_type & 0x7F; kind == XCB_BUTTON_PRESS || kind == XCB_ENTER_NOTIFY) {
            // Both kinds carry their window at the same place.
            input_.emplace_back(kind, reinterpret_cast<xcb_button_press_event_t*>(ev)->event);
        }
        std::free(ev);
    }
}

std::vector<ClientMessage> TestClient::take_client_messages() {
    sync();
    pump_events();
    std::vector<ClientMessage> out;
    out.swap(messages_);
    for (auto& m : out) m.type = atom_name(m.type_atom);
    return out;
}

std::vector<ConfigureNotify> TestClient::take_configure_notifies() {
    sync();
    pump_events();
    std::vector<ConfigureNotify> out;
    out.swap(configures_);
    return out;
}

std::vector<uint32_t> TestClient::take_events(uint8_t kind) {
    sync();
    pump_events();
    std::vector<uint32_t> out;
    std::erase_if(input_, [&](const auto& e) {
        if (e.first == kind) out.push_back(e.second);
        return e.first == kind;
    });
    return out;
}

std::pair<int, int> TestClient::pointer() {
    Reply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(conn_, xcb_query_pointer(conn_, root_), nullptr));
    return p ? std::pair<int, int>{p->root_x, p->root_y} : std::pair<int, int>{-1, -1};
}

uint32_t TestClient::pointer_child() {
    Reply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(conn_, xcb_query_pointer(conn_, root_), nullptr));
    return p ? p->child : 0;
}

bool TestClient::grab_input(bool on) {
    if (!on) {
        xcb_ungrab_pointer(conn_, XCB_CURRENT_TIME);
        xcb_ungrab_keyboard(conn_, XCB_CURRENT_TIME);
        xcb_flush(conn_);
        return true;
    }
    Reply<xcb_grab_pointer_reply_t> p(xcb_grab_pointer_reply(
        conn_,
        xcb_grab_pointer(conn_, 0, root_, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE,
                         XCB_CURRENT_TIME),
        nullptr));
    Reply<xcb_grab_keyboard_reply_t> k(xcb_grab_keyboard_reply(
        conn_, xcb_grab_keyboard(conn_, 0, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr));
    return p && k && p->status == XCB_GRAB_STATUS_SUCCESS && k->status == XCB_GRAB_STATUS_SUCCESS;
}

void TestClient::sync() {
    Reply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
}

}  // namespace vop::test
