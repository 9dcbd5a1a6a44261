#include "shape_inference.h"

#include <ATen/ExpandUtils.h>
#include <ATen/OpMathType.h>
#include <ATen/Functions.h>
#include <ATen/WrapDimUtils.h>
#include <c10/util/irange.h>

namespace torch {
namespace lazy {

namespace {

Shape SameAs(const at::Tensor& t) { return Shape(t.scalar_type(), t.sizes().vec()); }

Shape SameSizes(const at::Tensor& t, c10::ScalarType dtype) { return Shape(dtype, t.sizes().vec()); }

std::vector<int64_t> Broadcast(std::initializer_list<at::IntArrayRef> sizes) {
  std::vector<int64_t> out;
  for (const auto& s : sizes) out = at::infer_size(out, s);
  return out;
}

// Type of `self <op> scalar` under PyTorch's promotion rules.
c10::ScalarType WithScalar(const at::Tensor& self, const at::Scalar& other) {
  return at::result_type(self, other);
}

// Floating type of a true division or of a reduction that always yields a floating value.
c10::ScalarType ToFloating(c10::ScalarType t) {
  return at::isIntegralType(t, /*includeBool=*/true) ? at::typeMetaToScalarType(at::get_default_dtype())
                                                     : t;
}

// Sizes after reducing `dims` of `self` (all of them when `dims` is empty or absent). A 0-d
// tensor accepts dimension 0 or -1, as PyTorch does, and stays 0-d.
std::vector<int64_t> Reduced(const at::Tensor& self, at::OptionalIntArrayRef dims, bool keepdim) {
  const int64_t rank = self.dim();
  std::vector<bool> reduce(rank, !dims || dims->empty());
  if (dims) {
    for (int64_t d : *dims) {
      const int64_t wrapped = at::maybe_wrap_dim(d, rank);
      if (wrapped < rank) reduce[wrapped] = true;
    }
  }
  std::vector<int64_t> out;
  for (const auto i : c10::irange(rank)) {
    if (!reduce[i]) {
      out.push_back(self.size(i));
    } else if (keepdim) {
      out.push_back(1);
    }
  }
  return out;
}

// A loss per element, or one value.
Shape LossShape(const at::Tensor& self, int64_t reduction) {
  return Shape(self.scalar_type(),
               reduction == at::Reduction::None ? self.sizes().vec() : std::vector<int64_t>{});
}

// Two tensors broadcast together, in the type PyTorch's promotion gives them.
Shape Promoted(const at::Tensor& a, const at::Tensor& b) {
  return Shape(at::result_type(a, b), Broadcast({a.sizes(), b.sizes()}));
}

int64_t PooledSize(int64_t in, int64_t k, int64_t pad, int64_t stride, int64_t dilation,
                   bool ceil_mode) {
  // Bad window arguments raise, as they do on the host, instead of dividing by zero.
  TORCH_CHECK(k > 0 && stride > 0 && dilation > 0,
              "kernel size, stride and dilation must be greater than zero, but got kernel_size=", k,
              " stride=", stride, " dilation=", dilation);
  int64_t numerator = in + 2 * pad - dilation * (k - 1) - 1 + (ceil_mode ? stride - 1 : 0);
  int64_t out = numerator / stride + 1;
  // The last window must start inside the input or the left padding.
  if (ceil_mode && (out - 1) * stride >= in + pad) --out;
  return out;
}

// A pooling argument given as one value applies to every spatial dimension.
int64_t At(at::IntArrayRef values, size_t i, int64_t fallback) {
  if (values.empty()) return fallback;
  TORCH_CHECK(values.size() == 1 || i < values.size(), "expected one value or one per spatial "
              "dimension, but got ", values.size(), " values: ", values);
  return values.size() == 1 ? values[0] : values[i];
}

}  // namespace

// Shape functions of one form, each with the full parameter list of its declaration.
// The result has the sizes and type of `self`:
#define SAME_AS_SELF(name, ...) \
  std::vector<torch::lazy::Shape> compute_shape_##name(__VA_ARGS__) { return {SameAs(self)}; }
// `self <op> other` with a scalar `other`: the sizes of `self`, the promoted type:
#define WITH_SCALAR(name, ...)                                        \
  std::vector<torch::lazy::Shape> compute_shape_##name(__VA_ARGS__) { \
    return {SameSizes(self, WithScalar(self, other))};                \
  }

SAME_AS_SELF(fill, const at::Tensor& self, const at::Scalar& value)
SAME_AS_SELF(fill, const at::Tensor& self, const at::Tensor& value)

// Pointwise, one tensor.

std::vector<torch::lazy::Shape> compute_shape_isinf(const at::Tensor& self) {
  return {SameSizes(self, at::kBool)};
}

std::vector<torch::lazy::Shape> compute_shape_logit(const at::Tensor& self,
                                                    ::std::optional<double> eps) {
  return {SameSizes(self, ToFloating(self.scalar_type()))};
}

// Special functions.

std::vector<torch::lazy::Shape> compute_shape_angle(const at::Tensor& self) {
  // Complex numbers give their real type, integers the default floating type.
  return {SameSizes(self, ToFloating(c10::toRealValueType(self.scalar_type())))};
}

std::vector<torch::lazy::Shape> compute_shape_frexp(const at::Tensor& self) {
  TORCH_CHECK(at::isFloatingType(self.scalar_type()),
              "torch.frexp() only supports floating-point dtypes");
  return {SameAs(self), SameSizes(self, at::kInt)};
}

std::vector<torch::lazy::Shape> compute_shape_mvlgamma(const at::Tensor& self, int64_t p) {
  TORCH_CHECK(p >= 1, "p has to be greater than or equal to 1");
  return {SameSizes(self, ToFloating(self.scalar_type()))};
}

SAME_AS_SELF(nan_to_num, const at::Tensor& self, ::std::optional<double> nan,
             ::std::optional<double> posinf, ::std::optional<double> neginf)
SAME_AS_SELF(celu, const at::Tensor& self, const at::Scalar& alpha)
SAME_AS_SELF(hardtanh, const at::Tensor& self, const at::Scalar& min_val, const at::Scalar& max_val)

std::vector<torch::lazy::Shape> compute_shape_hardtanh_backward(const at::Tensor& grad_output,
                                                                const at::Tensor& self,
                                                                const at::Scalar& min_val,
                                                                const at::Scalar& max_val) {
  return {Shape(grad_output.scalar_type(), Broadcast({grad_output.sizes(), self.sizes()}))};
}

std::vector<torch::lazy::Shape> compute_shape_mish_backward(const at::Tensor& grad_output,
                                                            const at::Tensor& self) {
  return {Shape(grad_output.scalar_type(), Broadcast({grad_output.sizes(), self.sizes()}))};
}

std::vector<torch::lazy::Shape> compute_shape__prelu_kernel(const at::Tensor& self,
                                                            const at::Tensor& weight) {
  return {Promoted(self, weight)};
}

std::vector<torch::lazy::Shape> compute_shape__prelu_kernel_backward(
    const at::Tensor& grad_output, const at::Tensor& self, const at::Tensor& weight) {
  return {SameAs(self), SameAs(weight)};
}

// Pointwise with a scalar or a second tensor.

WITH_SCALAR(add, const at::Tensor& self, const at::Scalar& other, const at::Scalar& alpha)
WITH_SCALAR(sub, const at::Tensor& self, const at::Scalar& other, const at::Scalar& alpha)
WITH_SCALAR(rsub, const at::Tensor& self, const at::Scalar& other, const at::Scalar& alpha)

std::vector<torch::lazy::Shape> compute_shape_rsub(const at::Tensor& self, const at::Tensor& other,
                                                   const at::Scalar& alpha) {
  return {Promoted(self, other)};
}

WITH_SCALAR(mul, const at::Tensor& self, const at::Scalar& other)

std::vector<torch::lazy::Shape> compute_shape_div(const at::Tensor& self,
                                                  const at::Scalar& other) {
  return {SameSizes(self, ToFloating(WithScalar(self, other)))};
}

std::vector<torch::lazy::Shape> compute_shape_div(
    const at::Tensor& self, const at::Scalar& other,
    ::std::optional<c10::string_view> rounding_mode) {
  auto dtype = WithScalar(self, other);
  return {SameSizes(self, rounding_mode ? dtype : ToFloating(dtype))};
}

WITH_SCALAR(remainder, const at::Tensor& self, const at::Scalar& other)
WITH_SCALAR(fmod, const at::Tensor& self, const at::Scalar& other)
WITH_SCALAR(floor_divide, const at::Tensor& self, const at::Scalar& other)

std::vector<torch::lazy::Shape> compute_shape_floor_divide(const at::Tensor& self,
                                                           const at::Tensor& other) {
  return {Promoted(self, other)};
}

WITH_SCALAR(bitwise_and, const at::Tensor& self, const at::Scalar& other)
WITH_SCALAR(bitwise_or, const at::Tensor& self, const at::Scalar& other)
WITH_SCALAR(bitwise_xor, const at::Tensor& self, const at::Scalar& other)

std::vector<torch::lazy::Shape> compute_shape_where(const at::Tensor& condition,
                                                    const at::Tensor& self,
                                                    const at::Tensor& other) {
  return {Shape(at::result_type(self, other),
                Broadcast({condition.sizes(), self.sizes(), other.sizes()}))};
}

SAME_AS_SELF(copy, const at::Tensor& self, const at::Tensor& src, bool non_blocking)

// Reductions.

std::vector<torch::lazy::Shape> compute_shape_count_nonzero(const at::Tensor& self,
                                                            at::IntArrayRef dim) {
  return {Shape(at::kLong, Reduced(self, dim, /*keepdim=*/false))};
}

std::vector<torch::lazy::Shape> compute_shape_linalg_pinv(const at::Tensor& self,
                                                         const std::optional<at::Tensor>& atol,
                                                         const std::optional<at::Tensor>& rtol,
                                                         bool hermitian) {
  // (*, m, n) -> (*, n, m), in the input's type.
  TORCH_CHECK(self.dim() >= 2, "linalg.pinv: The input tensor A must have at least 2 dimensions.");
  std::vector<int64_t> sizes = self.sizes().vec();
  std::swap(sizes[sizes.size() - 1], sizes[sizes.size() - 2]);
  return {Shape(self.scalar_type(), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape_logsumexp(const at::Tensor& self,
                                                        at::IntArrayRef dim, bool keepdim) {
  return {Shape(ToFloating(self.scalar_type()), Reduced(self, dim, keepdim))};
}

std::vector<torch::lazy::Shape> compute_shape_norm(const at::Tensor& self, const at::Scalar& p) {
  return {Shape(c10::toRealValueType(self.scalar_type()), {})};
}

std::vector<torch::lazy::Shape> compute_shape_prod(const at::Tensor& self,
                                                   ::std::optional<at::ScalarType> dtype) {
  auto type = dtype ? *dtype
                    : (at::isIntegralType(self.scalar_type(), /*includeBool=*/true)
                           ? at::kLong
                           : self.scalar_type());
  return {Shape(type, {})};
}

std::vector<torch::lazy::Shape> compute_shape_var(const at::Tensor& self,
                                                  at::OptionalIntArrayRef dim,
                                                  const ::std::optional<at::Scalar>& correction,
                                                  bool keepdim) {
  return {Shape(c10::toRealValueType(self.scalar_type()), Reduced(self, dim, keepdim))};
}

std::vector<torch::lazy::Shape> compute_shape_var_mean(
    const at::Tensor& self, at::OptionalIntArrayRef dim,
    const ::std::optional<at::Scalar>& correction, bool keepdim) {
  auto sizes = Reduced(self, dim, keepdim);
  return {Shape(c10::toRealValueType(self.scalar_type()), sizes), Shape(self.scalar_type(), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape_std_mean(
    const at::Tensor& self, at::OptionalIntArrayRef dim,
    const ::std::optional<at::Scalar>& correction, bool keepdim) {
  return compute_shape_var_mean(self, dim, correction, keepdim);
}

// Matrix products.

std::vector<torch::lazy::Shape> compute_shape_addbmm(const at::Tensor& self,
                                                     const at::Tensor& batch1,
                                                     const at::Tensor& batch2,
                                                     const at::Scalar& beta,
                                                     const at::Scalar& alpha) {
  TORCH_CHECK(batch1.dim() == 3 && batch2.dim() == 3, "addbmm: batch1 and batch2 must be 3-D");
  return {Shape(self.scalar_type(), {batch1.size(1), batch2.size(2)})};
}

std::vector<torch::lazy::Shape> compute_shape_dot(const at::Tensor& self,
                                                  const at::Tensor& tensor) {
  return {Shape(self.scalar_type(), {})};
}

std::vector<torch::lazy::Shape> compute_shape__trilinear(
    const at::Tensor& i1, const at::Tensor& i2, const at::Tensor& i3, at::IntArrayRef expand1,
    at::IntArrayRef expand2, at::IntArrayRef expand3, at::IntArrayRef sumdim,
    int64_t unroll_dim) {
  // Each input gets size-1 dimensions at its expand positions; the result broadcasts the three
  // and drops the summed dimensions.
  auto expanded = [](const at::Tensor& t, at::IntArrayRef expand) {
    std::vector<int64_t> sizes = t.sizes().vec();
    for (int64_t d : expand) sizes.insert(sizes.begin() + d, 1);
    return sizes;
  };
  auto e1 = expanded(i1, expand1);
  auto e2 = expanded(i2, expand2);
  auto e3 = expanded(i3, expand3);
  auto sizes = Broadcast({e1, e2, e3});
  std::vector<int64_t> out;
  for (const auto i : c10::irange(sizes.size())) {
    if (std::find(sumdim.begin(), sumdim.end(), static_cast<int64_t>(i)) == sumdim.end()) {
      out.push_back(sizes[i]);
    }
  }
  return {Shape(i1.scalar_type(), out)};
}

// Factorisations and solves: the right-hand side's matrices, with the batch dimensions of both
// operands broadcast.

namespace {
Shape SolveShape(const at::Tensor& a, const at::Tensor& b) {
  TORCH_CHECK(a.dim() >= 2 && b.dim() >= 2, "solve: the operands must hold matrices");
  std::vector<int64_t> sizes = Broadcast({a.sizes().slice(0, a.dim() - 2), b.sizes().slice(0, b.dim() - 2)});
  sizes.push_back(b.size(-2));
  sizes.push_back(b.size(-1));
  return Shape(b.scalar_type(), sizes);
}
}  // namespace

std::vector<torch::lazy::Shape> compute_shape_cholesky_inverse(const at::Tensor& self, bool upper) {
  return {SameAs(self)};
}

std::vector<torch::lazy::Shape> compute_shape_cholesky_solve(const at::Tensor& self,
                                                             const at::Tensor& input2, bool upper) {
  return {SolveShape(input2, self)};
}

std::vector<torch::lazy::Shape> compute_shape_linalg_solve_triangular(const at::Tensor& self,
                                                                      const at::Tensor& B, bool upper,
                                                                      bool left, bool unitriangular) {
  return {SolveShape(self, B)};
}

// Householder reflectors (QR's compact form).

std::vector<torch::lazy::Shape> compute_shape_linalg_householder_product(const at::Tensor& input,
                                                                         const at::Tensor& tau) {
  TORCH_CHECK(input.dim() >= 2 && input.size(-2) >= input.size(-1) && tau.dim() == input.dim() - 1 &&
                  tau.size(-1) <= input.size(-1),
              "householder_product: expected input [..., m, n] with m >= n and tau [..., k], k <= n");
  return {SameAs(input)};
}

std::vector<torch::lazy::Shape> compute_shape_ormqr(const at::Tensor& self, const at::Tensor& input2,
                                                    const at::Tensor& input3, bool left, bool transpose) {
  TORCH_CHECK(self.dim() >= 2 && input3.dim() == self.dim() && input2.dim() == self.dim() - 1,
              "ormqr: expected input [..., m, k], tau [..., k] and other [..., m, n] of one rank");
  return {SameAs(input3)};
}

std::vector<torch::lazy::Shape> compute_shape_geqrf(const at::Tensor& self) {
  TORCH_CHECK(self.dim() >= 2, "geqrf: the input must hold matrices");
  std::vector<int64_t> tau(self.sizes().begin(), self.sizes().end() - 1);
  tau.back() = std::min(self.size(-2), self.size(-1));
  return {SameAs(self), Shape(self.scalar_type(), tau)};
}

// Shape and padding.

std::vector<torch::lazy::Shape> compute_shape_diag_embed(const at::Tensor& self, int64_t offset,
                                                         int64_t dim1, int64_t dim2) {
  const int64_t rank = self.dim() + 1;
  dim1 = at::maybe_wrap_dim(dim1, rank);
  dim2 = at::maybe_wrap_dim(dim2, rank);
  TORCH_CHECK(dim1 != dim2, "diag_embed: diagonal dimensions cannot be identical ", dim1, ", ",
              dim2);
  const int64_t n = self.size(-1) + std::abs(offset);
  std::vector<int64_t> rest(self.sizes().begin(), self.sizes().end() - 1);
  std::vector<int64_t> out;
  auto it = rest.begin();
  for (const auto i : c10::irange(rank)) {
    out.push_back(i == dim1 || i == dim2 ? n : *it++);
  }
  return {Shape(self.scalar_type(), out)};
}

std::vector<torch::lazy::Shape> compute_shape_reflection_pad2d(const at::Tensor& self,
                                                               at::IntArrayRef padding) {
  TORCH_CHECK(padding.size() == 4, "reflection_pad2d: padding must have 4 elements");
  auto sizes = self.sizes().vec();
  const auto rank = sizes.size();
  sizes[rank - 1] += padding[0] + padding[1];
  sizes[rank - 2] += padding[2] + padding[3];
  return {Shape(self.scalar_type(), sizes)};
}

SAME_AS_SELF(reflection_pad2d_backward, const at::Tensor& grad_output, const at::Tensor& self,
             at::IntArrayRef padding)
SAME_AS_SELF(replication_pad2d_backward, const at::Tensor& grad_output, const at::Tensor& self,
             at::IntArrayRef padding)
SAME_AS_SELF(roll, const at::Tensor& self, at::IntArrayRef shifts, at::IntArrayRef dims)

// Indexing and random numbers.

SAME_AS_SELF(index_fill, const at::Tensor& self, int64_t dim, const at::Tensor& index,
             const at::Scalar& value)
SAME_AS_SELF(index_fill, const at::Tensor& self, int64_t dim, const at::Tensor& index,
             const at::Tensor& value)

// Replaces libtorch's, which refuses a 0-d input: that stays 0-d, its index holding one element.
std::vector<torch::lazy::Shape> compute_shape_index_select(const at::Tensor& self, int64_t dim,
                                                           const at::Tensor& index) {
  TORCH_CHECK(index.dim() <= 1, "index_select(): Index is supposed to be a vector");
  TORCH_CHECK(self.dim() > 0 || index.numel() == 1,
              "index_select(): Index to scalar can have only 1 value, got ", index.numel(),
              " value(s)");
  std::vector<int64_t> sizes = self.sizes().vec();
  if (!sizes.empty()) sizes[at::maybe_wrap_dim(dim, self.dim())] = index.numel();
  return {Shape(self.scalar_type(), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape_masked_scatter(const at::Tensor& self,
                                                             const at::Tensor& mask,
                                                             const at::Tensor& source) {
  return {Shape(self.scalar_type(), Broadcast({self.sizes(), mask.sizes()}))};
}

SAME_AS_SELF(bernoulli, const at::Tensor& self, const at::Tensor& p,
             ::std::optional<at::Generator> generator)
SAME_AS_SELF(exponential, const at::Tensor& self, double lambd,
             ::std::optional<at::Generator> generator)

// Normalisation.

namespace {

// The type of the statistics: the input's, or the float the host computes in when the input is
// of reduced precision and a parameter (weight, bias, running statistics) is of another type.
c10::ScalarType StatType(const at::Tensor& input,
                         std::initializer_list<const std::optional<at::Tensor>*> parameters) {
  for (const std::optional<at::Tensor>* p : parameters) {
    if (*p && (*p)->defined() && (*p)->scalar_type() != input.scalar_type()) {
      return at::toOpMathType(input.scalar_type());
    }
  }
  return input.scalar_type();
}

// Saved mean and inverse deviation per channel in training; none (size 0) otherwise.
std::vector<Shape> BatchNormShapes(const at::Tensor& input, bool training, c10::ScalarType stat) {
  TORCH_CHECK(input.dim() >= 2, "batch_norm: expected an input with at least 2 dimensions");
  const int64_t stats = training ? input.size(1) : 0;
  return {SameAs(input), Shape(stat, {stats}), Shape(stat, {stats})};
}

}  // namespace

std::vector<torch::lazy::Shape> compute_shape__native_batch_norm_legit(
    const at::Tensor& input, const ::std::optional<at::Tensor>& weight,
    const ::std::optional<at::Tensor>& bias, bool training, double momentum, double eps) {
  return BatchNormShapes(input, training, StatType(input, {&weight, &bias}));
}

// Replaces libtorch's, which gives per-channel statistics outside training too.
std::vector<torch::lazy::Shape> compute_shape_native_batch_norm(
    const at::Tensor& input, const ::std::optional<at::Tensor>& weight,
    const ::std::optional<at::Tensor>& bias, const ::std::optional<at::Tensor>& running_mean,
    const ::std::optional<at::Tensor>& running_var, bool training, double momentum, double eps) {
  return BatchNormShapes(input, training,
                         StatType(input, {&weight, &bias, &running_mean, &running_var}));
}

std::vector<torch::lazy::Shape> compute_shape_native_group_norm(
    const at::Tensor& input, const ::std::optional<at::Tensor>& weight,
    const ::std::optional<at::Tensor>& bias, int64_t N, int64_t C, int64_t HxW, int64_t group,
    double eps) {
  const c10::ScalarType stat = StatType(input, {&weight, &bias});
  return {SameAs(input), Shape(stat, {N, group}), Shape(stat, {N, group})};
}

// Replaces libtorch's: the gradient of integers or booleans is a float of the default type, as
// the host's product with the scale is.
std::vector<torch::lazy::Shape> compute_shape_native_dropout_backward(const at::Tensor& grad_output,
                                                                      const at::Tensor& mask,
                                                                      double scale) {
  return {SameSizes(grad_output, ToFloating(grad_output.scalar_type()))};
}

std::vector<torch::lazy::Shape> compute_shape_native_group_norm_backward(
    const at::Tensor& grad_out, const at::Tensor& input, const at::Tensor& mean,
    const at::Tensor& rstd, const ::std::optional<at::Tensor>& weight, int64_t N, int64_t C,
    int64_t HxW, int64_t group, ::std::array<bool, 3> output_mask) {
  auto param_type = weight && weight->defined() ? weight->scalar_type() : input.scalar_type();
  return {SameAs(input), Shape(param_type, {C}), Shape(param_type, {C})};
}

// Pooling and patches.

std::vector<torch::lazy::Shape> compute_shape_im2col(const at::Tensor& self,
                                                     at::IntArrayRef kernel_size,
                                                     at::IntArrayRef dilation,
                                                     at::IntArrayRef padding,
                                                     at::IntArrayRef stride) {
  TORCH_CHECK(self.dim() == 3 || self.dim() == 4, "im2col: expected a 3-D or 4-D input");
  const bool batched = self.dim() == 4;
  const int64_t c = self.size(-3);
  int64_t blocks = 1;
  for (const auto i : c10::irange(2)) {
    blocks *= PooledSize(self.size(-2 + i), At(kernel_size, i, 0), At(padding, i, 0),
                         At(stride, i, 0), At(dilation, i, 0), /*ceil_mode=*/false);
  }
  std::vector<int64_t> out{c * At(kernel_size, 0, 0) * At(kernel_size, 1, 0), blocks};
  if (batched) out.insert(out.begin(), self.size(0));
  return {Shape(self.scalar_type(), out)};
}

std::vector<torch::lazy::Shape> compute_shape_col2im(const at::Tensor& self,
                                                     at::IntArrayRef output_size,
                                                     at::IntArrayRef kernel_size,
                                                     at::IntArrayRef dilation,
                                                     at::IntArrayRef padding,
                                                     at::IntArrayRef stride) {
  TORCH_CHECK(self.dim() == 2 || self.dim() == 3, "col2im: expected a 2-D or 3-D input");
  const bool batched = self.dim() == 3;
  TORCH_CHECK(kernel_size.size() == 2 && output_size.size() == 2 && kernel_size[0] > 0 &&
                  kernel_size[1] > 0,
              "col2im: expected two positive kernel sizes and two output sizes");
  const int64_t c = self.size(-2) / (kernel_size[0] * kernel_size[1]);
  std::vector<int64_t> out{c, output_size[0], output_size[1]};
  if (batched) out.insert(out.begin(), self.size(0));
  return {Shape(self.scalar_type(), out)};
}

std::vector<torch::lazy::Shape> compute_shape_max_pool3d_with_indices(
    const at::Tensor& self, at::IntArrayRef kernel_size, at::IntArrayRef stride,
    at::IntArrayRef padding, at::IntArrayRef dilation, bool ceil_mode) {
  TORCH_CHECK(self.dim() == 4 || self.dim() == 5, "max_pool3d: expected a 4-D or 5-D input");
  auto sizes = self.sizes().vec();
  const size_t first = sizes.size() - 3;
  for (const auto i : c10::irange(3)) {
    const int64_t k = At(kernel_size, i, 1);
    TORCH_CHECK(At(padding, i, 0) >= 0 && At(padding, i, 0) <= k / 2,
                "max_pool3d: pad should be at least zero and at most half of the kernel size");
    sizes[first + i] = PooledSize(sizes[first + i], k, At(padding, i, 0), At(stride, i, k),
                                  At(dilation, i, 1), ceil_mode);
  }
  return {Shape(self.scalar_type(), sizes), Shape(at::kLong, sizes)};
}

SAME_AS_SELF(max_pool3d_with_indices_backward, const at::Tensor& grad_output,
             const at::Tensor& self, at::IntArrayRef kernel_size, at::IntArrayRef stride,
             at::IntArrayRef padding, at::IntArrayRef dilation, bool ceil_mode,
             const at::Tensor& indices)

// Losses.

std::vector<torch::lazy::Shape> compute_shape_binary_cross_entropy_with_logits(
    const at::Tensor& self, const at::Tensor& target, const ::std::optional<at::Tensor>& weight,
    const ::std::optional<at::Tensor>& pos_weight, int64_t reduction) {
  return {LossShape(self, reduction)};
}

std::vector<torch::lazy::Shape> compute_shape_huber_loss(const at::Tensor& self,
                                                         const at::Tensor& target,
                                                         int64_t reduction, double delta) {
  return {LossShape(self, reduction)};
}

SAME_AS_SELF(huber_loss_backward, const at::Tensor& grad_output, const at::Tensor& self,
             const at::Tensor& target, int64_t reduction, double delta)
SAME_AS_SELF(mse_loss_backward, const at::Tensor& grad_output, const at::Tensor& self,
             const at::Tensor& target, int64_t reduction)

std::vector<torch::lazy::Shape> compute_shape_soft_margin_loss(const at::Tensor& self,
                                                               const at::Tensor& target,
                                                               int64_t reduction) {
  return {LossShape(self, reduction)};
}

SAME_AS_SELF(soft_margin_loss_backward, const at::Tensor& grad_output, const at::Tensor& self,
             const at::Tensor& target, int64_t reduction)

// Scans and order statistics.

std::vector<torch::lazy::Shape> compute_shape_cummax(const at::Tensor& self, int64_t dim) {
  return {SameAs(self), SameSizes(self, at::kLong)};
}

std::vector<torch::lazy::Shape> compute_shape_cummin(const at::Tensor& self, int64_t dim) {
  return {SameAs(self), SameSizes(self, at::kLong)};
}

SAME_AS_SELF(logcumsumexp, const at::Tensor& self, int64_t dim)

namespace {

std::vector<Shape> ValuesAndIndices(const at::Tensor& self, int64_t dim, bool keepdim) {
  // A 0-d input reduces over its only element.
  auto sizes = self.dim() == 0 ? std::vector<int64_t>{}
                               : Reduced(self, std::vector<int64_t>{dim}, keepdim);
  return {Shape(self.scalar_type(), sizes), Shape(at::kLong, sizes)};
}

}  // namespace

std::vector<torch::lazy::Shape> compute_shape_kthvalue(const at::Tensor& self, int64_t k,
                                                       int64_t dim, bool keepdim) {
  return ValuesAndIndices(self, dim, keepdim);
}

std::vector<torch::lazy::Shape> compute_shape_median(const at::Tensor& self) {
  return {Shape(self.scalar_type(), {})};
}

std::vector<torch::lazy::Shape> compute_shape_median(const at::Tensor& self, int64_t dim,
                                                     bool keepdim) {
  return ValuesAndIndices(self, dim, keepdim);
}

std::vector<torch::lazy::Shape> compute_shape_mode(const at::Tensor& self, int64_t dim,
                                                   bool keepdim) {
  return ValuesAndIndices(self, dim, keepdim);
}

std::vector<torch::lazy::Shape> compute_shape_addr(const at::Tensor& self, const at::Tensor& vec1,
                                                   const at::Tensor& vec2,
                                                   const at::Scalar& beta,
                                                   const at::Scalar& alpha) {
  TORCH_CHECK(vec1.dim() == 1 && vec2.dim() == 1, "addr: expected 1-D vectors");
  return {Shape(at::result_type(self, vec1),
                Broadcast({self.sizes(), std::vector<int64_t>{vec1.size(0), vec2.size(0)}}))};
}

std::vector<torch::lazy::Shape> compute_shape_vdot(const at::Tensor& self,
                                                   const at::Tensor& other) {
  return {Shape(self.scalar_type(), {})};
}

std::vector<torch::lazy::Shape> compute_shape_unfold_backward(const at::Tensor& grad_in,
                                                              at::IntArrayRef input_sizes,
                                                              int64_t dim, int64_t size,
                                                              int64_t step) {
  return {Shape(grad_in.scalar_type(), input_sizes.vec())};
}

SAME_AS_SELF(put, const at::Tensor& self, const at::Tensor& index, const at::Tensor& source,
             bool accumulate)

// Reductions, normalisation, shapes and indexing.

std::vector<torch::lazy::Shape> compute_shape_nansum(const at::Tensor& self,
                                                     at::OptionalIntArrayRef dim, bool keepdim,
                                                     ::std::optional<at::ScalarType> dtype) {
  auto type = dtype ? *dtype
                    : (at::isIntegralType(self.scalar_type(), /*includeBool=*/true)
                           ? at::kLong
                           : self.scalar_type());
  return {Shape(type, Reduced(self, dim, keepdim))};
}

std::vector<torch::lazy::Shape> compute_shape_nanmedian(const at::Tensor& self) {
  return compute_shape_median(self);
}

std::vector<torch::lazy::Shape> compute_shape_nanmedian(const at::Tensor& self, int64_t dim,
                                                        bool keepdim) {
  return ValuesAndIndices(self, dim, keepdim);
}

SAME_AS_SELF(cauchy, const at::Tensor& self, double median, double sigma,
             ::std::optional<at::Generator> generator)
SAME_AS_SELF(geometric, const at::Tensor& self, double p, ::std::optional<at::Generator> generator)
SAME_AS_SELF(log_normal, const at::Tensor& self, double mean, double std,
             ::std::optional<at::Generator> generator)

std::vector<torch::lazy::Shape> compute_shape_normal(const at::Tensor& mean, const at::Tensor& std,
                                                     ::std::optional<at::Generator> generator) {
  return {Shape(mean.scalar_type(), Broadcast({mean.sizes(), std.sizes()}))};
}

std::vector<torch::lazy::Shape> compute_shape_normal(const at::Tensor& mean, double std,
                                                     ::std::optional<at::Generator> generator) {
  return {SameAs(mean)};
}

std::vector<torch::lazy::Shape> compute_shape_normal(double mean, const at::Tensor& std,
                                                     ::std::optional<at::Generator> generator) {
  return {SameAs(std)};
}

std::vector<torch::lazy::Shape> compute_shape_isin(const at::Tensor& elements,
                                                   const at::Tensor& test_elements,
                                                   bool assume_unique, bool invert) {
  return {SameSizes(elements, at::kBool)};
}

std::vector<torch::lazy::Shape> compute_shape_isin(const at::Tensor& elements,
                                                   const at::Scalar& test_element,
                                                   bool assume_unique, bool invert) {
  return {SameSizes(elements, at::kBool)};
}

std::vector<torch::lazy::Shape> compute_shape_bucketize(const at::Tensor& self,
                                                        const at::Tensor& boundaries,
                                                        bool out_int32, bool right) {
  TORCH_CHECK(boundaries.dim() == 1, "boundaries tensor must be 1 dimension, but got dim(",
              boundaries.dim(), ")");
  return {SameSizes(self, out_int32 ? at::kInt : at::kLong)};
}

std::vector<torch::lazy::Shape> compute_shape_searchsorted(
    const at::Tensor& sorted_sequence, const at::Tensor& self, bool out_int32, bool right,
    ::std::optional<c10::string_view> side, const ::std::optional<at::Tensor>& sorter) {
  TORCH_CHECK(sorted_sequence.dim() == 1 ||
                  (sorted_sequence.dim() == self.dim() &&
                   sorted_sequence.sizes().slice(0, self.dim() - 1) ==
                       self.sizes().slice(0, self.dim() - 1)),
              "torch.searchsorted(): boundaries tensor should be 1 dimension or the first N-1 "
              "dimensions of boundaries tensor and input value tensor must match");
  return {SameSizes(self, out_int32 ? at::kInt : at::kLong)};
}

std::vector<torch::lazy::Shape> compute_shape_multinomial(const at::Tensor& self,
                                                          int64_t num_samples, bool replacement,
                                                          ::std::optional<at::Generator> generator) {
  TORCH_CHECK(self.dim() == 1 || self.dim() == 2, "prob_dist must be 1 or 2 dim");
  TORCH_CHECK(num_samples > 0, "cannot sample n_sample <= 0 samples");
  TORCH_CHECK(replacement || num_samples <= self.size(-1),
              "cannot sample n_sample > prob_dist.size(-1) samples without replacement");
  auto sizes = self.sizes().vec();
  sizes.back() = num_samples;
  return {Shape(at::kLong, sizes)};
}

// Complex numbers and the FFT family: eager's checks, so that a bad call raises while capturing.
namespace {
std::vector<int64_t> FftDims(const at::Tensor& self, at::IntArrayRef dim) {
  std::vector<int64_t> dims;
  for (int64_t d : dim) dims.push_back(at::maybe_wrap_dim(d, self.dim()));
  return dims;
}
}  // namespace

std::vector<torch::lazy::Shape> compute_shape__fft_c2c(const at::Tensor& self, at::IntArrayRef dim,
                                                       int64_t normalization, bool forward) {
  TORCH_CHECK(self.is_complex(), "_fft_c2c expects a complex input tensor, but got ",
              self.scalar_type());
  FftDims(self, dim);
  return {SameAs(self)};
}

std::vector<torch::lazy::Shape> compute_shape__fft_r2c(const at::Tensor& self, at::IntArrayRef dim,
                                                       int64_t normalization, bool onesided) {
  TORCH_CHECK(self.is_floating_point(), "_fft_r2c expects a floating point input tensor, but got ",
              self.scalar_type());
  std::vector<int64_t> dims = FftDims(self, dim), sizes = self.sizes().vec();
  TORCH_CHECK(!dims.empty(), "_fft_r2c must transform at least one axis");
  if (onesided) sizes[dims.back()] = sizes[dims.back()] / 2 + 1;
  return {Shape(c10::toComplexType(self.scalar_type()), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape__fft_c2r(const at::Tensor& self, at::IntArrayRef dim,
                                                       int64_t normalization,
                                                       int64_t last_dim_size) {
  TORCH_CHECK(self.is_complex(), "_fft_c2r expects a complex input tensor, but got ",
              self.scalar_type());
  std::vector<int64_t> dims = FftDims(self, dim), sizes = self.sizes().vec();
  TORCH_CHECK(!dims.empty(), "_fft_c2r must transform at least one axis");
  TORCH_CHECK(last_dim_size >= 1, "Invalid number of data points (", last_dim_size, ") specified");
  sizes[dims.back()] = last_dim_size;
  return {Shape(c10::toRealValueType(self.scalar_type()), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape__conj_copy(const at::Tensor& self) {
  return {SameAs(self)};
}

std::vector<torch::lazy::Shape> compute_shape__conj_physical(const at::Tensor& self) {
  return {SameAs(self)};
}

std::vector<torch::lazy::Shape> compute_shape_complex(const at::Tensor& real,
                                                      const at::Tensor& imag) {
  TORCH_CHECK(real.scalar_type() == imag.scalar_type(),
              "Expected object of scalar type ", real.scalar_type(),
              " but got scalar type ", imag.scalar_type(), " for second argument");
  TORCH_CHECK(real.scalar_type() == at::kFloat || real.scalar_type() == at::kDouble ||
                  real.scalar_type() == at::kHalf,
              "Expected both inputs to be Half, Float or Double tensors but got ",
              real.scalar_type(), " and ", imag.scalar_type());
  return {Shape(c10::toComplexType(real.scalar_type()), Broadcast({real.sizes(), imag.sizes()}))};
}

std::vector<torch::lazy::Shape> compute_shape_polar(const at::Tensor& abs,
                                                    const at::Tensor& angle) {
  return compute_shape_complex(abs, angle);
}

std::vector<torch::lazy::Shape> compute_shape_view_as_complex_copy(const at::Tensor& self) {
  TORCH_CHECK(self.scalar_type() == at::kFloat || self.scalar_type() == at::kDouble ||
                  self.scalar_type() == at::kHalf,
              "view_as_complex is only supported for float, double and half tensors, but got a "
              "tensor of scalar type: ", self.scalar_type());
  TORCH_CHECK(self.dim() != 0, "Input tensor must have one or more dimensions");
  TORCH_CHECK(self.size(-1) == 2, "Tensor must have a last dimension of size 2");
  std::vector<int64_t> sizes = self.sizes().vec();
  sizes.pop_back();
  return {Shape(c10::toComplexType(self.scalar_type()), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape_view_as_real_copy(const at::Tensor& self) {
  TORCH_CHECK(self.is_complex(), "view_as_real is only supported for complex tensors");
  std::vector<int64_t> sizes = self.sizes().vec();
  sizes.push_back(2);
  return {Shape(c10::toRealValueType(self.scalar_type()), sizes)};
}

// Pooling and sampling in three dimensions.

std::vector<torch::lazy::Shape> compute_shape_max_unpool3d(const at::Tensor& self,
                                                           const at::Tensor& indices,
                                                           at::IntArrayRef output_size,
                                                           at::IntArrayRef stride,
                                                           at::IntArrayRef padding) {
  TORCH_CHECK(indices.scalar_type() == at::kLong, "elements in indices should be type int64 but got: ",
              indices.scalar_type());
  TORCH_CHECK(self.dim() == 4 || self.dim() == 5, "Input to max_unpooling3d should be a 4d or 5d "
              "Tensor, but got a tensor with ", self.dim(), " dimensions.");
  TORCH_CHECK(output_size.size() == 3 && stride.size() == 3 && padding.size() == 3,
              "max_unpool3d: output_size, stride and padding must have three elements each");
  TORCH_CHECK(self.sizes() == indices.sizes(), "Expected shape of indices to be same as that of "
              "the input tensor (", self.sizes(), ") but got indices tensor with shape: ",
              indices.sizes());
  for (const auto i : c10::irange(1, self.dim())) {
    TORCH_CHECK(self.size(i) > 0, "max_unpooling3d_forward_out_cpu(): Expected input to have "
                "non-zero size for non-batch dimensions, but got ", self.sizes());
  }
  TORCH_CHECK(stride[0] > 0 && stride[1] > 0 && stride[2] > 0,
              "strides should be greater than zero, but got stride: ", stride);
  std::vector<int64_t> sizes(self.sizes().begin(), self.sizes().end() - 3);
  sizes.insert(sizes.end(), output_size.begin(), output_size.end());
  return {Shape(self.scalar_type(), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape_grid_sampler_3d(const at::Tensor& input,
                                                              const at::Tensor& grid,
                                                              int64_t interpolation_mode,
                                                              int64_t padding_mode,
                                                              bool align_corners) {
  TORCH_CHECK(input.scalar_type() == grid.scalar_type(), "grid_sampler(): expected input and grid "
              "to have same dtype, but input has ", input.scalar_type(), " and grid has ",
              grid.scalar_type());
  TORCH_CHECK(input.dim() == 5 && grid.dim() == 5, "grid_sampler(): expected 5D input and grid "
              "with same number of dimensions, but got input with sizes ", input.sizes(),
              " and grid with sizes ", grid.sizes());
  TORCH_CHECK(input.size(0) == grid.size(0) && grid.size(-1) == 3, "grid_sampler(): expected grid "
              "to have size ", input.size(0), " in first dimension and 3 in last dimension, but "
              "got grid with sizes ", grid.sizes());
  for (const auto i : c10::irange(2, input.dim())) {
    TORCH_CHECK(input.size(i) > 0, "grid_sampler(): expected input to have non-empty spatial "
                "dimensions, but input has sizes ", input.sizes());
  }
  TORCH_CHECK(interpolation_mode != 2, "grid_sampler(): bicubic interpolation only supports 4D "
              "input");
  return {Shape(input.scalar_type(), {input.size(0), input.size(1), grid.size(1), grid.size(2),
                                      grid.size(3)})};
}

std::vector<torch::lazy::Shape> compute_shape_grid_sampler_3d_backward(
    const at::Tensor& grad_output, const at::Tensor& input, const at::Tensor& grid,
    int64_t interpolation_mode, int64_t padding_mode, bool align_corners,
    ::std::array<bool, 2> output_mask) {
  return {SameAs(input), SameAs(grid)};
}

std::vector<torch::lazy::Shape> compute_shape_fractional_max_pool3d_backward(
    const at::Tensor& grad_output, const at::Tensor& self, at::IntArrayRef kernel_size,
    at::IntArrayRef output_size, const at::Tensor& indices) {
  TORCH_CHECK(self.dim() == 4 || self.dim() == 5, "fractional_max_pool3d_backward: expected a 4-D "
              "or 5-D input, but got ", self.dim(), "-D");
  TORCH_CHECK(kernel_size.size() == 3 && output_size.size() == 3, "fractional_max_pool3d_backward: "
              "kernel_size and output_size must have three elements each");
  std::vector<int64_t> expected(self.sizes().begin(), self.sizes().end() - 3);
  expected.insert(expected.end(), output_size.begin(), output_size.end());
  TORCH_CHECK(grad_output.sizes() == at::IntArrayRef(expected) && indices.sizes() == grad_output.sizes(),
              "fractional_max_pool3d_backward: expected the gradient and indices of shape ",
              at::IntArrayRef(expected), ", but got ", grad_output.sizes(), " and ", indices.sizes());
  return {SameAs(self)};
}

// Least squares, general eigendecompositions, segment reductions, histograms.

std::vector<torch::lazy::Shape> compute_shape_linalg_lstsq(const at::Tensor& self, const at::Tensor& b,
                                                           ::std::optional<double> rcond,
                                                           ::std::optional<c10::string_view> driver) {
  TORCH_CHECK(self.dim() >= 2, "torch.linalg.lstsq: input must have at least 2 dimensions.");
  TORCH_CHECK(self.scalar_type() == b.scalar_type(), "torch.linalg.lstsq: Expected input and other to have the same dtype");
  const std::string name = driver ? std::string(*driver) : "gelsy";
  TORCH_CHECK(name == "gels" || name == "gelsy" || name == "gelsd" || name == "gelss",
              "torch.linalg.lstsq: parameter `driver` should be one of (gels, gelsy, gelsd, gelss)");
  const int64_t m = self.size(-2), n = self.size(-1);
  // A vector right-hand side: b is [m] or the batch of self's vectors [..., m].
  std::vector<int64_t> rows(self.sizes().begin(), self.sizes().end() - 1);
  const bool vector = b.dim() == 1 || (b.dim() == self.dim() - 1 && b.sizes().vec() == rows);
  TORCH_CHECK(b.dim() >= 1 && b.size(vector ? -1 : -2) == m,
              "torch.linalg.lstsq: input.size(-2) should match other.size(-", vector ? 1 : 2, ")");
  const int64_t k = vector ? 1 : b.size(-1);
  std::vector<int64_t> batch = Broadcast({self.sizes().slice(0, self.dim() - 2),
                                          b.sizes().slice(0, b.dim() - (vector ? 1 : 2))});
  std::vector<int64_t> solution = batch, residuals = {0}, rank = {0}, values = {0};
  solution.push_back(n);
  if (!vector) solution.push_back(k);
  // Residuals exist for tall matrices with every driver but gelsy (gelsd and gelss give them for
  // full-rank matrices only, which the conversion refuses to decide from the data).
  if (m > n && name != "gelsy") {
    residuals = batch;
    residuals.push_back(k);
  }
  if (name != "gels") rank = batch;
  if (name == "gelsd" || name == "gelss") {
    values = batch;
    values.push_back(std::min(m, n));
  }
  const c10::ScalarType real = c10::toRealValueType(self.scalar_type());
  return {Shape(self.scalar_type(), solution), Shape(real, residuals), Shape(at::kLong, rank),
          Shape(real, values)};
}

// Eigenvalues and eigenvectors of general square matrices: complex.
std::vector<torch::lazy::Shape> compute_shape__linalg_eigvals(const at::Tensor& self) {
  TORCH_CHECK(self.dim() >= 2 && self.size(-1) == self.size(-2),
              "linalg.eig: A must be batches of square matrices, but they are ", self.size(-2), " by ",
              self.size(-1), " matrices");
  std::vector<int64_t> values(self.sizes().begin(), self.sizes().end() - 1);
  return {Shape(c10::toComplexType(self.scalar_type()), values)};
}

std::vector<torch::lazy::Shape> compute_shape_linalg_eig(const at::Tensor& self) {
  Shape values = compute_shape__linalg_eigvals(self)[0];
  return {values, Shape(values.scalar_type(), self.sizes().vec())};
}

// Segment reductions: one row per segment along `axis`, their number a dimension of the lengths
// (or one less than the offsets').
std::vector<torch::lazy::Shape> compute_shape_segment_reduce(
    const at::Tensor& data, c10::string_view reduce, const ::std::optional<at::Tensor>& lengths,
    const ::std::optional<at::Tensor>& indices, const ::std::optional<at::Tensor>& offsets, int64_t axis,
    bool unsafe, const ::std::optional<at::Scalar>& initial) {
  TORCH_CHECK(data.dim() > 0, "segment_reduce: data must have at least one dimension");
  axis = at::maybe_wrap_dim(axis, data.dim());
  const bool byLengths = lengths.has_value() && lengths->defined();
  const bool byOffsets = offsets.has_value() && offsets->defined();
  TORCH_CHECK(byLengths || byOffsets, "segment_reduce(): Either lengths or offsets must be defined");
  const at::Tensor& given = byLengths ? *lengths : *offsets;
  TORCH_CHECK(given.dim() == axis + 1, "segment_reduce(): Expected ", byLengths ? "lengths" : "offsets",
              " to have ", axis + 1, " dimensions, the data's before axis and the segments'");
  const int64_t segments = byLengths ? given.size(-1) : given.size(-1) - 1;
  TORCH_CHECK(segments >= 0, "segment_reduce(): offsets must hold at least one element per row");
  std::vector<int64_t> sizes = data.sizes().vec();
  sizes[axis] = segments;
  return {Shape(data.scalar_type(), sizes)};
}

std::vector<torch::lazy::Shape> compute_shape__segment_reduce_backward(
    const at::Tensor& grad, const at::Tensor& output, const at::Tensor& data, c10::string_view reduce,
    const ::std::optional<at::Tensor>& lengths, const ::std::optional<at::Tensor>& offsets, int64_t axis,
    const ::std::optional<at::Scalar>& initial) {
  return {SameAs(data)};
}

// Histograms: as many bins as asked for (edges: one more).
std::vector<torch::lazy::Shape> compute_shape_histc(const at::Tensor& self, int64_t bins, const at::Scalar& min,
                                                    const at::Scalar& max) {
  TORCH_CHECK(bins > 0, "torch.histc(): bins must be > 0, but got ", bins, " for dimension 0");
  TORCH_CHECK(at::isFloatingType(self.scalar_type()), "torch.histc: input tensor must be floating point");
  return {Shape(self.scalar_type(), {bins})};
}

namespace {
std::vector<torch::lazy::Shape> HistogramShapes(const at::Tensor& self, int64_t edges,
                                                const ::std::optional<at::Tensor>& weight) {
  TORCH_CHECK(at::isFloatingType(self.scalar_type()), "torch.histogram: input tensor must be floating point");
  TORCH_CHECK(edges > 1, "torch.histogram(): bins must be > 0");
  TORCH_CHECK(!weight || !weight->defined() || weight->sizes() == self.sizes(),
              "torch.histogram: if weight tensor is provided, it should have the same shape as the input tensor");
  return {Shape(self.scalar_type(), {edges - 1}), Shape(self.scalar_type(), {edges})};
}
}  // namespace

std::vector<torch::lazy::Shape> compute_shape_histogram(const at::Tensor& self, const at::Tensor& bins,
                                                        const ::std::optional<at::Tensor>& weight, bool density) {
  TORCH_CHECK(bins.dim() == 1, "torch.histogram(): bins tensor should have one dimension, but got ", bins.dim(),
              " dimensions in the bins tensor");
  return HistogramShapes(self, bins.numel(), weight);
}

std::vector<torch::lazy::Shape> compute_shape_histogram(const at::Tensor& self, int64_t bins,
                                                        ::std::optional<at::ArrayRef<double>> range,
                                                        const ::std::optional<at::Tensor>& weight, bool density) {
  TORCH_CHECK(!range || range->size() == 2, "torch.histogram(): range should have 2 elements");
  return HistogramShapes(self, bins + 1, weight);
}

// The indices of a static number of non-zero elements.
std::vector<torch::lazy::Shape> compute_shape_nonzero_static(const at::Tensor& self, int64_t size,
                                                             int64_t fill_value) {
  TORCH_CHECK(size >= 0, "nonzero_static: 'size' must be an non-negative integer");
  return {Shape(at::kLong, {size, self.dim()})};
}

// The indices of repeat_interleave: as many as output_size says (without it, the repeats' values
// decide how many).
std::vector<torch::lazy::Shape> compute_shape_repeat_interleave(const at::Tensor& repeats,
                                                                ::std::optional<int64_t> output_size) {
  TORCH_CHECK(repeats.dim() <= 1, "repeat_interleave only accept 1D vector as repeat");
  TORCH_CHECK(repeats.scalar_type() == at::kLong || repeats.scalar_type() == at::kInt,
              "repeats has to be Long or Int tensor");
  TORCH_CHECK(output_size.has_value(),
              "repeat_interleave on the lazy device needs output_size: the length of its result depends on the "
              "values of repeats, which a traced graph cannot represent");
  return {Shape(repeats.scalar_type(), {*output_size})};
}

#undef SAME_AS_SELF
#undef WITH_SCALAR

}  // namespace lazy
}  // namespace torch
