// Elementwise arithmetic, comparisons, selection, activations and their gradients.
#include "TorchToLumo.h"

#include <cmath>
#include <limits>

namespace torch_lumo {
namespace {

/// Whether one of the first `n` operands is a scalar (a number or a 0-d tensor) that the
/// reduced-precision result type cannot hold as PyTorch computes with it (in f32): then the
/// operation computes in f32 (inOpmath).
bool inexactScalar(TorchOp &t, unsigned n) {
  Type elem = t.resultElem();
  for (unsigned i = 0; i < n && i < t.size(); ++i) {
    auto type = t.operand(i).getType().dyn_cast<RankedTensorType>();
    if (type && type.getRank() > 0) continue;
    if (auto v = t.number(i)) {
      if (roundsAwayFromOpmath(*v, elem)) return true;
    } else if (type && type.getElementType() != elem && isFloatType(type.getElementType())) {
      return true;  // a computed 0-d tensor of a wider type
    }
  }
  return false;
}

std::function<bool(TorchOp &)> inexactScalars(unsigned n) {
  return [n](TorchOp &t) { return inexactScalar(t, n); };
}

/// The one tensor operand cast to the result's element type, then `fn`.
template <typename Fn>
PatternFn unaryWith(Fn fn) {
  return [fn](TorchOp &t) -> Values {
    Value x = t.value(0, t.resultElem());
    return {t.e.conform(fn(t.e, x), t.resultType())};
  };
}

PatternFn lumoUnary(StringRef name) {
  std::string n = name.str();
  return unaryWith([n](Emitter &e, Value x) { return e.unaryOp(n, x); });
}

PatternFn kindUnary(StringRef kind) {
  std::string k = kind.str();
  return unaryWith([k](Emitter &e, Value x) { return e.unary(k, x); });
}

/// x op alpha*y, or with `reversed` y op alpha*x (rsub(x, y, alpha) = y - alpha*x), in the
/// result's element type.
PatternFn arithmetic(StringRef name, bool hasAlpha, bool reversed = false) {
  std::string n = name.str();
  return [n, hasAlpha, reversed](TorchOp &t) -> Values {
    t.expectOperands(hasAlpha ? 3 : 2);
    Type elem = t.resultElem();
    Value x = t.value(0, elem), y = t.value(1, elem);
    if (reversed) std::swap(x, y);
    if (hasAlpha && !t.isNone(2)) {
      auto alpha = t.number(2);
      if (!alpha || *alpha != 1) y = t.e.mul(y, t.scalar(2, elem));
    }
    return {t.e.conform(t.e.binaryOp(n, x, y), t.resultType())};
  };
}

PatternFn kindBinary(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    return {t.e.conform(t.e.binary(k, t.value(0, elem), t.value(1, elem)), t.resultType())};
  };
}

PatternFn comparison(StringRef direction) {
  std::string d = direction.str();
  return [d](TorchOp &t) -> Values {
    t.expectOperands(2);
    Type elem = t.promoted({0, 1});
    return {t.e.conform(t.e.compare(t.value(0, elem), t.value(1, elem), d), t.resultType())};
  };
}

Value asBool(Emitter &e, Value x) {
  if (isBoolType(elemOf(x))) return x;
  return e.compare(x, e.scalar(elemOf(x), 0), "NE");
}

/// x and/or/xor y.
Value combine(Emitter &e, StringRef which, Value x, Value y) {
  return which == "and" ? e.logicalAnd(x, y) : which == "or" ? e.logicalOr(x, y)
                                                             : e.binary("xor", x, y);
}

PatternFn logical(StringRef which) {
  std::string w = which.str();
  return [w](TorchOp &t) -> Values {
    Value x = asBool(t.e, t.tensor(0)), y = asBool(t.e, t.tensor(1));
    return {t.e.conform(combine(t.e, w, x, y), t.resultType())};
  };
}

PatternFn bitwise(StringRef which) {
  std::string w = which.str();
  return [w](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value x = t.value(0, elem), y = t.value(1, elem);
    return {t.e.conform(combine(t.e, w, x, y), t.resultType())};
  };
}

Values divMode(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Value x = t.value(0, elem), y = t.value(1, elem);
  std::string mode = t.isNone(2) ? "" : t.str(2);
  Value r;
  if (mode.empty()) r = t.e.div(x, y);
  else if (mode == "trunc") r = isFloatType(elem) ? t.e.unary("trunc", t.e.div(x, y)) : t.e.div(x, y);
  else if (mode == "floor") r = t.e.binary("floor_divide", x, y);
  else unsupported("unknown rounding mode '" + mode + "'");
  return {t.e.conform(r, t.resultType())};
}

Values power(TorchOp &t) {
  t.expectOperands(2);
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  if (auto p = t.number(1)) {
    if (*p == 1) return {t.e.conform(x, t.resultType())};
    if (*p == 2) return {t.e.conform(t.e.mul(x, x), t.resultType())};
    if (*p == 0.5 && isFloatType(elem)) return {t.e.conform(t.e.unaryOp("lumo.Sqrt", x), t.resultType())};
  }
  return {t.e.conform(t.e.binaryOp("lumo.Pow", x, t.value(1, elem)), t.resultType())};
}

Values where(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Value cond = asBool(t.e, t.value(0, t.tensorType(0).getElementType()));
  return {t.e.conform(t.e.select(cond, t.value(1, elem), t.value(2, elem)), t.resultType())};
}

Values maskedFill(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Value mask = asBool(t.e, t.tensor(1));
  return {t.e.conform(t.e.select(mask, t.value(2, elem), t.value(0, elem)), t.resultType())};
}

Values lerp(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Value start = t.value(0, elem), end = t.value(1, elem), w = t.value(2, elem);
  Emitter &e = t.e;
  return {e.conform(e.add(start, e.mul(w, e.sub(end, start))), t.resultType())};
}

PatternFn addcOp(StringRef name) {
  std::string n = name.str();
  return [n](TorchOp &t) -> Values {
    t.expectOperands(4);
    Type elem = t.resultElem();
    Emitter &e = t.e;
    Value prod = e.binaryOp(n, t.value(1, elem), t.value(2, elem));
    auto v = t.number(3);
    if (!v || *v != 1) prod = e.mul(prod, t.scalar(3, elem));
    return {e.conform(e.add(t.value(0, elem), prod), t.resultType())};
  };
}

/// min(max(x, lo), hi) with either bound optional.
Values clamp(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value x = t.value(0, elem);
  bool hasMin = !t.isNone(1), hasMax = !t.isNone(2);
  Value r = x;
  if (hasMin && hasMax) r = e.op("lumo.Clamp", {x, t.value(1, elem), t.value(2, elem)}, x.getType());
  else if (hasMin) r = e.binary("maximum", x, t.value(1, elem));
  else if (hasMax) r = e.binary("minimum", x, t.value(2, elem));
  return {e.conform(r, t.resultType())};
}

Values hardtanh(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  return {t.e.conform(t.e.op("lumo.Clamp", {x, t.scalar(1, elem), t.scalar(2, elem)}, x.getType()),
                      t.resultType())};
}

Values relu6(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  return {t.e.op("lumo.Clamp", {x, t.e.scalar(elem, 0), t.e.scalar(elem, 6)}, x.getType())};
}

Value sigmoid(Emitter &e, Value x) { return e.unaryOp("lumo.Sigmoid", x); }

Values elu(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  double alpha = t.size() > 1 ? t.f64(1) : 1.0;
  double scale = t.size() > 2 ? t.f64(2) : 1.0;
  double inputScale = t.size() > 3 ? t.f64(3) : 1.0;
  Emitter &e = t.e;
  if (scale == 1 && inputScale == 1)
    return {e.op("lumo.Elu", x, x.getType(), {e.f64("alpha", alpha)})};
  Value neg = e.scale(e.addScalar(e.unaryOp("lumo.Exp", e.scale(x, inputScale)), -1), alpha);
  Value r = e.select(e.compare(x, e.scalar(elem, 0), "GT"), x, neg);
  return {e.scale(r, scale)};
}

Values leakyRelu(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  return {t.e.op("lumo.LeakyRelu", x, x.getType(), {t.e.f64("alpha", t.f64(1))})};
}

Values gelu(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  std::string approx = t.size() > 1 ? t.str(1) : "none";
  return {t.e.op("lumo.Gelu", x, x.getType(), {t.e.str("approximation", approx)})};
}

Values softplus(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  return {t.e.op("lumo.Softplus", x, x.getType(),
                 {t.e.f64("beta", t.f64(1)), t.e.f64("threshold", t.f64(2))})};
}

Values mish(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  return {t.e.mul(x, t.e.unaryOp("lumo.Tanh", softplusOf(t.e, x)))};
}

Values hardswish(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  return {t.e.mul(x, t.e.unaryOp("lumo.HardSigmoid", x))};
}

Values celu(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  double alpha = t.size() > 1 ? t.f64(1) : 1.0;
  Emitter &e = t.e;
  Value zero = e.scalar(elem, 0);
  Value neg = e.scale(e.addScalar(e.unaryOp("lumo.Exp", e.scale(x, 1 / alpha)), -1), alpha);
  return {e.add(e.binary("maximum", x, zero), e.binary("minimum", neg, zero))};
}

Values selu(TorchOp &t) {
  const double alpha = 1.6732632423543772848170429916717;
  const double scale = 1.0507009873554804934193349852946;
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Value neg = e.scale(e.addScalar(e.unaryOp("lumo.Exp", x), -1), alpha);
  return {e.scale(e.select(e.compare(x, e.scalar(elem, 0), "GT"), x, neg), scale)};
}

Values threshold(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  return {e.select(e.compare(x, t.scalar(1, elem), "GT"), x, t.scalar(2, elem))};
}

Values hardshrink(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  double l = t.size() > 1 ? t.f64(1) : 0.5;
  Value keep = e.compare(e.unaryOp("lumo.Abs", x), e.scalar(elem, l), "GT");
  return {e.select(keep, x, e.scalar(elem, 0))};
}

Values softshrink(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  double l = t.size() > 1 ? t.f64(1) : 0.5;
  Value lowered = e.select(e.compare(x, e.scalar(elem, -l), "LT"), e.addScalar(x, l),
                           e.scalar(elem, 0));
  return {e.select(e.compare(x, e.scalar(elem, l), "GT"), e.addScalar(x, -l), lowered)};
}

/// log(sigmoid(x)) = min(x, 0) - log1p(exp(-|x|)); the buffer result is not needed by the
/// gradient below.
Values logSigmoidForward(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Value tail = e.unary("log1p", e.unaryOp("lumo.Exp", e.unary("neg", e.unaryOp("lumo.Abs", x))));
  Value out = e.sub(e.binary("minimum", x, e.scalar(elem, 0)), tail);
  Value buffer = t.resultUsed(1) ? e.zeros(t.resultType(1)) : Value();
  return {out, buffer};
}

/// The two halves of x along dim that glu multiplies.
std::pair<Value, Value> halves(Emitter &e, Value x, int64_t dim) {
  int64_t half = shapeOf(x)[dim] / 2;
  return {e.sliceDim(x, dim, 0, half), e.sliceDim(x, dim, half, half)};
}

Values glu(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  int64_t dim = normDim(t.size() > 1 ? t.i64(1) : -1, rankOf(x));
  auto [a, b] = halves(t.e, x, dim);
  return {t.e.mul(a, sigmoid(t.e, b))};
}

Values prelu(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), w = t.value(1, elem);
  Emitter &e = t.e;
  return {e.conform(e.select(e.compare(x, e.scalar(elem, 0), "GT"), x, e.mul(w, x)),
                    t.resultType())};
}

