/* The bridge's registers as the 8051 reaches them in external data space. */
#ifndef BRIDGE_H
#define BRIDGE_H

#include <stdint.h>

#define BRIDGE_REGISTER(name, address) __xdata __at(address) volatile uint8_t name

BRIDGE_REGISTER(COMMAND_COUNT, 0xE610);  /* bytes in the command buffer; write: hand it back */
BRIDGE_REGISTER(REPLY_COUNT, 0xE611);    /* write n: queue n bytes of the reply buffer */
BRIDGE_REGISTER(REPLY_STATUS, 0xE612);   /* bit 0: the reply queue is full */
BRIDGE_REGISTER(FRAME_CONTROL, 0xE620);  /* 1 go, 2 halt */
BRIDGE_REGISTER(FRAME_SIZE0, 0xE621);    /* frame size, least significant byte first */
BRIDGE_REGISTER(FRAME_SIZE1, 0xE622);
BRIDGE_REGISTER(FRAME_SIZE2, 0xE623);
BRIDGE_REGISTER(FRAME_SIZE3, 0xE624);
BRIDGE_REGISTER(CLOCK, 0xE628);          /* bit 0: sensor clock at half speed */
BRIDGE_REGISTER(I2C_DEVICE, 0xE630);
BRIDGE_REGISTER(I2C_REGISTER, 0xE631);
BRIDGE_REGISTER(I2C_DATA_HIGH, 0xE632);
BRIDGE_REGISTER(I2C_DATA_LOW, 0xE633);
BRIDGE_REGISTER(I2C_CONTROL, 0xE634);    /* write 1 write, 2 read; read bit 0 done, bit 1 no acknowledge */
BRIDGE_REGISTER(USB_VENDOR_LOW, 0xE640);
BRIDGE_REGISTER(USB_VENDOR_HIGH, 0xE641);
BRIDGE_REGISTER(USB_PRODUCT_LOW, 0xE642);
BRIDGE_REGISTER(USB_PRODUCT_HIGH, 0xE643);
BRIDGE_REGISTER(USB_RELEASE_LOW, 0xE644);
BRIDGE_REGISTER(USB_RELEASE_HIGH, 0xE645);
BRIDGE_REGISTER(USB_CONNECT, 0xE646);    /* write 1: re-enumerate with the identifiers above */

BRIDGE_REGISTER(CONTROL_ENDPOINT, 0xE658); /* read bit 0: a request waits; write 1 done, 2 refuse */
BRIDGE_REGISTER(CONTROL_COUNT, 0xE659);    /* bytes received, or bytes to send */

__xdata __at(0xE650) volatile uint8_t SETUP[8];
__xdata __at(0xE780) volatile uint8_t CONTROL_BUFFER[64];
__xdata __at(0xE700) volatile uint8_t COMMAND[64];
__xdata __at(0xE740) volatile uint8_t REPLY[64];

#define FRAME_GO 1
#define FRAME_HALT 2
#define I2C_WRITE 1
#define I2C_READ 2
#define I2C_DONE 0x01
#define PACKET_BYTES 64
#define CONTROL_PENDING 0x01
#define CONTROL_DONE 1
#define CONTROL_REFUSE 2

#endif
