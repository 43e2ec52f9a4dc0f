// Arbitrary words dispatched to a visitor whose handlers read every field of
// their view. The first byte chooses strict checking; the words are cut into
// packets before every start word (above 0xFFFFFF00), and each packet lies in
// a buffer of exactly its size, so any read past a packet is caught.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include <scanlib/packets.hpp>
#include <scanlib/scanexcept.hpp>

namespace {

using namespace scanlib;
using iterator = basic_packets::iterator;

template<class T>
inline constexpr bool is_sequence = false;
template<class E, unsigned W, unsigned P, class I>
inline constexpr bool is_sequence<binary::sequence<E, W, P, I>> = true;

struct reader {
    std::uint64_t sum = 0;

    template<class M>
    void operator()(char const*, M const& m)
    {
        if constexpr (is_sequence<M>) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(m.size()); ++i)
                for_each_member(m[i], *this);
        } else if constexpr (requires { m.size(); }) {
            for (std::size_t i = 0; i < m.size(); ++i)
                add(static_cast<typename M::value_type>(m[i]));
        } else {
            add(static_cast<typename M::value_type>(m));
        }
    }

    template<class T>
    void add(T v)
    {
        if constexpr (std::is_floating_point_v<T>)
            sum += std::bit_cast<std::uint64_t>(static_cast<double>(v));
        else
            sum += static_cast<std::uint64_t>(v);
    }
};

class reading : public basic_packets {
public:
    std::uint64_t sum = 0;
    unsigned offers = 0;

#define SCANLIB_PACKET(type, name, main, sub) \
    void on_##name(name<iterator> const& v) override { read(v); }
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET

    void on_unknown(unsigned, unsigned, iterator const& b, iterator const& e) override
    {
        if (b > e)
            std::abort();
        for (iterator p = b; p != e; ++p)
            sum += *p;
        ++offers;
    }

private:
    template<class View>
    void read(View const& v)
    {
        reader r;
        for_each_member(v, r);
        sum += r.sum;
        // No kind has more than ten layouts.
        if (++offers > 10)
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size < 1)
        return 0;
    reading v;
    v.strict = data[0] & 1;
    if (data[0] & 2)
        v.selector.reset(0);
    std::vector<unsigned int> all((size - 1) / 4);
    if (!all.empty())
        std::memcpy(all.data(), data + 1, all.size() * 4);

    std::size_t start = 0;
    for (std::size_t i = 1; i <= all.size(); ++i) {
        if (i < all.size() && all[i] <= 0xFFFFFF00u)
            continue;
        auto* words = new unsigned int[i - start];
        std::memcpy(words, all.data() + start, (i - start) * 4);
        iterator const b = words, e = words + (i - start);
        v.offers = 0;
        try {
            v.dispatch(b, e);
        } catch (packet_error const&) {
            if (!v.strict)
                std::abort(); // size checks are strict only
        } catch (std::range_error const&) {
        }
        delete[] words;
        start = i;
    }
    return 0;
}
