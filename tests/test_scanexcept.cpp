#include <gtest/gtest.h>
#include <scanlib/scanexcept.hpp>

#include <string>
#include <vector>

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

namespace {
std::vector<std::string> split_parts(const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t pos = 0;;) {
        auto next = text.find(" : ", pos);
        parts.push_back(text.substr(pos, next - pos));
        if (next == std::string::npos)
            return parts;
        pos = next + 3;
    }
}
} // namespace

TEST(PacketError, NamesThePacketType) {
    EXPECT_STREQ(scanlib::packet_error(1, 0, "missing packet data", "", 17).what(), "header: missing packet data");
    // a sub above the newest layout names the newest, an unknown main "unknown"
    EXPECT_STREQ(scanlib::packet_error(2, 9, "m", "", 0).what(), "units_4: m");
    EXPECT_STREQ(scanlib::packet_error(9, 0, "m", "", 0).what(), "unknown: m");

    const scanlib::packet_error e(10001, 3, "too short", "qodataspec", 512);
    const auto parts = split_parts(e.what());
    ASSERT_EQ(parts.size(), 5u) << e.what();
    EXPECT_FALSE(parts[0].empty());
    EXPECT_FALSE(parts[1].empty());
    EXPECT_EQ(parts[2], "qodataspec");
    EXPECT_EQ(parts[3], "512");
    EXPECT_EQ(parts[4], "hk_rng_3: too short");
    // same prefix as a plain library error from the same place
    const scanlib_exception plain("", "qodataspec", 512);
    EXPECT_EQ(std::string(e.what()), std::string(plain.what()) + "hk_rng_3: too short");

    try {
        throw scanlib::packet_error(65535, 65535, "x", "", 0);
    } catch (const scanlib_exception& caught) {
        EXPECT_STREQ(caught.what(), "void_data: x");
        const scanlib_exception copy = caught;
        EXPECT_STREQ(copy.what(), caught.what());
    }
}
