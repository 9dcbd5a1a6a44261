// Lowering of the base nodes into the TorchScript graph of a computation.
#include <stdexcept>

#include "torch_mlir_ltc/mlir_node_lowering.h"
#include "torch_mlir_ltc/ops/builtin_nodes.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace torch {
namespace lazy {

namespace {
[[noreturn]] void lowering_not_available() {
  throw std::runtime_error("Unimplemented Error: lowering is not available in this build yet");
}
}  // namespace

TorchMlirOpVector LowerTorchMlirBuiltin(TorchMlirFunction, c10::Symbol, c10::ArrayRef<Shape>,
                                        const std::vector<torch::jit::NamedValue>&,
                                        const std::vector<torch::jit::NamedValue>&) {
  lowering_not_available();
}

TorchMlirOpVector TorchMlirNode::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}
TorchMlirOpVector DeviceData::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}
TorchMlirOpVector Scalar::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}
TorchMlirOpVector Expand::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}
TorchMlirOpVector Cast::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}
TorchMlirOpVector TorchMlirTensorList::Lower(TorchMlirFunction, TorchMlirLoweringContext*) const {
  lowering_not_available();
}

}  // namespace lazy
}  // namespace torch