Values logit(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  if (t.size() > 1 && !t.isNone(1)) {
    double eps = t.f64(1);
    x = e.op("lumo.Clamp", {x, e.scalar(elem, eps), e.scalar(elem, 1 - eps)}, x.getType());
  }
  Value oneMinus = e.sub(e.scalar(elem, 1), x);
  return {e.conform(e.unaryOp("lumo.Log", e.div(x, oneMinus)), t.resultType())};
}

// ------------------------------------------------------------------ gradients

Values thresholdBackward(TorchOp &t) {
  t.expectOperands(3);
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  auto th = t.number(2);
  if (th && *th == 0 && grad.getType() == x.getType())
    return {e.op("lumo.ReluGrad", {grad, x}, grad.getType())};
  Value dead = e.compare(x, t.scalar(2, elem), "LE");
  return {e.conform(e.select(dead, e.scalar(elem, 0), grad), t.resultType())};
}

Values geluBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  std::string approx = t.size() > 2 ? t.str(2) : "none";
  return {t.e.op("lumo.GeluGrad", {grad, x}, t.resultType(), {t.e.str("approximation", approx)})};
}

Values sigmoidBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), y = t.value(1, elem);
  return {t.e.conform(t.e.op("lumo.SigmoidGrad", {y, grad}, y.getType()), t.resultType())};
}

