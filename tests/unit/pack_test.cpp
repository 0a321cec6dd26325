#include <gtest/gtest.h>
TEST(Pack, Placeholder) { SUCCEED(); }
