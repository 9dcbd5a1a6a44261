// Reductions, statistics, norms, scans and sorting.
#include "TorchToLumo.h"

#include <cmath>
#include <functional>

namespace torch_lumo {
namespace {

/// The dimensions operand i names: None or an empty list means all of them.
Shape reducedDims(TorchOp &t, unsigned i, int64_t rank) {
  if (rank == 0 || i >= t.size() || t.isNone(i)) return dimRange(0, rank);
  Value v = t.operand(i);
  Shape dims;
  if (v.getType().isa<RankedTensorType>()) unsupported("dimensions given as a tensor");
  if (auto list = constantInts(v, t.state)) dims = *list;
  else dims = {t.i64(i)};
  if (dims.empty()) return dimRange(0, rank);
  Shape out = normDims(dims, rank);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

/// The one dimension operand i names. A 0-d tensor takes 0 and -1, as PyTorch does, meaning the
/// whole tensor (callers handle rank 0).
int64_t oneDim(TorchOp &t, unsigned i, int64_t rank) {
  return normDim(t.i64(i), std::max<int64_t>(rank, 1));
}

/// A reduction of x (cast to the result's element type first) over dims, shaped as the result.
Value reduceTo(TorchOp &t, Value x, ArrayRef<int64_t> dims, bool keep, StringRef kind,
               unsigned result = 0) {
  if (rankOf(x) == 0) return t.e.conform(x, t.resultType(result));
  return t.e.conform(t.e.reduce(x, dims, keep, kind), t.resultType(result));
}

/// sum/mean/prod(x, dims?, keepdim, dtype?) and their all-dimension forms (x, dtype?).
PatternFn simpleReduce(StringRef kind, bool hasDims) {
  std::string k = kind.str();
  return [k, hasDims](TorchOp &t) -> Values {
    Value x = t.value(0, t.resultElem());
    Shape dims = hasDims ? reducedDims(t, 1, rankOf(x)) : dimRange(0, rankOf(x));
    bool keep = hasDims && t.size() > 2 && t.flag(2);
    return {reduceTo(t, x, dims, keep, k)};
  };
}

/// nansum(x, dims?, keepdim, dtype?): a sum with the NaNs counted as zeros.
Values nansum(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  if (isFloatType(elemOf(x)))
    x = t.e.select(t.e.unary("isnan", x), t.e.scalar(elemOf(x), 0.0), x);
  Shape dims = reducedDims(t, 1, rankOf(x));
  bool keep = t.size() > 2 && t.flag(2);
  return {reduceTo(t, x, dims, keep, "sum")};
}

Value takeAlong(Emitter &e, Value x, Value pos, int64_t dim);

/// isin.Tensor_Tensor(x, test, assume_unique, invert) and isin.Tensor_Scalar: whether each element
/// equals one of the test elements, by comparing it with all of them.
Values isin(TorchOp &t) {
  Emitter &e = t.e;
  Type elem = t.promoted({0, 1});
  Value x = t.value(0, elem), test = t.value(1, elem);
  bool invert = t.size() > 3 && t.flag(3);
  int64_t n = numElements(shapeOf(x)), m = numElements(shapeOf(test));
  if (n * m > (int64_t(1) << 26)) unsupported("isin of this many elements (it compares each pair)");
  Shape column(shapeOf(x).begin(), shapeOf(x).end());
  column.push_back(1);
  Value equal = e.compare(e.reshape(x, column), e.reshape(test, {m}), "EQ");
  Value found = m == 0 ? e.splat(tensorOf(shapeOf(x), elemOf(equal)), 0)
                       : e.reduce(equal, {rankOf(x)}, false, "or");
  return {e.conform(invert ? e.logicalNot(found) : found, t.resultType())};
}

/// The position of each element of x in the rows of `sorted` (sorted along their last dimension):
/// how many of the row's values are below it (`right`: not above it). A 1-D `sorted` is every
/// element's row; otherwise the rows pair up with x's rows. NaNs sort last, as in PyTorch.
Value insertionPoints(Emitter &e, Value sorted, Value x, bool right) {
  int64_t m = shapeOf(sorted).back();
  Shape xs(shapeOf(x).begin(), shapeOf(x).end()), ss(shapeOf(sorted).begin(), shapeOf(sorted).end());
  xs.push_back(1);
  if (rankOf(sorted) > 1) ss.insert(ss.end() - 1, 1);
  if (numElements(xs) * m > (int64_t(1) << 26))
    unsupported("a search of this many elements (it compares each with a whole row)");
  Value a = e.reshape(sorted, ss), b = e.reshape(x, xs);
  // sorted[i] < x (left) or sorted[i] <= x (right); a NaN of x is above every number.
  Value below = e.compare(a, b, right ? "LE" : "LT");
  if (isFloatType(elemOf(x))) {
    Value nan = e.unary("isnan", b);
    below = e.logicalOr(below, right ? nan : e.logicalAnd(nan, e.logicalNot(e.unary("isnan", a))));
  }
  Type si64 = si64Type(e.ctx());
  if (m == 0) return e.zeros(tensorOf(shapeOf(x), si64));
  return e.reduce(e.cast(below, si64), {rankOf(b) - 1}, false, "sum");
}

/// bucketize.Tensor(x, boundaries, out_int32, right).
Values bucketize(TorchOp &t) {
  Type elem = t.promoted({0, 1});
  Value x = t.value(0, elem), boundaries = t.value(1, elem);
  bool right = t.size() > 3 && t.flag(3);
  return {t.e.conform(insertionPoints(t.e, boundaries, x, right), t.resultType())};
}

/// searchsorted.Tensor(sorted, x, out_int32, right, side?, sorter?).
Values searchsorted(TorchOp &t) {
  Type elem = t.promoted({0, 1});
  Value sorted = t.value(0, elem), x = t.value(1, elem);
  bool right = t.size() > 3 && t.flag(3);
  if (t.size() > 4 && !t.isNone(4)) right = t.str(4) == "right";
  if (t.size() > 5 && !t.isNone(5)) {
    Value sorter = t.tensor(5);
    int64_t rank = rankOf(sorted);
    sorted = rank == 1 ? t.e.gather(sorted, sorter, 0) : takeAlong(t.e, sorted, sorter, rank - 1);
  }
  if (rankOf(x) == 0 && rankOf(sorted) > 1) unsupported("searchsorted of a 0-d value in rows");
  return {t.e.conform(insertionPoints(t.e, sorted, x, right), t.resultType())};
}

/// amax/amin(x, dims, keepdim).
PatternFn extremum(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    Shape dims = reducedDims(t, 1, rankOf(x));
    bool keep = t.size() > 2 && t.flag(2);
    return {reduceTo(t, x, dims, keep, k)};
  };
}

/// max/min(x): over everything.
PatternFn fullExtremum(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    return {reduceTo(t, x, dimRange(0, rankOf(x)), false, k)};
  };
}

Value argReduce(Emitter &e, Value x, int64_t dim, bool keep, StringRef kind) {
  if (rankOf(x) == 0) return e.zeros(tensorOf({}, si64Type(e.ctx())));
  return e.reduce(x, {dim}, keep, kind);
}

/// max.dim/min.dim(x, dim, keepdim) -> (values, indices).
PatternFn extremumWithIndex(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    int64_t dim = oneDim(t, 1, rankOf(x));
    bool keep = t.size() > 2 && t.flag(2);
    Value values = reduceTo(t, x, {dim}, keep, k, 0);
    Value indices = t.resultUsed(1)
                        ? t.e.conform(argReduce(t.e, x, dim, keep, k == "max" ? "argmax" : "argmin"),
                                      t.resultType(1))
                        : Value();
    return {values, indices};
  };
}

