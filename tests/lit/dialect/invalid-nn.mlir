// Convolution, pooling, normalisations and random operations: each rule rejects a violation with an
// error at the operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%x: tensor<2x4x8x8xf32>, %w: tensor<6x4x3x3xf32>) {
  // expected-error @+1 {{kernel [6, 4, 3, 3] must have channels [6, 2, ...] ([O, C / groups])}}
  %0 = lumo.Convolution %x, %w {feature_group_count = 2 : i64} : (tensor<2x4x8x8xf32>, tensor<6x4x3x3xf32>) -> tensor<2x6x6x6xf32>
  return
}

// -----
func.func @f(%x: tensor<1x2x4x4xsi64>, %w: tensor<3x2x3x3xsi64>, %b: tensor<1x2x4x4xi1>, %bw: tensor<3x2x3x3xi1>, %dy: tensor<1x3x2x2xsi64>) {
  // Integers convolve, forward and transposed; booleans do not, and integers have no filter gradient.
  %0 = lumo.Convolution %x, %w : (tensor<1x2x4x4xsi64>, tensor<3x2x3x3xsi64>) -> tensor<1x3x2x2xsi64>
  %1 = lumo.Convolution %0, %w {transposed = true} : (tensor<1x3x2x2xsi64>, tensor<3x2x3x3xsi64>) -> tensor<1x2x4x4xsi64>
  // expected-error @+1 {{cannot convolve i1 tensors}}
  %2 = lumo.Convolution %b, %bw : (tensor<1x2x4x4xi1>, tensor<3x2x3x3xi1>) -> tensor<1x3x2x2xi1>
  return
}

// -----
func.func @f(%x: tensor<1x2x4x4xsi64>, %dy: tensor<1x3x2x2xsi64>) {
  // expected-error @+1 {{filter_gradient needs a floating-point element type, got 'si64'}}
  %0 = lumo.Convolution %x, %dy {filter_gradient = true} : (tensor<1x2x4x4xsi64>, tensor<1x3x2x2xsi64>) -> tensor<3x2x3x3xsi64>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %w: tensor<6x4x3x3xf32>) {
  // Asymmetric padding as low/high pairs: (8 + 0 + 1 - 3) / 2 + 1 = 4 and (8 + 2 + 2 - 3) / 2 + 1 = 5.
  %0 = lumo.Convolution %x, %w {window_strides = array<i64: 2, 2>, padding = array<i64: 0, 1, 2, 2>} : (tensor<2x4x8x8xf32>, tensor<6x4x3x3xf32>) -> tensor<2x6x4x5xf32>
  // expected-error @+1 {{result spatial dimension 1 of size 4 must be 5 ((in + padding - dilation * (k - 1) - 1) / stride + 1)}}
  %1 = lumo.Convolution %x, %w {window_strides = array<i64: 2, 2>, padding = array<i64: 0, 1, 2, 2>} : (tensor<2x4x8x8xf32>, tensor<6x4x3x3xf32>) -> tensor<2x6x4x4xf32>
  return
}

