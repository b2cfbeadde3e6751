// Fixture of the X-layer tests: a private Xvfb, the Connection under test and a raw xcb client.
#pragma once

#include "logging.hpp"
#include "x11/connection.hpp"
#include "x_server.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vop::x11test {

struct Record {
    log::Level level;
    std::string target;
    std::string msg;
};

class X11Test : public ::testing::Test {
protected:
    // Starts the server, points DISPLAY at it, connects the Connection under test and a plain client.
    void start(const std::vector<std::string>& extra = {}) {
        server_ = std::make_unique<test::XServer>(extra);
        connect(server_->display());
    }
    // Points DISPLAY at a running server and connects the Connection under test and a plain client.
    void connect(const std::string& display) {
        display_ = display;
        setenv("DISPLAY", display.c_str(), 1);
        log::set_test_sink([this](log::Level l, std::string_view t, std::string_view m) {
            records.push_back({l, std::string(t), std::string(m)});
        });
        auto made = Connection::create();
        ASSERT_TRUE(made.ok()) << made.error().to_string();
        c = std::move(made.value());
        client = xcb_connect(display.c_str(), nullptr);
        ASSERT_EQ(xcb_connection_has_error(client), 0);
        records.clear();
    }
    void SetUp() override { start(); }
    void TearDown() override {
        log::set_test_sink({});
        if (client) xcb_disconnect(client);
        c.reset();
        server_.reset();
    }

    // A top-level window of the test client, unmapped.
    xcb_window_t make_window(int16_t x = 0, int16_t y = 0, uint16_t w = 100, uint16_t h = 100) {
        xcb_window_t win = xcb_generate_id(client);
        const uint32_t back = 0x000000;
        xcb_create_window(client, XCB_COPY_FROM_PARENT, win, c->root, x, y, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &back);
        sync(client);
        return win;
    }
    xcb_atom_t atom(const char* name) {
        auto r = xcb_intern_atom_reply(client, xcb_intern_atom(client, 0, strlen(name), name), nullptr);
        xcb_atom_t a = r ? r->atom : 0;
        free(r);
        return a;
    }
    void set_bytes(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, const std::string& bytes) {
        xcb_change_property(client, XCB_PROP_MODE_REPLACE, w, prop, type, 8, bytes.size(), bytes.data());
        sync(client);
    }
    void set_u32(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, const std::vector<uint32_t>& v) {
        xcb_change_property(client, XCB_PROP_MODE_REPLACE, w, prop, type, 32, v.size(), v.data());
        sync(client);
    }
    // Raw bytes and type of a property as the test client sees them.
    std::string get_bytes(xcb_window_t w, xcb_atom_t prop, xcb_atom_t* type = nullptr) {
        auto r = xcb_get_property_reply(client, xcb_get_property(client, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20),
                                        nullptr);
        if (!r) return {};
        if (type) *type = r->type;
        std::string out(static_cast<const char*>(xcb_get_property_value(r)),
                        static_cast<size_t>(xcb_get_property_value_length(r)));
        free(r);
        return out;
    }
    std::vector<uint32_t> get_u32(xcb_window_t w, xcb_atom_t prop) {
        std::string b = get_bytes(w, prop);
        std::vector<uint32_t> v(b.size() / 4);
        std::memcpy(v.data(), b.data(), v.size() * 4);
        return v;
    }
    // A round trip: every request sent before has been processed.
    static void sync(xcb_connection_t* x) { free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr)); }
    void sync_wm() {
        ASSERT_TRUE(c->flush().ok());
        sync(c->conn);
    }

    struct Geometry {
        int x, y;
        unsigned width, height, border;
    };
    Geometry geometry(xcb_window_t w) {
        auto r = xcb_get_geometry_reply(client, xcb_get_geometry(client, w), nullptr);
        if (!r) return {-1, -1, 0, 0, 0};
        Geometry g{r->x, r->y, r->width, r->height, r->border_width};
        free(r);
        return g;
    }
    bool exists(xcb_window_t w) {
        auto r = xcb_get_geometry_reply(client, xcb_get_geometry(client, w), nullptr);
        free(r);
        return r != nullptr;
    }
    xcb_window_t parent(xcb_window_t w) {
        auto r = xcb_query_tree_reply(client, xcb_query_tree(client, w), nullptr);
        xcb_window_t p = r ? r->parent : 0;
        free(r);
        return p;
    }
    uint8_t map_state(xcb_window_t w) {
        auto r = xcb_get_window_attributes_reply(client, xcb_get_window_attributes(client, w), nullptr);
        uint8_t s = r ? r->map_state : 0xFF;
        free(r);
        return s;
    }
    // One pixel of a window's contents (24-bit colour).
    uint32_t pixel(xcb_window_t w, int16_t x, int16_t y) {
        auto r = xcb_get_image_reply(client, xcb_get_image(client, XCB_IMAGE_FORMAT_Z_PIXMAP, w, x, y, 1, 1, ~0u),
                                     nullptr);
        if (!r) return 0xFFFFFFFF;
        uint32_t v = 0;
        std::memcpy(&v, xcb_get_image_data(r), std::min<int>(4, xcb_get_image_data_length(r)));
        free(r);
        return v & 0xFFFFFF;
    }
    // The pixels of a rectangle of a window, row by row (24-bit colours), in one request.
    std::vector<uint32_t> pixels(xcb_window_t w, int16_t x, int16_t y, uint16_t width, uint16_t height) {
        auto r = xcb_get_image_reply(
            client, xcb_get_image(client, XCB_IMAGE_FORMAT_Z_PIXMAP, w, x, y, width, height, ~0u), nullptr);
        std::vector<uint32_t> out;
        if (!r) return out;
        const uint8_t* data = xcb_get_image_data(r);
        const size_t n = static_cast<size_t>(xcb_get_image_data_length(r)) / 4;
        for (size_t i = 0; i < n; ++i) {
            uint32_t v;
            std::memcpy(&v, data + i * 4, 4);
            out.push_back(v & 0xFFFFFF);
        }
        free(r);
        return out;
    }
    // Stdout of an external command run against the server under test.
    std::string run(const std::vector<std::string>& argv) {
        auto r = test::run_command(display_, argv);
        EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
        return r.out;
    }
    bool logged(log::Level level, const std::string& msg) const {
        for (const auto& r : records)
            if (r.level == level && r.msg == msg) return true;
        return false;
    }
    size_t count_logged(const std::string& part) const {
        size_t n = 0;
        for (const auto& r : records) n += r.msg.find(part) != std::string::npos;
        return n;
    }

    std::unique_ptr<Connection> c;
    xcb_connection_t* client = nullptr;
    std::vector<Record> records;
    std::string display_;

private:
    std::unique_ptr<test::XServer> server_;
};

}  // namespace vop::x11test
