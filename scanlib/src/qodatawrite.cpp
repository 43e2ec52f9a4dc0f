// Body text of a packet given as id and raw words.

#include <scanlib/qodatawrite.hpp>

#include <ios>
#include <ostream>

namespace scanlib {

namespace {

using const_words = const unsigned int*;

template <class View>
bool write_typed(const_words begin, const_words end, std::ostream& os) {
    if constexpr (View::member_count > 0) {
        if constexpr (!View::has_sequence) {
            // The accessors read unchecked: a body too short for its fields
            // is not printed rather than read beyond its end.
            if (end - begin < static_cast<std::ptrdiff_t>(View::size_info.fixed_words))
                return false;
        }
        const View view(begin, end); // a short sequence body throws here
        os << view;
    }
    return os.rdstate() == std::ios_base::goodbit;
}

bool write_words(const_words begin, const_words end, std::ostream& os) {
    const std::ios_base::fmtflags saved = os.flags();
    os.setf(std::ios_base::hex, std::ios_base::basefield);
    os.setf(std::ios_base::showbase);
    for (const_words w = begin; w < end; ++w) {
        os.write(", ", 2);
        os << *w;
    }
    os.flags(saved);
    return os.rdstate() == std::ios_base::goodbit;
}

} // namespace

template <class Ch, class Tr, class Word>
bool qodataspec_write(Word* begin, Word* end, unsigned int main, unsigned int sub, std::basic_ostream<Ch, Tr>& os) {
    switch (static_cast<package_id::type>(package_id(main, sub))) {
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) \
    case package_id::name:                             \
        return write_typed<name<const_words>>(begin, end, os);
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
    default:
        return write_words(begin, end, os);
    }
}

template bool qodataspec_write<char, std::char_traits<char>, const unsigned int>(const unsigned int*,
                                                                                  const unsigned int*, unsigned int,
                                                                                  unsigned int, std::ostream&);
template bool qodataspec_write<char, std::char_traits<char>, unsigned int>(unsigned int*, unsigned int*, unsigned int,
                                                                          unsigned int, std::ostream&);

} // namespace scanlib
