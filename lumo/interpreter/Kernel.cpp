#include "Kernel.h"
#include "lumo/LumoOps.h"

#include <cstring>

#include "llvm/ADT/StringMap.h"
#include "mlir/IR/BuiltinAttributes.h"
#include "mlir/IR/BuiltinDialect.h"
#include "mlir/IR/DialectResourceBlobManager.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/Diagnostics.h"

namespace lumo {

// ------------------------------------------------------------------ element types

namespace {
// The tensor element types of the dialect, spelled as the torch dialect spells them.
struct ElementType {
  at::ScalarType type;
  const char *name;
  bool (*is)(mlir::Type);
};
constexpr ElementType kElementTypes[] = {
    {at::kHalf, "f16", [](mlir::Type t) { return t.isF16(); }},
    {at::kBFloat16, "bf16", [](mlir::Type t) { return t.isBF16(); }},
    {at::kFloat, "f32", [](mlir::Type t) { return t.isF32(); }},
    {at::kDouble, "f64", [](mlir::Type t) { return t.isF64(); }},
    {at::kBool, "i1", [](mlir::Type t) { return t.isSignlessInteger(1); }},
    {at::kChar, "si8", [](mlir::Type t) { return t.isSignedInteger(8); }},
    {at::kShort, "si16", [](mlir::Type t) { return t.isSignedInteger(16); }},
    {at::kInt, "si32", [](mlir::Type t) { return t.isSignedInteger(32); }},
    {at::kLong, "si64", [](mlir::Type t) { return t.isSignedInteger(64); }},
    {at::kByte, "ui8", [](mlir::Type t) { return t.isUnsignedInteger(8); }},
    {at::kComplexFloat, "complex<f32>",
     [](mlir::Type t) { return t.isa<mlir::ComplexType>() && t.cast<mlir::ComplexType>().getElementType().isF32(); }},
    {at::kComplexDouble, "complex<f64>",
     [](mlir::Type t) { return t.isa<mlir::ComplexType>() && t.cast<mlir::ComplexType>().getElementType().isF64(); }},
};
} // namespace

std::optional<at::ScalarType> scalarTypeOf(mlir::Type t) {
  for (const ElementType &e : kElementTypes)
    if (e.is(t))
      return e.type;
  return std::nullopt;
}

std::string typeName(at::ScalarType type) {
  for (const ElementType &e : kElementTypes)
    if (type == e.type)
      return e.name;
  return c10::toString(type);
}

std::string shapeText(at::IntArrayRef shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); ++i)
    text += (i ? "," : "") + std::to_string(shape[i]);
  return text + "]";
}

// ------------------------------------------------------------------ constants

at::Tensor materialise(mlir::Attribute attr, std::string &error) {
  auto elements = attr.dyn_cast_or_null<mlir::ElementsAttr>();
  if (!elements) {
    error = "expected an elements attribute";
    return {};
  }
  auto type = elements.getType().cast<mlir::ShapedType>();
  auto dtype = scalarTypeOf(type.getElementType());
  if (!type.hasStaticShape() || !dtype) {
    error = "unsupported elements type";
    return {};
  }
  Shape shape(type.getShape().begin(), type.getShape().end());
  auto options = at::TensorOptions().dtype(*dtype);
  at::Tensor out = at::empty(shape, options);
  size_t bytes = out.numel() * out.element_size();

  auto copyBytes = [&](llvm::ArrayRef<char> data, bool splat) {
    if (splat) {
      if (data.size() != static_cast<size_t>(out.element_size())) {
        error = "malformed splat value";
        return;
      }
      at::Tensor one = at::empty({}, options);
      std::memcpy(one.data_ptr(), data.data(), data.size());
      out.copy_(one);
    } else if (data.size() != bytes) {
      error = "holds " + std::to_string(data.size()) + " bytes, its type needs " + std::to_string(bytes);
    } else if (bytes) {
      std::memcpy(out.data_ptr(), data.data(), bytes);
    }
  };

  if (auto dense = elements.dyn_cast<mlir::DenseElementsAttr>()) {
    if (*dtype == at::kBool) {
      // i1 values are bit-packed inside the attribute.
      bool *dst = out.data_ptr<bool>();
      for (bool v : dense.getValues<bool>())
        *dst++ = v;
    } else {
      copyBytes(dense.getRawData(), dense.isSplat());
    }
  } else if (auto resource = elements.dyn_cast<mlir::DenseResourceElementsAttr>()) {
    auto *blob = resource.getRawHandle().getBlob();
    if (!blob)
      error = "its data was elided from the text";
    else
      copyBytes(blob->getData(), false);
  } else {
    error = "only dense and dense_resource elements attributes are supported";
  }
  return error.empty() ? out : at::Tensor();
}

Shape readInts(const at::Tensor &t) {
  at::Tensor c = t.to(at::kLong).contiguous();
  const int64_t *p = c.data_ptr<int64_t>();
  return Shape(p, p + c.numel());
}

int64_t readInt(const at::Tensor &t) {
  TORCH_CHECK(t.numel() == 1, "expected a single integer, got a tensor of shape ", t.sizes());
  return t.item<int64_t>();
}

// ------------------------------------------------------------------ layouts

