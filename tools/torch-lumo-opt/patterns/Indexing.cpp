// Embedding lookups and their gradient, gathers, scatters and advanced indexing.
#include "TorchToLumo.h"

#include <cmath>

namespace torch_lumo {
namespace {

/// si64 indices into a dimension of `size`, negative ones counted from the end (once: an index
/// still out of range stays so, and Gather or Scatter refuses it when the program runs).
Value wrapIndex(Emitter &e, Value idx, int64_t size) {
  idx = e.cast(idx, si64Type(e.ctx()));
  return e.select(e.compare(idx, e.indexScalar(0), "LT"), e.add(idx, e.indexScalar(size)), idx);
}

Values embedding(TorchOp &t) {
  Value weight = t.tensor(0), indices = t.tensor(1);
  return {t.e.conform(t.e.gather(weight, indices, 0), t.resultType())};
}

/// ScatterNd of `updates` rows into zeros of `shape` at the (flattened) `indices`.
Value scatterRows(Emitter &e, Value indices, Value updates, ArrayRef<int64_t> shape) {
  int64_t n = numElements(shapeOf(indices));
  Value idx = e.reshape(indices, {n, 1});
  Shape rows{n};
  rows.append(shape.begin() + 1, shape.end());
  return e.op("lumo.ScatterNd", {idx, e.reshape(updates, rows), e.indexVector(shape)},
              tensorOf(shape, elemOf(updates)));
}

/// embedding_dense_backward(grad, indices, num_weights, padding_idx, scale_grad_by_freq).
Values embeddingBackward(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), indices = t.tensor(1);
  int64_t paddingIdx = t.i64(3);
  bool scaleByFreq = t.flag(4);
  Emitter &e = t.e;
  int64_t n = numElements(shapeOf(indices));
  if (rankOf(indices) > rankOf(grad)) unsupported("indices of a higher rank than the gradient");
  Shape rows{n};
  rows.append(shapeOf(grad).begin() + rankOf(indices), shapeOf(grad).end());
  Value updates = e.reshape(grad, rows);
  Value flat = e.reshape(indices, {n});
  Shape column(rows.size(), 1);
  column[0] = n;
  if (paddingIdx >= 0) {
    Value pad = e.compare(flat, e.scalar(elemOf(flat), paddingIdx), "EQ");
    updates = e.select(e.reshape(pad, column), e.scalar(elem, 0), updates);
  }
  if (scaleByFreq) {
    int64_t numWeights = t.resultShape()[0];
    Value counts = scatterRows(e, flat, e.splat(tensorOf({n}, elem), 1), {numWeights});
    Value perRow = e.gather(counts, flat, 0);
    updates = e.div(updates, e.reshape(perRow, column));
  }
  return {scatterRows(e, flat, updates, t.resultShape())};
}

/// torch.gather(x, dim, index): the gather along the last axis with all other dimensions as batch
/// dimensions; `dim` is moved last and back.
Values torchGather(TorchOp &t) {
  Value x = t.tensor(0), index = t.tensor(2);
  Emitter &e = t.e;
  int64_t rank = rankOf(x);
  // An empty index gathers nothing (PyTorch accepts it whatever its rank).
  if (numElements(shapeOf(index)) == 0) return {e.zeros(t.resultType())};
  if (rank == 0) return {e.conform(x, t.resultType())};
  int64_t dim = normDim(t.i64(1), rank);
  if (rankOf(index) != rank) unsupported("index and input differ in rank");
  // Index may be smaller than x in the other dimensions.
  Shape size(shapeOf(index).begin(), shapeOf(index).end());
  size[dim] = shapeOf(x)[dim];
  x = e.slice(x, Shape(rank, 0), size);
  Shape perm = moveDim(rank, dim, rank - 1);
  Value r = e.gather(e.transpose(x, perm), e.transpose(index, perm), rank - 1, rank - 1);
  return {e.conform(e.transpose(r, inversePermutation(perm)), t.resultType())};
}

Values indexSelect(TorchOp &t) {
  Value x = t.tensor(0), index = t.tensor(2);
  if (rankOf(x) == 0) return {t.e.conform(x, t.resultType())};
  int64_t dim = normDim(t.i64(1), rankOf(x));
  if (rankOf(index) == 0) index = t.e.reshape(index, {1});
  return {t.e.conform(t.e.gather(x, index, dim), t.resultType())};
}

/// The items of a list of optional tensors (null for None).
Values optionalTensors(TorchOp &t, unsigned i) {
  Operation *def = t.producer(i);
  if (!def || torchKind(def) != "prim.ListConstruct")
    unsupported("operand " + llvm::Twine(i) + " is not a list");
  Values out;
  for (Value item : def->getOperands()) {
    item = t.state.remap(item);
    Operation *d = item.getDefiningOp();
    if (d && torchKind(d) == "constant.none") out.push_back(Value());
    else if (item.getType().isa<RankedTensorType>()) out.push_back(item);
    else unsupported("operand " + llvm::Twine(i) + " holds a value that is not a tensor");
  }
  return out;
}

/// Where the index tensors of an advanced index stand: `first` leading None entries, then
/// `tensors` (consecutive), then None entries only.
struct IndexPlan {
  int64_t first = 0;
  Values tensors;
};

IndexPlan planIndex(TorchOp &t, unsigned i) {
  Values items = optionalTensors(t, i);
  IndexPlan plan;
  size_t k = 0;
  while (k < items.size() && !items[k]) ++k;
  plan.first = k;
  while (k < items.size() && items[k]) plan.tensors.push_back(items[k++]);
  for (; k < items.size(); ++k)
    if (items[k]) unsupported("index tensors separated by full slices");
  if (plan.tensors.empty()) unsupported("indexing without index tensors");
  // PyTorch reads u8 index tensors as masks too.
  for (Value v : plan.tensors)
    if (isBoolType(elemOf(v)) || elemOf(v).isUnsignedInteger(8))
      unsupported("boolean mask indexing (its result shape depends on data)");
  return plan;
}

/// index.Tensor(x, indices): Gather for one index tensor, GatherNd for several.
Values index(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  IndexPlan plan = planIndex(t, 1);
  int64_t rank = rankOf(x), k = plan.tensors.size(), p = plan.first;
  if (p + k > rank) unsupported("too many indices");
  if (k == 1)
    return {e.conform(e.gather(x, wrapIndex(e, plan.tensors[0], shapeOf(x)[p]), p),
                      t.resultType())};
  Shape common;
  for (Value v : plan.tensors) common = broadcastShapes(common, shapeOf(v));
  Values parts;
  Shape oneMore(common);
  oneMore.push_back(1);
  for (int64_t j = 0; j < k; ++j)
    parts.push_back(e.reshape(
        e.broadcastTo(wrapIndex(e, plan.tensors[j], shapeOf(x)[p + j]), common), oneMore));
  Value stacked = e.concat(parts, common.size());
  // Indexed dimensions first.
  Shape perm;
  for (int64_t i = p; i < p + k; ++i) perm.push_back(i);
  for (int64_t i = 0; i < rank; ++i)
    if (i < p || i >= p + k) perm.push_back(i);
  Value xt = e.transpose(x, perm);
  Shape shape(common);
  for (int64_t i = 0; i < rank; ++i)
    if (i < p || i >= p + k) shape.push_back(shapeOf(x)[i]);
  Value r = e.op("lumo.GatherNd", {xt, stacked}, tensorOf(shape, elemOf(x)));
  // The leading unindexed dimensions go back in front of the index dimensions.
  if (p > 0) {
    int64_t c = common.size();
    Shape back;
    for (int64_t i = 0; i < p; ++i) back.push_back(c + i);
    for (int64_t i = 0; i < c; ++i) back.push_back(i);
    for (int64_t i = c + p; i < static_cast<int64_t>(shape.size()); ++i) back.push_back(i);
    r = e.transpose(r, back);
  }
  return {e.conform(r, t.resultType())};
}

/// Scatter along `dim` with 1-D `indices` naming slices of `self` that `updates` (shaped like self
/// with dim of the index length) replace or add to.
Value scatterSlices(Emitter &e, Value self, int64_t dim, Value indices, Value updates,
                    StringRef kind) {
  Value idx = e.broadcastInDim(e.cast(indices, si64Type(e.ctx())),
                               shapeOf(updates), {dim});
  return e.scatter(self, idx, updates, dim, kind);
}

/// index_put(self, indices, values, accumulate). Several index tensors (consecutive dimensions)
/// are combined into one index into those dimensions flattened.
Values maskedIndexPut(TorchOp &t, Value self, int64_t p, Value mask, bool accumulate);

Values indexPut(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem);
  Emitter &e = t.e;
  {
    // One boolean mask (after leading full slices): a select where the mask holds.
    Values items = optionalTensors(t, 1);
    int64_t first = 0;
    while (first < static_cast<int64_t>(items.size()) && !items[first]) ++first;
    if (first + 1 == static_cast<int64_t>(items.size()) && isBoolType(elemOf(items[first])))
      return maskedIndexPut(t, self, first, items[first], t.size() > 3 && t.flag(3));
  }
  IndexPlan plan = planIndex(t, 1);
  bool accumulate = t.size() > 3 && t.flag(3);
  int64_t p = plan.first, k = plan.tensors.size(), rank = rankOf(self);
  if (p + k > rank) unsupported("too many indices");
  Shape common;
  for (Value v : plan.tensors) common = broadcastShapes(common, shapeOf(v));
  // Row-major position within the indexed dimensions, negative indices counted from the end.
  Value idx;
  int64_t span = 1;
  for (int64_t j = k - 1; j >= 0; --j) {
    int64_t size = shapeOf(self)[p + j];
    Value v = wrapIndex(e, e.broadcastTo(plan.tensors[j], common), size);
    if (span != 1) v = e.mul(v, e.indexScalar(span));
    idx = idx ? e.add(v, idx) : v;
    span *= size;
  }
  // Self with the indexed dimensions as one.
  Shape flatSelf(shapeOf(self).begin(), shapeOf(self).begin() + p);
  flatSelf.push_back(span);
  flatSelf.append(shapeOf(self).begin() + p + k, shapeOf(self).end());
  // Values broadcast to the shape of self[indices], with the index dimensions flattened.
  int64_t n = numElements(common);
  Shape indexed(shapeOf(self).begin(), shapeOf(self).begin() + p);
  indexed.append(common.begin(), common.end());
  indexed.append(shapeOf(self).begin() + p + k, shapeOf(self).end());
  Shape flatValues(flatSelf);
  flatValues[p] = n;
  Value values = e.reshape(e.broadcastTo(t.value(2, elem), indexed), flatValues);
  // PyTorch accumulates one value at a time, rounding bf16 and f16 sums after each addition.
  StringRef kind = !accumulate ? "none" : isReducedFloat(elem) ? "add_sequential" : "add";
  Value r = scatterSlices(e, e.reshape(self, flatSelf), p, e.reshape(idx, {n}), values, kind);
  return {e.reshape(r, shapeOf(self))};
}

