// Elementwise operations, conversions and pass-through markers.
//
// The kernels call ATen's CPU kernels directly (at::cpu::) where ATen has one: the same kernels
// eager PyTorch reaches, without a trip through the dispatcher for every small operation.
#include "Kernel.h"

#include <ATen/CPUFunctions.h>

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

// Also writes into a spare result buffer (`write(out, ctx)`) when the operands broadcast to the
// result's shape.
template <typename F, typename W> Kernel elementwise(OpView &op, F f, W write) {
  Shape shape = op.resultShape(), broadcast;
  for (size_t i = 0; i < op.numOperands(); ++i)
    broadcast = at::infer_size(broadcast, op.operandShape(i));
  if (broadcast != shape)
    return elementwise(op, std::move(f));
  op.acceptSpare();
  return [f = std::move(f), write = std::move(write)](KernelContext &ctx) {
    // The spare value is laid out in the default order: channels-last operands (from a convolution)
    // keep their layout in a fresh result instead of being read across.
    bool channelsLast = false;
    for (size_t i = 0; i < ctx.numIn() && !channelsLast; ++i) {
      const at::Tensor &t = ctx.in(i);
      channelsLast = t.dim() == 4 && !t.is_contiguous() && t.is_contiguous(at::MemoryFormat::ChannelsLast);
    }
    at::Tensor *out = channelsLast ? nullptr : ctx.spare();
    if (out) {
      write(*out, ctx);
      ctx.out(*out);
    } else {
      ctx.out(f(ctx));
    }
  };
}

std::string approximation(const OpView &op) {
  std::string a = op.enumAttr("approximation", "none");
  if (a != "none" && a != "tanh")
    op.fail("approximation must be \"none\" or \"tanh\", not \"" + a + "\"");
  return a;
}

} // namespace

// Elementwise operations on ATen CPU kernels with an out= form: fn(x...) and fn_out(out, x...).
#define LUMO_UNARY(Name, fn)                                                                                  \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(                                                                                       \
        op, [](KernelContext &c) { return at::cpu::fn(c.in(0)); },                                            \
        [](at::Tensor &out, KernelContext &c) { at::cpu::fn##_out(out, c.in(0)); });                          \
  }
#define LUMO_BINARY(Name, fn)                                                                                 \
  Kernel plan##Name(OpView &op) {                                                                             \
    return elementwise(                                                                                       \
        op, [](KernelContext &c) { return at::cpu::fn(c.in(0), c.in(1)); },                                   \
        [](at::Tensor &out, KernelContext &c) { at::cpu::fn##_out(out, c.in(0), c.in(1)); });                 \
  }

LUMO_UNARY(Ceil, ceil)
LUMO_UNARY(Floor, floor)
LUMO_UNARY(Cos, cos)
LUMO_UNARY(Sin, sin)
LUMO_UNARY(Erf, erf)
LUMO_UNARY(Exp, exp)
LUMO_UNARY(Log, log)
LUMO_UNARY(Sqrt, sqrt)
LUMO_UNARY(Tanh, tanh)
LUMO_UNARY(Sigmoid, sigmoid)
LUMO_UNARY(Sign, sign)
LUMO_UNARY(Reciprocal, reciprocal)
LUMO_UNARY(HardSigmoid, hardsigmoid)
LUMO_BINARY(Add, add)
LUMO_BINARY(Sub, sub)
LUMO_BINARY(Mul, mul)
LUMO_BINARY(Pow, pow)
LUMO_BINARY(HardSigmoidGrad, hardsigmoid_backward)

Kernel planAbs(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::abs(c.in(0)); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::abs_out(out, c.in(0)); });
}

Kernel planRelu(OpView &op) {
  auto relu = [](KernelContext &c) { return at::cpu::relu(c.in(0)); };
  if (op.resultType() == at::kBool) // rejected by ATen's relu
    return elementwise(op, relu);
  // ATen's relu is clamp_min(x, 0).
  return elementwise(op, relu, [](at::Tensor &out, KernelContext &c) { at::cpu::clamp_min_out(out, c.in(0), 0); });
}

Kernel planReluGrad(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::cpu::threshold_backward(c.in(0), c.in(1), 0); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::threshold_backward_out(out, c.in(0), c.in(1), 0); });
}

// SigmoidGrad(y, dy): the forward result first.
Kernel planSigmoidGrad(OpView &op) {
  return elementwise(
      op, [](KernelContext &c) { return at::cpu::sigmoid_backward(c.in(1), c.in(0)); },
      [](at::Tensor &out, KernelContext &c) { at::cpu::sigmoid_backward_out(out, c.in(1), c.in(0)); });
}

