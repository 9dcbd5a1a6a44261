// Checks of torch-dialect operations before conversion: a malformed operation is reported at its
// location with the reason, instead of being read by a pattern that assumes its signature.
//
// Operand and result counts and kinds are checked against the operator's signature: PyTorch's
// registered schema for aten and prim operators, the lumo operator table for library calls (both
// made into TorchSignatures.inc at build time by scripts/gen_torch_signatures.py). Constants and
// lists are checked against their result types. The declared result types of the elementwise,
// reduction, shape, matrix-product and creation families are compared with the types PyTorch's
// promotion and shape rules give: the patterns then compute in the declared type, which is the
// right one.
#include "TorchToLumo.h"

#include "llvm/ADT/STLExtras.h"
#include "llvm/ADT/StringSet.h"

#include <algorithm>
#include <cmath>

namespace torch_lumo {
namespace {

/// One operator's signature. Arguments and results are letters (see accepts()); `keywords` lists a
/// lumo operator's keyword arguments as "name:letter,...". The positions of some named arguments
/// are given (-1 when absent).
struct Signature {
  const char *kind;
  const char *args;
  const char *results;
  const char *keywords;
  int dimAt, keepdimAt, dtypeAt, sizeAt;
  bool pointwise;
};

const Signature kSignatures[] = {
#include "TorchSignatures.inc"
};

const Signature *signatureOf(StringRef kind) {
  static const llvm::StringMap<const Signature *> table = [] {
    llvm::StringMap<const Signature *> m;
    for (const Signature &s : kSignatures) m[s.kind] = &s;
    return m;
  }();
  auto it = table.find(kind);
  return it == table.end() ? nullptr : it->second;
}

// ------------------------------------------------------------------ kinds of values

/// The letter of a value's type: T tensor, 0 None, i int, f float, b bool, s str, n number,
/// d Device, g Generator, l/v/q list of int/float/bool, x list of tensors, y list of optional
/// tensors, p another list, ? anything else.
char letterOf(Type type) {
  if (type.isa<TensorType>()) return 'T';
  auto opaque = type.dyn_cast<OpaqueType>();
  if (!opaque || opaque.getDialectNamespace() != "torch") return '?';
  StringRef data = opaque.getTypeData();
  if (data.startswith("vtensor") || data.startswith("tensor")) return 'T';
  if (data == "none") return '0';
  if (data == "int") return 'i';
  if (data == "float") return 'f';
  if (data == "bool") return 'b';
  if (data == "str") return 's';
  if (data == "number") return 'n';
  if (data == "Device") return 'd';
  if (data == "Generator") return 'g';
  if (data.consume_front("list<")) {
    if (data == "int>") return 'l';
    if (data == "float>") return 'v';
    if (data == "bool>") return 'q';
    if (data.startswith("vtensor") || data.startswith("tensor")) return 'x';
    if (data.startswith("optional<vtensor") || data.startswith("optional<tensor")) return 'y';
    return 'p';
  }
  return '?';
}

const char *describe(char letter) {
  switch (letter) {
    case 'T': return "a tensor";
    case 't': return "a tensor or None";
    case '0': return "None";
    case 'i': return "an int";
    case 'I': return "an int or None";
    case 'f': return "a float";
    case 'F': return "a float or None";
    case 'b': return "a bool";
    case 'B': return "a bool or None";
    case 's': return "a str";
    case 'S': return "a str or None";
    case 'n': return "a number";
    case 'N': return "a number or None";
    case 'd': return "a device";
    case 'D': return "a device or None";
    case 'g': return "a generator";
    case 'G': return "a generator or None";
    case 'l': return "a list of ints";
    case 'L': return "a list of ints or None";
    case 'v': return "a list of floats";
    case 'V': return "a list of floats or None";
    case 'q': return "a list of bools";
    case 'x': return "a list of tensors";
    case 'y': return "a list of optional tensors";
    case 'p': return "a list";
  }
  return "a value of another kind";
}

/// Whether a value of kind `got` (letterOf) fits a parameter of kind `want` (a signature letter).
bool accepts(char want, char got, Type type) {
  auto oneElement = [&] {
    auto ranked = type.dyn_cast<RankedTensorType>();
    return ranked && ranked.hasStaticShape() && ranked.getNumElements() == 1;
  };
  bool none = got == '0';
  switch (want) {
    case 'T': return got == 'T';
    case 't': return got == 'T' || none;
    case 'i': return got == 'i';
    case 'I': return got == 'i' || none;
    case 'f': return got == 'f' || got == 'i';
    case 'F': return got == 'f' || got == 'i' || none;
    case 'b': return got == 'b';
    case 'B': return got == 'b' || none;
    case 's': return got == 's';
    case 'S': return got == 's' || none;
    case 'n': return got == 'i' || got == 'f' || got == 'b' || got == 'n' || (got == 'T' && oneElement());
    case 'N':
      return none || got == 'i' || got == 'f' || got == 'b' || got == 'n' ||
             (got == 'T' && oneElement());
    case 'd': return got == 'd';
    case 'D': return got == 'd' || none;
    case 'g': return got == 'g';
    case 'G': return got == 'g' || none;
    case 'l': return got == 'l';
    case 'L': return got == 'l' || none;
    case 'v': return got == 'v' || got == 'l';
    case 'V': return got == 'v' || got == 'l' || none;
    case 'q': return got == 'q';
    case 'x': return got == 'x';
    case 'y': return got == 'y' || got == 'x';
  }
  return true;  // '*': not checked
}

std::string typeText(Type type) {
  std::string s;
  llvm::raw_string_ostream(s) << type;
  return s;
}

std::string shapeText(ArrayRef<int64_t> shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
  return s + "]";
}

// ------------------------------------------------------------------ constants

StringRef kindOfValue(Value v) {
  Operation *def = v.getDefiningOp();
  return def ? torchKind(def) : StringRef();
}

bool isNoneValue(Value v) { return kindOfValue(v) == "constant.none"; }

/// A number and whether it is integral.
struct Scalar {
  double value;
  bool integral;
  int64_t integer = 0;  // the exact value when integral (a double holds 53 bits)
};

/// The number a one-element tensor holds: an embedded function argument (tf.parameter_value) or a
/// literal.
std::optional<Scalar> tensorScalar(Value v) {
  DenseElementsAttr attr;
  if (auto arg = v.dyn_cast<BlockArgument>()) {
    if (auto func = dyn_cast<func::FuncOp>(arg.getOwner()->getParentOp()))
      attr = func.getArgAttrOfType<DenseElementsAttr>(arg.getArgNumber(), "tf.parameter_value");
  } else if (Operation *def = v.getDefiningOp(); def && torchKind(def) == "vtensor.literal") {
    attr = def->getAttrOfType<DenseElementsAttr>("value");
  }
  if (!attr || !attr.isSplat() || attr.getNumElements() != 1) return std::nullopt;
  Type elem = attr.getElementType();
  if (elem.isa<FloatType>()) return Scalar{attr.getSplatValue<APFloat>().convertToDouble(), false};
  if (auto it = elem.dyn_cast<IntegerType>()) {
    APInt i = attr.getSplatValue<APInt>();
    int64_t n = it.isUnsigned() || it.getWidth() == 1 ? static_cast<int64_t>(i.getZExtValue())
                                                        : i.getSExtValue();
    return Scalar{static_cast<double>(n), true, n};
  }
  return std::nullopt;
}

/// The number a scalar operand holds: a constant, or a scalar read of an embedded tensor.
std::optional<Scalar> scalarOf(Value v) {
  Operation *def = v.getDefiningOp();
  if (!def) return std::nullopt;
  StringRef kind = torchKind(def);
  if (kind == "constant.int")
    if (auto a = def->getAttrOfType<IntegerAttr>("value"))
      return Scalar{static_cast<double>(a.getValue().getSExtValue()), true,
                    a.getValue().getSExtValue()};
  if (kind == "constant.float")
    if (auto a = def->getAttrOfType<FloatAttr>("value")) return Scalar{a.getValueAsDouble(), false};
  if (kind == "constant.bool") {
    if (auto a = def->getAttrOfType<BoolAttr>("value"))
      return Scalar{a.getValue() ? 1.0 : 0.0, true, a.getValue() ? 1 : 0};
    if (auto a = def->getAttrOfType<IntegerAttr>("value"))
      return Scalar{a.getValue().isZero() ? 0.0 : 1.0, true, a.getValue().isZero() ? 0 : 1};
  }
  if ((kind == "aten.IntImplicit" || kind == "aten.FloatImplicit" || kind == "aten.ScalarImplicit" ||
       kind == "aten.Int.Tensor" || kind == "aten.Float.Tensor" || kind == "aten.Bool.Tensor" ||
       kind == "aten.item") &&
      def->getNumOperands() == 1) {
    auto n = tensorScalar(def->getOperand(0));
    if (n && kind == "aten.FloatImplicit") n->integral = false;
    return n;
  }
  return std::nullopt;
}

std::optional<int64_t> constInt(Value v) {
  auto n = scalarOf(v);
  if (!n || !n->integral) return std::nullopt;
  return n->integer;
}

/// A list of constant ints, or nothing when it is not one.
std::optional<Shape> constInts(Value v) {
  Operation *def = v.getDefiningOp();
  if (!def || torchKind(def) != "prim.ListConstruct") return std::nullopt;
  Shape out;
  for (Value item : def->getOperands()) {
    auto n = constInt(item);
    if (!n) return std::nullopt;
    out.push_back(*n);
  }
  return out;
}

/// An error unless the element count of `shape` fits an int64.
void expectCountable(ArrayRef<int64_t> shape, const llvm::Twine &what) {
  if (llvm::is_contained(shape, 0)) return;
  uint64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0) continue;
    bool overflow = false;
    n = llvm::SaturatingMultiply(n, static_cast<uint64_t>(d), &overflow);
    if (overflow || n > static_cast<uint64_t>(INT64_MAX))
      unsupported(what + " has more elements than a 64-bit count holds");
  }
}