/// index_add(self, dim, index, source, alpha), index_copy(self, dim, index, source).
PatternFn indexUpdate(bool add) {
  return [add](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value self = t.value(0, elem), source = t.value(3, elem);
    Emitter &e = t.e;
    // A 0-d tensor is updated as the one element of a 1-d one.
    bool scalar = rankOf(self) == 0;
    if (scalar) {
      self = e.reshape(self, {1});
      source = e.reshape(source, {1});
    }
    int64_t dim = normDim(t.i64(1), rankOf(self));
    if (add && t.size() > 4) {
      auto alpha = t.number(4);
      if (!alpha || *alpha != 1) source = e.mul(source, t.scalar(4, elem));
    }
    Value idx = t.tensor(2);
    idx = e.reshape(idx, {numElements(shapeOf(idx))});
    Shape shape(shapeOf(self).begin(), shapeOf(self).end());
    shape[dim] = shapeOf(idx)[0];
    // index_add of 1-D tensors adds one value at a time (bf16 and f16 sums rounded after each).
    StringRef kind = !add ? "none" : rankOf(self) == 1 && isReducedFloat(elem) ? "add_sequential" : "add";
    Value r = scatterSlices(e, self, dim, idx, e.reshape(source, shape), kind);
    return {scalar ? e.reshape(r, {}) : r};
  };
}

