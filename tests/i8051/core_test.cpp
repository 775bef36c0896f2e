// The 8051 core, one instruction class at a time, with flag outcomes at their
// extremes; the s51 cross-check covers the opcode space as a whole.
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <vector>

#include "sim/i8051/core.h"

namespace {

using sim::i8051::Core;

// Records what reaches the bus, and answers reads from a small register file.
struct RecordingBus : sim::i8051::Bus {
  uint8_t ReadExternal(uint16_t address) override {
    reads.push_back(address);
    return registers[address];
  }
  void WriteExternal(uint16_t address, uint8_t value) override { registers[address] = value; }
  uint8_t ReadSfr(uint8_t address, uint8_t latched) override { return static_cast<uint8_t>(latched ^ 0xFF); }
  void WriteSfr(uint8_t address, uint8_t value) override { sfrWrites[address] = value; }

  std::vector<uint16_t> reads;
  std::map<uint16_t, uint8_t> registers;
  std::map<uint8_t, uint8_t> sfrWrites;
};

class CoreTest : public ::testing::Test {
 protected:
  void Load(std::initializer_list<uint8_t> bytes, uint16_t at = 0) {
    for (uint8_t byte : bytes) code[at++] = byte;
  }
  // Loads a program at 0 and runs it to its end.
  void Run(std::initializer_list<uint8_t> bytes) {
    Load(bytes);
    core.RunUntil(static_cast<uint16_t>(bytes.size()), 10000);
    ASSERT_EQ(core.Pc(), bytes.size());
  }
  bool Flag(uint8_t bit) const { return (core.Psw() & bit) != 0; }

  std::vector<uint8_t> code = std::vector<uint8_t>(Core::kSpaceBytes);
  std::vector<uint8_t> external = std::vector<uint8_t>(Core::kSpaceBytes);
  RecordingBus bus;
  Core core{code.data(), external.data(), &bus};
};

struct ArithmeticCase {
  uint8_t opcode;  // 0x24 ADD, 0x34 ADDC, 0x94 SUBB (immediate forms)
  uint8_t a, operand;
  bool carryIn;
  uint8_t result;
  bool carry, auxCarry, overflow;
};

TEST_F(CoreTest, AdditionAndSubtractionFlagsAtTheirBoundaries) {
  const ArithmeticCase cases[] = {
      {0x24, 0x00, 0x00, true, 0x00, false, false, false},   // ADD ignores the carry in
      {0x24, 0x7F, 0x01, false, 0x80, false, true, true},    // positive overflow
      {0x24, 0xFF, 0x01, false, 0x00, true, true, false},    // carry out, no signed overflow
      {0x24, 0x80, 0x80, false, 0x00, true, false, true},    // negative overflow
      {0x24, 0x0F, 0x01, false, 0x10, false, true, false},   // half carry only
      {0x34, 0xFF, 0x00, true, 0x00, true, true, false},     // the carry in alone carries out
      {0x34, 0x7E, 0x01, true, 0x80, false, true, true},     // and overflows
      {0x94, 0x00, 0x01, false, 0xFF, true, true, false},    // borrow
      {0x94, 0x80, 0x01, false, 0x7F, false, true, true},    // negative minus positive overflows
      {0x94, 0x7F, 0xFF, false, 0x80, true, false, true},    // positive minus negative overflows
      {0x94, 0x00, 0x00, true, 0xFF, true, true, false},     // the borrow in alone borrows
      {0x94, 0x10, 0x0F, true, 0x00, false, true, false},    // half borrow, zero result
  };
  for (const ArithmeticCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "opcode " << int(c.opcode) << " a " << int(c.a) << " operand "
                                      << int(c.operand) << " carry " << c.carryIn);
    core.Reset();
    // MOV PSW,#(flags opposite to the expectation); MOV A,#a; op A,#operand
    uint8_t psw = static_cast<uint8_t>((c.carryIn ? 0x80 : 0) | (c.auxCarry ? 0 : 0x40) | (c.overflow ? 0 : 0x04));
    Run({0x75, 0xD0, psw, 0x74, c.a, c.opcode, c.operand});
    EXPECT_EQ(core.Acc(), c.result);
    EXPECT_EQ(Flag(sim::i8051::kCarry), c.carry);
    EXPECT_EQ(Flag(sim::i8051::kAuxCarry), c.auxCarry);
    EXPECT_EQ(Flag(sim::i8051::kOverflow), c.overflow);
  }
}

