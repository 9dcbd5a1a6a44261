// Views (arriving as copies), casts, concatenation and splitting, slices and writes through them,
// padding, flips and band masks.
#include "TorchToLumo.h"

#include <algorithm>

namespace torch_lumo {
namespace {

Shape rowMajorStrides(ArrayRef<int64_t> shape) {
  Shape strides(shape.size(), 1);
  for (int64_t i = static_cast<int64_t>(shape.size()) - 2; i >= 0; --i)
    strides[i] = strides[i + 1] * std::max<int64_t>(shape[i + 1], 1);
  return strides;
}

/// The result is the input, reshaped (views, squeezes, copies of the same shape, detach, clone).
Values sameData(TorchOp &t) {
  return {t.e.reshape(t.e.cast(t.tensor(0), t.resultElem()), t.resultShape())};
}

Values castTo(TorchOp &t) { return {t.e.conform(t.tensor(0), t.resultType())}; }

Values transposeLast(TorchOp &t) {
  Value x = t.tensor(0);
  if (rankOf(x) < 2) return {t.e.conform(x, t.resultType())};
  return {t.e.transpose(x, {1, 0})};
}

Values transposeDims(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t rank = rankOf(x);
  if (rank == 0) return {x};
  int64_t a = normDim(t.i64(1), rank), b = normDim(t.i64(2), rank);
  Shape perm = dimRange(0, rank);
  std::swap(perm[a], perm[b]);
  return {t.e.transpose(x, perm)};
}

Values permute(TorchOp &t) {
  Value x = t.tensor(0);
  return {t.e.transpose(x, normDims(t.ints(1), rankOf(x)))};
}

Values expand(TorchOp &t) {
  return {t.e.broadcastTo(t.e.cast(t.tensor(0), t.resultElem()), t.resultShape())};
}

/// Python slice bounds clamped to [0, size].
std::pair<int64_t, int64_t> sliceBounds(TorchOp &t, unsigned startAt, unsigned endAt,
                                        int64_t size) {
  auto clampIndex = [size](int64_t v) {
    if (v < 0) v += size;
    return std::min(std::max<int64_t>(v, 0), size);
  };
  int64_t start = t.size() > startAt && !t.isNone(startAt) ? clampIndex(t.i64(startAt)) : 0;
  int64_t end = t.size() > endAt && !t.isNone(endAt) ? clampIndex(t.i64(endAt)) : size;
  return {start, std::max(start, end)};
}

/// x[start:end:step] along dim, shaped `shape`.
Value stridedDim(Emitter &e, Value x, int64_t dim, int64_t start, int64_t end, int64_t step,
                 ArrayRef<int64_t> shape) {
  if (step == 1) return e.sliceDim(x, dim, start, end - start);
  int64_t rank = rankOf(x);
  Shape begin(rank, 0), stop(shapeOf(x).begin(), shapeOf(x).end()), strides(rank, 1);
  begin[dim] = start, stop[dim] = end, strides[dim] = step;
  return e.op("lumo.StridedSlice",
              {x, e.indexVector(begin), e.indexVector(stop), e.indexVector(strides)},
              tensorOf(shape, elemOf(x)));
}

/// slice_copy.Tensor(x, dim, start?, end?, step).
Values sliceCopy(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t dim = normDim(t.size() > 1 ? t.i64(1) : 0, rankOf(x));
  auto [start, end] = sliceBounds(t, 2, 3, shapeOf(x)[dim]);
  int64_t step = t.size() > 4 ? t.i64(4) : 1;
  if (step < 1) unsupported("slice step must be positive");
  return {stridedDim(t.e, x, dim, start, end, step, t.resultShape())};
}

/// narrow_copy(x, dim, start, length).
Values narrow(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t dim = normDim(t.i64(1), rankOf(x));
  int64_t start = t.i64(2);
  if (start < 0) start += shapeOf(x)[dim];
  return {t.e.sliceDim(x, dim, start, t.i64(3))};
}

/// select_copy.int(x, dim, index).
Values selectCopy(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t dim = normDim(t.i64(1), rankOf(x));
  int64_t index = t.i64(2);
  if (index < 0) index += shapeOf(x)[dim];
  if (index < 0 || index >= shapeOf(x)[dim]) unsupported("index out of range");
  return {t.e.reshape(t.e.sliceDim(x, dim, index, 1), t.resultShape())};
}

/// x with `update` written at `begin` (operands of one element type).
Value updateSlice(Emitter &e, Value x, Value update, ArrayRef<int64_t> begin) {
  if (shapeOf(update) == shapeOf(x)) return update;
  Values operands{x, update};
  for (int64_t b : begin) operands.push_back(e.indexScalar(b));
  return e.op("lumo.DynamicUpdateSlice", operands, x.getType());
}

/// slice_scatter(self, src, dim, start?, end?, step).
Values sliceScatter(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem), src = t.value(1, elem);
  Emitter &e = t.e;
  int64_t dim = normDim(t.size() > 2 ? t.i64(2) : 0, rankOf(self));
  int64_t start = sliceBounds(t, 3, 4, shapeOf(self)[dim]).first;
  int64_t step = t.size() > 5 ? t.i64(5) : 1;
  if (step == 1) {
    Shape begin(rankOf(self), 0);
    begin[dim] = start;
    return {updateSlice(e, self, src, begin)};
  }
  Value indices = e.positions(shapeOf(src), dim, start, step);
  return {e.scatter(self, indices, src, dim, "none")};
}

/// select_scatter(self, src, dim, index).
Values selectScatter(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem), src = t.value(1, elem);
  int64_t dim = normDim(t.i64(2), rankOf(self));
  int64_t index = t.i64(3);
  if (index < 0) index += shapeOf(self)[dim];
  Shape shape(shapeOf(self).begin(), shapeOf(self).end());
  shape[dim] = 1;
  Shape begin(rankOf(self), 0);
  begin[dim] = index;
  return {updateSlice(t.e, self, t.e.reshape(src, shape), begin)};
}

