/* The first program the driver downloads: it serves the external-memory load
 * request (0xA3) on the control endpoint, writing or reading the bridge's
 * external memory (0x1B40..0xDFFF), and otherwise waits. Any other control
 * request, and a load that leaves external memory or is longer than the
 * endpoint's buffer, is refused (the endpoint stalls). Command packets that
 * reach it are handed back unexecuted, and it never re-enumerates, so the
 * bridge keeps its own identity until the camera firmware follows. */
#include <stdint.h>

#include "../bridge.h"
#include "../identity.h"

#define LOAD_EXTERNAL 0xA3
#define EXTERNAL_START 0x1B40
#define EXTERNAL_END 0xE000UL
#define REQUEST_TO_HOST 0x80
#define REQUEST_TYPE_MASK 0x60
#define REQUEST_TYPE_VENDOR 0x40

FIRMWARE_IDENTITY(CAPABILITY_EXTERNAL_LOAD, 0, 0, 0);

static void ServeControlRequest(void) {
  uint16_t address = SETUP[2] | (uint16_t)SETUP[3] << 8;
  uint8_t length = SETUP[6];
  __xdata uint8_t* memory = (__xdata uint8_t*)address;
  uint8_t i;
  if ((SETUP[0] & REQUEST_TYPE_MASK) != REQUEST_TYPE_VENDOR || SETUP[1] != LOAD_EXTERNAL || SETUP[7] != 0 ||
      length > PACKET_BYTES || address < EXTERNAL_START || address + (uint32_t)length > EXTERNAL_END) {
    CONTROL_ENDPOINT = CONTROL_REFUSE;
    return;
  }
  if (SETUP[0] & REQUEST_TO_HOST) {
    for (i = 0; i < length; ++i) CONTROL_BUFFER[i] = memory[i];
    CONTROL_COUNT = length;
  } else {
    for (i = 0; i < length; ++i) memory[i] = CONTROL_BUFFER[i];
  }
  CONTROL_ENDPOINT = CONTROL_DONE;
}

void main(void) {
  for (;;) {
    if (CONTROL_ENDPOINT & CONTROL_PENDING) ServeControlRequest();
    if (COMMAND_COUNT != 0) COMMAND_COUNT = 0;
  }
}
