// Start-up of vop under a private X server (placeholder).
#include <gtest/gtest.h>
TEST(Startup, Placeholder) { SUCCEED(); }
