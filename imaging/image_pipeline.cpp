// Colour matrices from the user's settings, their fixed-point publication, and
// the work-buffer geometry.
#include "imaging/image_pipeline.h"

#include "imaging/runtime_math.h"

namespace {

constexpr Matrix4 kIdentity = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

// The sensor's colour filters overlap, so raw red, green and blue each carry
// some of the other two; this matrix (rows = input, columns = output) pulls
// them apart. Every column sums to 1, so greys pass unchanged. The values are
// single precision, widened to double when used.
constexpr float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.1f},
    {-0.22f, 1.4f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

// Luminance weights of red, green and blue for linear light.
constexpr float kLuminanceWeight[3] = {0.3086f, 0.6094f, 0.0820f};

constexpr int32_t kMaxBrightness = 510;
constexpr int32_t kMaxContrastOrSaturation = 20;

void Copy(const Matrix4 from, Matrix4 to) { memcpy(to, from, sizeof(Matrix4)); }

int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }

// Contrast and saturation share one scale: 0 -> 0.0, 10 -> 1.0, 20 -> 2.0,
// computed in single precision.
double UnitScale(int32_t value) {
  float k = (static_cast<float>(Min(value, kMaxContrastOrSaturation)) - 10.0f) * 0.1f + 1.0f;
  return k;
}

// Rounds half away from zero to 1/64 steps.
int32_t ToFixed(double entry) {
  double y = entry * 64.0;
  return y >= 0.0 ? static_cast<int32_t>(y + 0.5) : static_cast<int32_t>(y - 0.5);
}

void BuildCorrection(ImagePipeline* pipeline, int32_t on) {
  Matrix4& m = pipeline->correctionMatrix;
  Copy(kIdentity, m);
  if (on == 0) return;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = kCorrection[i][j];
}

// Adds the same offset, -255..+255 in 8-bit units, to every channel.
void BuildBrightness(ImagePipeline* pipeline, int32_t value) {
  Matrix4& m = pipeline->brightnessMatrix;
  Copy(kIdentity, m);
  double offset = Min(value, kMaxBrightness) - 255.0;
  for (int j = 0; j < 3; ++j) m[3][j] = offset;
}

// Scales every channel by k about the mid-grey 128: v -> k * v + (128 - 128k).
void BuildContrast(ImagePipeline* pipeline, int32_t value) {
  Matrix4& m = pipeline->contrastMatrix;
  Copy(kIdentity, m);
  double k = UnitScale(value);
  for (int j = 0; j < 3; ++j) {
    m[j][j] = k;
    m[3][j] = k * -128.0 + 128.0;
  }
}

// Moves each colour towards (s < 1) or away from (s > 1) its luminance: the
// output is s * colour + (1 - s) * luminance in every channel.
void BuildSaturation(ImagePipeline* pipeline, int32_t value) {
  Matrix4& m = pipeline->saturationMatrix;
  Copy(kIdentity, m);
  double s = UnitScale(value);
  double t = 1.0 - s;
  for (int i = 0; i < 3; ++i) {
    double weighted = t * static_cast<double>(kLuminanceWeight[i]);
    for (int j = 0; j < 3; ++j) m[i][j] = weighted;
    m[i][i] = weighted + s;
  }
}

