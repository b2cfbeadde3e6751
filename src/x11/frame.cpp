// Frame windows: creation with reparenting, geometry, title-bar painting, border and teardown.
#include "x11/frame.hpp"

#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <xcb/xcb.h>

#include <cstdlib>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::frame";

constexpr uint32_t kFrameEvents = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                  XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW | XCB_EVENT_MASK_EXPOSURE |
                                  XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
constexpr uint16_t kGeometry =
    XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
constexpr uint32_t kAccentColour = 0x5294E2;
constexpr int16_t kTextX = 8;
// ImageText8 carries at most 255 bytes in one request.
constexpr size_t kMaxTextBytes = 255;

// Cuts at most `limit` bytes without splitting a UTF-8 character.
std::string_view cut_text(std::string_view s, size_t limit) {
    if (s.size() <= limit) return s;
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

uint32_t sign_extend(int16_t v) { return static_cast<uint32_t>(static_cast<int32_t>(v)); }

// `w` just above `sibling`: where a frame or a client takes the other's place in the stacking order.
XResult<void> take_place_of(Connection& c, Window w, Window sibling) {
    const uint32_t values[] = {sibling, XCB_STACK_MODE_ABOVE};
    return c.configure(w, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
}
}  // namespace

std::optional<Window> FrameManager::frame_for_client(Window client) const {
    auto it = client_to_frame_.find(client);
    if (it == client_to_frame_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint16_t> FrameManager::frame_width(Connection& c, Window client) const {
    auto frame = frame_for_client(client);
    if (!frame) return std::nullopt;
    auto cookie = xcb_get_geometry(c.conn, *frame);
    xcb_get_geometry_reply_t* r = xcb_get_geometry_reply(c.conn, cookie, nullptr);
    if (!r) return std::nullopt;
    const uint16_t width = r->width;
    std::free(r);
    return width;
}

std::optional<Window> FrameManager::client_for_frame(Window frame) const {
    auto it = frame_to_client_.find(frame);
    if (it == frame_to_client_.end()) return std::nullopt;
    return it->second;
}

XResult<Window> FrameManager::create_frame(Connection& c, Window root, Window client, int16_t x, int16_t y,
                                           uint16_t width, uint16_t height, uint16_t titlebar_height,
                                           uint16_t border_width, uint32_t border_colour,
                                           uint32_t background_colour) {
    // A second frame would orphan the first and leave the maps pointing at two frames for one client.
    if (auto existing = frame_for_client(client)) return *existing;

    Window frame = xcb_generate_id(c.conn);
    if (frame == static_cast<Window>(-1)) return err(Error::reply_or_id("resource ids exhausted"));
    const auto frame_height = static_cast<uint16_t>(height + titlebar_height);
    const uint32_t values[] = {background_colour, border_colour, kFrameEvents};
    auto created = xcb_create_window(c.conn, XCB_COPY_FROM_PARENT, frame, root, x, y, width, frame_height,
                                     border_width, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                                     XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK, values);
    VOP_TRY(c.check());
    if (root == c.root) c.stack.sent(created.sequence);
    // Created on top of every window, it first takes its client's place, so that it lies under whatever lay over
    // the client (a menu) until the raise rules say otherwise.
    VOP_TRY(take_place_of(c, frame, client));
    // In the save-set the server hands the client back to the root (mapped) if vop exits or dies.
    xcb_change_save_set(c.conn, XCB_SET_MODE_INSERT, client);
    VOP_TRY(c.check());
    VOP_TRY(c.reparent_window(client, frame, 0, static_cast<int16_t>(titlebar_height)));
    const uint32_t client_values[] = {0, titlebar_height, width, height, 0};
    VOP_TRY(c.configure(client, kGeometry | XCB_CONFIG_WINDOW_BORDER_WIDTH, client_values));
    client_to_frame_[client] = frame;
    frame_to_client_[frame] = client;
    log::debug(kTarget, "Created frame {} for client {} at ({}, {}) size {}x{} (titlebar: {})", frame, client, x, y,
               width, frame_height, titlebar_height);
    return frame;
}

XResult<void> FrameManager::destroy_frame(Connection& c, Window root, Window client) {
    auto it = client_to_frame_.find(client);
    if (it == client_to_frame_.end()) return {};
    const Window frame = it->second;
    client_to_frame_.erase(it);
    frame_to_client_.erase(frame);
    // Each request is attempted even if an earlier one could not be written. Only a client still inside goes
    // back to the root: one its client put into a window of its own stays there (the frame's destruction
    // would otherwise take it along).
    (void)c.unmap_window(frame);
    if (auto place = x11::window_place(c, client); place && *place && (*place)->parent == frame) {
        // Put on top of the root's children, it would cover the menus over its frame: it takes the frame's place.
        (void)c.reparent_window(client, root, 0, 0);
        (void)take_place_of(c, client, frame);
    }
    (void)c.destroy_window(frame);
    log::debug(kTarget, "Destroyed frame {} for client {}", frame, client);
    return {};
}

XResult<void> FrameManager::configure_frame(Connection& c, Window client, int16_t x, int16_t y, uint16_t width,
                                            uint16_t height, uint16_t titlebar_height, uint16_t border_width) {
    auto frame = frame_for_client(client);
    if (!frame) return {};
    const uint32_t frame_values[] = {sign_extend(x), sign_extend(y), width,
                                     static_cast<uint16_t>(height + titlebar_height), border_width};
    VOP_TRY(c.configure(*frame, kGeometry | XCB_CONFIG_WINDOW_BORDER_WIDTH, frame_values));
    const uint32_t client_values[] = {0, titlebar_height, width, height};
    return c.configure(client, kGeometry, client_values);
}

XResult<void> FrameManager::draw_titlebar(Connection& c, Window client, std::string_view title, uint16_t width,
                                          uint16_t height, uint32_t background_colour, uint32_t text_colour,
                                          bool focused) {
    auto frame = frame_for_client(client);
    if (!frame) return {};
    if (!gc_) {
        uint32_t id = xcb_generate_id(c.conn);
        if (id == static_cast<uint32_t>(-1)) return err(Error::reply_or_id("resource ids exhausted"));
        const uint32_t values[] = {text_colour, background_colour};
        xcb_create_gc(c.conn, id, *frame, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, values);
        VOP_TRY(c.check());
        gc_ = id;
    }
    xcb_change_gc(c.conn, *gc_, XCB_GC_FOREGROUND, &background_colour);
    VOP_TRY(c.check());
    const xcb_rectangle_t bar = {0, 0, width, height};
    xcb_poly_fill_rectangle(c.conn, *frame, *gc_, 1, &bar);
    VOP_TRY(c.check());
    if (!title.empty()) {
        // The background is set on every paint: ImageText8 fills the text box with it, and the bars of
        // focused and unfocused windows differ.
        const uint32_t text_values[] = {text_colour, background_colour};
        xcb_change_gc(c.conn, *gc_, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, text_values);
        VOP_TRY(c.check());
        const std::string_view text = cut_text(title, kMaxTextBytes);
        const auto baseline = static_cast<int16_t>(height >= 4 ? height - 4 : 0);
        xcb_image_text_8(c.conn, static_cast<uint8_t>(text.size()), *frame, *gc_, kTextX, baseline, text.data());
        VOP_TRY(c.check());
    }
    if (focused) {
        xcb_change_gc(c.conn, *gc_, XCB_GC_FOREGROUND, &kAccentColour);
        VOP_TRY(c.check());
        const xcb_rectangle_t accent = {0, static_cast<int16_t>(height - 2), width, 2};
        xcb_poly_fill_rectangle(c.conn, *frame, *gc_, 1, &accent);
        VOP_TRY(c.check());
    }
    return {};
}

XResult<void> FrameManager::set_frame_border(Connection& c, Window client, uint32_t border_colour) {
    auto frame = frame_for_client(client);
    if (!frame) return {};
    xcb_change_window_attributes(c.conn, *frame, XCB_CW_BORDER_PIXEL, &border_colour);
    return c.check();
}

XResult<void> FrameManager::map_frame(Connection& c, Window client) {
    auto frame = frame_for_client(client);
    if (!frame) return {};
    return c.map_window(*frame);
}

}  // namespace vop
