// 64-byte command packets on the command pipe and their replies on the reply
// pipe, and sensor-register access built on them.
#pragma once

#include "driver/device_context.h"

// Command codes understood by the camera firmware.
enum CommandCode : UCHAR {
  kCommandFrameHalt = 0x02,
  kCommandFrameGo = 0x03,
  kCommandRegisterWrite = 0x04,
  kCommandStartUp = 0x06,
  kCommandFrameSize = 0x09,
  kCommandFrameSetup = 0x0A,
  kCommandRegisterRead = 0x0C,
  kCommandExtendedSetting = 0x20,
  kCommandHalfClock = 0x23,
  kCommandHalfClockQuery = 0x24,
};

// Moves one packet on a pipe in the pipe's own direction, bounded by a fixed
// exchange limit of its own (not the frame time limit): a camera that never
// answers makes the exchange fail with STATUS_IO_TIMEOUT instead of blocking
// its caller. Nothing is retried and no pipe is reset here; a register read
// recovers its reply pipe itself.
NTSTATUS PipeExchange(DeviceContext* ctx, ULONG pipeIndex, PUCHAR packet, ULONG* transferred);
bool SendCommand(DeviceContext* ctx, PUCHAR packet);
bool ReceiveReply(DeviceContext* ctx, PUCHAR packet);

// Register exchanges take the exchange mutex themselves; callers that must
// keep a read and the following write together hold it around both.
bool WriteSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG value);
bool ReadSensorRegister(DeviceContext* ctx, UCHAR reg, ULONG* value);
// The same with the exchange's status, for callers that tell a camera that
// stopped answering (STATUS_IO_TIMEOUT) from one that refused a register.
NTSTATUS ExchangeRegisterWrite(DeviceContext* ctx, UCHAR reg, ULONG value);
NTSTATUS ExchangeRegisterRead(DeviceContext* ctx, UCHAR reg, ULONG* value);
// Clears a packet and sets its command code.
void PreparePacket(PUCHAR packet, UCHAR code);
// Resets the command pipe after a command failed on the wire: the USB stack
// halts the endpoint after a failed transfer (and a camera that stalled it
// keeps it halted) until the pipe is reset, and every later command, the
// frame path's halt and go among them, would fail until then. A reset is
// refused while another thread's command is still queued on the pipe; that
// command then fails too and resets the pipe in its turn.
void RecoverCommandPipe(DeviceContext* ctx);

void AcquireExchangeMutex(DeviceContext* ctx);
void ReleaseExchangeMutex(DeviceContext* ctx);
