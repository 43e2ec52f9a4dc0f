#include <scanlib/compressed.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <memory>

#include <scanlib/bpl.hpp>

namespace scanlib {

namespace {

using iterator = basic_packets::iterator;

// Adds d to v modulo 2^bits of T: running values wrap, never overflow.
template <class T, class D>
constexpr T wrap_add(T v, D d) noexcept {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(v) + static_cast<U>(d)));
}

// FIFO over a power-of-two ring that grows by doubling up to a fixed limit.
template <class T>
class bounded_fifo {
public:
    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == compressed_packets::queue_limit; }
    const T& front() const noexcept { return ring_[head_]; }
    void pop_front() noexcept {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    // The caller checks full() first.
    void push_back(const T& v) {
        if (size_ == capacity_)
            grow();
        ring_[(head_ + size_) & mask_] = v;
        ++size_;
    }
    void clear() noexcept {
        head_ = 0;
        size_ = 0;
    }

private:
    void grow() {
        const std::size_t bigger = capacity_ == 0 ? 64 : capacity_ * 2;
        auto ring = std::make_unique<T[]>(bigger);
        for (std::size_t i = 0; i < size_; ++i)
            ring[i] = ring_[(head_ + i) & mask_];
        ring_ = std::move(ring);
        capacity_ = bigger;
        mask_ = bigger - 1;
        head_ = 0;
    }

    std::unique_ptr<T[]> ring_;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

using echo_record = echo<void>;
using shot_record = laser_shot_2angles<void>;
using shot_rad_record = laser_shot_2angles_rad<void>;
using shot_hr_record = laser_shot_2angles_hr<void>;
using header_record = sbl_dg_channel_header_1<void>;
using waveform_record = sbl_dg_channel_data_compressed<void>;

using address = bpl::bit_address<iterator, bpl::little_endian, long>;

// Reads the next N-bit field and moves past it; a signed T takes the bits as
// two's complement and sign-extends them.
template <class T, unsigned N>
T take(address& a) noexcept {
    using U = std::make_unsigned_t<T>;
    const U raw = bpl::load<U, N>(a);
    a.add(N);
    if constexpr (std::is_signed_v<T> && N < 8 * sizeof(T)) {
        constexpr U sign = U(1) << (N - 1);
        return static_cast<T>(static_cast<U>((raw ^ sign) - sign));
    } else {
        return static_cast<T>(raw);
    }
}

// The elements of a packed frame as raw bits, with each field cut from them at
// the catalogue's compile-time position: one or two word loads per element
// and constant shifts per field.
template <class Seq>
class element_bits {
public:
    using element = typename Seq::value_type;
    static constexpr unsigned width = Seq::width, position = Seq::position;
    static_assert(width == 16 || width == 32 || width == 64, "elements fill a word, half a word or two");
    static_assert(position % 32 + width <= 32 || width == 64, "no element crosses a word");

    explicit element_bits(const Seq& s) : count_(s.size() > 0 ? static_cast<std::size_t>(s.size()) : 0) {
        if (count_ == 0)
            return;
        // Element 0 knows where the body starts.
        for_each_member(s[0], [this](const char*, const auto& f) {
            if (!begin_)
                begin_ = f.words() - position / 32;
        });
    }
    std::size_t size() const noexcept { return count_; }
    std::uint64_t operator[](std::size_t i) const noexcept {
        const std::size_t bit = position + i * width;
        const iterator w = begin_ + bit / 32;
        if constexpr (width == 64)
            return w[0] | std::uint64_t(w[1]) << 32;
        else if constexpr (width == 32)
            return w[0];
        else
            return (w[0] >> (bit % 32)) & 0xFFFFu;
    }

private:
    std::size_t count_;
    iterator begin_ = nullptr;
};

// The value of a sequence element's field (a binary::field type) from the
// element's raw bits; signed fields are sign-extended.
template <class Field>
typename Field::value_type cut(std::uint64_t bits) noexcept {
    constexpr unsigned p = Field::position, w = Field::width;
    static_assert(p + w <= 64);
    const std::uint64_t raw = (bits >> p) & ((std::uint64_t(1) << w) - 1);
    using T = typename Field::value_type;
    if constexpr (std::is_signed_v<T>) {
        constexpr std::uint64_t sign = std::uint64_t(1) << (w - 1);
        return static_cast<T>(static_cast<std::int64_t>((raw ^ sign) - sign));
    } else {
        return static_cast<T>(raw);
    }
}

// Running values of one version of the tagged bit stream.
struct stream_state {
    shot_hr_record shot{};
    // The steps of the last delta-shot record; 0 before the first.
    struct {
        std::uint32_t time = 0;
        std::int16_t angle1 = 0;
        std::int16_t angle2 = 0;
    } last_step;
    echo_record echo{};
};

} // namespace

