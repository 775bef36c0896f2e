/* The camera firmware: takes 64-byte command packets from the command
 * endpoint, programs the sensor over I2C, drives the frame path and the
 * sensor clock, and answers queries on the reply endpoint.
 *
 * Behaviour beyond the command table:
 * - A packet that is not exactly 64 bytes is handed back unexecuted.
 * - Unknown command codes are ignored; so are start-up (0x06), frame setup
 *   (0x0A) and the extended setting (0x20), which need nothing of this bridge.
 * - A query (0x0C, 0x24) answers with two packets: an echo of the command,
 *   then the answer. A packet that finds the reply queue full is dropped, so
 *   a host that never collects replies cannot stall the command loop.
 * - A register read the sensor does not acknowledge answers 0xFFFF.
 * - Go before any frame size makes the frame path send the sensor's own
 *   readout size.
 * - Before it presents the camera's identity the firmware checks its own
 *   image against the CRC in its identity block. A download that damaged any
 *   byte leaves a bridge that never re-enumerates and takes no command, which
 *   the host sees as a start that timed out, rather than a camera that runs
 *   damaged code later.
 */
#include <stdint.h>

#include "../bridge.h"
#include "../identity.h"

#define SENSOR_ADDRESS 0x36
#define CAMERA_VENDOR_ID 0xF5C0
#define CAMERA_PRODUCT_ID 0x5C01
#define CAMERA_RELEASE 0x0100

#define CMD_FRAME_HALT 0x02
#define CMD_FRAME_GO 0x03
#define CMD_REGISTER_WRITE 0x04
#define CMD_FRAME_SIZE 0x09
#define CMD_REGISTER_READ 0x0C
#define CMD_HALF_CLOCK 0x23
#define CMD_HALF_CLOCK_QUERY 0x24

FIRMWARE_IDENTITY(CAPABILITY_CAMERA, CAMERA_VENDOR_ID, CAMERA_PRODUCT_ID, CAMERA_RELEASE);

static uint8_t halfClock;

/* The identity block as the download left it. Read through a volatile
 * pointer: the compiler knows the block's initial bytes, but the build
 * stamps the regions and the CRC after linking, and the download may have
 * changed anything. */
#define IDENTITY ((const volatile __code uint8_t*)IDENTITY_ADDRESS)
#define IDENTITY_REGION_COUNT 6
#define IDENTITY_CRC 14
#define IDENTITY_REGIONS 16
#define IDENTITY_MAX_REGIONS 4

/* CRC-16, polynomial 0x1021, most significant bit first. */
static uint16_t CrcAddByte(uint16_t crc, uint8_t byte) {
  uint8_t bit;
  crc ^= (uint16_t)byte << 8;
  for (bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
  return crc;
}

static uint16_t IdentityWord(uint8_t offset) { return IDENTITY[offset] | (uint16_t)IDENTITY[offset + 1] << 8; }

/* The CRC of the checked regions, the stored CRC's own two bytes counted as
 * zero. The caller compares the value itself rather than a yes/no answer, so
 * that damage which derails the loop (a flipped jump that returns early)
 * yields a wrong CRC instead of a lucky "intact". */
static uint16_t ImageCrc(void) {
  const uint16_t crcAt = IDENTITY_ADDRESS + IDENTITY_CRC;
  uint8_t regions = IDENTITY[IDENTITY_REGION_COUNT];
  uint16_t crc = 0xFFFF;
  uint8_t region;
  if (regions == 0 || regions > IDENTITY_MAX_REGIONS) return ~IdentityWord(IDENTITY_CRC);
  for (region = 0; region < regions; ++region) {
    uint16_t at = IdentityWord(IDENTITY_REGIONS + 4 * region);
    uint16_t left = IdentityWord(IDENTITY_REGIONS + 4 * region + 2);
    for (; left != 0; --left, ++at) {
      uint8_t byte = (at == crcAt || at == crcAt + 1) ? 0 : ((const __code uint8_t*)0)[at];
      crc = CrcAddByte(crc, byte);
    }
  }
  return crc;
}

/* Runs one I2C transaction and waits for the controller. */
static uint8_t I2cTransaction(uint8_t control) {
  I2C_DEVICE = SENSOR_ADDRESS;
  I2C_REGISTER = COMMAND[1];
  I2C_CONTROL = control;
  while (!(I2C_CONTROL & I2C_DONE)) {
  }
  return I2C_CONTROL;
}

/* Queues the reply buffer as one packet, unless the queue is full. */
static void SendReply(void) {
  if (REPLY_STATUS & 1) return;
  REPLY_COUNT = PACKET_BYTES;
}

/* Two packets: the command itself, then an answer whose first two bytes are
 * given and whose other bytes are zero. */
static void Answer(uint8_t first, uint8_t second) {
  uint8_t i;
  for (i = 0; i < PACKET_BYTES; ++i) REPLY[i] = COMMAND[i];
  SendReply();
  REPLY[0] = first;
  REPLY[1] = second;
  for (i = 2; i < PACKET_BYTES; ++i) REPLY[i] = 0;
  SendReply();
}

static void Execute(void) {
  switch (COMMAND[0]) {
    case CMD_FRAME_HALT:
      FRAME_CONTROL = FRAME_HALT;
      break;
    case CMD_FRAME_GO:
      FRAME_CONTROL = FRAME_GO;
      break;
    case CMD_REGISTER_WRITE:
      I2C_DATA_HIGH = COMMAND[2];
      I2C_DATA_LOW = COMMAND[3];
      I2cTransaction(I2C_WRITE);
      break;
    case CMD_REGISTER_READ:
      if (I2cTransaction(I2C_READ) & ~I2C_DONE) Answer(0xFF, 0xFF);
      else Answer(I2C_DATA_HIGH, I2C_DATA_LOW);
      break;
    case CMD_FRAME_SIZE:
      FRAME_SIZE0 = COMMAND[1];
      FRAME_SIZE1 = COMMAND[2];
      FRAME_SIZE2 = COMMAND[3];
      FRAME_SIZE3 = COMMAND[4];
      break;
    case CMD_HALF_CLOCK:
      halfClock = COMMAND[1] ? 1 : 0;
      CLOCK = halfClock;
      break;
    case CMD_HALF_CLOCK_QUERY:
      Answer(halfClock, 0);
      break;
    default:
      break;
  }
}

/* Presents the camera's identity: the USB core drops off the bus and comes
 * back with these identifiers. */
static void Reconnect(void) {
  USB_VENDOR_LOW = CAMERA_VENDOR_ID & 0xFF;
  USB_VENDOR_HIGH = CAMERA_VENDOR_ID >> 8;
  USB_PRODUCT_LOW = CAMERA_PRODUCT_ID & 0xFF;
  USB_PRODUCT_HIGH = CAMERA_PRODUCT_ID >> 8;
  USB_RELEASE_LOW = CAMERA_RELEASE & 0xFF;
  USB_RELEASE_HIGH = CAMERA_RELEASE >> 8;
  USB_CONNECT = 1;
}

void main(void) {
  halfClock = 0;
  CLOCK = 0;
  if (ImageCrc() != IdentityWord(IDENTITY_CRC)) {
    for (;;) {
    }
  }
  Reconnect();
  for (;;) {
    uint8_t count = COMMAND_COUNT;
    if (count == 0) continue;
    if (count == PACKET_BYTES) Execute();
    COMMAND_COUNT = 0;
  }
}
