// The nodes LTC core asks the IR builder for (besides device data).
#pragma once

#include <optional>
#include <vector>

#include <c10/core/Scalar.h>
#include <c10/core/ScalarType.h>
#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>

#include "torch_mlir_ltc/mlir_node.h"

namespace torch {
namespace lazy {
inline namespace mlir_base {

// A node of any op kind whose lowering is the builtin of that kind.
class Generic : public TorchMlirNode {
 public:
  Generic(OpKind op, OpList operands, Shape shape, size_t num_outputs = 1,
          hash_t hash_seed = static_cast<uint32_t>(0x5a2d296e9));
  Generic(OpKind op, OpList operands, const std::function<Shape()>& shape_fn,
          size_t num_outputs = 1, hash_t hash_seed = static_cast<uint32_t>(0x5a2d296e9));
  Generic(OpKind op, OpList operands, size_t num_outputs = 1,
          hash_t hash_seed = static_cast<uint32_t>(0x5a2d296e9));
  Generic(OpKind op, Shape shape, size_t num_outputs, hash_t hash_seed);
};

// A constant scalar of a given element type, as a 0-d tensor.
class Scalar : public TorchMlirNode {
 public:
  static OpKind ClassOpKind() { return OpKind(at::prim::Constant); }
  Scalar(const at::Scalar& value, Shape shape);
  Scalar(const at::Scalar& value, c10::ScalarType type);
  std::string ToString() const override;
  const at::Scalar& value() const { return value_; }
  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;

 private:
  at::Scalar value_;
};

class Expand : public TorchMlirNode {
 public:
  static OpKind ClassOpKind() { return OpKind(at::aten::expand); }
  Expand(const Value& input, std::vector<int64_t> size, bool is_scalar_expand);
  bool CanBeReused(const Value& input, const std::vector<int64_t>& size,
                   bool is_scalar_expand) const;
  std::string ToString() const override;
  const std::vector<int64_t>& size() const { return size_; }
  bool is_scalar_expand() const { return is_scalar_expand_; }
  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;

 private:
  std::vector<int64_t> size_;
  // The input is a 0-d scalar broadcast to `size_`.
  bool is_scalar_expand_;
};

class Cast : public TorchMlirNode {
 public:
  static OpKind ClassOpKind() { return ltc_cast; }
  Cast(const Value& input, c10::ScalarType dtype,
       std::optional<c10::ScalarType> stype = std::nullopt);
  std::string ToString() const override;
  c10::ScalarType dtype() const { return dtype_; }
  const std::optional<c10::ScalarType>& stype() const { return stype_; }
  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;

 private:
  c10::ScalarType dtype_;
  std::optional<c10::ScalarType> stype_;
};

// A list of tensors, lowered to a TorchScript list.
class TorchMlirTensorList : public TorchMlirNode {
 public:
  static OpKind ClassOpKind();
  explicit TorchMlirTensorList(OpList values);
  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;
};

}  // namespace mlir_base
}  // namespace lazy
}  // namespace torch