/// The checks of torch.constant.*, torch.vtensor.literal and torch.prim.ListConstruct.
void checkConstant(Operation *op, StringRef kind) {
  if (op->getNumResults() != 1) unsupported("a constant has one result");
  if (kind != "prim.ListConstruct" && op->getNumOperands() != 0)
    unsupported("a constant has no operands");
  Type type = op->getResult(0).getType();
  char letter = letterOf(type);
  Attribute value = op->getAttr("value");
  auto expect = [&](char want, bool valueOk, const char *what) {
    if (letter != want)
      unsupported("its result type " + typeText(type) + " is not " + describe(want));
    if (!valueOk) unsupported(llvm::Twine("its value is not ") + what);
  };
  if (kind == "constant.int") {
    expect('i', value && value.isa<IntegerAttr>(), "an integer");
  } else if (kind == "constant.float") {
    expect('f', value && value.isa<FloatAttr>(), "a floating-point number");
  } else if (kind == "constant.bool") {
    auto i = value ? value.dyn_cast<IntegerAttr>() : IntegerAttr();
    expect('b', value && (value.isa<BoolAttr>() || (i && i.getType().isInteger(1))), "a bool");
  } else if (kind == "constant.str") {
    expect('s', value && value.isa<StringAttr>(), "a string");
  } else if (kind == "constant.none") {
    expect('0', !value, "absent");
  } else if (kind == "constant.device") {
    expect('d', value && value.isa<StringAttr>(), "a device name");
  } else if (kind == "constant.number") {
    expect('n', value && (value.isa<IntegerAttr>() || value.isa<FloatAttr>()), "a number");
  } else if (kind == "vtensor.literal") {
    auto dense = value ? value.dyn_cast<ElementsAttr>() : ElementsAttr();
    if (!dense) unsupported("its value is not a tensor");
    auto ranked = type.dyn_cast<RankedTensorType>();
    if (ranked && dense.getType() != ranked)
      unsupported("its value's type " + typeText(dense.getType()) + " differs from its result type " +
                  typeText(type));
  } else if (kind == "prim.ListConstruct") {
    char want = 0;
    switch (letter) {
      case 'l': want = 'i'; break;
      case 'v': want = 'f'; break;
      case 'q': want = 'b'; break;
      case 'x': want = 'T'; break;
      case 'y': want = 't'; break;
      case 'p': break;
      default: unsupported("its result type " + typeText(type) + " is not a list");
    }
    if (want)
      for (auto [i, item] : llvm::enumerate(op->getOperands()))
        if (!accepts(want, letterOf(item.getType()), item.getType()))
          unsupported("element " + llvm::Twine(i) + " is not " + describe(want) + " as its type " +
                      typeText(type) + " says");
  } else {
    unsupported("unknown constant kind");
  }
}

// ------------------------------------------------------------------ signatures

void checkSignature(Operation *op, const Signature &sig) {
  StringRef args(sig.args);
  unsigned n = op->getNumOperands();
  if (n != args.size())
    unsupported("expected " + llvm::Twine(args.size()) + " operands, got " + llvm::Twine(n));
  for (unsigned i = 0; i < n; ++i) {
    Type type = op->getOperand(i).getType();
    char got = letterOf(type);
    if (!accepts(args[i], got, type))
      unsupported("operand " + llvm::Twine(i) + " is not " + describe(args[i]) + " but " +
                  describe(got));
  }
  StringRef results(sig.results);
  if (op->getNumResults() != results.size())
    unsupported("expected " + llvm::Twine(results.size()) + " results, got " +
                llvm::Twine(op->getNumResults()));
  for (unsigned i = 0; i < results.size(); ++i) {
    Type type = op->getResult(i).getType();
    char got = letterOf(type);
    if (!accepts(results[i], got, type))
      unsupported("result " + llvm::Twine(i) + " is not " + describe(results[i]) + " but " +
                  describe(got));
  }
}

/// A lumo library call: positional tensors, then the values of the keyword arguments that the
/// trailing string names.
void checkLumoCall(Operation *op, const Signature &sig) {
  unsigned n = op->getNumOperands();
  unsigned tensors = n;
  llvm::SmallVector<StringRef, 4> names;
  std::string list;
  if (n > 0 && kindOfValue(op->getOperand(n - 1)) == "constant.str") {
    if (auto a = op->getOperand(n - 1).getDefiningOp()->getAttrOfType<StringAttr>("value"))
      list = a.getValue().str();
    if (!list.empty()) StringRef(list).split(names, ',');
    if (names.size() + 1 > n) unsupported("more attribute names than operands");
    tensors = n - names.size() - 1;
  }
  StringRef positional(sig.args);
  bool variadic = positional.contains('x');
  if (variadic ? tensors + 1 < positional.size() : tensors != positional.size())
    unsupported("expected " + llvm::Twine(positional.size()) + " tensor operands, got " +
                llvm::Twine(tensors));
  for (unsigned i = 0; i < tensors; ++i) {
    Type type = op->getOperand(i).getType();
    if (letterOf(type) != 'T' && !(letterOf(type) == '0' && positional.contains('t')))
      unsupported("operand " + llvm::Twine(i) + " is not a tensor but " +
                  describe(letterOf(type)));
  }
  llvm::SmallVector<StringRef, 8> keywords;
  StringRef(sig.keywords).split(keywords, ',', -1, false);
  for (auto [k, name] : llvm::enumerate(names)) {
    StringRef trimmed = name.trim();
    const StringRef *found = llvm::find_if(
        keywords, [&](StringRef kw) { return kw.split(':').first == trimmed; });
    if (found == keywords.end())
      unsupported("'" + trimmed + "' is not an attribute of " + sig.kind);
    char want = found->split(':').second.front();
    Type type = op->getOperand(tensors + k).getType();
    if (!accepts(want, letterOf(type), type))
      unsupported("attribute '" + trimmed + "' is not " + describe(want) + " but " +
                  describe(letterOf(type)));
  }
  StringRef results(sig.results);
  if (results != "x" && op->getNumResults() != results.size())
    unsupported("expected " + llvm::Twine(results.size()) + " results, got " +
                llvm::Twine(op->getNumResults()));
  for (Type type : op->getResultTypes())
    if (letterOf(type) != 'T') unsupported("a result is not a tensor");
}

// ------------------------------------------------------------------ result types

RankedTensorType rankedOf(Value v) { return v.getType().dyn_cast<RankedTensorType>(); }

/// An error unless result i is a tensor of `elem` (if given) and `shape`.
void expectResult(Operation *op, unsigned i, Type elem, ArrayRef<int64_t> shape) {
  auto type = rankedOf(op->getResult(i));
  if (!type) return;
  if (elem && type.getElementType() != elem)
    unsupported("result " + llvm::Twine(i) + " is declared " + typeText(type.getElementType()) +
                " but the operation gives " + typeText(elem));
  if (type.getShape() != shape)
    unsupported("result " + llvm::Twine(i) + " is declared of shape " +
                shapeText(type.getShape()) + " but the operation gives " + shapeText(shape));
}

StringRef baseName(StringRef kind) {
  kind.consume_front("aten.");
  return kind.split('.').first;
}

/// Elementwise operations whose result is a bool tensor.
bool givesBool(StringRef base) {
  static const llvm::StringSet<> names = {
      "eq", "ne", "lt", "le", "gt", "ge", "logical_and", "logical_or", "logical_xor",
      "logical_not", "isnan", "isinf", "isfinite", "isposinf", "isneginf", "signbit"};
  return names.contains(base);
}

