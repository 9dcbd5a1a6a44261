// Shared pieces of the torch-to-lumo conversion: reading torch-dialect operands (constants,
// lists, embedded scalars), emitting lumo operations with light folding, and the pattern table.
//
// The torch dialect is not linked: its operations are unregistered and are read by name, its
// value tensors have become builtin ranked tensors (see RefineTypes.cpp), and its scalar and list
// types stay opaque. Every torch operation kind has at most one pattern, a function that emits
// lumo operations in front of the operation and returns the values that replace its results;
// ConvertTorchToLumo.cpp wraps each in a ConversionPattern rooted on the operation's name.
#pragma once

#include "mlir/Dialect/Func/IR/FuncOps.h"
#include "mlir/IR/Builders.h"
#include "mlir/IR/BuiltinAttributes.h"
#include "mlir/IR/BuiltinOps.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/Operation.h"
#include "mlir/IR/PatternMatch.h"
#include "llvm/ADT/DenseMap.h"
#include "llvm/ADT/SmallVector.h"
#include "llvm/ADT/StringMap.h"

#include <functional>
#include <optional>
#include <string>

namespace mlir {
class ConversionPatternRewriter;
}

namespace torch_lumo {
using namespace mlir;

using Shape = llvm::SmallVector<int64_t, 4>;
using Values = llvm::SmallVector<Value, 4>;

/// Thrown by patterns and readers when an operation cannot be converted; the pattern that runs them
/// (ConvertTorchToLumo.cpp) catches it, fails the match with the reason (the conversion rolls back
/// what was emitted) and records the reason for the report of the operation kind.
struct Unsupported {
  std::string reason;
};
[[noreturn]] void unsupported(const llvm::Twine &reason);

// ------------------------------------------------------------------ types and shapes
RankedTensorType tensorOf(ArrayRef<int64_t> shape, Type elem);
bool isFloatType(Type t);
bool isComplexType(Type t);
bool isBoolType(Type t);
bool isIntegerType(Type t);  // integers other than i1
/// bf16 and f16: PyTorch's elementwise kernels compute them in f32 (their "op math" type) and
/// round each result once.
bool isReducedFloat(Type t);
/// Whether the number v, rounded to `elem`, differs from v rounded to f32 (the precision PyTorch
/// computes a reduced-precision operation with a scalar operand in).
bool roundsAwayFromOpmath(double v, Type elem);
/// si64, the element type of indices.
Type si64Type(MLIRContext *ctx);
int64_t numElements(ArrayRef<int64_t> shape);
/// Numpy-style broadcast of two shapes; throws when they do not broadcast.
Shape broadcastShapes(ArrayRef<int64_t> a, ArrayRef<int64_t> b);
/// A dimension index in [0, rank), negative values counted from the end; throws when out of range
/// (a 0-d tensor has none).
int64_t normDim(int64_t dim, int64_t rank);
Shape normDims(ArrayRef<int64_t> dims, int64_t rank);
/// The dimensions from, from + 1, ..., to - 1.
Shape dimRange(int64_t from, int64_t to);
/// The shape of a reduction of `shape` over dims: the reduced dimensions dropped, or kept as 1.
Shape reducedShape(ArrayRef<int64_t> shape, ArrayRef<int64_t> dims, bool keepDims);
/// The permutation that moves dimension `dim` to position `to`.
Shape moveDim(int64_t rank, int64_t dim, int64_t to);
Shape inversePermutation(ArrayRef<int64_t> perm);
/// The element type of a PyTorch ScalarType code (6 float, 4 long, 11 bool, ...).
Type dtypeFromCode(MLIRContext *ctx, int64_t code);
/// PyTorch's result type of an operation over these values, each given with the rank it has (0 for
/// scalars) and whether it is a plain number (which only decides the category).
struct PromotionInput {
  Type elem;
  bool dimensioned;
  bool number;
};
Type promoteTypes(MLIRContext *ctx, ArrayRef<PromotionInput> inputs);

// ------------------------------------------------------------------ emitting lumo operations
class Emitter {
 public:
  Emitter(OpBuilder &builder, Location loc) : b(builder), loc(loc) {}
  /// In a dialect conversion: what the emitter creates is tracked by the rewriter (and rolled back
  /// when the pattern fails), so what it removes must go through the rewriter too (erase).
  Emitter(RewriterBase &rewriter, Location loc) : b(rewriter), loc(loc), rewriter(&rewriter) {}
  OpBuilder &b;
  Location loc;
  RewriterBase *rewriter = nullptr;
  /// Removes an operation the emitter created (e.g. one that folded away).
  void erase(Operation *op);
  MLIRContext *ctx() const { return b.getContext(); }

