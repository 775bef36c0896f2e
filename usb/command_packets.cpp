// Command and reply packets. The camera answers register reads with two reply
// packets and no tag, so every exchange that expects replies holds the
// exchange mutex from the command to its last reply.
#include "usb/command_packets.h"

#include "usb/frame_transfer.h"
#include "usb/usb_requests.h"

namespace {

constexpr ULONG kBulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
}  // namespace

void AcquireExchangeMutex(DeviceContext* ctx) {
  KeWaitForSingleObject(&ctx->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseExchangeMutex(DeviceContext* ctx) { KeReleaseMutex(&ctx->exchangeMutex, FALSE); }

void PreparePacket(PUCHAR packet, UCHAR code) {
  RtlZeroMemory(packet, kPacketBytes);
  packet[0] = code;
}

NTSTATUS PipeExchange(DeviceContext* ctx, ULONG pipeIndex, PUCHAR packet, ULONG* transferred) {
  *transferred = 0;
  UsbDevice* usb = &ctx->usb;
  if (usb->interfaceInfo == nullptr) return STATUS_UNSUCCESSFUL;
  const USBD_PIPE_INFORMATION* pipe = PipeAt(usb, pipeIndex);
  if (pipe == nullptr || !PipeIsBulkOrInterrupt(pipe)) return STATUS_INVALID_PARAMETER;
  if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  if (pipe->MaximumTransferSize < kPacketBytes) return STATUS_INVALID_PARAMETER;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kBulkUrbSize, kTagUsb));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  BuildBulkTransfer(urb, pipe, packet, nullptr, kPacketBytes);
  NTSTATUS status = SubmitUrbWithTimeLimit(usb, urb);
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

bool SendCommand(DeviceContext* ctx, PUCHAR packet) {
  if (packet == nullptr) return false;
  ULONG transferred = 0;
  NTSTATUS status = PipeExchange(ctx, kCommandPipe, packet, &transferred);
  return NT_SUCCESS(status) && transferred == kPacketBytes;
}

bool ReceiveReply(DeviceContext* ctx, PUCHAR packet) {
  if (packet == nullptr) return false;
  ULONG transferred = 0;
  NTSTATUS status = PipeExchange(ctx, kReplyPipe, packet, &transferred);
  return NT_SUCCESS(status) && transferred == kPacketBytes;
}

bool WriteSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG value) {
  AcquireExchangeMutex(ctx);
  PreparePacket(ctx->commandPacket, kCommandRegisterWrite);
  ctx->commandPacket[1] = reg;
  ctx->commandPacket[2] = UCHAR(value >> 8);
  ctx->commandPacket[3] = UCHAR(value);
  bool written = SendCommand(ctx, ctx->commandPacket);
  ReleaseExchangeMutex(ctx);
  return written;
}

bool ReadSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG* value) {
  AcquireExchangeMutex(ctx);
  PreparePacket(ctx->commandPacket, kCommandRegisterRead);
  ctx->commandPacket[1] = reg;
  bool read = SendCommand(ctx, ctx->commandPacket) && ReceiveReply(ctx, ctx->commandPacket) &&
              ReceiveReply(ctx, ctx->commandPacket);
  if (read) *value = ULONG(ctx->commandPacket[0]) << 8 | ctx->commandPacket[1];
  ReleaseExchangeMutex(ctx);
  return read;
}