/// Elementwise operations that compute integer inputs in the default floating-point type.
bool floatsIntegers(StringRef kind, StringRef base) {
  static const llvm::StringSet<> names = {
      "true_divide", "sqrt", "rsqrt", "exp", "exp2", "expm1", "log", "log2", "log10", "log1p",
      "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh", "asinh", "acosh",
      "atanh", "sigmoid", "erf", "erfc", "erfinv", "reciprocal", "lgamma", "digamma", "polygamma",
      "i0", "atan2", "logit", "sinc", "rad2deg", "deg2rad", "angle", "hypot", "logaddexp",
      "logaddexp2", "xlogy", "mvlgamma", "igamma", "igammac", "nextafter", "float_power",
      "copysign"};
  if (base.startswith("special_")) return true;
  return names.contains(base) || kind == "aten.div.Tensor" || kind == "aten.div.Scalar";
}

/// The element types PyTorch may give an elementwise operation: the promotion of all its tensor
/// and number operands, of its tensor operands alone (some operations, as the activations, do not
/// promote with their number parameters), of all with 0-d tensors read as numbers (a number
/// captured as a 0-d tensor), and of all with only the 0-d f64 and si64 tensors read as numbers
/// (a Python number that a kernel wrapped into a tensor, as the gradients of std and var do: it
/// does not widen a 0-d bf16 operand). Integer results become f32 for operations that compute in
/// floating point.
llvm::SmallVector<Type, 4> elementwiseTypes(Operation *op, StringRef kind, const Signature &sig) {
  MLIRContext *ctx = op->getContext();
  llvm::SmallVector<PromotionInput, 4> all, tensorsOnly, loose, wrapped;
  StringRef args(sig.args);
  for (unsigned i = 0; i < op->getNumOperands(); ++i) {
    Type type = op->getOperand(i).getType();
    if (auto ranked = type.dyn_cast<RankedTensorType>()) {
      PromotionInput in{ranked.getElementType(), ranked.getRank() > 0, false};
      all.push_back(in);
      loose.push_back({in.elem, in.dimensioned, ranked.getRank() == 0});
      bool wrappedNumber = ranked.getRank() == 0 &&
                           (in.elem.isF64() || in.elem == si64Type(ctx));
      wrapped.push_back({in.elem, in.dimensioned, wrappedNumber});
      if (args[i] != 'n' && args[i] != 'N') tensorsOnly.push_back(in);
      continue;
    }
    char letter = letterOf(type);
    Type elem = letter == 'f' ? Type(Float32Type::get(ctx))
                : letter == 'i' ? si64Type(ctx)
                : letter == 'b' ? Type(IntegerType::get(ctx, 1))
                                : Type();
    if (letter == 'n') {
      auto n = constInt(op->getOperand(i));
      elem = n ? si64Type(ctx) : Float32Type::get(ctx);
    }
    if (elem && (args[i] == 'n' || args[i] == 'N')) {
      all.push_back({elem, false, true});
      loose.push_back({elem, false, true});
      wrapped.push_back({elem, false, true});
    }
  }
  llvm::SmallVector<Type, 4> out;
  StringRef base = baseName(kind);
  for (auto *inputs : {&all, &tensorsOnly, &loose, &wrapped}) {
    if (inputs->empty()) continue;
    Type t = promoteTypes(ctx, *inputs);
    if (!isFloatType(t) && !isComplexType(t) && floatsIntegers(kind, base)) t = Float32Type::get(ctx);
    if (base == "float_power") t = Float64Type::get(ctx);
    if ((base == "angle" || base == "abs") && isComplexType(t)) t = t.cast<ComplexType>().getElementType();
    out.push_back(t);
  }
  return out;
}

void checkElementwise(Operation *op, StringRef kind, const Signature &sig) {
  StringRef args(sig.args);
  if (args.contains('x') || args.contains('y') || op->getNumResults() == 0) return;
  Shape shape;
  for (unsigned i = 0; i < op->getNumOperands(); ++i) {
    auto ranked = rankedOf(op->getOperand(i));
    if (!ranked || args[i] == 'n' || args[i] == 'N') continue;
    shape = broadcastShapes(shape, ranked.getShape());
  }
  for (unsigned i = 0; i < op->getNumResults(); ++i) expectResult(op, i, Type(), shape);
  auto result = rankedOf(op->getResult(0));
  if (!result || op->getNumResults() != 1) return;
  Type declared = result.getElementType();
  if (givesBool(baseName(kind))) {
    if (!declared.isInteger(1))
      unsupported("result 0 is declared " + typeText(declared) + " but the operation gives i1");
    return;
  }
  llvm::SmallVector<Type, 4> allowed = elementwiseTypes(op, kind, sig);
  if (!allowed.empty() && !llvm::is_contained(allowed, declared))
    unsupported("result 0 is declared " + typeText(declared) + " but the operation gives " +
                typeText(allowed.front()));
}

/// The element type a dtype operand asks for, or null for None.
Type dtypeOperand(Operation *op, int at) {
  if (at < 0 || at >= static_cast<int>(op->getNumOperands())) return Type();
  Value v = op->getOperand(at);
  if (isNoneValue(v)) return Type();
  auto code = constInt(v);
  if (!code) return Type();
  return dtypeFromCode(op->getContext(), *code);
}

void checkReduction(Operation *op, StringRef kind, const Signature &sig) {
  auto input = rankedOf(op->getOperand(0));
  if (!input) return;
  int64_t rank = input.getRank();
  Shape dims;
  bool all = true;
  if (sig.dimAt >= 0) {
    Value d = op->getOperand(sig.dimAt);
    if (auto n = constInt(d)) {
      dims = {*n};
      all = false;
    } else if (auto list = constInts(d)) {
      dims = *list;
      all = list->empty();
    } else if (!isNoneValue(d)) {
      return;  // not a constant: the pattern says so
    }
  }
  if (all) dims = dimRange(0, rank);
  else dims = normDims(dims, std::max<int64_t>(rank, 1));
  if (rank == 0) dims.clear();
  bool keep = false;
  if (sig.keepdimAt >= 0) {
    auto k = constInt(op->getOperand(sig.keepdimAt));
    if (!k) return;
    keep = *k != 0;
  }
  Shape shape = reducedShape(input.getShape(), dims, keep);
  StringRef base = baseName(kind);
  MLIRContext *ctx = op->getContext();
  Type elem = dtypeOperand(op, sig.dtypeAt);
  Type in = input.getElementType();
  if (!elem) {
    if (base == "argmax" || base == "argmin") elem = si64Type(ctx);
    else if (base == "any" || base == "all") elem = IntegerType::get(ctx, 1);
    else if ((base == "sum" || base == "nansum" || base == "prod") && !isFloatType(in)) elem = si64Type(ctx);
    else if (base == "count_nonzero") elem = si64Type(ctx);
    // logsumexp of integers or booleans is a float of the default type.
    else if (base == "logsumexp" && !isFloatType(in)) elem = Float32Type::get(ctx);
    else elem = in;
  }
  expectResult(op, 0, elem, shape);
  // The second result: indices, or a second statistic of the input's type.
  bool statistics = base == "aminmax" || base == "std_mean" || base == "var_mean";
  for (unsigned i = 1; i < op->getNumResults(); ++i)
    expectResult(op, i, statistics ? elem : si64Type(ctx), shape);
}

bool isReduction(StringRef base) {
  static const llvm::StringSet<> names = {
      "sum", "mean", "amax", "amin", "max", "min", "argmax", "argmin", "prod", "logsumexp",
      "var", "std", "any", "all", "nansum", "linalg_vector_norm", "median", "kthvalue",
      "aminmax", "std_mean", "var_mean", "count_nonzero", "norm", "nanmedian"};
  return names.contains(base);
}