class compressed_packets::impl {
public:
    impl(compressed_packets& owner, bool skip_waveforms) : owner_(owner), skip_waveforms_(skip_waveforms) {}

    // Per dispatch: a packed packet is unpacked once, even when the fallback
    // to older sub versions offers it to the same handler again.
    class dispatch_scope {
    public:
        explicit dispatch_scope(impl& i) noexcept
            : i_(i), in_(i.in_dispatch_), decoded_(i.decoded_in_dispatch_), emitted_(i.emitted_in_dispatch_) {
            i.in_dispatch_ = true;
            i.decoded_in_dispatch_ = false;
            i.emitted_in_dispatch_ = false;
        }
        ~dispatch_scope() {
            i_.in_dispatch_ = in_;
            i_.decoded_in_dispatch_ = decoded_;
            i_.emitted_in_dispatch_ = emitted_;
        }
        dispatch_scope(const dispatch_scope&) = delete;
        dispatch_scope& operator=(const dispatch_scope&) = delete;

    private:
        impl& i_;
        bool in_, decoded_, emitted_;
    };

    // False when this dispatch has already unpacked its packet.
    bool first_decode() noexcept {
        if (in_dispatch_ && decoded_in_dispatch_)
            return false;
        decoded_in_dispatch_ = true;
        return true;
    }

    std::uint64_t dropped() const noexcept { return dropped_; }

    // ---- key and frame scheme ----------------------------------------------

    void key_shot(const packed_key_laser_shot_2angles<iterator>& p) {
        new_block_if_echoes();
        key_seen_ = true;
        shot_state_.time = p.time;
        shot_state_.line_angle = p.line_angle;
        shot_state_.frame_angle = p.frame_angle;
        push(shot_queue_, std::pair{shot_state_, static_cast<std::uint32_t>(p.echo_count)});
        drain();
    }
    void key_shot_rad(const packed_key_laser_shot_2angles_rad<iterator>& p) {
        new_block_if_echoes();
        key_seen_ = true;
        shot_rad_state_.time = p.time;
        shot_rad_state_.line_angle = p.line_angle;
        shot_rad_state_.frame_angle = p.frame_angle;
        shot_rad_state_.background = p.background;
        push(shot_rad_queue_, std::pair{shot_rad_state_, static_cast<std::uint32_t>(p.echo_count)});
        drain();
    }
    void key_shot_hr(const packed_key_laser_shot_2angles_hr<iterator>& p) {
        new_block_if_echoes();
        key_seen_ = true;
        shot_hr_state_.time = p.time;
        shot_hr_state_.line_angle = p.line_angle;
        shot_hr_state_.frame_angle = p.frame_angle;
        push(shot_hr_queue_, std::pair{shot_hr_state_, static_cast<std::uint32_t>(p.echo_count)});
        drain_hr();
    }

    void frame_shots(const packed_frame_laser_shot_2angles<iterator>& p) { frame_shots(p, shot_state_, shot_queue_); }
    void frame_shots(const packed_frame_laser_shot_2angles_rad<iterator>& p) {
        frame_shots(p, shot_rad_state_, shot_rad_queue_);
    }