/// index_fill(self, dim, index, value).
Values indexFill(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem);
  Emitter &e = t.e;
  // A 0-d tensor is filled as the one element of a 1-d one.
  bool scalar = rankOf(self) == 0;
  if (scalar) self = e.reshape(self, {1});
  int64_t dim = normDim(t.i64(1), rankOf(self));
  Value idx = t.tensor(2);
  idx = e.reshape(idx, {numElements(shapeOf(idx))});
  Shape shape(shapeOf(self).begin(), shapeOf(self).end());
  shape[dim] = shapeOf(idx)[0];
  Value values = e.broadcastTo(t.value(3, elem), shape);
  Value r = scatterSlices(e, self, dim, idx, values, "none");
  return {scalar ? e.reshape(r, {}) : r};
}

/// Scatter of `updates` (sliced to the index shape) at `index` along dim. On a 0-d tensor (dim 0
/// or -1, as PyTorch allows) the operands are read as 1-D.
Value torchScatter(Emitter &e, Value self, int64_t dim, Value index, Value updates,
                   StringRef kind) {
  if (rankOf(self) == 0) {
    auto one = [&](Value v) { return e.reshape(v, Shape(std::max<int64_t>(rankOf(v), 1), 1)); };
    if (rankOf(index) > 1 || rankOf(updates) > 1)
      unsupported("a scatter into a 0-d tensor with more than one index");
    return e.reshape(torchScatter(e, one(self), 0, one(index), one(updates), kind), {});
  }
  if (shapeOf(updates) != shapeOf(index))
    updates = e.slice(updates, Shape(rankOf(updates), 0), shapeOf(index));
  return e.scatter(self, index, updates, dim, kind);
}