  Operation *create(StringRef name, ValueRange operands, TypeRange results,
                    ArrayRef<NamedAttribute> attrs = {});
  /// The state of a lumo operation, its attributes in the dialect's form (see create).
  OperationState stateOf(StringRef name, ValueRange operands, TypeRange results,
                         ArrayRef<NamedAttribute> attrs = {});
  /// The value of a one-result operation: created, then folded (a constant result becomes a
  /// lumo.Const, an operand result replaces it).
  Value op(StringRef name, ValueRange operands, Type result, ArrayRef<NamedAttribute> attrs = {});
  NamedAttribute attr(StringRef name, Attribute value) {
    return NamedAttribute(b.getStringAttr(name), value);
  }
  NamedAttribute i64(StringRef name, int64_t v) { return attr(name, b.getI64IntegerAttr(v)); }
  NamedAttribute ints(StringRef name, ArrayRef<int64_t> v) {
    return attr(name, b.getDenseI64ArrayAttr(v));
  }
  NamedAttribute f64(StringRef name, double v) { return attr(name, b.getF64FloatAttr(v)); }
  NamedAttribute flag(StringRef name, bool v) { return attr(name, b.getBoolAttr(v)); }
  NamedAttribute str(StringRef name, StringRef v) { return attr(name, b.getStringAttr(v)); }

  // Constants.
  Value constant(DenseElementsAttr value);
  /// A constant of `type` holding `values` (or one value in every element).
  Value constant(RankedTensorType type, ArrayRef<double> values);
  Value splat(RankedTensorType type, double v);
  Value scalar(Type elem, double v) { return splat(tensorOf({}, elem), v); }
  Value indexVector(ArrayRef<int64_t> values);  // 1-D si64
  Value indexScalar(int64_t v);                 // 0-d si64
  /// si64 positions start + i*step along dim, constant along the other dimensions of `shape`.
  Value positions(ArrayRef<int64_t> shape, int64_t dim, int64_t start = 0, int64_t step = 1);
  /// The value of a lumo.Const, or null.
  static DenseElementsAttr constValue(Value v);
  /// The number a constant holds in every element, if it is a splat constant.
  static std::optional<double> splatValue(Value v);

  // Elementwise operations. Operands of arithmetic must have the element type of the result
  // (callers cast); the result shape is the broadcast of the operand shapes.
  Value cast(Value x, Type elem);
  Value unaryOp(StringRef name, Value x, ArrayRef<NamedAttribute> attrs = {});
  /// A lumo.Unary of `kind`; `order` for the kinds that take one (polygamma, mvlgamma).
  Value unary(StringRef kind, Value x, std::optional<int64_t> order = std::nullopt);
  Value binaryOp(StringRef name, Value x, Value y);
  Value binary(StringRef kind, Value x, Value y);
  Value add(Value x, Value y) { return binaryOp("lumo.Add", x, y); }
  Value sub(Value x, Value y) { return binaryOp("lumo.Sub", x, y); }
  Value mul(Value x, Value y) { return binaryOp("lumo.Mul", x, y); }
  Value div(Value x, Value y) { return binaryOp("lumo.Div", x, y); }
  /// x * c for a number c in x's element type.
  Value scale(Value x, double c);
  Value addScalar(Value x, double c);
  Value compare(Value x, Value y, StringRef direction);
  Value select(Value cond, Value a, Value b);
  Value logicalAnd(Value a, Value b);
  Value logicalOr(Value a, Value b);
  Value logicalNot(Value a) { return unary("not", a); }

