// Arbitrary text read as packet lines: an id, then the packet body, until the
// stream fails. Byte 0 bit 0 selects the brace-less form. Reading may only
// ever leave stream state: a failed packet has no words and id (0, 0). Every
// packet read is written back and read again: after that first pass the text
// form must be stable (write, read, write gives the same text).
#include <scanlib/generated/packet_sizes.hpp>
#include <scanlib/qodataread.hpp>
#include <scanlib/qodatawrite.hpp>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

std::string write(const scanlib::zpk_packet& p, bool braceless) {
    std::ostringstream os;
    if (braceless)
        scanlib::set_zpk_braceless(os);
    os << scanlib::package_id(p.main, p.sub);
    check(scanlib::qodataspec_write(p.begin, p.end, p.main, p.sub, os));
    os << '\n';
    return os.str();
}

bool read(const std::string& text, bool braceless, scanlib::zpk_packet& p) {
    std::istringstream is(text);
    if (braceless)
        scanlib::set_zpk_braceless(is);
    scanlib::package_id id;
    is >> id >> p;
    return !is.fail();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool braceless = data[0] & 1;
    std::istringstream is(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    if (braceless)
        scanlib::set_zpk_braceless(is);
    for (int n = 0; n < 64; ++n) {
        scanlib::package_id id;
        scanlib::zpk_packet p;
        is >> id >> p;
        if (is.fail()) {
            check(p.begin == nullptr && p.end == nullptr && p.storage.empty() && p.main == 0 && p.sub == 0);
            break;
        }
        check((p.begin == nullptr) == p.storage.empty());
        check(p.end - p.begin == static_cast<std::ptrdiff_t>(p.storage.size()));

        // An id named "unknown" whose numbers have a layout keeps raw words:
        // its written form would use the layout instead.
        const auto type = static_cast<std::size_t>(scanlib::package_id(p.main, p.sub));
        if (is.iword(scanlib::stream_unknown_idx) != 0 && type != 0)
            continue;
        const scanlib::packet_size& s = scanlib::packet_sizes[type];
        // Two written forms that do not read back: brace-less, an empty
        // sequence ends in a comma; a layout-less id without words has no
        // body text at all.
        if (braceless && s.has_sequence() && (32 * p.storage.size() - s.sequence_bit) / s.element_bits == 0)
            continue;
        if (type == 0 && p.storage.empty())
            continue;
        const std::string t1 = write(p, braceless);
        scanlib::zpk_packet q;
        check(read(t1, braceless, q));
        check(q.main == p.main && q.sub == p.sub);
        check(write(q, braceless) == t1);
    }
    return 0;
}
