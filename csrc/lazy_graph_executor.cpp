#include "lazy_graph_executor.h"

#include <ATen/Functions.h>
#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>
#include <torch/csrc/lazy/core/tensor_util.h>

#include "computation.h"
#include "ox_metadata.h"
#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/ops/device_data.h"
#include "torch_mlir_ltc/utils/debug.h"
#include "utils.h"

namespace torch {
namespace lazy {

bool retrace_every_iteration = true;

std::unordered_set<int64_t>& GetOutputIds() {
  static std::unordered_set<int64_t> output_ids;
  return output_ids;
}

std::unordered_map<int64_t, at::Tensor>& GetCachedOutputTensorMappings() {
  static std::unordered_map<int64_t, at::Tensor> cached_output_tensor_mappings;
  return cached_output_tensor_mappings;
}

std::vector<LazyTensorPtr>& GetOutputTensors() {
  static std::vector<LazyTensorPtr> output_tensors;
  return output_tensors;
}

std::vector<BackendDataPtr>& GetOutputTensorData() {
  static std::vector<BackendDataPtr> output_tensor_data;
  return output_tensor_data;
}

void OrvexLazyGraphExecutor::RegisterTensor(std::shared_ptr<LazyTensor::Data> data) {
  PRINT_FUNCTION();
  LazyGraphExecutor::RegisterTensor(data);
  // A lazy tensor never keeps an eager copy: its contents become backend data now.
  if (data->tensor_data) {
    data->handle = TensorToDataHandle(*data->tensor_data, data->device);
    data->tensor_data.reset();
  }
}

void OrvexLazyGraphExecutor::UnregisterTensor(LazyTensor::Data* data) {
  PRINT_FUNCTION();
  LazyGraphExecutor::UnregisterTensor(data);
}

bool OrvexLazyGraphExecutor::ShouldSyncTensor(const LazyTensorPtr& tensor) const {
  static CachedOrvexComputation* cache = GetCachedOrvexComputation();
  const auto& output_ids = GetOutputIds();
  const int64_t id = tensor->GetUniqueId();
  Value value = tensor->GetIrValue();
  bool sync;
  if (cache->latest_hash() != 0) {
    sync = output_ids.count(id) > 0;
  } else {
    sync = output_ids.count(id) > 0 || value->op() != ltc_not_supported;
  }
  if (!sync) {
    mFwLtcTrace << "Not syncing tensor [" << id << "]: " << value->ToString();
    return false;
  }
  GetOutputTensors().push_back(tensor);
  mFwLtcTrace << "Syncing tensor [" << id << "]: " << value->ToString();
  DeviceData* device_data = device_data_cast(value);
  GetOutputTensorData().push_back(device_data ? device_data->data() : nullptr);
  return true;
}

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor() {
  static OrvexLazyGraphExecutor* orvex_lazy_graph_executor = new OrvexLazyGraphExecutor();
  return orvex_lazy_graph_executor;
}

at::Tensor MarkOutputTensor(at::Tensor tensor, bool force) {
  auto& output_ids = GetOutputIds();
  auto& cached_mappings = GetCachedOutputTensorMappings();

  auto device = GetBackendDevice(tensor);
  TORCH_CHECK(device);
  LazyTensorPtr lazy = GetLtcTensorOrCreateForWrappedNumber(tensor, *device);
  Value value = lazy->GetIrValue();
  const int64_t id = lazy->GetUniqueId();
  if (!value.node) {
    mFwLtcFatal << "Cannot pass tensor " << id
                << " to a step closure as it is not a traced lazy tensor. One potential fix is to "
                   "perform an identity operation on the tensor (e.g., multiply by 1) before "
                   "passing it into a step closure.";
  }

  if (force) {
    auto cached = cached_mappings.find(id);
    if (cached != cached_mappings.end()) {
      mFwLtcDebug << "Using cached tensor [" << TryGetLtcTensor(cached->second)->GetUniqueId()
                  << "] for marking tensor [" << id << "]: " << value->ToString()
                  << " as an output.";
      return cached->second;
    }
    at::Tensor replacement = at::reshape(tensor, tensor.sizes());
    MarkOutputTensor(replacement);
    cached_mappings[id] = replacement;
    LazyTensorPtr lazy_replacement = TryGetLtcTensor(replacement);
    mFwLtcDebug << "Marked tensor [" << lazy_replacement->GetUniqueId()
                << "]: " << lazy_replacement->GetIrValue()->ToString()
                << " as output in place of the original tensor [" << id
                << "]: " << value->ToString() << ".";
    return replacement;
  }

  if (DeviceData* device_data = device_data_cast(value)) {
    if (OrvexMetadata::get(device_data)->uses.empty()) {
      mFwLtcDebug << "Did not mark [" << id << "]: " << value->ToString()
                  << " as an output as it has no uses.";
      return tensor;
    }
    auto* mlir_data = dynamic_cast<TorchMlirBackendData*>(device_data->data().get());
    TORCH_CHECK(mlir_data);
    auto* info = mlir_data->mlir_info();
    TORCH_CHECK(info);
    if (lazy->CurrentDataHandle()) {
      // Drops the handle: the tensor is then backed by its device-data node, so that LTC's sync
      // collection (which skips tensors holding a handle) asks whether to sync it.
      lazy->SetIrValue(lazy->GetIrValue());
    }
  }
  if (BackendDataPtr handle = lazy->CurrentDataHandle()) {
    OrvexMetadata::get(value.node.get())->data = handle;
  }
  if (output_ids.count(id)) {
    mFwLtcDebug << "Did not mark [" << id << "]: " << value->ToString()
                << " as an output since it is a duplicate.";
    return tensor;
  }
  output_ids.insert(id);
  mFwLtcDebug << "Marked [" << id << "]: " << value->ToString() << " as an output.";
  return tensor;
}

void MarkOutputTensor(at::Tensor tensor) { MarkOutputTensor(std::move(tensor), false); }

}  // namespace lazy
}  // namespace torch