/// argmax/argmin(x, dim?, keepdim).
PatternFn argExtremum(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    Emitter &e = t.e;
    bool keep = t.size() > 2 && t.flag(2);
    if (t.size() < 2 || t.isNone(1)) {
      Value flat = e.reshape(x, {numElements(shapeOf(x))});
      return {e.conform(argReduce(e, flat, 0, false, k), t.resultType())};
    }
    int64_t dim = oneDim(t, 1, rankOf(x));
    return {e.conform(argReduce(e, x, dim, keep, k), t.resultType())};
  };
}

/// all/any, over everything, one dimension or a list.
PatternFn logicalReduce(StringRef kind, bool hasDims) {
  std::string k = kind.str();
  return [k, hasDims](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    Emitter &e = t.e;
    if (!isBoolType(elemOf(x))) x = e.compare(x, e.scalar(elemOf(x), 0), "NE");
    Shape dims = hasDims ? reducedDims(t, 1, rankOf(x)) : dimRange(0, rankOf(x));
    bool keep = hasDims && t.size() > 2 && t.flag(2);
    return {reduceTo(t, x, dims, keep, k)};
  };
}

/// The unbiased variance of x per channel (over every dimension but 1) that a training batch norm
/// of x computed before `at` already gives (its batch_variance with an averaging factor of 1), if
/// one did: a training step updates a batch norm's running variance with the variance of its input.
Value batchNormVariance(Value x, Operation *at) {
  for (Operation *user : x.getUsers()) {
    if (user->getName().getStringRef() != "lumo.FusedBatchNorm" || user->getOperand(0) != x ||
        user->getBlock() != at->getBlock() || !user->isBeforeInBlock(at) || user->getAttr("data_format"))
      continue;
    auto training = user->getAttrOfType<BoolAttr>("is_training");
    auto factor = user->getAttrOfType<FloatAttr>("exponential_avg_factor");
    if ((!training || training.getValue()) && (!factor || factor.getValueAsDouble() == 1.0))
      return user->getResult(2);
  }
  return {};
}

/// var/std(x, dims?, correction?, keepdim) and var_mean/std_mean.
PatternFn variance(bool root, bool withMean) {
  return [root, withMean](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value x = t.value(0, elem);
    Emitter &e = t.e;
    Shape dims = reducedDims(t, 1, rankOf(x));
    double correction = t.size() > 2 && !t.isNone(2) ? t.f64(2) : 1.0;
    bool keep = t.size() > 3 && t.flag(3);
    Shape allButChannels = dimRange(0, rankOf(x));
    if (rankOf(x) >= 2) allButChannels.erase(allButChannels.begin() + 1);
    if (!root && !withMean && correction == 1.0 && rankOf(x) >= 2 && dims == allButChannels) {
      if (Value v = batchNormVariance(x, t.op))
        return {e.conform(keep ? e.reshape(v, reducedShape(shapeOf(x), dims, true)) : v, t.resultType(0))};
    }
    if (rankOf(x) == 0) x = e.reshape(x, {1}), dims = {0};
    // The sum of squared deviations from the mean over dims, and the number of reduced elements.
    Value mean = e.reduce(x, dims, true, "mean");
    Value d = e.sub(x, mean);
    int64_t n = 1;
    for (int64_t dim : dims) n *= shapeOf(x)[dim];
    Value ss = e.reduce(e.mul(d, d), dims, keep, "sum");
    Value v = e.scale(ss, 1.0 / std::max(0.0, static_cast<double>(n) - correction));
    if (root) v = e.unaryOp("lumo.Sqrt", v);
    Values out{e.conform(v, t.resultType(0))};
    if (withMean) out.push_back(e.conform(mean, t.resultType(1)));
    return out;
  };
}

Values logsumexp(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Shape dims = reducedDims(t, 1, rankOf(x));
  bool keep = t.size() > 2 && t.flag(2);
  if (rankOf(x) == 0) return {x};
  Value m = e.reduce(x, dims, true, "max");
  m = e.select(e.unary("isinf", m), e.scalar(elem, 0), m);
  Value s = e.reduce(e.unaryOp("lumo.Exp", e.sub(x, m)), dims, true, "sum");
  Value r = e.add(e.unaryOp("lumo.Log", s), m);
  if (!keep) r = e.reshape(r, reducedShape(shapeOf(x), dims, false));
  return {e.conform(r, t.resultType())};
}

