// Any text read as a scan mechanism's JSON form: failures are exceptions, and
// a model that was read writes a form that reads back to the same text.
// A kind reads only the member named after it, so besides the first kind
// (which also meets every malformed text) only the kinds the text names are
// tried; a text with escapes may spell a name otherwise and tries them all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <scanlib/scanmech.hpp>

using namespace scanlib;

namespace {

std::unique_ptr<scanmech> make(int k, double (&o)[3], double (&d)[3]) {
    if (k == 0)
        return std::make_unique<scanmech>(o, d);
    return std::unique_ptr<scanmech>(scanmech::create(scanmech::kind_e(k), o, d));
}

constexpr int kinds[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10};

// The member a kind's form is written under, quoted: "name".
std::string quoted_name(int k) {
    double o[3] = {}, d[3] = {0, 0, 1};
    std::ostringstream os;
    os << *make(k, o, d);
    const std::string form = os.str();
    const std::size_t a = form.find('"'), b = form.find('"', a + 1);
    return form.substr(a, b - a + 1);
}

const std::vector<std::string>& names() {
    static const std::vector<std::string> n = [] {
        std::vector<std::string> v;
        for (int k : kinds)
            v.push_back(quoted_name(k));
        return v;
    }();
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool escapes = text.find('\\') != std::string::npos;
    for (std::size_t i = 0; i < std::size(kinds); ++i) {
        if (i > 0 && !escapes && text.find(names()[i]) == std::string::npos)
            continue;
        const int k = kinds[i];
        double o[3], d[3];
        auto m = make(k, o, d);
        if (k == 5) // room for a few shifts to be overwritten
            static_cast<mirrorwheel_biaxial&>(*m).biaxial_shift.assign(2, {1.0f, 0.1f});
        try {
            std::istringstream is(text);
            is >> *m;
        } catch (const std::exception&) {
            continue;
        }
        for (unsigned line : {0u, 1u, 12345u, 0xFFFFFFFFu}) {
            m->compute_beam_raw(line, line ^ 0x5555u, line);
            double v[3];
            m->compute_vertex(v, 3.5);
            m->compute_vertex(v, 1e300);
        }
        std::ostringstream os;
        os << *m;
        double o2[3], d2[3];
        auto n = make(k, o2, d2);
        if (k == 5)
            static_cast<mirrorwheel_biaxial&>(*n).biaxial_shift.assign(2, {0.0f, 0.0f});
        std::istringstream back(os.str());
        back >> *n; // must not throw
        std::ostringstream again;
        again << *n;
        if (again.str() != os.str())
            std::abort();
    }
    return 0;
}
