// Host stand-in for the kernel-streaming class driver's published interface:
// the AVStream object, descriptor and dispatch records, the video format
// records, and the class driver calls the driver makes.
#pragma once

#include "platform/nt.h"

typedef PVOID KSOBJECT_BAG;
typedef void (NTAPI *PFNKSFREE)(PVOID data);
struct _CM_RESOURCE_LIST;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
struct _FILE_OBJECT;
typedef struct _FILE_OBJECT* PFILE_OBJECT;
typedef struct _SECURITY_DESCRIPTOR* PSECURITY_DESCRIPTOR;
typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0 } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1 } DEVICE_POWER_STATE;

typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
typedef struct _KSDEVICE_DISPATCH KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSFILTER_DISPATCH KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
typedef struct _KSPIN_DISPATCH KSPIN_DISPATCH, *PKSPIN_DISPATCH;
typedef struct _KSAUTOMATION_TABLE KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;

// ---------------------------------------------------------------------------
// Identifiers, formats and ranges.
// ---------------------------------------------------------------------------
typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY, KSMETHOD, KSEVENT, KSPIN_INTERFACE,
    KSPIN_MEDIUM;
typedef const KSPIN_INTERFACE* PCKSPIN_INTERFACE;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// The pin property set: KSPROPERTY_PIN_DATAINTERSECTION takes a KSP_PIN
// followed by a KSMULTIPLE_ITEM of data ranges, each starting on an 8-byte
// boundary, and returns one data format.
#define KSPROPERTY_PIN_DATARANGES 3
#define KSPROPERTY_PIN_DATAINTERSECTION 4
constexpr GUID KSPROPSETID_Pin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
// The all-zero GUID matches any major format, subformat or specifier.
constexpr GUID KSDATAFORMAT_TYPE_WILDCARD = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY;

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 } KSPIN_DATAFLOW;
typedef enum {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4
} KSPIN_COMMUNICATION;
typedef enum { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 } KSSTATE, *PKSSTATE;
typedef enum { KSRESET_BEGIN = 0, KSRESET_END = 1 } KSRESET;

// ---------------------------------------------------------------------------
// Allocator framing.
// ---------------------------------------------------------------------------
typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  ULONG FileAlignment;
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---------------------------------------------------------------------------
// Automation tables.
// ---------------------------------------------------------------------------
typedef NTSTATUS (NTAPI *PFNKSHANDLER)(PIRP irp, PKSIDENTIFIER request, PVOID data);

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const struct KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const void* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

struct _KSAUTOMATION_TABLE {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const void* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const void* EventSets;
};

static_assert(sizeof(KSPROPERTY_ITEM) == 72, "property item layout");

// ---------------------------------------------------------------------------
// Objects.
// ---------------------------------------------------------------------------
struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};

// ---------------------------------------------------------------------------
// Dispatch tables and descriptors.
// ---------------------------------------------------------------------------
typedef NTSTATUS (NTAPI *PFNKSDEVICECREATE)(PKSDEVICE device);
typedef NTSTATUS (NTAPI *PFNKSDEVICEPNPSTART)(PKSDEVICE device, PIRP irp,
                                        PCM_RESOURCE_LIST translatedResources,
                                        PCM_RESOURCE_LIST untranslatedResources);
typedef NTSTATUS (NTAPI *PFNKSDEVICE)(PKSDEVICE device);
typedef NTSTATUS (NTAPI *PFNKSDEVICEIRP)(PKSDEVICE device, PIRP irp);
typedef void (NTAPI *PFNKSDEVICEIRPVOID)(PKSDEVICE device, PIRP irp);
typedef NTSTATUS (NTAPI *PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE device, PIRP irp, PVOID capabilities);
typedef NTSTATUS (NTAPI *PFNKSDEVICEQUERYPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE,
                                          SYSTEM_POWER_STATE, DEVICE_POWER_STATE,
                                          SYSTEM_POWER_STATE, LONG action);
typedef void (NTAPI *PFNKSDEVICESETPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE,
                                    DEVICE_POWER_STATE);

struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
};

#define KSDEVICE_DESCRIPTOR_VERSION (0x100)
struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
};

typedef NTSTATUS (NTAPI *PFNKSFILTERIRP)(PKSFILTER filter, PIRP irp);
typedef NTSTATUS (NTAPI *PFNKSFILTERPROCESS)(PKSFILTER filter, PKSPROCESSPIN_INDEXENTRY index);
typedef NTSTATUS (NTAPI *PFNKSFILTERVOID)(PKSFILTER filter);

struct _KSFILTER_DISPATCH {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
};

