// The file layer: connecting (paths, creation, the read-only retry, the error table), one
// write per record with the cut after the first, and closing in table order. Platform
// failures are injected through the file-call table.
//
// Emptying an unwritten output and cutting an earlier one have their homes in
// tests/e2e/conversion_test.cpp; the copies here add what only the seam shows: failed cuts
// and truncations, and that no file is touched before its first record.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "records/diagnostics.h"
#include "records/unit_connection.h"
#include "tests/support/scratch_directory.h"

namespace records {
namespace {

constexpr StatementBranches ERROR_BRANCH{.error_branch = true};

/// A scratch current directory and a clean unit table for each test.
class UnitsTest : public test_support::ScratchDirectoryTest {
 protected:
  std::int32_t connect(std::int32_t unit, std::string_view name, FileStatus status = FileStatus::unknown) {
    return connect_unit({unit, name, BlankMode::null, status}, ERROR_BRANCH);
  }
};

TEST_F(UnitsTest, MissingFileIsCreatedEmpty) {
  ASSERT_EQ(connect(58, "out.txt"), 0);
  EXPECT_TRUE(std::filesystem::exists("out.txt"));
  EXPECT_EQ(std::filesystem::file_size("out.txt"), 0u);
  const UnitConnection* unit = find_unit(58);
  ASSERT_NE(unit, nullptr);
  EXPECT_TRUE(unit->marks.connected && unit->marks.formatted && unit->sequential && unit->pad_with_blanks);
  EXPECT_TRUE(unit->blanks_ignored && unit->disk_file && unit->truncate_pending && unit->default_length);
  EXPECT_FALSE(unit->marks.read_only);
  EXPECT_EQ(unit->buffer_size, 8192u);
  EXPECT_EQ(unit->record_capacity, 134u);
  EXPECT_EQ(unit->record_length, 132);
  EXPECT_EQ(unit->line_control, LineControl::list);
}

TEST_F(UnitsTest, StatusOldRequiresTheFile) {
  EXPECT_EQ(static_cast<std::uint16_t>(connect(55, "in.txt", FileStatus::old)), 0xC000001Du & 0xFFFFu);
  EXPECT_FALSE(std::filesystem::exists("in.txt"));
  EXPECT_FALSE(find_unit(55)->marks.connected);
}

TEST_F(UnitsTest, PathIsFullAndTrimmed) {
  ASSERT_EQ(connect(58, "  out.txt \0\0"), 0);
  const std::string expected = scratch_.file("out.txt");
  EXPECT_STREQ(find_unit(58)->path, expected.c_str());
  EXPECT_EQ(find_unit(58)->path_length, expected.size());
  EXPECT_TRUE(std::filesystem::exists("out.txt"));
  // In the root directory no second slash comes between the directory and the name.
  std::filesystem::current_path("/");
  char full[16];
  EXPECT_EQ(platform::full_path("out.txt", full, sizeof full), 8u);
  EXPECT_STREQ(full, "/out.txt");
}

TEST_F(UnitsTest, NameLongerThan256IsCut) {
  const std::string name = std::string(250, 'n') + std::string(20, 'z');
  EXPECT_NE(connect(58, name), 0);  // the cut name is still too long for the file system
  EXPECT_EQ(find_unit(58)->path, nullptr);
  // The diagnostic quotes the name cut to 256 characters: the full path would be longer.
  EXPECT_EXIT((void)connect_unit({57, name, BlankMode::null, FileStatus::unknown}, {}),
              [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; },
              ", unit 57, file " + name.substr(0, 256) + "\r\n");
}

TEST_F(UnitsTest, LongDirectoryQuotesTheBareName) {
  std::string deep = scratch_.path();
  while (deep.size() < 260) {
    deep += "/" + std::string(40, 'd');
    ASSERT_TRUE(std::filesystem::create_directory(deep));
  }
  std::filesystem::current_path(deep);
  ASSERT_EQ(connect(58, "out.txt"), 0);
  EXPECT_STREQ(find_unit(58)->path, "out.txt");
  EXPECT_TRUE(std::filesystem::exists(deep + "/out.txt"));
}

TEST_F(UnitsTest, DirectoryIsPermissionDenied) {
  std::filesystem::create_directory("out.txt");
  EXPECT_EQ(static_cast<std::uint16_t>(connect(58, "out.txt")), 9);
  EXPECT_EQ(static_cast<std::uint16_t>(connect(55, "out.txt", FileStatus::old)), 9);
}

platform::OsError injected_error = 0;
int open_calls = 0;
std::vector<platform::OpenAccess> open_accesses;

platform::OpenResult refuse_read_write(const char* path, platform::OpenAccess access,
                                       platform::OpenCreation creation) noexcept {
  ++open_calls;
  open_accesses.push_back(access);
  if (access == platform::OpenAccess::read_write) return {platform::NO_FILE, injected_error};
  return platform::native_file_calls().open(path, access, creation);
}

platform::OpenResult refuse_all(const char*, platform::OpenAccess access, platform::OpenCreation) noexcept {
  ++open_calls;
  open_accesses.push_back(access);
  return {platform::NO_FILE, injected_error};
}

TEST_F(UnitsTest, RefusedOpenRetriesForReading) {
  for (const platform::OsError error : {platform::OsError{EACCES}, platform::OsError{EROFS}}) {
    scratch_.write("in.txt", "x\n");
    injected_error = error;
    open_accesses.clear();
    platform::file_calls().open = refuse_read_write;
    ASSERT_EQ(connect(55, "in.txt"), 0);
    EXPECT_TRUE(find_unit(55)->marks.read_only);
    EXPECT_EQ(open_accesses, (std::vector{platform::OpenAccess::read_write, platform::OpenAccess::read_only}));
    close_all_units();
  }
}

TEST_F(UnitsTest, OtherErrorsGetNoRetry) {
  injected_error = ENOENT;
  open_calls = 0;
  platform::file_calls().open = refuse_all;
  EXPECT_EQ(static_cast<std::uint16_t>(connect(58, "out.txt")), 29);
  EXPECT_EQ(open_calls, 1);
}

TEST_F(UnitsTest, ErrorTable) {
  platform::file_calls().open = refuse_all;
  const std::pair<int, std::uint16_t> table[] = {
      {ENOENT, 29}, {ENOTDIR, 29}, {EMFILE, 30}, {ENFILE, 30},       {EACCES, 9}, {EROFS, 9},
      {EISDIR, 9},  {ENXIO, 42},   {EEXIST, 10}, {ENAMETOOLONG, 43}, {EBUSY, 30}, {EWOULDBLOCK, 30},
  };
  for (const auto& [error, condition] : table) {
    injected_error = static_cast<platform::OsError>(error);
    EXPECT_EQ(static_cast<std::uint16_t>(connect(58, "out.txt")), condition) << "errno " << error;
    EXPECT_FALSE(find_unit(58)->marks.connected);
  }
}

// A buffer that grows while the reader's positions point into its middle takes them along,
// wherever the allocator puts the new buffer.
TEST_F(UnitsTest, GrownBufferKeepsTheReadPositions) {
  ASSERT_EQ(connect(55, "in.txt"), 0);
  UnitConnection& unit = *find_unit(55);
  std::memcpy(unit.buffer, "0123456789", 10);
  InputCursor& cursor = unit.formatting->input;
  cursor.record_start = unit.buffer + 2;
  cursor.position = unit.buffer + 5;
  cursor.held_end = unit.buffer + 10;
  // Held behind the buffer, and a size beyond what the heap has spare, so that it cannot
  // grow in place.
  const std::unique_ptr<char[]> neighbour(new char[64]);
  ASSERT_EQ(grow_unit_buffer(unit, 4 << 20), ConditionCode::success);
  EXPECT_EQ(unit.buffer_size, 4u << 20);
  EXPECT_EQ(std::string(cursor.record_start, cursor.held_end), "23456789");
  EXPECT_EQ(cursor.position - unit.buffer, 5);
  EXPECT_EQ(cursor.record_end, nullptr);
}

// A write that a signal cuts short goes on from where it stopped: the reader gets every byte
// once, in order.
TEST(NativeWrite, GoesOnAfterASignalCutsItShort) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  struct sigaction wake {};
  wake.sa_handler = [](int) {};  // no SA_RESTART: the waiting write returns what it wrote
  sigemptyset(&wake.sa_mask);
  struct sigaction previous_wake {};
  struct sigaction previous_pipe {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR1, &wake, &previous_wake), 0);
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous_pipe), 0);
  std::string sent(256 * 1024, ' ');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 23);
  platform::OsError error = 0;
  std::thread writer([&] { error = platform::native_file_calls().write(ends[1], sent.data(), sent.size()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pipe is full and the write waits
  ::pthread_kill(writer.native_handle(), SIGUSR1);
  std::string received;
  char chunk[65536];
  for (ssize_t got = 0; received.size() < sent.size() && (got = ::read(ends[0], chunk, sizeof chunk)) > 0;) {
    received.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(ends[0]);  // a write still waiting now fails instead of waiting for ever
  writer.join();
  ::close(ends[1]);
  ::sigaction(SIGUSR1, &previous_wake, nullptr);
  ::sigaction(SIGPIPE, &previous_pipe, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(received == sent);
}

TEST_F(UnitsTest, FailedConnectLeavesNothingBehind) {
  injected_error = EBUSY;
  platform::file_calls().open = refuse_all;
  (void)connect(58, "out.txt");
  const UnitConnection* unit = find_unit(58);
  EXPECT_EQ(unit->buffer, nullptr);
  EXPECT_EQ(unit->path, nullptr);
  EXPECT_EQ(unit->formatting, nullptr);
  EXPECT_EQ(unit->handle, platform::NO_FILE);
  EXPECT_EQ(unit->unit_number, 58);
  EXPECT_FALSE(unit->busy.load());
  // Nor any property the connect had set before its open failed.
  EXPECT_FALSE(unit->sequential || unit->pad_with_blanks || unit->blanks_ignored || unit->default_length);
  EXPECT_EQ(unit->record_length, 0);
}

using UnitsTestDeathTest = UnitsTest;
TEST_F(UnitsTestDeathTest, OnlyTheCatchAllRowPrintsThePlatformText) {
  platform::file_calls().open = refuse_all;
  injected_error = EBUSY;
  EXPECT_EXIT((void)connect_unit({58, "out.txt", BlankMode::null, FileStatus::unknown}, {}),
              ::testing::ExitedWithCode(30),
              "^korv2dunta: Device or resource busy\r\nkorv2dunta: severe \\(30\\): open failure, unit 58, file /");
  injected_error = EMFILE;
  EXPECT_EXIT((void)connect_unit({58, "out.txt", BlankMode::null, FileStatus::unknown}, {}),
              ::testing::ExitedWithCode(30), "^korv2dunta: severe \\(30\\): open failure, unit 58, file /");
}

TEST_F(UnitsTestDeathTest, FailedCloseAtRunEndIsSevereWithThePlatformText) {
  ASSERT_EQ(connect(58, "out.txt"), 0);
  platform::file_calls().close = [](platform::FileHandle) noexcept -> platform::OsError { return EIO; };
  EXPECT_EXIT((void)finish_run(), ::testing::ExitedWithCode(28),
              "^korv2dunta: Input/output error\r\nkorv2dunta: severe \\(28\\): .*, unit 58, file /");
  platform::file_calls().close = platform::native_file_calls().close;
}

TEST_F(UnitsTest, FirstWriteCutsTheOldContents) {
  scratch_.write("out.txt", std::string(500, 'o'));
  ASSERT_EQ(connect(58, "out.txt"), 0);
  UnitConnection& unit = *find_unit(58);
  ASSERT_EQ(write_record_bytes(unit, "first\r\n", 7), ConditionCode::success);
  EXPECT_FALSE(unit.truncate_pending);
  EXPECT_EQ(scratch_.read("out.txt"), "first\r\n");
  ASSERT_EQ(write_record_bytes(unit, "second\r\n", 8), ConditionCode::success);
  EXPECT_EQ(scratch_.read("out.txt"), "first\r\nsecond\r\n");
}

TEST_F(UnitsTest, UnwrittenFileIsEmptiedOnRequest) {
  scratch_.write("out.txt", "old\r\n");
  ASSERT_EQ(connect(58, "out.txt"), 0);
  ASSERT_EQ(empty_unwritten_file(*find_unit(58)), ConditionCode::success);
  EXPECT_EQ(std::filesystem::file_size("out.txt"), 0u);
}

TEST_F(UnitsTest, NoFileIsTouchedUntilWritten) {
  scratch_.write("out.txt", "old\r\n");
  ASSERT_EQ(connect(58, "out.txt"), 0);
  close_all_units();
  EXPECT_EQ(scratch_.read("out.txt"), "old\r\n");
}

platform::OsError fail_write(platform::FileHandle, const char*, std::size_t) noexcept { return ENOSPC; }
platform::OsError fail_truncate(platform::FileHandle) noexcept { return EIO; }
int truncate_calls = 0;
platform::OsError count_truncate(platform::FileHandle file) noexcept {
  ++truncate_calls;
  return platform::native_file_calls().truncate(file);
}

TEST_F(UnitsTest, FailedFirstWriteCutsNothing) {
  scratch_.write("out.txt", "old\r\n");
  ASSERT_EQ(connect(58, "out.txt"), 0);
  platform::file_calls().write = fail_write;
  truncate_calls = 0;
  platform::file_calls().truncate = count_truncate;
  UnitConnection& unit = *find_unit(58);
  EXPECT_EQ(write_record_bytes(unit, "x\r\n", 3), ConditionCode::write_error);
  EXPECT_EQ(unit.last_os_error, static_cast<platform::OsError>(ENOSPC));
  EXPECT_EQ(truncate_calls, 0);
  EXPECT_TRUE(unit.truncate_pending);
  EXPECT_EQ(scratch_.read("out.txt"), "old\r\n");
}

TEST_F(UnitsTest, FailedCutIsAWriteError) {
  ASSERT_EQ(connect(58, "out.txt"), 0);
  platform::file_calls().truncate = fail_truncate;
  UnitConnection& unit = *find_unit(58);
  EXPECT_EQ(write_record_bytes(unit, "x\r\n", 3), ConditionCode::write_error);
  EXPECT_EQ(unit.last_os_error, static_cast<platform::OsError>(EIO));
  EXPECT_FALSE(unit.truncate_pending);
}

std::vector<platform::FileHandle> closed_handles;
platform::OsError record_close(platform::FileHandle file) noexcept {
  closed_handles.push_back(file);
  return platform::native_file_calls().close(file);
}

TEST_F(UnitsTest, RunEndClosesInTableOrder) {
  // 621 and 100 share a chain; 1000 has its own; 58 and 55 are direct slots.
  const std::int32_t units[] = {1000, 621, 58, 100, 55};
  std::vector<platform::FileHandle> handles;
  for (const std::int32_t number : units) {
    ASSERT_EQ(connect(number, "f" + std::to_string(number)), 0);
  }
  for (const std::int32_t number : {55, 58, 100, 621, 1000}) handles.push_back(find_unit(number)->handle);
  closed_handles.clear();
  platform::file_calls().close = record_close;
  EXPECT_EQ(finish_run(), 0);
  EXPECT_EQ(closed_handles, handles);
  EXPECT_EQ(find_unit(55), nullptr);
  EXPECT_EQ(find_unit(621), nullptr);
  closed_handles.clear();
  EXPECT_EQ(finish_run(), 0);  // only the first run end closes anything
  EXPECT_TRUE(closed_handles.empty());
}

TEST_F(UnitsTest, BusyUnitIsLeftOpenAtRunEnd) {
  ASSERT_EQ(connect(55, "in"), 0);
  ASSERT_EQ(connect(58, "out"), 0);
  UnitConnection* busy = nullptr;
  ASSERT_EQ(acquire_unit(58, &busy), ConditionCode::success);
  const platform::FileHandle kept = busy->handle;
  closed_handles.clear();
  platform::file_calls().close = record_close;
  close_all_units();
  EXPECT_EQ(closed_handles.size(), 1u);
  EXPECT_NE(find_unit(58), nullptr);
  release_unit(58);
  EXPECT_EQ(platform::native_file_calls().close(kept), 0u);
  find_unit(58)->handle = platform::NO_FILE;
  find_unit(58)->marks.connected = false;
}

TEST_F(UnitsTest, SecondStatementOnABusyUnitIsRecursive) {
  UnitConnection* unit = nullptr;
  ASSERT_EQ(acquire_unit(7, &unit), ConditionCode::success);
  UnitConnection* again = nullptr;
  EXPECT_EQ(acquire_unit(7, &again), ConditionCode::recursive_io);
  release_unit(7);
  EXPECT_EQ(acquire_unit(7, &again), ConditionCode::success);
  release_unit(7);
  EXPECT_EQ(acquire_unit(-6, &again), ConditionCode::invalid_unit);
}

}  // namespace
}  // namespace records
