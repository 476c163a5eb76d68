#include <gtest/gtest.h>

#include "files.h"
#include "support.h"
#include "text.h"

namespace {

TEST(Text, NarrowTextRoundTrips) {
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

TEST(Text, RenameReportsTheNativeCode) {
    support::TempDir dir;
    EXPECT_EQ(rename_path(dir / "missing", dir / "other"), support::errors::not_found);
    support::write_file(dir / "a", "1");
    support::write_file(dir / "b", "2");
    EXPECT_TRUE(rename_path(dir / "a", dir / "b").ok());
    EXPECT_EQ(support::read_file(dir / "b"), "1");
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

TEST(Files, ADirectoryThatExistsIsNeverAnError) {
    // A volume root answers "access denied" when asked to create it on Windows.
    const NativeError denied = support::errors::access_denied;
    EXPECT_TRUE(existing_directory_is_fine(denied, true).ok());
    EXPECT_EQ(existing_directory_is_fine(denied, false), denied);
    support::TempDir dir;
    EXPECT_TRUE(make_directories(dir.path().root_path()).ok());
    EXPECT_TRUE(make_directories(dir.path()).ok());
}

TEST(Files, SystemPathsHaveNoLengthLimitOnWindows) {
    if (!support::is_windows()) {
        EXPECT_EQ(system_path("a/./b"), std::filesystem::path("a/./b"));
        return;
    }
    // The prefix turns the system's own clean-up off, so the path is cleaned up first.
    EXPECT_EQ(system_path("C:/dir/./sub/../file.txt").wstring(), L"\\\\?\\C:\\dir\\file.txt");
    EXPECT_EQ(system_path("C:\\dir\\name. ").wstring(), L"\\\\?\\C:\\dir\\name");
    EXPECT_EQ(system_path("\\\\server\\share\\x").wstring(), L"\\\\?\\UNC\\server\\share\\x");
    EXPECT_EQ(system_path("\\\\?\\C:\\as\\given.").wstring(), L"\\\\?\\C:\\as\\given.");
    const std::wstring relative = system_path("rel\\x").wstring();
    EXPECT_EQ(relative, L"\\\\?\\" + (std::filesystem::current_path() / L"rel" / L"x").wstring());
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