Values tanhBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  return {e.conform(e.mul(grad, e.sub(e.scalar(elem, 1), e.mul(y, y))), t.resultType())};
}

Values siluBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  Value s = sigmoid(e, x);
  Value inner = e.addScalar(e.mul(x, e.sub(e.scalar(elem, 1), s)), 1);
  return {e.conform(e.mul(grad, e.mul(s, inner)), t.resultType())};
}

Values eluBackward(TorchOp &t) {
  t.expectOperands(6);
  Type elem = t.resultElem();
  Emitter &e = t.e;
  Value grad = t.value(0, elem), x = t.value(5, elem);
  double alpha = t.f64(1), scale = t.f64(2), inputScale = t.f64(3);
  bool isResult = t.flag(4);
  if (!isResult && scale == 1 && inputScale == 1)
    return {e.op("lumo.EluGrad", {grad, x}, grad.getType(), {e.f64("alpha", alpha)})};
  Value neg;
  if (isResult) neg = e.mul(grad, e.scale(e.addScalar(x, alpha * scale), inputScale));
  else neg = e.mul(grad, e.scale(e.unaryOp("lumo.Exp", e.scale(x, inputScale)),
                                 inputScale * alpha * scale));
  Value pos = e.scale(grad, scale);
  return {e.select(e.compare(x, e.scalar(elem, 0), "LE"), neg, pos)};
}