// Rotates colours about the grey axis by the hue angle while keeping their
// luminance (Haeberli's matrix method): turn the grey axis onto the z axis,
// shear so that the luminance plane becomes horizontal, rotate about z, and
// undo the shear and the turns.
void BuildHue(ImagePipeline* pipeline, int32_t degrees) {
  Matrix4& m = pipeline->hueMatrix;
  Copy(kIdentity, m);

  double m2 = RuntimeSqrtf(2.0f);
  double xs = 1.0 / m2;
  double xc = xs;
  RotateX(m, xs, xc);
  double m3 = RuntimeSqrtf(3.0f);
  double ys = -1.0 / m3;
  double yc = m2 / m3;
  RotateY(m, ys, yc);

  const double wR = kLuminanceWeight[0], wG = kLuminanceWeight[1], wB = kLuminanceWeight[2];
  double lx = wR * m[0][0] + wG * m[1][0] + wB * m[2][0] + m[3][0];
  double ly = wR * m[0][1] + wG * m[1][1] + wB * m[2][1] + m[3][1];
  double lz = wR * m[0][2] + wG * m[1][2] + wB * m[2][2] + m[3][2];
  double zx = lx / lz;
  double zy = ly / lz;
  ShearZ(m, zx, zy);

  float angle = static_cast<float>(degrees) * 3.1415927f / 180.0f;
  double s = RuntimeSinf(angle);
  double c = RuntimeCosf(angle);
  Matrix4 rotateZ = {{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  MultiplyMatrix4(rotateZ, m, m);

  ShearZ(m, -zx, -zy);
  RotateY(m, -ys, yc);
  RotateX(m, -xs, xc);
}

// combinedMatrix = hue * saturation * brightness * contrast * correction: a
// colour passes through hue first and through the colour correction last.
// Called with rebuildLock held.
void RebuildLocked(ImagePipeline* pipeline) {
  Matrix4& combined = pipeline->combinedMatrix;
  Copy(kIdentity, combined);
  MultiplyMatrix4(combined, pipeline->correctionMatrix, combined);
  MultiplyMatrix4(combined, pipeline->contrastMatrix, combined);
  MultiplyMatrix4(combined, pipeline->brightnessMatrix, combined);
  MultiplyMatrix4(combined, pipeline->saturationMatrix, combined);
  MultiplyMatrix4(combined, pipeline->hueMatrix, combined);

  int32_t fixed[16];
  for (int k = 0; k < 16; ++k) fixed[k] = ToFixed(combined[k / 4][k % 4]);

  KeEnterCriticalRegion();
  KIRQL oldIrql;
  KeAcquireSpinLock(&pipeline->matrixLock, &oldIrql);
  memcpy(pipeline->fixedMatrix, fixed, sizeof(fixed));
  KeReleaseSpinLock(&pipeline->matrixLock, oldIrql);
  KeLeaveCriticalRegion();
}

typedef void (*MatrixBuilder)(ImagePipeline* pipeline, int32_t value);

void BuildAndRebuild(ImagePipeline* pipeline, MatrixBuilder build, int32_t value) {
  ExAcquireFastMutex(&pipeline->rebuildLock);
  build(pipeline, value);
  RebuildLocked(pipeline);
  ExReleaseFastMutex(&pipeline->rebuildLock);
}

// The comparison, the store and the rebuild happen under one lock, so that two
// racing updates cannot leave the field saying one value and the matrix
// built from the other.
void UpdateMatrixParameter(ImagePipeline* pipeline, volatile LONG* field, MatrixBuilder build,
                           int32_t value) {
  ExAcquireFastMutex(&pipeline->rebuildLock);
  if (ReadParameter(field) != value) {
    WriteParameter(field, value);
    build(pipeline, value);
    RebuildLocked(pipeline);
  }
  ExReleaseFastMutex(&pipeline->rebuildLock);
}

}  // namespace

void MultiplyMatrix4(const Matrix4 a, const Matrix4 b, Matrix4 out) {
  Matrix4 product;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      product[i][j] = b[i][0] * a[0][j] + b[i][1] * a[1][j] + b[i][2] * a[2][j] + b[i][3] * a[3][j];
  Copy(product, out);
}

void RotateX(Matrix4 m, double rs, double rc) {
  Matrix4 rotation = {{1, 0, 0, 0}, {0, rc, rs, 0}, {0, -rs, rc, 0}, {0, 0, 0, 1}};
  MultiplyMatrix4(rotation, m, m);
}

void RotateY(Matrix4 m, double rs, double rc) {
  Matrix4 rotation = {{rc, 0, -rs, 0}, {0, 1, 0, 0}, {rs, 0, rc, 0}, {0, 0, 0, 1}};
  MultiplyMatrix4(rotation, m, m);
}

void ShearZ(Matrix4 m, double dx, double dy) {
  Matrix4 shear = {{1, 0, dx, 0}, {0, 1, dy, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  MultiplyMatrix4(shear, m, m);
}

NTSTATUS CreateImagePipeline(ImagePipeline** pipeline) {
  *pipeline = nullptr;
  auto* created = static_cast<ImagePipeline*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImagePipeline), kTagPipeline));
  if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(created, 0, sizeof(*created));
  created->redGain = 128;
  created->greenGain = 128;
  created->blueGain = 128;
  created->colourEnable = 1;
  created->colourCorrection = 1;
  created->brightness = 255;
  created->contrast = 10;
  created->saturation = 10;
  InitImagePipeline(created);
  *pipeline = created;
  return STATUS_SUCCESS;
}

void FreeImagePipeline(ImagePipeline* pipeline) {
  if (pipeline == nullptr) return;
  FreeWorkBuffer(pipeline);
  ExFreePoolWithTag(pipeline, kTagPipeline);
}

void InitImagePipeline(ImagePipeline* pipeline) {
  ExInitializeFastMutex(&pipeline->rebuildLock);
  KeInitializeSpinLock(&pipeline->matrixLock);
  Copy(kIdentity, pipeline->brightnessMatrix);
  Copy(kIdentity, pipeline->contrastMatrix);
  Copy(kIdentity, pipeline->saturationMatrix);
  Copy(kIdentity, pipeline->hueMatrix);
  Copy(kIdentity, pipeline->combinedMatrix);
  BuildAndRebuild(pipeline, BuildCorrection, 1);
}

