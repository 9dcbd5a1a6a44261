#include "mlir_import.h"

#include <algorithm>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <c10/util/Exception.h>
#include <mlir-c/BuiltinAttributes.h>
#include <mlir-c/BuiltinTypes.h>
#include <mlir-c/Diagnostics.h>
#include <torch/csrc/jit/ir/constants.h>
#include <torch/csrc/jit/ir/ir.h>

namespace torch {
namespace lazy {

namespace {

MlirStringRef str_ref(const std::string& s) { return mlirStringRefCreate(s.data(), s.size()); }

void append_to_string(MlirStringRef part, void* user_data) {
  static_cast<std::string*>(user_data)->append(part.data, part.length);
}

MlirNamedAttribute named(MlirContext context, const char* name, MlirAttribute attr) {
  return mlirNamedAttributeGet(mlirIdentifierGet(context, mlirStringRefCreateFromCString(name)),
                               attr);
}

// Collects the diagnostics emitted into a context while it lives.
class DiagnosticCapture {
 public:
  explicit DiagnosticCapture(MlirContext context) : context_(context) {
    id_ = mlirContextAttachDiagnosticHandler(context, &DiagnosticCapture::handle, this, nullptr);
  }
  ~DiagnosticCapture() { mlirContextDetachDiagnosticHandler(context_, id_); }
  const std::string& text() const { return text_; }

 private:
  static MlirLogicalResult handle(MlirDiagnostic diagnostic, void* user_data) {
    auto* self = static_cast<DiagnosticCapture*>(user_data);
    if (!self->text_.empty()) self->text_ += "\n";
    mlirDiagnosticPrint(diagnostic, append_to_string, &self->text_);
    return mlirLogicalResultSuccess();
  }

  MlirContext context_;
  MlirDiagnosticHandlerID id_;
  std::string text_;
};

class GraphImporter {
 public:
  GraphImporter(MlirContext context) : context_(context), loc_(mlirLocationUnknownGet(context)) {}

  MlirModule Import(const torch::jit::Graph& graph, const std::string& name) {
    std::vector<MlirType> arg_types;
    arg_types.reserve(graph.inputs().size());
    for (const torch::jit::Value* input : graph.inputs()) {
      arg_types.push_back(Type(input->type()));
    }
    std::vector<MlirLocation> arg_locs(arg_types.size(), loc_);
    MlirRegion region = mlirRegionCreate();
    block_ = mlirBlockCreate(static_cast<intptr_t>(arg_types.size()), arg_types.data(),
                             arg_locs.data());
    mlirRegionAppendOwnedBlock(region, block_);
    for (size_t i = 0; i < graph.inputs().size(); ++i) {
      values_[graph.inputs()[i]] = mlirBlockGetArgument(block_, static_cast<intptr_t>(i));
    }

    // The region is owned by nothing until the function takes it: free it on failure.
    try {
      for (const torch::jit::Node* node : graph.nodes()) ImportNode(node);
    } catch (...) {
      mlirRegionDestroy(region);
      throw;
    }

    std::vector<MlirValue> results;
    std::vector<MlirType> result_types;
    for (const torch::jit::Value* output : graph.outputs()) {
      results.push_back(Lookup(output));
      result_types.push_back(mlirValueGetType(results.back()));
    }
    MlirOperationState ret = mlirOperationStateGet(mlirStringRefCreateFromCString("func.return"), loc_);
    mlirOperationStateAddOperands(&ret, static_cast<intptr_t>(results.size()), results.data());
    mlirBlockAppendOwnedOperation(block_, mlirOperationCreate(&ret));

    MlirType function_type =
        mlirFunctionTypeGet(context_, static_cast<intptr_t>(arg_types.size()), arg_types.data(),
                            static_cast<intptr_t>(result_types.size()), result_types.data());
    MlirAttribute empty_dict = mlirDictionaryAttrGet(context_, 0, nullptr);
    std::vector<MlirAttribute> arg_attrs(arg_types.size(), empty_dict);
    MlirNamedAttribute attrs[] = {
        named(context_, "sym_name", mlirStringAttrGet(context_, str_ref(name))),
        named(context_, "function_type", mlirTypeAttrGet(function_type)),
        named(context_, "arg_attrs",
              mlirArrayAttrGet(context_, static_cast<intptr_t>(arg_attrs.size()), arg_attrs.data())),
    };
    MlirOperationState func = mlirOperationStateGet(mlirStringRefCreateFromCString("func.func"), loc_);
    mlirOperationStateAddAttributes(&func, 3, attrs);
    mlirOperationStateAddOwnedRegions(&func, 1, &region);
    MlirOperation func_op = mlirOperationCreate(&func);

    MlirModule module = mlirModuleCreateEmpty(loc_);
    mlirBlockAppendOwnedOperation(mlirModuleGetBody(module), func_op);

    std::string diagnostics;
    if (!mlirOperationVerifyWithDiagnostics(mlirModuleGetOperation(module), &diagnostics)) {
      std::string text = mlirOperationToString(mlirModuleGetOperation(module));
      mlirModuleDestroy(module);
      TORCH_CHECK(false, "The MLIR module imported from the TorchScript graph does not verify: ",
                  diagnostics, "\n", text);
    }
    return module;
  }

