// Complex numbers and Fourier transforms. PyTorch's FFT operators (`_fft_c2c`, `_fft_r2c`,
// `_fft_c2r`) become lumo.Fft (XLA's semantics: the innermost 1 to 3 dimensions, the inverse
// transforms divided by n): the transformed dimensions are transposed innermost around it, more
// than three of them are transformed a group at a time (the transform is separable), and PyTorch's
// normalisation is a multiplication of the result by a real constant.
#include "TorchToLumo.h"

#include <cmath>

namespace torch_lumo {
namespace {

Type partType(Type complex) { return complex.cast<ComplexType>().getElementType(); }

/// lumo.Fft of `type` over `dims` of x (distinct, non-negative), in that order: moved innermost,
/// transformed, moved back. `last` is the signal length of the last dimension for IRFFT.
Value fftOver(Emitter &e, Value x, ArrayRef<int64_t> dims, StringRef type, int64_t last = 0) {
  int64_t rank = rankOf(x);
  Shape perm;
  for (int64_t d = 0; d < rank; ++d)
    if (!llvm::is_contained(dims, d)) perm.push_back(d);
  perm.append(dims.begin(), dims.end());
  bool identity = llvm::equal(perm, dimRange(0, rank));
  Value inner = identity ? x : e.transpose(x, perm);
  Shape shape(shapeOf(inner)), length(shape.end() - dims.size(), shape.end());
  Type elem = elemOf(x);
  if (type == "RFFT") {
    shape.back() = shape.back() / 2 + 1;
    elem = ComplexType::get(elem);
  } else if (type == "IRFFT") {
    length.back() = shape.back() = last;
    elem = partType(elem);
  }
  Value y = e.op("lumo.Fft", inner, tensorOf(shape, elem),
                 {e.str("fft_type", type), e.ints("fft_length", length)});
  return identity ? y : e.transpose(y, inversePermutation(perm));
}

/// The groups of at most three dimensions that lumo.Fft transforms at once, the last dimension
/// of `dims` in the last group.
llvm::SmallVector<Shape> groups(ArrayRef<int64_t> dims) {
  llvm::SmallVector<Shape> out;
  for (int64_t end = dims.size(); end > 0; end -= 3)
    out.insert(out.begin(), Shape(dims.begin() + std::max<int64_t>(0, end - 3), dims.begin() + end));
  return out;
}

/// PyTorch's normalisation (0: none, 1: 1/sqrt(n), 2: 1/n) of a transform whose lumo form
/// divides by n (`inverse`) or not.
Value normalise(Emitter &e, Value y, int64_t mode, int64_t n, bool inverse) {
  if (mode < 0 || mode > 2) unsupported("unknown normalisation mode " + llvm::Twine(mode));
  double root = std::sqrt(static_cast<double>(n));
  double factor = inverse ? (mode == 0 ? n : mode == 1 ? root : 1.0)
                          : (mode == 0 ? 1.0 : mode == 1 ? 1.0 / root : 1.0 / n);
  return factor == 1.0 ? y : e.scale(y, factor);
}

/// The dimensions of a transform, distinct and non-negative.
Shape fftDims(TorchOp &t, unsigned at, Value x) {
  Shape dims = normDims(t.ints(at), rankOf(x));
  for (size_t i = 0; i < dims.size(); ++i)
    if (llvm::is_contained(ArrayRef<int64_t>(dims).take_front(i), dims[i]))
      unsupported("dimension " + llvm::Twine(dims[i]) + " is transformed twice");
  return dims;
}

int64_t sizeProduct(Value x, ArrayRef<int64_t> dims) {
  int64_t n = 1;
  for (int64_t d : dims) n *= shapeOf(x)[d];
  return n;
}

/// _fft_c2c(self, dim, normalization, forward)
Values fftC2c(TorchOp &t) {
  Value x = t.tensor(0);
  if (!isComplexType(elemOf(x))) unsupported("_fft_c2c needs a complex operand");
  Shape dims = fftDims(t, 1, x);
  bool forward = t.flag(3);
  Value y = x;
  for (const Shape &g : groups(dims)) y = fftOver(t.e, y, g, forward ? "FFT" : "IFFT");
  return {normalise(t.e, y, t.i64(2), sizeProduct(x, dims), !forward)};
}

/// _fft_r2c(self, dim, normalization, onesided)
Values fftR2c(TorchOp &t) {
  Value x = t.tensor(0);
  Type elem = elemOf(x);
  if (!elem.isF32() && !elem.isF64()) unsupported("_fft_r2c needs an f32 or f64 operand");
  Shape dims = fftDims(t, 1, x);
  if (dims.empty()) unsupported("_fft_r2c transforms at least one dimension");
  auto parts = groups(dims);
  Value y;
  if (t.flag(3)) {
    y = fftOver(t.e, x, parts.back(), "RFFT");
    parts.pop_back();
  } else {  // both halves: the transform of the data made complex
    y = t.e.cast(x, ComplexType::get(elem));
  }
  for (const Shape &g : parts) y = fftOver(t.e, y, g, "FFT");
  return {normalise(t.e, y, t.i64(2), sizeProduct(x, dims), false)};
}

/// _fft_c2r(self, dim, normalization, last_dim_size)
Values fftC2r(TorchOp &t) {
  Value x = t.tensor(0);
  if (!isComplexType(elemOf(x))) unsupported("_fft_c2r needs a complex operand");
  Shape dims = fftDims(t, 1, x);
  if (dims.empty()) unsupported("_fft_c2r transforms at least one dimension");
  int64_t last = t.i64(3);
  if (last < 1) unsupported("_fft_c2r needs a positive last_dim_size, got " + llvm::Twine(last));
  if (shapeOf(x)[dims.back()] != last / 2 + 1)
    unsupported("_fft_c2r of " + llvm::Twine(shapeOf(x)[dims.back()]) +
                " elements along its last dimension, where a signal of " + llvm::Twine(last) +
                " has " + llvm::Twine(last / 2 + 1));
  auto parts = groups(dims);
  Value y = x;
  for (size_t i = 0; i + 1 < parts.size(); ++i) y = fftOver(t.e, y, parts[i], "IFFT");
  y = fftOver(t.e, y, parts.back(), "IRFFT", last);
  int64_t n = sizeProduct(x, ArrayRef<int64_t>(dims).drop_back()) * last;
  return {normalise(t.e, y, t.i64(2), n, true)};
}

// ------------------------------------------------------------------ complex numbers

Value realPart(Emitter &e, Value z) {
  return e.op("lumo.Real", z, tensorOf(shapeOf(z), partType(elemOf(z))));
}
Value imagPart(Emitter &e, Value z) {
  return e.op("lumo.Imag", z, tensorOf(shapeOf(z), partType(elemOf(z))));
}
Value makeComplex(Emitter &e, Value re, Value im) {
  Type part = elemOf(re);
  if (!part.isF32() && !part.isF64()) unsupported("lumo has complex<f32> and complex<f64> only");
  Shape shape = broadcastShapes(shapeOf(re), shapeOf(im));
  return e.op("lumo.Complex", {re, im}, tensorOf(shape, ComplexType::get(part)));
}

/// view_as_real_copy(self): the parts along a new last dimension.
Values viewAsReal(TorchOp &t) {
  Value z = t.tensor(0);
  if (!isComplexType(elemOf(z))) unsupported("view_as_real needs a complex operand");
  Shape shape(shapeOf(z));
  shape.push_back(1);
  return {t.e.concat({t.e.reshape(realPart(t.e, z), shape), t.e.reshape(imagPart(t.e, z), shape)},
                     static_cast<int64_t>(shape.size()) - 1)};
}

/// view_as_complex_copy(self): pairs of the last dimension as complex numbers.
Values viewAsComplex(TorchOp &t) {
  Value x = t.tensor(0);
  if (rankOf(x) == 0 || shapeOf(x).back() != 2)
    unsupported("view_as_complex needs a last dimension of size 2");
  int64_t last = rankOf(x) - 1;
  Shape shape(shapeOf(x).drop_back());
  return {makeComplex(t.e, t.e.reshape(t.e.sliceDim(x, last, 0, 1), shape),
                      t.e.reshape(t.e.sliceDim(x, last, 1, 1), shape))};
}

/// _conj_copy(self), _conj_physical(self): complex conjugates; real values are their own.
Values conj(TorchOp &t) {
  Value z = t.tensor(0);
  if (!isComplexType(elemOf(z))) return {z};
  return {makeComplex(t.e, realPart(t.e, z), t.e.unary("neg", imagPart(t.e, z)))};
}

/// complex(real, imag)
Values complexOf(TorchOp &t) { return {makeComplex(t.e, t.tensor(0), t.tensor(1))}; }

/// polar(abs, angle) = abs cos(angle) + i abs sin(angle)
Values polar(TorchOp &t) {
  Value r = t.tensor(0), a = t.tensor(1);
  Value re = t.e.mul(r, t.e.unaryOp("lumo.Cos", a)), im = t.e.mul(r, t.e.unaryOp("lumo.Sin", a));
  return {makeComplex(t.e, re, im)};
}

/// angle of complex numbers: atan2(imag, real).
Value complexAngle(Emitter &e, Value z) { return e.binary("atan2", imagPart(e, z), realPart(e, z)); }

/// |z| of complex numbers.
Value complexAbs(Emitter &e, Value z) {
  Value re = realPart(e, z), im = imagPart(e, z);
  return e.unaryOp("lumo.Sqrt", e.add(e.mul(re, re), e.mul(im, im)));
}

/// sgn of complex numbers: z / |z|, 0 for 0.
Value complexSign(Emitter &e, Value z) {
  Value re = realPart(e, z), im = imagPart(e, z);
  Value norm = complexAbs(e, z);
  Value zero = e.scalar(elemOf(re), 0.0);
  Value isZero = e.compare(norm, zero, "EQ");
  return makeComplex(e, e.select(isZero, zero, e.div(re, norm)), e.select(isZero, zero, e.div(im, norm)));
}

}  // namespace

void addComplexPatterns(PatternTable &t) {
  // abs, sgn and angle keep their patterns (and family) for real numbers.
  for (auto [kind, fn] : std::initializer_list<std::pair<StringRef, Value (*)(Emitter &, Value)>>{
           {"aten.abs", complexAbs}, {"aten.sgn", complexSign}, {"aten.angle", complexAngle}}) {
    const PatternFn *real = t.lookup(kind);
    if (!real) continue;
    PatternFn prev = *real;
    StringRef family = t.familyOf(kind);
    t.add(kind, [prev, fn = fn](TorchOp &op) -> Values {
      if (isComplexType(op.tensorType(0).getElementType())) return {fn(op.e, op.tensor(0))};
      return prev(op);
    });
    t.families[kind] = family;
  }
  t.add("aten._fft_c2c", fftC2c);
  t.add("aten._fft_r2c", fftR2c);
  t.add("aten._fft_c2r", fftC2r);
  t.add("aten.view_as_real_copy", viewAsReal);
  t.add("aten.view_as_complex_copy", viewAsComplex);
  t.add({"aten._conj_copy", "aten._conj_physical"}, conj);
  t.add("aten.complex", complexOf);
  t.add("aten.polar", polar);
}

}  // namespace torch_lumo
