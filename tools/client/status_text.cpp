#include "tools/client/status_text.h"

#include <stdio.h>

namespace kscam {

namespace {

struct StatusName {
  NTSTATUS status;
  const char* name;
};

const StatusName kNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    {STATUS_CANCELLED, "STATUS_CANCELLED"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
};

}  // namespace

std::string StatusText(NTSTATUS status) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", unsigned(status));
  for (const StatusName& entry : kNames)
    if (entry.status == status) return std::string(entry.name) + " (" + hex + ")";
  return hex;
}

}  // namespace kscam
