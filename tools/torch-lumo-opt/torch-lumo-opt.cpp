// torch-lumo-opt: reads torch-dialect MLIR (a file or standard input), runs the requested passes
// (-refine-types, -torch-to-lumo-pipeline, ...) and writes the result to standard output. The torch
// dialect is not linked: its operations are read as unregistered operations.
//
// The module's text reaches the tool with every "func.func @" rewritten to "func @", a spelling
// MLIR no longer parses; the tool restores "func.func" where it begins an operation. The rewrite is
// the `sed "s/func\.func @/func @/g"` stage of the module's fixed command, which stays (other code
// runs that command as it is): that stage is why this restoring exists.
#include "Passes.h"

#include "lumo/LumoDialect.h"
#include "mlir/Dialect/Func/IR/FuncOps.h"
#include "mlir/IR/AsmState.h"
#include "mlir/IR/DialectRegistry.h"
#include "mlir/IR/BuiltinTypes.h"
#include "mlir/IR/DialectImplementation.h"
#include "mlir/IR/MLIRContext.h"
#include "mlir/Pass/PassManager.h"
#include "mlir/Pass/PassRegistry.h"
#include "mlir/Support/FileUtilities.h"
#include "mlir/Support/Timing.h"
#include "mlir/Tools/mlir-opt/MlirOptMain.h"
#include "mlir/Transforms/Passes.h"
#include "llvm/Support/CommandLine.h"
#include "llvm/Support/InitLLVM.h"
#include "llvm/Support/MemoryBuffer.h"
#include "llvm/Support/ToolOutputFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

/// Turns "func @" back into "func.func @" (undoing the module command's `sed` stage, which is kept)
/// at the start of an operation: a line that begins with
/// optional blanks, "func ", an optional visibility, then "@". Text inside strings is never at the
/// start of a line (the printer escapes newlines), so it is left alone.
std::string restoreFuncKeyword(llvm::StringRef text) {
  std::string out;
  out.reserve(text.size() + 64);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == llvm::StringRef::npos) end = text.size();
    llvm::StringRef line = text.slice(pos, end);
    size_t indent = line.find_first_not_of(" \t");
    if (indent != llvm::StringRef::npos && line.substr(indent).startswith("func ")) {
      llvm::StringRef rest = line.substr(indent + 5).ltrim(" \t");
      for (llvm::StringRef visibility : {"private ", "public ", "nested "})
        if (rest.startswith(visibility)) rest = rest.substr(visibility.size()).ltrim(" \t");
      if (rest.startswith("@")) {
        out.append(line.data(), indent);
        out.append("func.func ");
        out.append(line.data() + indent + 5, line.size() - indent - 5);
        if (end < text.size()) out.push_back('\n');
        pos = end + 1;
        continue;
      }
    }
    out.append(text.data() + pos, std::min(end + 1, text.size()) - pos);
    pos = end + 1;
  }
  return out;
}

/// How deeply brackets may nest. MLIR's parser recurses once per level of regions, attributes and
/// types, so a deeper input would exhaust the stack; real modules nest a few levels.
constexpr int kMaxNesting = 256;

/// The offset of the first bracket ('{', '[', '(' or '<') that opens a level deeper than
/// kMaxNesting, outside strings and comments, or npos. "->" closes nothing.
size_t tooDeep(llvm::StringRef text) {
  // The characters that matter; everything else is skipped in a tight loop.
  static const std::array<bool, 256> special = [] {
    std::array<bool, 256> s{};
    for (unsigned char c : llvm::StringRef("\"/{[(<}])>")) s[c] = true;
    return s;
  }();
  const char *begin = text.data(), *p = begin, *end = begin + text.size();
  int depth = 0;
  for (; p < end; ++p) {
    while (p < end && !special[static_cast<unsigned char>(*p)]) ++p;
    if (p == end) break;
    switch (char c = *p) {
    case '"':
      for (++p; p < end && *p != '"'; ++p)
        if (*p == '\\') ++p;
      break;
    case '/':
      if (p + 1 < end && p[1] == '/') {
        p = static_cast<const char *>(memchr(p, '\n', end - p));
        if (!p) return llvm::StringRef::npos;
      }
      break;
    case '{': case '[': case '(': case '<':
      if (++depth > kMaxNesting) return p - begin;
      break;
    default:  // a closing bracket; "->" closes nothing
      if (c != '>' || p == begin || p[-1] != '-') depth = std::max(depth - 1, 0);
    }
  }
  return llvm::StringRef::npos;
}

/// The torch dialect as this tool knows it: a namespace whose operations are all unregistered and
/// whose types are kept as opaque types (`!torch.vtensor<[2,3],f32>` has the data
/// "vtensor<[2,3],f32>"), exactly as if the dialect were unknown. It exists because MLIR's parser
/// builds a type of an unknown dialect with OpaqueType::getChecked, whose namespace check compiles a
/// regular expression on every call: with thousands of torch types in a module that was a third of
/// the tool's time.
class TorchTypesDialect : public mlir::Dialect {
 public:
  MLIR_DEFINE_EXPLICIT_INTERNAL_INLINE_TYPE_ID(TorchTypesDialect)
  explicit TorchTypesDialect(mlir::MLIRContext *ctx)
      : mlir::Dialect(getDialectNamespace(), ctx, mlir::TypeID::get<TorchTypesDialect>()) {
    allowUnknownOperations();
    allowUnknownTypes();
  }
  static llvm::StringRef getDialectNamespace() { return "torch"; }

