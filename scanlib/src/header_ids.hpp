#pragma once
// A header packet's id list as the compact-id table reads it: one word per id
// (main in bits 16-31, sub in bits 0-15) after 48 bytes of fixed fields.
#include <cstddef>
#include <cstdint>

#include <scanlib/package.hpp>

namespace scanlib::detail {

constexpr std::size_t header_fixed_words = 12;

struct header_id_list {
    struct element {
        std::uint32_t id;
    };
    unsigned int const* first;
    std::size_t count;
    std::size_t size() const { return count; }
    element operator[](std::size_t i) const { return {first[i]}; }
};

// Loads the id list of the header body [body, end), which holds at least the fixed fields.
inline void load_header_ids(lookup_table& table, unsigned int const* body, unsigned int const* end) {
    table.load(header_id_list{body + header_fixed_words, static_cast<std::size_t>(end - body) - header_fixed_words});
}

} // namespace scanlib::detail
