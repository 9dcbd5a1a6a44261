// The background compilation of a plan's fused kernels.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Plan.h"

namespace lumo {

// Compiles the kernels of plan.regions one after the other in a thread of its own, then
// publishes the fused plan (plan.fused). When every kernel is already in the caches (in memory or
// on disk), the constructor loads them and publishes the fused plan itself: the first run is then
// fused, and no thread starts. Destroying it stops the thread after the kernel being compiled and
// joins it.
class KernelCompiler {
public:
  explicit KernelCompiler(Program::Plan &plan);
  ~KernelCompiler();
  KernelCompiler(const KernelCompiler &) = delete;
  KernelCompiler &operator=(const KernelCompiler &) = delete;

  // Stops the thread after the kernel being compiled and joins it (the plan stays unfused if it
  // had not been published).
  void stop();

  KernelStatus status() const;
  bool wait(double timeoutSeconds) const;

private:
  // Gives each region not resolved yet its kernels; `cachedOnly` takes only those in the caches.
  // True when every region is resolved (its kernels loaded, or its failure recorded).
  bool resolve(bool cachedOnly);
  // Builds and publishes the fused plan; then ready.
  void publish();
  double elapsed() const; // seconds since construction

  Program::Plan &plan_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable finished_;
  KernelStatus status_;
  std::vector<bool> resolved_; // per region
  std::vector<bool> fromDisk_; // per region: its kernel was loaded from the disk cache by the first pass
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::thread thread_;
};

} // namespace lumo
