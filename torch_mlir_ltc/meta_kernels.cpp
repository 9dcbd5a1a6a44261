// C++ meta kernels for operations whose meta form the capture runs at every traced step and which
// PyTorch would otherwise compute in Python (it gives many operations Python meta functions).
//
// The in-place multi-tensor (foreach) operations that optimizers call. Before functionalization
// replaces an in-place operation by its functional form, it runs the in-place operation on meta
// tensors, to refuse what only the in-place form refuses (an operand that would broadcast the
// written tensor to a larger shape, a result type the written tensor cannot hold). The foreach
// operations have no meta kernel of their own: their composite kernels run the per-tensor in-place
// operation through the dispatcher, one tensor at a time, and each in-place pointwise operation
// has a Python meta function. An optimizer step over N parameters then calls into Python N times
// per operation while it is traced. These kernels make the same checks in C++: the list checks of
// the composite kernels, then ATen's meta function of the per-tensor in-place operation for each
// tensor.
//
// clone: the lazy kernels of the view-copy operations (view_copy, t_copy, transpose_copy, ...)
// infer their shapes by running the view and a clone on meta tensors, and clone's composite
// kernel asks the dispatcher for empty_like, whose meta function is Python's: one Python call per
// view of the traced step.
#include <ATen/MetaFunctions.h>
#include <ATen/ScalarOps.h>
#include <ATen/native/ForeachUtils.h>
#include <ATen/ops/empty_like_native.h>
#include <torch/library.h>

#include <memory>

#include "native_functions.h"

