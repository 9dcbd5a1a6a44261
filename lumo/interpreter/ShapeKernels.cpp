// Operations that move, copy or create elements without arithmetic on them: reshapes, slices,
// padding, concatenation, sequences.
#include "Kernel.h"

#include <numeric>

namespace lumo {

Kernel planReshape(OpView &op) {
  Shape shape = op.resultShape();
  return single([shape](KernelContext &c) { return c.in(0).reshape(shape); });
}

Kernel planTranspose(OpView &op) {
  IntsOperand perm(op, 1);
  return single([perm](KernelContext &c) { return c.in(0).permute(perm.get(c)); });
}

Kernel planBroadcastInDim(OpView &op) {
  Shape dims = op.intsAttr("broadcast_dimensions", {});
  Shape in = op.operandShape(0), out = op.resultShape();
  if (dims.size() != in.size())
    op.fail("broadcast_dimensions needs one entry per operand dimension");
  // Order the operand's dimensions as their targets are ordered, then give them their place
  // among size-1 dimensions and expand.
  Shape order(in.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return dims[a] < dims[b]; });
  Shape view(out.size(), 1);
  for (size_t i = 0; i < in.size(); ++i) {
    if (dims[i] < 0 || dims[i] >= static_cast<int64_t>(out.size()))
      op.fail("broadcast dimension " + llvm::Twine(dims[i]) + " is out of range");
    view[dims[i]] = in[i];
  }
  bool permuted = !std::is_sorted(order.begin(), order.end());
  return single([=](KernelContext &c) {
    at::Tensor x = permuted ? c.in(0).permute(order) : c.in(0);
    return x.reshape(view).expand(out);
  });
}

Kernel planConcat(OpView &op) {
  int64_t axis = op.dim(op.intAttr("axis", 0), static_cast<int64_t>(op.resultShape().size()));
  return single([axis](KernelContext &c) {
    std::vector<at::Tensor> values;
    values.reserve(c.numIn());
    for (size_t i = 0; i < c.numIn(); ++i)
      values.push_back(c.in(i));
    return at::cat(values, axis);
  });
}

Kernel planSplit(OpView &op) {
  Shape sizes = op.intsAttr("split_sizes", {});
  int64_t axis = op.dim(op.intAttr("axis", 0), op.operandRank(0));
  if (sizes.size() != op.numResults())
    op.fail("split_sizes needs one entry per result");
  return [sizes, axis](KernelContext &c) {
    std::vector<at::Tensor> parts = at::split_with_sizes(c.in(0), sizes, axis);
    for (size_t i = 0; i < parts.size(); ++i)
      c.out(i, std::move(parts[i]));
  };
}

Kernel planRepeat(OpView &op) {
  Shape repeats = op.intsAttr("repeats", {});
  return single([repeats](KernelContext &c) { return c.in(0).repeat(repeats); });
}

Kernel planAsStrided(OpView &op) {
  Shape size = op.intsAttr("size", {}), stride = op.intsAttr("stride", {});
  int64_t offset = op.intAttr("storage_offset", 0);
  int64_t numel = c10::multiply_integers(op.operandShape(0));
  if (size.size() != stride.size())
    op.fail("size and stride need one entry per result dimension");
  // Every addressed element must lie inside the input.
  int64_t last = offset;
  bool empty = false;
  for (size_t k = 0; k < size.size(); ++k) {
    if (stride[k] < 0 || size[k] < 0)
      op.fail("sizes and strides must be non-negative");
    empty |= size[k] == 0;
    last += (size[k] - 1) * stride[k];
  }
  if (!empty && (offset < 0 || last >= numel))
    op.fail("addresses element " + llvm::Twine(last) + " of an input with " + llvm::Twine(numel) + " elements");
  return single([=](KernelContext &c) {
    at::Tensor x = c.in(0).contiguous();
    return x.as_strided(size, stride, x.storage_offset() + offset);
  });
}

// ------------------------------------------------------------------ dynamic slices

