// The kernel-streaming class driver on the host: driver registration, the
// device with its mutex and object bag, filter factories and filters.
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "host_internal.h"
#include "ks_internal.h"
#include "platform/ks_host.h"

namespace host {

namespace {

const ULONG kTagBag = 0x67624b53;  // "SKbg"

// Bag entries are pool allocations, so a test that makes allocations fail
// also makes the class driver refuse an item, as the real bag can.
struct BagEntry {
  BagEntry* next;
  PVOID item;
  PFNKSFREE free;
  ULONG editedSize;  // bytes of a copy _KsEdit made, 0 for other items
};

struct ObjectBag {
  std::mutex lock;
  BagEntry* newest = nullptr;  // guarded by lock
};

// Which device each filter and pin belongs to, for KsGetDevice.
std::mutex ownersLock;
std::map<const void*, PKSDEVICE>& Owners() {
  static auto* owners = new std::map<const void*, PKSDEVICE>;
  return *owners;
}

// Takes the entry of item out of the bag; null when the bag does not own it.
BagEntry* UnlinkBagEntry(ObjectBag* bag, PVOID item) {
  std::lock_guard<std::mutex> guard(bag->lock);
  for (BagEntry** link = &bag->newest; *link != nullptr; link = &(*link)->next)
    if ((*link)->item == item) {
      BagEntry* entry = *link;
      *link = entry->next;
      return entry;
    }
  return nullptr;
}

// The size _KsEdit gave item if the bag owns it as an edited copy; 0 for an
// item it does not own or did not copy.
ULONG EditedSize(ObjectBag* bag, PVOID item) {
  std::lock_guard<std::mutex> guard(bag->lock);
  for (BagEntry* entry = bag->newest; entry != nullptr; entry = entry->next)
    if (entry->item == item) return entry->editedSize;
  return 0;
}

void NoteEditedSize(ObjectBag* bag, PVOID item, ULONG size) {
  std::lock_guard<std::mutex> guard(bag->lock);
  for (BagEntry* entry = bag->newest; entry != nullptr; entry = entry->next)
    if (entry->item == item) entry->editedSize = size;
}

// A data range of a client or of a pin matches when each of its three GUIDs
// is equal or a wildcard on either side.
bool GuidsMatch(const GUID& a, const GUID& b) {
  return IsEqualGUID(a, b) || IsEqualGUID(a, KSDATAFORMAT_TYPE_WILDCARD) ||
         IsEqualGUID(b, KSDATAFORMAT_TYPE_WILDCARD);
}

constexpr ULONG kRangeAlignment = 8;

// The caller's ranges as the class driver validates them before any reaches
// a minidriver: the list fits the request, and every range is at least a
// KSDATARANGE, lies inside the list and starts 8-byte aligned.
bool ValidRangeList(const UCHAR* list, ULONG listBytes, std::vector<const KSDATARANGE*>* ranges) {
  if (listBytes < sizeof(KSMULTIPLE_ITEM)) return false;
  KSMULTIPLE_ITEM header;
  memcpy(&header, list, sizeof(header));
  if (header.Size < sizeof(KSMULTIPLE_ITEM) || header.Size > listBytes || header.Count == 0) return false;
  ULONG offset = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < header.Count; ++i) {
    if (header.Size - offset < sizeof(KSDATARANGE)) return false;
    auto* range = reinterpret_cast<const KSDATARANGE*>(list + offset);
    if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > header.Size - offset) return false;
    ranges->push_back(range);
    ULONG padded = (range->FormatSize + kRangeAlignment - 1) & ~(kRangeAlignment - 1);
    if (i + 1 < header.Count && padded > header.Size - offset) return false;
    offset += padded;
  }
  return true;
}

}  // namespace

// The request the class driver hands a minidriver callback: its own, so
// never failed or counted as the driver's.
PIRP RigIrp(CCHAR stackSize) {
  RigAllocations rig;
  return IoAllocateIrp(stackSize, FALSE);
}

