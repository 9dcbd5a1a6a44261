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

/// F.grid_sample's reads: input [N, C, H, W] as a table [N, H*W, C]; grid [N, Ho, Wo, 2] as source
/// coordinates [N, P, 1]; each tap (corner) with its weight, its position and whether it lies
/// inside the input.
struct GridSampler {
  struct Tap {
    Value weight, dx, dy;  // the weight and its derivatives by x and y, [N, P, 1]
    Value index, inside;   // [N, P] si64 into the table, [N, P, 1] i1
  };
  Emitter &e;
  int64_t n, c, h, w, p;
  SourceCoordinate x, y;
  llvm::SmallVector<Tap, 4> taps;

  GridSampler(TorchOp &t, Value input, Value grid, unsigned modeAt) : e(t.e) {
    ArrayRef<int64_t> in = shapeOf(input), gs = shapeOf(grid);
    if (in.size() != 4 || gs.size() != 4 || gs[0] != in[0] || gs[3] != 2)
      unsupported("grid sampling of other than a 4-D input by an [N, H, W, 2] grid");
    n = in[0], c = in[1], h = in[2], w = in[3], p = gs[1] * gs[2];
    int64_t mode = t.i64(modeAt), padding = t.i64(modeAt + 1);
    bool align = t.flag(modeAt + 2);
    if (mode > 1) unsupported("bicubic grid sampling");
    Value coords = e.reshape(grid, {n, p, 2});
    x = sourceCoordinate(e, e.sliceDim(coords, 2, 0, 1), w, padding, align);
    y = sourceCoordinate(e, e.sliceDim(coords, 2, 1, 1), h, padding, align);
    Type elem = elemOf(grid);
    Value one = e.scalar(elem, 1), zero = e.scalar(elem, 0);
    if (mode == 1) {  // nearest, ties to even
      taps.push_back(tap(e.unary("round", x.pos), e.unary("round", y.pos), one, zero, zero));
      return;
    }
    Value x0 = e.unaryOp("lumo.Floor", x.pos), y0 = e.unaryOp("lumo.Floor", y.pos);
    Value x1 = e.addScalar(x0, 1), y1 = e.addScalar(y0, 1);
    Value east = e.sub(x.pos, x0), west = e.sub(x1, x.pos);
    Value south = e.sub(y.pos, y0), north = e.sub(y1, y.pos);
    Value minus = e.scalar(elem, -1);
    taps.push_back(tap(x0, y0, e.mul(west, north), e.mul(minus, north), e.mul(minus, west)));
    taps.push_back(tap(x1, y0, e.mul(east, north), north, e.mul(minus, east)));
    taps.push_back(tap(x0, y1, e.mul(west, south), e.mul(minus, south), west));
    taps.push_back(tap(x1, y1, e.mul(east, south), south, east));
  }

  Tap tap(Value cx, Value cy, Value weight, Value dx, Value dy) {
    Type elem = elemOf(cx), si64 = si64Type(e.ctx());
    auto within = [&](Value v, int64_t size) {
      return e.logicalAnd(e.compare(v, e.scalar(elem, 0), "GE"),
                          e.compare(v, e.scalar(elem, size - 1), "LE"));
    };
    auto clamped = [&](Value v, int64_t size) {
      Value inRange = e.op("lumo.Clamp", {v, e.scalar(elem, 0), e.scalar(elem, size - 1)}, v.getType());
      return e.cast(e.reshape(inRange, {n, p}), si64);
    };
    Value index = e.add(e.mul(clamped(cy, h), e.scalar(si64, w)), clamped(cx, w));
    return {weight, dx, dy, index, e.logicalAnd(within(cx, w), within(cy, h))};
  }

  Value table(Value input) { return e.reshape(e.transpose(input, {0, 2, 3, 1}), {n, h * w, c}); }
  Value read(Value table, const Tap &tap) { return e.gather(table, tap.index, 1, 1); }
  /// v ([N, P, C]) where the tap lies inside, zero elsewhere (never a product with what is there).
  Value masked(const Tap &tap, Value v) { return e.select(tap.inside, v, e.zeros(typeOf(v))); }
  /// [N, height*width, C] -> [N, C, height, width].
  Value image(Value v, int64_t height, int64_t width) {
    return e.transpose(e.reshape(v, {n, height, width, c}), {0, 3, 1, 2});
  }
};

