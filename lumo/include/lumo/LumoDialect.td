// The lumo dialect: its definition, the tensor types of its operations, and the base class of
// the operations, which are generated from csrc/lumo_ops.yaml (LumoOps.td in the build tree).

#ifndef LUMO_DIALECT_TD
#define LUMO_DIALECT_TD

include "mlir/IR/OpBase.td"
include "mlir/Interfaces/SideEffectInterfaces.td"

def Lumo_Dialect : Dialect {
  let name = "lumo";
  let cppNamespace = "::lumo";
  let summary = "The operations of the lumo operator library, on statically shaped tensors.";
  let useFoldAPI = kEmitFoldAdaptorFolder;
}

//===----------------------------------------------------------------------===//
// Tensor types
//===----------------------------------------------------------------------===//

// Element types as the torch dialect spells them: signed integers are si*, uint8 is ui8, bool is i1.
def Lumo_Tensor : StaticShapeTensorOf<[F16, BF16, F32, F64, I1, SI8, SI16, SI32, SI64, UI8]>;
def Lumo_FloatTensor : StaticShapeTensorOf<[F16, BF16, F32, F64]>;
def Lumo_IntegerTensor : StaticShapeTensorOf<[I1, SI8, SI16, SI32, SI64, UI8]>;
def Lumo_IndexTensor : StaticShapeTensorOf<[SI32, SI64]>;
def Lumo_BoolTensor : StaticShapeTensorOf<[I1]>;

//===----------------------------------------------------------------------===//
// Traits and the operation base class
//===----------------------------------------------------------------------===//

// Every operand broadcasts numpy-style to the result's shape (lumo/include/lumo/LumoTraits.h).
def Lumo_BroadcastsToResult : NativeOpTrait<"BroadcastsToResult"> {
  let cppNamespace = "::lumo::OpTrait";
}

class Lumo_Op<string mnemonic, list<Trait> traits = []> : Op<Lumo_Dialect, mnemonic, traits> {
  let assemblyFormat = "operands attr-dict `:` functional-type(operands, results)";
}

#endif // LUMO_DIALECT_TD