Values cat(TorchOp &t) {
  Values parts;
  Type elem = t.resultElem();
  int64_t rank = t.resultType().getRank();
  for (Value v : t.tensors(0)) {
    // Legacy empty tensors of shape [0] take no part.
    if (rankOf(v) == 1 && shapeOf(v)[0] == 0 && rank != 1) continue;
    parts.push_back(t.e.cast(v, elem));
  }
  if (parts.empty()) return {t.e.zeros(t.resultType())};
  int64_t dim = normDim(t.size() > 1 ? t.i64(1) : 0, rank);
  return {t.e.concat(parts, dim)};
}

Values stack(TorchOp &t) {
  Values parts;
  Type elem = t.resultElem();
  int64_t rank = t.resultType().getRank();
  int64_t dim = normDim(t.size() > 1 ? t.i64(1) : 0, rank);
  for (Value v : t.tensors(0)) {
    Shape shape(shapeOf(v).begin(), shapeOf(v).end());
    shape.insert(shape.begin() + dim, 1);
    parts.push_back(t.e.reshape(t.e.cast(v, elem), shape));
  }
  return {t.e.concat(parts, dim)};
}

/// The pieces of a split of x along dim.
Values split(Emitter &e, Value x, int64_t dim, ArrayRef<int64_t> sizes) {
  Values pieces;
  int64_t at = 0;
  for (int64_t s : sizes) {
    pieces.push_back(e.sliceDim(x, dim, at, s));
    at += s;
  }
  if (at != shapeOf(x)[dim]) unsupported("split sizes do not add up to the dimension");
  return pieces;
}

