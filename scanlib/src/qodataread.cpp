// Packet text input: the expect-character extractor, the by-id body reader
// and the reading of a packet line's body into a zpk_packet.

#include <scanlib/qodataread.hpp>

#include <ios>
#include <istream>
#include <utility>

namespace std {

istream& operator>>(istream& is, const char& c) {
    const istream::sentry ok(is);
    if (!ok)
        return is;
    const istream::int_type got = is.rdbuf()->sbumpc();
    if (istream::traits_type::eq_int_type(got, istream::traits_type::eof()))
        is.setstate(ios_base::eofbit | ios_base::failbit);
    else if (istream::traits_type::to_char_type(got) != c)
        is.setstate(ios_base::failbit);
    return is;
}

} // namespace std

namespace scanlib {

namespace {

using words_t = std::vector<unsigned int>;

bool clear(const std::istream& is) { return is.rdstate() == std::ios_base::goodbit; }

template <class View>
bool read_typed(words_t& words, std::istream& is) {
    if constexpr (View::member_count == 0) {
        words.clear();
    } else if constexpr (!View::has_sequence) {
        const std::size_t n = View::size_info.fixed_words;
        words.resize(n);
        View view(words.data(), words.data() + n);
        is >> view;
    } else {
        constexpr std::uint64_t P = View::size_info.sequence_bit;
        constexpr std::uint64_t W = View::size_info.element_bits;
        constexpr std::uint64_t M = View::size_info.max_count;
        // Room for the largest body the type allows, in whole words plus one,
        // taken as whole elements.
        constexpr std::uint64_t capacity_words = (P + M * W) / 32 + 1;
        constexpr std::int64_t element_capacity = (32 * capacity_words - P) / W;
        constexpr std::size_t fixed = (P + 31) / 32;

        // The words grow with the elements the text holds, never beyond the
        // room above. Words the caller's vector already holds keep their
        // values where no field is read into them; added words are zero.
        if (words.size() < fixed)
            words.resize(fixed);
        View view(words.data(), words.data() + fixed);
        std::int64_t count = 0;
        text_detail::read_body(
            is, view, element_capacity,
            [&](std::int64_t k) {
                const std::uint64_t bit = P + static_cast<std::uint64_t>(k) * W;
                const std::size_t need = (bit + W + 31) / 32;
                if (words.size() < need)
                    words.resize(need);
                return typename View::element(words.data() + bit / 32, static_cast<unsigned>(bit % 32));
            },
            count);
        words.resize(count > 0 ? (P + static_cast<std::uint64_t>(count) * W - 1) / 32 + 1 : fixed);
    }
    return clear(is);
}

// ", 0x1, 0xabcd" for an id without a layout.
bool read_words(words_t& words, std::istream& is) {
    const std::istream::sentry ok(is);
    if (!ok)
        return false;
    const std::ios_base::fmtflags saved = is.flags();
    is.setf(std::ios_base::hex, std::ios_base::basefield);
    while (clear(is) && is.peek() == ',') {
        is >> ',';
        unsigned int w = 0;
        is >> w;
        words.push_back(w);
    }
    is.flags(saved);
    return clear(is);
}

} // namespace

template <class Ch, class Tr, class Word>
bool qodataspec_read(std::vector<Word>& words, unsigned int main, unsigned int sub, std::basic_istream<Ch, Tr>& is) {
    switch (static_cast<package_id::type>(package_id(main, sub))) {
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) \
    case package_id::name:                             \
        return read_typed<name<unsigned int*>>(words, is);
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
    default:
        return read_words(words, is);
    }
}

template bool qodataspec_read<char, std::char_traits<char>, unsigned int>(std::vector<unsigned int>&, unsigned int,
                                                                         unsigned int, std::istream&);

} // namespace scanlib

namespace std {

template <class Ch, class Tr>
basic_istream<Ch, Tr>& operator>>(basic_istream<Ch, Tr>& is, scanlib::zpk_packet& packet) {
    const bool unknown = is.iword(scanlib::stream_unknown_idx) != 0;
    const auto slot = [&](int idx) { return static_cast<unsigned int>(is.iword(idx) & 0xFFFFFFFFul); };
    const unsigned int main = unknown ? 0u : slot(scanlib::stream_id_main_idx);
    const unsigned int sub = unknown ? 0u : slot(scanlib::stream_id_sub_idx);
    std::vector<unsigned int> words;
    if (scanlib::qodataspec_read(words, main, sub, is)) {
        if (packet.storage.capacity() >= words.size())
            packet.storage.assign(words.begin(), words.end());
        else
            packet.storage = std::move(words);
        packet.begin = packet.storage.empty() ? nullptr : packet.storage.data();
        packet.end = packet.storage.empty() ? nullptr : packet.storage.data() + packet.storage.size();
        packet.main = unknown ? slot(scanlib::stream_id_main_idx) : main;
        packet.sub = unknown ? slot(scanlib::stream_id_sub_idx) : sub;
    } else {
        packet.main = packet.sub = 0;
        packet.begin = packet.end = nullptr;
        packet.storage.clear();
        is.setstate(ios_base::failbit);
    }
    return is;
}

template istream& operator>> <char, char_traits<char>>(istream&, scanlib::zpk_packet&);

} // namespace std
