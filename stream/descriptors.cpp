// Descriptor tables. All are constant-initialised; only the video data range
// they point to is rewritten at run time.
#include "stream/descriptors.h"

#include "driver/device_dispatch.h"
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

const PKSDATARANGE kPinDataRanges[] = {&videoDataRange.DataRange};

// Video and capture make the filter a video capture source; the video-camera
// category is the one media frameworks and the system's camera application
// enumerate. The class driver turns on interfaces only for categories listed
// here, whatever the INF adds.
const GUID kFilterCategories[] = {kCategoryVideo, kCategoryCapture, kCategoryVideoCamera};

const KSPIN_DESCRIPTOR_EX kPinDescriptors[] = {
    {
        nullptr,  // Dispatch: joins with the capture pin
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
        nullptr,  // IntersectHandler: joins with format negotiation
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
    nullptr,  // AutomationTable: joins with the property set
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
