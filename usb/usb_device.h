// The transport part of the device record: where requests go, what the
// configuration left us, and the state of the one raw frame in flight.
#pragma once

#include "driver/kernel.h"

struct UsbDevice;

// One 64 KiB piece of a raw frame in flight: its request, its partial memory
// descriptor and its URB. The completion routine frees the three and clears
// the pointers. A zeroed record ends the array.
struct ChunkRecord {
  UsbDevice* usb;  // set while the request is in flight; null once it completed
  PURB urb;
  PIRP irp;
  PMDL mdl;
};
static_assert(sizeof(ChunkRecord) == 32, "four pointers per chunk");

struct UsbDevice {
  PDEVICE_OBJECT physicalDeviceObject;
  PDEVICE_OBJECT lowerDeviceObject;  // target of every request
  PDEVICE_OBJECT functionalDeviceObject;
  PUCHAR configDescriptor;                    // whole configuration descriptor, owned
  PUSBD_INTERFACE_INFORMATION interfaceInfo;  // copy of the configured interface, owned
  PUCHAR pipeResetMarks;                      // one byte per pipe, owned
  BOOLEAN firmwareRunning;

  // The raw frame in flight. chunkLock guards chunksOutstanding, the records'
  // pointers, cancelWalkers, the cancel counts, the three frame flags and the
  // release of chunkRecords and frameMdl.
  KEVENT frameDoneEvent;  // signalled when every chunk request has completed
  ChunkRecord* chunkRecords;
  ULONG chunkCount;
  ULONG chunksOutstanding;
  KSPIN_LOCK chunkLock;
  PMDL frameMdl;
  // Threads walking chunkRecords to cancel requests. While one walks, the
  // completions leave the freeing of requests and records to the last walker,
  // so a walker never cancels a request that has been freed.
  ULONG cancelWalkers;
  // Every cancel counts, whether or not a frame is in flight; a read remembers
  // the count at which it began, so that a cancel that comes before its
  // requests exist still ends it, and a cancel before it began does not.
  ULONG cancelCount;
  BOOLEAN frameCancelled;  // a cancel was asked for the frame in flight
  BOOLEAN chunkFailed;     // a chunk of the frame did not complete successfully
  BOOLEAN frameHalted;     // a chunk failed with an error that halts the endpoint
  // Set by the capture thread when the frame pipe could not be brought back
  // after a halt; the next frame read tries again first. Capture thread only.
  BOOLEAN framePipeNeedsReset;
  // 1 once any request found the camera gone from the bus (pulled out, or
  // its port lost it). A device that left never comes back on this device
  // object: a camera plugged in again is a new device. Interlocked; set from
  // completions at dispatch level and from request threads.
  volatile LONG gone;
};

// Pipes of the camera's interface, by position.
enum PipeIndex : ULONG {
  kCommandPipe = 0,
  kReplyPipe = 1,
  kFramePipe = 2,
};

// The identity the camera presents once its own firmware runs on the bridge.
constexpr USHORT kCameraFirmwareVendorId = 0xF5C0;
constexpr USHORT kCameraFirmwareProductId = 0x5C01;
