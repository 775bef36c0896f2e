// The platform interfaces the driver is written against: the kernel, the
// kernel-streaming class driver and the USB bus driver. The Windows build takes
// them from the DDK headers; the host build from our stand-in in platform/.
#pragma once

#if defined(KSCAM_WINDOWS_KERNEL)
#include <ntddk.h>
#include <windef.h>
#include <tchar.h>
// Kernel-mode COM: the class driver hands out the pin's reference clock as
// an interface, which ks.h declares only once IUnknown is known.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __declspec(nothrow)
#endif
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
// The usbd library header declares its functions without C linkage.
extern "C" {
#include <usbdlib.h>
}
// usbioctl.h also declares the hub's node kinds, one of which is named like
// our transport record, so the three internal codes we use are spelled here
// with the platform's values (the host build checks them).
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS 0x00220013
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002
#else
#include "platform/ks.h"
#include "platform/nt.h"
#include "platform/usb.h"
#endif

#include <stdint.h>
#include <string.h>

// Pool tags are four characters as they appear in a pool dump: the first
// character is the lowest byte of the tag value.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<uint8_t>(text[0])) |
         static_cast<ULONG>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<uint8_t>(text[3])) << 24;
}

constexpr ULONG kTagRecords = PoolTag("KCNw");   // device, capture, filter and pin records
constexpr ULONG kTagUsb = PoolTag("Vdrv");       // USB request blocks and descriptor buffers
constexpr ULONG kTagFrames = PoolTag("Vwrk");    // frame buffers, private descriptor copies
constexpr ULONG kTagPipeline = PoolTag("IsyR");  // the image pipeline record