 private:
  MlirType Type(const c10::TypePtr& type) { return torchMlirType(context_, type); }

  MlirValue Lookup(const torch::jit::Value* value) {
    auto it = values_.find(value);
    TORCH_CHECK(it != values_.end(), "Value %", value->debugName(),
                " is used before it is defined in the TorchScript graph");
    return it->second;
  }

  MlirValue Append(const std::string& op_name, const std::vector<MlirValue>& operands,
                   MlirType result_type, const std::vector<MlirNamedAttribute>& attrs = {}) {
    MlirOperationState state = mlirOperationStateGet(str_ref(op_name), loc_);
    mlirOperationStateAddOperands(&state, static_cast<intptr_t>(operands.size()), operands.data());
    mlirOperationStateAddResults(&state, 1, &result_type);
    if (!attrs.empty()) {
      mlirOperationStateAddAttributes(&state, static_cast<intptr_t>(attrs.size()), attrs.data());
    }
    MlirOperation op = mlirOperationCreate(&state);
    mlirBlockAppendOwnedOperation(block_, op);
    return mlirOperationGetResult(op, 0);
  }

  MlirValue Constant(const c10::IValue& value, const c10::TypePtr& type) {
    MlirContext ctx = context_;
    if (value.isNone()) {
      return Append("torch.constant.none", {}, Type(c10::NoneType::get()));
    }
    if (value.isBool()) {
      return Append("torch.constant.bool", {}, Type(c10::BoolType::get()),
                    {named(ctx, "value", mlirBoolAttrGet(ctx, value.toBool()))});
    }
    if (value.isInt()) {
      return Append("torch.constant.int", {}, Type(c10::IntType::get()),
                    {named(ctx, "value", mlirIntegerAttrGet(mlirIntegerTypeGet(ctx, 64),
                                                            value.toInt()))});
    }
    if (value.isDouble()) {
      return Append("torch.constant.float", {}, Type(c10::FloatType::get()),
                    {named(ctx, "value",
                           mlirFloatAttrDoubleGet(ctx, mlirF64TypeGet(ctx), value.toDouble()))});
    }
    if (value.isString()) {
      const std::string& s = value.toStringRef();
      return Append("torch.constant.str", {}, Type(c10::StringType::get()),
                    {named(ctx, "value", mlirStringAttrGet(ctx, str_ref(s)))});
    }
    if (value.isDevice()) {
      std::string s = value.toDevice().str();
      return Append("torch.constant.device", {}, Type(c10::DeviceObjType::get()),
                    {named(ctx, "value", mlirStringAttrGet(ctx, str_ref(s)))});
    }
    if (value.isTensor()) {
      const at::Tensor& tensor = value.toTensor();
      TORCH_CHECK(tensor.defined(), "Cannot import an undefined tensor constant");
      MlirAttribute data = torchMlirDenseElementsAttr(
          torchMlirElementType(ctx, tensor.scalar_type()), tensor);
      return Append("torch.vtensor.literal", {}, Type(c10::TensorType::create(tensor)),
                    {named(ctx, "value", data)});
    }
    if (value.isList()) {
      auto list_type = type->cast<c10::ListType>();
      TORCH_CHECK(list_type, "List constant of non-list type ", type->repr_str());
      std::vector<MlirValue> elements;
      for (const c10::IValue& element : value.toListRef()) {
        elements.push_back(Constant(element, list_type->getElementType()));
      }
      return Append("torch.prim.ListConstruct", elements, Type(type));
    }
    TORCH_CHECK(false, "Cannot import a TorchScript constant of type ", type->repr_str(), ": ",
                value.tagKind());
  }

