// WindowManager: the whole state of the running window manager and its policies.
#pragma once

#include "config/lua.hpp"
#include "config/settings.hpp"
#include "core/layout_math.hpp"
#include "core/monitor.hpp"
#include "core/resize_math.hpp"
#include "core/workspace.hpp"
#include "x11/connection.hpp"
#include "x11/frame.hpp"
#include "x11/wm_requests.hpp"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct pollfd;

namespace vop {

class IpcServer;
class I3IpcServer;
struct RuleActions;

// Event masks of managed clients: PropertyChange, FocusChange, StructureNotify, EnterWindow, LeaveWindow
// (where the pointer was when something else came over it); floating ones also PointerMotion (for the
// edge-resize cursor).
inline constexpr uint32_t kClientEventMask = 0x620030;
inline constexpr uint32_t kFloatingEventMask = 0x620070;

struct ManagedWindow {
    std::string title;
    std::optional<Window> frame;
    Rect floating_geometry{0, 0, 640, 480};
    size_t workspace = 0;
    Window window = 0;
    std::optional<Window> transient_for;  // WM_TRANSIENT_FOR as it was when the window was managed
    // Whose dialog it is: the first managed window up its WM_TRANSIENT_FOR chain, and when that one goes, its
    // owner (a dialog of a closed dialog stays a dialog of the window under them).
    std::optional<Window> owner;
    bool floating = false;
    bool fullscreen = false;
    bool floating_before_fullscreen = false;
    bool urgent = false;
};

// What the last pointer crossing of vop's windows leaves to compare with: the client it named and where the
// pointer was. The pointer leaving a window for one that came over it (or for a grab) and entering it again
// from there at the same spot has not moved.
struct CrossingMemory {
    Window client = 0;  // 0: nothing to compare with
    int16_t x = 0, y = 0;
};

struct DragState {
    enum class Kind { Move, Resize } kind = Kind::Move;
    Window window = 0;
    int16_t start_x = 0, start_y = 0;
    Rect start_geometry;
    ResizeEdge edge = ResizeEdge::None;
};

using Clock = std::chrono::steady_clock;

// Brings a floating geometry whose centre lies off `target` onto it, keeping its place relative to the monitor
// among `was` that its centre lay on (centred when none), shrunk only where it does not fit.
void bring_onto(Rect& geometry, Rect target, std::span<const Monitor> was);

class WindowManager {
public:
    static XResult<std::unique_ptr<WindowManager>> create(std::unique_ptr<Connection> connection);
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // The main loop with its set-up and shutdown.
    XResult<void> run();

    XResult<void> refresh_monitors();

    // Layout pass, borders, pointer warps.
    XResult<void> apply_layout();
    XResult<void> update_borders();
    // The border width and title-bar height (none without title bars) window `w` gets on its monitor.
    layout::Decorations decorations_of(Window w) const;
    XResult<void> warp_to_monitor(size_t monitor);
    // A monitor's reserved edges: the bar height when set, else the docks' struts that reach into it.
    layout::Reservation reservation_of(Rect monitor, std::span<const Strut> docks) const;
    // Records whether a monitor's reserved edges leave room to tile in it; warns once when they stop doing so.
    void note_cramped(const std::string& name, const layout::Reservation& r, bool cramped);

    // Managing and unmanaging.
    void manage_window(Window w);
    void manage_window_on_workspace(Window w, size_t workspace);
    void manage_window_floating(Window w);
    void manage_window_floating_on_workspace(Window w, size_t workspace);
    std::optional<Window> create_frame_for_window(Window client);
    // After title bars were switched on or off: frames every managed window, or returns every client to
    // the root, then lays out and gives the focused client the input focus again.
    XResult<void> follow_titlebar_setting(bool had_titlebars);
    void unmanage_window(Window w);
    void update_client_lists();

