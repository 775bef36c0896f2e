// Shared between the class driver's sources on the host (filters and pins);
// not seen by the driver or the test rig.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/ks_host.h"

namespace host {

struct PinObject;

// A request of the class driver's own for a minidriver callback (may be
// null when a tag fault makes it fail).
PIRP RigIrp(CCHAR stackSize);
// Records which device a filter or pin belongs to (null forgets it).
void SetOwner(const void* object, PKSDEVICE device);
// Whether a caller's range or format and a pin's range name the same major
// format, subformat and specifier (the all-zero GUID matching any).
bool RangesMatch(const KSDATARANGE& caller, const KSDATARANGE& pin);
// The pin descriptor of pinId in a filter descriptor, or null past the end.
const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* filter, ULONG pinId);

}  // namespace host

struct host::KsDeviceHost::FilterObject {
  KSFILTER filter{};
  // Serialises pin creation and closing on this filter, as the class
  // driver's filter control mutex does, so instance counts hold.
  std::mutex control;
  std::vector<std::shared_ptr<PinObject>> pins;  // guarded by the device host's lock_
};