  void ImportNode(const torch::jit::Node* node) {
    const c10::Symbol kind = node->kind();
    TORCH_CHECK(node->blocks().empty(), "Cannot import ", kind.toQualString(),
                ": nodes with blocks are not supported");
    if (kind == c10::prim::Constant) {
      const torch::jit::Value* out = node->output();
      std::optional<c10::IValue> value = torch::jit::toIValue(out);
      TORCH_CHECK(value.has_value(), "Constant without a value: %", out->debugName());
      values_[out] = Constant(*value, out->type());
      return;
    }

    const Spelling& spelling = SpellingOf(node);
    // The state refers to the name without copying it.
    MlirOperationState state = mlirOperationStateGet(str_ref(spelling.op_name), loc_);

    std::vector<MlirValue> operands;
    operands.reserve(node->inputs().size());
    for (const torch::jit::Value* input : node->inputs()) operands.push_back(Lookup(input));
    std::vector<MlirType> result_types;
    result_types.reserve(node->outputs().size());
    for (const torch::jit::Value* output : node->outputs()) {
      result_types.push_back(Type(output->type()));
    }
    mlirOperationStateAddOperands(&state, static_cast<intptr_t>(operands.size()), operands.data());
    mlirOperationStateAddResults(&state, static_cast<intptr_t>(result_types.size()),
                                 result_types.data());
    if (spelling.is_operator) {
      MlirNamedAttribute name = named(context_, "name", spelling.name_attr);
      mlirOperationStateAddAttributes(&state, 1, &name);
    }
    MlirOperation op = mlirOperationCreate(&state);
    mlirBlockAppendOwnedOperation(block_, op);
    for (size_t i = 0; i < node->outputs().size(); ++i) {
      values_[node->outputs()[i]] = mlirOperationGetResult(op, static_cast<intptr_t>(i));
    }
  }

  struct Spelling : TorchMlirSpelling {
    MlirAttribute name_attr;  // the "name" of a torch.operator
  };

  // Worked out once per operator of the graph: nodes of one operator share their schema (nodes
  // without one, their kind).
  const Spelling& SpellingOf(const torch::jit::Node* node) {
    const c10::FunctionSchema* schema = node->maybeSchema();
    const c10::Symbol kind = node->kind();
    if (schema) {
      auto found = by_schema_.find(schema);
      if (found != by_schema_.end()) return found->second;
    } else {
      auto found = by_kind_.find(kind);
      if (found != by_kind_.end()) return found->second;
    }
    std::string qualified = std::string(kind.ns().toUnqualString()) + "." + kind.toUnqualString();
    if (schema && !schema->overload_name().empty()) qualified += "." + schema->overload_name();
    Spelling spelling;
    static_cast<TorchMlirSpelling&>(spelling) =
        torchMlirSpelling(qualified, kind.is_aten() || kind.is_prim());
    if (spelling.is_operator) spelling.name_attr = mlirStringAttrGet(context_, str_ref(qualified));
    return schema ? by_schema_.emplace(schema, std::move(spelling)).first->second
                  : by_kind_.emplace(kind, std::move(spelling)).first->second;
  }

