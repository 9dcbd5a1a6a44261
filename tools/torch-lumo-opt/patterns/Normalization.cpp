// Layer, batch and group normalisation with their gradients, softmax and log-softmax. The fused
// forms become single lumo operations; statistics results that only the matching gradient reads
// are not produced (the gradient operations recompute them from the input).
#include "TorchToLumo.h"

namespace torch_lumo {
namespace {

/// Whether every user of result i is an operation of `kind`.
bool onlyUsedBy(TorchOp &t, unsigned i, StringRef kind) {
  for (Operation *user : t.op->getResult(i).getUsers())
    if (torchKind(user) != kind) return false;
  return true;
}

/// Mean and 1/sqrt(biased variance + eps) of x over dims, kept.
std::pair<Value, Value> moments(Emitter &e, Value x, ArrayRef<int64_t> dims, double eps) {
  Value mean = e.reduce(x, dims, true, "mean");
  Value d = e.sub(x, mean);
  Value var = e.reduce(e.mul(d, d), dims, true, "mean");
  return {mean, e.unary("rsqrt", e.addScalar(var, eps))};
}

/// Mean and rstd results of a forward normalisation when something other than its gradient (which
/// recomputes them) reads them: the moments of `x` over `dims`; null otherwise.
std::pair<Value, Value> savedStatistics(TorchOp &t, StringRef gradient, Value x,
                                        ArrayRef<int64_t> dims, double eps) {
  if (onlyUsedBy(t, 1, gradient) && onlyUsedBy(t, 2, gradient)) return {};
  auto [mean, rstd] = moments(t.e, x, dims, eps);
  return {t.e.conform(mean, t.resultType(1)), t.e.conform(rstd, t.resultType(2))};
}

/// The gradients of a backward normalisation as its results: those that its output mask leaves out
/// and nothing reads are not produced.
Values maskedGradients(TorchOp &t, unsigned maskAt, Values grads) {
  auto mask = t.flags(maskAt);
  for (unsigned i = 0; i < grads.size(); ++i)
    grads[i] = mask.size() > i && !mask[i] && !t.resultUsed(i)
                   ? Value()
                   : t.e.conform(grads[i], t.resultType(i));
  return grads;
}

/// Operand i (a weight, bias or statistic) shaped `shape`, or a constant of `shape` when it is None.
Value affineOr(TorchOp &t, unsigned i, ArrayRef<int64_t> shape, Type elem, double fill) {
  if (t.size() > i && !t.isNone(i)) return t.e.reshape(t.value(i, elem), shape);
  return t.e.splat(tensorOf(shape, elem), fill);
}

// ------------------------------------------------------------------ layer norm

/// native_layer_norm(input, normalized_shape, weight?, bias?, eps) -> (out, mean, rstd).
Values layerNorm(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Shape normalized = t.ints(1);
  double eps = t.f64(4);
  int64_t rank = rankOf(x), axis = rank - normalized.size();
  if (axis < 0) unsupported("normalized shape longer than the input's");
  Value gamma = affineOr(t, 2, normalized, elem, 1.0);
  Value beta = affineOr(t, 3, normalized, elem, 0.0);
  Value out = e.op("lumo.LayerNorm", {x, beta, gamma}, x.getType(), {e.f64("epsilon", eps)});
  auto [mean, rstd] =
      savedStatistics(t, "aten.native_layer_norm_backward", x, dimRange(axis, rank), eps);
  return {out, mean, rstd};
}

/// native_layer_norm_backward(grad, input, normalized_shape, mean, rstd, weight?, bias?, mask).
Values layerNormBackward(TorchOp &t) {
  t.expectOperands(8);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Shape normalized = t.ints(2);
  int64_t rank = rankOf(x), axis = rank - normalized.size();
  if (axis < 0) unsupported("normalized shape longer than the input's");
  Shape outer = dimRange(0, axis), inner = dimRange(axis, rank);
  Value gamma = affineOr(t, 5, normalized, elem, 1.0);
  Value beta = affineOr(t, 6, normalized, elem, 0.0);

  // The epsilon of the forward operation that produced mean and rstd.
  Operation *forward = t.producer(3);
  if (forward && torchKind(forward) == "aten.native_layer_norm" && forward->getNumOperands() == 5) {
    TorchOp fwd(forward, e, t.state, "aten.native_layer_norm");
    Operation *grads =
        e.create("lumo.LayerNormGrad", {grad, x, beta, gamma},
                 {x.getType(), typeOf(beta), typeOf(gamma)}, {e.f64("epsilon", fwd.f64(4))});
    return maskedGradients(t, 7, {grads->getResult(0), grads->getResult(2), grads->getResult(1)});
  }

  // From the saved statistics.
  Value mean = e.cast(t.tensor(3), elem), rstd = e.cast(t.tensor(4), elem);
  Value xhat = e.mul(e.sub(x, mean), rstd);
  Value gx = e.mul(grad, gamma);
  int64_t n = numElements(normalized);
  Value s1 = e.reduce(gx, inner, true, "sum");
  Value s2 = e.reduce(e.mul(gx, xhat), inner, true, "sum");
  Value dx = e.mul(e.scale(rstd, 1.0 / n),
                   e.sub(e.sub(e.scale(gx, n), s1), e.mul(xhat, s2)));
  Value dw = e.reshape(e.reduce(e.mul(grad, xhat), outer, false, "sum"), normalized);
  Value db = e.reshape(e.reduce(grad, outer, false, "sum"), normalized);
  return maskedGradients(t, 7, {dx, dw, db});
}

// ------------------------------------------------------------------ batch norm

struct BatchNormArgs {
  Value x, scale, offset, mean, var;
  bool training;
  double momentum, eps;
};

/// The forward operation: y, the new running mean and the new running variance (unbiased batch
/// statistics mixed in with factor `momentum`).
Operation *fusedBatchNorm(Emitter &e, const BatchNormArgs &a) {
  return e.create("lumo.FusedBatchNorm", {a.x, a.scale, a.offset, a.mean, a.var},
                  {a.x.getType(), a.mean.getType(), a.var.getType()},
                  {e.f64("epsilon", a.eps), e.f64("exponential_avg_factor", a.momentum),
                   e.flag("is_training", a.training)});
}

/// native_batch_norm(input, weight?, bias?, running_mean?, running_var?, training, momentum, eps)
/// and _native_batch_norm_legit(...) -> (out, save_mean, save_invstd); the functional form also
/// returns the updated running statistics; the no_stats form has none; the no_training form has
/// no training flag.
PatternFn batchNorm(bool hasStats, bool functional, bool noTraining = false) {
  return [=](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Emitter &e = t.e;
    Value x = t.value(0, elem);
    if (rankOf(x) < 2) unsupported("batch norm of an input below rank 2");
    int64_t channels = shapeOf(x)[1];
    auto stat = [&](unsigned i, double fill) {
      return hasStats ? affineOr(t, i, {channels}, elem, fill)
                      : e.splat(tensorOf({channels}, elem), fill);
    };
    unsigned at = hasStats ? 5 : 3;
    BatchNormArgs a;
    a.x = x;
    a.scale = affineOr(t, 1, {channels}, elem, 1.0);
    a.offset = affineOr(t, 2, {channels}, elem, 0.0);
    a.mean = stat(3, 0.0);
    a.var = stat(4, 1.0);
    a.training = !noTraining && t.flag(at++);
    a.momentum = t.f64(at);
    a.eps = t.f64(at + 1);
    Values out(t.op->getNumResults());
    if (!a.training) {
      out[0] = fusedBatchNorm(e, a)->getResult(0);
      for (unsigned i = 1; i < out.size(); ++i)
        if (t.resultUsed(i)) out[i] = i >= 3 ? (i == 3 ? a.mean : a.var) : e.zeros(t.resultType(i));
      return out;
    }
    // With factor 1 the statistics outputs are the batch mean and the unbiased batch variance;
    // the functional form returns the running statistics mixed with the momentum instead.
    BatchNormArgs batch = a;
    batch.momentum = 1.0;
    Operation *fused = fusedBatchNorm(e, functional ? a : batch);
    out[0] = fused->getResult(0);
    if (functional) {
      out[3] = e.conform(fused->getResult(1), t.resultType(3));
      out[4] = e.conform(fused->getResult(2), t.resultType(4));
    }
    bool invstdNeeded = !onlyUsedBy(t, 2, "aten.native_batch_norm_backward");
    if (t.resultUsed(1) || invstdNeeded) {
      Operation *stats = functional ? fusedBatchNorm(e, batch) : fused;
      if (t.resultUsed(1)) out[1] = e.conform(stats->getResult(1), t.resultType(1));
      if (invstdNeeded) {
        int64_t n = numElements(shapeOf(x)) / std::max<int64_t>(channels, 1);
        Value biased = e.scale(stats->getResult(2), n > 1 ? (n - 1.0) / n : 1.0);
        out[2] = e.conform(e.unary("rsqrt", e.addScalar(biased, a.eps)), t.resultType(2));
      }
    }
    return out;
  };
}

/// native_batch_norm_backward(grad, input, weight?, running_mean?, running_var?, save_mean?,
/// save_invstd?, train, eps, output_mask).
Values batchNormBackward(TorchOp &t) {
  t.expectOperands(10);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value grad = t.value(0, elem), x = t.value(1, elem);
  if (rankOf(x) < 2) unsupported("batch norm of an input below rank 2");
  int64_t channels = shapeOf(x)[1];
  Value scale = affineOr(t, 2, {channels}, elem, 1.0);
  bool train = t.flag(7);
  double eps = t.f64(8);
  Values out(3);
  if (train) {
    Operation *grads = e.create("lumo.FusedBatchNormGrad", {grad, x, scale},
                                {x.getType(), scale.getType(), scale.getType()},
                                {e.f64("epsilon", eps), e.flag("is_training", true)});
    for (unsigned i = 0; i < 3; ++i) out[i] = grads->getResult(i);
  } else {
    // Inference statistics: a per-channel affine map.
    Shape channelShape(rankOf(x), 1);
    channelShape[1] = channels;
    Value mean = e.reshape(affineOr(t, 3, {channels}, elem, 0.0), channelShape);
    Value var = e.reshape(affineOr(t, 4, {channels}, elem, 1.0), channelShape);
    Value invstd = e.unary("rsqrt", e.addScalar(var, eps));
    Shape dims;
    for (int64_t i = 0; i < rankOf(x); ++i)
      if (i != 1) dims.push_back(i);
    out[0] = e.mul(grad, e.mul(e.reshape(scale, channelShape), invstd));
    out[1] = e.reduce(e.mul(grad, e.mul(e.sub(x, mean), invstd)), dims, false, "sum");
    out[2] = e.reduce(grad, dims, false, "sum");
  }
  return maskedGradients(t, 9, out);
}

// ------------------------------------------------------------------ group norm

/// native_group_norm(input, weight?, bias?, N, C, HxW, group, eps) -> (out, mean, rstd).
Values groupNorm(TorchOp &t) {
  t.expectOperands(8);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value x = t.value(0, elem);
  if (rankOf(x) < 2) unsupported("group norm of an input below rank 2");
  int64_t channels = t.i64(4), groups = t.i64(6);
  if (groups < 1) unsupported("group norm with no groups");
  double eps = t.f64(7);
  Value gamma = affineOr(t, 1, {channels}, elem, 1.0);
  Value beta = affineOr(t, 2, {channels}, elem, 0.0);
  Value out = e.op("lumo.GroupNorm", {x, gamma, beta}, x.getType(),
                   {e.f64("epsilon", eps), e.i64("num_groups", groups)});
  int64_t n = shapeOf(x)[0];
  Value grouped = e.reshape(x, {n, groups, numElements(shapeOf(x)) / std::max<int64_t>(n * groups, 1)});
  auto [mean, rstd] = savedStatistics(t, "aten.native_group_norm_backward", grouped, {2}, eps);
  return {out, mean, rstd};
}

/// native_group_norm_backward(grad, input, mean, rstd, weight?, N, C, HxW, group, output_mask).
Values groupNormBackward(TorchOp &t) {
  t.expectOperands(10);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value grad = t.value(0, elem), x = t.value(1, elem);
  int64_t channels = t.i64(6), groups = t.i64(8);
  Value gamma = affineOr(t, 4, {channels}, elem, 1.0);
  Operation *forward = t.producer(2);
  if (!forward || torchKind(forward) != "aten.native_group_norm" || forward->getNumOperands() != 8)
    unsupported("the statistics do not come from native_group_norm");
  TorchOp fwd(forward, e, t.state, "aten.native_group_norm");
  Operation *grads = e.create("lumo.GroupNormGrad", {grad, x, gamma},
                              {x.getType(), gamma.getType(), gamma.getType()},
                              {e.f64("epsilon", fwd.f64(7)), e.i64("num_groups", groups)});
  return maskedGradients(t, 9, Values(grads->result_begin(), grads->result_end()));
}

// ------------------------------------------------------------------ softmax

/// _softmax(x, dim, half_to_float), softmax.int(x, dim, dtype?).
Values softmax(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  if (rankOf(x) == 0) return {t.e.splat(t.resultType(), 1.0)};
  int64_t dim = normDim(t.i64(1), rankOf(x));
  return {t.e.op("lumo.Softmax", x, x.getType(), {t.e.i64("axis", dim)})};
}

Value logSoftmaxOf(Emitter &e, Value x, int64_t dim) {
  Value m = e.reduce(x, {dim}, true, "max");
  Value shifted = e.sub(x, m);
  Value lse = e.unaryOp("lumo.Log", e.reduce(e.unaryOp("lumo.Exp", shifted), {dim}, true, "sum"));
  return e.sub(shifted, lse);
}

/// _log_softmax(x, dim, half_to_float), log_softmax.int(x, dim, dtype?).
Values logSoftmax(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  if (rankOf(x) == 0) return {t.e.zeros(t.resultType())};
  return {logSoftmaxOf(t.e, x, normDim(t.i64(1), rankOf(x)))};
}

/// _softmax_backward_data(grad, output, dim, input_dtype) = y * (g - sum(g * y)).
Values softmaxBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value g = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  if (rankOf(y) == 0) return {e.zeros(t.resultType())};
  int64_t dim = normDim(t.i64(2), rankOf(y));
  Value s = e.reduce(e.mul(g, y), {dim}, true, "sum");
  return {e.conform(e.mul(y, e.sub(g, s)), t.resultType())};
}

/// _log_softmax_backward_data(grad, output, dim, input_dtype) = g - exp(y) * sum(g).
Values logSoftmaxBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value g = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  if (rankOf(y) == 0) return {e.zeros(t.resultType())};
  int64_t dim = normDim(t.i64(2), rankOf(y));
  Value s = e.reduce(g, {dim}, true, "sum");
  return {e.conform(e.sub(g, e.mul(e.unaryOp("lumo.Exp", y), s)), t.resultType())};
}

}  // namespace

void addNormalizationPatterns(PatternTable &t) {
  t.add("aten.native_layer_norm", layerNorm);
  t.add("aten.native_layer_norm_backward", layerNormBackward);
  t.add("aten.native_batch_norm", batchNorm(true, false));
  t.add("aten._native_batch_norm_legit", batchNorm(true, false));
  t.add("aten._native_batch_norm_legit_no_training", batchNorm(true, false, true));
  t.add("aten._native_batch_norm_legit_functional", batchNorm(true, true));
  t.add("aten._native_batch_norm_legit.no_stats", batchNorm(false, false));
  t.add("aten.native_batch_norm_backward", batchNormBackward);
  t.add("aten.native_group_norm", groupNorm);
  t.add("aten.native_group_norm_backward", groupNormBackward);
  t.add({"aten._softmax", "aten.softmax.int"}, softmax);
  t.add({"aten._log_softmax", "aten.log_softmax.int"}, logSoftmax);
  t.add("aten._softmax_backward_data", softmaxBackward);
  t.add("aten._log_softmax_backward_data", logSoftmaxBackward);
}

}  // namespace torch_lumo
