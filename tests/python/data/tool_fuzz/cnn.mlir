module {
  func.func @main(%arg0: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder101"}, %arg1: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-01> : tensor<f64>, vx.input_name = "placeholder99"}, %arg2: !torch.vtensor<[8],f32> {tf.resource_name = "bn.running_var"}, %arg3: !torch.vtensor<[8],f32> {tf.aliasing_output = 0 : i64, tf.resource_name = "bn.running_mean"}, %arg4: !torch.vtensor<[8],f32> {tf.resource_name = "bn.bias"}, %arg5: !torch.vtensor<[8],f32> {tf.resource_name = "bn.weight"}, %arg6: !torch.vtensor<[8],f32> {tf.resource_name = "conv1.bias"}, %arg7: !torch.vtensor<[8,3,3,3],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "conv1.weight"}, %arg8: !torch.vtensor<[4,3,8,8],f32> {vx.input_name = "input_x"}, %arg9: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder100"}, %arg10: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder105"}, %arg11: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-01> : tensor<f64>, vx.input_name = "placeholder103"}, %arg12: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder102"}, %arg13: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder104"}, %arg14: !torch.vtensor<[4],si64> {vx.input_name = "input_y"}, %arg15: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder107"}, %arg16: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder106"}, %arg17: !torch.vtensor<[10,16],f32> {tf.resource_name = "fc.weight"}, %arg18: !torch.vtensor<[16],f32> {tf.resource_name = "conv2.bias"}, %arg19: !torch.vtensor<[16,8,3,3],f32> {tf.resource_name = "conv2.weight"}, %arg20: !torch.vtensor<[10],f32> {tf.resource_name = "fc.bias"}, %arg21: !torch.vtensor<[],f64> {tf.parameter_value = dense<-5.000000e-02> : tensor<f64>, vx.input_name = "placeholder113"}, %arg22: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder112"}, %arg23: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder111"}, %arg24: !torch.vtensor<[],si64> {tf.parameter_value = dense<4> : tensor<si64>, vx.input_name = "placeholder110"}, %arg25: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder109"}) -> (!torch.vtensor<[8],f32>, !torch.vtensor<[8,3,3,3],f32>) attributes {vx.seed = 101 : ui64} {
    %0 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %2 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %5 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %8 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %9 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %10 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %12 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %14 = "torch.aten.convolution"(%arg8, %arg7, %arg6, %2, %5, %8, %9, %12, %0) : (!torch.vtensor<[4,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[4,8,8,8],f32>
    %15 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %16 = "torch.constant.float"() {value = 1.000000e-01 : f64} : () -> !torch.float
    %17 = "torch.constant.float"() {value = 1.000000e-05 : f64} : () -> !torch.float
    %18:3 = "torch.aten.native_batch_norm"(%14, %arg5, %arg4, %arg3, %arg2, %15, %16, %17) : (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.bool, !torch.float, !torch.float) -> (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>)
    %19 = "torch.aten.mul.Tensor"(%18#1, %arg1) : (!torch.vtensor<[8],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[8],f32>
    %20 = "torch.aten.mul.Tensor"(%arg3, %arg9) : (!torch.vtensor<[8],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[8],f32>
    %21 = "torch.aten.IntImplicit"(%arg0) : (!torch.vtensor<[],si64>) -> !torch.int
    %22 = "torch.aten.add.Tensor"(%20, %19, %21) : (!torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.int) -> !torch.vtensor<[8],f32>
    %24 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %25 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
    %26 = "torch.prim.ListConstruct"(%10, %24, %25) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %27 = "torch.aten.IntImplicit"(%arg12) : (!torch.vtensor<[],si64>) -> !torch.int
    %29 = "torch.aten.var.correction"(%14, %26, %27, %9) : (!torch.vtensor<[4,8,8,8],f32>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[8],f32>
    %30 = "torch.aten.mul.Tensor"(%29, %arg11) : (!torch.vtensor<[8],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[8],f32>
    %31 = "torch.aten.mul.Tensor"(%arg2, %arg13) : (!torch.vtensor<[8],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[8],f32>
    %32 = "torch.aten.IntImplicit"(%arg10) : (!torch.vtensor<[],si64>) -> !torch.int
    %33 = "torch.aten.add.Tensor"(%31, %30, %32) : (!torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.int) -> !torch.vtensor<[8],f32>
    %34 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %35 = "torch.prim.ListConstruct"(%34) : (!torch.int) -> !torch.list<int>
    %36 = "torch.aten.view_copy"(%arg14, %35) : (!torch.vtensor<[4],si64>, !torch.list<int>) -> !torch.vtensor<[4],si64>
    %37 = "torch.aten.t_copy"(%arg17) : (!torch.vtensor<[10,16],f32>) -> !torch.vtensor<[16,10],f32>
    %38 = "torch.aten.relu"(%18#0) : (!torch.vtensor<[4,8,8,8],f32>) -> !torch.vtensor<[4,8,8,8],f32>
    %41 = "torch.prim.ListConstruct"(%24, %24) : (!torch.int, !torch.int) -> !torch.list<int>
    %44 = "torch.prim.ListConstruct"(%24, %24) : (!torch.int, !torch.int) -> !torch.list<int>
    %47 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %50 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %52:2 = "torch.aten.max_pool2d_with_indices"(%38, %41, %44, %47, %50, %9) : (!torch.vtensor<[4,8,8,8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool) -> (!torch.vtensor<[4,8,4,4],f32>, !torch.vtensor<[4,8,4,4],si64>)
    %55 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %58 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %61 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %65 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %67 = "torch.aten.convolution"(%52#0, %arg19, %arg18, %55, %58, %61, %9, %65, %0) : (!torch.vtensor<[4,8,4,4],f32>, !torch.vtensor<[16,8,3,3],f32>, !torch.vtensor<[16],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[4,16,2,2],f32>
    %68 = "torch.aten.relu"(%67) : (!torch.vtensor<[4,16,2,2],f32>) -> !torch.vtensor<[4,16,2,2],f32>
    %70 = "torch.constant.int"() {value = -2 : i64} : () -> !torch.int
    %71 = "torch.prim.ListConstruct"(%34, %70) : (!torch.int, !torch.int) -> !torch.list<int>
    %73 = "torch.constant.none"() : () -> !torch.none
    %74 = "torch.aten.mean.dim"(%68, %71, %15, %73) : (!torch.vtensor<[4,16,2,2],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[4,16,1,1],f32>
    %75 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
    %76 = "torch.constant.int"() {value = 16 : i64} : () -> !torch.int
    %77 = "torch.prim.ListConstruct"(%75, %76) : (!torch.int, !torch.int) -> !torch.list<int>
    %78 = "torch.aten.view_copy"(%74, %77) : (!torch.vtensor<[4,16,1,1],f32>, !torch.list<int>) -> !torch.vtensor<[4,16],f32>
    %79 = "torch.aten.IntImplicit"(%arg16) : (!torch.vtensor<[],si64>) -> !torch.int
    %80 = "torch.aten.IntImplicit"(%arg15) : (!torch.vtensor<[],si64>) -> !torch.int
    %81 = "torch.aten.addmm"(%arg20, %78, %37, %79, %80) : (!torch.vtensor<[10],f32>, !torch.vtensor<[4,16],f32>, !torch.vtensor<[16,10],f32>, !torch.int, !torch.int) -> !torch.vtensor<[4,10],f32>
    %83 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
    %84 = "torch.prim.ListConstruct"(%34, %83) : (!torch.int, !torch.int) -> !torch.list<int>
    %85 = "torch.aten.view_copy"(%81, %84) : (!torch.vtensor<[4,10],f32>, !torch.list<int>) -> !torch.vtensor<[4,10],f32>
    %88 = "torch.aten._log_softmax"(%85, %0, %9) : (!torch.vtensor<[4,10],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[4,10],f32>
    %91 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %92:2 = "torch.aten.nll_loss_forward"(%88, %36, %73, %0, %91) : (!torch.vtensor<[4,10],f32>, !torch.vtensor<[4],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %93 = "torch.aten.t_copy"(%arg17) : (!torch.vtensor<[10,16],f32>) -> !torch.vtensor<[16,10],f32>
    %94 = "torch.aten.t_copy"(%93) : (!torch.vtensor<[16,10],f32>) -> !torch.vtensor<[10,16],f32>
    %98 = "torch.aten.nll_loss_backward"(%arg25, %88, %36, %73, %0, %91, %92#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[4,10],f32>, !torch.vtensor<[4],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[4,10],f32>
    %100 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %101 = "torch.aten._log_softmax_backward_data"(%98, %88, %0, %100) : (!torch.vtensor<[4,10],f32>, !torch.vtensor<[4,10],f32>, !torch.int, !torch.int) -> !torch.vtensor<[4,10],f32>
    %104 = "torch.prim.ListConstruct"(%75, %83) : (!torch.int, !torch.int) -> !torch.list<int>
    %105 = "torch.aten.view_copy"(%101, %104) : (!torch.vtensor<[4,10],f32>, !torch.list<int>) -> !torch.vtensor<[4,10],f32>
    %106 = "torch.aten.mm"(%105, %94) : (!torch.vtensor<[4,10],f32>, !torch.vtensor<[10,16],f32>) -> !torch.vtensor<[4,16],f32>
    %111 = "torch.prim.ListConstruct"(%75, %76, %0, %0) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %112 = "torch.aten.view_copy"(%106, %111) : (!torch.vtensor<[4,16],f32>, !torch.list<int>) -> !torch.vtensor<[4,16,1,1],f32>
    %117 = "torch.prim.ListConstruct"(%75, %76, %24, %24) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %119 = "torch.aten.expand_copy"(%112, %117, %9) : (!torch.vtensor<[4,16,1,1],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[4,16,2,2],f32>
    %120 = "torch.aten.div.Tensor"(%119, %arg24) : (!torch.vtensor<[4,16,2,2],f32>, !torch.vtensor<[],si64>) -> !torch.vtensor<[4,16,2,2],f32>
    %121 = "torch.aten.IntImplicit"(%arg23) : (!torch.vtensor<[],si64>) -> !torch.int
    %122 = "torch.aten.threshold_backward"(%120, %68, %121) : (!torch.vtensor<[4,16,2,2],f32>, !torch.vtensor<[4,16,2,2],f32>, !torch.int) -> !torch.vtensor<[4,16,2,2],f32>
    %124 = "torch.prim.ListConstruct"(%76) : (!torch.int) -> !torch.list<int>
    %127 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %130 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %133 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %137 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %142 = "torch.prim.ListConstruct"(%15, %15, %15) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %143:3 = "torch.aten.convolution_backward"(%122, %52#0, %arg19, %124, %127, %130, %133, %9, %137, %0, %142) : (!torch.vtensor<[4,16,2,2],f32>, !torch.vtensor<[4,8,4,4],f32>, !torch.vtensor<[16,8,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[4,8,4,4],f32>, !torch.vtensor<[16,8,3,3],f32>, !torch.vtensor<[16],f32>)
    %146 = "torch.prim.ListConstruct"(%24, %24) : (!torch.int, !torch.int) -> !torch.list<int>
    %149 = "torch.prim.ListConstruct"(%24, %24) : (!torch.int, !torch.int) -> !torch.list<int>
    %152 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %155 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %157 = "torch.aten.max_pool2d_with_indices_backward"(%143#0, %38, %146, %149, %152, %155, %9, %52#1) : (!torch.vtensor<[4,8,4,4],f32>, !torch.vtensor<[4,8,8,8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.vtensor<[4,8,4,4],si64>) -> !torch.vtensor<[4,8,8,8],f32>
    %158 = "torch.aten.IntImplicit"(%arg22) : (!torch.vtensor<[],si64>) -> !torch.int
    %159 = "torch.aten.threshold_backward"(%157, %38, %158) : (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[4,8,8,8],f32>, !torch.int) -> !torch.vtensor<[4,8,8,8],f32>
    %165 = "torch.prim.ListConstruct"(%15, %15, %15) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %166:3 = "torch.aten.native_batch_norm_backward"(%159, %14, %arg5, %22, %33, %18#1, %18#2, %15, %17, %165) : (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.bool, !torch.float, !torch.list<bool>) -> (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>)
    %167 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %168 = "torch.prim.ListConstruct"(%167) : (!torch.int) -> !torch.list<int>
    %171 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %174 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %177 = "torch.prim.ListConstruct"(%0, %0) : (!torch.int, !torch.int) -> !torch.list<int>
    %181 = "torch.prim.ListConstruct"(%10, %10) : (!torch.int, !torch.int) -> !torch.list<int>
    %186 = "torch.prim.ListConstruct"(%9, %15, %15) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %187:3 = "torch.aten.convolution_backward"(%166#0, %arg8, %arg7, %168, %171, %174, %177, %9, %181, %0, %186) : (!torch.vtensor<[4,8,8,8],f32>, !torch.vtensor<[4,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[4,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>)
    %188 = "torch.aten.detach_copy"(%187#1) : (!torch.vtensor<[8,3,3,3],f32>) -> !torch.vtensor<[8,3,3,3],f32>
    %189 = "torch.aten.FloatImplicit"(%arg21) : (!torch.vtensor<[],f64>) -> !torch.float
    %190 = "torch.aten.add.Tensor"(%arg7, %188, %189) : (!torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.float) -> !torch.vtensor<[8,3,3,3],f32>
    return %22, %190 : !torch.vtensor<[8],f32>, !torch.vtensor<[8,3,3,3],f32>
  }
}
