// Complex numbers and Fourier transforms, on the ATen kernels eager PyTorch uses.
#include "Kernel.h"

namespace lumo {

Kernel planFft(OpView &op) {
  Shape length = op.intsAttr("fft_length", {});
  std::string type = op.enumAttr("fft_type", "");
  int64_t rank = op.operandRank(0), k = static_cast<int64_t>(length.size());
  std::vector<int64_t> dims;
  for (int64_t d = rank - k; d < rank; ++d)
    dims.push_back(d);
  // ATen's normalisations: 0 none, 2 divided by n (the inverse transforms).
  if (type == "FFT")
    return single([dims](KernelContext &c) { return at::_fft_c2c(c.in(0), dims, 0, /*forward=*/true); });
  if (type == "IFFT")
    return single([dims](KernelContext &c) { return at::_fft_c2c(c.in(0), dims, 2, /*forward=*/false); });
  if (type == "RFFT")
    return single([dims](KernelContext &c) { return at::_fft_r2c(c.in(0), dims, 0, /*onesided=*/true); });
  if (type == "IRFFT") {
    int64_t last = length.back();
    return single([dims, last](KernelContext &c) { return at::_fft_c2r(c.in(0), dims, 2, last); });
  }
  op.fail("unknown fft_type \"" + type + "\"");
}

Kernel planReal(OpView &) {
  return single([](KernelContext &c) { return at::real(c.in(0)).contiguous(); });
}

Kernel planImag(OpView &) {
  return single([](KernelContext &c) { return at::imag(c.in(0)).contiguous(); });
}

Kernel planComplex(OpView &op) {
  Shape shape = op.resultShape();
  return single([shape](KernelContext &c) { return at::complex(c.in(0), c.in(1)).expand(shape).contiguous(); });
}

} // namespace lumo
