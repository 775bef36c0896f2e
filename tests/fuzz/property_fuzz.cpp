// Fuzz target: a client's property request on the filter, through the class
// driver's checks to the camera's property handler and on to the camera.
// Input: the request's and the data buffer's lengths (1 byte each), a flag
// byte (bit 0: the camera's property set in the request, bit 1: the id
// brought into the table's range), then the request's bytes and the data's.
#include <stdlib.h>
#include <string.h>

#include "controls/property_set.h"
#include "fuzz/fuzz_camera.h"
#include "tools/client/camera_controls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  ULONG requestBytes = input.Take(1);
  ULONG dataBytes = input.Take(1);
  uint32_t flags = input.Take(1);
  std::vector<uint8_t> request(requestBytes), buffer(dataBytes);
  for (uint8_t& byte : request) byte = uint8_t(input.Take(1));
  for (uint8_t& byte : buffer) byte = uint8_t(input.Take(1));
  if ((flags & 1) && requestBytes >= sizeof(GUID)) memcpy(request.data(), &kCameraPropertySet, sizeof(GUID));
  if ((flags & 2) && requestBytes >= offsetof(KSPROPERTY, Flags)) {
    ULONG id;
    memcpy(&id, request.data() + offsetof(KSPROPERTY, Id), sizeof(id));
    id %= kCameraPropertyCount;
    memcpy(request.data() + offsetof(KSPROPERTY, Id), &id, sizeof(id));
  }

  ULONG information = 0;
  fuzz::PoolBalance balance("a property request");
  NTSTATUS status = kscam::SendPropertyRequest(fuzz::Camera().KsDevice(), fuzz::Filter(),
                                               request.empty() ? nullptr : request.data(), requestBytes,
                                               buffer.empty() ? nullptr : buffer.data(), dataBytes, &information);
  if (NT_SUCCESS(status) && information > dataBytes) abort();
  return 0;
}
