// The passes of torch-lumo-opt.
#pragma once

#include "mlir/Pass/Pass.h"

#include <memory>

namespace torch_lumo {

/// -refine-types: torch value tensors become builtin ranked tensors.
std::unique_ptr<mlir::Pass> createRefineTypesPass();
/// -convert-torch-to-lumo: torch operations become lumo operations.
std::unique_ptr<mlir::Pass> createConvertTorchToLumoPass();
/// Verifies the module (the tool's last pass, since it does not verify after every pass).
std::unique_ptr<mlir::Pass> createVerifyPass();
/// Registers the passes and the -torch-to-lumo-pipeline pipeline.
void registerPasses();
/// Writes the operation kinds that have a conversion, one per line, sorted.
void printConvertedKinds(llvm::raw_ostream &os);

}  // namespace torch_lumo
