// Convolutions and pooling with their gradients, sliding windows (unfold, fold), grid sampling and
// resampling.
#include "TorchToLumo.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace torch_lumo {
namespace {

/// A per-spatial-dimension list: one value repeated, or exactly `n` values.
Shape perSpatial(const Shape &values, int64_t n, const char *what, int64_t fill) {
  if (n < 1) unsupported("an input without spatial dimensions");
  if (values.empty()) return Shape(n, fill);
  if (values.size() == 1) return Shape(n, values[0]);
  if (static_cast<int64_t>(values.size()) != n)
    unsupported(llvm::Twine(what) + " list does not match the spatial rank");
  return values;
}

struct ConvParams {
  Shape stride, padding, dilation;
  bool transposed;
  int64_t groups;
};

/// stride, padding, dilation, then transposed and output_padding (when `hasTransposed`), groups,
/// starting at operand `at`.
ConvParams convParams(TorchOp &t, unsigned at, int64_t spatial, bool hasTransposed = true) {
  ConvParams p;
  p.stride = perSpatial(t.ints(at), spatial, "stride", 1);
  p.padding = perSpatial(t.ints(at + 1), spatial, "padding", 0);
  p.dilation = perSpatial(t.ints(at + 2), spatial, "dilation", 1);
  p.transposed = hasTransposed && t.flag(at + 3);
  p.groups = t.i64(at + (hasTransposed ? 5 : 3));
  return p;
}

Value convolution(Emitter &e, Value input, Value kernel, const ConvParams &p, RankedTensorType type,
                  bool transposed, bool filterGradient) {
  llvm::SmallVector<NamedAttribute, 8> attrs{
      e.ints("window_strides", p.stride), e.ints("padding", p.padding),
      e.ints("kernel_dilation", p.dilation), e.i64("feature_group_count", p.groups)};
  if (transposed) attrs.push_back(e.flag("transposed", true));
  if (filterGradient) attrs.push_back(e.flag("filter_gradient", true));
  return e.op("lumo.Convolution", {input, kernel}, type, attrs);
}

/// Which results of a gradient operation to produce: those its output mask (operand `maskAt`) asks
/// for and those something reads.
llvm::SmallVector<bool, 4> wantedResults(TorchOp &t, unsigned maskAt) {
  auto mask = t.flags(maskAt);
  llvm::SmallVector<bool, 4> wanted;
  for (unsigned i = 0; i < t.op->getNumResults(); ++i)
    wanted.push_back((mask.size() > i && mask[i]) || t.resultUsed(i));
  return wanted;
}

/// The bias, a vector of C values, as [C, 1, ...] for adding to an [N, C, spatial...] result.
Value biasColumn(Emitter &e, Value bias, int64_t rank, int64_t channels) {
  if (rankOf(bias) != 1 || shapeOf(bias)[0] != channels)
    unsupported("the bias is not a vector of " + llvm::Twine(channels) + " output channels");
  Shape shape(rank - 1, 1);
  shape[0] = channels;
  return e.reshape(bias, shape);
}

/// convolution(input, weight, bias?, stride, padding, dilation, transposed, output_padding,
/// groups), _convolution (the same, then flags for the backends) and conv1d/conv2d/conv3d(input,
/// weight, bias?, stride, padding, dilation, groups).
PatternFn convolutionForward(bool hasTransposed) {
  return [hasTransposed](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value x = t.value(0, elem), w = t.value(1, elem);
    int64_t spatial = rankOf(x) - 2;
    if (spatial < 1) unsupported("convolution of an input below rank 3");
    ConvParams p = convParams(t, 3, spatial, hasTransposed);
    if (rankOf(w) != rankOf(x)) unsupported("the weight's rank differs from the input's");
    if (p.groups < 1) unsupported("groups below 1");
    // The output's shape: [N, O, spatial...], each spatial size from the window's extent.
    ArrayRef<int64_t> in = shapeOf(x), k = shapeOf(w);
    Shape outputPadding = p.transposed ? perSpatial(t.ints(7), spatial, "output_padding", 0)
                                       : Shape(spatial, 0);
    Shape expected{in[0], p.transposed ? k[1] * p.groups : k[0]};
    for (int64_t i = 0; i < spatial; ++i) {
      int64_t extent = p.dilation[i] * (k[i + 2] - 1) + 1;
      expected.push_back(p.transposed ? (in[i + 2] - 1) * p.stride[i] - 2 * p.padding[i] + extent +
                                            outputPadding[i]
                                      : p.stride[i] < 1 || in[i + 2] + 2 * p.padding[i] < extent
                                          ? -1
                                          : (in[i + 2] + 2 * p.padding[i] - extent) / p.stride[i] + 1);
    }
    if (t.resultShape() != ArrayRef<int64_t>(expected))
      unsupported("the result's shape differs from the convolution's output shape");
    Value y = convolution(t.e, x, w, p, t.resultType(), p.transposed, false);
    if (!t.isNone(2))
      y = t.e.add(y, biasColumn(t.e, t.value(2, elem), rankOf(y), shapeOf(y)[1]));
    return {y};
  };
}

/// The gradients of a transposed convolution y = conv_transpose(x, w), w [C, O/G, k...], are
/// those of the ordinary convolution z -> conv(z, w) it is the adjoint of (same strides, padding,
/// dilation and groups): dx = conv(dy, w), and dw is the filter gradient of that convolution at
/// input dy and output gradient x. The output padding `op` only lengthens dy at its end, by
/// positions no window of that convolution needs. Below the stride the convolution leaves them out
/// by itself; output padding of a stride or more (dilation above the stride allows it) would give
/// dx more positions, so the high padding shrinks by op - stride + 1, and where that goes below
/// zero dy loses its last positions instead.
void transposedGradients(TorchOp &t, Value dy, Value x, Value w, ConvParams p, ArrayRef<bool> wanted,
                         Values &out) {
  Emitter &e = t.e;
  int64_t spatial = rankOf(x) - 2;
  if (rankOf(dy) != rankOf(x) || rankOf(w) != rankOf(x))
    unsupported("convolution gradient operands of different ranks");
  ArrayRef<int64_t> in = shapeOf(x).drop_front(2), outSize = shapeOf(dy).drop_front(2);
  ArrayRef<int64_t> kernel = shapeOf(w).drop_front(2);
  Shape padding, kept(shapeOf(dy));
  bool asymmetric = false;
  for (int64_t i = 0; i < spatial; ++i) {
    int64_t extent = p.dilation[i] * (kernel[i] - 1) + 1;
    int64_t outputPadding = outSize[i] - ((in[i] - 1) * p.stride[i] - 2 * p.padding[i] + extent);
    if (outputPadding < 0 || outputPadding >= std::max(p.stride[i], p.dilation[i]))
      unsupported("transposed convolution whose output size does not fit its settings");
    int64_t high = p.padding[i] - std::max<int64_t>(0, outputPadding - p.stride[i] + 1);
    if (high < 0) kept[2 + i] += high, high = 0;
    asymmetric |= high != p.padding[i];
    padding.push_back(p.padding[i]);
    padding.push_back(high);
  }
  dy = e.slice(dy, Shape(rankOf(dy), 0), kept);
  if (asymmetric) p.padding = padding;
  if (wanted[0]) out[0] = convolution(e, dy, w, p, t.resultType(0), false, false);
  if (wanted[1]) out[1] = convolution(e, dy, x, p, t.resultType(1), false, true);
}

/// convolution_backward(grad, input, weight, bias_sizes?, stride, padding, dilation, transposed,
/// output_padding, groups, output_mask) -> (grad_input, grad_weight, grad_bias). The input gradient
/// of an ordinary convolution is a transposed convolution whose result type fixes the output
/// padding; the gradients of a transposed convolution are ordinary convolutions.
Values convolutionBackward(TorchOp &t) {
  t.expectOperands(11);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value dy = t.value(0, elem), x = t.value(1, elem), w = t.value(2, elem);
  int64_t spatial = rankOf(x) - 2;
  if (spatial < 1) unsupported("convolution of an input below rank 3");
  ConvParams p = convParams(t, 4, spatial);
  auto wanted = wantedResults(t, 10);
  Values out(3);
  if (p.transposed) {
    transposedGradients(t, dy, x, w, p, wanted, out);
  } else {
    if (wanted[0]) out[0] = convolution(e, dy, w, p, t.resultType(0), true, false);
    if (wanted[1]) out[1] = convolution(e, x, dy, p, t.resultType(1), false, true);
  }
  if (wanted[2]) {
    Shape dims = dimRange(2, rankOf(dy));
    dims.insert(dims.begin(), 0);
    out[2] = e.conform(e.reduce(dy, dims, false, "sum"), t.resultType(2));
  }
  return out;
}

// ------------------------------------------------------------------ sliding windows

/// The windows of F.unfold over [planes, H, W]: kernel_size, dilation, padding, stride (two each)
/// from operand `at`, and for each window element k and window l (k-major) the flat position it
/// reads in a plane padded on both sides.
struct Windows {
  Shape kernel, dilation, padding, stride;
  int64_t h, w, oh, ow;
  int64_t paddedWidth() const { return w + 2 * padding[1]; }
  int64_t paddedSize() const { return (h + 2 * padding[0]) * paddedWidth(); }
  int64_t elements() const { return kernel[0] * kernel[1]; }
  int64_t count() const { return oh * ow; }

