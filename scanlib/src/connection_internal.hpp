#pragma once
// Library-internal seams of the connection layer: the network connections'
// constructors as the read factory calls them, and the header override hook.
#include <cstddef>
#include <cstdint>
#include <exception>
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

// Refuses a network address without host or service, and a port number
// above 65535, which the resolver would otherwise take modulo 65536.
void check_address(const std::string& host, const std::string& service);

using hreplace_function = std::function<void(std::shared_ptr<basic_rconnection>,
                                             std::shared_ptr<basic_wconnection>, const std::string&)>;

// Installs the function the read path runs at the header trigger and returns
// the previous one; an empty function restores ::hreplace.
hreplace_function set_hreplace_hook(hreplace_function hook);

// True for the failure of a header override pass that a read connection is
// throwing right after a whole packet of the pass's output: a framing reader
// may end the packet under way there and report the failure next.
bool failure_ends_packet(const std::exception_ptr& error);

// How the framing decoder takes each word of a stream: a start word outside
// an escape begins a packet; inside a packet an escape word makes the next
// word, whatever it is, a complemented packet word. Where a header's explicit
// id words (FFFFFFFF 00010000) stand at a packet start, an override pass runs.
struct word_framing {
    enum class kind { outside, start, escape, data };

    // Classifies w and, for data, leaves the packet word in w; sets
    // `header_id` when w is the id word of a header's explicit id.
    kind take(std::uint32_t& w, bool& header_id) {
        const bool after_marker = armed;
        armed = false;
        if (escaped) {
            escaped = false;
            w = ~w;
            return kind::data;
        }
        if (w > 0xFFFFFF00u) {
            in_packet = true;
            // A marker right after an arming one starts a packet too, but
            // never arms: two in a row disarm.
            armed = w == 0xFFFFFFFFu && !after_marker;
            return kind::start;
        }
        if (!in_packet) return kind::outside;
        if (w == 0xFFFFFF00u) {
            escaped = true;
            return kind::escape;
        }
        header_id = after_marker && w == 0x00010000u;
        return kind::data;
    }

    bool in_packet = false;
    bool escaped = false;
    bool armed = false; // the last word was an arming start word FFFFFFFF
};

// The compact-id keys a reader of the delivered bytes holds: it follows the
// framing word by word and loads every header packet's id list, whatever id
// form the header came in and whether or not an override pass wrote it.
class key_tracker {
public:
    static constexpr std::size_t no_header_id = static_cast<std::size_t>(-1);

    // Delivered bytes, on the word grid of those before them, up to and
    // including the first header's explicit id among them: returns how many
    // it took when it met one, else no_header_id (it took them all).
    std::size_t feed(const char* bytes, std::size_t n);
    // What feed would return for these bytes; takes none of them.
    std::size_t header_id_end(const char* bytes, std::size_t n) const;
    // The stream goes on elsewhere: the packet under way is dropped, the keys stay.
    void restart();
    const lookup_table& keys() const { return keys_; }

private:
    bool word(std::uint32_t w);
    void start(std::uint32_t w);
    void data(std::uint32_t w);

    enum class in { nothing, id_word, header, other_packet };
    lookup_table keys_;
    std::vector<unsigned int> header_body_;
    std::uint32_t carry_ = 0;
    unsigned carried_ = 0;
    word_framing framing_;
    in packet_ = in::nothing;
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
