// Id header decoding and the id text reader over arbitrary input: never reads
// past a packet's end, and every keyed write reads back as the same id.
#include <scanlib/package.hpp>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {
struct id_list {
    struct element {
        std::uint32_t id;
    };
    const unsigned int* first;
    std::size_t count;
    std::int64_t size() const { return static_cast<std::int64_t>(count); }
    element operator[](std::size_t i) const { return {first[i]}; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t list_words = data[0] % 128;
    data += 1;
    size -= 1;
    const std::size_t words = size / 4;
    std::vector<unsigned int> all(words);
    if (words)
        std::memcpy(all.data(), data, words * 4);

    scanlib::lookup_table t;
    const std::size_t n = list_words < words ? list_words : words;
    t.load(id_list{all.data(), n});
    if (t.key2id.size() > 254)
        __builtin_trap();

    // The rest as one packet in an allocation of exactly its size.
    const std::size_t rest = words - n;
    std::unique_ptr<unsigned int[]> packet(new unsigned int[rest]);
    if (rest)
        std::memcpy(packet.get(), all.data() + n, rest * 4);
    scanlib::basic_package<const unsigned int*> p(packet.get(), packet.get() + rest, t);
    if (p.body_begin > p.end || p.body_begin < p.begin)
        __builtin_trap();

    unsigned int head[2];
    scanlib::write_package w(p.id.main, p.id.sub, t, head, head + 2);
    scanlib::basic_package<const unsigned int*> back(head, w.body_begin, t);
    if (!(back.id == scanlib::package_id(p.id.main & 0xFFFFu, p.id.sub & 0xFFFFu)))
        __builtin_trap();

    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    if (size % 2)
        text >> scanlib::set_zpk_braceless;
    scanlib::package_id id;
    text >> id;
    return 0;
}