void SetCorrectionMatrix(ImagePipeline* pipeline, int32_t on) {
  BuildAndRebuild(pipeline, BuildCorrection, on);
}
void SetBrightnessMatrix(ImagePipeline* pipeline, int32_t value) {
  BuildAndRebuild(pipeline, BuildBrightness, value);
}
void SetContrastMatrix(ImagePipeline* pipeline, int32_t value) {
  BuildAndRebuild(pipeline, BuildContrast, value);
}
void SetSaturationMatrix(ImagePipeline* pipeline, int32_t value) {
  BuildAndRebuild(pipeline, BuildSaturation, value);
}
void SetHueMatrix(ImagePipeline* pipeline, int32_t degrees) {
  BuildAndRebuild(pipeline, BuildHue, degrees);
}

void RebuildColourMatrix(ImagePipeline* pipeline) {
  ExAcquireFastMutex(&pipeline->rebuildLock);
  RebuildLocked(pipeline);
  ExReleaseFastMutex(&pipeline->rebuildLock);
}

void SetBayerPhase(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->bayerPhase, value);
}
void SetColourEnable(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->colourEnable, value);
}
void SetAutoWhiteBalance(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->autoWhiteBalance, value);
}
void SetRedGain(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->redGain, value);
}
void SetGreenGain(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->greenGain, value);
}
void SetBlueGain(ImagePipeline* pipeline, int32_t value) {
  WriteParameter(&pipeline->blueGain, value);
}

void UpdateCorrection(ImagePipeline* pipeline, int32_t value) {
  UpdateMatrixParameter(pipeline, &pipeline->colourCorrection, BuildCorrection, value);
}
void UpdateBrightness(ImagePipeline* pipeline, int32_t value) {
  UpdateMatrixParameter(pipeline, &pipeline->brightness, BuildBrightness, value);
}
void UpdateContrast(ImagePipeline* pipeline, int32_t value) {
  UpdateMatrixParameter(pipeline, &pipeline->contrast, BuildContrast, value);
}
void UpdateSaturation(ImagePipeline* pipeline, int32_t value) {
  UpdateMatrixParameter(pipeline, &pipeline->saturation, BuildSaturation, value);
}
void UpdateHue(ImagePipeline* pipeline, int32_t degrees) {
  UpdateMatrixParameter(pipeline, &pipeline->hue, BuildHue, degrees);
}

// Each work row holds 5 bytes before the first sample (2 of them the left
// margin), the samples, the 2-byte right margin, and room for the kernels'
// last 16-sample block to read past the frame. Two margin rows lie above and
// below the frame; the row count is rounded up to even.
void SetPipelineGeometry(ImagePipeline* pipeline, int32_t width, int32_t height) {
  pipeline->frameWidth = width;
  pipeline->frameHeight = height;
  pipeline->workPitch = 0;
  pipeline->workBytes = 0;
  if (width < 0 || height < 0) return;
  uint64_t pitch = ((static_cast<uint64_t>(width) + 16) & ~uint64_t{15}) + 11;
  uint64_t bytes = (static_cast<uint64_t>(height) + (height & 1) + 4) * pitch;
  if (bytes > UINT32_MAX) return;
  pipeline->workPitch = static_cast<uint32_t>(pitch);
  pipeline->workBytes = static_cast<uint32_t>(bytes);
}

NTSTATUS AllocateWorkBuffer(ImagePipeline* pipeline) {
  FreeWorkBuffer(pipeline);
  if (pipeline->workBytes != 0)
    pipeline->workBuffer = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, pipeline->workBytes, kTagFrames));
  if (pipeline->workBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // Frames smaller than 8 x 8 leave the margins unfilled; zeroing them here
  // makes such frames convert the same way every time.
  memset(pipeline->workBuffer, 0, pipeline->workBytes);
  pipeline->pixelOrigin = pipeline->workBuffer + 2 * pipeline->workPitch + 5;
  pipeline->pitch = static_cast<int32_t>(pipeline->workPitch);
  pipeline->width = static_cast<uint32_t>(pipeline->frameWidth);
  pipeline->height = static_cast<uint32_t>(pipeline->frameHeight);
  return STATUS_SUCCESS;
}

void FreeWorkBuffer(ImagePipeline* pipeline) {
  if (pipeline->workBuffer != nullptr) ExFreePoolWithTag(pipeline->workBuffer, kTagFrames);
  pipeline->workBuffer = nullptr;
  pipeline->pixelOrigin = nullptr;
}
