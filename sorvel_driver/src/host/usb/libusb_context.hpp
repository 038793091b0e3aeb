#pragma once
// The process's libusb context and the thread that handles its events. Kept free of libusb.h so
// that only the backend's .cpp files see it.

#include <functional>
#include <mutex>
#include <vector>

#include "sorvel/driver/system_error.hpp"
#include "sorvel/protocol/expected.hpp"

struct libusb_context;
struct libusb_device_handle;

namespace sorvel::usb {

class LibusbContext {
 public:
  /// The process's context, created on the first successful call and never destroyed (the event
  /// thread may still be inside libusb while the process exits). A failed initialisation is
  /// reported and tried again by the next call. A forked child gets a context of its own.
  /// Thread safety: any thread.
  static Expected<LibusbContext*, SystemError> instance();

  libusb_context* raw() const { return context_; }

  /// Starts the event thread if it is not running yet. Called when a device is opened, before
  /// any transfer can be submitted. Thread safety: any thread.
  void start_event_thread();

  /// Closes `handle`: at once, or, inside libusb's event handling (a transfer callback), once
  /// that has returned, since libusb_close there would wait for a lock this thread holds.
  /// Thread safety: any thread.
  void close(libusb_device_handle* handle);

  /// Runs `work` on the event thread soon (used to complete refused submissions there rather
  /// than inside the submit call). The event thread must have been started.
  /// Thread safety: any thread.
  void defer(std::function<void()> work);

  LibusbContext(const LibusbContext&) = delete;
  LibusbContext& operator=(const LibusbContext&) = delete;

 private:
  explicit LibusbContext(libusb_context* context) : context_(context) {}
  [[noreturn]] void run_events();
  void run_deferred();

  libusb_context* const context_;
  std::once_flag event_thread_started_;
  std::mutex deferred_mutex_;
  std::vector<std::function<void()>> deferred_;  // guarded by deferred_mutex_
};

}  // namespace sorvel::usb