/// grid_sampler_2d(input, grid, interpolation_mode, padding_mode, align_corners): bilinear (0) or
/// nearest (1).
Values gridSampler(TorchOp &t) {
  Type elem = t.resultElem();
  GridSampler s(t, t.value(0, elem), t.value(1, elem), 2);
  Value table = s.table(t.value(0, elem)), sum;
  for (const auto &tap : s.taps) {
    Value v = s.masked(tap, t.e.mul(s.read(table, tap), tap.weight));
    sum = sum ? t.e.add(sum, v) : v;
  }
  ArrayRef<int64_t> out = t.resultShape();
  return {s.image(sum, out[2], out[3])};
}

/// grid_sampler_2d_backward(grad, input, grid, interpolation_mode, padding_mode, align_corners,
/// output_mask) -> (grad_input, grad_grid): the gradient added into each tap's position, and the
/// gradient's products with each tap's value through the weights' derivatives.
Values gridSamplerBackward(TorchOp &t) {
  t.expectOperands(7);
  Emitter &e = t.e;
  Type elem = t.resultElem();
  Value input = t.value(1, elem), grid = t.value(2, elem);
  GridSampler s(t, input, grid, 3);
  Value dy = e.reshape(e.transpose(t.value(0, elem), {0, 2, 3, 1}), {s.n, s.p, s.c});
  auto wanted = wantedResults(t, 6);
  Values out(2);
  if (wanted[0]) {
    auto type = tensorOf({s.n, s.h * s.w, s.c}, elem);
    Value acc = e.zeros(type);
    for (const auto &tap : s.taps) {
      Value positions = e.broadcastInDim(tap.index, {s.n, s.p, s.c}, {0, 1});
      acc = e.scatter(acc, positions, s.masked(tap, e.mul(dy, tap.weight)), 1, "add");
    }
    out[0] = s.image(acc, s.h, s.w);
  }
  if (wanted[1] && s.taps.size() == 1) {
    out[1] = e.zeros(t.resultType(1));  // nearest: a step function of the grid
  } else if (wanted[1]) {
    Value table = s.table(input), gx, gy;
    for (const auto &tap : s.taps) {
      Value v = e.reduce(s.masked(tap, e.mul(s.read(table, tap), dy)), {2}, true, "sum");
      Value tx = e.mul(v, tap.dx), ty = e.mul(v, tap.dy);
      gx = gx ? e.add(gx, tx) : tx;
      gy = gy ? e.add(gy, ty) : ty;
    }
    Value both = e.concat({e.mul(gx, s.x.grad), e.mul(gy, s.y.grad)}, 2);
    out[1] = e.conform(both, t.resultType(1));
  }
  return out;
}

// ------------------------------------------------------------------ pooling

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

/// kernel, stride (empty: the kernel), padding, dilation starting at operand `at`.
PoolParams poolParams(TorchOp &t, unsigned at, int64_t spatial, bool hasDilation) {
  PoolParams p;
  p.kernel = perSpatial(t.ints(at), spatial, "kernel", 1);
  p.stride = perSpatial(t.ints(at + 1), spatial, "stride", 0);
  for (int64_t i = 0; i < spatial; ++i)
    if (p.stride[i] == 0) p.stride[i] = p.kernel[i];
  p.padding = perSpatial(t.ints(at + 2), spatial, "padding", 0);
  p.dilation = hasDilation ? perSpatial(t.ints(at + 3), spatial, "dilation", 1) : Shape(spatial, 1);
  return p;
}

