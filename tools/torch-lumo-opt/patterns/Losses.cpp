// Losses and their gradients. Reductions follow PyTorch's codes: 0 none, 1 mean, 2 sum.
#include "TorchToLumo.h"

#include <functional>

namespace torch_lumo {
namespace {

/// The reduction code operand i holds: 0 (none), 1 (mean) or 2 (sum).
int64_t reductionCode(const TorchOp &t, unsigned i) {
  int64_t r = t.i64(i);
  if (r < 0 || r > 2)
    unsupported("reduction code " + llvm::Twine(r) + " is not 0 (none), 1 (mean) or 2 (sum)");
  return r;
}

Value reduceLoss(Emitter &e, Value loss, int64_t reduction, RankedTensorType type) {
  if (reduction == 0 || rankOf(loss) == 0) return e.conform(loss, type);
  StringRef kind = reduction == 1 ? "mean" : "sum";
  return e.conform(e.reduce(loss, dimRange(0, rankOf(loss)), false, kind), type);
}

/// The incoming gradient of a reduced loss, spread over the elements of `shape`.
Value spreadGrad(Emitter &e, Value grad, int64_t reduction, ArrayRef<int64_t> shape) {
  if (reduction == 1) grad = e.scale(grad, 1.0 / std::max<int64_t>(numElements(shape), 1));
  return reduction == 0 ? e.broadcastTo(grad, shape) : e.broadcastTo(e.reshape(grad, {}), shape);
}

/// The pieces shared by nll_loss forward and backward: the class dimension, the target with
/// ignored entries replaced by 0, the mask of kept entries, and the per-entry class weights.
struct NllParts {
  int64_t channelDim;
  Value safeTarget;  // shape of target
  Value keep;        // i1, shape of target
  Value weights;     // per entry (already masked), shape of target, element type of the input
};

NllParts nllParts(TorchOp &t, Value input, Value target, unsigned weightAt, unsigned ignoreAt) {
  Emitter &e = t.e;
  NllParts p;
  if (rankOf(input) < 1) unsupported("negative log likelihood of a 0-d input");
  p.channelDim = rankOf(input) < 2 ? 0 : 1;
  // The target has the input's shape without the class dimension.
  Shape targetShape(shapeOf(input).begin(), shapeOf(input).end());
  targetShape.erase(targetShape.begin() + p.channelDim);
  if (shapeOf(target) != ArrayRef<int64_t>(targetShape))
    unsupported("the target's shape is not the input's without its class dimension");
  if (!isIntegerType(elemOf(target))) unsupported("the target is not a tensor of class indices");
  int64_t ignore = t.i64(ignoreAt);
  Type idx = elemOf(target);
  p.keep = e.compare(target, e.scalar(idx, ignore), "NE");
  p.safeTarget = e.select(p.keep, target, e.zeros(tensorOf({}, idx)));
  Type elem = elemOf(input);
  Value kept = e.cast(p.keep, elem);
  if (!t.isNone(weightAt)) {
    Value w = t.value(weightAt, elem);
    p.weights = e.mul(e.gather(w, p.safeTarget, 0), kept);
  } else {
    p.weights = kept;
  }
  return p;
}

/// input[..., target, ...] along the class dimension.
Value pickClass(Emitter &e, Value input, Value target, int64_t channelDim) {
  int64_t rank = rankOf(input);
  if (rank == 1) {
    return e.reshape(e.gather(input, e.reshape(target, {1}), 0), {});
  }
  // Classes last, every other dimension a batch dimension of the gather.
  Value moved = e.transpose(input, moveDim(rank, channelDim, rank - 1));
  Shape idxShape(shapeOf(target).begin(), shapeOf(target).end());
  idxShape.push_back(1);
  Value picked = e.gather(moved, e.reshape(target, idxShape), rank - 1, rank - 1);
  return e.reshape(picked, shapeOf(target));
}

/// nll_loss_forward / nll_loss2d_forward(input, target, weight?, reduction, ignore_index)
/// -> (output, total_weight).
Values nllLossForward(TorchOp &t) {
  t.expectOperands(5);
  Type elem = t.resultElem();
  Value input = t.value(0, elem), target = t.tensor(1);
  Emitter &e = t.e;
  int64_t reduction = reductionCode(t, 3);
  NllParts p = nllParts(t, input, target, 2, 4);
  if (t.resultShape(0) != (reduction == 0 ? shapeOf(target) : ArrayRef<int64_t>()) ||
      t.resultType(1).getRank() != 0)
    unsupported("the result's shape does not match the reduction");
  Value loss = e.mul(e.unary("neg", pickClass(e, input, p.safeTarget, p.channelDim)), p.weights);
  if (reduction == 0)
    return {e.conform(loss, t.resultType(0)), e.zeros(t.resultType(1))};
  Shape dims = dimRange(0, rankOf(loss));
  Value total = rankOf(loss) ? e.reduce(p.weights, dims, false, "sum") : p.weights;
  Value sum = rankOf(loss) ? e.reduce(loss, dims, false, "sum") : loss;
  Value out = reduction == 1 ? e.div(sum, total) : sum;
  return {e.conform(out, t.resultType(0)), e.conform(total, t.resultType(1))};
}

/// nll_loss_backward / nll_loss2d_backward(grad, input, target, weight?, reduction, ignore_index,
/// total_weight): -grad * weight at the target class, zero elsewhere.
Values nllLossBackward(TorchOp &t) {
  t.expectOperands(7);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value grad = t.value(0, elem), input = t.value(1, elem), target = t.tensor(2);
  int64_t reduction = reductionCode(t, 4);
  NllParts p = nllParts(t, input, target, 3, 5);
  if (t.resultShape() != shapeOf(input))
    unsupported("the result's shape differs from the input's");
  if (reduction == 0 ? shapeOf(grad) != shapeOf(target) : numElements(shapeOf(grad)) != 1)
    unsupported("the incoming gradient's shape does not match the reduction");
  if (reduction == 1) grad = e.div(grad, t.value(6, elem));
  Value scale = e.mul(reduction == 0 ? grad : e.reshape(grad, {}), p.weights);  // shape of target
  int64_t classes = shapeOf(input)[p.channelDim];
  Value onehot = e.op("lumo.OneHot",
                      {p.safeTarget, e.indexScalar(classes), e.scalar(elem, -1), e.scalar(elem, 0),
                       e.indexScalar(p.channelDim)},
                      t.resultType());
  Shape scaleShape(shapeOf(scale).begin(), shapeOf(scale).end());
  if (rankOf(input) >= 1) scaleShape.insert(scaleShape.begin() + p.channelDim, 1);
  return {e.mul(onehot, e.reshape(scale, scaleShape))};
}

/// An elementwise function of (input, target), or of its derivative by the input.
using LossFn = std::function<Value(TorchOp &, Value x, Value y)>;

/// loss(input, target, ...): `fn` times the optional weight operand `weightAt` (0: none), reduced
/// by the code operand `reductionAt`.
PatternFn pointwiseLoss(unsigned reductionAt, LossFn fn, unsigned weightAt = 0) {
  return [=](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    int64_t reduction = reductionCode(t, reductionAt);
    // The loss of every element, or their mean or sum, in the input's element type.
    Shape shape = broadcastShapes(t.tensorType(0).getShape(), t.tensorType(1).getShape());
    if (elem != t.tensorType(0).getElementType())
      unsupported("the result's element type differs from the input's");
    if (t.resultShape() != (reduction == 0 ? ArrayRef<int64_t>(shape) : ArrayRef<int64_t>()))
      unsupported("the result's shape does not match the reduction");
    Value loss = fn(t, t.value(0, elem), t.value(1, elem));
    if (weightAt && !t.isNone(weightAt)) loss = t.e.mul(loss, t.value(weightAt, elem));
    return {reduceLoss(t.e, loss, reduction, t.resultType())};
  };
}

/// loss_backward(grad, input, target, ...): `derivative` times the incoming gradient spread over
/// the elements, times the optional weight operand `weightAt` (0: none).
PatternFn pointwiseLossBackward(unsigned reductionAt, LossFn derivative, unsigned weightAt = 0) {
  return [=](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    int64_t reduction = reductionCode(t, reductionAt);
    // The gradient has the input's type.
    if (t.resultType() != t.tensorType(1)) unsupported("the result's type differs from the input's");
    if (reduction != 0 && numElements(t.tensorType(0).getShape()) != 1)
      unsupported("the incoming gradient of a reduced loss is not one number");
    Value g = spreadGrad(t.e, t.value(0, elem), reduction, t.resultShape());
    Value d = t.e.mul(derivative(t, t.value(1, elem), t.value(2, elem)), g);
    if (weightAt && !t.isNone(weightAt)) d = t.e.mul(d, t.value(weightAt, elem));
    return {d};
  };
}

Value squaredError(TorchOp &t, Value x, Value y) {
  Value d = t.e.sub(x, y);
  return t.e.mul(d, d);
}

Value squaredErrorGrad(TorchOp &t, Value x, Value y) { return t.e.scale(t.e.sub(x, y), 2.0); }

/// The elementwise l1 family of d = x - y, or its derivative by x: smooth_l1 (beta) and huber
/// (delta), beta operand `betaAt`.
LossFn smoothL1(bool huber, unsigned betaAt, bool derivative) {
  return [=](TorchOp &t, Value x, Value y) {
    Emitter &e = t.e;
    Value d = e.sub(x, y), a = e.unaryOp("lumo.Abs", d);
    double beta = t.size() > betaAt ? t.f64(betaAt) : 1.0;
    Value sign = derivative ? e.unaryOp("lumo.Sign", d) : Value();
    if (beta == 0) return derivative ? sign : a;
    Value small = e.compare(a, e.scalar(elemOf(d), beta), "LT");
    if (derivative)
      return e.select(small, huber ? d : e.scale(d, 1.0 / beta), huber ? e.scale(sign, beta) : sign);
    Value quad = e.scale(e.mul(d, d), huber ? 0.5 : 0.5 / beta);
    Value lin = huber ? e.scale(e.addScalar(a, -0.5 * beta), beta) : e.addScalar(a, -0.5 * beta);
    return e.select(small, quad, lin);
  };
}

/// binary_cross_entropy(x, y, weight?, reduction): logs clamped at -100 as PyTorch does.
Value bce(TorchOp &t, Value x, Value y) {
  Emitter &e = t.e;
  Type elem = elemOf(x);
  auto clampedLog = [&](Value v) {
    return e.binary("maximum", e.unaryOp("lumo.Log", v), e.scalar(elem, -100));
  };
  Value one = e.scalar(elem, 1);
  return e.unary("neg", e.add(e.mul(y, clampedLog(x)),
                              e.mul(e.sub(one, y), clampedLog(e.sub(one, x)))));
}

Value bceGrad(TorchOp &t, Value x, Value y) {
  Emitter &e = t.e;
  Type elem = elemOf(x);
  Value denom = e.binary("maximum", e.mul(e.sub(e.scalar(elem, 1), x), x), e.scalar(elem, 1e-12));
  return e.div(e.sub(x, y), denom);
}

/// binary_cross_entropy_with_logits(x, y, weight?, pos_weight?, reduction).
Value bceWithLogits(TorchOp &t, Value x, Value y) {
  Emitter &e = t.e;
  Type elem = elemOf(x);
  Value one = e.scalar(elem, 1);
  // log(1 + exp(-x)) computed stably: log1p(exp(-|x|)) + max(-x, 0)
  Value softplusNeg = e.add(e.unary("log1p", e.unaryOp("lumo.Exp", e.unary("neg", e.unaryOp("lumo.Abs", x)))),
                            e.binary("maximum", e.unary("neg", x), e.scalar(elem, 0)));
  if (t.isNone(3)) return e.add(e.mul(e.sub(one, y), x), softplusNeg);
  Value coef = e.add(one, e.mul(e.sub(t.value(3, elem), one), y));
  return e.add(e.mul(e.sub(one, y), x), e.mul(coef, softplusNeg));
}

/// soft_margin_loss(x, y, reduction) = log(1 + exp(-y x)).
Value softMargin(TorchOp &t, Value x, Value y) {
  Emitter &e = t.e;
  return softplusOf(e, e.unary("neg", e.mul(x, y)));
}

Value softMarginGrad(TorchOp &t, Value x, Value y) {
  Emitter &e = t.e;
  Value z = e.unary("neg", e.mul(x, y));
  return e.mul(e.unary("neg", y), e.unaryOp("lumo.Sigmoid", z));
}

}  // namespace

void addLossPatterns(PatternTable &t) {
  t.add({"aten.nll_loss_forward", "aten.nll_loss2d_forward"}, nllLossForward);
  t.add({"aten.nll_loss_backward", "aten.nll_loss2d_backward"}, nllLossBackward);
  t.add("aten.mse_loss", pointwiseLoss(2, squaredError));
  t.add("aten.mse_loss_backward", pointwiseLossBackward(3, squaredErrorGrad));
  t.add("aten.smooth_l1_loss", pointwiseLoss(2, smoothL1(false, 3, false)));
  t.add("aten.smooth_l1_loss_backward", pointwiseLossBackward(3, smoothL1(false, 4, true)));
  t.add("aten.huber_loss", pointwiseLoss(2, smoothL1(true, 3, false)));
  t.add("aten.huber_loss_backward", pointwiseLossBackward(3, smoothL1(true, 4, true)));
  t.add("aten.binary_cross_entropy", pointwiseLoss(3, bce, 2));
  t.add("aten.binary_cross_entropy_backward", pointwiseLossBackward(4, bceGrad, 3));
  t.add("aten.binary_cross_entropy_with_logits", pointwiseLoss(4, bceWithLogits, 2));
  t.add("aten.soft_margin_loss", pointwiseLoss(2, softMargin));
  t.add("aten.soft_margin_loss_backward", pointwiseLossBackward(3, softMarginGrad));
}

}  // namespace torch_lumo
