#include "stream/video_range.h"

#include "stream/ks_guids.h"

static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "the video data range is 296 bytes");

// Constant-initialised: no constructor runs in a kernel driver.
const KS_DATARANGE_VIDEO kVideoDataRangeTemplate = {
    {{sizeof(KS_DATARANGE_VIDEO), 0, 2560u * 1920u * 4u, 0, kFormatTypeVideo, kFormatSubtypeRgb32,
      kFormatSpecifierVideoInfo}},
    TRUE,  // bFixedSizeSamples
    TRUE,  // bTemporalCompression
    0,     // StreamDescriptionFlags
    0,     // MemoryAllocationFlags
    {
        kFormatSpecifierVideoInfo,
        0,                        // VideoStandard: no analog standard
        {2560, 1920},             // InputSize
        {2560, 1920},             // MinCroppingSize
        {2560, 1920},             // MaxCroppingSize
        8, 1,                     // CropGranularityX, Y
        8, 1,                     // CropAlignX, Y
        {2560, 1920},             // MinOutputSize
        {2560, 1920},             // MaxOutputSize
        8, 1,                     // OutputGranularityX, Y
        0, 0, 0, 0,               // stretch and shrink taps
        kFrameInterval100ns,      // MinFrameInterval
        kFrameInterval100ns,      // MaxFrameInterval
        LONG(2560u * 1920u * 960u),  // MinBitsPerSecond (wraps)
        LONG(2560u * 1920u * 960u),  // MaxBitsPerSecond
    },
    {
        {0, 0, 2560, 1920},  // rcSource
        {0, 0, 0, 0},        // rcTarget
        2560u * 1920u * 120u,  // dwBitRate
        0,                     // dwBitErrorRate
        kFrameInterval100ns,   // AvgTimePerFrame
        {sizeof(KS_BITMAPINFOHEADER), 2560, 1920, 1, 32, KS_BI_RGB, 2560u * 1920u * 4u, 0, 0, 0, 0},
    },
};

void UpdateVideoDataRange(KS_DATARANGE_VIDEO* videoRange, ULONG width, ULONG height) {
  KS_DATARANGE_VIDEO& range = *videoRange;
  ULONG pixels = width * height;
  range.DataRange.SampleSize = pixels * 4;
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  SIZE size = {LONG(width), LONG(height)};
  caps.InputSize = size;
  caps.MinCroppingSize = size;
  caps.MaxCroppingSize = size;
  caps.MinOutputSize = size;
  caps.MaxOutputSize = size;
  caps.MinFrameInterval = kFrameInterval100ns;
  caps.MaxFrameInterval = kFrameInterval100ns;
  caps.MinBitsPerSecond = LONG(pixels * 960);
  caps.MaxBitsPerSecond = LONG(pixels * 960);
  KS_VIDEOINFOHEADER& header = range.VideoInfoHeader;
  header.rcSource.right = LONG(width);
  header.rcSource.bottom = LONG(height);
  header.dwBitRate = pixels * 120;
  header.AvgTimePerFrame = kFrameInterval100ns;
  header.bmiHeader.biWidth = LONG(width);
  header.bmiHeader.biHeight = LONG(height);
  header.bmiHeader.biSizeImage = pixels * 4;
}
