// The bridge's 8051 processor: an instruction-level interpreter of the whole
// MCS-51 instruction set, with the memory hooks the bridge model needs.
#pragma once

#include <stdint.h>

#include <array>

namespace sim::i8051 {

// Special function registers the core itself uses.
enum Sfr : uint8_t {
  kP0 = 0x80,
  kSp = 0x81,
  kDpl = 0x82,
  kDph = 0x83,
  kP1 = 0x90,
  kP2 = 0xA0,
  kP3 = 0xB0,
  kPsw = 0xD0,
  kAcc = 0xE0,
  kB = 0xF0,
};

// Program status word bits.
enum PswBit : uint8_t {
  kParity = 0x01,
  kUser1 = 0x02,
  kOverflow = 0x04,
  kBank0 = 0x08,
  kBank1 = 0x10,
  kUser0 = 0x20,
  kAuxCarry = 0x40,
  kCarry = 0x80,
};

// What the core reaches outside itself: the external data space for the
// pages the owner claimed (the bridge's registers), and the special function
// registers it claimed. Everything else is plain memory inside the core's
// reach and never calls out, which keeps the common path fast.
class Bus {
 public:
  virtual ~Bus() = default;
  virtual uint8_t ReadExternal(uint16_t address) = 0;
  virtual void WriteExternal(uint16_t address, uint8_t value) = 0;
  // `latched` is the value last written; a claimed register may answer otherwise.
  virtual uint8_t ReadSfr(uint8_t address, uint8_t latched) { return latched; }
  virtual void WriteSfr(uint8_t address, uint8_t value) {}
};

class Core {
 public:
  static constexpr uint32_t kSpaceBytes = 0x10000;

  enum class Stop {
    None,           // the instruction executed
    IllegalOpcode,  // 0xA5, the one undefined opcode: the core stops on it and stays
  };

  // `code` and `external` are 64 KiB spaces the owner keeps alive; they may be
  // the same array, as on a bridge whose RAM holds both program and data.
  Core(const uint8_t* code, uint8_t* external, Bus* bus);

  // The processor's reset: PC 0, SP 7, ports 0xFF, the other registers 0.
  // Internal RAM keeps its content, as it does across a reset of the chip.
  void Reset();

  // Executes one instruction (nothing once stopped).
  Stop Step();
  // Executes up to `limit` instructions; returns how many ran.
  uint64_t Run(uint64_t limit);
  // Runs until PC reaches `address`, the core stops, or `limit` instructions ran.
  uint64_t RunUntil(uint16_t address, uint64_t limit);

  Stop Stopped() const { return stop_; }
  uint64_t Executed() const { return executed_; }

  // Pages (256 bytes each) of the external data space that go to the bus.
  void ClaimExternalPage(uint8_t page) { claimedPages_[page] = true; }
  void ClaimSfr(uint8_t address) { claimedSfrs_[address & 0x7F] = true; }
  // The register that supplies the upper address byte of MOVX @Ri: P2 on the
  // classic part; bridges often give it a register of its own.
  void SetMovxPageSfr(uint8_t address) { movxPageSfr_ = address; }

  uint16_t Pc() const { return pc_; }
  void SetPc(uint16_t pc) { pc_ = pc; }
  uint8_t Internal(uint8_t address) const { return iram_[address]; }
  void SetInternal(uint8_t address, uint8_t value) { iram_[address] = value; }
  uint8_t SfrValue(uint8_t address) const { return sfr_[address & 0x7F]; }
  void SetSfrValue(uint8_t address, uint8_t value);
  uint8_t Acc() const { return SfrValue(kAcc); }
  uint8_t Psw() const { return SfrValue(kPsw); }
  uint16_t Dptr() const { return static_cast<uint16_t>(SfrValue(kDph) << 8 | SfrValue(kDpl)); }
  uint8_t Register(int n) const { return iram_[(Psw() & 0x18) + n]; }

 private:
  uint8_t Fetch() { return code_[pc_++]; }
  uint16_t Fetch16();
  uint8_t& A() { return sfr_[kAcc & 0x7F]; }
  uint8_t& PswRef() { return sfr_[kPsw & 0x7F]; }
  uint8_t& R(int n) { return iram_[(PswRef() & 0x18) + n]; }
  uint8_t& AtR(int n) { return iram_[R(n)]; }
  bool CarrySet() { return (PswRef() & kCarry) != 0; }
  void SetCarry(bool on);
  void SetFlag(uint8_t bit, bool on);
  void UpdateParity();

  uint8_t ReadDirect(uint8_t address);
  void WriteDirect(uint8_t address, uint8_t value);
  bool ReadBit(uint8_t bit);
  void WriteBit(uint8_t bit, bool on);
  uint8_t ReadX(uint16_t address);
  void WriteX(uint16_t address, uint8_t value);
  uint16_t MovxRiAddress(int n) { return static_cast<uint16_t>(ReadDirect(movxPageSfr_) << 8 | R(n)); }
  void Push(uint8_t value);
  uint8_t Pop();
  void Jump(int8_t offset) { pc_ = static_cast<uint16_t>(pc_ + offset); }
  void Call(uint16_t target);

  void Add(uint8_t operand, bool withCarry);
  void Subb(uint8_t operand);
  void DecimalAdjust();
  void Multiply();
  void Divide();
  void CompareJump(uint8_t left, uint8_t right);
  void Execute(uint8_t opcode);

  const uint8_t* code_;
  uint8_t* external_;
  Bus* bus_;
  uint16_t pc_ = 0;
  uint8_t movxPageSfr_ = kP2;
  Stop stop_ = Stop::None;
  uint64_t executed_ = 0;
  std::array<uint8_t, 256> iram_{};
  std::array<uint8_t, 128> sfr_{};  // direct addresses 0x80..0xFF
  std::array<bool, 256> claimedPages_{};
  std::array<bool, 128> claimedSfrs_{};
};

}  // namespace sim::i8051