    // Focus, fullscreen, rules.
    XResult<void> set_focus(Window w, bool warp);
    // Focus on nothing: the window that had it gets its click grab back, keys go to the root window and
    // _NET_ACTIVE_WINDOW names no window.
    XResult<void> clear_focus();
    XResult<void> toggle_fullscreen(Window w);
    XResult<void> set_fullscreen(Window w, bool on);
    // Ends the fullscreen of the workspace's fullscreen window unless it is `w` (no layout pass): a
    // workspace has one at most.
    XResult<void> end_other_fullscreen(Window w, size_t workspace);
    // The workspace's fullscreen window; the fullscreen window drawn over `w` (none when `w` is that one or
    // its transient, which shows above it).
    std::optional<Window> fullscreen_on(size_t workspace) const;
    std::optional<Window> fullscreen_cover(Window w) const;
    // A window the user asked for or just put somewhere is not left hidden: the fullscreen window drawn over
    // it leaves fullscreen. True when one did.
    XResult<bool> uncover(Window w);
    // Dialogs and their owners.
    // Whether `w` is a transient of `owner`, directly or through managed transients between them; never of
    // itself, however its owners loop.
    bool is_transient_of(Window w, Window owner) const;
    // The owner of `w`, whose WM_TRANSIENT_FOR names `named`: the first managed window up that chain, a window
    // vop does not manage (a dialog hidden for now) passed through by its own WM_TRANSIENT_FOR.
    std::optional<Window> first_managed_owner(Window w, std::optional<Window> named);
    // The first fullscreen window from `owner` up its chain of owners, `owner` included.
    std::optional<Window> fullscreen_owner(std::optional<Window> owner) const;
    // The dialogs of `owner` on its workspace (dialogs of its dialogs too), bottom to top: tiled ones in tree
    // order, then floating ones in list order.
    std::vector<Window> dialogs_of(Window owner) const;
    // A record about to be kept: whose dialog it is, and the windows naming it that are its dialogs again.
    void find_owner(ManagedWindow& rec);
    // A record gone: its dialogs become its owner's. Returns those on its workspace.
    std::vector<Window> hand_on_dialogs(const ManagedWindow& gone);
    // Whether the window's own _NET_WM_STATE holds the fullscreen atom (read from the server).
    bool asks_fullscreen(Window w);
    RuleActions check_rules(Window w);

    // Workspace and monitor commands.
    XResult<void> switch_workspace_impl(size_t index, bool warp);
    // After the current workspace changed from `old`: _NET_CURRENT_DESKTOP is written and the change is
    // queued for the i3 "focus" event, which the event loop sends. Nothing when it did not change.
    XResult<void> announce_current_workspace(size_t old);
    // The focused monitor becomes `monitor`, and with it the current workspace, announced.
    XResult<void> set_focused_monitor(size_t monitor);
    // Focuses `w` (the pointer warped into it); without a window clears the focus and warps the pointer
    // to the focused monitor's centre.
    XResult<void> focus_or_warp(std::optional<Window> w, bool warp);
    XResult<void> move_to_workspace(size_t index);
    XResult<void> focus_monitor(std::string_view target);
    XResult<void> move_to_monitor(std::string_view target);
    // Takes `w` out of its workspace into the one monitor `m` shows, its floating place brought onto that
    // monitor; maps, focuses and lays out nothing.
    XResult<void> carry_to_monitor(Window w, size_t m);

    // Floating windows.
    XResult<void> toggle_floating(Window w);
    bool is_floating(Window w) const;
    // Puts a floating window at the top of its workspace's list and restacks.
    XResult<void> raise_window(Window w);

    // Stacking. vop raises only within its layer, its managed windows and the docks, so that the windows
    // lying above that layer (menus, tooltips, notifications) stay above it.
    // The raise step: on each shown workspace the floating windows in list order, then the fullscreen window,
    // then its transients, brought above the rest of the layer.
    XResult<void> apply_stacking();
    // A client or dock new to the root's children (or its new frame) goes to the top of the layer.
    XResult<void> stack_new(Window w);
    // A desktop window (icons, a wallpaper) goes just under the lowest window of the layer, if it lies higher.
    XResult<void> stack_desktop(Window w);
    // The mirror of the stacking order brought up to date (read afresh when unsure), the restacks the server
    // refused meanwhile redone first; false when the server could not be asked.
    XResult<bool> order_known();
    // Redoes what refused restacks were for (a new window's place, the raise step, a desktop's place) against
    // the order as it stands, when their sibling had gone; logs each refusal.
    XResult<void> redo_refused(const std::vector<RefusedRestack>& refused);
    // The root's child that stands for a managed window: its frame, or itself.
    Window top_level(Window w) const { return frame_manager.frame_for_client(w).value_or(w); }
    bool in_stacking_layer(Window w) const;
    // Brings what goes with a managed window's floating state in line with it: the event mask (pointer
    // motion for the edge zone), the edge cursor, and the click grab, which every window but the focused
    // one holds and a focused floating one keeps for its edge zone.
    XResult<void> follow_floating_state(Window w);