namespace {
namespace foreach_meta {

using at::Scalar;
using at::Tensor;
using at::TensorList;
using at::native::check_foreach_api_restrictions;
using ScalarList = at::ArrayRef<Scalar>;

Tensor number(const Scalar& scalar) { return at::native::wrapped_scalar_tensor(scalar); }

void check_zero_dim(const Tensor& other) {
  TORCH_CHECK(other.dim() == 0 && other.numel() == 1,
              "scalar tensor expected to be 0 dim but it has ", other.dim(), " dimensions and ",
              other.numel(), " elements.");
}

// For each written tensor t and its index i, `check(t, i)`.
template <typename Check>
void each(TensorList self, Check check) {
  for (size_t i = 0; i < self.size(); ++i) {
    Tensor t = self[i];
    check(t, i);
  }
}

#define UNARY(OP)                                                     \
  void OP##_(TensorList self) {                                       \
    check_foreach_api_restrictions(self);                             \
    each(self, [](Tensor& t, size_t) { at::meta::OP##_(t); });        \
  }

UNARY(sqrt)
UNARY(neg)
UNARY(reciprocal)
UNARY(sign)
UNARY(exp)
UNARY(log)
UNARY(sigmoid)
UNARY(zero)
#undef UNARY

// abs has no meta function in C++: in place it refuses complex tensors (whose absolute values are
// real), as its composite kernel does.
void abs_(TensorList self) {
  check_foreach_api_restrictions(self);
  each(self, [](Tensor& t, size_t) {
    TORCH_CHECK(!t.is_complex(), "In-place abs is not supported for complex tensors.");
  });
}

// add and sub: a number, a list of tensors (with alpha), a list of numbers, one 0-d tensor.
#define WITH_ALPHA(OP)                                                                   \
  void OP##_scalar(TensorList self, const Scalar& scalar) {                              \
    check_foreach_api_restrictions(self);                                                \
    each(self, [&](Tensor& t, size_t) { at::meta::OP##_(t, number(scalar)); });          \
  }                                                                                      \
  void OP##_list(TensorList self, TensorList other, const Scalar& alpha) {               \
    check_foreach_api_restrictions(self, other);                                         \
    each(self, [&](Tensor& t, size_t i) { at::meta::OP##_(t, other[i], alpha); });       \
  }                                                                                      \
  void OP##_scalars(TensorList self, ScalarList scalars) {                               \
    check_foreach_api_restrictions(self, scalars);                                       \
    each(self, [&](Tensor& t, size_t i) { at::meta::OP##_(t, number(scalars[i])); });    \
  }

WITH_ALPHA(add)
WITH_ALPHA(sub)
#undef WITH_ALPHA

void add_tensor(TensorList self, const Tensor& other, const Scalar& alpha) {
  check_foreach_api_restrictions(self);
  check_zero_dim(other);
  each(self, [&](Tensor& t, size_t) { at::meta::add_(t, other, alpha); });
}

// Binary operations without alpha: mul, div, pow (whose per-tensor meta takes the number as it
// is), clamp_min (maximum) and clamp_max (minimum).
#define BINARY(NAME, OP, NUMBER)                                                          \
  void NAME##_scalar(TensorList self, const Scalar& scalar) {                             \
    check_foreach_api_restrictions(self);                                                 \
    each(self, [&](Tensor& t, size_t) { at::meta::OP##_(t, NUMBER(scalar)); });           \
  }                                                                                       \
  void NAME##_list(TensorList self, TensorList other) {                                   \
    check_foreach_api_restrictions(self, other);                                          \
    each(self, [&](Tensor& t, size_t i) { at::meta::OP##_(t, other[i]); });               \
  }                                                                                       \
  void NAME##_scalars(TensorList self, ScalarList scalars) {                              \
    check_foreach_api_restrictions(self, scalars);                                        \
    each(self, [&](Tensor& t, size_t i) { at::meta::OP##_(t, NUMBER(scalars[i])); });     \
  }

#define AS_TENSOR(s) number(s)
#define AS_SCALAR(s) (s)
BINARY(mul, mul, AS_TENSOR)
BINARY(div, div, AS_TENSOR)
BINARY(pow, pow, AS_SCALAR)
BINARY(clamp_min, clamp_min, AS_SCALAR)
BINARY(clamp_max, clamp_max, AS_SCALAR)
#undef AS_SCALAR
#undef AS_TENSOR
#undef BINARY

void mul_tensor(TensorList self, const Tensor& other) {
  check_foreach_api_restrictions(self);
  check_zero_dim(other);
  each(self, [&](Tensor& t, size_t) { at::meta::mul_(t, other); });
}

void div_tensor(TensorList self, const Tensor& other) {
  check_foreach_api_restrictions(self);
  check_zero_dim(other);
  each(self, [&](Tensor& t, size_t) { at::meta::div_(t, other); });
}

void lerp_scalar(TensorList self, TensorList ends, const Scalar& weight) {
  check_foreach_api_restrictions(self, ends);
  each(self, [&](Tensor& t, size_t i) { at::meta::lerp_(t, ends[i], weight); });
}

void lerp_list(TensorList self, TensorList ends, TensorList weights) {
  check_foreach_api_restrictions(self, ends, weights);
  each(self, [&](Tensor& t, size_t i) { at::meta::lerp_(t, ends[i], weights[i]); });
}

void lerp_scalars(TensorList self, TensorList ends, ScalarList weights) {
  check_foreach_api_restrictions(self, ends, weights);
  each(self, [&](Tensor& t, size_t i) { at::meta::lerp_(t, ends[i], weights[i]); });
}

#define POINTWISE(OP)                                                                          \
  void OP##_scalar(TensorList self, TensorList tensor1, TensorList tensor2,                    \
                   const Scalar& value) {                                                      \
    check_foreach_api_restrictions(self, tensor1, tensor2);                                    \
    each(self, [&](Tensor& t, size_t i) { at::meta::OP##_(t, tensor1[i], tensor2[i], value); }); \
  }                                                                                            \
  void OP##_scalars(TensorList self, TensorList tensor1, TensorList tensor2,                   \
                    ScalarList scalars) {                                                      \
    check_foreach_api_restrictions(self, tensor1, tensor2, scalars);                           \
    each(self, [&](Tensor& t, size_t i) {                                                      \
      at::meta::OP##_(t, tensor1[i], tensor2[i], scalars[i]);                                  \
    });                                                                                        \
  }

POINTWISE(addcmul)
POINTWISE(addcdiv)
#undef POINTWISE

}  // namespace foreach_meta

// A tensor like self, as clone's composite kernel makes it (empty_like keeps the strides of a
// dense tensor under the preserve format), without the dispatcher; meta tensors hold no data.
at::Tensor clone_meta(const at::Tensor& self, std::optional<at::MemoryFormat> memory_format) {
  return at::native::empty_like(self, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                memory_format);
}

}  // namespace

namespace at {

void RegisterTorchMlirMetaKernels() {
  // Made once and kept for the life of the process: a second registration would fail.
  static const auto library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::Meta, __FILE__, __LINE__);
    lib->impl("_foreach_abs_", TORCH_FN(foreach_meta::abs_));
    lib->impl("_foreach_sqrt_", TORCH_FN(foreach_meta::sqrt_));
    lib->impl("_foreach_neg_", TORCH_FN(foreach_meta::neg_));
    lib->impl("_foreach_reciprocal_", TORCH_FN(foreach_meta::reciprocal_));
    lib->impl("_foreach_sign_", TORCH_FN(foreach_meta::sign_));
    lib->impl("_foreach_exp_", TORCH_FN(foreach_meta::exp_));
    lib->impl("_foreach_log_", TORCH_FN(foreach_meta::log_));
    lib->impl("_foreach_sigmoid_", TORCH_FN(foreach_meta::sigmoid_));
    lib->impl("_foreach_zero_", TORCH_FN(foreach_meta::zero_));
    lib->impl("_foreach_add_.Scalar", TORCH_FN(foreach_meta::add_scalar));
    lib->impl("_foreach_add_.List", TORCH_FN(foreach_meta::add_list));
    lib->impl("_foreach_add_.ScalarList", TORCH_FN(foreach_meta::add_scalars));
    lib->impl("_foreach_add_.Tensor", TORCH_FN(foreach_meta::add_tensor));
    lib->impl("_foreach_sub_.Scalar", TORCH_FN(foreach_meta::sub_scalar));
    lib->impl("_foreach_sub_.List", TORCH_FN(foreach_meta::sub_list));
    lib->impl("_foreach_sub_.ScalarList", TORCH_FN(foreach_meta::sub_scalars));
    lib->impl("_foreach_mul_.Scalar", TORCH_FN(foreach_meta::mul_scalar));
    lib->impl("_foreach_mul_.List", TORCH_FN(foreach_meta::mul_list));
    lib->impl("_foreach_mul_.ScalarList", TORCH_FN(foreach_meta::mul_scalars));
    lib->impl("_foreach_mul_.Tensor", TORCH_FN(foreach_meta::mul_tensor));
    lib->impl("_foreach_div_.Scalar", TORCH_FN(foreach_meta::div_scalar));
    lib->impl("_foreach_div_.List", TORCH_FN(foreach_meta::div_list));
    lib->impl("_foreach_div_.ScalarList", TORCH_FN(foreach_meta::div_scalars));
    lib->impl("_foreach_div_.Tensor", TORCH_FN(foreach_meta::div_tensor));
    lib->impl("_foreach_pow_.Scalar", TORCH_FN(foreach_meta::pow_scalar));
    lib->impl("_foreach_pow_.List", TORCH_FN(foreach_meta::pow_list));
    lib->impl("_foreach_pow_.ScalarList", TORCH_FN(foreach_meta::pow_scalars));
    lib->impl("_foreach_clamp_min_.Scalar", TORCH_FN(foreach_meta::clamp_min_scalar));
    lib->impl("_foreach_clamp_min_.List", TORCH_FN(foreach_meta::clamp_min_list));
    lib->impl("_foreach_clamp_min_.ScalarList", TORCH_FN(foreach_meta::clamp_min_scalars));
    lib->impl("_foreach_clamp_max_.Scalar", TORCH_FN(foreach_meta::clamp_max_scalar));
    lib->impl("_foreach_clamp_max_.List", TORCH_FN(foreach_meta::clamp_max_list));
    lib->impl("_foreach_clamp_max_.ScalarList", TORCH_FN(foreach_meta::clamp_max_scalars));
    // maximum and minimum of the foreach family are clamp_min and clamp_max per tensor.
    lib->impl("_foreach_maximum_.Scalar", TORCH_FN(foreach_meta::clamp_min_scalar));
    lib->impl("_foreach_maximum_.List", TORCH_FN(foreach_meta::clamp_min_list));
    lib->impl("_foreach_maximum_.ScalarList", TORCH_FN(foreach_meta::clamp_min_scalars));
    lib->impl("_foreach_minimum_.Scalar", TORCH_FN(foreach_meta::clamp_max_scalar));
    lib->impl("_foreach_minimum_.List", TORCH_FN(foreach_meta::clamp_max_list));
    lib->impl("_foreach_minimum_.ScalarList", TORCH_FN(foreach_meta::clamp_max_scalars));
    lib->impl("_foreach_lerp_.Scalar", TORCH_FN(foreach_meta::lerp_scalar));
    lib->impl("_foreach_lerp_.List", TORCH_FN(foreach_meta::lerp_list));
    lib->impl("_foreach_lerp_.ScalarList", TORCH_FN(foreach_meta::lerp_scalars));
    lib->impl("_foreach_addcmul_.Scalar", TORCH_FN(foreach_meta::addcmul_scalar));
    lib->impl("_foreach_addcmul_.ScalarList", TORCH_FN(foreach_meta::addcmul_scalars));
    lib->impl("_foreach_addcdiv_.Scalar", TORCH_FN(foreach_meta::addcdiv_scalar));
    lib->impl("_foreach_addcdiv_.ScalarList", TORCH_FN(foreach_meta::addcdiv_scalars));
    lib->impl("clone", TORCH_FN(clone_meta));
    return lib;
  }();
  (void)library;
}

}  // namespace at
