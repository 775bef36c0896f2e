// Synchronous USB requests to the bus driver below us: descriptor reads,
// configuration, pipe and port requests. All at passive level; each call uses
// its own event, status block and URB, so they may run concurrently.
#pragma once

#include "usb/usb_device.h"

NTSTATUS SubmitUrbSync(UsbDevice* usb, PURB urb);
// Submits a URB and waits at most `milliseconds`. On time-out the request is
// cancelled and its completion awaited before it is freed, so the bus never
// writes into a buffer after we returned; the result is then STATUS_IO_TIMEOUT.
NTSTATUS SubmitUrbWithin(UsbDevice* usb, PURB urb, ULONG milliseconds);
// The same, bounded by the frame time limit.
NTSTATUS SubmitUrbWithTimeLimit(UsbDevice* usb, PURB urb);
NTSTATUS GetDescriptor(UsbDevice* usb, PURB urb, UCHAR type, PVOID buffer, ULONG length);
NTSTATUS ConfigureDevice(UsbDevice* usb);
void DeconfigureDevice(UsbDevice* usb);
NTSTATUS ResetPipe(UsbDevice* usb, ULONG pipeIndex);
NTSTATUS AbortPipe(UsbDevice* usb, ULONG pipeIndex);
NTSTATUS ResetPortIfDisabled(UsbDevice* usb);
// Releases what ConfigureDevice left (descriptor, interface, pipe marks).
void ReleaseConfiguration(UsbDevice* usb);

// Notes a request's outcome: the bus driver answers every request to a
// device that has left the bus with "not connected" (or "no such device",
// with the URB's "device gone"). Any level up to dispatch.
void NoteRequestOutcome(UsbDevice* usb, NTSTATUS status, USBD_STATUS urbStatus);
// Whether a request has found the camera gone.
bool DeviceGone(UsbDevice* usb);

// The configured pipe at an index, or null when there is none.
const USBD_PIPE_INFORMATION* PipeAt(const UsbDevice* usb, ULONG pipeIndex);
bool PipeIsIn(const USBD_PIPE_INFORMATION* pipe);
bool PipeIsBulkOrInterrupt(const USBD_PIPE_INFORMATION* pipe);
// A zeroed bulk transfer URB on a pipe, in the pipe's direction, short
// transfers allowed.
void BuildBulkTransfer(PURB urb, const USBD_PIPE_INFORMATION* pipe, PVOID buffer, PMDL mdl, ULONG length);
