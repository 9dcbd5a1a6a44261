// Shape functions of the lazy kernels that libtorch does not define. Each declaration is kept on
// one line, as the kernel generator checks for it.
#pragma once

#include <optional>
#include <vector>

#include <ATen/Tensor.h>
#include <c10/core/ScalarType.h>
#include <torch/csrc/lazy/core/shape.h>

#include "torch_mlir_ltc/device_lookup.h"

namespace torch {
namespace lazy {

TORCH_API std::vector<torch::lazy::Shape> compute_shape_fill(const at::Tensor & self, const at::Scalar & value);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_isinf(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_logit(const at::Tensor & self, ::std::optional<double> eps);
// Special functions: the sizes of self, integers computed in the default floating type.
TORCH_API std::vector<torch::lazy::Shape> compute_shape_angle(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_frexp(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_mvlgamma(const at::Tensor & self, int64_t p);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_nan_to_num(const at::Tensor & self, ::std::optional<double> nan, ::std::optional<double> posinf, ::std::optional<double> neginf);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_add(const at::Tensor & self, const at::Scalar & other, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_bitwise_and(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_bitwise_or(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_bitwise_xor(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_div(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_div(const at::Tensor & self, const at::Scalar & other, ::std::optional<c10::string_view> rounding_mode);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_floor_divide(const at::Tensor & self, const at::Tensor & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_floor_divide(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_fmod(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_mul(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_remainder(const at::Tensor & self, const at::Scalar & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_rsub(const at::Tensor & self, const at::Scalar & other, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_rsub(const at::Tensor & self, const at::Tensor & other, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_sub(const at::Tensor & self, const at::Scalar & other, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_where(const at::Tensor & condition, const at::Tensor & self, const at::Tensor & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_celu(const at::Tensor & self, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_hardtanh(const at::Tensor & self, const at::Scalar & min_val, const at::Scalar & max_val);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_hardtanh_backward(const at::Tensor & grad_output, const at::Tensor & self, const at::Scalar & min_val, const at::Scalar & max_val);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_mish_backward(const at::Tensor & grad_output, const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__prelu_kernel(const at::Tensor & self, const at::Tensor & weight);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__prelu_kernel_backward(const at::Tensor & grad_output, const at::Tensor & self, const at::Tensor & weight);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_count_nonzero(const at::Tensor & self, at::IntArrayRef dim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_linalg_pinv(const at::Tensor & self, const ::std::optional<at::Tensor> & atol, const ::std::optional<at::Tensor> & rtol, bool hermitian);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_logsumexp(const at::Tensor & self, at::IntArrayRef dim, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_norm(const at::Tensor & self, const at::Scalar & p);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_prod(const at::Tensor & self, ::std::optional<at::ScalarType> dtype);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_std_mean(const at::Tensor & self, at::OptionalIntArrayRef dim, const ::std::optional<at::Scalar> & correction, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_var(const at::Tensor & self, at::OptionalIntArrayRef dim, const ::std::optional<at::Scalar> & correction, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_var_mean(const at::Tensor & self, at::OptionalIntArrayRef dim, const ::std::optional<at::Scalar> & correction, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_addbmm(const at::Tensor & self, const at::Tensor & batch1, const at::Tensor & batch2, const at::Scalar & beta, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_dot(const at::Tensor & self, const at::Tensor & tensor);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__trilinear(const at::Tensor & i1, const at::Tensor & i2, const at::Tensor & i3, at::IntArrayRef expand1, at::IntArrayRef expand2, at::IntArrayRef expand3, at::IntArrayRef sumdim, int64_t unroll_dim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_cholesky_inverse(const at::Tensor & self, bool upper);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_cholesky_solve(const at::Tensor & self, const at::Tensor & input2, bool upper);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_linalg_solve_triangular(const at::Tensor & self, const at::Tensor & B, bool upper, bool left, bool unitriangular);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_linalg_householder_product(const at::Tensor & input, const at::Tensor & tau);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_ormqr(const at::Tensor & self, const at::Tensor & input2, const at::Tensor & input3, bool left, bool transpose);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_geqrf(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_copy(const at::Tensor & self, const at::Tensor & src, bool non_blocking);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_diag_embed(const at::Tensor & self, int64_t offset, int64_t dim1, int64_t dim2);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_fill(const at::Tensor & self, const at::Tensor & value);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_reflection_pad2d(const at::Tensor & self, at::IntArrayRef padding);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_reflection_pad2d_backward(const at::Tensor & grad_output, const at::Tensor & self, at::IntArrayRef padding);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_replication_pad2d_backward(const at::Tensor & grad_output, const at::Tensor & self, at::IntArrayRef padding);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_roll(const at::Tensor & self, at::IntArrayRef shifts, at::IntArrayRef dims);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_index_fill(const at::Tensor & self, int64_t dim, const at::Tensor & index, const at::Scalar & value);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_index_fill(const at::Tensor & self, int64_t dim, const at::Tensor & index, const at::Tensor & value);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_index_select(const at::Tensor & self, int64_t dim, const at::Tensor & index);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_masked_scatter(const at::Tensor & self, const at::Tensor & mask, const at::Tensor & source);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_bernoulli(const at::Tensor & self, const at::Tensor & p, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_exponential(const at::Tensor & self, double lambd, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__native_batch_norm_legit(const at::Tensor & input, const ::std::optional<at::Tensor> & weight, const ::std::optional<at::Tensor> & bias, bool training, double momentum, double eps);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_native_batch_norm(const at::Tensor & input, const ::std::optional<at::Tensor> & weight, const ::std::optional<at::Tensor> & bias, const ::std::optional<at::Tensor> & running_mean, const ::std::optional<at::Tensor> & running_var, bool training, double momentum, double eps);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_native_dropout_backward(const at::Tensor & grad_output, const at::Tensor & mask, double scale);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_native_group_norm(const at::Tensor & input, const ::std::optional<at::Tensor> & weight, const ::std::optional<at::Tensor> & bias, int64_t N, int64_t C, int64_t HxW, int64_t group, double eps);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_native_group_norm_backward(const at::Tensor & grad_out, const at::Tensor & input, const at::Tensor & mean, const at::Tensor & rstd, const ::std::optional<at::Tensor> & weight, int64_t N, int64_t C, int64_t HxW, int64_t group, ::std::array<bool,3> output_mask);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_col2im(const at::Tensor & self, at::IntArrayRef output_size, at::IntArrayRef kernel_size, at::IntArrayRef dilation, at::IntArrayRef padding, at::IntArrayRef stride);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_im2col(const at::Tensor & self, at::IntArrayRef kernel_size, at::IntArrayRef dilation, at::IntArrayRef padding, at::IntArrayRef stride);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_max_pool3d_with_indices(const at::Tensor & self, at::IntArrayRef kernel_size, at::IntArrayRef stride, at::IntArrayRef padding, at::IntArrayRef dilation, bool ceil_mode);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_max_pool3d_with_indices_backward(const at::Tensor & grad_output, const at::Tensor & self, at::IntArrayRef kernel_size, at::IntArrayRef stride, at::IntArrayRef padding, at::IntArrayRef dilation, bool ceil_mode, const at::Tensor & indices);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_binary_cross_entropy_with_logits(const at::Tensor & self, const at::Tensor & target, const ::std::optional<at::Tensor> & weight, const ::std::optional<at::Tensor> & pos_weight, int64_t reduction);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_huber_loss(const at::Tensor & self, const at::Tensor & target, int64_t reduction, double delta);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_huber_loss_backward(const at::Tensor & grad_output, const at::Tensor & self, const at::Tensor & target, int64_t reduction, double delta);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_mse_loss_backward(const at::Tensor & grad_output, const at::Tensor & self, const at::Tensor & target, int64_t reduction);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_soft_margin_loss(const at::Tensor & self, const at::Tensor & target, int64_t reduction);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_soft_margin_loss_backward(const at::Tensor & grad_output, const at::Tensor & self, const at::Tensor & target, int64_t reduction);

TORCH_API std::vector<torch::lazy::Shape> compute_shape_cummax(const at::Tensor & self, int64_t dim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_cummin(const at::Tensor & self, int64_t dim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_kthvalue(const at::Tensor & self, int64_t k, int64_t dim, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_logcumsumexp(const at::Tensor & self, int64_t dim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_median(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_median(const at::Tensor & self, int64_t dim, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_mode(const at::Tensor & self, int64_t dim, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_addr(const at::Tensor & self, const at::Tensor & vec1, const at::Tensor & vec2, const at::Scalar & beta, const at::Scalar & alpha);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_vdot(const at::Tensor & self, const at::Tensor & other);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_unfold_backward(const at::Tensor & grad_in, at::IntArrayRef input_sizes, int64_t dim, int64_t size, int64_t step);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_put(const at::Tensor & self, const at::Tensor & index, const at::Tensor & source, bool accumulate);
// Complex numbers and the FFT family.
TORCH_API std::vector<torch::lazy::Shape> compute_shape__fft_c2c(const at::Tensor & self, at::IntArrayRef dim, int64_t normalization, bool forward);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__fft_c2r(const at::Tensor & self, at::IntArrayRef dim, int64_t normalization, int64_t last_dim_size);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__fft_r2c(const at::Tensor & self, at::IntArrayRef dim, int64_t normalization, bool onesided);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__conj_copy(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__conj_physical(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_complex(const at::Tensor & real, const at::Tensor & imag);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_polar(const at::Tensor & abs, const at::Tensor & angle);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_view_as_complex_copy(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_view_as_real_copy(const at::Tensor & self);

// Reductions ignoring NaN, normalisation variants, shapes and indexing.
TORCH_API std::vector<torch::lazy::Shape> compute_shape_nansum(const at::Tensor & self, at::OptionalIntArrayRef dim, bool keepdim, ::std::optional<at::ScalarType> dtype);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_nanmedian(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_nanmedian(const at::Tensor & self, int64_t dim, bool keepdim);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_cauchy(const at::Tensor & self, double median, double sigma, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_geometric(const at::Tensor & self, double p, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_log_normal(const at::Tensor & self, double mean, double std, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_normal(const at::Tensor & mean, const at::Tensor & std, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_normal(const at::Tensor & mean, double std, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_normal(double mean, const at::Tensor & std, ::std::optional<at::Generator> generator);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_isin(const at::Tensor & elements, const at::Tensor & test_elements, bool assume_unique, bool invert);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_isin(const at::Tensor & elements, const at::Scalar & test_element, bool assume_unique, bool invert);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_bucketize(const at::Tensor & self, const at::Tensor & boundaries, bool out_int32, bool right);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_searchsorted(const at::Tensor & sorted_sequence, const at::Tensor & self, bool out_int32, bool right, ::std::optional<c10::string_view> side, const ::std::optional<at::Tensor> & sorter);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_multinomial(const at::Tensor & self, int64_t num_samples, bool replacement, ::std::optional<at::Generator> generator);

// Pooling and sampling in three dimensions.
TORCH_API std::vector<torch::lazy::Shape> compute_shape_max_unpool3d(const at::Tensor & self, const at::Tensor & indices, at::IntArrayRef output_size, at::IntArrayRef stride, at::IntArrayRef padding);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_grid_sampler_3d(const at::Tensor & input, const at::Tensor & grid, int64_t interpolation_mode, int64_t padding_mode, bool align_corners);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_grid_sampler_3d_backward(const at::Tensor & grad_output, const at::Tensor & input, const at::Tensor & grid, int64_t interpolation_mode, int64_t padding_mode, bool align_corners, ::std::array<bool,2> output_mask);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_fractional_max_pool3d_backward(const at::Tensor & grad_output, const at::Tensor & self, at::IntArrayRef kernel_size, at::IntArrayRef output_size, const at::Tensor & indices);
// Least squares, general eigendecompositions, segment reductions, histograms.
TORCH_API std::vector<torch::lazy::Shape> compute_shape_linalg_lstsq(const at::Tensor & self, const at::Tensor & b, ::std::optional<double> rcond, ::std::optional<c10::string_view> driver);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_linalg_eig(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__linalg_eigvals(const at::Tensor & self);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_segment_reduce(const at::Tensor & data, c10::string_view reduce, const ::std::optional<at::Tensor> & lengths, const ::std::optional<at::Tensor> & indices, const ::std::optional<at::Tensor> & offsets, int64_t axis, bool unsafe, const ::std::optional<at::Scalar> & initial);
TORCH_API std::vector<torch::lazy::Shape> compute_shape__segment_reduce_backward(const at::Tensor & grad, const at::Tensor & output, const at::Tensor & data, c10::string_view reduce, const ::std::optional<at::Tensor> & lengths, const ::std::optional<at::Tensor> & offsets, int64_t axis, const ::std::optional<at::Scalar> & initial);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_histc(const at::Tensor & self, int64_t bins, const at::Scalar & min, const at::Scalar & max);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_histogram(const at::Tensor & self, const at::Tensor & bins, const ::std::optional<at::Tensor> & weight, bool density);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_histogram(const at::Tensor & self, int64_t bins, ::std::optional<at::ArrayRef<double>> range, const ::std::optional<at::Tensor> & weight, bool density);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_nonzero_static(const at::Tensor & self, int64_t size, int64_t fill_value);
TORCH_API std::vector<torch::lazy::Shape> compute_shape_repeat_interleave(const at::Tensor & repeats, ::std::optional<int64_t> output_size);

}  // namespace lazy
}  // namespace torch