  // Shapes.
  Value reshape(Value x, ArrayRef<int64_t> shape);
  Value transpose(Value x, ArrayRef<int64_t> perm);
  Value broadcastInDim(Value x, ArrayRef<int64_t> shape, ArrayRef<int64_t> dims);
  /// Numpy-style broadcast of x to `shape` (trailing dimensions aligned).
  Value broadcastTo(Value x, ArrayRef<int64_t> shape);
  Value slice(Value x, ArrayRef<int64_t> begin, ArrayRef<int64_t> size);
  /// x[start:start+length] along dim.
  Value sliceDim(Value x, int64_t dim, int64_t start, int64_t length);
  Value concat(ValueRange values, int64_t axis);
  /// XLA-style padding (negative low/high crop); `extra` adds padding_mode or constant_values.
  Value pad(Value x, ArrayRef<int64_t> low, ArrayRef<int64_t> high, ArrayRef<int64_t> interior,
            ArrayRef<NamedAttribute> extra = {});
  Value reduce(Value x, ArrayRef<int64_t> dims, bool keepDims, StringRef kind);
  /// x's slices at `indices` along axis; the first batchDims dimensions of indices and x pair up.
  Value gather(Value x, Value indices, int64_t axis, int64_t batchDims = 0);
  /// self with `updates` written at `indices` along axis, combined by `kind` ("none", "add", ...).
  Value scatter(Value self, Value indices, Value updates, int64_t axis, StringRef kind);
  Value matmul(Value a, Value b, bool transposeA, bool transposeB);
  /// Zeros of the given type.
  Value zeros(RankedTensorType type) { return splat(type, 0.0); }
  /// v with exactly `type`: cast, then reshaped or broadcast to its shape.
  Value conform(Value v, RankedTensorType type);
  /// Sums x over the dimensions that were broadcast to reach its shape from `shape`.
  Value sumTo(Value x, ArrayRef<int64_t> shape);
};

/// log_base(base^x + base^y), exact for equal infinities.
Value logAddExp(Emitter &e, Value x, Value y, double base);
/// log(1 + exp(x)), PyTorch's softplus with its default beta and threshold.
Value softplusOf(Emitter &e, Value x);
/// The lowest (or highest) value of an element type as a 0-d constant (infinities for floating
/// point, false/true for i1): the identity of a max (or min).
Value extreme(Emitter &e, Type elem, bool lowest);

inline RankedTensorType typeOf(Value v) { return v.getType().dyn_cast<RankedTensorType>(); }
inline Type elemOf(Value v) { return v.getType().cast<RankedTensorType>().getElementType(); }
inline ArrayRef<int64_t> shapeOf(Value v) { return v.getType().cast<RankedTensorType>().getShape(); }
inline int64_t rankOf(Value v) { return v.getType().cast<RankedTensorType>().getRank(); }

// ------------------------------------------------------------------ reading torch operations
/// State shared by the patterns while one function is converted.
struct FunctionState {
  explicit FunctionState(func::FuncOp func);
  /// The embedded value of a 0-d argument (tf.parameter_value), or null.
  DenseElementsAttr embeddedScalar(Value v) const;
  /// A fresh seed for the next random operation of the function.
  int64_t nextSeed() { return ++seeds; }
  /// The channel id of the next collective of the function (1, 2, ... in program order).
  int64_t nextChannel() { return ++channels; }

  /// What replaces v so far in the conversion (v itself when nothing does, or outside one). Tensor
  /// operands are read through it; constants, lists and scalar reads are never converted.
  Value remap(Value v) const;
  /// The operation that defines v: for the stand-in of a result that its conversion left without a
  /// replacement, the torch operation it stands in for.
  Operation *definingOp(Value v) const;

  func::FuncOp func;
  Operation *funcOp;
  llvm::SmallVector<DenseElementsAttr> scalars;
  int64_t seeds = 0;
  int64_t channels = 0;
  /// Set by the conversion driver while a pattern runs: the rewriter, the operation being converted
  /// and its operands as the conversion framework remapped them.
  ConversionPatternRewriter *rewriter = nullptr;
  Operation *converting = nullptr;
  ArrayRef<Value> operands;
  /// Stand-ins of results left without a replacement -> the torch operation (see definingOp).
  const llvm::DenseMap<Value, Operation *> *standIns = nullptr;
};

/// The kind of a torch operation: its name without "torch.", or, for `torch.operator`, the name
/// it carries ("aten.add.Tensor", "prim.ListConstruct", "lumo.Abs"). Empty for other dialects.
StringRef torchKind(Operation *op);

/// One torch operation being converted, with readers of its operands. Readers throw
/// `Unsupported` when an operand is not what they read.
class TorchOp {
 public:
  TorchOp(Operation *op, Emitter &e, FunctionState &state, StringRef kind)
      : op(op), e(e), state(state), kind(kind) {}
  Operation *op;
  Emitter &e;
  FunctionState &state;
  StringRef kind;
  /// While set, reduced-precision floating result types read as f32 (see inOpmath).
  bool opmath = false;

  unsigned size() const { return op->getNumOperands(); }
  /// Throws unless the operation has between min and max operands (max 0: exactly min).
  void expectOperands(unsigned min, unsigned max = 0) const;
  /// Operand i as converted so far (see FunctionState::remap).
  Value operand(unsigned i) const;

  // Tensors (embedded 0-d arguments become constants).
  Value tensor(unsigned i) const;
  Value optTensor(unsigned i) const;  // null for None
  Values tensors(unsigned i) const;   // a list of tensors
  RankedTensorType tensorType(unsigned i) const;