/// The p-norm of x over dims.
Value vectorNorm(Emitter &e, Value x, double p, ArrayRef<int64_t> dims, bool keep) {
  Type elem = elemOf(x);
  Value a = e.unaryOp("lumo.Abs", x);
  if (p == 2)
    return e.op("lumo.L2Norm", x, tensorOf(reducedShape(shapeOf(x), dims, keep), elem),
                {e.ints("dims", dims), e.flag("keepdim", keep)});
  if (p == 1) return e.reduce(a, dims, keep, "sum");
  if (std::isinf(p)) return e.reduce(a, dims, keep, p > 0 ? "max" : "min");
  if (p == 0) return e.reduce(e.cast(e.compare(x, e.scalar(elem, 0), "NE"), elem), dims, keep, "sum");
  Value s = e.reduce(e.binaryOp("lumo.Pow", a, e.scalar(elem, p)), dims, keep, "sum");
  return e.binaryOp("lumo.Pow", s, e.scalar(elem, 1 / p));
}

/// linalg_vector_norm(x, ord, dims?, keepdim, dtype?).
Values linalgVectorNorm(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  double p = t.f64(1);
  Shape dims = reducedDims(t, 2, rankOf(x));
  bool keep = t.size() > 3 && t.flag(3);
  if (rankOf(x) == 0) x = t.e.reshape(x, {1}), dims = {0};
  return {t.e.conform(vectorNorm(t.e, x, p, dims, keep), t.resultType())};
}

/// norm.Scalar(x, p) and norm.ScalarOpt_dim(x, p?, dims, keepdim).
PatternFn norm(bool hasDims) {
  return [hasDims](TorchOp &t) -> Values {
    Value x = t.value(0, t.resultElem());
    double p = t.size() > 1 && !t.isNone(1) ? t.f64(1) : 2.0;
    Shape dims = hasDims ? reducedDims(t, 2, rankOf(x)) : dimRange(0, rankOf(x));
    bool keep = hasDims && t.size() > 3 && t.flag(3);
    if (rankOf(x) == 0) x = t.e.reshape(x, {1}), dims = {0};
    return {t.e.conform(vectorNorm(t.e, x, p, dims, keep), t.resultType())};
  };
}

Values countNonzero(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  Value nz = e.cast(e.compare(x, e.scalar(elemOf(x), 0), "NE"), t.resultElem());
  if (rankOf(x) == 0) return {e.conform(nz, t.resultType())};
  return {reduceTo(t, nz, reducedDims(t, 1, rankOf(x)), false, "sum")};
}

PatternFn scan(StringRef name) {
  std::string n = name.str();
  return [n](TorchOp &t) -> Values {
    Value x = t.value(0, t.resultElem());
    if (rankOf(x) == 0) return {x};
    int64_t dim = normDim(t.i64(1), rankOf(x));
    return {t.e.op(n, x, x.getType(), {t.e.i64("axis", dim)})};
  };
}

}  // namespace

/// The lowest (or highest) value of an element type: the identity of a running max (or min).
Value extreme(Emitter &e, Type elem, bool lowest) {
  if (isFloatType(elem)) return e.scalar(elem, lowest ? -INFINITY : INFINITY);
  unsigned width = elem.getIntOrFloatBitWidth();
  bool isSigned = !elem.isUnsignedInteger() && !isBoolType(elem);
  APInt v = isSigned ? (lowest ? APInt::getSignedMinValue(width) : APInt::getSignedMaxValue(width))
                     : (lowest ? APInt::getMinValue(width) : APInt::getMaxValue(width));
  return e.constant(DenseElementsAttr::get(tensorOf({}, elem), ArrayRef<APInt>{v}));
}

