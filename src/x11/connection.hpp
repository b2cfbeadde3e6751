// Connection: the one X connection, with its root window, atoms, cursors and screen size.
#pragma once

#include "core/monitor.hpp"
#include "x11/error.hpp"
#include "x11/own_unmaps.hpp"
#include "x11/properties.hpp"
#include "x11/stacking.hpp"

#include <array>
#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct xcb_connection_t;

namespace vop {

using Window = uint32_t;
using Atom = uint32_t;

// The 31 atoms in intern order.
#define VOP_ATOMS(X)                                                                                   \
    X(WM_PROTOCOLS) X(WM_DELETE_WINDOW) X(WM_TRANSIENT_FOR) X(WM_HINTS) X(WM_NORMAL_HINTS)              \
    X(_NET_WM_WINDOW_TYPE) X(_NET_WM_WINDOW_TYPE_DIALOG) X(_NET_WM_WINDOW_TYPE_UTILITY)                 \
    X(_NET_WM_WINDOW_TYPE_TOOLBAR) X(_NET_WM_WINDOW_TYPE_SPLASH) X(_NET_WM_WINDOW_TYPE_NOTIFICATION)    \
    X(_NET_WM_WINDOW_TYPE_DOCK) X(_NET_WM_WINDOW_TYPE_DESKTOP) X(_NET_WM_STATE) X(_NET_WM_STATE_MODAL)  \
    X(_NET_WM_STATE_FULLSCREEN) X(_NET_SUPPORTED) X(_NET_SUPPORTING_WM_CHECK) X(_NET_CLIENT_LIST)       \
    X(_NET_CLIENT_LIST_STACKING) X(_NET_CLOSE_WINDOW) X(_NET_WM_NAME) X(_NET_NUMBER_OF_DESKTOPS)        \
    X(_NET_CURRENT_DESKTOP) X(_NET_DESKTOP_NAMES) X(_NET_WM_DESKTOP) X(_NET_ACTIVE_WINDOW)              \
    X(UTF8_STRING) X(_NET_WM_BYPASS_COMPOSITOR) X(_NET_WM_STRUT) X(_NET_WM_STRUT_PARTIAL)

struct Atoms {
#define VOP_ATOM_FIELD(name) Atom name = 0;
    VOP_ATOMS(VOP_ATOM_FIELD)
#undef VOP_ATOM_FIELD
};
inline constexpr size_t kAtomCount = 31;
extern const std::array<const char*, kAtomCount> kAtomNames;

struct Cursors {
    uint32_t normal = 0, move = 0, top_left = 0, top_right = 0, bottom_left = 0, bottom_right = 0, left = 0,
             right = 0, top = 0, bottom = 0;
};

class Connection {
public:
    // Connects to the server named by DISPLAY, interns the atoms and creates the cursors.
    static XResult<std::unique_ptr<Connection>> create();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Takes SubstructureRedirect on the root window.
    XResult<void> become_wm();
    XResult<void> flush();
    // Error::Connection when the connection has broken, else success.
    XResult<void> check() const;

    // Crossing events carry the sequence number of the last request of ours the server had processed.
    // Every request that can change the window under the pointer (configure, map, unmap, reparent, destroy,
    // warp, kill) goes out through the functions of this class that note it; those sent between two
    // flushes form a batch, and flush() ends each batch with a NoOperation. A crossing whose number lies
    // within a batch, from its first such request to its last, was caused by vop; the user's crossings carry
    // numbers outside every batch, whatever vop sent after them.
    // `sequence` is an event's full (widened) sequence number; events are asked about in the order they came.
    bool caused_by_own_request(uint32_t sequence);

    xcb_connection_t* conn = nullptr;
    // The root's children in stacking order, from the root's notifications; the requests below that may
    // change it (restack, reparent, destroy, and frame creation) tell it that they were sent.
    StackMirror stack;
    // The restacks sent whose outcome is still to be asked for (refused_restacks), and how many refused
    // restacks in a row the ones sent now redo.
    SentRestacks restacks;
    uint8_t restack_attempt = 0;
    // The unmaps vop's own requests caused (UnmapWindow, and ReparentWindow of a mapped window), so that their
    // UnmapNotify is told from a client's.
    OwnUnmaps own_unmaps;
    unsigned screen_num = 0;
    Window root = 0;
    Atoms atoms;
    Cursors cursors;
    uint16_t screen_width = 0;
    uint16_t screen_height = 0;
    // Also read off the screen at connection time, for frames and the root background.
    uint32_t black_pixel = 0;
    uint32_t white_pixel = 0;
    uint8_t root_depth = 0;
    uint32_t root_visual = 0;

