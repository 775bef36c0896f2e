// Fuzz target: a client's data-intersection request with one proposed range,
// through the class driver to the pin's intersect handler. Input: the format
// buffer's size (2 bytes), a flag byte (bit 0: keep the range's own
// FormatSize, else make it the range's length) and the range.
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_camera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  ULONG formatBytes = input.Take(2);
  bool keepFormatSize = (input.Take(1) & 1) != 0;
  std::vector<uint8_t> range = input.Rest();
  if (!keepFormatSize && range.size() >= sizeof(ULONG)) {
    ULONG length = ULONG(range.size());
    memcpy(range.data(), &length, sizeof(length));
  }

  KSP_PIN pin{};
  pin.Property.Set = KSPROPSETID_Pin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  KSMULTIPLE_ITEM list{ULONG(sizeof(KSMULTIPLE_ITEM) + range.size()), 1};
  std::vector<uint8_t> request(sizeof(pin) + sizeof(list));
  memcpy(request.data(), &pin, sizeof(pin));
  memcpy(request.data() + sizeof(pin), &list, sizeof(list));
  request.insert(request.end(), range.begin(), range.end());

  // Exactly the buffer the client gave, so a write past it is caught.
  std::unique_ptr<uint8_t[]> format(formatBytes ? new uint8_t[formatBytes] : nullptr);
  ULONG information = 0;
  fuzz::PoolBalance balance("an intersection");
  NTSTATUS status = fuzz::Camera().KsDevice().PinDataIntersection(
      fuzz::Filter(), request.data(), ULONG(request.size()), format.get(), formatBytes, &information);
  if (NT_SUCCESS(status)) {
    auto* head = reinterpret_cast<const KSDATAFORMAT*>(format.get());
    if (information > formatBytes || head->FormatSize != information) abort();
  } else if (status == STATUS_BUFFER_OVERFLOW && formatBytes != 0) {
    abort();  // a size answer only to a size query
  }
  return 0;
}
