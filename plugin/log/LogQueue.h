// A bounded queue of fixed-size records that many threads push into and one thread drains,
// without a lock and without the heap: a push is a few atomic operations on storage set aside
// once, and a full queue refuses rather than waits. This is what lets the hook say something
// while the game waits for it.
//
// Each cell carries a sequence number that tells producers when it is free for the push of a
// given position and the consumer when it holds the record of that position, so a producer
// claims a position with one compare-and-swap and publishes its record with one release store.
// The numbers are kept less their cell's index, and a cell holds its record as bytes, so an
// all-zero queue is a fresh one, whatever the record's own defaults: it needs no constructor code,
// takes no room in the binary (zero-filled storage, not initialised data), and nothing runs to
// destroy it, whatever thread still uses it as the process ends.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace taviro {

template <class Record, std::size_t Capacity>
class BoundedQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "a power of two");
    // Copied in and out as bytes: a record is an aggregate or otherwise trivially copyable, so
    // the copy itself makes the record that Front reads.
    static_assert(std::is_trivially_copyable_v<Record>);

public:
    constexpr BoundedQueue() = default;
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // False, with nothing stored, when the queue is full. Never waits.
    bool TryPush(const Record& record) {
        std::size_t position = m_pushAt.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = m_cells[position & kMask];
            const std::size_t sequence = Sequence(cell, position);
            const auto lag = static_cast<std::ptrdiff_t>(sequence - position);
            if (lag == 0) {
                if (m_pushAt.compare_exchange_weak(position, position + 1,
                                                   std::memory_order_relaxed)) {
                    std::memcpy(cell.bytes, &record, sizeof(Record));
                    Publish(cell, position, position + 1);
                    return true;
                }
            } else if (lag < 0) {
                return false;  // the consumer has not freed this cell since the last lap
            } else {
                position = m_pushAt.load(std::memory_order_relaxed);
            }
        }
    }

    // The oldest record, left in its cell, for the one consuming thread; null when there is none
    // yet. A record whose producer has claimed its cell but not finished writing it counts as not
    // there yet. Valid until Pop.
    const Record* Front() const {
        const std::size_t position = m_popAt.load(std::memory_order_relaxed);
        const Cell& cell = m_cells[position & kMask];
        return Sequence(cell, position) == position + 1
                   ? std::launder(reinterpret_cast<const Record*>(cell.bytes))
                   : nullptr;
    }

    // Frees the cell of the record Front gave. The position moves before the cell is freed: a
    // consumer stopped between the two has a cell that stays taken, never a record read twice.
    void Pop() {
        const std::size_t position = m_popAt.load(std::memory_order_relaxed);
        m_popAt.store(position + 1, std::memory_order_relaxed);
        Publish(m_cells[position & kMask], position, position + Capacity);
    }

    // How many records have been popped, for the consuming thread (or one that took its place).
    std::size_t Popped() const { return m_popAt.load(std::memory_order_relaxed); }

private:
    static constexpr std::size_t kMask = Capacity - 1;

    struct Cell {
        std::atomic<std::size_t> biasedSequence{0};  // the sequence less the cell's index
        alignas(Record) unsigned char bytes[sizeof(Record)]{};
    };

    static std::size_t Sequence(const Cell& cell, std::size_t position) {
        return cell.biasedSequence.load(std::memory_order_acquire) + (position & kMask);
    }
    static void Publish(Cell& cell, std::size_t position, std::size_t sequence) {
        cell.biasedSequence.store(sequence - (position & kMask), std::memory_order_release);
    }

    std::array<Cell, Capacity> m_cells{};
    alignas(64) std::atomic<std::size_t> m_pushAt{0};
    alignas(64) std::atomic<std::size_t> m_popAt{0};
};

}  // namespace taviro