  Windows(TorchOp &t, unsigned at, int64_t height, int64_t width) : h(height), w(width) {
    kernel = perSpatial(t.ints(at), 2, "kernel_size", 1);
    dilation = perSpatial(t.ints(at + 1), 2, "dilation", 1);
    padding = perSpatial(t.ints(at + 2), 2, "padding", 0);
    stride = perSpatial(t.ints(at + 3), 2, "stride", 1);
    for (int64_t d = 0; d < 2; ++d)
      if (kernel[d] < 1 || dilation[d] < 1 || padding[d] < 0 || stride[d] < 1)
        unsupported("window parameters out of range");
    oh = (h + 2 * padding[0] - dilation[0] * (kernel[0] - 1) - 1) / stride[0] + 1;
    ow = (w + 2 * padding[1] - dilation[1] * (kernel[1] - 1) - 1) / stride[1] + 1;
    if (oh < 1 || ow < 1) unsupported("windows larger than the padded input");
  }

  Value positions(Emitter &e) const {
    Shape flat;
    for (int64_t ki = 0; ki < kernel[0]; ++ki)
      for (int64_t kj = 0; kj < kernel[1]; ++kj)
        for (int64_t i = 0; i < oh; ++i)
          for (int64_t j = 0; j < ow; ++j)
            flat.push_back((i * stride[0] + ki * dilation[0]) * paddedWidth() + j * stride[1] +
                           kj * dilation[1]);
    return e.indexVector(flat);
  }
};

/// im2col(x [N,] C, H, W, kernel_size, dilation, padding, stride) -> [N,] C*kh*kw, L (F.unfold):
/// one gather from every zero-padded plane.
Values im2col(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0);
  ArrayRef<int64_t> xs = shapeOf(x);
  if (xs.size() < 3) unsupported("im2col of an input below rank 3");
  int64_t planes = numElements(xs.drop_back(2));
  Windows win(t, 1, xs[xs.size() - 2], xs.back());
  if (numElements(t.resultShape()) != planes * win.elements() * win.count())
    unsupported("im2col result of an unexpected size");
  Value padded = e.pad(e.reshape(x, {planes, win.h, win.w}), {0, win.padding[0], win.padding[1]},
                       {0, win.padding[0], win.padding[1]}, {0, 0, 0});
  Value flat = e.reshape(padded, {planes, win.paddedSize()});
  return {e.conform(e.gather(flat, win.positions(e), 1), t.resultType())};
}

/// col2im(cols [N,] C*kh*kw, L, output_size, kernel_size, dilation, padding, stride) -> [N,] C, H, W
/// (F.fold, the gradient of im2col): window elements added into the padded planes, which are then
/// cropped.
Values col2im(TorchOp &t) {
  Emitter &e = t.e;
  Value cols = t.tensor(0);
  Shape size = perSpatial(t.ints(1), 2, "output_size", 1);
  Windows win(t, 2, size[0], size[1]);
  int64_t planes = numElements(t.resultShape().drop_back(2));
  if (numElements(shapeOf(cols)) != planes * win.elements() * win.count())
    unsupported("col2im input of an unexpected size");
  Shape updatesShape{planes, win.elements() * win.count()};
  Value updates = e.reshape(e.cast(cols, t.resultElem()), updatesShape);
  Value positions = e.broadcastInDim(win.positions(e), updatesShape, {1});
  Value sums = e.scatter(e.zeros(tensorOf({planes, win.paddedSize()}, t.resultElem())), positions,
                         updates, 1, "add");
  Value padded = e.reshape(sums, {planes, win.h + 2 * win.padding[0], win.paddedWidth()});
  Value image = e.pad(padded, {0, -win.padding[0], -win.padding[1]},
                      {0, -win.padding[0], -win.padding[1]}, {0, 0, 0});
  return {e.reshape(image, t.resultShape())};
}

// ------------------------------------------------------------------ grid sampling

/// One coordinate of F.grid_sample: the source position of grid values g ([N, P, 1]) along a
/// dimension of `size`, after the padding mode (0 zeros, 1 border, 2 reflection), with the CPU
/// kernel's arithmetic; and d position / d g.
struct SourceCoordinate {
  Value pos, grad;
};

SourceCoordinate sourceCoordinate(Emitter &e, Value g, int64_t size, int64_t padding, bool align) {
  Type elem = elemOf(g);
  auto c = [&](double v) { return e.scalar(elem, v); };
  double scale = align ? (size - 1) / 2.0 : size / 2.0;
  SourceCoordinate r{e.scale(e.addScalar(g, 1), scale), c(scale)};
  if (!align) r.pos = e.addScalar(r.pos, -0.5);
  auto clip = [&] {
    Value inside = e.logicalAnd(e.compare(r.pos, c(0), "GT"), e.compare(r.pos, c(size - 1), "LT"));
    r.grad = e.select(inside, r.grad, c(0));
    r.pos = e.op("lumo.Clamp", {r.pos, c(0), c(size - 1)}, r.pos.getType());
  };
  if (padding == 1) clip();
  if (padding == 2) {
    double low = align ? 0 : -1, high = align ? 2.0 * (size - 1) : 2.0 * size - 1;
    if (low == high) return {e.zeros(typeOf(g)), c(0)};
    double min = low / 2, span = (high - low) / 2;
    Value offset = e.addScalar(r.pos, -min);
    Value distance = e.unaryOp("lumo.Abs", offset);
    Value extra = e.binary("fmod", distance, c(span));
    Value flips = e.unaryOp("lumo.Floor", e.div(distance, c(span)));
    Value even = e.compare(e.binary("fmod", flips, c(2)), c(0), "EQ");
    r.pos = e.addScalar(e.select(even, extra, e.sub(c(span), extra)), min);
    Value sign = e.select(e.compare(offset, c(0), "LT"), c(-1), c(1));
    r.grad = e.mul(r.grad, e.select(even, sign, e.unary("neg", sign)));
    clip();
  }
  return r;
}

/// F.grid_sample's reads: input [N, C, spatial...] (2 or 3 spatial dimensions) as a table
/// [N, positions, C]; grid [N, out..., D] as source coordinates [N, P, 1], one per spatial
/// dimension (coordinate 0 is the last dimension, x, then y and z); each tap (corner) with its
/// weight, its position and whether it lies inside the input.
struct GridSampler {
  struct Tap {
    Value weight;          // [N, P, 1]
    Value index, inside;   // [N, P] si64 into the table, [N, P, 1] i1
  };
  Emitter &e;
  int64_t n, c, p;
  Shape sizes, spatial;  // per coordinate (x first); the input's spatial shape
  llvm::SmallVector<SourceCoordinate, 3> coords;
  // Per coordinate, the weights of the lower and upper neighbour ([N, P, 1]; linear mode).
  llvm::SmallVector<Value, 3> lower, upper;
  // Linear mode: 2^D taps, bit k of a tap's number set where it is the upper neighbour along
  // coordinate k (x varies fastest, as PyTorch sums them); nearest mode: one tap.
  llvm::SmallVector<Tap, 8> taps;

