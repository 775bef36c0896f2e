// The capture machinery of one device start: the raw frame buffers that the
// capture thread fills and the pin's processing converts.
#pragma once

#include "driver/kernel.h"

class DeviceContext;
struct ImagePipeline;

enum CapturePhase : LONG {
  kCaptureIdle = 0,     // no capture buffers exist
  kCapturePaused = 1,   // buffers exist, the capture thread is stopped
  kCaptureRunning = 2,  // buffers exist, the capture thread runs
};

enum RawBufferState : LONG {
  kBufferFree = 0,
  kBufferFilling = 1,
  kBufferReady = 2,
  kBufferConverting = 3,
};

struct CaptureContext {
  ImagePipeline* pipeline;
  PUCHAR outputImage;
  CapturePhase phase;
  KEVENT conversionDone;
  PVOID thread;
  volatile LONG converting;
  RawBufferState bufferState[2];  // guarded by bufferLock
  PUCHAR rawBuffer[2];
  BOOLEAN run;
  volatile LONG framesCaptured;
  DeviceContext* camera;
  KSPIN_LOCK bufferLock;  // guards bufferState[0] and bufferState[1]
};