namespace {

using Combine = std::function<Values(Emitter &, const Values &earlier, const Values &later)>;

/// The inclusive scan along `dim` of tuples of tensors of one shape under an associative
/// `combine`, in log2(n) rounds (Hillis and Steele): each round combines every position with the
/// one 2^k before it, positions before the start reading the 0-d `identity` values.
Values inclusiveScan(Emitter &e, Values xs, int64_t dim, const Values &identity,
                     const Combine &combine) {
  int64_t rank = rankOf(xs.front()), n = shapeOf(xs.front())[dim];
  for (int64_t step = 1; step < n; step *= 2) {
    Shape low(rank, 0), high(rank, 0);
    low[dim] = step, high[dim] = -step;
    Values earlier;
    for (size_t i = 0; i < xs.size(); ++i)
      earlier.push_back(e.pad(xs[i], low, high, Shape(rank, 0),
                              {e.attr("constant_values", Emitter::constValue(identity[i]))}));
    xs = combine(e, earlier, xs);
  }
  return xs;
}

/// cummax/cummin(x, dim) -> (values, indices). PyTorch's sequential scan moves to a later element
/// that is NaN or, while the running value is not NaN, at least as large (small): so the index is
/// the last position of the running value, and of the last NaN once there is one.
PatternFn runningExtremum(bool max) {
  return [max](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    Emitter &e = t.e;
    Value zero = e.zeros(t.resultType(1));
    if (rankOf(x) == 0) return {x, zero};
    int64_t dim = normDim(t.i64(1), rankOf(x));
    Type elem = elemOf(x);
    Combine combine = [max, elem](Emitter &e, const Values &a, const Values &b) -> Values {
      Value later = e.compare(b[0], a[0], max ? "GE" : "LE");
      if (isFloatType(elem))
        later = e.logicalOr(e.unary("isnan", b[0]),
                            e.logicalAnd(e.logicalNot(e.unary("isnan", a[0])), later));
      return {e.select(later, b[0], a[0]), e.select(later, b[1], a[1])};
    };
    Values r = inclusiveScan(e, {x, e.positions(shapeOf(x), dim)}, dim,
                             {extreme(e, elem, max), e.indexScalar(0)}, combine);
    return {r[0], e.conform(r[1], t.resultType(1))};
  };
}

/// logcumsumexp(x, dim): CumLogSumExp accumulates one element at a time as PyTorch's kernel does.
/// Its gradient, exp(logcumsumexp(log|g| - result, reversed) + x), subtracts partial sums of the
/// size of x from each other: it keeps only the digits in which those sums agree with PyTorch's,
/// and a scan rounded in another order (pairwise) is off by 1e-3 relative in float32.
Values logcumsumexp(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  if (rankOf(x) == 0) return {x};
  int64_t dim = normDim(t.i64(1), rankOf(x));
  return {t.e.op("lumo.CumLogSumExp", x, x.getType(), {t.e.i64("axis", dim)})};
}

/// TopK along `dim`; `stable` keeps equal elements in their input order.
std::pair<Value, Value> topK(Emitter &e, Value x, int64_t k, int64_t dim, bool largest,
                             bool sorted, bool stable = false) {
  Shape shape(shapeOf(x).begin(), shapeOf(x).end());
  shape[dim] = k;
  auto indexType = si64Type(e.ctx());
  Operation *op = e.create("lumo.TopK", x, {tensorOf(shape, elemOf(x)), tensorOf(shape, indexType)},
                           {e.i64("k", k), e.i64("dimension", dim), e.flag("largest", largest),
                            e.flag("sorted", sorted), e.flag("stable", stable)});
  return {op->getResult(0), op->getResult(1)};
}

Values topk(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t k = t.i64(1);
  int64_t dim = t.size() > 2 ? oneDim(t, 2, rankOf(x)) : std::max<int64_t>(rankOf(x) - 1, 0);
  if (rankOf(x) == 0) return {x, t.e.zeros(t.resultType(1))};
  bool largest = t.size() > 3 ? t.flag(3) : true;
  bool sorted = t.size() > 4 ? t.flag(4) : true;
  auto [values, indices] = topK(t.e, x, k, dim, largest, sorted);
  return {t.e.conform(values, t.resultType(0)), t.e.conform(indices, t.resultType(1))};
}

/// sort(x, dim, descending) and sort.stable(x, stable?, dim, descending). An unstable sort leaves
/// the order of equal elements to the appliance (the interpreter gives PyTorch's CPU order).
PatternFn sort(bool hasStable) {
  return [hasStable](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    unsigned first = hasStable ? 2 : 1;
    int64_t dim = oneDim(t, first, rankOf(x));
    bool descending = t.flag(first + 1);
    bool stable = hasStable && t.optFlag(1).value_or(false);
    if (rankOf(x) == 0) return {x, t.e.zeros(t.resultType(1))};
    auto [values, indices] = topK(t.e, x, shapeOf(x)[dim], dim, descending, true, stable);
    return {values, indices};
  };
}

/// x's elements along dim at the per-slice positions `pos` (si64, x's shape with dim of size 1).
Value takeAlong(Emitter &e, Value x, Value pos, int64_t dim) {
  int64_t rank = rankOf(x);
  Shape perm = moveDim(rank, dim, rank - 1);
  Value r = e.gather(e.transpose(x, perm), e.transpose(pos, perm), rank - 1, rank - 1);
  return e.transpose(r, inversePermutation(perm));
}

/// median/nanmedian along dim -> (values, indices), as PyTorch: the lower median of the sorted
/// slice; a slice with a NaN has the first NaN as its median (median), or the NaNs are left out
/// (nanmedian, NaN only when all are).
std::pair<Value, Value> medianAlong(Emitter &e, Value x, int64_t dim, bool keep, bool ignoreNan) {
  Shape outShape = reducedShape(shapeOf(x), {dim}, keep);
  if (rankOf(x) == 0) return {x, e.zeros(tensorOf({}, si64Type(e.ctx())))};
  int64_t n = shapeOf(x)[dim];
  auto [values, indices] = topK(e, x, n, dim, false, true, true);  // NaNs last, in input order
  Type si64 = si64Type(e.ctx());
  Shape perSlice(shapeOf(x).begin(), shapeOf(x).end());
  perSlice[dim] = 1;
  Value pos = e.splat(tensorOf(perSlice, si64), (n - 1) / 2);
  if (isFloatType(elemOf(x))) {
    Value nans = e.reduce(e.cast(e.unary("isnan", x), si64), {dim}, true, "sum");
    Value numbers = e.sub(e.indexScalar(n), nans);
    Value one = e.indexScalar(1), zero = e.indexScalar(0);
    if (ignoreNan)  // the lower median of the numbers; 0 when there are none
      pos = e.div(e.binary("maximum", e.sub(numbers, one), zero), e.indexScalar(2));
    else  // the first NaN, after all the numbers
      pos = e.select(e.compare(nans, zero, "GT"), numbers, pos);
  }
  Value v = takeAlong(e, values, pos, dim), i = takeAlong(e, indices, pos, dim);
  return {e.reshape(v, outShape), e.reshape(i, outShape)};
}

PatternFn medianDim(bool ignoreNan) {
  return [ignoreNan](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    int64_t dim = oneDim(t, 1, rankOf(x));
    bool keep = t.size() > 2 && t.flag(2);
    auto [v, i] = medianAlong(t.e, x, dim, keep, ignoreNan);
    return {t.e.conform(v, t.resultType(0)), t.e.conform(i, t.resultType(1))};
  };
}

PatternFn median(bool ignoreNan) {
  return [ignoreNan](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    Value flat = t.e.reshape(x, {numElements(shapeOf(x))});
    return {t.e.conform(medianAlong(t.e, flat, 0, false, ignoreNan).first, t.resultType())};
  };
}

/// mode(x, dim, keepdim) -> (values, indices), as PyTorch's CPU kernel: the smallest of the most
/// frequent values, and the last position it has in the slice. Counted by comparing every pair
/// of elements of a slice.
Values mode(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  int64_t rank = rankOf(x);
  int64_t dim = oneDim(t, 1, rank);
  bool keep = t.size() > 2 && t.flag(2);
  if (rank == 0) return {x, e.zeros(t.resultType(1))};
  int64_t n = shapeOf(x)[dim];
  if (n == 0) unsupported("mode of an empty slice");
  if (numElements(shapeOf(x)) * n > (int64_t(1) << 26))
    unsupported("mode of slices this long (it compares every pair of elements of a slice)");
  Type elem = elemOf(x), si64 = si64Type(e.ctx());
  Shape a(shapeOf(x).begin(), shapeOf(x).end()), b(a);
  a.insert(a.begin() + dim + 1, 1);
  b.insert(b.begin() + dim, 1);
  Value equal = e.compare(e.reshape(x, a), e.reshape(x, b), "EQ");
  Value count = e.reduce(e.cast(equal, si64), {dim + 1}, false, "sum");
  Value most = e.compare(count, e.reduce(count, {dim}, true, "max"), "EQ");
  Value value = e.reduce(e.select(most, x, extreme(e, elem, false)), {dim}, true, "min");
  Value at = e.select(e.compare(x, value, "EQ"), e.positions(shapeOf(x), dim), e.indexScalar(-1));
  Value index = e.reduce(at, {dim}, true, "max");
  Shape out = reducedShape(shapeOf(x), {dim}, keep);
  return {e.conform(e.reshape(value, out), t.resultType(0)),
          e.conform(e.reshape(index, out), t.resultType(1))};
}

/// The k-th smallest values along dim, with their indices.
std::pair<Value, Value> kth(Emitter &e, Value x, int64_t k, int64_t dim, bool keep) {
  auto [values, indices] = topK(e, x, k, dim, false, true);
  Value v = e.sliceDim(values, dim, k - 1, 1), i = e.sliceDim(indices, dim, k - 1, 1);
  if (!keep) {
    Shape shape = reducedShape(shapeOf(x), {dim}, false);
    v = e.reshape(v, shape), i = e.reshape(i, shape);
  }
  return {v, i};
}

Values kthvalue(TorchOp &t) {
  Value x = t.tensor(0);
  int64_t dim = t.size() > 2 ? oneDim(t, 2, rankOf(x)) : std::max<int64_t>(rankOf(x) - 1, 0);
  if (rankOf(x) == 0) return {t.e.conform(x, t.resultType(0)), t.e.zeros(t.resultType(1))};
  bool keep = t.size() > 3 && t.flag(3);
  auto [v, i] = kth(t.e, x, t.i64(1), dim, keep);
  return {t.e.conform(v, t.resultType(0)), t.e.conform(i, t.resultType(1))};
}

Values aminmax(TorchOp &t) {
  Value x = t.tensor(0);
  bool keep = t.size() > 2 && t.flag(2);
  Shape dims = t.size() > 1 && !t.isNone(1) && rankOf(x) > 0 ? Shape{oneDim(t, 1, rankOf(x))}
                                                             : dimRange(0, rankOf(x));
  return {reduceTo(t, x, dims, keep, "min", 0), reduceTo(t, x, dims, keep, "max", 1)};
}

/// The sum of the main diagonal: every (cols+1)-th element of the flattened matrix.
Values trace(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  Emitter &e = t.e;
  if (rankOf(x) != 2) unsupported("trace of a tensor that is not a matrix");
  int64_t rows = shapeOf(x)[0], cols = shapeOf(x)[1], n = std::min(rows, cols);
  if (n == 0) return {e.zeros(t.resultType())};
  Value flat = e.reshape(x, {rows * cols});
  Value diag = e.op("lumo.StridedSlice",
                    {flat, e.indexVector({0}), e.indexVector({(n - 1) * (cols + 1) + 1}),
                     e.indexVector({cols + 1})},
                    tensorOf({n}, elemOf(x)));
  return {e.conform(e.reduce(diag, {0}, false, "sum"), t.resultType())};
}

/// renorm(x, p, dim, maxnorm): every slice along dim rescaled to a p-norm of at most maxnorm.
Values renorm(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  double p = t.f64(1), maxnorm = t.f64(3);
  int64_t dim = normDim(t.i64(2), rankOf(x));
  Shape dims;
  for (int64_t i = 0; i < rankOf(x); ++i)
    if (i != dim) dims.push_back(i);
  Value n = vectorNorm(e, x, p, dims, true);
  Value factor = e.select(e.compare(n, e.scalar(elem, maxnorm), "GT"),
                          e.div(e.scalar(elem, maxnorm), e.addScalar(n, 1e-7)), e.scalar(elem, 1));
  return {e.mul(x, factor)};
}

// ------------------------------------------------------------------ histograms
// histc and histogram count the elements of the flattened input (or add up their weights) in
// bins between consecutive edges, as PyTorch's CPU kernel: elements outside [first edge, last
// edge] and NaN are left out, the last bin includes its right edge. The number of bins is static;
// the range may come from the data (its minimum and maximum), computed in the program.

/// Sums `weights` (ones where null) into `bins` bins at `bin` ([N] si64) where `counted`.
Value binTotals(Emitter &e, Value bin, Value counted, Value weights, int64_t bins, Type elem) {
  Value target = e.select(counted, bin, e.indexScalar(bins));
  Value w = weights ? weights : e.splat(tensorOf(shapeOf(bin), elem), 1);
  // PyTorch adds to a bin one element at a time (bf16 and f16 totals rounded after each).
  Value acc = e.scatter(e.zeros(tensorOf({bins + 1}, elem)), target, w, 0,
                        isReducedFloat(elem) ? "add_sequential" : "add");
  return e.sliceDim(acc, 0, 0, bins);
}

/// `n` edges from `left` to `right` (0-d, of `elem`) as PyTorch's linspace computes them: the
/// first half forwards from left, the second half backwards from right, by (right - left) / (n - 1).
Value linearEdges(Emitter &e, Value left, Value right, int64_t n, Type elem) {
  if (n == 1) return e.reshape(left, {1});
  Value step = e.div(e.sub(right, left), e.scalar(elem, static_cast<double>(n - 1)));
  Value i = e.positions({n}, 0);
  Value forwards = e.add(left, e.mul(step, e.cast(i, elem)));
  Value backwards = e.sub(right, e.mul(step, e.cast(e.sub(e.indexScalar(n - 1), i), elem)));
  return e.select(e.compare(i, e.indexScalar(n / 2), "LT"), forwards, backwards);
}

/// `hist` where the range [left, right] the data gave is finite, NaN in every bin otherwise (PyTorch
/// refuses a range that is not finite; a program cannot raise).
Value finiteOrNan(Emitter &e, Value hist, Value left, Value right) {
  Value finite = e.logicalAnd(e.unary("isfinite", left), e.unary("isfinite", right));
  return e.select(finite, hist, e.scalar(elemOf(hist), NAN));
}

/// The least and greatest element of x ([N], N > 0), widened by `pad` on both sides where equal.
std::pair<Value, Value> dataRange(Emitter &e, Value x, double pad) {
  Value lo = e.reduce(x, {0}, false, "min"), hi = e.reduce(x, {0}, false, "max");
  Value same = e.compare(lo, hi, "EQ");
  return {e.select(same, e.addScalar(lo, -pad), lo), e.select(same, e.addScalar(hi, pad), hi)};
}

Value flattened(Emitter &e, Value x) { return e.reshape(x, {numElements(shapeOf(x))}); }

void expectHistogrammable(TorchOp &t, Value x) {
  if (!isFloatType(elemOf(x))) unsupported(t.kind + " of a tensor that is not floating point");
}

/// histc(x, bins, min, max): bins of equal width from min to max, or over the data's range when
/// min == max (widened by 1 where the data are all equal; NaN bins where it is not finite); an
/// element's bin is
/// trunc((x - min) * bins / (max - min)), computed in x's type.
Values histc(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0);
  expectHistogrammable(t, x);
  Type elem = elemOf(x);
  int64_t bins = t.i64(1);
  std::optional<double> lo = t.number(2), hi = t.number(3);
  if (!lo || !hi) unsupported("histc with a range that is not a constant");
  if (bins <= 0) unsupported("histc with fewer than one bin");
  x = flattened(e, x);
  Value left, right;
  if (*lo != *hi) {
    if (*lo > *hi) unsupported("histc with max below min");
    left = e.scalar(elem, *lo);
    right = e.scalar(elem, *hi);
  } else if (shapeOf(x)[0] == 0) {
    left = e.scalar(elem, *lo - 1);
    right = e.scalar(elem, *hi + 1);
  } else {
    std::tie(left, right) = dataRange(e, x, 1);
  }
  Value scaled = e.div(e.mul(e.sub(x, left), e.scalar(elem, static_cast<double>(bins))), e.sub(right, left));
  Value bin = e.cast(scaled, si64Type(e.ctx()));
  bin = e.select(e.compare(bin, e.indexScalar(bins), "EQ"), e.indexScalar(bins - 1), bin);
  Value counted = e.logicalAnd(e.compare(x, left, "GE"), e.compare(x, right, "LE"));
  Value hist = binTotals(e, bin, counted, Value(), bins, elem);
  if (*lo == *hi && shapeOf(x)[0]) hist = finiteOrNan(e, hist, left, right);
  return {e.conform(hist, t.resultType())};
}