/// max_pool{2,3}d_with_indices(x, kernel, stride, padding, dilation, ceil_mode) -> (out, indices);
/// the indices are only read by the matching gradient, which routes through the input instead.
Values maxPool(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t spatial = t.resultType().getRank() - 2;
  PoolParams p = poolParams(t, 1, spatial, true);
  Value out = pool(t.e, x, Value(), p, "MAX", t.resultType(0), false);
  if (t.op->getNumResults() > 1 && t.resultUsed(1))
    for (Operation *user : t.op->getResult(1).getUsers())
      if (!torchKind(user).startswith("aten.max_pool"))
        unsupported("pooling indices are read by " + torchKind(user));
  if (t.op->getNumResults() == 1) return {out};
  return {out, Value()};
}

/// max_pool{2,3}d_with_indices_backward(grad, x, kernel, stride, padding, dilation, ceil_mode,
/// indices).
Values maxPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  int64_t spatial = rankOf(x) - 2;
  PoolParams p = poolParams(t, 2, spatial, true);
  return {pool(t.e, x, dy, p, "MAX", t.resultType(), true)};
}

/// Average pooling divides by the whole window, padding included: no divisor operand, and padding
/// only where it is counted. With `ceilMode` the output size must still be what whole windows give.
void checkAvgPool(TorchOp &t, Value x, const PoolParams &p, bool ceilMode, bool countPad,
                  unsigned divisorAt) {
  if (t.size() > divisorAt && !t.isNone(divisorAt)) unsupported("average pooling with a divisor");
  bool padded = false;
  for (int64_t v : p.padding) padded |= v != 0;
  if (padded && !countPad) unsupported("average pooling that leaves out the padding");
  if (ceilMode) {
    int64_t spatial = p.kernel.size();
    for (int64_t i = 0; i < spatial; ++i) {
      int64_t in = shapeOf(x)[rankOf(x) - spatial + i];
      int64_t floorOut = (in + 2 * p.padding[i] - p.kernel[i]) / p.stride[i] + 1;
      int64_t out = t.resultShape()[t.resultType().getRank() - spatial + i];
      if (out != floorOut) unsupported("average pooling with partial windows (ceil mode)");
    }
  }
}

/// avg_pool{2,3}d(x, kernel, stride, padding, ceil_mode, count_include_pad, divisor_override?).
Values avgPool(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  int64_t spatial = t.resultType().getRank() - 2;
  PoolParams p = poolParams(t, 1, spatial, false);
  checkAvgPool(t, x, p, t.flag(4), t.flag(5), 6);
  return {pool(t.e, x, Value(), p, "AVG", t.resultType(), false)};
}

/// avg_pool{2,3}d_backward(grad, x, kernel, stride, padding, ceil_mode, count_include_pad,
/// divisor_override?).
Values avgPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  int64_t spatial = rankOf(x) - 2;
  PoolParams p = poolParams(t, 2, spatial, false);
  checkAvgPool(t, x, p, false, t.flag(6), 7);
  return {pool(t.e, x, dy, p, "AVG", t.resultType(), true)};
}

/// Adaptive pooling whose windows tile the input exactly: kernel = stride = in / out.
PoolParams adaptiveParams(ArrayRef<int64_t> in, ArrayRef<int64_t> out) {
  PoolParams p;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 0 || in[i] % out[i])
      unsupported("adaptive pooling whose output size does not divide the input size");
    p.kernel.push_back(in[i] / out[i]);
    p.stride.push_back(in[i] / out[i]);
    p.padding.push_back(0);
    p.dilation.push_back(1);
  }
  return p;
}

ArrayRef<int64_t> spatialOf(ArrayRef<int64_t> shape, int64_t spatial) {
  if (spatial < 1 || spatial + 2 > static_cast<int64_t>(shape.size()))
    unsupported("spatial dimensions do not match the input's rank");
  return shape.take_back(spatial);
}

/// _adaptive_avg_pool{2,3}d(x, output_size).
Values adaptiveAvgPool(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Shape outSize = t.ints(1);
  int64_t spatial = outSize.size();
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  if (in == ArrayRef<int64_t>(outSize)) return {x};
  bool global = true;
  for (int64_t o : outSize) global &= o == 1;
  if (global) {
    return {e.conform(e.reduce(x, dimRange(rankOf(x) - spatial, rankOf(x)), true, "mean"),
                      t.resultType())};
  }
  return {pool(e, x, Value(), adaptiveParams(in, outSize), "AVG", t.resultType(), false)};
}

