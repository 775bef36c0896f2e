/* The first program the driver downloads. It identifies itself as the
 * program that serves the external-memory load request and otherwise waits:
 * any command packet that reaches it is handed back unexecuted, and it never
 * re-enumerates, so the bridge keeps its own identity until the camera
 * firmware follows. */
#include <stdint.h>

#include "../bridge.h"
#include "../identity.h"

FIRMWARE_IDENTITY(CAPABILITY_EXTERNAL_LOAD, 0, 0, 0);

void main(void) {
  for (;;) {
    if (COMMAND_COUNT != 0) COMMAND_COUNT = 0;
  }
}
