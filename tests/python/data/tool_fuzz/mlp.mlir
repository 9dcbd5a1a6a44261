module {
  func.func @main(%arg0: !torch.vtensor<[8],si64> {vx.input_name = "input_y"}, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder60"}, %arg2: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder59"}, %arg3: !torch.vtensor<[10,128],f32> {tf.aliasing_output = 6 : i64, tf.resource_name = "fc2.weight"}, %arg4: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder58"}, %arg5: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder57"}, %arg6: !torch.vtensor<[128,64],f32> {tf.aliasing_output = 2 : i64, tf.resource_name = "fc1.weight"}, %arg7: !torch.vtensor<[8,64],f32> {vx.input_name = "input_x"}, %arg8: !torch.vtensor<[128],f32> {tf.aliasing_output = 4 : i64, tf.resource_name = "fc1.bias"}, %arg9: !torch.vtensor<[10],f32> {tf.aliasing_output = 8 : i64, tf.resource_name = "fc2.bias"}, %arg10: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder66"}, %arg11: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder64"}, %arg12: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder63"}, %arg13: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder62"}, %arg14: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder65"}, %arg15: !torch.vtensor<[128,64],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "fc1.weight.momentum_buffer"}, %arg16: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder67"}, %arg17: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder70"}, %arg18: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder68"}, %arg19: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder69"}, %arg20: !torch.vtensor<[128],f32> {tf.aliasing_output = 3 : i64, tf.resource_name = "fc1.bias.momentum_buffer"}, %arg21: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder71"}, %arg22: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder74"}, %arg23: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder72"}, %arg24: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder73"}, %arg25: !torch.vtensor<[10,128],f32> {tf.aliasing_output = 5 : i64, tf.resource_name = "fc2.weight.momentum_buffer"}, %arg26: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder75"}, %arg27: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder78"}, %arg28: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-04> : tensor<f64>, vx.input_name = "placeholder76"}, %arg29: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.000000e-01> : tensor<f64>, vx.input_name = "placeholder77"}, %arg30: !torch.vtensor<[10],f32> {tf.aliasing_output = 7 : i64, tf.resource_name = "fc2.bias.momentum_buffer"}, %arg31: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder79"}) -> (!torch.vtensor<[],f32> {vx.output_name = "loss"}, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.vtensor<[10,128],f32>, !torch.vtensor<[10,128],f32>, !torch.vtensor<[10],f32>, !torch.vtensor<[10],f32>) attributes {vx.seed = 101 : ui64} {
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
    %12 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %13 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
    %14 = "torch.prim.ListConstruct"(%12, %13) : (!torch.int, !torch.int) -> !torch.list<int>
    %15 = "torch.aten.view_copy"(%11, %14) : (!torch.vtensor<[8,10],f32>, !torch.list<int>) -> !torch.vtensor<[8,10],f32>
    %16 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %17 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %18 = "torch.aten._log_softmax"(%15, %16, %17) : (!torch.vtensor<[8,10],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[8,10],f32>
    %19 = "torch.constant.none"() : () -> !torch.none
    %20 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %21 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %22:2 = "torch.aten.nll_loss_forward"(%18, %2, %19, %20, %21) : (!torch.vtensor<[8,10],f32>, !torch.vtensor<[8],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %23 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[10,128],f32>) -> !torch.vtensor<[128,10],f32>
    %24 = "torch.aten.t_copy"(%23) : (!torch.vtensor<[128,10],f32>) -> !torch.vtensor<[10,128],f32>
    %25 = "torch.constant.none"() : () -> !torch.none
    %26 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %27 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %28 = "torch.aten.nll_loss_backward"(%arg13, %18, %2, %25, %26, %27, %22#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[8,10],f32>, !torch.vtensor<[8],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[8,10],f32>
    %29 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %30 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %31 = "torch.aten._log_softmax_backward_data"(%28, %18, %29, %30) : (!torch.vtensor<[8,10],f32>, !torch.vtensor<[8,10],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,10],f32>
    %32 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %33 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
    %34 = "torch.prim.ListConstruct"(%32, %33) : (!torch.int, !torch.int) -> !torch.list<int>
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
    %48 = "torch.aten.FloatImplicit"(%arg16) : (!torch.vtensor<[],f64>) -> !torch.float
    %49 = "torch.aten.add.Tensor"(%arg6, %47, %48) : (!torch.vtensor<[128,64],f32>, !torch.vtensor<[128,64],f32>, !torch.float) -> !torch.vtensor<[128,64],f32>
    %50 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %51 = "torch.prim.ListConstruct"(%50) : (!torch.int) -> !torch.list<int>
    %52 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %53 = "torch.constant.none"() : () -> !torch.none
    %54 = "torch.aten.sum.dim_IntList"(%38, %51, %52, %53) : (!torch.vtensor<[8,128],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[1,128],f32>
    %55 = "torch.constant.int"() {value = 128 : i64} : () -> !torch.int
    %56 = "torch.prim.ListConstruct"(%55) : (!torch.int) -> !torch.list<int>
    %57 = "torch.aten.view_copy"(%54, %56) : (!torch.vtensor<[1,128],f32>, !torch.list<int>) -> !torch.vtensor<[128],f32>
    %58 = "torch.aten.detach_copy"(%57) : (!torch.vtensor<[128],f32>) -> !torch.vtensor<[128],f32>
    %59 = "torch.aten.FloatImplicit"(%arg18) : (!torch.vtensor<[],f64>) -> !torch.float
    %60 = "torch.aten.add.Tensor"(%58, %arg8, %59) : (!torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.float) -> !torch.vtensor<[128],f32>
    %61 = "torch.aten.mul.Tensor"(%arg20, %arg19) : (!torch.vtensor<[128],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[128],f32>
    %62 = "torch.aten.IntImplicit"(%arg17) : (!torch.vtensor<[],si64>) -> !torch.int
    %63 = "torch.aten.add.Tensor"(%61, %60, %62) : (!torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.int) -> !torch.vtensor<[128],f32>
    %64 = "torch.aten.FloatImplicit"(%arg21) : (!torch.vtensor<[],f64>) -> !torch.float
    %65 = "torch.aten.add.Tensor"(%arg8, %63, %64) : (!torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.float) -> !torch.vtensor<[128],f32>
    %66 = "torch.aten.t_copy"(%8) : (!torch.vtensor<[8,128],f32>) -> !torch.vtensor<[128,8],f32>
    %67 = "torch.aten.mm"(%66, %35) : (!torch.vtensor<[128,8],f32>, !torch.vtensor<[8,10],f32>) -> !torch.vtensor<[128,10],f32>
    %68 = "torch.aten.t_copy"(%67) : (!torch.vtensor<[128,10],f32>) -> !torch.vtensor<[10,128],f32>
    %69 = "torch.aten.detach_copy"(%68) : (!torch.vtensor<[10,128],f32>) -> !torch.vtensor<[10,128],f32>
    %70 = "torch.aten.FloatImplicit"(%arg23) : (!torch.vtensor<[],f64>) -> !torch.float
    %71 = "torch.aten.add.Tensor"(%69, %arg3, %70) : (!torch.vtensor<[10,128],f32>, !torch.vtensor<[10,128],f32>, !torch.float) -> !torch.vtensor<[10,128],f32>
    %72 = "torch.aten.mul.Tensor"(%arg25, %arg24) : (!torch.vtensor<[10,128],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[10,128],f32>
    %73 = "torch.aten.IntImplicit"(%arg22) : (!torch.vtensor<[],si64>) -> !torch.int
    %74 = "torch.aten.add.Tensor"(%72, %71, %73) : (!torch.vtensor<[10,128],f32>, !torch.vtensor<[10,128],f32>, !torch.int) -> !torch.vtensor<[10,128],f32>
    %75 = "torch.aten.FloatImplicit"(%arg26) : (!torch.vtensor<[],f64>) -> !torch.float
    %76 = "torch.aten.add.Tensor"(%arg3, %74, %75) : (!torch.vtensor<[10,128],f32>, !torch.vtensor<[10,128],f32>, !torch.float) -> !torch.vtensor<[10,128],f32>
    %77 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %78 = "torch.prim.ListConstruct"(%77) : (!torch.int) -> !torch.list<int>
    %79 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %80 = "torch.constant.none"() : () -> !torch.none
    %81 = "torch.aten.sum.dim_IntList"(%35, %78, %79, %80) : (!torch.vtensor<[8,10],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[1,10],f32>
    %82 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
    %83 = "torch.prim.ListConstruct"(%82) : (!torch.int) -> !torch.list<int>
    %84 = "torch.aten.view_copy"(%81, %83) : (!torch.vtensor<[1,10],f32>, !torch.list<int>) -> !torch.vtensor<[10],f32>
    %85 = "torch.aten.detach_copy"(%84) : (!torch.vtensor<[10],f32>) -> !torch.vtensor<[10],f32>
    %86 = "torch.aten.FloatImplicit"(%arg28) : (!torch.vtensor<[],f64>) -> !torch.float
    %87 = "torch.aten.add.Tensor"(%85, %arg9, %86) : (!torch.vtensor<[10],f32>, !torch.vtensor<[10],f32>, !torch.float) -> !torch.vtensor<[10],f32>
    %88 = "torch.aten.mul.Tensor"(%arg30, %arg29) : (!torch.vtensor<[10],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[10],f32>
    %89 = "torch.aten.IntImplicit"(%arg27) : (!torch.vtensor<[],si64>) -> !torch.int
    %90 = "torch.aten.add.Tensor"(%88, %87, %89) : (!torch.vtensor<[10],f32>, !torch.vtensor<[10],f32>, !torch.int) -> !torch.vtensor<[10],f32>
    %91 = "torch.aten.FloatImplicit"(%arg31) : (!torch.vtensor<[],f64>) -> !torch.float
    %92 = "torch.aten.add.Tensor"(%arg9, %90, %91) : (!torch.vtensor<[10],f32>, !torch.vtensor<[10],f32>, !torch.float) -> !torch.vtensor<[10],f32>
    return %22#0, %47, %49, %63, %65, %74, %76, %90, %92 : !torch.vtensor<[],f32>, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128,64],f32>, !torch.vtensor<[128],f32>, !torch.vtensor<[128],f32>, !torch.vtensor<[10,128],f32>, !torch.vtensor<[10,128],f32>, !torch.vtensor<[10],f32>, !torch.vtensor<[10],f32>
  }
}
