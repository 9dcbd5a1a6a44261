// The background compilation of a plan's fused kernels.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Plan.h"

namespace lumo {

// Compiles the kernels of plan.regions one after the other in a thread of its own, then
// publishes the fused plan (plan.fused). Destroying it stops the thread after the kernel being
// compiled and joins it.
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
  void work();

  Program::Plan &plan_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable finished_;
  KernelStatus status_;
  std::thread thread_;
};

} // namespace lumo