void SetOwner(const void* object, PKSDEVICE device) {
  std::lock_guard<std::mutex> guard(ownersLock);
  if (device != nullptr) Owners()[object] = device;
  else Owners().erase(object);
}

bool RangesMatch(const KSDATARANGE& caller, const KSDATARANGE& pin) {
  return GuidsMatch(caller.MajorFormat, pin.MajorFormat) && GuidsMatch(caller.SubFormat, pin.SubFormat) &&
         GuidsMatch(caller.Specifier, pin.Specifier);
}

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* filter, ULONG pinId) {
  if (filter == nullptr || pinId >= filter->PinDescriptorsCount) return nullptr;
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const UCHAR*>(filter->PinDescriptors) +
                                                      size_t(pinId) * filter->PinDescriptorSize);
}

KSOBJECT_BAG CreateObjectBag() { return new ObjectBag; }

void DestroyObjectBag(KSOBJECT_BAG bag) {
  auto* objectBag = static_cast<ObjectBag*>(bag);
  BagEntry* entry;
  {
    std::lock_guard<std::mutex> guard(objectBag->lock);
    entry = objectBag->newest;
    objectBag->newest = nullptr;
  }
  while (entry != nullptr) {
    BagEntry* next = entry->next;
    if (entry->free != nullptr) entry->free(entry->item);
    else ExFreePool(entry->item);
    ExFreePoolWithTag(entry, kTagBag);
    entry = next;
  }
  delete objectBag;
}

size_t ObjectBagSize(KSOBJECT_BAG bag) {
  auto* objectBag = static_cast<ObjectBag*>(bag);
  std::lock_guard<std::mutex> guard(objectBag->lock);
  size_t count = 0;
  for (BagEntry* entry = objectBag->newest; entry != nullptr; entry = entry->next) ++count;
  return count;
}

// ---------------------------------------------------------------------------

KsClassDriver::KsClassDriver() { driverObject_.DriverExtension = this; }
KsClassDriver::~KsClassDriver() = default;

NTSTATUS KsClassDriver::Load(DRIVER_INITIALIZE* entry) {
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kscam");
  return entry(&driverObject_, &registryPath);
}

KsDeviceHost::KsDeviceHost(KsClassDriver& driver, PDEVICE_OBJECT physicalDevice) : driver_(driver) {
  functionalDevice_.DriverObject = driver.DriverObject();
  functionalDevice_.DeviceExtension = this;
  functionalDevice_.StackSize = CHAR(physicalDevice->StackSize + 1);
  device_.FunctionalDeviceObject = &functionalDevice_;
  device_.PhysicalDeviceObject = physicalDevice;
  device_.NextDeviceObject = physicalDevice;
  device_.Descriptor = driver.DeviceDescriptor();
}

KsDeviceHost::~KsDeviceHost() {
  if (device_.Started) Stop();
  if (added_) Remove();
}

KsDeviceHost* KsDeviceHost::FromFunctionalDevice(PDEVICE_OBJECT device) {
  return device == nullptr ? nullptr : static_cast<KsDeviceHost*>(device->DeviceExtension);
}

NTSTATUS KsDeviceHost::Add() {
  device_.Bag = CreateObjectBag();
  device_.Context = nullptr;
  added_ = true;
  DriverDeviceAdded();
  const KSDEVICE_DISPATCH* dispatch = device_.Descriptor ? device_.Descriptor->Dispatch : nullptr;
  if (dispatch == nullptr || dispatch->Add == nullptr) return STATUS_SUCCESS;
  NTSTATUS status = dispatch->Add(&device_);
  if (!NT_SUCCESS(status)) Remove();  // the plug-and-play manager tears a failed add down
  return status;
}

