#include "backend_impl.h"

#include <stdexcept>

#include <ATen/Functions.h>

#include "torch_mlir_ltc/ir_builder.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace torch {
namespace lazy {

namespace {
std::atomic<uint64_t> placeholder_counter{0};
}

thread_local int HostConstantScope::depth_ = 0;

TorchMlirBackendData::Info::Info()
    : name("placeholder" + std::to_string(placeholder_counter.fetch_add(1))) {}

TorchMlirBackendData::Info::Info(const at::Tensor& t)
    : tensor(t), requires_grad(t.defined() && t.requires_grad()) {}

TorchMlirBackendData::Info::Info(const at::Scalar& s) : scalar(s) {}

TorchMlirBackendData::TorchMlirBackendData(BackendDevice device, Shape shape,
                                           std::shared_ptr<Info> info)
    : BackendData(std::move(device), std::move(shape)), info_(std::move(info)) {}

void TorchMlirBackendData::Assign(const BackendData& data) {
  const auto* other = dynamic_cast<const TorchMlirBackendData*>(&data);
  TORCH_CHECK(other != nullptr, "Invalid Backend Data Pointer. Expected TorchMlirBackendData.");
  info_ = other->info_;
  uninitialized_ = other->uninitialized_;
}

bool TorchMlirBackendData::HasValue() const {
  // The record may keep its data elsewhere (a file, or nowhere); what matters to LTC is that the
  // data is settled, which it is as soon as the record exists.
  return info_ != nullptr;
}

const IrBuilder* TorchMlirBackendImpl::GetIrBuilder() const {
  static const IrBuilder* builder = new TorchMlirIrBuilder();
  return builder;
}

BackendDataPtr TorchMlirBackendImpl::GetComputationDataFromNode(const Node* node) const {
  const DeviceData* device_data = DeviceData::Cast(node);
  if (device_data == nullptr) return nullptr;
  // The data of an empty tensor is no parameter of a computation: its lowering makes the tensor.
  const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(device_data->data().get());
  if (mlir_data != nullptr && mlir_data->uninitialized()) return nullptr;
  return device_data->data();
}

at::Tensor TorchMlirBackendImpl::HostData(const BackendDataPtr& data, std::string* why) const {
  const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(data.get());
  const TorchMlirBackendData::Info* info = mlir_data ? mlir_data->mlir_info() : nullptr;
  if (info != nullptr && info->scalar) {
    return at::scalar_tensor(*info->scalar, at::TensorOptions().dtype(data->shape().scalar_type()));
  }
  if (info != nullptr && info->tensor.defined()) return info->tensor;
  *why = "the host holds no data for \"" + (info ? info->name : std::string()) + "\"";
  return at::Tensor();
}

std::vector<BackendDevice> TorchMlirBackendImpl::GetBackendDevices() const {
  return {GetBackendDevice(c10::Device(c10::kLazy, 0))};
}

BackendDevice TorchMlirBackendImpl::GetBackendDevice(c10::Device device) const {
  return BackendDevice(GetDefaultDeviceType(), device.has_index() ? device.index() : 0);
}

}  // namespace lazy
}  // namespace torch
