// Native traits of lumo operations.
#pragma once

#include "mlir/IR/OpDefinition.h"

namespace lumo {

// Whether `from` broadcasts numpy-style to `to`: aligned at the last dimension, each dimension of
// `from` is 1 or equal to the one of `to`, and `from` has no more dimensions than `to`.
bool broadcastsTo(llvm::ArrayRef<int64_t> from, llvm::ArrayRef<int64_t> to);

namespace OpTrait {

mlir::LogicalResult verifyBroadcastsToResult(mlir::Operation *op);
mlir::LogicalResult verifyCountableElements(mlir::Operation *op);

// Every operand broadcasts to the shape of the (first) result.
template <typename ConcreteType>
class BroadcastsToResult : public mlir::OpTrait::TraitBase<ConcreteType, BroadcastsToResult> {
public:
  static mlir::LogicalResult verifyTrait(mlir::Operation *op) { return verifyBroadcastsToResult(op); }
};

// Every operand and result has fewer than 2^63 elements (a count an int64 holds).
template <typename ConcreteType>
class CountableElements : public mlir::OpTrait::TraitBase<ConcreteType, CountableElements> {
public:
  static mlir::LogicalResult verifyTrait(mlir::Operation *op) { return verifyCountableElements(op); }
};

} // namespace OpTrait
} // namespace lumo
