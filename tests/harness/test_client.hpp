// A small X client for tests: makes top-level windows with chosen properties and reads server state back.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct xcb_connection_t;

namespace vop::test {

// What a new top-level window carries. Absent fields are not set on the window.
struct WindowSpec {
    int16_t x = 0, y = 0;
    uint16_t width = 200, height = 100;
    uint16_t border_width = 0;
    bool override_redirect = false;
    std::optional<std::string> instance{}, class_name{};  // WM_CLASS (set when either is given)
    std::optional<std::string> net_wm_name{};          // _NET_WM_NAME (UTF8_STRING), raw bytes
    std::optional<std::string> wm_name{};              // WM_NAME (STRING), raw bytes
    std::vector<std::string> window_type{};            // _NET_WM_WINDOW_TYPE atom names
    std::vector<std::string> state{};                  // _NET_WM_STATE atom names
    std::optional<uint32_t> transient_for{};           // WM_TRANSIENT_FOR
    std::optional<std::array<uint32_t, 4>> strut{};    // _NET_WM_STRUT: left, right, top, bottom
    std::optional<std::array<uint32_t, 12>> strut_partial{};  // _NET_WM_STRUT_PARTIAL
    std::optional<bool> urgent{};                      // WM_HINTS urgency (WM_HINTS set when urgent or input is given)
    std::optional<bool> input{};                       // WM_HINTS input
    std::vector<std::string> protocols{};              // WM_PROTOCOLS atom names (WM_DELETE_WINDOW, WM_TAKE_FOCUS)
    uint32_t events = 0;                               // more events selected, as applications do (ButtonPress)
};

// Absolute geometry: x, y are the root coordinates of the window's outer corner (border included, as
// xwininfo's "Absolute upper-left"); width and height the inside size.
struct Geometry {
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    unsigned border_width = 0;
    bool operator==(const Geometry&) const = default;
    // Whether it lies wholly on a screen of this size, border included.
    bool on_screen(unsigned screen_width, unsigned screen_height) const {
        return x >= 0 && y >= 0 && x + width + 2 * border_width <= screen_width &&
               y + height + 2 * border_width <= screen_height;
    }
};

struct ClientMessage {
    uint32_t window = 0;
    uint32_t type_atom = 0;
    std::string type;  // its name
    std::array<uint32_t, 5> data{};
};

// A ConfigureNotify a window received; synthetic when another client sent it (a window manager's answer).
struct ConfigureNotify {
    uint32_t window = 0;
    Geometry geometry;
    bool synthetic = false;
};

// One connection. Every call flushes; readers wait for their reply. Calls on a window that is gone
// return std::nullopt (readers) or are ignored (writers); the X error is swallowed.
class TestClient {
public:
    // Connects to `display`; throws HarnessError when it cannot.
    explicit TestClient(const std::string& display);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    xcb_connection_t* conn() const { return conn_; }
    uint32_t root() const { return root_; }
    bool connected() const;

    uint32_t atom(const std::string& name);                          // interned (created when missing)
    std::optional<uint32_t> existing_atom(const std::string& name);  // without creating it
    std::string atom_name(uint32_t atom);

    uint32_t create_window(const WindowSpec& desc = {});  // created, properties set, not mapped
    uint32_t open_window(const WindowSpec& desc = {});    // created and mapped
    void map(uint32_t w);
    void unmap(uint32_t w);
    void destroy(uint32_t w);
    // Withdraws as ICCCM asks: unmaps the window, then tells the window manager with a synthetic
    // UnmapNotify sent to the root (the only news it gets when the window was already unmapped).
    void withdraw(uint32_t w);
    // Only that synthetic UnmapNotify (a client that unmapped the window earlier tells the manager now).
    void notify_withdrawn(uint32_t w);
    // Puts the window into `parent`, as tab and plugin hosts embed windows.
    void reparent(uint32_t w, uint32_t parent);
    // While held, map, unmap, destroy, withdraw, reparent and root messages are only queued; letting go sends
    // them in one flush. (Atoms they name must have been interned before: a reply would flush.)
    void hold(bool on);
    // Moves/resizes the way a client asks (a ConfigureRequest when a window manager redirects).
    void configure(uint32_t w, int16_t x, int16_t y, uint16_t width, uint16_t height);

