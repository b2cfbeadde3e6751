// StackMirror: the stacking order of the root window's children as the server's notifications tell it; and
// the restacks vop sent, until their outcome is known.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace vop {

using Window = uint32_t;

// Kept from the root's substructure notifications, read in order, so that vop knows what lies where without
// asking the server. Only the server's word counts: vop's own restacks are not guessed at when sent (the
// server may have moved other windows first); until they are reported back the mirror is unsure, as it is
// after a notification it cannot place (a sibling it does not know), and the next reader asks the server.
class StackMirror {
public:
    // The children of the root, bottom to top, as the QueryTree sent as request `sequence` reported them.
    void reset(std::vector<Window> bottom_to_top, uint32_t sequence);
    // Whether the order is the server's as of the last event read.
    bool sure() const { return sure_ && !awaiting_; }
    const std::vector<Window>& order() const { return order_; }  // bottom to top
    // The sequence number of the QueryTree it was last reset from.
    uint32_t read_at() const { return reset_at_; }
    // The next reader asks the server.
    void doubt() { sure_ = false; }

    // vop sent request `sequence`, which may change the order.
    void sent(uint32_t sequence);
    // Any event read, by its full sequence number: one later than vop's last change comes after every
    // notification that change caused.
    void saw(uint32_t sequence);

    // The notifications, each with its event's full sequence number; those older than the last reset are
    // in that order already and change nothing.
    // CreateNotify: a new child goes on top.
    void created(Window w, uint32_t sequence);
    // DestroyNotify, or ReparentNotify away from the root.
    void removed(Window w, uint32_t sequence);
    // ReparentNotify onto the root: the child goes on top.
    void reparented_here(Window w, uint32_t sequence) { created(w, sequence); }
    // ConfigureNotify: the child now lies just above `sibling`, at the bottom when it is none (0).
    void restacked(Window w, Window sibling, uint32_t sequence);
    // CirculateNotify: the child went to the top or the bottom.
    void circulated(Window w, bool to_top, uint32_t sequence);

private:
    // False for a notification the last reset holds already; otherwise notes that it was read.
    bool follows(uint32_t sequence);

    std::vector<Window> order_;  // bottom to top
    uint32_t reset_at_ = 0;      // the sequence number of the QueryTree it was last reset from
    uint32_t own_ = 0;           // vop's last request that may change the order
    bool sure_ = false;
    bool awaiting_ = false;  // that request is not yet reported back
};

// What vop restacked a window for: what to do again when the server refuses the restack.
enum class RestackFor : uint8_t { NewWindow, Raise, Desktop };

// One restack vop sent: `window` just above (or below) `sibling`, as request `sequence`.
struct SentRestack {
    uint32_t sequence = 0;
    Window window = 0;
    Window sibling = 0;
    bool above = true;
    RestackFor purpose = RestackFor::Raise;
    uint8_t attempt = 0;  // how many refused restacks this one redoes in a row
    bool operator==(const SentRestack&) const = default;
};

// The restacks whose outcome vop has not yet asked for, oldest first, so that one the server refused can be
// done again against the order as it stands.
class SentRestacks {
public:
    static constexpr size_t kLimit = 256;
    // Notes one; when full, the oldest gives way and is returned (its outcome is then never asked for).
    std::optional<SentRestack> add(const SentRestack& r);
    // Removes and returns those sent before request `sequence`: once an event or reply of that request is
    // read, the server has dealt with them.
    std::vector<SentRestack> take_before(uint32_t sequence);
    size_t size() const { return sent_.size(); }

private:
    std::deque<SentRestack> sent_;
};

// How the server refused a restack: its window is gone (nothing to do), its sibling is gone or no longer a
// sibling (BadWindow naming the sibling, BadMatch: to be done again), or something else.
enum class Refusal { WindowGone, SiblingGone, Other };
Refusal refusal_of(const SentRestack& r, uint8_t error_code, uint32_t resource);

struct RefusedRestack {
    SentRestack restack;
    Refusal refusal = Refusal::Other;
    std::string error;  // the X error, described
};

class Connection;

// The mirror, read afresh from the server when it is unsure (vop's own restacks not yet reported back, or a
// notification it could not follow). False when the server could not be asked.
namespace x11 {
bool stacking_known(Connection& c);
}

}  // namespace vop