std::string scatterKind(const std::string &reduce) {
  if (reduce == "add" || reduce == "sum") return "add";
  if (reduce == "multiply" || reduce == "prod") return "mul";
  if (reduce == "amax") return "max";
  if (reduce == "amin") return "min";
  unsupported("scatter reduction '" + reduce + "'");
}

/// scatter.src/.value/.reduce/.value_reduce and scatter_add.
PatternFn scatter(bool valueForm, bool hasReduce, const char *fixedKind = nullptr) {
  return [=](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value self = t.value(0, elem), index = t.tensor(2);
    Emitter &e = t.e;
    // An empty index writes nothing (PyTorch accepts it whatever its rank: gather's gradient).
    if (numElements(shapeOf(index)) == 0) return {e.conform(self, t.resultType())};
    int64_t dim = normDim(t.i64(1), std::max<int64_t>(rankOf(self), 1));
    Value updates = t.value(3, elem);
    // The value form, also when it arrives as a 0-d source tensor.
    if (valueForm || rankOf(updates) < rankOf(index)) updates = e.broadcastTo(updates, shapeOf(index));
    std::string kind = fixedKind ? fixedKind : hasReduce ? scatterKind(t.str(4)) : "none";
    return {torchScatter(e, self, dim, index, updates, kind)};
  };
}

/// scatter_reduce.two(self, dim, index, src, reduce, include_self).
Values scatterReduce(TorchOp &t) {
  Type elem = t.resultElem();
  Value self = t.value(0, elem), index = t.tensor(2), src = t.value(3, elem);
  Emitter &e = t.e;
  int64_t dim = normDim(t.i64(1), std::max<int64_t>(rankOf(self), 1));
  std::string reduce = t.str(4);
  bool includeSelf = t.size() > 5 ? t.flag(5) : true;
  // A 0-d source (or index) is read as 1-D, as PyTorch reads 0-d operands of a scatter.
  if (rankOf(src) == 0 && rankOf(index) == 1) src = e.reshape(src, {1});
  if (rankOf(index) == 0 && rankOf(src) == 1) index = e.reshape(index, {1});
  if (shapeOf(src) != shapeOf(index)) src = e.slice(src, Shape(rankOf(src), 0), shapeOf(index));
  auto identity = [&](double v) { return e.splat(tensorOf(shapeOf(index), elem), v); };
  if (reduce == "mean") {
    Value init = includeSelf ? self : torchScatter(e, self, dim, index, identity(0), "none");
    Value sum = torchScatter(e, init, dim, index, src, "add");
    Value ones = e.splat(typeOf(self), includeSelf ? 1 : 0);
    Value count = torchScatter(e, ones, dim, index, identity(1), "add");
    count = e.binary("maximum", count, e.scalar(elem, 1));
    Value mean = isFloatType(elem) ? e.div(sum, count) : e.binary("floor_divide", sum, count);
    return {mean};
  }
  std::string kind = scatterKind(reduce);
  Value init = self;
  if (!includeSelf) {
    // The identity of the reduction: what the first update combines with.
    Value neutral = kind == "add" ? identity(0) : kind == "mul" ? identity(1)
                    : e.broadcastTo(extreme(e, elem, kind == "max"), shapeOf(index));
    init = torchScatter(e, self, dim, index, neutral, "none");
  }
  return {torchScatter(e, init, dim, index, src, kind)};
}

