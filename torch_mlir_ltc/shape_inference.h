// Shape functions of the lazy kernels that libtorch does not define. Each declaration is kept on
// one line, as the kernel generator checks for it.
#pragma once

#include <optional>
#include <vector>

#include <ATen/Tensor.h>
#include <c10/core/ScalarType.h>
#include <torch/csrc/lazy/core/shape.h>

namespace torch {
namespace lazy {

TORCH_API std::vector<torch::lazy::Shape> compute_shape_fill(const at::Tensor & self, const at::Scalar & value);

}  // namespace lazy
}  // namespace torch
