// Contractions, convolution, pooling, normalisations and optimizer steps: each on the ATen kernel
// eager PyTorch uses for the same computation.
#include "Kernel.h"

#include <ATen/TensorUtils.h>

#include <algorithm>

namespace lumo {

// ------------------------------------------------------------------ contractions

Kernel planDotGeneral(OpView &op) {
  Shape lhs = op.operandShape(0), rhs = op.operandShape(1), out = op.resultShape();
  Shape lb = op.intsAttr("lhs_batching_dimensions", {}), rb = op.intsAttr("rhs_batching_dimensions", {});
  Shape lc = op.intsAttr("lhs_contracting_dimensions", {}), rc = op.intsAttr("rhs_contracting_dimensions", {});
  if (lb.size() != rb.size() || lc.size() != rc.size())
    op.fail("batching and contracting dimension lists must pair up");
  auto freeDims = [](size_t rank, const Shape &a, const Shape &b) {
    Shape free;
    for (int64_t d = 0; d < static_cast<int64_t>(rank); ++d)
      if (!llvm::is_contained(a, d) && !llvm::is_contained(b, d))
        free.push_back(d);
    return free;
  };
  auto product = [](const Shape &shape, const Shape &ds) {
    int64_t p = 1;
    for (int64_t d : ds)
      p *= shape[d];
    return p;
  };
  for (const Shape *ds : {&lb, &lc})
    for (int64_t d : *ds)
      op.dim(d, lhs.size());
  for (const Shape *ds : {&rb, &rc})
    for (int64_t d : *ds)
      op.dim(d, rhs.size());
  Shape lf = freeDims(lhs.size(), lb, lc), rf = freeDims(rhs.size(), rb, rc);
  // lhs as [batch, free, contracting], rhs as [batch, contracting, free]: one (batched) matrix product.
  Shape lperm = lb, rperm = rb;
  lperm.insert(lperm.end(), lf.begin(), lf.end());
  lperm.insert(lperm.end(), lc.begin(), lc.end());
  rperm.insert(rperm.end(), rc.begin(), rc.end());
  rperm.insert(rperm.end(), rf.begin(), rf.end());
  int64_t b = product(lhs, lb), m = product(lhs, lf), k = product(lhs, lc), n = product(rhs, rf);
  if (lb.empty())
    return single([=](KernelContext &c) {
      at::Tensor a = c.in(0).permute(lperm).reshape({m, k}), bm = c.in(1).permute(rperm).reshape({k, n});
      return at::mm(a, bm).reshape(out);
    });
  return single([=](KernelContext &c) {
    at::Tensor a = c.in(0).permute(lperm).reshape({b, m, k}), bm = c.in(1).permute(rperm).reshape({b, k, n});
    return at::bmm(a, bm).reshape(out);
  });
}

namespace {

// The product of operands with one batch shape into `out` (contiguous), reading each operand where
// it lies: batch dimensions whose strides merge go to one at::bmm, the others are looped over
// (at::matmul would copy such an operand to merge them).
void batchedProduct(const at::Tensor &a, const at::Tensor &b, at::Tensor &out) {
  int64_t m = a.size(-2), k = a.size(-1), n = b.size(-1);
  if (a.dim() == 3) {
    at::bmm_out(out, a, b);
    return;
  }
  int64_t batch = out.numel() / std::max<int64_t>(m * n, 1);
  auto stridesA = at::detail::computeStride(a.sizes(), a.strides(), at::IntArrayRef{batch, m, k});
  auto stridesB = at::detail::computeStride(b.sizes(), b.strides(), at::IntArrayRef{batch, k, n});
  if (stridesA && stridesB) {
    at::Tensor flat = out.view({batch, m, n});
    at::bmm_out(flat, a.as_strided({batch, m, k}, *stridesA), b.as_strided({batch, k, n}, *stridesB));
    return;
  }
  for (int64_t i = 0; i < a.size(0); ++i) {
    at::Tensor part = out.select(0, i);
    batchedProduct(a.select(0, i), b.select(0, i), part);
  }
}

} // namespace

Kernel planMatMul(OpView &op) {
  if (op.operandRank(0) < 2 || op.operandRank(1) < 2)
    op.fail("both operands need rank 2 or more");
  bool ta = op.boolAttr("transpose_a", false), tb = op.boolAttr("transpose_b", false);
  Shape out = op.resultShape();
  bool sameBatch = op.operandRank(0) > 3 && op.operandRank(1) == op.operandRank(0) &&
                   llvm::ArrayRef<int64_t>(op.operandShape(0)).drop_back(2) ==
                       llvm::ArrayRef<int64_t>(op.operandShape(1)).drop_back(2);
  return single([ta, tb, sameBatch, out](KernelContext &c) {
    at::Tensor a = ta ? c.in(0).transpose(-1, -2) : c.in(0);
    at::Tensor b = tb ? c.in(1).transpose(-1, -2) : c.in(1);
    if (!sameBatch || a.numel() == 0 || b.numel() == 0)
      return at::matmul(a, b);
    at::Tensor result = at::empty(out, a.options());
    batchedProduct(a, b, result);
    return result;
  });
}

// ------------------------------------------------------------------ convolution

namespace {

Shape spatial(const Shape &shape, bool channelsLast) {
  return channelsLast ? Shape(shape.begin() + 1, shape.end() - 1) : Shape(shape.begin() + 2, shape.end());
}

// A padding attribute as (low, high) per spatial dimension.
void lowHigh(const OpView &op, size_t n, Shape &low, Shape &high) {
  Shape p = op.intsAttr("padding", Shape(n, 0));
  if (p.size() == 1 && n > 1)
    p.assign(n, p[0]);
  if (p.size() == n) {
    low = high = p;
  } else if (p.size() == 2 * n) {
    for (size_t i = 0; i < n; ++i) {
      low.push_back(p[2 * i]);
      high.push_back(p[2 * i + 1]);
    }
  } else {
    op.fail("padding needs one or two entries per spatial dimension");
  }
}

// Padding ATen's kernels take on both sides, and what remains on either side for constant_pad_nd
// (in its last-dimension-first order).
struct SplitPadding {
  Shape both;
  std::vector<int64_t> extra;
  bool hasExtra = false;
};

SplitPadding splitPadding(const Shape &low, const Shape &high) {
  SplitPadding s;
  for (size_t i = 0; i < low.size(); ++i)
    s.both.push_back(std::min(low[i], high[i]));
  for (size_t i = low.size(); i-- > 0;) {
    s.extra.push_back(low[i] - s.both[i]);
    s.extra.push_back(high[i] - s.both[i]);
  }
  s.hasExtra = std::any_of(s.extra.begin(), s.extra.end(), [](int64_t v) { return v != 0; });
  return s;
}

} // namespace

Kernel planConvolution(OpView &op) {
  Shape in = op.operandShape(0), kernel = op.operandShape(1), out = op.resultShape();
  if (in.size() < 3 || kernel.size() != in.size() || out.size() != in.size())
    op.fail("input, kernel and result need one rank, with a batch, a channel and spatial dimensions");
  size_t n = in.size() - 2;
  bool last = isChannelsLast(op.enumAttr("data_format"));
  bool transposed = op.boolAttr("transposed", false), filterGradient = op.boolAttr("filter_gradient", false);
  if (transposed && filterGradient)
    op.fail("transposed and filter_gradient cannot both be true");
  Shape stride = perDim(op, "window_strides", n, 1), dilation = perDim(op, "kernel_dilation", n, 1);
  for (int64_t v : perDim(op, "input_dilation", n, 1))
    if (v != 1)
      op.fail("input_dilation must be 1 (write a strided transposed convolution with transposed = true)");
  if (op.intAttr("batch_group_count", 1) != 1)
    op.fail("batch_group_count must be 1");
  int64_t groups = op.intAttr("feature_group_count", 1);
  Shape low, high;
  lowHigh(op, n, low, high);
  SplitPadding pad = splitPadding(low, high);
  // Two spatial dimensions: ATen's (oneDNN's) convolutions run about twice as fast on tensors laid
  // out channels-last in memory, and give their result that layout too, so a chain of convolutions
  // (and the batch norms, activations and sums between them, which keep the layout) converts once.
  // Only the memory layout changes, never a value's shape.
  bool packed = n == 2;
  auto first = [last, packed](const at::Tensor &t) {
    at::Tensor x = last ? toChannelsFirst(t) : t;
    return packed ? x.contiguous(at::MemoryFormat::ChannelsLast) : x;
  };
  auto restore = [last](const at::Tensor &t) { return last ? toChannelsLast(t) : t; };
  auto kernelOf = [packed](const at::Tensor &t) {
    return packed ? t.contiguous(at::MemoryFormat::ChannelsLast) : t;
  };

  if (transposed) {
    // Padding removes output positions: ATen takes the common part, the rest is cropped off; the
    // result type fixes the extra output padding.
    Shape inSp = spatial(in, last), outSp = spatial(out, last), outputPadding, crop;
    for (size_t i = 0; i < n; ++i) {
      int64_t full = outSp[i] + (low[i] - pad.both[i]) + (high[i] - pad.both[i]);
      int64_t base = (inSp[i] - 1) * stride[i] - 2 * pad.both[i] + dilation[i] * (kernel[2 + i] - 1) + 1;
      int64_t extra = full - base;
      if (extra < 0 || extra >= std::max(stride[i], dilation[i]))
        op.fail("the result's spatial size " + llvm::Twine(outSp[i]) + " does not fit a transposed convolution");
      outputPadding.push_back(extra);
      crop.push_back(low[i] - pad.both[i]);
    }
    return single([=](KernelContext &c) {
      at::Tensor y = at::convolution(first(c.in(0)), kernelOf(c.in(1)), std::nullopt, stride, pad.both, dilation,
                                     true, outputPadding, groups);
      for (size_t i = 0; i < n; ++i)
        if (y.size(2 + i) != outSp[i])
          y = y.narrow(2 + i, crop[i], outSp[i]);
      return restore(y);
    });
  }

  Shape zeros(n, 0);
  if (filterGradient) {
    // The kernel's values do not enter its gradient: only its shape is needed.
    at::Tensor weight = at::empty(out, op.resultType());
    if (packed)
      weight = weight.contiguous(at::MemoryFormat::ChannelsLast);
    return single([=](KernelContext &c) {
      at::Tensor x = first(c.in(0));
      if (pad.hasExtra)
        x = at::constant_pad_nd(x, pad.extra, 0);
      auto grads = at::convolution_backward(first(c.in(1)), x, weight, std::nullopt, stride, pad.both, dilation,
                                            false, zeros, groups, {false, true, false});
      return std::get<1>(grads);
    });
  }
  return single([=](KernelContext &c) {
    at::Tensor x = first(c.in(0));
    if (pad.hasExtra)
      x = at::constant_pad_nd(x, pad.extra, 0);
    return restore(
        at::convolution(x, kernelOf(c.in(1)), std::nullopt, stride, pad.both, dilation, false, zeros, groups));
  });
}

// ------------------------------------------------------------------ pooling

Kernel planPool(OpView &op) {
  Shape ksize = op.intsAttr("ksize", {});
  size_t n = ksize.size();
  Shape in = op.operandShape(0);
  if (n < 1 || n > 3 || in.size() != n + 2 || op.resultShape().size() != n + 2 ||
      (op.boolAttr("gradient", false) && op.operandRank(1) != static_cast<int64_t>(n + 2)))
    op.fail("pools 1 to 3 spatial dimensions of an input [N, C, spatial...]");
  bool last = isChannelsLast(op.enumAttr("data_format"));
  bool gradient = op.boolAttr("gradient", false);
  std::string type = op.enumAttr("pool_type", "MAX");
  if (type != "MAX" && type != "AVG")
    op.fail("pool_type must be \"MAX\" or \"AVG\"");
  bool max = type == "MAX";
  Shape stride = perDim(op, "strides", n, 1), dilation = perDim(op, "dilation", n, 1);
  Shape padding = perDim(op, "padding", n, 0);
  if (!max && std::any_of(dilation.begin(), dilation.end(), [](int64_t d) { return d != 1; }))
    op.fail("average pooling needs dilation 1");

  // The pooled size decides between floor and ceil mode.
  Shape inSp = spatial(in, last), pooled = spatial(gradient ? op.operandShape(1) : op.resultShape(), last);
  bool ceil = false;
  for (size_t i = 0; i < n; ++i) {
    int64_t span = inSp[i] + 2 * padding[i] - dilation[i] * (ksize[i] - 1) - 1;
    int64_t floorSize = span / stride[i] + 1;
    int64_t ceilSize = (span + stride[i] - 1) / stride[i] + 1;
    if ((ceilSize - 1) * stride[i] >= inSp[i] + padding[i])
      --ceilSize;
    if (pooled[i] != floorSize && pooled[i] != ceilSize)
      op.fail("the pooled size " + llvm::Twine(pooled[i]) + " of spatial dimension " + llvm::Twine(i) +
              " is neither " + llvm::Twine(floorSize) + " nor " + llvm::Twine(ceilSize));
    ceil |= pooled[i] != floorSize;
  }
  for (size_t i = 0; i < n; ++i)
    if (2 * padding[i] > ksize[i])
      op.fail("padding may be at most half the window");

  // One spatial dimension runs as two, the first of size 1.
  bool lift = n == 1;
  if (lift) {
    ksize.insert(ksize.begin(), 1);
    stride.insert(stride.begin(), 1);
    dilation.insert(dilation.begin(), 1);
    padding.insert(padding.begin(), 0);
  }
  bool three = n == 3;
  auto first = [last, lift](const at::Tensor &t) {
    at::Tensor x = last ? toChannelsFirst(t) : t;
    return lift ? x.unsqueeze(2) : x;
  };
  auto restore = [last, lift](at::Tensor t) {
    if (lift)
      t = t.squeeze(2);
    return last ? toChannelsLast(t) : t;
  };
  auto maxPool = [=](const at::Tensor &x) {
    return three ? at::max_pool3d_with_indices(x, ksize, stride, padding, dilation, ceil)
                 : at::max_pool2d_with_indices(x, ksize, stride, padding, dilation, ceil);
  };

  if (max && !gradient)
    return single([=](KernelContext &c) { return restore(std::get<0>(maxPool(first(c.in(0))))); });
  if (max)
    return single([=](KernelContext &c) {
      at::Tensor x = first(c.in(0)), delta = first(c.in(1));
      at::Tensor indices = std::get<1>(maxPool(x));
      return restore(three ? at::max_pool3d_with_indices_backward(delta, x, ksize, stride, padding, dilation, ceil,
                                                                   indices)
                           : at::max_pool2d_with_indices_backward(delta, x, ksize, stride, padding, dilation, ceil,
                                                                   indices));
    });
  if (!gradient)
    return single([=](KernelContext &c) {
      at::Tensor x = first(c.in(0));
      return restore(three ? at::avg_pool3d(x, ksize, stride, padding, ceil, true)
                           : at::avg_pool2d(x, ksize, stride, padding, ceil, true));
    });
  return single([=](KernelContext &c) {
    at::Tensor x = first(c.in(0)), delta = first(c.in(1));
    return restore(three ? at::avg_pool3d_backward(delta, x, ksize, stride, padding, ceil, true, std::nullopt)
                         : at::avg_pool2d_backward(delta, x, ksize, stride, padding, ceil, true, std::nullopt));
  });
}

// ------------------------------------------------------------------ normalisations

Kernel planLayerNorm(OpView &op) {
  Shape normalized = op.operandShape(2);
  double eps = op.floatAttr("epsilon", 1e-5);
  return single([=](KernelContext &c) {
    return std::get<0>(at::native_layer_norm(c.in(0), normalized, c.in(2), c.in(1), eps));
  });
}

Kernel planLayerNormGrad(OpView &op) {
  Shape normalized = op.operandShape(3);
  double eps = op.floatAttr("epsilon", 1e-5);
  return [=](KernelContext &c) {
    const at::Tensor &grad = c.in(0), &x = c.in(1), &beta = c.in(2), &gamma = c.in(3);
    auto [y, mean, rstd] = at::native_layer_norm(x, normalized, gamma, beta, eps);
    auto [dx, dgamma, dbeta] =
        at::native_layer_norm_backward(grad, x, normalized, mean, rstd, gamma, beta, {true, true, true});
    c.out(0, dx);
    c.out(1, dbeta);
    c.out(2, dgamma);
  };
}

namespace {

// The shape of a group normalisation of a channels-first tensor: N, C and the positions per channel.
struct GroupShape {
  int64_t n, c, hw, groups;
};

GroupShape groupShape(const OpView &op, bool last) {
  Shape in = op.operandShape(0); // the input, or the gradient shaped like it
  if (in.size() < 2)
    op.fail("the input needs a batch and a channel dimension");
  int64_t c = last ? in.back() : in[1];
  int64_t groups = op.intAttr("num_groups", 1);
  if (groups < 1 || c % groups)
    op.fail("num_groups must divide the " + llvm::Twine(c) + " channels");
  int64_t numel = c10::multiply_integers(in);
  int64_t rows = in[0] * c;
  return {in[0], c, rows != 0 ? numel / rows : 0, groups};
}

} // namespace

Kernel planGroupNorm(OpView &op) {
  bool last = isChannelsLast(op.enumAttr("data_format"));
  GroupShape g = groupShape(op, last);
  double eps = op.floatAttr("epsilon", 1e-5);
  bool affine = op.boolAttr("affine", true);
  return single([=](KernelContext &c) {
    at::Tensor x = (last ? toChannelsFirst(c.in(0)) : c.in(0)).contiguous();
    std::optional<at::Tensor> gamma, beta;
    if (affine) {
      gamma = c.in(1);
      beta = c.in(2);
    }
    at::Tensor y = std::get<0>(at::native_group_norm(x, gamma, beta, g.n, g.c, g.hw, g.groups, eps));
    return last ? toChannelsLast(y) : y;
  });
}

Kernel planGroupNormGrad(OpView &op) {
  bool last = isChannelsLast(op.enumAttr("data_format"));
  GroupShape g = groupShape(op, last);
  double eps = op.floatAttr("epsilon", 1e-5);
  bool affine = op.boolAttr("affine", true);
  return [=](KernelContext &c) {
    auto first = [last](const at::Tensor &t) { return (last ? toChannelsFirst(t) : t).contiguous(); };
    at::Tensor dy = first(c.in(0)), x = first(c.in(1));
    std::optional<at::Tensor> gamma;
    if (affine)
      gamma = c.in(2);
    auto [y, mean, rstd] = at::native_group_norm(x, gamma, std::nullopt, g.n, g.c, g.hw, g.groups, eps);
    auto [dx, dgamma, dbeta] =
        at::native_group_norm_backward(dy, x, mean, rstd, gamma, g.n, g.c, g.hw, g.groups, {true, true, true});
    c.out(0, last ? toChannelsLast(dx) : dx);
    c.out(1, dgamma);
    c.out(2, dbeta);
  };
}

namespace {
// A tensor whose elements are dense in memory, in its own layout when that is channels-last (as the
// convolutions leave it), else in the default one.
at::Tensor dense(const at::Tensor &t) { return t.contiguous(t.suggest_memory_format()); }
} // namespace

Kernel planFusedBatchNorm(OpView &op) {
  bool last = isChannelsLast(op.enumAttr("data_format"));
  double eps = op.floatAttr("epsilon", 1e-4), factor = op.floatAttr("exponential_avg_factor", 1.0);
  bool training = op.boolAttr("is_training", true);
  return [=](KernelContext &c) {
    at::Tensor x = dense(last ? toChannelsFirst(c.in(0)) : c.in(0));
    const at::Tensor &scale = c.in(1), &offset = c.in(2), &mean = c.in(3), &variance = c.in(4);
    // In training ATen updates the running statistics in place: on copies, the operands stay
    // untouched. Otherwise it reads them, and they pass through.
    at::Tensor runningMean = training ? mean.clone() : mean, runningVar = training ? variance.clone() : variance;
    at::Tensor y = std::get<0>(at::native_batch_norm(x, scale, offset, runningMean, runningVar, training, factor, eps));
    c.out(0, last ? toChannelsLast(y) : y);
    c.out(1, runningMean);
    c.out(2, runningVar);
  };
}

Kernel planFusedBatchNormGrad(OpView &op) {
  bool last = isChannelsLast(op.enumAttr("data_format"));
  double eps = op.floatAttr("epsilon", 1e-4);
  if (!op.boolAttr("is_training", true))
    op.fail("is_training = false is not supported: the inference gradient needs the running statistics, which "
            "are not operands");
  return [=](KernelContext &c) {
    auto first = [last](const at::Tensor &t) { return dense(last ? toChannelsFirst(t) : t); };
    at::Tensor dy = first(c.in(0)), x = first(c.in(1));
    if (!dy.strides().equals(x.strides()))
      dy = dy.contiguous(x.suggest_memory_format());
    const at::Tensor &scale = c.in(2);
    auto [y, saveMean, saveInvstd] = at::native_batch_norm(x, scale, std::nullopt, std::nullopt, std::nullopt, true,
                                                           0.0, eps);
    auto [dx, dscale, doffset] = at::native_batch_norm_backward(dy, x, scale, std::nullopt, std::nullopt, saveMean,
                                                                saveInvstd, true, eps, {true, true, true});
    c.out(0, last ? toChannelsLast(dx) : dx);
    c.out(1, dscale);
    c.out(2, doffset);
  };
}

// ------------------------------------------------------------------ optimizer steps

Kernel planGradientDescent(OpView &) {
  return single([](KernelContext &c) { return at::sub(c.in(0), at::mul(c.in(1), c.in(2))); });
}

Kernel planAdam(OpView &op) {
  double beta1 = op.floatAttr("beta1", 0.9), beta2 = op.floatAttr("beta2", 0.999);
  double omb1 = op.floatAttr("one_minus_beta1", 1 - beta1), omb2 = op.floatAttr("one_minus_beta2", 1 - beta2);
  double eps = op.floatAttr("epsilon", 1e-8);
  bool nesterov = op.boolAttr("use_nesterov", false), tf = op.boolAttr("use_tf_adam", false);
  return [=](KernelContext &c) {
    const at::Tensor &var = c.in(0), &m = c.in(1), &v = c.in(2), &b1p = c.in(3), &b2p = c.in(4), &lr = c.in(5);
    const at::Tensor &wd = c.in(7);
    at::Tensor g = c.in(6);
    if (wd.ne(0).any().item<bool>())
      g = at::add(g, at::mul(wd, var));
    at::Tensor mNew = at::add(at::mul(m, beta1), at::mul(g, omb1));
    at::Tensor vNew = at::add(at::mul(v, beta2), at::mul(at::mul(g, g), omb2));
    at::Tensor step = nesterov ? at::add(at::mul(mNew, beta1), at::mul(g, omb1)) : mNew;
    at::Tensor oneMinusB1p = at::rsub(b1p, 1), oneMinusB2p = at::rsub(b2p, 1);
    at::Tensor update;
    if (tf) {
      at::Tensor rate = at::div(at::mul(lr, at::sqrt(oneMinusB2p)), oneMinusB1p);
      update = at::mul(rate, at::div(step, at::add(at::sqrt(vNew), eps)));
    } else {
      at::Tensor denominator = at::add(at::div(at::sqrt(vNew), at::sqrt(oneMinusB2p)), eps);
      update = at::mul(at::div(lr, oneMinusB1p), at::div(step, denominator));
    }
    c.out(0, at::sub(var, update));
    c.out(1, mNew);
    c.out(2, vNew);
  };
}

} // namespace lumo
