// The host USB bus driver: one port, the physical device object the driver
// sends its requests to, and the boundary to whatever device is plugged in.
// The device side is an interface so that tests can plug in hostile devices;
// the simulated camera is one implementation.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/usb.h"

namespace host {

// The result of a control or OUT transfer as the device answers it.
struct UsbTransferResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  uint32_t bytes = 0;  // bytes moved
};

// What the device hands to a pending IN transfer when asked.
struct UsbInResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // an error completes the transfer with it
  uint32_t bytes = 0;                         // bytes written into the transfer now
  bool transferEnds = false;                  // a short packet ended the transfer
};

// How the device tells the bus that IN data has become available.
class UsbBusSink {
 public:
  virtual void InDataAvailable() = 0;

 protected:
  ~UsbBusSink() = default;
};

// The device behind the port. The bus calls one method at a time, mostly on
// its own thread; a method may call the sink.
class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;
  virtual void Attach(UsbBusSink* bus) { (void)bus; }
  virtual void Detach() {}
  virtual UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                                          uint8_t* buffer, uint32_t length) = 0;
  virtual UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value,
                                          uint16_t index, uint8_t* data, uint32_t length) {
    return {USBD_STATUS_STALL_PID, 0};
  }
  // 0 unconfigures the device.
  virtual USBD_STATUS SelectConfiguration(uint8_t configurationValue) { return USBD_STATUS_SUCCESS; }
  virtual UsbTransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
    return {USBD_STATUS_SUCCESS, length};
  }
  // Fills a pending IN transfer with what is available now; 0 bytes and no end
  // leaves it pending until the device reports more data.
  virtual UsbInResult BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) {
    return {};
  }
  virtual USBD_STATUS ResetPipe(uint8_t endpointAddress) { return USBD_STATUS_SUCCESS; }
  virtual void AbortPipe(uint8_t endpointAddress) {}
  virtual void PortReset() {}
};

// One request as the bus saw it, for tests that check exchanges byte for byte.
struct UsbLogEntry {
  ULONG ioControlCode = 0;
  USHORT urbFunction = 0;
  uint8_t endpointAddress = 0;  // transfers and pipe requests
  uint8_t request = 0;          // vendor requests
  uint16_t value = 0;           // vendor requests
  uint8_t descriptorType = 0;   // descriptor requests
  uint32_t length = 0;          // requested transfer length
  std::vector<uint8_t> data;    // bytes sent to the device (OUT transfers and vendor requests)
  bool configurationCleared = false;  // select-configuration with no descriptor
};

class UsbBus final : private UsbBusSink {
 public:
  // The port number is part of the device instance of what is plugged in,
  // so identical cameras on different ports keep settings of their own.
  explicit UsbBus(unsigned port = 1);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // The device must stay alive until Unplug (or the bus's destruction).
  void Plug(UsbDeviceModel* device);
  // Every pending request completes with "device not connected"; later ones fail.
  void Unplug();
  PDEVICE_OBJECT PhysicalDeviceObject() { return &physicalDevice_; }

  // --- Observation ---
  std::vector<UsbLogEntry> Log();
  void ClearLog();
  void EnableLog(bool on);
  size_t PendingInTransfers();

