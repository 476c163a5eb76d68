// The rule that ties a signed package to the version it is applied as.
#include <gtest/gtest.h>

#include "signature.h"

namespace {

TEST(SignedVersion, EveryVersionWordOfTheTrustedCommentMustNameTheVersion) {
    const struct {
        const char* comment;
        bool allows_2_0;
    } cases[] = {
        {"version:2.0", true},
        {"timestamp:1733500000 version:2.0", true},
        {"timestamp:1733500000\tfile:parvel.zip\tversion:2.0  ", true},
        // No version word: nothing to compare.
        {"timestamp:1733500000\tfile:parvel.zip\thashed", true},
        {"", true},
        {"release-version:1.0 file:version:1.0.zip", true},
        {"version:1.0", false},
        {"version:2.0.1", false},
        {"version:2", false},
        {"version:", false},
        {"Version:2.0 version:2.0", true},
        {"version:2.0 version:1.0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(comment_allows_version(c.comment, "2.0"), c.allows_2_0) << c.comment;
    }
}

}  // namespace