  GridSampler(TorchOp &t, Value input, Value grid, unsigned modeAt) : e(t.e) {
    ArrayRef<int64_t> in = shapeOf(input), gs = shapeOf(grid);
    int64_t rank = in.size(), dims = rank - 2;
    if ((rank != 4 && rank != 5) || static_cast<int64_t>(gs.size()) != rank || gs[0] != in[0] ||
        gs.back() != dims)
      unsupported("grid sampling of other than a 4-D or 5-D input by a grid [N, out..., D]");
    n = in[0], c = in[1], p = numElements(gs.drop_front().drop_back());
    spatial.assign(in.begin() + 2, in.end());
    sizes.assign(spatial.rbegin(), spatial.rend());
    int64_t mode = t.i64(modeAt), padding = t.i64(modeAt + 1);
    bool align = t.flag(modeAt + 2);
    if (mode > 1) unsupported("bicubic grid sampling");
    Value points = e.reshape(grid, {n, p, dims});
    for (int64_t k = 0; k < dims; ++k)
      coords.push_back(sourceCoordinate(e, e.sliceDim(points, 2, k, 1), sizes[k], padding, align));
    Type elem = elemOf(grid);
    if (mode == 1) {  // nearest, ties to even
      llvm::SmallVector<Value, 3> at;
      for (const auto &coord : coords) at.push_back(e.unary("round", coord.pos));
      taps.push_back(tap(at, e.scalar(elem, 1)));
      return;
    }
    llvm::SmallVector<Value, 3> low, high;
    for (const auto &coord : coords) {
      low.push_back(e.unaryOp("lumo.Floor", coord.pos));
      high.push_back(e.addScalar(low.back(), 1));
      lower.push_back(e.sub(high.back(), coord.pos));
      upper.push_back(e.sub(coord.pos, low.back()));
    }
    for (unsigned corner = 0; corner < (1u << dims); ++corner) {
      llvm::SmallVector<Value, 3> at;
      for (int64_t k = 0; k < dims; ++k) at.push_back(corner >> k & 1 ? high[k] : low[k]);
      taps.push_back(tap(at, weight(corner, -1)));
    }
  }

  /// The product of the weights of a corner along every coordinate but `skip`, x first.
  Value weight(unsigned corner, int64_t skip) {
    Value w;
    for (int64_t k = 0; k < static_cast<int64_t>(coords.size()); ++k) {
      if (k == skip) continue;
      Value f = corner >> k & 1 ? upper[k] : lower[k];
      w = w ? e.mul(w, f) : f;
    }
    return w;
  }

  Tap tap(ArrayRef<Value> at, Value weight) {
    Type elem = elemOf(at[0]), si64 = si64Type(e.ctx());
    Value index, inside;
    for (int64_t k = at.size() - 1; k >= 0; --k) {
      Value v = at[k], top = e.scalar(elem, sizes[k] - 1), zero = e.scalar(elem, 0);
      Value within = e.logicalAnd(e.compare(v, zero, "GE"), e.compare(v, top, "LE"));
      Value clamped = e.cast(e.reshape(e.op("lumo.Clamp", {v, zero, top}, v.getType()), {n, p}), si64);
      index = index ? e.add(e.mul(index, e.scalar(si64, sizes[k])), clamped) : clamped;
      inside = inside ? e.logicalAnd(inside, within) : within;
    }
    return {weight, index, inside};
  }

  /// [N, C, shape...] -> [N, prod(shape), C].
  Value table(Value v) {
    Shape perm{0};
    for (int64_t d = 2; d < rankOf(v); ++d) perm.push_back(d);
    perm.push_back(1);
    return e.reshape(e.transpose(v, perm), {n, numElements(shapeOf(v).drop_front(2)), c});
  }
  Value read(Value table, const Tap &tap) { return e.gather(table, tap.index, 1, 1); }
  /// v ([N, P, C]) where the tap lies inside, zero elsewhere (never a product with what is there).
  Value masked(const Tap &tap, Value v) { return e.select(tap.inside, v, e.zeros(typeOf(v))); }
  /// [N, prod(shape), C] -> [N, C, shape...].
  Value image(Value v, ArrayRef<int64_t> shape) {
    Shape full{n};
    full.append(shape.begin(), shape.end());
    full.push_back(c);
    Shape perm{0, static_cast<int64_t>(full.size()) - 1};
    for (int64_t d = 1; d + 1 < static_cast<int64_t>(full.size()); ++d) perm.push_back(d);
    return e.transpose(e.reshape(v, full), perm);
  }
};

/// grid_sampler_{2,3}d(input, grid, interpolation_mode, padding_mode, align_corners): (bi/tri)linear
/// (0) or nearest (1).
Values gridSampler(TorchOp &t) {
  Type elem = t.resultElem();
  GridSampler s(t, t.value(0, elem), t.value(1, elem), 2);
  Value table = s.table(t.value(0, elem)), sum;
  for (const auto &tap : s.taps) {
    Value v = s.masked(tap, t.e.mul(s.read(table, tap), tap.weight));
    sum = sum ? t.e.add(sum, v) : v;
  }
  return {s.image(sum, t.resultShape().drop_front(2))};
}

/// grid_sampler_{2,3}d_backward(grad, input, grid, interpolation_mode, padding_mode,
/// align_corners, output_mask) -> (grad_input, grad_grid): the gradient added into each tap's
/// position; and along each coordinate, the differences of the values of neighbouring taps times
/// the weights of the other coordinates, times the gradient, summed over the channels. (Differences
/// first, as PyTorch's CPU kernel takes them: sums of each tap's products with the gradient would
/// cancel, which loses every digit of a reduced-precision result.)
Values gridSamplerBackward(TorchOp &t) {
  t.expectOperands(7);
  Emitter &e = t.e;
  Type elem = t.resultElem();
  Value input = t.value(1, elem), grid = t.value(2, elem);
  GridSampler s(t, input, grid, 3);
  Value dy = s.table(t.value(0, elem));
  auto wanted = wantedResults(t, 6);
  Values out(2);
  if (wanted[0]) {
    auto type = tensorOf({s.n, numElements(s.spatial), s.c}, elem);
    Value acc = e.zeros(type);
    for (const auto &tap : s.taps) {
      Value positions = e.broadcastInDim(tap.index, {s.n, s.p, s.c}, {0, 1});
      acc = e.scatter(acc, positions, s.masked(tap, e.mul(dy, tap.weight)), 1, "add");
    }
    out[0] = s.image(acc, s.spatial);
  }
  if (wanted[1] && s.taps.size() == 1) {
    out[1] = e.zeros(t.resultType(1));  // nearest: a step function of the grid
  } else if (wanted[1]) {
    Value table = s.table(input);
    llvm::SmallVector<Value, 8> values;
    for (const auto &tap : s.taps) values.push_back(s.masked(tap, s.read(table, tap)));
    Values parts;
    for (int64_t k = 0; k < static_cast<int64_t>(s.coords.size()); ++k) {
      Value sum;
      for (unsigned corner = 0; corner < s.taps.size(); ++corner) {
        if (corner >> k & 1) continue;
        Value v = e.sub(values[corner | 1u << k], values[corner]);
        if (s.coords.size() > 1) v = e.mul(v, s.weight(corner, k));
        sum = sum ? e.add(sum, v) : v;
      }
      // Summed over the channels; a few channels of a reduced-precision type one after the other,
      // rounding after each, as PyTorch's CPU kernel.
      Value terms = e.mul(sum, dy), g;
      if (isReducedFloat(elem) && s.c > 0 && s.c <= 16) {
        for (int64_t ch = 0; ch < s.c; ++ch) {
          Value v = e.sliceDim(terms, 2, ch, 1);
          g = g ? e.add(g, v) : v;
        }
      } else {
        g = e.reduce(terms, {2}, true, "sum");
      }
      parts.push_back(e.mul(g, s.coords[k].grad));
    }
    out[1] = e.conform(e.concat(parts, 2), t.resultType(1));
  }
  return out;
}

// ------------------------------------------------------------------ pooling