/// prim.ListUnpack of a split, split_with_sizes, chunk or unbind (which are read, not converted):
/// one result per piece.
Values listUnpack(TorchOp &t) {
  Operation *list = t.producer(0);
  if (!list) unsupported("the unpacked list does not come from an operation");
  StringRef kind = torchKind(list);
  TorchOp src(list, t.e, t.state, kind);
  Value x = src.tensor(0);
  int64_t rank = rankOf(x);
  unsigned n = t.op->getNumResults();
  Shape sizes;
  int64_t dim = 0;
  if (kind == "aten.split_copy.Tensor" || kind == "aten.split.Tensor") {
    dim = normDim(src.size() > 2 ? src.i64(2) : 0, rank);
    int64_t each = src.i64(1), total = shapeOf(x)[dim];
    if (each < 1) unsupported("split size must be positive");
    for (int64_t at = 0; at < total; at += each) sizes.push_back(std::min(each, total - at));
  } else if (kind == "aten.split_with_sizes_copy" || kind == "aten.split_with_sizes") {
    dim = normDim(src.size() > 2 ? src.i64(2) : 0, rank);
    sizes = src.ints(1);
  } else if (kind == "aten.unbind_copy.int" || kind == "aten.unbind.int") {
    dim = normDim(src.size() > 1 ? src.i64(1) : 0, rank);
    sizes.assign(shapeOf(x)[dim], 1);
  } else if (kind == "aten.chunk") {
    dim = normDim(src.size() > 2 ? src.i64(2) : 0, rank);
    int64_t total = shapeOf(x)[dim], chunks = src.i64(1);
    if (chunks < 1) unsupported("chunk count must be positive");
    int64_t each = (total + chunks - 1) / chunks;
    for (int64_t at = 0; at < total; at += each) sizes.push_back(std::min(each, total - at));
  } else {
    unsupported("the unpacked list comes from " + kind);
  }
  if (sizes.size() != n) unsupported("the list has a different number of pieces");
  Values pieces = split(t.e, x, dim, sizes);
  for (unsigned i = 0; i < n; ++i) pieces[i] = t.e.conform(pieces[i], t.resultType(i));
  return pieces;
}

/// Low and high padding per dimension from PyTorch's list of pairs, last dimension first.
std::pair<Shape, Shape> torchPadding(const Shape &pad, int64_t rank) {
  if (pad.size() % 2 || static_cast<int64_t>(pad.size() / 2) > rank)
    unsupported("padding list does not match the rank");
  Shape low(rank, 0), high(rank, 0);
  for (size_t i = 0; i < pad.size() / 2; ++i) {
    low[rank - 1 - i] = pad[2 * i];
    high[rank - 1 - i] = pad[2 * i + 1];
  }
  return {low, high};
}

/// constant_pad_nd(x, pad, value).
Values constantPad(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  double value = t.size() > 2 && !t.isNone(2) ? t.f64(2) : 0.0;
  auto [low, high] = torchPadding(t.ints(1), rankOf(x));
  Emitter &e = t.e;
  DenseElementsAttr fill = Emitter::constValue(e.scalar(elem, value));
  return {e.pad(x, low, high, Shape(rankOf(x), 0), {e.attr("constant_values", fill)})};
}

/// The source positions of replication padding of a dimension of `in` by low and high, either of
/// which may be negative (cropping): position j reads clamp(j - low, 0, in - 1).
Shape replicatedPositions(int64_t in, int64_t low, int64_t high) {
  if (in < 1 || in + low + high < 0) unsupported("replication padding of an empty dimension");
  Shape positions;
  for (int64_t j = 0; j < in + low + high; ++j) positions.push_back(std::clamp<int64_t>(j - low, 0, in - 1));
  return positions;
}

bool anyNegative(ArrayRef<int64_t> values) {
  return llvm::any_of(values, [](int64_t v) { return v < 0; });
}

/// reflection/replication padding of the trailing dimensions. Replication with negative padding
/// (which crops) reads its source positions by a gather per padded dimension.
PatternFn modePad(StringRef mode) {
  std::string m = mode.str();
  return [m](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    auto [low, high] = torchPadding(t.ints(1), rankOf(x));
    if (m == "edge" && (anyNegative(low) || anyNegative(high))) {
      for (int64_t d = 0; d < rankOf(x); ++d)
        if (low[d] || high[d])
          x = t.e.gather(x, t.e.indexVector(replicatedPositions(shapeOf(x)[d], low[d], high[d])), d);
      return {x};
    }
    return {t.e.pad(x, low, high, Shape(rankOf(x), 0), {t.e.str("padding_mode", m)})};
  };
}

/// The gradient of replication padding with negative padding: each gradient element added onto
/// the position it was read from, one dimension at a time.
Value replicationPadGradient(Emitter &e, Value g, ArrayRef<int64_t> low, ArrayRef<int64_t> high,
                             RankedTensorType type) {
  for (int64_t d = 0; d < rankOf(g); ++d) {
    if (!low[d] && !high[d]) continue;
    int64_t in = type.getShape()[d];
    Shape positions = replicatedPositions(in, low[d], high[d]);
    Shape shape(shapeOf(g));
    if (shape[d] != static_cast<int64_t>(positions.size())) unsupported("a padding gradient of another size");
    Value at = e.broadcastInDim(e.indexVector(positions), shape, {d});
    shape[d] = in;
    g = e.scatter(e.zeros(tensorOf(shape, elemOf(g))), at, g, d, "add");
  }
  return g;
}