  // Constant scalars and lists.
  bool isNone(unsigned i) const;
  int64_t i64(unsigned i) const;
  std::optional<int64_t> optI64(unsigned i) const;
  double f64(unsigned i) const;  // float, int or bool constants
  std::optional<double> optF64(unsigned i) const;
  bool flag(unsigned i) const;
  std::optional<bool> optFlag(unsigned i) const;
  std::string str(unsigned i) const;
  Shape ints(unsigned i) const;
  std::optional<Shape> optInts(unsigned i) const;
  llvm::SmallVector<bool, 4> flags(unsigned i) const;
  /// The number a scalar operand (constant, embedded scalar, or constant 0-d tensor) holds.
  std::optional<double> number(unsigned i) const;
  /// A scalar operand (a number, a scalar read of a tensor, or a 0-d tensor) as a 0-d tensor of
  /// element type `elem`.
  Value scalar(unsigned i, Type elem) const;
  /// Whether operand i is a plain number rather than a tensor (for type promotion).
  bool isNumber(unsigned i) const;
  /// A tensor or scalar operand as a tensor of element type `elem`.
  Value value(unsigned i, Type elem) const;
  /// PyTorch's promoted element type of the given tensor and scalar operands.
  Type promoted(ArrayRef<unsigned> operands) const;

  // Results.
  RankedTensorType resultType(unsigned i = 0) const;
  Type resultElem(unsigned i = 0) const { return resultType(i).getElementType(); }
  ArrayRef<int64_t> resultShape(unsigned i = 0) const { return resultType(i).getShape(); }
  bool resultUsed(unsigned i) const { return !op->getResult(i).use_empty(); }
  /// The operation that defines operand i: the lumo operation that replaced a converted one, the
  /// torch operation itself for constants, lists, and results left without a replacement.
  Operation *producer(unsigned i) const;
};

// Scalar readers on plain values (look through constants, lists, scalar reads of embedded 0-d
// arguments). They return nothing when the value is not a constant.
std::optional<double> constantNumber(Value v, const FunctionState &state);
std::optional<Shape> constantInts(Value v, const FunctionState &state);

// ------------------------------------------------------------------ the pattern table
using PatternFn = std::function<Values(TorchOp &)>;
class PatternTable {
 public:
  void add(StringRef kind, PatternFn fn) {
    table[kind] = fn;
    families[kind] = family;
  }
  void add(std::initializer_list<StringRef> kinds, PatternFn fn) {
    for (StringRef k : kinds) add(k, fn);
  }
  const PatternFn *lookup(StringRef kind) const {
    auto it = table.find(kind);
    return it == table.end() ? nullptr : &it->second;
  }
  /// The family (source file in patterns/, lowercase) of a kind's pattern, or empty.
  StringRef familyOf(StringRef kind) const { return families.lookup(kind); }
  llvm::StringMap<PatternFn> table;
  llvm::StringMap<StringRef> families;
  /// The family whose patterns are being added.
  StringRef family;
};

/// `fn` computing in f32 where a result is bf16 or f16, the results then cast to their types: as
/// PyTorch computes one operation on reduced-precision floats (inputs and scalars in f32, one
/// rounding at the end). For patterns that emit several arithmetic operations, or read a scalar
/// that the reduced type cannot hold; `when` (if given) tells per operation whether it is needed.
PatternFn inOpmath(PatternFn fn, std::function<bool(TorchOp &)> when = nullptr);

/// All patterns, built once.
const PatternTable &patterns();
/// The pattern families, in the order they are added.
ArrayRef<StringRef> patternFamilies();

// Families (one source file each).
void addElementwisePatterns(PatternTable &t);
void addReductionPatterns(PatternTable &t);
void addLinalgPatterns(PatternTable &t);
void addShapePatterns(PatternTable &t);
void addIndexingPatterns(PatternTable &t);
void addNormalizationPatterns(PatternTable &t);
void addConvolutionPatterns(PatternTable &t);
void addLossPatterns(PatternTable &t);
void addCreationPatterns(PatternTable &t);
void addLumoPatterns(PatternTable &t);
void addComplexPatterns(PatternTable &t);
void addCollectivePatterns(PatternTable &t);

/// Why an operation kind that has no pattern is never converted, or empty.
StringRef refusalReason(StringRef kind);

/// Checks one torch-dialect operation (any kind, operand-only kinds included) before a pattern reads
/// it: its operand count and kinds against the operator's signature, its constants and lists
/// against their result types, its declared result types against what the operation computes.
/// Returns the reason when the operation is malformed (see Signatures.cpp).
std::optional<std::string> checkOperation(Operation *op);

/// Operations whose results are read by the patterns (constants, lists, scalar reads) rather than
/// converted; they disappear once unused.
bool isOperandOnlyKind(StringRef kind);

}  // namespace torch_lumo