Value resample(Emitter &e, Value x, ArrayRef<std::vector<double>> matrices, ArrayRef<int64_t> out,
               ArrayRef<int64_t> in, bool transposed);

struct PoolParams {
  Shape kernel, stride, padding, dilation;
};

Value pool(Emitter &e, Value input, Value delta, const PoolParams &p, StringRef kind,
           RankedTensorType type, bool gradient) {
  llvm::SmallVector<NamedAttribute, 8> attrs{
      e.ints("ksize", p.kernel), e.ints("strides", p.stride), e.ints("padding", p.padding),
      e.ints("dilation", p.dilation), e.str("pool_type", kind)};
  if (gradient) attrs.push_back(e.flag("gradient", true));
  if (!delta) delta = e.zeros(tensorOf({}, elemOf(input)));
  return e.op("lumo.Pool", {input, delta}, type, attrs);
}

/// The trailing `spatial` dimensions of a pooled shape, after at least one leading dimension (a
/// batch and channels, or channels alone).
ArrayRef<int64_t> spatialOf(ArrayRef<int64_t> shape, int64_t spatial) {
  if (spatial < 1 || spatial + 1 > static_cast<int64_t>(shape.size()))
    unsupported("spatial dimensions do not match the input's rank");
  return shape.take_back(spatial);
}

/// The number of spatial dimensions a pooling operation's name says (max_pool2d: 2).
int64_t spatialOfKind(TorchOp &t) {
  for (int64_t n : {1, 2, 3})
    if (t.kind.contains((llvm::Twine(n) + "d").str())) return n;
  unsupported("pooling of an unknown number of spatial dimensions");
}

/// lumo.Pool on an input whose leading dimensions are not exactly [N, C]: pooled as [1, planes,
/// spatial...].
Value poolPlanes(Emitter &e, Value input, Value delta, const PoolParams &p, StringRef kind,
                 RankedTensorType type, bool gradient) {
  int64_t spatial = p.kernel.size();
  if (rankOf(input) == spatial + 2) return pool(e, input, delta, p, kind, type, gradient);
  auto planar = [&](ArrayRef<int64_t> shape) {
    Shape s{1, numElements(shape.drop_back(spatial))};
    s.append(shape.take_back(spatial).begin(), shape.take_back(spatial).end());
    return s;
  };
  input = e.reshape(input, planar(shapeOf(input)));
  if (delta) delta = e.reshape(delta, planar(shapeOf(delta)));
  Value r = pool(e, input, delta, p, kind, tensorOf(planar(type.getShape()), type.getElementType()),
                 gradient);
  return e.reshape(r, type.getShape());
}

/// The windows of max pooling as input positions: for every output position (row-major) the
/// flat positions in its plane of the window's elements, `size` of them in row-major order. A
/// window element outside the input repeats the window's first element inside it, which changes
/// neither the maximum nor which element is the first maximum.
struct WindowTable {
  Shape positions;
  int64_t count = 1, size = 1;

  /// `coords[d][o]`: the coordinates along dimension d that output o's window covers (some may lie
  /// outside [0, in[d])); shorter lists repeat their last coordinate. With `outside` given, window
  /// elements outside the input read that position instead.
  WindowTable(ArrayRef<int64_t> in, ArrayRef<std::vector<Shape>> coords,
              std::optional<int64_t> outside = std::nullopt) {
    int64_t spatial = in.size();
    Shape out, extent, inStride(spatial, 1);
    for (int64_t d = spatial - 1; d >= 0; --d) {
      out.insert(out.begin(), coords[d].size());
      int64_t longest = 1;
      for (const Shape &c : coords[d]) longest = std::max<int64_t>(longest, c.size());
      extent.insert(extent.begin(), longest);
      if (d + 1 < spatial) inStride[d] = inStride[d + 1] * in[d + 1];
    }
    count = numElements(out), size = numElements(extent);
    Shape o(spatial, 0), k(spatial, 0);
    for (int64_t oi = 0; oi < count; ++oi) {
      int64_t first = -1;
      size_t start = positions.size();
      for (int64_t ki = 0; ki < size; ++ki) {
        int64_t flat = 0;
        bool inside = true;
        for (int64_t d = 0; d < spatial; ++d) {
          const Shape &c = coords[d][o[d]];
          if (c.empty()) unsupported("an empty pooling window");
          int64_t v = c[std::min<int64_t>(k[d], c.size() - 1)];
          inside &= v >= 0 && v < in[d];
          flat += v * inStride[d];
        }
        positions.push_back(inside ? flat : -1);
        if (inside && first < 0) first = flat;
        step(k, extent);
      }
      if (outside) first = *outside;
      if (first < 0) unsupported("a pooling window that lies entirely in the padding");
      for (size_t j = start; j < positions.size(); ++j)
        if (positions[j] < 0) positions[j] = first;
      step(o, out);
    }
  }

  static void step(Shape &index, ArrayRef<int64_t> bounds) {
    for (int64_t d = index.size() - 1; d >= 0; --d) {
      if (++index[d] < bounds[d]) return;
      index[d] = 0;
    }
  }
};

/// Max pooling by gathering every window of x's planes: the maxima and, as PyTorch gives them,
/// the flat positions in the plane of the first maxima.
std::pair<Value, Value> gatheredMaxPool(Emitter &e, Value x, int64_t spatial, const WindowTable &w,
                                        RankedTensorType valueType, RankedTensorType indexType) {
  int64_t planes = numElements(shapeOf(x).drop_back(spatial));
  Value flat = e.reshape(x, {planes, numElements(shapeOf(x).take_back(spatial))});
  Value table = e.indexVector(w.positions);
  Value windows = e.reshape(e.gather(flat, table, 1), {planes, w.count, w.size});
  Value values = e.reshape(e.reduce(windows, {2}, false, "max"), valueType.getShape());
  Value slot = e.reduce(windows, {2}, false, "argmax");
  Shape firstSlots;
  for (int64_t o = 0; o < w.count; ++o) firstSlots.push_back(o * w.size);
  slot = e.add(slot, e.broadcastInDim(e.indexVector(firstSlots), {planes, w.count}, {1}));
  return {values, e.conform(e.gather(table, slot, 0), indexType)};
}

/// The gradient of max pooling given the positions of the maxima: each element of dy added at
/// its index in its plane.
Value scatterAtIndices(Emitter &e, Value dy, Value indices, RankedTensorType type, int64_t spatial) {
  ArrayRef<int64_t> shape = type.getShape();
  if (shapeOf(indices) != shapeOf(dy)) unsupported("pooling indices not shaped like the gradient");
  int64_t planes = numElements(shape.drop_back(spatial)), count = numElements(spatialOf(shapeOf(dy), spatial));
  if (numElements(shapeOf(dy)) != planes * count) unsupported("a pooling gradient of other planes");
  Value updates = e.reshape(dy, {planes, count});
  Value at = e.reshape(e.cast(indices, si64Type(e.ctx())), {planes, count});
  Value zero = e.zeros(tensorOf({planes, numElements(shape.take_back(spatial))}, elemOf(dy)));
  return e.reshape(e.scatter(zero, at, updates, 1, "add"), shape);
}

/// kernel, stride (empty: the kernel), padding, dilation starting at operand `at`.
PoolParams poolParams(TorchOp &t, unsigned at, int64_t spatial, bool hasDilation) {
  PoolParams p;
  p.kernel = perSpatial(t.ints(at), spatial, "kernel", 1);
  p.stride = perSpatial(t.ints(at + 1), spatial, "stride", 0);
  for (int64_t i = 0; i < spatial; ++i)
    if (p.stride[i] == 0) p.stride[i] = p.kernel[i];
  p.padding = perSpatial(t.ints(at + 2), spatial, "padding", 0);
  p.dilation = hasDilation ? perSpatial(t.ints(at + 3), spatial, "dilation", 1) : Shape(spatial, 1);
  for (int64_t i = 0; i < spatial; ++i)
    if (p.kernel[i] < 1 || p.stride[i] < 1 || p.padding[i] < 0 || p.dilation[i] < 1)
      unsupported("pooling parameters out of range");
  return p;
}

