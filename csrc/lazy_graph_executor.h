#pragma once

#include <torch/csrc/lazy/core/lazy_graph_executor.h>

namespace torch {
namespace lazy {

class OrvexLazyGraphExecutor : public LazyGraphExecutor {};

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor();

// Whether the end of every execution clears the cached output-tensor mappings.
extern bool retrace_every_iteration;

}  // namespace lazy
}  // namespace torch
