// Shared by the record-layer and converter tests: a scratch current directory with a clean
// unit table and the native file calls, file helpers, and the pattern of a diagnostic's
// traceback.
#pragma once

#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "records/diagnostics.h"
#include "records/units.h"
#include "tests/support/traceback_text.h"

namespace test_support {

/// Escapes the characters that a death test's regular expression would read as operators.
inline std::string escape_regex(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (std::strchr(".[]{}()\\*+?|^$", c) != nullptr) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

/// The traceback that follows every severe diagnostic line: the header and its rows.
inline const std::string TRACEBACK = TRACEBACK_HEADER + "([^\n]{17}  [0-9A-F]{8,}  [^\n]{17}  [^\n]{10}  [^\n]*\n)*";

/// The exit status a run ended by `code` shows: Windows keeps all 32 bits, POSIX the low 8.
inline int exit_status_of(records::ConditionCode code) {
#ifdef _WIN32
  return static_cast<int>(records::code_value(code));
#else
  return static_cast<int>(records::code_value(code) & 0xFFu);
#endif
}

/// Skips a death test where it cannot work as written: on Windows a death test runs the whole
/// test again in a new process, in a scratch directory of its own, and matches only simple
/// patterns. The Windows end-to-end suite checks those diagnostics instead.
#ifdef _WIN32
#define KORV_SKIP_DEATH_TEST_ON_WINDOWS() GTEST_SKIP() << "death test with its own scratch directory"
#else
#define KORV_SKIP_DEATH_TEST_ON_WINDOWS() static_cast<void>(0)
#endif

/// Each test runs in a fresh current directory; whatever it connected is closed and the file
/// calls it replaced are restored.
class ScratchDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh name from a random source; create_directory fails rather than reuse one.
    std::random_device entropy;
    std::filesystem::path candidate;
    do {
      candidate = std::filesystem::temp_directory_path() / ("korv-test-" + std::to_string(entropy()));
    } while (!std::filesystem::create_directory(candidate));
    directory_ = candidate.string();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
  }
  void TearDown() override {
    records::close_all_units();
    platform::file_calls() = platform::native_file_calls();
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(directory_);
  }

  /// Full path of a file of the directory, as the diagnostics quote it.
  std::string full_path(const std::string& name) const {
    return (std::filesystem::path(directory_) / name).make_preferred().string();
  }
  /// The whole content of a file of the directory.
  static std::string slurp(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  /// Writes a file of the directory.
  static void put(const std::string& name, const std::string& bytes) { std::ofstream(name, std::ios::binary) << bytes; }

  std::string directory_;
  std::filesystem::path previous_;
};

}  // namespace test_support
