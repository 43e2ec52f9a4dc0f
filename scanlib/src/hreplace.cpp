#include <scanlib/hreplace.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <scanlib/qodataread.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/qodatawrite.hpp>

#include "connection_internal.hpp"
#include "jsontext.hpp"

namespace {

using boost::property_tree::ptree;
using scanlib::header;
using scanlib::package_id;
using scanlib::zpk_packet;

const ptree empty_ptree;

constexpr unsigned header_type = header<void>::packet_type;
constexpr unsigned context_end_type = scanlib::context_end<void>::packet_type;

// A tree value read as a whole decimal int, white space around it allowed;
// -1 for anything else, a value beyond int among it.
int to_int(const ptree& value) {
    const std::string& t = value.data();
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const char* p = t.data();
    const char* const end = p + t.size();
    while (p != end && space(*p))
        ++p;
    // The stream takes a plus sign before the digits; from_chars does not.
    if (end - p > 1 && *p == '+' && p[1] != '-')
        ++p;
    int v = 0;
    const auto [rest, error] = std::from_chars(p, end, v);
    if (error != std::errc())
        return -1;
    for (p = rest; p != end && space(*p);)
        ++p;
    return p == end ? v : -1;
}

// main from the first element, sub from the last; an array without elements
// reads as (-1, -1), which names no packet.
std::pair<int, int> read_id(const ptree& id) {
    if (id.empty())
        return {-1, -1};
    return {to_int(id.front().second), to_int(id.back().second)};
}

bool id_matches(const package_id& id, std::pair<int, int> wanted) {
    return id.main == static_cast<unsigned int>(wanted.first) &&
           (wanted.second < 0 || id.sub == static_cast<unsigned int>(wanted.second));
}

// Children of a tree that must be an array; a plain value where the array
// belongs is refused with `message`.
const ptree& as_array(const ptree& tree, const char* message) {
    if (tree.empty() && !tree.data().empty())
        throw std::runtime_error(message);
    return tree;
}

constexpr const char* bad_content_id = "error: bad contentID in pxp file";
constexpr const char* content_mismatch = "override: content does not match packet id";

// Every pair is looked at, so a bad index throws even after a mismatch.
bool content_matches(const std::vector<std::string>& items, const ptree& content_id) {
    bool ok = true;
    for (const auto& entry : as_array(content_id, bad_content_id)) {
        const ptree& pair = as_array(entry.second, bad_content_id);
        if (pair.empty())
            throw std::runtime_error(bad_content_id);
        const int index = to_int(pair.front().second);
        if (index < 0)
            continue;
        if (static_cast<std::size_t>(index) >= items.size())
            throw std::runtime_error(bad_content_id);
        if (items[static_cast<std::size_t>(index)] != pair.back().second.data())
            ok = false;
    }
    return ok;
}

// A value for the text reader: numbers as they stand, anything else quoted.
std::string quote(const std::string& value) {
    double d;
    if (boost::conversion::try_lexical_convert(value, d))
        return value;
    return '"' + value + '"';
}

// Reads the packet of `new_packet` through its brace-less text line; `id`
// receives the id read back. The packet has id (0, 0) and no words when the
// content does not read as exactly one packet of that id: besides what the
// reader refuses, values left over after the packet's last field, elements
// that are not plain values, and texts holding a double quote (the text form
// has no escape for it, so the value would spill into the next fields).
zpk_packet packet_from_text(package_id& id, const ptree& new_packet) {
    const ptree& content = new_packet.get_child("content");
    std::stringstream line;
    scanlib::set_zpk_braceless(line);
    line << id;
    bool representable = content.empty() || content.data().empty();
    for (const auto& value : content) {
        const std::string& v = value.second.data();
        representable = representable && value.second.empty() && v.find('"') == std::string::npos;
        line << ", " << quote(v);
    }
    line << '\n' << std::flush;
    zpk_packet packet;
    line >> id >> packet;
    if (!representable || !(line >> std::ws).eof())
        packet = zpk_packet();
    return packet;
}

package_id new_packet_id(const ptree& new_packet) {
    const auto [main, sub] = read_id(new_packet.get_child("ID"));
    return package_id(static_cast<unsigned int>(main), static_cast<unsigned int>(sub));
}

// The text up to its first zero byte.
template <std::size_t N>
std::string_view text_of(const std::array<char, N>& a) {
    return std::string_view(a.data(), static_cast<std::size_t>(std::find(a.begin(), a.end(), '\0') - a.begin()));
}


} // namespace