    // The 32-bit and rad frames: small corrections, ended by a stop marker.
    template <class Packet, class Record, class Queue>
    void frame_shots(const Packet& p, Record& s, Queue& queue) {
        if (!key_seen_)
            return;
        const std::uint32_t t = p.time_step;
        const auto a1 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.line_angle_step));
        const auto a2 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.frame_angle_step));
        constexpr bool rad = std::is_same_v<Record, shot_rad_record>;
        std::uint16_t fourth = 0;
        if constexpr (rad)
            fourth = p.background;
        auto append = [&](std::uint32_t dt, std::uint32_t d1, std::uint32_t d2, std::uint32_t n) {
            s.time += t + dt;
            s.line_angle += a1 + d1;
            s.frame_angle += a2 + d2;
            if constexpr (rad)
                s.background = fourth;
            push(queue, std::pair{s, n});
        };
        append(0, 0, 0, p.echo_count);
        const element_bits elements(p.frames);
        using E = typename decltype(elements)::element;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const std::uint64_t e = elements[i];
            const int dt = cut<decltype(E::time_correction)>(e);
            if (dt == -2) // stop marker
                break;
            append(static_cast<std::uint32_t>(dt),
                   static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::line_angle_correction)>(e))),
                   static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::frame_angle_correction)>(e))),
                   cut<decltype(E::echo_count)>(e));
        }
        drain();
    }

    void frame_shots_hr(const packed_frame_laser_shot_2angles_hr<iterator>& p) {
        if (!key_seen_)
            return;
        const std::uint32_t t = p.time_step;
        const auto a1 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.line_angle_step));
        const auto a2 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.frame_angle_step));
        auto& s = shot_hr_state_;
        s.time += t;
        s.line_angle += a1;
        s.frame_angle += a2;
        push(shot_hr_queue_, std::pair{s, static_cast<std::uint32_t>(p.echo_count)});
        const element_bits elements(p.frames);
        using E = typename decltype(elements)::element;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const std::uint64_t e = elements[i];
            const auto dt = static_cast<std::uint32_t>(cut<decltype(E::time_correction)>(e));
            // The step is a 32-bit sum, added zero-extended.
            s.time += static_cast<std::uint32_t>(t + dt);
            s.line_angle += a1 + static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::line_angle_correction)>(e)));
            s.frame_angle +=
                a2 + static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::frame_angle_correction)>(e)));
            push(shot_hr_queue_, std::pair{s, static_cast<std::uint32_t>(cut<decltype(E::echo_count)>(e))});
        }
        drain_hr();
    }

    // hr_1 carries the third value relative to the second.
    template <class Packet>
    void key_echo(const Packet& p, bool third_relative, bool hr) {
        echo_state_.range = p.range;
        echo_state_.amplitude = p.amplitude;
        const auto third = static_cast<std::uint16_t>(static_cast<std::int16_t>(p.reflectance));
        echo_state_.reflectance = static_cast<short>(third_relative ? wrap_add(echo_state_.amplitude, third) : third);
        echo_state_.flags = p.flags;
        echo_state_.deviation = static_cast<short>(static_cast<std::uint16_t>(p.deviation));
        push_echo(echo_state_);
        hr ? drain_hr() : drain();
    }

    // Echo deltas; hr_1 adds the second value's delta to the third as well.
    template <class Packet>
    void frame_echoes(const Packet& p, bool third_relative, bool hr) {
        echo_since_key_ = true; // also for a frame without elements
        const element_bits elements(p.deltas);
        using E = typename decltype(elements)::element;
        // Running values in locals: a record rebuilt from narrow stores and
        // read back whole would stall on every element.
        std::uint32_t range = static_cast<std::uint32_t>(echo_state_.range);
        std::uint16_t amplitude = echo_state_.amplitude;
        auto reflectance = static_cast<std::uint16_t>(echo_state_.reflectance);
        auto deviation = static_cast<std::uint16_t>(echo_state_.deviation);
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const std::uint64_t d = elements[i];
            const int d2 = cut<decltype(E::amplitude_delta)>(d);
            const int d3 = cut<decltype(E::reflectance_delta)>(d);
            range += static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::range_delta)>(d)));
            amplitude = wrap_add(amplitude, d2);
            reflectance = wrap_add(reflectance, third_relative ? d2 + d3 : d3);
            deviation = wrap_add(deviation, static_cast<int>(cut<decltype(E::deviation_delta)>(d)));
            const echo_record e{static_cast<int>(range), amplitude, static_cast<short>(reflectance),
                                cut<decltype(E::flags)>(d), static_cast<short>(deviation)};
            echo_state_ = e;
            push_echo(e);
        }
        hr ? drain_hr() : drain();
    }

    // ---- tagged bit streams -------------------------------------------------

    void decompress(const packed_shot_echos_hr<iterator>& p) {
        const auto [b, e] = stream_words(p);
        decode_v2(b, e);
    }
    void decompress(const packed_shot_echos_sbl_hr<iterator>& p) {
        const auto [b, e] = stream_words(p);
        decode_v3(b, e);
    }

