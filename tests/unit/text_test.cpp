#include <gtest/gtest.h>

#include "native_error.h"
#include "support.h"
#include "text.h"

namespace {

TEST(Text, NarrowTextRoundTrips) {
    if (!support::is_windows()) {
        GTEST_SKIP() << "on Linux narrow text is the path's own text";
    }
    for (const std::string text : {"", "plain.zip", "dir with spaces/app.exe", "a/b/../c"}) {
        EXPECT_EQ(to_narrow(to_path(text)), text);
    }
}

TEST(Text, ErrorTextIsTheSystemMessage) {
    const std::string text = error_text(support::errors::not_found);
    if (support::is_windows()) {
        // Windows and Wine word their message tables differently.
        EXPECT_TRUE(text == "The system cannot find the file specified." ||
                    text == "File not found.")
            << text;
        EXPECT_EQ(error_text(NativeError(0x7fffffff)), "unknown error");
    } else {
        EXPECT_EQ(text, "No such file or directory");
    }
}

TEST(Text, CharacterOutsideTheCodePageIsAnError) {
    // U+4E2D has no exact form in a single-byte ANSI code page; it must not become '?'.
    if (support::narrow_text_holds_every_character()) {
        GTEST_SKIP() << "narrow text is UTF-8 here, which represents every character";
    }
    const std::filesystem::path path(L"\u4e2d.txt");
    EXPECT_THROW(to_narrow(path), std::filesystem::filesystem_error);
}

}  // namespace
