#include "hook/VehicleUpdateCall.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "BranchTrampoline.h"
#include "Report.h"
#include "game/GameOffsets.h"
#include "hook/VehicleUpdateHook.h"
#include "log/Log.h"

namespace taviro {

namespace {

constexpr const char* kGameName = "Starfield.exe";
constexpr auto kSite = static_cast<unsigned>(offsets::kVehicleUpdateCallSite);

std::uintptr_t Hook() {
    return reinterpret_cast<std::uintptr_t>(&VehicleUpdateHook);
}

std::string Name(std::uintptr_t address, bool followJump = true) {
    return sfse_common::NameCode(address, gameBase.load(std::memory_order_relaxed), kGameName,
                                 followJump);
}

std::string BytesText(const sfse_common::CallSiteReading& reading) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X %02X", reading.bytes[0], reading.bytes[1],
                  reading.bytes[2], reading.bytes[3], reading.bytes[4]);
    return text;
}

// Where CallOnVehicleUpdate goes on to; 0 for the game's own function.
constinit std::atomic<std::uintptr_t> vehicleUpdateTarget{0};

// What the call led to when last read; 0 for the hook, else its bytes with the top bit set.
constexpr std::uint64_t kLeadsToHook = 0;
constinit std::atomic<std::uint64_t> lastSeen{kLeadsToHook};

std::uint64_t Key(const sfse_common::CallSiteReading& reading) {
    if (reading.kind == sfse_common::CallSiteKind::OwnRedirect) {
        return kLeadsToHook;
    }
    std::uint64_t key = 1ull << 63;
    for (std::size_t i = 0; i < reading.bytes.size(); ++i) {
        key |= static_cast<std::uint64_t>(reading.bytes[i]) << (8 * i);
    }
    return key;
}

// The host's report in one sentence, formatted as ReportMessage would.
std::string Sentence(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);
std::string Sentence(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    return text;
}

}  // namespace

std::uint64_t CallOnVehicleUpdate(void* updateObject) {
    const std::uintptr_t target = vehicleUpdateTarget.load(std::memory_order_acquire);
    if (target == 0) {
        return game::Call(offsets::kVehicleUpdate, updateObject);
    }
    return game::CallAt(offsets::kVehicleUpdate, target, updateObject);
}

void RecordVehicleUpdateTarget(std::uintptr_t target) {
    vehicleUpdateTarget.store(target, std::memory_order_release);
}

sfse_common::CallSiteReading ReadVehicleUpdateCall() {
    return sfse_common::ReadCallSite(
        game::Address(offsets::kVehicleUpdateCallSite),
        {gameBase.load(std::memory_order_relaxed), game::Address(offsets::kVehicleUpdate.offset),
         &sfse_common::branchTrampoline, Hook()});
}

RefusedCallWords DescribeRefusedCall(const sfse_common::CallSiteReading& reading) {
    // The memory that calling would crash on, not where a jump in it would go.
    const std::string target = reading.kind == sfse_common::CallSiteKind::NotACall
                                   ? std::string()
                                   : Name(reading.target, false);
    switch (reading.kind) {
        case sfse_common::CallSiteKind::NotACall:
            return {Sentence("Taviro: the code at Starfield.exe+%X is not the vehicle update call "
                             "this plugin was built for: it is no call (%s), so another game "
                             "version or another plugin changed it; nothing was changed",
                             kSite, BytesText(reading).c_str()),
                    "the call site holds no call"};
        case sfse_common::CallSiteKind::ElsewhereInImage:
            return {Sentence("Taviro: the code at Starfield.exe+%X is not the vehicle update call "
                             "this plugin was built for: it calls %s, not Starfield.exe+%X "
                             "(another game version); nothing was changed",
                             kSite, target.c_str(),
                             static_cast<unsigned>(offsets::kVehicleUpdate.offset)),
                    "the call leads elsewhere in the game's code"};
        case sfse_common::CallSiteKind::NotCommitted:
            return {Sentence("Taviro: the vehicle update call at Starfield.exe+%X leads to %s, "
                             "which is %s: calling it would crash the game; nothing was changed",
                             kSite, target.c_str(),
                             reading.state == MEM_FREE      ? "free memory"
                             : reading.state == MEM_RESERVE ? "reserved memory that holds nothing"
                                                            : "no memory of the process"),
                    "the call leads into memory that holds nothing"};
        case sfse_common::CallSiteKind::NotExecutable:
            return {Sentence("Taviro: the vehicle update call at Starfield.exe+%X leads to %s, "
                             "whose protection (0x%X) lets no code run: calling it would crash "
                             "the game; nothing was changed",
                             kSite, target.c_str(), static_cast<unsigned>(reading.protect)),
                    "the call leads into memory that may not run code"};
        default:
            return {{}, "the call can be taken"};
    }
}

CallTaken TakeVehicleUpdateCall(const sfse_common::CallSiteReading& reading) {
    if (reading.kind == sfse_common::CallSiteKind::OtherRedirect &&
        sfse_common::branchTrampoline.Used() > 0) {
        // Our redirect was written in this process already and a later plugin took the call
        // from it; chaining onto that plugin now could lead back into our own slot.
        RecheckVehicleUpdateCall();
        return CallTaken::LeftToLaterPlugin;
    }
    if (reading.kind != sfse_common::CallSiteKind::OwnRedirect) {
        RecordVehicleUpdateTarget(reading.target);
    }
    if (reading.kind == sfse_common::CallSiteKind::OtherRedirect) {
        log::Info(
            "chained onto %s: another plugin redirected the vehicle update call before Taviro, "
            "which calls on to it wherever it would run the game's update",
            Name(reading.target).c_str());
    }
    const void* const slot = sfse_common::branchTrampoline.WriteRelCall(
        game::Address(offsets::kVehicleUpdateCallSite), Hook());
    if (slot == nullptr) {
        return CallTaken::NotWritable;
    }
    lastSeen.store(kLeadsToHook, std::memory_order_relaxed);
    log::Info(
        "redirected the game's vehicle update call at Starfield.exe+%X through the slot at "
        "0x%" PRIXPTR " to the hook",
        kSite, reinterpret_cast<std::uintptr_t>(slot));
    return CallTaken::Redirected;
}

void RecheckVehicleUpdateCall() {
    if (sfse_common::branchTrampoline.Used() == 0) {
        return;  // nothing of ours was written: there is nothing to watch
    }
    const sfse_common::CallSiteReading now = ReadVehicleUpdateCall();
    const std::uint64_t key = Key(now);
    if (lastSeen.exchange(key, std::memory_order_relaxed) == key) {
        return;
    }
    switch (now.kind) {
        case sfse_common::CallSiteKind::OwnRedirect:
            log::Info("the vehicle update call at Starfield.exe+%X leads to Taviro's hook again",
                      kSite);
            return;
        case sfse_common::CallSiteKind::GameFunction:
            log::Info(
                "the vehicle update call at Starfield.exe+%X leads to the game's own function "
                "again: another plugin undid Taviro's redirect, and Taviro decides nothing",
                kSite);
            return;
        default:
            break;
    }
    log::Info(
        "another plugin redirected the vehicle update call after Taviro; Taviro decides only if "
        "that plugin calls on");
    if (now.kind == sfse_common::CallSiteKind::NotACall) {
        log::Info("the code at Starfield.exe+%X is no call any more (%s)", kSite,
                  BytesText(now).c_str());
    } else {
        log::Info("the vehicle update call at Starfield.exe+%X now leads to %s", kSite,
                  Name(now.target).c_str());
    }
}

}  // namespace taviro
