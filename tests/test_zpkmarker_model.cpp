// The decoder against a word-at-a-time model of the framing decoder that keeps
// the exact storage sizes (ring doubling, headroom of one word more than the
// packet collected so far, the 0x100000-word cap). The decoder allocates its
// headroom ahead of need, but must accept and reject exactly the same packets
// and report the same sizes, positions and errors.
#include "zpk_support.hpp"

#include <gtest/gtest.h>
#include <scanlib/scanexcept.hpp>

#include <optional>

using namespace zpktest;

namespace {

class model_decoder {
public:
    model_decoder(std::vector<char> in, chunked_rconnection::chunker ch, bool preamble)
        : in_(std::move(in)), ch_(std::move(ch)), st_(1024), pre_(preamble) {}

    // The next packet; an empty vector is the empty region.
    words get() {
        if (pre_) {
            unsigned int w[4];
            for (unsigned int& x : w) {
                if (scan_ == wp_) {
                    fill();
                    if (scan_ == wp_)
                        throw std::runtime_error("Bad preamble.");
                }
                x = st_[scan_];
                scan_ = next(scan_);
            }
            if (std::memcmp(w, preamble_bytes, 16) != 0)
                throw std::runtime_error("Bad preamble.");
            byte_pos += 16;
            pre_ = false;
        }
        if (end_reported)
            throw std::runtime_error("Attempt to read beyond end of input.");
        std::size_t ob = scan_;
        if (scan_ == wp_ && eot_) {
            end_reported = true;
            return {};
        }
        rp_ = scan_;
        std::size_t dst = scan_;
        bool start = true, esc = false, copy = false;
        for (;;) {
            if (scan_ == ring()) {
                scan_ = 0;
                copy = true;
            }
            if (scan_ == wp_) {
                if (next(scan_) == rp_) {
                    resize(2 * size_ - reserve_, reserve_, {&scan_, &dst, &ob});
                    fr_ = {};
                    if (next(scan_) == rp_)
                        throw std::runtime_error("Buffer overflow!");
                }
                fill();
                if (scan_ == wp_) {
                    input_ended = true;
                    return words(st_.begin() + ob, st_.begin() + dst);
                }
            }
            const unsigned int w = st_[scan_];
            bool advance = true;
            if (start) {
                if (w <= 0xFFFFFF00u)
                    throw std::runtime_error("Start escape missing!");
                if (copy)
                    st_[dst] = w;
            } else if (esc) {
                st_[dst] = ~w;
                esc = false;
            } else if (w == 0xFFFFFF00u) {
                esc = copy = true;
                advance = false;
            } else if (w > 0xFFFFFF00u) {
                return words(st_.begin() + ob, st_.begin() + dst);
            } else if (copy) {
                st_[dst] = w;
            }
            if (advance && ++dst == size_) {
                const std::size_t collected = dst - ob;
                resize(ring() + collected + 1, collected + 1, {&scan_, &dst, &ob});
                fr_ = {};
                if (dst == size_)
                    throw std::runtime_error("Max headroom exhausted!");
            }
            ++scan_;
            byte_pos += 4;
            start = false;
        }
    }

    std::uint64_t byte_pos = 0;
    bool input_ended = false;
    bool end_reported = false;
    std::size_t size() const { return size_; }
    std::size_t reserve() const { return reserve_; }

private:
    struct region {
        std::size_t b = 0, e = 0, l = 0;
    };
    std::size_t ring() const { return size_ - reserve_; }
    std::size_t next(std::size_t p) const { return p + 1 == ring() ? 0 : p + 1; }

    void resize(std::size_t new_size, std::size_t new_reserve, std::initializer_list<std::size_t*> moved) {
        if (new_size > 0x100000 || new_reserve > 0x100000)
            throw std::runtime_error("basic_zpkmarker::attempt_to_resize: excess packet size");
        if (new_reserve < reserve_ || new_size - new_reserve < ring())
            return;
        const std::size_t old_ring = ring(), new_ring = new_size - new_reserve;
        if (new_ring == old_ring) {
            st_.resize(new_size); // ring and headroom stay where they are
        } else {
            std::vector<unsigned int> n(new_size);
            std::copy(st_.begin() + old_ring, st_.begin() + old_ring + reserve_, n.begin() + new_ring);
            std::copy(st_.begin() + rp_, st_.begin() + old_ring, n.begin() + (new_ring - (old_ring - rp_)));
            std::copy(st_.begin(), st_.begin() + rp_, n.begin());
            auto move = [&](std::size_t p) { return p < rp_ ? p : new_ring - (old_ring - p); };
            for (std::size_t* p : moved)
                *p = move(*p);
            wp_ = move(wp_);
            rp_ = move(rp_);
            st_ = std::move(n);
        }
        size_ = new_size;
        reserve_ = new_reserve;
    }

    void put(region& r) {
        if (r.l > r.b) {
            if (r.e > r.b) {
                wp_ += r.e - r.b;
                if (wp_ == ring())
                    wp_ = 0;
            } else {
                eot_ = true;
            }
        }
        const std::size_t e = rp_ > wp_ ? rp_ - 1 : (rp_ == 0 ? ring() - 1 : ring());
        r = {wp_, e, e};
    }

