module {
  func.func @main(%arg0: !torch.vtensor<[8],si64> {vx.input_name = "input_y"}, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder60"}, %arg2: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder59"}, %arg3: !torch.vtensor<[10,128],f32> {tf.resource_name = "fc2.weight"}, %arg4: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder58"}, %arg5: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder57"}, %arg6: !torch.vtensor<[128,64],f32> {tf.resource_name = "fc1.weight"}, %arg7: !torch.vtensor<[8,64],f32> {vx.input_name = "input_x"}, %arg8: !torch.vtensor<[128],f32> {tf.resource_name = "fc1.bias"}, %arg9: !torch.vtensor<[10],f32> {tf.resource_name = "fc2.bias"}, %arg10: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder66"}, %arg11: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder64"}, %arg12: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder63"}, %arg13: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder62"}, %arg14: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder65"}, %arg15: !torch.vtensor<[128,64],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "fc1.weight.momentum_buffer"}, %arg17: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder70"}, %arg18: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder68"}, %arg19: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder69"}, %arg20: !torch.vtensor<[128],f32> {tf.aliasing_output = 2 : i64, tf.resource_name = "fc1.bias.momentum_buffer"}) -> (!torch.vtensor<[],f32> {vx.output_name = "loss"}, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128],f32>) attributes {vx.seed = 101 : ui64} {
    %0 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %1 = "torch.prim.ListConstruct"(%0) : (!torch.int) -> !torch.list<int>
    %2 = "torch.aten.view_copy"(%arg0, %1) : (!torch.vtensor<[8],si64>, !torch.list<int>) -> !torch.vtensor<[8],si64>
    %3 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[10,128],f32>) -> !torch.vtensor<[128,10],f32>
    %4 = "torch.aten.t_copy"(%arg6) : (!torch.vtensor<[128,64],f32>) -> !torch.vtensor<[64,128],f32>
    %5 = "torch.aten.IntImplicit"(%arg5) : (!torch.vtensor<[],si64>) -> !torch.int
    %6 = "torch.aten.IntImplicit"(%arg4) : (!torch.vtensor<[],si64>) -> !torch.int
    %7 = "torch.aten.addmm"(%arg8, %arg7, %4, %5, %6) : (!torch.vtensor<[128],f32>, !torch.vtensor<[8,64],f32>, !torch.vtensor<[64,128],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,128],f32>
    %8 = "torch.aten.relu"(%7) : (!torch.vtensor<[8,128],f32>) -> !torch.vtensor<[8,128],f32>
    %9 = "torch.aten.IntImplicit"(%arg2) : (!torch.vtensor<[],si64>) -> !torch.int
    %10 = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
    %11 = "torch.aten.addmm"(%arg9, %8, %3, %9, %10) : (!torch.vtensor<[10],f32>, !torch.vtensor<[8,128],f32>, !torch.vtensor<[128,10],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,10],f32>
    %13 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
    %14 = "torch.prim.ListConstruct"(%0, %13) : (!torch.int, !torch.int) -> !torch.list<int>
    %15 = "torch.aten.view_copy"(%11, %14) : (!torch.vtensor<[8,10],f32>, !torch.list<int>) -> !torch.vtensor<[8,10],f32>
    %16 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %17 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %18 = "torch.aten._log_softmax"(%15, %16, %17) : (!torch.vtensor<[8,10],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[8,10],f32>
    %19 = "torch.constant.none"() : () -> !torch.none
    %21 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %22:2 = "torch.aten.nll_loss_forward"(%18, %2, %19, %16, %21) : (!torch.vtensor<[8,10],f32>, !torch.vtensor<[8],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %23 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[10,128],f32>) -> !torch.vtensor<[128,10],f32>
    %24 = "torch.aten.t_copy"(%23) : (!torch.vtensor<[128,10],f32>) -> !torch.vtensor<[10,128],f32>
    %28 = "torch.aten.nll_loss_backward"(%arg13, %18, %2, %19, %16, %21, %22#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[8,10],f32>, !torch.vtensor<[8],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[8,10],f32>
    %30 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %31 = "torch.aten._log_softmax_backward_data"(%28, %18, %16, %30) : (!torch.vtensor<[8,10],f32>, !torch.vtensor<[8,10],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,10],f32>
    %32 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %34 = "torch.prim.ListConstruct"(%32, %13) : (!torch.int, !torch.int) -> !torch.list<int>
    %35 = "torch.aten.view_copy"(%31, %34) : (!torch.vtensor<[8,10],f32>, !torch.list<int>) -> !torch.vtensor<[8,10],f32>
    %36 = "torch.aten.mm"(%35, %24) : (!torch.vtensor<[8,10],f32>, !torch.vtensor<[10,128],f32>) -> !torch.vtensor<[8,128],f32>
    %37 = "torch.aten.IntImplicit"(%arg12) : (!torch.vtensor<[],si64>) -> !torch.int
    %38 = "torch.aten.threshold_backward"(%36, %8, %37) : (!torch.vtensor<[8,128],f32>, !torch.vtensor<[8,128],f32>, !torch.int) -> !torch.vtensor<[8,128],f32>
    %39 = "torch.aten.t_copy"(%arg7) : (!torch.vtensor<[8,64],f32>) -> !torch.vtensor<[64,8],f32>
    %40 = "torch.aten.mm"(%39, %38) : (!torch.vtensor<[64,8],f32>, !torch.vtensor<[8,128],f32>) -> !torch.vtensor<[64,128],f32>
    %41 = "torch.aten.t_copy"(%40) : (!torch.vtensor<[64,128],f32>) -> !torch.vtensor<[128,64],f32>
    %42 = "torch.aten.detach_copy"(%41) : (!torch.vtensor<[128,64],f32>) -> !torch.vtensor<[128,64],f32>
    %43 = "torch.aten.FloatImplicit"(%arg11) : (!torch.vtensor<[],f64>) -> !torch.float
    %44 = "torch.aten.add.Tensor"(%42, %arg6, %43) : (!torch.vtensor<[128,64],f32>, !torch.vtensor<[128,64],f32>, !torch.float) -> !torch.vtensor<[128,64],f32>
    %45 = "torch.aten.mul.Tensor"(%arg15, %arg14) : (!torch.vtensor<[128,64],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[128,64],f32>
    %46 = "torch.aten.IntImplicit"(%arg10) : (!torch.vtensor<[],si64>) -> !torch.int
    %47 = "torch.aten.add.Tensor"(%45, %44, %46) : (!torch.vtensor<[128,64],f32>, !torch.vtensor<[128,64],f32>, !torch.int) -> !torch.vtensor<[128,64],f32>
    %50 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %51 = "torch.prim.ListConstruct"(%50) : (!torch.int) -> !torch.list<int>
    %52 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %54 = "torch.aten.sum.dim_IntList"(%38, %51, %52, %19) : (!torch.vtensor<[8,128],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[1,128],f32>
    %55 = "torch.constant.int"() {value = 128 : i64} : () -> !torch.int
    %56 = "torch.prim.ListConstruct"(%55) : (!torch.int) -> !torch.list<int>
    %57 = "torch.aten.view_copy"(%54, %56) : (!torch.vtensor<[1,128],f32>, !torch.list<int>) -> !torch.vtensor<[128],f32>
    %58 = "torch.aten.detach_copy"(%57) : (!torch.vtensor<[128],f32>) -> !torch.vtensor<[128],f32>
    %59 = "torch.aten.FloatImplicit"(%arg18) : (!torch.vtensor<[],f64>) -> !torch.float
    %60 = "torch.aten.add.Tensor"(%58, %arg8, %59) : (!torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.float) -> !torch.vtensor<[128],f32>
    %61 = "torch.aten.mul.Tensor"(%arg20, %arg19) : (!torch.vtensor<[128],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[128],f32>
    %62 = "torch.aten.IntImplicit"(%arg17) : (!torch.vtensor<[],si64>) -> !torch.int
    %63 = "torch.aten.add.Tensor"(%61, %60, %62) : (!torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.int) -> !torch.vtensor<[128],f32>
    return %22#0, %47, %63 : !torch.vtensor<[],f32>, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128],f32>
  }
}
