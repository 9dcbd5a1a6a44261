// Compiling fused kernels in-process.
//
// The kernel text (one linalg.generic on memrefs) goes through MLIR: f32 transcendental functions
// become polynomial approximations (so that LLVM vectorises the loop instead of calling scalar
// libm functions; f64 ones call libm), linalg becomes loops, everything becomes the LLVM dialect.
// The LLVM module gets a wrapper `<name>_packed(void **args)` that calls the C interface of the
// kernel with one descriptor pointer per argument, is optimised at O3 for the host CPU and
// compiled to an object, which one process-wide LLJIT loads. Objects are cached in memory (by the
// hash of the text) and on disk (by a hash of the text, the LLVM version and the host CPU and its
// features), written atomically; a file that fails its checksum is compiled again.
#include "Jit.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unistd.h>
#include <unordered_map>

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
#include "llvm/Config/llvm-config.h"
#include "llvm/ExecutionEngine/Orc/CompileUtils.h"
#include "llvm/ExecutionEngine/Orc/ExecutionUtils.h"
#include "llvm/ExecutionEngine/Orc/JITTargetMachineBuilder.h"
#include "llvm/ExecutionEngine/Orc/LLJIT.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/LLVMContext.h"
#include "llvm/IR/Module.h"
#include "llvm/MC/SubtargetFeature.h"
#include "llvm/Support/FileSystem.h"
#include "llvm/Support/Host.h"
#include "llvm/Support/MemoryBuffer.h"
#include "llvm/Support/Path.h"
#include "llvm/Support/SHA256.h"
#include "llvm/Support/TargetSelect.h"
#include "llvm/Support/raw_ostream.h"
#include "llvm/Target/TargetMachine.h"

