module {
  func.func @main(%arg0: !torch.vtensor<[2,16],si64> {vx.input_name = "input_y"}, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder433"}, %arg2: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder432"}, %arg3: !torch.vtensor<[50,32],f32> {tf.resource_name = "head.weight"}, %arg4: !torch.vtensor<[32],f32> {tf.resource_name = "ln_f.bias"}, %arg5: !torch.vtensor<[32],f32> {tf.resource_name = "ln_f.weight"}, %arg6: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder431"}, %arg7: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder430"}, %arg8: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder429"}, %arg9: !torch.vtensor<[32,128],f32> {tf.resource_name = "blocks.0.mlp.2.weight"}, %arg10: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder428"}, %arg11: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder427"}, %arg12: !torch.vtensor<[128,32],f32> {tf.resource_name = "blocks.0.mlp.0.weight"}, %arg13: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.ln2.bias"}, %arg14: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.ln2.weight"}, %arg15: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder426"}, %arg16: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder425"}, %arg17: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder424"}, %arg18: !torch.vtensor<[32,32],f32> {tf.resource_name = "blocks.0.attn.proj.weight"}, %arg19: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder419"}, %arg20: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder418"}, %arg21: !torch.vtensor<[96,32],f32> {tf.resource_name = "blocks.0.attn.qkv.weight"}, %arg22: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.ln1.bias"}, %arg23: !torch.vtensor<[32],f32> {tf.aliasing_output = 3 : i64, tf.resource_name = "blocks.0.ln1.weight"}, %arg24: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder417"}, %arg25: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder414"}, %arg26: !torch.vtensor<[],si64> {tf.parameter_value = dense<16> : tensor<si64>, vx.input_name = "placeholder415"}, %arg27: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder416"}, %arg28: !torch.vtensor<[16,32],f32> {tf.resource_name = "pos.weight"}, %arg29: !torch.vtensor<[2,16],si64> {vx.input_name = "input_x"}, %arg30: !torch.vtensor<[50,32],f32> {tf.aliasing_output = 1 : i64, tf.resource_name = "tok.weight"}, %arg31: !torch.vtensor<[96],f32> {tf.resource_name = "blocks.0.attn.qkv.bias"}, %arg32: !torch.vtensor<[],f64> {tf.parameter_value = dense<0xFFF0000000000000> : tensor<f64>, vx.input_name = "placeholder423"}, %arg33: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e+00> : tensor<f64>, vx.input_name = "placeholder422"}, %arg34: !torch.vtensor<[16,16],i1> {vx.input_name = "placeholder421"}, %arg35: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.35355339059327373> : tensor<f64>, vx.input_name = "placeholder420"}, %arg36: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.attn.proj.bias"}, %arg37: !torch.vtensor<[128],f32> {tf.resource_name = "blocks.0.mlp.0.bias"}, %arg38: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.mlp.2.bias"}, %arg39: !torch.vtensor<[50],f32> {tf.resource_name = "head.bias"}, %arg40: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.099999999999999978> : tensor<f64>, vx.input_name = "placeholder441"}, %arg41: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder439"}, %arg42: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder436"}, %arg43: !torch.vtensor<[],f32> {tf.parameter_value = dense<1.000000e+00> : tensor<f32>, vx.input_name = "placeholder435"}, %arg44: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.35355339059327373> : tensor<f64>, vx.input_name = "placeholder438"}, %arg45: !torch.vtensor<[],si64> {tf.parameter_value = dense<0> : tensor<si64>, vx.input_name = "placeholder437"}, %arg46: !torch.vtensor<[50,32],f32> {tf.resource_name = "tok.weight.exp_avg"}, %arg47: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.0010000000000000009> : tensor<f64>, vx.input_name = "placeholder443"}, %arg48: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.99899999999999999> : tensor<f64>, vx.input_name = "placeholder442"}, %arg49: !torch.vtensor<[50,32],f32> {tf.resource_name = "tok.weight.exp_avg_sq"}, %arg50: !torch.vtensor<[],f64> {tf.parameter_value = dense<-0.0052631578947368437> : tensor<f64>, vx.input_name = "placeholder447"}, %arg51: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder446"}, %arg52: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-08> : tensor<f64>, vx.input_name = "placeholder445"}, %arg53: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.044710177812216013> : tensor<f64>, vx.input_name = "placeholder444"}, %arg54: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.999900e-01> : tensor<f64>, vx.input_name = "placeholder440"}, %arg55: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.099999999999999978> : tensor<f64>, vx.input_name = "placeholder449"}, %arg56: !torch.vtensor<[16,32],f32> {tf.aliasing_output = 2 : i64, tf.resource_name = "pos.weight.exp_avg"}, %arg65: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.099999999999999978> : tensor<f64>, vx.input_name = "placeholder457"}, %arg66: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.ln1.weight.exp_avg"}, %arg67: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.0010000000000000009> : tensor<f64>, vx.input_name = "placeholder459"}, %arg68: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.99899999999999999> : tensor<f64>, vx.input_name = "placeholder458"}, %arg69: !torch.vtensor<[32],f32> {tf.resource_name = "blocks.0.ln1.weight.exp_avg_sq"}, %arg70: !torch.vtensor<[],f64> {tf.parameter_value = dense<-0.0052631578947368437> : tensor<f64>, vx.input_name = "placeholder463"}, %arg71: !torch.vtensor<[],si64> {tf.parameter_value = dense<1> : tensor<si64>, vx.input_name = "placeholder462"}, %arg72: !torch.vtensor<[],f64> {tf.parameter_value = dense<1.000000e-08> : tensor<f64>, vx.input_name = "placeholder461"}, %arg73: !torch.vtensor<[],f64> {tf.parameter_value = dense<0.044710177812216013> : tensor<f64>, vx.input_name = "placeholder460"}, %arg74: !torch.vtensor<[],f64> {tf.parameter_value = dense<9.999900e-01> : tensor<f64>, vx.input_name = "placeholder456"}) -> (!torch.vtensor<[],f32> {vx.output_name = "loss"}, !torch.vtensor<[50,32],f32>, !torch.vtensor<[16,32],f32>, !torch.vtensor<[32],f32>) attributes {vx.seed = 101 : ui64} {
    %0 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
    %1 = "torch.prim.ListConstruct"(%0) : (!torch.int) -> !torch.list<int>
    %2 = "torch.aten.view_copy"(%arg0, %1) : (!torch.vtensor<[2,16],si64>, !torch.list<int>) -> !torch.vtensor<[32],si64>
    %3 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[50,32],f32>) -> !torch.vtensor<[32,50],f32>
    %4 = "torch.aten.t_copy"(%arg9) : (!torch.vtensor<[32,128],f32>) -> !torch.vtensor<[128,32],f32>
    %5 = "torch.aten.t_copy"(%arg12) : (!torch.vtensor<[128,32],f32>) -> !torch.vtensor<[32,128],f32>
    %6 = "torch.aten.t_copy"(%arg18) : (!torch.vtensor<[32,32],f32>) -> !torch.vtensor<[32,32],f32>
    %7 = "torch.vtensor.literal"() {value = dense<1> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %8 = "torch.vtensor.literal"() {value = dense<96> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %9 = "torch.vtensor.literal"() {value = dense<64> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %10 = "torch.aten.t_copy"(%arg21) : (!torch.vtensor<[96,32],f32>) -> !torch.vtensor<[32,96],f32>
    %14 = "torch.aten.IntImplicit"(%arg27) : (!torch.vtensor<[],si64>) -> !torch.int
    %15 = "torch.aten.IntImplicit"(%arg26) : (!torch.vtensor<[],si64>) -> !torch.int
    %16 = "torch.aten.IntImplicit"(%arg25) : (!torch.vtensor<[],si64>) -> !torch.int
    %17 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
    %18 = "torch.constant.none"() : () -> !torch.none
    %19 = "torch.constant.device"() {value = "cpu"} : () -> !torch.Device
    %21 = "torch.aten.arange.start_step"(%14, %15, %16, %17, %18, %19, %18) : (!torch.int, !torch.int, !torch.int, !torch.int, !torch.none, !torch.Device, !torch.none) -> !torch.vtensor<[16],si64>
    %23 = "torch.constant.bool"() {value = false} : () -> !torch.bool
    %25 = "torch.aten.embedding"(%arg28, %21, %0, %23, %23) : (!torch.vtensor<[16,32],f32>, !torch.vtensor<[16],si64>, !torch.int, !torch.bool, !torch.bool) -> !torch.vtensor<[16,32],f32>
    %29 = "torch.aten.embedding"(%arg30, %arg29, %0, %23, %23) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[2,16],si64>, !torch.int, !torch.bool, !torch.bool) -> !torch.vtensor<[2,16,32],f32>
    %30 = "torch.aten.IntImplicit"(%arg24) : (!torch.vtensor<[],si64>) -> !torch.int
    %31 = "torch.aten.add.Tensor"(%29, %25, %30) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[16,32],f32>, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %32 = "torch.constant.int"() {value = 32 : i64} : () -> !torch.int
    %33 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %34 = "torch.constant.float"() {value = 1.000000e-05 : f64} : () -> !torch.float
    %35:3 = "torch.aten.native_layer_norm"(%31, %33, %arg23, %arg22, %34) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.float) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>)
    %38 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %39 = "torch.aten.view_copy"(%35#0, %38) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %40 = "torch.aten.IntImplicit"(%arg20) : (!torch.vtensor<[],si64>) -> !torch.int
    %41 = "torch.aten.IntImplicit"(%arg19) : (!torch.vtensor<[],si64>) -> !torch.int
    %42 = "torch.aten.addmm"(%arg31, %39, %10, %40, %41) : (!torch.vtensor<[96],f32>, !torch.vtensor<[32,32],f32>, !torch.vtensor<[32,96],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,96],f32>
    %43 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
    %44 = "torch.constant.int"() {value = 16 : i64} : () -> !torch.int
    %45 = "torch.constant.int"() {value = 96 : i64} : () -> !torch.int
    %46 = "torch.prim.ListConstruct"(%43, %44, %45) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %47 = "torch.aten.view_copy"(%42, %46) : (!torch.vtensor<[32,96],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,96],f32>
    %49 = "torch.aten.IntImplicit"(%9) : (!torch.vtensor<[],si64>) -> !torch.int
    %50 = "torch.aten.IntImplicit"(%8) : (!torch.vtensor<[],si64>) -> !torch.int
    %51 = "torch.aten.IntImplicit"(%7) : (!torch.vtensor<[],si64>) -> !torch.int
    %52 = "torch.aten.slice_copy.Tensor"(%47, %43, %49, %50, %51) : (!torch.vtensor<[2,16,96],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %56 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
    %57 = "torch.prim.ListConstruct"(%43, %44, %17, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %58 = "torch.aten.view_copy"(%52, %57) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,4,8],f32>
    %59 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
    %61 = "torch.aten.transpose_copy.int"(%58, %59, %43) : (!torch.vtensor<[2,16,4,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,8],f32>
    %66 = "torch.prim.ListConstruct"(%43, %17, %44, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %68 = "torch.aten.expand_copy"(%61, %66, %23) : (!torch.vtensor<[2,4,16,8],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[2,4,16,8],f32>
    %72 = "torch.prim.ListConstruct"(%56, %44, %56) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %73 = "torch.aten.view_copy"(%68, %72) : (!torch.vtensor<[2,4,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[8,16,8],f32>
    %74 = "torch.aten.fill.Tensor"(%arg34, %arg33) : (!torch.vtensor<[16,16],i1>, !torch.vtensor<[],f64>) -> !torch.vtensor<[16,16],i1>
    %75 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
    %76 = "torch.aten.tril"(%74, %75) : (!torch.vtensor<[16,16],i1>, !torch.int) -> !torch.vtensor<[16,16],i1>
    %77 = "torch.aten.bitwise_not"(%76) : (!torch.vtensor<[16,16],i1>) -> !torch.vtensor<[16,16],i1>
    %78 = "torch.vtensor.literal"() {value = dense<1> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %79 = "torch.vtensor.literal"() {value = dense<64> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %80 = "torch.vtensor.literal"() {value = dense<32> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %82 = "torch.aten.IntImplicit"(%80) : (!torch.vtensor<[],si64>) -> !torch.int
    %83 = "torch.aten.IntImplicit"(%79) : (!torch.vtensor<[],si64>) -> !torch.int
    %84 = "torch.aten.IntImplicit"(%78) : (!torch.vtensor<[],si64>) -> !torch.int
    %85 = "torch.aten.slice_copy.Tensor"(%47, %43, %82, %83, %84) : (!torch.vtensor<[2,16,96],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %90 = "torch.prim.ListConstruct"(%43, %44, %17, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %91 = "torch.aten.view_copy"(%85, %90) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,4,8],f32>
    %94 = "torch.aten.transpose_copy.int"(%91, %59, %43) : (!torch.vtensor<[2,16,4,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,8],f32>
    %95 = "torch.constant.int"() {value = -2 : i64} : () -> !torch.int
    %97 = "torch.aten.transpose_copy.int"(%94, %95, %0) : (!torch.vtensor<[2,4,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,8,16],f32>
    %102 = "torch.prim.ListConstruct"(%43, %17, %56, %44) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %104 = "torch.aten.expand_copy"(%97, %102, %23) : (!torch.vtensor<[2,4,8,16],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[2,4,8,16],f32>
    %108 = "torch.prim.ListConstruct"(%56, %56, %44) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %109 = "torch.aten.view_copy"(%104, %108) : (!torch.vtensor<[2,4,8,16],f32>, !torch.list<int>) -> !torch.vtensor<[8,8,16],f32>
    %110 = "torch.vtensor.literal"() {value = dense<1> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %111 = "torch.vtensor.literal"() {value = dense<32> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %112 = "torch.vtensor.literal"() {value = dense<0> : tensor<si64>} : () -> !torch.vtensor<[],si64>
    %114 = "torch.aten.IntImplicit"(%112) : (!torch.vtensor<[],si64>) -> !torch.int
    %115 = "torch.aten.IntImplicit"(%111) : (!torch.vtensor<[],si64>) -> !torch.int
    %116 = "torch.aten.IntImplicit"(%110) : (!torch.vtensor<[],si64>) -> !torch.int
    %117 = "torch.aten.slice_copy.Tensor"(%47, %43, %114, %115, %116) : (!torch.vtensor<[2,16,96],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %122 = "torch.prim.ListConstruct"(%43, %44, %17, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %123 = "torch.aten.view_copy"(%117, %122) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,4,8],f32>
    %126 = "torch.aten.transpose_copy.int"(%123, %59, %43) : (!torch.vtensor<[2,16,4,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,8],f32>
    %131 = "torch.prim.ListConstruct"(%43, %17, %44, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %133 = "torch.aten.expand_copy"(%126, %131, %23) : (!torch.vtensor<[2,4,16,8],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[2,4,16,8],f32>
    %137 = "torch.prim.ListConstruct"(%56, %44, %56) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %138 = "torch.aten.view_copy"(%133, %137) : (!torch.vtensor<[2,4,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[8,16,8],f32>
    %139 = "torch.aten.bmm"(%138, %109) : (!torch.vtensor<[8,16,8],f32>, !torch.vtensor<[8,8,16],f32>) -> !torch.vtensor<[8,16,16],f32>
    %144 = "torch.prim.ListConstruct"(%43, %17, %44, %44) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %145 = "torch.aten.view_copy"(%139, %144) : (!torch.vtensor<[8,16,16],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,16,16],f32>
    %146 = "torch.aten.mul.Tensor"(%145, %arg35) : (!torch.vtensor<[2,4,16,16],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[2,4,16,16],f32>
    %147 = "torch.aten.masked_fill.Tensor"(%146, %77, %arg32) : (!torch.vtensor<[2,4,16,16],f32>, !torch.vtensor<[16,16],i1>, !torch.vtensor<[],f64>) -> !torch.vtensor<[2,4,16,16],f32>
    %150 = "torch.aten._softmax"(%147, %0, %23) : (!torch.vtensor<[2,4,16,16],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[2,4,16,16],f32>
    %155 = "torch.prim.ListConstruct"(%43, %17, %44, %44) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %157 = "torch.aten.expand_copy"(%150, %155, %23) : (!torch.vtensor<[2,4,16,16],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[2,4,16,16],f32>
    %161 = "torch.prim.ListConstruct"(%56, %44, %44) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %162 = "torch.aten.view_copy"(%157, %161) : (!torch.vtensor<[2,4,16,16],f32>, !torch.list<int>) -> !torch.vtensor<[8,16,16],f32>
    %163 = "torch.aten.bmm"(%162, %73) : (!torch.vtensor<[8,16,16],f32>, !torch.vtensor<[8,16,8],f32>) -> !torch.vtensor<[8,16,8],f32>
    %168 = "torch.prim.ListConstruct"(%43, %17, %44, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %169 = "torch.aten.view_copy"(%163, %168) : (!torch.vtensor<[8,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,16,8],f32>
    %172 = "torch.aten.transpose_copy.int"(%169, %59, %43) : (!torch.vtensor<[2,4,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,16,4,8],f32>
    %176 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %177 = "torch.aten.view_copy"(%172, %176) : (!torch.vtensor<[2,16,4,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %180 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %181 = "torch.aten.view_copy"(%177, %180) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %182 = "torch.aten.IntImplicit"(%arg17) : (!torch.vtensor<[],si64>) -> !torch.int
    %183 = "torch.aten.IntImplicit"(%arg16) : (!torch.vtensor<[],si64>) -> !torch.int
    %184 = "torch.aten.addmm"(%arg36, %181, %6, %182, %183) : (!torch.vtensor<[32],f32>, !torch.vtensor<[32,32],f32>, !torch.vtensor<[32,32],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,32],f32>
    %188 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %189 = "torch.aten.view_copy"(%184, %188) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %190 = "torch.aten.IntImplicit"(%arg15) : (!torch.vtensor<[],si64>) -> !torch.int
    %191 = "torch.aten.add.Tensor"(%31, %189, %190) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %193 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %195:3 = "torch.aten.native_layer_norm"(%191, %193, %arg14, %arg13, %34) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.float) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>)
    %198 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %199 = "torch.aten.view_copy"(%195#0, %198) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %200 = "torch.aten.IntImplicit"(%arg11) : (!torch.vtensor<[],si64>) -> !torch.int
    %201 = "torch.aten.IntImplicit"(%arg10) : (!torch.vtensor<[],si64>) -> !torch.int
    %202 = "torch.aten.addmm"(%arg37, %199, %5, %200, %201) : (!torch.vtensor<[128],f32>, !torch.vtensor<[32,32],f32>, !torch.vtensor<[32,128],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,128],f32>
    %205 = "torch.constant.int"() {value = 128 : i64} : () -> !torch.int
    %206 = "torch.prim.ListConstruct"(%43, %44, %205) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %207 = "torch.aten.view_copy"(%202, %206) : (!torch.vtensor<[32,128],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,128],f32>
    %208 = "torch.constant.str"() {value = "none"} : () -> !torch.str
    %209 = "torch.aten.gelu"(%207, %208) : (!torch.vtensor<[2,16,128],f32>, !torch.str) -> !torch.vtensor<[2,16,128],f32>
    %212 = "torch.prim.ListConstruct"(%32, %205) : (!torch.int, !torch.int) -> !torch.list<int>
    %213 = "torch.aten.view_copy"(%209, %212) : (!torch.vtensor<[2,16,128],f32>, !torch.list<int>) -> !torch.vtensor<[32,128],f32>
    %214 = "torch.aten.IntImplicit"(%arg8) : (!torch.vtensor<[],si64>) -> !torch.int
    %215 = "torch.aten.IntImplicit"(%arg7) : (!torch.vtensor<[],si64>) -> !torch.int
    %216 = "torch.aten.addmm"(%arg38, %213, %4, %214, %215) : (!torch.vtensor<[32],f32>, !torch.vtensor<[32,128],f32>, !torch.vtensor<[128,32],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,32],f32>
    %220 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %221 = "torch.aten.view_copy"(%216, %220) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %222 = "torch.aten.IntImplicit"(%arg6) : (!torch.vtensor<[],si64>) -> !torch.int
    %223 = "torch.aten.add.Tensor"(%191, %221, %222) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %225 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %227:3 = "torch.aten.native_layer_norm"(%223, %225, %arg5, %arg4, %34) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.float) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>)
    %230 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %231 = "torch.aten.view_copy"(%227#0, %230) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %232 = "torch.aten.IntImplicit"(%arg2) : (!torch.vtensor<[],si64>) -> !torch.int
    %233 = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
    %234 = "torch.aten.addmm"(%arg39, %231, %3, %232, %233) : (!torch.vtensor<[50],f32>, !torch.vtensor<[32,32],f32>, !torch.vtensor<[32,50],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,50],f32>
    %237 = "torch.constant.int"() {value = 50 : i64} : () -> !torch.int
    %238 = "torch.prim.ListConstruct"(%43, %44, %237) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %239 = "torch.aten.view_copy"(%234, %238) : (!torch.vtensor<[32,50],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,50],f32>
    %242 = "torch.prim.ListConstruct"(%0, %237) : (!torch.int, !torch.int) -> !torch.list<int>
    %243 = "torch.aten.view_copy"(%239, %242) : (!torch.vtensor<[2,16,50],f32>, !torch.list<int>) -> !torch.vtensor<[32,50],f32>
    %246 = "torch.aten._log_softmax"(%243, %59, %23) : (!torch.vtensor<[32,50],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[32,50],f32>
    %249 = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
    %250:2 = "torch.aten.nll_loss_forward"(%246, %2, %18, %59, %249) : (!torch.vtensor<[32,50],f32>, !torch.vtensor<[32],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
    %251 = "torch.aten.t_copy"(%arg21) : (!torch.vtensor<[96,32],f32>) -> !torch.vtensor<[32,96],f32>
    %252 = "torch.aten.t_copy"(%251) : (!torch.vtensor<[32,96],f32>) -> !torch.vtensor<[96,32],f32>
    %253 = "torch.aten.t_copy"(%arg18) : (!torch.vtensor<[32,32],f32>) -> !torch.vtensor<[32,32],f32>
    %254 = "torch.aten.t_copy"(%253) : (!torch.vtensor<[32,32],f32>) -> !torch.vtensor<[32,32],f32>
    %255 = "torch.aten.t_copy"(%arg12) : (!torch.vtensor<[128,32],f32>) -> !torch.vtensor<[32,128],f32>
    %256 = "torch.aten.t_copy"(%255) : (!torch.vtensor<[32,128],f32>) -> !torch.vtensor<[128,32],f32>
    %257 = "torch.aten.t_copy"(%arg9) : (!torch.vtensor<[32,128],f32>) -> !torch.vtensor<[128,32],f32>
    %258 = "torch.aten.t_copy"(%257) : (!torch.vtensor<[128,32],f32>) -> !torch.vtensor<[32,128],f32>
    %259 = "torch.aten.t_copy"(%arg3) : (!torch.vtensor<[50,32],f32>) -> !torch.vtensor<[32,50],f32>
    %260 = "torch.aten.t_copy"(%259) : (!torch.vtensor<[32,50],f32>) -> !torch.vtensor<[50,32],f32>
    %264 = "torch.aten.nll_loss_backward"(%arg43, %246, %2, %18, %59, %249, %250#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[32,50],f32>, !torch.vtensor<[32],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[32,50],f32>
    %266 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
    %267 = "torch.aten._log_softmax_backward_data"(%264, %246, %59, %266) : (!torch.vtensor<[32,50],f32>, !torch.vtensor<[32,50],f32>, !torch.int, !torch.int) -> !torch.vtensor<[32,50],f32>
    %271 = "torch.prim.ListConstruct"(%43, %44, %237) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %272 = "torch.aten.view_copy"(%267, %271) : (!torch.vtensor<[32,50],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,50],f32>
    %275 = "torch.prim.ListConstruct"(%32, %237) : (!torch.int, !torch.int) -> !torch.list<int>
    %276 = "torch.aten.view_copy"(%272, %275) : (!torch.vtensor<[2,16,50],f32>, !torch.list<int>) -> !torch.vtensor<[32,50],f32>
    %277 = "torch.aten.mm"(%276, %260) : (!torch.vtensor<[32,50],f32>, !torch.vtensor<[50,32],f32>) -> !torch.vtensor<[32,32],f32>
    %281 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %282 = "torch.aten.view_copy"(%277, %281) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %284 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %285 = "torch.constant.bool"() {value = true} : () -> !torch.bool
    %288 = "torch.prim.ListConstruct"(%285, %285, %285) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %289:3 = "torch.aten.native_layer_norm_backward"(%282, %223, %284, %227#1, %227#2, %arg5, %arg4, %288) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>)
    %292 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %293 = "torch.aten.view_copy"(%289#0, %292) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %294 = "torch.aten.mm"(%293, %258) : (!torch.vtensor<[32,32],f32>, !torch.vtensor<[32,128],f32>) -> !torch.vtensor<[32,128],f32>
    %298 = "torch.prim.ListConstruct"(%43, %44, %205) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %299 = "torch.aten.view_copy"(%294, %298) : (!torch.vtensor<[32,128],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,128],f32>
    %301 = "torch.aten.gelu_backward"(%299, %207, %208) : (!torch.vtensor<[2,16,128],f32>, !torch.vtensor<[2,16,128],f32>, !torch.str) -> !torch.vtensor<[2,16,128],f32>
    %304 = "torch.prim.ListConstruct"(%32, %205) : (!torch.int, !torch.int) -> !torch.list<int>
    %305 = "torch.aten.view_copy"(%301, %304) : (!torch.vtensor<[2,16,128],f32>, !torch.list<int>) -> !torch.vtensor<[32,128],f32>
    %306 = "torch.aten.mm"(%305, %256) : (!torch.vtensor<[32,128],f32>, !torch.vtensor<[128,32],f32>) -> !torch.vtensor<[32,32],f32>
    %310 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %311 = "torch.aten.view_copy"(%306, %310) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %313 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %317 = "torch.prim.ListConstruct"(%285, %285, %285) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %318:3 = "torch.aten.native_layer_norm_backward"(%311, %191, %313, %195#1, %195#2, %arg14, %arg13, %317) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>)
    %319 = "torch.aten.IntImplicit"(%arg42) : (!torch.vtensor<[],si64>) -> !torch.int
    %320 = "torch.aten.add.Tensor"(%289#0, %318#0, %319) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %323 = "torch.prim.ListConstruct"(%32, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %324 = "torch.aten.view_copy"(%320, %323) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[32,32],f32>
    %325 = "torch.aten.mm"(%324, %254) : (!torch.vtensor<[32,32],f32>, !torch.vtensor<[32,32],f32>) -> !torch.vtensor<[32,32],f32>
    %329 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %330 = "torch.aten.view_copy"(%325, %329) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %335 = "torch.prim.ListConstruct"(%43, %44, %17, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %336 = "torch.aten.view_copy"(%330, %335) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,4,8],f32>
    %339 = "torch.aten.transpose_copy.int"(%336, %59, %43) : (!torch.vtensor<[2,16,4,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,8],f32>
    %343 = "torch.prim.ListConstruct"(%56, %44, %56) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %344 = "torch.aten.view_copy"(%339, %343) : (!torch.vtensor<[2,4,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[8,16,8],f32>
    %347 = "torch.aten.transpose_copy.int"(%162, %59, %43) : (!torch.vtensor<[8,16,16],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,16,16],f32>
    %348 = "torch.aten.bmm"(%347, %344) : (!torch.vtensor<[8,16,16],f32>, !torch.vtensor<[8,16,8],f32>) -> !torch.vtensor<[8,16,8],f32>
    %353 = "torch.prim.ListConstruct"(%43, %17, %44, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %354 = "torch.aten.view_copy"(%348, %353) : (!torch.vtensor<[8,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,16,8],f32>
    %357 = "torch.aten.transpose_copy.int"(%354, %59, %43) : (!torch.vtensor<[2,4,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,16,4,8],f32>
    %361 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %362 = "torch.aten.view_copy"(%357, %361) : (!torch.vtensor<[2,16,4,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %365 = "torch.aten.transpose_copy.int"(%73, %59, %43) : (!torch.vtensor<[8,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,8,16],f32>
    %366 = "torch.aten.bmm"(%344, %365) : (!torch.vtensor<[8,16,8],f32>, !torch.vtensor<[8,8,16],f32>) -> !torch.vtensor<[8,16,16],f32>
    %371 = "torch.prim.ListConstruct"(%43, %17, %44, %44) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %372 = "torch.aten.view_copy"(%366, %371) : (!torch.vtensor<[8,16,16],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,16,16],f32>
    %375 = "torch.aten._softmax_backward_data"(%372, %150, %0, %266) : (!torch.vtensor<[2,4,16,16],f32>, !torch.vtensor<[2,4,16,16],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,16],f32>
    %376 = "torch.aten.masked_fill.Tensor"(%375, %77, %arg45) : (!torch.vtensor<[2,4,16,16],f32>, !torch.vtensor<[16,16],i1>, !torch.vtensor<[],si64>) -> !torch.vtensor<[2,4,16,16],f32>
    %377 = "torch.aten.mul.Tensor"(%376, %arg44) : (!torch.vtensor<[2,4,16,16],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[2,4,16,16],f32>
    %381 = "torch.prim.ListConstruct"(%56, %44, %44) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %382 = "torch.aten.view_copy"(%377, %381) : (!torch.vtensor<[2,4,16,16],f32>, !torch.list<int>) -> !torch.vtensor<[8,16,16],f32>
    %385 = "torch.aten.transpose_copy.int"(%138, %59, %43) : (!torch.vtensor<[8,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,8,16],f32>
    %386 = "torch.aten.bmm"(%385, %382) : (!torch.vtensor<[8,8,16],f32>, !torch.vtensor<[8,16,16],f32>) -> !torch.vtensor<[8,8,16],f32>
    %391 = "torch.prim.ListConstruct"(%43, %17, %56, %44) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %392 = "torch.aten.view_copy"(%386, %391) : (!torch.vtensor<[8,8,16],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,8,16],f32>
    %395 = "torch.aten.transpose_copy.int"(%392, %95, %0) : (!torch.vtensor<[2,4,8,16],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4,16,8],f32>
    %398 = "torch.aten.transpose_copy.int"(%395, %59, %43) : (!torch.vtensor<[2,4,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,16,4,8],f32>
    %402 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %403 = "torch.aten.view_copy"(%398, %402) : (!torch.vtensor<[2,16,4,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %406 = "torch.aten.transpose_copy.int"(%109, %59, %43) : (!torch.vtensor<[8,8,16],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,16,8],f32>
    %407 = "torch.aten.bmm"(%382, %406) : (!torch.vtensor<[8,16,16],f32>, !torch.vtensor<[8,16,8],f32>) -> !torch.vtensor<[8,16,8],f32>
    %412 = "torch.prim.ListConstruct"(%43, %17, %44, %56) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %413 = "torch.aten.view_copy"(%407, %412) : (!torch.vtensor<[8,16,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,4,16,8],f32>
    %416 = "torch.aten.transpose_copy.int"(%413, %59, %43) : (!torch.vtensor<[2,4,16,8],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,16,4,8],f32>
    %420 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %421 = "torch.aten.view_copy"(%416, %420) : (!torch.vtensor<[2,16,4,8],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %422 = "torch.prim.ListConstruct"(%421, %403, %362) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>) -> !torch.list<vtensor>
    %424 = "torch.aten.cat"(%422, %43) : (!torch.list<vtensor>, !torch.int) -> !torch.vtensor<[2,16,96],f32>
    %427 = "torch.prim.ListConstruct"(%32, %45) : (!torch.int, !torch.int) -> !torch.list<int>
    %428 = "torch.aten.view_copy"(%424, %427) : (!torch.vtensor<[2,16,96],f32>, !torch.list<int>) -> !torch.vtensor<[32,96],f32>
    %429 = "torch.aten.mm"(%428, %252) : (!torch.vtensor<[32,96],f32>, !torch.vtensor<[96,32],f32>) -> !torch.vtensor<[32,32],f32>
    %433 = "torch.prim.ListConstruct"(%43, %44, %32) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
    %434 = "torch.aten.view_copy"(%429, %433) : (!torch.vtensor<[32,32],f32>, !torch.list<int>) -> !torch.vtensor<[2,16,32],f32>
    %436 = "torch.prim.ListConstruct"(%32) : (!torch.int) -> !torch.list<int>
    %440 = "torch.prim.ListConstruct"(%285, %285, %285) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
    %441:3 = "torch.aten.native_layer_norm_backward"(%434, %31, %436, %35#1, %35#2, %arg23, %arg22, %440) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[2,16,1],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>)
    %442 = "torch.aten.IntImplicit"(%arg41) : (!torch.vtensor<[],si64>) -> !torch.int
    %443 = "torch.aten.add.Tensor"(%320, %441#0, %442) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16,32],f32>, !torch.int) -> !torch.vtensor<[2,16,32],f32>
    %447 = "torch.aten.embedding_dense_backward"(%443, %arg29, %237, %0, %23) : (!torch.vtensor<[2,16,32],f32>, !torch.vtensor<[2,16],si64>, !torch.int, !torch.int, !torch.bool) -> !torch.vtensor<[50,32],f32>
    %448 = "torch.aten.detach_copy"(%447) : (!torch.vtensor<[50,32],f32>) -> !torch.vtensor<[50,32],f32>
    %449 = "torch.aten.lerp.Tensor"(%arg46, %448, %arg40) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[50,32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[50,32],f32>
    %450 = "torch.aten.mul.Tensor"(%arg49, %arg48) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[50,32],f32>
    %451 = "torch.aten.FloatImplicit"(%arg47) : (!torch.vtensor<[],f64>) -> !torch.float
    %452 = "torch.aten.addcmul"(%450, %448, %448, %451) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[50,32],f32>, !torch.vtensor<[50,32],f32>, !torch.float) -> !torch.vtensor<[50,32],f32>
    %453 = "torch.aten.sqrt"(%452) : (!torch.vtensor<[50,32],f32>) -> !torch.vtensor<[50,32],f32>
    %454 = "torch.aten.div.Tensor"(%453, %arg53) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[50,32],f32>
    %455 = "torch.aten.IntImplicit"(%arg51) : (!torch.vtensor<[],si64>) -> !torch.int
    %456 = "torch.aten.add.Tensor"(%454, %arg52, %455) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[],f64>, !torch.int) -> !torch.vtensor<[50,32],f32>
    %457 = "torch.aten.mul.Tensor"(%arg30, %arg54) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[50,32],f32>
    %458 = "torch.aten.FloatImplicit"(%arg50) : (!torch.vtensor<[],f64>) -> !torch.float
    %459 = "torch.aten.addcdiv"(%457, %449, %456, %458) : (!torch.vtensor<[50,32],f32>, !torch.vtensor<[50,32],f32>, !torch.vtensor<[50,32],f32>, !torch.float) -> !torch.vtensor<[50,32],f32>
    %461 = "torch.prim.ListConstruct"(%75) : (!torch.int) -> !torch.list<int>
    %464 = "torch.aten.sum.dim_IntList"(%443, %461, %285, %18) : (!torch.vtensor<[2,16,32],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[1,16,32],f32>
    %467 = "torch.prim.ListConstruct"(%44, %32) : (!torch.int, !torch.int) -> !torch.list<int>
    %468 = "torch.aten.view_copy"(%464, %467) : (!torch.vtensor<[1,16,32],f32>, !torch.list<int>) -> !torch.vtensor<[16,32],f32>
    %472 = "torch.aten.embedding_dense_backward"(%468, %21, %44, %0, %23) : (!torch.vtensor<[16,32],f32>, !torch.vtensor<[16],si64>, !torch.int, !torch.int, !torch.bool) -> !torch.vtensor<[16,32],f32>
    %473 = "torch.aten.detach_copy"(%472) : (!torch.vtensor<[16,32],f32>) -> !torch.vtensor<[16,32],f32>
    %474 = "torch.aten.lerp.Tensor"(%arg56, %473, %arg55) : (!torch.vtensor<[16,32],f32>, !torch.vtensor<[16,32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[16,32],f32>
    %485 = "torch.aten.detach_copy"(%441#1) : (!torch.vtensor<[32],f32>) -> !torch.vtensor<[32],f32>
    %486 = "torch.aten.lerp.Tensor"(%arg66, %485, %arg65) : (!torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[32],f32>
    %487 = "torch.aten.mul.Tensor"(%arg69, %arg68) : (!torch.vtensor<[32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[32],f32>
    %488 = "torch.aten.FloatImplicit"(%arg67) : (!torch.vtensor<[],f64>) -> !torch.float
    %489 = "torch.aten.addcmul"(%487, %485, %485, %488) : (!torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.float) -> !torch.vtensor<[32],f32>
    %490 = "torch.aten.sqrt"(%489) : (!torch.vtensor<[32],f32>) -> !torch.vtensor<[32],f32>
    %491 = "torch.aten.div.Tensor"(%490, %arg73) : (!torch.vtensor<[32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[32],f32>
    %492 = "torch.aten.IntImplicit"(%arg71) : (!torch.vtensor<[],si64>) -> !torch.int
    %493 = "torch.aten.add.Tensor"(%491, %arg72, %492) : (!torch.vtensor<[32],f32>, !torch.vtensor<[],f64>, !torch.int) -> !torch.vtensor<[32],f32>
    %494 = "torch.aten.mul.Tensor"(%arg23, %arg74) : (!torch.vtensor<[32],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[32],f32>
    %495 = "torch.aten.FloatImplicit"(%arg70) : (!torch.vtensor<[],f64>) -> !torch.float
    %496 = "torch.aten.addcdiv"(%494, %486, %493, %495) : (!torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.vtensor<[32],f32>, !torch.float) -> !torch.vtensor<[32],f32>
    return %250#0, %459, %474, %496 : !torch.vtensor<[],f32>, !torch.vtensor<[50,32],f32>, !torch.vtensor<[16,32],f32>, !torch.vtensor<[32],f32>
  }
}
