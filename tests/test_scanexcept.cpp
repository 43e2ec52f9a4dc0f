#include <gtest/gtest.h>
#include <scanlib/scanexcept.hpp>

using scanlib::scanlib_exception;

TEST(ScanlibException, EmptyFileGivesBareMessage) {
    EXPECT_STREQ(scanlib_exception("boom", "", 42).what(), "boom");
    EXPECT_STREQ(scanlib_exception().what(), "scanlib_exception");
}

TEST(ScanlibException, FileGivesFivePartsMessageLast) {
    scanlib_exception e("", "scanlib/src/zpkmarker", 123);
    std::string text = e.what();
    std::vector<std::string> parts;
    for (std::size_t pos = 0;;) {
        auto next = text.find(" : ", pos);
        parts.push_back(text.substr(pos, next - pos));
        if (next == std::string::npos) break;
        pos = next + 3;
    }
    ASSERT_EQ(parts.size(), 5u) << text;
    EXPECT_EQ(parts[2], "scanlib/src/zpkmarker");
    EXPECT_EQ(parts[3], "123");
    EXPECT_EQ(parts[4], "");
    scanlib_exception copy = e;
    EXPECT_EQ(std::string(copy.what()), text);
}
