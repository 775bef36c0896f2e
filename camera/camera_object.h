// The camera as the streaming side sees it: nine operations in a fixed table,
// so that the capture pin and its thread never touch USB or sensor registers
// themselves.
#pragma once

#include "driver/kernel.h"

// The pin-side object that is told when a raw frame is ready.
class FrameSink {
 public:
  virtual void FrameReady() = 0;

 protected:
  ~FrameSink() = default;
};

// Slot order is part of the contract with the streaming side: 0 NotifyFrameReady,
// 1 ApplySettings, 2 ReadFrame, 3 GetFrameBytes, 4 GetLineOffset, 5 GetRowPitch,
// 6 AbortMarkedPipes, 7 CancelRead, 8 ResetReconfigure. The destructor is not
// virtual so that it takes no slot; the record is released as plain memory.
class CameraObject {
 public:
  virtual void NotifyFrameReady() = 0;
  virtual LONG ApplySettings() = 0;
  // Reads one raw frame into a buffer of bufferBytes bytes; a frame layout
  // longer than the buffer is refused with STATUS_BUFFER_TOO_SMALL.
  virtual NTSTATUS ReadFrame(PUCHAR buffer, ULONG bufferBytes, BOOLEAN* frameGood) = 0;
  virtual void GetFrameBytes(ULONG* frameBytes) = 0;
  virtual void GetLineOffset(ULONG* lineOffset) = 0;
  virtual void GetRowPitch(ULONG* rowPitch) = 0;
  virtual void AbortMarkedPipes() = 0;
  virtual void CancelRead() = 0;
  virtual void ResetReconfigure() = 0;

 protected:
  ~CameraObject() = default;
};