private:
    // The words of a bit-stream body: one per element from bit 0.
    template <class Packet>
    static std::pair<iterator, iterator> stream_words(const Packet& p) {
        const auto n = static_cast<std::size_t>(p.stream.size());
        if (n == 0)
            return {nullptr, nullptr};
        const iterator b = p.stream[0].word.words();
        return {b, b + n};
    }

    void decode_v2(iterator begin, iterator end);
    void decode_v3(iterator begin, iterator end);

    // ---- emission ------------------------------------------------------------

    // The first unpacked packet of a dispatch shares the packed packet's count.
    void count_emission() noexcept {
        if (emitted_in_dispatch_)
            ++owner_.packet_count;
        else
            emitted_in_dispatch_ = true;
    }

    iterator cbuf() const noexcept { return packet_buffer_.data(); }

    void emit_echo(const echo_record& e) {
        count_emission();
        echo<unsigned int*>(packet_buffer_.data(), packet_buffer_.data() + 3) = e;
        owner_.on_echo(echo_view_);
    }

    // One emission, three calls: what a plain (10, 2) packet gives through
    // the older layouts.
    void emit_shot(const shot_record& s) {
        count_emission();
        laser_shot_2angles<unsigned int*>(packet_buffer_.data(), packet_buffer_.data() + 3) = s;
        owner_.on_laser_shot_2angles(shot_view_);
        owner_.on_laser_shot_1angle(shot_1angle_view_);
        owner_.on_laser_shot(shot_0angle_view_);
    }

    void emit_shot_rad(const shot_rad_record& s) {
        count_emission();
        laser_shot_2angles_rad<unsigned int*>(packet_buffer_.data(), packet_buffer_.data() + 4) = s;
        owner_.on_laser_shot_2angles_rad(shot_rad_view_);
    }

    void emit_shot_hr(const shot_hr_record& s) {
        count_emission();
        laser_shot_2angles_hr<unsigned int*>(packet_buffer_.data(), packet_buffer_.data() + 4) = s;
        owner_.on_laser_shot_2angles_hr(shot_hr_view_);
    }

    void emit_sdg_channel_header(const header_record& h) {
        count_emission();
        unsigned int* const end = packet_buffer_.data() + 4 + h.count;
        sbl_dg_channel_header_1<unsigned int*>(packet_buffer_.data(), end) = h;
        owner_.on_sbl_dg_channel_header_1(sbl_dg_channel_header_1<iterator>(cbuf(), end));
    }

    // The samples are already in the buffer, one per word from word 1.
    void emit_waveform(const waveform_record& w, std::size_t samples) {
        count_emission();
        unsigned int* const end = packet_buffer_.data() + 1 + samples;
        sbl_dg_channel_data_compressed<unsigned int*>(packet_buffer_.data(), end) = w;
        owner_.on_sbl_dg_channel_data_compressed(sbl_dg_channel_data_compressed<iterator>(cbuf(), end));
    }

    // ---- queues and drains ---------------------------------------------------

    void restart_block() noexcept {
        echo_queue_.clear();
        shot_queue_.clear();
        shot_rad_queue_.clear();
        shot_hr_queue_.clear();
        pending_echoes_ = 0;
        echo_since_key_ = false;
    }

    void new_block_if_echoes() noexcept {
        if (echo_since_key_)
            restart_block();
    }

    // A queue at its limit restarts everything, as a new block would.
    template <class Queue, class T>
    void push(Queue& queue, const T& v) {
        if (queue.full()) {
            dropped_ += echo_queue_.size() + shot_queue_.size() + shot_rad_queue_.size() + shot_hr_queue_.size();
            restart_block();
        }
        queue.push_back(v);
    }

    // Marks the echo after the push, so that echoes that follow a restart
    // of an overflowing queue still close their block at the next key shot.
    void push_echo(const echo_record& e) {
        push(echo_queue_, e);
        echo_since_key_ = true;
    }

    // Pays the echoes owed to the last shot; false when they have not all
    // arrived. Each entry leaves its queue before its handler runs, so a
    // handler that throws does not see it again.
    bool pay_echoes() {
        while (pending_echoes_ > 0) {
            if (echo_queue_.empty())
                return false;
            const echo_record e = echo_queue_.front();
            echo_queue_.pop_front();
            --pending_echoes_;
            emit_echo(e);
        }
        return true;
    }

    template <class Queue, class Emit>
    bool drain_queue(Queue& queue, Emit emit) {
        while (!queue.empty()) {
            const auto entry = queue.front();
            queue.pop_front();
            pending_echoes_ = entry.second;
            (this->*emit)(entry.first);
            if (!pay_echoes())
                return false;
        }
        return true;
    }

    void drain() {
        if (!key_seen_ || !pay_echoes())
            return;
        if (!drain_queue(shot_queue_, &impl::emit_shot))
            return;
        drain_queue(shot_rad_queue_, &impl::emit_shot_rad);
    }

    void drain_hr() {
        if (!key_seen_ || !pay_echoes())
            return;
        drain_queue(shot_hr_queue_, &impl::emit_shot_hr);
    }

    // ---- stream records ----------------------------------------------------------

    [[noreturn]] static void truncated(int version, unsigned tag) {
        throw std::runtime_error((version == 2 ? "Truncated subpackage v2: " : "Truncated subpackage v3: ") +
                                 std::to_string(tag));
    }
    // The record's words must lie inside the body.
    static void need(std::ptrdiff_t left, std::ptrdiff_t words, int version, unsigned tag) {
        if (left < words)
            truncated(version, tag);
    }

    static void shot_absolute(address& a, stream_state& st) noexcept {
        st.shot.time = take<std::uint64_t, 49>(a);
        st.shot.line_angle = take<std::uint32_t, 22>(a);
        st.shot.frame_angle = take<std::uint32_t, 22>(a);
    }
    static void shot_delta(address& a, stream_state& st) noexcept {
        st.last_step.time = take<std::uint32_t, 29>(a);
        st.last_step.angle1 = take<std::int16_t, 16>(a);
        st.last_step.angle2 = take<std::int16_t, 16>(a);
        st.shot.time += st.last_step.time;
        st.shot.line_angle = wrap_add(st.shot.line_angle, st.last_step.angle1);
        st.shot.frame_angle = wrap_add(st.shot.frame_angle, st.last_step.angle2);
    }
    static void shot_second_order(address& a, stream_state& st) noexcept {
        const auto dt = take<std::int32_t, 18>(a);
        const auto d1 = take<std::int32_t, 6>(a);
        const auto d2 = take<std::int32_t, 5>(a);
        st.shot.time += wrap_add(st.last_step.time, dt);
        st.shot.line_angle = wrap_add(st.shot.line_angle, static_cast<std::uint32_t>(wrap_add<std::int32_t>(st.last_step.angle1, d1)));
        st.shot.frame_angle = wrap_add(st.shot.frame_angle, static_cast<std::uint32_t>(wrap_add<std::int32_t>(st.last_step.angle2, d2)));
    }
    static void echo_absolute(address& a, stream_state& st) noexcept {
        st.echo.range = take<std::int32_t, 26>(a);
        const auto b = take<std::uint16_t, 16>(a);
        const auto x = take<std::uint16_t, 16>(a);
        st.echo.amplitude = b;
        st.echo.reflectance = static_cast<short>(wrap_add(b, x));
        st.echo.deviation = static_cast<short>(take<std::uint16_t, 16>(a));
        a.add(19);
    }
    static void echo_delta(address& a, stream_state& st) noexcept {
        const auto d1 = take<std::int32_t, 26>(a);
        const auto d2 = take<std::int32_t, 14>(a);
        const auto d3 = take<std::int32_t, 10>(a);
        const auto d5 = take<std::int32_t, 11>(a);
        st.echo.range = wrap_add(st.echo.range, d1);
        st.echo.amplitude = wrap_add(st.echo.amplitude, d2);
        st.echo.reflectance = wrap_add(st.echo.reflectance, d2 + d3);
        st.echo.deviation = wrap_add(st.echo.deviation, d5);
    }

    void channel_header(address& a, std::ptrdiff_t left);
    void waveform(address& a, std::ptrdiff_t left);

    compressed_packets& owner_;

    // key and frame scheme
    bool echo_since_key_ = false;
    std::uint32_t pending_echoes_ = 0;
    bool key_seen_ = false;
    echo_record echo_state_{};
    shot_record shot_state_{};
    shot_rad_record shot_rad_state_{};
    shot_hr_record shot_hr_state_{};
    bounded_fifo<echo_record> echo_queue_;
    bounded_fifo<std::pair<shot_record, std::uint32_t>> shot_queue_;
    bounded_fifo<std::pair<shot_rad_record, std::uint32_t>> shot_rad_queue_;
    bounded_fifo<std::pair<shot_hr_record, std::uint32_t>> shot_hr_queue_;
    std::uint64_t dropped_ = 0;

    // tagged bit streams, one state per version
    stream_state v2_;
    stream_state v3_;
    bool header_since_shot_ = false;
    bool skip_waveforms_;

    bool in_dispatch_ = false;
    bool decoded_in_dispatch_ = false;
    bool emitted_in_dispatch_ = false;