Value reverseDim(Emitter &e, Value x, int64_t dim) {
  int64_t n = shapeOf(x)[dim];
  if (n <= 1) return x;
  Shape idx;
  for (int64_t i = n - 1; i >= 0; --i) idx.push_back(i);
  return e.gather(x, e.indexVector(idx), dim);
}

/// Gradients of reflection and replication padding of the trailing dimensions: the gradient of
/// each padded border is added back onto the elements it copied.
PatternFn modePadBackward(bool reflect) {
  return [reflect](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value g = t.value(0, elem);
    Shape pad = t.ints(2);
    Emitter &e = t.e;
    int64_t rank = rankOf(g);
    auto [low, high] = torchPadding(pad, rank);
    if (!reflect && (anyNegative(low) || anyNegative(high)))
      return {replicationPadGradient(e, g, low, high, t.resultType())};
    for (size_t i = 0; i < pad.size() / 2; ++i) {
      int64_t d = rank - 1 - i, lo = pad[2 * i], hi = pad[2 * i + 1];
      int64_t in = shapeOf(g)[d] - lo - hi;
      if (lo < 0 || hi < 0 || in < 1) unsupported("padding larger than the input");
      Value center = e.sliceDim(g, d, lo, in);
      auto placed = [&](Value v, int64_t before) {
        Shape low(rank, 0), high(rank, 0);
        low[d] = before;
        high[d] = in - before - shapeOf(v)[d];
        return e.pad(v, low, high, Shape(rank, 0));
      };
      if (lo > 0) {
        Value left = e.sliceDim(g, d, 0, lo);
        center = e.add(center, reflect ? placed(reverseDim(e, left, d), 1)
                                       : placed(e.reduce(left, {d}, true, "sum"), 0));
      }
      if (hi > 0) {
        Value right = e.sliceDim(g, d, lo + in, hi);
        center = e.add(center, reflect ? placed(reverseDim(e, right, d), in - 1 - hi)
                                       : placed(e.reduce(right, {d}, true, "sum"), in - 1));
      }
      g = center;
    }
    return {e.conform(g, t.resultType())};
  };
}

/// unfold_backward(grad, input_sizes, dim, size, step): window element k of window w goes back to
/// position w * step + k; each k is a strided placement (interior padding) of its slice.
Values unfoldBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value g = t.value(0, elem);
  Emitter &e = t.e;
  Shape sizes = t.ints(1);
  int64_t rank = sizes.size();
  int64_t dim = normDim(t.i64(2), std::max<int64_t>(rank, 1)), size = t.i64(3), step = t.i64(4);
  if (rankOf(g) != rank + 1 || step < 1) unsupported("unfold gradient of this shape");
  // A 0-d input has one window of its one element (or of none).
  if (rank == 0) return {e.conform(e.reduce(g, {0}, false, "sum"), t.resultType())};
  int64_t windows = shapeOf(g)[dim], n = sizes[dim];
  Value sum;
  for (int64_t k = 0; k < size; ++k) {
    Value part = e.reshape(e.sliceDim(g, rank, k, 1), shapeOf(g).drop_back());
    Shape low(rank, 0), high(rank, 0), interior(rank, 0);
    low[dim] = k;
    interior[dim] = step - 1;
    high[dim] = n - k - ((windows - 1) * step + 1);
    Value placed = e.pad(part, low, high, interior);
    sum = sum ? e.add(sum, placed) : placed;
  }
  return {sum ? e.conform(sum, t.resultType()) : e.zeros(t.resultType())};
}

Values flip(TorchOp &t) {
  Value x = t.tensor(0);
  for (int64_t d : normDims(t.ints(1), rankOf(x))) x = reverseDim(t.e, x, d);
  return {x};
}

Values roll(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  Shape shifts = t.ints(1), dims = t.size() > 2 ? t.ints(2) : Shape{};
  Value r = x;
  if (dims.empty()) {  // the flattened tensor rolls
    if (shifts.size() != 1) unsupported("several shifts without dimensions");
    r = e.reshape(x, {numElements(shapeOf(x))});
    dims = {0};
  }
  if (dims.size() != shifts.size()) unsupported("shifts and dims differ in length");
  for (size_t i = 0; i < dims.size(); ++i) {
    int64_t d = normDim(dims[i], rankOf(r)), n = shapeOf(r)[d];
    if (n == 0) continue;
    int64_t s = ((shifts[i] % n) + n) % n;
    if (s) r = e.concat({e.sliceDim(r, d, n - s, s), e.sliceDim(r, d, 0, n - s)}, d);
  }
  return {e.reshape(r, shapeOf(x))};
}

