#pragma once
// The driver's only view of USB: the operations the transport needs, implemented by a backend
// (libusb for real receivers, the virtual kit for tests and demos) or by a wrapper around one
// (capture). Nothing here includes a platform header.
//
// The threading contract, operation by operation. "Caller" is who calls it in the driver; any
// thread may call any operation, and no lock of the boundary is held across a call into the
// caller's code.
//
//   list_devices, DeviceEntry::open, Device::claim_interface, select_alternate_setting
//     Caller: the opening code (a Python thread or a runtime worker). Blocks on the OS for a
//     moment; returns its failure as a SystemError. No callback.
//   endpoint_type, Interface::number
//     Caller: anyone. Never blocks, never fails.
//   submit_in, submit_out
//     Caller: the readers and the command sender, on runtime workers (through async_transfer),
//     and read_stream's portable chain, on whichever thread completed the previous transfer.
//     Never blocks. `done` is called exactly once, failures included (a submission the backend
//     refuses completes like a failed transfer). It normally runs on a backend thread (libusb's
//     event thread, the virtual kit's thread), possibly before the submit call has returned;
//     a backend may also call it inside the submit call, on the caller's thread (neither in-tree
//     backend does; a test backend does), so a caller must not hold across the call a lock
//     that `done` takes. The backend keeps `done` alive until that call has returned, whatever
//     the callback releases meanwhile (the returned handle, the transfer, itself): both
//     in-tree backends move it out of the transfer before calling it.
//   read_stream
//     Caller: the report reader, on a runtime worker. Never blocks. The sink's calls come one at
//     a time: `on_submit` for the first transfer inside this call, on the caller's thread; every
//     later call on the thread that completed the transfer before it (a backend thread, or the
//     caller's when `submit_in` completed inside its call). `on_end` comes exactly once, last,
//     and may come before this call returns. The sink is held until `on_end` has returned.
//   PendingTransfer::cancel
//     Caller: anyone, any time, also after the completion (it then does nothing) and from
//     inside a callback. Never blocks on the transfer; the completion (`Cancelled`, or the
//     transfer's own result if it won the race) still comes through `done` or `on_end`.
//   Callbacks (`done`, StreamSink's members)
//     Must not block and must not throw; they may submit, cancel and release handles.
//   Releasing handles
//     Caller: anyone, from any thread, callbacks included. The last handle of an interface
//     releases the claim, the last of a device closes it. Letting go with transfers in flight
//     is safe: each still completes exactly once (libusb holds the interface until just before
//     calling back, so a waiter woken by the completion finds it released).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/system_error.hpp"
#include "sorvel/protocol/expected.hpp"

namespace sorvel::usb {

inline constexpr std::uint16_t kReceiverVendorId = 0x303A;
inline constexpr std::uint16_t kReceiverProductId = 0x81D3;

/// The outcome of one transfer.
struct TransferResult {
  std::optional<TransferError> error;  ///< empty on success
  std::vector<std::uint8_t> data;      ///< IN: the bytes received (at most the length asked for)

  bool ok() const { return !error.has_value(); }
};

using TransferCallback = std::function<void(TransferResult)>;

/// How an endpoint moves data, as its descriptor declares it (bits 0-1 of bmAttributes).
enum class EndpointType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

/// A submitted transfer. `cancel` asks the backend to complete it with `Cancelled` soon; it does
/// nothing once the transfer has completed. Dropping the handle does not cancel.
class PendingTransfer {
 public:
  virtual ~PendingTransfer() = default;
  virtual void cancel() = 0;
};

/// Where a continuous read hands its transfers, one call at a time, on the threads the
/// contract above gives for read_stream.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  /// A transfer of the stream is about to be submitted (each one, the first included). Lets a
  /// wrapper record the submission before its completion can be seen. Must not block.
  virtual void on_submit() {}
  /// One completed transfer's bytes, valid only during the call. Must not block.
  virtual void on_transfer(std::span<const std::uint8_t> data) = 0;
  /// The first failed transfer ends the stream (`Cancelled` after a cancel); called once, last.
  virtual void on_end(TransferError error) = 0;
};

/// A claimed interface. The claim is released when the last shared handle goes; an interface
/// keeps its device open for as long as it lives.
class Interface {
 public:
  virtual ~Interface() = default;
  virtual std::uint8_t number() const = 0;
  virtual Expected<void, SystemError> select_alternate_setting(std::uint8_t setting) = 0;
  /// The type of `endpoint` when the backend knows it (capture labels transfers with it).
  virtual std::optional<EndpointType> endpoint_type(std::uint8_t /*endpoint*/) const {
    return std::nullopt;
  }
  /// Reads at most `length` bytes from IN endpoint `endpoint` (0x8N).
  virtual std::shared_ptr<PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t length,
                                                     TransferCallback done) = 0;
  /// Reads IN endpoint `endpoint` continuously: one transfer of at most `length` bytes in flight at
  /// a time, each completed one handed to `sink` and the next submitted from the thread that
  /// completed it, until one fails. The caller keeps the interface alive until `on_end` has
  /// returned. The handle's `cancel` ends the stream. This version chains `submit_in`, paying its
  /// allocations per transfer, and copes with completions inside `submit_in` without recursing;
  /// backends override it to reuse one transfer and buffer.
  virtual std::shared_ptr<PendingTransfer> read_stream(std::uint8_t endpoint, std::size_t length,
                                                       std::shared_ptr<StreamSink> sink);
  /// Writes `bytes` to OUT endpoint `endpoint` (0x0N); the result carries no data.
  virtual std::shared_ptr<PendingTransfer> submit_out(std::uint8_t endpoint,
                                                      std::vector<std::uint8_t> bytes,
                                                      TransferCallback done) = 0;
};

/// An opened device; closed when the last shared handle (its own or an interface's) goes.
class Device {
 public:
  virtual ~Device() = default;
  virtual Expected<std::shared_ptr<Interface>, SystemError> claim_interface(
      std::uint8_t number) = 0;
};

/// One entry of a device list, not opened yet.
class DeviceEntry {
 public:
  virtual ~DeviceEntry() = default;
  virtual std::uint16_t vendor_id() const = 0;
  virtual std::uint16_t product_id() const = 0;
  virtual Expected<std::shared_ptr<Device>, SystemError> open() = 0;
};

using DeviceList = std::vector<std::unique_ptr<DeviceEntry>>;

class Backend {
 public:
  virtual ~Backend() = default;
  /// Every attached device, in enumeration order.
  virtual Expected<DeviceList, SystemError> list_devices() = 0;
};

/// The first entry with the receiver's vendor and product ID, in list order.
DeviceEntry* find_receiver(const DeviceList& devices);

}  // namespace sorvel::usb
