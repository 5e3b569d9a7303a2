// The 14-byte absolute jump that carries a redirect across the address space:
// jmp qword ptr [rip+0] (FF 25 00000000) followed by the 8-byte target it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sfse_common {

#pragma pack(push, 1)
class AbsoluteJump {
public:
    static AbsoluteJump To(std::uintptr_t address) {
        AbsoluteJump jump;
        jump.m_target = address;
        return jump;
    }

    // The jump at `code`, read byte by byte: code sits wherever the game or the block put it.
    static AbsoluteJump At(const void* code) {
        AbsoluteJump jump;
        std::memcpy(&jump, code, sizeof jump);
        return jump;
    }

    bool IsAbsoluteJump() const {
        return m_opcode[0] == 0xFF && m_opcode[1] == 0x25 && m_displacement == 0;
    }
    // By value: the field is unaligned, and a reference to it would be too.
    std::uint64_t Target() const { return m_target; }

    void WriteTo(void* code) const { std::memcpy(code, this, sizeof *this); }

private:
    std::uint8_t m_opcode[2] = {0xFF, 0x25};
    std::int32_t m_displacement = 0;  // the target follows the instruction directly
    std::uint64_t m_target = 0;
};
#pragma pack(pop)
static_assert(sizeof(AbsoluteJump) == 14);

}  // namespace sfse_common