Values repeat(TorchOp &t) {
  Value x = t.tensor(0);
  Shape repeats = t.ints(1);
  Emitter &e = t.e;
  if (static_cast<int64_t>(repeats.size()) > rankOf(x)) {
    Shape shape(repeats.size() - rankOf(x), 1);
    shape.append(shapeOf(x).begin(), shapeOf(x).end());
    x = e.reshape(x, shape);
  }
  return {e.op("lumo.Repeat", x, t.resultType(), {e.ints("repeats", repeats)})};
}

/// tril/triu(x, diagonal): MatrixBandPart where the band starts at the main diagonal, a mask
/// from index ranges otherwise.
PatternFn band(bool lower) {
  return [lower](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    int64_t k = t.size() > 1 ? t.i64(1) : 0;
    Emitter &e = t.e;
    int64_t rank = rankOf(x);
    if (rank < 2) unsupported("band of a tensor below rank 2");
    if ((lower && k >= 0) || (!lower && k <= 0)) {
      int64_t numLower = lower ? -1 : -k, numUpper = lower ? k : -1;
      return {e.op("lumo.MatrixBandPart", {x, e.indexScalar(numLower), e.indexScalar(numUpper)},
                   x.getType())};
    }
    int64_t rows = shapeOf(x)[rank - 2], cols = shapeOf(x)[rank - 1];
    Value r = e.positions({rows, cols}, 0);
    Value c = e.positions({rows, cols}, 1);
    Value diff = e.sub(c, r);
    Value keep = e.compare(diff, e.indexScalar(k), lower ? "LE" : "GE");
    return {e.select(keep, x, e.zeros(tensorOf({}, elemOf(x))))};
  };
}

/// A tensor of `shape` holding `src` (shape: `shape` without d1 and d2, then the diagonal) on the
/// diagonal `offset` of dimensions d1, d2, and `fill` (a tensor of `shape`) elsewhere.
Value withDiagonal(Emitter &e, Value src, Value fill, int64_t offset, int64_t d1, int64_t d2) {
  ArrayRef<int64_t> shape = shapeOf(fill);
  int64_t rank = shape.size();
  if (d1 == d2) unsupported("diagonal of one dimension with itself");
  Shape perm;  // d1 and d2 last
  for (int64_t i = 0; i < rank; ++i)
    if (i != d1 && i != d2) perm.push_back(i);
  perm.push_back(d1), perm.push_back(d2);
  int64_t n1 = shape[d1], n2 = shape[d2], len = shapeOf(src).back();
  Shape lead(shapeOf(src).begin(), shapeOf(src).end() - 1);
  // Diagonal values along the rows (offset >= 0) or the columns (offset < 0), padded to the size.
  int64_t along = offset >= 0 ? n1 : n2;
  if (len > along) unsupported("diagonal longer than the matrix");
  Shape low(rankOf(src), 0), high(rankOf(src), 0);
  high.back() = along - len;
  Value padded = e.pad(src, low, high, Shape(rankOf(src), 0));
  Shape column(lead), full(lead);
  column.append(offset >= 0 ? std::initializer_list<int64_t>{n1, 1} : std::initializer_list<int64_t>{1, n2});
  full.append({n1, n2});
  Value values = e.broadcastTo(e.reshape(padded, column), full);
  Value mask = e.compare(e.sub(e.positions({n1, n2}, 1), e.positions({n1, n2}, 0)),
                         e.indexScalar(offset), "EQ");
  Value r = e.select(mask, values, e.transpose(fill, perm));
  return e.transpose(r, inversePermutation(perm));
}

/// diagonal_scatter(self, src, offset, dim1, dim2).
Values diagonalScatter(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem), src = t.value(1, elem);
  int64_t rank = rankOf(self);
  int64_t offset = t.size() > 2 ? t.i64(2) : 0;
  int64_t d1 = normDim(t.size() > 3 ? t.i64(3) : 0, rank), d2 = normDim(t.size() > 4 ? t.i64(4) : 1, rank);
  return {withDiagonal(t.e, src, self, offset, d1, d2)};
}

