// Verifiers of the lumo operations: every rule that ties operands, attributes and results together
// beyond what the generated type constraints and traits check. Each failure is reported at the
// operation's location with a message naming the rule.
#include "lumo/LumoOps.h"

#include <algorithm>
#include <numeric>

#include "llvm/ADT/DenseMap.h"
#include "llvm/ADT/STLExtras.h"
#include "llvm/ADT/SmallBitVector.h"
#include "llvm/ADT/StringExtras.h"
#include "llvm/Support/MathExtras.h"
#include "llvm/Support/raw_ostream.h"
#include "mlir/IR/Builders.h"
#include "mlir/IR/BuiltinAttributes.h"
#include "mlir/IR/TypeUtilities.h"

using namespace mlir;

namespace lumo {

bool broadcastsTo(llvm::ArrayRef<int64_t> from, llvm::ArrayRef<int64_t> to) {
  if (from.size() > to.size())
    return false;
  size_t offset = to.size() - from.size();
  for (size_t i = 0; i < from.size(); ++i)
    if (from[i] != 1 && from[i] != to[offset + i])
      return false;
  return true;
}

LogicalResult OpTrait::verifyBroadcastsToResult(Operation *op) {
  auto result = op->getResult(0).getType().cast<ShapedType>();
  for (OpOperand &operand : op->getOpOperands()) {
    auto type = operand.get().getType().cast<ShapedType>();
    if (!broadcastsTo(type.getShape(), result.getShape()))
      return op->emitOpError("operand #") << operand.getOperandNumber() << " of type " << type
                                          << " does not broadcast to the result type " << result;
  }
  return success();
}

bool hasCountableElements(Type type) {
  auto shaped = type.dyn_cast<ShapedType>();
  if (!shaped || !shaped.hasStaticShape() || llvm::is_contained(shaped.getShape(), 0))
    return true;
  uint64_t n = 1;
  for (int64_t d : shaped.getShape()) {
    bool overflow = false;
    n = llvm::SaturatingMultiply(n, static_cast<uint64_t>(d), &overflow);
    if (overflow || n > static_cast<uint64_t>(INT64_MAX))
      return false;
  }
  return true;
}

namespace {

//===----------------------------------------------------------------------===//
// Helpers
//===----------------------------------------------------------------------===//

ShapedType typeOf(Value v) { return v.getType().cast<ShapedType>(); }
ArrayRef<int64_t> shapeOf(Value v) { return typeOf(v).getShape(); }
int64_t rankOf(Value v) { return typeOf(v).getRank(); }
Type elementOf(Value v) { return typeOf(v).getElementType(); }
bool isFloat(Type t) { return t.isa<FloatType>(); }
bool isBool(Type t) { return t.isInteger(1); }
bool isIntegerOrBool(Type t) { return t.isa<IntegerType>(); }

std::string str(ArrayRef<int64_t> values) {
  std::string s;
  llvm::raw_string_ostream os(s);
  os << '[';
  llvm::interleaveComma(values, os);
  os << ']';
  return os.str();
}

int64_t orDefault(std::optional<uint64_t> v, int64_t fallback) {
  return v ? static_cast<int64_t>(*v) : fallback;
}

// A dimension index in [-rank, rank) (or [0, rank) without negatives), made non-negative.
FailureOr<int64_t> dimension(Operation *op, StringRef what, int64_t dim, int64_t rank, bool negative = true) {
  if (dim >= rank || dim < (negative ? -rank : 0)) {
    op->emitOpError() << what << " " << dim << " is out of range for rank " << rank;
    return failure();
  }
  return dim < 0 ? dim + rank : dim;
}

// Distinct dimension indices, made non-negative.
FailureOr<SmallVector<int64_t>> dimensions(Operation *op, StringRef what, ArrayRef<int64_t> dims, int64_t rank,
                                           bool negative = true) {
  SmallVector<int64_t> out;
  llvm::SmallBitVector seen(rank);
  for (int64_t d : dims) {
    auto n = dimension(op, what, d, rank, negative);
    if (failed(n))
      return failure();
    if (seen[*n]) {
      op->emitOpError() << what << " " << str(dims) << " names dimension " << *n << " twice";
      return failure();
    }
    seen.set(*n);
    out.push_back(*n);
  }
  return out;
}

LogicalResult expectShape(Operation *op, StringRef what, Value v, ArrayRef<int64_t> expected, StringRef rule) {
  if (shapeOf(v) == expected)
    return success();
  return op->emitOpError() << what << " shape " << str(shapeOf(v)) << " must be " << str(expected) << " ("
                           << rule << ")";
}

LogicalResult expectScalar(Operation *op, StringRef what, Value v) {
  if (rankOf(v) == 0)
    return success();
  return op->emitOpError() << what << " must be 0-d, got " << v.getType();
}

LogicalResult expectLength(Operation *op, StringRef what, size_t length, size_t expected, StringRef per) {
  if (length == expected)
    return success();
  return op->emitOpError() << what << " has " << length << " entries, expected " << expected << " (" << per
                           << ")";
}

LogicalResult expectAtLeast(Operation *op, StringRef what, ArrayRef<int64_t> values, int64_t least) {
  for (int64_t v : values)
    if (v < least)
      return op->emitOpError() << what << " " << str(values) << " must be at least " << least;
  return success();
}

// The integer values of a tensor produced by lumo.Const, if it is one.
std::optional<SmallVector<int64_t>> constantInts(Value v) {
  auto c = v.getDefiningOp<ConstOp>();
  if (!c || c.getValue().getType() != c.getOutput().getType())
    return std::nullopt;
  auto dense = c.getValue().dyn_cast<DenseIntElementsAttr>();
  if (!dense)
    return std::nullopt;
  SmallVector<int64_t> out;
  for (const APInt &x : dense.getValues<APInt>())
    out.push_back(x.getSExtValue());
  return out;
}

// `shape` operands hold a result's shape: 1-D with one entry per result dimension, and, when
// constant, the result's shape itself.
LogicalResult verifyShapeOperand(Operation *op, StringRef what, Value shape, Value result) {
  if (rankOf(shape) != 1 || shapeOf(shape)[0] != rankOf(result))
    return op->emitOpError() << what << " must be 1-D with one entry per result dimension ("
                             << rankOf(result) << "), got " << shape.getType();
  if (auto values = constantInts(shape))
    return expectShape(op, "result", result, *values, Twine("the value of ").concat(what).str());
  return success();
}

// The channel dimension of a layout: 1 for channels-first, rank - 1 for channels-last.
FailureOr<int64_t> channelDim(Operation *op, std::optional<DataFormat> layout, int64_t rank) {
  if (rank < 2) {
    op->emitOpError() << "expects an input of rank 2 or more (N, C, spatial...), got rank " << rank;
    return failure();
  }
  if (!layout)
    return 1;
  StringRef format = stringifyDataFormat(*layout);
  if (static_cast<int64_t>(format.size()) != rank) {
    op->emitOpError() << "data_format \"" << format << "\" does not match the input's rank " << rank;
    return failure();
  }
  return format.back() == 'C' && format != "NC" ? rank - 1 : 1;
}

// The spatial dimensions of a shape in a layout with channel dimension `c`.
SmallVector<int64_t> spatialOf(ArrayRef<int64_t> shape, int64_t c) {
  SmallVector<int64_t> out;
  for (int64_t i = 1; i < static_cast<int64_t>(shape.size()); ++i)
    if (i != c)
      out.push_back(shape[i]);
  return out;
}

LogicalResult expectChannelVector(Operation *op, StringRef what, Value v, int64_t channels) {
  return expectShape(op, what, v, {channels}, "one value per channel");
}

// Shapes of the normalisation operations: channel vectors of the input's channel count.
FailureOr<int64_t> channelsOf(Operation *op, Value input, std::optional<DataFormat> format) {
  auto c = channelDim(op, format, rankOf(input));
  if (failed(c))
    return failure();
  return shapeOf(input)[*c];
}

//===----------------------------------------------------------------------===//
// TensorFlow's strided slice: the result shape of a slice specification.
//===----------------------------------------------------------------------===//

struct SliceSpec {
  ArrayRef<int64_t> begin, end, strides;
  int64_t beginMask, endMask, ellipsisMask, newAxisMask, shrinkMask;
};

FailureOr<SmallVector<int64_t>> stridedSliceShape(Operation *op, ArrayRef<int64_t> in, const SliceSpec &s) {
  int64_t length = s.begin.size(), rank = in.size();
  auto bit = [](int64_t mask, int64_t i) { return (mask >> i) & 1; };
  // Input dimensions consumed by the entries other than the ellipsis and new axes.
  int64_t consumed = 0;
  bool hasEllipsis = false;
  for (int64_t i = 0; i < length; ++i) {
    if (bit(s.ellipsisMask, i))
      hasEllipsis = true;
    else if (!bit(s.newAxisMask, i))
      ++consumed;
  }
  if (consumed > rank) {
    op->emitOpError() << "the slice specification addresses " << consumed << " dimensions of a rank-" << rank
                      << " input";
    return failure();
  }
  SmallVector<int64_t> out;
  int64_t d = 0;
  auto full = [&](int64_t count) {
    for (int64_t k = 0; k < count; ++k)
      out.push_back(in[d++]);
  };
  for (int64_t i = 0; i < length; ++i) {
    if (bit(s.ellipsisMask, i)) {
      full(rank - consumed);
      continue;
    }
    if (bit(s.newAxisMask, i)) {
      out.push_back(1);
      continue;
    }
    int64_t n = in[d++], stride = s.strides[i];
    if (stride == 0) {
      op->emitOpError() << "strides entry " << i << " is 0";
      return failure();
    }
    int64_t b = s.begin[i] < 0 ? s.begin[i] + n : s.begin[i];
    if (bit(s.shrinkMask, i)) {
      if (b < 0 || b >= n) {
        op->emitOpError() << "shrink_axis_mask entry " << i << " takes index " << s.begin[i]
                          << " of a dimension of size " << n;
        return failure();
      }
      continue;
    }
    int64_t e = s.end[i] < 0 ? s.end[i] + n : s.end[i];
    int64_t size;
    if (stride > 0) {
      b = bit(s.beginMask, i) ? 0 : std::clamp<int64_t>(b, 0, n);
      e = bit(s.endMask, i) ? n : std::clamp<int64_t>(e, 0, n);
      size = e > b ? (e - b + stride - 1) / stride : 0;
    } else {
      b = bit(s.beginMask, i) ? n - 1 : std::clamp<int64_t>(b, -1, n - 1);
      e = bit(s.endMask, i) ? -1 : std::clamp<int64_t>(e, -1, n - 1);
      size = b > e ? (b - e - stride - 1) / -stride : 0;
    }
    out.push_back(size);
  }
  if (!hasEllipsis)
    full(rank - d);
  return out;
}

// Checks the operands of a slice specification; returns its constant values, if all are constant.
FailureOr<std::optional<SliceSpec>> sliceSpec(Operation *op, Value begin, Value end, Value strides,
                                              SmallVectorImpl<int64_t> &storage, int64_t beginMask,
                                              int64_t endMask, int64_t ellipsisMask, int64_t newAxisMask,
                                              int64_t shrinkMask) {
  if (rankOf(begin) != 1 || shapeOf(begin) != shapeOf(end) || shapeOf(begin) != shapeOf(strides)) {
    op->emitOpError() << "begin, end and strides must be 1-D of one length, got " << begin.getType() << ", "
                      << end.getType() << ", " << strides.getType();
    return failure();
  }
  if (__builtin_popcountll(static_cast<uint64_t>(ellipsisMask)) > 1) {
    op->emitOpError() << "ellipsis_mask " << ellipsisMask << " has more than one bit set";
    return failure();
  }
  auto b = constantInts(begin), e = constantInts(end), s = constantInts(strides);
  if (!b || !e || !s)
    return std::optional<SliceSpec>();
  int64_t n = b->size();
  storage.append(*b);
  storage.append(*e);
  storage.append(*s);
  ArrayRef<int64_t> all(storage);
  return std::optional<SliceSpec>(SliceSpec{all.take_front(n), all.slice(n, n), all.take_back(n), beginMask,
                                            endMask, ellipsisMask, newAxisMask, shrinkMask});
}

// The output sizes a window of `k` (dilated by `d`, stride `s`, padding `p` on each side) allows over
// `in` elements: the floor and the ceil variants (PyTorch's ceil_mode drops a last window that would
// start in the right padding).
std::pair<int64_t, int64_t> pooledSizes(int64_t in, int64_t k, int64_t s, int64_t d, int64_t p) {
  int64_t span = in + 2 * p - d * (k - 1) - 1;
  if (span < 0)
    return {-1, -1};
  int64_t lo = span / s + 1, hi = (span + s - 1) / s + 1;
  if ((hi - 1) * s >= in + p)
    --hi;
  return {lo, hi};
}

} // namespace

//===----------------------------------------------------------------------===//
// Elementwise and simple operations
//===----------------------------------------------------------------------===//

/// Kinds whose ATen kernels exist for f32 and f64 only.
static bool needsSingleOrDouble(StringRef kind) {
  return kind == "erfcx" || kind == "log_ndtr" || kind == "ndtri" || kind == "zeta" || kind == "airy_ai" ||
         kind.contains("bessel") || kind.contains("_polynomial_");
}

LogicalResult UnaryOp::verify() {
  UnaryKind k = getKind();
  StringRef kind = stringifyUnaryKind(k);
  bool isTest = k == UnaryKind::Isnan || k == UnaryKind::Isinf || k == UnaryKind::Isneginf ||
                k == UnaryKind::Isposinf || k == UnaryKind::Isfinite || k == UnaryKind::Signbit;
  bool isFloatKind = (!isTest || k == UnaryKind::Signbit) && k != UnaryKind::Neg && k != UnaryKind::Not &&
                     k != UnaryKind::Round && k != UnaryKind::Trunc;
  Type in = elementOf(getX()), out = elementOf(getY());
  if (k == UnaryKind::FrexpExponent) {
    if (!out.isSignedInteger(32))
      return emitOpError() << "kind \"frexp_exponent\" gives an si32 result, got " << out;
  } else if (isTest ? !isBool(out) : out != in) {
    return emitOpError() << "kind \"" << kind << "\" gives " << (isTest ? "an i1" : "the operand's element type")
                         << " result, got " << out;
  }
  if (isFloatKind && !isFloat(in))
    return emitOpError() << "kind \"" << kind << "\" needs a floating-point operand, got " << in;
  if (needsSingleOrDouble(kind) && !in.isF32() && !in.isF64())
    return emitOpError() << "kind \"" << kind << "\" needs an f32 or f64 operand, got " << in;
  if (k == UnaryKind::Not && !isIntegerOrBool(in))
    return emitOpError() << "kind \"not\" needs an integer or i1 operand, got " << in;
  if (k == UnaryKind::Neg && isBool(in))
    return emitOpError() << "kind \"neg\" is not defined on i1";
  bool ordered = k == UnaryKind::Polygamma || k == UnaryKind::Mvlgamma;
  std::optional<uint64_t> order = getOrder();
  if (ordered && !order)
    return emitOpError() << "kind \"" << kind << "\" needs an order";
  if (!ordered && order)
    return emitOpError() << "kind \"" << kind << "\" takes no order";
  if (order && static_cast<int64_t>(*order) < (k == UnaryKind::Mvlgamma ? 1 : 0))
    return emitOpError() << "kind \"" << kind << "\" needs an order of at least "
                         << (k == UnaryKind::Mvlgamma ? 1 : 0) << ", got " << static_cast<int64_t>(*order);
  return success();
}

LogicalResult BinaryOp::verify() {
  StringRef kind = stringifyBinaryKind(getKind());
  Type t = elementOf(getX());
  bool isFloatKind = kind == "atan2" || kind == "xlog1py" || kind == "igamma" || kind == "igammac" ||
                     kind == "nextafter" || needsSingleOrDouble(kind);
  if (isFloatKind && !isFloat(t))
    return emitOpError() << "kind \"" << kind << "\" needs floating-point operands, got " << t;
  if (needsSingleOrDouble(kind) && !t.isF32() && !t.isF64())
    return emitOpError() << "kind \"" << kind << "\" needs f32 or f64 operands, got " << t;
  if (kind == "xor" && !isIntegerOrBool(t))
    return emitOpError() << "kind \"xor\" needs integer or i1 operands, got " << t;
  if ((kind == "shift_left" || kind == "shift_right" || kind == "gcd" || kind == "lcm") &&
      !(isIntegerOrBool(t) && !isBool(t)))
    return emitOpError() << "kind \"" << kind << "\" needs integer operands, got " << t;
  if ((kind == "remainder" || kind == "fmod" || kind == "floor_divide") && isBool(t))
    return emitOpError() << "kind \"" << kind << "\" is not defined on i1";
  return success();
}

LogicalResult SubOp::verify() {
  if (isBool(elementOf(getZ())))
    return emitOpError() << "is not defined on i1";
  return success();
}

static LogicalResult verifyExtension(Operation *op, Value x, Value y) {
  unsigned from = elementOf(x).getIntOrFloatBitWidth(), to = elementOf(y).getIntOrFloatBitWidth();
  if (to <= from)
    return op->emitOpError() << "extends to a wider integer type: " << elementOf(x) << " to " << elementOf(y)
                             << " is not wider";
  return success();
}
LogicalResult ExtSIOp::verify() { return verifyExtension(*this, getX(), getY()); }
LogicalResult ExtUIOp::verify() { return verifyExtension(*this, getX(), getY()); }

LogicalResult ConstOp::verify() {
  if (getValue().getType() != getOutput().getType())
    return emitOpError() << "value type " << getValue().getType() << " must equal the result type "
                         << getOutput().getType();
  return success();
}

LogicalResult GradientDescentOp::verify() { return expectScalar(*this, "lr", getLr()); }

LogicalResult AdamOp::verify() {
  for (auto [name, v] : {std::pair<StringRef, Value>{"beta1_power", getBeta1Power()},
                         {"beta2_power", getBeta2Power()},
                         {"lr", getLr()},
                         {"weight_decay", getWeightDecay()}}) {
    if (failed(expectScalar(*this, name, v)))
      return failure();
    if (elementOf(v) != elementOf(getVar()))
      return emitOpError() << name << " must have the element type of var, " << elementOf(getVar());
  }
  return success();
}

LogicalResult ArangeOp::verify() {
  for (auto [name, v] :
       {std::pair<StringRef, Value>{"start", getStart()}, {"end", getEnd()}, {"step", getStep()}})
    if (failed(expectScalar(*this, name, v)))
      return failure();
  return dimension(*this, "dim", orDefault(getDim(), 0), rankOf(getOutput()));
}

LogicalResult MatrixBandPartOp::verify() {
  if (rankOf(getInput()) < 2)
    return emitOpError() << "input must have rank 2 or more, got " << getInput().getType();
  if (failed(expectScalar(*this, "num_lower", getNumLower())))
    return failure();
  return expectScalar(*this, "num_upper", getNumUpper());
}

//===----------------------------------------------------------------------===//
// Shape operations
//===----------------------------------------------------------------------===//

LogicalResult ReshapeOp::verify() {
  if (typeOf(getInput()).getNumElements() != typeOf(getResult()).getNumElements())
    return emitOpError() << "keeps the number of elements: " << getInput().getType() << " cannot become "
                         << getResult().getType();
  return success();
}

LogicalResult TransposeOp::verify() {
  int64_t rank = rankOf(getX());
  if (rankOf(getPerm()) != 1 || shapeOf(getPerm())[0] != rank)
    return emitOpError() << "perm must be 1-D with one entry per dimension (" << rank << "), got "
                         << getPerm().getType();
  if (rankOf(getY()) != rank)
    return emitOpError() << "keeps the rank: " << getX().getType() << " cannot become " << getY().getType();
  auto perm = constantInts(getPerm());
  if (!perm)
    return success();
  auto dims = dimensions(*this, "perm", *perm, rank, /*negative=*/false);
  if (failed(dims))
    return failure();
  SmallVector<int64_t> expected;
  for (int64_t p : *dims)
    expected.push_back(shapeOf(getX())[p]);
  return expectShape(*this, "result", getY(), expected, "input dimensions in perm's order");
}

LogicalResult BroadcastInDimOp::verify() {
  ArrayRef<int64_t> dims = getBroadcastDimensions(), in = shapeOf(getOperand()), out = shapeOf(getOutput());
  if (failed(expectLength(*this, "broadcast_dimensions", dims.size(), in.size(), "one per operand dimension")))
    return failure();
  if (failed(dimensions(*this, "broadcast_dimensions", dims, out.size(), /*negative=*/false)))
    return failure();
  for (size_t i = 0; i < dims.size(); ++i)
    if (in[i] != 1 && in[i] != out[dims[i]])
      return emitOpError() << "operand dimension " << i << " of size " << in[i]
                           << " must be 1 or equal result dimension " << dims[i] << " of size " << out[dims[i]];
  return success();
}

LogicalResult ConcatOp::verify() {
  if (getValues().empty())
    return emitOpError() << "needs at least one operand";
  int64_t rank = rankOf(getOutput());
  auto axis = dimension(*this, "axis", orDefault(getAxis(), 0), rank);
  if (failed(axis))
    return failure();
  int64_t total = 0;
  for (size_t i = 0; i < getValues().size(); ++i) {
    Value v = getValues()[i];
    if (rankOf(v) != rank)
      return emitOpError() << "operand #" << i << " has rank " << rankOf(v) << ", the result " << rank;
    for (int64_t d = 0; d < rank; ++d)
      if (d != *axis && shapeOf(v)[d] != shapeOf(getOutput())[d])
        return emitOpError() << "operand #" << i << " of type " << v.getType()
                             << " differs from the result outside axis " << *axis;
    total += shapeOf(v)[*axis];
  }
  if (total != shapeOf(getOutput())[*axis])
    return emitOpError() << "result size " << shapeOf(getOutput())[*axis] << " along axis " << *axis
                         << " must be the operands' total " << total;
  return success();
}

LogicalResult SplitOp::verify() {
  ArrayRef<int64_t> sizes = getSplitSizes();
  auto results = getResult();
  if (failed(expectLength(*this, "split_sizes", sizes.size(), results.size(), "one per result")))
    return failure();
  if (failed(expectAtLeast(*this, "split_sizes", sizes, 0)))
    return failure();
  auto axis = dimension(*this, "axis", getAxis(), rankOf(getInput()));
  if (failed(axis))
    return failure();
  int64_t total = std::accumulate(sizes.begin(), sizes.end(), int64_t(0));
  if (total != shapeOf(getInput())[*axis])
    return emitOpError() << "split_sizes " << str(sizes) << " must add up to the input's size "
                         << shapeOf(getInput())[*axis] << " along axis " << *axis;
  for (size_t i = 0; i < results.size(); ++i) {
    SmallVector<int64_t> expected(shapeOf(getInput()));
    expected[*axis] = sizes[i];
    if (failed(expectShape(*this, ("result #" + Twine(i)).str(), results[i], expected, "split_sizes along axis")))
      return failure();
  }
  return success();
}

LogicalResult RepeatOp::verify() {
  ArrayRef<int64_t> repeats = getRepeats(), in = shapeOf(getInput());
  if (repeats.size() < in.size())
    return emitOpError() << "repeats " << str(repeats) << " needs at least one entry per input dimension ("
                         << in.size() << ")";
  if (failed(expectAtLeast(*this, "repeats", repeats, 0)))
    return failure();
  SmallVector<int64_t> expected(repeats);
  size_t lead = repeats.size() - in.size();
  for (size_t i = 0; i < in.size(); ++i)
    expected[lead + i] *= in[i];
  return expectShape(*this, "result", getResult(), expected, "input shape times repeats");
}

LogicalResult AsStridedOp::verify() {
  ArrayRef<int64_t> size = getSize(), stride = getStride();
  if (failed(expectShape(*this, "result", getOutput(), size, "size")))
    return failure();
  if (failed(expectLength(*this, "stride", stride.size(), size.size(), "one per entry of size")))
    return failure();
  if (failed(expectAtLeast(*this, "stride", stride, 0)))
    return failure();
  int64_t offset = orDefault(getStorageOffset(), 0);
  if (offset < 0)
    return emitOpError() << "storage_offset " << offset << " must be at least 0";
  if (typeOf(getOutput()).getNumElements() == 0)
    return success();
  int64_t last = offset;
  for (size_t i = 0; i < size.size(); ++i)
    last += (size[i] - 1) * stride[i];
  if (last >= typeOf(getInput()).getNumElements())
    return emitOpError() << "reads element " << last << " of an input of " << typeOf(getInput()).getNumElements()
                         << " elements";
  return success();
}

LogicalResult PadOp::verify() {
  ArrayRef<int64_t> low = getEdgePaddingLow(), high = getEdgePaddingHigh(), interior = getInteriorPadding();
  ArrayRef<int64_t> in = shapeOf(getOperand());
  for (auto [name, values] : {std::pair<StringRef, ArrayRef<int64_t>>{"edge_padding_low", low},
                              {"edge_padding_high", high},
                              {"interior_padding", interior}})
    if (failed(expectLength(*this, name, values.size(), in.size(), "one per dimension")))
      return failure();
  if (failed(expectAtLeast(*this, "interior_padding", interior, 0)))
    return failure();
  SmallVector<int64_t> expected;
  for (size_t d = 0; d < in.size(); ++d) {
    int64_t size = low[d] + high[d] + in[d] + std::max<int64_t>(in[d] - 1, 0) * interior[d];
    if (size < 0)
      return emitOpError() << "crops dimension " << d << " below zero elements";
    expected.push_back(size);
  }
  if (failed(expectShape(*this, "result", getOutput(), expected, "low + high + size + interior padding")))
    return failure();
  PaddingMode paddingMode = getPaddingMode().value_or(PaddingMode::Constant);
  StringRef mode = stringifyPaddingMode(paddingMode);
  if (auto c = getConstantValues()) {
    auto type = c->getType().cast<ShapedType>();
    if (type.getRank() != 0 || type.getElementType() != elementOf(getOperand()))
      return emitOpError() << "constant_values must be 0-d of the operand's element type, got " << type;
  }
  if (paddingMode == PaddingMode::Constant)
    return success();
  for (size_t d = 0; d < in.size(); ++d) {
    if (low[d] < 0 || high[d] < 0 || interior[d] != 0)
      return emitOpError() << "padding_mode \"" << mode
                           << "\" needs non-negative edge padding and no interior padding";
    int64_t limit = paddingMode == PaddingMode::Reflect ? in[d] : (in[d] > 0 ? INT64_MAX : 0);
    if ((low[d] > 0 || high[d] > 0) && (low[d] >= limit || high[d] >= limit))
      return emitOpError() << "padding_mode \"" << mode << "\" pads dimension " << d << " of size " << in[d]
                           << (paddingMode == PaddingMode::Reflect ? " by as much as its size or more" : " which is empty");
  }
  return success();
}

LogicalResult SliceOp::verify() {
  int64_t rank = rankOf(getInput());
  for (auto [name, v] : {std::pair<StringRef, Value>{"begin", getBegin()}, {"size", getSize()}})
    if (rankOf(v) != 1 || shapeOf(v)[0] != rank)
      return emitOpError() << name << " must be 1-D with one entry per dimension (" << rank << "), got "
                           << v.getType();
  if (rankOf(getOutput()) != rank)
    return emitOpError() << "keeps the rank: " << getInput().getType() << " cannot become "
                         << getOutput().getType();
  for (int64_t d = 0; d < rank; ++d)
    if (shapeOf(getOutput())[d] > shapeOf(getInput())[d])
      return emitOpError() << "result " << getOutput().getType() << " is larger than the input "
                           << getInput().getType();
  if (auto size = constantInts(getSize()))
    return expectShape(*this, "result", getOutput(), *size, "the value of size");
  return success();
}

LogicalResult DynamicUpdateSliceOp::verify() {
  int64_t rank = rankOf(getOperand());
  if (rankOf(getUpdate()) != rank)
    return emitOpError() << "update must have the operand's rank " << rank << ", got " << getUpdate().getType();
  for (int64_t d = 0; d < rank; ++d)
    if (shapeOf(getUpdate())[d] > shapeOf(getOperand())[d])
      return emitOpError() << "update " << getUpdate().getType() << " is larger than the operand "
                           << getOperand().getType();
  if (failed(expectLength(*this, "start_indices", getStartIndices().size(), rank, "one per dimension")))
    return failure();
  for (Value v : getStartIndices())
    if (failed(expectScalar(*this, "every start index", v)))
      return failure();
  return success();
}

static LogicalResult verifyStridedSlice(Operation *op, ArrayRef<int64_t> in, Value begin, Value end,
                                        Value strides, Value out, int64_t beginMask, int64_t endMask,
                                        int64_t ellipsisMask, int64_t newAxisMask, int64_t shrinkMask) {
  SmallVector<int64_t> storage;
  auto spec = sliceSpec(op, begin, end, strides, storage, beginMask, endMask, ellipsisMask, newAxisMask,
                        shrinkMask);
  if (failed(spec))
    return failure();
  if (!*spec)
    return success();
  auto shape = stridedSliceShape(op, in, **spec);
  if (failed(shape))
    return failure();
  return expectShape(op, "sliced", out, *shape, "the slice specification");
}

LogicalResult StridedSliceOp::verify() {
  return verifyStridedSlice(*this, shapeOf(getInput()), getBegin(), getEnd(), getStrides(), getOutput(),
                            orDefault(getBeginMask(), 0), orDefault(getEndMask(), 0),
                            orDefault(getEllipsisMask(), 0), orDefault(getNewAxisMask(), 0),
                            orDefault(getShrinkAxisMask(), 0));
}

LogicalResult StridedSliceGradOp::verify() {
  if (failed(verifyShapeOperand(*this, "shape", getShape(), getOutput())))
    return failure();
  return verifyStridedSlice(*this, shapeOf(getOutput()), getBegin(), getEnd(), getStrides(), getDy(),
                            orDefault(getBeginMask(), 0), orDefault(getEndMask(), 0),
                            orDefault(getEllipsisMask(), 0), orDefault(getNewAxisMask(), 0),
                            orDefault(getShrinkAxisMask(), 0));
}

LogicalResult StripPaddingOp::verify() {
  if (rankOf(getResult()) != rankOf(getInput()))
    return emitOpError() << "keeps the rank: " << getInput().getType() << " cannot become "
                         << getResult().getType();
  return dimension(*this, "axis", getAxis(), rankOf(getInput()));
}

LogicalResult RestorePaddingOp::verify() {
  if (rankOf(getResult()) != rankOf(getInput()))
    return emitOpError() << "keeps the rank: " << getInput().getType() << " cannot become "
                         << getResult().getType();
  if (auto v = getPadValue()) {
    auto type = v->getType().cast<ShapedType>();
    if (type.getRank() != 0 || type.getElementType() != elementOf(getInput()))
      return emitOpError() << "pad_value must be 0-d of the input's element type, got " << type;
  }
  return dimension(*this, "axis", getAxis(), rankOf(getInput()));
}

LogicalResult NonZeroOp::verify() {
  auto type = typeOf(getIndex());
  if (type.getRank() != 2 || type.getDimSize(1) != rankOf(getInput()) || !type.getElementType().isSignedInteger(64))
    return emitOpError() << "result must be [count, " << rankOf(getInput()) << "] of si64, got " << type;
  return success();
}

//===----------------------------------------------------------------------===//
// Bias, reductions, scans
//===----------------------------------------------------------------------===//

LogicalResult BiasAddOp::verify() {
  auto dim = dimension(*this, "dim", static_cast<int64_t>(getDim()), rankOf(getValue()));
  if (failed(dim))
    return failure();
  return expectShape(*this, "bias", getBias(), {shapeOf(getValue())[*dim]}, "one value along dim");
}

LogicalResult BiasAddGradOp::verify() {
  auto dim = dimension(*this, "dim", static_cast<int64_t>(getDim()), rankOf(getOutBackprop()));
  if (failed(dim))
    return failure();
  return expectShape(*this, "result", getOutput(), {shapeOf(getOutBackprop())[*dim]}, "one value along dim");
}

// The shape left by reducing `dims` of `in`: removed, or kept with size 1.
static SmallVector<int64_t> reducedShape(ArrayRef<int64_t> in, ArrayRef<int64_t> dims, bool keep) {
  SmallVector<int64_t> out;
  for (int64_t d = 0; d < static_cast<int64_t>(in.size()); ++d) {
    if (!llvm::is_contained(dims, d))
      out.push_back(in[d]);
    else if (keep)
      out.push_back(1);
  }
  return out;
}

LogicalResult ReduceOp::verify() {
  ReduceKind k = getReduceKind();
  StringRef kind = stringifyReduceKind(k);
  auto dims = dimensions(*this, "dimensions", getDimensions(), rankOf(getInput()));
  if (failed(dims))
    return failure();
  bool keep = getKeepDims();
  bool arg = k == ReduceKind::Argmax || k == ReduceKind::Argmin;
  bool logical = k == ReduceKind::And || k == ReduceKind::Or;
  if (arg && dims->size() != 1)
    return emitOpError() << "reduce_kind \"" << kind << "\" takes exactly one dimension, got "
                         << str(getDimensions());
  if (failed(expectShape(*this, "result", getOutput(), reducedShape(shapeOf(getInput()), *dims, keep),
                         keep ? "reduced dimensions kept with size 1" : "reduced dimensions removed")))
    return failure();
  Type in = elementOf(getInput()), out = elementOf(getOutput());
  if (arg && !out.isSignedInteger(64))
    return emitOpError() << "reduce_kind \"" << kind << "\" gives si64 indices, got " << out;
  if (logical && !isBool(out))
    return emitOpError() << "reduce_kind \"" << kind << "\" gives an i1 result, got " << out;
  if (!arg && !logical && out != in)
    return emitOpError() << "reduce_kind \"" << kind << "\" keeps the element type " << in << ", got " << out;
  if (k == ReduceKind::Mean && !isFloat(in))
    return emitOpError() << "reduce_kind \"mean\" needs a floating-point input, got " << in;
  return success();
}

LogicalResult L2NormOp::verify() {
  int64_t rank = rankOf(getInput());
  auto dims = dimensions(*this, "dims", getDims(), rank);
  if (failed(dims))
    return failure();
  if (dims->empty())
    for (int64_t d = 0; d < rank; ++d)
      dims->push_back(d);
  bool keep = getKeepdim().value_or(false);
  return expectShape(*this, "result", getResult(), reducedShape(shapeOf(getInput()), *dims, keep),
                     keep ? "reduced dimensions kept with size 1" : "reduced dimensions removed");
}

LogicalResult CumSumOp::verify() {
  return dimension(*this, "axis", orDefault(getAxis(), 0), rankOf(getInput()));
}
LogicalResult CumProdOp::verify() {
  return dimension(*this, "axis", orDefault(getAxis(), 0), rankOf(getInput()));
}
LogicalResult CumLogSumExpOp::verify() {
  return dimension(*this, "axis", orDefault(getAxis(), 0), rankOf(getInput()));
}

LogicalResult TopKOp::verify() {
  auto dim = dimension(*this, "dimension", static_cast<int64_t>(getDimension()), rankOf(getInput()));
  if (failed(dim))
    return failure();
  int64_t k = static_cast<int64_t>(getK()), size = shapeOf(getInput())[*dim];
  if (k < 0 || k > size)
    return emitOpError() << "k " << k << " must lie in [0, " << size << "]";
  SmallVector<int64_t> expected(shapeOf(getInput()));
  expected[*dim] = k;
  if (failed(expectShape(*this, "topKValues", getTopKValues(), expected, "k along dimension")) ||
      failed(expectShape(*this, "topKIndices", getTopKIndices(), expected, "k along dimension")))
    return failure();
  if (!elementOf(getTopKIndices()).isSignedInteger(64))
    return emitOpError() << "topKIndices must be si64, got " << elementOf(getTopKIndices());
  if (getStable().value_or(false) && !getSorted().value_or(true))
    return emitOpError() << "stable needs sorted";
  return success();
}

LogicalResult MaskFromTopKOp::verify() {
  if (failed(expectScalar(*this, "k", getK())))
    return failure();
  Type out = elementOf(getOutput());
  if (out != elementOf(getInput()) && !isBool(out))
    return emitOpError() << "result element type must be the input's or i1, got " << out;
  return dimension(*this, "dimension", static_cast<int64_t>(getDimension()), rankOf(getInput()));
}

//===----------------------------------------------------------------------===//
// Contractions
//===----------------------------------------------------------------------===//

LogicalResult MatMulOp::verify() {
  ArrayRef<int64_t> a = shapeOf(getA()), b = shapeOf(getB());
  if (a.size() < 2 || b.size() < 2)
    return emitOpError() << "operands must have rank 2 or more, got " << getA().getType() << " and "
                         << getB().getType();
  int64_t m = a[a.size() - 2], ka = a.back(), kb = b[b.size() - 2], n = b.back();
  if (getTransposeA())
    std::swap(m, ka);
  if (getTransposeB())
    std::swap(kb, n);
  if (ka != kb)
    return emitOpError() << "contracting sizes differ: " << ka << " (a) and " << kb << " (b)";
  ArrayRef<int64_t> ba = a.drop_back(2), bb = b.drop_back(2);
  SmallVector<int64_t> batch(std::max(ba.size(), bb.size()), 1);
  for (size_t i = 0; i < batch.size(); ++i) {
    int64_t x = i < batch.size() - ba.size() ? 1 : ba[i - (batch.size() - ba.size())];
    int64_t y = i < batch.size() - bb.size() ? 1 : bb[i - (batch.size() - bb.size())];
    if (x != y && x != 1 && y != 1)
      return emitOpError() << "batch dimensions " << str(ba) << " and " << str(bb) << " do not broadcast";
    batch[i] = x == 1 ? y : x;
  }
  batch.push_back(m);
  batch.push_back(n);
  return expectShape(*this, "result", getProduct(), batch, "broadcast batch dimensions, then M and N");
}

LogicalResult DotGeneralOp::verify() {
  ArrayRef<int64_t> lb = getLhsBatchingDimensions(), rb = getRhsBatchingDimensions();
  ArrayRef<int64_t> lc = getLhsContractingDimensions(), rc = getRhsContractingDimensions();
  ArrayRef<int64_t> l = shapeOf(getLhs()), r = shapeOf(getRhs());
  if (lb.size() != rb.size())
    return emitOpError() << "batching dimension lists " << str(lb) << " and " << str(rb) << " differ in length";
  if (lc.size() != rc.size())
    return emitOpError() << "contracting dimension lists " << str(lc) << " and " << str(rc)
                         << " differ in length";
  SmallVector<int64_t> lhsDims(lb), rhsDims(rb);
  lhsDims.append(lc.begin(), lc.end());
  rhsDims.append(rc.begin(), rc.end());
  if (failed(dimensions(*this, "lhs batching and contracting dimensions", lhsDims, l.size(), false)) ||
      failed(dimensions(*this, "rhs batching and contracting dimensions", rhsDims, r.size(), false)))
    return failure();
  for (size_t i = 0; i < lhsDims.size(); ++i)
    if (l[lhsDims[i]] != r[rhsDims[i]])
      return emitOpError() << (i < lb.size() ? "batching" : "contracting") << " dimensions " << lhsDims[i]
                           << " (lhs, size " << l[lhsDims[i]] << ") and " << rhsDims[i] << " (rhs, size "
                           << r[rhsDims[i]] << ") differ in size";
  SmallVector<int64_t> expected;
  for (int64_t d : lb)
    expected.push_back(l[d]);
  for (int64_t d = 0; d < static_cast<int64_t>(l.size()); ++d)
    if (!llvm::is_contained(lhsDims, d))
      expected.push_back(l[d]);
  for (int64_t d = 0; d < static_cast<int64_t>(r.size()); ++d)
    if (!llvm::is_contained(rhsDims, d))
      expected.push_back(r[d]);
  return expectShape(*this, "result", getProduct(), expected, "batch, then lhs free, then rhs free dimensions");
}

//===----------------------------------------------------------------------===//
// Gather and scatter
//===----------------------------------------------------------------------===//

LogicalResult GatherOp::verify() {
  ArrayRef<int64_t> in = shapeOf(getInput()), idx = shapeOf(getGatherIndices());
  auto axis = dimension(*this, "axis", orDefault(getAxis(), 0), in.size());
  if (failed(axis))
    return failure();
  int64_t batch = orDefault(getBatchDims(), 0);
  if (batch < 0)
    batch += idx.size();
  if (batch < 0 || batch > static_cast<int64_t>(idx.size()) || batch > *axis)
    return emitOpError() << "batch_dims " << orDefault(getBatchDims(), 0)
                         << " must lie in [0, min(axis, rank of gather_indices)]";
  if (in.take_front(batch) != idx.take_front(batch))
    return emitOpError() << "the first " << batch << " dimensions of gather_indices " << str(idx)
                         << " must equal those of input " << str(in);
  SmallVector<int64_t> expected(in.take_front(*axis));
  expected.append(idx.begin() + batch, idx.end());
  expected.append(in.begin() + *axis + 1, in.end());
  return expectShape(*this, "result", getOutput(), expected,
                     "input[:axis] + gather_indices[batch_dims:] + input[axis+1:]");
}

LogicalResult GatherNdOp::verify() {
  ArrayRef<int64_t> in = shapeOf(getInput()), idx = shapeOf(getIndices());
  if (idx.empty())
    return emitOpError() << "indices must have rank 1 or more";
  int64_t batch = orDefault(getStartDim(), 0), k = idx.back();
  if (batch < 0 || batch >= static_cast<int64_t>(idx.size()) || batch > static_cast<int64_t>(in.size()))
    return emitOpError() << "start_dim " << batch << " must lie in [0, rank of indices - 1]";
  if (batch + k > static_cast<int64_t>(in.size()))
    return emitOpError() << "index vectors of length " << k << " after " << batch
                         << " batch dimensions address more than the input's rank " << in.size();
  if (in.take_front(batch) != idx.take_front(batch))
    return emitOpError() << "the first " << batch << " dimensions of indices " << str(idx)
                         << " must equal those of input " << str(in);
  SmallVector<int64_t> expected(idx.drop_back());
  expected.append(in.begin() + batch + k, in.end());
  return expectShape(*this, "result", getOutput(), expected, "indices[:-1] + input[start_dim + K:]");
}

LogicalResult ScatterNdOp::verify() {
  if (failed(verifyShapeOperand(*this, "shape", getShape(), getOutput())))
    return failure();
  ArrayRef<int64_t> idx = shapeOf(getIndices()), out = shapeOf(getOutput());
  if (idx.empty())
    return emitOpError() << "indices must have rank 1 or more";
  int64_t k = idx.back();
  if (k > static_cast<int64_t>(out.size()))
    return emitOpError() << "index vectors of length " << k << " address more than the result's rank "
                         << out.size();
  SmallVector<int64_t> expected(idx.drop_back());
  expected.append(out.begin() + k, out.end());
  return expectShape(*this, "updates", getUpdates(), expected, "indices[:-1] + result[K:]");
}

LogicalResult ScatterOp::verify() {
  ArrayRef<int64_t> init = shapeOf(getInit()), idx = shapeOf(getIndices());
  if (idx.size() != init.size())
    return emitOpError() << "indices must have the rank of init " << init.size() << ", got "
                         << getIndices().getType();
  auto axis = dimension(*this, "axis", orDefault(getAxis(), 0), init.size());
  if (failed(axis))
    return failure();
  for (int64_t d = 0; d < static_cast<int64_t>(init.size()); ++d)
    if (d != *axis && idx[d] > init[d])
      return emitOpError() << "indices " << str(idx) << " exceed init " << str(init) << " in dimension " << d;
  return success();
}

LogicalResult OneHotOp::verify() {
  for (auto [name, v] : {std::pair<StringRef, Value>{"num_class", getNumClass()},
                         {"on_value", getOnValue()},
                         {"off_value", getOffValue()},
                         {"axis", getAxis()}})
    if (failed(expectScalar(*this, name, v)))
      return failure();
  ArrayRef<int64_t> idx = shapeOf(getIndices()), out = shapeOf(getOutput());
  if (out.size() != idx.size() + 1)
    return emitOpError() << "result must have one dimension more than indices " << str(idx) << ", got "
                         << str(out);
  auto axis = constantInts(getAxis());
  if (!axis)
    return emitOpError() << "axis must be produced by lumo.Const";
  int64_t a = (*axis)[0];
  if (a < -1 || a > static_cast<int64_t>(idx.size()))
    return emitOpError() << "axis " << a << " must lie in [-1, " << idx.size() << "]";
  int64_t at = a == -1 ? idx.size() : a;
  SmallVector<int64_t> expected(idx);
  expected.insert(expected.begin() + at, out[at]);
  if (failed(expectShape(*this, "result", getOutput(), expected, "indices with the classes inserted at axis")))
    return failure();
  if (auto depth = constantInts(getNumClass()); depth && (*depth)[0] != out[at])
    return emitOpError() << "num_class " << (*depth)[0] << " differs from the result's size " << out[at]
                         << " at axis";
  return success();
}

//===----------------------------------------------------------------------===//
// Softmax and cross entropy
//===----------------------------------------------------------------------===//

LogicalResult SoftmaxOp::verify() {
  return dimension(*this, "axis", orDefault(getAxis(), -1), rankOf(getLogits()));
}

static LogicalResult verifyCrossEntropy(Operation *op, Value features, std::optional<uint64_t> axisAttr,
                                        Value loss, Value labels) {
  auto axis = dimension(op, "axis", orDefault(axisAttr, -1), rankOf(features));
  if (failed(axis))
    return failure();
  SmallVector<int64_t> lines(shapeOf(features));
  lines.erase(lines.begin() + *axis);
  if (failed(expectShape(op, "loss", loss, lines, "features without axis")))
    return failure();
  return labels ? expectShape(op, "sparse_labels", labels, lines, "features without axis") : success();
}

LogicalResult SoftmaxCrossEntropyWithLogitsOp::verify() {
  return verifyCrossEntropy(*this, getFeatures(), getAxis(), getLoss(), Value());
}

LogicalResult SparseSoftmaxCrossEntropyWithLogitsOp::verify() {
  return verifyCrossEntropy(*this, getFeatures(), getAxis(), getLoss(), getSparseLabels());
}

//===----------------------------------------------------------------------===//
// Normalisations
//===----------------------------------------------------------------------===//

// LayerNorm's parameters have the shape of the input's trailing dimensions.
static LogicalResult verifyNormalizedShape(Operation *op, Value input, Value gamma) {
  ArrayRef<int64_t> in = shapeOf(input), g = shapeOf(gamma);
  if (g.size() > in.size() || in.take_back(g.size()) != g)
    return op->emitOpError() << "gamma and beta " << str(g) << " must equal the trailing dimensions of the input "
                             << str(in);
  return success();
}

LogicalResult LayerNormOp::verify() { return verifyNormalizedShape(*this, getInput(), getGamma()); }
LogicalResult LayerNormGradOp::verify() { return verifyNormalizedShape(*this, getInput(), getGamma()); }

LogicalResult FusedBatchNormOp::verify() {
  auto channels = channelsOf(*this, getX(), getDataFormat());
  if (failed(channels))
    return failure();
  return expectChannelVector(*this, "scale", getScale(), *channels);
}

LogicalResult FusedBatchNormGradOp::verify() {
  if (getIsTraining() == false)
    return emitOpError() << "is_training must be true: the inference gradient needs the running statistics";
  auto channels = channelsOf(*this, getX(), getDataFormat());
  if (failed(channels))
    return failure();
  return expectChannelVector(*this, "scale", getScale(), *channels);
}

static LogicalResult verifyGroups(Operation *op, int64_t channels, int64_t groups) {
  if (groups < 1 || channels % groups != 0)
    return op->emitOpError() << "num_groups " << groups << " must divide the " << channels << " channels";
  return success();
}

LogicalResult GroupNormOp::verify() {
  auto channels = channelsOf(*this, getInput(), getDataFormat());
  if (failed(channels) || failed(verifyGroups(*this, *channels, orDefault(getNumGroups(), 1))))
    return failure();
  return expectChannelVector(*this, "gamma", getGamma(), *channels);
}

LogicalResult GroupNormGradOp::verify() {
  auto channels = channelsOf(*this, getX(), getDataFormat());
  if (failed(channels) || failed(verifyGroups(*this, *channels, orDefault(getNumGroups(), 1))))
    return failure();
  return expectChannelVector(*this, "scale", getScale(), *channels);
}

//===----------------------------------------------------------------------===//
// Convolution and pooling
//===----------------------------------------------------------------------===//

// Per-spatial-dimension attribute: `count` entries, each at least `least`; absent means `fallback`.
static FailureOr<SmallVector<int64_t>> perSpatial(Operation *op, StringRef what,
                                                  std::optional<ArrayRef<int64_t>> values, size_t count,
                                                  int64_t least, int64_t fallback) {
  if (!values)
    return SmallVector<int64_t>(count, fallback);
  if (failed(expectLength(op, what, values->size(), count, "one per spatial dimension")) ||
      failed(expectAtLeast(op, what, *values, least)))
    return failure();
  return SmallVector<int64_t>(*values);
}

LogicalResult ConvolutionOp::verify() {
  Operation *op = *this;
  int64_t rank = rankOf(getInput());
  if (rank < 3)
    return emitOpError() << "input must have rank 3 or more (N, C, spatial...), got " << getInput().getType();
  if (rankOf(getKernel()) != rank || rankOf(getOutput()) != rank)
    return emitOpError() << "operands and result must have one rank, got " << getInput().getType() << ", "
                         << getKernel().getType() << " and " << getOutput().getType();
  size_t s = rank - 2;
  auto c = channelDim(op, getDataFormat(), rank);
  auto strides = perSpatial(op, "window_strides", getWindowStrides(), s, 1, 1);
  auto dilation = perSpatial(op, "kernel_dilation", getKernelDilation(), s, 1, 1);
  auto inputDilation = perSpatial(op, "input_dilation", getInputDilation(), s, 1, 1);
  if (failed(c) || failed(strides) || failed(dilation) || failed(inputDilation))
    return failure();
  if (llvm::any_of(*inputDilation, [](int64_t d) { return d != 1; }))
    return emitOpError() << "input_dilation must be 1 (write a strided transposed convolution with transposed)";
  SmallVector<int64_t> low(s, 0), high(s, 0);
  if (auto padding = getPadding()) {
    if (padding->size() != s && padding->size() != 2 * s)
      return emitOpError() << "padding has " << padding->size() << " entries, expected " << s << " or " << 2 * s
                           << " (one per spatial dimension, or low/high pairs)";
    if (failed(expectAtLeast(op, "padding", *padding, 0)))
      return failure();
    for (size_t i = 0; i < s; ++i) {
      low[i] = padding->size() == s ? (*padding)[i] : (*padding)[2 * i];
      high[i] = padding->size() == s ? (*padding)[i] : (*padding)[2 * i + 1];
    }
  }
  int64_t groups = orDefault(getFeatureGroupCount(), 1);
  if (groups < 1)
    return emitOpError() << "feature_group_count " << groups << " must be at least 1";
  if (orDefault(getBatchGroupCount(), 1) != 1)
    return emitOpError() << "batch_group_count must be 1";
  bool transposed = getTransposed().value_or(false), filterGradient = getFilterGradient().value_or(false);
  if (transposed && filterGradient)
    return emitOpError() << "transposed and filter_gradient cannot both be true";
  Type elem = elementOf(getInput());
  if (elem.isInteger(1))
    return emitOpError() << "cannot convolve i1 tensors";
  if (filterGradient && !elem.isa<FloatType>())
    return emitOpError() << "filter_gradient needs a floating-point element type, got " << elem;

  // Activations use the data format; kernels are always [O, I, k...].
  ArrayRef<int64_t> in = shapeOf(getInput()), second = shapeOf(getKernel()), out = shapeOf(getOutput());
  ArrayRef<int64_t> kernel = filterGradient ? out : second;
  ArrayRef<int64_t> activation = filterGradient ? second : out;
  int64_t n = in[0], cin = in[*c], cout = activation[*c];
  SmallVector<int64_t> inSp = spatialOf(in, *c), outSp = spatialOf(activation, *c);
  ArrayRef<int64_t> k = kernel.drop_front(2);
  if (activation[0] != n)
    return emitOpError() << "batch sizes differ: " << n << " and " << activation[0];
  auto groupsDivide = [&](int64_t channels, StringRef which) -> LogicalResult {
    if (channels % groups != 0)
      return emitOpError() << which << " channels " << channels << " are not divisible by feature_group_count "
                           << groups;
    return success();
  };
  if (failed(groupsDivide(cin, "input")) || failed(groupsDivide(cout, "output")))
    return failure();
  // Kernel channels: forward and filter gradient [O, C/G], transposed [C, O/G].
  int64_t k0 = transposed ? cin : cout, k1 = transposed ? cout / groups : cin / groups;
  if (kernel[0] != k0 || kernel[1] != k1)
    return emitOpError() << (filterGradient ? "result" : "kernel") << " " << str(kernel)
                         << " must have channels [" << k0 << ", " << k1 << ", ...] ("
                         << (transposed ? "[C, O / groups]" : "[O, C / groups]") << ")";
  for (size_t i = 0; i < s; ++i) {
    int64_t extent = (*dilation)[i] * (k[i] - 1) + 1;
    if (transposed) {
      int64_t base = (inSp[i] - 1) * (*strides)[i] - low[i] - high[i] + extent;
      int64_t extra = outSp[i] - base;
      if (extra < 0 || extra >= std::max((*strides)[i], (*dilation)[i]))
        return emitOpError() << "result spatial dimension " << i << " of size " << outSp[i] << " must lie in ["
                             << base << ", " << base + std::max((*strides)[i], (*dilation)[i]) - 1
                             << "] (transposed convolution)";
    } else {
      int64_t size = (inSp[i] + low[i] + high[i] - extent) / (*strides)[i] + 1;
      if (inSp[i] + low[i] + high[i] < extent)
        return emitOpError() << "the window of spatial dimension " << i << " (" << extent
                             << ") is larger than the padded input (" << inSp[i] + low[i] + high[i] << ")";
      if (outSp[i] != size)
        return emitOpError() << (filterGradient ? "dy" : "result") << " spatial dimension " << i << " of size "
                             << outSp[i] << " must be " << size
                             << " ((in + padding - dilation * (k - 1) - 1) / stride + 1)";
    }
  }
  return success();
}

LogicalResult PoolOp::verify() {
  Operation *op = *this;
  int64_t rank = rankOf(getInput());
  if (rank < 3)
    return emitOpError() << "input must have rank 3 or more (N, C, spatial...), got " << getInput().getType();
  size_t s = rank - 2;
  auto c = channelDim(op, getDataFormat(), rank);
  if (failed(c))
    return failure();
  bool average = getPoolType().value_or(PoolType::MAX) == PoolType::AVG;
  ArrayRef<int64_t> ksize = getKsize(), strides = getStrides(), dilation = getDilation(), padding = getPadding();
  if (failed(perSpatial(op, "ksize", ksize, s, 1, 1)) || failed(perSpatial(op, "strides", strides, s, 1, 1)) ||
      failed(perSpatial(op, "dilation", dilation, s, 1, 1)) || failed(perSpatial(op, "padding", padding, s, 0, 0)))
    return failure();
  if (average && llvm::any_of(dilation, [](int64_t d) { return d != 1; }))
    return emitOpError() << "pool_type \"AVG\" needs dilation 1";
  bool gradient = getGradient().value_or(false);
  Value forward = gradient ? getDelta() : getOutput();
  if (rankOf(forward) != rank)
    return emitOpError() << (gradient ? "delta" : "result") << " must have the input's rank " << rank;
  if (gradient) {
    if (getOutput().getType() != getInput().getType())
      return emitOpError() << "the input gradient must have the input's type " << getInput().getType();
    if (elementOf(getDelta()) != elementOf(getInput()))
      return emitOpError() << "delta must have the input's element type " << elementOf(getInput());
  }
  ArrayRef<int64_t> in = shapeOf(getInput()), fw = shapeOf(forward);
  if (fw[0] != in[0] || fw[*c] != in[*c])
    return emitOpError() << (gradient ? "delta " : "result ") << str(fw) << " must keep the input's N and C "
                         << str(in);
  SmallVector<int64_t> inSp = spatialOf(in, *c), fwSp = spatialOf(fw, *c);
  for (size_t i = 0; i < s; ++i) {
    int64_t window = !average ? dilation[i] * (ksize[i] - 1) + 1 : ksize[i];
    if (2 * padding[i] > window)
      return emitOpError() << "padding " << padding[i] << " of spatial dimension " << i
                           << " exceeds half the window (" << window << ")";
    auto [lo, hi] = pooledSizes(inSp[i], ksize[i], strides[i], dilation[i], padding[i]);
    if (fwSp[i] != lo && fwSp[i] != hi)
      return emitOpError() << (gradient ? "delta" : "result") << " spatial dimension " << i << " of size "
                           << fwSp[i] << " must be " << lo << (hi != lo ? " or " + std::to_string(hi) : "")
                           << " (pooled size, floor or ceil)";
  }
  return success();
}

//===----------------------------------------------------------------------===//
// Random operations
//===----------------------------------------------------------------------===//

LogicalResult RandomUniformOp::verify() {
  for (auto [name, v] : {std::pair<StringRef, Value>{"minval", getMinval()}, {"maxval", getMaxval()}})
    if (!broadcastsTo(shapeOf(v), shapeOf(getOutput())))
      return emitOpError() << name << " of type " << v.getType() << " does not broadcast to the result type "
                           << getOutput().getType();
  return verifyShapeOperand(*this, "shape", getShape(), getOutput());
}

LogicalResult RandomMultinomialOp::verify() {
  ArrayRef<int64_t> in = shapeOf(getInput());
  if (in.empty() || in.size() > 2)
    return emitOpError() << "input must be [K] or [R, K], got " << getInput().getType();
  int64_t samples = static_cast<int64_t>(getNumSamples());
  if (samples < 1)
    return emitOpError() << "num_samples " << samples << " must be at least 1";
  if (!getReplacement().value_or(false) && samples > in.back())
    return emitOpError() << "num_samples " << samples << " exceeds the " << in.back()
                         << " categories of a draw without replacement";
  SmallVector<int64_t> expected(in.drop_back());
  expected.push_back(samples);
  if (failed(expectShape(*this, "result", getResult(), expected, "num_samples per row")))
    return failure();
  if (!elementOf(getResult()).isSignedInteger(64))
    return emitOpError() << "result must be si64, got " << elementOf(getResult());
  return success();
}


//===----------------------------------------------------------------------===//
// Matrix factorisations and triangular solves
//===----------------------------------------------------------------------===//

namespace {

// `v` holds square matrices of f32 or f64 in its last two dimensions.
LogicalResult expectSquareMatrices(Operation *op, StringRef what, Value v) {
  ArrayRef<int64_t> s = shapeOf(v);
  if (s.size() < 2 || s[s.size() - 1] != s[s.size() - 2])
    return op->emitOpError() << what << " must hold square matrices [..., n, n], got " << v.getType();
  Type t = elementOf(v);
  if (!t.isF32() && !t.isF64())
    return op->emitOpError() << what << " must be f32 or f64, got " << t;
  return success();
}

} // namespace

LogicalResult CholeskyOp::verify() { return expectSquareMatrices(*this, "operand", getA()); }

LogicalResult LuOp::verify() {
  ArrayRef<int64_t> a = shapeOf(getA());
  if (a.size() < 2)
    return emitOpError() << "operand must hold matrices [..., m, n], got " << getA().getType();
  Type t = elementOf(getA());
  if (!t.isF32() && !t.isF64())
    return emitOpError() << "operand must be f32 or f64, got " << t;
  if (getLu().getType() != getA().getType())
    return emitOpError() << "lu must have the operand's type " << getA().getType() << ", got " << getLu().getType();
  int64_t m = a[a.size() - 2], n = a.back();
  SmallVector<int64_t> pivots(a.drop_back(2)), permutation(a.drop_back(2));
  pivots.push_back(std::min(m, n));
  permutation.push_back(m);
  if (failed(expectShape(*this, "pivots", getPivots(), pivots, "one entry per row of U")) ||
      failed(expectShape(*this, "permutation", getPermutation(), permutation, "one entry per row")))
    return failure();
  if (!elementOf(getPivots()).isSignedInteger(32) || !elementOf(getPermutation()).isSignedInteger(32))
    return emitOpError() << "pivots and permutation must be si32, got " << elementOf(getPivots()) << " and "
                         << elementOf(getPermutation());
  return success();
}

LogicalResult TriangularSolveOp::verify() {
  if (failed(expectSquareMatrices(*this, "a", getA())))
    return failure();
  ArrayRef<int64_t> a = shapeOf(getA()), b = shapeOf(getB());
  if (b.size() != a.size() || b.drop_back(2) != a.drop_back(2))
    return emitOpError() << "b must have the batch dimensions of a " << str(a.drop_back(2)) << ", got "
                         << getB().getType();
  int64_t m = a.back(), rows = b[b.size() - 2], cols = b.back();
  if ((getLeftSide() ? rows : cols) != m)
    return emitOpError() << "b's " << (getLeftSide() ? "rows" : "columns") << " (" << (getLeftSide() ? rows : cols)
                         << ") must match the order " << m << " of a";
  return success();
}

//===----------------------------------------------------------------------===//
// Singular value, QR and symmetric eigenvalue decompositions
//===----------------------------------------------------------------------===//

namespace {

// `v` holds matrices [..., m, n] of f32 or f64.
LogicalResult expectMatrices(Operation *op, Value v) {
  if (rankOf(v) < 2)
    return op->emitOpError() << "operand must hold matrices [..., m, n], got " << v.getType();
  Type t = elementOf(v);
  if (!t.isF32() && !t.isF64())
    return op->emitOpError() << "operand must be f32 or f64, got " << t;
  return success();
}

// Every result has the operand's element type.
LogicalResult expectOperandElement(Operation *op) {
  Type t = elementOf(op->getOperand(0));
  for (OpResult r : op->getResults())
    if (elementOf(r) != t)
      return op->emitOpError() << "result #" << r.getResultNumber() << " must have the operand's element type " << t
                               << ", got " << elementOf(r);
  return success();
}

// `shape`: the batch dimensions of `a` followed by `last`.
SmallVector<int64_t> batchedShape(ArrayRef<int64_t> a, ArrayRef<int64_t> last) {
  SmallVector<int64_t> shape(a.drop_back(2));
  shape.append(last.begin(), last.end());
  return shape;
}

} // namespace

LogicalResult SvdOp::verify() {
  if (failed(expectMatrices(*this, getA())) || failed(expectOperandElement(*this)))
    return failure();
  ArrayRef<int64_t> a = shapeOf(getA());
  int64_t m = a[a.size() - 2], n = a.back(), k = std::min(m, n);
  bool full = getFullMatrices().value_or(false);
  if (failed(expectShape(*this, "s", getS(), batchedShape(a, {k}), "min(m, n) values per matrix")))
    return failure();
  if (getValuesOnly().value_or(false))
    return failed(expectShape(*this, "u", getU(), {0}, "empty with values_only")) ||
                   failed(expectShape(*this, "vh", getVh(), {0}, "empty with values_only"))
               ? failure()
               : success();
  if (failed(expectShape(*this, "u", getU(), batchedShape(a, {m, full ? m : k}),
                         full ? "[..., m, m] with full_matrices" : "[..., m, min(m, n)]")) ||
      failed(expectShape(*this, "vh", getVh(), batchedShape(a, {full ? n : k, n}),
                         full ? "[..., n, n] with full_matrices" : "[..., min(m, n), n]")))
    return failure();
  return success();
}

LogicalResult QrOp::verify() {
  if (failed(expectMatrices(*this, getA())) || failed(expectOperandElement(*this)))
    return failure();
  ArrayRef<int64_t> a = shapeOf(getA());
  int64_t m = a[a.size() - 2], n = a.back(), k = std::min(m, n);
  bool complete = getMode() == QrMode::Complete;
  if (failed(expectShape(*this, "q", getQ(), batchedShape(a, {m, complete ? m : k}),
                         complete ? "[..., m, m] in complete mode" : "[..., m, min(m, n)] in reduced mode")) ||
      failed(expectShape(*this, "r", getR(), batchedShape(a, {complete ? m : k, n}),
                         complete ? "[..., m, n] in complete mode" : "[..., min(m, n), n] in reduced mode")))
    return failure();
  return success();
}

LogicalResult EighOp::verify() {
  if (failed(expectSquareMatrices(*this, "operand", getA())) || failed(expectOperandElement(*this)))
    return failure();
  ArrayRef<int64_t> a = shapeOf(getA());
  if (failed(expectShape(*this, "eigenvalues", getEigenvalues(), a.drop_back(), "n values per matrix")))
    return failure();
  if (getValuesOnly().value_or(false))
    return expectShape(*this, "eigenvectors", getEigenvectors(), {0}, "empty with values_only");
  return expectShape(*this, "eigenvectors", getEigenvectors(), a, "the operand's shape");
}

} // namespace lumo