TEST_F(CoreTest, DecimalAdjustCorrectsBothDigitsAndNeverClearsTheCarry) {
  struct Case {
    uint8_t a, addend;
    uint8_t result;
    bool carry;
  } const cases[] = {
      {0x09, 0x01, 0x10, false},  // low digit above 9
      {0x19, 0x09, 0x28, false},  // low digit valid but the half carry says it overflowed
      {0x50, 0x50, 0x00, true},   // high digit above 9
      {0x99, 0x01, 0x00, true},   // both digits, carry out of the top
      {0x99, 0x99, 0x98, true},   // carry from the addition itself
  };
  for (const Case& c : cases) {
    core.Reset();
    Run({0x74, c.a, 0x24, c.addend, 0xD4});  // MOV A,#a; ADD A,#addend; DA A
    EXPECT_EQ(core.Acc(), c.result) << int(c.a) << "+" << int(c.addend);
    EXPECT_EQ(Flag(sim::i8051::kCarry), c.carry) << int(c.a) << "+" << int(c.addend);
  }
  core.Reset();
  Run({0xD3, 0x74, 0x12, 0xD4});  // SETB C; MOV A,#12h; DA A: the set carry adds 60h and stays
  EXPECT_EQ(core.Acc(), 0x72);
  EXPECT_TRUE(Flag(sim::i8051::kCarry));
}

TEST_F(CoreTest, MultiplyAndDivideSetOverflowAndClearCarry) {
  Run({0xD3, 0x74, 0xFF, 0x75, 0xF0, 0xFF, 0xA4});  // SETB C; A=FF; B=FF; MUL AB
  EXPECT_EQ(core.Acc(), 0x01);
  EXPECT_EQ(core.SfrValue(sim::i8051::kB), 0xFE);
  EXPECT_TRUE(Flag(sim::i8051::kOverflow));
  EXPECT_FALSE(Flag(sim::i8051::kCarry));

  core.Reset();
  Run({0x74, 0x10, 0x75, 0xF0, 0x0F, 0xA4});  // 16 * 15 fits in A
  EXPECT_EQ(core.Acc(), 0xF0);
  EXPECT_EQ(core.SfrValue(sim::i8051::kB), 0x00);
  EXPECT_FALSE(Flag(sim::i8051::kOverflow));

  core.Reset();
  Run({0xD3, 0x74, 200, 0x75, 0xF0, 7, 0x84});  // 200 / 7
  EXPECT_EQ(core.Acc(), 28);
  EXPECT_EQ(core.SfrValue(sim::i8051::kB), 4);
  EXPECT_FALSE(Flag(sim::i8051::kOverflow));
  EXPECT_FALSE(Flag(sim::i8051::kCarry));

  core.Reset();
  Run({0xD3, 0x74, 0x42, 0x75, 0xF0, 0x00, 0x84});  // divide by zero
  EXPECT_TRUE(Flag(sim::i8051::kOverflow));
  EXPECT_FALSE(Flag(sim::i8051::kCarry));
  EXPECT_EQ(core.Acc(), 0x42);
  EXPECT_EQ(core.SfrValue(sim::i8051::kB), 0x00);
}

TEST_F(CoreTest, ParityFollowsTheAccumulatorWhateverIsWrittenToPsw) {
  Run({0x74, 0x01});
  EXPECT_TRUE(Flag(sim::i8051::kParity));
  core.Reset();
  Run({0x74, 0xFF, 0x75, 0xD0, 0x01});  // even number of ones; writing P=1 does not stick
  EXPECT_FALSE(Flag(sim::i8051::kParity));
  core.Reset();
  Run({0x74, 0x80, 0x04});  // INC A: 0x81 has even parity
  EXPECT_FALSE(Flag(sim::i8051::kParity));
}

