#include "truth_file.hpp"

#include <cerrno>
#include <cstring>
#include <iterator>

namespace sorvel::simulator::body {

namespace {
constexpr std::size_t kFlushBytes = 64 * 1024;
constexpr std::int64_t kFlushNs = 250'000'000;
constexpr std::string_view kHeader =
    "time_ns,body_part,rot_w,rot_x,rot_y,rot_z,seg_w,seg_x,seg_y,seg_z,pos_x,pos_y,pos_z\n";
}  // namespace

Expected<void, std::string> check_writable(const std::string& path) {
  // Appending creates a missing file and leaves an existing one as it is.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "ab"),
                                                       &std::fclose);
  if (!file) return unexpected(std::string(std::strerror(errno)));
  return {};
}

Expected<TruthFile, std::string> TruthFile::open(const std::string& path) {
  std::unique_ptr<std::FILE, Close> file(std::fopen(path.c_str(), "wb"));
  if (!file) return unexpected(std::string(std::strerror(errno)));
  // Rows go out in whole buffers of our own, so that a reader never sees half a row.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  TruthFile truth(std::move(file));
  truth.rows_.append(kHeader);
  truth.flush();
  return truth;
}

void TruthFile::add(std::int64_t time_ns, BodyPart part, const std::array<float, 4>& rot,
                    const pose::Quaternion& segment, const pose::Vec3& joint) {
  // Floats as the doubles they are, so that a reader's float(text) equals the decoded value.
  fmt::format_to(std::back_inserter(rows_), "{},{},{},{},{},{},{},{},{},{},{},{},{}\n", time_ns,
                 name(part), double{rot[0]}, double{rot[1]}, double{rot[2]}, double{rot[3]},
                 segment.w, segment.x, segment.y, segment.z, joint.x, joint.y, joint.z);
  if (rows_.size() >= kFlushBytes || time_ns - flushed_ns_ >= kFlushNs) {
    flush();
    flushed_ns_ = time_ns;
  }
}

void TruthFile::flush() {
  if (!file_ || rows_.size() == 0) return;
  std::fwrite(rows_.data(), 1, rows_.size(), file_.get());
  rows_.clear();
}

}  // namespace sorvel::simulator::body