/// view, reshape, expand, permute, transpose, t, squeeze, unsqueeze, flatten (and their _copy
/// forms): the result's shape follows from the input's and the operands.
bool checkShapeOp(Operation *op, StringRef kind) {
  StringRef k = kind;
  k.consume_front("aten.");
  auto [name, overload] = k.split('.');
  name.consume_back("_copy");
  static const llvm::StringSet<> names = {"view", "reshape", "_unsafe_view", "expand",
                                          "broadcast_to", "permute", "transpose", "t",
                                          "unsqueeze", "squeeze", "flatten"};
  if (!names.contains(name) || op->getNumOperands() == 0 || op->getNumResults() != 1) return false;
  auto input = rankedOf(op->getOperand(0));
  if (!input) return true;
  ArrayRef<int64_t> in = input.getShape();
  int64_t rank = input.getRank();
  auto intAt = [&](unsigned i) -> std::optional<int64_t> {
    return i < op->getNumOperands() ? constInt(op->getOperand(i)) : std::nullopt;
  };
  auto intsAt = [&](unsigned i) -> std::optional<Shape> {
    return i < op->getNumOperands() ? constInts(op->getOperand(i)) : std::nullopt;
  };
  std::optional<Shape> shape;
  if (name == "view" || name == "reshape" || name == "_unsafe_view") {
    if (overload == "dtype") return true;
    auto sizes = intsAt(1);
    if (!sizes) return true;
    int64_t known = 1, inferred = -1;
    for (auto [i, s] : llvm::enumerate(*sizes)) {
      if (s == -1 && inferred < 0) inferred = i;
      else if (s < 0) unsupported("size " + llvm::Twine(s) + " is not a size");
      else known *= s;
    }
    int64_t count = numElements(in);
    if (inferred >= 0) {
      if (known == 0 || count % known) unsupported("the sizes do not fit the input's elements");
      (*sizes)[inferred] = count / known;
    } else if (known != count) {
      unsupported("the sizes do not fit the input's elements");
    }
    shape = *sizes;
  } else if (name == "expand" || name == "broadcast_to") {
    auto sizes = intsAt(1);
    if (!sizes) return true;
    if (static_cast<int64_t>(sizes->size()) < rank)
      unsupported("expanding to fewer dimensions than the input has");
    size_t lead = sizes->size() - rank;
    for (size_t i = 0; i < sizes->size(); ++i) {
      int64_t &s = (*sizes)[i];
      if (s == -1) {
        if (i < lead) unsupported("-1 for a new dimension");
        s = in[i - lead];
      } else if (i >= lead && in[i - lead] != 1 && in[i - lead] != s) {
        unsupported("the input does not expand to the sizes");
      }
    }
    shape = *sizes;
  } else if (name == "permute") {
    auto perm = intsAt(1);
    if (!perm) return true;
    if (static_cast<int64_t>(perm->size()) != rank)
      unsupported("the permutation does not match the rank");
    Shape dims = normDims(*perm, rank), out;
    for (int64_t d : dims) out.push_back(in[d]);
    llvm::sort(dims);
    if (std::adjacent_find(dims.begin(), dims.end()) != dims.end())
      unsupported("the permutation repeats a dimension");
    shape = out;
  } else if (name == "transpose") {
    auto a = intAt(1), b = intAt(2);
    if (!a || !b) return true;
    Shape out(in.begin(), in.end());
    if (rank > 0) std::swap(out[normDim(*a, rank)], out[normDim(*b, rank)]);
    shape = out;
  } else if (name == "t") {
    if (rank > 2) unsupported("t of a tensor of rank above 2");
    shape = Shape(in.rbegin(), in.rend());
  } else if (name == "unsqueeze") {
    auto d = intAt(1);
    if (!d) return true;
    Shape out(in.begin(), in.end());
    out.insert(out.begin() + normDim(*d, rank + 1), 1);
    shape = out;
  } else if (name == "squeeze") {
    Shape out;
    if (op->getNumOperands() == 1) {
      for (int64_t s : in)
        if (s != 1) out.push_back(s);
    } else {
      Shape dims;
      if (auto d = intAt(1)) dims = {*d};
      else if (auto ds = intsAt(1)) dims = *ds;
      else return true;
      dims = normDims(dims, std::max<int64_t>(rank, 1));
      for (int64_t i = 0; i < rank; ++i)
        if (!(in[i] == 1 && llvm::is_contained(dims, i))) out.push_back(in[i]);
    }
    shape = out;
  } else if (name == "flatten") {
    auto a = intAt(1), b = intAt(2);
    if (!a || !b) return true;
    if (rank == 0) {
      shape = Shape{1};
    } else {
      int64_t s = normDim(*a, rank), e = normDim(*b, rank);
      if (s > e) unsupported("flatten's start dimension comes after its end");
      Shape out(in.begin(), in.begin() + s);
      out.push_back(numElements(in.slice(s, e - s + 1)));
      out.append(in.begin() + e + 1, in.end());
      shape = out;
    }
  }
  if (shape) expectResult(op, 0, input.getElementType(), *shape);
  return true;
}

/// mm, bmm, matmul, addmm, linear: the product's shape, the operands' element type.
bool checkProduct(Operation *op, StringRef kind) {
  StringRef base = baseName(kind);
  unsigned a = 0, b = 1;
  bool withBias = base == "addmm" || base == "addmv" || base == "addr" || base == "addbmm" ||
                  base == "baddbmm";
  if (withBias) a = 1, b = 2;
  else if (base != "mm" && base != "bmm" && base != "matmul" && base != "linear" && base != "mv")
    return false;
  if (op->getNumResults() != 1 || op->getNumOperands() <= b) return true;
  auto ta = rankedOf(op->getOperand(a)), tb = rankedOf(op->getOperand(b));
  if (!ta || !tb) return true;
  ArrayRef<int64_t> sa = ta.getShape(), sb = tb.getShape();
  Shape shape;
  if (base == "linear") {
    // input [..., in] times weight [out, in] (or [in]).
    if (sa.empty() || sb.empty() || sb.size() > 2) unsupported("operand ranks do not fit linear");
    if (sa.back() != sb.back()) unsupported("contracting dimensions differ");
    shape.assign(sa.begin(), sa.end() - 1);
    if (sb.size() == 2) shape.push_back(sb[0]);
    if (op->getNumOperands() > 2)
      if (auto bias = rankedOf(op->getOperand(2))) broadcastShapes(bias.getShape(), shape);
  } else if (base == "mv" || base == "addmv" || base == "addr") {
    bool outer = base == "addr";
    if (sa.size() != (outer ? 1u : 2u) || sb.size() != 1)
      unsupported("operand ranks do not fit " + base);
    if (!outer && sa[1] != sb[0]) unsupported("contracting dimensions differ");
    shape = outer ? Shape{sa[0], sb[0]} : Shape{sa[0]};
    if (auto bias = rankedOf(op->getOperand(0)); bias && withBias)
      broadcastShapes(bias.getShape(), shape);
  } else {
    size_t want = base == "bmm" || base == "addbmm" || base == "baddbmm" ? 3 : 2;
    if ((base != "matmul" && (sa.size() != want || sb.size() != want)) || sa.empty() || sb.empty())
      unsupported("operand ranks do not fit " + base);
    Shape x(sa.begin(), sa.end()), y(sb.begin(), sb.end());
    bool vecA = x.size() == 1, vecB = y.size() == 1;
    if (vecA) x.insert(x.begin(), 1);
    if (vecB) y.push_back(1);
    if (x.back() != y[y.size() - 2]) unsupported("contracting dimensions differ");
    ArrayRef<int64_t> batchA = ArrayRef<int64_t>(x).drop_back(2),
                      batchB = ArrayRef<int64_t>(y).drop_back(2);
    if (want == 3 && batchA != batchB) unsupported("batch dimensions differ");
    shape = base == "addbmm" ? Shape() : broadcastShapes(batchA, batchB);
    if (!vecA) shape.push_back(x[x.size() - 2]);
    if (!vecB) shape.push_back(y.back());
    if (withBias)
      if (auto bias = rankedOf(op->getOperand(0))) broadcastShapes(bias.getShape(), shape);
  }
  if (ta.getElementType() != tb.getElementType())
    unsupported("the operands' element types differ");
  expectResult(op, 0, ta.getElementType(), shape);
  return true;
}

/// zeros, ones, empty, full, rand, randn (a size list), their _like forms (the input's shape) and
/// new_* forms (a size list, the input's element type by default).
bool checkCreation(Operation *op, StringRef kind, const Signature &sig) {
  StringRef base = baseName(kind);
  static const llvm::StringSet<> sized = {"zeros", "ones", "empty", "full", "rand", "randn",
                                          "empty_strided"};
  static const llvm::StringSet<> like = {"zeros_like", "ones_like", "empty_like", "full_like",
                                         "rand_like", "randn_like"};
  static const llvm::StringSet<> fresh = {"new_zeros", "new_ones", "new_empty", "new_full",
                                          "new_empty_strided"};
  bool isSized = sized.contains(base), isLike = like.contains(base), isNew = fresh.contains(base);
  if (!isSized && !isLike && !isNew) return false;
  if (op->getNumResults() != 1) return true;
  MLIRContext *ctx = op->getContext();
  Type elem = dtypeOperand(op, sig.dtypeAt);
  std::optional<Shape> shape;
  if (isLike) {
    auto input = rankedOf(op->getOperand(0));
    if (!input) return true;
    shape = Shape(input.getShape().begin(), input.getShape().end());
    if (!elem) elem = input.getElementType();
  } else {
    if (sig.sizeAt < 0) return true;
    shape = constInts(op->getOperand(sig.sizeAt));
    if (!shape) return true;
    for (int64_t s : *shape)
      if (s < 0) unsupported("size " + llvm::Twine(s) + " is not a size");
    if (isNew) {
      if (auto input = rankedOf(op->getOperand(0)); input && !elem) elem = input.getElementType();
    } else if (!elem && base != "full") {
      elem = Float32Type::get(ctx);
    }
  }
  expectResult(op, 0, elem, *shape);
  return true;
}