Values leakyReluBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  return {t.e.op("lumo.LeakyReluGrad", {grad, x}, grad.getType(), {t.e.f64("alpha", t.f64(2))})};
}

Values hardsigmoidBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  return {t.e.op("lumo.HardSigmoidGrad", {grad, x}, grad.getType())};
}

Values hardtanhBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  Value outside = e.logicalOr(e.compare(x, t.scalar(2, elem), "LE"),
                              e.compare(x, t.scalar(3, elem), "GE"));
  return {e.select(outside, e.scalar(elem, 0), grad)};
}

Values hardswishBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  Value mid = e.mul(grad, e.addScalar(e.scale(x, 1.0 / 3.0), 0.5));
  Value upper = e.select(e.compare(x, e.scalar(elem, 3), "LE"), mid, grad);
  return {e.select(e.compare(x, e.scalar(elem, -3), "LT"), e.scalar(elem, 0), upper)};
}

Values softplusBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  double beta = t.f64(2), threshold = t.f64(3);
  Value bx = e.scale(x, beta);
  Value smooth = e.mul(grad, sigmoid(e, bx));
  return {e.select(e.compare(bx, e.scalar(elem, threshold), "GT"), grad, smooth)};
}

Values mishBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  Value tsp = e.unaryOp("lumo.Tanh", softplusOf(e, x));
  Value d = e.add(tsp, e.mul(e.mul(x, sigmoid(e, x)), e.sub(e.scalar(elem, 1), e.mul(tsp, tsp))));
  return {e.mul(grad, d)};
}

Values logSigmoidBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  return {e.mul(grad, sigmoid(e, e.unary("neg", x)))};
}

PatternFn shrinkBackward() {
  return [](TorchOp &t) -> Values {
    Type elem = t.resultElem();
    Value grad = t.value(0, elem), x = t.value(1, elem);
    Emitter &e = t.e;
    Value keep = e.compare(e.unaryOp("lumo.Abs", x), t.scalar(2, elem), "GT");
    return {e.select(keep, grad, e.scalar(elem, 0))};
  };
}

Values logitBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  Emitter &e = t.e;
  Value d = e.div(grad, e.mul(x, e.sub(e.scalar(elem, 1), x)));
  if (t.size() > 2 && !t.isNone(2)) {
    double eps = t.f64(2);
    Value outside = e.logicalOr(e.compare(x, e.scalar(elem, eps), "LT"),
                                e.compare(x, e.scalar(elem, 1 - eps), "GT"));
    d = e.select(outside, e.scalar(elem, 0), d);
  }
  return {d};
}

Values gluBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem);
  int64_t dim = normDim(t.i64(2), rankOf(x));
  Emitter &e = t.e;
  auto [a, b] = halves(e, x, dim);
  Value s = sigmoid(e, b);
  Value da = e.mul(s, grad);
  Value db = e.mul(e.mul(e.mul(e.sub(e.scalar(elem, 1), s), s), a), grad);
  return {e.concat({da, db}, dim)};
}

/// glu_jvp(glu, x, dx, dim): the forward-mode derivative of glu(x) along dx,
/// da * sigmoid(b) + glu * (1 - sigmoid(b)) * db.
Values gluJvp(TorchOp &t) {
  t.expectOperands(4);
  Type elem = t.resultElem();
  Value y = t.value(0, elem), x = t.value(1, elem), dx = t.value(2, elem);
  int64_t dim = normDim(t.i64(3), rankOf(x));
  Emitter &e = t.e;
  Value s = sigmoid(e, halves(e, x, dim).second);
  auto [da, db] = halves(e, dx, dim);
  return {e.conform(e.add(e.mul(da, s), e.mul(y, e.sub(db, e.mul(s, db)))), t.resultType())};
}

Values preluBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), x = t.value(1, elem), w = t.value(2, elem);
  Emitter &e = t.e;
  Value pos = e.compare(x, e.scalar(elem, 0), "GT");
  Value dx = e.select(pos, grad, e.mul(w, grad));
  Value dw = e.select(pos, e.scalar(elem, 0), e.mul(x, grad));
  return {e.conform(dx, t.resultType(0)), e.sumTo(dw, t.resultShape(1))};
}

// ------------------------------------------------------------------ other binary functions

Values hypot(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  return {e.conform(e.unaryOp("lumo.Sqrt", e.add(e.mul(x, x), e.mul(y, y))), t.resultType())};
}

/// Whether the sign bit of x is set: also for -0.0 and negative NaNs.
Value signBit(Emitter &e, Value x) {
  Type elem = elemOf(x);
  if (isFloatType(elem)) return e.unary("signbit", x);
  auto type = tensorOf(shapeOf(x), IntegerType::get(e.ctx(), 1));
  if (isBoolType(elem) || elem.isUnsignedInteger()) return e.zeros(type);
  return e.compare(x, e.scalar(elem, 0), "LT");
}

