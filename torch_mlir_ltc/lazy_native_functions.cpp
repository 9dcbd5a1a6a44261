// Hand-written lazy kernels: moving data between host and device, tensor creation on the device,
// and the few operators whose generated kernels would not fit functionalization.
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <sstream>

#include <ATen/Functions.h>
#include <ATen/core/Reduction.h>
#include <ATen/SDPBackend.h>
#include <ATen/FunctionalTensorWrapper.h>
#include <ATen/Operators.h>
#include <ATen/ops/_pack_padded_sequence_native.h>
#include <ATen/WrapDimUtils.h>
#include <c10/util/StringUtil.h>
#include <c10/util/irange.h>
#include <ATen/native/CPUFallback.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/lazy/core/helpers.h>
#include <torch/csrc/lazy/core/ir_builder.h>
#include <torch/csrc/lazy/core/lazy_graph_executor.h>
#include <torch/csrc/lazy/core/shape_inference.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/csrc/lazy/core/tensor_impl.h>
#include <torch/csrc/lazy/core/tensor_util.h>

#include <torch/csrc/jit/ir/ir.h>
#include <torch/library.h>

#include "LazyIr.h"
#include "LazyNativeFunctions.h"
#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/mlir_node_lowering.h"
#include "torch_mlir_ltc/native_functions.h"

