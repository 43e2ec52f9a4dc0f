// The printing visitor.

#include <scanlib/ostream_packets.hpp>

#include <scanlib/qodatawrite.hpp>

#include <ios>

namespace scanlib {

namespace {

void end_line(std::ostream& os) {
    os.put(os.widen('\n'));
    os.flush();
}

} // namespace

ostream_packets::ostream_packets(std::ostream* o, std::bitset<package_type_count> const& selector)
    : basic_packets(selector), out(o) {}

ostream_packets::~ostream_packets() = default;

void ostream_packets::on_id(package_id const& id, basic_package<iterator> const&) {
    if (out)
        *out << id;
}

template <class View>
void ostream_packets::print(View const& packet) {
    if (out) {
        if constexpr (View::member_count > 0)
            *out << packet;
        end_line(*out);
    }
    not_handled = false;
}

#define SCANLIB_HANDLER(type, name) \
    void ostream_packets::on_##name(name<iterator> const& packet) { print(packet); }
#include <scanlib/generated/packet_handlers.inc>
#undef SCANLIB_HANDLER

void ostream_packets::on_unknown(unsigned int, unsigned int, iterator const& begin, iterator const& end) {
    if (out) {
        std::ostream& os = *out;
        const std::ios_base::fmtflags saved = os.flags();
        os.setf(std::ios_base::hex, std::ios_base::basefield);
        os.setf(std::ios_base::showbase);
        for (iterator w = begin; w < end; ++w) {
            os.write(", ", 2);
            os << *w;
        }
        end_line(os);
        os.flags(saved);
    }
    not_handled = false;
}

} // namespace scanlib
