#include <gtest/gtest.h>
#include <scanlib/package.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

using scanlib::package_id;

namespace {

// Reference conversion built straight from the rules: group the table's rows
// by main; an unknown main is 0, a single row wins whatever the sub, and a
// kind with several rows takes its row for min(sub, newest).
struct reference_types {
    std::map<unsigned int, std::map<unsigned int, unsigned int>> kinds; // main -> sub -> type
    reference_types() {
        for (unsigned int t = 1; t < scanlib::package_type_count; ++t) {
            const package_id& id = package_id::name_from_type[t].second;
            kinds[id.main][id.sub] = t;
        }
    }
    unsigned int operator()(unsigned int main, unsigned int sub) const {
        const auto k = kinds.find(main);
        if (k == kinds.end())
            return 0;
        if (k->second.size() == 1)
            return k->second.begin()->second;
        const unsigned int newest = k->second.rbegin()->first;
        return k->second.at(sub < newest ? sub : newest);
    }
};

unsigned int type_of(unsigned int main, unsigned int sub) {
    return static_cast<package_id::type>(package_id(main, sub));
}

} // namespace

TEST(PackageId, TableShape) {
    std::map<std::string, int> names;
    std::map<std::pair<unsigned, unsigned>, int> ids;
    std::map<unsigned, int> mains;
    for (const auto& [name, id] : package_id::name_from_type) {
        ++names[name];
        ++ids[{id.main, id.sub}];
        ++mains[id.main];
    }
    EXPECT_EQ(names.size(), 251u);
    EXPECT_EQ(ids.size(), 251u);
    EXPECT_EQ(mains.size(), 187u); // 186 kinds and the unknown main 0
    EXPECT_EQ(package_id::name_from_type[0].first, "unknown");
    EXPECT_EQ(package_id::name_from_type[0].second, package_id(0, 0));
    EXPECT_EQ(package_id::id_from_name.size(), 251u);
    EXPECT_EQ(package_id::id_from_name.at("unknown"), package_id(0, 0));
    EXPECT_EQ(package_id::id_from_name.at("header"), package_id(1, 0));
    EXPECT_EQ(package_id::id_from_name.count("no_such_packet"), 0u);
    EXPECT_EQ(package_id::id_from_name.count("Header"), 0u);
}

TEST(PackageId, EveryRowConvertsBackToItsOwnType) {
    for (unsigned int t = 0; t < scanlib::package_type_count; ++t) {
        const auto& [name, id] = package_id::name_from_type[t];
        EXPECT_EQ(type_of(id.main, id.sub), t) << name;
        EXPECT_EQ(id.string(), name);
        EXPECT_EQ(package_id::id_from_name.at(name), id);
    }
}

TEST(PackageId, EveryMainAgainstReference) {
    const reference_types ref;
    const unsigned int subs[] = {0, 1, 2, 3, 4, 5, 9, 10, 12, 60926, 65535, 65536, 4000000000u, 0xFFFFFFFFu};
    for (unsigned int main = 0; main <= 0xFFFF; ++main)
        for (unsigned int sub : subs)
            ASSERT_EQ(type_of(main, sub), ref(main, sub)) << main << "." << sub;
    // mains are compared as 32-bit numbers: no wrap to 16 bits
    for (unsigned int main : {65536u + 1, 65536u + 10001, 0x80000001u, 0xFFFFFFFFu})
        EXPECT_EQ(type_of(main, 0), 0u) << main;
}

