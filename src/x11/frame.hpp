// FrameManager: frame windows with title bars around managed clients.
#pragma once

#include "x11/connection.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace vop {

class FrameManager {
public:
    std::optional<Window> frame_for_client(Window client) const;
    std::optional<Window> client_for_frame(Window frame) const;
    // The frame's width as the server has it (GetGeometry, waited for); none without a frame or reply.
    std::optional<uint16_t> frame_width(Connection& c, Window client) const;

    // Creates the frame (unmapped) and reparents the client into it below the title bar. A client that
    // already has a frame keeps it: its frame is returned and nothing is sent.
    XResult<Window> create_frame(Connection& c, Window root, Window client, int16_t x, int16_t y, uint16_t width,
                                 uint16_t height, uint16_t titlebar_height, uint16_t border_width,
                                 uint32_t border_colour, uint32_t background_colour);
    // Returns the client to the root (when it is still inside) and destroys the frame; send failures are
    // ignored, so it always succeeds.
    XResult<void> destroy_frame(Connection& c, Window root, Window client);
    // Width and height are the client's size; the frame is taller by the title bar.
    XResult<void> configure_frame(Connection& c, Window client, int16_t x, int16_t y, uint16_t width,
                                  uint16_t height, uint16_t titlebar_height, uint16_t border_width);
    // Paints the title bar (width x height at the frame's top), the title and, when focused, an accent line.
    XResult<void> draw_titlebar(Connection& c, Window client, std::string_view title, uint16_t width,
                                uint16_t height, uint32_t background_colour, uint32_t text_colour, bool focused);
    XResult<void> set_frame_border(Connection& c, Window client, uint32_t border_colour);
    XResult<void> map_frame(Connection& c, Window client);

    std::optional<uint32_t> gc() const { return gc_; }
    const std::unordered_map<Window, Window>& client_to_frame() const { return client_to_frame_; }
    const std::unordered_map<Window, Window>& frame_to_client() const { return frame_to_client_; }

private:
    std::optional<uint32_t> gc_;  // created on the first paint, kept for the run
    std::unordered_map<Window, Window> client_to_frame_;
    std::unordered_map<Window, Window> frame_to_client_;
};

}  // namespace vop
