// lumo-kernel-compile: compiles one fused kernel of the lumo interpreter into a shared library.
//
//   lumo-kernel-compile KERNEL.mlir NAME OUTPUT.so
//
// KERNEL.mlir holds a func.func @NAME (one linalg.generic on memrefs, as the interpreter's fusion
// writes it). f32 transcendental functions become polynomial approximations (so that LLVM
// vectorises the loop instead of calling scalar libm functions; f64 ones call libm), linalg
// becomes loops, everything becomes the LLVM dialect. The LLVM module gets a wrapper
// `NAME_packed(void **args)` that calls the C interface of the kernel with one descriptor pointer
// per argument, is optimised at O3 for the host CPU, compiled to a position-independent object
// and linked by the system's C compiler driver (cc) into OUTPUT.so. On failure it says why on
// stderr and exits with 1. The interpreter runs it in a process of its own, so that neither
// LLVM's code generator nor its memory is part of a training process.
#include <cstdlib>
#include <optional>
#include <string>

#include "mlir/Conversion/Passes.h"
#include "mlir/Dialect/Affine/IR/AffineOps.h"
#include "mlir/Dialect/Arith/IR/Arith.h"
#include "mlir/Dialect/ControlFlow/IR/ControlFlow.h"
#include "mlir/Dialect/Func/IR/FuncOps.h"
#include "mlir/Dialect/LLVMIR/LLVMDialect.h"
#include "mlir/Dialect/Linalg/IR/Linalg.h"
#include "mlir/Dialect/Linalg/Passes.h"
#include "mlir/Dialect/Math/IR/Math.h"
#include "mlir/Dialect/Math/Transforms/Passes.h"
#include "mlir/Dialect/MemRef/IR/MemRef.h"
#include "mlir/Dialect/SCF/IR/SCF.h"
#include "mlir/ExecutionEngine/OptUtils.h"
#include "mlir/IR/BuiltinOps.h"
#include "mlir/IR/Diagnostics.h"
#include "mlir/IR/MLIRContext.h"
#include "mlir/Parser/Parser.h"
#include "mlir/Pass/PassManager.h"
#include "mlir/Target/LLVMIR/Dialect/LLVMIR/LLVMToLLVMIRTranslation.h"
#include "mlir/Target/LLVMIR/Export.h"
#include "mlir/Transforms/GreedyPatternRewriteDriver.h"
#include "llvm/ExecutionEngine/Orc/JITTargetMachineBuilder.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/LLVMContext.h"
#include "llvm/IR/LegacyPassManager.h"
#include "llvm/IR/Module.h"
#include "llvm/Support/FileSystem.h"
#include "llvm/Support/Program.h"
#include "llvm/Support/SourceMgr.h"
#include "llvm/Support/TargetSelect.h"
#include "llvm/Support/ToolOutputFile.h"
#include "llvm/Support/raw_ostream.h"
#include "llvm/Target/TargetMachine.h"