Values copysign(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  Value mag = e.unaryOp("lumo.Abs", x);
  return {e.conform(e.select(signBit(e, y), e.unary("neg", mag), mag), t.resultType())};
}

Values xlogy(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  Value prod = e.mul(x, e.unaryOp("lumo.Log", y));
  Value zeroX = e.logicalAnd(e.compare(x, e.scalar(elem, 0), "EQ"),
                             e.logicalNot(e.unary("isnan", y)));
  return {e.conform(e.select(zeroX, e.scalar(elem, 0), prod), t.resultType())};
}

}  // namespace

Value softplusOf(Emitter &e, Value x) {
  return e.op("lumo.Softplus", x, x.getType(), {e.f64("beta", 1.0), e.f64("threshold", 20.0)});
}

Value logAddExp(Emitter &e, Value x, Value y, double base) {
  Type elem = elemOf(x);
  double ln = std::log(base);
  Value hi = e.binary("maximum", x, y);
  Value d = e.unaryOp("lumo.Abs", e.sub(x, y));
  // log_b(1 + b^-d) = log1p(exp(-d ln b)) / ln b
  Value tail = e.scale(e.unary("log1p", e.unaryOp("lumo.Exp", e.scale(d, -ln))), 1 / ln);
  Value r = e.add(hi, tail);
  // Equal infinities give NaN in the difference; the maximum is the answer then.
  return e.select(e.compare(x, y, "EQ"), e.add(x, e.scalar(elem, 1 / ln * std::log(2.0))), r);
}

namespace {

Values logaddexp(TorchOp &t) {
  Type elem = t.resultElem();
  return {t.e.conform(logAddExp(t.e, t.value(0, elem), t.value(1, elem), std::exp(1.0)),
                      t.resultType())};
}

Values logaddexp2(TorchOp &t) {
  Type elem = t.resultElem();
  return {t.e.conform(logAddExp(t.e, t.value(0, elem), t.value(1, elem), 2.0), t.resultType())};
}

Values heaviside(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), v = t.value(1, elem);
  Emitter &e = t.e;
  Value step = e.select(e.compare(x, e.scalar(elem, 0), "LT"), e.scalar(elem, 0),
                        e.scalar(elem, 1));
  return {e.conform(e.select(e.compare(x, e.scalar(elem, 0), "EQ"), v, step), t.resultType())};
}

Values fminmax(TorchOp &t, StringRef kind) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem), y = t.value(1, elem);
  Emitter &e = t.e;
  Value r = e.binary(kind, x, y);
  if (isFloatType(elem)) {
    r = e.select(e.unary("isnan", y), x, r);
    r = e.select(e.unary("isnan", x), y, r);
  }
  return {e.conform(r, t.resultType())};
}

PatternFn shift(bool left) {
  return [left](TorchOp &t) -> Values {
    t.expectOperands(2);
    Type elem = t.resultElem();
    if (!isIntegerType(elem)) unsupported("a bit shift of values that are not integers");
    Value x = t.value(0, elem), n = t.value(1, elem);
    return {t.e.conform(t.e.binary(left ? "shift_left" : "shift_right", x, n), t.resultType())};
  };
}

// ------------------------------------------------------------------ unary functions

Values logicalNot(TorchOp &t) {
  Value x = t.tensor(0);
  Emitter &e = t.e;
  Value r = isBoolType(elemOf(x)) ? e.logicalNot(x) : e.compare(x, e.scalar(elemOf(x), 0), "EQ");
  return {e.conform(r, t.resultType())};
}

Values bitwiseNot(TorchOp &t) {
  Value x = t.value(0, t.resultElem());
  return {t.e.unary("not", x)};
}

/// isnan, isinf, isfinite, ...: constant for integers.
PatternFn classify(StringRef kind) {
  std::string k = kind.str();
  return [k](TorchOp &t) -> Values {
    Value x = t.tensor(0);
    if (!isFloatType(elemOf(x))) return {t.e.splat(t.resultType(), k == "isfinite" ? 1 : 0)};
    return {t.e.unary(k, x)};
  };
}

Values signbit(TorchOp &t) { return {t.e.conform(signBit(t.e, t.tensor(0)), t.resultType())}; }

Values roundDecimals(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  int64_t decimals = t.i64(1);
  Emitter &e = t.e;
  double f = std::pow(10.0, static_cast<double>(decimals));
  return {e.scale(e.unary("round", e.scale(x, f)), 1 / f)};
}

