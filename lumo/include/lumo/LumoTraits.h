// Native traits of lumo operations.
#pragma once

#include "mlir/IR/OpDefinition.h"

namespace lumo {

// Whether `from` broadcasts numpy-style to `to`: aligned at the last dimension, each dimension of
// `from` is 1 or equal to the one of `to`, and `from` has no more dimensions than `to`.
bool broadcastsTo(llvm::ArrayRef<int64_t> from, llvm::ArrayRef<int64_t> to);

// Whether a shaped type has fewer than 2^63 elements (a count an int64 holds); other types pass.
bool hasCountableElements(mlir::Type type);

namespace OpTrait {

mlir::LogicalResult verifyBroadcastsToResult(mlir::Operation *op);

// Every operand broadcasts to the shape of the (first) result.
template <typename ConcreteType>
class BroadcastsToResult : public mlir::OpTrait::TraitBase<ConcreteType, BroadcastsToResult> {
public:
  static mlir::LogicalResult verifyTrait(mlir::Operation *op) { return verifyBroadcastsToResult(op); }
};

} // namespace OpTrait
} // namespace lumo
