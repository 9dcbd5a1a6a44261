#include "shape_inference.h"

namespace torch {
namespace lazy {

std::vector<torch::lazy::Shape> compute_shape_fill(const at::Tensor& self,
                                                   const at::Scalar& value) {
  return {Shape(self.scalar_type(), self.sizes().vec())};
}

}  // namespace lazy
}  // namespace torch
