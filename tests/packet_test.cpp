#include <gtest/gtest.h>
#include "packet.hpp"
TEST(Packet, Placeholder) { EXPECT_EQ(Packet().serialize().size(), 37u); }
