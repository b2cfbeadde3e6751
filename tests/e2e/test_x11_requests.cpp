// Window and input requests of the Connection, observed from a second client under Xvfb.
#include "test_x11_fixture.hpp"
#include "x11/wm_requests.hpp"

namespace vop::x11test {
namespace {

class RequestTest : public X11Test {
protected:
    // Error code of a checked request of the test client, 0 when it succeeded.
    uint8_t error_of(xcb_void_cookie_t cookie) {
        xcb_generic_error_t* e = xcb_request_check(client, cookie);
        uint8_t code = e ? e->error_code : 0;
        free(e);
        return code;
    }
    uint8_t try_grab_key(uint16_t mods, uint8_t keycode) {
        auto code = error_of(xcb_grab_key_checked(client, 0, c->root, mods, keycode, XCB_GRAB_MODE_ASYNC,
                                                  XCB_GRAB_MODE_ASYNC));
        if (code == 0) xcb_ungrab_key(client, keycode, c->root, mods);
        return code;
    }
    uint8_t try_grab_button(xcb_window_t w, uint8_t button, uint16_t mods) {
        auto code = error_of(xcb_grab_button_checked(client, 0, w, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                                                     XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, button, mods));
        if (code == 0) xcb_ungrab_button(client, button, w, mods);
        return code;
    }
    // X errors the Connection under test received for its queued requests.
    std::vector<uint8_t> wm_errors() {
        sync_wm();
        std::vector<uint8_t> codes;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c->conn)) {
            if (ev->response_type == 0) codes.push_back(reinterpret_cast<xcb_generic_error_t*>(ev)->error_code);
            free(ev);
        }
        return codes;
    }
    struct Pointer {
        int root_x, root_y, win_x, win_y;
    };
    Pointer pointer(xcb_window_t w) {
        auto r = xcb_query_pointer_reply(client, xcb_query_pointer(client, w), nullptr);
        Pointer p{r->root_x, r->root_y, r->win_x, r->win_y};
        free(r);
        return p;
    }
};

TEST_F(RequestTest, GrabKeyCoversNumLockAndCapsLock) {
    const uint8_t keycode = 38;
    ASSERT_TRUE(c->grab_key(0x40, keycode).ok());
    sync_wm();
    // The four combinations now belong to vop, so another client is refused each of them.
    for (uint16_t mods : {0x40, 0x50, 0x42, 0x52}) EXPECT_EQ(try_grab_key(mods, keycode), XCB_ACCESS) << mods;
    EXPECT_EQ(try_grab_key(0x08, keycode), 0);
    EXPECT_EQ(try_grab_key(0x40, keycode + 1), 0);
    // Modifiers already holding Num Lock repeat two grabs; that is no error.
    ASSERT_TRUE(c->grab_key(0x18, keycode).ok());
    EXPECT_TRUE(wm_errors().empty());
}

TEST_F(RequestTest, ModButtonsGrabbedForButtonsOneAndThree) {
    ASSERT_TRUE(c->grab_mod_buttons().ok());
    sync_wm();
    EXPECT_TRUE(logged(log::Level::Debug, "Grabbed Mod+Button1/Button3 on root for floating move/resize"));
    for (uint8_t button : {1, 3})
        for (uint16_t mods : {0x08, 0x18, 0x0A, 0x1A, 0x40, 0x50, 0x42, 0x52})
            EXPECT_EQ(try_grab_button(c->root, button, mods), XCB_ACCESS) << int(button) << " " << mods;
    EXPECT_EQ(try_grab_button(c->root, 2, 0x08), 0);
    EXPECT_EQ(try_grab_button(c->root, 1, 0x04), 0);
}

TEST_F(RequestTest, ClickGrabOnWindowAndRelease) {
    xcb_window_t w = make_window();
    ASSERT_TRUE(c->grab_button(w).ok());
    sync_wm();
    EXPECT_EQ(try_grab_button(w, 2, 0x04), XCB_ACCESS);  // any button, any modifier
    ASSERT_TRUE(c->ungrab_button(w).ok());
    sync_wm();
    EXPECT_EQ(try_grab_button(w, 2, 0x04), 0);
}

TEST_F(RequestTest, ConfigureMapUnmapAndBorder) {
    xcb_window_t w = make_window(0, 0, 50, 50);
    ASSERT_TRUE(c->configure_window(w, -20, 30, 400, 300, 3).ok());
    sync_wm();
    Geometry g = geometry(w);
    EXPECT_EQ(g.x, -20);
    EXPECT_EQ(g.y, 30);
    EXPECT_EQ(g.width, 400u);
    EXPECT_EQ(g.height, 300u);
    EXPECT_EQ(g.border, 3u);

    ASSERT_TRUE(c->configure_window(w, 100, 100, 200, 150, 0).ok());
    ASSERT_TRUE(c->set_border(w, 4, 0x00FF00).ok());
    ASSERT_TRUE(c->map_window(w).ok());
    sync_wm();
    EXPECT_EQ(map_state(w), XCB_MAP_STATE_VIEWABLE);
    EXPECT_EQ(geometry(w).border, 4u);
    EXPECT_EQ(pixel(c->root, 101, 101), 0x00FF00u);  // inside the border
    EXPECT_EQ(pixel(c->root, 110, 110), 0x000000u);  // the window itself

    ASSERT_TRUE(c->unmap_window(w).ok());
    ASSERT_TRUE(c->clear_root_area(0, 0, 1920, 1080).ok());
    sync_wm();
    EXPECT_EQ(map_state(w), XCB_MAP_STATE_UNMAPPED);
    EXPECT_TRUE(wm_errors().empty());

    // Where it is, and whether vop watches it: another client's window, such as one that took the id of a
    // window destroyed, is not watched until vop selects events on it.
    auto place = vop::x11::window_place(*c, w);
    ASSERT_TRUE(place && *place);
    EXPECT_EQ((*place)->parent, c->root);
    EXPECT_FALSE((*place)->mapped || (*place)->watched);
    ASSERT_TRUE(c->select_input(w, XCB_EVENT_MASK_STRUCTURE_NOTIFY).ok());
    EXPECT_TRUE(vop::x11::window_place(*c, w).value().value_or(vop::x11::WindowPlace{}).watched);
    xcb_destroy_window(client, w);
    sync(client);
    EXPECT_FALSE(vop::x11::window_place(*c, w).value().has_value());
}