namespace scanlib {

template <>
header<void> zpk_cast<header<void>>(const zpk_packet& packet) {
    const std::size_t words = packet.begin ? static_cast<std::size_t>(packet.end - packet.begin) : 0;
    if (words < 12)
        throw std::range_error("Missing data for sequence.");
    header<void> h;
    unsigned char bytes[48];
    for (std::size_t i = 0; i < 12; ++i)
        for (std::size_t k = 0; k < 4; ++k)
            bytes[4 * i + k] = static_cast<unsigned char>(packet.begin[i] >> (8 * k));
    std::memcpy(h.type_id.data(), bytes, 16);
    std::memcpy(h.build.data(), bytes + 16, 16);
    std::memcpy(h.serial.data(), bytes + 32, 16);
    h.count = std::min<std::uint64_t>(words - 12, h.ids.size());
    for (std::size_t j = 0; j < h.count; ++j) {
        const unsigned int w = packet.begin[12 + j];
        h.ids[j].sub = static_cast<unsigned short>(w & 0xFFFFu);
        h.ids[j].main = static_cast<unsigned short>(w >> 16);
    }
    return h;
}

} // namespace scanlib

std::vector<std::string> parse_zpk_fields(const package_id& id, const zpk_packet& packet) {
    std::stringstream text;
    scanlib::set_zpk_braceless(text);
    text << id;
    scanlib::qodataspec_write(packet.begin, packet.end, packet.main, packet.sub, text);

    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    for (char c; text >> c;) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            items.push_back(std::exchange(item, std::string()));
        else
            item += c;
    }
    items.push_back(std::move(item));
    if (items.size() > 2)
        items.erase(items.begin(), items.begin() + 2);
    return items;
}

bool verified(const package_id& id, const zpk_packet& packet, const ptree& file_verification) {
    for (const auto& entry : file_verification) {
        if (id_matches(id, read_id(entry.second.get_child("ID"))))
            return content_matches(parse_zpk_fields(id, packet), entry.second.get_child("contentID"));
    }
    return false;
}

namespace {

// The child at `first`.`second` without building the path, which costs an
// allocation per call; a missing one throws as the path lookup does.
const ptree& child_at(const ptree& tree, const std::string& first, const std::string& second, const char* path) {
    const auto a = tree.find(first);
    if (a != tree.not_found()) {
        const auto b = a->second.find(second);
        if (b != a->second.not_found())
            return b->second;
    }
    return tree.get_child(path);
}

const std::string existing_key = "existing_packet_identification", id_key = "ID", content_id_key = "contentID";

// The index of the first entry of `packets` whose id and content match the
// packet and that `used` (when given) does not mark; the size when none does.
std::size_t matching_entry(const package_id& id, const zpk_packet& packet, const ptree& packets,
                           const std::vector<bool>* used) {
    std::optional<std::vector<std::string>> items;
    std::size_t index = 0;
    for (auto it = packets.begin(); it != packets.end(); ++it, ++index) {
        if (used && (*used)[index])
            continue;
        const ptree& entry = it->second;
        if (!id_matches(id, read_id(child_at(entry, existing_key, id_key, "existing_packet_identification.ID"))))
            continue;
        if (!items)
            items = parse_zpk_fields(id, packet);
        if (content_matches(*items,
                            child_at(entry, existing_key, content_id_key, "existing_packet_identification.contentID")))
            return index;
    }
    return index;
}

// Applies a matching entry: false drops the packet. `use_up` runs where the
// entry is spent, before the checks of the new packet that may still throw.
template <class UseUp>
bool apply_entry(package_id& id, zpk_packet& packet, const ptree& entry, UseUp use_up) {
    const ptree& new_packet = entry.get_child("new_packet", empty_ptree);
    if (new_packet.empty()) {
        use_up();
        return false;
    }
    package_id new_id = new_packet_id(new_packet);
    if (static_cast<package_id::type>(new_id) == package_id::unknown)
        throw std::runtime_error("error: unknown id for new packet in pxp file");
    zpk_packet read = packet_from_text(new_id, new_packet);
    use_up();

    if (static_cast<package_id::type>(new_id) == header_type) {
        if (static_cast<package_id::type>(id) != header_type)
            throw std::runtime_error("error: cannot replace arbitrary package with a header package");
        const header<void> now = scanlib::zpk_cast<header<void>>(read);
        const header<void> was = scanlib::zpk_cast<header<void>>(packet);
        if (text_of(now.serial) != text_of(was.serial) || text_of(now.type_id) != text_of(was.type_id))
            throw std::runtime_error("error: cannot modify serial number or instrument type");
    }
    id = new_id;
    // The text reader's packet owns its words.
    packet = std::move(read);
    if (!(id == package_id(packet.main, packet.sub)))
        throw std::runtime_error(content_mismatch);
    return true;
}

// Writes the new packets of the entries that `used` (when given) does not mark.
void append_new_packets(scanlib::zpk_ostream& os, const ptree& packets, const std::vector<bool>* used) {
    std::size_t index = 0;
    for (auto it = packets.begin(); it != packets.end(); ++it, ++index) {
        if (used && (*used)[index])
            continue;
        const ptree& new_packet = it->second.get_child("new_packet", empty_ptree);
        if (new_packet.empty())
            continue;
        package_id id = new_packet_id(new_packet);
        const package_id::type type = id;
        if (type == header_type)
            throw std::runtime_error("error: cannot append a new header packet");
        if (type == package_id::unknown)
            throw std::runtime_error("error: unknown id for new packet in pxp file");
        const zpk_packet packet = packet_from_text(id, new_packet);
        os << id << packet;
    }
}

} // namespace

