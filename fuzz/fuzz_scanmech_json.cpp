// Any text read as a scan mechanism's JSON form: failures are exceptions, and
// a model that was read writes a form that reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <string>

#include <scanlib/scanmech.hpp>

using namespace scanlib;

namespace {

std::unique_ptr<scanmech> make(int k, double (&o)[3], double (&d)[3]) {
    if (k == 0)
        return std::make_unique<scanmech>(o, d);
    return std::unique_ptr<scanmech>(scanmech::create(scanmech::kind_e(k), o, d));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (int k : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10}) {
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
