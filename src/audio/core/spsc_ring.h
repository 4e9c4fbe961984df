#pragma once

// Thread contract: exactly one producer thread calls push, exactly one
// consumer thread calls drain or popUpTo. A slot is written before the write
// counter is published with release ordering and read after it is loaded
// with acquire ordering. A push onto a full ring returns false without
// writing and never waits. Nothing here allocates.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quimbel {

template <typename T, std::size_t Capacity>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  bool push(const T& value) noexcept {
    const std::uint64_t write = writeIndex_.load(std::memory_order_relaxed);
    const std::uint64_t read = readIndex_.load(std::memory_order_acquire);
    if (write - read >= Capacity) return false;
    slots_[write % Capacity] = value;
    writeIndex_.store(write + 1, std::memory_order_release);
    return true;
  }

  // Slots a push can still fill; exact on the producer side, and only ever
  // an underestimate elsewhere while the consumer frees slots.
  std::size_t room() const noexcept {
    return Capacity - static_cast<std::size_t>(writeIndex_.load(std::memory_order_relaxed) -
                                               readIndex_.load(std::memory_order_acquire));
  }

  bool full() const noexcept {
    return writeIndex_.load(std::memory_order_relaxed) -
               readIndex_.load(std::memory_order_acquire) >=
           Capacity;
  }

  // Hands every slot published so far to handle, in order, then frees them.
  template <typename Handle>
  void drain(Handle&& handle) noexcept {
    const std::uint64_t write = writeIndex_.load(std::memory_order_acquire);
    for (std::uint64_t i = readIndex_.load(std::memory_order_relaxed); i < write; ++i) {
      handle(static_cast<const T&>(slots_[i % Capacity]));
    }
    readIndex_.store(write, std::memory_order_release);
  }

  // Copies out up to max slots in order; returns how many.
  std::size_t popUpTo(T* out, std::size_t max) noexcept {
    const std::uint64_t write = writeIndex_.load(std::memory_order_acquire);
    const std::uint64_t read = readIndex_.load(std::memory_order_relaxed);
    std::size_t taken = 0;
    while (read + taken < write && taken < max) {
      out[taken] = slots_[(read + taken) % Capacity];
      ++taken;
    }
    readIndex_.store(read + taken, std::memory_order_release);
    return taken;
  }

 private:
  alignas(64) std::atomic<std::uint64_t> writeIndex_{0};
  alignas(64) std::atomic<std::uint64_t> readIndex_{0};
  alignas(64) T slots_[Capacity];
};

}  // namespace quimbel
