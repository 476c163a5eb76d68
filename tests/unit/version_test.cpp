// The order of version texts, and the installed version as the order check reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"
#include "version.h"
#include "version_order.h"

using namespace support;

namespace {

// Each row orders before the next; rows within one group are equal.
const std::vector<std::vector<std::string>> ascending = {
    // Semantic Versioning 2.0's own example of precedence.
    {"1.0.0-alpha"},
    {"1.0.0-alpha.1"},
    {"1.0.0-alpha.beta"},
    {"1.0.0-beta"},
    {"1.0.0-beta.2"},
    {"1.0.0-beta.11"},
    {"1.0.0-rc.1"},
    {"1.0.0", "1", "1.0", "1.0.0.0", "01.00", "1.0.0+build.7", "1.0.0+exp.sha.5114f85"},
    {"1.0.1"},
    {"1.2", "1.2.0", "1.02"},
    {"1.9.99"},
    {"1.10"},
    {"2.0.0-0.3.7"},
    {"2.0.0-rc.1", "2.0.0-rc.01", "2.0.0-rc.1+build"},
    {"2.0.0-rc.1.0"},
    {"2.0.0-rc-1"},
    {"2.0.0", "2"},
    {"2.0.0.1"},
    {"18446744073709551615"},
};

TEST(Version, OrdersAsTheTable) {
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            for (const std::string& a : ascending[i]) {
                for (const std::string& b : ascending[j]) {
                    const std::optional<int> order = compare_versions(a, b);
                    ASSERT_TRUE(order.has_value()) << a << " vs " << b;
                    const int expected = i < j ? -1 : (i > j ? 1 : 0);
                    EXPECT_EQ((*order > 0) - (*order < 0), expected) << a << " vs " << b;
                }
            }
        }
    }
}

TEST(Version, OtherTextsAreNotComparable) {
    for (const std::string text :
         {"", "v1.0", "1.0.0-", "1.0.0+", "1..0", ".1", "1.", "1.0-rc..1", "1.0-rc.1+b..c",
          "1.0 beta", "-1.0", "1.0-r€", "18446744073709551616", "1.0-18446744073709551616",
          "2.0, a longer and older version text", "1.0\r"}) {
        EXPECT_FALSE(is_comparable_version(text)) << text;
        EXPECT_FALSE(compare_versions(text, "1.0").has_value()) << text;
        EXPECT_FALSE(compare_versions("1.0", text).has_value()) << text;
    }
}

TEST(Version, InstalledVersionIsTheFirstLineOfARegularFileOfAtMost256Bytes) {
    TempDir dir;
    const fs::path file = dir / ".version";
    EXPECT_FALSE(installed_version(dir.path()).has_value());  // missing
    write_file(file, "2.0.1\r\nmore\r\n");
    EXPECT_EQ(installed_version(dir.path()), "2.0.1");
    write_file(file, "2.0.1\n");
    EXPECT_EQ(installed_version(dir.path()), "2.0.1");
    write_file(file, std::string(256, '1'));
    EXPECT_EQ(installed_version(dir.path()), std::string(256, '1'));
    write_file(file, std::string(257, '1') + "\r\n");
    EXPECT_FALSE(installed_version(dir.path()).has_value());
    write_file(file, "2.0\t1\r\n");
    EXPECT_FALSE(installed_version(dir.path()).has_value());
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(installed_version(dir.path()).has_value());
}

TEST(Version, InstalledVersionIsNotReadThroughALink) {
    TempDir dir;
    write_file(dir / "elsewhere", "9.0\r\n");
    std::error_code ec;
    fs::create_symlink(dir / "elsewhere", dir / ".version", ec);
    if (ec) {
        GTEST_SKIP() << "no file links here: " << ec.message();
    }
    EXPECT_FALSE(installed_version(dir.path()).has_value());
}

}  // namespace