/// hist and bin_edges of histogram over `edges` ([bins + 1]): an element's bin is the last edge
/// at or below it; with density the totals divided by their sum and by the bins' widths.
Values histogramOver(TorchOp &t, Value x, Value edges, Value weights, bool density) {
  Emitter &e = t.e;
  Type elem = elemOf(x);
  int64_t bins = shapeOf(edges)[0] - 1;
  if (bins < 1) unsupported("a histogram without bins");
  Value left = e.reshape(e.sliceDim(edges, 0, 0, 1), {}), right = e.reshape(e.sliceDim(edges, 0, bins, 1), {});
  Value bin = e.addScalar(insertionPoints(e, edges, x, true), -1);
  bin = e.select(e.compare(bin, e.indexScalar(bins), "EQ"), e.indexScalar(bins - 1), bin);
  Value counted = e.logicalAnd(e.compare(x, left, "GE"), e.compare(x, right, "LE"));
  Value hist = binTotals(e, bin, counted, weights ? e.cast(flattened(e, weights), elem) : Value(), bins, elem);
  if (density) {
    hist = e.div(hist, e.reduce(hist, {0}, false, "sum"));
    hist = e.div(hist, e.sub(e.sliceDim(edges, 0, 1, bins), e.sliceDim(edges, 0, 0, bins)));
  }
  return {e.conform(hist, t.resultType(0)), e.conform(edges, t.resultType(1))};
}

