// The bridge's register block as its 8051 sees it in external data space:
// the processor's reset register, the command and reply endpoint buffers with
// their byte counts, the frame path's control, the sensor clock, an I2C
// controller that runs whole register transactions, and the identity the USB
// core presents after re-enumeration.
//
// Map (page 0xE6 registers, page 0xE7 buffers):
//   E600  CPU control: bit 0 holds the processor in reset (written by the host;
//         the 8051 reads 0, since it only runs while the bit is clear)
//   E610  command count: bytes of the packet in the command buffer, 0 = empty.
//         The firmware writes 0 to hand the buffer back to the USB core.
//   E611  reply count: writing n queues the first n bytes of the reply buffer
//         as one packet on the reply endpoint.
//   E612  reply status: bit 0 set while the reply queue is full
//   E620  frame control: 1 = go (send one frame of the size below), 2 = halt
//   E621..E624  frame size in bytes, least significant byte first; until the
//         firmware writes one of them after a reset, go sends the sensor's
//         own readout size
//   E628  clock: bit 0 = sensor clock at half speed
//   E630  I2C device address (7 bits)   E631  I2C register number
//   E632  I2C data bits 15..8           E633  I2C data bits 7..0
//   E634  I2C control: write 1 = write transaction, 2 = read transaction;
//         reads bit 0 = done, bit 1 = the device did not acknowledge
//   E640..E645  vendor, product and release identifiers, little-endian
//   E646  USB connect: writing 1 re-enumerates with the identifiers above
//   E650..E657  the setup packet of the control request in progress
//   E658  control endpoint: reads bit 0 = a request waits for the firmware;
//         write 1 = done (a request to the host sends the count below from
//         the buffer), 2 = refuse it (the endpoint stalls)
//   E659  control endpoint count: bytes received, or bytes to send
//   E700..E73F  command buffer     E740..E77F  reply buffer
//   E780..E7BF  control endpoint buffer
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <deque>
#include <optional>

#include "sim/i8051/core.h"

namespace sim::i8051 {

namespace bridge {
constexpr uint16_t kCpuControl = 0xE600;
constexpr uint16_t kCommandCount = 0xE610;
constexpr uint16_t kReplyCount = 0xE611;
constexpr uint16_t kReplyStatus = 0xE612;
constexpr uint16_t kFrameControl = 0xE620;
constexpr uint16_t kFrameSize = 0xE621;
constexpr uint16_t kClock = 0xE628;
constexpr uint16_t kI2cDevice = 0xE630;
constexpr uint16_t kI2cRegister = 0xE631;
constexpr uint16_t kI2cDataHigh = 0xE632;
constexpr uint16_t kI2cDataLow = 0xE633;
constexpr uint16_t kI2cControl = 0xE634;
constexpr uint16_t kIdentity = 0xE640;
constexpr uint16_t kUsbConnect = 0xE646;
constexpr uint16_t kSetup = 0xE650;
constexpr uint16_t kControlEndpoint = 0xE658;
constexpr uint16_t kControlCount = 0xE659;
constexpr uint16_t kControlBuffer = 0xE780;
constexpr uint8_t kControlPending = 0x01;
constexpr uint8_t kControlDone = 1;
constexpr uint8_t kControlRefuse = 2;
constexpr uint16_t kCommandBuffer = 0xE700;
constexpr uint16_t kReplyBuffer = 0xE740;
constexpr uint32_t kPacketBytes = 64;
constexpr size_t kReplyQueueDepth = 4;

constexpr uint8_t kFrameGo = 1;
constexpr uint8_t kFrameHalt = 2;
constexpr uint8_t kI2cWrite = 1;
constexpr uint8_t kI2cRead = 2;
constexpr uint8_t kI2cDone = 0x01;
constexpr uint8_t kI2cNoAcknowledge = 0x02;
}  // namespace bridge

// The hardware behind the register block: the sensor on the I2C bus, the
// frame path and the USB core.
class BridgeHardware {
 public:
  virtual ~BridgeHardware() = default;
  // False when no device answers at `device`.
  virtual bool I2cWrite(uint8_t device, uint8_t number, uint16_t value) = 0;
  virtual bool I2cRead(uint8_t device, uint8_t number, uint16_t& value) = 0;
  // `bytes` is empty when the firmware has set no frame size.
  virtual void FrameGo(std::optional<uint32_t> bytes) = 0;
  virtual void FrameHalt() = 0;
  virtual void SetHalfClock(bool on) = 0;
  virtual void ReEnumerate(uint16_t vendorId, uint16_t productId, uint16_t release) = 0;
};

using BridgePacket = std::array<uint8_t, bridge::kPacketBytes>;

// Not synchronised: the owner runs the core and the USB core's side under one lock.
class BridgeRegisters final : public Bus {
 public:
  explicit BridgeRegisters(BridgeHardware& hardware) : hardware_(hardware) {}

  // Lets `core` reach the block (pages 0xE6 and 0xE7).
  void Connect(Core& core);

  // --- The USB core's side ---
  // A packet arrived on the command endpoint; false while the buffer is still
  // full (the endpoint then naks until the firmware hands it back). Packets
  // longer than the buffer are refused.
  bool OfferCommand(const uint8_t* data, uint32_t length);
  bool CommandBufferFull() const { return commandCount_ != 0; }
  // A control request for the firmware: false when one is already waiting
  // or its data stage is longer than the buffer. Data to the device is in
  // the buffer when the firmware looks.
  bool OfferSetup(const uint8_t setup[8], const uint8_t* data, uint32_t length);
  bool SetupPending() const { return controlState_ == ControlState::Pending; }
  // How the firmware finished the request: false when it refused it or has
  // not finished it (which ends it, as the host gives up). For a request to
  // the host, up to `length` bytes of its answer go to `data`.
  bool FinishSetup(uint8_t* data, uint32_t length, uint32_t& moved);
  // The oldest reply packet and its length, or false when none is queued.
  bool TakeReply(BridgePacket& packet, uint32_t& length);
  size_t PendingReplies() const { return replies_.size(); }
  void DropReplies() { replies_.clear(); }
  // How often the firmware found the command buffer empty: the owner runs
  // the core until this moves, which is when the firmware has gone idle.
  uint64_t EmptyPolls() const { return emptyPolls_; }
  // The processor's reset: the registers return to their power-on state.
  void Reset();
  // The frame size registers as the firmware last wrote them, if it did.
  std::optional<uint32_t> FrameSize() const;

  // --- Bus ---
  uint8_t ReadExternal(uint16_t address) override;
  void WriteExternal(uint16_t address, uint8_t value) override;

 private:
  struct Reply {
    BridgePacket bytes;
    uint32_t length;
  };
  void RunI2c(uint8_t control);

  BridgeHardware& hardware_;
  std::array<uint8_t, 0x100> registers_{};  // page 0xE6 as last written
  BridgePacket commandBuffer_{};
  BridgePacket replyBuffer_{};
  enum class ControlState { Idle, Pending, Done, Refused };

  uint8_t commandCount_ = 0;
  bool frameSizeSet_ = false;
  ControlState controlState_ = ControlState::Idle;
  std::array<uint8_t, bridge::kPacketBytes> controlBuffer_{};
  uint8_t i2cStatus_ = 0;
  uint64_t emptyPolls_ = 0;
  std::deque<Reply> replies_;
};

}  // namespace sim::i8051
