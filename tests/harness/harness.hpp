// Everything an end-to-end test uses: X servers, vop under test, the test client, external commands, the log.
#pragma once

#include "log_file.hpp"
#include "process.hpp"
#include "reserved_display.hpp"
#include "test_client.hpp"
#include "vop_process.hpp"
#include "x_server.hpp"
