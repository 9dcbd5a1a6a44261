// Elementwise operations, conversions and pass-through markers.
#include "Kernel.h"

namespace lumo {
namespace {

bool isFloat(at::ScalarType t) { return at::isFloatingType(t); }

// An elementwise kernel: ATen broadcasts the operands against each other; a result still smaller
// than the declared shape (all operands smaller) is broadcast to it.
template <typename F> Kernel elementwise(const OpView &op, F f) {
  Shape shape = op.resultShape();
  return [f = std::move(f), shape = std::move(shape)](KernelContext &ctx) {
    at::Tensor r = f(ctx);
    if (!r.sizes().equals(shape))
      r = r.expand(shape);
    ctx.out(std::move(r));
  };
}

std::string approximation(const OpView &op) {
  std::string a = op.strAttr("approximation", "none");
  if (a != "none" && a != "tanh")
    op.fail("approximation must be \"none\" or \"tanh\", not \"" + a + "\"");
  return a;
}

} // namespace

#define LUMO_UNARY(Name, expr)                                                                                \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(op, [](KernelContext &c) {                                                             \
      const at::Tensor &x = c.in(0);                                                                          \
      return expr;                                                                                            \
    });                                                                                                       \
  }
#define LUMO_BINARY(Name, expr)                                                                               \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(op, [](KernelContext &c) {                                                             \
      const at::Tensor &x = c.in(0);                                                                          \
      const at::Tensor &y = c.in(1);                                                                          \
      return expr;                                                                                            \
    });                                                                                                       \
  }

LUMO_UNARY(Abs, at::abs(x))
LUMO_UNARY(Ceil, at::ceil(x))
LUMO_UNARY(Floor, at::floor(x))
LUMO_UNARY(Cos, at::cos(x))
LUMO_UNARY(Sin, at::sin(x))
LUMO_UNARY(Erf, at::erf(x))
LUMO_UNARY(Exp, at::exp(x))
LUMO_UNARY(Log, at::log(x))
LUMO_UNARY(Sqrt, at::sqrt(x))
LUMO_UNARY(Tanh, at::tanh(x))
LUMO_UNARY(Sigmoid, at::sigmoid(x))
LUMO_UNARY(Sign, at::sign(x))
LUMO_UNARY(Reciprocal, at::reciprocal(x))
LUMO_UNARY(Relu, at::relu(x))
LUMO_UNARY(HardSigmoid, at::hardsigmoid(x))
LUMO_BINARY(Add, at::add(x, y))
LUMO_BINARY(Sub, at::sub(x, y))
LUMO_BINARY(Mul, at::mul(x, y))
LUMO_BINARY(Pow, at::pow(x, y))
LUMO_BINARY(ReluGrad, at::threshold_backward(x, y, 0))
LUMO_BINARY(HardSigmoidGrad, at::hardsigmoid_backward(x, y))
// SigmoidGrad(y, dy): the forward result first.
LUMO_BINARY(SigmoidGrad, at::sigmoid_backward(y, x))

Kernel planDiv(OpView &op) {
  if (isFloat(op.resultType()))
    return elementwise(op, [](KernelContext &c) { return at::div(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::div(c.in(0), c.in(1), "trunc"); });
}

Kernel planAnd(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_and(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::bitwise_and(c.in(0), c.in(1)); });
}

Kernel planOr(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_or(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::bitwise_or(c.in(0), c.in(1)); });
}

Kernel planClamp(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::clamp(c.in(0), c.in(1), c.in(2)); });
}

Kernel planSelect(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::where(c.in(0), c.in(1), c.in(2)); });
}

Kernel planCompare(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &, const at::Tensor &);
  static const std::pair<const char *, Fn> directions[] = {
      {"EQ", [](const at::Tensor &x, const at::Tensor &y) { return at::eq(x, y); }},
      {"NE", [](const at::Tensor &x, const at::Tensor &y) { return at::ne(x, y); }},
      {"LT", [](const at::Tensor &x, const at::Tensor &y) { return at::lt(x, y); }},
      {"LE", [](const at::Tensor &x, const at::Tensor &y) { return at::le(x, y); }},
      {"GT", [](const at::Tensor &x, const at::Tensor &y) { return at::gt(x, y); }},
      {"GE", [](const at::Tensor &x, const at::Tensor &y) { return at::ge(x, y); }},
  };
  std::string direction = op.strAttr("comparison_direction", "");
  for (auto [name, fn] : directions)
    if (direction == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
  op.fail("unknown comparison_direction \"" + direction + "\"");
}

Kernel planElu(OpView &op) {
  double alpha = op.floatAttr("alpha", 1.0);
  return elementwise(op, [alpha](KernelContext &c) { return at::elu(c.in(0), alpha); });
}

Kernel planEluGrad(OpView &op) {
  double alpha = op.floatAttr("alpha", 1.0);
  return elementwise(
      op, [alpha](KernelContext &c) { return at::elu_backward(c.in(0), alpha, 1, 1, false, c.in(1)); });
}

Kernel planLeakyRelu(OpView &op) {
  double alpha = op.floatAttr("alpha", 0.01);
  return elementwise(op, [alpha](KernelContext &c) { return at::leaky_relu(c.in(0), alpha); });
}

Kernel planLeakyReluGrad(OpView &op) {
  double alpha = op.floatAttr("alpha", 0.01);
  return elementwise(
      op, [alpha](KernelContext &c) { return at::leaky_relu_backward(c.in(0), c.in(1), alpha, false); });
}

Kernel planGelu(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::gelu(c.in(0), a); });
}

Kernel planGeluGrad(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::gelu_backward(c.in(0), c.in(1), a); });
}