TEST_F(CoreTest, RegisterBanksAndTheUpperHalfOfInternalRam) {
  // MOV PSW,#18h; MOV R0,#F0h; MOV @R0,#55h; MOV B,#AAh; MOV R7,#77h
  Run({0x75, 0xD0, 0x18, 0x78, 0xF0, 0x76, 0x55, 0x75, 0xF0, 0xAA, 0x7F, 0x77});
  EXPECT_EQ(core.Internal(0x18), 0xF0);  // bank 3's R0
  EXPECT_EQ(core.Internal(0x1F), 0x77);  // bank 3's R7
  EXPECT_EQ(core.Internal(0x00), 0x00);  // bank 0 untouched
  EXPECT_EQ(core.Internal(0xF0), 0x55);  // indirect reaches RAM...
  EXPECT_EQ(core.SfrValue(sim::i8051::kB), 0xAA);  // ...direct reaches the register at the same address
}

TEST_F(CoreTest, StackLivesInInternalRamAndWrapsAtTheTop) {
  // MOV SP,#FEh; MOV A,#12h; PUSH ACC; PUSH ACC; POP 30h
  Run({0x75, 0x81, 0xFE, 0x74, 0x12, 0xC0, 0xE0, 0xC0, 0xE0, 0xD0, 0x30});
  EXPECT_EQ(core.Internal(0xFF), 0x12);
  EXPECT_EQ(core.Internal(0x00), 0x12);  // the second push wrapped to address 0
  EXPECT_EQ(core.Internal(0x30), 0x12);
  EXPECT_EQ(core.SfrValue(sim::i8051::kSp), 0xFF);
}

TEST_F(CoreTest, CallsPushTheReturnAddressLowByteFirst) {
  Load({0x12, 0x12, 0x34});  // LCALL 1234h
  Load({0x22}, 0x1234);      // RET
  core.Step();
  EXPECT_EQ(core.Pc(), 0x1234);
  EXPECT_EQ(core.Internal(0x08), 0x03);
  EXPECT_EQ(core.Internal(0x09), 0x00);
  core.Step();
  EXPECT_EQ(core.Pc(), 0x0003);
  EXPECT_EQ(core.SfrValue(sim::i8051::kSp), 0x07);
}

TEST_F(CoreTest, RelativeAndAbsoluteJumpsAtTheirLimits) {
  Load({0x80, 0x7F}, 0x0100);  // SJMP +127
  core.SetPc(0x0100);
  core.Step();
  EXPECT_EQ(core.Pc(), 0x0102 + 127);
  Load({0x80, 0x80}, 0x0200);  // SJMP -128
  core.SetPc(0x0200);
  core.Step();
  EXPECT_EQ(core.Pc(), 0x0202 - 128);
  // AJMP in the last two bytes of a 2 KiB block lands in the next block.
  Load({0xE1, 0x23}, 0x07FE);
  core.SetPc(0x07FE);
  core.Step();
  EXPECT_EQ(core.Pc(), 0x0F23);
  // JMP @A+DPTR wraps at the top of the code space.
  core.Reset();
  Load({0x90, 0xFF, 0xFF, 0x74, 0x02, 0x73});
  core.Run(3);
  EXPECT_EQ(core.Pc(), 0x0001);
}

TEST_F(CoreTest, CompareAndDecrementJumps) {
  // MOV A,#10h; CJNE A,#11h,+1 (taken, carry set); CJNE A,#10h,+0 (not taken, carry clear)
  Run({0x74, 0x10, 0xB4, 0x11, 0x01, 0x00, 0xB4, 0x10, 0x00});
  EXPECT_FALSE(Flag(sim::i8051::kCarry));
  core.Reset();
  Load({0xB4, 0x11, 0x05});  // CJNE A,#11h: A=0 is below
  core.Step();
  EXPECT_TRUE(Flag(sim::i8051::kCarry));
  EXPECT_EQ(core.Pc(), 3 + 5);
  // DJNZ from 0 wraps to 255 and jumps: MOV R2,#0; DJNZ R2,-2 runs 256 times.
  core.Reset();
  Load({0x7A, 0x00, 0xDA, 0xFE});
  EXPECT_EQ(core.RunUntil(4, 100000), 1u + 256u);
  EXPECT_EQ(core.Register(2), 0);
}

