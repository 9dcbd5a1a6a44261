// The type conversion of torch-lumo-opt: torch value tensors of static shape and known dtype
// (`!torch.vtensor<[2,3],f32>`, opaque types since the torch dialect is not linked) become builtin
// ranked tensors (`tensor<2x3xf32>`); other types stay as they are.
#pragma once

#include "mlir/IR/BuiltinOps.h"
#include "mlir/Transforms/DialectConversion.h"

#include <string>

namespace torch_lumo {

class TorchTypeConverter : public mlir::TypeConverter {
 public:
  TorchTypeConverter();
  /// The builtin tensor of a torch value tensor, the type itself for any other type, or null with
  /// `error` set when a torch tensor cannot be refined (dynamic dimension, unknown dtype, a
  /// non-value tensor, an element count beyond 64 bits).
  static mlir::Type refine(mlir::Type type, std::string &error);
};

/// Reports, at the values that have them, the torch tensor types of `module` that cannot be refined,
/// and function arguments and results that are not tensors. Sets `needsConversion` when some type
/// changes under the converter.
mlir::LogicalResult checkTypes(mlir::ModuleOp module, bool &needsConversion);

/// Rewrites every torch value tensor type of `module` (signatures, block arguments, operation
/// results) into its builtin tensor, in place; the types must have passed checkTypes.
mlir::LogicalResult refineTypes(mlir::ModuleOp module, TorchTypeConverter &types);

}  // namespace torch_lumo