/// histogram.bin_ct(x, bins, range?, weight?, density): equal bins over `range`, or the data's
/// range (widened by 0.5 where the data are all equal; [0, 1] for no data; NaN bins where it is
/// not finite).
Values histogramCount(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0);
  expectHistogrammable(t, x);
  Type elem = elemOf(x);
  int64_t bins = t.i64(1);
  if (bins <= 0) unsupported("histogram with fewer than one bin");
  x = flattened(e, x);
  Value left, right;
  if (!t.isNone(2)) {
    // A list of two floats (prim.ListConstruct of constants).
    llvm::SmallVector<double, 2> range;
    Operation *list = t.operand(2).getDefiningOp();
    if (list && torchKind(list) == "prim.ListConstruct")
      for (Value v : list->getOperands())
        if (std::optional<double> d = constantNumber(v, t.state)) range.push_back(*d);
    if (range.size() != 2 || (list && list->getNumOperands() != 2))
      unsupported("a histogram range that is not two constants");
    double lo = range[0], hi = range[1];
    if (lo > hi) unsupported("a histogram range whose maximum is below its minimum");
    if (lo == hi) lo -= 0.5, hi += 0.5;
    left = e.scalar(elem, lo);
    right = e.scalar(elem, hi);
  } else if (shapeOf(x)[0] == 0) {
    left = e.scalar(elem, 0);
    right = e.scalar(elem, 1);
  } else {
    std::tie(left, right) = dataRange(e, x, 0.5);
  }
  Value weights = t.isNone(3) ? Value() : t.tensor(3);
  Values r = histogramOver(t, x, linearEdges(e, left, right, bins + 1, elem), weights, t.flag(4));
  if (t.isNone(2) && shapeOf(x)[0]) r[0] = finiteOrNan(e, r[0], left, right);
  return r;
}

/// histogram.bins_tensor(x, bins, weight?, density): the given edges.
Values histogramEdges(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0), edges = t.tensor(1);
  expectHistogrammable(t, x);
  if (rankOf(edges) != 1) unsupported("histogram bin edges that are not 1-D");
  Value weights = t.isNone(2) ? Value() : t.tensor(2);
  return histogramOver(t, flattened(e, x), e.cast(edges, elemOf(x)), weights, t.flag(3));
}

// ------------------------------------------------------------------ segment reductions
// segment_reduce(data, reduce, lengths?, indices?, offsets?, axis, unsafe, initial?) reduces
// consecutive runs of data along `axis`: segment n of row r covers [offsets[r, n],
// offsets[r, n + 1]) (offsets: 0 then the running sums of lengths), r indexing the dimensions
// before `axis`. The number of segments is a dimension of lengths or offsets (static); their
// extents are data of the program.

struct Segments {
  int64_t axis, count;  // segments per row
  Value length;         // [rows..., count] si64
  Value id;             // [rows..., S] si64: the segment of each position, `count` outside them all
};