/// _adaptive_avg_pool{2,3}d_backward(grad, x).
Values adaptiveAvgPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  int64_t spatial = rankOf(x) - 2;
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial), out = spatialOf(shapeOf(dy), spatial);
  if (in == out) return {dy};
  if (numElements(out) == 1)
    return {e.broadcastTo(e.scale(dy, 1.0 / numElements(in)), shapeOf(x))};
  return {pool(e, x, dy, adaptiveParams(in, out), "AVG", t.resultType(), true)};
}

/// adaptive_max_pool2d(x, output_size) -> (out, indices).
Values adaptiveMaxPool(TorchOp &t) {
  Value x = t.tensor(0);
  Shape outSize = t.ints(1);
  PoolParams p = adaptiveParams(spatialOf(shapeOf(x), outSize.size()), outSize);
  for (Operation *user : t.op->getResult(1).getUsers())
    if (torchKind(user) != "aten.adaptive_max_pool2d_backward")
      unsupported("pooling indices are read by " + torchKind(user));
  return {pool(t.e, x, Value(), p, "MAX", t.resultType(0), false), Value()};
}

/// adaptive_max_pool2d_backward(grad, x, indices).
Values adaptiveMaxPoolBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value dy = t.value(0, elem), x = t.value(1, elem);
  int64_t spatial = rankOf(x) - 2;
  PoolParams p = adaptiveParams(spatialOf(shapeOf(x), spatial), spatialOf(shapeOf(dy), spatial));
  return {pool(t.e, x, dy, p, "MAX", t.resultType(), true)};
}

// ------------------------------------------------------------------ nearest resampling

/// The whole factors by which each spatial dimension grows from `small` to `large`.
Shape wholeFactors(ArrayRef<int64_t> small, ArrayRef<int64_t> large) {
  Shape factors;
  for (size_t i = 0; i < small.size(); ++i) {
    if (small[i] == 0 || large[i] % small[i])
      unsupported("nearest resampling by a factor that is not a whole number");
    factors.push_back(large[i] / small[i]);
  }
  return factors;
}

/// upsample_nearest{1,2,3}d(x, output_size, scales...): every element repeated factor times.
Values upsampleNearest(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  int64_t rank = rankOf(x), spatial = rank - 2;
  if (t.resultType().getRank() != rank) unsupported("resampling changes the rank");
  ArrayRef<int64_t> in = spatialOf(shapeOf(x), spatial);
  Shape factors = wholeFactors(in, spatialOf(t.resultShape(), spatial));
  Shape interleaved(shapeOf(x).begin(), shapeOf(x).begin() + 2), dims{0, 1};
  Shape expanded(interleaved);
  for (int64_t i = 0; i < spatial; ++i) {
    dims.push_back(expanded.size());
    expanded.push_back(in[i]);
    expanded.push_back(factors[i]);
  }
  Value b = e.broadcastInDim(x, expanded, dims);
  return {e.reshape(b, t.resultShape())};
}

/// upsample_nearest{1,2,3}d_backward(grad, output_size, input_size, scales...).
Values upsampleNearestBackward(TorchOp &t) {
  Value dy = t.tensor(0);
  Emitter &e = t.e;
  int64_t rank = rankOf(dy), spatial = rank - 2;
  if (t.resultType().getRank() != rank) unsupported("resampling changes the rank");
  ArrayRef<int64_t> in = spatialOf(t.resultShape(), spatial);
  Shape factors = wholeFactors(in, spatialOf(shapeOf(dy), spatial));
  Shape split(shapeOf(dy).begin(), shapeOf(dy).begin() + 2), dims;
  for (int64_t i = 0; i < spatial; ++i) {
    split.push_back(in[i]);
    dims.push_back(split.size());
    split.push_back(factors[i]);
  }
  return {e.reshape(e.reduce(e.reshape(dy, split), dims, false, "sum"), t.resultShape())};
}

