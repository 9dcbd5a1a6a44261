#include "lazy_graph_executor.h"

namespace torch {
namespace lazy {

bool retrace_every_iteration = true;

OrvexLazyGraphExecutor* GetOrvexLazyGraphExecutor() {
  static OrvexLazyGraphExecutor* executor = new OrvexLazyGraphExecutor();
  return executor;
}

}  // namespace lazy
}  // namespace torch