Kernel planDiv(OpView &op) {
  if (isFloat(op.resultType()))
    return elementwise(
        op, [](KernelContext &c) { return at::cpu::div(c.in(0), c.in(1)); },
        [](at::Tensor &out, KernelContext &c) { at::cpu::div_out(out, c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::div(c.in(0), c.in(1), "trunc"); });
}

Kernel planAnd(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_and(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::bitwise_and(c.in(0), c.in(1)); });
}

Kernel planOr(OpView &op) {
  if (op.resultType() == at::kBool)
    return elementwise(op, [](KernelContext &c) { return at::logical_or(c.in(0), c.in(1)); });
  return elementwise(op, [](KernelContext &c) { return at::cpu::bitwise_or(c.in(0), c.in(1)); });
}

Kernel planClamp(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::cpu::clamp(c.in(0), c.in(1), c.in(2)); });
}

Kernel planSelect(OpView &op) {
  return elementwise(op, [](KernelContext &c) { return at::cpu::where(c.in(0), c.in(1), c.in(2)); });
}

// Table entries: functions of one or two tensors.
using Fn1 = at::Tensor (*)(const at::Tensor &);
using Fn2 = at::Tensor (*)(const at::Tensor &, const at::Tensor &);
#define LUMO_FN1(expr) [](const at::Tensor &x) { return expr; }
#define LUMO_FN2(expr) [](const at::Tensor &x, const at::Tensor &y) { return expr; }

Kernel planCompare(OpView &op) {
  static const std::pair<const char *, Fn2> directions[] = {
      {"EQ", LUMO_FN2(at::cpu::eq(x, y))}, {"NE", LUMO_FN2(at::cpu::ne(x, y))},
      {"LT", LUMO_FN2(at::cpu::lt(x, y))}, {"LE", LUMO_FN2(at::cpu::le(x, y))},
      {"GT", LUMO_FN2(at::cpu::gt(x, y))}, {"GE", LUMO_FN2(at::cpu::ge(x, y))},
  };
  Fn2 fn = lookup(op, "comparison_direction", directions);
  return elementwise(op, [fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
}

// Elementwise operations with a float attribute `alpha` (default `fallback`): `expr` computes the
// result from the kernel context `c` and `alpha`.
#define LUMO_WITH_ALPHA(Name, fallback, expr)                                                                 \
  Kernel plan##Name(OpView &op) {                                                                             \
    double alpha = op.floatAttr("alpha", fallback);                                                           \
    return elementwise(op, [alpha](KernelContext &c) { return expr; });                                       \
  }

LUMO_WITH_ALPHA(Elu, 1.0, at::cpu::elu(c.in(0), alpha))
LUMO_WITH_ALPHA(EluGrad, 1.0, at::cpu::elu_backward(c.in(0), alpha, 1, 1, false, c.in(1)))
LUMO_WITH_ALPHA(LeakyRelu, 0.01, at::cpu::leaky_relu(c.in(0), alpha))
LUMO_WITH_ALPHA(LeakyReluGrad, 0.01, at::cpu::leaky_relu_backward(c.in(0), c.in(1), alpha, false))

Kernel planGelu(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::cpu::gelu(c.in(0), a); });
}

Kernel planGeluGrad(OpView &op) {
  std::string a = approximation(op);
  return elementwise(op, [a](KernelContext &c) { return at::cpu::gelu_backward(c.in(0), c.in(1), a); });
}

Kernel planSoftplus(OpView &op) {
  double beta = op.floatAttr("beta", 1.0), threshold = op.floatAttr("threshold", 20.0);
  return elementwise(op, [beta, threshold](KernelContext &c) { return at::cpu::softplus(c.in(0), beta, threshold); });
}

