#include "launcher/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

struct SplitCase {
    const char* text;
    Args expected;
};

class WindowsCommandLine : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WindowsCommandLine, SplitsLikeTheCRuntime) {
    EXPECT_EQ(km::split_windows_command_line(GetParam().text), GetParam().expected)
        << "text: " << GetParam().text;
}

// The first rows are the examples of Microsoft's own description of the rules.
INSTANTIATE_TEST_SUITE_P(
    Rules, WindowsCommandLine,
    ::testing::Values(SplitCase{R"("abc" d e)", {"abc", "d", "e"}},
                      SplitCase{R"(a\\b d"e f"g h)", {R"(a\\b)", "de fg", "h"}},
                      SplitCase{R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
                      SplitCase{R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
                      SplitCase{R"(a"b"" c d)", {R"(ab" c d)"}},
                      SplitCase{R"("ab\"c" "\\" d)", {R"(ab"c)", R"(\)", "d"}}, SplitCase{"", {}},
                      SplitCase{" \t ", {}}, SplitCase{R"("")", {""}},
                      SplitCase{R"(a "" b)", {"a", "", "b"}},
                      SplitCase{"  --windowed\t--fps=60  ", {"--windowed", "--fps=60"}},
                      SplitCase{R"(--name="Ash Vow" --enter-map=arena_01)",
                                {"--name=Ash Vow", "--enter-map=arena_01"}},
                      SplitCase{R"(C:\Games\Keldmoor\ "C:\Program Files\x\\")",
                                {R"(C:\Games\Keldmoor\)", R"(C:\Program Files\x\)"}},
                      SplitCase{R"("unterminated quote here)", {"unterminated quote here"}},
                      SplitCase{R"(trailing\)", {R"(trailing\)"}},
                      SplitCase{"caf\xc3\xa9 \xe2\x9c\x93", {"caf\xc3\xa9", "\xe2\x9c\x93"}}));

TEST(WindowsCommandLine, ProgramNameTakesBackslashesLiterally) {
    EXPECT_EQ(km::split_program_command_line(R"("/opt/km ash/Launcher")"),
              (Args{"/opt/km ash/Launcher"}));
    // A program name ending in a backslash before its closing quote stays a path.
    EXPECT_EQ(km::split_program_command_line(R"("C:\Games\" /silent /install)"),
              (Args{R"(C:\Games\)", "/silent", "/install"}));
    EXPECT_EQ(km::split_program_command_line(R"(  /bin/true a\"b)"), (Args{"/bin/true", R"(a"b)"}));
    EXPECT_EQ(km::split_program_command_line(" \t"), Args{});
}

}  // namespace
