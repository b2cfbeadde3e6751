// Everything an end-to-end test uses: X servers, vop under test, the test client, external commands, the log.
//
// A typical test:
//     XServer x;                                             // private Xvfb, 1920x1080x24
//     VopProcess vop({.display = x.display()});              // private HOME/XDG dirs, stubs first in PATH
//     ASSERT_TRUE(vop.wait_ready()) << vop.describe();       // took over the root and reached its loop
//     TestClient c(x.display());
//     uint32_t w = c.open_window({.instance = "term", .class_name = "XTerm"});
//     EXPECT_TRUE(wait_until([&] { return c.viewable(w); }));
//     EXPECT_TRUE(log_contains("..."));  EXPECT_EQ(vop.stubs().lines("systemctl")[0], "...");
// Every wait is a poll with a timeout; none is a fixed sleep.
#pragma once

#include "log_file.hpp"
#include "process.hpp"
#include "reserved_display.hpp"
#include "test_client.hpp"
#include "vop_process.hpp"
#include "x_server.hpp"
