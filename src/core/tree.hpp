// Node: the binary layout tree of one workspace, and the rectangle arithmetic that tiles it.
#pragma once

#include "core/rect.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace vop {

// The 32-bit X window id (same alias as the X layer's; the tree needs no X header).
using Window = uint32_t;

// One window and the rectangle it is given.
using WindowGeometry = std::pair<Window, Rect>;

// A tree of two-way splits. A Leaf holds at most one window (empty only as the root of a
// workspace without tiled windows); a Split divides its rectangle between `first` (left or top)
// and `second` (right or bottom), giving `first` the share `ratio`. Traversals always visit
// `first` before `second` ("tree order"). The tree never checks for duplicate windows.
class Node {
public:
    struct Leaf {
        std::optional<Window> window;
    };
    struct Split {
        bool horizontal = false;  // true: side by side, the width is divided
        float ratio = 0.5f;       // share of the divided length that goes to `first`
        std::unique_ptr<Node> first;
        std::unique_ptr<Node> second;
    };

    static constexpr float kMinRatio = 0.1f;
    static constexpr float kMaxRatio = 0.9f;

    // An empty Leaf: the tree of a new workspace.
    Node() = default;
    static Node leaf(std::optional<Window> w);
    static Node split(bool horizontal, float ratio, Node first, Node second);

    // Deep copies; moves leave an empty Leaf behind.
    Node(const Node& other);
    Node& operator=(const Node& other);
    Node(Node&& other) noexcept;
    Node& operator=(Node&& other) noexcept;
    ~Node() = default;

    bool is_leaf() const { return std::holds_alternative<Leaf>(v_); }
    bool is_split() const { return std::holds_alternative<Split>(v_); }
    const Leaf* as_leaf() const { return std::get_if<Leaf>(&v_); }
    const Split* as_split() const { return std::get_if<Split>(&v_); }

    // Number of leaves holding a window.
    unsigned window_count() const;
    // Every window in tree order.
    std::vector<Window> windows() const;
    bool contains(Window w) const;
    std::optional<Window> first_window() const;

    // Puts `w` beside `target` (or beside the last leaf when there is no target or it is not
    // in the tree), splitting that leaf across its longer side as laid out in `rect`. The new
    // window takes the right or lower half.
    void insert_with_rect(Window w, std::optional<Window> target, Rect rect);

    // Removes `w`; a split left with an empty leaf is replaced by its other child. Returns
    // whether the window was found.
    bool remove(Window w);

    // One rectangle per window, in tree order, tiling `rect` without gaps.
    std::vector<WindowGeometry> calculate_geometries(Rect rect) const;

    // Every ratio of the subtree becomes 0.5.
    void equalize();

    // Moves the edge of the topmost split on `w`'s path whose orientation matches `dir` by
    // `delta` in that direction, keeping the ratio within 0.1..0.9. Returns whether such a
    // split exists (true even when the clamp left the ratio unchanged).
    bool resize(Window w, Direction dir, float delta);

    // Exchanges windows a and b in their leaves. Sets the flags of the windows it met; never
    // clears them, so callers start them false.
    void swap_impl(Window a, Window b, bool& found_a, bool& found_b);

    // The nearest window beyond `from` in `dir` within `geometries`: `preferred` when it is a
    // candidate, else the lowest score (distance along the axis plus 100 times the distance
    // across it), the earlier one on a tie.
    static std::optional<Window> find_adjacent(const std::vector<WindowGeometry>& geometries, Window from,
                                               Direction dir, std::optional<Window> preferred);

    // The two parts of `rect` for a split of this orientation and ratio.
    static std::pair<Rect, Rect> split_rect(Rect rect, bool horizontal, float ratio);

private:
    std::variant<Leaf, Split> v_;
};

}  // namespace vop