TEST(PackageId, DocumentedConversions) {
    EXPECT_EQ(type_of(0, 0), 0u);
    EXPECT_EQ(package_id(0, 0).string(), "unknown");
    EXPECT_EQ(package_id(0, 5).string(), "unknown");
    EXPECT_EQ(package_id(9, 0).string(), "unknown");
    EXPECT_EQ(package_id(116, 3).string(), "unknown");
    EXPECT_EQ(type_of(1, 0), package_id::header);
    EXPECT_EQ(type_of(1, 9), 65u);
    EXPECT_EQ(type_of(2, 4), 241u);
    EXPECT_EQ(type_of(2, 7), 241u);
    EXPECT_EQ(package_id(2, 4000000000u).string(), "units_4");
    EXPECT_EQ(package_id(10001, 12).string(), "hk_rng_9");
    EXPECT_EQ(type_of(21, 0), 64u);
    EXPECT_EQ(type_of(21, 1), 27u);
    EXPECT_EQ(package_id(10003, 0).string(), "hk_pwr");
    EXPECT_EQ(package_id(10003, 1).string(), "hk_bat");
    EXPECT_EQ(type_of(94, 7), 47u);
    EXPECT_EQ(type_of(65535, 65535), 247u);
    EXPECT_EQ(type_of(65535, 0), 247u);
    EXPECT_EQ(type_of(65226, 60926), 33u);
    EXPECT_EQ(type_of(65226, 1), 33u);
    EXPECT_EQ(type_of(65226, 0), package_id::datagram_separator);
    EXPECT_EQ(type_of(119, 0), package_id::zpk_parameters);
    EXPECT_EQ(package_id::zpk_parameters, 194u);
}

namespace {
std::string written(const package_id& id, bool braceless) {
    std::ostringstream os;
    if (braceless)
        os << scanlib::set_zpk_braceless;
    os << id;
    EXPECT_EQ(os.iword(scanlib::stream_id_main_idx), long(id.main));
    EXPECT_EQ(os.iword(scanlib::stream_id_sub_idx), long(id.sub));
    return os.str();
}

struct read_result {
    bool ok;
    package_id id;
    long main_word, sub_word, unknown_word;
};

read_result read(const std::string& text, bool braceless, package_id start = package_id(77, 88)) {
    std::istringstream is(text);
    if (braceless)
        is >> scanlib::set_zpk_braceless;
    is.iword(scanlib::stream_id_main_idx) = -5;
    is.iword(scanlib::stream_id_sub_idx) = -6;
    is.iword(scanlib::stream_unknown_idx) = -7;
    package_id id = start;
    is >> id;
    return {!is.fail(), id, is.iword(scanlib::stream_id_main_idx), is.iword(scanlib::stream_id_sub_idx),
            is.iword(scanlib::stream_unknown_idx)};
}
} // namespace

TEST(PackageIdText, AllNamesRoundTripBracedAndBraceless) {
    for (const auto& [name, id] : package_id::name_from_type) {
        const std::string braced = written(id, false);
        EXPECT_EQ(braced, name + " (" + std::to_string(id.main) + "." + std::to_string(id.sub) + ")");
        auto r = read(braced, false);
        EXPECT_TRUE(r.ok) << braced;
        EXPECT_EQ(r.id, id) << braced;
        EXPECT_EQ(r.main_word, long(id.main));
        EXPECT_EQ(r.sub_word, long(id.sub));
        EXPECT_EQ(r.unknown_word, 0);

        const std::string plain = written(id, true);
        EXPECT_EQ(plain, std::to_string(id.main) + ", " + std::to_string(id.sub));
        r = read(plain + "\n", true);
        EXPECT_TRUE(r.ok) << plain;
        EXPECT_EQ(r.id, id) << plain;
        EXPECT_EQ(r.unknown_word, 0);
    }
}