NTSTATUS KsDeviceHost::Start() {
  const KSDEVICE_DISPATCH* dispatch = device_.Descriptor ? device_.Descriptor->Dispatch : nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Start != nullptr) {
    PIRP irp = RigIrp(functionalDevice_.StackSize);
    status = dispatch->Start(&device_, irp, nullptr, nullptr);
    if (irp != nullptr) IoFreeIrp(irp);
  }
  if (NT_SUCCESS(status)) device_.Started = TRUE;
  return status;
}

void KsDeviceHost::Stop() {
  const KSDEVICE_DISPATCH* dispatch = device_.Descriptor ? device_.Descriptor->Dispatch : nullptr;
  if (dispatch != nullptr && dispatch->Stop != nullptr) {
    PIRP irp = RigIrp(functionalDevice_.StackSize);
    dispatch->Stop(&device_, irp);
    if (irp != nullptr) IoFreeIrp(irp);
  }
  device_.Started = FALSE;
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<FilterFactoryRecord> kept;
  for (auto& factory : factories_)
    if (!(factory.createItemFlags & KSCREATE_ITEM_FREEONSTOP)) kept.push_back(factory);
  factories_ = kept;
}

void KsDeviceHost::Remove() {
  if (!added_) return;
  CloseAllPins();
  std::vector<std::unique_ptr<FilterObject>> filters;
  {
    std::lock_guard<std::mutex> guard(lock_);
    filters.swap(filters_);
    factories_.clear();
  }
  for (auto& filter : filters) {
    DestroyObjectBag(filter->filter.Bag);
    SetOwner(&filter->filter, nullptr);
  }
  DestroyObjectBag(device_.Bag);
  device_.Bag = nullptr;
  device_.Context = nullptr;
  added_ = false;
  DriverDeviceRemoved();
}

std::vector<FilterFactoryRecord> KsDeviceHost::FilterFactories() {
  std::lock_guard<std::mutex> guard(lock_);
  return factories_;
}

NTSTATUS KsDeviceHost::AddFilterFactory(const FilterFactoryRecord& record) {
  std::lock_guard<std::mutex> guard(lock_);
  factories_.push_back(record);
  return STATUS_SUCCESS;
}

bool KsDeviceHost::DeviceMutexHeldByCaller() {
  if (!deviceMutex_.try_lock()) return false;  // held by another thread
  bool held = mutexDepth_ > 0;
  deviceMutex_.unlock();
  return held;
}

void KsDeviceHost::NoteMutexAcquired() { ++mutexDepth_; }
void KsDeviceHost::NoteMutexReleased() { --mutexDepth_; }

bool KsDeviceHost::IsOpenFilter(PKSFILTER filter) { return FindFilter(filter) != nullptr; }

KsDeviceHost::FilterObject* KsDeviceHost::FindFilter(PKSFILTER filter) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& object : filters_)
    if (&object->filter == filter) return object.get();
  return nullptr;
}

