#include "host_api/version_check.hpp"

#include <gtest/gtest.h>

namespace {

using tarnwell::host::version_matches;

TEST(VersionCheck, AcceptsThatReleaseOnly) {
    EXPECT_TRUE(version_matches("3.10", "3.10.13 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]"));
    EXPECT_TRUE(version_matches("3.10", "3.10"));
    EXPECT_TRUE(version_matches("3.10", "3.10+"));
    EXPECT_TRUE(version_matches("3.10", "3.10a1"));
    EXPECT_FALSE(version_matches("3.10", "3.100.1"));
    EXPECT_FALSE(version_matches("3.10", "3.109"));
    EXPECT_FALSE(version_matches("3.10", "3.11.7 (main)"));
    EXPECT_FALSE(version_matches("3.10", "3.9.18"));
    EXPECT_FALSE(version_matches("3.10", "3.1.4"));
    EXPECT_FALSE(version_matches("3.10", "3.1"));
    EXPECT_FALSE(version_matches("3.10", ""));
}

}  // namespace