  // --- Fault injection ---
  // Decides, for the n-th IN transfer on an endpoint (counted from 0 since
  // plug-in), whether it completes with an error or short.
  struct InFault {
    bool fail = false;
    USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING;
    bool shortTransfer = false;
    uint32_t shortBytes = 0;
  };
  void SetInFault(std::function<InFault(uint8_t endpointAddress, uint64_t index)> rule);
  // Makes IofCallDriver fail at once for URBs the rule picks.
  void SetSubmitFault(std::function<bool(const URB& urb, uint8_t endpointAddress)> rule);
  // Surprise removal at a chosen point: the rule sees every URB as it is
  // submitted, and the first one it picks finds the camera pulled out just
  // before it reaches the wire (the bus unplugs itself, and the request fails
  // with everything else). The rule is dropped once it has fired.
  void SetUnplugPoint(std::function<bool(const URB& urb, uint8_t endpointAddress)> rule);
  void SetResetPipeFails(bool fails);
  // Cancelled transfers complete later on the bus thread, at dispatch level,
  // after the delay (the default); or inside IoCancelIrp on the caller's
  // thread when synchronous (both happen on the platform).
  void SetSynchronousCancellation(bool on);
  void SetCancellationDelay(uint32_t milliseconds);
  // Each bulk transfer submission takes this long before IofCallDriver returns.
  void SetSubmissionDelay(uint32_t milliseconds);
  // Whether the endpoint is halted after a failed transfer (until its reset).
  bool EndpointHalted(uint8_t endpointAddress);
  void SetPortStatus(ULONG status);  // USBD_PORT_* bits
  ULONG PortStatus();
  uint32_t PortResets();
  // Complete control and OUT requests inside IofCallDriver instead of pending
  // them to the bus thread (both happen on the platform).
  void SetSynchronousCompletion(bool on);

 private:
  struct Pipe;
  struct Work;

  void InDataAvailable() override;
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static void NTAPI CancelPendingIn(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS HandleIoctl(PIRP irp);
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS QueueIn(PIRP irp, Pipe* pipe);
  NTSTATUS RunOrDefer(PIRP irp, std::function<void()> work);
  void PerformUrb(PIRP irp, PURB urb);
  void PerformSelectConfiguration(PIRP irp, PURB urb, UsbDeviceModel* device);
  void PerformBulkOut(PIRP irp, PURB urb, Pipe* pipe, UsbDeviceModel* device);
  void PerformPipeRequest(PIRP irp, PURB urb, Pipe* pipe, UsbDeviceModel* device);
  // Every call into the device goes through here, one at a time.
  template <class Call>
  auto DeviceCall(Call call) {
    std::lock_guard<std::mutex> guard(deviceCalls_);
    return call();
  }
  void ServeInTransfers();
  bool ServeOne(Pipe* pipe);
  void CompleteIrp(PIRP irp, NTSTATUS status, USBD_STATUS usbStatus, ULONG_PTR information);
  Pipe* PipeFromHandle(USBD_PIPE_HANDLE handle);
  void Record(UsbLogEntry entry);
  void ThreadMain();
  void AbortPipeLocked(Pipe* pipe, std::vector<PIRP>& toCancel);
  // Completes cancelled transfers as the cancellation mode says.
  void CompleteCancelled(std::vector<PIRP> irps);
  void HaltEndpoint(Pipe* pipe);
  void NoteDeviceInstance(UsbDeviceModel* device);

  const unsigned port_;
  DRIVER_OBJECT busDriver_{};
  DEVICE_OBJECT physicalDevice_{};

  std::mutex deviceCalls_;  // serialises calls into the device; taken before lock_
  std::mutex lock_;  // guards everything below
  std::condition_variable wake_;
  UsbDeviceModel* device_ = nullptr;
  bool stopping_ = false;
  bool inDataSignalled_ = false;
  std::deque<std::function<void()>> work_;
  std::vector<std::unique_ptr<Pipe>> pipes_;      // the current configuration's pipes
  std::vector<std::unique_ptr<Pipe>> oldPipes_;   // kept so stale handles never dangle
  std::vector<UsbLogEntry> log_;
  bool logEnabled_ = true;
  std::function<InFault(uint8_t, uint64_t)> inFault_;
  std::function<bool(const URB&, uint8_t)> submitFault_;
  std::function<bool(const URB&, uint8_t)> unplugPoint_;
  bool resetPipeFails_ = false;
  ULONG portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  uint32_t portResets_ = 0;
  bool synchronous_ = false;
  bool synchronousCancellation_ = false;
  uint32_t cancellationDelayMs_ = 0;
  uint32_t submissionDelayMs_ = 0;

  std::thread thread_;
};

}  // namespace host