NTSTATUS KsDeviceHost::PinDataIntersection(PKSFILTER filter, const void* request, ULONG requestBytes,
                                           void* format, ULONG formatBytes, ULONG* information) {
  *information = 0;
  if (!IsOpenFilter(filter)) return STATUS_INVALID_HANDLE;
  if (requestBytes < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
  // The class driver captures the client's buffers; the minidriver sees
  // copies of exactly the client's lengths, so a read or write past them is
  // caught here as it would fault there.
  std::unique_ptr<UCHAR[]> input(new UCHAR[requestBytes]);
  memcpy(input.get(), request, requestBytes);
  KSP_PIN property;
  memcpy(&property, input.get(), sizeof(property));
  if (!IsEqualGUID(property.Property.Set, KSPROPSETID_Pin) || property.Property.Id != KSPROPERTY_PIN_DATAINTERSECTION ||
      property.Property.Flags != KSPROPERTY_TYPE_GET)
    return STATUS_NOT_FOUND;
  const KSPIN_DESCRIPTOR_EX* pin = PinDescriptorAt(filter->Descriptor, property.PinId);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<const KSDATARANGE*> callerRanges;
  if (!ValidRangeList(input.get() + sizeof(KSP_PIN), requestBytes - ULONG(sizeof(KSP_PIN)), &callerRanges))
    return STATUS_INVALID_PARAMETER;
  if (pin->IntersectHandler == nullptr) return STATUS_NOT_IMPLEMENTED;

  std::unique_ptr<UCHAR[]> output(formatBytes != 0 ? new UCHAR[formatBytes] : nullptr);
  for (const KSDATARANGE* caller : callerRanges)
    for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
      PKSDATARANGE own = pin->PinDescriptor.DataRanges[i];
      if (!RangesMatch(*caller, *own)) continue;
      ULONG dataSize = 0;
      NTSTATUS status = pin->IntersectHandler(filter, nullptr, reinterpret_cast<PKSP_PIN>(input.get()),
                                              const_cast<PKSDATARANGE>(caller), own, formatBytes, output.get(),
                                              &dataSize);
      if (status == STATUS_NO_MATCH) continue;
      if (status == STATUS_BUFFER_OVERFLOW) {
        if (formatBytes != 0) PlatformFault("intersect handler asked for the size with a buffer given");
        *information = dataSize;
      } else if (NT_SUCCESS(status)) {
        if (dataSize > formatBytes) PlatformFault("intersect handler wrote past the client's buffer");
        memcpy(format, output.get(), dataSize);
        *information = dataSize;
      }
      return status;
    }
  return STATUS_NO_MATCH;
}

PKSFILTER KsDeviceHost::OpenFilter(NTSTATUS* status) {
  const KSFILTER_DESCRIPTOR* descriptor;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (factories_.empty()) {
      *status = STATUS_OBJECT_NAME_NOT_FOUND;
      return nullptr;
    }
    descriptor = factories_.back().descriptor;
  }
  auto object = std::make_unique<FilterObject>();
  object->filter.Descriptor = descriptor;
  object->filter.Bag = CreateObjectBag();
  SetOwner(&object->filter, &device_);
  *status = STATUS_SUCCESS;
  if (descriptor->Dispatch != nullptr && descriptor->Dispatch->Create != nullptr) {
    PIRP irp = RigIrp(functionalDevice_.StackSize);
    *status = descriptor->Dispatch->Create(&object->filter, irp);
    if (irp != nullptr) IoFreeIrp(irp);
  }
  if (!NT_SUCCESS(*status)) {
    DestroyObjectBag(object->filter.Bag);
    SetOwner(&object->filter, nullptr);
    return nullptr;
  }
  PKSFILTER filter = &object->filter;
  std::lock_guard<std::mutex> guard(lock_);
  filters_.push_back(std::move(object));
  return filter;
}

NTSTATUS KsDeviceHost::CloseFilter(PKSFILTER filter) {
  if (!IsOpenFilter(filter)) return STATUS_INVALID_PARAMETER;
  // The class driver closes a filter's pins before the filter itself.
  ClosePinsOf(filter);
  std::unique_ptr<FilterObject> object;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = filters_.begin(); it != filters_.end(); ++it)
      if (&(*it)->filter == filter) {
        object = std::move(*it);
        filters_.erase(it);
        break;
      }
  }
  if (!object) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  if (filter->Descriptor->Dispatch != nullptr && filter->Descriptor->Dispatch->Close != nullptr) {
    PIRP irp = RigIrp(functionalDevice_.StackSize);
    status = filter->Descriptor->Dispatch->Close(filter, irp);
    if (irp != nullptr) IoFreeIrp(irp);
  }
  DestroyObjectBag(filter->Bag);
  SetOwner(filter, nullptr);
  return status;
}

}  // namespace host

