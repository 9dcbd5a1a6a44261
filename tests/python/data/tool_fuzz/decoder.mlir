module {
  func.func @main(%arg0: !torch.vtensor<[2,67],si64> {vx.input_name = "input_y"}, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder83"}, %arg2: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder82"}, %arg3: !torch.vtensor<[5,4],f32> {tf.resource_name = "head.weight"}, %arg4: !torch.vtensor<[6,4,2],f32> {tf.aliasing_output = 2 : i64, tf.resource_name = "line.weight"}, %arg5: !torch.vtensor<[6],f32> {tf.resource_name = "up.bias"}, %arg6: !torch.vtensor<[8,3,3,3],f32> {tf.resource_name = "up.weight"}, %arg7: !torch.vtensor<[8],f32> {tf.resource_name = "down.bias"}, %arg8: !torch.vtensor<[8,3,3,3],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "down.weight"}, %arg9: !torch.vtensor<[2,3,8,8],f32> {vx.input_name = "input_x"}, %arg10: !torch.vtensor<[5],f32> {tf.resource_name = "head.bias"}, %arg11: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder89"}, %arg12: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder87"}, %arg13: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder86"}, %arg14: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder85"}, %arg15: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder88"}, %arg16: !torch.vtensor<[8,3,3,3],f32> {tf.resource_name = "down.weight.momentum_buffer"}, %arg17: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder90"}, %arg30: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder101"}, %arg31: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder100"}, %arg32: !torch.vtensor<[6,4,2],f32> {tf.resource_name = "line.weight.momentum_buffer"}, %arg33: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder102"}) -> (!torch.vtensor<[],f32> {vx.output_name = "loss"}, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6,4,2],f32>) attributes {vx.seed = 101 : ui64} {
    %0 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %1 = "torch.prim.ListConstruct"(%0) : (!torch.int) -> !torch.list<int>
    %2 = "torch.aten.view_copy"(%arg0, %1) : (!torch.vtensor<[2,67],si64>, !torch.list<int>) -> !torch.vtensor<[134],si64>
    %3 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[5,4],f32>) -> !torch.vtensor<[4,5],f32>
    %4 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %5 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %6 = "torch.prim.ListConstruct"(%4, %5) : (!torch.int, !torch.int) -> !torch.list<int>
    %7 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %8 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %9 = "torch.prim.ListConstruct"(%7, %8) : (!torch.int, !torch.int) -> !torch.list<int>
    %10 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %11 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %12 = "torch.prim.ListConstruct"(%10, %11) : (!torch.int, !torch.int) -> !torch.list<int>
    %13 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %14 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %15 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %16 = "torch.prim.ListConstruct"(%14, %15) : (!torch.int, !torch.int) -> !torch.list<int>
    %17 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %18 = "torch.aten.convolution"(%arg9, %arg8, %arg7, %6, %9, %12, %13, %16, %17) : (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,8,4,4],f32>
    %19 = "torch.aten.relu"(%18) : (!torch.vtensor<[2,8,4,4],f32>) -> !torch.vtensor<[2,8,4,4],f32>
    %20 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %21 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %22 = "torch.prim.ListConstruct"(%20, %21) : (!torch.int, !torch.int) -> !torch.list<int>
    %23 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %24 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %25 = "torch.prim.ListConstruct"(%23, %24) : (!torch.int, !torch.int) -> !torch.list<int>
    %26 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %27 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %28 = "torch.prim.ListConstruct"(%26, %27) : (!torch.int, !torch.int) -> !torch.list<int>
    %29 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %30 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %31 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %32 = "torch.prim.ListConstruct"(%30, %31) : (!torch.int, !torch.int) -> !torch.list<int>
    %33 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %34 = "torch.aten.convolution"(%19, %arg6, %arg5, %22, %25, %28, %29, %32, %33) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,6,8,8],f32>
    %35 = "torch.aten.relu"(%34) : (!torch.vtensor<[2,6,8,8],f32>) -> !torch.vtensor<[2,6,8,8],f32>
    %36 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %37 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %38 = "torch.constant.int"() {value = 64 : i64} : () -> !torch.int
    %39 = "torch.prim.ListConstruct"(%36, %37, %38) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %40 = "torch.aten.view_copy"(%35, %39) : (!torch.vtensor<[2,6,8,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,6,64],f32>
    %41 = "torch.constant.none"() : () -> !torch.none
    %42 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %43 = "torch.prim.ListConstruct"(%42) : (!torch.int) -> !torch.list<int>
    %44 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %45 = "torch.prim.ListConstruct"(%44) : (!torch.int) -> !torch.list<int>
    %46 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
    %47 = "torch.prim.ListConstruct"(%46) : (!torch.int) -> !torch.list<int>
    %48 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %49 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %50 = "torch.prim.ListConstruct"(%49) : (!torch.int) -> !torch.list<int>
    %51 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %52 = "torch.aten.convolution"(%40, %arg4, %41, %43, %45, %47, %48, %50, %51) : (!torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,4,67],f32>
    %53 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %54 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %55 = "torch.aten.transpose_copy.int"(%52, %53, %54) : (!torch.vtensor<[2,4,67],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,67,4],f32>
    %56 = "torch.constant.int"() {value = 134 : i64} : () -> !torch.int
    %57 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
    %58 = "torch.prim.ListConstruct"(%56, %57) : (!torch.int, !torch.int) -> !torch.list<int>
    %59 = "torch.aten.view_copy"(%55, %58) : (!torch.vtensor<[2,67,4],f32>, !torch.list<int>) -> !torch.vtensor<[134,4],f32>
    %60 = "torch.aten.IntImplicit"(%arg2) : (!torch.vtensor<[],si64>) -> !torch.int
    %61 = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
    %62 = "torch.aten.addmm"(%arg10, %59, %3, %60, %61) : (!torch.vtensor<[5],f32>, !torch.vtensor<[134,4],f32>, !torch.vtensor<[4,5],f32>, !torch.int, !torch.int) -> !torch.vtensor<[134,5],f32>
    %63 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %64 = "torch.constant.int"() {value = 67 : i64} : () -> !torch.int
    %65 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
    %66 = "torch.prim.ListConstruct"(%63, %64, %65) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %67 = "torch.aten.view_copy"(%62, %66) : (!torch.vtensor<[134,5],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,5],f32>
    %68 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %69 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
    %70 = "torch.prim.ListConstruct"(%68, %69) : (!torch.int, !torch.int) -> !torch.list<int>
    %71 = "torch.aten.view_copy"(%67, %70) : (!torch.vtensor<[2,67,5],f32>, !torch.list<int>) -> !torch.vtensor<[134,5],f32>
    %72 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %73 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %74 = "torch.aten._log_softmax"(%71, %72, %73) : (!torch.vtensor<[134,5],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[134,5],f32>
    %75 = "torch.constant.none"() : () -> !torch.none
    %76 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %77 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %78:2 = "torch.aten.nll_loss_forward"(%74, %2, %75, %76, %77) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[134],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %79 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[5,4],f32>) -> !torch.vtensor<[4,5],f32>
    %80 = "torch.aten.t_copy"(%79) : (!torch.vtensor<[4,5],f32>) -> !torch.vtensor<[5,4],f32>
    %81 = "torch.constant.none"() : () -> !torch.none
    %82 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %83 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %84 = "torch.aten.nll_loss_backward"(%arg14, %74, %2, %81, %82, %83, %78#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[134,5],f32>, !torch.vtensor<[134],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[134,5],f32>
    %85 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %86 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %87 = "torch.aten._log_softmax_backward_data"(%84, %74, %85, %86) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[134,5],f32>, !torch.int, !torch.int) -> !torch.vtensor<[134,5],f32>
    %88 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %89 = "torch.constant.int"() {value = 67 : i64} : () -> !torch.int
    %90 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
    %91 = "torch.prim.ListConstruct"(%88, %89, %90) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %92 = "torch.aten.view_copy"(%87, %91) : (!torch.vtensor<[134,5],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,5],f32>
    %93 = "torch.constant.int"() {value = 134 : i64} : () -> !torch.int
    %94 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
    %95 = "torch.prim.ListConstruct"(%93, %94) : (!torch.int, !torch.int) -> !torch.list<int>
    %96 = "torch.aten.view_copy"(%92, %95) : (!torch.vtensor<[2,67,5],f32>, !torch.list<int>) -> !torch.vtensor<[134,5],f32>
    %97 = "torch.aten.mm"(%96, %80) : (!torch.vtensor<[134,5],f32>, !torch.vtensor<[5,4],f32>) -> !torch.vtensor<[134,4],f32>
    %98 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %99 = "torch.constant.int"() {value = 67 : i64} : () -> !torch.int
    %100 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
    %101 = "torch.prim.ListConstruct"(%98, %99, %100) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %102 = "torch.aten.view_copy"(%97, %101) : (!torch.vtensor<[134,4],f32>, !torch.list<int>) -> !torch.vtensor<[2,67,4],f32>
    %103 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %104 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %105 = "torch.aten.transpose_copy.int"(%102, %103, %104) : (!torch.vtensor<[2,67,4],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,67],f32>
    %106 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %107 = "torch.prim.ListConstruct"(%106) : (!torch.int) -> !torch.list<int>
    %108 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %109 = "torch.prim.ListConstruct"(%108) : (!torch.int) -> !torch.list<int>
    %110 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %111 = "torch.prim.ListConstruct"(%110) : (!torch.int) -> !torch.list<int>
    %112 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
    %113 = "torch.prim.ListConstruct"(%112) : (!torch.int) -> !torch.list<int>
    %114 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %115 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %116 = "torch.prim.ListConstruct"(%115) : (!torch.int) -> !torch.list<int>
    %117 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %118 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %119 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %120 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %121 = "torch.prim.ListConstruct"(%118, %119, %120) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %122:3 = "torch.aten.convolution_backward"(%105, %40, %arg4, %107, %109, %111, %113, %114, %116, %117, %121) : (!torch.vtensor<[2,4,67],f32>, !torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,6,64],f32>, !torch.vtensor<[6,4,2],f32>, !torch.vtensor<[0],f32>)
    %123 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %124 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %125 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %126 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %127 = "torch.prim.ListConstruct"(%123, %124, %125, %126) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %128 = "torch.aten.view_copy"(%122#0, %127) : (!torch.vtensor<[2,6,64],f32>, !torch.list<int>) -> !torch.vtensor<[2,6,8,8],f32>
    %129 = "torch.aten.IntImplicit"(%arg13) : (!torch.vtensor<[],si64>) -> !torch.int
    %130 = "torch.aten.threshold_backward"(%128, %35, %129) : (!torch.vtensor<[2,6,8,8],f32>, !torch.vtensor<[2,6,8,8],f32>, !torch.int) -> !torch.vtensor<[2,6,8,8],f32>
    %131 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %132 = "torch.prim.ListConstruct"(%131) : (!torch.int) -> !torch.list<int>
    %133 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %134 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %135 = "torch.prim.ListConstruct"(%133, %134) : (!torch.int, !torch.int) -> !torch.list<int>
    %136 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %137 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %138 = "torch.prim.ListConstruct"(%136, %137) : (!torch.int, !torch.int) -> !torch.list<int>
    %139 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %140 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %141 = "torch.prim.ListConstruct"(%139, %140) : (!torch.int, !torch.int) -> !torch.list<int>
    %142 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %143 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %144 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %145 = "torch.prim.ListConstruct"(%143, %144) : (!torch.int, !torch.int) -> !torch.list<int>
    %146 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %147 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %148 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %149 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %150 = "torch.prim.ListConstruct"(%147, %148, %149) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %151:3 = "torch.aten.convolution_backward"(%130, %19, %arg6, %132, %135, %138, %141, %142, %145, %146, %150) : (!torch.vtensor<[2,6,8,8],f32>, !torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[6],f32>)
    %152 = "torch.aten.IntImplicit"(%arg12) : (!torch.vtensor<[],si64>) -> !torch.int
    %153 = "torch.aten.threshold_backward"(%151#0, %19, %152) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[2,8,4,4],f32>, !torch.int) -> !torch.vtensor<[2,8,4,4],f32>
    %154 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %155 = "torch.prim.ListConstruct"(%154) : (!torch.int) -> !torch.list<int>
    %156 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %157 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %158 = "torch.prim.ListConstruct"(%156, %157) : (!torch.int, !torch.int) -> !torch.list<int>
    %159 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %160 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %161 = "torch.prim.ListConstruct"(%159, %160) : (!torch.int, !torch.int) -> !torch.list<int>
    %162 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %163 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %164 = "torch.prim.ListConstruct"(%162, %163) : (!torch.int, !torch.int) -> !torch.list<int>
    %165 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %166 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %167 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %168 = "torch.prim.ListConstruct"(%166, %167) : (!torch.int, !torch.int) -> !torch.list<int>
    %169 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %170 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %171 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %172 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %173 = "torch.prim.ListConstruct"(%170, %171, %172) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %174:3 = "torch.aten.convolution_backward"(%153, %arg9, %arg8, %155, %158, %161, %164, %165, %168, %169, %173) : (!torch.vtensor<[2,8,4,4],f32>, !torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[8,3,3,3],f32>, !torch.vtensor<[8],f32>)
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
