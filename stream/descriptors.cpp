// Descriptor tables. All are constant-initialised; each filter replaces the
// pin's data range with its device's own in a private copy.
#include "stream/descriptors.h"

#include "controls/property_set.h"
#include "driver/device_dispatch.h"
#include "stream/capture_pin.h"
#include "stream/intersect.h"
#include "stream/ks_guids.h"
#include "stream/video_range.h"

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,   // Add
    DeviceStart, // Start
    nullptr,     // PostStart
    nullptr,     // QueryStop
    nullptr,     // CancelStop
    DeviceStop,  // Stop
    nullptr,     // QueryRemove
    nullptr,     // CancelRemove
    nullptr,     // Remove
    nullptr,     // QueryCapabilities
    nullptr,     // SurpriseRemoval
    nullptr,     // QueryPower
    nullptr,     // SetPower
    nullptr,     // QueryInterface
};

const KSFILTER_DISPATCH kFilterDispatch = {
    FilterCreate,
    FilterClose,
    nullptr,  // Process: the pin does the work
    nullptr,  // Reset
};

// Only a filter's private copy of this list is ever offered to clients; the
// class driver never writes through it.
const PKSDATARANGE kPinDataRanges[] = {const_cast<PKSDATARANGE>(&kVideoDataRangeTemplate.DataRange)};

// Video and capture make the filter a video capture source; the video-camera
// category is the one media frameworks and the system's camera application
// enumerate. The class driver turns on interfaces only for categories listed
// here, whatever the INF adds.
const GUID kFilterCategories[] = {kCategoryVideo, kCategoryCapture, kCategoryVideoCamera};

const KSPIN_DISPATCH kPinDispatch = {
    CapturePinCreate,
    CapturePinClose,
    CapturePinProcess,
    nullptr,  // Reset
    CapturePinSetDataFormat,
    CapturePinSetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};

const KSPIN_DESCRIPTOR_EX kPinDescriptors[] = {
    {
        &kPinDispatch,
        nullptr,  // AutomationTable
        {
            0, nullptr,  // the class driver's standard interface
            0, nullptr,  // and medium
            1, kPinDataRanges,
            KSPIN_DATAFLOW_OUT,
            KSPIN_COMMUNICATION_BOTH,
            &kPinNameVideoCapture,
            &kPinNameVideoCapture,
            {0},
        },
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
        1,  // InstancesPossible
        1,  // InstancesNecessary
        &kAllocatorFramingTemplate,
        IntersectVideoRange,
    },
};

}  // namespace

const KSALLOCATOR_FRAMING_EX kAllocatorFramingTemplate = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        kMemoryTypeKernelNonPaged,
        kNullGuid,  // BusType
        0,          // MemoryFlags
        0,          // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,              // Frames
        0,              // FileAlignment: byte alignment
        0,              // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},       // PhysicalRange
        {{8192, 8192, 1}, 0, 0},  // FramingRange
    }},
};

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    &kFilterDispatch,
    &kCameraAutomationTable,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &kNameFilter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    kPinDescriptors,
    sizeof(kFilterCategories) / sizeof(kFilterCategories[0]),
    kFilterCategories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,
    0,
    nullptr,
    nullptr,  // ComponentId
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {
    &kDeviceDispatch,
    0,        // no filter descriptors: the filter is registered through a factory at start
    nullptr,
    0,
};

namespace {

// Copies the item into the filter's bag unless it is there already.
template <typename T>
NTSTATUS EditInFilterBag(PKSFILTER filter, const T** item, ULONG bytes) {
  return _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<T**>(item)), bytes, bytes, kTagFrames);
}

}  // namespace

// On failure the copies made so far stay in the bag, which the class driver
// empties when the create fails.
NTSTATUS OfferDeviceRange(PKSFILTER filter, KS_DATARANGE_VIDEO* range) {
  NTSTATUS status = EditInFilterBag(filter, &filter->Descriptor, sizeof(KSFILTER_DESCRIPTOR));
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
  status = EditInFilterBag(filter, &descriptor->PinDescriptors,
                           descriptor->PinDescriptorsCount * descriptor->PinDescriptorSize);
  if (!NT_SUCCESS(status)) return status;
  auto* pin = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors);
  status = EditInFilterBag(filter, &pin->PinDescriptor.DataRanges, sizeof(PKSDATARANGE));
  if (!NT_SUCCESS(status)) return status;
  const_cast<PKSDATARANGE*>(pin->PinDescriptor.DataRanges)[0] = &range->DataRange;
  return STATUS_SUCCESS;
}