  MlirContext context_;
  MlirLocation loc_;
  MlirBlock block_{nullptr};
  std::unordered_map<const torch::jit::Value*, MlirValue> values_;
  std::unordered_map<const c10::FunctionSchema*, Spelling> by_schema_;
  std::unordered_map<c10::Symbol, Spelling> by_kind_;
};

// The registered names, sorted (bytewise, as the generator sorts them).
constexpr std::string_view kRegisteredOperations[] = {
#include "torch_mlir_ops.inc"
};

}  // namespace

bool torchMlirIsRegisteredOperation(std::string_view name) {
  return std::binary_search(std::begin(kRegisteredOperations), std::end(kRegisteredOperations),
                            name);
}

TorchMlirSpelling torchMlirSpelling(const std::string& qualified, bool aten_or_prim) {
  if (aten_or_prim) {
    std::string op_name = "torch." + qualified;
    if (torchMlirIsRegisteredOperation(op_name)) return {std::move(op_name), false};
  }
  return {"torch.operator", true};
}

namespace {

// The one table of element types: the torch dialect's spelling of each PyTorch scalar type and the
// builtin type that holds its values in dense attributes.
struct ElementType {
  c10::ScalarType type;
  const char* name;
  MlirType (*make)(MlirContext);
};

const ElementType kElementTypes[] = {
    {c10::ScalarType::Half, "f16", mlirF16TypeGet},
    {c10::ScalarType::BFloat16, "bf16", mlirBF16TypeGet},
    {c10::ScalarType::Float, "f32", mlirF32TypeGet},
    {c10::ScalarType::Double, "f64", mlirF64TypeGet},
    {c10::ScalarType::Byte, "ui8", [](MlirContext c) { return mlirIntegerTypeUnsignedGet(c, 8); }},
    {c10::ScalarType::Char, "si8", [](MlirContext c) { return mlirIntegerTypeSignedGet(c, 8); }},
    {c10::ScalarType::Short, "si16", [](MlirContext c) { return mlirIntegerTypeSignedGet(c, 16); }},
    {c10::ScalarType::Int, "si32", [](MlirContext c) { return mlirIntegerTypeSignedGet(c, 32); }},
    {c10::ScalarType::Long, "si64", [](MlirContext c) { return mlirIntegerTypeSignedGet(c, 64); }},
    {c10::ScalarType::Bool, "i1", [](MlirContext c) { return mlirIntegerTypeGet(c, 1); }},
    {c10::ScalarType::ComplexHalf, "complex<f16>",
     [](MlirContext c) { return mlirComplexTypeGet(mlirF16TypeGet(c)); }},
    {c10::ScalarType::ComplexFloat, "complex<f32>",
     [](MlirContext c) { return mlirComplexTypeGet(mlirF32TypeGet(c)); }},
    {c10::ScalarType::ComplexDouble, "complex<f64>",
     [](MlirContext c) { return mlirComplexTypeGet(mlirF64TypeGet(c)); }},
};

const ElementType* FindElementType(c10::ScalarType type) {
  for (const ElementType& entry : kElementTypes) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

const ElementType& ElementTypeOf(c10::ScalarType type) {
  const ElementType* entry = FindElementType(type);
  TORCH_CHECK(entry != nullptr, "The torch dialect has no element type for ", c10::toString(type));
  return *entry;
}

}  // namespace

bool torchMlirHasElementType(c10::ScalarType type) { return FindElementType(type) != nullptr; }

std::string torchMlirDtypeName(c10::ScalarType type) { return ElementTypeOf(type).name; }

MlirType torchMlirElementType(MlirContext context, c10::ScalarType type) {
  return ElementTypeOf(type).make(context);
}

std::string torchMlirTypeBody(const c10::TypePtr& type) {
  switch (type->kind()) {
    case c10::TypeKind::TensorType: {
      const auto& tensor = type->expectRef<c10::TensorType>();
      const auto sizes = tensor.sizes().sizes();
      const auto dtype = tensor.scalarType();
      if (!sizes && !dtype) return "vtensor";
      std::string body = "vtensor<";
      if (sizes) {
        body += "[";
        for (size_t i = 0; i < sizes->size(); ++i) {
          if (i > 0) body += ",";
          body += (*sizes)[i] ? std::to_string(*(*sizes)[i]) : std::string("?");
        }
        body += "]";
      } else {
        body += "*";
      }
      body += ",";
      body += dtype ? torchMlirDtypeName(*dtype) : std::string("unk");
      body += ">";
      return body;
    }
    case c10::TypeKind::IntType:
    case c10::TypeKind::ScalarTypeType:
    case c10::TypeKind::LayoutType:
    case c10::TypeKind::MemoryFormatType:
      return "int";
    case c10::TypeKind::FloatType: return "float";
    case c10::TypeKind::BoolType: return "bool";
    case c10::TypeKind::NoneType: return "none";
    case c10::TypeKind::StringType: return "str";
    case c10::TypeKind::DeviceObjType: return "Device";
    case c10::TypeKind::NumberType: return "number";
    case c10::TypeKind::GeneratorType: return "Generator";
    case c10::TypeKind::ListType:
      return "list<" + torchMlirTypeBody(type->expectRef<c10::ListType>().getElementType()) + ">";
    case c10::TypeKind::OptionalType:
      return "optional<" +
             torchMlirTypeBody(type->expectRef<c10::OptionalType>().getElementType()) + ">";
    case c10::TypeKind::TupleType: {
      std::string body = "tuple<";
      const auto elements = type->expectRef<c10::TupleType>().elements();
      for (size_t i = 0; i < elements.size(); ++i) {
        if (i > 0) body += ", ";
        body += torchMlirTypeBody(elements[i]);
      }
      return body + ">";
    }
    default: break;
  }
  TORCH_CHECK(false, "The torch dialect has no type for TorchScript type ", type->repr_str());
}

MlirType torchMlirType(MlirContext context, const c10::TypePtr& type) {
  const std::string body = torchMlirTypeBody(type);
  return mlirOpaqueTypeGet(context, mlirStringRefCreateFromCString("torch"), str_ref(body));
}

MlirAttribute torchMlirTryDenseElementsAttr(MlirType element_type, const at::Tensor& tensor) {
  TORCH_CHECK(tensor.defined(), "Cannot make a dense attribute of an undefined tensor");
  // Dense data is row-major; a strided view would hand over its storage order instead.
  // A conjugated or negated view holds its values unresolved.
  const at::Tensor data = tensor.resolve_conj().resolve_neg().contiguous();
  std::vector<int64_t> shape(data.sizes().begin(), data.sizes().end());
  MlirType type = mlirRankedTensorTypeGet(static_cast<intptr_t>(shape.size()), shape.data(),
                                          element_type, mlirAttributeGetNull());
  if (data.scalar_type() == c10::ScalarType::Bool) {
    // i1 data is one bit per element, least significant bit first, padded to whole bytes.
    const int64_t count = data.numel();
    std::vector<uint8_t> bits(static_cast<size_t>((count + 7) / 8), 0);
    const bool* values = data.const_data_ptr<bool>();
    for (int64_t i = 0; i < count; ++i) {
      if (values[i]) bits[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
    }
    return mlirDenseElementsAttrRawBufferGet(type, bits.size(), bits.data());
  }
  const size_t bytes = static_cast<size_t>(data.numel()) * data.element_size();
  return mlirDenseElementsAttrRawBufferGet(type, bytes, data.const_data_ptr());
}

MlirAttribute torchMlirDenseElementsAttr(MlirType element_type, const at::Tensor& tensor) {
  MlirAttribute attr = torchMlirTryDenseElementsAttr(element_type, tensor);
  if (mlirAttributeIsNull(attr)) {
    std::string type_text;
    mlirTypePrint(element_type, append_to_string, &type_text);
    TORCH_CHECK(false, "Could not make a dense attribute of element type ", type_text, " from a ",
                c10::toString(tensor.scalar_type()), " tensor of sizes ", tensor.sizes());
  }
  return attr;
}

MlirModule importJitGraphToMlir(MlirContext context, const torch::jit::Graph& graph,
                                const std::string& name) {
  return GraphImporter(context).Import(graph, name);
}

std::string mlirOperationToString(MlirOperation operation) {
  std::string text;
  mlirOperationPrint(operation, append_to_string, &text);
  return text;
}

bool mlirOperationVerifyWithDiagnostics(MlirOperation operation, std::string* diagnostics) {
  DiagnosticCapture capture(mlirOperationGetContext(operation));
  const bool verified = mlirOperationVerify(operation);
  *diagnostics = capture.text();
  return verified;
}

}  // namespace lazy
}  // namespace torch
