// Row-band conversion on threads the capture owns: the thread that converts
// takes the first band and wakes one worker per further band, so a frame is
// converted on every processor without creating a thread per frame.
#pragma once

#include "driver/kernel.h"
#include "imaging/frame_conversion.h"

// More processors than this still convert in this many bands: beyond it the
// conversion is limited by memory, not by arithmetic.
constexpr ULONG kMaxBandWorkerBands = 4;

class BandWorkers;

// Starts the workers for a conversion in `bands` bands (bands - 1 threads).
// Null when bands is 1 or a thread or the record cannot be had; the caller
// then converts in one band. Passive level.
BandWorkers* StartBandWorkers(ULONG bands);
// Ends the workers and frees the record. No Run may be in progress. Passive
// level.
void StopBandWorkers(BandWorkers* workers);
// The runner to hand to ConvertFrame and its number of bands.
BandRunner* BandRunnerOf(BandWorkers* workers);
ULONG BandCountOf(BandWorkers* workers);
// The number of bands this machine's processors call for.
ULONG PreferredBandCount();