public:
    // Largest unpacked packet: a waveform of 1023 samples after its word.
    static constexpr std::size_t buffer_words = 2050;

private:
    // Zeroed once, so no handler ever sees a word that was never written.
    std::array<unsigned int, buffer_words> packet_buffer_{};
    // Read views of the fixed-size unpacked packets, bound to the buffer once.
    const echo<iterator> echo_view_{cbuf(), cbuf() + 3};
    const laser_shot_2angles<iterator> shot_view_{cbuf(), cbuf() + 3};
    const laser_shot_1angle<iterator> shot_1angle_view_{cbuf(), cbuf() + 3};
    const laser_shot<iterator> shot_0angle_view_{cbuf(), cbuf() + 3};
    const laser_shot_2angles_rad<iterator> shot_rad_view_{cbuf(), cbuf() + 4};
    const laser_shot_2angles_hr<iterator> shot_hr_view_{cbuf(), cbuf() + 4};
};

// Every record is a whole number of words, so each starts at bit 0 of a word:
// a record's fields are read from an address made at its first word, whose
// offsets the compiler then knows.
void compressed_packets::impl::decode_v2(iterator p, iterator end) {
    stream_state& st = v2_;
    while (p < end) {
        address a(p);
        const auto tag = take<unsigned, 3>(a);
        const auto left = end - p;
        switch (tag) {
        case 0:
            return;
        case 1:
            need(left, 3, 2, tag);
            shot_absolute(a, st);
            emit_shot_hr(st.shot);
            break;
        case 2:
            need(left, 2, 2, tag);
            shot_delta(a, st);
            emit_shot_hr(st.shot);
            break;
        case 3:
            shot_second_order(a, st);
            emit_shot_hr(st.shot);
            break;
        case 4:
            need(left, 3, 2, tag);
            echo_absolute(a, st);
            emit_echo(st.echo);
            break;
        case 5:
            need(left, 2, 2, tag);
            echo_delta(a, st);
            emit_echo(st.echo);
            break;
        default:
            throw std::runtime_error("Unknown subpackage v2: " + std::to_string(tag));
        }
        p = a.word();
    }
}

