// PyTorch's functional collectives on lazy tensors: recorded into the step's program.
#pragma once

namespace torch {
namespace lazy {

// Registers, once per process, the kernels that record `_c10d_functional::all_reduce` and
// `wait_tensor` on lazy tensors (and `all_reduce_` as all_reduce written back into its input).
void register_collective_kernels();

}  // namespace lazy
}  // namespace torch
