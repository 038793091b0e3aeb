#pragma once
// The truth of every generated sample as CSV rows, for tests and benchmarks outside the process:
// when it was generated, what the driver will decode, and where the segment really was.
// Buffered; written out every quarter second of samples, at 64 KiB, on flush() and when closed.

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "sorvel/pose/quaternion.hpp"
#include "sorvel/protocol/expected.hpp"
#include "sorvel/trackers/body_part.hpp"

namespace sorvel::simulator::body {

/// Whether `path` can be written, without emptying it; the error says why not.
Expected<void, std::string> check_writable(const std::string& path);

class TruthFile {
 public:
  /// Creates or empties `path` and writes the header line.
  static Expected<TruthFile, std::string> open(const std::string& path);

  TruthFile(TruthFile&&) = default;
  TruthFile& operator=(TruthFile&&) = default;
  ~TruthFile() { flush(); }

  /// `rot` is w, x, y, z as the driver decodes it.
  void add(std::int64_t time_ns, BodyPart part, const std::array<float, 4>& rot,
           const pose::Quaternion& segment, const pose::Vec3& joint);
  void flush();

 private:
  struct Close {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  explicit TruthFile(std::unique_ptr<std::FILE, Close> file) : file_(std::move(file)) {}

  std::unique_ptr<std::FILE, Close> file_;
  fmt::memory_buffer rows_;
  std::int64_t flushed_ns_ = 0;  ///< the time of the row added last when last written out
};

}  // namespace sorvel::simulator::body