/// The segments of `data` described by operand `lengthsAt` or `offsetsAt` (the other one None).
Segments segmentsOf(TorchOp &t, Value data, unsigned lengthsAt, unsigned offsetsAt, unsigned axisAt) {
  Emitter &e = t.e;
  Type index = si64Type(e.ctx());
  int64_t rank = rankOf(data);
  if (rank == 0) unsupported("segment_reduce of a 0-d tensor");
  int64_t axis = normDim(t.i64(axisAt), rank);
  Value lengths = t.isNone(lengthsAt) ? Value() : e.cast(t.tensor(lengthsAt), index);
  Value offsets = t.isNone(offsetsAt) ? Value() : e.cast(t.tensor(offsetsAt), index);
  if (!lengths == !offsets) unsupported("segment_reduce with both lengths and offsets, or neither");
  Value given = lengths ? lengths : offsets;
  if (rankOf(given) != axis + 1 || shapeOf(given).drop_back() != shapeOf(data).take_front(axis))
    unsupported("segment lengths or offsets whose leading dimensions are not those of the data before axis");
  int64_t last = axis;  // the segments' dimension in lengths and offsets
  Value starts, ends;
  if (lengths) {
    ends = e.op("lumo.CumSum", lengths, lengths.getType(), {e.i64("axis", last)});
    starts = e.sub(ends, lengths);
  } else {
    int64_t n = shapeOf(offsets)[last];
    if (n == 0) unsupported("segment offsets without their first element");
    starts = e.sliceDim(offsets, last, 0, n - 1);
    ends = e.sliceDim(offsets, last, 1, n - 1);
  }
  Segments s;
  s.axis = axis;
  s.count = shapeOf(ends)[last];
  s.length = lengths ? lengths : e.sub(ends, starts);
  int64_t size = shapeOf(data)[axis];
  // id = the number of segments that end at or before the position, for positions at or after
  // the first segment's start.
  Shape pairs(shapeOf(data).take_front(axis));
  pairs.append({size, s.count});
  Shape endsAt(shapeOf(data).take_front(axis));
  endsAt.append({1, s.count});
  Shape rows(shapeOf(data).take_front(axis));
  rows.push_back(size);
  if (s.count == 0) {
    s.id = e.zeros(tensorOf(rows, index));
    return s;
  }
  Value before = e.compare(e.reshape(ends, endsAt), e.positions(pairs, axis), "LE");
  Value id = e.reduce(e.cast(before, index), {axis + 1}, false, "sum");
  Value inside = e.compare(e.positions(rows, axis), e.sliceDim(starts, last, 0, 1), "GE");
  id = e.select(inside, id, e.indexScalar(s.count));
  s.id = id;
  return s;
}

/// `v` ([rows..., S] or [rows..., count]) with data's trailing dimensions, broadcast to `shape`.
Value alongData(Emitter &e, Value v, ArrayRef<int64_t> shape, int64_t axis) {
  Shape withOnes(shapeOf(v).begin(), shapeOf(v).end());
  withOnes.append(shape.size() - axis - 1, 1);
  return e.broadcastTo(e.reshape(v, withOnes), shape);
}

/// The segment reduction of `x` (data's shape) with `kind` (a Scatter kind) starting from `init`:
/// [rows..., count, inner...].
Value segmentCombine(Emitter &e, const Segments &s, Value x, StringRef kind, Value init) {
  Shape buffer(shapeOf(x).begin(), shapeOf(x).end());
  buffer[s.axis] = s.count + 1;  // the last row gathers the positions outside every segment
  Value start = e.broadcastTo(init, buffer);
  Value acc = e.scatter(start, alongData(e, s.id, shapeOf(x), s.axis), x, s.axis, kind);
  return e.sliceDim(acc, s.axis, 0, s.count);
}

/// Per position of data: the value of its segment in `perSegment` ([rows..., count, inner...]);
/// positions outside every segment read segment 0 (callers mask them).
Value segmentValue(Emitter &e, const Segments &s, Value perSegment) {
  Value id = e.select(e.compare(s.id, e.indexScalar(s.count), "LT"), s.id, e.indexScalar(0));
  return e.gather(perSegment, id, s.axis, s.axis);
}

std::string segmentKind(TorchOp &t, unsigned i) {
  std::string kind = t.str(i);
  if (kind != "sum" && kind != "mean" && kind != "max" && kind != "min" && kind != "prod")
    unsupported("segment reduction \"" + kind + "\" (it is sum, mean, max, min or prod)");
  return kind;
}

/// The value a segment's reduction starts from: `initial`, or the identity of the reduction.
Value segmentStart(TorchOp &t, unsigned initialAt, StringRef kind, Type elem) {
  if (!t.isNone(initialAt)) return t.scalar(initialAt, elem);
  double v = kind == "prod" ? 1 : kind == "max" ? -INFINITY : kind == "min" ? INFINITY : 0;
  return kind == "max" || kind == "min" ? extreme(t.e, elem, kind == "max") : t.e.scalar(elem, v);
}

/// segment_reduce: a Scatter of the data into one row per segment (and one for the positions
/// outside them), started from `initial` or the reduction's identity, each element combined in
/// order as PyTorch's kernel does; mean divides by the length (an empty segment gives `initial`,
/// or NaN without it).
Values segmentReduce(TorchOp &t) {
  Emitter &e = t.e;
  Value data = t.tensor(0);
  std::string kind = segmentKind(t, 1);
  if (!t.isNone(3)) unsupported("segment_reduce with indices (PyTorch takes lengths or offsets)");
  Type elem = elemOf(data);
  if (!isFloatType(elem)) unsupported("segment_reduce of a tensor that is not floating point");
  Segments s = segmentsOf(t, data, 2, 4, 5);
  Value start = segmentStart(t, 7, kind, elem);
  // Sums accumulate one element at a time, as PyTorch's kernel (bf16 and f16 rounded after each).
  StringRef sum = isReducedFloat(elem) ? "add_sequential" : "add";
  StringRef scatterKind = kind == "sum" || kind == "mean" ? sum : kind == "prod" ? "mul" : StringRef(kind);
  Value acc = segmentCombine(e, s, data, scatterKind, start);
  if (kind == "mean") {
    Value length = alongData(e, s.length, shapeOf(acc), s.axis);
    Value empty = t.isNone(7) ? e.scalar(elem, NAN) : start;
    acc = e.select(e.compare(length, e.indexScalar(0), "GT"), e.div(acc, e.cast(length, elem)), empty);
  }
  return {e.conform(acc, t.resultType())};
}