Kernel planUnary(OpView &op) {
  static const std::pair<const char *, Fn1> kinds[] = {
      {"neg", LUMO_FN1(at::cpu::neg(x))},
      {"not", LUMO_FN1(x.scalar_type() == at::kBool ? at::logical_not(x) : at::cpu::bitwise_not(x))},
      {"rsqrt", LUMO_FN1(at::cpu::rsqrt(x))},   {"log1p", LUMO_FN1(at::cpu::log1p(x))},
      {"expm1", LUMO_FN1(at::cpu::expm1(x))},   {"log2", LUMO_FN1(at::cpu::log2(x))},
      {"log10", LUMO_FN1(at::cpu::log10(x))},   {"exp2", LUMO_FN1(at::cpu::exp2(x))},
      {"tan", LUMO_FN1(at::cpu::tan(x))},       {"atan", LUMO_FN1(at::cpu::atan(x))},
      {"asin", LUMO_FN1(at::cpu::asin(x))},     {"acos", LUMO_FN1(at::cpu::acos(x))},
      {"sinh", LUMO_FN1(at::cpu::sinh(x))},     {"cosh", LUMO_FN1(at::cpu::cosh(x))},
      {"asinh", LUMO_FN1(at::cpu::asinh(x))},   {"acosh", LUMO_FN1(at::cpu::acosh(x))},
      {"atanh", LUMO_FN1(at::cpu::atanh(x))},   {"round", LUMO_FN1(at::cpu::round(x))},
      {"trunc", LUMO_FN1(at::cpu::trunc(x))},   {"silu", LUMO_FN1(at::cpu::silu(x))},
      {"digamma", LUMO_FN1(at::cpu::digamma(x))}, {"lgamma", LUMO_FN1(at::cpu::lgamma(x))},
      {"erfinv", LUMO_FN1(at::cpu::erfinv(x))}, {"erfc", LUMO_FN1(at::cpu::erfc(x))},
      {"i0", LUMO_FN1(at::cpu::i0(x))},         {"signbit", LUMO_FN1(at::cpu::signbit(x))},
      {"isnan", LUMO_FN1(at::cpu::isnan(x))},   {"isinf", LUMO_FN1(at::isinf(x))},
      {"isneginf", LUMO_FN1(at::cpu::isneginf(x))}, {"isposinf", LUMO_FN1(at::cpu::isposinf(x))},
      {"isfinite", LUMO_FN1(at::isfinite(x))},
      // Special functions.
      {"i0e", LUMO_FN1(at::cpu::special_i0e(x))}, {"i1", LUMO_FN1(at::cpu::special_i1(x))},
      {"i1e", LUMO_FN1(at::cpu::special_i1e(x))}, {"entr", LUMO_FN1(at::cpu::special_entr(x))},
      {"erfcx", LUMO_FN1(at::cpu::special_erfcx(x))}, {"log_ndtr", LUMO_FN1(at::cpu::special_log_ndtr(x))},
      {"ndtri", LUMO_FN1(at::cpu::special_ndtri(x))}, {"airy_ai", LUMO_FN1(at::cpu::special_airy_ai(x))},
      {"bessel_j0", LUMO_FN1(at::cpu::special_bessel_j0(x))},
      {"bessel_j1", LUMO_FN1(at::cpu::special_bessel_j1(x))},
      {"bessel_y0", LUMO_FN1(at::cpu::special_bessel_y0(x))},
      {"bessel_y1", LUMO_FN1(at::cpu::special_bessel_y1(x))},
      {"modified_bessel_i0", LUMO_FN1(at::cpu::special_modified_bessel_i0(x))},
      {"modified_bessel_i1", LUMO_FN1(at::cpu::special_modified_bessel_i1(x))},
      {"modified_bessel_k0", LUMO_FN1(at::cpu::special_modified_bessel_k0(x))},
      {"modified_bessel_k1", LUMO_FN1(at::cpu::special_modified_bessel_k1(x))},
      {"scaled_modified_bessel_k0", LUMO_FN1(at::cpu::special_scaled_modified_bessel_k0(x))},
      {"scaled_modified_bessel_k1", LUMO_FN1(at::cpu::special_scaled_modified_bessel_k1(x))},
      {"spherical_bessel_j0", LUMO_FN1(at::cpu::special_spherical_bessel_j0(x))},
      {"frexp_mantissa", LUMO_FN1(std::get<0>(at::frexp(x)))},
      {"frexp_exponent", LUMO_FN1(std::get<1>(at::frexp(x)))},
  };
  // The kinds with an order.
  std::string kind = op.enumAttr("kind", "");
  if (kind == "polygamma" || kind == "mvlgamma") {
    std::optional<int64_t> order = op.intAttr("order");
    if (!order)
      op.fail("kind \"" + kind + "\" needs an order");
    int64_t n = *order;
    if (kind == "polygamma")
      return elementwise(op, [n](KernelContext &c) { return at::cpu::polygamma(n, c.in(0)); });
    return elementwise(op, [n](KernelContext &c) { return at::mvlgamma(c.in(0), n); });
  }
  Fn1 fn = lookup(op, "kind", kinds);
  return elementwise(op, [fn](KernelContext &c) { return fn(c.in(0)); });
}

