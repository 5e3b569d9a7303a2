// Switches the handbrake byte inside the game's vehicle update between released (0x00) and
// engaged (0x03), touching game code only when the byte actually has to change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

namespace taviro {

inline constexpr std::uint8_t kHandbrakeReleased = 0x00;
inline constexpr std::uint8_t kHandbrakeEngaged = 0x03;

// Bytes from the written address whose protection is lifted for a write: covers the page, or
// the two pages, holding any sequence we write.
inline constexpr std::size_t kProtectWindow = 200;

// An owned byte sequence of up to kProtectWindow bytes, held inline: the hook builds two of these
// on every call, and the heap is not to be touched there.
class CodeBytes {
public:
    CodeBytes() = default;
    CodeBytes(std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) {
            push_back(b);
        }
    }
    CodeBytes(const CodeBytes& other) : size_(other.size_) {
        for (std::size_t i = 0; i < size_; ++i) {
            bytes_[i] = other.bytes_[i];
        }
    }
    CodeBytes& operator=(const CodeBytes& other) {
        size_ = other.size_;
        for (std::size_t i = 0; i < size_; ++i) {
            bytes_[i] = other.bytes_[i];
        }
        return *this;
    }
    ~CodeBytes() = default;

    void push_back(std::uint8_t b) {
        if (size_ == bytes_.size()) {
            throw std::length_error("CodeBytes: longer than the protection window");
        }
        bytes_[size_++] = b;
    }
    std::uint8_t at(std::size_t i) const {
        if (i >= size_) {
            throw std::out_of_range("CodeBytes: index past the end");
        }
        return bytes_[i];
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    std::array<std::uint8_t, kProtectWindow> bytes_{};
    std::size_t size_ = 0;
};

// True when every byte of `expected` is at `address` onwards. Null address or empty sequence:
// false. Reads code directly; code pages are readable.
bool BytesMatch(CodeBytes expected, const std::uint8_t* address);

// Writes `bytes` at `address` under a temporary PAGE_EXECUTE_READWRITE over kProtectWindow
// bytes. False when nothing could be written or the old protection could not be restored.
bool WriteCodeBytes(CodeBytes bytes, std::uint8_t* address);

// Engaged: 0x00 becomes 0x03. Released: 0x03 becomes 0x00. Any other byte is left alone.
// handbrakeEngaged follows the request whatever happened to the byte.
void SetHandbrakePatch(bool engage);

}  // namespace taviro