Kernel planSlice(OpView &op) {
  IntsOperand begin(op, 1);
  Shape in = op.operandShape(0), size = op.resultShape();
  if (size.size() != in.size())
    op.fail("the result needs the input's rank");
  return single([=](KernelContext &c) {
    Shape start = begin.get(c);
    TORCH_CHECK(start.size() == in.size(), "begin has ", start.size(), " entries for ", in.size(), " dimensions");
    at::Tensor x = c.in(0);
    for (size_t d = 0; d < in.size(); ++d)
      x = x.narrow(d, std::clamp<int64_t>(start[d], 0, in[d] - size[d]), size[d]);
    return x;
  });
}

Kernel planDynamicUpdateSlice(OpView &op) {
  Shape in = op.operandShape(0), update = op.operandShape(1);
  if (op.numOperands() != 2 + in.size() || update.size() != in.size())
    op.fail("needs an update of the operand's rank and one start index per operand dimension");
  return single([=](KernelContext &c) {
    at::Tensor out = c.in(0).clone();
    at::Tensor window = out;
    for (size_t d = 0; d < in.size(); ++d)
      window = window.narrow(d, std::clamp<int64_t>(readInt(c.in(2 + d)), 0, in[d] - update[d]), update[d]);
    window.copy_(c.in(1));
    return out;
  });
}

// ------------------------------------------------------------------ pad

namespace {

// Indices into a dimension of size n for a window from -low to n + high, edge or reflected.
at::Tensor paddedIndices(int64_t n, int64_t low, int64_t high, bool reflect) {
  std::vector<int64_t> idx;
  for (int64_t i = -low; i < n + high; ++i) {
    int64_t j = i;
    if (reflect && n > 1) {
      int64_t period = 2 * (n - 1);
      j = ((j % period) + period) % period;
      j = j < n ? j : period - j;
    } else {
      j = std::clamp<int64_t>(j, 0, n - 1);
    }
    idx.push_back(j);
  }
  return at::tensor(idx, at::kLong);
}

} // namespace

Kernel planPad(OpView &op) {
  Shape in = op.operandShape(0);
  size_t rank = in.size();
  Shape low = op.intsAttr("edge_padding_low", {}), high = op.intsAttr("edge_padding_high", {});
  Shape interior = op.intsAttr("interior_padding", Shape(rank, 0));
  if (low.size() != rank || high.size() != rank || interior.size() != rank)
    op.fail("the paddings need one entry per dimension");
  std::string mode = op.enumAttr("padding_mode", "constant");

  if (mode == "reflect" || mode == "edge") {
    bool reflect = mode == "reflect";
    std::vector<std::pair<int64_t, at::Tensor>> gathers;
    for (size_t d = 0; d < rank; ++d) {
      if (low[d] < 0 || high[d] < 0 || interior[d] != 0)
        op.fail("padding_mode \"" + mode + "\" needs non-negative edge padding and no interior padding");
      if (reflect && (low[d] || high[d]) && (low[d] >= in[d] || high[d] >= in[d]))
        op.fail("reflect padding must be smaller than the dimension it pads");
      if (low[d] || high[d])
        gathers.emplace_back(d, paddedIndices(in[d], low[d], high[d], reflect));
    }
    return single([gathers](KernelContext &c) {
      at::Tensor x = c.in(0);
      for (const auto &[d, idx] : gathers)
        x = x.index_select(d, idx);
      return x;
    });
  }
  if (mode != "constant")
    op.fail("unknown padding_mode \"" + mode + "\"");

  at::Tensor fill = op.elementsAttr("constant_values").value_or(at::zeros({}, op.operandType(0)));
  if (fill.numel() != 1)
    op.fail("constant_values must hold one value");
  at::Scalar value = fill.item();
  bool hasInterior = std::any_of(interior.begin(), interior.end(), [](int64_t v) { return v != 0; });
  for (int64_t v : interior)
    if (v < 0)
      op.fail("interior padding must be non-negative");
  // constant_pad_nd takes (low, high) pairs from the last dimension on; negative values crop.
  std::vector<int64_t> pads;
  for (size_t d = rank; d-- > 0;) {
    pads.push_back(low[d]);
    pads.push_back(high[d]);
  }
  Shape spread(rank);
  for (size_t d = 0; d < rank; ++d)
    spread[d] = in[d] + std::max<int64_t>(in[d] - 1, 0) * interior[d];
  return single([=](KernelContext &c) {
    at::Tensor x = c.in(0);
    if (hasInterior) {
      at::Tensor spaced = at::full(spread, value, x.options());
      at::Tensor view = spaced;
      for (size_t d = 0; d < rank; ++d)
        view = view.slice(d, 0, spread[d], interior[d] + 1);
      view.copy_(x);
      x = spaced;
    }
    return at::constant_pad_nd(x, pads, value);
  });
}