TEST_F(RequestTest, PointerWarps) {
    xcb_window_t w = make_window(200, 100, 101, 51);
    xcb_map_window(client, w);
    sync(client);
    ASSERT_TRUE(c->warp_pointer_to_window(w).ok());
    sync_wm();
    Pointer p = pointer(w);
    EXPECT_EQ(p.win_x, 50);  // halves round down
    EXPECT_EQ(p.win_y, 25);

    ASSERT_TRUE(c->warp_pointer(700, 500).ok());
    sync_wm();
    p = pointer(c->root);
    EXPECT_EQ(p.root_x, 700);
    EXPECT_EQ(p.root_y, 500);

    // A window that does not exist: a reply error that says so, and the pointer stays.
    auto r = c->warp_pointer_to_window(0x7fffff);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), Error::Kind::Reply);
    EXPECT_TRUE(r.error().window_gone());
    p = pointer(c->root);
    EXPECT_EQ(p.root_x, 700);
}

TEST_F(RequestTest, PointerGrabReportsStatusButSucceeds) {
    ASSERT_TRUE(c->grab_pointer(c->cursors.move).ok());
    EXPECT_TRUE(logged(log::Level::Debug, "grab_pointer result: Success"));
    xcb_ungrab_pointer(c->conn, XCB_CURRENT_TIME);
    sync_wm();

    // Held by another client: refused, still a success for the caller.
    auto other = xcb_grab_pointer_reply(
        client,
        xcb_grab_pointer(client, 0, c->root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, 0),
        nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->status, XCB_GRAB_STATUS_SUCCESS);
    free(other);
    records.clear();
    ASSERT_TRUE(c->grab_pointer(std::nullopt).ok());
    EXPECT_TRUE(logged(log::Level::Debug, "grab_pointer result: AlreadyGrabbed"));
}

TEST_F(RequestTest, CursorsAndEventMask) {
    xcb_window_t w = make_window();
    ASSERT_TRUE(c->set_window_cursor(w, c->cursors.top_left).ok());
    ASSERT_TRUE(c->clear_window_cursor(w).ok());
    EXPECT_TRUE(logged(log::Level::Debug, fmt::format("set_window_cursor: window={} cursor={}", w,
                                                      c->cursors.top_left)));
    EXPECT_TRUE(logged(log::Level::Debug, fmt::format("clear_window_cursor: window={}", w)));

    ASSERT_TRUE(c->select_input(w, 0x620010).ok());
    sync_wm();
    auto attrs = xcb_get_window_attributes_reply(c->conn, xcb_get_window_attributes(c->conn, w), nullptr);
    ASSERT_NE(attrs, nullptr);
    EXPECT_EQ(attrs->your_event_mask, 0x620010u);
    free(attrs);
    EXPECT_TRUE(wm_errors().empty());
}

TEST_F(RequestTest, KeycodeFromKeysym) {
    // Put one private keysym on two keycodes: the lower one is found.
    const uint32_t keysym = 0x1008FFAA;
    auto map = xcb_get_keyboard_mapping_reply(client, xcb_get_keyboard_mapping(client, 200, 1), nullptr);
    ASSERT_NE(map, nullptr);
    const uint8_t per = map->keysyms_per_keycode;
    free(map);
    std::vector<xcb_keysym_t> row(per, 0);
    row[per > 1 ? 1 : 0] = keysym;  // not only the first column is scanned
    for (uint8_t code : {220, 200})
        xcb_change_keyboard_mapping(client, 1, code, per, row.data());
    sync(client);

    EXPECT_EQ(c->keycode_from_keysym(keysym), std::optional<uint8_t>(200));
    EXPECT_EQ(c->keycode_from_keysym(0x1008FFAB), std::nullopt);
    auto a = c->keycode_from_keysym(0x61);  // 'a' is on the default keymap
    ASSERT_TRUE(a.has_value());
    EXPECT_GE(*a, 8);
}

TEST_F(RequestTest, SaveSetRescuesWindowWhenTheManagerGoes) {
    xcb_window_t w = make_window(10, 10, 50, 50);
    // The manager reparents a client into a window it owns, then dies.
    xcb_window_t frame = xcb_generate_id(c->conn);
    xcb_create_window(c->conn, XCB_COPY_FROM_PARENT, frame, c->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    ASSERT_TRUE(c->add_to_save_set(w).ok());
    xcb_reparent_window(c->conn, w, frame, 0, 0);
    sync_wm();
    ASSERT_EQ(parent(w), frame);
    const xcb_window_t root = c->root;
    c.reset();
    EXPECT_TRUE(test::wait_until([&] { return parent(w) == root; }));
    EXPECT_TRUE(exists(w));
}

}  // namespace
}  // namespace vop::x11test
