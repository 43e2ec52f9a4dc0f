#pragma once
// Packet class selectors: one bit per packet type (bit t is package_id::type t).

#include <bitset>
#include <string>

#include <scanlib/package.hpp>

namespace scanlib {

extern const std::bitset<package_type_count> select_none;
extern const std::bitset<package_type_count> select_all;
#define SCANLIB_SELECTOR(cls, bits) extern const std::bitset<package_type_count> select_##cls;
#include <scanlib/generated/selectors.inc>
#undef SCANLIB_SELECTOR

// The selector of a class name ("all", "protocol", ... "legacy"), compared
// whole and case-sensitively; any other name, and a null pointer, gives
// select_none.
std::bitset<package_type_count> get_class_selector(const char* name);
std::bitset<package_type_count> get_class_selector(const std::string& name);

} // namespace scanlib
