// Tensor literals, filled and ranged tensors, dropout and random numbers.
#include "TorchToLumo.h"

#include <cmath>

namespace torch_lumo {
namespace {

// Ranges and identity matrices up to this many elements become constants.
constexpr int64_t kConstantLimit = 1 << 14;

Values literal(TorchOp &t) {
  auto value = t.op->getAttrOfType<DenseElementsAttr>("value");
  if (!value) unsupported("the literal has no dense value");
  Value c = t.e.constant(value);
  if (value.getType() != t.resultType()) c = t.e.conform(c, t.resultType());
  return {c};
}

/// A tensor of the result type filled with operand i (zero when i is absent).
PatternFn filled(int operandIndex) {
  return [operandIndex](TorchOp &t) -> Values {
    RankedTensorType type = t.resultType();
    if (operandIndex < 0) return {t.e.zeros(type)};
    // A constant number becomes a splat of the value in the result's type (exact for 64-bit
    // integers, which a double would round).
    if (t.number(operandIndex))
      if (auto one = Emitter::constValue(t.scalar(operandIndex, type.getElementType())))
        return {t.e.constant(one.resizeSplat(type))};
    return {t.e.broadcastTo(t.value(operandIndex, type.getElementType()), type.getShape())};
  };
}

PatternFn constantFill(double value) {
  return [value](TorchOp &t) -> Values { return {t.e.splat(t.resultType(), value)}; };
}

/// arange(end, ...), arange.start(start, end, ...), arange.start_step(start, end, step, ...).
PatternFn arange(int form) {
  return [form](TorchOp &t) -> Values {
    double start = form == 0 ? 0.0 : t.f64(0);
    double step = form == 2 ? t.f64(2) : 1.0;
    RankedTensorType type = t.resultType();
    if (type.getRank() != 1) unsupported("arange with a result that is not 1-D");
    int64_t n = type.getShape()[0];
    Emitter &e = t.e;
    Type elem = type.getElementType();
    if (n <= kConstantLimit && isIntegerType(elem) &&
        std::abs(start) + std::abs(step) * n >= 0x1p53) {
      // Beyond a double's integers: in 64-bit integers (integer bounds: the result type is an
      // integer one only when they are).
      int64_t first = form == 0 ? 0 : t.i64(0), by = form == 2 ? t.i64(2) : 1;
      unsigned width = elem.getIntOrFloatBitWidth();
      llvm::SmallVector<APInt> values;
      for (int64_t i = 0; i < n; ++i)
        values.push_back(
            APInt(width, static_cast<uint64_t>(first + i * by), !elem.isUnsignedInteger()));
      return {e.constant(DenseElementsAttr::get(type, values))};
    }
    if (n <= kConstantLimit) {
      if (!elem.isa<FloatType, IntegerType>()) unsupported("arange of this element type");
      llvm::SmallVector<double> values;
      for (int64_t i = 0; i < n; ++i) values.push_back(start + i * step);
      return {e.constant(type, values)};
    }
    return {e.op("lumo.Arange", {e.scalar(elem, start), e.scalar(elem, start + n * step),
                                 e.scalar(elem, step)},
                 type)};
  };
}

/// linspace(start, end, steps, ...).
Values linspace(TorchOp &t) {
  double start = t.f64(0), end = t.f64(1);
  RankedTensorType type = t.resultType();
  int64_t n = type.getRank() == 1 ? type.getShape()[0] : 0;
  if (n > kConstantLimit) unsupported("linspace too long to be a constant");
  llvm::SmallVector<double> values;
  if (!type.getElementType().isa<FloatType>()) unsupported("linspace of integers");
  for (int64_t i = 0; i < n; ++i) {
    double v = n == 1 ? start : start + (end - start) * i / (n - 1);
    // PyTorch fills the second half backwards from the end.
    if (n > 1 && i >= n / 2) v = end - (end - start) * (n - 1 - i) / (n - 1);
    values.push_back(v);
  }
  return {t.e.constant(type, values)};
}

/// eye(n, ...), eye.m(n, m, ...).
Values eye(TorchOp &t) {
  RankedTensorType type = t.resultType();
  if (type.getRank() != 2) unsupported("eye with a result that is not 2-D");
  int64_t rows = type.getShape()[0], cols = type.getShape()[1];
  Emitter &e = t.e;
  if (rows * cols > kConstantLimit) {
    Type elem = type.getElementType();
    Value diag = e.compare(e.positions(type.getShape(), 0), e.positions(type.getShape(), 1), "EQ");
    return {e.select(diag, e.scalar(elem, 1), e.scalar(elem, 0))};
  }
  llvm::SmallVector<double> values(rows * cols, 0.0);
  for (int64_t i = 0; i < std::min(rows, cols); ++i) values[i * cols + i] = 1.0;
  return {e.constant(type, values)};
}

/// prim.NumToTensor.Scalar(x), scalar_tensor(x, ...).
Values numToTensor(TorchOp &t) { return {t.scalar(0, t.resultElem())}; }

// ------------------------------------------------------------------ random numbers

/// Uniform numbers in [lo, hi) shaped like `type`.
Value uniform(TorchOp &t, RankedTensorType type, Value lo, Value hi) {
  Emitter &e = t.e;
  return e.op("lumo.RandomUniform", {lo, hi, e.indexVector(type.getShape())}, type,
              {e.i64("operational_seed", t.state.nextSeed())});
}

Value uniform01(TorchOp &t, RankedTensorType type) {
  Type elem = type.getElementType();
  if (!isFloatType(elem)) elem = Float32Type::get(t.e.ctx());
  auto ftype = tensorOf(type.getShape(), elem);
  return uniform(t, ftype, t.e.scalar(elem, 0), t.e.scalar(elem, 1));
}

/// native_dropout(input, p, train?) -> (output, mask): elements kept with probability 1 - p and
/// scaled by 1 / (1 - p).
Values nativeDropout(TorchOp &t) {
  Type elem = t.resultElem();
  Value x = t.value(0, elem);
  Emitter &e = t.e;
  double p = t.f64(1);
  bool train = t.size() < 3 || t.isNone(2) || t.flag(2);
  if (!train || p == 0) return {x, e.splat(t.resultType(1), 1)};
  if (p >= 1) return {e.zeros(t.resultType(0)), e.zeros(t.resultType(1))};
  Value u = uniform01(t, t.resultType(0));
  Value keep = e.compare(u, e.scalar(elemOf(u), 1 - p), "LT");
  Value out = e.mul(e.select(keep, x, e.zeros(tensorOf({}, elem))), e.scalar(elem, 1 / (1 - p)));
  return {out, e.conform(keep, t.resultType(1))};
}

/// native_dropout_backward(grad, mask, scale).
Values nativeDropoutBackward(TorchOp &t) {
  Type elem = t.resultElem();
  Value grad = t.value(0, elem), mask = t.tensor(1);
  Emitter &e = t.e;
  Value kept = isBoolType(elemOf(mask)) ? e.select(mask, grad, e.zeros(tensorOf({}, elem)))
                                        : e.mul(grad, e.cast(mask, elem));
  return {e.mul(kept, t.scalar(2, elem))};
}

/// bernoulli(x, generator?): 1 with probability x; bernoulli.p(x, p, generator?).
PatternFn bernoulli(bool fixedP) {
  return [fixedP](TorchOp &t) -> Values {
    RankedTensorType type = t.resultType();
    Emitter &e = t.e;
    Value u = uniform01(t, type);
    Value prob = fixedP ? t.value(1, elemOf(u)) : t.value(0, elemOf(u));
    return {e.cast(e.compare(u, prob, "LT"), type.getElementType())};
  };
}

/// uniform(x, from, to, generator?), rand(size, ...), rand_like(x, ...).
PatternFn uniformFill(bool bounds) {
  return [bounds](TorchOp &t) -> Values {
    RankedTensorType type = t.resultType();
    Type elem = type.getElementType();
    if (!isFloatType(elem)) unsupported("uniform numbers of an integer type");
    Value lo = bounds ? t.scalar(1, elem) : t.e.scalar(elem, 0);
    Value hi = bounds ? t.scalar(2, elem) : t.e.scalar(elem, 1);
    return {uniform(t, type, lo, hi)};
  };
}

/// normal_functional(x, mean, std, generator?), randn(size, ...), randn_like(x, ...).
PatternFn normalFill(bool params) {
  return [params](TorchOp &t) -> Values {
    RankedTensorType type = t.resultType();
    Type elem = type.getElementType();
    if (!isFloatType(elem)) unsupported("normal numbers of an integer type");
    Emitter &e = t.e;
    Value mean = params ? t.scalar(1, elem) : e.scalar(elem, 0);
    Value std = params ? t.scalar(2, elem) : e.scalar(elem, 1);
    return {e.op("lumo.RandomNormal", {mean, std}, type, {e.i64("seed", t.state.nextSeed())})};
  };
}

/// exponential(x, lambd, generator?) = -log(1 - u) / lambd.
Values exponential(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Emitter &e = t.e;
  Value u = uniform01(t, type);
  Value r = e.unary("neg", e.unary("log1p", e.unary("neg", u)));
  return {e.conform(e.scale(r, 1.0 / t.f64(1)), type)};
}

/// cauchy(x, median, sigma, generator?) = median + sigma * tan(pi * (u - 1/2)).
Values cauchy(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Emitter &e = t.e;
  Value u = uniform01(t, type);
  Value r = e.unary("tan", e.scale(e.addScalar(u, -0.5), M_PI));
  return {e.conform(e.addScalar(e.scale(r, t.f64(2)), t.f64(1)), type)};
}

/// log_normal(x, mean, std, generator?) = exp(N(mean, std^2)).
Values logNormal(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Type elem = type.getElementType();
  if (!isFloatType(elem)) unsupported("log-normal numbers of an integer type");
  Emitter &e = t.e;
  Value z = e.op("lumo.RandomNormal", {t.scalar(1, elem), t.scalar(2, elem)}, type,
                 {e.i64("seed", t.state.nextSeed())});
  return {e.unaryOp("lumo.Exp", z)};
}

/// geometric(x, p, generator?): the number of Bernoulli(p) trials up to the first success,
/// ceil(log(1 - u) / log(1 - p)), at least 1.
Values geometric(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Emitter &e = t.e;
  double p = t.f64(1);
  if (!(p > 0 && p < 1)) unsupported("geometric numbers with p outside (0, 1)");
  Value u = uniform01(t, type);
  Value trials = e.unaryOp("lumo.Ceil", e.scale(e.unary("log1p", e.unary("neg", u)),
                                                1.0 / std::log1p(-p)));
  trials = e.binary("maximum", trials, e.scalar(elemOf(u), 1.0));
  return {e.conform(trials, type)};
}

/// normal.Tensor_Tensor/Tensor_float/float_Tensor(mean, std, generator?).
Values normalTensor(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Type elem = type.getElementType();
  if (!isFloatType(elem)) unsupported("normal numbers of an integer type");
  Emitter &e = t.e;
  return {e.op("lumo.RandomNormal", {t.value(0, elem), t.value(1, elem)}, type,
               {e.i64("seed", t.state.nextSeed())})};
}

/// multinomial(x, num_samples, replacement, generator?).
Values multinomial(TorchOp &t) {
  Emitter &e = t.e;
  Value x = t.tensor(0);
  if (!isFloatType(elemOf(x))) unsupported("multinomial of integer weights");
  return {e.op("lumo.RandomMultinomial", x, t.resultType(),
               {e.i64("num_samples", t.i64(1)), e.flag("replacement", t.flag(2)),
                e.i64("seed", t.state.nextSeed())})};
}

/// random(x, generator?): integers drawn uniformly, as PyTorch draws them, from [0, 2^digits] for
/// floating-point types (every one of them exact) and from [0, max] for integer types.
Values randomFull(TorchOp &t) {
  RankedTensorType type = t.resultType();
  Type elem = type.getElementType();
  Emitter &e = t.e;
  uint64_t count;  // how many values
  if (auto ft = elem.dyn_cast<FloatType>())
    count = (uint64_t(1) << APFloat::semanticsPrecision(ft.getFloatSemantics())) + 1;
  else if (isBoolType(elem)) count = 2;
  else count = uint64_t(1) << (elem.getIntOrFloatBitWidth() - (elem.isUnsignedInteger() ? 0 : 1));
  auto ints = tensorOf(type.getShape(), si64Type(e.ctx()));
  auto below = [&](int64_t n) { return uniform(t, ints, e.indexScalar(0), e.indexScalar(n)); };
  const int64_t word = int64_t(1) << 32;
  if (count <= uint64_t(word)) return {e.cast(below(count), elem)};
  // Two draws give every integer of [0, 2^63); other counts take the remainder, as PyTorch
  // reduces its 64 random bits.
  Value high = below(int64_t(1) << 31), low = below(word);
  Value v = e.add(e.mul(high, e.indexScalar(word)), low);
  if (count < (uint64_t(1) << 63)) v = e.binary("remainder", v, e.indexScalar(count));
  return {e.cast(v, elem)};
}

/// random.from(x, from, to?, generator?), random.to(x, to, generator?): integers in [from, to).
PatternFn randomInts(bool hasFrom) {
  return [hasFrom](TorchOp &t) -> Values {
    RankedTensorType type = t.resultType();
    Emitter &e = t.e;
    double lo = hasFrom ? t.f64(1) : 0.0;
    unsigned toAt = hasFrom ? 2 : 1;
    if (t.isNone(toAt)) unsupported("random numbers without an upper bound");
    double hi = t.f64(toAt);
    auto f64 = tensorOf(type.getShape(), Float64Type::get(e.ctx()));
    Value u = uniform(t, f64, e.scalar(f64.getElementType(), lo), e.scalar(f64.getElementType(), hi));
    return {e.cast(e.unaryOp("lumo.Floor", u), type.getElementType())};
  };
}

}  // namespace

void addCreationPatterns(PatternTable &t) {
  t.add("vtensor.literal", literal);
  t.add({"aten.zeros", "aten.zeros_like", "aten.new_zeros", "aten.empty.memory_format",
         "aten.empty_strided", "aten.empty_like", "aten.new_empty", "aten.new_empty_strided"},
        filled(-1));
  t.add({"aten.ones", "aten.ones_like", "aten.new_ones"}, constantFill(1.0));
  t.add({"aten.full", "aten.full_like"}, filled(1));
  t.add("aten.new_full", filled(2));
  t.add("aten.arange", arange(0));
  t.add("aten.arange.start", arange(1));
  t.add("aten.arange.start_step", arange(2));
  t.add({"aten.linspace", "aten.linspace.Tensor_Tensor", "aten.linspace.Tensor_Scalar",
         "aten.linspace.Scalar_Tensor"},
        linspace);
  t.add({"aten.eye", "aten.eye.m"}, eye);
  t.add({"prim.NumToTensor.Scalar", "aten.scalar_tensor"}, numToTensor);
  t.add("aten.native_dropout", nativeDropout);
  t.add("aten.native_dropout_backward", nativeDropoutBackward);
  t.add("aten.bernoulli", bernoulli(false));
  t.add("aten.bernoulli.p", bernoulli(true));
  t.add("aten.bernoulli.Tensor", bernoulli(true));
  t.add("aten.uniform", uniformFill(true));
  t.add({"aten.rand", "aten.rand_like"}, uniformFill(false));
  t.add("aten.normal_functional", normalFill(true));
  t.add({"aten.randn", "aten.randn_like"}, normalFill(false));
  t.add("aten.exponential", exponential);
  t.add("aten.cauchy", cauchy);
  t.add("aten.log_normal", logNormal);
  t.add("aten.geometric", geometric);
  t.add({"aten.normal.Tensor_Tensor", "aten.normal.Tensor_float", "aten.normal.float_Tensor"},
        normalTensor);
  t.add("aten.multinomial", multinomial);
  t.add("aten.random.from", randomInts(true));
  t.add("aten.random.to", randomInts(false));
  t.add("aten.random", randomFull);
}

}  // namespace torch_lumo
