#pragma once

namespace at {
// Registers the lazy kernels of the ATen operators for the Lazy dispatch key.
void RegisterTorchMlirLazyNativeFunctions();
}  // namespace at
