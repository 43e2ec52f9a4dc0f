#include <scanlib/compressed.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <memory>
#include <new>

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
// The ring is raw storage: every slot is written by push_back before it is
// read, so it is never filled on allocation.
template <class T>
class bounded_fifo {
    static_assert(std::is_trivially_copy_constructible_v<T> && std::is_trivially_destructible_v<T>);

public:
    using value_type = T;

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == compressed_packets::queue_limit; }
    const T& front() const noexcept { return at(head_); }
    void pop_front() noexcept {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    // The caller checks full() first.
    void push_back(const T& v) {
        if (size_ == capacity_)
            grow();
        ::new (static_cast<void*>(ring_[(head_ + size_) & mask_].bytes)) T(v);
        ++size_;
    }
    // Room for n more entries, so that a run of pushes needs no check each;
    // false when they would pass the limit.
    bool make_room(std::size_t n) {
        if (n > compressed_packets::queue_limit - size_)
            return false;
        while (capacity_ - size_ < n)
            grow();
        return true;
    }
private:
    struct slot {
        alignas(T) unsigned char bytes[sizeof(T)];
    };

public:
    // Appends after make_room with the ring position in a local, which the
    // stores into the ring cannot alias; commit ends the run.
    class appender {
    public:
        explicit appender(bounded_fifo& q) noexcept : ring_(q.ring_.get()), mask_(q.mask_), pos_(q.head_ + q.size_) {}
        // Built in its slot from its members: a record assembled on the
        // stack from narrow stores and copied whole would stall.
        template <class... Args>
        void operator()(const Args&... members) noexcept {
            ::new (static_cast<void*>(ring_[pos_ & mask_].bytes)) T{members...};
            ++pos_;
        }
        void commit(bounded_fifo& q) const noexcept { q.size_ = pos_ - q.head_; }

    private:
        slot* ring_;
        std::size_t mask_, pos_;
    };
    void clear() noexcept {
        head_ = 0;
        size_ = 0;
    }

private:
    const T& at(std::size_t i) const noexcept { return *std::launder(reinterpret_cast<const T*>(ring_[i].bytes)); }

    void grow() {
        const std::size_t bigger = capacity_ == 0 ? 64 : capacity_ * 2;
        auto ring = std::make_unique_for_overwrite<slot[]>(bigger);
        for (std::size_t i = 0; i < size_; ++i)
            ::new (static_cast<void*>(ring[i].bytes)) T(at((head_ + i) & mask_));
        ring_ = std::move(ring);
        capacity_ = bigger;
        mask_ = bigger - 1;
        head_ = 0;
    }

    std::unique_ptr<slot[]> ring_;
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

// The running shot of one key/frame scheme and its shots still to be emitted,
// each with its echo count.
template <class Record>
struct shot_lane {
    Record state{};
    bounded_fifo<std::pair<Record, std::uint32_t>> queue;
};

template <class Packet, template <class> class... Kinds>
constexpr bool is_one_of = (std::is_same_v<Packet, Kinds<iterator>> || ...);

// The shot record each packed shot packet unpacks to.
template <class Packet>
using shot_of = std::conditional_t<
    is_one_of<Packet, packed_key_laser_shot_2angles_hr, packed_frame_laser_shot_2angles_hr>, shot_hr_record,
    std::conditional_t<is_one_of<Packet, packed_key_laser_shot_2angles_rad, packed_frame_laser_shot_2angles_rad>,
                       shot_rad_record, shot_record>>;

} // namespace

class compressed_packets::impl {
public:
    impl(compressed_packets& owner, bool skip_waveforms)
        : owner_(owner), visitor_(owner), skip_waveforms_(skip_waveforms) {}

