// Reading one raw frame from the frame pipe: the whole buffer is covered by
// 64 KiB bulk requests before the camera is told to send, because the bridge
// streams the frame as soon as it gets the go command.
#pragma once

#include "driver/device_context.h"

constexpr ULONG kChunkBytes = 65536;

// The time limit of a frame and of command exchanges, in milliseconds; read
// and written only with interlocked operations.
extern volatile LONG transferTimeoutMs;

inline ULONG ChunkCountFor(ULONG size) { return size / kChunkBytes + (size % kChunkBytes != 0 ? 1 : 0); }

// Reads size bytes into buffer (non-paged pool). STATUS_SUCCESS when every
// chunk request completed successfully in time; STATUS_DEVICE_DATA_ERROR when
// one failed (the frame pipe has then been reset), STATUS_CANCELLED when the
// read was cancelled, STATUS_TIMEOUT when the requests did not complete in
// time, another failure when the transfer could not be set up or was cut short.
NTSTATUS ReadFrameChunked(DeviceContext* ctx, PUCHAR buffer, ULONG size);
// The same for a read that began earlier, when CurrentCancelCount gave
// readStart: a cancel since then ends it.
NTSTATUS ReadFrameChunkedSince(DeviceContext* ctx, PUCHAR buffer, ULONG size, ULONG readStart);
ULONG CurrentCancelCount(UsbDevice* usb);
// Frame halt (go false) or frame go (go true) on the command pipe; a
// failure when the command did not reach the camera (the pipe is then reset).
NTSTATUS SendTransferControl(DeviceContext* ctx, bool go);
// The completion routine of every chunk request; its context is the UsbDevice.
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
// Cancels the read in progress: the chunk requests still in flight, those the
// reading thread is still submitting, and a read that has begun but queued
// nothing yet; waits until the frame's last completion has run. Safe from
// several threads at once.
void CancelChunkRequests(UsbDevice* usb);
// The same for the frame in flight alone, as the reading thread itself
// withdraws its requests after a time-out or a halt: a read that begins later
// is not affected.
void WithdrawChunkRequests(UsbDevice* usb);
