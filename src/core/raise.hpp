// Where raised windows go in the root's stacking order: pure planning, no X.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace vop {

using Window = uint32_t;

// One ConfigureWindow: `window` just above `sibling`.
struct Restack {
    Window window = 0;
    Window sibling = 0;
    bool operator==(const Restack&) const = default;
};

// The topmost window of `stack` (bottom to top) that `in_layer` accepts, `except` aside.
std::optional<Window> topmost_in_layer(std::span<const Window> stack, const std::function<bool(Window)>& in_layer,
                                       std::span<const Window> except = {});

// The restacks that bring `wanted` (bottom to top; a window named twice counts once) together above the
// topmost other window of the layer (the windows vop stacks: its managed windows and the docks), each just
// above the one before. Windows only ever go up, and only as far as that: a wanted window already above the
// one before stays, so nothing goes under a window that lay under it (a wallpaper, a menu). With no other
// window of the layer the first wanted window stays where it is.
std::vector<Restack> plan_raise(std::span<const Window> stack, std::span<const Window> wanted,
                                const std::function<bool(Window)>& in_layer);

}  // namespace vop
