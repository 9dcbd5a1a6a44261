// Calls of the lumo operator library, `torch.operator "lumo.<Name>"(tensors..., attribute
// values..., "<names>")`: the tensors stay operands, the values named by the trailing list become
// attributes of the same names. The emitter gives them the dialect's form as it creates the
// operation (lumo::attributeFromLibrary, generated from the operator table): a string naming an
// enumeration's case becomes the enum attribute, a 0/1 list a bool; any other string or list there
// is refused. The operation is folded by -canonicalize like any other.
#include "TorchToLumo.h"

namespace torch_lumo {
namespace {

/// The attribute a torch constant (or list of them, or tensor value) stands for.
Attribute attributeOf(TorchOp &t, unsigned i) {
  Value v = t.operand(i);
  Builder b(v.getContext());
  if (v.getType().isa<RankedTensorType>()) {
    if (DenseElementsAttr attr = t.state.embeddedScalar(v)) return attr;
    if (DenseElementsAttr attr = Emitter::constValue(v)) return attr;
    unsupported("tensor attribute operand " + llvm::Twine(i) + " is not a constant");
  }
  Operation *def = v.getDefiningOp();
  StringRef kind = def ? torchKind(def) : StringRef();
  if (kind == "constant.int") return b.getI64IntegerAttr(t.i64(i));
  if (kind == "constant.float") return b.getF64FloatAttr(t.f64(i));
  if (kind == "constant.bool") return b.getBoolAttr(t.flag(i));
  if (kind == "constant.str") return b.getStringAttr(t.str(i));
  if (kind == "prim.ListConstruct") return b.getDenseI64ArrayAttr(t.ints(i));
  if (auto n = t.number(i)) {
    auto type = v.getType().dyn_cast<OpaqueType>();
    if (type && type.getTypeData() == "float") return b.getF64FloatAttr(*n);
    if (type && type.getTypeData() == "bool") return b.getBoolAttr(*n != 0);
    return b.getI64IntegerAttr(t.i64(i));
  }
  unsupported("attribute operand " + llvm::Twine(i) + " is not a constant");
}

Values lumoCall(TorchOp &t) {
  llvm::SmallVector<std::string, 4> names;
  unsigned tensors = t.size();
  if (tensors > 0) {
    Operation *last = t.producer(tensors - 1);
    if (last && torchKind(last) == "constant.str") {
      std::string list = t.str(tensors - 1);
      llvm::SmallVector<StringRef, 4> parts;
      if (!list.empty()) StringRef(list).split(parts, ',');
      for (StringRef p : parts) names.push_back(p.trim().str());
      if (names.size() + 1 > tensors)
        unsupported("more attribute names than operands");
      tensors -= names.size() + 1;
    }
  }
  Values operands;
  for (unsigned i = 0; i < tensors; ++i) operands.push_back(t.tensor(i));
  llvm::SmallVector<NamedAttribute, 4> attrs;
  for (unsigned k = 0; k < names.size(); ++k)
    attrs.push_back(t.e.attr(names[k], attributeOf(t, tensors + k)));
  llvm::SmallVector<Type, 2> results;
  for (unsigned i = 0; i < t.op->getNumResults(); ++i) results.push_back(t.resultType(i));
  Operation *op = t.e.create(t.kind, operands, results, attrs);
  return Values(op->getResults().begin(), op->getResults().end());
}

}  // namespace

void addLumoPatterns(PatternTable &t) { t.add("lumo.*", lumoCall); }

}  // namespace torch_lumo
