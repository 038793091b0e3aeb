#include "host/usb/libusb_context.hpp"

#include <libusb.h>

#include <thread>
#include <utility>

#include "sorvel/driver/runtime/fork.hpp"
#include "sorvel/driver/usb/libusb_backend.hpp"

namespace sorvel::usb {

namespace {

/// libusb contexts do not survive a fork: a child opens its own, leaving its parent's alone.
struct Instance {
  std::mutex mutex;
  LibusbContext* context = nullptr;  // leaked on purpose, see the header
};

}  // namespace

Expected<LibusbContext*, SystemError> LibusbContext::instance() {
  auto& instance = runtime::per_process<Instance>();
  std::lock_guard lock(instance.mutex);
  if (instance.context == nullptr) {
    libusb_context* raw = nullptr;
    const int rc = libusb_init(&raw);
    if (rc != LIBUSB_SUCCESS)
      return unexpected(system_error_from_libusb(static_cast<LibusbError>(rc)));
    instance.context = new LibusbContext(raw);
  }
  return instance.context;
}

void LibusbContext::start_event_thread() {
  std::call_once(event_thread_started_, [this] {
    // Detached: nothing waits for it at exit, and the context it uses is never freed.
    std::thread([this] { run_events(); }).detach();
  });
}

void LibusbContext::defer(std::function<void()> work) {
  {
    std::lock_guard lock(deferred_mutex_);
    deferred_.push_back(std::move(work));
  }
  // Makes the running (or next) libusb_handle_events call return so the loop drains the queue.
  libusb_interrupt_event_handler(context_);
}

namespace {
thread_local bool t_handling_events = false;
}

void LibusbContext::close(libusb_device_handle* handle) {
  if (t_handling_events) {
    defer([handle] { libusb_close(handle); });
  } else {
    libusb_close(handle);
  }
}

void LibusbContext::run_events() {
  for (;;) {
    // Errors here are transient (EINTR, a handle closed meanwhile); the loop simply goes on.
    t_handling_events = true;
    libusb_handle_events(context_);
    t_handling_events = false;
    run_deferred();
  }
}

void LibusbContext::run_deferred() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard lock(deferred_mutex_);
    work.swap(deferred_);
  }
  for (auto& item : work) item();
}

}  // namespace sorvel::usb
