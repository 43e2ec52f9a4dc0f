// The packet catalogue: generated views, tables and the generator's checks.

#include "catalogue_checks.hpp"

#include <scanlib/package.hpp>

#include <unistd.h>
#include <sys/wait.h>

SCANLIB_CATALOGUE_VIEW_TESTS(0)

namespace {

// Counts the layouts give for sample body sizes (-1: "Missing data for
// sequence."), worked out by hand from the layout descriptions.
TEST(Catalogue, SequenceCountsOfSampleBodies)
{
    using namespace scanlib;
    EXPECT_EQ(count_over<header>(12), 0);
    EXPECT_EQ(count_over<header>(13), 1);
    EXPECT_EQ(count_over<header>(11), -1);
    EXPECT_EQ(count_over<header>(0), -1);
    EXPECT_EQ(count_over<packed_frame_laser_shot_2angles>(3), 3);
    EXPECT_EQ(count_over<packed_frame_laser_shot_2angles>(1), -1);
    EXPECT_EQ(count_over<packed_frame_echo>(1), 0);
    EXPECT_EQ(count_over<packed_frame_echo>(0), 0);
    EXPECT_EQ(count_over<packed_shot_echos_sbl_hr>(0), 0);
    EXPECT_EQ(count_over<m_sequence_mta>(2), 48);
    EXPECT_EQ(count_over<device_geometry>(14), 0);
    EXPECT_EQ(count_over<device_geometry>(13), -1);
    EXPECT_EQ(count_over<dyntrig>(8), 1);
    EXPECT_EQ(count_over<trigger_debug_stattrig_table>(2), 1);
    EXPECT_EQ(count_over<trigger_debug_stattrig_table>(0), -1);
    EXPECT_EQ(count_over<zpk_parameters>(1), 0);
    EXPECT_EQ(count_over<zpk_parameters>(3), 8);
    EXPECT_EQ(count_over<zpk_parameters>(0), -1);
    EXPECT_EQ(count_over<scan_segments_fov>(10), 3);
    EXPECT_EQ(count_over<hk_float_param>(3), 2);
    EXPECT_EQ(count_over<hk_float_param>(2), 1);
    EXPECT_EQ(count_over<blob_uint8>(2), 4);
    EXPECT_EQ(count_over<sbl_dg_data>(1), 0);
    EXPECT_EQ(count_over<sbl_dg_data>(1025), 2048);
    EXPECT_EQ(count_over<sbl_dg_data>(1026), 2050);
    EXPECT_EQ(count_over<sbl_dg_channel_expsum>(4), -1);
    EXPECT_EQ(count_over<sbl_dg_channel_expsum>(5), 0);
    EXPECT_EQ(count_over<sbl_dg_channel_expsum>(12), 0);
    EXPECT_EQ(count_over<sbl_dg_channel_expsum>(13), 1);

    EXPECT_EQ(packet_sizes[header<void>::packet_type].max_count, 254u);
    EXPECT_EQ(packet_sizes[calib_waveform_L2<void>::packet_type].max_count, 12288u);
    EXPECT_EQ(packet_sizes[calib_waveform<void>::packet_type].max_count, 4096u);
    EXPECT_EQ(packet_sizes[units_4<void>::packet_type].fixed_words, 20u);
    EXPECT_EQ(packet_sizes[crc32_check<void>::packet_type].fixed_words, 2u);
    EXPECT_EQ(packet_sizes[frame_start<void>::packet_type].fixed_words, 0u);
}

// Field values at positions worked out by hand.
TEST(Catalogue, FieldsAtHandPickedPositions)
{
    using namespace scanlib;
    using cview = unsigned int const*;
    words w = {0xABCDEF12u, 0x01020304u};
    crc32_check<cview> crc(w.data(), w.data() + 2);
    EXPECT_EQ(crc.channel, 0x12);
    EXPECT_EQ(crc.counter, 0xABCDEFu);
    EXPECT_EQ(crc.crc, 0x01020304u);

    w = {0x11111111u, 0x22222222u, 0x89ABCDEFu, 0x44444444u};
    laser_shot_2angles_hr<cview> shot(w.data(), w.data() + 4);
    EXPECT_EQ(shot.time, 0x2222222211111111ul);
    EXPECT_EQ(shot.line_angle, 0x89ABCDu);
    EXPECT_EQ(shot.frame_angle, 0x44444444u);

    w.assign(25, 0);
    w[6] = 0x5A;
    hk_group_header<cview> group(w.data(), w.data() + w.size());
    EXPECT_EQ(group.f1[23], 0x5A);
    EXPECT_EQ(group.f1[22], 0);

    w.assign(42, 0);
    w[1] = 0xBEEF0000u;  // element 0 takes bits 48..79
    w[2] = 0x0000CAFEu;
    ublox_lea5t_rxm_sfrb<cview> rxm(w.data(), w.data() + w.size());
    EXPECT_EQ(rxm.f3[0], 0xCAFEBEEFu);

    w.assign(8, 0);
    w[6] = 0x800u << 16;  // i12 at bit 208 holds 0x800
    w[6] |= 0xFu << 28;   // i20 at bit 220: low four bits set, ...
    w[7] = 0xFFFFu;       // ... the other sixteen as well
    S10DOF_data<cview> s10(w.data(), w.data() + 8);
    EXPECT_EQ(s10.f11, -2048);
    EXPECT_EQ(s10.f12, -1);

    // A 24-bit signed array: element 1 at bit 144, sign-extended.
    w.assign(6, 0);
    w[4] = 0xFFFFu << 16;
    w[5] = 0xFFu;
    laser_shot_utctime_origin_direction<cview> utc(w.data(), w.data() + 6);
    EXPECT_EQ(utc.direction[0], 0);
    EXPECT_EQ(utc.direction[1], -1);
    EXPECT_EQ(utc.direction[2], 0);

    w.assign(14, 0);
    w[0] = 'a' | 'b' << 8;
    w[12] = 0x00080001u;  // first id: sub 1, main 8
    header<cview> h(w.data(), w.data() + 13);
    ASSERT_EQ(h.count, 1);
    EXPECT_EQ((h.*header<cview>::sequence_member).size(), 1);
    EXPECT_EQ(h.ids[0].sub, 1);
    EXPECT_EQ(h.ids[0].main, 8);
    header<void> const record = h;
    EXPECT_EQ(std::string(record.type_id.data(), 2), "ab");
    EXPECT_EQ(record.count, 1u);
    EXPECT_EQ(record.ids[0].main, 8);
}

// The shapes the decompressors and the header override rely on.
TEST(Catalogue, ValueRecordShapes)
{
    using namespace scanlib;
    static_assert(std::is_same_v<decltype(echo<void>::range), int>);
    static_assert(std::is_same_v<decltype(echo<void>::amplitude), unsigned short>);
    static_assert(std::is_same_v<decltype(echo<void>::reflectance), short>);
    static_assert(std::is_same_v<decltype(echo<void>::flags), unsigned short>);
    static_assert(std::is_same_v<decltype(echo<void>::deviation), short>);
    static_assert(std::is_same_v<decltype(laser_shot_2angles_hr<void>::time), unsigned long>);
    static_assert(std::is_same_v<decltype(laser_shot_2angles_hr<void>::line_angle), unsigned int>);
    static_assert(std::is_same_v<decltype(laser_shot_2angles_rad<void>::background), unsigned short>);
    using sdg = sbl_dg_channel_header_1<void>;
    static_assert(std::is_same_v<decltype(sdg::time), unsigned long>);
    static_assert(std::is_same_v<decltype(sdg::f3), unsigned int>);
    static_assert(std::is_same_v<decltype(sdg::count), std::uint64_t>);
    static_assert(std::is_same_v<decltype(sdg::channels), std::array<sdg::element, 8>>);
    static_assert(std::is_same_v<decltype(sdg::element::channel), unsigned char>);
    static_assert(std::is_same_v<decltype(sdg::element::f1), unsigned int>);
    static_assert(std::is_same_v<decltype(sdg::element::f2), unsigned short>);
    static_assert(std::is_same_v<decltype(header<void>::serial), std::array<char, 16>>);
    static_assert(std::is_same_v<decltype(header<void>::ids), std::array<header<void>::element, 254>>);
    static_assert(zpk_parameters<void>::sequence_capacity == 0);  // 4 MiB of text stays out

    echo<void> const zero;
    EXPECT_EQ(zero.range, 0);
    echo<void> const e{-5, 1, 2, 3, 4};
    words w(3);
    echo<unsigned int*> const out(w.data(), w.data() + 3);
    out = e;
    EXPECT_EQ(w[0], 0xFFFFFFFBu);
    EXPECT_EQ(w[1], 0x00020001u);
    EXPECT_EQ(w[2], 0x00040003u);
}

// A record's elements beyond the view's count are not stored, and a view's
// elements beyond the record's capacity are not loaded.
TEST(Catalogue, RecordSequenceStaysInsideBoth)
{
    using namespace scanlib;
    words w(12 + 2, 0xFFFFFFFFu);
    header<void> r{};
    r.count = 254;
    for (auto& id : r.ids)
        id = {1, 2};
    header<unsigned int*> const two(w.data(), w.data() + 14);
    ASSERT_EQ(two.count, 2);
    two = r;
    EXPECT_EQ(w[12], 0x00020001u);
    EXPECT_EQ(w[13], 0x00020001u);

    words big(12 + 300, 0x00030004u);
    header<unsigned int const*> const many(big.data(), big.data() + big.size());
    header<void> const loaded = many;
    EXPECT_EQ(loaded.count, 254u);
    EXPECT_EQ(loaded.ids[253].main, 3);
}

// The dispatcher widens a short body by the type its id maps to.
TEST(Catalogue, PaddedBodyByPacketId)
{
    words const body = {7, 8};
    scanlib::padded_body const units_1(scanlib::package_id(2, 1), body.data(), body.data() + 2);
    ASSERT_EQ(units_1.end() - units_1.begin(), 5);
    EXPECT_EQ(units_1.begin()[1], 8u);
    EXPECT_EQ(units_1.begin()[4], 0u);
    // A sub above the newest known widens to the newest layout.
    scanlib::padded_body const units_9(scanlib::package_id(2, 9), body.data(), body.data() + 2);
    EXPECT_EQ(units_9.end() - units_9.begin(), 20);
    scanlib::padded_body const by_type(scanlib::package_id::echo, body.data(), body.data() + 2);
    EXPECT_EQ(by_type.end() - by_type.begin(), 3);
    scanlib::padded_body const unknown(scanlib::package_id(4711, 0), body.data(), body.data() + 2);
    EXPECT_FALSE(unknown.padded());
}

TEST(Catalogue, ForEachMemberNamesInCatalogueOrder)
{
    words w(3);
    scanlib::echo<unsigned int const*> const view(w.data(), w.data() + 3);
    std::string names;
    scanlib::for_each_member(view, [&](char const* name, auto const&) { names += std::string(name) + ","; });
    EXPECT_EQ(names, "range,amplitude,reflectance,flags,deviation,");
    scanlib::echo<void> record;
    names.clear();
    scanlib::for_each_member(record, [&](char const* name, auto const&) { names += std::string(name) + ","; });
    EXPECT_EQ(names, "range,amplitude,reflectance,flags,deviation,");
}

// ---- the generator refuses a broken catalogue ----

std::filesystem::path source_dir()
{
    return std::filesystem::path(__FILE__).parent_path().parent_path();
}

std::string read_text(std::filesystem::path const& p)
{
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct generator_run {
    int status;
    std::string message;
};

generator_run run_generator(std::string const& catalogue)
{
    auto const dir = std::filesystem::temp_directory_path() / ("scanlib_catalogue_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto const json = dir / "catalogue.json";
    std::ofstream(json) << catalogue;
    std::string const command = "python3 '" + (source_dir() / "cmake" / "gen_catalogue.py").string() + "' '" +
                                json.string() + "' '" + (dir / "out").string() + "' 2>'" +
                                (dir / "stderr").string() + "'";
    int const status = std::system(command.c_str());
    generator_run run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(dir / "stderr")};
    std::filesystem::remove_all(dir);
    return run;
}

// The catalogue with one edit in the line of one packet.
std::string edited(std::string const& packet, std::string const& from, std::string const& to)
{
    std::istringstream in(read_text(source_dir() / "scanlib" / "src" / "qodataspec.json"));
    std::string out, line;
    bool done = false;
    while (std::getline(in, line)) {
        if (!done && line.find("\"name\": \"" + packet + "\"") != std::string::npos) {
            auto const at = line.find(from);
            EXPECT_NE(at, std::string::npos) << packet << " has no " << from;
            if (at != std::string::npos)
                line.replace(at, from.size(), to);
            done = true;
        }
        out += line + "\n";
    }
    EXPECT_TRUE(done) << packet;
    return out;
}

TEST(CatalogueGenerator, AcceptsTheCatalogue)
{
    auto const run = run_generator(read_text(source_dir() / "scanlib" / "src" / "qodataspec.json"));
    EXPECT_EQ(run.status, 0) << run.message;
}

TEST(CatalogueGenerator, RefusesBrokenCatalogues)
{
    struct broken {
        char const *packet, *from, *to, *message;
    };
    broken const cases[] = {
        {"IMU_data", "\"id\": [61, 0]", "\"id\": [118, 0]", "duplicate id"},
        {"echo", "\"name\": \"echo\"", "\"name\": \"alert\"", "duplicate name"},
        {"units_4", "\"id\": [2, 4]", "\"id\": [2, 5]", "subs must be 0..n-1"},
        {"units_1", "u32:32 line_circle_count", "u32:32 lines", "units_1 extends units"},
        {"units_2", "f32:160 systime_hr_unit", "u32:160 systime_hr_unit", "units_3 extends units_2"},
        {"echo", "u16:32 amplitude", "u16:24 amplitude", "overlap"},
        {"header", "u16:16 main", "u16:24 main", "outside the 32-bit element"},
        {"header", "\"at\": 384", "\"at\": 380", "reach into the sequence"},
        {"IMU_data", "\"classes\": [\"data\"]", "\"classes\": []", "belongs to no class"},
        {"IMU_data", "\"classes\": [\"data\"]", "\"classes\": [\"datum\"]", "unknown class"},
        {"IMU_data", "\"u32:0 f0\"", "\"u32:0\"", "NOTATION NAME"},
        {"IMU_data", "\"i16:32 f1\"", "\"i16:32 while\"", "reserved"},
        {"IMU_data", "\"i16:48 f2\"", "\"i16:48 f1\"", "two members are named f1"},
        {"IMU_data", "\"fixed_words\": 4", "\"fixed_words\": 5", "fixed_words 5"},
        {"IMU_data", "\"u32:0 f0\"", "\"f16:0 f0\"", "32 or 64 bits"},
        {"IMU_data", "\"u32:0 f0\"", "\"u65:0 f0\"", "widths are 1 to 64"},
        {"dyntrig", "\"bits\": 192", "\"bits\": 0", "bits >= 1"},
        {"dyntrig", "\"max\": 128", "\"most\": 128", "lacks the key 'max'"},
        {"echo", "\"fields\": [", "\"fields\": [7, ", "invalid packet catalogue"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.message);
        auto const run = run_generator(edited(c.packet, c.from, c.to));
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.message.find(c.message), std::string::npos) << run.message;
    }
}

}  // namespace
