#pragma once
// Header override: rewrites a stream's header section from a JSON override
// text while the stream is read.
//
// The override text is an object with two optional arrays:
//   "file_verification": entries {"ID": [main, sub], "contentID": [[index,
//       "text"], ...]}; nothing is changed before as many packets have
//       passed the first entry naming their id as there are entries.
//   "packets": entries {"existing_packet_identification": {"ID", "contentID"},
//       "new_packet": {"ID": [main, sub], "content": [value, ...]}}; each
//       replaces (or, without "new_packet", deletes) the first later packet
//       it identifies; entries that identify none append their new packet at
//       the end of the header section.
// A sub id below 0 matches every sub; indices count the packet's field
// values in text form, every array and sequence element one value. Content
// values must make exactly one packet of the new id, or the pass fails.
//
// Every failure is an exception: std::runtime_error (the property tree's
// errors among them) or std::range_error for a header too short for its
// texts; a failure of the packet streams passes through.

#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/generated/packets.hpp>
#include <scanlib/package.hpp>
#include <scanlib/zpkstream.hpp>

// The pass: `in` must deliver the header packet's explicit id words next.
// Writes the rewritten header section, then every byte read ahead, to `out`.
// Packets are read and written with the keys of every header the pass has
// met on `in` before, as the stream's readers hold them.
void hreplace(std::shared_ptr<scanlib::basic_rconnection> in, std::shared_ptr<scanlib::basic_wconnection> out,
              const std::string& override_text);

// True when the first entry whose "ID" matches the packet accepts its content.
bool verified(const scanlib::package_id& id, const scanlib::zpk_packet& packet,
              const boost::property_tree::ptree& file_verification);

// False: drop the packet. True: write it, replaced when an entry applied
// (that entry is then erased from `packets`).
bool replaced(scanlib::package_id& id, scanlib::zpk_packet& packet, boost::property_tree::ptree& packets);

// The packet's field values as in its brace-less text form, without quotes
// and white space; a packet without fields gives its main and sub id.
std::vector<std::string> parse_zpk_fields(const scanlib::package_id& id, const scanlib::zpk_packet& packet);

// Writes one packet per remaining entry of `packets` with a "new_packet".
struct insert_at_end {
    const boost::property_tree::ptree* packets;
    scanlib::zpk_ostream& operator()(scanlib::zpk_ostream& os) const;
};

scanlib::zpk_ostream& operator<<(scanlib::zpk_ostream& os, insert_at_end&& inserter);

namespace scanlib {

// Typed copy of a raw packet.
template <class T>
T zpk_cast(const zpk_packet& packet);

// At most 254 ids are kept; a body under 48 bytes throws std::range_error.
template <>
header<void> zpk_cast<header<void>>(const zpk_packet& packet);

} // namespace scanlib