    XResult<void> close_window(Window w);

    // Directional commands relative to the focused window.
    XResult<void> focus_direction(Direction d);
    XResult<void> focus_adjacent_monitor(Direction d);
    XResult<void> swap_direction(Direction d);
    XResult<void> resize_direction(Direction d, float amount);
    XResult<void> equalize();

    // Key-binding actions and the commands only they reach.
    XResult<void> execute_action(const Action& action);
    XResult<void> cycle_floating();
    XResult<void> force_close_window(Window w);
    // Re-reads init.lua, re-grabs keys, rewrites the compositor file, restarts or reloads the bar. A script
    // that fails leaves the running configuration as it was: its error text (that of its ERROR record) is
    // the result, not an error of the window manager.
    XResult<std::optional<std::string>> reload_config();
    // Shows the resize cursor when the pointer is in a floating window's edge zone.
    XResult<void> update_edge_cursor(Window w, int16_t x, int16_t y);

    // JSON views of the state (sorted-key maps).
    nlohmann::json get_workspaces_json() const;
    nlohmann::json get_tree_json() const;
    nlohmann::json get_monitors_json() const;
    nlohmann::json get_focused_json() const;

    // One X event, already read off the connection (an xcb_generic_event_t).
    XResult<void> handle_event(const void* event);

    // i3 workspace and output events to subscribed clients; the queued changes of the current workspace
    // go out in order.
    void publish_workspace_changes();
    void broadcast_i3_workspace_event(std::string_view change, size_t current, std::optional<size_t> old);
    void broadcast_i3_output_event();
    // The i3 server's socket path; none when that server did not start.
    std::optional<std::string> i3_socket_path() const;

    // Helpers shared by the policies.
    std::optional<size_t> monitor_showing(size_t workspace) const;
    bool is_shown(size_t workspace) const { return monitor_showing(workspace).has_value(); }
    std::optional<Window> focus_pick(size_t workspace) const;
    const Monitor& focused_monitor_ref() const { return monitors[focused_monitor]; }
    // The area of the monitor showing the workspace; the focused monitor's when none shows it.
    Rect home_rect(size_t workspace) const { return monitors[monitor_showing(workspace).value_or(focused_monitor)].rect; }
    // Whether client `w`, found at `place`, is still where vop put it (on the root or in its frame) and still
    // the window vop watches: one its client put into a window of its own meanwhile, or destroyed (its id maybe
    // another window's already), is not vop's to map, unmap or reparent (its events, still unread, let it go).
    bool in_hand(Window w, const std::optional<x11::WindowPlace>& place) const;
    // Those of `clients` in hand, asked of the server in one round trip.
    XResult<std::vector<Window>> in_hand(std::vector<Window> clients);
    // Unmaps every window (and frame) of a workspace; the connection knows those unmaps for its own.
    XResult<void> hide_workspace(size_t workspace);
    // Maps every window of a workspace, frames first, its floating windows brought to its monitor.
    XResult<void> show_workspace(size_t workspace);
    // Brings the workspace's floating windows whose centre lies off `target` onto it (see bring_onto); `was`
    // are the monitors they may have lain on, the present ones unless they just changed.
    void bring_floating_to(size_t workspace, Rect target, std::span<const Monitor> was);
    void bring_floating_to(size_t workspace, Rect target) { bring_floating_to(workspace, target, monitors); }
    // Writes the compositor configuration and restarts the compositor (failures only logged).
    void start_compositor();
    // Clears the root, lays out and focuses the model's choice (or warps to the monitor) after a window left.
    XResult<void> refocus_after_loss();
    // Unmanages a withdrawn or destroyed client; refocuses only when it was on screen or focused.
    XResult<void> forget_window(Window w);
    // Lets go of a client its client withdrew or reparented away, leaving it where its client put it (a map of
    // vop's own since the client's unmap is taken back), then forgets it.
    XResult<void> release_window(Window w);
    // Starts following a dock or desktop window shown unmanaged: its strut is read now and again whenever its
    // client changes it. True when it reserves screen edges.
    XResult<bool> follow_dock(Window w);
    // Re-reads a followed dock's strut after its client changed it; lays out when the reservation changed.
    XResult<void> reread_strut(Window w);
    // Paints a framed client's whole title bar in the colours of its focus state.
    XResult<void> paint_titlebar(Window client);