/// The max pooling windows of p over `in` with `out` output positions per dimension.
WindowTable maxPoolWindows(const PoolParams &p, ArrayRef<int64_t> in, ArrayRef<int64_t> out,
                           std::optional<int64_t> outside = std::nullopt) {
  std::vector<std::vector<Shape>> coords(in.size());
  for (size_t d = 0; d < in.size(); ++d)
    for (int64_t o = 0; o < out[d]; ++o) {
      Shape c;
      for (int64_t k = 0; k < p.kernel[d]; ++k)
        c.push_back(o * p.stride[d] - p.padding[d] + k * p.dilation[d]);
      coords[d].push_back(c);
    }
  return WindowTable(in, coords, outside);
}

/// Whether the indices operand `at` of a max pooling gradient are those of the forward pooling
/// of the same input with the same settings (operands `settingsAt`..+4 of the gradient).
bool indicesOfSamePooling(Operation *backward, unsigned at, unsigned settingsAt, const FunctionState &state) {
  Operation *forward = backward->getOperand(at).getDefiningOp();
  if (!forward || !torchKind(forward).startswith("aten.max_pool") ||
      !torchKind(forward).endswith("_with_indices") || forward->getNumOperands() < 6 ||
      forward->getOperand(0) != backward->getOperand(1))
    return false;
  for (unsigned i = 0; i < 5; ++i) {
    Value a = forward->getOperand(1 + i), b = backward->getOperand(settingsAt + i);
    if (a == b) continue;
    auto ia = constantInts(a, state), ib = constantInts(b, state);
    auto na = constantNumber(a, state), nb = constantNumber(b, state);
    if (!((ia && ib && *ia == *ib) || (na && nb && *na == *nb))) return false;
  }
  return true;
}

/// max_pool{2,3}d_with_indices(x, kernel, stride, padding, dilation, ceil_mode) -> (out, indices),
/// max_pool{1,2,3}d(...) -> out. The indices (flat positions in each plane, as PyTorch's) come from
/// gathering every window; when only the matching gradient reads them, pooling runs as lumo.Pool
/// and the gradient recomputes them.
Values maxPool(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t spatial = spatialOfKind(t);
  PoolParams p = poolParams(t, 1, spatial, true);
  bool indicesRead = false;
  if (t.op->getNumResults() > 1)
    for (OpOperand &use : t.op->getResult(1).getUses()) {
      Operation *user = use.getOwner();
      indicesRead |= !(torchKind(user).startswith("aten.max_pool") && use.getOperandNumber() == 7 &&
                       indicesOfSamePooling(user, 7, 2, t.state));
    }
  // lumo.Pool takes floating-point values only: integers always gather their windows.
  if (indicesRead || !isFloatType(elemOf(x))) {
    WindowTable w = maxPoolWindows(p, spatialOf(shapeOf(x), spatial), spatialOf(t.resultShape(), spatial));
    auto [values, indices] =
        gatheredMaxPool(t.e, x, spatial, w, t.resultType(0), tensorOf(t.resultShape(), si64Type(t.e.ctx())));
    if (t.op->getNumResults() == 1) return {values};
    return {values, indices};
  }
  Value out = poolPlanes(t.e, x, Value(), p, "MAX", t.resultType(0), false);
  if (t.op->getNumResults() == 1) return {out};
  return {out, Value()};
}

/// max_pool{2,3}d_with_indices_backward(grad, x, kernel, stride, padding, dilation, ceil_mode,
/// indices).
Values maxPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  int64_t spatial = spatialOfKind(t);
  if (!indicesOfSamePooling(t.op, 7, 2, t.state))
    return {scatterAtIndices(t.e, dy, t.tensor(7), t.resultType(), spatial)};
  PoolParams p = poolParams(t, 2, spatial, true);
  return {poolPlanes(t.e, x, dy, p, "MAX", t.resultType(), true)};
}

/// What average pooling of x ([..., spatial...]) divides each window's sum by, relative to what
/// lumo.Pool "AVG" divides by (the window clipped to the padded input): a constant of the output's
/// spatial shape to multiply lumo.Pool's result by (or its gradient's), null where it is 1
/// everywhere. PyTorch divides by `divisor` when given, else by the window clipped to the padded
/// input (`countPad`) or to the input.
/// Per output window (row-major): what lumo.Pool "AVG" divides its sum by, and what PyTorch does.
std::pair<Shape, Shape> avgPoolDivisors(ArrayRef<int64_t> in, ArrayRef<int64_t> out, const PoolParams &p,
                                        bool countPad, std::optional<int64_t> divisor) {
  if (divisor && *divisor == 0) unsupported("average pooling with a divisor of zero");
  int64_t spatial = in.size();
  std::vector<Shape> padded(spatial), inside(spatial);
  for (int64_t d = 0; d < spatial; ++d)
    for (int64_t o = 0; o < out[d]; ++o) {
      int64_t start = o * p.stride[d] - p.padding[d];
      int64_t end = std::min(start + p.kernel[d], in[d] + p.padding[d]);
      padded[d].push_back(end - start);
      inside[d].push_back(std::max<int64_t>(0, std::min(end, in[d]) - std::max<int64_t>(start, 0)));
    }
  Shape pools, wants, o(spatial, 0);
  for (int64_t i = 0, n = numElements(out); i < n; ++i) {
    int64_t pool = 1, count = 1;
    for (int64_t d = 0; d < spatial; ++d) pool *= padded[d][o[d]], count *= inside[d][o[d]];
    // A window without input elements gives zero whatever it divides by.
    pools.push_back(pool);
    wants.push_back(count == 0 ? pool : divisor ? *divisor : countPad ? pool : count);
    WindowTable::step(o, out);
  }
  return {pools, wants};
}

Value avgPoolFactor(Emitter &e, ArrayRef<int64_t> in, ArrayRef<int64_t> out, const PoolParams &p,
                    bool countPad, std::optional<int64_t> divisor, Type elem) {
  auto [pools, wants] = avgPoolDivisors(in, out, p, countPad, divisor);
  std::vector<double> factor;
  bool ones = true;
  for (size_t i = 0; i < pools.size(); ++i) {
    factor.push_back(static_cast<double>(pools[i]) / wants[i]);
    ones &= factor.back() == 1.0;
  }
  if (ones) return Value();
  return e.constant(tensorOf(out, elem), factor);
}

/// Average pooling of integers, exact: every window gathered (elements outside the input read an
/// appended zero), summed, divided with truncation toward zero as PyTorch's integer kernels.
Value integerAvgPool(Emitter &e, Value x, int64_t spatial, const PoolParams &p, ArrayRef<int64_t> out,
                     bool countPad, std::optional<int64_t> divisor, RankedTensorType type) {
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  int64_t planes = numElements(shapeOf(x).drop_back(spatial)), size = numElements(in);
  Type elem = elemOf(x);
  WindowTable w = maxPoolWindows(p, in, out, size);
  Value flat = e.concat({e.reshape(x, {planes, size}), e.zeros(tensorOf({planes, 1}, elem))}, 1);
  Value windows = e.reshape(e.gather(flat, e.indexVector(w.positions), 1), {planes, w.count, w.size});
  Value sums = e.reduce(windows, {2}, false, "sum");
  auto [pools, wants] = avgPoolDivisors(in, out, p, countPad, divisor);
  Value divisors = e.cast(e.indexVector(wants), elem);
  return e.reshape(e.div(sums, e.broadcastInDim(divisors, {planes, w.count}, {1})), type.getShape());
}

std::optional<int64_t> divisorOperand(TorchOp &t, unsigned at) {
  if (t.size() <= at || t.isNone(at)) return std::nullopt;
  return t.i64(at);
}

/// y times a factor of its trailing dimensions' shape, if there is one.
Value scaleWindows(Emitter &e, Value y, Value factor) {
  if (!factor) return y;
  int64_t rank = rankOf(y), spatial = rankOf(factor);
  return e.mul(y, e.broadcastInDim(factor, shapeOf(y), dimRange(rank - spatial, rank)));
}