Values nanToNum(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  if (!isFloatType(elem)) return {x};
  double big = elem.isF64()    ? std::numeric_limits<double>::max()
               : elem.isF16()  ? 65504.0
               : elem.isBF16() ? 3.3895313892515355e38
                               : static_cast<double>(std::numeric_limits<float>::max());
  double nan = t.size() > 1 && !t.isNone(1) ? t.f64(1) : 0.0;
  double pos = t.size() > 2 && !t.isNone(2) ? t.f64(2) : big;
  double neg = t.size() > 3 && !t.isNone(3) ? t.f64(3) : -big;
  Value r = e.select(e.unary("isnan", x), e.scalar(elem, nan), x);
  r = e.select(e.compare(x, e.scalar(elem, INFINITY), "EQ"), e.scalar(elem, pos), r);
  r = e.select(e.compare(x, e.scalar(elem, -INFINITY), "EQ"), e.scalar(elem, neg), r);
  return {r};
}

// ------------------------------------------------------------------ special functions

Values polygamma(TorchOp &t) {
  t.expectOperands(2);
  int64_t n = t.i64(0);
  if (n < 0) unsupported("polygamma of a negative order " + llvm::Twine(n));
  return {t.e.conform(t.e.unary("polygamma", t.value(1, t.resultElem()), n), t.resultType())};
}

Values mvlgamma(TorchOp &t) {
  t.expectOperands(2);
  int64_t p = t.i64(1);
  if (p < 1) unsupported("mvlgamma of dimension " + llvm::Twine(p) + ": p must be at least 1");
  return {t.e.conform(t.e.unary("mvlgamma", t.value(0, t.resultElem()), p), t.resultType())};
}

/// frexp: the mantissa and the si32 exponent.
Values frexp(TorchOp &t) {
  t.expectOperands(1);
  Value x = t.tensor(0);
  if (!isFloatType(elemOf(x))) unsupported("frexp of values that are not floating point");
  Emitter &e = t.e;
  Value mantissa = t.resultUsed(0) ? e.conform(e.unary("frexp_mantissa", x), t.resultType(0)) : Value();
  Value exponent = t.resultUsed(1) ? e.conform(e.unary("frexp_exponent", x), t.resultType(1)) : Value();
  return {mantissa, exponent};
}

/// The angle of a real number: pi below 0, else 0; NaN stays NaN.
Values angle(TorchOp &t) {
  Type elem = t.resultElem();
  if (!isFloatType(elem)) unsupported("angle with a result that is not floating point");
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  Value r = e.select(e.compare(x, e.scalar(elem, 0), "LT"), e.scalar(elem, M_PI), e.scalar(elem, 0));
  return {e.conform(e.select(e.unary("isnan", x), x, r), t.resultType())};
}

/// A unary function that emits several operations: computed in op math (inOpmath).
template <typename Fn>
void addUnary(PatternTable &t, StringRef kind, Fn fn) {
  t.add(kind, inOpmath(unaryWith(fn)));
}

/// add/sub/rsub: in op math when alpha is not 1 (x + alpha * y is rounded once) or a scalar
/// operand is inexact in the reduced type.
PatternFn scaled(PatternFn fn) {
  return inOpmath(fn, [](TorchOp &t) {
    if (inexactScalar(t, 2)) return true;
    if (t.size() < 3 || t.isNone(2)) return false;
    auto alpha = t.number(2);
    return !alpha || *alpha != 1;
  });
}

}  // namespace