Kernel planSoftplus(OpView &op) {
  double beta = op.floatAttr("beta", 1.0), threshold = op.floatAttr("threshold", 20.0);
  return elementwise(op, [beta, threshold](KernelContext &c) { return at::softplus(c.in(0), beta, threshold); });
}

Kernel planUnary(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &);
  static const std::pair<const char *, Fn> kinds[] = {
      {"neg", [](const at::Tensor &x) { return at::neg(x); }},
      {"not", [](const at::Tensor &x) { return x.scalar_type() == at::kBool ? at::logical_not(x) : at::bitwise_not(x); }},
      {"rsqrt", [](const at::Tensor &x) { return at::rsqrt(x); }},
      {"log1p", [](const at::Tensor &x) { return at::log1p(x); }},
      {"expm1", [](const at::Tensor &x) { return at::expm1(x); }},
      {"log2", [](const at::Tensor &x) { return at::log2(x); }},
      {"log10", [](const at::Tensor &x) { return at::log10(x); }},
      {"exp2", [](const at::Tensor &x) { return at::exp2(x); }},
      {"tan", [](const at::Tensor &x) { return at::tan(x); }},
      {"atan", [](const at::Tensor &x) { return at::atan(x); }},
      {"asin", [](const at::Tensor &x) { return at::asin(x); }},
      {"acos", [](const at::Tensor &x) { return at::acos(x); }},
      {"sinh", [](const at::Tensor &x) { return at::sinh(x); }},
      {"cosh", [](const at::Tensor &x) { return at::cosh(x); }},
      {"asinh", [](const at::Tensor &x) { return at::asinh(x); }},
      {"acosh", [](const at::Tensor &x) { return at::acosh(x); }},
      {"atanh", [](const at::Tensor &x) { return at::atanh(x); }},
      {"round", [](const at::Tensor &x) { return at::round(x); }},
      {"trunc", [](const at::Tensor &x) { return at::trunc(x); }},
      {"silu", [](const at::Tensor &x) { return at::silu(x); }},
      {"isnan", [](const at::Tensor &x) { return at::isnan(x); }},
      {"isinf", [](const at::Tensor &x) { return at::isinf(x); }},
      {"isneginf", [](const at::Tensor &x) { return at::isneginf(x); }},
      {"isposinf", [](const at::Tensor &x) { return at::isposinf(x); }},
      {"isfinite", [](const at::Tensor &x) { return at::isfinite(x); }},
  };
  std::string kind = op.strAttr("kind", "");
  for (auto [name, fn] : kinds)
    if (kind == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0)); });
  op.fail("unknown kind \"" + kind + "\"");
}

Kernel planBinary(OpView &op) {
  using Fn = at::Tensor (*)(const at::Tensor &, const at::Tensor &);
  static const std::pair<const char *, Fn> kinds[] = {
      {"maximum", [](const at::Tensor &x, const at::Tensor &y) { return at::maximum(x, y); }},
      {"minimum", [](const at::Tensor &x, const at::Tensor &y) { return at::minimum(x, y); }},
      {"remainder", [](const at::Tensor &x, const at::Tensor &y) { return at::remainder(x, y); }},
      {"fmod", [](const at::Tensor &x, const at::Tensor &y) { return at::fmod(x, y); }},
      {"floor_divide", [](const at::Tensor &x, const at::Tensor &y) { return at::floor_divide(x, y); }},
      {"atan2", [](const at::Tensor &x, const at::Tensor &y) { return at::atan2(x, y); }},
      {"xor", [](const at::Tensor &x, const at::Tensor &y) {
         return x.scalar_type() == at::kBool ? at::logical_xor(x, y) : at::bitwise_xor(x, y);
       }},
  };
  std::string kind = op.strAttr("kind", "");
  for (auto [name, fn] : kinds)
    if (kind == name)
      return elementwise(op, [fn = fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
  op.fail("unknown kind \"" + kind + "\"");
}

// ------------------------------------------------------------------ conversions

Kernel planCast(OpView &op) {
  at::ScalarType to = op.resultType();
  return single([to](KernelContext &c) { return c.in(0).to(to); });
}

Kernel planExtSI(OpView &op) {
  at::ScalarType from = op.operandType(0), to = op.resultType();
  if (from == at::kBool) // true is all ones: -1
    return single([to](KernelContext &c) { return at::neg(c.in(0).to(to)); });
  if (from == at::kByte) // the bits of a ui8 read as signed
    return single([to](KernelContext &c) { return c.in(0).view(at::kChar).to(to); });
  return single([to](KernelContext &c) { return c.in(0).to(to); });
}

Kernel planExtUI(OpView &op) {
  at::ScalarType from = op.operandType(0), to = op.resultType();
  if (from == at::kBool || from == at::kByte)
    return single([to](KernelContext &c) { return c.in(0).to(to); });
  int64_t bits = 8 * at::elementSize(from);
  if (bits >= 64)
    op.fail("cannot zero-extend a 64-bit integer");
  int64_t mask = (int64_t(1) << bits) - 1;
  return single([to, mask](KernelContext &c) { return at::bitwise_and(c.in(0).to(to), mask); });
}

// ------------------------------------------------------------------ values and markers

Kernel planConst(OpView &op) {
  auto value = op.elementsAttr("value");
  if (!value)
    op.fail("has no value");
  return single([value = *value](KernelContext &) { return value; });
}

static Kernel identity() {
  return [](KernelContext &c) { c.out(c.in(0)); };
}
Kernel planScopeBoundary(OpView &) { return identity(); }
Kernel planTagGradient(OpView &) { return identity(); }

} // namespace lumo