    // Window and input requests (requests.cpp). Queued only; the caller flushes.
    XResult<void> grab_key(uint16_t modifiers, uint8_t keycode);
    XResult<void> grab_button(Window window);
    XResult<void> ungrab_button(Window window);
    XResult<void> grab_mod_buttons();
    XResult<void> set_window_cursor(Window window, uint32_t cursor);
    XResult<void> clear_window_cursor(Window window);
    XResult<void> warp_pointer_to_window(Window window);
    XResult<void> warp_pointer(int16_t x, int16_t y);
    // The border colour, and the border width when it differs from the one vop last gave the window.
    XResult<void> set_border(Window window, uint32_t border_width, uint32_t colour);
    XResult<void> clear_root_area(int16_t x, int16_t y, uint16_t width, uint16_t height);
    XResult<void> configure_window(Window window, int16_t x, int16_t y, uint16_t width, uint16_t height,
                                   uint32_t border_width);
    // ConfigureWindow with the fields of `mask`, `values` in protocol order.
    XResult<void> configure(Window window, uint16_t mask, std::span<const uint32_t> values);
    // ConfigureWindow: `window` just above (or below) `sibling`, noted in `restacks` with what it is for.
    XResult<void> restack(Window window, Window sibling, bool above, RestackFor why);
    // Of the restacks sent before request `sequence`, whose event or reply has been read, those the server
    // refused, oldest first. Asks xcb only for what it already holds: no round trip.
    std::vector<RefusedRestack> refused_restacks(uint32_t sequence);
    XResult<void> map_window(Window window);
    XResult<void> unmap_window(Window window);
    XResult<void> reparent_window(Window window, Window parent, int16_t x, int16_t y);
    XResult<void> destroy_window(Window window);
    // KillClient: the server closes the client's connection, destroying its windows at once.
    XResult<void> kill_client(Window window);
    // Drops what vop remembers of a window that it no longer manages.
    void forget_window(Window window) { border_widths_.erase(window); }
    XResult<void> grab_pointer(std::optional<uint32_t> cursor);
    XResult<void> select_input(Window window, uint32_t event_mask);
    // Puts the window in the save-set, so the server rescues it (reparent to root, map) if vop goes away.
    XResult<void> add_to_save_set(Window window);
    // Takes it out again: a window vop lets go of must not be mapped by the server when vop goes.
    XResult<void> remove_from_save_set(Window window);
    // Whether vop's own connection created the window (a frame, the check window).
    bool created_here(Window window) const { return (window & ~id_mask_) == id_base_; }
    std::optional<uint8_t> keycode_from_keysym(uint32_t keysym);
    bool supports_delete_window(Window window);

    // Client-window properties and the placement policy (properties.cpp). Never fail: false or none.
    bool should_float(Window window);
    bool should_ignore(Window window);
    // Whether its _NET_WM_WINDOW_TYPE says desktop (a window of desktop icons or a wallpaper).
    bool is_desktop(Window window);
    std::optional<WmClass> get_wm_class(Window window);
    std::optional<std::string> get_window_title(Window window);
    std::optional<WmHints> get_wm_hints(Window window);
    // The window WM_TRANSIENT_FOR names; none when it is missing, malformed or names no window.
    std::optional<Window> get_transient_for(Window window);
    // The atoms of _NET_WM_STATE; empty when it is missing or not a list of atoms.
    std::vector<Atom> get_wm_state(Window window);
    // Each side is clamped to the screen size, so a hostile strut cannot wrap the work area.
    std::optional<Strut> get_strut(Window window);

    // EWMH publishing (ewmh.cpp). Queued only; the caller flushes.
    XResult<Window> setup_wm_check();
    XResult<void> set_current_desktop(uint32_t index);
    XResult<void> set_desktop_names(const std::vector<std::string>& names);
    XResult<void> set_active_window(std::optional<Window> window);

    // RandR (randr.cpp). The extension may be absent; a RandR request then would close the connection.
    bool has_randr() const;
    // First event code of RandR, none without the extension.
    std::optional<uint8_t> randr_event_base() const;
    // Asks for ScreenChange and OutputChange notifications on the root window.
    XResult<void> select_randr_input();
    // Connected outputs with a CRTC, left to right, at most kMaxMonitors; may be empty.
    XResult<std::vector<Monitor>> detect_monitors();
    // Reads the root window's size again (RandR grows and shrinks the screen); keeps the old one on failure.
    void update_screen_size();

private:
    Connection() = default;
    XResult<void> create_cursors();
    // Notes one request of the current batch; `cookie` is its sequence number.
    XResult<void> window_change(uint32_t sequence);
    struct Batch {
        uint32_t first = 0, last = 0;
    };
    std::deque<Batch> batches_;  // oldest first, pruned as events pass them
    bool batch_open_ = false;    // a NoOperation is owed at the next flush
    std::unordered_map<Window, uint32_t> border_widths_;  // the width vop last gave each managed window
    uint32_t id_base_ = 0, id_mask_ = 0;                  // the ids this connection gives its windows
};

// Sorts found monitors left to right (stable), keeps the first kMaxMonitors and logs the result.
std::vector<Monitor> arrange_monitors(std::vector<Monitor> found);

}  // namespace vop
