// Files for every test that touches the file system: the program's two file names, a scratch
// directory that cleans up after itself, whole-file reads and file sizes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace test_support {

/// The program's two files, by the names it opens them under in its current directory.
inline const std::string INPUT_NAME = "KORV-data-E-sept08.txt";
inline const std::string OUTPUT_NAME = "out-DUNTA-E-sept08.txt";

/// The bytes of a file, or nothing when it cannot be read.
inline std::optional<std::string> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

/// Size of a regular file in bytes, or -1 when there is none at `path`.
inline long long file_size(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long long>(size);
}

/// A fresh directory under the system's temporary directory, removed with everything in it
/// (read-only files and directories included) when it goes out of scope.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    // A fresh name from a random source; create_directory fails rather than reuse one.
    std::random_device entropy;
    std::filesystem::path candidate;
    do {
      candidate = std::filesystem::temp_directory_path() / ("korv-test-" + std::to_string(entropy()));
    } while (!std::filesystem::create_directory(candidate));
    // Symbolic links resolved, as the program's current directory reports it.
    path_ = std::filesystem::canonical(candidate).string();
  }
  ~ScratchDirectory() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  /// Full path of a file of the directory, as diagnostics quote it.
  std::string file(std::string_view name) const {
    return (std::filesystem::path(path_) / name).make_preferred().string();
  }
  /// Writes a file of the directory, replacing what it held.
  void write(std::string_view name, std::string_view bytes) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file(name));
  }
  /// The bytes of a file of the directory; throws when it cannot be read.
  std::string read(std::string_view name) const {
    std::optional<std::string> bytes = read_bytes(file(name));
    if (!bytes) throw std::runtime_error("cannot read " + file(name));
    return *std::move(bytes);
  }
  /// True when the file (or directory) exists.
  bool exists(std::string_view name) const { return std::filesystem::exists(file(name)); }

 private:
  std::string path_;
};

}  // namespace test_support
