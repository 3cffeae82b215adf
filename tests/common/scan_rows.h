// Command lines and how they split, shared by the native unit tests and the
// win32 test program that runs the same rows on Windows.
#pragma once

struct ScanRow {
    const char* name;
    const char* commandLine;
    int count;
    const char* arguments[3];  // the first `count` of them
};

inline constexpr ScanRow kScanRows[] = {
    {"two plain", "prog a.bin b.bin", 2, {"a.bin", "b.bin"}},
    {"quoted with spaces", "prog  \"my file.bin\"  b.bin", 2, {"my file.bin", "b.bin"}},
    {"quoted program name", "\"C:\\dir one\\prog.exe\" x", 1, {"x"}},
    {"quote inside", "prog a\"b c\"d", 1, {"ab cd"}},
    {"quotes joined", "prog \"a\"b\"c d\"", 1, {"abc d"}},
    {"empty pair inside", "prog ab\"\"cd", 1, {"abcd"}},
    {"leading empty pair", "prog \"\" b", 1, {"b"}},
    {"empty pair between", "prog a \"\" b", 2, {"a", "b"}},
    {"only empty pairs", "prog \"\" \"\"", 0, {}},
    {"two pairs then x", "prog \"\"\"\"x", 1, {"x"}},
    {"pair then quoted", "prog \"\"\"x y\"", 1, {"x y"}},
    {"unterminated", "prog \"a b", 1, {"a b"}},
    {"lone final quote", "prog a \"", 1, {"a"}},
    {"quote then space", "prog a \" ", 2, {"a", " "}},
    {"backslash is plain", "prog a\\\"b c\"", 1, {"a\\b c"}},
    {"empty command line", "", 0, {}},
    {"tab, line feed, CR and 0x1F split", "prog a\tb\nc\r\x1f", 3, {"a", "b", "c"}},
    {"controls kept when quoted", "prog \"a\tb\n\"", 1, {"a\tb\n"}},
    {"bytes above 127 are plain", "prog \xe9t\xe9 \x80\xff", 2, {"\xe9t\xe9", "\x80\xff"}},
    {"byte 127 and 33 are plain", "prog \x7f! x", 2, {"\x7f!", "x"}},
    {"only separators", " \t prog \t ", 0, {}},
    {"pair before program name", "\"\" prog a", 1, {"a"}},
};
