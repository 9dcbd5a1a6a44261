#include "lazy_graph_executor.h"

#include <torch/csrc/lazy/core/tensor_util.h>

#include "torch_mlir_ltc/utils/debug.h"

namespace torch {
namespace lazy {

bool retrace_every_iteration = true;

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

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor() {
  static OrvexLazyGraphExecutor* orvex_lazy_graph_executor = new OrvexLazyGraphExecutor();
  return orvex_lazy_graph_executor;
}

}  // namespace lazy
}  // namespace torch
