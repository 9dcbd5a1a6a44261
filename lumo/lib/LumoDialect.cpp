#include "lumo/LumoDialect.h"

#include "llvm/ADT/StringExtras.h"
#include "llvm/ADT/TypeSwitch.h"
#include "mlir/IR/Builders.h"
#include "mlir/IR/DialectImplementation.h"

#include "lumo/LumoOps.h"

#include "lumo/LumoDialect.cpp.inc"
#include "lumo/LumoEnums.cpp.inc"

#define GET_ATTRDEF_CLASSES
#include "lumo/LumoAttrs.cpp.inc"

using namespace mlir;

namespace lumo {

void LumoDialect::initialize() {
  addOperations<
#define GET_OP_LIST
#include "lumo/LumoOps.cpp.inc"
      >();
  addAttributes<
#define GET_ATTRDEF_LIST
#include "lumo/LumoAttrs.cpp.inc"
      >();
}

Operation *LumoDialect::materializeConstant(OpBuilder &builder, Attribute value, Type type, Location loc) {
  auto elements = value.dyn_cast<ElementsAttr>();
  if (!elements || elements.getType() != type)
    return nullptr;
  return builder.create<ConstOp>(loc, type, elements);
}

namespace {

template <typename EnumAttrT, typename Enum>
Attribute enumFromString(Attribute value, std::optional<Enum> (*symbolize)(StringRef), ArrayRef<StringRef> cases,
                         StringRef what, std::string &error) {
  if (value.isa<EnumAttrT>())
    return value;
  auto text = value.dyn_cast<StringAttr>();
  if (!text) {
    error = (what + " must be a string naming one of " + llvm::join(cases, ", ")).str();
    return nullptr;
  }
  if (auto e = symbolize(text.getValue()))
    return EnumAttrT::get(value.getContext(), *e);
  error = (what + " \"" + text.getValue() + "\" is not one of " + llvm::join(cases, ", ")).str();
  return nullptr;
}

// The spellings of an enumeration's cases, in order.
template <typename Enum>
SmallVector<StringRef> casesOf(StringRef (*stringify)(Enum), uint32_t (*maxValue)()) {
  SmallVector<StringRef> out;
  for (uint32_t i = 0; i <= maxValue(); ++i)
    out.push_back(stringify(static_cast<Enum>(i)));
  return out;
}

Attribute boolFromList(Attribute value, StringRef what, std::string &error) {
  if (value.isa<BoolAttr>())
    return value;
  if (auto list = value.dyn_cast<DenseI64ArrayAttr>())
    if (list.size() == 1 && (list[0] == 0 || list[0] == 1))
      return BoolAttr::get(value.getContext(), list[0] == 1);
  error = (what + " must hold one value, 0 or 1").str();
  return nullptr;
}

} // namespace

Attribute attributeFromLibrary(StringRef opName, StringRef attrName, Attribute value, std::string &error) {
  opName.consume_front("lumo.");
#define LUMO_ENUM_ATTR(Op, attr, Enum)                                                                         \
  if (opName == #Op && attrName == #attr)                                                                     \
    return enumFromString<Enum##Attr, Enum>(value, symbolize##Enum, casesOf<Enum>(stringify##Enum, getMaxEnumValFor##Enum), \
                                            #attr, error);
#define LUMO_BOOL_ATTR(Op, attr)                                                                               \
  if (opName == #Op && attrName == #attr)                                                                     \
    return boolFromList(value, #attr, error);
#include "lumo/LumoOpList.def"
  return value;
}

std::optional<StringRef> enumCaseName(Attribute attr) {
#define LUMO_ENUM(Name)                                                                                        \
  if (auto a = attr.dyn_cast_or_null<Name##Attr>())                                                           \
    return stringify##Name(a.getValue());
#include "lumo/LumoOpList.def"
  return std::nullopt;
}

} // namespace lumo