bool isChannelsLast(const std::optional<std::string> &dataFormat) {
  return dataFormat && dataFormat->size() >= 3 && dataFormat->front() == 'N' && dataFormat->back() == 'C';
}

at::Tensor toChannelsFirst(const at::Tensor &t) { return t.movedim(-1, 1); }
at::Tensor toChannelsLast(const at::Tensor &t) { return t.movedim(1, -1); }

// ------------------------------------------------------------------ OpView

static Shape shapeOf(mlir::Type type) {
  auto shaped = type.cast<mlir::ShapedType>();
  return Shape(shaped.getShape().begin(), shaped.getShape().end());
}

static at::ScalarType dtypeOf(mlir::Type type) {
  // Types were checked when the plan began: every value has a lumo element type.
  return *scalarTypeOf(type.cast<mlir::ShapedType>().getElementType());
}

Shape OpView::operandShape(size_t i) const { return shapeOf(op_->getOperand(i).getType()); }
Shape OpView::resultShape(size_t i) const { return shapeOf(op_->getResult(i).getType()); }
at::ScalarType OpView::operandType(size_t i) const { return dtypeOf(op_->getOperand(i).getType()); }
at::ScalarType OpView::resultType(size_t i) const { return dtypeOf(op_->getResult(i).getType()); }

std::optional<at::Tensor> OpView::constantOperand(size_t i) const {
  auto it = state_.constants.find(op_->getOperand(i));
  if (it == state_.constants.end())
    return std::nullopt;
  return it->second;
}

void OpView::fail(const llvm::Twine &message) const {
  op_->emitOpError(message);
  throw PlanFailure{};
}

template <typename A> A OpView::attr(llvm::StringRef name, const char *kind) const {
  mlir::Attribute a = op_->getAttr(name);
  if (!a)
    return {};
  auto typed = a.dyn_cast<A>();
  if (!typed)
    fail("attribute '" + name + "' must be " + kind);
  return typed;
}

std::optional<int64_t> OpView::intAttr(llvm::StringRef name) const {
  if (auto a = attr<mlir::IntegerAttr>(name, "an integer"))
    return a.getValue().getSExtValue();
  return std::nullopt;
}

std::optional<Shape> OpView::intsAttr(llvm::StringRef name) const {
  if (auto a = attr<mlir::DenseI64ArrayAttr>(name, "a dense i64 array"))
    return Shape(a.asArrayRef().begin(), a.asArrayRef().end());
  return std::nullopt;
}

Shape OpView::intsAttr(llvm::StringRef name, Shape otherwise) const {
  auto v = intsAttr(name);
  return v ? *v : std::move(otherwise);
}

std::optional<double> OpView::floatAttr(llvm::StringRef name) const {
  if (auto a = attr<mlir::FloatAttr>(name, "a float"))
    return a.getValueAsDouble();
  return std::nullopt;
}

std::optional<bool> OpView::boolAttr(llvm::StringRef name) const {
  if (auto a = attr<mlir::BoolAttr>(name, "a bool"))
    return a.getValue();
  return std::nullopt;
}

std::optional<std::string> OpView::strAttr(llvm::StringRef name) const {
  if (auto a = attr<mlir::StringAttr>(name, "a string"))
    return a.getValue().str();
  return std::nullopt;
}

std::optional<std::string> OpView::enumAttr(llvm::StringRef name) const {
  mlir::Attribute a = op_->getAttr(name);
  if (!a)
    return std::nullopt;
  auto spelling = lumo::enumCaseName(a);
  if (!spelling)
    fail("attribute '" + name + "' must be an enum attribute");
  return spelling->str();
}

std::optional<at::Tensor> OpView::elementsAttr(llvm::StringRef name) const {
  mlir::Attribute a = op_->getAttr(name);
  if (!a)
    return std::nullopt;
  std::string error;
  at::Tensor value = materialise(a, error);
  if (!error.empty())
    fail("attribute '" + name + "': " + error);
  return value;
}

int64_t OpView::dim(int64_t value, int64_t rank) const {
  int64_t d = value < 0 ? value + rank : value;
  if (d < 0 || d >= rank)
    fail("dimension " + llvm::Twine(value) + " is out of range for rank " + llvm::Twine(rank));
  return d;
}

Shape perDim(const OpView &op, llvm::StringRef name, size_t count, int64_t otherwise) {
  Shape v = op.intsAttr(name, Shape(count, otherwise));
  if (v.size() == 1 && count > 1)
    v.assign(count, v[0]);
  if (v.size() != count)
    op.fail("'" + name + "' needs " + llvm::Twine(count) + " entries, one per spatial dimension");
  return v;
}

// ------------------------------------------------------------------ the planners

// Operations a CPU cannot run get a planner that reports why.
#define LUMO_OP_CANNOT_RUN(Name, Reason)                                                                      \
  Kernel plan##Name(OpView &op) { op.fail(llvm::Twine("cannot run on a CPU: ") + Reason); }
#include "lumo/LumoOpList.def"

Planner findPlanner(llvm::StringRef name) {
  // Every operation of the dialect has a planner: a missing one is a link error.
  static const llvm::StringMap<Planner> planners = {
#define LUMO_OP(Name) {#Name, &plan##Name},
#include "lumo/LumoOpList.def"
  };
  auto it = planners.find(name);
  return it == planners.end() ? nullptr : it->second;
}

} // namespace lumo