/// diag_embed(input, offset, dim1, dim2): the last dimension of the input as a diagonal.
Values diagEmbed(TorchOp &t) {
  Type elem = t.resultElem();
  int64_t rank = t.resultType().getRank();
  int64_t offset = t.size() > 1 ? t.i64(1) : 0;
  int64_t d1 = normDim(t.size() > 2 ? t.i64(2) : -2, rank), d2 = normDim(t.size() > 3 ? t.i64(3) : -1, rank);
  return {withDiagonal(t.e, t.value(0, elem), t.e.zeros(t.resultType()), offset, d1, d2)};
}

/// as_strided_scatter(self, src, size, stride, offset?): src written at the row-major positions
/// the strides address (computed here).
Values asStridedScatter(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem), src = t.value(1, elem);
  Shape size = t.ints(2), stride = t.ints(3);
  int64_t offset = t.size() > 4 && !t.isNone(4) ? t.i64(4) : 0;
  int64_t count = numElements(size), total = numElements(shapeOf(self));
  if (size.size() != stride.size() || count != numElements(shapeOf(src)))
    unsupported("sizes and strides do not match the source");
  if (count > (1 << 16)) unsupported("strided write of more than 65536 elements");
  Shape positions;
  Shape index(size.size(), 0);
  for (int64_t k = 0; k < count; ++k) {
    int64_t p = offset;
    for (size_t d = 0; d < size.size(); ++d) p += index[d] * stride[d];
    if (p < 0 || p >= total) unsupported("strided write outside the tensor");
    positions.push_back(p);
    for (int64_t d = size.size() - 1; d >= 0 && ++index[d] == size[d]; --d) index[d] = 0;
  }
  Emitter &e = t.e;
  Value flat = e.reshape(self, {total});
  Value indices = e.indexVector(positions);
  Value r = e.scatter(flat, indices, e.reshape(src, {count}), 0, "none");
  return {e.reshape(r, shapeOf(self))};
}

Values fill(TorchOp &t) {
  Type elem = t.resultElem();
  return {t.e.broadcastTo(t.value(1, elem), t.resultShape())};
}

Values zero(TorchOp &t) { return {t.e.zeros(t.resultType())}; }

/// copy(self, src, non_blocking): src broadcast and cast to self.
Values copy(TorchOp &t) {
  return {t.e.conform(t.tensor(1), t.resultType())};
}

/// The view of the row-major x with these sizes, strides and offset, as the result.
Values stridedView(TorchOp &t, Value x, ArrayRef<int64_t> size, ArrayRef<int64_t> stride,
                   int64_t offset) {
  Emitter &e = t.e;
  return {e.op("lumo.AsStrided", x, t.resultType(),
               {e.ints("size", size), e.ints("stride", stride), e.i64("storage_offset", offset)})};
}

Values asStrided(TorchOp &t) {
  int64_t offset = t.size() > 3 && !t.isNone(3) ? t.i64(3) : 0;
  return stridedView(t, t.tensor(0), t.ints(1), t.ints(2), offset);
}

/// diagonal_copy(x, offset, dim1, dim2) as a strided view of the row-major input.
Values diagonal(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t rank = rankOf(x);
  int64_t offset = t.size() > 1 ? t.i64(1) : 0;
  int64_t d1 = normDim(t.size() > 2 ? t.i64(2) : 0, rank);
  int64_t d2 = normDim(t.size() > 3 ? t.i64(3) : 1, rank);
  Shape strides = rowMajorStrides(shapeOf(x));
  Shape size, stride;
  for (int64_t i = 0; i < rank; ++i)
    if (i != d1 && i != d2) size.push_back(shapeOf(x)[i]), stride.push_back(strides[i]);
  int64_t start = offset >= 0 ? offset * strides[d2] : -offset * strides[d1];
  int64_t n = offset >= 0 ? std::min(shapeOf(x)[d1], shapeOf(x)[d2] - offset)
                          : std::min(shapeOf(x)[d1] + offset, shapeOf(x)[d2]);
  size.push_back(std::max<int64_t>(n, 0));
  stride.push_back(strides[d1] + strides[d2]);
  return stridedView(t, x, size, stride, start);
}

