// The Intel HEX reader that loads programs into the core's memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/i8051/intel_hex.h"

namespace {

using sim::i8051::ParseIntelHex;

TEST(IntelHex, LoadsDataRecordsAtTheirAddresses) {
  std::vector<uint8_t> space(0x10000, 0xEE);
  uint32_t end = 0;
  ASSERT_TRUE(ParseIntelHex(":03000000020006F5\r\n:01FFFF00AA57\n\n:00000001FF\n", space.data(), &end));
  EXPECT_EQ(end, 0x10000u);
  EXPECT_EQ(space[0], 0x02);
  EXPECT_EQ(space[2], 0x06);
  EXPECT_EQ(space[3], 0xEE);
  EXPECT_EQ(space[0xFFFF], 0xAA);
  ASSERT_TRUE(ParseIntelHex(":03001000020006E5\n:00000001FF\n", space.data(), &end));
  EXPECT_EQ(end, 0x13u);
}

TEST(IntelHex, RefusesMalformedFiles) {
  const char* const bad[] = {
      ":03000000020006F6\n:00000001FF\n",    // checksum
      ":0300000002000F5\n:00000001FF\n",     // odd digit count
      ":04000000020006F5\n:00000001FF\n",    // length disagrees with the data
      ":030000000200G6F5\n:00000001FF\n",    // not hex
      "03000000020006F5\n:00000001FF\n",     // no colon
      ":03000000020006F5\n",                 // no end record
      ":020000040000FA\n:00000001FF\n",      // extended address record
      ":02FFFF00AABB9B\n:00000001FF\n",      // runs past 0xFFFF
      ":00000001\n",                         // too short
  };
  for (const char* text : bad) {
    std::vector<uint8_t> space(0x10000);
    EXPECT_FALSE(ParseIntelHex(text, space.data())) << text;
  }
  EXPECT_FALSE(sim::i8051::LoadIntelHex("/nonexistent/file.ihx", std::vector<uint8_t>(0x10000).data()));
}

}  // namespace