void addElementwisePatterns(PatternTable &t) {
  // One lumo operation each.
  for (auto [kind, name] : std::initializer_list<std::pair<StringRef, StringRef>>{
           {"aten.abs", "lumo.Abs"}, {"aten.ceil", "lumo.Ceil"}, {"aten.floor", "lumo.Floor"},
           {"aten.cos", "lumo.Cos"}, {"aten.sin", "lumo.Sin"}, {"aten.exp", "lumo.Exp"},
           {"aten.log", "lumo.Log"}, {"aten.erf", "lumo.Erf"}, {"aten.sqrt", "lumo.Sqrt"},
           {"aten.tanh", "lumo.Tanh"}, {"aten.sigmoid", "lumo.Sigmoid"},
           {"aten.relu", "lumo.Relu"}, {"aten.sign", "lumo.Sign"}, {"aten.sgn", "lumo.Sign"},
           {"aten.reciprocal", "lumo.Reciprocal"}, {"aten.hardsigmoid", "lumo.HardSigmoid"}})
    t.add(kind, lumoUnary(name));
  for (StringRef kind : {"neg", "rsqrt", "log1p", "expm1", "log2", "log10", "exp2", "tan", "atan",
                         "asin", "acos", "sinh", "cosh", "asinh", "acosh", "atanh", "round",
                         "trunc", "silu", "digamma", "lgamma", "erfinv", "i0"})
    t.add(("aten." + kind).str(), kindUnary(kind));
  t.add("aten.fix", kindUnary("trunc"));
  t.add("aten.negative", kindUnary("neg"));
  t.add("aten.erfc", kindUnary("erfc"));
  addUnary(t, "aten.frac", [](Emitter &e, Value x) { return e.sub(x, e.unary("trunc", x)); });
  t.add("aten.square", unaryWith([](Emitter &e, Value x) { return e.mul(x, x); }));
  addUnary(t, "aten.sinc", [](Emitter &e, Value x) {
    Type elem = elemOf(x);
    Value px = e.scale(x, M_PI);
    Value r = e.div(e.unaryOp("lumo.Sin", px), px);
    return e.select(e.compare(x, e.scalar(elem, 0), "EQ"), e.scalar(elem, 1), r);
  });
  t.add("aten.round.decimals", inOpmath(roundDecimals));
  t.add("aten.nan_to_num", nanToNum);
  t.add("aten.logical_not", logicalNot);
  t.add("aten.bitwise_not", bitwiseNot);
  t.add("aten.isneginf", classify("isneginf"));
  t.add("aten.isposinf", classify("isposinf"));
  t.add("aten.isnan", classify("isnan"));
  t.add("aten.isinf", classify("isinf"));
  t.add("aten.isfinite", classify("isfinite"));
  t.add("aten.signbit", signbit);

  // Special functions.
  for (StringRef kind : {"i0e", "i1", "i1e", "entr", "erfcx", "log_ndtr", "ndtri", "airy_ai",
                         "bessel_j0", "bessel_j1", "bessel_y0", "bessel_y1", "modified_bessel_i0",
                         "modified_bessel_i1", "modified_bessel_k0", "modified_bessel_k1",
                         "scaled_modified_bessel_k0", "scaled_modified_bessel_k1",
                         "spherical_bessel_j0"})
    t.add(("aten.special_" + kind).str(), kindUnary(kind));
  t.add("aten.polygamma", polygamma);
  t.add("aten.mvlgamma", mvlgamma);
  t.add("aten.angle", angle);
  t.add("aten.frexp.Tensor", frexp);
  for (StringRef kind : {"xlog1py", "zeta", "chebyshev_polynomial_t", "chebyshev_polynomial_u",
                         "chebyshev_polynomial_v", "chebyshev_polynomial_w",
                         "shifted_chebyshev_polynomial_t", "shifted_chebyshev_polynomial_u",
                         "shifted_chebyshev_polynomial_v", "shifted_chebyshev_polynomial_w",
                         "hermite_polynomial_h", "hermite_polynomial_he", "laguerre_polynomial_l",
                         "legendre_polynomial_p"})
    t.add(("aten.special_" + kind).str(), kindBinary(kind));
  for (StringRef kind : {"igamma", "igammac", "nextafter", "gcd", "lcm"})
    t.add(("aten." + kind).str(), kindBinary(kind));

  // Arithmetic.
  t.add({"aten.add.Tensor", "aten.add.Scalar"}, scaled(arithmetic("lumo.Add", true)));
  t.add({"aten.sub.Tensor", "aten.sub.Scalar"}, scaled(arithmetic("lumo.Sub", true)));
  t.add({"aten.rsub.Tensor", "aten.rsub.Scalar"}, scaled(arithmetic("lumo.Sub", true, true)));
  t.add({"aten.mul.Tensor", "aten.mul.Scalar"}, inOpmath(arithmetic("lumo.Mul", false), inexactScalars(2)));
  t.add({"aten.div.Tensor", "aten.div.Scalar"}, inOpmath(arithmetic("lumo.Div", false), inexactScalars(2)));
  t.add({"aten.div.Tensor_mode", "aten.div.Scalar_mode"}, inOpmath(divMode));
  t.add({"aten.pow.Tensor_Tensor", "aten.pow.Tensor_Scalar", "aten.pow.Scalar"},
        inOpmath(power, inexactScalars(2)));
  t.add({"aten.floor_divide", "aten.floor_divide.Scalar"},
        inOpmath(kindBinary("floor_divide"), inexactScalars(2)));
  t.add({"aten.remainder.Tensor", "aten.remainder.Scalar"},
        inOpmath(kindBinary("remainder"), inexactScalars(2)));
  t.add({"aten.fmod.Tensor", "aten.fmod.Scalar"}, inOpmath(kindBinary("fmod"), inexactScalars(2)));
  t.add("aten.atan2", kindBinary("atan2"));
  t.add("aten.maximum", kindBinary("maximum"));
  t.add("aten.minimum", kindBinary("minimum"));
  t.add("aten.fmax", [](TorchOp &op) { return fminmax(op, "maximum"); });
  t.add("aten.fmin", [](TorchOp &op) { return fminmax(op, "minimum"); });
  t.add("aten.hypot", inOpmath(hypot));
  t.add("aten.copysign.Tensor", copysign);
  t.add("aten.xlogy.Tensor", inOpmath(xlogy));
  t.add("aten.logaddexp", inOpmath(logaddexp));
  t.add("aten.logaddexp2", inOpmath(logaddexp2));
  t.add("aten.heaviside", heaviside);
  t.add({"aten.bitwise_and.Tensor", "aten.bitwise_and.Scalar"}, bitwise("and"));
  t.add({"aten.bitwise_or.Tensor", "aten.bitwise_or.Scalar"}, bitwise("or"));
  t.add({"aten.bitwise_xor.Tensor", "aten.bitwise_xor.Scalar"}, bitwise("xor"));
  t.add({"aten.bitwise_left_shift.Tensor", "aten.bitwise_left_shift.Tensor_Scalar",
         "aten.bitwise_left_shift.Scalar_Tensor", "aten.__lshift__.Tensor",
         "aten.__lshift__.Scalar"},
        shift(true));
  t.add({"aten.bitwise_right_shift.Tensor", "aten.bitwise_right_shift.Tensor_Scalar",
         "aten.bitwise_right_shift.Scalar_Tensor", "aten.__rshift__.Tensor",
         "aten.__rshift__.Scalar"},
        shift(false));
  t.add("aten.logical_and", logical("and"));
  t.add("aten.logical_or", logical("or"));
  t.add("aten.logical_xor", logical("xor"));
  t.add({"aten.lerp.Tensor", "aten.lerp.Scalar"}, inOpmath(lerp));
  t.add("aten.addcmul", inOpmath(addcOp("lumo.Mul")));
  t.add("aten.addcdiv", inOpmath(addcOp("lumo.Div")));

  // Comparisons and selection.
  for (auto [name, dir] : std::initializer_list<std::pair<StringRef, StringRef>>{
           {"eq", "EQ"}, {"ne", "NE"}, {"lt", "LT"}, {"le", "LE"}, {"gt", "GT"}, {"ge", "GE"}}) {
    t.add(("aten." + name + ".Tensor").str(), comparison(dir));
    t.add(("aten." + name + ".Scalar").str(), comparison(dir));
  }
  t.add({"aten.where.self", "aten.where.ScalarSelf", "aten.where.ScalarOther",
         "aten.where.Scalar"},
        where);
  t.add({"aten.masked_fill.Tensor", "aten.masked_fill.Scalar"}, maskedFill);
  t.add({"aten.clamp", "aten.clamp.Tensor"}, clamp);
  t.add({"aten.clamp_min", "aten.clamp_min.Tensor"}, kindBinary("maximum"));
  t.add({"aten.clamp_max", "aten.clamp_max.Tensor"}, kindBinary("minimum"));

  // Activations.
  t.add("aten.hardtanh", hardtanh);
  t.add("aten.relu6", relu6);
  t.add("aten.elu", inOpmath(elu));
  t.add("aten.leaky_relu", leakyRelu);
  t.add("aten.gelu", gelu);
  t.add("aten.softplus", softplus);
  t.add("aten.mish", inOpmath(mish));
  t.add("aten.hardswish", inOpmath(hardswish));
  t.add("aten.celu", inOpmath(celu));
  t.add("aten.selu", inOpmath(selu));
  t.add("aten.threshold", threshold);
  t.add("aten.hardshrink", hardshrink);
  t.add("aten.softshrink", inOpmath(softshrink));
  t.add("aten.log_sigmoid_forward", inOpmath(logSigmoidForward));
  t.add("aten.glu", inOpmath(glu));
  t.add("aten._prelu_kernel", prelu);
  t.add("aten.logit", inOpmath(logit));

  // Gradients of activations.
  t.add("aten.threshold_backward", thresholdBackward);
  t.add("aten.gelu_backward", geluBackward);
  t.add("aten.sigmoid_backward", sigmoidBackward);
  t.add("aten.tanh_backward", inOpmath(tanhBackward));
  t.add("aten.silu_backward", inOpmath(siluBackward));
  t.add("aten.elu_backward", inOpmath(eluBackward));
  t.add("aten.leaky_relu_backward", leakyReluBackward);
  t.add("aten.hardsigmoid_backward", hardsigmoidBackward);
  t.add("aten.hardtanh_backward", hardtanhBackward);
  t.add("aten.hardswish_backward", inOpmath(hardswishBackward));
  t.add("aten.softplus_backward", inOpmath(softplusBackward));
  t.add("aten.mish_backward", inOpmath(mishBackward));
  t.add("aten.log_sigmoid_backward", inOpmath(logSigmoidBackward));
  t.add({"aten.hardshrink_backward", "aten.softshrink_backward"}, shrinkBackward());
  t.add("aten.logit_backward", inOpmath(logitBackward));
  t.add("aten.glu_backward", inOpmath(gluBackward));
  t.add("aten.glu_jvp", inOpmath(gluJvp));
  t.add("aten._prelu_kernel_backward", inOpmath(preluBackward));
}

}  // namespace torch_lumo