/// The number a constant int or float operand holds.
std::optional<double> constNumber(Value v) {
  if (auto n = scalarOf(v)) return n->value;
  return std::nullopt;
}

/// Operations whose results follow from their operands' shapes and types by a rule of their own:
/// normalisations, softmax, losses, embeddings, convolution gradients, slices, concatenation,
/// ranges and copies.
bool checkKnownKind(Operation *op, StringRef kind) {
  MLIRContext *ctx = op->getContext();
  unsigned n = op->getNumOperands();
  auto tensorAt = [&](unsigned i) { return i < n ? rankedOf(op->getOperand(i)) : RankedTensorType(); };
  auto shapeAt = [&](unsigned i) -> Shape {
    auto t = tensorAt(i);
    return t ? Shape(t.getShape().begin(), t.getShape().end()) : Shape();
  };
  auto like = [&](unsigned result, unsigned operand) {
    if (auto t = tensorAt(operand)) expectResult(op, result, t.getElementType(), t.getShape());
  };
  // A vector of `size` (or empty, as batch normalisation's statistics outside training) of `elem`
  // (or f32, the type of statistics of reduced-precision inputs with f32 parameters).
  auto vectorOf = [&](unsigned result, int64_t size, Type elem) {
    auto r = rankedOf(op->getResult(result));
    if (r && (r.getRank() != 1 || (r.getDimSize(0) != size && r.getDimSize(0) != 0)))
      unsupported("result " + llvm::Twine(result) + " is declared of shape " +
                  shapeText(r.getShape()) + " but the operation gives [" + llvm::Twine(size) + "]");
    if (r && r.getElementType() != elem &&
        !(isReducedFloat(elem) && r.getElementType().isF32()))
      unsupported("result " + llvm::Twine(result) + " is declared " +
                  typeText(r.getElementType()) + " but the operation gives " + typeText(elem));
  };
  auto input = tensorAt(0);
  if (!input) return false;
  StringRef k = kind;
  k.consume_front("aten.");
  if (k == "detach_copy" || k == "tril" || k == "triu" || k == "fill.Tensor" ||
      k == "fill.Scalar" || k == "clone" || k == "alias_copy" || k == "lift_fresh_copy" ||
      k == "copy" || k == "bernoulli.p" || k == "bernoulli" || k == "uniform" || k == "normal_functional") {
    like(0, 0);
    return true;
  }
  // The gradient of integers or booleans is a float of the default type.
  if (k == "native_dropout_backward") {
    Type elem = input.getElementType();
    expectResult(op, 0, isFloatType(elem) ? elem : Type(Float32Type::get(ctx)), input.getShape());
    return true;
  }
  if (k == "_softmax" || k == "_log_softmax") {
    auto half = n > 2 ? constInt(op->getOperand(2)) : std::nullopt;
    Type elem = half && *half ? Type(Float32Type::get(ctx)) : input.getElementType();
    expectResult(op, 0, elem, input.getShape());
    return true;
  }
  if (k == "_softmax_backward_data" || k == "_log_softmax_backward_data") {
    Type elem = n > 3 ? dtypeOperand(op, 3) : Type();
    expectResult(op, 0, elem ? elem : input.getElementType(), input.getShape());
    if (shapeAt(1) != shapeAt(0)) unsupported("the output's shape differs from the gradient's");
    return true;
  }
  if (k == "native_dropout") {
    like(0, 0);
    if (op->getNumResults() > 1) expectResult(op, 1, IntegerType::get(ctx, 1), input.getShape());
    return true;
  }
  if (k == "_to_copy") {
    Type elem = dtypeOperand(op, 1);
    expectResult(op, 0, elem ? elem : input.getElementType(), input.getShape());
    return true;
  }
  if (k == "masked_fill.Tensor" || k == "masked_fill.Scalar") {
    expectResult(op, 0, input.getElementType(), broadcastShapes(shapeAt(0), shapeAt(1)));
    if (k == "masked_fill.Tensor" && tensorAt(2) && tensorAt(2).getRank() != 0)
      unsupported("the fill value is not a 0-d tensor");
    return true;
  }
  if (k == "native_layer_norm" || k == "native_layer_norm_backward") {
    unsigned x = k == "native_layer_norm" ? 0 : 1;
    auto in = tensorAt(x);
    auto normalized = constInts(op->getOperand(x + 1));
    if (!in || !normalized) return true;
    int64_t axis = in.getRank() - static_cast<int64_t>(normalized->size());
    if (axis < 0 || ArrayRef<int64_t>(in.getShape()).drop_front(axis) != ArrayRef<int64_t>(*normalized))
      unsupported("the normalized shape is not the input's last dimensions");
    expectResult(op, 0, in.getElementType(), in.getShape());
    if (x == 1) {
      if (shapeAt(0) != Shape(in.getShape().begin(), in.getShape().end()))
        unsupported("the incoming gradient's shape differs from the input's");
      // The gradients of the weight and bias, when there are a weight and a bias (without, the
      // results are placeholders nothing reads).
      for (unsigned r = 1; r < 3 && r < op->getNumResults(); ++r)
        if (auto param = tensorAt(4 + r)) expectResult(op, r, param.getElementType(), param.getShape());
      return true;
    }
    Shape stats(in.getShape().begin(), in.getShape().begin() + axis);
    stats.append(normalized->size(), 1);
    for (unsigned r = 1; r < op->getNumResults(); ++r) {
      auto rt = rankedOf(op->getResult(r));
      Type elem = in.getElementType();
      if (rt && isReducedFloat(elem) && rt.getElementType().isF32()) elem = rt.getElementType();
      expectResult(op, r, elem, stats);
    }
    return true;
  }
  if (k == "native_batch_norm" || k == "native_batch_norm_backward") {
    unsigned x = k == "native_batch_norm" ? 0 : 1;
    auto in = tensorAt(x);
    if (!in || in.getRank() < 2) unsupported("batch normalisation of an input below rank 2");
    expectResult(op, 0, in.getElementType(), in.getShape());
    if (x == 1 && shapeAt(0) != Shape(in.getShape().begin(), in.getShape().end()))
      unsupported("the incoming gradient's shape differs from the input's");
    auto weight = tensorAt(x + 1);
    Type stats = x == 1 && weight ? weight.getElementType() : in.getElementType();
    for (unsigned r = 1; r < op->getNumResults(); ++r) vectorOf(r, in.getDimSize(1), stats);
    return true;
  }
  if (k == "convolution_backward") {
    auto x = tensorAt(1), w = tensorAt(2);
    if (!x || !w) return true;
    if (input.getRank() != x.getRank() || input.getDimSize(0) != x.getDimSize(0))
      unsupported("the incoming gradient does not match the input's batch");
    like(0, 1);
    like(1, 2);
    // The bias gradient: bias_sizes, or the output channels when the mask asks for it without
    // them (otherwise the result is a placeholder nothing reads).
    if (op->getNumResults() > 2) {
      auto mask = constInts(op->getOperand(10));
      if (auto sizes = constInts(op->getOperand(3)))
        expectResult(op, 2, w.getElementType(), *sizes);
      else if (mask && mask->size() > 2 && (*mask)[2] && input.getRank() > 1)
        expectResult(op, 2, w.getElementType(), {input.getDimSize(1)});
    }
    return true;
  }
  if (k == "embedding") {
    auto indices = tensorAt(1);
    if (!indices || input.getRank() != 2) unsupported("the embedding table is not a matrix");
    if (!isIntegerType(indices.getElementType())) unsupported("the indices are not integers");
    Shape shape(indices.getShape().begin(), indices.getShape().end());
    shape.push_back(input.getDimSize(1));
    expectResult(op, 0, input.getElementType(), shape);
    return true;
  }
  if (k == "embedding_dense_backward") {
    auto rows = n > 2 ? constInt(op->getOperand(2)) : std::nullopt;
    if (!rows || input.getRank() < 1) return true;
    expectResult(op, 0, input.getElementType(), Shape{*rows, input.getShape().back()});
    return true;
  }
  if (k == "nll_loss_forward" || k == "nll_loss2d_forward") {
    for (unsigned r = 0; r < op->getNumResults(); ++r)
      if (auto rt = rankedOf(op->getResult(r)); rt && rt.getElementType() != input.getElementType())
        unsupported("result " + llvm::Twine(r) + " is declared " + typeText(rt.getElementType()) +
                    " but the operation gives " + typeText(input.getElementType()));
    return false;  // the pattern checks the shapes
  }
  if (k == "nll_loss_backward" || k == "nll_loss2d_backward") {
    like(0, 1);
    return true;
  }
  if (k == "slice_copy.Tensor" || k == "slice.Tensor") {
    auto dim = constInt(op->getOperand(1)), step = constInt(op->getOperand(4));
    if (!dim || !step) return true;
    int64_t rank = input.getRank(), d = normDim(*dim, rank), size = input.getDimSize(d);
    if (*step < 1) unsupported("slice step below 1");
    auto bound = [&](unsigned i, int64_t fallback) -> std::optional<int64_t> {
      if (isNoneValue(op->getOperand(i))) return fallback;
      auto v = constInt(op->getOperand(i));
      if (!v) return std::nullopt;
      int64_t b = *v < 0 ? *v + size : *v;
      return std::clamp<int64_t>(b, 0, size);
    };
    auto start = bound(2, 0), end = bound(3, size);
    if (!start || !end) return true;
    Shape shape = shapeAt(0);
    shape[d] = *end > *start ? (*end - *start + *step - 1) / *step : 0;
    expectResult(op, 0, input.getElementType(), shape);
    return true;
  }
  if (k == "select_copy.int" || k == "select.int") {
    auto dim = constInt(op->getOperand(1));
    if (!dim) return true;
    Shape shape = shapeAt(0);
    shape.erase(shape.begin() + normDim(*dim, input.getRank()));
    expectResult(op, 0, input.getElementType(), shape);
    return true;
  }
  if (k == "gather") {
    if (auto idx = tensorAt(2)) expectResult(op, 0, input.getElementType(), idx.getShape());
    return true;
  }
  return false;
}

