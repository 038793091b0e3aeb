#pragma once
// Everything the driver holds open on the receiver: interfaces 1 and 2, the command endpoint,
// the response broadcast, and the two reader tasks (responses on 0x82, sensor reports on 0x81).

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "sorvel/driver/driver_error.hpp"
#include "sorvel/driver/host/events.hpp"
#include "sorvel/driver/runtime/broadcast.hpp"
#include "sorvel/driver/runtime/task.hpp"
#include "sorvel/driver/usb/usb.hpp"
#include "sorvel/protocol/messages.hpp"
#include "sorvel/trackers/frame_stream.hpp"
#include "sorvel/trackers/routing_table.hpp"

namespace sorvel {

inline constexpr std::uint8_t kReportInterface = 0;
inline constexpr std::uint8_t kCommandInterface = 1;
inline constexpr std::uint8_t kAuxiliaryInterface = 2;
inline constexpr std::uint8_t kCommandEndpoint = 0x01;
inline constexpr std::uint8_t kReportEndpoint = 0x81;
inline constexpr std::uint8_t kResponseEndpoint = 0x82;
inline constexpr std::size_t kReportTransferLength = 64;
/// A whole packet of the response endpoint: asking for less would make a full 64-byte answer
/// overflow the transfer and lose the session. Bytes after the encoded response are ignored.
inline constexpr std::size_t kResponseTransferLength = 64;

using ResponseSender = runtime::BroadcastSender<protocol::Response>;
using ResponseReceiver = runtime::BroadcastReceiver<protocol::Response>;

/// What the readers share with the host.
struct LinkState {
  /// True from the receiver's first answer until a reader's USB read fails.
  std::shared_ptr<std::atomic<bool>> receiver_connected =
      std::make_shared<std::atomic<bool>>(false);
  /// Set by a deliberate close: the readers then stop without reporting a loss.
  std::shared_ptr<std::atomic<bool>> closing = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<const EventHandler> handler;
  /// The consumers of every routed frame; ended with ReceiverLost when the link is lost.
  std::shared_ptr<FrameStreams> frames = std::make_shared<FrameStreams>();
};

class UsbSession {
 public:
  /// Claims interfaces 1 and 2, creates the response broadcast and starts the response reader.
  /// A claim failure is SerialPortError, with nothing left claimed.
  static DriverResult<std::unique_ptr<UsbSession>> open(std::shared_ptr<usb::Device> device,
                                                        LinkState link);

  /// Claims interface 0, selects its alternate setting 0 and starts the report reader, which
  /// routes frames through `routing` and hands them to the link's frame streams.
  DriverResult<void> start_report_reader(std::shared_ptr<RoutingTable> routing);

  /// Writes `command` as one zero-filled 64-byte transfer. Success only means the device took
  /// the transfer. Thread safety: any task, concurrently.
  asio::awaitable<DriverResult<void>> send_command(protocol::Command command);

  /// The receiver end created with the broadcast (sees every response since the open).
  ResponseReceiver take_first_receiver();
  /// A receiver end that sees responses published from now on.
  ResponseReceiver subscribe() { return responses_.subscribe(); }

  /// Stops both readers as the destructor does and awaits their end, for a coroutine that ends
  /// the session on the runtime, where the destructor cannot wait: once the session is then
  /// destroyed, the receiver is free.
  asio::awaitable<void> close();

  /// Stops both readers (their pending transfers are cancelled), without a loss being reported,
  /// and releases the interfaces. Waits for the readers to end unless called on a runtime thread;
  /// there, the release is left under way until they have.
  ~UsbSession();

  /// Waits at most `limit` until no session dropped on a runtime thread is still releasing its
  /// receiver; true when none is. Opens call it first, so a receiver whose last handle went
  /// with a finished operation is never seen busy.
  /// Thread safety: any thread that is not a runtime worker.
  static bool wait_for_releases(std::chrono::milliseconds limit);

  UsbSession(const UsbSession&) = delete;
  UsbSession& operator=(const UsbSession&) = delete;

 private:
  UsbSession(std::shared_ptr<usb::Device> device, std::shared_ptr<usb::Interface> commands,
             std::shared_ptr<usb::Interface> auxiliary, LinkState link);
  /// Marks the close as deliberate and cancels both readers.
  void stop_readers();

  std::shared_ptr<usb::Device> device_;
  std::shared_ptr<usb::Interface> commands_;
  std::shared_ptr<usb::Interface> auxiliary_;
  LinkState link_;
  ResponseSender responses_;
  std::optional<ResponseReceiver> first_receiver_;
  std::optional<runtime::Task<void>> response_reader_;
  std::optional<runtime::Task<void>> report_reader_;
};

}  // namespace sorvel
