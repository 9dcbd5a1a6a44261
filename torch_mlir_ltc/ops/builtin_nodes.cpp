#include "builtin_nodes.h"

#include <sstream>

#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>
#include <torch/csrc/lazy/core/util.h>

namespace torch {
namespace lazy {
inline namespace mlir_base {

Generic::Generic(OpKind op, OpList operands, Shape shape, size_t num_outputs, hash_t hash_seed)
    : TorchMlirNode(op, operands, std::vector<Shape>{std::move(shape)}, num_outputs, hash_seed) {}

Generic::Generic(OpKind op, OpList operands, const std::function<Shape()>& shape_fn,
                 size_t num_outputs, hash_t hash_seed)
    : TorchMlirNode(op, operands, shape_fn, num_outputs, hash_seed) {}

Generic::Generic(OpKind op, OpList operands, size_t num_outputs, hash_t hash_seed)
    : TorchMlirNode(op, operands, num_outputs, hash_seed) {}

Generic::Generic(OpKind op, Shape shape, size_t num_outputs, hash_t hash_seed)
    : TorchMlirNode(op, std::move(shape), num_outputs, hash_seed) {}

Scalar::Scalar(const at::Scalar& value, Shape shape)
    : TorchMlirNode(ClassOpKind(), std::move(shape), /*num_outputs=*/1, torch::lazy::Hash(value)),
      value_(value) {}

Scalar::Scalar(const at::Scalar& value, c10::ScalarType type)
    : Scalar(value, Shape(type, {})) {}

std::string Scalar::ToString() const {
  std::stringstream ss;
  ss << TorchMlirNode::ToString() << ", value=" << value_;
  return ss.str();
}

Expand::Expand(const Value& input, std::vector<int64_t> size, bool is_scalar_expand)
    : TorchMlirNode(
          ClassOpKind(), OpList{input},
          std::vector<Shape>{Shape(input.shape().scalar_type(), size)},
          /*num_outputs=*/1, MHash(size, is_scalar_expand)),
      size_(std::move(size)),
      is_scalar_expand_(is_scalar_expand) {}

bool Expand::CanBeReused(const Value& input, const std::vector<int64_t>& size,
                         bool is_scalar_expand) const {
  return operand(0) == Output(input.node.get(), input.index) && size_ == size &&
         is_scalar_expand_ == is_scalar_expand;
}

std::string Expand::ToString() const {
  std::stringstream ss;
  ss << TorchMlirNode::ToString() << ", size=(" << c10::Join(", ", size_)
     << "), is_scalar_expand=" << is_scalar_expand_;
  return ss.str();
}

Cast::Cast(const Value& input, c10::ScalarType dtype, std::optional<c10::ScalarType> stype)
    : TorchMlirNode(ClassOpKind(), OpList{input},
                    std::vector<Shape>{Shape(dtype, input.shape().sizes())},
                    /*num_outputs=*/1, MHash(static_cast<int>(dtype), stype ? static_cast<int>(*stype) : -1)),
      dtype_(dtype),
      stype_(stype) {}

std::string Cast::ToString() const {
  std::stringstream ss;
  ss << TorchMlirNode::ToString() << ", dtype=" << dtype_;
  if (stype_) ss << ", stype=" << *stype_;
  return ss.str();
}

OpKind TorchMlirTensorList::ClassOpKind() {
  static const OpKind tensor_list(c10::Symbol::prim("tensor_list"));
  return tensor_list;
}

TorchMlirTensorList::TorchMlirTensorList(OpList values)
    : TorchMlirNode(ClassOpKind(), values, std::vector<Shape>{}, /*num_outputs=*/1) {}

}  // namespace mlir_base
}  // namespace lazy
}  // namespace torch