/// max_poolNd[_with_indices], avg_poolNd and their gradients: the window's output shape, as
/// PyTorch's pooling_output_shape gives it.
bool checkPooling(Operation *op, StringRef kind) {
  StringRef k = kind;
  k.consume_front("aten.");
  bool isMax = k.consume_front("max_pool"), isAvg = !isMax && k.consume_front("avg_pool");
  if ((!isMax && !isAvg) || k.size() < 2 || !(k[0] >= '1' && k[0] <= '3') || k[1] != 'd')
    return false;
  int64_t spatial = k[0] - '0';
  StringRef form = k.drop_front(2);
  bool backward = form.endswith("backward");
  if (form != "" && form != "_with_indices" && form != "_backward" &&
      form != "_with_indices_backward")
    return false;
  unsigned x = backward ? 1 : 0, at = x + 1;
  auto in = rankedOf(op->getOperand(x));
  if (!in) return true;
  if (in.getRank() != spatial + 1 && in.getRank() != spatial + 2)
    unsupported("pooling of an input of rank " + llvm::Twine(in.getRank()));
  auto list = [&](unsigned i, Shape fallback) -> std::optional<Shape> {
    auto v = constInts(op->getOperand(i));
    if (!v) return std::nullopt;
    if (v->empty()) return fallback;
    if (v->size() == 1) return Shape(spatial, (*v)[0]);
    if (static_cast<int64_t>(v->size()) != spatial) unsupported("a pooling list does not match the spatial rank");
    return *v;
  };
  auto kernel = list(at, Shape(spatial, 1));
  if (!kernel) return true;
  auto stride = list(at + 1, *kernel), padding = list(at + 2, Shape(spatial, 0));
  auto dilation = isMax ? list(at + 3, Shape(spatial, 1)) : std::optional<Shape>(Shape(spatial, 1));
  auto ceil = constInt(op->getOperand(isMax ? at + 4 : at + 3));
  if (!stride || !padding || !dilation || !ceil) return true;
  ArrayRef<int64_t> shape = in.getShape();
  Shape out(shape.begin(), shape.end() - spatial);
  for (int64_t i = 0; i < spatial; ++i) {
    int64_t size = shape[shape.size() - spatial + i], kk = (*kernel)[i], s = (*stride)[i],
            p = (*padding)[i], d = (*dilation)[i];
    if (kk < 1 || s < 1 || d < 1 || p < 0 || 2 * p > kk)
      unsupported("pooling settings out of range");
    int64_t num = size + 2 * p - d * (kk - 1) - 1 + (*ceil ? s - 1 : 0);
    if (num < 0) unsupported("the pooling window is larger than the padded input");
    int64_t o = num / s + 1;
    if (*ceil && (o - 1) * s >= size + p) --o;
    out.push_back(o);
  }
  if (!backward) {
    expectResult(op, 0, in.getElementType(), out);
    if (op->getNumResults() > 1) expectResult(op, 1, si64Type(op->getContext()), out);
    return true;
  }
  auto grad = rankedOf(op->getOperand(0));
  if (grad && (grad.getShape() != ArrayRef<int64_t>(out) || grad.getElementType() != in.getElementType()))
    unsupported("the incoming gradient is not of the pooling's output type");
  if (form == "_with_indices_backward")
    if (auto idx = rankedOf(op->getOperand(op->getNumOperands() - 1));
        idx && (idx.getShape() != ArrayRef<int64_t>(out) || !isIntegerType(idx.getElementType())))
      unsupported("the indices are not of the pooling's output shape");
  expectResult(op, 0, in.getElementType(), in.getShape());
  return true;
}

/// The element type of integer and bool tensors accumulated (cumsum, sum): si64; others stay.
Type accumulated(Type elem) {
  return isFloatType(elem) ? elem : si64Type(elem.getContext());
}

