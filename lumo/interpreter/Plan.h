// The plan of a program as the interpreter runs it (internal to the interpreter): steps over a
// frame of tensor slots, and the fused alternative that the kernel compiler publishes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Fusion.h"
#include "Kernel.h"
#include "Program.h"

namespace lumo {

struct Expected {
  Shape shape;
  at::ScalarType dtype;
};

struct Step {
  Kernel kernel;
  llvm::SmallVector<int32_t, 4> operands;
  llvm::SmallVector<int32_t, 2> results;
  std::vector<Expected> expected;
  std::vector<int32_t> release; // slots whose last use is this step
  int32_t spare = -1;           // a slot that died in the step before, to write the result into
  bool acceptsSpare = false;
  bool ordered = false;         // not pure: keeps its place among the other such steps
  std::string where;            // operation and location, for errors raised while running
};

// Fills each step's `release` (the slots whose last use it is) and `spare` (a dead value of its
// result's type to write into, for steps that accept one). `lastUse` receives, per slot, the index
// of the last step that reads it (INT32_MAX for results of the program, -1 for none).
void assignReleases(std::vector<Step> &steps, const std::vector<int32_t> &resultSlots, size_t slotCount,
                    std::vector<int32_t> *lastUse = nullptr);

// The steps of the plan with the regions whose kernels compiled replaced by one step each.
struct FusedPlan {
  std::vector<Step> steps;
};

// Compiles the kernels of a plan's regions in a thread of its own and publishes the fused plan
// when they are all done (a region whose kernel fails stays unfused).
class KernelCompiler;

struct Program::Plan {
  std::vector<ArgumentInfo> arguments;
  std::vector<ResultInfo> results;
  uint64_t seed = 0;
  std::vector<int64_t> inputs;  // argument indices
  std::vector<int64_t> outputs; // result indices

  std::vector<at::Tensor> initial;    // frame template: constants in their slots
  std::vector<int32_t> argumentSlots; // -1: embedded or unused
  std::vector<int32_t> resultSlots;
  std::vector<int64_t> updatedArgument; // per result: the argument it is the new value of, or -1
  std::vector<Step> steps;
  std::unordered_set<const void *> constantStorages;
  mutable std::atomic<uint64_t> runs{0};

  // Fusion: the regions found when planning, and the fused plan once their kernels are ready
  // (read and published with std::atomic_load/atomic_store; null until then, and without fusion).
  std::vector<FusionRegion> regions;
  std::shared_ptr<const FusedPlan> fused;
  std::unique_ptr<KernelCompiler> compiler;
};

} // namespace lumo
