// Property requests on filters, as the class driver dispatches them through
// the filter's automation table, and KsGetFilterFromIrp for their handlers.
#include <string.h>

#include <map>
#include <memory>
#include <mutex>

#include "host_internal.h"
#include "ks_internal.h"
#include "platform/ks_host.h"

namespace host {

namespace {

// The filter each property request in flight was sent to.
std::mutex requestsLock;
std::map<PIRP, PKSFILTER>& Requests() {  // guarded by requestsLock
  static auto* requests = new std::map<PIRP, PKSFILTER>;
  return *requests;
}

// Finds the item for the request in the automation table, or says why not.
NTSTATUS FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY& property, const KSPROPERTY_ITEM** item) {
  if (table == nullptr) return STATUS_PROPSET_NOT_FOUND;
  if (table->PropertyItemSize < sizeof(KSPROPERTY_ITEM) && table->PropertySetsCount != 0)
    PlatformFault("automation table with property items smaller than KSPROPERTY_ITEM");
  for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET& set = table->PropertySets[s];
    if (!IsEqualGUID(*set.Set, property.Set)) continue;
    auto* items = reinterpret_cast<const UCHAR*>(set.PropertyItem);
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      auto* candidate = reinterpret_cast<const KSPROPERTY_ITEM*>(items + size_t(i) * table->PropertyItemSize);
      if (candidate->PropertyId == property.Id) {
        *item = candidate;
        return STATUS_SUCCESS;
      }
    }
    return STATUS_NOT_FOUND;
  }
  return STATUS_PROPSET_NOT_FOUND;
}

// The class driver's own answer to basic support: the access flags.
NTSTATUS BasicSupport(const KSPROPERTY_ITEM& item, UCHAR* data, ULONG dataBytes, ULONG* information) {
  if (dataBytes < sizeof(ULONG)) return dataBytes == 0 ? (*information = sizeof(ULONG), STATUS_BUFFER_OVERFLOW)
                                                       : STATUS_BUFFER_TOO_SMALL;
  ULONG access = (item.GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                 (item.SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
  memcpy(data, &access, sizeof(access));
  *information = sizeof(access);
  return STATUS_SUCCESS;
}

NTSTATUS CallHandler(PKSFILTER filter, PFNKSHANDLER handler, UCHAR* request, UCHAR* data, ULONG_PTR preset,
                     ULONG* information) {
  PKSDEVICE device = KsGetDevice(filter);
  PIRP irp = RigIrp(CHAR(device->FunctionalDeviceObject->StackSize));
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = preset;
  {
    std::lock_guard<std::mutex> guard(requestsLock);
    Requests()[irp] = filter;
  }
  NTSTATUS status = handler(irp, reinterpret_cast<PKSIDENTIFIER>(request), data);
  {
    std::lock_guard<std::mutex> guard(requestsLock);
    Requests().erase(irp);
  }
  *information = NT_SUCCESS(status) ? ULONG(irp->IoStatus.Information) : 0;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

NTSTATUS FilterPropertyRequest(KsDeviceHost& device, PKSFILTER filter, const void* request, ULONG requestBytes,
                               void* data, ULONG dataBytes, ULONG* information) {
  *information = 0;
  if (filter == nullptr || KsGetDevice(filter) != device.Device()) return STATUS_INVALID_HANDLE;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) PlatformFault("property request above passive level");
  if (request == nullptr || requestBytes < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (data == nullptr && dataBytes != 0) return STATUS_ACCESS_VIOLATION;  // the probe of the buffer faults
  // The class driver captures the client's buffers: the handler sees copies
  // of exactly the client's lengths, so a read or write past them is caught
  // here as it would fault there.
  std::unique_ptr<UCHAR[]> input(new UCHAR[requestBytes]);
  memcpy(input.get(), request, requestBytes);
  KSPROPERTY property;
  memcpy(&property, input.get(), sizeof(property));
  const KSPROPERTY_ITEM* item = nullptr;
  NTSTATUS found = FindItem(filter->Descriptor->AutomationTable, property, &item);
  if (!NT_SUCCESS(found)) return found;
  if (requestBytes < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
  std::unique_ptr<UCHAR[]> buffer(new UCHAR[dataBytes == 0 ? 1 : dataBytes]);
  if (dataBytes != 0) memcpy(buffer.get(), data, dataBytes);

  if (property.Flags == KSPROPERTY_TYPE_BASICSUPPORT) {
    NTSTATUS status = BasicSupport(*item, buffer.get(), dataBytes, information);
    if (NT_SUCCESS(status)) memcpy(data, buffer.get(), *information);
    return status;
  }
  if (property.Flags != KSPROPERTY_TYPE_GET && property.Flags != KSPROPERTY_TYPE_SET) return STATUS_INVALID_PARAMETER;
  bool get = property.Flags == KSPROPERTY_TYPE_GET;
  PFNKSHANDLER handler = get ? item->GetPropertyHandler : item->SetPropertyHandler;
  if (handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (dataBytes == 0 && item->MinData != 0) {
    *information = item->MinData;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (dataBytes < item->MinData) return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS status = CallHandler(filter, handler, input.get(), dataBytes == 0 ? nullptr : buffer.get(),
                                get ? item->MinData : 0, information);
  if (*information > dataBytes) PlatformFault("property handler reported more bytes than the client's buffer");
  if (NT_SUCCESS(status) && get) memcpy(data, buffer.get(), *information);
  return status;
}

}  // namespace host

// The class driver knows which filter a request was sent to from the file
// object; here, from the requests in flight.
PKSFILTER KsGetFilterFromIrp(PIRP irp) {
  std::lock_guard<std::mutex> guard(host::requestsLock);
  auto it = host::Requests().find(irp);
  return it == host::Requests().end() ? nullptr : it->second;
}