/// avg_pool{2,3}d(x, kernel, stride, padding, ceil_mode, count_include_pad, divisor_override?).
Values avgPool(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  int64_t spatial = spatialOfKind(t);
  PoolParams p = poolParams(t, 1, spatial, false);
  if (isIntegerType(elem))
    return {integerAvgPool(t.e, x, spatial, p, spatialOf(t.resultShape(), spatial), t.flag(5),
                           divisorOperand(t, 6), t.resultType())};
  if (!isFloatType(elem)) unsupported("average pooling of booleans");
  Value factor = avgPoolFactor(t.e, spatialOf(shapeOf(x), spatial), spatialOf(t.resultShape(), spatial), p,
                               t.flag(5), divisorOperand(t, 6), elem);
  return {scaleWindows(t.e, poolPlanes(t.e, x, Value(), p, "AVG", t.resultType(), false), factor)};
}

/// avg_pool{2,3}d_backward(grad, x, kernel, stride, padding, ceil_mode, count_include_pad,
/// divisor_override?).
Values avgPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  if (!isFloatType(elem)) unsupported("average pooling of integers");
  int64_t spatial = spatialOfKind(t);
  PoolParams p = poolParams(t, 2, spatial, false);
  Value factor = avgPoolFactor(t.e, spatialOf(shapeOf(x), spatial), spatialOf(shapeOf(dy), spatial), p,
                               t.flag(6), divisorOperand(t, 7), elem);
  return {poolPlanes(t.e, x, scaleWindows(t.e, dy, factor), p, "AVG", t.resultType(), true)};
}

/// PyTorch's adaptive pooling window along one dimension: [floor(o*in/out), ceil((o+1)*in/out)).
std::pair<int64_t, int64_t> adaptiveWindow(int64_t o, int64_t in, int64_t out) {
  return {o * in / out, ((o + 1) * in + out - 1) / out};
}

/// Adaptive pooling whose windows tile the input exactly (kernel = stride = in / out), or nothing.
std::optional<PoolParams> tilingParams(ArrayRef<int64_t> in, ArrayRef<int64_t> out) {
  PoolParams p;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 0 || in[i] % out[i]) return std::nullopt;
    p.kernel.push_back(in[i] / out[i]);
    p.stride.push_back(in[i] / out[i]);
    p.padding.push_back(0);
    p.dilation.push_back(1);
  }
  return p;
}

/// The [out, in] matrices that average adaptive windows, one per spatial dimension (the average
/// over a box is the product of the averages along its sides).
std::vector<std::vector<double>> adaptiveMatrices(ArrayRef<int64_t> in, ArrayRef<int64_t> out) {
  std::vector<std::vector<double>> matrices;
  for (size_t d = 0; d < in.size(); ++d) {
    std::vector<double> w(out[d] * in[d], 0.0);
    for (int64_t o = 0; o < out[d]; ++o) {
      auto [start, end] = adaptiveWindow(o, in[d], out[d]);
      for (int64_t i = start; i < end; ++i) w[o * in[d] + i] = 1.0 / (end - start);
    }
    matrices.push_back(std::move(w));
  }
  return matrices;
}

void checkAdaptiveSizes(ArrayRef<int64_t> in, ArrayRef<int64_t> out) {
  for (size_t d = 0; d < in.size(); ++d)
    if (in[d] < 1 || out[d] < 1) unsupported("adaptive pooling of an empty dimension");
}

/// _adaptive_avg_pool{2,3}d(x, output_size), adaptive_avg_pool{1,2}d.
Values adaptiveAvgPool(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Shape outSize = t.ints(1);
  int64_t spatial = outSize.size();
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  if (spatialOf(t.resultShape(), spatial) != ArrayRef<int64_t>(outSize))
    unsupported("the result's shape differs from the output size");
  if (in == ArrayRef<int64_t>(outSize)) return {x};
  checkAdaptiveSizes(in, outSize);
  if (numElements(outSize) == 1)
    return {e.conform(e.reduce(x, dimRange(rankOf(x) - spatial, rankOf(x)), true, "mean"), t.resultType())};
  if (auto p = tilingParams(in, outSize)) return {poolPlanes(e, x, Value(), *p, "AVG", t.resultType(), false)};
  return {e.conform(resample(e, x, adaptiveMatrices(in, outSize), outSize, in, false), t.resultType())};
}

/// _adaptive_avg_pool{2,3}d_backward(grad, x).
Values adaptiveAvgPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  int64_t spatial = spatialOfKind(t);
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial), out = spatialOf(shapeOf(dy), spatial);
  if (in == out) return {dy};
  checkAdaptiveSizes(in, out);
  if (numElements(out) == 1)
    return {e.broadcastTo(e.scale(dy, 1.0 / numElements(in)), shapeOf(x))};
  if (auto p = tilingParams(in, out)) return {poolPlanes(e, x, dy, *p, "AVG", t.resultType(), true)};
  return {e.conform(resample(e, dy, adaptiveMatrices(in, out), out, in, true), t.resultType())};
}

/// adaptive_max_pool{2,3}d(x, output_size) -> (out, indices): every window gathered.
Values adaptiveMaxPool(TorchOp &t) {
  Value x = t.tensor(0);
  Shape outSize = t.ints(1);
  int64_t spatial = outSize.size();
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  checkAdaptiveSizes(in, outSize);
  std::vector<std::vector<Shape>> coords(spatial);
  for (int64_t d = 0; d < spatial; ++d)
    for (int64_t o = 0; o < outSize[d]; ++o) {
      auto [start, end] = adaptiveWindow(o, in[d], outSize[d]);
      coords[d].push_back(dimRange(start, end));
    }
  auto [values, indices] =
      gatheredMaxPool(t.e, x, spatial, WindowTable(in, coords), t.resultType(0), t.resultType(1));
  return {values, indices};
}

/// adaptive_max_pool{2,3}d_backward(grad, x, indices).
Values adaptiveMaxPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  return {scatterAtIndices(t.e, t.value(0, elem), t.tensor(2), t.resultType(), spatialOfKind(t))};
}

/// fractional_max_pool{2,3}d(x, kernel_size, output_size, random_samples) -> (out, indices). Each
/// plane's windows start where PyTorch's sequences put them: along a dimension of size `in` with
/// `out` windows of `k`, window i < out - 1 starts at int((i + u) * alpha) - int(u * alpha),
/// alpha = (in - k) / (out - 1), and the last at in - k, from the plane's sample u of that
/// dimension (random_samples [N, C, D]: for two dimensions the first sample is the width's, for
/// three the depth's), in the input's type as PyTorch computes them. The starts are computed in
/// the program (the samples are usually drawn in it), then every window gathered.
Values fractionalMaxPool(TorchOp &t) {
  Emitter &e = t.e;
  Type elem = t.resultElem(), si64 = si64Type(e.ctx());
  Value x = t.value(0, elem);
  int64_t spatial = spatialOfKind(t);
  Shape kernel = perSpatial(t.ints(1), spatial, "kernel_size", 1), outSize = t.ints(2);
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  if (static_cast<int64_t>(outSize.size()) != spatial ||
      spatialOf(t.resultShape(), spatial) != ArrayRef<int64_t>(outSize))
    unsupported("the result's shape differs from the output size");
  int64_t planes = numElements(shapeOf(x).drop_back(spatial)), size = numElements(in);
  Value samples = t.value(3, elem);
  if (numElements(shapeOf(samples)) != planes * spatial)
    unsupported("random samples that are not one per plane and dimension");
  samples = e.reshape(samples, {planes, spatial});
  // positions [planes, out..., kernel...]: the flat position in the plane of every window element.
  Shape shape{planes};
  shape.append(outSize.begin(), outSize.end());
  shape.append(kernel.begin(), kernel.end());
  Shape offsets, k(spatial, 0);
  Value positions;
  for (int64_t d = spatial - 1, stride = 1; d >= 0; stride *= in[d], --d) {
    int64_t out = outSize[d], last = in[d] - kernel[d];
    if (out < 1 || kernel[d] < 1 || last < 0 || out + kernel[d] - 1 > in[d])
      unsupported("fractional pooling windows that do not fit the input");
    Value starts = e.broadcastTo(e.indexScalar(last), {planes, 1});
    if (out > 1) {
      int64_t column = spatial == 2 ? 1 - d : d;
      Shape across{planes, out - 1};
      Value u = e.broadcastInDim(e.reshape(e.sliceDim(samples, 1, column, 1), {planes}), across, {0});
      Value alpha = e.div(e.scalar(elem, last), e.scalar(elem, out - 1));
      Value at = e.add(e.broadcastInDim(e.cast(e.indexVector(dimRange(0, out - 1)), elem), across, {1}), u);
      Value first = e.cast(e.mul(u, alpha), si64);
      starts = e.concat({e.sub(e.cast(e.mul(at, alpha), si64), first), starts}, 1);
      starts = e.op("lumo.Clamp", {starts, e.indexScalar(0), e.indexScalar(last)}, starts.getType());
    }
    Value term = e.broadcastInDim(e.mul(starts, e.indexScalar(stride)), shape, {0, 1 + d});
    positions = positions ? e.add(positions, term) : term;
  }
  for (int64_t i = 0, n = numElements(kernel); i < n; ++i) {
    int64_t flat = 0;
    for (int64_t d = 0; d < spatial; ++d) flat = flat * in[d] + k[d];
    offsets.push_back(flat);
    WindowTable::step(k, kernel);
  }
  Shape kernelDims = dimRange(1 + spatial, 1 + 2 * spatial);
  Value within = e.reshape(e.indexVector(offsets), kernel);
  positions = e.add(positions, e.broadcastInDim(within, shape, kernelDims));
  int64_t count = numElements(outSize), window = numElements(kernel);
  positions = e.reshape(positions, {planes, count * window});
  Value windows = e.gather(e.reshape(x, {planes, size}), positions, 1, 1);
  windows = e.reshape(windows, {planes, count, window});
  Value values = e.reshape(e.reduce(windows, {2}, false, "max"), t.resultShape(0));
  Shape firstSlots;
  for (int64_t o = 0; o < count; ++o) firstSlots.push_back(o * window);
  Value slot = e.add(e.reduce(windows, {2}, false, "argmax"),
                     e.broadcastInDim(e.indexVector(firstSlots), {planes, count}, {1}));
  return {values, e.conform(e.gather(positions, slot, 1, 1), t.resultType(1))};
}

