// Command and reply packets. The camera answers a register read with two
// reply packets: an echo of the command, then the value. Every exchange that
// expects replies holds the exchange mutex from the command to its last reply.
#include "usb/command_packets.h"

#include "usb/usb_requests.h"

namespace {

constexpr ULONG kBulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

// The bound of one command or reply transfer, apart from the frame time limit
// (which a client may raise without limit). The bridge firmware turns a
// command around within a few microframes, and a sensor register access on
// its two-wire bus takes well under a millisecond; 500 ms leaves two orders
// of magnitude for a loaded bus and host, and still lets start-up give up on
// a dead camera within a second.
constexpr ULONG kExchangeLimitMs = 500;

// How long a drain waits for a stray reply. The bridge hands out a packet it
// holds at the next IN token, so whatever it still keeps for an earlier
// command arrives within a few microframes; 20 ms also covers a command the
// firmware was still executing.
constexpr ULONG kDrainLimitMs = 20;
// A read leaves at most two packets behind; a few more are allowed for
// replies that arrive after the drain.
constexpr ULONG kMaxStrayReplies = 4;

// PipeExchange with the wait bounded by limitMs.
NTSTATUS ExchangeWithin(DeviceContext* ctx, ULONG pipeIndex, PUCHAR packet, ULONG* transferred,
                        ULONG limitMs) {
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
  NTSTATUS status = SubmitUrbWithin(usb, urb, limitMs);
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

// One whole packet; a short transfer fails. A command that failed on the wire
// leaves the command endpoint halted, so the pipe is reset at once.
NTSTATUS MovePacket(DeviceContext* ctx, ULONG pipeIndex, PUCHAR packet) {
  if (packet == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG transferred = 0;
  NTSTATUS status = PipeExchange(ctx, pipeIndex, packet, &transferred);
  if (NT_SUCCESS(status) && transferred != kPacketBytes) status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status) && pipeIndex == kCommandPipe) RecoverCommandPipe(ctx);
  return status;
}

// After a reply went wrong, the reply endpoint may be halted (the USB stack
// halts an endpoint after a failed transfer) and the camera may still hold
// packets of the failed exchange, or send them late. Clear the halt and throw
// away what is waiting, so the next command's replies come first. The drain
// ends with a transfer that was cancelled, so the pipe is reset once more.
// Call with the exchange mutex held.
void RecoverReplyPipe(DeviceContext* ctx) {
  ResetPipe(&ctx->usb, kReplyPipe);
  UCHAR stray[kPacketBytes];
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < kMaxStrayReplies && NT_SUCCESS(status); ++i) {
    ULONG transferred = 0;
    status = ExchangeWithin(ctx, kReplyPipe, stray, &transferred, kDrainLimitMs);
  }
  ResetPipe(&ctx->usb, kReplyPipe);
}

// Receives the answer to `command`. Packets before its echo belong to an
// earlier exchange that failed or was given up, and are passed over. A left
// over answer equal to the echo byte for byte would be taken for it; then
// this one read is wrong, and the next read pairs again on its own echo.
// Call with the exchange mutex held.
NTSTATUS ReceiveAnswer(DeviceContext* ctx, const UCHAR* command, PUCHAR answer) {
  NTSTATUS status = STATUS_DEVICE_DATA_ERROR;  // no echo among the packets allowed
  for (ULONG i = 0; i <= kMaxStrayReplies; ++i) {
    ULONG transferred = 0;
    NTSTATUS received = PipeExchange(ctx, kReplyPipe, answer, &transferred);
    bool echo = transferred == kPacketBytes && RtlEqualMemory(answer, command, kPacketBytes);
    if (!NT_SUCCESS(received) || echo) {
      status = NT_SUCCESS(received) ? MovePacket(ctx, kReplyPipe, answer) : received;
      break;
    }
  }
  if (!NT_SUCCESS(status)) RecoverReplyPipe(ctx);
  return status;
}

}  // namespace

void RecoverCommandPipe(DeviceContext* ctx) {
  if (ctx->usb.interfaceInfo != nullptr) ResetPipe(&ctx->usb, kCommandPipe);
}

void AcquireExchangeMutex(DeviceContext* ctx) {
  KeWaitForSingleObject(&ctx->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseExchangeMutex(DeviceContext* ctx) { KeReleaseMutex(&ctx->exchangeMutex, FALSE); }

void PreparePacket(PUCHAR packet, UCHAR code) {
  RtlZeroMemory(packet, kPacketBytes);
  packet[0] = code;
}

NTSTATUS PipeExchange(DeviceContext* ctx, ULONG pipeIndex, PUCHAR packet, ULONG* transferred) {
  return ExchangeWithin(ctx, pipeIndex, packet, transferred, kExchangeLimitMs);
}

bool SendCommand(DeviceContext* ctx, PUCHAR packet) { return NT_SUCCESS(MovePacket(ctx, kCommandPipe, packet)); }

bool ReceiveReply(DeviceContext* ctx, PUCHAR packet) { return NT_SUCCESS(MovePacket(ctx, kReplyPipe, packet)); }

NTSTATUS ExchangeRegisterWrite(DeviceContext* ctx, UCHAR reg, ULONG value) {
  AcquireExchangeMutex(ctx);
  PreparePacket(ctx->commandPacket, kCommandRegisterWrite);
  ctx->commandPacket[1] = reg;
  ctx->commandPacket[2] = UCHAR(value >> 8);
  ctx->commandPacket[3] = UCHAR(value);
  NTSTATUS status = MovePacket(ctx, kCommandPipe, ctx->commandPacket);
  ReleaseExchangeMutex(ctx);
  return status;
}

NTSTATUS ExchangeRegisterRead(DeviceContext* ctx, UCHAR reg, ULONG* value) {
  AcquireExchangeMutex(ctx);
  PreparePacket(ctx->commandPacket, kCommandRegisterRead);
  ctx->commandPacket[1] = reg;
  UCHAR command[kPacketBytes];
  RtlCopyMemory(command, ctx->commandPacket, kPacketBytes);
  NTSTATUS status = MovePacket(ctx, kCommandPipe, ctx->commandPacket);
  if (NT_SUCCESS(status)) status = ReceiveAnswer(ctx, command, ctx->commandPacket);
  if (NT_SUCCESS(status)) *value = ULONG(ctx->commandPacket[0]) << 8 | ctx->commandPacket[1];
  ReleaseExchangeMutex(ctx);
  return status;
}

bool WriteSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG value) {
  return NT_SUCCESS(ExchangeRegisterWrite(ctx, reg, value));
}

bool ReadSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG* value) {
  return NT_SUCCESS(ExchangeRegisterRead(ctx, reg, value));
}