Values oneHot(TorchOp &t) {
  Value indices = t.tensor(0);
  Emitter &e = t.e;
  Type elem = t.resultElem();
  int64_t classes = t.resultShape().back();
  return {e.op("lumo.OneHot",
               {indices, e.indexScalar(classes), e.scalar(elem, 1), e.scalar(elem, 0),
                e.indexScalar(-1)},
               t.resultType())};
}

/// put(self, index, source, accumulate): source written into (or added to) self read as 1-D.
Values put(TorchOp &t) {
  t.expectOperands(4);
  Type elem = t.resultElem();
  Value self = t.value(0, elem), index = t.tensor(1), source = t.value(2, elem);
  Emitter &e = t.e;
  int64_t n = numElements(shapeOf(self)), m = numElements(shapeOf(index));
  if (numElements(shapeOf(source)) != m) unsupported("source and index differ in size");
  Value flat = e.reshape(self, {n});
  Value idx = wrapIndex(e, e.reshape(index, {m}), n);
  Value r = e.scatter(flat, idx, e.reshape(source, {m}), 0, t.flag(3) ? "add" : "none");
  return {e.reshape(r, shapeOf(self))};
}

Values take(TorchOp &t) {
  Value x = t.tensor(0), index = t.tensor(1);
  Emitter &e = t.e;
  int64_t n = numElements(shapeOf(x));
  Value flat = e.reshape(x, {n});
  return {e.conform(e.gather(flat, wrapIndex(e, index, n), 0), t.resultType())};
}

/// index_put(self, [None..., mask], values, accumulate) with a boolean mask over dimensions
/// p..p+m of self: self[mask] has one row per true element, which `values` must fill whatever
/// their number (a count of 1 or none in its shape): the result selects (or adds) values where the
/// mask holds. Values with one row per true element have a shape the data decide: refused.
Values maskedIndexPut(TorchOp &t, Value self, int64_t p, Value mask, bool accumulate) {
  Emitter &e = t.e;
  Type elem = elemOf(self);
  int64_t rank = rankOf(self), m = rankOf(mask);
  if (p + m > rank || shapeOf(self).slice(p, m) != shapeOf(mask))
    unsupported("a boolean mask whose shape is not that of the dimensions it indexes");
  Value values = t.value(2, elem);
  // self[mask] is [self.shape[:p], count, self.shape[p + m:]]; values broadcast to it.
  int64_t post = rank - p - m, indexedRank = p + 1 + post;
  if (rankOf(values) > indexedRank)
    unsupported("index_put values of a higher rank than the indexed tensor");
  Shape v(indexedRank - rankOf(values), 1);
  v.append(shapeOf(values).begin(), shapeOf(values).end());
  if (v[p] != 1)
    unsupported("boolean mask indexing with one value per selected element (how many depends on the mask's values)");
  Shape spread(v.begin(), v.begin() + p);
  spread.append(m, 1);
  spread.append(v.begin() + p + 1, v.end());
  Value filled = e.broadcastTo(e.reshape(values, spread), shapeOf(self));
  Shape maskShape(p, 1);
  maskShape.append(shapeOf(mask).begin(), shapeOf(mask).end());
  maskShape.append(post, 1);
  Value where = e.broadcastTo(e.reshape(mask, maskShape), shapeOf(self));
  if (accumulate) return {e.select(where, e.add(self, filled), self)};
  return {e.select(where, filled, self)};
}

