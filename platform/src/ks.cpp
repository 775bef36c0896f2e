// The kernel-streaming class driver on the host: driver registration, the
// device with its mutex and object bag, filter factories and filters.
#include <map>
#include <mutex>
#include <thread>

#include "host_internal.h"
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

void SetOwner(const void* object, PKSDEVICE device) {
  std::lock_guard<std::mutex> guard(ownersLock);
  if (device != nullptr) Owners()[object] = device;
  else Owners().erase(object);
}

}  // namespace

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

struct KsDeviceHost::FilterObject {
  KSFILTER filter{};
};

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
    PIRP irp = IoAllocateIrp(functionalDevice_.StackSize, FALSE);
    status = dispatch->Start(&device_, irp, nullptr, nullptr);
    if (irp != nullptr) IoFreeIrp(irp);
  }
  if (NT_SUCCESS(status)) device_.Started = TRUE;
  return status;
}

void KsDeviceHost::Stop() {
  const KSDEVICE_DISPATCH* dispatch = device_.Descriptor ? device_.Descriptor->Dispatch : nullptr;
  if (dispatch != nullptr && dispatch->Stop != nullptr) {
    PIRP irp = IoAllocateIrp(functionalDevice_.StackSize, FALSE);
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
    PIRP irp = IoAllocateIrp(functionalDevice_.StackSize, FALSE);
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
    PIRP irp = IoAllocateIrp(functionalDevice_.StackSize, FALSE);
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
  entry->next = bag->newest;
  bag->newest = entry;
  return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID object) {
  std::lock_guard<std::mutex> guard(host::ownersLock);
  auto it = host::Owners().find(object);
  return it == host::Owners().end() ? nullptr : it->second;
}

PKSFILTER KsGetFilterFromIrp(PIRP irp) {
  (void)irp;
  return nullptr;
}
