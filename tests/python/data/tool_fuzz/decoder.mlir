module {
  func.func @main(%arg0: !torch.vtensor<[2,67],si64> {vx.input_name = "input_y"}, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder83"}, %arg2: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder82"}, %arg3: !torch.vtensor<[5,4],f32> {tf.resource_name = "head.weight"}, %arg4: !torch.vtensor<[6,4,2],f32> {tf.aliasing_output = 2 : i64, tf.resource_name = "line.weight"}, %arg5: !torch.vtensor<[6],f32> {tf.resource_name = "up.bias"}, %arg6: !torch.vtensor<[8,3,3,3],f32> {tf.resource_name = "up.weight"}, %arg7: !torch.vtensor<[8],f32> {tf.resource_name = "down.bias"}, %arg8: !torch.vtensor<[8,3,3,3],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "down.weight"}, %arg9: !torch.vtensor<[2,3,8,8],f32> {vx.input_name = "input_x"}, %arg10: !torch.vtensor<[5],f32> {tf.resource_name = "head.bias"}, %arg11: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder89"}, %arg12: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder87"}, %arg13: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder86"}, %arg14: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder85"}, %arg15: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder88"}, %arg16: !torch.vtensor<[8,3,3,3],f32> {tf.resource_name = "down.weight.momentum_buffer"}, %arg17: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder90"}, %arg30: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder101"}, %arg31: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder100"}, %arg32: !torch.vtensor<[6,4,2],f32> {tf.resource_name = "line.weight.momentum_buffer"}, %arg33: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder102"}) -> (!torch.vtensor<[],f32> {vx.output_name = "loss"}, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6,4,2],f32>) attributes {vx.seed = 101 : ui64} {
    %0 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %1 = "torch.prim.ListConstruct"(%0) : (!torch.int) -> !torch.list<int>
    %2 = "torch.aten.view_copy"(%arg0, %1) : (!torch.vtensor<[2,67],si64>, !torch.list<int>) -> !torch.vtensor<[134],si64>
    %3 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[5,4],f32>) -> !torch.vtensor<[4,5],f32>
    %4 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %6 = "torch.prim.ListConstruct"(%4, %4) : (!torch.int, !torch.int) -> !torch.list<int>
    %7 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %9 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %12 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %13 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %14 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %16 = "torch.prim.ListConstruct"(%14, %14) : (!torch.int, !torch.int) -> !torch.list<int>
    %18 = "torch.aten.convolution"(%arg9, %arg8, %arg7, %6, %9, %12, %13, %16, %7) : (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,8,4,4],f32>
    %19 = "torch.aten.relu"(%18) : (!torch.vtensor<[2,8,4,4],f32>) -> !torch.vtensor<[2,8,4,4],f32>
    %22 = "torch.prim.ListConstruct"(%4, %4) : (!torch.int, !torch.int) -> !torch.list<int>
    %25 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %28 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %29 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %32 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %34 = "torch.aten.convolution"(%19, %arg6, %arg5, %22, %25, %28, %29, %32, %4) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,6,8,8],f32>
    %35 = "torch.aten.relu"(%34) : (!torch.vtensor<[2,6,8,8],f32>) -> !torch.vtensor<[2,6,8,8],f32>
    %37 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %38 = "torch.constant.int"() {value = 64 : i64} : () -> !torch.int
    %39 = "torch.prim.ListConstruct"(%4, %37, %38) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %40 = "torch.aten.view_copy"(%35, %39) : (!torch.vtensor<[2,6,8,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,6,64],f32>
    %41 = "torch.constant.none"() : () -> !torch.none
    %43 = "torch.prim.ListConstruct"(%7) : (!torch.int) -> !torch.list<int>
    %45 = "torch.prim.ListConstruct"(%7) : (!torch.int) -> !torch.list<int>
    %46 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
    %47 = "torch.prim.ListConstruct"(%46) : (!torch.int) -> !torch.list<int>
    %50 = "torch.prim.ListConstruct"(%4) : (!torch.int) -> !torch.list<int>
    %52 = "torch.aten.convolution"(%40, %arg4, %41, %43, %45, %47, %29, %50, %7) : (!torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,4,67],f32>
    %55 = "torch.aten.transpose_copy.int"(%52, %7, %4) : (!torch.vtensor<[2,4,67],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,67,4],f32>
    %56 = "torch.constant.int"() {value = 134 : i64} : () -> !torch.int
    %57 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
    %58 = "torch.prim.ListConstruct"(%56, %57) : (!torch.int, !torch.int) -> !torch.list<int>
    %59 = "torch.aten.view_copy"(%55, %58) : (!torch.vtensor<[2,67,4],f32>, !torch.list<int>) -> !torch.vtensor<[134,4],f32>
    %60 = "torch.aten.IntImplicit"(%arg2) : (!torch.vtensor<[],si64>) -> !torch.int
    %61 = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
    %62 = "torch.aten.addmm"(%arg10, %59, %3, %60, %61) : (!torch.vtensor<[5],f32>, !torch.vtensor<[134,4],f32>, !torch.vtensor<[4,5],f32>, !torch.int, !torch.int) -> !torch.vtensor<[134,5],f32>
    %64 = "torch.constant.int"() {value = 67 : i64} : () -> !torch.int
    %65 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
    %66 = "torch.prim.ListConstruct"(%4, %64, %65) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %67 = "torch.aten.view_copy"(%62, %66) : (!torch.vtensor<[134,5],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,5],f32>
    %70 = "torch.prim.ListConstruct"(%0, %65) : (!torch.int, !torch.int) -> !torch.list<int>
    %71 = "torch.aten.view_copy"(%67, %70) : (!torch.vtensor<[2,67,5],f32>, !torch.list<int>) -> !torch.vtensor<[134,5],f32>
    %74 = "torch.aten._log_softmax"(%71, %7, %13) : (!torch.vtensor<[134,5],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[134,5],f32>
    %77 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %78:2 = "torch.aten.nll_loss_forward"(%74, %2, %41, %7, %77) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[134],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %79 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[5,4],f32>) -> !torch.vtensor<[4,5],f32>
    %80 = "torch.aten.t_copy"(%79) : (!torch.vtensor<[4,5],f32>) -> !torch.vtensor<[5,4],f32>
    %84 = "torch.aten.nll_loss_backward"(%arg14, %74, %2, %41, %7, %77, %78#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[134,5],f32>, !torch.vtensor<[134],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[134,5],f32>
    %87 = "torch.aten._log_softmax_backward_data"(%84, %74, %7, %37) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[134,5],f32>, !torch.int, !torch.int) -> !torch.vtensor<[134,5],f32>
    %91 = "torch.prim.ListConstruct"(%4, %64, %65) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %92 = "torch.aten.view_copy"(%87, %91) : (!torch.vtensor<[134,5],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,5],f32>
    %95 = "torch.prim.ListConstruct"(%56, %65) : (!torch.int, !torch.int) -> !torch.list<int>
    %96 = "torch.aten.view_copy"(%92, %95) : (!torch.vtensor<[2,67,5],f32>, !torch.list<int>) -> !torch.vtensor<[134,5],f32>
    %97 = "torch.aten.mm"(%96, %80) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[5,4],f32>) -> !torch.vtensor<[134,4],f32>
    %101 = "torch.prim.ListConstruct"(%4, %64, %57) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %102 = "torch.aten.view_copy"(%97, %101) : (!torch.vtensor<[134,4],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,4],f32>
    %105 = "torch.aten.transpose_copy.int"(%102, %7, %4) : (!torch.vtensor<[2,67,4],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,67],f32>
    %107 = "torch.prim.ListConstruct"(%14) : (!torch.int) -> !torch.list<int>
    %109 = "torch.prim.ListConstruct"(%7) : (!torch.int) -> !torch.list<int>
    %111 = "torch.prim.ListConstruct"(%7) : (!torch.int) -> !torch.list<int>
    %113 = "torch.prim.ListConstruct"(%46) : (!torch.int) -> !torch.list<int>
    %116 = "torch.prim.ListConstruct"(%4) : (!torch.int) -> !torch.list<int>
    %121 = "torch.prim.ListConstruct"(%29, %29, %13) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %122:3 = "torch.aten.convolution_backward"(%105, %40, %arg4, %107, %109, %111, %113, %29, %116, %7, %121) : (!torch.vtensor<[2,4,67],f32>, !torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.vtensor<[0],f32>)
    %125 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %127 = "torch.prim.ListConstruct"(%4, %37, %125, %125) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %128 = "torch.aten.view_copy"(%122#0, %127) : (!torch.vtensor<[2,6,64],f32>, !torch.list<int>) -> !torch.vtensor<[2,6,8,8],f32>
    %129 = "torch.aten.IntImplicit"(%arg13) : (!torch.vtensor<[],si64>) -> !torch.int
    %130 = "torch.aten.threshold_backward"(%128, %35, %129) : (!torch.vtensor<[2,6,8,8],f32>, !torch.vtensor<[2,6,8,8],f32>, !torch.int) -> !torch.vtensor<[2,6,8,8],f32>
    %132 = "torch.prim.ListConstruct"(%37) : (!torch.int) -> !torch.list<int>
    %135 = "torch.prim.ListConstruct"(%4, %4) : (!torch.int, !torch.int) -> !torch.list<int>
    %138 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %141 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %145 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %150 = "torch.prim.ListConstruct"(%29, %29, %29) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %151:3 = "torch.aten.convolution_backward"(%130, %19, %arg6, %132, %135, %138, %141, %29, %145, %4, %150) : (!torch.vtensor<[2,6,8,8],f32>, !torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6],f32>)
    %152 = "torch.aten.IntImplicit"(%arg12) : (!torch.vtensor<[],si64>) -> !torch.int
    %153 = "torch.aten.threshold_backward"(%151#0, %19, %152) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[2,8,4,4],f32>, !torch.int) -> !torch.vtensor<[2,8,4,4],f32>
    %155 = "torch.prim.ListConstruct"(%125) : (!torch.int) -> !torch.list<int>
    %158 = "torch.prim.ListConstruct"(%4, %4) : (!torch.int, !torch.int) -> !torch.list<int>
    %161 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %164 = "torch.prim.ListConstruct"(%7, %7) : (!torch.int, !torch.int) -> !torch.list<int>
    %168 = "torch.prim.ListConstruct"(%14, %14) : (!torch.int, !torch.int) -> !torch.list<int>
    %173 = "torch.prim.ListConstruct"(%13, %29, %29) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %174:3 = "torch.aten.convolution_backward"(%153, %arg9, %arg8, %155, %158, %161, %164, %13, %168, %7, %173) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>)
    %175 = "torch.aten.detach_copy"(%174#1) : (!torch.vtensor<[8,3,3,3],f32>) -> !torch.vtensor<[8,3,3,3],f32>
    %176 = "torch.aten.mul.Tensor"(%arg16, %arg15) : (!torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[8,3,3,3],f32>
    %177 = "torch.aten.IntImplicit"(%arg11) : (!torch.vtensor<[],si64>) -> !torch.int
    %178 = "torch.aten.add.Tensor"(%176, %175, %177) : (!torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.int) -> !torch.vtensor<[8,3,3,3],f32>
    %179 = "torch.aten.FloatImplicit"(%arg17) : (!torch.vtensor<[],f64>) -> !torch.float
    %180 = "torch.aten.add.Tensor"(%arg8, %178, %179) : (!torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.float) -> !torch.vtensor<[8,3,3,3],f32>
    %199 = "torch.aten.detach_copy"(%122#1) : (!torch.vtensor<[6,4,2],f32>) -> !torch.vtensor<[6,4,2],f32>
    %200 = "torch.aten.mul.Tensor"(%arg32, %arg31) : (!torch.vtensor<[6,4,2],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[6,4,2],f32>
    %201 = "torch.aten.IntImplicit"(%arg30) : (!torch.vtensor<[],si64>) -> !torch.int
    %202 = "torch.aten.add.Tensor"(%200, %199, %201) : (!torch.vtensor<[6,4,2],f32>, !torch.vtensor<[6,4,2],f32>, !torch.int) -> !torch.vtensor<[6,4,2],f32>
    %203 = "torch.aten.FloatImplicit"(%arg33) : (!torch.vtensor<[],f64>) -> !torch.float
    %204 = "torch.aten.add.Tensor"(%arg4, %202, %203) : (!torch.vtensor<[6,4,2],f32>, !torch.vtensor<[6,4,2],f32>, !torch.float) -> !torch.vtensor<[6,4,2],f32>
    return %78#0, %180, %204 : !torch.vtensor<[],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6,4,2],f32>
  }
}