// ------------------------------------------------------------------ interpolation as matrices

/// PyTorch's source-coordinate scale of one resampled dimension.
double sourceScale(int64_t in, int64_t out, bool alignCorners, std::optional<double> scale) {
  if (alignCorners) return out > 1 ? static_cast<double>(in - 1) / (out - 1) : 0.0;
  if (scale && *scale > 0) return 1.0 / *scale;
  return static_cast<double>(in) / out;
}

enum class Interp { Nearest, Linear, Cubic };

/// The [out, in] matrix that resamples one dimension as PyTorch's upsample kernels do.
std::vector<double> interpolationMatrix(Interp mode, int64_t in, int64_t out, bool alignCorners,
                                        std::optional<double> scale) {
  std::vector<double> w(out * in, 0.0);
  double s = sourceScale(in, out, alignCorners, scale);
  auto at = [&](int64_t o, int64_t i, double v) {
    w[o * in + std::min(std::max<int64_t>(i, 0), in - 1)] += v;
  };
  for (int64_t o = 0; o < out; ++o) {
    if (mode == Interp::Nearest) {
      at(o, std::min(static_cast<int64_t>(std::floor(o * s)), in - 1), 1.0);
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

/// upsample_{nearest,linear,bicubic} forward and backward. Operands: forward (input,
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
    bool alignCorners = false;
    if (mode != Interp::Nearest) alignCorners = t.flag(at++);
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
  t.add({"aten.convolution", "aten._convolution"}, convolutionForward(true));
  t.add({"aten.conv1d", "aten.conv2d", "aten.conv3d"}, convolutionForward(false));
  t.add("aten.convolution_backward", convolutionBackward);
  t.add("aten.im2col", im2col);
  t.add("aten.col2im", col2im);
  t.add("aten.grid_sampler_2d", gridSampler);
  t.add("aten.grid_sampler_2d_backward", gridSamplerBackward);
  t.add({"aten.max_pool2d_with_indices", "aten.max_pool3d_with_indices", "aten.max_pool2d",
         "aten.max_pool1d", "aten.max_pool3d"},
        maxPool);
  t.add({"aten.max_pool2d_with_indices_backward", "aten.max_pool3d_with_indices_backward"},
        maxPoolBackward);
  t.add({"aten.avg_pool2d", "aten.avg_pool3d"}, avgPool);
  t.add({"aten.avg_pool2d_backward", "aten.avg_pool3d_backward"}, avgPoolBackward);
  t.add({"aten._adaptive_avg_pool2d", "aten._adaptive_avg_pool3d", "aten.adaptive_avg_pool2d",
         "aten.adaptive_avg_pool1d"},
        adaptiveAvgPool);
  t.add({"aten._adaptive_avg_pool2d_backward", "aten._adaptive_avg_pool3d_backward"},
        adaptiveAvgPoolBackward);
  t.add("aten.adaptive_max_pool2d", adaptiveMaxPool);
  t.add("aten.adaptive_max_pool2d_backward", adaptiveMaxPoolBackward);
  // Nearest by whole factors repeats elements; other sizes and the linear modes are products
  // with interpolation matrices.
  for (bool back : {false, true}) {
    PatternFn nearest = upsample(Interp::Nearest, back);
    PatternFn whole = back ? PatternFn(upsampleNearestBackward) : PatternFn(upsampleNearest);
    PatternFn either = [nearest, whole](TorchOp &op) -> Values {
      try {
        return whole(op);
      } catch (const Unsupported &) {
        return nearest(op);
      }
    };
    std::string suffix = back ? "_backward" : "";
    for (const char *name : {"aten.upsample_nearest1d", "aten.upsample_nearest2d", "aten.upsample_nearest3d"})
      t.add(name + suffix, either);
    for (const char *name : {"aten.upsample_linear1d", "aten.upsample_bilinear2d", "aten.upsample_trilinear3d"})
      t.add(name + suffix, upsample(Interp::Linear, back));
    t.add("aten.upsample_bicubic2d" + suffix, upsample(Interp::Cubic, back));
  }
}

}  // namespace torch_lumo