// ------------------------------------------------------------------ strided slices

namespace {

struct StridedSpec {
  std::vector<int64_t> begin, stride, size; // per input dimension, positive or negative stride
  Shape finalShape;
};

// The slice a StridedSlice specification selects from a tensor of shape `in`.
StridedSpec stridedSpec(const Shape &in, const Shape &begin, const Shape &end, const Shape &strides,
                        int64_t beginMask, int64_t endMask, int64_t ellipsisMask, int64_t newAxisMask,
                        int64_t shrinkMask) {
  TORCH_CHECK(begin.size() == end.size() && begin.size() == strides.size(),
              "begin, end and strides need one length");
  int64_t sparseDims = static_cast<int64_t>(begin.size());
  if (!ellipsisMask) { // an implicit ellipsis at the end takes the remaining dimensions
    ellipsisMask = int64_t(1) << sparseDims;
    ++sparseDims;
  }
  TORCH_CHECK((ellipsisMask & (ellipsisMask - 1)) == 0, "only one ellipsis is allowed");
  int64_t rank = static_cast<int64_t>(in.size());
  int64_t ellipsisAt = __builtin_ctzll(static_cast<uint64_t>(ellipsisMask));
  int64_t newAxesAfterEllipsis = 0;
  for (int64_t i = ellipsisAt + 1; i < sparseDims; ++i)
    newAxesAfterEllipsis += (newAxisMask >> i) & 1;

  constexpr int64_t kNewAxis = -1, kShrink = -2;
  std::vector<int64_t> dBegin(rank, 0), dEnd(rank, 0), dStride(rank, 1), gather;
  std::vector<bool> dBeginMasked(rank, false), dEndMasked(rank, false), dShrink(rank, false);
  int64_t full = 0;
  for (int64_t i = 0; i < sparseDims; ++i) {
    if ((ellipsisMask >> i) & 1) {
      int64_t next = std::min(rank - (sparseDims - i) + 1 + newAxesAfterEllipsis, rank);
      for (; full < next; ++full) {
        dBeginMasked[full] = dEndMasked[full] = true;
        gather.push_back(full);
      }
    } else if ((newAxisMask >> i) & 1) {
      gather.push_back(kNewAxis);
    } else {
      TORCH_CHECK(full < rank, "the slice specification has more entries than the input has dimensions");
      dBegin[full] = begin[i];
      dEnd[full] = end[i];
      dStride[full] = strides[i];
      dBeginMasked[full] = (beginMask >> i) & 1;
      dEndMasked[full] = (endMask >> i) & 1;
      dShrink[full] = (shrinkMask >> i) & 1;
      gather.push_back(dShrink[full] ? kShrink : full);
      ++full;
    }
  }

  StridedSpec spec;
  for (int64_t d = 0; d < rank; ++d) {
    int64_t n = in[d], s = dStride[d], b, e;
    TORCH_CHECK(s != 0, "strides must be non-zero");
    if (dShrink[d]) {
      TORCH_CHECK(s > 0, "a shrunk dimension needs a positive stride");
      b = dBegin[d] < 0 ? n + dBegin[d] : dBegin[d];
      TORCH_CHECK(b >= 0 && b < n, "slice index ", dBegin[d], " of dimension ", d, " is out of bounds");
      e = b + 1;
    } else {
      int64_t lo = s > 0 ? 0 : -1, hi = s > 0 ? n : n - 1;
      auto canonical = [&](int64_t x, bool masked, bool isEnd) {
        if (masked)
          return (s > 0) != isEnd ? lo : hi; // begin of a forward slice, end of a backward one: lo
        int64_t fwd = x < 0 ? n + x : x;
        return std::clamp(fwd, lo, hi);
      };
      b = canonical(dBegin[d], dBeginMasked[d], false);
      e = canonical(dEnd[d], dEndMasked[d], true);
    }
    int64_t length = e - b, size;
    if (length == 0 || ((length < 0) != (s < 0)))
      size = 0;
    else
      size = length / s + (length % s != 0 ? 1 : 0);
    spec.begin.push_back(b);
    spec.stride.push_back(s);
    spec.size.push_back(size);
  }
  for (int64_t g : gather)
    if (g == kNewAxis)
      spec.finalShape.push_back(1);
    else if (g != kShrink)
      spec.finalShape.push_back(spec.size[g]);
  return spec;
}

// The elements the slice selects, as a view with positive strides; `flip` gets the dimensions
// the slice walks backwards.
at::Tensor stridedView(at::Tensor x, const StridedSpec &spec, std::vector<int64_t> &flip) {
  for (size_t d = 0; d < spec.size.size(); ++d) {
    int64_t b = spec.begin[d], s = spec.stride[d], n = spec.size[d];
    if (n == 0) {
      x = x.slice(d, 0, 0);
    } else if (s > 0) {
      x = x.slice(d, b, b + s * (n - 1) + 1, s);
    } else {
      int64_t first = b + s * (n - 1);
      x = x.slice(d, first, b + 1, -s);
      flip.push_back(d);
    }
  }
  return x;
}

struct Masks {
  int64_t begin, end, ellipsis, newAxis, shrink;
  explicit Masks(const OpView &op)
      : begin(op.intAttr("begin_mask", 0)), end(op.intAttr("end_mask", 0)),
        ellipsis(op.intAttr("ellipsis_mask", 0)), newAxis(op.intAttr("new_axis_mask", 0)),
        shrink(op.intAttr("shrink_axis_mask", 0)) {}
};

} // namespace