namespace lumo {
namespace {

// Changes whenever the kernels' calling convention or the file format changes.
constexpr const char *kFormat = "lumo-kernel-3";
constexpr char kMagic[8] = {'L', 'U', 'M', 'O', 'K', 'R', 'N', '1'};
constexpr size_t kDigestSize = 32;

std::string errorText(llvm::Error error) {
  std::string text;
  llvm::raw_string_ostream os(text);
  os << error;
  return os.str();
}

std::string hex(llvm::ArrayRef<uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::array<uint8_t, kDigestSize> digest(llvm::StringRef data) {
  llvm::SHA256 hash;
  hash.update(data);
  return hash.final();
}

// The process-wide JIT: one LLJIT whose main library resolves libm and libc symbols from the
// process. Created once, never destroyed (kernels may be called until the process ends).
struct Engine {
  std::unique_ptr<llvm::orc::LLJIT> jit;
  std::unique_ptr<llvm::TargetMachine> machine;
  std::string host; // LLVM version, CPU and features: part of the disk cache key
  std::string error;
  std::mutex mutex; // one compilation at a time; guards `kernels`
  std::unordered_map<std::string, FusedKernelFn> kernels;
};

Engine &engine() {
  static Engine *e = [] {
    auto *e = new Engine;
    llvm::InitializeNativeTarget();
    llvm::InitializeNativeTargetAsmPrinter();
    auto builder = llvm::orc::JITTargetMachineBuilder::detectHost();
    if (!builder) {
      e->error = "no target for this host: " + errorText(builder.takeError());
      return e;
    }
    builder->setCodeGenOptLevel(llvm::CodeGenOpt::Aggressive);
    auto machine = builder->createTargetMachine();
    if (!machine) {
      e->error = "no target machine: " + errorText(machine.takeError());
      return e;
    }
    e->machine = std::move(*machine);
    auto jit = llvm::orc::LLJITBuilder().setJITTargetMachineBuilder(*builder).create();
    if (!jit) {
      e->error = "cannot create the JIT: " + errorText(jit.takeError());
      return e;
    }
    e->jit = std::move(*jit);
    auto process = llvm::orc::DynamicLibrarySearchGenerator::GetForCurrentProcess(
        e->jit->getDataLayout().getGlobalPrefix());
    if (!process) {
      e->error = "cannot resolve the process's symbols: " + errorText(process.takeError());
      e->jit.reset();
      return e;
    }
    e->jit->getMainJITDylib().addGenerator(std::move(*process));
    e->host = std::string(kFormat) + " LLVM " LLVM_VERSION_STRING " " + e->machine->getTargetTriple().str() + " " +
              e->machine->getTargetCPU().str() + " " + e->machine->getTargetFeatureString().str();
    return e;
  }();
  return *e;
}

// ------------------------------------------------------------------ MLIR to an object

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

// Compiles the kernel `name` of `text` to an object; empty with `error` set when it cannot.
std::unique_ptr<llvm::MemoryBuffer> compileObject(Engine &e, const std::string &text, const std::string &name,
                                                  std::string &error) {
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

  mlir::OwningOpRef<mlir::ModuleOp> module = mlir::parseSourceString<mlir::ModuleOp>(text, &context);
  if (!module) {
    error = "the kernel does not parse: " + diagnostics;
    return nullptr;
  }
  mlir::RewritePatternSet approximations(&context);
  mlir::populateMathPolynomialApproximationPatterns(approximations);
  if (mlir::failed(mlir::applyPatternsAndFoldGreedily(*module, std::move(approximations)))) {
    error = "polynomial approximations did not converge";
    return nullptr;
  }
  mlir::RewritePatternSet fma(&context);
  fma.add<FmaToLLVM>(&context);
  if (mlir::failed(mlir::applyPatternsAndFoldGreedily(*module, std::move(fma)))) {
    error = "math.fma could not be lowered";
    return nullptr;
  }
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
  if (mlir::failed(pm.run(*module))) {
    error = "lowering to the LLVM dialect failed: " + diagnostics;
    return nullptr;
  }

  llvm::LLVMContext llvmContext;
  std::unique_ptr<llvm::Module> llvmModule = mlir::translateModuleToLLVMIR(*module, llvmContext, name);
  if (!llvmModule) {
    error = "translation to LLVM IR failed: " + diagnostics;
    return nullptr;
  }
  llvmModule->setDataLayout(e.machine->createDataLayout());
  llvmModule->setTargetTriple(e.machine->getTargetTriple().str());
  if (!addPackedWrapper(*llvmModule, name)) {
    error = "the kernel has no C interface";
    return nullptr;
  }
  auto optimise = mlir::makeOptimizingTransformer(/*optLevel=*/3, /*sizeLevel=*/0, e.machine.get());
  if (llvm::Error err = optimise(llvmModule.get())) {
    error = "LLVM optimisation failed: " + errorText(std::move(err));
    return nullptr;
  }
  llvm::orc::SimpleCompiler compiler(*e.machine);
  auto object = compiler(*llvmModule);
  if (!object) {
    error = "code generation failed: " + errorText(object.takeError());
    return nullptr;
  }
  return std::move(*object);
}

// ------------------------------------------------------------------ the disk cache

std::string cachePath(const std::string &directory, const std::string &fileKey) {
  llvm::SmallString<256> path(directory);
  llvm::sys::path::append(path, fileKey + ".o");
  return std::string(path);
}

// The object stored under `fileKey`, or null when there is none or it fails its checksum.
std::unique_ptr<llvm::MemoryBuffer> readCached(const std::string &directory, const std::string &fileKey) {
  auto file = llvm::MemoryBuffer::getFile(cachePath(directory, fileKey), /*IsText=*/false,
                                          /*RequiresNullTerminator=*/false);
  if (!file)
    return nullptr;
  llvm::StringRef data = (*file)->getBuffer();
  if (data.size() <= sizeof kMagic + kDigestSize || !data.startswith(llvm::StringRef(kMagic, sizeof kMagic)))
    return nullptr;
  llvm::StringRef stored = data.substr(sizeof kMagic, kDigestSize);
  llvm::StringRef object = data.drop_front(sizeof kMagic + kDigestSize);
  auto actual = digest(object);
  if (stored != llvm::StringRef(reinterpret_cast<const char *>(actual.data()), actual.size()))
    return nullptr;
  return llvm::MemoryBuffer::getMemBufferCopy(object, fileKey);
}

// Writes the object through a temporary file and a rename, so that readers see all of it or
// nothing. Failures (a directory that cannot be written) are ignored: the cache is then in memory only.
void writeCached(const std::string &directory, const std::string &fileKey, llvm::StringRef object) {
  if (llvm::sys::fs::create_directories(directory))
    return;
  static std::atomic<uint64_t> counter{0};
  std::string temporary = cachePath(directory, "." + fileKey + "." + std::to_string(::getpid()) + "." +
                                                   std::to_string(counter.fetch_add(1)) + ".tmp");
  {
    std::error_code ec;
    llvm::raw_fd_ostream out(temporary, ec, llvm::sys::fs::OF_None);
    if (ec)
      return;
    auto sum = digest(object);
    out.write(kMagic, sizeof kMagic);
    out.write(reinterpret_cast<const char *>(sum.data()), sum.size());
    out << object;
    out.close();
    if (out.has_error()) {
      out.clear_error();
      llvm::sys::fs::remove(temporary);
      return;
    }
  }
  if (llvm::sys::fs::rename(temporary, cachePath(directory, fileKey)))
    llvm::sys::fs::remove(temporary);
}

} // namespace

std::string kernelCacheDirectory() {
  if (const char *dir = std::getenv("LUMO_KERNEL_CACHE"))
    return dir;
  llvm::SmallString<256> path;
  if (const char *xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg)
    path = xdg;
  else if (const char *home = std::getenv("HOME"); home && *home)
    llvm::sys::path::append(path, home, ".cache");
  else
    return "";
  llvm::sys::path::append(path, "orvex", "lumo-kernels");
  return std::string(path);
}

JitOutcome compileKernel(const std::string &text, const std::string &key) {
  JitOutcome outcome;
  Engine &e = engine();
  if (!e.jit) {
    outcome.error = e.error;
    return outcome;
  }
  std::lock_guard<std::mutex> lock(e.mutex);
  if (auto it = e.kernels.find(key); it != e.kernels.end()) {
    outcome.fn = it->second;
    outcome.memoryHit = true;
    return outcome;
  }
  const std::string name = "lumo_" + key;
  std::string source = text;
  size_t at = source.find("@kernel(");
  if (at == std::string::npos) {
    outcome.error = "the kernel text has no @kernel";
    return outcome;
  }
  source.replace(at, 7, "@" + name);

  std::string directory = kernelCacheDirectory();
  std::string fileKey = hex(digest(e.host + "\n" + source));
  std::unique_ptr<llvm::MemoryBuffer> object;
  if (!directory.empty())
    object = readCached(directory, fileKey);
  outcome.diskHit = static_cast<bool>(object);
  if (!object) {
    object = compileObject(e, source, name, outcome.error);
    if (!object)
      return outcome;
    if (!directory.empty())
      writeCached(directory, fileKey, object->getBuffer());
  }
  if (llvm::Error err = e.jit->addObjectFile(std::move(object))) {
    outcome.error = "the JIT cannot load the kernel: " + errorText(std::move(err));
    outcome.diskHit = false;
    return outcome;
  }
  auto symbol = e.jit->lookup(name + "_packed");
  if (!symbol) {
    outcome.error = "the kernel's entry point is missing: " + errorText(symbol.takeError());
    outcome.diskHit = false;
    return outcome;
  }
  outcome.fn = symbol->toPtr<FusedKernelFn>();
  e.kernels[key] = outcome.fn;
  return outcome;
}

} // namespace lumo
