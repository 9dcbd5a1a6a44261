#pragma once

namespace at {
// Registers the lazy kernels of the ATen operators for the Lazy dispatch key.
void RegisterTorchMlirLazyNativeFunctions();
// Registers the Functionalize kernels of composites whose functionalization on the lazy device
// needs more than PyTorch's fallback (their views are taken above functionalization).
void RegisterTorchMlirFunctionalizeKernels();
// Registers the kernels the generated registration leaves out: the lazy kernels of functional
// variants PyTorch generates from mutating operators (rrelu_with_noise_functional), and
// composites that run above autograd or functionalization on the lazy device.
void RegisterTorchMlirExtraKernels();
// Registers C++ meta kernels of operations the capture would otherwise compute in Python
// (meta_kernels.cpp).
void RegisterTorchMlirMetaKernels();
}  // namespace at