/// The remaining families with a rule each: copies and in-place-style updates (shaped like an
/// operand), scans, sorts, softmax with a dtype, casts, padding, resampling, stacking, repeating,
/// narrowing and the gradients of activations.
bool checkOtherKind(Operation *op, StringRef kind, const Signature &sig) {
  MLIRContext *ctx = op->getContext();
  unsigned n = op->getNumOperands();
  auto tensorAt = [&](unsigned i) { return i < n ? rankedOf(op->getOperand(i)) : RankedTensorType(); };
  auto input = tensorAt(0);
  StringRef k = kind;
  k.consume_front("aten.");
  auto like = [&](unsigned result, unsigned operand) {
    if (auto t = tensorAt(operand)) expectResult(op, result, t.getElementType(), t.getShape());
  };
  static const llvm::StringSet<> likeFirst = {
      "alias", "contiguous", "detach", "lift", "lift_fresh", "negative", "fix", "flip", "roll",
      "renorm", "hardswish", "zero", "random", "random.from", "random.to", "exponential",
      "bernoulli.Tensor", "index_add", "index_copy", "index_fill.int_Scalar",
      "index_fill.int_Tensor", "index_put", "_index_put_impl", "_unsafe_index_put", "put",
      "scatter.src", "scatter.value", "scatter.reduce", "scatter.value_reduce", "scatter_add",
      "scatter_reduce.two", "select_scatter", "slice_scatter", "diagonal_scatter",
      "as_strided_scatter", "_prelu_kernel", "elu_backward", "hardshrink_backward",
      "hardsigmoid_backward", "hardswish_backward", "hardtanh_backward", "leaky_relu_backward",
      "log_sigmoid_backward", "mish_backward", "softplus_backward", "softshrink_backward",
      "logcumsumexp", "glu_jvp"};
  static const llvm::StringSet<> likeSecond = {
      "glu_backward", "adaptive_max_pool2d_backward", "adaptive_max_pool3d_backward", "_adaptive_avg_pool2d_backward",
      "_adaptive_avg_pool3d_backward", "reflection_pad1d_backward", "reflection_pad2d_backward",
      "reflection_pad3d_backward", "replication_pad1d_backward", "replication_pad2d_backward",
      "replication_pad3d_backward"};
  if (likeFirst.contains(k)) {
    like(0, 0);
    return true;
  }
  if (likeSecond.contains(k)) {
    like(0, 1);
    return true;
  }
  // Pooling to a given output size: the input's batch and channel dimensions, then that size; the
  // values keep the input's element type, indices are si64.
  bool fractional = k == "fractional_max_pool2d" || k == "fractional_max_pool3d";
  if (fractional || k == "max_unpool2d" || k == "max_unpool3d") {
    auto x = tensorAt(0);
    auto size = n > 2 ? constInts(op->getOperand(2)) : std::nullopt;
    if (!x || !size || x.getRank() < static_cast<int64_t>(size->size())) return true;
    Shape shape(x.getShape().begin(), x.getShape().end() - size->size());
    shape.append(size->begin(), size->end());
    expectResult(op, 0, x.getElementType(), shape);
    if (fractional && op->getNumResults() > 1) expectResult(op, 1, si64Type(ctx), shape);
    return true;
  }
  if (k == "eye" || k == "eye.m" || k == "linspace" || k == "scalar_tensor") {
    // Made from numbers: the size from them, f32 unless a dtype is given.
    Type want = dtypeOperand(op, sig.dtypeAt);
    std::optional<Shape> shape;
    if (k == "scalar_tensor") {
      shape = Shape();
    } else {
      auto a = constInt(op->getOperand(k == "linspace" ? 2 : 0));
      auto b = k == "eye.m" ? constInt(op->getOperand(1)) : a;
      if (!a || !b) return true;
      if (*a < 0 || *b < 0) unsupported("a size below 0");
      shape = k == "linspace" ? Shape{*a} : Shape{*a, *b};
    }
    if (!want) want = Float32Type::get(ctx);
    expectResult(op, 0, want, *shape);
    return true;
  }
  if (!input) return false;
  ArrayRef<int64_t> in = input.getShape();
  int64_t rank = input.getRank();
  Type elem = input.getElementType();
  if (k == "diagonal" || k == "diagonal_copy") {
    auto offset = constInt(op->getOperand(1)), d1 = constInt(op->getOperand(2)),
         d2 = constInt(op->getOperand(3));
    if (!offset || !d1 || !d2) return true;
    int64_t a = normDim(*d1, rank), b = normDim(*d2, rank);
    if (a == b) unsupported("diagonal of one dimension with itself");
    Shape shape;
    for (int64_t i = 0; i < rank; ++i)
      if (i != a && i != b) shape.push_back(in[i]);
    int64_t length = *offset >= 0 ? std::min(in[a], in[b] - *offset) : std::min(in[a] + *offset, in[b]);
    shape.push_back(std::max<int64_t>(length, 0));
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "grid_sampler_2d" || k == "grid_sampler_3d") {
    auto grid = tensorAt(1);
    if (!grid) return true;
    int64_t want = k == "grid_sampler_2d" ? 4 : 5;
    if (rank != want || grid.getRank() != want || grid.getDimSize(want - 1) != want - 2 ||
        grid.getDimSize(0) != in[0])
      unsupported(llvm::Twine("the input and grid do not fit a ") + llvm::Twine(want - 2) +
                  "-D grid sampling");
    Shape shape{in[0], in[1]};
    for (int64_t d = 1; d + 1 < want; ++d) shape.push_back(grid.getDimSize(d));
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "_prelu_kernel_backward" || k == "grid_sampler_2d_backward" || k == "grid_sampler_3d_backward") {
    like(0, 1);
    if (op->getNumResults() > 1) like(1, 2);
    return true;
  }
  if (k == "cumsum" || k == "cumprod") {
    Type want = dtypeOperand(op, sig.dtypeAt);
    expectResult(op, 0, want ? want : accumulated(elem), in);
    return true;
  }
  if (k == "softmax.int" || k == "log_softmax.int") {
    Type want = dtypeOperand(op, sig.dtypeAt);
    expectResult(op, 0, want ? want : elem, in);
    return true;
  }
  if (k == "cummax" || k == "cummin" || k == "sort" || k == "sort.stable" ||
      k == "log_sigmoid_forward") {
    expectResult(op, 0, elem, in);
    // log_sigmoid_forward's second result is a buffer of the kernel's (any shape nothing reads).
    if (op->getNumResults() > 1 && k != "log_sigmoid_forward") expectResult(op, 1, si64Type(ctx), in);
    return true;
  }
  if (k == "topk") {
    auto kk = constInt(op->getOperand(1)), dim = constInt(op->getOperand(2));
    if (!kk || !dim) return true;
    Shape shape(in.begin(), in.end());
    if (rank > 0) {
      int64_t d = normDim(*dim, rank);
      if (*kk < 0 || *kk > shape[d]) unsupported("k is out of range for the dimension");
      shape[d] = *kk;
    }
    expectResult(op, 0, elem, shape);
    if (op->getNumResults() > 1) expectResult(op, 1, si64Type(ctx), shape);
    return true;
  }
  if (k == "to.dtype" || k == "to.device" || k == "to.dtype_layout" || k == "_cast_Float" ||
      k == "_cast_Long" || k == "type_as") {
    Type want = k == "_cast_Float" ? Type(Float32Type::get(ctx))
                : k == "_cast_Long" ? si64Type(ctx)
                : k == "type_as"    ? (tensorAt(1) ? tensorAt(1).getElementType() : Type())
                                    : dtypeOperand(op, sig.dtypeAt);
    expectResult(op, 0, want ? want : elem, in);
    return true;
  }
  if (k == "view_as" || k == "reshape_as" || k == "expand_as") {
    auto other = tensorAt(1);
    if (!other) return true;
    if (k != "expand_as" && numElements(in) != numElements(other.getShape()))
      unsupported("the element counts differ");
    if (k == "expand_as" && !llvm::equal(broadcastShapes(in, other.getShape()), other.getShape()))
      unsupported("the input does not expand to the other's shape");
    expectResult(op, 0, elem, other.getShape());
    return true;
  }
  if (k == "constant_pad_nd" || k == "pad" || k.startswith("reflection_pad") ||
      k.startswith("replication_pad")) {
    auto pads = constInts(op->getOperand(1));
    if (!pads) return true;
    if (pads->size() % 2 || static_cast<int64_t>(pads->size()) > 2 * rank)
      unsupported("the padding list does not fit the rank");
    Shape shape(in.begin(), in.end());
    for (size_t i = 0; i < pads->size() / 2; ++i) {
      int64_t &d = shape[rank - 1 - i];
      d += (*pads)[2 * i] + (*pads)[2 * i + 1];
      if (d < 0) unsupported("padding leaves a negative size");
    }
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k.startswith("upsample_") || k.startswith("adaptive_") || k.startswith("_adaptive_")) {
    if (k.endswith("_backward")) {
      if (auto sizes = constInts(op->getOperand(2))) expectResult(op, 0, elem, *sizes);
      return true;
    }
    auto sizes = constInts(op->getOperand(1));
    if (!sizes) return true;
    if (static_cast<int64_t>(sizes->size()) > rank) unsupported("more output sizes than dimensions");
    Shape shape(in.begin(), in.end() - sizes->size());
    shape.append(sizes->begin(), sizes->end());
    expectResult(op, 0, elem, shape);
    if (op->getNumResults() > 1) expectResult(op, 1, si64Type(ctx), shape);
    return true;
  }
  if (k == "stack") {
    Operation *list = op->getOperand(0).getDefiningOp();
    auto dim = constInt(op->getOperand(1));
    if (!list || torchKind(list) != "prim.ListConstruct" || !dim || list->getNumOperands() == 0)
      return true;
    auto first = rankedOf(list->getOperand(0));
    if (!first) return true;
    llvm::SmallVector<PromotionInput, 4> types;
    for (Value piece : list->getOperands()) {
      auto t = rankedOf(piece);
      if (!t) return true;
      if (t.getShape() != first.getShape()) unsupported("the stacked tensors' shapes differ");
      types.push_back({t.getElementType(), true, false});
    }
    Shape shape(first.getShape().begin(), first.getShape().end());
    shape.insert(shape.begin() + normDim(*dim, first.getRank() + 1),
                 static_cast<int64_t>(list->getNumOperands()));
    expectResult(op, 0, promoteTypes(ctx, types), shape);
    return true;
  }
  if (k == "repeat") {
    auto reps = constInts(op->getOperand(1));
    if (!reps) return true;
    if (static_cast<int64_t>(reps->size()) < rank) unsupported("fewer repeats than dimensions");
    Shape shape(*reps);
    size_t lead = reps->size() - rank;
    for (int64_t i = 0; i < rank; ++i) shape[lead + i] *= in[i];
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "narrow" || k == "narrow_copy") {
    auto dim = constInt(op->getOperand(1)), length = constInt(op->getOperand(3));
    if (!dim || !length) return true;
    Shape shape(in.begin(), in.end());
    int64_t d = normDim(*dim, rank);
    if (*length < 0 || *length > shape[d]) unsupported("the length is out of range");
    shape[d] = *length;
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "unflatten.int") {
    auto dim = constInt(op->getOperand(1));
    auto sizes = constInts(op->getOperand(2));
    if (!dim || !sizes) return true;
    int64_t d = normDim(*dim, rank), known = 1, inferred = -1;
    for (auto [i, v] : llvm::enumerate(*sizes)) {
      if (v == -1 && inferred < 0) inferred = i;
      else known *= v;
    }
    if (inferred >= 0 && known) (*sizes)[inferred] = in[d] / known;
    if (numElements(*sizes) != in[d]) unsupported("the sizes do not fill the dimension");
    Shape shape(in.begin(), in.begin() + d);
    shape.append(sizes->begin(), sizes->end());
    shape.append(in.begin() + d + 1, in.end());
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "index_select") {
    auto dim = constInt(op->getOperand(1));
    auto index = tensorAt(2);
    if (!dim || !index) return true;
    if (index.getRank() > 1) unsupported("the index is not a vector");
    Shape shape(in.begin(), in.end());
    if (rank > 0) shape[normDim(*dim, rank)] = index.getNumElements();
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "take") {
    if (auto index = tensorAt(1)) expectResult(op, 0, elem, index.getShape());
    return true;
  }
  if (k == "numpy_T") {
    expectResult(op, 0, elem, Shape(in.rbegin(), in.rend()));
    return true;
  }
  if (k == "glu") {
    auto dim = constInt(op->getOperand(1));
    if (!dim) return true;
    Shape shape(in.begin(), in.end());
    int64_t d = normDim(*dim, rank);
    if (shape[d] % 2) unsupported("glu halves a dimension of odd size");
    shape[d] /= 2;
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "one_hot") {
    auto classes = constInt(op->getOperand(1));
    if (!classes || *classes < 0) return true;
    Shape shape(in.begin(), in.end());
    shape.push_back(*classes);
    expectResult(op, 0, si64Type(ctx), shape);
    return true;
  }
  if (k == "trace" || k == "dot" || k == "vdot") {
    expectResult(op, 0, k == "trace" ? accumulated(elem) : elem, {});
    return true;
  }
  if (k == "unfold_copy") {
    auto dim = constInt(op->getOperand(1)), size = constInt(op->getOperand(2)),
         step = constInt(op->getOperand(3));
    if (!dim || !size || !step) return true;
    Shape shape(in.begin(), in.end());
    if (rank > 0) {
      int64_t d = normDim(*dim, rank);
      if (*step < 1 || *size > shape[d]) unsupported("unfold settings out of range");
      shape[d] = (shape[d] - *size) / *step + 1;
    }
    shape.push_back(*size);
    expectResult(op, 0, elem, shape);
    return true;
  }
  if (k == "as_strided_copy") {
    if (auto sizes = constInts(op->getOperand(1))) expectResult(op, 0, elem, *sizes);
    return true;
  }
  if (k == "native_group_norm" || k == "native_group_norm_backward") {
    bool forward = k == "native_group_norm";
    auto x = tensorAt(forward ? 0 : 1);
    if (!x) return true;
    expectResult(op, 0, x.getElementType(), x.getShape());
    auto batch = constInt(op->getOperand(forward ? 3 : 5)),
         channels = constInt(op->getOperand(forward ? 4 : 6)),
         groups = constInt(op->getOperand(forward ? 6 : 8));
    if (!batch || !channels || !groups) return true;
    for (unsigned r = 1; r < op->getNumResults(); ++r)
      if (auto rt = rankedOf(op->getResult(r)); rt && rt.getNumElements() != 0)
        expectResult(op, r, rt.getElementType(),
                     forward ? Shape{*batch, *groups} : Shape{*channels});
    return true;
  }
  if (k == "where.Scalar" || k == "where.ScalarSelf" || k == "where.ScalarOther" ||
      k == "rsub.Tensor" || k == "floor_divide" || k == "floor_divide.Scalar" ||
      k == "linalg_cross") {
    checkElementwise(op, kind, sig);
    return true;
  }
  return false;
}