Kernel planBinary(OpView &op) {
  static const std::pair<const char *, Fn2> kinds[] = {
      {"maximum", LUMO_FN2(at::cpu::maximum(x, y))},
      {"minimum", LUMO_FN2(at::cpu::minimum(x, y))},
      {"remainder", LUMO_FN2(at::cpu::remainder(x, y))},
      {"fmod", LUMO_FN2(at::cpu::fmod(x, y))},
      {"floor_divide", LUMO_FN2(at::cpu::floor_divide(x, y))},
      {"atan2", LUMO_FN2(at::cpu::atan2(x, y))},
      {"xor", LUMO_FN2(x.scalar_type() == at::kBool ? at::logical_xor(x, y) : at::cpu::bitwise_xor(x, y))},
      {"shift_left", LUMO_FN2(at::cpu::bitwise_left_shift(x, y))},
      {"shift_right", LUMO_FN2(at::cpu::bitwise_right_shift(x, y))},
      // Special functions.
      {"xlog1py", LUMO_FN2(at::cpu::special_xlog1py(x, y))},
      {"zeta", LUMO_FN2(at::cpu::special_zeta(x, y))},
      {"igamma", LUMO_FN2(at::cpu::igamma(x, y))},
      {"igammac", LUMO_FN2(at::cpu::igammac(x, y))},
      {"nextafter", LUMO_FN2(at::cpu::nextafter(x, y))},
      {"gcd", LUMO_FN2(at::cpu::gcd(x, y))},
      {"lcm", LUMO_FN2(at::cpu::lcm(x, y))},
      {"chebyshev_polynomial_t", LUMO_FN2(at::cpu::special_chebyshev_polynomial_t(x, y))},
      {"chebyshev_polynomial_u", LUMO_FN2(at::cpu::special_chebyshev_polynomial_u(x, y))},
      {"chebyshev_polynomial_v", LUMO_FN2(at::cpu::special_chebyshev_polynomial_v(x, y))},
      {"chebyshev_polynomial_w", LUMO_FN2(at::cpu::special_chebyshev_polynomial_w(x, y))},
      {"shifted_chebyshev_polynomial_t", LUMO_FN2(at::cpu::special_shifted_chebyshev_polynomial_t(x, y))},
      {"shifted_chebyshev_polynomial_u", LUMO_FN2(at::cpu::special_shifted_chebyshev_polynomial_u(x, y))},
      {"shifted_chebyshev_polynomial_v", LUMO_FN2(at::cpu::special_shifted_chebyshev_polynomial_v(x, y))},
      {"shifted_chebyshev_polynomial_w", LUMO_FN2(at::cpu::special_shifted_chebyshev_polynomial_w(x, y))},
      {"hermite_polynomial_h", LUMO_FN2(at::cpu::special_hermite_polynomial_h(x, y))},
      {"hermite_polynomial_he", LUMO_FN2(at::cpu::special_hermite_polynomial_he(x, y))},
      {"laguerre_polynomial_l", LUMO_FN2(at::cpu::special_laguerre_polynomial_l(x, y))},
      {"legendre_polynomial_p", LUMO_FN2(at::cpu::special_legendre_polynomial_p(x, y))},
  };
  Fn2 fn = lookup(op, "kind", kinds);
  return elementwise(op, [fn](KernelContext &c) { return fn(c.in(0), c.in(1)); });
}

// ------------------------------------------------------------------ conversions

Kernel planCast(OpView &op) {
  at::ScalarType to = op.resultType();
  // As Tensor.to: complex to a real type keeps the real part, to i1 tells whether it is not zero
  // (spelled out, so that ATen does not warn that the imaginary part is discarded).
  if (at::isComplexType(op.operandType(0)) && !at::isComplexType(to)) {
    if (to == at::kBool)
      return single([](KernelContext &c) { return at::ne(c.in(0), 0); });
    return single([to](KernelContext &c) { return at::real(c.in(0)).to(to, /*non_blocking=*/false, /*copy=*/true); });
  }
  return single([to](KernelContext &c) { return c.in(0).to(to); });
}

Kernel planExtSI(OpView &op) {
  at::ScalarType from = op.operandType(0), to = op.resultType();
  if (from == at::kBool) // true is all ones: -1
    return single([to](KernelContext &c) { return at::cpu::neg(c.in(0).to(to)); });
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
