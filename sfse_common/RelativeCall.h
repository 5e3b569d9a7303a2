// The 5-byte relative call the game's code makes and the trampoline writes: call rel32
// (E8 followed by a 32-bit displacement), the displacement counted from the end of the
// instruction, so the call lands at site + 5 + displacement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace sfse_common {

#pragma pack(push, 1)
class RelativeCall {
public:
    static constexpr std::size_t kSize = 5;

    // The call at `site` that lands on `target`; nothing when the distance does not fit the
    // 32-bit displacement.
    static std::optional<RelativeCall> To(std::uintptr_t site, std::uintptr_t target) {
        const auto displacement =
            static_cast<std::int64_t>(target - (site + kSize));  // wraps into the signed range
        if (displacement < INT32_MIN || displacement > INT32_MAX) {
            return std::nullopt;
        }
        RelativeCall call;
        call.m_displacement = static_cast<std::int32_t>(displacement);
        return call;
    }

    bool IsCall() const { return m_opcode == 0xE8; }
    // Where the instruction, standing at `site`, lands; the opcode is not looked at.
    std::uintptr_t Target(std::uintptr_t site) const {
        return site + kSize +
               static_cast<std::uintptr_t>(static_cast<std::intptr_t>(Displacement()));
    }
    // By value: the field is unaligned, and a reference to it would be too.
    std::int32_t Displacement() const { return m_displacement; }

    // Stores the call at `code`, which sits wherever the game's code puts it: one 4-byte store,
    // then the last byte. Volatile, so the compiler neither splits nor merges the two.
    void WriteTo(void* code) const {
        using UnalignedU32 [[gnu::aligned(1), gnu::may_alias]] = std::uint32_t;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(this);
        std::uint32_t head = 0;
        std::memcpy(&head, bytes, sizeof head);
        *static_cast<volatile UnalignedU32*>(code) = head;
        static_cast<volatile std::uint8_t*>(code)[4] = bytes[4];
    }

private:
    std::uint8_t m_opcode = 0xE8;     // call rel32
    std::int32_t m_displacement = 0;  // target - (site + 5), little-endian
};
#pragma pack(pop)
static_assert(sizeof(RelativeCall) == RelativeCall::kSize);

}  // namespace sfse_common