  /// MLIR's parser hands the dialect the text of the type and moves on past it afterwards, so
  /// nothing needs to be consumed here.
  mlir::Type parseType(mlir::DialectAsmParser &parser) const override {
    return mlir::OpaqueType::get(mlir::StringAttr::get(getContext(), getNamespace()),
                                 parser.getFullSymbolSpec());
  }
  // Torch types are opaque types, which print themselves.
  void printType(mlir::Type, mlir::DialectAsmPrinter &) const override {}
};

}  // namespace

int main(int argc, char **argv) {
  llvm::InitLLVM init(argc, argv);
  mlir::registerAsmPrinterCLOptions();
  mlir::registerMLIRContextCLOptions();
  mlir::registerPassManagerCLOptions();
  mlir::registerDefaultTimingManagerCLOptions();
  torch_lumo::registerPasses();
  mlir::registerCanonicalizerPass();
  mlir::registerCSEPass();

  namespace cl = llvm::cl;
  static cl::opt<std::string> inputFilename(cl::Positional, cl::desc("<input file>"),
                                            cl::init("-"));
  static cl::opt<std::string> outputFilename("o", cl::desc("Output file"),
                                             cl::value_desc("filename"), cl::init("-"));
  static cl::opt<bool> splitInputFile(
      "split-input-file", cl::desc("Process each chunk between '// -----' lines separately"));
  static cl::opt<bool> verifyDiagnostics(
      "verify-diagnostics", cl::desc("Check emitted diagnostics against expected-* comments"));
  static cl::opt<bool> verifyEach(
      "verify-each",
      cl::desc("Verify the module after every pass (by default: after the conversion and at the "
               "end)"));
  static cl::opt<bool> listConversions(
      "list-conversions", cl::desc("Print the torch operation kinds that have a conversion"));
  mlir::PassPipelineCLParser passPipeline("", "Passes to run");
  cl::ParseCommandLineOptions(argc, argv,
                              "torch-lumo-opt: converts torch-dialect MLIR into the lumo dialect\n");

  if (listConversions) {
    torch_lumo::printConvertedKinds(llvm::outs());
    return 0;
  }

  std::string error;
  std::unique_ptr<llvm::MemoryBuffer> input = mlir::openInputFile(inputFilename, &error);
  if (!input) {
    llvm::errs() << "torch-lumo-opt: " << error << "\n";
    return 1;
  }
  std::unique_ptr<llvm::MemoryBuffer> buffer = llvm::MemoryBuffer::getMemBufferCopy(
      restoreFuncKeyword(input->getBuffer()), input->getBufferIdentifier());
  input.reset();
  size_t deep = tooDeep(buffer->getBuffer());
  if (deep != llvm::StringRef::npos) {
    // Reported without the source line, which may be the whole input.
    llvm::StringRef before = buffer->getBuffer().take_front(deep);
    size_t lineStart = before.rfind('\n') + 1;  // 0 when there is no newline
    llvm::errs() << buffer->getBufferIdentifier() << ":" << before.count('\n') + 1 << ":"
                 << deep - lineStart + 1 << ": error: nesting deeper than " << kMaxNesting
                 << " levels of brackets, braces and parentheses\n";
    return 1;
  }
  std::unique_ptr<llvm::ToolOutputFile> output = mlir::openOutputFile(outputFilename, &error);
  if (!output) {
    llvm::errs() << "torch-lumo-opt: " << error << "\n";
    return 1;
  }

  mlir::DialectRegistry registry;
  registry.insert<mlir::func::FuncDialect, lumo::LumoDialect, TorchTypesDialect>();
  // The conversion verifies its own result; verifying after every other pass as well would cost
  // 1 ms each on a 12-block module (see the README), so the module is verified once more at the end.
  auto setUp = [&](mlir::PassManager &pm) -> mlir::LogicalResult {
    auto errorHandler = [&](const llvm::Twine &msg) {
      return mlir::emitError(mlir::UnknownLoc::get(pm.getContext())) << msg;
    };
    if (mlir::failed(passPipeline.addToPipeline(pm, errorHandler))) return mlir::failure();
    if (!verifyEach) pm.addPass(torch_lumo::createVerifyPass());
    return mlir::success();
  };
  if (mlir::failed(mlir::MlirOptMain(output->os(), std::move(buffer), setUp, registry,
                                     splitInputFile, verifyDiagnostics, verifyEach,
                                     /*allowUnregisteredDialects=*/true,
                                     /*preloadDialectsInContext=*/false, /*emitBytecode=*/false,
                                     /*implicitModule=*/true)))
    return 1;
  output->keep();
  return 0;
}
