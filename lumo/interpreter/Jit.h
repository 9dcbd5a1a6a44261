// Compiling fused kernels: MLIR text to machine code in this process (LLVM ORC), with the objects
// kept in memory and on disk by a hash of their text, the LLVM version and the host CPU.
#pragma once

#include <string>

#include "Fusion.h"

namespace lumo {

struct JitOutcome {
  FusedKernelFn fn = nullptr; // null when the kernel could not be compiled
  bool memoryHit = false;     // compiled earlier in this process
  bool diskHit = false;       // loaded from the disk cache
  std::string error;          // why it could not be compiled
};

// The kernel of `text` (a func.func @kernel of fusion's form) whose text hashes to `key`.
// Thread-safe; never throws.
JitOutcome compileKernel(const std::string &text, const std::string &key);

// The directory of the disk cache: $LUMO_KERNEL_CACHE, else $XDG_CACHE_HOME/orvex/lumo-kernels,
// else ~/.cache/orvex/lumo-kernels; empty when there is none (LUMO_KERNEL_CACHE set to "").
std::string kernelCacheDirectory();

} // namespace lumo
