#include "read_file.hpp"

#include <cstring>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "sorvel/platform/files.hpp"

namespace sorvel::simulator {

Expected<std::string, std::string> read_regular_file(const std::string& path,
                                                     std::size_t max_bytes) {
  auto read = platform::read_regular_file(path, max_bytes);
  if (auto* text = std::get_if<std::string>(&read)) return std::move(*text);
  const auto& error = std::get<platform::FileError>(read);
  switch (error.kind) {
    case platform::FileError::Kind::Directory:
      return unexpected(std::string("is a directory"));
    case platform::FileError::Kind::NotRegular:
      return unexpected(std::string("not a regular file"));
    case platform::FileError::Kind::TooLarge:
      return unexpected(fmt::format("larger than {} bytes", max_bytes));
    case platform::FileError::Kind::System:
      break;
  }
  return unexpected(std::string(std::strerror(error.code)));
}

}  // namespace sorvel::simulator