    // Per dispatch: a packed packet is unpacked once, even when the fallback
    // to older sub versions offers it to the same handler again. The packet's
    // words tell a handler whether its view is a padded copy of a short body.
    class dispatch_scope {
    public:
        // The packet's words are not restored: a packet is checked at its
        // first unpack, before the handlers of what it unpacks can dispatch
        // another.
        dispatch_scope(impl& i, iterator begin, iterator end) noexcept
            : i_(i), in_(i.in_dispatch_), decoded_(i.decoded_in_dispatch_), emitted_(i.emitted_in_dispatch_) {
            i.in_dispatch_ = true;
            i.decoded_in_dispatch_ = false;
            i.emitted_in_dispatch_ = false;
            i.packet_begin_ = begin;
            i.packet_end_ = end;
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

    std::uint64_t dropped() const noexcept { return dropped_; }

    // Every packed packet comes in here; its type picks the decoder.
    template <class Packet>
    void unpack(const Packet& p) {
        if (in_dispatch_ && decoded_in_dispatch_)
            return;
        decoded_in_dispatch_ = true;
        if constexpr (!Packet::has_sequence) {
            if (cut_short<Packet>()) [[unlikely]] {
                key_lost<Packet>();
                return;
            }
        }
        if constexpr (is_one_of<Packet, packed_shot_echos_hr>)
            decode_stream<2>(p);
        else if constexpr (is_one_of<Packet, packed_shot_echos_sbl_hr>)
            decode_stream<3>(p);
        else if constexpr (is_one_of<Packet, packed_key_echo, packed_key_echo_hr, packed_key_echo_hr_1>)
            key_echo<is_one_of<Packet, packed_key_echo_hr_1>, !is_one_of<Packet, packed_key_echo>>(p);
        else if constexpr (is_one_of<Packet, packed_frame_echo, packed_frame_echo_hr, packed_frame_echo_hr_1>) {
            // After a lost key echo the deltas have nothing to add to.
            if (echo_lost_) [[unlikely]]
                echo_since_key_ = true;
            else
                frame_echoes<is_one_of<Packet, packed_frame_echo_hr_1>, !is_one_of<Packet, packed_frame_echo>>(p);
        }
        else if constexpr (Packet::has_sequence)
            frame_shots(p);
        else
            key_shot(p);
    }

private:
    // True for a key packet whose body is short of its layout, as the end of
    // a cut file leaves it: the dispatcher hands it out zero-filled, and
    // unpacked it would make up a shot or echo. Packets with a sequence never
    // get that far short of their fixed part.
    template <class Packet>
    bool cut_short() const noexcept {
        if (!in_dispatch_ || packet_begin_ == packet_end_)
            return false;
        const basic_package<iterator> packet(packet_begin_, packet_end_, owner_.table);
        return packet.end - packet.body_begin < static_cast<std::ptrdiff_t>(Packet::size_info.fixed_words);
    }

    // The frames after a lost key would step from the values before it: they
    // make nothing until the next whole key of their kind.
    template <class Packet>
    [[gnu::cold, gnu::noinline]] void key_lost() noexcept {
        if constexpr (is_one_of<Packet, packed_key_echo, packed_key_echo_hr, packed_key_echo_hr_1>) {
            echo_since_key_ = true;
            echo_lost_ = true;
        } else {
            key_seen_ = false;
        }
    }

    // ---- key and frame scheme ----------------------------------------------

    template <class Record>
    shot_lane<Record>& lane() noexcept {
        if constexpr (std::is_same_v<Record, shot_record>)
            return shots_;
        else if constexpr (std::is_same_v<Record, shot_rad_record>)
            return shots_rad_;
        else
            return shots_hr_;
    }

    template <class Packet>
    void key_shot(const Packet& p) {
        using Record = shot_of<Packet>;
        new_block_if_echoes();
        key_seen_ = true;
        auto& [s, queue] = lane<Record>();
        s.time = p.time;
        s.line_angle = p.line_angle;
        s.frame_angle = p.frame_angle;
        if constexpr (std::is_same_v<Record, shot_rad_record>)
            s.background = p.background;
        push(queue, std::pair{s, static_cast<std::uint32_t>(p.echo_count)});
        drain<std::is_same_v<Record, shot_hr_record>>();
    }

    // The first shot takes the frame's steps alone, each element adds its
    // small corrections to them. Only the narrow schemes have a stop marker:
    // their 2-bit time correction never needs -2.
    template <class Packet>
    void frame_shots(const Packet& p) {
        if (!key_seen_)
            return;
        using Record = shot_of<Packet>;
        constexpr bool hr = std::is_same_v<Record, shot_hr_record>;
        constexpr bool rad = std::is_same_v<Record, shot_rad_record>;
        auto& [state, queue] = lane<Record>();
        const std::uint32_t t = p.time_step;
        const auto a1 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.line_angle_step));
        const auto a2 = static_cast<std::uint32_t>(static_cast<std::int32_t>(p.frame_angle_step));
        const element_bits elements(p.frames);
        using E = typename decltype(elements)::element;
        // The running shot in a local: the queue's stores could alias it.
        Record s = state;
        if constexpr (rad)
            s.background = p.background;
        append_run(queue, elements.size() + 1, [&](auto&& append) {
            // The time step is a 32-bit sum, added zero-extended to a 64-bit time.
            std::uint32_t step = t, d1 = 0, d2 = 0, n = p.echo_count;
            for (std::size_t i = 0;; ++i) {
                s.time += step;
                s.line_angle += a1 + d1;
                s.frame_angle += a2 + d2;
                append(s, n);
                if (i == elements.size())
                    break;
                const std::uint64_t e = elements[i];
                const int dt = cut<decltype(E::time_correction)>(e);
                if constexpr (!hr) {
                    if (dt == -2) // stop marker
                        break;
                }
                step = t + static_cast<std::uint32_t>(dt);
                d1 = static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::line_angle_correction)>(e)));
                d2 = static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::frame_angle_correction)>(e)));
                n = cut<decltype(E::echo_count)>(e);
            }
        });
        state = s;
        drain<hr>();
    }

    // ThirdRelative: the third value is stored relative to the second.
    template <bool ThirdRelative, bool Hr, class Packet>
    void key_echo(const Packet& p) {
        echo_lost_ = false;
        echo_state_.range = p.range;
        echo_state_.amplitude = p.amplitude;
        const auto third = static_cast<std::uint16_t>(static_cast<std::int16_t>(p.reflectance));
        echo_state_.reflectance = static_cast<short>(ThirdRelative ? wrap_add(echo_state_.amplitude, third) : third);
        echo_state_.flags = p.flags;
        echo_state_.deviation = static_cast<short>(static_cast<std::uint16_t>(p.deviation));
        push_echo(echo_state_);
        drain<Hr>();
    }

    // Echo deltas; ThirdRelative adds the second value's delta to the third
    // as well.
    template <bool ThirdRelative, bool Hr, class Packet>
    void frame_echoes(const Packet& p) {
        echo_since_key_ = true; // also for a frame without elements
        const element_bits elements(p.deltas);
        using E = typename decltype(elements)::element;
        // Running values in locals: a record rebuilt from narrow stores and
        // read back whole would stall on every element.
        std::uint32_t range = static_cast<std::uint32_t>(echo_state_.range);
        std::uint16_t amplitude = echo_state_.amplitude;
        auto reflectance = static_cast<std::uint16_t>(echo_state_.reflectance);
        auto deviation = static_cast<std::uint16_t>(echo_state_.deviation);
        unsigned short flags = echo_state_.flags;
        append_run(echo_queue_, elements.size(), [&](auto&& append) {
            for (std::size_t i = 0; i < elements.size(); ++i) {
                const std::uint64_t d = elements[i];
                const int d2 = cut<decltype(E::amplitude_delta)>(d);
                const int d3 = cut<decltype(E::reflectance_delta)>(d);
                range += static_cast<std::uint32_t>(static_cast<int>(cut<decltype(E::range_delta)>(d)));
                amplitude = wrap_add(amplitude, d2);
                reflectance = wrap_add(reflectance, ThirdRelative ? d2 + d3 : d3);
                deviation = wrap_add(deviation, static_cast<int>(cut<decltype(E::deviation_delta)>(d)));
                flags = cut<decltype(E::flags)>(d);
                append(static_cast<int>(range), amplitude, static_cast<short>(reflectance), flags,
                       static_cast<short>(deviation));
            }
        });
        echo_state_ = {static_cast<int>(range), amplitude, static_cast<short>(reflectance), flags,
                       static_cast<short>(deviation)};
        drain<Hr>();
    }

    // ---- emission ------------------------------------------------------------

    // The first unpacked packet of a dispatch shares the packed packet's count.
    void count_emission() noexcept {
        if (emitted_in_dispatch_)
            ++owner_.packet_count;
        else
            emitted_in_dispatch_ = true;
    }

    iterator cbuf() const noexcept { return packet_buffer_.data(); }

    // The fixed-size records go to the buffer as whole words: the echo's
    // fields fill its three words, the shots' 32-bit fields one word each.
    void write(const echo_record& e) noexcept {
        unsigned int* const w = packet_buffer_.data();
        w[0] = static_cast<std::uint32_t>(e.range);
        w[1] = e.amplitude | std::uint32_t(static_cast<std::uint16_t>(e.reflectance)) << 16;
        w[2] = e.flags | std::uint32_t(static_cast<std::uint16_t>(e.deviation)) << 16;
    }
    void write(const shot_record& s) noexcept {
        unsigned int* const w = packet_buffer_.data();
        w[0] = s.time;
        w[1] = s.line_angle;
        w[2] = s.frame_angle;
    }
    // The fourth value in the low half of word 3; its high half is no
    // field's and keeps what it held.
    void write(const shot_rad_record& s) noexcept {
        unsigned int* const w = packet_buffer_.data();
        w[0] = s.time;
        w[1] = s.line_angle;
        w[2] = s.frame_angle;
        w[3] = (w[3] & 0xFFFF0000u) | s.background;
    }
    // Time in words 0-1, angle 1 in bits 8-31 of word 2 (bits 0-7 are no
    // field's and keep what they held), angle 2 in word 3.
    void write(const shot_hr_record& s) noexcept {
        unsigned int* const w = packet_buffer_.data();
        w[0] = static_cast<std::uint32_t>(s.time);
        w[1] = static_cast<std::uint32_t>(s.time >> 32);
        w[2] = (w[2] & 0xFFu) | s.line_angle << 8;
        w[3] = s.frame_angle;
    }

    // Hands the record in the buffer to its handlers. A 32-bit shot makes
    // three calls: what a plain (10, 2) packet gives through the older
    // layouts.
    template <class Record>
    void deliver() {
        if constexpr (std::is_same_v<Record, echo_record>) {
            visitor_.on_echo(echo_view_);
        } else if constexpr (std::is_same_v<Record, shot_record>) {
            visitor_.on_laser_shot_2angles(shot_view_);
            visitor_.on_laser_shot_1angle(shot_1angle_view_);
            visitor_.on_laser_shot(shot_0angle_view_);
        } else if constexpr (std::is_same_v<Record, shot_rad_record>) {
            visitor_.on_laser_shot_2angles_rad(shot_rad_view_);
        } else {
            visitor_.on_laser_shot_2angles_hr(shot_hr_view_);
        }
    }

    template <class Record>
    void emit(const Record& r) {
        count_emission();
        write(r);
        deliver<Record>();
    }

    void emit(const header_record& h) {
        count_emission();
        unsigned int* const end = packet_buffer_.data() + 4 + h.count;
        sbl_dg_channel_header_1<unsigned int*>(packet_buffer_.data(), end) = h;
        visitor_.on_sbl_dg_channel_header_1(sbl_dg_channel_header_1<iterator>(cbuf(), end));
    }

    // The samples are already in the buffer, one per word from word 1.
    void emit(const waveform_record& w, std::size_t samples) {
        count_emission();
        unsigned int* const end = packet_buffer_.data() + 1 + samples;
        sbl_dg_channel_data_compressed<unsigned int*>(packet_buffer_.data(), end) = w;
        visitor_.on_sbl_dg_channel_data_compressed(sbl_dg_channel_data_compressed<iterator>(cbuf(), end));
    }

    // ---- queues and drains ---------------------------------------------------

    void restart_block() noexcept {
        echo_queue_.clear();
        shots_.queue.clear();
        shots_rad_.queue.clear();
        shots_hr_.queue.clear();
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
        if (queue.full()) [[unlikely]] {
            dropped_ += echo_queue_.size() + shots_.queue.size() + shots_rad_.queue.size() + shots_hr_.queue.size();
            restart_block();
        }
        queue.push_back(v);
    }

    // Runs fill(append) for a run of at most `most` entries: without a check
    // per entry when they fit below the limit, else one push at a time.
    template <class Queue, class Fill>
    void append_run(Queue& queue, std::size_t most, Fill&& fill) {
        if (queue.make_room(most)) {
            typename Queue::appender append(queue);
            fill(append);
            append.commit(queue);
        } else if constexpr (std::is_same_v<Queue, decltype(echo_queue_)>) {
            fill([this](const auto&... members) { push_echo(echo_record{members...}); });
        } else {
            fill([this, &queue](const auto&... members) { push(queue, typename Queue::value_type{members...}); });
        }
    }

    // Marks the echo after the push, so that echoes that follow a restart
    // of an overflowing queue still close their block at the next key shot.
    void push_echo(const echo_record& e) {
        push(echo_queue_, e);
        echo_since_key_ = true;
    }

    // Pays the echoes owed to the last shot; false when they have not all
    // arrived. Each entry is written out straight from its slot and leaves
    // its queue before its handlers run, so a handler that throws does not
    // see it again.
    bool pay_echoes() {
        while (pending_echoes_ > 0) {
            if (echo_queue_.empty())
                return false;
            count_emission();
            write(echo_queue_.front());
            echo_queue_.pop_front();
            --pending_echoes_;
            deliver<echo_record>();
        }
        return true;
    }

    template <class Queue>
    bool drain_queue(Queue& queue) {
        using Record = decltype(Queue::value_type::first);
        while (!queue.empty()) {
            const auto& entry = queue.front();
            pending_echoes_ = entry.second;
            count_emission();
            write(entry.first);
            queue.pop_front();
            deliver<Record>();
            if (!pay_echoes())
                return false;
        }
        return true;
    }

    // The high-resolution scheme drains only its own shots; the 32-bit and
    // rad schemes drain theirs, in that order.
    template <bool Hr>
    void drain() {
        if (!key_seen_ || !pay_echoes())
            return;
        if constexpr (Hr)
            drain_queue(shots_hr_.queue);
        else if (drain_queue(shots_.queue))
            drain_queue(shots_rad_.queue);
    }

    // ---- tagged bit streams -------------------------------------------------

    // A range error, as for a body short of its sequence: at the end of the
    // input it is what a cut file leaves, and a reader may end there.
    [[noreturn]] static void truncated(int version, unsigned tag) {
        throw std::range_error((version == 2 ? "Truncated subpackage v2: " : "Truncated subpackage v3: ") +
                                 std::to_string(tag));
    }
    [[noreturn]] static void unknown(int version, unsigned tag) {
        throw std::runtime_error((version == 2 ? "Unknown subpackage v2: " : "Unknown subpackage v3: ") +
                                 std::to_string(tag));
    }
    // The record's words must lie inside the body.
    static void need(std::ptrdiff_t left, std::ptrdiff_t words, int version, unsigned tag) {
        if (left < words) [[unlikely]]
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

    template <int Version>
    void emit_stream_shot(const stream_state& st) {
        if constexpr (Version == 3)
            header_since_shot_ = false;
        emit(st.shot);
    }

    template <int Version, class Packet>
    void decode_stream(const Packet& packet);

    void channel_header(address& a, std::ptrdiff_t left);
    void waveform(address& a, std::ptrdiff_t left);

    compressed_packets& owner_;
    // The handlers are called through the shared base, found once.
    basic_packets& visitor_;

    // key and frame scheme
    bool echo_since_key_ = false;
    std::uint32_t pending_echoes_ = 0;
    bool key_seen_ = false;
    // The last key echo was cut short: echo deltas have nothing to add to.
    bool echo_lost_ = false;
    echo_record echo_state_{};
    shot_lane<shot_record> shots_;
    shot_lane<shot_rad_record> shots_rad_;
    shot_lane<shot_hr_record> shots_hr_;
    bounded_fifo<echo_record> echo_queue_;
    std::uint64_t dropped_ = 0;

    // tagged bit streams, one state per version
    stream_state v2_;
    stream_state v3_;
    bool header_since_shot_ = false;
    bool skip_waveforms_;

    bool in_dispatch_ = false;
    bool decoded_in_dispatch_ = false;
    bool emitted_in_dispatch_ = false;
    iterator packet_begin_ = nullptr;
    iterator packet_end_ = nullptr;

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

// Both versions share the shot and echo records; version 3 numbers them one
// lower, has no end record and adds the waveform records. Every record is a
// whole number of words, so each starts at bit 0 of a word: a record's fields
// are read from an address made at its first word, whose offsets the
// compiler then knows.
template <int Version, class Packet>
void compressed_packets::impl::decode_stream(const Packet& packet) {
    // The words of the body: one per element from bit 0.
    const auto words = static_cast<std::size_t>(packet.stream.size());
    if (words == 0)
        return;
    iterator p = packet.stream[0].word.words();
    const iterator end = p + words;
    stream_state& st = Version == 2 ? v2_ : v3_;
    constexpr unsigned shift = Version == 2 ? 0 : 1;
    while (p < end) {
        address a(p);
        const auto tag = take<unsigned, 3>(a);
        const auto left = end - p;
        // Version-2 numbering: shot, delta shot, second-order shot, echo,
        // echo delta; the record's words must lie inside the body.
        switch (tag + shift) {
        case 1: need(left, 3, Version, tag); shot_absolute(a, st); emit_stream_shot<Version>(st); break;
        case 2: need(left, 2, Version, tag); shot_delta(a, st); emit_stream_shot<Version>(st); break;
        case 3: shot_second_order(a, st); emit_stream_shot<Version>(st); break;
        case 4: need(left, 3, Version, tag); echo_absolute(a, st); emit(st.echo); break;
        case 5: need(left, 2, Version, tag); echo_delta(a, st); emit(st.echo); break;
        default:
            if constexpr (Version == 2) {
                if (tag != 0)
                    unknown(Version, tag);
                return;
            } else if (tag == 5) {
                channel_header(a, left);
            } else if (tag == 7) {
                waveform(a, left);
            } else {
                unknown(Version, tag);
            }
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
    emit(r);
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
        emit(r);
        header_since_shot_ = true;
    }
    // The samples go to their words after the default header (if any) has
    // been handed over; they start on a word, one per word.
    std::memcpy(packet_buffer_.data() + 1, a.word(), n * sizeof(unsigned int));
    a.add(32L * n);
    emit(w, n);
}

// ---- compressed_packets -----------------------------------------------------------

compressed_packets::compressed_packets(bool skip_waveforms)
    : packet_count(0), impl_(std::make_unique<impl>(*this, skip_waveforms)) {}

compressed_packets::~compressed_packets() = default;

std::uint64_t compressed_packets::dropped_entries() const noexcept { return impl_->dropped(); }

bool compressed_packets::on_dispatch(iterator const& begin, iterator const& end) {
    impl::dispatch_scope scope(*impl_, begin, end);
    ++packet_count;
    return basic_packets::on_dispatch(begin, end);
}

void compressed_packets::on_packed_shot_echos_hr(packed_shot_echos_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_shot_echos_sbl_hr(packed_shot_echos_sbl_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_laser_shot_2angles(packed_key_laser_shot_2angles<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_laser_shot_2angles_rad(packed_key_laser_shot_2angles_rad<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_laser_shot_2angles_hr(packed_key_laser_shot_2angles_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_laser_shot_2angles(packed_frame_laser_shot_2angles<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_laser_shot_2angles_rad(packed_frame_laser_shot_2angles_rad<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_laser_shot_2angles_hr(packed_frame_laser_shot_2angles_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_echo(packed_key_echo<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_echo_hr(packed_key_echo_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_key_echo_hr_1(packed_key_echo_hr_1<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_echo(packed_frame_echo<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_echo_hr(packed_frame_echo_hr<iterator> const& p) { impl_->unpack(p); }
void compressed_packets::on_packed_frame_echo_hr_1(packed_frame_echo_hr_1<iterator> const& p) { impl_->unpack(p); }

} // namespace scanlib
