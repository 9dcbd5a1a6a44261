// Computing the value of a lazy tensor on the host, from the host's copies of the data its graph
// reads: the graph is lowered into a TorchScript graph, as for the backend, and that graph runs on
// host tensors. Nothing of the lazy tensor or its graph changes.
#pragma once

#include <string>

#include <ATen/core/Tensor.h>
#include <torch/csrc/lazy/core/tensor.h>

namespace torch {
namespace lazy {

// The value of `tensor` as a host tensor, or an undefined tensor when the host cannot compute it;
// `*why` then says why (data the host does not hold, a random operator whose values the program
// draws, an operator that fails on the host). On success `*graph_text`, when given, receives the
// text of the lazy graph the value was computed from.
at::Tensor ComputeOnHost(const LazyTensorPtr& tensor, std::string* why,
                         std::string* graph_text = nullptr);

}  // namespace lazy
}  // namespace torch