    void set_property(uint32_t w, const std::string& name, const std::string& type, uint8_t format,
                      const void* data, uint32_t count);
    void set_string(uint32_t w, const std::string& name, const std::string& type, const std::string& bytes);
    void set_atoms(uint32_t w, const std::string& name, const std::vector<std::string>& atom_names);
    void set_cardinals(uint32_t w, const std::string& name, const std::vector<uint32_t>& values);
    void set_window_ids(uint32_t w, const std::string& name, const std::vector<uint32_t>& windows);
    void delete_property(uint32_t w, const std::string& name);
    // WM_HINTS with the urgency and/or input fields.
    void set_wm_hints(uint32_t w, std::optional<bool> urgent, std::optional<bool> input);

    std::optional<std::string> property_bytes(uint32_t w, const std::string& name);
    std::optional<std::vector<uint32_t>> property_u32(uint32_t w, const std::string& name);
    std::optional<std::vector<std::string>> property_atoms(uint32_t w, const std::string& name);
    // Whether the window's own _NET_WM_STATE says it is fullscreen.
    bool says_fullscreen(uint32_t w);
    // The type of the property as an atom name, std::nullopt when it is not set.
    std::optional<std::string> property_type(uint32_t w, const std::string& name);

    std::optional<Geometry> geometry(uint32_t w);
    std::optional<uint8_t> map_state(uint32_t w);  // XCB_MAP_STATE_UNMAPPED / UNVIEWABLE / VIEWABLE
    bool viewable(uint32_t w);
    // The union of every client's event mask on `w` (shows, e.g., that someone holds SubstructureRedirect).
    std::optional<uint32_t> all_event_masks(uint32_t w);
    std::optional<uint32_t> parent(uint32_t w);
    std::vector<uint32_t> children(uint32_t w);  // bottom-to-top stacking order
    uint32_t input_focus();
    // The colour at (x, y) of the root window as shown (children included), as 0xRRGGBB.
    uint32_t root_pixel(int16_t x, int16_t y);

    // ChangeWindowAttributes(event-mask) checked: 0 on success, else the X error code (10 = BadAccess).
    uint8_t select_input_checked(uint32_t w, uint32_t event_mask);
    // A 32-bit ClientMessage of `type` about `w`, sent to the root with SubstructureRedirect|Notify
    // (how EWMH requests reach a window manager).
    void send_root_message(uint32_t w, const std::string& type, std::array<uint32_t, 5> data);
    // Reads the events that arrived and returns the ClientMessages among them (e.g. WM_DELETE_WINDOW).
    std::vector<ClientMessage> take_client_messages();
    // The same for the ConfigureNotify events of the windows made here.
    std::vector<ConfigureNotify> take_configure_notifies();
    // Reads the events that arrived and returns the windows of those of one kind among them: ButtonPress
    // or EnterNotify.
    std::vector<uint32_t> take_events(uint8_t kind);
    // The pointer's root position (QueryPointer).
    std::pair<int, int> pointer();
    // The root's child the pointer is in, 0 when it is on the root itself.
    uint32_t pointer_child();
    // Takes the pointer and keyboard on the root as a launcher does (true: whether both were granted), or
    // lets them go (false).
    bool grab_input(bool on);

    void sync();  // a round trip: every request before it has been processed

private:
    void pump_events();
    void flush_writes();

    xcb_connection_t* conn_ = nullptr;
    bool held_ = false;
    std::map<std::string, uint32_t> atoms_;  // interned once
    uint32_t root_ = 0;
    uint32_t root_visual_ = 0;
    std::vector<ClientMessage> messages_;
    std::vector<ConfigureNotify> configures_;
    std::vector<std::pair<uint8_t, uint32_t>> input_;  // kind and window of pointer events
};

}  // namespace vop::test