    void fill() {
        if (fr_.b == fr_.e)
            put(fr_);
        // Whole words only; bytes of a last, unfinished word are dropped.
        const std::size_t want = 4 * (fr_.e - fr_.b);
        std::size_t got = 0;
        std::vector<char> tmp(want);
        while (want > 0) {
            std::size_t k = std::min(want - got, in_.size() - at_);
            if (ch_)
                k = std::min(k, std::max<std::size_t>(1, ch_(calls_)));
            ++calls_;
            std::memcpy(tmp.data() + got, in_.data() + at_, k);
            at_ += k;
            got += k;
            if (k == 0 || got % 4 == 0)
                break;
        }
        std::memcpy(st_.data() + fr_.b, tmp.data(), got / 4 * 4);
        fr_.e = fr_.b + got / 4;
        put(fr_);
    }

    std::vector<char> in_;
    chunked_rconnection::chunker ch_;
    std::size_t at_ = 0, calls_ = 0;
    std::vector<unsigned int> st_;
    std::size_t size_ = 1024, reserve_ = 340;
    std::size_t wp_ = 0, rp_ = 0, scan_ = 0;
    bool eot_ = false, pre_;
    region fr_;
};

struct probe_decoder : scanlib::decoder_zpkmarker {
    using decoder_zpkmarker::decoder_zpkmarker;
    std::uint64_t storage_size() const { return size; }
    std::uint64_t headroom() const { return reserve; }
};

// Runs both to the end (or their first error) and compares every step.
void expect_same(const std::vector<char>& bytes, const chunked_rconnection::chunker& ch, bool preamble) {
    model_decoder m(bytes, ch, preamble);
    probe_decoder d(std::make_shared<chunked_rconnection>(bytes, ch), preamble);
    scanlib::basic_buffer<unsigned int*> r;
    for (std::size_t step = 0;; ++step) {
        SCOPED_TRACE(step);
        std::optional<std::string> model_error, error;
        words want;
        try {
            want = m.get();
        } catch (const std::exception& e) {
            model_error = e.what();
        }
        try {
            d.get(r);
        } catch (const std::exception& e) {
            error = e.what();
        }
        ASSERT_EQ(model_error.has_value(), error.has_value()) << (error ? *error : *model_error);
        if (error) {
            EXPECT_TRUE(error->ends_with(*model_error)) << *error;
            return;
        }
        ASSERT_TRUE(words(r.begin, r.end) == want);
        ASSERT_EQ(d.tellg(), m.byte_pos);
        ASSERT_EQ(d.input_ended, m.input_ended);
        ASSERT_EQ(d.storage_size(), m.size());
        ASSERT_EQ(d.headroom(), m.reserve());
        if (m.end_reported) {
            EXPECT_THROW(d.get(r), scanlib::scanlib_exception);
            return;
        }
    }
}

packets near_ring_end(std::size_t big_len, unsigned int fill_word = 0x01020304) {
    words first(683, 5);
    first[0] = 0xFFFFFF01;
    words big(big_len, fill_word);
    big[0] = 0xFFFFFF02;
    return {first, big, {0xFFFFFF03}};
}

} // namespace

TEST(DecoderModel, AgreesStepByStepOnRandomAndCraftedStreams) {
    std::mt19937 rng(99);
    std::vector<std::pair<std::vector<char>, bool>> streams;
    streams.emplace_back(to_bytes(ref_frame(random_packets(rng, 300, 5000)), true), true);
    streams.emplace_back(to_bytes(ref_frame(near_ring_end(20000)), false), false);
    streams.emplace_back(to_bytes(ref_frame(near_ring_end(3000, 0xFFFFFFFF)), false), false);
    for (std::size_t lead : {1, 100, 683, 684, 1000}) {
        words a(lead, 0xFFFFFF00);
        a[0] = 0xFFFFFF11;
        words b(9000 + lead, 0x55);
        b[0] = 0xFFFFFF12;
        streams.emplace_back(to_bytes(ref_frame({a, b, a}), true), true);
    }
    std::vector<char> bad = to_bytes(ref_frame(random_packets(rng, 50)), true);
    bad.insert(bad.end(), {0, 0, 0, 0, 1, 2});
    streams.emplace_back(bad, true);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        for (const auto& [name, ch] : chunk_patterns()) {
            if (name == "fixed1" && streams[i].first.size() > 100000)
                continue;
            SCOPED_TRACE(std::to_string(i) + " " + name);
            expect_same(streams[i].first, ch, streams[i].second);
        }
    }
}

TEST(DecoderModel, SameLargestPacketNearTheRingEnd) {
    // The largest packet the exact sizes accept in this position, found on the
    // model, is the decoder's largest too.
    auto accepted = [](std::size_t n) {
        model_decoder m(to_bytes(ref_frame(near_ring_end(n)), false), nullptr, false);
        try {
            m.get();
            m.get();
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    };
    std::size_t lo = 1000, hi = 1100000; // accepted(lo), !accepted(hi)
    ASSERT_TRUE(accepted(lo));
    ASSERT_FALSE(accepted(hi));
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        (accepted(mid) ? lo : hi) = mid;
    }
    for (std::size_t n : {lo, hi}) {
        SCOPED_TRACE(n);
        expect_same(to_bytes(ref_frame(near_ring_end(n)), false), nullptr, false);
    }
}