typedef NTSTATUS (NTAPI *PFNKSPINIRP)(PKSPIN pin, PIRP irp);
typedef NTSTATUS (NTAPI *PFNKSPIN)(PKSPIN pin);
typedef void (NTAPI *PFNKSPINVOID)(PKSPIN pin);
typedef struct {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;
typedef struct {
  ULONG Count;
  PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;
typedef NTSTATUS (NTAPI *PFNKSPINSETDATAFORMAT)(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                          PKSMULTIPLE_ITEM oldAttributeList,
                                          const KSDATARANGE* dataRange,
                                          const KSATTRIBUTE_LIST* attributeRange);
typedef NTSTATUS (NTAPI *PFNKSPINSETDEVICESTATE)(PKSPIN pin, KSSTATE toState, KSSTATE fromState);

struct _KSPIN_DISPATCH {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const void* Clock;
  const void* Allocator;
};

typedef NTSTATUS (NTAPI *PFNKSINTERSECTHANDLEREX)(PVOID context, PIRP irp, PKSP_PIN pin,
                                            PKSDATARANGE dataRange,
                                            PKSDATARANGE matchingDataRange,
                                            ULONG dataBufferSize, PVOID data, PULONG dataSize);

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000

struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
};

struct _KSNODE_DESCRIPTOR {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION;

typedef struct {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
} KSCOMPONENTID;

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};

#define KSCREATE_ITEM_FREEONSTOP 0x00000008

// ---------------------------------------------------------------------------
// Video formats (ksmedia).
// ---------------------------------------------------------------------------
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE;

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  WINBOOL bFixedSizeSamples;
  WINBOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

#define KS_BI_RGB 0L

static_assert(sizeof(KSDATAFORMAT) == 64, "data format layout");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "video info header layout");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "stream capabilities layout");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "video data range layout");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "framing layout");

// ---------------------------------------------------------------------------
// Stream headers and stream pointers: the frames a pin hands to its client.
// ---------------------------------------------------------------------------
typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;  // present on the 64-bit platform
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100

typedef struct {
  union {
    PUCHAR Data;
    PVOID Mappings;
  };
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
};

// The extended header of a video frame, after its KSSTREAM_HEADER.
typedef struct {
  ULONG ExtendedHeaderSize;
  ULONG dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  union {
    LONG lSurfacePitch;
    ULONG Reserved1;
  };
  ULONG Reserved2;
  union {
    struct {
      ULONG Reserved3;
      ULONG Reserved4;
    };
    ULONGLONG FrameCompletionNumber;
  };
} KS_FRAME_INFO, *PKS_FRAME_INFO;

#define KS_VIDEO_FLAG_FRAME 0x0000L

// ---------------------------------------------------------------------------
// Class driver calls.
// ---------------------------------------------------------------------------
NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor);
NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                               PWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                               ULONG createItemFlags, PVOID sleepCallback, PVOID wakeCallback,
                               PKSFILTERFACTORY* filterFactory);
void NTAPI KsAcquireDevice(PKSDEVICE device);
void NTAPI KsReleaseDevice(PKSDEVICE device);
NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG objectBag, PVOID item, PFNKSFREE free);
PKSDEVICE NTAPI KsGetDevice(PVOID object);
inline PKSDEVICE KsFilterGetDevice(PKSFILTER filter) { return KsGetDevice(filter); }
PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp);
// Makes sure the item *pointerToItem points to is one the bag owns: a copy of
// newSize bytes (the first oldSize copied, the rest zeroed) replaces it unless
// it is already in the bag and large enough; an old item the bag owned is
// freed. On failure nothing changes.
NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG objectBag, PVOID* pointerToItem, ULONG newSize, ULONG oldSize, ULONG tag);


// ---------------------------------------------------------------------------
// Streaming: the leading edge of a pin's queue of client frames, processing,
// and the reference clock.
// ---------------------------------------------------------------------------
typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

// The oldest client frame not yet completed, locked for the caller; null when
// the client has queued none.
PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
// Unlocks the pointer; with eject the frame goes back to the client.
void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject);
// The status the frame's request completes with when it is ejected (success
// unless set); only on a locked pointer.
NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER streamPointer, NTSTATUS status);
// Asks the class driver to call the pin's Process (up to dispatch level).
void NTAPI KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous);
// The pin's processing mutex, which Process runs under; passive level.
void NTAPI KsPinAcquireProcessingMutex(PKSPIN pin);
void NTAPI KsPinReleaseProcessingMutex(PKSPIN pin);
PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN pin);

typedef GUID IID;
typedef const IID& REFIID;

typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

// The clock a pin's client gave it, in 100-nanosecond units.
struct IKsReferenceClock {
  virtual NTSTATUS NTAPI QueryInterface(REFIID interfaceId, PVOID* object) = 0;
  virtual ULONG NTAPI AddRef() = 0;
  virtual ULONG NTAPI Release() = 0;
  virtual LONGLONG NTAPI GetTime() = 0;
  virtual LONGLONG NTAPI GetPhysicalTime() = 0;
  virtual LONGLONG NTAPI GetCorrelatedTime(PLONGLONG systemTime) = 0;
  virtual LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG systemTime) = 0;
  virtual NTSTATUS NTAPI GetResolution(PKSRESOLUTION resolution) = 0;
  virtual NTSTATUS NTAPI GetState(PKSSTATE state) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// STATUS_UNSUCCESSFUL when the pin has no clock; otherwise the caller owns
// one reference and must Release it.
NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* referenceClock);

// ---------------------------------------------------------------------------
// Property requests: the request types beyond get and set, and the answer the
// class driver gives to a basic-support request of an item without a support
// handler.
// ---------------------------------------------------------------------------
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000
