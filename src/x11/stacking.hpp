// StackMirror: the stacking order of the root window's children as the server's notifications tell it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vop {

using Window = uint32_t;

// Kept from the root's substructure notifications, read in order, so that the layout pass knows what is on
// top without asking the server. vop's own requests change it when they are sent, and again when their
// notifications come: until then it may think a window lower than it is, which costs at most one raise too
// many, never one too few. A notification it cannot place (a sibling it does not know) makes it unsure
// until it is reset from a fresh query.
class StackMirror {
public:
    // The children of the root, bottom to top, as a QueryTree reported them.
    void reset(std::vector<Window> bottom_to_top);
    bool sure() const { return sure_; }

    // CreateNotify: a new child goes on top.
    void created(Window w);
    // A ConfigureWindow with stack mode Above and no sibling: a child goes on top; others are no children.
    void raised(Window w);
    // DestroyNotify, or ReparentNotify away from the root.
    void removed(Window w);
    // ReparentNotify onto the root: the child goes on top.
    void reparented_here(Window w) { created(w); }
    // ConfigureNotify: the child now lies just above `sibling`, at the bottom when it is none (0).
    void restacked(Window w, Window sibling);
    // CirculateNotify: the child went to the top or the bottom.
    void circulated(Window w, bool to_top);

    // Whether `order` (bottom to top) is the top of the stack, in that order.
    bool top_is(std::span<const Window> order) const;

private:
    std::vector<Window> order_;  // bottom to top
    bool sure_ = false;
};

}  // namespace vop