void compressed_packets::impl::decode_v3(iterator p, iterator end) {
    stream_state& st = v3_;
    while (p < end) {
        address a(p);
        const auto tag = take<unsigned, 3>(a);
        const auto left = end - p;
        switch (tag) {
        case 0:
            need(left, 3, 3, tag);
            shot_absolute(a, st);
            header_since_shot_ = false;
            emit_shot_hr(st.shot);
            break;
        case 1:
            need(left, 2, 3, tag);
            shot_delta(a, st);
            header_since_shot_ = false;
            emit_shot_hr(st.shot);
            break;
        case 2:
            shot_second_order(a, st);
            header_since_shot_ = false;
            emit_shot_hr(st.shot);
            break;
        case 3:
            need(left, 3, 3, tag);
            echo_absolute(a, st);
            emit_echo(st.echo);
            break;
        case 4:
            need(left, 2, 3, tag);
            echo_delta(a, st);
            emit_echo(st.echo);
            break;
        case 5:
            channel_header(a, left);
            break;
        case 7:
            waveform(a, left);
            break;
        default:
            throw std::runtime_error("Unknown subpackage v3: " + std::to_string(tag));
        }
        p = a.word();
    }
}

void compressed_packets::impl::channel_header(address& a, std::ptrdiff_t left) {
    const auto h = take<std::uint16_t, 16>(a);
    a.add(10);
    const auto n = take<unsigned, 3>(a);
    need(left, 1 + static_cast<std::ptrdiff_t>(n), 3, 5);
    if (skip_waveforms_) {
        a.add(32L * n);
        return;
    }
    header_record r{};
    r.time = v3_.shot.time;
    r.f1 = h;
    r.count = n;
    for (unsigned i = 0; i < n; ++i) {
        r.channels[i].channel = take<unsigned char, 4>(a);
        r.channels[i].f1 = take<std::uint32_t, 18>(a);
        r.channels[i].f2 = take<std::uint16_t, 10>(a);
    }
    emit_sdg_channel_header(r);
    header_since_shot_ = true;
}