/// cat(tensors, dim): the pieces joined along dim, in their promoted element type.
void checkCat(Operation *op) {
  Operation *list = op->getOperand(0).getDefiningOp();
  auto dim = constInt(op->getOperand(1));
  if (!list || torchKind(list) != "prim.ListConstruct" || !dim) return;
  Shape shape;
  llvm::SmallVector<PromotionInput, 4> types;
  int64_t d = 0;
  for (Value piece : list->getOperands()) {
    auto t = rankedOf(piece);
    if (!t) return;
    types.push_back({t.getElementType(), true, false});
    if (t.getRank() == 1 && t.getDimSize(0) == 0) continue;  // PyTorch skips empty vectors
    if (shape.empty()) {
      shape.assign(t.getShape().begin(), t.getShape().end());
      d = normDim(*dim, t.getRank());
      continue;
    }
    if (t.getRank() != static_cast<int64_t>(shape.size()))
      unsupported("the pieces' ranks differ");
    for (int64_t i = 0; i < t.getRank(); ++i)
      if (i != d && t.getDimSize(i) != shape[i]) unsupported("the pieces' shapes differ");
    shape[d] += t.getDimSize(d);
  }
  if (types.empty()) return;
  if (shape.empty() && !types.empty()) shape = {0};
  expectResult(op, 0, promoteTypes(op->getContext(), types), shape);
}

/// arange(end, ...), arange.start(start, end, ...), arange.start_step(start, end, step, ...):
/// ceil((end - start) / step) values.
void checkArange(Operation *op, StringRef kind, const Signature &sig) {
  unsigned bounds = kind == "aten.arange" ? 1 : kind == "aten.arange.start" ? 2 : 3;
  std::optional<double> start = 0.0, step = 1.0, end = constNumber(op->getOperand(bounds > 1));
  if (bounds > 1) start = constNumber(op->getOperand(0));
  if (bounds > 2) step = constNumber(op->getOperand(2));
  if (!start || !end || !step) return;
  if (*step == 0) unsupported("arange with a step of 0");
  double count = std::ceil((*end - *start) / *step);
  // Integer bounds: counted in integers, as PyTorch does (a double rounds beyond 2^53).
  auto s0 = bounds > 1 ? scalarOf(op->getOperand(0)) : Scalar{0, true, 0};
  auto s1 = scalarOf(op->getOperand(bounds > 1));
  auto s2 = bounds > 2 ? scalarOf(op->getOperand(2)) : Scalar{1, true, 1};
  if (s0 && s1 && s2 && s0->integral && s1->integral && s2->integral) {
    int64_t by = s2->integer, sign = (by > 0) - (by < 0);
    count = static_cast<double>((s1->integer - s0->integer + by - sign) / by);
  }
  if (count < 0) unsupported("arange's bounds contradict its step");
  MLIRContext *ctx = op->getContext();
  Type elem = dtypeOperand(op, sig.dtypeAt);
  if (!elem) {
    bool integral = llvm::all_of(op->getOperands().take_front(bounds), [](Value v) {
      auto n = scalarOf(v);
      return letterOf(v.getType()) == 'i' || (n && n->integral);
    });
    elem = integral ? si64Type(ctx) : Type(Float32Type::get(ctx));
  }
  expectResult(op, 0, elem, Shape{static_cast<int64_t>(count)});
}

void checkResults(Operation *op, StringRef kind, const Signature &sig) {
  for (Value v : op->getOperands())
    if (auto ranked = rankedOf(v)) expectCountable(ranked.getShape(), "an operand");
  for (Value v : op->getResults())
    if (auto ranked = rankedOf(v)) expectCountable(ranked.getShape(), "a result");
  if (op->getNumOperands() == 0 && !kind.startswith("aten.")) return;
  if (checkShapeOp(op, kind) || checkProduct(op, kind) || checkCreation(op, kind, sig) ||
      checkPooling(op, kind) || checkKnownKind(op, kind))
    return;
  if (checkOtherKind(op, kind, sig)) return;
  if (kind == "aten.cat") return checkCat(op);
  if (kind == "aten.arange" || kind == "aten.arange.start" || kind == "aten.arange.start_step")
    return checkArange(op, kind, sig);
  if (sig.pointwise) return checkElementwise(op, kind, sig);
  if (isReduction(baseName(kind)) && op->getNumOperands() > 0) checkReduction(op, kind, sig);
}

}  // namespace

std::optional<std::string> checkOperation(Operation *op) {
  StringRef kind = torchKind(op);
  try {
    if (op->getName().getStringRef() == "torch.operator" && kind.empty())
      unsupported("the operator has no name");
    if (kind == "operator") unsupported("the operator has no name");
    if (kind.startswith("constant.") || kind == "vtensor.literal" ||
        kind == "prim.ListConstruct") {
      checkConstant(op, kind);
      return std::nullopt;
    }
    const Signature *sig = signatureOf(kind);
    // A kind that is never converted is reported with the reason why.
    if (!sig || !refusalReason(kind).empty()) return std::nullopt;
    if (kind.startswith("lumo.")) {
      checkLumoCall(op, *sig);
      return std::nullopt;
    }
    checkSignature(op, *sig);
    checkResults(op, kind, *sig);
  } catch (const Unsupported &u) {
    return u.reason;
  }
  return std::nullopt;
}

}  // namespace torch_lumo