/// unfold_copy(x, dim, size, step) as a strided view.
Values unfold(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t rank = rankOf(x);
  // A 0-d tensor takes dimension 0 or -1, as PyTorch does.
  int64_t dim = normDim(t.i64(1), std::max<int64_t>(rank, 1)), size = t.i64(2), step = t.i64(3);
  Shape strides = rowMajorStrides(shapeOf(x));
  Shape outSize(shapeOf(x).begin(), shapeOf(x).end()), outStride(strides);
  if (rank == 0) outSize = {}, outStride = {};
  else {
    outSize[dim] = (shapeOf(x)[dim] - size) / step + 1;
    outStride[dim] = strides[dim] * step;
  }
  outSize.push_back(size);
  outStride.push_back(rank ? strides[dim] : 1);
  return stridedView(t, x, outSize, outStride, 0);
}

}  // namespace

void addShapePatterns(PatternTable &t) {
  t.add({"aten.view_copy", "aten.view", "aten.reshape", "aten._reshape_alias_copy",
         "aten._reshape_alias", "aten._unsafe_view", "aten.squeeze_copy", "aten.squeeze_copy.dim",
         "aten.squeeze_copy.dims", "aten.squeeze", "aten.squeeze.dim", "aten.squeeze.dims",
         "aten.unsqueeze_copy", "aten.unsqueeze", "aten.flatten.using_ints", "aten.unflatten.int",
         "aten.alias_copy", "aten.alias", "aten.detach_copy", "aten.detach", "aten.clone",
         "aten.lift_fresh_copy", "aten.lift_fresh", "aten.lift", "aten.contiguous",
         "aten.reshape_as", "aten.view_as"},
        sameData);
  t.add({"aten._to_copy", "aten.to.dtype", "aten.to.dtype_layout", "aten.to.device",
         "aten.type_as", "aten._cast_Float", "aten._cast_Long"},
        castTo);
  t.add({"aten.t_copy", "aten.t", "aten.numpy_T"}, transposeLast);
  t.add({"aten.transpose_copy.int", "aten.transpose.int"}, transposeDims);
  t.add({"aten.permute_copy", "aten.permute"}, permute);
  t.add({"aten.expand_copy", "aten.expand", "aten.broadcast_to", "aten.expand_as"}, expand);
  t.add({"aten.slice_copy.Tensor", "aten.slice.Tensor"}, sliceCopy);
  t.add({"aten.narrow_copy", "aten.narrow"}, narrow);
  t.add({"aten.select_copy.int", "aten.select.int"}, selectCopy);
  t.add("aten.slice_scatter", sliceScatter);
  t.add("aten.select_scatter", selectScatter);
  t.add("aten.cat", cat);
  t.add("aten.stack", stack);
  t.add("prim.ListUnpack", listUnpack);
  t.add({"aten.constant_pad_nd", "aten.pad"}, constantPad);
  t.add({"aten.reflection_pad1d", "aten.reflection_pad2d", "aten.reflection_pad3d"},
        modePad("reflect"));
  t.add({"aten.replication_pad1d", "aten.replication_pad2d", "aten.replication_pad3d"},
        modePad("edge"));
  t.add({"aten.reflection_pad1d_backward", "aten.reflection_pad2d_backward",
         "aten.reflection_pad3d_backward"},
        modePadBackward(true));
  t.add({"aten.replication_pad1d_backward", "aten.replication_pad2d_backward",
         "aten.replication_pad3d_backward"},
        modePadBackward(false));
  t.add("aten.unfold_backward", unfoldBackward);
  t.add("aten.diagonal_scatter", diagonalScatter);
  t.add("aten.diag_embed", diagEmbed);
  t.add("aten.as_strided_scatter", asStridedScatter);
  t.add("aten.flip", flip);
  t.add("aten.roll", roll);
  t.add("aten.repeat", repeat);
  t.add("aten.tril", band(true));
  t.add("aten.triu", band(false));
  t.add({"aten.fill.Scalar", "aten.fill.Tensor"}, fill);
  t.add("aten.zero", zero);
  t.add("aten.copy", copy);
  t.add("aten.as_strided_copy", asStrided);
  t.add({"aten.diagonal_copy", "aten.diagonal"}, diagonal);
  t.add("aten.unfold_copy", unfold);
}

}  // namespace torch_lumo