using host::KsDeviceHost;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor) {
  (void)registryPath;
  auto* classDriver = static_cast<host::KsClassDriver*>(driverObject->DriverExtension);
  if (classDriver == nullptr) return STATUS_INVALID_PARAMETER;
  classDriver->SetDescriptor(descriptor);
  return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                               PWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                               ULONG createItemFlags, PVOID sleepCallback, PVOID wakeCallback,
                               PKSFILTERFACTORY* filterFactory) {
  KsDeviceHost* deviceHost = KsDeviceHost::FromFunctionalDevice(deviceObject);
  if (deviceHost == nullptr || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  host::FilterFactoryRecord record;
  record.descriptor = descriptor;
  record.referenceString = refString ? std::u16string(refString) : std::u16string();
  record.createItemFlags = createItemFlags;
  record.securityDescriptor = securityDescriptor != nullptr;
  record.sleepCallback = sleepCallback != nullptr;
  record.wakeCallback = wakeCallback != nullptr;
  record.askedForFactory = filterFactory != nullptr;
  record.deviceMutexHeld = deviceHost->DeviceMutexHeldByCaller();
  // Creating a factory allocates the class driver's own records.
  PVOID header = ExAllocatePoolWithTag(NonPagedPool, 64, 0x66664b53 /* "SKff" */);
  if (header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ExFreePoolWithTag(header, 0x66664b53);
  if (filterFactory != nullptr) *filterFactory = nullptr;
  return deviceHost->AddFilterFactory(record);
}

void KsAcquireDevice(PKSDEVICE device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) host::PlatformFault("KsAcquireDevice above passive level");
  KsDeviceHost* deviceHost = KsDeviceHost::FromFunctionalDevice(device->FunctionalDeviceObject);
  deviceHost->DeviceMutex().lock();
  deviceHost->NoteMutexAcquired();
}

void KsReleaseDevice(PKSDEVICE device) {
  KsDeviceHost* deviceHost = KsDeviceHost::FromFunctionalDevice(device->FunctionalDeviceObject);
  if (!deviceHost->DeviceMutexHeldByCaller()) host::PlatformFault("KsReleaseDevice by a thread that does not hold the device mutex");
  deviceHost->NoteMutexReleased();
  deviceHost->DeviceMutex().unlock();
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG objectBag, PVOID item, PFNKSFREE free) {
  if (objectBag == nullptr) return STATUS_INVALID_PARAMETER;
  auto* entry = static_cast<host::BagEntry*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(host::BagEntry), host::kTagBag));
  if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* bag = static_cast<host::ObjectBag*>(objectBag);
  std::lock_guard<std::mutex> guard(bag->lock);
  entry->item = item;
  entry->free = free;
  entry->editedSize = 0;
  entry->next = bag->newest;
  bag->newest = entry;
  return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID object) {
  std::lock_guard<std::mutex> guard(host::ownersLock);
  auto it = host::Owners().find(object);
  return it == host::Owners().end() ? nullptr : it->second;
}

NTSTATUS _KsEdit(KSOBJECT_BAG objectBag, PVOID* pointerToItem, ULONG newSize, ULONG oldSize, ULONG tag) {
  if (objectBag == nullptr || pointerToItem == nullptr || *pointerToItem == nullptr || newSize == 0)
    return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) host::PlatformFault("_KsEdit above passive level");
  auto* bag = static_cast<host::ObjectBag*>(objectBag);
  PVOID old = *pointerToItem;
  if (host::EditedSize(bag, old) >= newSize) return STATUS_SUCCESS;
  PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, newSize, tag);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kept = oldSize < newSize ? oldSize : newSize;
  memcpy(copy, old, kept);
  memset(static_cast<UCHAR*>(copy) + kept, 0, newSize - kept);
  NTSTATUS status = KsAddItemToObjectBag(objectBag, copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(copy, tag);
    return status;
  }
  host::NoteEditedSize(bag, copy, newSize);
  *pointerToItem = copy;
  if (host::BagEntry* entry = host::UnlinkBagEntry(bag, old)) {
    if (entry->free != nullptr) entry->free(entry->item);
    else ExFreePool(entry->item);
    ExFreePoolWithTag(entry, host::kTagBag);
  }
  return STATUS_SUCCESS;
}

