#include "sim/i8051/core.h"

namespace sim::i8051 {

namespace {

constexpr std::array<uint8_t, 256> MakeParityTable() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int ones = 0;
    for (int bit = 0; bit < 8; ++bit) ones += (value >> bit) & 1;
    table[value] = static_cast<uint8_t>(ones & 1);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kOddParity = MakeParityTable();

}  // namespace

Core::Core(const uint8_t* code, uint8_t* external, Bus* bus) : code_(code), external_(external), bus_(bus) {
  Reset();
}

void Core::Reset() {
  sfr_.fill(0);
  for (uint8_t port : {kP0, kP1, kP2, kP3}) sfr_[port & 0x7F] = 0xFF;
  sfr_[kSp & 0x7F] = 0x07;
  pc_ = 0;
  stop_ = Stop::None;
}

void Core::SetSfrValue(uint8_t address, uint8_t value) {
  sfr_[address & 0x7F] = value;
  UpdateParity();
}

void Core::UpdateParity() { PswRef() = static_cast<uint8_t>((PswRef() & ~kParity) | kOddParity[A()]); }

Core::Stop Core::Step() {
  if (stop_ != Stop::None) return stop_;
  Execute(Fetch());
  // The parity flag follows the accumulator in hardware; recomputing it once
  // per instruction covers every path that changes either register.
  UpdateParity();
  ++executed_;
  return stop_;
}

uint64_t Core::Run(uint64_t limit) {
  uint64_t ran = 0;
  while (ran < limit && stop_ == Stop::None) {
    Step();
    ++ran;
  }
  return ran;
}

uint64_t Core::RunUntil(uint16_t address, uint64_t limit) {
  uint64_t ran = 0;
  while (ran < limit && stop_ == Stop::None && pc_ != address) {
    Step();
    ++ran;
  }
  return ran;
}

uint16_t Core::Fetch16() {
  uint8_t high = Fetch();
  return static_cast<uint16_t>(high << 8 | Fetch());
}

void Core::SetCarry(bool on) { SetFlag(kCarry, on); }

void Core::SetFlag(uint8_t bit, bool on) {
  PswRef() = static_cast<uint8_t>(on ? (PswRef() | bit) : (PswRef() & ~bit));
}

uint8_t Core::ReadDirect(uint8_t address) {
  if (address < 0x80) return iram_[address];
  uint8_t latched = sfr_[address & 0x7F];
  if (claimedSfrs_[address & 0x7F]) return bus_->ReadSfr(address, latched);
  return latched;
}

void Core::WriteDirect(uint8_t address, uint8_t value) {
  if (address < 0x80) {
    iram_[address] = value;
    return;
  }
  sfr_[address & 0x7F] = value;
  if (claimedSfrs_[address & 0x7F]) bus_->WriteSfr(address, value);
}

// Bits 0x00..0x7F live in internal RAM bytes 0x20..0x2F; bits 0x80..0xFF in
// the special function registers whose address is a multiple of 8.
bool Core::ReadBit(uint8_t bit) {
  uint8_t byte = bit < 0x80 ? static_cast<uint8_t>(0x20 + (bit >> 3)) : static_cast<uint8_t>(bit & 0xF8);
  return (ReadDirect(byte) >> (bit & 7)) & 1;
}

void Core::WriteBit(uint8_t bit, bool on) {
  uint8_t byte = bit < 0x80 ? static_cast<uint8_t>(0x20 + (bit >> 3)) : static_cast<uint8_t>(bit & 0xF8);
  uint8_t mask = static_cast<uint8_t>(1u << (bit & 7));
  uint8_t value = ReadDirect(byte);
  WriteDirect(byte, static_cast<uint8_t>(on ? (value | mask) : (value & ~mask)));
}

uint8_t Core::ReadX(uint16_t address) {
  if (claimedPages_[address >> 8]) return bus_->ReadExternal(address);
  return external_[address];
}

void Core::WriteX(uint16_t address, uint8_t value) {
  if (claimedPages_[address >> 8]) bus_->WriteExternal(address, value);
  else external_[address] = value;
}

void Core::Push(uint8_t value) {
  uint8_t& sp = sfr_[kSp & 0x7F];
  ++sp;
  iram_[sp] = value;
}

uint8_t Core::Pop() {
  uint8_t& sp = sfr_[kSp & 0x7F];
  return iram_[sp--];
}

void Core::Call(uint16_t target) {
  Push(static_cast<uint8_t>(pc_));
  Push(static_cast<uint8_t>(pc_ >> 8));
  pc_ = target;
}

void Core::Add(uint8_t operand, bool withCarry) {
  unsigned a = A();
  unsigned carry = withCarry && CarrySet() ? 1 : 0;
  unsigned sum = a + operand + carry;
  SetCarry(sum > 0xFF);
  SetFlag(kAuxCarry, (a & 0x0F) + (operand & 0x0F) + carry > 0x0F);
  SetFlag(kOverflow, ((a ^ sum) & (operand ^ sum) & 0x80) != 0);
  A() = static_cast<uint8_t>(sum);
}

void Core::Subb(uint8_t operand) {
  unsigned a = A();
  unsigned borrow = CarrySet() ? 1 : 0;
  unsigned difference = a - operand - borrow;
  SetCarry(a < operand + borrow);
  SetFlag(kAuxCarry, (a & 0x0F) < (operand & 0x0F) + borrow);
  SetFlag(kOverflow, ((a ^ operand) & (a ^ difference) & 0x80) != 0);
  A() = static_cast<uint8_t>(difference);
}

// Corrects the sum of two packed BCD bytes. The carry is only ever set here,
// never cleared, so a carry out of the preceding addition survives.
void Core::DecimalAdjust() {
  unsigned a = A();
  if ((a & 0x0F) > 9 || (PswRef() & kAuxCarry)) {
    a += 0x06;
    if (a > 0xFF) SetCarry(true);
    a &= 0xFF;
  }
  if ((a >> 4) > 9 || CarrySet()) {
    a += 0x60;
    if (a > 0xFF) SetCarry(true);
    a &= 0xFF;
  }
  A() = static_cast<uint8_t>(a);
}

void Core::Multiply() {
  unsigned product = unsigned(A()) * sfr_[kB & 0x7F];
  A() = static_cast<uint8_t>(product);
  sfr_[kB & 0x7F] = static_cast<uint8_t>(product >> 8);
  SetCarry(false);
  SetFlag(kOverflow, product > 0xFF);
}

// Division by zero sets the overflow flag and leaves A and B as they were.
void Core::Divide() {
  uint8_t divisor = sfr_[kB & 0x7F];
  SetCarry(false);
  SetFlag(kOverflow, divisor == 0);
  if (divisor == 0) return;
  uint8_t dividend = A();
  A() = static_cast<uint8_t>(dividend / divisor);
  sfr_[kB & 0x7F] = static_cast<uint8_t>(dividend % divisor);
}

void Core::CompareJump(uint8_t left, uint8_t right) {
  int8_t offset = static_cast<int8_t>(Fetch());
  SetCarry(left < right);
  if (left != right) Jump(offset);
}

void Core::Execute(uint8_t op) {
  const int n = op & 0x07;  // register number of the Rn forms
  const int i = op & 0x01;  // register number of the @Ri forms
  switch (op) {
    case 0x00:  // NOP
      break;
    case 0x01: case 0x21: case 0x41: case 0x61: case 0x81: case 0xA1: case 0xC1: case 0xE1: {  // AJMP
      uint8_t low = Fetch();
      pc_ = static_cast<uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low);
      break;
    }
    case 0x11: case 0x31: case 0x51: case 0x71: case 0x91: case 0xB1: case 0xD1: case 0xF1: {  // ACALL
      uint8_t low = Fetch();
      Call(static_cast<uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low));
      break;
    }
    case 0x02:  // LJMP
      pc_ = Fetch16();
      break;
    case 0x12:  // LCALL
      Call(Fetch16());
      break;
    case 0x22: case 0x32: {  // RET, RETI (no interrupt levels are modelled)
      uint8_t high = Pop();
      pc_ = static_cast<uint16_t>(high << 8 | Pop());
      break;
    }
    case 0x03:  // RR A
      A() = static_cast<uint8_t>(A() >> 1 | A() << 7);
      break;
    case 0x13: {  // RRC A
      bool out = A() & 1;
      A() = static_cast<uint8_t>(A() >> 1 | (CarrySet() ? 0x80 : 0));
      SetCarry(out);
      break;
    }
    case 0x23:  // RL A
      A() = static_cast<uint8_t>(A() << 1 | A() >> 7);
      break;
    case 0x33: {  // RLC A
      bool out = A() & 0x80;
      A() = static_cast<uint8_t>(A() << 1 | (CarrySet() ? 1 : 0));
      SetCarry(out);
      break;
    }
    case 0x04: ++A(); break;                           // INC A
    case 0x05: { uint8_t d = Fetch(); WriteDirect(d, static_cast<uint8_t>(ReadDirect(d) + 1)); break; }
    case 0x06: case 0x07: ++AtR(i); break;             // INC @Ri
    case 0x08 ... 0x0F: ++R(n); break;                 // INC Rn
    case 0x14: --A(); break;                           // DEC A
    case 0x15: { uint8_t d = Fetch(); WriteDirect(d, static_cast<uint8_t>(ReadDirect(d) - 1)); break; }
    case 0x16: case 0x17: --AtR(i); break;
    case 0x18 ... 0x1F: --R(n); break;
    case 0x10: case 0x20: case 0x30: {  // JBC, JB, JNB bit,rel
      uint8_t bit = Fetch();
      int8_t offset = static_cast<int8_t>(Fetch());
      bool set = ReadBit(bit);
      if (op == 0x10 && set) WriteBit(bit, false);
      if (set == (op != 0x30)) Jump(offset);
      break;
    }
    case 0x40: case 0x50: case 0x60: case 0x70: case 0x80: {  // JC, JNC, JZ, JNZ, SJMP
      int8_t offset = static_cast<int8_t>(Fetch());
      bool take = op == 0x40 ? CarrySet() : op == 0x50 ? !CarrySet() : op == 0x60 ? A() == 0 : op == 0x70 ? A() != 0 : true;
      if (take) Jump(offset);
      break;
    }
    case 0x73:  // JMP @A+DPTR
      pc_ = static_cast<uint16_t>(Dptr() + A());
      break;
    case 0x24: Add(Fetch(), false); break;
    case 0x25: Add(ReadDirect(Fetch()), false); break;
    case 0x26: case 0x27: Add(AtR(i), false); break;
    case 0x28 ... 0x2F: Add(R(n), false); break;
    case 0x34: Add(Fetch(), true); break;
    case 0x35: Add(ReadDirect(Fetch()), true); break;
    case 0x36: case 0x37: Add(AtR(i), true); break;
    case 0x38 ... 0x3F: Add(R(n), true); break;
    case 0x94: Subb(Fetch()); break;
    case 0x95: Subb(ReadDirect(Fetch())); break;
    case 0x96: case 0x97: Subb(AtR(i)); break;
    case 0x98 ... 0x9F: Subb(R(n)); break;
    // ORL (0x4x), ANL (0x5x), XRL (0x6x): direct,A / direct,#data / A,#data / A,direct / A,@Ri / A,Rn
    case 0x42: case 0x52: case 0x62: case 0x43: case 0x53: case 0x63: {
      uint8_t d = Fetch();
      uint8_t operand = (op & 1) ? Fetch() : A();
      uint8_t value = ReadDirect(d);
      WriteDirect(d, static_cast<uint8_t>(op < 0x50 ? value | operand : op < 0x60 ? value & operand : value ^ operand));
      break;
    }
    case 0x44: case 0x45: case 0x46: case 0x47: case 0x48 ... 0x4F:
    case 0x54: case 0x55: case 0x56: case 0x57: case 0x58 ... 0x5F:
    case 0x64: case 0x65: case 0x66: case 0x67: case 0x68 ... 0x6F: {
      int form = op & 0x0F;
      uint8_t operand = form == 4 ? Fetch() : form == 5 ? ReadDirect(Fetch()) : form < 8 ? AtR(i) : R(n);
      uint8_t kind = op & 0xF0;
      A() = static_cast<uint8_t>(kind == 0x40 ? A() | operand : kind == 0x50 ? A() & operand : A() ^ operand);
      break;
    }
    case 0x72: SetCarry(CarrySet() || ReadBit(Fetch())); break;   // ORL C,bit
    case 0xA0: SetCarry(CarrySet() || !ReadBit(Fetch())); break;  // ORL C,/bit
    case 0x82: SetCarry(CarrySet() && ReadBit(Fetch())); break;   // ANL C,bit
    case 0xB0: SetCarry(CarrySet() && !ReadBit(Fetch())); break;  // ANL C,/bit
    case 0x74: A() = Fetch(); break;  // MOV A,#data
    case 0x75: { uint8_t d = Fetch(); WriteDirect(d, Fetch()); break; }
    case 0x76: case 0x77: AtR(i) = Fetch(); break;
    case 0x78 ... 0x7F: R(n) = Fetch(); break;
    case 0x83: {  // MOVC A,@A+PC (PC already past this one-byte instruction)
      A() = code_[static_cast<uint16_t>(pc_ + A())];
      break;
    }
    case 0x93: A() = code_[static_cast<uint16_t>(Dptr() + A())]; break;  // MOVC A,@A+DPTR
    case 0x84: Divide(); break;
    case 0xA4: Multiply(); break;
    case 0x85: {  // MOV direct,direct: the source comes first in the encoding
      uint8_t source = Fetch();
      uint8_t target = Fetch();
      WriteDirect(target, ReadDirect(source));
      break;
    }
    case 0x86: case 0x87: { uint8_t d = Fetch(); WriteDirect(d, AtR(i)); break; }
    case 0x88 ... 0x8F: { uint8_t d = Fetch(); WriteDirect(d, R(n)); break; }
    case 0x90: {  // MOV DPTR,#data16
      uint8_t high = Fetch();
      sfr_[kDph & 0x7F] = high;
      sfr_[kDpl & 0x7F] = Fetch();
      break;
    }
    case 0x92: WriteBit(Fetch(), CarrySet()); break;  // MOV bit,C
    case 0xA2: SetCarry(ReadBit(Fetch())); break;     // MOV C,bit
    case 0xA3: {                                      // INC DPTR
      uint16_t dptr = static_cast<uint16_t>(Dptr() + 1);
      sfr_[kDph & 0x7F] = static_cast<uint8_t>(dptr >> 8);
      sfr_[kDpl & 0x7F] = static_cast<uint8_t>(dptr);
      break;
    }
    case 0xA5:  // the undefined opcode
      stop_ = Stop::IllegalOpcode;
      pc_ = static_cast<uint16_t>(pc_ - 1);
      break;
    case 0xA6: case 0xA7: AtR(i) = ReadDirect(Fetch()); break;
    case 0xA8 ... 0xAF: R(n) = ReadDirect(Fetch()); break;
    case 0xB2: { uint8_t bit = Fetch(); WriteBit(bit, !ReadBit(bit)); break; }  // CPL bit
    case 0xB3: SetCarry(!CarrySet()); break;                                    // CPL C
    case 0xC2: WriteBit(Fetch(), false); break;                                 // CLR bit
    case 0xC3: SetCarry(false); break;                                          // CLR C
    case 0xD2: WriteBit(Fetch(), true); break;                                  // SETB bit
    case 0xD3: SetCarry(true); break;                                           // SETB C
    case 0xB4: { uint8_t value = Fetch(); CompareJump(A(), value); break; }
    case 0xB5: { uint8_t value = ReadDirect(Fetch()); CompareJump(A(), value); break; }
    case 0xB6: case 0xB7: { uint8_t value = Fetch(); CompareJump(AtR(i), value); break; }
    case 0xB8 ... 0xBF: { uint8_t value = Fetch(); CompareJump(R(n), value); break; }
    case 0xC0: Push(ReadDirect(Fetch())); break;
    case 0xD0: { uint8_t d = Fetch(); WriteDirect(d, Pop()); break; }
    case 0xC4: A() = static_cast<uint8_t>(A() << 4 | A() >> 4); break;  // SWAP A
    case 0xC5: { uint8_t d = Fetch(); uint8_t value = ReadDirect(d); WriteDirect(d, A()); A() = value; break; }
    case 0xC6: case 0xC7: { uint8_t value = AtR(i); AtR(i) = A(); A() = value; break; }
    case 0xC8 ... 0xCF: { uint8_t value = R(n); R(n) = A(); A() = value; break; }
    case 0xD6: case 0xD7: {  // XCHD A,@Ri
      uint8_t& target = AtR(i);
      uint8_t low = target & 0x0F;
      target = static_cast<uint8_t>((target & 0xF0) | (A() & 0x0F));
      A() = static_cast<uint8_t>((A() & 0xF0) | low);
      break;
    }
    case 0xD4: DecimalAdjust(); break;
    case 0xD5: {  // DJNZ direct,rel
      uint8_t d = Fetch();
      int8_t offset = static_cast<int8_t>(Fetch());
      uint8_t value = static_cast<uint8_t>(ReadDirect(d) - 1);
      WriteDirect(d, value);
      if (value != 0) Jump(offset);
      break;
    }
    case 0xD8 ... 0xDF: {  // DJNZ Rn,rel
      int8_t offset = static_cast<int8_t>(Fetch());
      if (--R(n) != 0) Jump(offset);
      break;
    }
    case 0xE0: A() = ReadX(Dptr()); break;  // MOVX A,@DPTR
    case 0xE2: case 0xE3: A() = ReadX(MovxRiAddress(i)); break;
    case 0xF0: WriteX(Dptr(), A()); break;
    case 0xF2: case 0xF3: WriteX(MovxRiAddress(i), A()); break;
    case 0xE4: A() = 0; break;                       // CLR A
    case 0xF4: A() = static_cast<uint8_t>(~A()); break;  // CPL A
    case 0xE5: A() = ReadDirect(Fetch()); break;
    case 0xE6: case 0xE7: A() = AtR(i); break;
    case 0xE8 ... 0xEF: A() = R(n); break;
    case 0xF5: WriteDirect(Fetch(), A()); break;
    case 0xF6: case 0xF7: AtR(i) = A(); break;
    case 0xF8 ... 0xFF: R(n) = A(); break;
    default:
      break;
  }
}

}  // namespace sim::i8051