bool replaced(package_id& id, zpk_packet& packet, ptree& packets) {
    const std::size_t index = matching_entry(id, packet, packets, nullptr);
    if (index == packets.size())
        return true;
    const auto it = std::next(packets.begin(), static_cast<std::ptrdiff_t>(index));
    return apply_entry(id, packet, it->second, [&] { packets.erase(it); });
}

scanlib::zpk_ostream& insert_at_end::operator()(scanlib::zpk_ostream& os) const {
    append_new_packets(os, *packets, nullptr);
    return os;
}

scanlib::zpk_ostream& operator<<(scanlib::zpk_ostream& os, insert_at_end&& inserter) { return inserter(os); }

void hreplace(std::shared_ptr<scanlib::basic_rconnection> in, std::shared_ptr<scanlib::basic_wconnection> out,
              const std::string& override_text) {
    // What the pass reads and what it writes both continue the delivered
    // stream, whose readers hold its keys.
    scanlib::detail::override_state& state = scanlib::detail::override_state_of(*in);
    scanlib::zpk_istream is;
    is.rdcon(in);
    is.reader_keys(state.delivered.keys());
    // Should the pass fail, the stream's destructor still writes out every
    // packet handed to it: that is the pass's output before its failure.
    scanlib::zpk_ostream os;
    os.wrcon(out);
    os.reader_keys(state.delivered.keys());

    if (!state.document || state.text != override_text) {
        // An override document nests a few levels deep.
        state.document = std::make_shared<const ptree>(scanlib::detail::read_json_text(override_text, 64));
        state.text = override_text;
    }
    const ptree& file_verification = state.document->get_child("file_verification", empty_ptree);
    // Each pass uses up entries of its own: marked, as the document is shared.
    const ptree& packets = state.document->get_child("packets", empty_ptree);
    std::vector<bool> used(packets.size());
    std::uint32_t pending = static_cast<std::uint32_t>(file_verification.size());

    // Ends the header section: the input gives up its connection (its decoder
    // keeps what it read ahead) and the new packets go out if all verified.
    auto end_of_section = [&] {
        is.rdcon(nullptr);
        is.close();
        if (pending == 0)
            append_new_packets(os, packets, &used);
    };

    for (;;) {
        package_id id;
        is >> id;
        if (is.at_end || !is.is_open())
            break;
        const package_id::type type = id;
        zpk_packet packet;
        is >> packet;
        if (scanlib::select_startcond[type]) {
            // Copied: the words live in the decoder, which the detach may move.
            const zpk_packet start = packet;
            end_of_section();
            os << id << start;
        } else if (type == context_end_type) {
            if (!(id == package_id(21, 1)))
                throw std::runtime_error("zpk_istream: id mismatch: expected 21.1 got " + std::to_string(id.main) +
                                         "." + std::to_string(id.sub));
            if (packet.begin == packet.end) {
                // Names no context: passed on as it came.
                os << id << packet;
                continue;
            }
            const unsigned int word = packet.begin[0];
            const unsigned int main = word >> 16, sub = word & 0xFFFFu;
            if (main == 1 && sub == 0)
                end_of_section();
            zpk_packet end;
            end.storage.assign(1, main << 16 | sub);
            end.begin = end.storage.data();
            end.end = end.begin + 1;
            end.main = 21;
            end.sub = 1;
            os << package_id(21, 1) << end;
        } else if (pending > 0) {
            if (verified(id, packet, file_verification))
                --pending;
            os << id << packet;
        } else {
            const std::size_t index = matching_entry(id, packet, packets, &used);
            if (index == packets.size() ||
                apply_entry(id, packet, std::next(packets.begin(), static_cast<std::ptrdiff_t>(index))->second,
                            [&] { used[index] = true; }))
                os << id << packet;
        }
    }
    os.close();

    // What the decoder read beyond the section, still framed, goes on raw.
    char buffer[8192];
    for (unsigned long n; (n = is.drain(buffer, sizeof buffer)) != 0;) {
        for (std::size_t done = 0; done < n;) {
            const std::size_t k = out->write(buffer + done, n - done);
            if (k == 0)
                throw std::runtime_error("hreplace: output connection takes no data");
            done += k;
        }
    }
}
