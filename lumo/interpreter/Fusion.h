// Fusion of elementwise regions: which steps of a plan form a region, the kernel that computes it
// (MLIR text: one linalg.generic on memrefs), and the plan step that runs the compiled kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "Kernel.h"

namespace lumo {

struct Step;
struct Expected;

// A value the region reads: a slot of the frame, indexed along the iteration dimensions marked
// in `used` (the others are broadcast).
struct FusionInput {
  int32_t slot = -1;
  at::ScalarType dtype = at::kFloat;
  std::vector<bool> used; // one entry per iteration dimension
};

// The entry point of a compiled kernel: args[i] points to the memref descriptor of its i-th
// argument (inputs, then outputs).
using FusedKernelFn = void (*)(void **args);

struct FusionRegion {
  std::vector<size_t> members; // indices of its steps in the unfused plan, ascending
  std::vector<FusionInput> inputs;
  std::vector<int32_t> outputs; // slots written (values used outside the region or returned)
  std::vector<at::ScalarType> outputTypes;
  std::vector<Shape> outputShapes;
  Shape iteration;  // the iteration space (dimensions of size 1 dropped, neighbours merged)
  size_t ops = 0;   // operations it computes (pass-throughs such as Reshape not counted)
  std::string text; // the kernel's MLIR: func.func @kernel
  std::string key;  // hash of the text
  std::string where;
  // Outputs that are the new value of an input the program updates (an optimizer's weight or
  // state): per output, the input it may overwrite, or -1. When any, `inPlaceText` is the kernel
  // that writes each such output over its input (one memref read and written), which a run uses
  // when the input dies in the step and nothing else holds it (see Program::execute's donations).
  std::vector<int64_t> inputOfOutput;
  std::string inPlaceText, inPlaceKey;
  // Regions (indices) that compute again values this one does not store: fused only with them.
  std::vector<size_t> requires;

  // Set by the kernel compiler.
  FusedKernelFn fn = nullptr;
  FusedKernelFn inPlaceFn = nullptr;
  std::string failure;
};

// The regions of elementwise steps worth fusing: convex (no path leaves and re-enters one), of
// two or more operations on f32/f64 (with i1 for comparisons, selections and casts), whose
// results have one element count. `ops` holds the operation of each step (valid while planning).
// `updates` maps the slot of each result that updates an argument to the argument's slot.
std::vector<FusionRegion> findRegions(const std::vector<Step> &steps, const std::vector<mlir::Operation *> &ops,
                                      const std::vector<int32_t> &resultSlots,
                                      const std::map<int32_t, int32_t> &updates, const PlanState &state,
                                      size_t slotCount);

// `steps` with each region that has a kernel (fn set) replaced by one step, in an order that
// respects every dependency (steps marked `ordered` keep their relative order) and runs an
// in-place update that frees memory (an optimizer's, after its gradient) as soon as it can.
// `resultSlots` are the program's results.
// `leftOut` counts the regions with a kernel that stay unfused (two regions that depend on each
// other both ways cannot both be one step).
std::vector<Step> fuseSteps(const std::vector<Step> &steps, const std::vector<FusionRegion> &regions,
                            const std::vector<int32_t> &resultSlots, size_t slotCount, size_t &leftOut);

} // namespace lumo
