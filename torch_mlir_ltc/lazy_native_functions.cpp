// Hand-written lazy kernels: moving data between host and device, tensor creation on the device,
// and the few operators whose generated kernels would not fit functionalization.
#include <ATen/Functions.h>
#include <ATen/FunctionalTensorWrapper.h>
#include <ATen/native/CPUFallback.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/lazy/core/helpers.h>
#include <torch/csrc/lazy/core/ir_builder.h>
#include <torch/csrc/lazy/core/lazy_graph_executor.h>
#include <torch/csrc/lazy/core/shape_inference.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/csrc/lazy/core/tensor_impl.h>
#include <torch/csrc/lazy/core/tensor_util.h>

#include "LazyIr.h"
#include "LazyNativeFunctions.h"

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
    // Host to lazy: a new lazy tensor whose data becomes backend data at once.
    return to_lazy_tensor(self, options, *device, non_blocking, functionalize_outputs());
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
  // The tensor starts on the host and becomes backend data when the lazy tensor is registered.
  const auto device_type = getBackend()->EagerFallbackDeviceType();
  at::TensorOptions options = at::TensorOptions()
                                  .device(c10::Device(device_type))
                                  .layout(layout)
                                  .pinned_memory(pin_memory)
                                  .dtype(dtype);
  auto host = at::empty_symint(sym_size, options, memory_format);
  auto ltc_device = GetLtcDevice(device);
  TORCH_CHECK(ltc_device, "empty: expected a lazy device");
  return maybe_functional(CreateAtenFromLtcTensor(LazyTensor::Create(host, *ltc_device)));
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

}  // namespace lazy
}  // namespace torch