// -----
func.func @f(%x: tensor<2x8x8x4xf32>, %w: tensor<6x4x3x3xf32>) {
  // Channels-last activations, kernel always [O, I, k...].
  %0 = lumo.Convolution %x, %w {data_format = #lumo.data_format<NHWC>, kernel_dilation = array<i64: 2, 2>} : (tensor<2x8x8x4xf32>, tensor<6x4x3x3xf32>) -> tensor<2x4x4x6xf32>
  // expected-error @+1 {{data_format "NCW" does not match the input's rank 4}}
  %1 = lumo.Convolution %x, %w {data_format = #lumo.data_format<NCW>} : (tensor<2x8x8x4xf32>, tensor<6x4x3x3xf32>) -> tensor<2x4x4x6xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6x8x8xf32>, %w: tensor<6x2x3x3xf32>) {
  // expected-error @+1 {{result spatial dimension 0 of size 17 must lie in [15, 16] (transposed convolution)}}
  %0 = lumo.Convolution %x, %w {window_strides = array<i64: 2, 2>, padding = array<i64: 1, 1>, transposed = true, feature_group_count = 2 : i64} : (tensor<2x6x8x8xf32>, tensor<6x2x3x3xf32>) -> tensor<2x4x17x16xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %dy: tensor<2x6x8x8xf32>) {
  // expected-error @+1 {{dy spatial dimension 0 of size 8 must be 6}}
  %0 = lumo.Convolution %x, %dy {filter_gradient = true} : (tensor<2x4x8x8xf32>, tensor<2x6x8x8xf32>) -> tensor<6x4x3x3xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %w: tensor<6x4x3x3xf32>) {
  // expected-error @+1 {{transposed and filter_gradient cannot both be true}}
  %0 = lumo.Convolution %x, %w {transposed = true, filter_gradient = true} : (tensor<2x4x8x8xf32>, tensor<6x4x3x3xf32>) -> tensor<6x4x3x3xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x7x7xf32>, %d: tensor<f32>) {
  // A 7-wide input pooled by 2 with stride 2 gives 3 (floor) or 4 (ceil).
  %0 = lumo.Pool %x, %d {ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 1, 1>, padding = array<i64: 0, 0>} : (tensor<2x4x7x7xf32>, tensor<f32>) -> tensor<2x4x3x4xf32>
  // expected-error @+1 {{result spatial dimension 1 of size 5 must be 3 or 4 (pooled size, floor or ceil)}}
  %1 = lumo.Pool %x, %d {ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 1, 1>, padding = array<i64: 0, 0>} : (tensor<2x4x7x7xf32>, tensor<f32>) -> tensor<2x4x3x5xf32>
  return
}

// -----
func.func @f(%x: tensor<1x1x5xf32>, %d: tensor<f32>) {
  // With padding 1 the ceil variant would start a last window in the right padding: only 3.
  // expected-error @+1 {{result spatial dimension 0 of size 4 must be 3 (pooled size, floor or ceil)}}
  %0 = lumo.Pool %x, %d {ksize = array<i64: 2>, strides = array<i64: 2>, dilation = array<i64: 1>, padding = array<i64: 1>} : (tensor<1x1x5xf32>, tensor<f32>) -> tensor<1x1x4xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %d: tensor<f32>) {
  // expected-error @+1 {{pool_type "AVG" needs dilation 1}}
  %0 = lumo.Pool %x, %d {ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 2, 2>, padding = array<i64: 0, 0>, pool_type = #lumo.pool_type<AVG>} : (tensor<2x4x8x8xf32>, tensor<f32>) -> tensor<2x4x3x3xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %d: tensor<f32>) {
  // expected-error @+1 {{padding 2 of spatial dimension 0 exceeds half the window (3)}}
  %0 = lumo.Pool %x, %d {ksize = array<i64: 3, 3>, strides = array<i64: 1, 1>, dilation = array<i64: 1, 1>, padding = array<i64: 2, 2>} : (tensor<2x4x8x8xf32>, tensor<f32>) -> tensor<2x4x10x10xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %d: tensor<2x4x3x3xf32>) {
  // expected-error @+1 {{delta spatial dimension 0 of size 3 must be 4 (pooled size, floor or ceil)}}
  %0 = lumo.Pool %x, %d {gradient = true, ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 1, 1>, padding = array<i64: 0, 0>} : (tensor<2x4x8x8xf32>, tensor<2x4x3x3xf32>) -> tensor<2x4x8x8xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8xf32>, %g: tensor<4xf32>) {
  // expected-error @+1 {{gamma and beta [4] must equal the trailing dimensions of the input [2, 4, 8]}}
  %0 = lumo.LayerNorm %x, %g, %g : (tensor<2x4x8xf32>, tensor<4xf32>, tensor<4xf32>) -> tensor<2x4x8xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %c: tensor<8xf32>) {
  // expected-error @+1 {{scale shape [8] must be [4] (one value per channel)}}
  %0:3 = lumo.FusedBatchNorm %x, %c, %c, %c, %c : (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>) -> (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>)
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %c: tensor<8xf32>) {
  // Channels-last: C is the last dimension.
  %0:3 = lumo.FusedBatchNorm %x, %c, %c, %c, %c {data_format = #lumo.data_format<NHWC>} : (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>) -> (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>)
  // expected-error @+2 {{expected ::lumo::DataFormat to be one of: NC, NCW, NCHW, NCDHW, NWC, NHWC, NDHWC}}
  // expected-error @+1 {{failed to parse Lumo_DataFormatAttr parameter 'value'}}
  %1:3 = lumo.FusedBatchNorm %x, %c, %c, %c, %c {data_format = #lumo.data_format<CHWN>} : (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>, tensor<8xf32>) -> (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>)
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %c: tensor<4xf32>) {
  // expected-error @+1 {{is_training must be true: the inference gradient needs the running statistics}}
  %0:3 = lumo.FusedBatchNormGrad %x, %x, %c {is_training = false} : (tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>, tensor<4xf32>) -> (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>)
  return
}

// -----
func.func @f(%x: tensor<2x4x8x8xf32>, %c: tensor<4xf32>) {
  // expected-error @+1 {{num_groups 3 must divide the 4 channels}}
  %0 = lumo.GroupNorm %x, %c, %c {num_groups = 3 : i64} : (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>) -> tensor<2x4x8x8xf32>
  return
}

// -----
func.func @f(%s: tensor<f32>) {
  %shape = lumo.Const {value = dense<[3, 5]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  // expected-error @+1 {{result shape [3, 4] must be [3, 5] (the value of shape)}}
  %0 = lumo.RandomUniform %s, %s, %shape : (tensor<f32>, tensor<f32>, tensor<2xsi64>) -> tensor<3x4xf32>
  return
}

// -----
func.func @f(%m: tensor<2xf32>, %s: tensor<f32>) {
  // expected-error @+1 {{operand #0 of type 'tensor<2xf32>' does not broadcast to the result type 'tensor<3x4xf32>'}}
  %0 = lumo.RandomNormal %m, %s {seed = 1 : i64} : (tensor<2xf32>, tensor<f32>) -> tensor<3x4xf32>
  return
}

// -----
func.func @f(%p: tensor<2x5xf32>) {
  // expected-error @+1 {{num_samples 6 exceeds the 5 categories of a draw without replacement}}
  %0 = lumo.RandomMultinomial %p {num_samples = 6 : i64} : (tensor<2x5xf32>) -> tensor<2x6xsi64>
  return
}
