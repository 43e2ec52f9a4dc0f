// Arbitrary bytes through a read connection into the framing decoder and the
// packet input stream. Byte 0 picks the split of the input (bits 0-3), the
// preamble check (bit 4) and how many packets the stream reads before it seeks
// back and drains (bits 5-7). The decoder must deliver exactly the packets of
// a plain reference deframer, and fail where that one fails.
#include "../tests/zpk_support.hpp"

#include <scanlib/scanexcept.hpp>
#include <scanlib/zpkstream.hpp>

#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

std::shared_ptr<zpktest::chunked_rconnection> make(const std::vector<char>& bytes, unsigned mode) {
    const std::size_t step = mode & 0x0F;
    zpktest::chunked_rconnection::chunker ch;
    if (step == 15)
        ch = [](std::size_t call) { return call % 7 + 1; };
    else if (step > 0)
        ch = [step](std::size_t) { return step; };
    return std::make_shared<zpktest::chunked_rconnection>(bytes, ch);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0)
        return 0;
    const unsigned mode = data[0];
    const bool preamble = mode & 0x10;
    const std::vector<char> bytes(data + 1, data + size);

    // Reference: the packets of the whole words after the preamble, up to a
    // word that cannot start a packet.
    bool ref_ok = true;
    zpktest::packets want;
    if (preamble && (bytes.size() < 16 || std::memcmp(bytes.data(), zpktest::preamble_bytes, 16) != 0)) {
        ref_ok = false;
    } else {
        const zpktest::words w = zpktest::from_bytes(bytes, preamble ? 16 : 0);
        std::size_t i = 0;
        while (i < w.size() && ref_ok) {
            std::size_t j = i + 1;
            while (j < w.size() && w[j] <= 0xFFFFFF00u)
                j += w[j] == 0xFFFFFF00u ? 2 : 1;
            j = std::min(j, w.size());
            try {
                zpktest::packets one = zpktest::ref_deframe(zpktest::words(w.begin() + i, w.begin() + j));
                want.insert(want.end(), one.begin(), one.end());
            } catch (const std::runtime_error&) {
                ref_ok = false;
            }
            i = j;
        }
    }

    scanlib::decoder_zpkmarker dec(make(bytes, mode), preamble);
    scanlib::basic_buffer<unsigned int*> r;
    zpktest::packets got;
    bool ok = true;
    try {
        for (;;) {
            dec.get(r);
            if (r.empty())
                break;
            got.emplace_back(r.begin, r.end);
        }
    } catch (const scanlib::scanlib_exception&) {
        ok = false;
    }
    check(ok == ref_ok);
    check(got == want); // on failure: the packets before the failing word

    // The packet stream over the same bytes, attached without a preamble check.
    scanlib::zpk_istream in;
    in.rdcon(make(bytes, mode));
    const unsigned before_seek = mode >> 5;
    try {
        scanlib::package_id id;
        scanlib::zpk_packet p;
        std::uint64_t mark = 0;
        for (unsigned n = 0; !in.at_end; ++n) {
            if (n == before_seek)
                mark = in.tellg();
            in >> id >> p;
            if (!in.at_end)
                check(p.begin <= p.end);
        }
        in.seekg(mark);
        std::vector<char> rest(0x10000);
        in.drain(rest.data(), rest.size());
    } catch (const std::exception&) {
    }
    return 0;
}
