// A process-wide table of one float per raw value, filled in as values are met, for the
// radiometric conversions whose per-pixel result depends on the raw value and a key (the
// calibration, and the object parameters) alone.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/render_internal.h"
#include "render/vector_level.h"

namespace lep3::control {

// A span filler (below) fills groups of this many raw values.
inline constexpr uint32_t kSpanGroup = 8;

// The bits of an entry not yet computed (see RawValueTable).
inline constexpr uint32_t kUnknownEntry = 0xFFFFFFFFU;

// Every pixel's entry of a table of one 32-bit entry per raw value, into out; returns the
// largest entry's bits (kUnknownEntry when any pixel met an unknown one).
uint32_t copy_entries(const uint32_t *bits, const uint16_t *raw, float *out);

// The result of every raw value for the last key used, filled in as values are met, so a
// stream of frames with one key computes each distinct value once instead of each pixel.
// Entries hold the float's bits; a NaN pattern that no arithmetic produces (operations on
// non-NaN inputs give the default NaN, and the conversions that store a NaN of their own
// store the positive quiet one) marks an entry not yet computed. One table per conversion
// serves the whole process, in static storage: a call takes it when it is free, rekeying
// it to its own key if need be, and a call that finds it taken by another thread computes
// its frame pixel by pixel instead, so no caller waits and every result is the formula's.
//
// Key is compared with ==; Compute is a function object float(uint16_t raw, const Key &).
// Compute may also offer static bool fill_span(uint32_t *bits, uint32_t low, uint32_t high,
// const Key &): the entries of a whole span of raw values at once (low a multiple of
// kSpanGroup, high one below the next), with kUnknownEntry in each entry it can't vouch for
// (the table computes those with Compute), and true when there is any. A frame whose values
// lie within kDenseSpan then has its span filled whole after a change of key.
template <typename Key, typename Compute> class RawValueTable {
  public:
    static constexpr size_t kRawValues = 65536;

    // True when this thread now owns the table; release() gives it back.
    bool try_take() { return !busy_.test_and_set(std::memory_order_acquire); }
    void release() { busy_.clear(std::memory_order_release); }

    // The table's owner converts a frame, computing the entries it lacks. After a change
    // of key every value is new: one pass computes each as it is met. Otherwise the frame is
    // copied from the table as it stands, a load and a store per pixel that vectorise (with
    // gathers where the processor has them), and only a frame that met an unknown entry
    // takes a second pass to fill those pixels.
    void convert(const uint16_t *raw, float *out, const Key &key)
    {
        if (!keyed_ || !(key == key_)) {
            if constexpr (kFillsSpans) {
                uint32_t low = 0;
                uint32_t high = 0;
                lep3::render::run_vectorised<span_of>(raw, &low, &high);
                if (high - low < kDenseSpan) {
                    low -= low % kSpanGroup;
                    high |= kSpanGroup - 1;
                    rekey(key, low, high);
                    if (Compute::fill_span(bits_.data(), low, high, key_))
                        settle_doubts(low, high);
                    note_filled(low, high);
                    copy_entries(bits_.data(), raw, out); // every entry the frame meets is filled now
                    return;
                }
            }
            rekey(key, 1, 0);
            fill_unknown(raw, out, false);
            return;
        }
        if (copy_entries(bits_.data(), raw, out) == kUnknown)
            fill_unknown(raw, out, true);
    }

  private:
    static constexpr uint32_t kUnknown = kUnknownEntry;
    static constexpr bool kFillsSpans = requires(uint32_t * bits, const Key &key)
    {
        {
            Compute::fill_span(bits, 0U, 0U, key)
            } -> std::same_as<bool>;
    };
    // Widest span of raw values filled whole (any 14-bit frame's).
    static constexpr uint32_t kDenseSpan = 32768;

    // The frame's smallest and largest raw value.
    [[gnu::always_inline]] static inline void span_of(const uint16_t *raw, uint32_t *low, uint32_t *high)
    {
        uint16_t lo = UINT16_MAX;
        uint16_t hi = 0;
        for (size_t i = 0; i < lep3::render::kFramePixels; ++i) {
            lo = std::min(lo, raw[i]);
            hi = std::max(hi, raw[i]);
        }
        *low = lo;
        *high = hi;
    }

    // The entries the span filler left unknown, computed one value at a time. They are
    // few (a value in some thousands): blocks are scanned in vector compares and only a
    // block holding one is looked at value by value.
    void settle_doubts(uint32_t low, uint32_t high)
    {
        constexpr uint32_t kBlock = 64;
        for (uint32_t block = low; block <= high; block += kBlock) {
            const uint32_t end = std::min(block + kBlock, high + 1);
            uint32_t unknown = 0;
            for (uint32_t v = block; v < end; ++v)
                unknown |= bits_[v] == kUnknown ? 1U : 0U;
            if (unknown == 0)
                continue;
            for (uint32_t v = block; v < end; ++v)
                if (bits_[v] == kUnknown)
                    bits_[v] = std::bit_cast<uint32_t>(Compute{}(static_cast<uint16_t>(v), key_));
        }
    }

    // Computes the entries that pixels lack. With copied, only pixels whose copy is
    // unknown are looked at again; otherwise every pixel is taken from the table.
    void fill_unknown(const uint16_t *raw, float *out, bool copied)
    {
        for (size_t i = 0; i < lep3::render::kFramePixels; ++i) {
            if (copied && std::bit_cast<uint32_t>(out[i]) != kUnknown)
                continue;
            uint32_t entry = bits_[raw[i]];
            if (entry == kUnknown)
                entry = fill(raw[i]);
            std::memcpy(&out[i], &entry, sizeof(entry));
        }
    }

    uint32_t fill(uint16_t raw)
    {
        const float value = Compute{}(raw, key_);
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        bits_[raw] = bits;
        note_filled(raw, raw);
        return bits;
    }

    void note_filled(uint32_t low, uint32_t high)
    {
        filled_low_ = std::min(filled_low_, low);
        filled_high_ = std::max(filled_high_, high);
    }

    // A new key forgets the entries of the old one: the span they lie in (a scene spans a
    // few thousand raw values), marked unknown in sweeps of stores, except the part
    // [keep_low, keep_high] about to be filled afresh (keep_low > keep_high: none). The
    // very first key finds the table all zero and marks it unknown whole, once.
    void rekey(const Key &key, uint32_t keep_low, uint32_t keep_high)
    {
        const auto forget = [this](uint32_t from, uint32_t to) { // [from, to)
            if (from < to)
                std::fill(bits_.begin() + from, bits_.begin() + to, kUnknown);
        };
        if (!keyed_) {
            bits_.fill(kUnknown);
        } else if (keep_low > keep_high) {
            forget(filled_low_, filled_high_ + 1);
        } else {
            forget(filled_low_, std::min(filled_high_ + 1, keep_low));
            forget(std::max(filled_low_, keep_high + 1), filled_high_ + 1);
        }
        filled_low_ = kRawValues;
        filled_high_ = 0;
        key_ = key;
        keyed_ = true;
    }

    std::atomic_flag busy_;
    std::array<uint32_t, kRawValues> bits_{};
    uint32_t filled_low_ = kRawValues; // entries outside [low, high] are unknown
    uint32_t filled_high_ = 0;
    Key key_{};
    bool keyed_ = false;
};

} // namespace lep3::control
