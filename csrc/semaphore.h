// A counting semaphore with scoped reservations; bounds how many data-file writes run at once.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace orvex {

class Semaphore {
 public:
  // Owns `amount` units of a semaphore until it is destroyed; moving it hands the units on.
  class ScopedReservation {
   public:
    ScopedReservation(Semaphore* semaphore, int64_t amount)
        : semaphore(semaphore), amount(amount) {}
    ScopedReservation(ScopedReservation&& other) noexcept
        : semaphore(std::exchange(other.semaphore, nullptr)), amount(other.amount) {}
    ScopedReservation& operator=(ScopedReservation&& other) noexcept {
      if (this != &other) {
        reset();
        semaphore = std::exchange(other.semaphore, nullptr);
        amount = other.amount;
      }
      return *this;
    }
    ScopedReservation(const ScopedReservation&) = delete;
    ScopedReservation& operator=(const ScopedReservation&) = delete;
    ~ScopedReservation() { reset(); }

    // Gives the units back now rather than at destruction.
    void reset() {
      if (semaphore) std::exchange(semaphore, nullptr)->release(static_cast<int>(amount));
    }

   private:
    Semaphore* semaphore;
    int64_t amount;
  };

  Semaphore(int count, int max) : count(count), max(max) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Blocks until `amount` units are available, then takes them.
  void acquire(int amount) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return count >= amount; });
    count -= amount;
  }

  // Returns `amount` units; the count never rises above `max`.
  void release(int amount) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      count = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(count) + amount, max));
    }
    // Every waiter checks again: a waiter for fewer units must not sleep on behind one that
    // needs more than came back.
    cv.notify_all();
  }

  // Adds `delta` units (or takes them away when negative; the count may then fall below zero
  // until enough units come back).
  void adjust(int delta) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      count += delta;
    }
    cv.notify_all();
  }

  ScopedReservation ScopedAcquire(int64_t amount) {
    acquire(static_cast<int>(amount));
    return ScopedReservation(this, amount);
  }

 private:
  int count;
  int max;
  std::mutex mutex;
  std::condition_variable cv;
};

}  // namespace orvex