void compressed_packets::impl::waveform(address& a, std::ptrdiff_t left) {
    need(left, 2, 3, 7);
    const auto n = take<unsigned, 10>(a);
    need(left, 2 + static_cast<std::ptrdiff_t>(n), 3, 7);
    if (skip_waveforms_) {
        a.add(51 + 32L * n);
        return;
    }
    a.add(19);
    waveform_record w{};
    w.f0 = static_cast<short>(take<std::uint16_t, 16>(a));
    w.channel = take<unsigned char, 4>(a);
    w.f2 = take<unsigned char, 5>(a);
    w.f3 = take<unsigned char, 7>(a);
    if (w.channel == 5 && !header_since_shot_) {
        header_record r{};
        r.time = v3_.shot.time;
        r.count = 1;
        r.channels[0].channel = 5;
        emit_sdg_channel_header(r);
        header_since_shot_ = true;
    }
    // The samples go to their words after the default header (if any) has
    // been handed over; they start on a word, one per word.
    std::memcpy(packet_buffer_.data() + 1, a.word(), n * sizeof(unsigned int));
    a.add(32L * n);
    emit_waveform(w, n);
}

// ---- compressed_packets -----------------------------------------------------------

compressed_packets::compressed_packets(bool skip_waveforms)
    : packet_count(0), impl_(std::make_unique<impl>(*this, skip_waveforms)) {}

compressed_packets::~compressed_packets() = default;

std::uint64_t compressed_packets::dropped_entries() const noexcept { return impl_->dropped(); }

bool compressed_packets::on_dispatch(iterator const& begin, iterator const& end) {
    impl::dispatch_scope scope(*impl_);
    ++packet_count;
    return basic_packets::on_dispatch(begin, end);
}

void compressed_packets::on_packed_shot_echos_hr(packed_shot_echos_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->decompress(packet);
}

void compressed_packets::on_packed_shot_echos_sbl_hr(packed_shot_echos_sbl_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->decompress(packet);
}

void compressed_packets::on_packed_key_laser_shot_2angles(packed_key_laser_shot_2angles<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_shot(packet);
}

void compressed_packets::on_packed_key_laser_shot_2angles_rad(
    packed_key_laser_shot_2angles_rad<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_shot_rad(packet);
}

void compressed_packets::on_packed_key_laser_shot_2angles_hr(
    packed_key_laser_shot_2angles_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_shot_hr(packet);
}

void compressed_packets::on_packed_frame_laser_shot_2angles(
    packed_frame_laser_shot_2angles<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_shots(packet);
}

void compressed_packets::on_packed_frame_laser_shot_2angles_rad(
    packed_frame_laser_shot_2angles_rad<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_shots(packet);
}

void compressed_packets::on_packed_frame_laser_shot_2angles_hr(
    packed_frame_laser_shot_2angles_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_shots_hr(packet);
}

void compressed_packets::on_packed_key_echo(packed_key_echo<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_echo(packet, false, false);
}

void compressed_packets::on_packed_key_echo_hr(packed_key_echo_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_echo(packet, false, true);
}

void compressed_packets::on_packed_key_echo_hr_1(packed_key_echo_hr_1<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->key_echo(packet, true, true);
}

void compressed_packets::on_packed_frame_echo(packed_frame_echo<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_echoes(packet, false, false);
}

void compressed_packets::on_packed_frame_echo_hr(packed_frame_echo_hr<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_echoes(packet, false, true);
}

void compressed_packets::on_packed_frame_echo_hr_1(packed_frame_echo_hr_1<iterator> const& packet) {
    if (impl_->first_decode())
        impl_->frame_echoes(packet, true, true);
}

} // namespace scanlib
