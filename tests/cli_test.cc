#include <gtest/gtest.h>
TEST(cli, placeholder) {}
