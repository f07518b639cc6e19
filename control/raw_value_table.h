// A process-wide table of one float per raw value, filled in as values are met, for the
// radiometric conversions whose per-pixel result depends on the raw value and a key (the
// calibration, and the object parameters) alone.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/render_internal.h"
#include "render/vector_level.h"

namespace lep3::control {

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
            rekey(key);
            fill_unknown(raw, out, false);
            return;
        }
        uint32_t top = 0;
        lep3::render::run_vectorised<copy_entries>(bits_.data(), raw, out, &top);
        if (top == kUnknown)
            fill_unknown(raw, out, true);
    }

  private:
    static constexpr uint32_t kUnknown = 0xFFFFFFFFU;
    static constexpr size_t kWordBits = 64;

    // Every pixel's entry as it stands; top receives the largest entry's bits, which is
    // kUnknown when any pixel met an unknown one.
    [[gnu::always_inline]] static inline void copy_entries(const uint32_t *bits, const uint16_t *raw, float *out,
                                                           uint32_t *top)
    {
        uint32_t largest = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < lep3::render::kFramePixels; ++i) {
            const uint32_t entry = bits[raw[i]];
            std::memcpy(&out[i], &entry, sizeof(entry));
            largest = entry > largest ? entry : largest;
        }
        *top = largest;
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
        filled_[raw / kWordBits] |= uint64_t{1} << (raw % kWordBits);
        return bits;
    }

    // A new key forgets the entries of the old one: only those filled (a scene spans a few
    // thousand raw values), which the bitmap lists, so the change costs little more than
    // the values met. The very first key finds the table all zero and marks it unknown
    // whole, once.
    void rekey(const Key &key)
    {
        if (!keyed_) {
            bits_.fill(kUnknown);
        } else {
            for (size_t w = 0; w < filled_.size(); ++w) {
                for (uint64_t word = filled_[w]; word != 0; word &= word - 1)
                    bits_[w * kWordBits + static_cast<size_t>(std::countr_zero(word))] = kUnknown;
                filled_[w] = 0;
            }
        }
        key_ = key;
        keyed_ = true;
    }

    std::atomic_flag busy_;
    std::array<uint32_t, kRawValues> bits_{};
    std::array<uint64_t, kRawValues / kWordBits> filled_{}; // raw values whose entry holds a value
    Key key_{};
    bool keyed_ = false;
};

} // namespace lep3::control
