// The device of a lazy kernel's arguments, for optional tensors too.
//
// LTC finds the device of a kernel's tensors with a variadic GetBackendDevice that has no overload
// for std::optional<at::Tensor>: given one (clamp(cpu_scalar, max=lazy), the tensors before it not
// lazy) it calls itself until the stack overflows. This overload is found by argument-dependent
// lookup (std::optional<at::Tensor> is associated with namespace at) and preferred to the template.
#pragma once

#include <optional>

#include <ATen/Tensor.h>
#include <torch/csrc/lazy/backend/backend_device.h>

namespace at {

inline std::optional<torch::lazy::BackendDevice> GetBackendDevice(
    const std::optional<at::Tensor>& tensor) {
  return tensor.has_value() ? torch::lazy::GetBackendDevice(*tensor)
                            : std::optional<torch::lazy::BackendDevice>();
}

}  // namespace at