TEST_F(CoreTest, BitAddressesReachRamBytesAndRegisters) {
  // SETB 00h; SETB 7Fh; SETB E7h (ACC.7); CPL 01h; CLR 01h; MOV C,7Fh
  Run({0xD2, 0x00, 0xD2, 0x7F, 0xD2, 0xE7, 0xB2, 0x01, 0xC2, 0x01, 0xA2, 0x7F});
  EXPECT_EQ(core.Internal(0x20), 0x01);
  EXPECT_EQ(core.Internal(0x2F), 0x80);
  EXPECT_EQ(core.Acc(), 0x80);
  EXPECT_TRUE(Flag(sim::i8051::kCarry));
  // JBC jumps on a set bit and clears it; the second JBC falls through.
  core.Reset();
  Run({0x10, 0x00, 0x00, 0x10, 0x00, 0x00});
  EXPECT_EQ(core.Internal(0x20), 0x00);
}

TEST_F(CoreTest, MovcReadsRelativeToTheNextInstructionAndWraps) {
  Load({0x74, 0x01, 0x83, 0xAA, 0xBB});  // MOV A,#1; MOVC A,@A+PC: PC is 3, so byte 4
  core.Run(2);
  EXPECT_EQ(core.Acc(), 0xBB);
  core.Reset();
  code[0x0001] = 0x5C;
  Load({0x90, 0xFF, 0xFF, 0x74, 0x02, 0x93}, 0x0100);  // DPTR=FFFFh; A=2; MOVC A,@A+DPTR reads 0001h
  core.SetPc(0x0100);
  core.Run(3);
  EXPECT_EQ(core.Acc(), 0x5C);
}

TEST_F(CoreTest, ClaimedPagesAndRegistersGoToTheBusAndTheRestStaysInMemory) {
  core.ClaimExternalPage(0xE6);
  core.ClaimSfr(0x92);
  core.SetMovxPageSfr(0x92);
  bus.registers[0xE601] = 0x3C;
  // DPTR=E600h; A=01h; MOVX @DPTR,A; INC DPTR; MOVX A,@DPTR; MOV R0,A
  // DPTR=1000h; MOVX @DPTR,A; MOV 92h,#E6h; MOV R1,#01h; MOVX A,@R1
  Run({0x90, 0xE6, 0x00, 0x74, 0x01, 0xF0, 0xA3, 0xE0, 0xF8, 0x90, 0x10, 0x00, 0xF0, 0x75, 0x92, 0xE6, 0x79,
       0x01, 0xE2});
  EXPECT_EQ(bus.registers[0xE600], 0x01);
  EXPECT_EQ(core.Register(0), 0x3C);
  EXPECT_EQ(external[0x1000], 0x3C);  // plain memory, not the bus
  EXPECT_EQ(external[0xE600], 0x00);
  EXPECT_EQ(bus.sfrWrites[0x92], 0xE6);
  // The claimed page register reads back through the bus (which inverts it),
  // so the last MOVX went to 19h:01h, plain memory.
  EXPECT_EQ(bus.reads, (std::vector<uint16_t>{0xE601}));
  EXPECT_EQ(core.Acc(), external[0x1901]);
}

TEST_F(CoreTest, TheUndefinedOpcodeStopsTheCoreWhereItStands) {
  Load({0x04, 0xA5, 0x04});
  EXPECT_EQ(core.Run(10), 2u);
  EXPECT_EQ(core.Stopped(), Core::Stop::IllegalOpcode);
  EXPECT_EQ(core.Pc(), 1);
  EXPECT_EQ(core.Acc(), 1);
  EXPECT_EQ(core.Step(), Core::Stop::IllegalOpcode);
  EXPECT_EQ(core.Run(10), 0u);
  EXPECT_EQ(core.Executed(), 2u);
  core.Reset();  // a reset recovers it
  EXPECT_EQ(core.Stopped(), Core::Stop::None);
}

TEST_F(CoreTest, ResetRestoresRegistersButKeepsInternalRam) {
  Run({0x75, 0x81, 0x40, 0x75, 0x90, 0x00, 0x75, 0x50, 0x99, 0x74, 0x33});
  core.Reset();
  EXPECT_EQ(core.Pc(), 0);
  EXPECT_EQ(core.SfrValue(sim::i8051::kSp), 0x07);
  EXPECT_EQ(core.SfrValue(sim::i8051::kP1), 0xFF);
  EXPECT_EQ(core.Acc(), 0x00);
  EXPECT_EQ(core.Internal(0x50), 0x99);
}

}  // namespace