/// fractional_max_pool{2,3}d_backward(grad, x, kernel_size, output_size, indices).
Values fractionalMaxPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  return {scatterAtIndices(t.e, t.value(0, elem), t.tensor(4), t.resultType(), spatialOfKind(t))};
}

/// max_unpool2d(x, indices, output_size), max_unpool3d(x, indices, output_size, stride, padding):
/// zeros with every element of x written at its index in its plane (the stride and padding only
/// check the indices in PyTorch).
Values maxUnpool(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), indices = t.tensor(1);
  int64_t spatial = spatialOfKind(t);
  RankedTensorType type = t.resultType();
  if (shapeOf(indices) != shapeOf(x)) unsupported("unpooling indices not shaped like the input");
  int64_t planes = numElements(shapeOf(x).drop_back(spatial)), count = numElements(spatialOf(shapeOf(x), spatial));
  int64_t size = numElements(spatialOf(type.getShape(), spatial));
  if (numElements(type.getShape()) != planes * size) unsupported("unpooling into other planes");
  Emitter &e = t.e;
  Value at = e.reshape(e.cast(indices, si64Type(e.ctx())), {planes, count});
  Value planar = e.scatter(e.zeros(tensorOf({planes, size}, elem)), at, e.reshape(x, {planes, count}), 1, "none");
  return {e.reshape(planar, type.getShape())};
}

// ------------------------------------------------------------------ nearest resampling

/// PyTorch's source position of every output position along one dimension resampled by nearest
/// neighbours, in its single-precision arithmetic: floor(o * scale), or with `exact`
/// floor((o + 0.5) * scale), at most in - 1. Plain nearest copies where the size stays and halves
/// where it doubles, whatever the scale.
Shape nearestSources(bool exact, int64_t in, int64_t out, std::optional<double> scale) {
  if (in < 1) unsupported("resampling of an empty dimension");
  float s = scale && *scale > 0 ? static_cast<float>(1.0 / *scale) : static_cast<float>(in) / out;
  Shape sources;
  for (int64_t o = 0; o < out; ++o) {
    int64_t i = exact         ? static_cast<int64_t>(std::floor(static_cast<float>((o + 0.5) * s)))
                : out == in     ? o
                : out == 2 * in ? o >> 1
                                : static_cast<int64_t>(std::floor(static_cast<float>(o) * s));
    sources.push_back(std::min(i, in - 1));
  }
  return sources;
}

/// upsample_nearest{1,2,3}d and _upsample_nearest_exact{1,2,3}d: forward (x, output_size,
/// scales...), each dimension gathering its source positions, or every element repeated where
/// each position repeats a whole number of times; backward (grad, output_size, input_size,
/// scales...), the gradient added into the positions it was read from.
PatternFn upsampleNearest(bool exact, bool backward) {
  return [exact, backward](TorchOp &t) -> Values {
    Emitter &e = t.e;
    Value x = t.tensor(0);
    RankedTensorType result = t.resultType();
    int64_t rank = rankOf(x), spatial = rank - 2;
    if (result.getRank() != rank || spatial < 1) unsupported("resampling of this rank");
    ArrayRef<int64_t> small = spatialOf(backward ? result.getShape() : shapeOf(x), spatial);
    ArrayRef<int64_t> large = spatialOf(backward ? shapeOf(x) : result.getShape(), spatial);
    unsigned at = backward ? 3 : 2;
    std::vector<Shape> sources;
    bool repeats = true;
    for (int64_t k = 0; k < spatial; ++k) {
      std::optional<double> scale;
      if (t.size() > at + k && !t.isNone(at + k)) scale = t.f64(at + k);
      sources.push_back(nearestSources(exact, small[k], large[k], scale));
      for (int64_t o = 0; o < large[k]; ++o)
        repeats &= large[k] % small[k] == 0 && sources[k][o] == o / (large[k] / small[k]);
    }
    ArrayRef<int64_t> lead = shapeOf(x).take_front(2);
    if (repeats && !backward) {  // [N, C, in, factor, ...] by broadcasting
      Shape expanded(lead), dims{0, 1};
      for (int64_t k = 0; k < spatial; ++k) {
        dims.push_back(expanded.size());
        expanded.push_back(small[k]);
        expanded.push_back(large[k] / small[k]);
      }
      return {e.reshape(e.broadcastInDim(x, expanded, dims), result.getShape())};
    }
    if (repeats) {  // [N, C, in, factor, ...] summed over the factors
      Shape split(lead), dims;
      for (int64_t k = 0; k < spatial; ++k) {
        split.push_back(small[k]);
        dims.push_back(split.size());
        split.push_back(large[k] / small[k]);
      }
      return {e.reshape(e.reduce(e.reshape(x, split), dims, false, "sum"), result.getShape())};
    }
    for (int64_t k = 0; k < spatial; ++k) {
      if (sources[k] == dimRange(0, small[k])) continue;  // the dimension keeps its size
      Value index = e.indexVector(sources[k]);
      if (!backward) {
        x = e.gather(x, index, 2 + k);
        continue;
      }
      Shape shape(shapeOf(x));
      shape[2 + k] = small[k];
      x = e.scatter(e.zeros(tensorOf(shape, elemOf(x))), e.broadcastInDim(index, shapeOf(x), {2 + k}), x,
                    2 + k, "add");
    }
    return {e.conform(x, result)};
  };
}

// ------------------------------------------------------------------ interpolation as matrices

/// PyTorch's source-coordinate scale of one resampled dimension.
double sourceScale(int64_t in, int64_t out, bool alignCorners, std::optional<double> scale) {
  if (alignCorners) return out > 1 ? static_cast<double>(in - 1) / (out - 1) : 0.0;
  if (scale && *scale > 0) return 1.0 / *scale;
  return static_cast<double>(in) / out;
}

enum class Interp { Linear, Cubic, LinearAntialias };

