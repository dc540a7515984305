// What every flavour's processing unit keeps per slot around the device work:
// a round's passwords (or the mark that a slot was set by its H0 instead),
// and the tags of the round ended last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "argon2gpu/params.h"

namespace argon2::detail {

struct SlotPasswords {
    std::vector<std::string> passwords;
    std::vector<std::uint8_t> byH0;  // 1: the slot was set by its H0

    void resize(std::size_t slots) {
        passwords.resize(slots);
        byH0.resize(slots);
    }
    void set(std::size_t slot, const void* pw, std::size_t size) {
        passwords.at(slot).assign(static_cast<const char*>(pw), size);
        byH0[slot] = 0;
    }
    // The slot is set by its H0, which the caller stores.
    void setByH0(std::size_t slot) {
        if (slot >= byH0.size()) throw std::out_of_range("slot index out of range");
        byH0[slot] = 1;
    }
    // The slot's H0: `stored` when it was set by its H0, else computed from
    // its password into `computed`.
    const std::uint8_t* h0(std::size_t slot, const std::uint8_t* stored, std::uint8_t (&computed)[64],
                           const Argon2Params& params, Type type, Version version) const {
        if (byH0[slot]) return stored;
        params.initialHash(computed, passwords[slot].data(), passwords[slot].size(), type, version);
        return computed;
    }
};

// `length` bytes a slot.
class SlotTags {
public:
    void resize(std::size_t slots, std::size_t length) {
        bytes_.resize(slots * length);
        slots_ = slots;
        length_ = length;
    }
    std::uint8_t* slot(std::size_t index) { return bytes_.data() + index * length_; }
    void read(std::size_t index, void* out) const {
        if (index >= slots_) throw std::out_of_range("slot index out of range");
        std::memcpy(out, bytes_.data() + index * length_, length_);
    }
    void swap(SlotTags& other) { bytes_.swap(other.bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t slots_ = 0, length_ = 0;
};

}  // namespace argon2::detail