    std::unique_ptr<Connection> connection;
    Config config;
    std::array<Workspace, kWorkspaceCount> workspaces;
    std::vector<Monitor> monitors;
    std::vector<Window> focus_history;  // most recently focused first
    std::unique_ptr<IpcServer> ipc_server;
    std::unique_ptr<I3IpcServer> i3_ipc_server;
    std::optional<Window> focused;
    FrameManager frame_manager;
    Clock::time_point last_warp;
    std::unique_ptr<LuaConfig> lua_config;
    LuaStateHandle lua_state;
    std::optional<std::pair<Window, ResizeEdge>> edge_cursor;
    std::map<Window, ManagedWindow> windows;
    std::map<Window, Strut> struts;
    // Dock and desktop windows on screen, whether or not they reserve edges: their strut changes are followed.
    std::set<Window> docks;
    // Monitors (by name) whose reserved edges were too deep to tile in: warned about once, then ignored.
    std::set<std::string> cramped_monitors;
    std::map<std::pair<Window, Direction>, Window> focus_memory;
    size_t current_workspace = 0;
    size_t focused_monitor = 0;
    std::optional<pid_t> bar_process;
    // The wait status of a bar the main loop collected: its pid is gone and must never be signalled.
    std::optional<int> bar_exit_status;
    std::optional<DragState> drag_state;
    CrossingMemory last_crossing;
    // Changes of the current workspace not yet told to i3 clients: (current, old) in order.
    std::vector<std::pair<size_t, size_t>> workspace_changes;
    bool running = true;

    // Event handlers, one per X event kind (the dispatch table lives with the event loop).
    XResult<void> handle_map_request(const void* ev);
    XResult<void> handle_configure_request(const void* ev);
    XResult<void> handle_unmap_notify(const void* ev);
    XResult<void> handle_destroy_notify(const void* ev);
    XResult<void> handle_expose(const void* ev);
    XResult<void> handle_property_notify(const void* ev);
    XResult<void> handle_client_message(const void* ev);
    XResult<void> handle_randr_notify(const void* ev);
    XResult<void> handle_screen_change(const void* ev);
    XResult<void> handle_key_press(const void* ev);
    XResult<void> handle_button_press(const void* ev);
    XResult<void> handle_button_release(const void* ev);
    XResult<void> handle_motion_notify(const void* ev);
    XResult<void> handle_enter_notify(const void* ev);
    XResult<void> handle_leave_notify(const void* ev);
    XResult<void> handle_create_notify(const void* ev);
    XResult<void> handle_configure_notify(const void* ev);
    XResult<void> handle_reparent_notify(const void* ev);
    XResult<void> handle_circulate_notify(const void* ev);

    // Start-up steps before the first tick.
    XResult<void> setup_grabs();
    XResult<void> setup_ewmh_hints();
    XResult<void> adopt_existing_windows();

private:
    WindowManager() = default;
    // One tick's IPC work and the wait at its end.
    void serve_ipc();
    // Adds the IPC descriptors to `fds`; true when a server already holds a complete request.
    bool ipc_wants_tick(std::vector<struct pollfd>& fds) const;
    void wait_for_input();
    void shutdown();
    // An event xcb had already read when the loop looked for more input; handled first next tick.
    void* peeked_event_ = nullptr;
    void manage_common(Window w, size_t workspace, bool floating, Rect floating_geometry);
    void write_wm_desktop(Window w, size_t workspace);
    // Flips a window's fullscreen flag with its state property, compositor hint and the place it returns
    // to; no layout pass.
    XResult<void> flip_fullscreen(Window w);
};

}  // namespace vop
