// The image pipeline record: the colour settings, the colour matrices built
// from them, the work buffer and the per-frame snapshots the kernels read.
//
// Colours are row vectors (R, G, B, 1) of 8-bit values multiplied by a 4x4
// matrix: entry [i][j] weighs input channel i in output channel j, row 3 holds
// additive offsets in 8-bit units. Fixed point: 1.0 = 64 for the matrix,
// 128 = unity for the white-balance gains.
#pragma once

#include "driver/kernel.h"

typedef double Matrix4[4][4];

struct ImagePipeline {
  // Read by the kernels; set by AllocateWorkBuffer and by each conversion.
  uint8_t* pixelOrigin;  // sample (0, 0) inside workBuffer: 2 rows and 5 bytes in
  uint8_t* destination;  // output image of the conversion in progress
  int32_t pitch;         // copy of workPitch
  uint32_t redGainInUse;
  uint32_t greenGainInUse;
  uint32_t blueGainInUse;
  uint32_t width;   // copy of frameWidth
  uint32_t height;  // copy of frameHeight
  int32_t matrixSnapshot[16];

  // Geometry, set when capture starts.
  int32_t frameWidth;
  int32_t frameHeight;
  uint32_t workPitch;
  uint32_t workBytes;
  uint8_t* outputImage;  // frameWidth * frameHeight * 4 bytes, owned by the capture stream
  uint8_t* workBuffer;   // owned by this record

  // Parameters. Property handlers write them while frames convert, so every
  // access is an interlocked 32-bit operation (ReadParameter/WriteParameter).
  // Declared as LONG because that is what the interlocked operations take; all
  // values are small and non-negative.
  volatile LONG bayerPhase;
  volatile LONG colourEnable;
  volatile LONG autoWhiteBalance;
  volatile LONG redGain;  // 0..512 from the controls, 128 = unity
  volatile LONG greenGain;
  volatile LONG blueGain;
  volatile LONG colourCorrection;
  volatile LONG brightness;  // 0..510, 255 neutral
  volatile LONG contrast;    // 0..20, 10 neutral
  volatile LONG saturation;  // 0..20, 10 neutral
  volatile LONG hue;         // 0..359 degrees

  // Guarded by rebuildLock.
  Matrix4 correctionMatrix;
  Matrix4 brightnessMatrix;
  Matrix4 contrastMatrix;
  Matrix4 saturationMatrix;
  Matrix4 hueMatrix;
  Matrix4 combinedMatrix;

  int32_t fixedMatrix[16];   // guarded by matrixLock: the published matrix
  uint8_t positiveMask[16];  // per frame, with matrixSnapshot

  // Serialises the matrix builders and rebuilds against each other, so that
  // two property changes on different threads cannot interleave their writes
  // to the double matrices. Taken at passive level only.
  FAST_MUTEX rebuildLock;
  // Makes the publication of fixedMatrix and its per-frame snapshot atomic as
  // a whole: a frame sees either the old matrix or the new one, never a mix.
  KSPIN_LOCK matrixLock;
};

// Atomic access to the parameter fields.
inline LONG ReadParameter(volatile LONG* field) { return InterlockedCompareExchange(field, 0, 0); }
inline void WriteParameter(volatile LONG* field, LONG value) { InterlockedExchange(field, value); }

// Allocates a record (pool tag "IsyR") with the default settings and the matrices
// initialised. Returns STATUS_INSUFFICIENT_RESOURCES if the pool is exhausted.
NTSTATUS CreateImagePipeline(ImagePipeline** pipeline);
// Frees the work buffer and the record. The output image belongs to the stream.
void FreeImagePipeline(ImagePipeline* pipeline);

// Sets up the locks and the parameter matrices (correction on, the rest
// neutral) and publishes the product.
void InitImagePipeline(ImagePipeline* pipeline);

void MultiplyMatrix4(const Matrix4 a, const Matrix4 b, Matrix4 out);  // out = b * a
void RotateX(Matrix4 m, double rs, double rc);
void RotateY(Matrix4 m, double rs, double rc);
void ShearZ(Matrix4 m, double dx, double dy);

// Each builder rebuilds its parameter matrix and then the published matrix.
void SetCorrectionMatrix(ImagePipeline* pipeline, int32_t on);
void SetBrightnessMatrix(ImagePipeline* pipeline, int32_t value);
void SetContrastMatrix(ImagePipeline* pipeline, int32_t value);
void SetSaturationMatrix(ImagePipeline* pipeline, int32_t value);
void SetHueMatrix(ImagePipeline* pipeline, int32_t degrees);
void RebuildColourMatrix(ImagePipeline* pipeline);

// Plain stores; they take effect at the next frame. Callers clamp.
void SetBayerPhase(ImagePipeline* pipeline, int32_t value);
void SetColourEnable(ImagePipeline* pipeline, int32_t value);
void SetAutoWhiteBalance(ImagePipeline* pipeline, int32_t value);
void SetRedGain(ImagePipeline* pipeline, int32_t value);
void SetGreenGain(ImagePipeline* pipeline, int32_t value);
void SetBlueGain(ImagePipeline* pipeline, int32_t value);

// Store the value and rebuild, unless it equals the stored one.
void UpdateCorrection(ImagePipeline* pipeline, int32_t value);
void UpdateBrightness(ImagePipeline* pipeline, int32_t value);
void UpdateContrast(ImagePipeline* pipeline, int32_t value);
void UpdateSaturation(ImagePipeline* pipeline, int32_t value);
void UpdateHue(ImagePipeline* pipeline, int32_t degrees);

// Frame size and the work-buffer layout that follows from it. A size that is
// negative or whose work buffer would not fit in 32 bits leaves workBytes 0,
// which AllocateWorkBuffer refuses.
void SetPipelineGeometry(ImagePipeline* pipeline, int32_t width, int32_t height);
// Replaces the work buffer (pool tag "Vwrk", zero-filled) and publishes the
// geometry to the kernels. On failure workBuffer is null, so conversions do
// nothing, and STATUS_INSUFFICIENT_RESOURCES is returned.
NTSTATUS AllocateWorkBuffer(ImagePipeline* pipeline);
void FreeWorkBuffer(ImagePipeline* pipeline);
