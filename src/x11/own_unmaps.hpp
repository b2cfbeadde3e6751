// OwnUnmaps: the unmaps vop caused itself, each known by the sequence number of the request that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace vop {

using Window = uint32_t;

// An UnmapNotify carries the sequence number of the request the server was processing when it made it. One
// that vop's own UnmapWindow (or ReparentWindow of a mapped window) made carries that request's number; a
// client's own unmap carries another (its requests are not vop's). A count could not tell the two apart: an
// unmap of a window its client had already unmapped makes no event at all. Entries are kept by window id, not
// by vop's record of the window, so a window managed again meanwhile cannot take the echo for its client's.
class OwnUnmaps {
public:
    // vop sent request `sequence`, which may unmap `w`.
    void sent(Window w, uint32_t sequence);
    // Any event read, by its full sequence number: every request before it has made all its events by now.
    void saw(uint32_t sequence);
    // An UnmapNotify of `w` with full sequence number `sequence`: true when vop's own request made it (and it
    // is taken off, so that a second unmap in the same request is the client's).
    bool absorb(Window w, uint32_t sequence);
    // vop's unmaps of `w` still to be reported.
    size_t awaited(Window w) const;
    size_t size() const { return pending_.size(); }

private:
    std::deque<std::pair<uint32_t, Window>> pending_;  // (sequence, window), oldest first
};

}  // namespace vop