/// _segment_reduce_backward(grad, output, data, reduce, lengths?, offsets?, axis, initial?): each
/// position's share of its segment's gradient, as PyTorch's kernel gives it: all of it for sum,
/// 1/length for mean, split evenly among the elements equal to the result for max and min; for
/// prod the product of the other elements (and `initial`), output / x where x is neither 0 nor
/// NaN. Positions outside every segment get 0.
Values segmentReduceBackward(TorchOp &t) {
  Emitter &e = t.e;
  Value grad = t.tensor(0), output = t.tensor(1), data = t.tensor(2);
  std::string kind = segmentKind(t, 3);
  Type elem = elemOf(data);
  if (!isFloatType(elem)) unsupported("segment_reduce of a tensor that is not floating point");
  Segments s = segmentsOf(t, data, 4, 5, 6);
  RankedTensorType result = t.resultType();
  if (s.count == 0) return {e.zeros(result)};
  Value zero = e.scalar(elem, 0), one = e.scalar(elem, 1);
  Value inside = alongData(e, e.compare(s.id, e.indexScalar(s.count), "LT"), shapeOf(data), s.axis);
  Value g = segmentValue(e, s, grad);
  auto count = [&](Value flags) {  // per position: how many elements of its segment are flagged
    return segmentValue(e, s, segmentCombine(e, s, e.cast(flags, elem), "add", zero));
  };
  if (kind == "mean") {
    g = e.div(g, e.cast(segmentValue(e, s, alongData(e, s.length, shapeOf(grad), s.axis)), elem));
  } else if (kind == "max" || kind == "min") {
    Value hit = e.compare(data, segmentValue(e, s, output), "EQ");
    g = e.select(hit, e.div(g, count(hit)), zero);
  } else if (kind == "prod") {
    Value isZero = e.compare(data, zero, "EQ"), isNan = e.unary("isnan", data);
    Value special = e.logicalOr(isZero, isNan);
    Value regular = segmentValue(e, s, segmentCombine(e, s, e.select(special, one, data), "mul",
                                                      segmentStart(t, 7, "prod", elem)));
    // The other elements of a special element's segment: NaN if one is NaN, else 0 if one is 0.
    Value otherZeros = e.sub(count(isZero), e.cast(isZero, elem));
    Value otherNans = e.sub(count(isNan), e.cast(isNan, elem));
    Value others = e.select(e.compare(otherNans, zero, "GT"), e.scalar(elem, NAN),
                            e.select(e.compare(otherZeros, zero, "GT"), zero, one));
    Value share = e.select(special, e.mul(regular, others), e.div(segmentValue(e, s, output), data));
    g = e.mul(g, share);
  }
  return {e.conform(e.select(inside, g, zero), result)};
}

}  // namespace

void addReductionPatterns(PatternTable &t) {
  t.add("aten.sum", simpleReduce("sum", false));
  t.add("aten.sum.dim_IntList", simpleReduce("sum", true));
  t.add("aten.mean", simpleReduce("mean", false));
  t.add("aten.mean.dim", simpleReduce("mean", true));
  t.add("aten.nansum", nansum);
  t.add({"aten.isin.Tensor_Tensor", "aten.isin.Tensor_Scalar"}, isin);
  t.add("aten.bucketize.Tensor", bucketize);
  t.add("aten.searchsorted.Tensor", searchsorted);
  t.add("aten.prod", simpleReduce("prod", false));
  t.add("aten.prod.dim_int", simpleReduce("prod", true));
  t.add("aten.amax", extremum("max"));
  t.add("aten.amin", extremum("min"));
  t.add("aten.max", fullExtremum("max"));
  t.add("aten.min", fullExtremum("min"));
  t.add("aten.max.dim", extremumWithIndex("max"));
  t.add("aten.min.dim", extremumWithIndex("min"));
  t.add("aten.argmax", argExtremum("argmax"));
  t.add("aten.argmin", argExtremum("argmin"));
  t.add("aten.all", logicalReduce("and", false));
  t.add("aten.any", logicalReduce("or", false));
  t.add({"aten.all.dim", "aten.all.dims"}, logicalReduce("and", true));
  t.add({"aten.any.dim", "aten.any.dims"}, logicalReduce("or", true));
  t.add("aten.var.correction", variance(false, false));
  t.add("aten.std.correction", variance(true, false));
  t.add("aten.var_mean.correction", variance(false, true));
  t.add("aten.std_mean.correction", variance(true, true));
  t.add("aten.logsumexp", logsumexp);
  t.add("aten.linalg_vector_norm", linalgVectorNorm);
  t.add("aten.norm.Scalar", norm(false));
  t.add("aten.norm.ScalarOpt_dim", norm(true));
  t.add("aten.count_nonzero.dim_IntList", countNonzero);
  t.add("aten.cumsum", scan("lumo.CumSum"));
  t.add("aten.cumprod", scan("lumo.CumProd"));
  t.add("aten.cummax", runningExtremum(true));
  t.add("aten.cummin", runningExtremum(false));
  t.add("aten.logcumsumexp", logcumsumexp);
  t.add("aten.topk", topk);
  t.add("aten.sort", sort(false));
  t.add("aten.sort.stable", sort(true));
  t.add("aten.kthvalue", kthvalue);
  t.add("aten.median.dim", medianDim(false));
  t.add("aten.median", median(false));
  t.add("aten.nanmedian.dim", medianDim(true));
  t.add("aten.nanmedian", median(true));
  t.add("aten.mode", mode);
  t.add("aten.aminmax", aminmax);
  t.add("aten.trace", trace);
  t.add("aten.renorm", renorm);
  t.add("aten.segment_reduce", segmentReduce);
  t.add("aten._segment_reduce_backward", segmentReduceBackward);
  t.add("aten.histc", histc);
  t.add("aten.histogram.bin_ct", histogramCount);
  t.add("aten.histogram.bins_tensor", histogramEdges);
}

}  // namespace torch_lumo
