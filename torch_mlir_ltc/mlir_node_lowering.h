// What the generated node classes need to lower themselves.
#pragma once

#include <vector>

#include <torch/csrc/jit/api/function_impl.h>
#include <torch/csrc/jit/frontend/sugared_value.h>
#include <torch/csrc/jit/ir/named_value.h>

#include "torch_mlir_ltc/mlir_lowering_context.h"
#include "torch_mlir_ltc/mlir_node.h"

namespace torch {
namespace lazy {

// Inserts a call of builtin `sym` into `function`'s graph, matching `arguments` and
// `kwarguments` against the operator's schemas as TorchScript does (defaults filled in, constants
// inserted), types the results from `result_shapes`, and returns the result values (list results
// unpacked).
TorchMlirOpVector LowerTorchMlirBuiltin(TorchMlirFunction function, c10::Symbol sym,
                                        c10::ArrayRef<Shape> result_shapes,
                                        const std::vector<torch::jit::NamedValue>& arguments,
                                        const std::vector<torch::jit::NamedValue>& kwarguments = {});

}  // namespace lazy
}  // namespace torch