namespace torch {
namespace lazy {

namespace {

// While the Functionalize key is excluded, callers expect a plain tensor that they lift later;
// otherwise results are handed out as functional tensors.
bool functionalize_outputs() {
  return !c10::impl::tls_local_dispatch_key_set().excluded_.has(c10::DispatchKey::Functionalize);
}

at::Tensor maybe_functional(at::Tensor tensor) {
  return functionalize_outputs() ? at::functionalization::impl::to_functional_tensor(tensor)
                                 : tensor;
}

std::optional<BackendDevice> GetLtcDevice(const std::optional<c10::Device>& device) {
  if (!device || device->type() != at::kLazy) return std::nullopt;
  return atenDeviceToBackendDevice(*device);
}

// `input` takes `src`'s value, cast and expanded to `input`'s type and sizes.
void CopyLazy(LazyTensorPtr& input, LazyTensorPtr& src) {
  Value copy_value = src->GetIrValue();
  if (input->dtype() != src->dtype()) {
    copy_value = MakeCast(copy_value, input->dtype(), src->dtype());
  }
  input->SetIrValue(MakeExpand(copy_value, input->shape().Get().sizes().vec(),
                               /*is_scalar_expand=*/false));
}

}  // namespace

at::Tensor LazyNativeFunctions::_copy_from(const at::Tensor& self, const at::Tensor& dst,
                                           bool non_blocking) {
  auto dst_tensor = TryGetLtcTensor(dst);
  auto self_tensor = TryGetLtcTensor(self);
  if (!self_tensor) {
    // A host value for an existing lazy tensor.
    TORCH_CHECK(dst_tensor, "_copy_from: neither tensor is lazy");
    dst_tensor->UpdateFromTensor(self, /*sync=*/true);
  } else if (!dst_tensor) {
    // Lazy to host: materialising is not offered by this backend and ends in its error.
    at::Tensor tensor = self_tensor->ToTensor(/*detached=*/true);
    const_cast<at::Tensor&>(dst).copy_(tensor, non_blocking);
  } else {
    CopyLazy(dst_tensor, self_tensor);
    auto* impl = dynamic_cast<LTCTensorImpl*>(dst.unsafeGetTensorImpl());
    impl->set_tensor(dst_tensor);
  }
  return dst;
}

at::Tensor LazyNativeFunctions::_copy_from_and_resize(const at::Tensor& self,
                                                      const at::Tensor& dst) {
  auto dst_tensor = TryGetLtcTensor(dst);
  auto self_tensor = TryGetLtcTensor(self);
  if (!self_tensor) {
    TORCH_CHECK(dst_tensor, "_copy_from_and_resize: neither tensor is lazy");
    dst_tensor->UpdateFromTensorOut(self);
  } else if (!dst_tensor) {
    at::Tensor tensor = self_tensor->ToTensor(/*detached=*/true);
    at::Tensor typed_tensor = CopyTensor(tensor, dst.scalar_type(), /*copy=*/false);
    dst.resize_as_(typed_tensor).copy_(typed_tensor);
  } else {
    auto* dest_impl = dynamic_cast<LTCTensorImpl*>(dst.unsafeGetTensorImpl());
    dest_impl->tensor()->UpdateFromTensorOut(self_tensor);
    dest_impl->force_refresh_sizes();
  }
  return dst;
}

at::Tensor LazyNativeFunctions::_to_copy(const at::Tensor& self,
                                         std::optional<at::ScalarType> dtype,
                                         std::optional<at::Layout> layout,
                                         std::optional<at::Device> device,
                                         std::optional<bool> pin_memory, bool non_blocking,
                                         std::optional<at::MemoryFormat> memory_format) {
  auto options = self.options();
  if (dtype) options = options.dtype(dtype);
  if (layout) options = options.layout(layout);
  if (memory_format) options = options.memory_format(memory_format);
  if (pin_memory) options = options.pinned_memory(pin_memory);

  auto lazy_self = TryGetLtcTensor(self);
  if (!lazy_self && device && device->type() == c10::kLazy) {
    // Host to lazy: a new lazy tensor whose data becomes backend data at once. PyTorch's tensor
    // constructors (torch.tensor(data, device=...), the index lists of `x[[1, 2]]`) move the
    // tensor they made with the Functionalize key excluded, and lift it afterwards: such a tensor
    // is a constant of the program, whose data must stay.
    if (!functionalize_outputs()) {
      HostConstantScope constant;
      return to_lazy_tensor(self, options, *device, non_blocking, /*functionalize_output=*/false);
    }
    return to_lazy_tensor(self, options, *device, non_blocking, /*functionalize_output=*/true);
  }
  if (device && device->type() != c10::kLazy) {
    // Lazy to host: materialising is not offered by this backend and ends in its error.
    TORCH_INTERNAL_ASSERT(lazy_self);
    auto eager_tensor = lazy_self->ToTensor(/*detached=*/true);
    return eager_tensor.to(options.device(device), non_blocking, /*copy=*/true);
  }
  TORCH_INTERNAL_ASSERT(lazy_self);
  // Lazy to lazy: keep the copy in the graph. The device inside the graph is the host's, never
  // the lazy device.
  std::optional<at::Device> graph_device =
      c10::Device(getBackend()->EagerFallbackDeviceType());
  auto shapes = compute_shape__to_copy(self, dtype, layout, graph_device, pin_memory,
                                       non_blocking, memory_format);
  TORCH_INTERNAL_ASSERT(shapes.size() == 1);
  auto node = MakeNode<ToCopy>(lazy_self->GetIrValue(), dtype, layout, graph_device, pin_memory,
                               non_blocking, memory_format, std::move(shapes));
  return CreateAtenFromLtcTensor(LazyTensor::Create(std::move(node), lazy_self->GetDevice()));
}

at::Tensor LazyNativeFunctions::_unsafe_view(const at::Tensor& self, at::IntArrayRef size) {
  return LazyNativeFunctions::view_copy_symint(self, c10::fromIntArrayRefSlow(size));
}

at::Tensor LazyNativeFunctions::clone(const at::Tensor& self,
                                      std::optional<at::MemoryFormat> memory_format) {
  auto self_lt = TryGetLtcTensor(self);
  return CreateAtenFromLtcTensor(self_lt->Create(self_lt->GetIrValue(), self_lt->GetDevice()));
}

at::Tensor LazyNativeFunctions::empty_symint(c10::SymIntArrayRef sym_size,
                                             std::optional<at::ScalarType> dtype,
                                             std::optional<at::Layout> layout,
                                             std::optional<at::Device> device,
                                             std::optional<bool> pin_memory,
                                             std::optional<at::MemoryFormat> memory_format) {
  // The contents of an empty tensor are undefined, so its backend data holds no host copy: nothing
  // is allocated, copied or stored for them, and a program that reads them gets no host value.
  // The arguments are checked as the host's empty checks them, on the meta device.
  at::TensorOptions options = at::TensorOptions()
                                  .device(c10::kMeta)
                                  .layout(layout)
                                  .pinned_memory(pin_memory)
                                  .dtype(dtype);
  auto meta = at::empty_symint(sym_size, options, memory_format);
  auto ltc_device = GetLtcDevice(device);
  TORCH_CHECK(ltc_device, "empty: expected a lazy device");
  BackendDataPtr data = getBackend()->CreateDataPlaceholder(
      *ltc_device, Shape(meta.scalar_type(), meta.sizes()));
  if (auto* mlir_data = dynamic_cast<TorchMlirBackendData*>(data.get())) {
    mlir_data->set_uninitialized(true);
  }
  return maybe_functional(CreateAtenFromLtcTensor(LazyTensor::Create(std::move(data))));
}

at::Tensor LazyNativeFunctions::empty_strided_symint(c10::SymIntArrayRef sym_size,
                                                     c10::SymIntArrayRef sym_stride,
                                                     std::optional<at::ScalarType> dtype,
                                                     std::optional<at::Layout> layout,
                                                     std::optional<at::Device> device,
                                                     std::optional<bool> pin_memory) {
  at::Tensor t = empty_symint(sym_size, dtype, layout, device, pin_memory, std::nullopt);
  auto size = C10_AS_INTARRAYREF_SLOW(sym_size);
  auto stride = C10_AS_INTARRAYREF_SLOW(sym_stride);
  // Strides that address more elements than the tensor holds (gaps between rows) would make a
  // view that reads past them: such a tensor is made dense, as its values are unset anyway.
  int64_t extent = 1;
  for (size_t i = 0; i < size.size(); ++i) {
    if (size[i] == 0) return t;
    extent += (size[i] - 1) * stride[i];
  }
  if (extent > t.numel()) return t;
  return t.as_strided(size, stride, /*storage_offset=*/0);
}

at::Tensor& LazyNativeFunctions::fill_(at::Tensor& self, const at::Scalar& value) {
  auto self_tensor = TryGetLtcTensor(self);
  auto ir_value = LazyGraphExecutor::Get()->GetIrValueForExpandedScalar(
      value, self_tensor->shape(), self_tensor->GetDevice());
  self_tensor->SetInPlaceIrValue(std::move(ir_value));
  return self;
}

at::Tensor LazyNativeFunctions::lift(const at::Tensor& tensor) {
  TORCH_INTERNAL_ASSERT(!at::functionalization::impl::isFunctionalTensor(tensor));
  return at::functionalization::impl::to_functional_tensor(tensor);
}

at::Tensor LazyNativeFunctions::lift_fresh(const at::Tensor& tensor) {
  TORCH_INTERNAL_ASSERT(!at::functionalization::impl::isFunctionalTensor(tensor));
  return at::functionalization::impl::to_functional_tensor(tensor);
}


// ---------------------------------------------------------------------------------------------
// Tensor creation into an out= tensor. Factory functions reach the backend as `empty` followed by
// their out= form; the out tensor takes a node of the functional operator.

namespace {

at::TensorOptions MetaOptions(c10::ScalarType dtype) {
  return at::TensorOptions().dtype(dtype).device(c10::kMeta);
}

// The device the graph itself computes on (never the lazy device).
std::optional<c10::Device> GraphDevice() {
  return c10::Device(getBackend()->EagerFallbackDeviceType());
}

at::Tensor& SetOut(at::Tensor& out, NodePtr node) {
  auto out_tensor = TryGetLtcTensor(out);
  TORCH_CHECK(out_tensor, "expected a lazy out tensor");
  out_tensor->SetInPlaceIrValue(Value(std::move(node)));
  return out;
}

Value ScalarValue(const at::Scalar& value, const at::Tensor& out) {
  return LazyGraphExecutor::Get()->GetIrValueForScalarFromCodegen(value,
                                                                  TryGetLtcTensor(out)->GetDevice());
}

}  // namespace

at::Tensor& LazyNativeFunctions::arange_out(const at::Scalar& start, const at::Scalar& end,
                                            const at::Scalar& step, at::Tensor& out) {
  auto meta = at::arange(start, end, step, MetaOptions(out.scalar_type()));
  std::vector<Shape> shapes{Shape(out.scalar_type(), meta.sizes().vec())};
  return SetOut(out, MakeNode<ArangeStartStep>(ScalarValue(start, out), ScalarValue(end, out),
                                               ScalarValue(step, out), out.scalar_type(),
                                               std::nullopt, GraphDevice(), std::nullopt,
                                               std::move(shapes)));
}

at::Tensor& LazyNativeFunctions::linspace_out(const at::Scalar& start, const at::Scalar& end,
                                              int64_t steps, at::Tensor& out) {
  TORCH_CHECK(steps >= 0, "linspace: number of steps must be non-negative");
  std::vector<Shape> shapes{Shape(out.scalar_type(), {steps})};
  return SetOut(out, MakeNode<Linspace>(ScalarValue(start, out), ScalarValue(end, out), steps,
                                        out.scalar_type(), std::nullopt, GraphDevice(),
                                        std::nullopt, std::move(shapes)));
}

at::Tensor& LazyNativeFunctions::logspace_out(const at::Scalar& start, const at::Scalar& end,
                                              int64_t steps, double base, at::Tensor& out) {
  TORCH_CHECK(steps >= 0, "logspace: number of steps must be non-negative");
  // base ** linspace(start, end, steps), the exponents in the result's floating type (double for
  // integer results, truncated at the end as on the host).
  const auto type = out.scalar_type();
  at::Tensor exponents =
      at::empty({steps}, out.options().dtype(at::isFloatingType(type) ? type : at::kDouble));
  linspace_out(start, end, steps, exponents);
  at::Tensor powers = at::pow(at::Scalar(base), exponents).to(type);
  return SetOut(out, TryGetLtcTensor(powers)->GetIrValue().node);
}

at::Tensor& LazyNativeFunctions::eye_out(int64_t n, int64_t m, at::Tensor& out) {
  TORCH_CHECK(n >= 0 && m >= 0, "eye: n and m must be non-negative, got ", n, " and ", m);
  std::vector<Shape> shapes{Shape(out.scalar_type(), {n, m})};
  return SetOut(out, MakeNode<EyeM>(n, m, out.scalar_type(), std::nullopt, GraphDevice(),
                                    std::nullopt, std::move(shapes)));
}

at::Tensor& LazyNativeFunctions::eye_out(int64_t n, at::Tensor& out) {
  return eye_out(n, n, out);
}

// ---------------------------------------------------------------------------------------------
// Views with several results: one slice or select per result.

std::vector<at::Tensor> LazyNativeFunctions::split_with_sizes_copy(const at::Tensor& self,
                                                                   at::IntArrayRef split_sizes,
                                                                   int64_t dim) {
  dim = at::maybe_wrap_dim(dim, self.dim());
  const int64_t dim_size = self.size(dim);
  int64_t total = 0;
  for (int64_t size : split_sizes) {
    TORCH_CHECK(size >= 0, "split_with_sizes: expected non-negative split sizes, got ", size);
    total += size;
  }
  TORCH_CHECK(total == dim_size, "split_with_sizes expects split_sizes to sum exactly to ",
              dim_size, " (input tensor's size at dimension ", dim, "), but got split_sizes=",
              split_sizes);
  std::vector<at::Tensor> results;
  results.reserve(split_sizes.size());
  int64_t start = 0;
  for (int64_t size : split_sizes) {
    results.push_back(slice_copy_symint(self, dim, c10::SymInt(start), c10::SymInt(start + size),
                                        c10::SymInt(1)));
    start += size;
  }
  return results;
}

std::vector<at::Tensor> LazyNativeFunctions::split_copy(const at::Tensor& self,
                                                        int64_t split_size, int64_t dim) {
  TORCH_CHECK(self.dim() != 0, "split expects at least a 1-dimensional tensor");
  TORCH_CHECK(split_size >= 0, "split expects split_size be non-negative, but got split_size=",
              split_size);
  dim = at::maybe_wrap_dim(dim, self.dim());
  const int64_t dim_size = self.size(dim);
  TORCH_CHECK(split_size > 0 || dim_size == 0,
              "split_size can only be 0 if dimension size is 0, but got dimension size of ",
              dim_size);
  // As the host kernel: at least one piece, the last one possibly shorter.
  const int64_t pieces =
      split_size == 0 ? 1 : std::max<int64_t>((dim_size + split_size - 1) / split_size, 1);
  std::vector<int64_t> sizes(pieces, split_size);
  sizes.back() = dim_size - split_size * (pieces - 1);
  return split_with_sizes_copy(self, sizes, dim);
}

std::vector<at::Tensor> LazyNativeFunctions::unbind_copy(const at::Tensor& self, int64_t dim) {
  TORCH_CHECK(self.dim() > 0, "Dimension specified as 0 but tensor has no dimensions");
  dim = at::maybe_wrap_dim(dim, self.dim());
  std::vector<at::Tensor> results;
  results.reserve(self.size(dim));
  for (const auto i : c10::irange(self.size(dim))) {
    results.push_back(select_copy(self, dim, i));
  }
  return results;
}

// ---------------------------------------------------------------------------------------------
// Composite operators whose host kernels create views and write through them. Below the
// Functionalize key those writes would be lost: the gradients of views become scatters into
// zeros, the others run functionalized again.

namespace {

// Zeros of `self`'s type on its device, as an expanded scalar (no host buffer).
at::Tensor LazyZeros(const at::Tensor& like, c10::SymIntArrayRef sizes) {
  auto lazy = GetLtcTensor(like);
  Value zeros = LazyGraphExecutor::Get()->GetIrValueForExpandedScalar(
      at::Scalar(0), Shape(like.scalar_type(), C10_AS_INTARRAYREF_SLOW(sizes)), lazy->GetDevice());
  return CreateAtenFromLtcTensor(LazyTensor::Create(zeros, lazy->GetDevice()));
}

}  // namespace

// resize (functionalization's form of resize_ and resize_as_): the tensor's elements in row-major
// order, as many as the new size holds; elements past the old ones, unset on the host, are zeros.
at::Tensor LazyNativeFunctions::resize(const at::Tensor& self, at::IntArrayRef size,
                                       std::optional<at::MemoryFormat> memory_format) {
  for (int64_t s : size) TORCH_CHECK(s >= 0, "Trying to create tensor with negative dimension ", s, ": ", size);
  const int64_t have = self.numel(), want = c10::multiply_integers(size);
  at::Tensor flat = view_copy_symint(self, c10::fromIntArrayRefSlow({have}));
  if (want < have)
    flat = slice_copy_symint(flat, 0, c10::SymInt(0), c10::SymInt(want), c10::SymInt(1));
  else if (want > have)
    flat = constant_pad_nd(flat, {0, want - have}, 0);
  return view_copy_symint(flat, c10::fromIntArrayRefSlow(size));
}

at::Tensor LazyNativeFunctions::narrow_copy_symint(const at::Tensor& self, int64_t dim,
                                                   c10::SymInt start, c10::SymInt length) {
  dim = at::maybe_wrap_dim(dim, self.dim());
  const int64_t size = self.size(dim);
  int64_t first = start.expect_int();
  const int64_t len = length.expect_int();
  TORCH_CHECK(first >= -size && first <= size, "start out of range (expected to be in range of [",
              -size, ", ", size, "], but got ", first, ")");
  if (first < 0) first += size;
  TORCH_CHECK(len >= 0 && first <= size - len, "start (", first, ") + length (", len,
              ") exceeds dimension size (", size, ").");
  return slice_copy_symint(self, dim, c10::SymInt(first), c10::SymInt(first + len),
                           c10::SymInt(1));
}

at::Tensor LazyNativeFunctions::slice_backward_symint(const at::Tensor& grad_output,
                                                      c10::SymIntArrayRef input_sizes,
                                                      int64_t dim, c10::SymInt start,
                                                      c10::SymInt end, c10::SymInt step) {
  return slice_scatter_symint(LazyZeros(grad_output, input_sizes), grad_output, dim,
                              std::move(start), std::move(end), std::move(step));
}

at::Tensor LazyNativeFunctions::select_backward_symint(const at::Tensor& grad_output,
                                                       c10::SymIntArrayRef input_sizes,
                                                       int64_t dim, c10::SymInt index) {
  return select_scatter(LazyZeros(grad_output, input_sizes), grad_output, dim,
                        index.expect_int());
}

at::Tensor LazyNativeFunctions::diagonal_backward_symint(const at::Tensor& grad_output,
                                                         c10::SymIntArrayRef input_sizes,
                                                         int64_t offset, int64_t dim1,
                                                         int64_t dim2) {
  return diagonal_scatter(LazyZeros(grad_output, input_sizes), grad_output, offset, dim1, dim2);
}

// The zeros that gradients of real functions give (sgn's): ordinary zeros here, as an expanded
// scalar (the host's form is a tensor without storage).
at::Tensor LazyNativeFunctions::_efficientzerotensor(at::IntArrayRef size,
                                                     std::optional<at::ScalarType> dtype,
                                                     std::optional<at::Layout> layout,
                                                     std::optional<at::Device> device,
                                                     std::optional<bool> pin_memory) {
  auto ltc_device = GetLtcDevice(device);
  TORCH_CHECK(ltc_device, "_efficientzerotensor: expected a lazy device");
  const auto type = dtype.value_or(at::typeMetaToScalarType(at::get_default_dtype()));
  Value zeros = LazyGraphExecutor::Get()->GetIrValueForExpandedScalar(
      at::Scalar(0), Shape(type, size.vec()), *ltc_device);
  return CreateAtenFromLtcTensor(LazyTensor::Create(zeros, *ltc_device));
}

at::Tensor LazyNativeFunctions::new_empty_strided_symint(
    const at::Tensor& self, c10::SymIntArrayRef size, c10::SymIntArrayRef stride,
    std::optional<at::ScalarType> dtype, std::optional<at::Layout> layout,
    std::optional<at::Device> device, std::optional<bool> pin_memory) {
  // Lazy tensors are always dense; the strides have nothing to describe.
  return empty_symint(size, dtype.value_or(self.scalar_type()), layout.value_or(self.layout()),
                      device.value_or(self.device()), pin_memory, std::nullopt);
}

// The pixel shuffles move channels into space and back: a reshape, a permutation and a reshape.
// (PyTorch's own decomposition copies into an empty strided tensor, a view that a lazy tensor
// cannot hold: the copy was lost.) The host's checks run on a meta tensor first.
namespace {

at::Tensor PixelShuffle(const at::Tensor& self, int64_t factor, bool shuffle) {
  at::Tensor meta = at::empty(self.sizes(), self.options().device(c10::kMeta));
  shuffle ? at::pixel_shuffle(meta, factor) : at::pixel_unshuffle(meta, factor);
  const int64_t rank = self.dim();
  const int64_t b = rank - 3;
  std::vector<int64_t> batch(self.sizes().begin(), self.sizes().begin() + b);
  const int64_t c = self.size(b), h = self.size(b + 1), w = self.size(b + 2);
  std::vector<int64_t> expanded = batch, permutation, result = batch;
  for (int64_t i = 0; i < b; ++i) permutation.push_back(i);
  if (shuffle) {
    const int64_t oc = c / (factor * factor);
    expanded.insert(expanded.end(), {oc, factor, factor, h, w});
    permutation.insert(permutation.end(), {b, b + 3, b + 1, b + 4, b + 2});
    result.insert(result.end(), {oc, h * factor, w * factor});
  } else {
    const int64_t oh = h / factor, ow = w / factor;
    expanded.insert(expanded.end(), {c, oh, factor, ow, factor});
    permutation.insert(permutation.end(), {b, b + 2, b + 4, b + 1, b + 3});
    result.insert(result.end(), {c * factor * factor, oh, ow});
  }
  return at::view_copy(at::permute_copy(at::view_copy(self, expanded), permutation), result);
}

}  // namespace

at::Tensor LazyNativeFunctions::pixel_shuffle(const at::Tensor& self, int64_t upscale_factor) {
  return PixelShuffle(self, upscale_factor, /*shuffle=*/true);
}

at::Tensor LazyNativeFunctions::pixel_unshuffle(const at::Tensor& self,
                                                int64_t downscale_factor) {
  return PixelShuffle(self, downscale_factor, /*shuffle=*/false);
}

at::Tensor LazyNativeFunctions::block_diag(at::TensorList tensors) {
  return at::functionalization::functionalize_aten_op<ATEN_OP(block_diag)>::call(tensors);
}

at::Tensor LazyNativeFunctions::rot90(const at::Tensor& self, int64_t k, at::IntArrayRef dims) {
  return at::functionalization::functionalize_aten_op<ATEN_OP(rot90)>::call(self, k, dims);
}

at::Tensor LazyNativeFunctions::_chunk_cat(at::TensorList tensors, int64_t dim,
                                           int64_t num_chunks) {
  return at::functionalization::functionalize_aten_op<ATEN_OP(_chunk_cat)>::call(tensors, dim,
                                                                                  num_chunks);
}

// channel_shuffle: [N, C, *] viewed as [N, groups, C / groups, *], the two group dimensions
// swapped, viewed back.
at::Tensor LazyNativeFunctions::channel_shuffle(const at::Tensor& self, int64_t groups) {
  TORCH_CHECK(self.dim() > 2, "channel_shuffle expects input to have at least 3 dimensions, but "
              "got input with sizes ", self.sizes());
  TORCH_CHECK(groups > 0, "Number of groups to divide channels in must be positive.",
              " Value of groups:", groups);
  const int64_t c = self.size(1);
  TORCH_CHECK(c % groups == 0, "Number of channels must be divisible by groups. Got ", c,
              " channels and ", groups, " groups.");
  std::vector<int64_t> grouped{self.size(0), groups, c / groups};
  grouped.insert(grouped.end(), self.sizes().begin() + 2, self.sizes().end());
  std::vector<int64_t> permutation(grouped.size());
  std::iota(permutation.begin(), permutation.end(), 0);
  std::swap(permutation[1], permutation[2]);
  return at::view_copy(at::permute_copy(at::view_copy(self, grouped), permutation), self.sizes());
}

// ---------------------------------------------------------------------------------------------
// Indexing with a list of optional index tensors (`Tensor?[]`). The node keeps the present
// indices as operands and lowers them into a list with `None` for the absent ones.

namespace {

class OptionalIndexList : public TorchMlirNode {
 public:
  // `operands`: self, the present indices, then `values` when `has_values`.
  OptionalIndexList(OpKind op, OpList operands, std::vector<int64_t> present, bool has_values,
                    std::vector<int64_t> flags, std::vector<Shape>&& shapes)
      : TorchMlirNode(op, operands, std::move(shapes), /*num_outputs=*/1,
                      MHash(present, has_values, flags)),
        present_(std::move(present)),
        has_values_(has_values),
        flags_(std::move(flags)) {}

