// The capture pin's data-intersection handler. The camera alone decides the
// size, so the client must present the pin's capabilities exactly; what the
// client may choose (its bitmap header: a longer row, a bit depth to be
// refused later) passes through into the format.
#include "stream/intersect.h"

#include <stddef.h>

#include "driver/platform_layout.h"
#include "stream/ks_guids.h"

namespace {

// A video format as it is handed back: the data format, then a video info
// header whose bitmap header may be longer than the usual 40 bytes.
constexpr ULONG kHeaderBeforeBitmap = offsetof(KS_VIDEOINFOHEADER, bmiHeader);                // 48
constexpr ULONG kRangeBeforeHeader = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);            // 208
constexpr ULONG kRangeBeforeBitmap = kRangeBeforeHeader + kHeaderBeforeBitmap;                 // 256
constexpr ULONG kFormatBeforeBitmap = sizeof(KSDATAFORMAT) + kHeaderBeforeBitmap;              // 112
static_assert(kRangeBeforeBitmap == 256 && kFormatBeforeBitmap == 112, "video range layout");

// A plain byte comparison: the kernel exports no memcmp to rely on.
bool SameBytes(const void* a, const void* b, SIZE_T bytes) {
  auto* left = static_cast<const UCHAR*>(a);
  auto* right = static_cast<const UCHAR*>(b);
  UCHAR difference = 0;
  for (SIZE_T i = 0; i < bytes; ++i) difference |= UCHAR(left[i] ^ right[i]);
  return difference == 0;
}

bool SameGuid(const GUID& a, const GUID& b) { return SameBytes(&a, &b, sizeof(GUID)); }

bool MatchesOrWildcard(const GUID& caller, const GUID& own) {
  return SameGuid(caller, own) || SameGuid(caller, kNullGuid);
}

// The client's range must be a whole video range of our kind, and must state
// the capabilities exactly as the pin reports them.
bool SameKindAndCapabilities(const KSDATARANGE* callerRange, const KS_DATARANGE_VIDEO* own) {
  if (!SameGuid(callerRange->Specifier, kFormatSpecifierVideoInfo)) return false;
  if (!MatchesOrWildcard(callerRange->MajorFormat, own->DataRange.MajorFormat) ||
      !MatchesOrWildcard(callerRange->SubFormat, own->DataRange.SubFormat))
    return false;
  if (callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return false;
  auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  return caller->bFixedSizeSamples == own->bFixedSizeSamples &&
         caller->bTemporalCompression == own->bTemporalCompression &&
         caller->StreamDescriptionFlags == own->StreamDescriptionFlags &&
         caller->MemoryAllocationFlags == own->MemoryAllocationFlags &&
         SameBytes(&caller->ConfigCaps, &own->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS));
}

// Bytes of the caller's bitmap header, or 0 when its range cannot hold it:
// the header must be at least a whole KS_BITMAPINFOHEADER (the format's image
// size is written into it) and must end inside the range.
ULONG CallerBitmapBytes(const KS_DATARANGE_VIDEO* caller) {
  ULONG bitmapBytes = caller->VideoInfoHeader.bmiHeader.biSize;
  if (bitmapBytes < sizeof(KS_BITMAPINFOHEADER)) return 0;
  if (bitmapBytes > caller->DataRange.FormatSize - kRangeBeforeBitmap) return 0;
  return bitmapBytes;
}

// Bytes of the image a bitmap header describes: rows padded to 4 bytes, as
// many as |biHeight| (a negative height only says top-down). 32-bit unsigned
// arithmetic throughout: a hostile header wraps, it never traps.
ULONG ImageBytes(const KS_BITMAPINFOHEADER& bitmap) {
  ULONG rowBits = ULONG(bitmap.biWidth) * ULONG(bitmap.biBitCount);
  ULONG rowBytes = ((rowBits + 31) >> 3) & ~ULONG(3);
  ULONG rows = bitmap.biHeight < 0 ? 0u - ULONG(bitmap.biHeight) : ULONG(bitmap.biHeight);
  return rowBytes * rows;
}

}  // namespace

NTSTATUS NTAPI IntersectVideoRange(PVOID filter, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                             PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data, PULONG dataSize) {
  UNREFERENCED_PARAMETER(filter);
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(pin);
  auto* own = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
  if (!SameKindAndCapabilities(callerRange, own)) return STATUS_NO_MATCH;
  auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  ULONG bitmapBytes = CallerBitmapBytes(caller);
  if (bitmapBytes == 0) return STATUS_INVALID_PARAMETER;

  ULONG formatBytes = kFormatBeforeBitmap + bitmapBytes;
  if (bufferSize == 0) {
    *dataSize = formatBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < formatBytes || data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  *dataSize = formatBytes;

  auto* format = static_cast<PUCHAR>(data);
  KSDATAFORMAT head = own->DataRange;
  head.FormatSize = formatBytes;
  auto* header = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + sizeof(KSDATAFORMAT));
  memcpy(header, &caller->VideoInfoHeader, kHeaderBeforeBitmap + bitmapBytes);
  head.SampleSize = ImageBytes(header->bmiHeader);
  header->bmiHeader.biSizeImage = head.SampleSize;
  memcpy(format, &head, sizeof(head));
  return STATUS_SUCCESS;
}