#define GET_OP_CLASSES
#include "lumo/LumoOps.cpp.inc"

//===----------------------------------------------------------------------===//
// Complex numbers and Fft
//===----------------------------------------------------------------------===//

namespace lumo {

namespace {
// The element type of a part of a complex element type, or null.
Type partOf(Type t) {
  auto c = t.dyn_cast<ComplexType>();
  return c ? c.getElementType() : Type();
}
} // namespace

LogicalResult EigOp::verify() {
  if (failed(expectSquareMatrices(*this, "operand", getA())))
    return failure();
  Type expected = ComplexType::get(elementOf(getA()));
  for (OpResult r : getOperation()->getResults())
    if (elementOf(r) != expected)
      return emitOpError() << "result #" << r.getResultNumber() << " must be " << expected << ", got "
                           << elementOf(r);
  ArrayRef<int64_t> a = shapeOf(getA());
  if (failed(expectShape(*this, "eigenvalues", getEigenvalues(), a.drop_back(), "n values per matrix")))
    return failure();
  if (getValuesOnly().value_or(false))
    return expectShape(*this, "eigenvectors", getEigenvectors(), {0}, "empty with values_only");
  return expectShape(*this, "eigenvectors", getEigenvectors(), a, "the operand's shape");
}

LogicalResult FftOp::verify() {
  ArrayRef<int64_t> length = getFftLength();
  if (length.empty() || length.size() > 3)
    return emitOpError() << "fft_length must have 1 to 3 entries, got " << str(length);
  if (failed(expectAtLeast(*this, "fft_length", length, 1)))
    return failure();
  int64_t k = length.size();
  if (rankOf(getOperand()) < k)
    return emitOpError() << "operand of rank " << rankOf(getOperand()) << " has fewer dimensions than fft_length "
                         << str(length);
  Type in = elementOf(getOperand()), out = elementOf(getOutput());
  FftType kind = getFftType();
  bool fromReal = kind == FftType::RFFT, toReal = kind == FftType::IRFFT;
  if (fromReal ? !(in.isF32() || in.isF64()) : !(partOf(in) && (partOf(in).isF32() || partOf(in).isF64())))
    return emitOpError() << stringifyFftType(kind) << " needs " << (fromReal ? "an f32 or f64" : "a complex")
                         << " operand, got " << in;
  Type part = fromReal ? in : partOf(in);
  Type expected = toReal ? part : ComplexType::get(part);
  if (out != expected)
    return emitOpError() << stringifyFftType(kind) << " of " << in << " gives " << expected << ", not " << out;
  ArrayRef<int64_t> shape = shapeOf(getOperand());
  SmallVector<int64_t> inner(length), outShape(shape);
  if (toReal)
    inner.back() = length.back() / 2 + 1;
  SmallVector<int64_t> actual(shape.take_back(k));
  if (ArrayRef<int64_t>(actual) != ArrayRef<int64_t>(inner))
    return emitOpError() << "operand's innermost sizes " << str(actual) << " must be " << str(inner)
                         << (toReal ? " (fft_length, the last one n / 2 + 1)" : " (fft_length)");
  if (fromReal)
    outShape.back() = length.back() / 2 + 1;
  if (toReal)
    outShape.back() = length.back();
  return expectShape(*this, "output", getOutput(), outShape,
                     fromReal ? "the operand's, the last size n / 2 + 1"
                              : toReal ? "the operand's, the last size fft_length's" : "the operand's");
}

static LogicalResult verifyPart(Operation *op, Value x, Value y) {
  if (elementOf(y) != partOf(elementOf(x)))
    return op->emitOpError() << "result element type must be " << partOf(elementOf(x)) << ", the type of the parts of "
                              << elementOf(x) << ", got " << elementOf(y);
  return expectShape(op, "result", y, shapeOf(x), "the operand's");
}
LogicalResult RealOp::verify() { return verifyPart(*this, getX(), getY()); }
LogicalResult ImagOp::verify() { return verifyPart(*this, getX(), getY()); }

LogicalResult ComplexOp::verify() {
  Type part = elementOf(getReal());
  if (!part.isF32() && !part.isF64())
    return emitOpError() << "parts must be f32 or f64, got " << part;
  if (elementOf(getZ()) != ComplexType::get(part))
    return emitOpError() << "result element type must be " << ComplexType::get(part) << ", got " << elementOf(getZ());
  return success();
}

//===----------------------------------------------------------------------===//
// Collectives
//===----------------------------------------------------------------------===//

LogicalResult AllReduceOp::verify() {
  AllReduceKind kind = getKind();
  bool bitwise = kind == AllReduceKind::And || kind == AllReduceKind::Or || kind == AllReduceKind::Xor;
  if (bitwise && !isIntegerOrBool(elementOf(getOperand())))
    return emitOpError() << "kind \"" << stringifyAllReduceKind(kind) << "\" needs integer or i1 elements, got "
                         << elementOf(getOperand());
  auto groups = getReplicaGroups().dyn_cast<DenseIntElementsAttr>();
  if (!groups || !groups.getType().getElementType().isSignlessInteger(64) || groups.getType().getRank() != 2)
    return emitOpError() << "replica_groups must be a 2-D dense i64 attribute (one row per group), got "
                         << getReplicaGroups();
  ArrayRef<int64_t> shape = groups.getType().getShape();
  if (shape[0] == 0 || shape[1] == 0)
    return emitOpError() << "replica_groups must hold at least one group of at least one replica, got "
                         << shape[0] << " groups of " << shape[1];
  llvm::DenseMap<int64_t, int64_t> groupOf;
  int64_t index = 0;
  for (int64_t id : groups.getValues<int64_t>()) {
    int64_t group = index++ / shape[1];
    if (id < 0)
      return emitOpError() << "replica id " << id << " in group " << group << " is negative";
    auto [it, inserted] = groupOf.try_emplace(id, group);
    if (!inserted)
      return emitOpError() << "replica id " << id << " appears twice (groups " << it->second << " and " << group
                           << ")";
  }
  if (getChannelIdAttr().getInt() < 1)
    return emitOpError() << "channel_id " << getChannelIdAttr().getInt() << " must be positive";
  return success();
}

} // namespace lumo