TEST(PackageIdText, WriterForcesDecimalAndRestoresTheStream) {
    std::ostringstream os;
    os << std::hex << std::showbase << std::fixed;
    os.precision(3);
    os << package_id(4000000000u, 1) << ' ' << 255;
    EXPECT_EQ(os.str(), "unknown (4000000000.1) 0xff");
    EXPECT_EQ(os.precision(), 3);
    EXPECT_EQ(os.flags() & std::ios_base::floatfield, std::ios_base::fixed);
    EXPECT_EQ(written(package_id(2, 7), false), "units_4 (2.7)");
    EXPECT_EQ(written(package_id(9, 3), false), "unknown (9.3)");
    EXPECT_EQ(written(package_id(1, 0), true), "1, 0");
    {
        scanlib::package_ostream_entry entry(os);
        ASSERT_TRUE(bool(entry));
        os << ' ' << 0.5 << ' ' << 17;
    }
    EXPECT_EQ(os.str(), "unknown (4000000000.1) 0xff 5.0000000000000000e-01 17");
    EXPECT_EQ(os.precision(), 3);
    EXPECT_TRUE(os.flags() & std::ios_base::hex);

    std::ostringstream failed;
    failed.setstate(std::ios_base::failbit);
    failed << package_id(1, 0);
    EXPECT_EQ(failed.str(), "");
    EXPECT_EQ(failed.iword(scanlib::stream_id_main_idx), 0);
    scanlib::package_ostream_entry entry(failed);
    EXPECT_FALSE(bool(entry));
}

TEST(PackageIdText, BracelessFlag) {
    std::stringstream s;
    EXPECT_FALSE(scanlib::is_zpk_braceless(s));
    s << scanlib::set_zpk_braceless;
    EXPECT_TRUE(scanlib::is_zpk_braceless(s));
    EXPECT_EQ(s.iword(scanlib::stream_zpk_flags), 1);
    s << scanlib::reset_zpk_braceless;
    EXPECT_FALSE(scanlib::is_zpk_braceless(s));
    EXPECT_EQ(s.iword(scanlib::stream_zpk_flags), 0);
    // four distinct slots
    std::vector<int> slots{scanlib::stream_id_main_idx, scanlib::stream_id_sub_idx, scanlib::stream_unknown_idx,
                           scanlib::stream_zpk_flags};
    std::sort(slots.begin(), slots.end());
    EXPECT_EQ(std::unique(slots.begin(), slots.end()), slots.end());
}

TEST(PackageIdText, ReaderAcceptsOnlyMatchingNames) {
    auto r = read("header (1.0)", false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(1, 0));
    EXPECT_EQ(r.unknown_word, 0);

    r = read("unknown (1.0)", false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(0, 0));
    EXPECT_EQ(r.main_word, 1);
    EXPECT_EQ(r.sub_word, 0);
    EXPECT_EQ(r.unknown_word, 1);

    r = read("unknown (9.3)", false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(9, 3));
    EXPECT_EQ(r.unknown_word, 0);

    r = read("  header ( 1 . 0 ) tail", false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(1, 0));

    EXPECT_TRUE(read("units_4 (2.7)", false).ok);
    EXPECT_EQ(read("units_4 (2.7)", false).id, package_id(2, 7));

    for (const char* bad : {"header [1.0]", "header(1.0)", "units (2.7)", "units_4 (2.3)", "header (1,0)",
                            "header (1.0", "header (x.0)", "Header (1.0)", "", "header"}) {
        r = read(bad, false);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.id, package_id(77, 88)) << bad;
        EXPECT_EQ(r.main_word, -5) << bad;
        EXPECT_EQ(r.sub_word, -6) << bad;
        EXPECT_EQ(r.unknown_word, -7) << bad;
    }
}

TEST(PackageIdText, BracelessReader) {
    auto r = read("9, 3 ", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(9, 3));
    EXPECT_EQ(r.unknown_word, 0);
    r = read("1 ,0\n", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.id, package_id(1, 0));
    for (const char* bad : {"1; 0 ", "1, 0", "1 0 ", ", 0 ", "x, 0 "}) {
        r = read(bad, true);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.id, package_id(77, 88)) << bad;
        EXPECT_EQ(r.main_word, -5) << bad;
    }
    // the reader keeps the stream's own base
    std::istringstream hex("a, 1f ");
    hex >> scanlib::set_zpk_braceless >> std::hex;
    package_id id;
    hex >> id;
    EXPECT_TRUE(hex);
    EXPECT_EQ(id, package_id(10, 31));
}