  std::string ToString() const override {
    std::stringstream ss;
    ss << TorchMlirNode::ToString() << ", present=(" << c10::Join(", ", present_) << ")";
    if (!flags_.empty()) ss << ", flags=(" << c10::Join(", ", flags_) << ")";
    return ss.str();
  }

  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override {
    auto graph = function->graph();
    size_t next = 1;
    std::vector<torch::jit::Value*> items;
    items.reserve(present_.size());
    for (int64_t present : present_) {
      items.push_back(present ? loctx->GetOutputOp(operand(next++))
                              : graph->insertConstant(c10::IValue()));
    }
    auto* list =
        graph->insertNode(graph->createList(c10::OptionalType::ofTensor(), items))->output();
    std::vector<torch::jit::NamedValue> arguments{loctx->GetOutputOp(operand(0)), list};
    if (has_values_) arguments.emplace_back(loctx->GetOutputOp(operand(next++)));
    for (int64_t flag : flags_) arguments.emplace_back(c10::IValue(static_cast<bool>(flag)));
    return LowerTorchMlirBuiltin(function, op().op, shapes(), arguments);
  }

 private:
  std::vector<int64_t> present_;
  bool has_values_;
  std::vector<int64_t> flags_;
};

at::Tensor ToMeta(const at::Tensor& t) {
  return at::empty(t.sizes(), t.options().device(c10::kMeta));
}

// Builds the node of an indexing operator on `self`'s lazy device; index tensors living on the
// host join the graph as data.
at::Tensor MakeIndexNode(c10::Symbol op, const at::Tensor& self,
                         const c10::List<std::optional<at::Tensor>>& indices,
                         const at::Tensor* values, std::vector<int64_t> flags,
                         std::vector<Shape> shapes) {
  auto lazy_self = GetLtcTensor(self);
  const auto& device = lazy_self->GetDevice();
  std::vector<Value> values_kept;
  values_kept.push_back(lazy_self->GetIrValue());
  std::vector<int64_t> present;
  for (const auto i : c10::irange(indices.size())) {
    const std::optional<at::Tensor> index = indices[i];
    const bool defined = index.has_value() && index->defined();
    present.push_back(defined);
    if (defined) values_kept.push_back(GetOrCreateLtcTensor(*index, device)->GetIrValue());
  }
  if (values) values_kept.push_back(GetOrCreateLtcTensor(*values, device)->GetIrValue());
  auto node = MakeNode<OptionalIndexList>(OpKind(op), OpList(values_kept), std::move(present),
                                          values != nullptr, std::move(flags), std::move(shapes));
  return CreateAtenFromLtcTensor(LazyTensor::Create(std::move(node), device));
}

std::vector<Shape> IndexShapes(const at::Tensor& self,
                               const c10::List<std::optional<at::Tensor>>& indices) {
  c10::List<std::optional<at::Tensor>> meta_indices;
  for (const auto i : c10::irange(indices.size())) {
    const std::optional<at::Tensor> index = indices[i];
    if (index.has_value() && index->defined()) {
      TORCH_CHECK(index->scalar_type() != at::kBool && index->scalar_type() != at::kByte,
                  "Indexing a lazy tensor with a boolean mask gives a result whose shape depends "
                  "on the mask's values, which a traced graph cannot represent; use "
                  "torch.where or masked_fill instead");
      meta_indices.push_back(ToMeta(*index));
    } else {
      meta_indices.push_back(std::nullopt);
    }
  }
  auto meta = at::index(ToMeta(self), meta_indices);
  return {Shape(meta.scalar_type(), meta.sizes().vec())};
}

std::vector<Shape> IndexPutShapes(const at::Tensor& self) {
  return {Shape(self.scalar_type(), self.sizes().vec())};
}

}  // namespace

at::Tensor LazyNativeFunctions::index(const at::Tensor& self,
                                      const c10::List<std::optional<at::Tensor>>& indices) {
  return MakeIndexNode(at::aten::index, self, indices, nullptr, {}, IndexShapes(self, indices));
}

at::Tensor LazyNativeFunctions::_unsafe_index(
    const at::Tensor& self, const c10::List<std::optional<at::Tensor>>& indices) {
  return MakeIndexNode(c10::Symbol::fromQualString("aten::_unsafe_index"), self, indices, nullptr,
                       {}, IndexShapes(self, indices));
}

at::Tensor LazyNativeFunctions::index_put(const at::Tensor& self,
                                          const c10::List<std::optional<at::Tensor>>& indices,
                                          const at::Tensor& values, bool accumulate) {
  return MakeIndexNode(at::aten::index_put, self, indices, &values, {accumulate},
                       IndexPutShapes(self));
}

at::Tensor LazyNativeFunctions::_unsafe_index_put(
    const at::Tensor& self, const c10::List<std::optional<at::Tensor>>& indices,
    const at::Tensor& values, bool accumulate) {
  return MakeIndexNode(c10::Symbol::fromQualString("aten::_unsafe_index_put"), self, indices,
                       &values, {accumulate}, IndexPutShapes(self));
}

at::Tensor LazyNativeFunctions::_index_put_impl(
    const at::Tensor& self, const c10::List<std::optional<at::Tensor>>& indices,
    const at::Tensor& values, bool accumulate, bool unsafe) {
  return MakeIndexNode(c10::Symbol::fromQualString("aten::_index_put_impl"), self, indices,
                       &values, {accumulate, unsafe}, IndexPutShapes(self));
}

// ---------------------------------------------------------------------------------------------
// Batch normalisation. In training the host kernel also updates the running statistics it is
// handed; here they take new values in the graph:
//   running_mean = (1 - momentum) * running_mean + momentum * batch_mean
//   running_var  = (1 - momentum) * running_var  + momentum * unbiased batch variance

std::tuple<at::Tensor, at::Tensor, at::Tensor> LazyNativeFunctions::native_batch_norm(
    const at::Tensor& input, const std::optional<at::Tensor>& weight,
    const std::optional<at::Tensor>& bias, const std::optional<at::Tensor>& running_mean,
    const std::optional<at::Tensor>& running_var, bool training, double momentum, double eps) {
  auto lazy_input = GetLtcTensor(input);
  const auto& device = lazy_input->GetDevice();
  auto optional_value = [&](const std::optional<at::Tensor>& t) -> std::optional<Value> {
    if (!t || !t->defined()) return std::nullopt;
    return GetOrCreateLtcTensor(*t, device)->GetIrValue();
  };
  auto shapes = compute_shape_native_batch_norm(input, weight, bias, running_mean, running_var,
                                                training, momentum, eps);
  TORCH_INTERNAL_ASSERT(shapes.size() == 3);
  auto node = MakeNode<NativeBatchNorm>(lazy_input->GetIrValue(), optional_value(weight),
                                        optional_value(bias), optional_value(running_mean),
                                        optional_value(running_var), training, momentum, eps,
                                        std::move(shapes));
  std::vector<LazyTensorPtr> outputs;
  for (const auto i : c10::irange(3)) {
    outputs.push_back(LazyTensor::Create(Value(node, i), device));
  }
  auto result = TupleAtenFromLtcTensors<3>(outputs);

  if (training) {
    std::vector<int64_t> reduce_dims{0};
    for (const auto d : c10::irange(2, input.dim())) reduce_dims.push_back(d);
    const at::Tensor& batch_mean = std::get<1>(result);
    auto update = [&](const std::optional<at::Tensor>& running, const at::Tensor& batch_stat) {
      if (!running || !running->defined()) return;
      auto lazy_running = TryGetLtcTensor(*running);
      TORCH_CHECK(lazy_running, "native_batch_norm: running statistics must be lazy tensors");
      at::Tensor updated =
          at::add(at::mul(*running, 1.0 - momentum), at::mul(batch_stat, momentum));
      lazy_running->SetInPlaceIrValue(GetLtcTensor(updated)->GetIrValue());
    };
    update(running_mean, batch_mean);
    if (running_var && running_var->defined()) {
      update(running_var, at::var(input, reduce_dims, /*correction=*/1, /*keepdim=*/false));
    }
  }
  return result;
}

// The forms with running statistics that the batch_norm front end and torch.export pick; they
// compute what native_batch_norm computes and update the statistics the same way.
std::tuple<at::Tensor, at::Tensor, at::Tensor> LazyNativeFunctions::_native_batch_norm_legit(
    const at::Tensor& input, const std::optional<at::Tensor>& weight,
    const std::optional<at::Tensor>& bias, at::Tensor& running_mean, at::Tensor& running_var,
    bool training, double momentum, double eps) {
  return native_batch_norm(input, weight, bias, running_mean, running_var, training, momentum,
                           eps);
}

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>
LazyNativeFunctions::_batch_norm_with_update(const at::Tensor& input,
                                             const std::optional<at::Tensor>& weight,
                                             const std::optional<at::Tensor>& bias,
                                             at::Tensor& running_mean, at::Tensor& running_var,
                                             double momentum, double eps) {
  auto [out, mean, invstd] = native_batch_norm(input, weight, bias, running_mean, running_var,
                                               /*training=*/true, momentum, eps);
  // The reserve space of the accelerated kernels: empty on the CPU too.
  at::Tensor reserve = at::zeros({0}, input.options().dtype(at::kByte));
  return {out, mean, invstd, reserve};
}

// The gradients of the weight and bias have the weight's type (the input's without a weight), as
// on the host; libtorch's shape function gives them the default type.
std::tuple<at::Tensor, at::Tensor, at::Tensor> LazyNativeFunctions::native_batch_norm_backward(
    const at::Tensor& grad_out, const at::Tensor& input, const std::optional<at::Tensor>& weight,
    const std::optional<at::Tensor>& running_mean, const std::optional<at::Tensor>& running_var,
    const std::optional<at::Tensor>& save_mean, const std::optional<at::Tensor>& save_invstd,
    bool train, double eps, std::array<bool, 3> output_mask) {
  auto lazy_input = GetLtcTensor(input);
  const auto& device = lazy_input->GetDevice();
  auto optional_value = [&](const std::optional<at::Tensor>& t) -> std::optional<Value> {
    if (!t || !t->defined()) return std::nullopt;
    return GetOrCreateLtcTensor(*t, device)->GetIrValue();
  };
  TORCH_CHECK(input.dim() >= 2, "batch normalisation needs an input of rank 2 or more, got ",
              input.dim());
  const bool has_weight = weight && weight->defined();
  const auto param_type = has_weight ? weight->scalar_type() : input.scalar_type();
  std::vector<Shape> shapes{Shape(input.scalar_type(), input.sizes().vec()),
                            Shape(param_type, {input.size(1)}), Shape(param_type, {input.size(1)})};
  auto node = MakeNode<NativeBatchNormBackward>(
      GetOrCreateLtcTensor(grad_out, device)->GetIrValue(), lazy_input->GetIrValue(),
      optional_value(weight), optional_value(running_mean), optional_value(running_var),
      optional_value(save_mean), optional_value(save_invstd), train, eps,
      std::vector<bool>(output_mask.begin(), output_mask.end()), std::move(shapes));
  std::vector<LazyTensorPtr> outputs;
  for (const auto i : c10::irange(3)) outputs.push_back(LazyTensor::Create(Value(node, i), device));
  return TupleAtenFromLtcTensors<3>(outputs);
}

std::tuple<at::Tensor, at::Tensor, at::Tensor> LazyNativeFunctions::batch_norm_backward(
    const at::Tensor& grad_out, const at::Tensor& input, const at::Tensor& weight,
    const std::optional<at::Tensor>& running_mean, const std::optional<at::Tensor>& running_var,
    const std::optional<at::Tensor>& save_mean, const std::optional<at::Tensor>& save_var,
    bool update, double eps, std::array<bool, 3> output_mask, const at::Tensor& reserve) {
  return at::native_batch_norm_backward(grad_out, input, weight, running_mean, running_var,
                                        save_mean, save_var, update, eps, output_mask);
}


// ---------------------------------------------------------------------------------------------
// Composite operators whose host forms read tensor values (which a traced graph does not have)
// or pick a device-specific implementation.

at::Tensor LazyNativeFunctions::one_hot(const at::Tensor& self, int64_t num_classes) {
  TORCH_CHECK(self.scalar_type() == at::kLong,
              "one_hot is only applicable to index tensor of type LongTensor.");
  TORCH_CHECK(num_classes >= 0,
              "one_hot of a lazy tensor needs num_classes: inferring it would read the tensor's "
              "values, which are not available while the graph is recorded");
  auto sizes = self.sizes().vec();
  sizes.push_back(num_classes);
  // Class indices outside [0, num_classes) leave their row at zero instead of raising.
  return at::scatter(at::zeros(sizes, self.options()), -1, at::unsqueeze_copy(self, -1), 1);
}

// index_reduce is scatter_reduce with each index repeated over its slice of `source`; the host's
// checks run on meta tensors first.
at::Tensor LazyNativeFunctions::index_reduce(const at::Tensor& self, int64_t dim,
                                             const at::Tensor& index, const at::Tensor& source,
                                             c10::string_view reduce, bool include_self) {
  auto meta = [](const at::Tensor& t) { return at::empty(t.sizes(), t.options().device(c10::kMeta)); };
  at::index_reduce(meta(self), dim, meta(index), meta(source), reduce, include_self);
  if (source.dim() == 0) {
    return at::scatter_reduce(self, 0, at::_to_copy(index, at::kLong), source, reduce, include_self);
  }
  dim = at::maybe_wrap_dim(dim, source.dim());
  std::vector<int64_t> shape(source.dim(), 1);
  shape[dim] = -1;
  at::Tensor expanded = at::expand_copy(at::view_copy(at::_to_copy(index, at::kLong), shape),
                                        source.sizes());
  return at::scatter_reduce(self, dim, expanded, source, reduce, include_self);
}

// max_unpool2d puts each value at its flat index in its output plane: a scatter into zeros.
// Indices outside the plane are the program's to refuse (the host checks values it can read).
at::Tensor LazyNativeFunctions::max_unpool2d(const at::Tensor& self, const at::Tensor& indices,
                                             at::IntArrayRef output_size) {
  TORCH_CHECK(indices.scalar_type() == at::kLong, "elements in indices should be type int64 but got: ",
              indices.scalar_type());
  TORCH_CHECK(output_size.size() == 2, "There should be exactly two elements (height, width) in "
              "output_size, but got ", output_size.size(), " elements.");
  TORCH_CHECK(self.dim() == 3 || self.dim() == 4, "Input to max_unpooling2d should be a 3d or 4d "
              "Tensor, but got a tensor with ", self.dim(), " dimensions.");
  TORCH_CHECK(self.sizes() == indices.sizes(), "Expected shape of indices to be same as that of "
              "the input tensor (", self.sizes(), ") but got indices tensor with shape: ",
              indices.sizes());
  const int64_t planes = self.dim() - 2;
  std::vector<int64_t> flat(self.sizes().begin(), self.sizes().begin() + planes);
  std::vector<int64_t> result = flat;
  flat.push_back(-1);
  result.insert(result.end(), output_size.begin(), output_size.end());
  std::vector<int64_t> zeros_shape(self.sizes().begin(), self.sizes().begin() + planes);
  zeros_shape.push_back(output_size[0] * output_size[1]);
  at::Tensor out = at::scatter(at::zeros(zeros_shape, self.options()), planes,
                               at::view_copy(indices, flat), at::view_copy(self, flat));
  return at::view_copy(out, result);
}

// fractional_max_pool2d_backward: the host's shape check reads two output sizes without counting
// them (a shorter list reads past its end), so the sizes are checked before it runs.
at::Tensor LazyNativeFunctions::fractional_max_pool2d_backward(const at::Tensor& grad_output,
                                                               const at::Tensor& self,
                                                               at::IntArrayRef kernel_size,
                                                               at::IntArrayRef output_size,
                                                               const at::Tensor& indices) {
  TORCH_CHECK(kernel_size.size() == 2 && output_size.size() == 2, "fractional_max_pool2d_backward: "
              "kernel_size and output_size must have two elements each, but got ", kernel_size.size(),
              " and ", output_size.size());
  auto meta = [](const at::Tensor& t) { return at::empty(t.sizes(), t.options().device(c10::kMeta)); };
  at::Tensor out = at::fractional_max_pool2d_backward(meta(grad_output), meta(self), kernel_size,
                                                      output_size, meta(indices));
  TORCH_CHECK(indices.sizes() == grad_output.sizes(), "fractional_max_pool2d_backward: expected "
              "indices shaped like the gradient ", grad_output.sizes(), ", but got ", indices.sizes());
  auto device = GetBackendDevice(grad_output, self, indices);
  TORCH_INTERNAL_ASSERT(device);
  auto value = [&](const at::Tensor& t) {
    return GetLtcTensorOrCreateForWrappedNumber(t, *device)->GetIrValue();
  };
  std::vector<Shape> shapes{Shape(out.scalar_type(), out.sizes().vec())};
  auto node = MakeNode<FractionalMaxPool2dBackward>(
      value(grad_output), value(self), kernel_size.vec(), output_size.vec(), value(indices),
      std::move(shapes));
  return CreateAtenFromLtcTensor(LazyTensor::Create(std::move(node), *device));
}

int64_t LazyNativeFunctions::_fused_sdp_choice(const at::Tensor& query, const at::Tensor& key,
                                               const at::Tensor& value,
                                               const std::optional<at::Tensor>& attn_mask,
                                               double dropout_p, bool is_causal,
                                               std::optional<double> scale, bool enable_gqa) {
  // Attention is recorded from its portable decomposition (matmul, softmax, dropout).
  return static_cast<int64_t>(at::SDPBackend::math);
}

// ---------------------------------------------------------------------------------------------
// Distances and margin losses, and their gradients, written with elementwise operations,
// reductions, gathers and scatters. The host's checks run on meta tensors first.

namespace {

std::optional<at::Tensor> ToMeta(const std::optional<at::Tensor>& t) {
  if (!t || !t->defined()) return std::nullopt;
  return ToMeta(*t);
}

// A table of indices the capture computes from sizes alone, as a constant of the program.
at::Tensor IndexConstant(const std::vector<int64_t>& values, const at::Tensor& like) {
  return at::tensor(values, at::TensorOptions(at::kLong)).to(like.device());
}

// The p-norm of `diff` over its last dimension, as PyTorch's distance kernels define it (p = 0
// counts the differing elements, p = inf takes the largest difference).
at::Tensor PNorm(const at::Tensor& diff, double p) {
  return at::linalg_vector_norm(diff, p, at::IntArrayRef{-1}, /*keepdim=*/false, std::nullopt);
}

// grad times the derivative of dist = ||a - b||_p by a, element by element of diff = a - b;
// `grad` and `dist` broadcast against `diff` (a last dimension of 1). The cases and their zeros
// are those of PyTorch's distance gradients.
at::Tensor DistanceGrad(const at::Tensor& diff, const at::Tensor& grad, const at::Tensor& dist,
                        double p) {
  if (p == 0) return at::zeros_like(diff);
  if (p == 1) return at::mul(grad, at::sign(diff));
  if (std::isinf(p)) {
    // Only the elements whose difference is the distance take the gradient.
    at::Tensor at_max = at::rsub(
        at::clamp_max(at::ceil(at::abs(at::sub(at::abs(diff), dist))), 1), 1);
    return at::mul(at::mul(grad, at::sign(diff)), at_max);
  }
  at::Tensor zero_dist = at::eq(dist, 0);
  at::Tensor value;
  if (p == 2) {
    value = at::div(at::mul(grad, diff), dist);
  } else if (p < 2) {
    value = at::div(at::mul(at::mul(at::sign(diff), at::pow(at::abs(diff), p - 1)), grad),
                    at::pow(dist, p - 1));
    if (p < 1) zero_dist = at::logical_or(zero_dist, at::eq(diff, 0));
  } else {
    value = at::div(at::mul(at::mul(diff, at::pow(at::abs(diff), p - 2)), grad),
                    at::pow(dist, p - 1));
  }
  return at::masked_fill(value, zero_dist, 0);
}

// x1 and x2 of cdist with their batch dimensions broadcast.
std::pair<at::Tensor, at::Tensor> CdistOperands(const at::Tensor& x1, const at::Tensor& x2) {
  std::vector<int64_t> batch = at::infer_size(x1.sizes().slice(0, x1.dim() - 2),
                                              x2.sizes().slice(0, x2.dim() - 2));
  auto expand = [&](const at::Tensor& x) {
    std::vector<int64_t> sizes = batch;
    sizes.insert(sizes.end(), {x.size(-2), x.size(-1)});
    return x.sizes() == at::IntArrayRef(sizes) ? x : at::expand_copy(x, sizes);
  };
  return {expand(x1), expand(x2)};
}

// Row i < j pairs of n rows, in pdist's order: (0, 1), (0, 2), ..., (1, 2), ...
std::pair<std::vector<int64_t>, std::vector<int64_t>> RowPairs(int64_t n) {
  std::vector<int64_t> first, second;
  for (int64_t i = 0; i < n; ++i) {
    for (int64_t j = i + 1; j < n; ++j) {
      first.push_back(i);
      second.push_back(j);
    }
  }
  return {first, second};
}

}  // namespace

at::Tensor LazyNativeFunctions::_cdist_forward(const at::Tensor& x1, const at::Tensor& x2,
                                               double p, std::optional<int64_t> compute_mode) {
  const at::Tensor meta = at::_cdist_forward(ToMeta(x1), ToMeta(x2), p, compute_mode);
  const int64_t r1 = x1.size(-2), r2 = x2.size(-2);
  if (meta.numel() == 0 || x1.size(-1) == 0) return at::zeros(meta.sizes(), x1.options());
  auto [a, b] = CdistOperands(x1, x2);
  // Euclidean distances through a matrix product, where PyTorch's kernel takes that way.
  const int64_t mode = compute_mode.value_or(0);
  if (p == 2 && (mode == 1 || (mode == 0 && (r1 > 25 || r2 > 25)))) {
    return at::_euclidean_dist(a, b);
  }
  return PNorm(at::sub(at::unsqueeze_copy(a, -2), at::unsqueeze_copy(b, -3)), p);
}

// Euclidean distances as PyTorch computes them with a matrix product:
// sqrt(max(|a|^2 - 2 a.b + |b|^2, 0)), the terms in its order.
at::Tensor LazyNativeFunctions::_euclidean_dist(const at::Tensor& x1, const at::Tensor& x2) {
  TORCH_CHECK(x1.dim() >= 2 && x2.dim() >= 2 && x1.size(-1) == x2.size(-1),
              "_euclidean_dist: expected matrices with the same number of columns, got ",
              x1.sizes(), " and ", x2.sizes());
  auto [a, b] = CdistOperands(x1, x2);
  at::Tensor a_norm = at::sum(at::pow(a, 2), at::IntArrayRef{-1}, true);
  at::Tensor b_norm = at::sum(at::pow(b, 2), at::IntArrayRef{-1}, true);
  at::Tensor left = at::cat({at::mul(a, -2), a_norm, at::ones_like(a_norm)}, -1);
  at::Tensor right = at::cat({b, at::ones_like(b_norm), b_norm}, -1);
  const int64_t r1 = a.size(-2), r2 = b.size(-2), c = left.size(-1);
  std::vector<int64_t> result_sizes(a.sizes().begin(), a.sizes().end() - 1);
  result_sizes.push_back(r2);
  if (c10::multiply_integers(result_sizes) == 0) return at::zeros(result_sizes, a.options());
  at::Tensor product = at::bmm(at::view_copy(left, {-1, r1, c}),
                               at::transpose_copy(at::view_copy(right, {-1, r2, c}), 1, 2));
  return at::sqrt(at::clamp_min(at::view_copy(product, result_sizes), 0));
}

at::Tensor LazyNativeFunctions::_cdist_backward(const at::Tensor& grad, const at::Tensor& x1,
                                                const at::Tensor& x2, double p,
                                                const at::Tensor& cdist) {
  auto [a, b] = CdistOperands(x1, x2);
  if (a.numel() == 0 || b.numel() == 0) return at::zeros_like(x1);
  at::Tensor diff = at::sub(at::unsqueeze_copy(a, -2), at::unsqueeze_copy(b, -3));
  at::Tensor each = DistanceGrad(diff, at::unsqueeze_copy(grad, -1),
                                 at::unsqueeze_copy(cdist, -1), p);
  return at::sum(each, at::IntArrayRef{-2});
}

at::Tensor LazyNativeFunctions::_pdist_forward(const at::Tensor& self, double p) {
  const at::Tensor meta = at::_pdist_forward(ToMeta(self), p);
  if (meta.numel() == 0 || self.size(1) == 0) return at::zeros(meta.sizes(), self.options());
  auto [first, second] = RowPairs(self.size(0));
  at::Tensor diff = at::sub(at::index_select(self, 0, IndexConstant(first, self)),
                            at::index_select(self, 0, IndexConstant(second, self)));
  return PNorm(diff, p);
}

at::Tensor LazyNativeFunctions::_pdist_backward(const at::Tensor& grad, const at::Tensor& self,
                                                double p, const at::Tensor& pdist) {
  TORCH_CHECK(self.dim() == 2, "pdist only supports 2D tensors, got: ", self.dim(), "D");
  if (p == 0 || grad.numel() == 0 || self.numel() == 0) return at::zeros_like(self);
  auto [first, second] = RowPairs(self.size(0));
  at::Tensor i = IndexConstant(first, self), j = IndexConstant(second, self);
  at::Tensor diff = at::sub(at::index_select(self, 0, i), at::index_select(self, 0, j));
  at::Tensor each = DistanceGrad(diff, at::unsqueeze_copy(grad, -1),
                                 at::unsqueeze_copy(pdist, -1), p);
  // Each pair adds to its first row and takes from its second.
  at::Tensor result = at::index_add(at::zeros_like(self), 0, i, each);
  return at::index_add(result, 0, j, at::neg(each));
}

namespace {

// A margin loss's input as [frames, classes]: a 0-d input is one frame of one class, a 1-d input
// one frame.
std::pair<int64_t, int64_t> MarginLossFrames(const at::Tensor& self) {
  const int64_t classes = self.dim() == 0 ? 1 : self.size(-1);
  const int64_t frames = self.dim() <= 1 ? 1 : self.size(0);
  return {frames, classes};
}

// The loss of every frame, reduced as `reduction` says, in the shape PyTorch gives it.
at::Tensor ReduceFrames(const at::Tensor& loss, int64_t reduction, at::IntArrayRef sizes) {
  if (reduction == at::Reduction::Mean) return at::mean(loss);
  if (reduction == at::Reduction::Sum) return at::sum(loss);
  return at::view_copy(loss, sizes);
}

// The incoming gradient of a loss applied to the gradient of every element ([frames, classes]).
at::Tensor ApplyIncomingGrad(const at::Tensor& grad, const at::Tensor& grad_output,
                             int64_t reduction, int64_t frames) {
  if (reduction != at::Reduction::None || grad_output.dim() == 0) {
    return at::mul(grad, at::view_copy(grad_output, at::IntArrayRef{}));
  }
  return at::mul(grad, at::view_copy(grad_output, {frames, 1}));
}

// multi_margin_loss's margin - x[target] + x[d] for every frame and class, and the mask of the
// classes that count (every class but the target).
std::pair<at::Tensor, at::Tensor> MultiMarginTerms(const at::Tensor& x, const at::Tensor& target,
                                                   const at::Scalar& margin) {
  at::Tensor picked = at::gather(x, 1, target);
  at::Tensor z = at::add(at::rsub(picked, margin), x);
  at::Tensor classes = at::arange(x.size(1), x.options().dtype(at::kLong));
  return {z, at::ne(at::unsqueeze_copy(classes, 0), target)};
}

}  // namespace

at::Tensor LazyNativeFunctions::multi_margin_loss(const at::Tensor& self, const at::Tensor& target,
                                                  const at::Scalar& p, const at::Scalar& margin,
                                                  const std::optional<at::Tensor>& weight,
                                                  int64_t reduction) {
  const at::Tensor meta = at::multi_margin_loss(ToMeta(self), ToMeta(target), p, margin,
                                                ToMeta(weight), reduction);
  auto [frames, classes] = MarginLossFrames(self);
  TORCH_CHECK(target.numel() == frames, "inconsistent target size, expected ", frames, " but got ",
              target.sizes());
  at::Tensor x = at::view_copy(self, {frames, classes});
  at::Tensor t = at::view_copy(target, {frames, 1});
  auto [z, keep] = MultiMarginTerms(x, t, margin);
  at::Tensor h = at::clamp_min(z, 0);
  if (p.toDouble() == 2) h = at::mul(h, h);
  h = at::masked_fill(h, at::logical_not(keep), 0);
  if (weight && weight->defined()) h = at::mul(h, at::unsqueeze_copy(at::gather(*weight, 0, at::view_copy(t, {frames})), 1));
  at::Tensor loss = at::div(at::sum(h, at::IntArrayRef{1}), static_cast<double>(classes));
  return ReduceFrames(loss, reduction, meta.sizes());
}

at::Tensor LazyNativeFunctions::multi_margin_loss_backward(
    const at::Tensor& grad_output, const at::Tensor& self, const at::Tensor& target,
    const at::Scalar& p, const at::Scalar& margin, const std::optional<at::Tensor>& weight,
    int64_t reduction) {
  TORCH_CHECK(p.toDouble() == 1 || p.toDouble() == 2, "only p == 1 and p == 2 supported");
  auto [frames, classes] = MarginLossFrames(self);
  TORCH_CHECK(target.numel() == frames, "inconsistent target size, expected ", frames, " but got ",
              target.sizes());
  at::Tensor x = at::view_copy(self, {frames, classes});
  at::Tensor t = at::view_copy(target, {frames, 1});
  auto [z, keep] = MultiMarginTerms(x, t, margin);
  const double g = 1.0 / static_cast<double>(reduction == at::Reduction::Mean ? frames * classes
                                                                               : classes);
  at::Tensor h = p.toDouble() == 1 ? at::full_like(z, g) : at::mul(z, 2 * g);
  h = at::masked_fill(h, at::logical_not(at::logical_and(at::gt(z, 0), keep)), 0);
  if (weight && weight->defined()) h = at::mul(h, at::unsqueeze_copy(at::gather(*weight, 0, at::view_copy(t, {frames})), 1));
  // The target class takes what the others get, negated.
  at::Tensor grad = at::scatter(h, 1, t, at::neg(at::sum(h, at::IntArrayRef{1}, true)));
  return at::view_copy(ApplyIncomingGrad(grad, grad_output, reduction, frames), self.sizes());
}

namespace {

// multilabel_margin_loss's pieces, [frames, classes] each: the target's labels up to its first
// negative entry (`valid`, and the labels with the others replaced by 0) and 1 - x[label] + x[d]
// for every label and class ([frames, labels, classes]).
struct MultilabelTerms {
  at::Tensor valid;
  at::Tensor labels;
  at::Tensor z;
};

MultilabelTerms MultilabelMarginTerms(const at::Tensor& x, const at::Tensor& target) {
  MultilabelTerms m;
  m.valid = at::ne(at::cumprod(at::ge(target, 0), 1, at::kLong), 0);
  m.labels = at::masked_fill(target, at::logical_not(m.valid), 0);
  at::Tensor picked = at::gather(x, 1, m.labels);
  m.z = at::add(at::unsqueeze_copy(at::rsub(picked, 1), 2), at::unsqueeze_copy(x, 1));
  return m;
}

// Whether each class of a [frames, labels, classes] term counts: a valid label, and a class that
// is not one of the frame's labels.
at::Tensor MultilabelKeep(const MultilabelTerms& m, const at::Tensor& is_target) {
  return at::logical_and(at::unsqueeze_copy(m.valid, 2),
                         at::unsqueeze_copy(at::logical_not(is_target), 1));
}

}  // namespace

std::tuple<at::Tensor, at::Tensor> LazyNativeFunctions::multilabel_margin_loss_forward(
    const at::Tensor& self, const at::Tensor& target, int64_t reduction) {
  auto [meta_out, meta_is_target] =
      at::multilabel_margin_loss_forward(ToMeta(self), ToMeta(target), reduction);
  auto [frames, classes] = MarginLossFrames(self);
  at::Tensor x = at::view_copy(self, {frames, classes});
  MultilabelTerms m = MultilabelMarginTerms(x, at::view_copy(target, {frames, classes}));
  // Class d is a target of its frame when a valid label names it.
  at::Tensor classes_row = at::arange(classes, target.options().dtype(at::kLong));
  at::Tensor named = at::logical_and(at::eq(at::unsqueeze_copy(m.labels, 2), classes_row),
                                     at::unsqueeze_copy(m.valid, 2));
  at::Tensor is_target = at::any(named, 1);
  at::Tensor h = at::masked_fill(at::clamp_min(m.z, 0),
                                 at::logical_not(MultilabelKeep(m, is_target)), 0);
  at::Tensor loss = at::div(at::sum(h, at::IntArrayRef{1, 2}), static_cast<double>(classes));
  return {ReduceFrames(loss, reduction, meta_out.sizes()),
          at::view_copy(at::_to_copy(is_target, self.scalar_type()), meta_is_target.sizes())};
}

at::Tensor LazyNativeFunctions::multilabel_margin_loss_backward(
    const at::Tensor& grad_output, const at::Tensor& self, const at::Tensor& target,
    int64_t reduction, const at::Tensor& is_target) {
  auto [frames, classes] = MarginLossFrames(self);
  TORCH_CHECK(target.numel() == frames * classes && is_target.numel() == frames * classes,
              "inconsistent target size: ", target.sizes(), " for input of size: ", self.sizes());
  at::Tensor x = at::view_copy(self, {frames, classes});
  MultilabelTerms m = MultilabelMarginTerms(x, at::view_copy(target, {frames, classes}));
  at::Tensor targets = at::ne(at::view_copy(is_target, {frames, classes}), 0);
  const double g = 1.0 / static_cast<double>(reduction == at::Reduction::Mean ? frames * classes
                                                                               : classes);
  at::Tensor active = at::logical_and(at::gt(m.z, 0), MultilabelKeep(m, targets));
  at::Tensor each = at::mul(at::_to_copy(active, self.scalar_type()), g);
  // Every active term adds to its class and takes from its label.
  at::Tensor grad = at::scatter_add(at::sum(each, at::IntArrayRef{1}), 1, m.labels,
                                    at::neg(at::sum(each, at::IntArrayRef{2})));
  return at::view_copy(ApplyIncomingGrad(grad, grad_output, reduction, frames), self.sizes());
}

// ---------------------------------------------------------------------------------------------
// embedding_bag: the rows of the indices gathered and added (scattered by the maximum) into their
// bags, whose extents the offsets give. The bag of every index is a comparison with the offsets.
// offset2bag holds each index's bag; an index outside every bag (before the first offset, or
// after the last one when it ends the last bag) has a bag outside [0, bags) and counts nowhere.

namespace {

enum EmbeddingBagMode { kBagSum = 0, kBagMean = 1, kBagMax = 2 };

// Whether each index counts: inside a bag, and not the padding index.
at::Tensor BagKept(const at::Tensor& bag, int64_t bags, const at::Tensor& indices,
                   int64_t padding_idx) {
  return at::logical_and(at::logical_and(at::ge(bag, 0), at::lt(bag, bags)),
                         at::ne(indices, padding_idx));
}

at::Tensor ClampedBag(const at::Tensor& bag, int64_t bags) {
  return at::clamp(bag, 0, std::max<int64_t>(bags - 1, 0));
}

// How many times each index occurs in `indices`, at every position of `indices`.
at::Tensor IndexFrequency(const at::Tensor& indices, int64_t num_weights, at::ScalarType type) {
  at::Tensor ones = at::ones(indices.sizes(), indices.options().dtype(type));
  at::Tensor counts = at::index_add(at::zeros({num_weights}, ones.options()), 0, indices, ones);
  return at::index_select(counts, 0, indices);
}

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> EmbeddingBagForward(
    const at::Tensor& weight, const at::Tensor& indices_in, const at::Tensor& offsets,
    bool scale_grad_by_freq, int64_t mode, bool sparse,
    const std::optional<at::Tensor>& per_sample_weights, bool include_last_offset,
    int64_t padding_idx) {
  // The host's checks of sizes, types and mode.
  at::_embedding_bag(ToMeta(weight), ToMeta(indices_in), ToMeta(offsets), scale_grad_by_freq,
                     mode, sparse, ToMeta(per_sample_weights), include_last_offset, padding_idx);
  TORCH_CHECK(indices_in.dim() == 1 && offsets.dim() == 1,
              "embedding_bag: expected 1-D indices and offsets, got ", indices_in.sizes(), " and ",
              offsets.sizes());
  const int64_t bags = std::max<int64_t>(offsets.size(0) - (include_last_offset ? 1 : 0), 0);
  const int64_t dim = weight.size(1), n = indices_in.size(0);
  const at::TensorOptions index_options = indices_in.options().dtype(at::kLong);
  at::Tensor indices = at::_to_copy(indices_in, at::kLong);
  // The bag of every position: how many bags start at or before it, less one.
  at::Tensor positions = at::arange(n, index_options);
  at::Tensor starts = at::_to_copy(offsets, at::kLong);
  at::Tensor bag = at::sub(
      at::sum(at::ge(at::unsqueeze_copy(positions, 1), at::unsqueeze_copy(starts, 0)),
              at::IntArrayRef{1}, false, at::kLong),
      1);
  at::Tensor kept = BagKept(bag, bags, indices, padding_idx);
  at::Tensor slot = ClampedBag(bag, bags);
  at::Tensor bag_size =
      at::index_add(at::zeros({bags}, index_options), 0, slot, at::_to_copy(kept, at::kLong));
  at::Tensor rows = at::index_select(weight, 0, indices);
  at::Tensor empty_bag = at::unsqueeze_copy(at::eq(bag_size, 0), 1);
  if (mode == kBagMax) {
    // Rows that do not count never win; an empty bag gives zeros.
    at::Tensor kept_rows = at::unsqueeze_copy(kept, 1);
    at::Tensor candidates =
        at::masked_fill(rows, at::logical_not(kept_rows), -std::numeric_limits<double>::infinity());
    at::Tensor slots = at::expand_copy(at::unsqueeze_copy(slot, 1), {n, dim});
    at::Tensor output = at::scatter_reduce(at::zeros({bags, dim}, weight.options()), 0, slots,
                                           candidates, "amax", /*include_self=*/false);
    output = at::masked_fill(output, empty_bag, 0);
    // The first position holding each maximum, and the index there (-1 for an empty bag).
    at::Tensor wins = at::logical_and(at::eq(candidates, at::index_select(output, 0, slot)),
                                      kept_rows);
    at::Tensor where = at::masked_fill(at::expand_copy(at::unsqueeze_copy(positions, 1), {n, dim}),
                                       at::logical_not(wins), n);
    at::Tensor first = at::scatter_reduce(at::full({bags, dim}, n, index_options), 0, slots, where,
                                          "amin", /*include_self=*/true);
    at::Tensor picked = at::index_select(at::cat({indices, at::full({1}, -1, index_options)}),
                                         0, at::view_copy(first, {-1}));
    at::Tensor max_indices = at::masked_fill(at::view_copy(picked, {bags, dim}), empty_bag, -1);
    return {output, bag, bag_size, max_indices};
  }
  // Sums of reduced-precision rows are taken in float and rounded once, as PyTorch's kernel does.
  const at::ScalarType type = weight.scalar_type();
  const at::ScalarType acc = at::isReducedFloatingType(type) ? at::kFloat : type;
  at::Tensor scale = at::_to_copy(kept, acc);
  if (per_sample_weights && per_sample_weights->defined()) {
    scale = at::mul(scale, at::_to_copy(*per_sample_weights, acc));
  }
  at::Tensor output = at::index_add(at::zeros({bags, dim}, weight.options().dtype(acc)), 0, slot,
                                    at::mul(at::_to_copy(rows, acc), at::unsqueeze_copy(scale, 1)));
  if (mode == kBagMean) {
    output = at::div(output, at::unsqueeze_copy(at::clamp_min(bag_size, 1), 1));
  }
  return {at::_to_copy(output, type), bag, bag_size, at::zeros({bags}, index_options)};
}

at::Tensor EmbeddingBagBackward(const at::Tensor& grad, const at::Tensor& indices_in,
                                const at::Tensor& offset2bag, const at::Tensor& bag_size,
                                const at::Tensor& maximum_indices, int64_t num_weights,
                                bool scale_grad_by_freq, int64_t mode,
                                const std::optional<at::Tensor>& per_sample_weights,
                                int64_t padding_idx) {
  TORCH_CHECK(grad.dim() == 2, "embedding_bag: expected a 2-D gradient, got ", grad.sizes());
  const int64_t bags = grad.size(0), dim = grad.size(1);
  at::Tensor indices = at::_to_copy(indices_in, at::kLong);
  at::Tensor grad_weight = at::zeros({num_weights, dim}, grad.options());
  if (mode == kBagMax) {
    // Each bag's gradient goes to the row that held its maximum (none for an empty bag).
    at::Tensor kept = at::logical_and(at::ge(maximum_indices, 0),
                                      at::ne(maximum_indices, padding_idx));
    at::Tensor rows = at::clamp_min(maximum_indices, 0);
    at::Tensor values = at::masked_fill(grad, at::logical_not(kept), 0);
    if (scale_grad_by_freq) {
      // How often each winning row's index occurs among all the indices.
      at::Tensor counts = at::index_add(at::zeros({num_weights}, grad.options()), 0, indices,
                                        at::ones(indices.sizes(), grad.options()));
      at::Tensor freq =
          at::view_copy(at::index_select(counts, 0, at::view_copy(rows, {-1})), {bags, dim});
      values = at::div(values, at::clamp_min(freq, 1));
    }
    return at::scatter_add(grad_weight, 0, rows, values);
  }
  at::Tensor kept = BagKept(offset2bag, bags, indices, padding_idx);
  at::Tensor slot = ClampedBag(offset2bag, bags);
  at::Tensor scale = at::_to_copy(kept, grad.scalar_type());
  if (per_sample_weights && per_sample_weights->defined()) {
    scale = at::mul(scale, *per_sample_weights);
  }
  if (mode == kBagMean) {
    scale = at::div(scale, at::clamp_min(at::index_select(bag_size, 0, slot), 1));
  }
  if (scale_grad_by_freq) {
    scale = at::div(scale, IndexFrequency(indices, num_weights, grad.scalar_type()));
  }
  at::Tensor rows = at::mul(at::index_select(grad, 0, slot), at::unsqueeze_copy(scale, 1));
  return at::index_add(grad_weight, 0, indices, rows);
}

}  // namespace

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> LazyNativeFunctions::_embedding_bag(
    const at::Tensor& weight, const at::Tensor& indices, const at::Tensor& offsets,
    bool scale_grad_by_freq, int64_t mode, bool sparse,
    const std::optional<at::Tensor>& per_sample_weights, bool include_last_offset,
    int64_t padding_idx) {
  return EmbeddingBagForward(weight, indices, offsets, scale_grad_by_freq, mode, sparse,
                             per_sample_weights, include_last_offset, padding_idx);
}

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>
LazyNativeFunctions::_embedding_bag_forward_only(
    const at::Tensor& weight, const at::Tensor& indices, const at::Tensor& offsets,
    bool scale_grad_by_freq, int64_t mode, bool sparse,
    const std::optional<at::Tensor>& per_sample_weights, bool include_last_offset,
    int64_t padding_idx) {
  return EmbeddingBagForward(weight, indices, offsets, scale_grad_by_freq, mode, sparse,
                             per_sample_weights, include_last_offset, padding_idx);
}

at::Tensor LazyNativeFunctions::_embedding_bag_backward(
    const at::Tensor& grad, const at::Tensor& indices, const at::Tensor& offsets,
    const at::Tensor& offset2bag, const at::Tensor& bag_size, const at::Tensor& maximum_indices,
    int64_t num_weights, bool scale_grad_by_freq, int64_t mode, bool sparse,
    const std::optional<at::Tensor>& per_sample_weights, int64_t padding_idx) {
  TORCH_CHECK(!sparse, "embedding_bag with sparse=True: its gradient is a sparse tensor, and the "
              "lazy device holds strided tensors only");
  return EmbeddingBagBackward(grad, indices, offset2bag, bag_size, maximum_indices, num_weights,
                              scale_grad_by_freq, mode, per_sample_weights, padding_idx);
}

at::Tensor LazyNativeFunctions::_embedding_bag_dense_backward(
    const at::Tensor& grad, const at::Tensor& indices, const at::Tensor& offset2bag,
    const at::Tensor& bag_size, const at::Tensor& maximum_indices, int64_t num_weights,
    bool scale_grad_by_freq, int64_t mode, const std::optional<at::Tensor>& per_sample_weights,
    int64_t padding_idx) {
  return EmbeddingBagBackward(grad, indices, offset2bag, bag_size, maximum_indices, num_weights,
                              scale_grad_by_freq, mode, per_sample_weights, padding_idx);
}

// The gradient of each per-sample weight: its row of the weight times its bag's gradient.
at::Tensor LazyNativeFunctions::_embedding_bag_per_sample_weights_backward(
    const at::Tensor& grad, const at::Tensor& weight, const at::Tensor& indices_in,
    const at::Tensor& offsets, const at::Tensor& offset2bag, int64_t mode, int64_t padding_idx) {
  TORCH_CHECK(mode == kBagSum,
              "embedding_bag_backward: per_sample_weights only supported for mode='sum'");
  const int64_t bags = grad.size(0);
  at::Tensor indices = at::_to_copy(indices_in, at::kLong);
  at::Tensor kept = BagKept(offset2bag, bags, indices, padding_idx);
  // Reduced-precision products are summed in float, as PyTorch's kernel does.
  const at::ScalarType type = grad.scalar_type();
  const at::ScalarType acc = at::isReducedFloatingType(type) ? at::kFloat : type;
  at::Tensor products =
      at::mul(at::_to_copy(at::index_select(grad, 0, ClampedBag(offset2bag, bags)), acc),
              at::_to_copy(at::index_select(weight, 0, indices), acc));
  at::Tensor sums = at::masked_fill(at::sum(products, at::IntArrayRef{1}), at::logical_not(kept), 0);
  return at::_to_copy(sums, type);
}

// ---------------------------------------------------------------------------------------------
// rrelu: in training, each non-positive element is scaled by a slope drawn uniformly from
// [lower, upper] (the noise holds the slope, 1 elsewhere); otherwise leaky_relu with the mean
// slope, the noise untouched. (A functional variant PyTorch generates from rrelu_with_noise, which
// the kernel generator does not take: registered in RegisterTorchMlirExtraKernels.)
namespace {

std::tuple<at::Tensor, at::Tensor> RreluWithNoiseFunctional(
    const at::Tensor& self, const at::Tensor& noise, const at::Scalar& lower,
    const at::Scalar& upper, bool training, std::optional<at::Generator> generator) {
  TORCH_CHECK(lower.toDouble() <= upper.toDouble(),
              "Lower bound should be less than or equal to the upper bound");
  TORCH_CHECK(noise.sizes() == self.sizes(), "rrelu_with_noise: the noise's size ", noise.sizes(),
              " differs from the input's ", self.sizes());
  if (!training) {
    return {at::leaky_relu(self, (lower.toDouble() + upper.toDouble()) / 2), at::clone(noise)};
  }
  at::Tensor slope = at::uniform(at::empty_like(self), lower.toDouble(), upper.toDouble(),
                                 std::move(generator));
  at::Tensor scaled = at::le(self, 0);
  return {at::where(scaled, at::mul(self, slope), self),
          at::_to_copy(at::where(scaled, slope, at::ones_like(slope)), noise.scalar_type())};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// combinations: the r-tuples of a vector's elements, in PyTorch's (lexicographic) order, gathered
// with a table of positions that depends on the length alone. PyTorch's composite selects them
// from a grid with a mask (masked_select), a result whose size the program could only learn from
// the mask's values. Runs above autograd (registered in RegisterTorchMlirExtraKernels), so the
// gather's gradient is recorded.
namespace {

at::Tensor LazyCombinations(const at::Tensor& self, int64_t r, bool with_replacement) {
  TORCH_CHECK(self.dim() == 1, "Expect a 1D vector, but got shape ", self.sizes());
  TORCH_CHECK(r >= 0, "Expect a non-negative number, but got ", r);
  if (r == 0) return at::empty({0}, self.options());
  const int64_t n = self.size(0);
  // Every non-decreasing (with replacement) or increasing tuple of positions, in order.
  std::vector<int64_t> table, tuple(r);
  std::function<void(int64_t, int64_t)> visit = [&](int64_t k, int64_t from) {
    if (k == r) {
      table.insert(table.end(), tuple.begin(), tuple.end());
      return;
    }
    for (int64_t i = from; i < n; ++i) {
      tuple[k] = i;
      visit(k + 1, with_replacement ? i : i + 1);
    }
  };
  visit(0, 0);
  const int64_t count = static_cast<int64_t>(table.size()) / r;
  // No tuple: an empty slice, still tied to `self` for autograd (the gradient of a gather with
  // no index fails in index_add's checks on this device).
  if (count == 0) return self.narrow(0, 0, 0).view({0, r});
  // Made like PyTorch's tensor constructors make their constants: moved with functionalization
  // off, then lifted.
  at::Tensor positions;
  {
    c10::impl::ExcludeDispatchKeyGuard guard(c10::DispatchKey::Functionalize);
    at::AutoDispatchBelowADInplaceOrView below_autograd;
    positions = at::tensor(table, at::TensorOptions(at::kLong)).to(self.device());
  }
  positions = at::lift_fresh(positions);
  return at::index_select(self, 0, positions).view({count, r});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Functionalize kernels for composites that PyTorch's Functionalize fallback would run below
// functionalization, where the views they take are as_strided views a lazy tensor cannot hold. On
// the lazy device they run above it instead, so their views are functionalized like the user's
// own; autograd above still sees the operator and its gradient. Tensors of other devices take the
// fallback's way.
//  - The unsafe splits (the recurrent layers split their gates with unsafe_chunk): their pieces
//    share the input's storage like split's, autograd only does not treat them as views. As
//    functional views of the input, a write into a piece reaches the input, as on the host.
//  - _pack_padded_sequence (nn.utils.rnn.pack_padded_sequence): slices of the input, whose lengths
//    and batch sizes are host tensors.

namespace {

bool IsLazy(const at::Tensor& t) { return t.device().type() == c10::kLazy; }

void WrapResults(std::vector<at::Tensor>& results) {
  for (at::Tensor& t : results) t = at::functionalization::impl::to_functional_tensor(t);
}

void WrapResults(std::tuple<at::Tensor, at::Tensor>& results) {
  std::get<0>(results) = at::functionalization::impl::to_functional_tensor(std::get<0>(results));
  std::get<1>(results) = at::functionalization::impl::to_functional_tensor(std::get<1>(results));
}

// What PyTorch's Functionalize fallback does: `call` runs below functionalization on the current
// values of `self` (and of the other arguments, which it unwraps with Unwrapped), its results are
// wrapped again.
at::Tensor Unwrapped(const at::Tensor& t) {
  if (!at::functionalization::impl::isFunctionalTensor(t)) return t;
  at::functionalization::impl::sync(t);
  return at::functionalization::impl::from_functional_tensor(t);
}

template <typename Call>
auto AsFallback(const at::Tensor& self, Call call) {
  const bool functional = at::functionalization::impl::isFunctionalTensor(self);
  at::Tensor inner = Unwrapped(self);
  decltype(call(inner)) results;
  {
    at::AutoDispatchSkipFunctionalize guard;
    results = call(inner);
  }
  if (functional) WrapResults(results);
  return results;
}

std::vector<at::Tensor> FunctionalizeUnsafeSplit(const at::Tensor& self, c10::SymInt split_size,
                                                 int64_t dim) {
  if (IsLazy(self)) return at::split_symint(self, std::move(split_size), dim);
  return AsFallback(self, [&](const at::Tensor& t) {
    return at::unsafe_split_symint(t, split_size, dim);
  });
}

std::vector<at::Tensor> FunctionalizeUnsafeSplitWithSizes(const at::Tensor& self,
                                                          c10::SymIntArrayRef split_sizes,
                                                          int64_t dim) {
  if (IsLazy(self)) return at::split_with_sizes_symint(self, split_sizes, dim);
  return AsFallback(self, [&](const at::Tensor& t) {
    return at::unsafe_split_with_sizes_symint(t, split_sizes, dim);
  });
}

std::tuple<at::Tensor, at::Tensor> FunctionalizePackPaddedSequence(const at::Tensor& input,
                                                                   const at::Tensor& lengths,
                                                                   bool batch_first) {
  if (IsLazy(input)) {
    // The host kernel reads the lengths; they must be a host tensor, as on every device.
    TORCH_CHECK(!IsLazy(lengths) && !at::functionalization::impl::isFunctionalTensor(lengths),
                "pack_padded_sequence: the lengths must be a 1-D int64 tensor on the CPU, not on "
                "the lazy device");
    return at::native::_pack_padded_sequence(input, lengths, batch_first);
  }
  at::Tensor host_lengths = Unwrapped(lengths);
  return AsFallback(input, [&](const at::Tensor& t) {
    return at::_pack_padded_sequence(t, host_lengths, batch_first);
  });
}

// Functional custom operators whose implementation writes into views of buffers it makes
// (nn.functional.linear_cross_entropy's chunked forms): PyTorch's fallback would run that
// implementation below functionalization, where those views are as_strided views a lazy tensor
// cannot hold. On the lazy device the implementation runs above it instead (the operator's
// kernel for the device, called with functionalization still on), so its writes are
// functionalized like the user's own. Other devices take the fallback's way.
void FunctionalizeCustomComposite(const c10::OperatorHandle& op, c10::DispatchKeySet keys,
                                  torch::jit::Stack* stack) {
  const size_t num_arguments = op.schema().arguments().size();
  const auto arguments = torch::jit::last(*stack, num_arguments);
  const bool lazy = std::any_of(arguments.begin(), arguments.end(), [](const c10::IValue& v) {
    return v.isTensor() && v.toTensor().defined() && IsLazy(v.toTensor());
  });
  if (lazy) {
    op.redispatchBoxed(c10::DispatchKeySet(c10::DispatchKey::Lazy), stack);
    return;
  }
  const size_t first = stack->size() - num_arguments;
  bool functional = false;
  for (size_t i = first; i < stack->size(); ++i) {
    c10::IValue& v = (*stack)[i];
    if (v.isTensor() && at::functionalization::impl::isFunctionalTensor(v.toTensor())) {
      functional = true;
      v = Unwrapped(v.toTensor());
    }
  }
  {
    at::AutoDispatchSkipFunctionalize guard;
    op.redispatchBoxed(keys & c10::after_func_keyset, stack);
  }
  if (!functional) return;
  const size_t num_returns = op.schema().returns().size();
  for (size_t i = stack->size() - num_returns; i < stack->size(); ++i) {
    c10::IValue& v = (*stack)[i];
    if (v.isTensor() && v.toTensor().defined()) {
      v = at::functionalization::impl::to_functional_tensor(v.toTensor());
    }
  }
}

}  // namespace

}  // namespace lazy
}  // namespace torch

namespace at {

void RegisterTorchMlirFunctionalizeKernels() {
  // Made once and kept for the life of the process: a second registration would fail.
  static const auto library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::Functionalize, __FILE__,
                                                __LINE__);
    lib->impl("unsafe_split.Tensor", TORCH_FN(torch::lazy::FunctionalizeUnsafeSplit));
    lib->impl("unsafe_split_with_sizes",
              TORCH_FN(torch::lazy::FunctionalizeUnsafeSplitWithSizes));
    lib->impl("_pack_padded_sequence",
              TORCH_FN(torch::lazy::FunctionalizePackPaddedSequence));
    return lib;
  }();
  // Registered before Python defines them (at the first import of their module).
  static const auto custom_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "torch_nn",
                                                c10::DispatchKey::Functionalize, __FILE__,
                                                __LINE__);
    for (const char* name : {"_linear_cross_entropy_batch_chunked",
                             "_linear_cross_entropy_batch_chunked_no_reduction"}) {
      lib->impl(name, torch::CppFunction::makeFromBoxedFunction<
                          &torch::lazy::FunctionalizeCustomComposite>());
    }
    return lib;
  }();
  (void)library;
  (void)custom_library;
}

void RegisterTorchMlirExtraKernels() {
  // Made once and kept for the life of the process, like the others.
  static const auto lazy_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::Lazy, __FILE__, __LINE__);
    lib->impl("rrelu_with_noise_functional",
              TORCH_FN(torch::lazy::RreluWithNoiseFunctional));
    return lib;
  }();
  static const auto autograd_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::AutogradLazy, __FILE__,
                                                __LINE__);
    lib->impl("combinations", TORCH_FN(torch::lazy::LazyCombinations));
    return lib;
  }();
  (void)lazy_library;
  (void)autograd_library;
}

}  // namespace at
