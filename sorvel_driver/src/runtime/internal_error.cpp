#include "sorvel/driver/runtime/internal_error.hpp"

namespace sorvel::runtime {

InternalError internal_error_from(std::exception_ptr exception) {
  constexpr std::string_view kUnknown = "unknown error";
  if (!exception) return {std::string(kUnknown)};
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    std::string text = e.what();
    if (text.empty()) text = kUnknown;
    return {std::move(text)};
  } catch (...) {
    return {std::string(kUnknown)};
  }
}

}  // namespace sorvel::runtime
