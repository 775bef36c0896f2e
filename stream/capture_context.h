// The capture machinery of one device start: the raw frame buffers that the
// capture thread fills and the pin's processing converts.
#pragma once

#include "driver/kernel.h"

class DeviceContext;
class BandWorkers;
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

// Written by the pin's state changes, which the class driver serialises;
// the capture thread and the processing pass read the buffers, the pipeline
// and the phase only while the thread runs, which the state changes start
// and end.
struct CaptureContext {
  ImagePipeline* pipeline;
  PUCHAR outputImage;
  CapturePhase phase;
  KEVENT conversionDone;
  PVOID thread;  // referenced thread object of the capture thread, or null
  volatile LONG converting;
  RawBufferState bufferState[2];  // guarded by bufferLock
  PUCHAR rawBuffer[2];
  volatile LONG run;  // the capture thread loops while it is set
  volatile LONG framesCaptured;
  DeviceContext* camera;
  KSPIN_LOCK bufferLock;  // guards bufferState[0] and bufferState[1]
  ULONG rawBytes;         // size of each raw buffer
  // Row-band workers of the conversion (null: one band on the processing
  // thread), started with the buffers and ended with them.
  BandWorkers* bandWorkers;
  // The most bands a conversion uses; 0 lets the processor count decide.
  ULONG bandLimit;
  // Notification event, set while a stop is asking the capture thread to end.
  KEVENT stopRequested;
  // The fate of every whole frame the camera sent, since the record was
  // made: converted into a client's frame, or dropped (spoiled by a clock
  // change, overwritten before it was converted, read as the capture
  // stopped, or converted while the client had no frame queued). Together
  // with a raw buffer still Ready they account for every frame. Interlocked.
  volatile LONG framesDelivered;
  volatile LONG framesDropped;
};

// Capture operations of the pin's state changes (passive level, serialised
// by the class driver).
NTSTATUS StartCapture(DeviceContext* device);
void StartCaptureThread(CaptureContext* capture);
void StopCaptureThread(CaptureContext* capture);
void ReleaseCaptureBuffers(CaptureContext* capture);
// The processing pass's part: converts the newest ready raw frame, if any,
// into outputImage; true when it converted one.
bool ConvertReadyFrame(CaptureContext* capture);
