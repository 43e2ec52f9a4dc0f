#include <scanlib/qodataspec.hpp>

#include <cstring>

namespace scanlib {

namespace {
struct named_selector {
    const char* name;
    const std::bitset<package_type_count>* selector;
};

const named_selector class_selectors[] = {
    {"all", &select_all},
#define SCANLIB_SELECTOR(cls, bits) {#cls, &select_##cls},
#include <scanlib/generated/selectors.inc>
#undef SCANLIB_SELECTOR
};
} // namespace

std::bitset<package_type_count> get_class_selector(const char* name) {
    if (name != nullptr)
        for (const named_selector& s : class_selectors)
            if (std::strcmp(s.name, name) == 0)
                return *s.selector;
    return select_none;
}

std::bitset<package_type_count> get_class_selector(const std::string& name) {
    return get_class_selector(name.c_str());
}

} // namespace scanlib
