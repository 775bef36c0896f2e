#include "sim/firmware_command_loop.h"

#include "sim/i8051/intel_hex.h"

namespace sim {

std::vector<uint8_t> BuiltCameraFirmware() {
  std::string path = KSCAM_CAMERA_FIRMWARE_HEX;
  std::vector<uint8_t> space(i8051::Core::kSpaceBytes);
  uint32_t end = 0;
  if (path.empty() || !i8051::LoadIntelHex(path, space.data(), &end)) return {};
  space.resize(end);
  return space;
}

FrameAction FirmwareCommandLoop::Execute(const Packet& packet, const ReplyFaults& faults) {
  BridgeEvents before = processor_.Events();
  processor_.Command(packet.data(), kPacketBytes);
  std::vector<std::pair<Packet, uint32_t>> replies;
  i8051::BridgePacket reply;
  uint32_t length = 0;
  while (processor_.TakeReply(reply, length)) replies.push_back({reply, length});
  if (!faults.none) {
    // Of a two-packet answer the faults can hold back the second.
    size_t sent = faults.firstOnly && replies.size() == 2 ? 1 : replies.size();
    for (size_t k = 0; k < sent; ++k) Queue(replies[k].first, faults, replies[k].second);
  }
  const BridgeEvents& after = processor_.Events();
  if (after.goes != before.goes) return FrameAction::Go;
  if (after.halts != before.halts) return FrameAction::Halt;
  return FrameAction::None;
}

std::optional<uint32_t> FirmwareCommandLoop::FrameSize() const { return processor_.FrameSizeRegister(); }

}  // namespace sim