/// repeat_interleave.Tensor(repeats, output_size): i repeated repeats[i] times, output_size
/// positions in all: position j holds the number of running totals of repeats at or below j.
Values repeatInterleave(TorchOp &t) {
  Emitter &e = t.e;
  Value repeats = t.tensor(0);
  RankedTensorType result = t.resultType();
  int64_t n = numElements(shapeOf(repeats)), size = result.getShape()[0];
  if (rankOf(repeats) > 1) unsupported("repeat_interleave with repeats of more than one dimension");
  if (t.isNone(1)) unsupported("repeat_interleave without output_size (its length depends on the repeats' values)");
  if (n == 0 || size == 0) return {e.zeros(result)};
  Type index = si64Type(e.ctx());
  repeats = e.reshape(e.cast(repeats, index), {1, n});
  Value ends = e.op("lumo.CumSum", repeats, repeats.getType(), {e.i64("axis", 1)});
  Value below = e.compare(ends, e.positions({size, n}, 0), "LE");
  return {e.conform(e.reduce(e.cast(below, index), {1}, false, "sum"), result)};
}

/// nonzero_static(x, size, fill_value): the indices of the first `size` non-zero elements of x in
/// row-major order ([size, rank] si64), the rows past their number filled with fill_value. A
/// non-zero element's row is the number of non-zero elements up to it, less one; a Scatter writes
/// the indices of each element to its row (the other elements' to a spare row, dropped).
Values nonzeroStatic(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0);
  int64_t size = t.i64(1), fill = t.i64(2);
  RankedTensorType result = t.resultType();
  int64_t rank = rankOf(x), n = numElements(shapeOf(x));
  if (size < 0) unsupported("nonzero_static with a negative size");
  if (rank == 0 || size == 0) return {e.zeros(result)};
  if (n == 0) return {e.splat(result, static_cast<double>(fill))};
  Type index = si64Type(e.ctx());
  Value flags = e.reshape(isBoolType(elemOf(x)) ? x : e.compare(x, e.scalar(elemOf(x), 0), "NE"), {n});
  Value count = e.cast(flags, index);
  Value row = e.addScalar(e.op("lumo.CumSum", count, count.getType(), {e.i64("axis", 0)}), -1);
  Value kept = e.logicalAnd(flags, e.compare(row, e.indexScalar(size), "LT"));
  Value target = e.reshape(e.select(kept, row, e.indexScalar(size)), {n, 1});
  Values coords;
  for (int64_t d = 0; d < rank; ++d) coords.push_back(e.reshape(e.positions(shapeOf(x), d), {n, 1}));
  Value updates = rank == 1 ? coords[0] : e.concat(coords, 1);
  Value spare = e.splat(tensorOf({size + 1, rank}, index), static_cast<double>(fill));
  Value rows = e.scatter(spare, e.broadcastTo(target, {n, rank}), updates, 0, "none");
  return {e.conform(e.sliceDim(rows, 0, 0, size), result)};
}

}  // namespace

void addIndexingPatterns(PatternTable &t) {
  t.add("aten.embedding", embedding);
  t.add("aten.embedding_dense_backward", embeddingBackward);
  t.add("aten.gather", torchGather);
  t.add("aten.nonzero_static", nonzeroStatic);
  t.add("aten.repeat_interleave.Tensor", repeatInterleave);
  t.add("aten.index_select", indexSelect);
  t.add({"aten.index.Tensor", "aten._unsafe_index.Tensor"}, index);
  t.add({"aten.index_put", "aten._index_put_impl", "aten._unsafe_index_put"}, indexPut);
  t.add("aten.index_add", indexUpdate(true));
  t.add("aten.index_copy", indexUpdate(false));
  t.add({"aten.index_fill.int_Scalar", "aten.index_fill.int_Tensor"}, indexFill);
  t.add("aten.scatter.src", scatter(false, false));
  t.add("aten.scatter.value", scatter(true, false));
  t.add("aten.scatter.reduce", scatter(false, true));
  t.add("aten.scatter.value_reduce", scatter(true, true));
  t.add("aten.scatter_add", scatter(false, false, "add"));
  t.add("aten.scatter_reduce.two", scatterReduce);
  t.add("aten.one_hot", oneHot);
  t.add("aten.take", take);
  t.add("aten.put", put);
}

}  // namespace torch_lumo