/// The [out, in] matrix that resamples one dimension as PyTorch's upsample kernels do.
std::vector<double> interpolationMatrix(Interp mode, int64_t in, int64_t out, bool alignCorners,
                                        std::optional<double> scale) {
  std::vector<double> w(out * in, 0.0);
  double s = sourceScale(in, out, alignCorners, scale);
  auto at = [&](int64_t o, int64_t i, double v) {
    w[o * in + std::min(std::max<int64_t>(i, 0), in - 1)] += v;
  };
  for (int64_t o = 0; o < out; ++o) {
    if (mode == Interp::LinearAntialias) {
      // A triangle as wide as the scale (at least one input), centred on the output's source
      // position; its weights over the inputs it covers sum to one.
      double support = std::max(s, 1.0), center = s * (o + 0.5), total = 0;
      int64_t first = std::max<int64_t>(static_cast<int64_t>(center - support + 0.5), 0);
      int64_t end = std::min<int64_t>(static_cast<int64_t>(center + support + 0.5), in);
      for (int64_t i = first; i < end; ++i) {
        double d = std::abs(i - center + 0.5) / support;
        w[o * in + i] = d < 1 ? 1 - d : 0;
        total += w[o * in + i];
      }
      for (int64_t i = first; total != 0 && i < end; ++i) w[o * in + i] /= total;
      continue;
    }
    double src = alignCorners ? s * o : s * (o + 0.5) - 0.5;
    if (mode == Interp::Linear) {
      src = std::max(src, 0.0);
      int64_t i0 = static_cast<int64_t>(src);
      int64_t i1 = std::min(i0 + 1, in - 1);
      double l1 = src - i0;
      at(o, i0, 1.0 - l1);
      at(o, i1, l1);
      continue;
    }
    // Cubic convolution with A = -0.75.
    const double A = -0.75;
    int64_t i0 = static_cast<int64_t>(std::floor(src));
    double t = src - i0;
    auto near = [&](double x) { return ((A + 2) * x - (A + 3)) * x * x + 1; };
    auto far = [&](double x) { return ((A * x - 5 * A) * x + 8 * A) * x - 4 * A; };
    at(o, i0 - 1, far(t + 1));
    at(o, i0, near(t));
    at(o, i0 + 1, near(1 - t));
    at(o, i0 + 2, far(2 - t));
  }
  return w;
}

/// x resampled along each trailing dimension by its matrix; `transposed` applies the transposed
/// matrices (the gradient).
Value resample(Emitter &e, Value x, ArrayRef<std::vector<double>> matrices, ArrayRef<int64_t> out,
               ArrayRef<int64_t> in, bool transposed) {
  int64_t rank = rankOf(x), spatial = matrices.size();
  Type elem = elemOf(x);
  for (int64_t k = 0; k < spatial; ++k) {
    int64_t d = rank - spatial + k;
    Value w = e.constant(tensorOf({out[k], in[k]}, elem), matrices[k]);
    if (d == rank - 1) {
      x = e.matmul(x, w, false, !transposed);
    } else {
      Shape perm = dimRange(0, rank);
      std::swap(perm[d], perm[rank - 2]);
      x = e.transpose(e.matmul(w, e.transpose(x, perm), transposed, false), perm);
    }
  }
  return x;
}

/// upsample_{linear1d,bilinear2d,trilinear3d,bicubic2d} and _upsample_bilinear2d_aa forward and
/// backward. Operands: forward (input,
/// output_size, [align_corners,] scales...); backward (grad, output_size, input_size,
/// [align_corners,] scales...).
PatternFn upsample(Interp mode, bool backward) {
  return [mode, backward](TorchOp &t) -> Values {
    Value x = t.value(0, t.resultElem());
    if (!isFloatType(elemOf(x))) unsupported("resampling of an integer tensor");
    RankedTensorType result = t.resultType();
    int64_t rank = rankOf(x), spatial = rank - 2;
    if (result.getRank() != rank || spatial < 1) unsupported("resampling of this rank");
    ArrayRef<int64_t> small = backward ? result.getShape() : shapeOf(x);
    ArrayRef<int64_t> large = backward ? shapeOf(x) : result.getShape();
    unsigned at = backward ? 3 : 2;
    bool alignCorners = t.flag(at++);
    std::vector<std::vector<double>> matrices;
    Shape in, out;
    for (int64_t k = 0; k < spatial; ++k) {
      int64_t i = small[2 + k], o = large[2 + k];
      std::optional<double> scale;
      if (t.size() > at + k && !t.isNone(at + k)) scale = t.f64(at + k);
      matrices.push_back(interpolationMatrix(mode, i, o, alignCorners, scale));
      in.push_back(i), out.push_back(o);
    }
    return {t.e.conform(resample(t.e, x, matrices, out, in, backward), result)};
  };
}

}  // namespace

void addConvolutionPatterns(PatternTable &t) {
  // With a bias, reduced-precision floats convolve in f32 and round once after the bias, as
  // PyTorch's kernels do (a rounded sum then a bias that cancels it loses the low digits).
  auto hasBias = [](TorchOp &op) { return !op.isNone(2); };
  t.add({"aten.convolution", "aten._convolution"}, inOpmath(convolutionForward(true), hasBias));
  t.add({"aten.conv1d", "aten.conv2d", "aten.conv3d"}, inOpmath(convolutionForward(false), hasBias));
  t.add("aten.convolution_backward", convolutionBackward);
  t.add("aten.im2col", im2col);
  t.add("aten.col2im", col2im);
  t.add({"aten.grid_sampler_2d", "aten.grid_sampler_3d"}, gridSampler);
  t.add({"aten.grid_sampler_2d_backward", "aten.grid_sampler_3d_backward"}, gridSamplerBackward);
  t.add({"aten.max_pool2d_with_indices", "aten.max_pool3d_with_indices", "aten.max_pool2d",
         "aten.max_pool1d", "aten.max_pool3d"},
        maxPool);
  t.add({"aten.max_pool2d_with_indices_backward", "aten.max_pool3d_with_indices_backward"},
        maxPoolBackward);
  // Averages of reduced-precision floats sum in f32 and round once, as PyTorch's kernels.
  t.add({"aten.avg_pool2d", "aten.avg_pool3d"}, inOpmath(avgPool));
  t.add({"aten.avg_pool2d_backward", "aten.avg_pool3d_backward"}, inOpmath(avgPoolBackward));
  t.add({"aten._adaptive_avg_pool2d", "aten._adaptive_avg_pool3d", "aten.adaptive_avg_pool2d",
         "aten.adaptive_avg_pool1d"},
        inOpmath(adaptiveAvgPool));
  t.add({"aten._adaptive_avg_pool2d_backward", "aten._adaptive_avg_pool3d_backward"},
        inOpmath(adaptiveAvgPoolBackward));
  t.add({"aten.adaptive_max_pool2d", "aten.adaptive_max_pool3d"}, adaptiveMaxPool);
  t.add({"aten.adaptive_max_pool2d_backward", "aten.adaptive_max_pool3d_backward"}, adaptiveMaxPoolBackward);
  t.add({"aten.max_unpool2d", "aten.max_unpool3d"}, maxUnpool);
  t.add({"aten.fractional_max_pool2d", "aten.fractional_max_pool3d"}, fractionalMaxPool);
  t.add({"aten.fractional_max_pool2d_backward", "aten.fractional_max_pool3d_backward"},
        fractionalMaxPoolBackward);
  // Nearest modes gather (or repeat) elements; the linear modes are products with interpolation
  // matrices.
  for (bool back : {false, true}) {
    std::string suffix = back ? "_backward" : "";
    for (const char *name : {"aten.upsample_nearest1d", "aten.upsample_nearest2d", "aten.upsample_nearest3d"})
      t.add(name + suffix, upsampleNearest(false, back));
    for (const char *name : {"aten._upsample_nearest_exact1d", "aten._upsample_nearest_exact2d",
                             "aten._upsample_nearest_exact3d"})
      t.add(name + suffix, upsampleNearest(true, back));
    for (const char *name : {"aten.upsample_linear1d", "aten.upsample_bilinear2d", "aten.upsample_trilinear3d"})
      t.add(name + suffix, upsample(Interp::Linear, back));
    t.add("aten.upsample_bicubic2d" + suffix, upsample(Interp::Cubic, back));
    t.add("aten._upsample_bilinear2d_aa" + suffix, upsample(Interp::LinearAntialias, back));
  }
}

}  // namespace torch_lumo
