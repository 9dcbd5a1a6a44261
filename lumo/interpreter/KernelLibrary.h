// Fused kernels as shared libraries: compiled by the lumo-kernel-compile tool in a process of its
// own, kept on disk by a hash of their text, the LLVM version and the host CPU, and loaded with
// dlopen (no code generator in this process).
#pragma once

#include <string>

#include "Fusion.h"

namespace lumo {

struct KernelOutcome {
  FusedKernelFn fn = nullptr; // null when the kernel could not be compiled
  bool memoryHit = false;     // loaded earlier in this process
  bool diskHit = false;       // loaded from the disk cache
  std::string error;          // why it could not be compiled
};

// The kernel of `text` (a func.func @kernel of fusion's form) whose text hashes to `key`.
// `cachedOnly`: only from the caches, null (with no error) when it would have to be compiled.
// Thread-safe; never throws.
KernelOutcome compileKernel(const std::string &text, const std::string &key, bool cachedOnly = false);

// The directory of the disk cache: $LUMO_KERNEL_CACHE, else $XDG_CACHE_HOME/orvex/lumo-kernels,
// else ~/.cache/orvex/lumo-kernels; empty when there is none (LUMO_KERNEL_CACHE set to "").
std::string kernelCacheDirectory();

// The compiler tool: $LUMO_KERNEL_COMPILER, else lumo-kernel-compile on the search path, else the
// one installed with the interpreter; empty when there is none.
std::string kernelCompilerPath();

} // namespace lumo
