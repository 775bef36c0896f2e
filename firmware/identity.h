/* The first bytes of every bridge program: the reset vector, a jump to the
 * code the compiler places from 0x00A0 on, and the identity block at 0x0080
 * that tells the bridge what the program is (layout in
 * firmware/README.md). The build fills in the checked regions and the
 * CRC after linking. */
#ifndef IDENTITY_H
#define IDENTITY_H

#include <stdint.h>

#define IDENTITY_ADDRESS 0x0080

#define CAPABILITY_EXTERNAL_LOAD 0x01
#define CAPABILITY_CAMERA 0x02

#define FIRMWARE_IDENTITY(capabilities, vendor, product, release)                                   \
  __code __at(0x0000) const uint8_t resetVector[3] = {0x02, 0x00, 0xA0};                            \
  __code __at(0x0080) const uint8_t identityBlock[32] = {                                           \
      'K', 'S', 'F', 'W', 1, (capabilities), 0, 0, (vendor) & 0xFF, (vendor) >> 8, (product) & 0xFF, \
      (product) >> 8, (release) & 0xFF, (release) >> 8}

#endif
