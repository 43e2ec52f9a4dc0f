#pragma once
// Library-internal seams of the connection layer: the network connections'
// constructors as the read factory calls them, and the header override hook.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/package.hpp>

// The header override: reads the header section from `in` and writes its
// replacement, then every byte it read ahead, to `out`.
void hreplace(std::shared_ptr<scanlib::basic_rconnection> in, std::shared_ptr<scanlib::basic_wconnection> out,
              const std::string& override_text);

namespace scanlib {
namespace detail {

std::unique_ptr<basic_rconnection> create_quvo_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text);
std::unique_ptr<basic_rconnection> create_quda_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text);

using hreplace_function = std::function<void(std::shared_ptr<basic_rconnection>,
                                             std::shared_ptr<basic_wconnection>, const std::string&)>;

// Installs the function the read path runs at the header trigger and returns
// the previous one; an empty function restores ::hreplace.
hreplace_function set_hreplace_hook(hreplace_function hook);

// The compact-id keys a reader of the delivered bytes holds: it follows the
// framing word by word and loads every header packet's id list, whatever id
// form the header came in and whether or not an override pass wrote it.
class key_tracker {
public:
    // Delivered bytes, on the word grid of those before them.
    void feed(const char* bytes, std::size_t n);
    // The stream goes on elsewhere: the packet under way is dropped, the keys stay.
    void restart();
    const lookup_table& keys() const { return keys_; }

private:
    void word(std::uint32_t w);
    void start(std::uint32_t w);
    void data(std::uint32_t w);

    enum class in { nothing, id_word, header, other_packet };
    lookup_table keys_;
    std::vector<unsigned int> header_body_;
    std::uint32_t carry_ = 0;
    unsigned carried_ = 0;
    in packet_ = in::nothing;
    bool escaped_ = false;
};

// What a stream's override passes share: the keys of the delivered stream,
// with which each pass reads and writes (a packet after a later header may
// still carry a key that only an earlier header gave), and the override
// document, parsed by the first pass of its text.
struct override_state {
    key_tracker delivered;
    std::string text;
    std::shared_ptr<const boost::property_tree::ptree> document;
};
override_state& override_state_of(basic_rconnection& stream);

} // namespace detail
} // namespace scanlib
