#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "sorvel/platform/files.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel::platform {
namespace {

TEST(Platform, EnvironmentVariablesRoundTrip) {
  const char* name = "SORVEL_PLATFORM_TEST";
  ASSERT_TRUE(set_environment_variable(name, "a value"));
  EXPECT_EQ(environment_variable(name), "a value");
  ASSERT_TRUE(set_environment_variable(name, ""));
#ifdef _WIN32
  EXPECT_EQ(environment_variable(name), std::nullopt);  // empty removes it there
#else
  EXPECT_EQ(environment_variable(name), "");
#endif
  ASSERT_TRUE(set_environment_variable(name, "again"));
  ASSERT_TRUE(unset_environment_variable(name));
  EXPECT_EQ(environment_variable(name), std::nullopt);
  EXPECT_TRUE(unset_environment_variable(name)) << "unsetting twice is no error";
}

#ifdef _WIN32
// Another runtime in the process (Python's ucrt) changes the block, never our C runtime's copy.
TEST(Platform, EnvironmentIsTheProcessBlockSharedWithOtherRuntimes) {
  const char* name = "SORVEL_PLATFORM_BLOCK_TEST";
  const std::string long_value(300, 'v');  // longer than the first buffer
  ASSERT_NE(::SetEnvironmentVariableA(name, long_value.c_str()), 0);
  EXPECT_EQ(environment_variable(name), long_value);
  ASSERT_TRUE(set_environment_variable(name, "ours"));
  char seen[8] = {};
  EXPECT_EQ(::GetEnvironmentVariableA(name, seen, sizeof seen), 4u);
  EXPECT_STREQ(seen, "ours");
  ASSERT_TRUE(unset_environment_variable(name));
  EXPECT_EQ(::GetEnvironmentVariableA(name, seen, sizeof seen), 0u);
  EXPECT_EQ(environment_variable(name), std::nullopt);
}
#endif

// Capture shares one file between receivers by this identity, whichever path names it.
TEST(Platform, AFileOpenForWritingIsNamedByItsIdentityAndResizes) {
  const auto folder = std::filesystem::path(::testing::TempDir()) /
                      ("sorvel_platform_" + std::to_string(process_id()));
  std::filesystem::create_directories(folder);
  const auto open = [](const std::filesystem::path& path) {
    auto opened = open_for_writing(path.string());
    const auto* file = std::get_if<WritableFile>(&opened);
    EXPECT_NE(file, nullptr) << path;
    return file != nullptr ? *file : WritableFile{};
  };
  const WritableFile one = open(folder / "one");
  const WritableFile again = open(folder / "." / "one");
  const WritableFile other = open(folder / "other");
  ASSERT_TRUE(one.file && again.file && other.file);
  EXPECT_EQ((std::pair{one.volume, one.index}), (std::pair{again.volume, again.index}));
  EXPECT_NE((std::pair{one.volume, one.index}), (std::pair{other.volume, other.index}));

  ASSERT_EQ(std::fwrite("abcdef", 1, 6, one.file), 6u);
  EXPECT_EQ(resize_file(one.file, 2), 0);
  ASSERT_EQ(std::fwrite("Z", 1, 1, one.file), 1u);  // at the new end
  for (std::FILE* file : {one.file, again.file, other.file}) std::fclose(file);
  auto content = read_regular_file((folder / "one").string(), 16);
  ASSERT_TRUE(std::holds_alternative<std::string>(content));
  EXPECT_EQ(std::get<std::string>(content), "abZ");

  EXPECT_EQ(std::get<FileError>(open_for_writing(folder.string())),
            (FileError{FileError::Kind::Directory, EISDIR}));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace sorvel::platform