Kernel planStridedSlice(OpView &op) {
  IntsOperand begin(op, 1), end(op, 2), strides(op, 3);
  Masks m(op);
  Shape in = op.operandShape(0);
  return single([=](KernelContext &c) {
    StridedSpec spec = stridedSpec(in, begin.get(c), end.get(c), strides.get(c), m.begin, m.end, m.ellipsis,
                                   m.newAxis, m.shrink);
    std::vector<int64_t> flip;
    at::Tensor view = stridedView(c.in(0), spec, flip);
    if (!flip.empty())
      view = view.flip(flip);
    return view.reshape(spec.finalShape);
  });
}

Kernel planStridedSliceGrad(OpView &op) {
  IntsOperand begin(op, 1), end(op, 2), strides(op, 3);
  Masks m(op);
  Shape out = op.resultShape();
  return single([=](KernelContext &c) {
    StridedSpec spec = stridedSpec(out, begin.get(c), end.get(c), strides.get(c), m.begin, m.end, m.ellipsis,
                                   m.newAxis, m.shrink);
    const at::Tensor &dy = c.in(4);
    at::Tensor grad = at::zeros(out, dy.options());
    std::vector<int64_t> flip;
    at::Tensor view = stridedView(grad, spec, flip);
    at::Tensor values = dy.reshape(spec.size);
    view.copy_(flip.empty() ? values : values.flip(flip));
    return grad;
  });
}

// ------------------------------------------------------------------ sequences

Kernel planArange(OpView &op) {
  Shape out = op.resultShape();
  int64_t rank = static_cast<int64_t>(out.size());
  int64_t dim = rank ? op.dim(op.intAttr("dim", 0), rank) : 0;
  int64_t n = rank ? out[dim] : 1;
  Shape view(rank, 1);
  if (rank)
    view[dim] = n;
  at::ScalarType dtype = op.resultType();
  bool floating = at::isFloatingType(dtype);
  return single([=](KernelContext &c) {
    // As torch.arange: start + i * step in double (floating-point results) or int64 arithmetic.
    at::ScalarType acc = floating ? at::kDouble : at::kLong;
    at::Tensor start = c.in(0).to(acc), step = c.in(2).to(acc);
    at::Tensor values = at::arange(n, at::TensorOptions().dtype(acc)).mul(step).add(start).to(dtype);
    return values.reshape(view).expand(out);
  });
}

} // namespace lumo