namespace {

[[noreturn]] void fail(const llvm::Twine &why) {
  llvm::errs() << "lumo-kernel-compile: " << why << "\n";
  std::exit(1);
}

std::string errorText(llvm::Error error) {
  std::string text;
  llvm::raw_string_ostream os(text);
  os << error;
  return os.str();
}

// math.fma (which the approximations use) as LLVM's fma intrinsic: no conversion of MLIR 16 covers it.
struct FmaToLLVM : mlir::OpRewritePattern<mlir::math::FmaOp> {
  using OpRewritePattern::OpRewritePattern;
  mlir::LogicalResult matchAndRewrite(mlir::math::FmaOp op, mlir::PatternRewriter &rewriter) const override {
    rewriter.replaceOpWithNewOp<mlir::LLVM::FMAOp>(op, op.getType(), op.getA(), op.getB(), op.getC());
    return mlir::success();
  }
};

// Adds `<name>_packed(ptr args)`: calls the C interface `_mlir_ciface_<name>` with args[i] as its
// i-th argument (a pointer to a memref descriptor).
bool addPackedWrapper(llvm::Module &module, const std::string &name) {
  llvm::Function *callee = module.getFunction("_mlir_ciface_" + name);
  if (!callee)
    return false;
  llvm::LLVMContext &ctx = module.getContext();
  llvm::Type *ptr = llvm::PointerType::getUnqual(ctx);
  auto *type = llvm::FunctionType::get(llvm::Type::getVoidTy(ctx), {ptr}, false);
  auto *wrapper = llvm::Function::Create(type, llvm::GlobalValue::ExternalLinkage, name + "_packed", module);
  llvm::IRBuilder<> b(llvm::BasicBlock::Create(ctx, "entry", wrapper));
  llvm::SmallVector<llvm::Value *, 12> args;
  for (unsigned i = 0; i < callee->arg_size(); ++i) {
    llvm::Value *slot = b.CreateConstGEP1_64(ptr, wrapper->getArg(0), i);
    args.push_back(b.CreateLoad(ptr, slot));
  }
  b.CreateCall(callee, args);
  b.CreateRetVoid();
  return true;
}

std::unique_ptr<llvm::TargetMachine> hostMachine() {
  auto builder = llvm::orc::JITTargetMachineBuilder::detectHost();
  if (!builder)
    fail("no target for this host: " + errorText(builder.takeError()));
  builder->setCodeGenOptLevel(llvm::CodeGenOpt::Aggressive);
  builder->setRelocationModel(llvm::Reloc::PIC_);
  auto machine = builder->createTargetMachine();
  if (!machine)
    fail("no target machine: " + errorText(machine.takeError()));
  return std::move(*machine);
}

// The kernel `name` of the file `input` as an LLVM module optimised for `machine`.
std::unique_ptr<llvm::Module> lower(const std::string &input, const std::string &name, llvm::TargetMachine &machine,
                                    llvm::LLVMContext &llvmContext) {
  mlir::DialectRegistry registry;
  registry.insert<mlir::func::FuncDialect, mlir::arith::ArithDialect, mlir::math::MathDialect,
                  mlir::linalg::LinalgDialect, mlir::memref::MemRefDialect, mlir::scf::SCFDialect,
                  mlir::AffineDialect, mlir::cf::ControlFlowDialect, mlir::LLVM::LLVMDialect>();
  mlir::registerLLVMDialectTranslation(registry);
  mlir::MLIRContext context(registry, mlir::MLIRContext::Threading::DISABLED);
  context.loadAllAvailableDialects();
  std::string diagnostics;
  mlir::ScopedDiagnosticHandler handler(&context, [&](mlir::Diagnostic &d) {
    llvm::raw_string_ostream os(diagnostics);
    os << d.getLocation() << ": " << d << "\n";
    return mlir::success();
  });

  llvm::SourceMgr sources;
  auto file = llvm::MemoryBuffer::getFile(input);
  if (!file)
    fail("cannot read " + input + ": " + file.getError().message());
  sources.AddNewSourceBuffer(std::move(*file), llvm::SMLoc());
  mlir::OwningOpRef<mlir::ModuleOp> module = mlir::parseSourceFile<mlir::ModuleOp>(sources, &context);
  if (!module)
    fail("the kernel does not parse: " + diagnostics);
  mlir::RewritePatternSet approximations(&context);
  mlir::populateMathPolynomialApproximationPatterns(approximations);
  if (mlir::failed(mlir::applyPatternsAndFoldGreedily(*module, std::move(approximations))))
    fail("polynomial approximations did not converge");
  mlir::RewritePatternSet fma(&context);
  fma.add<FmaToLLVM>(&context);
  if (mlir::failed(mlir::applyPatternsAndFoldGreedily(*module, std::move(fma))))
    fail("math.fma could not be lowered");
  mlir::PassManager pm(&context);
  // LLVM intrinsics first; what has none (tanh, erf of f64) calls libm.
  pm.addPass(mlir::createConvertMathToLLVMPass());
  pm.addPass(mlir::createConvertMathToLibmPass());
  pm.addNestedPass<mlir::func::FuncOp>(mlir::createConvertLinalgToLoopsPass());
  pm.addPass(mlir::createLowerAffinePass());
  pm.addPass(mlir::createConvertSCFToCFPass());
  pm.addPass(mlir::createArithToLLVMConversionPass());
  pm.addPass(mlir::createMemRefToLLVMConversionPass());
  pm.addPass(mlir::createConvertFuncToLLVMPass());
  pm.addPass(mlir::cf::createConvertControlFlowToLLVMPass());
  pm.addPass(mlir::createReconcileUnrealizedCastsPass());
  if (mlir::failed(pm.run(*module)))
    fail("lowering to the LLVM dialect failed: " + diagnostics);

  std::unique_ptr<llvm::Module> llvmModule = mlir::translateModuleToLLVMIR(*module, llvmContext, name);
  if (!llvmModule)
    fail("translation to LLVM IR failed: " + diagnostics);
  llvmModule->setDataLayout(machine.createDataLayout());
  llvmModule->setTargetTriple(machine.getTargetTriple().str());
  if (!addPackedWrapper(*llvmModule, name))
    fail("the kernel has no C interface @" + name);
  auto optimise = mlir::makeOptimizingTransformer(/*optLevel=*/3, /*sizeLevel=*/0, &machine);
  if (llvm::Error err = optimise(llvmModule.get()))
    fail("LLVM optimisation failed: " + errorText(std::move(err)));
  return llvmModule;
}

void writeObject(llvm::Module &module, llvm::TargetMachine &machine, const std::string &path) {
  std::error_code ec;
  llvm::ToolOutputFile out(path, ec, llvm::sys::fs::OF_None);
  if (ec)
    fail("cannot write " + path + ": " + ec.message());
  llvm::legacy::PassManager passes;
  if (machine.addPassesToEmitFile(passes, out.os(), nullptr, llvm::CGFT_ObjectFile))
    fail("the target cannot emit an object file");
  passes.run(module);
  out.os().flush();
  if (out.os().has_error())
    fail("cannot write " + path);
  out.keep();
}

// Links the object into a shared library with the C compiler driver on the search path.
void link(const std::string &object, const std::string &output) {
  std::optional<std::string> driver;
  for (const char *name : {"cc", "gcc", "clang"})
    if (auto found = llvm::sys::findProgramByName(name)) {
      driver = *found;
      break;
    }
  if (!driver)
    fail("no C compiler driver (cc, gcc or clang) on the search path to link the kernel");
  llvm::SmallVector<llvm::StringRef, 8> args = {*driver, "-shared", "-o", output, object, "-lm"};
  std::string message;
  int status = llvm::sys::ExecuteAndWait(*driver, args, std::nullopt, {}, 0, 0, &message);
  if (status != 0)
    fail("linking with " + *driver + " failed" + (message.empty() ? "" : ": " + message) + " (exit status " +
         llvm::Twine(status) + ")");
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    llvm::errs() << "usage: lumo-kernel-compile KERNEL.mlir NAME OUTPUT.so\n";
    return 2;
  }
  std::string input = argv[1], name = argv[2], output = argv[3];
  llvm::InitializeNativeTarget();
  llvm::InitializeNativeTargetAsmPrinter();
  std::unique_ptr<llvm::TargetMachine> machine = hostMachine();
  llvm::LLVMContext llvmContext;
  std::unique_ptr<llvm::Module> module = lower(input, name, *machine, llvmContext);
  std::string object = output + ".o";
  writeObject(*module, *machine, object);
  link(object, output);
  llvm::sys::fs::remove(object);
  return 0;
}
