// Connecting to the X server, interning atoms, creating cursors and taking over the root.
#include "x11/connection.hpp"

#include "logging.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace vop {
namespace {
// Batches of window-changing requests remembered for the crossings still to come.
constexpr size_t kMaxBatches = 1024;
constexpr const char* kTarget = "vop::x11::connection";

std::string conn_text(xcb_connection_t* c) { return describe_conn_error(xcb_connection_has_error(c)); }

std::string x_error_text(const xcb_generic_error_t* e) {
    return describe_x_error(e->error_code, e->major_code, e->minor_code, e->resource_id, e->sequence);
}
}  // namespace

const std::array<const char*, kAtomCount> kAtomNames = {
#define VOP_ATOM_NAME(name) #name,
    VOP_ATOMS(VOP_ATOM_NAME)
#undef VOP_ATOM_NAME
};

XResult<std::unique_ptr<Connection>> Connection::create() {
    int screen = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screen);
    int code = xcb_connection_has_error(c);
    if (code == XCB_CONN_CLOSED_INVALID_SCREEN) {
        xcb_disconnect(c);
        return err(Error::no_screens());
    }
    if (code != 0) {
        xcb_disconnect(c);
        return err(Error::connect(describe_conn_error(code)));
    }
    std::unique_ptr<Connection> self(new Connection());
    self->conn = c;  // from here on the destructor closes it on every failure
    self->screen_num = static_cast<unsigned>(screen);

    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    if (screen < 0 || screen >= it.rem) return err(Error::no_screens());
    for (int i = 0; i < screen; ++i) xcb_screen_next(&it);
    const xcb_screen_t* s = it.data;
    self->root = s->root;
    self->screen_width = s->width_in_pixels;
    self->screen_height = s->height_in_pixels;
    self->black_pixel = s->black_pixel;
    self->white_pixel = s->white_pixel;
    self->root_depth = s->root_depth;
    self->root_visual = s->root_visual;
    self->id_base_ = setup->resource_id_base;
    self->id_mask_ = setup->resource_id_mask;

    Atom* slots = reinterpret_cast<Atom*>(&self->atoms);
    static_assert(sizeof(Atoms) == kAtomCount * sizeof(Atom));
    for (size_t i = 0; i < kAtomCount; ++i) {
        auto cookie = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(kAtomNames[i])), kAtomNames[i]);
        VOP_TRY(self->check());
        xcb_generic_error_t* e = nullptr;
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, cookie, &e);
        if (!r) {
            std::string text = e ? x_error_text(e) : conn_text(c);
            std::free(e);
            return err(Error::reply(text));
        }
        slots[i] = r->atom;
        std::free(r);
    }
    VOP_TRY(self->create_cursors());
    log::info(kTarget, "Connected to X server, screen {}x{}", self->screen_width, self->screen_height);
    return self;
}

Connection::~Connection() {
    if (conn) xcb_disconnect(conn);
}

XResult<void> Connection::check() const {
    if (int code = xcb_connection_has_error(conn)) return err(Error::connection(describe_conn_error(code)));
    return {};
}

XResult<void> Connection::create_cursors() {
    uint32_t font = xcb_generate_id(conn);
    if (font == static_cast<uint32_t>(-1)) return err(Error::reply_or_id("resource ids exhausted"));
    xcb_open_font(conn, font, 6, "cursor");
    VOP_TRY(check());
    struct Glyph {
        uint32_t* slot;
        uint16_t glyph;
    };
    const Glyph table[] = {{&cursors.normal, 68},       {&cursors.move, 52},       {&cursors.top_left, 134},
                           {&cursors.top_right, 136},   {&cursors.bottom_left, 12}, {&cursors.bottom_right, 14},
                           {&cursors.left, 70},         {&cursors.right, 96},      {&cursors.top, 138},
                           {&cursors.bottom, 16}};
    for (const Glyph& g : table) {
        uint32_t id = xcb_generate_id(conn);
        if (id == static_cast<uint32_t>(-1)) return err(Error::reply_or_id("resource ids exhausted"));
        xcb_create_glyph_cursor(conn, id, font, font, g.glyph, static_cast<uint16_t>(g.glyph + 1), 0, 0, 0, 0xFFFF,
                                0xFFFF, 0xFFFF);
        VOP_TRY(check());
        *g.slot = id;
    }
    xcb_close_font(conn, font);
    return check();
}

XResult<void> Connection::become_wm() {
    const uint32_t values[] = {black_pixel,
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE,
                               cursors.normal};
    auto cookie = xcb_change_window_attributes_checked(conn, root, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_CURSOR,
                                                       values);
    VOP_TRY(check());
    if (xcb_generic_error_t* e = xcb_request_check(conn, cookie)) {
        bool access = e->error_code == XCB_ACCESS;
        std::string text = x_error_text(e);
        std::free(e);
        if (access) return err(Error::another_wm_running());
        return err(Error::reply(text));
    }
    VOP_TRY(check());
    xcb_clear_area(conn, 0, root, 0, 0, screen_width, screen_height);
    auto pc = xcb_query_pointer(conn, root);
    VOP_TRY(check());
    if (xcb_query_pointer_reply_t* p = xcb_query_pointer_reply(conn, pc, nullptr)) {
        const int16_t x = p->root_x, y = p->root_y;
        std::free(p);
        VOP_TRY(warp_pointer(x, y));
    }
    VOP_TRY(flush());
    log::info(kTarget, "Successfully became window manager");
    return {};
}

XResult<void> Connection::window_change(uint32_t sequence) {
    if (batch_open_) {
        batches_.back().last = sequence;
    } else {
        batches_.push_back({sequence, sequence});
        batch_open_ = true;
        // Only the crossings still unread can fall in a batch; a loop that reads none for a long time
        // keeps the newest ones.
        if (batches_.size() > kMaxBatches) batches_.pop_front();
    }
    return check();
}

bool Connection::caused_by_own_request(uint32_t sequence) {
    auto before = [](uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; };
    // Events come in order: a batch that ended before this event cannot hold a later one.
    while (!batches_.empty() && before(batches_.front().last, sequence)) {
        batches_.pop_front();
        if (batches_.empty()) batch_open_ = false;
    }
    // Batches do not overlap: only the first one left can hold this event.
    return !batches_.empty() && !before(sequence, batches_.front().first);
}

XResult<void> Connection::flush() {
    if (batch_open_) {
        xcb_no_operation(conn);
        batch_open_ = false;
    }
    if (xcb_flush(conn) <= 0) return err(Error::connection(conn_text(conn)));
    return {};
}

}  // namespace vop
