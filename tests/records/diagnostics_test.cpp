// Catalog lookup, the diagnostic line, the traceback layout and the routing of conditions.
//
// The traceback as a user sees it has its home in tests/e2e/foundation_test.cpp; the layout
// test here adds what a run cannot reach: a full 20-row traceback and the row widths.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix_internal.h"
#include "records/catalog.h"
#include "records/diagnostics.h"
#include "records/text_format.h"
#include "records/unit_connection.h"
#include "tests/support/traceback_text.h"

namespace records {
namespace {

std::string format(const char* pattern, std::initializer_list<FormatArg> args) {
  char out[512];
  const std::size_t length =
      format_text(out, sizeof out, pattern, std::span<const FormatArg>(args.begin(), args.size()));
  return std::string(out, length);
}

TEST(Catalog, LooksUpByFullCode) {
  EXPECT_STREQ(catalog_text(ConditionCode::input_conversion), "input conversion error, unit %d, file %s\r\n");
  EXPECT_STREQ(catalog_text(ConditionCode::write_error), "error during write, unit %d, file %s\r\n");
  EXPECT_STREQ(catalog_text(ConditionCode::console_event), "program aborting due to %s event\r\n");
  EXPECT_STREQ(catalog_text(ConditionCode::out_of_memory), "insufficient virtual memory\r\n");
  EXPECT_STREQ(catalog_text(ConditionCode::other_exception), "Program Exception - exception code = 0x%lx (%ld)\r\n");
}

TEST(Catalog, SameNumberOtherClassIsNotFound) {
  // Row 64 is severe; the same message number with class 2 is another code.
  EXPECT_STREQ(catalog_text(static_cast<ConditionCode>(0x80000040u)), "Message not found\n");
  EXPECT_STREQ(catalog_text(static_cast<ConditionCode>(0xC0000040u | 0x10000u)), "Message not found\n");
  EXPECT_STREQ(catalog_text(static_cast<ConditionCode>(0xC0007FFFu)), "Message not found\n");
}

TEST(ConditionCodes, ClassAndNumber) {
  EXPECT_EQ(severity_class(ConditionCode::input_conversion), 3u);
  EXPECT_EQ(message_number(ConditionCode::input_conversion), 64);
  EXPECT_EQ(severity_class(ConditionCode::output_conversion), 2u);
  EXPECT_EQ(message_number(ConditionCode::console_event), 200);
  EXPECT_TRUE(is_fatal(ConditionCode::file_not_found));
  EXPECT_FALSE(is_fatal(ConditionCode::output_conversion));
  EXPECT_EQ(code_value(ConditionCode::file_not_found), 3221225501u);
  EXPECT_EQ(code_value(ConditionCode::write_error) & 0xFFu, 38u);
}

TEST(TextFormat, IntegersAndStrings) {
  EXPECT_EQ(format("%s (%i): %s",
                   {FormatArg::string("korv2dunta: severe"), FormatArg::number(64), FormatArg::string("x\r\n")}),
            "korv2dunta: severe (64): x\r\n");
  EXPECT_EQ(format("unit %d, file %s", {FormatArg::number(-2147483648LL), FormatArg::string("/a b")}),
            "unit -2147483648, file /a b");
  EXPECT_EQ(format("0x%lx (%ld)", {FormatArg::number(11), FormatArg::number(11)}), "0xb (11)");
  EXPECT_EQ(format("%%d", {}), "%d");
  EXPECT_EQ(format("%d|%s|", {}), "0||");
}

TEST(TextFormat, WidthsAndPrecisions) {
  EXPECT_EQ(format("%-19.19s|", {FormatArg::string("Image")}), "Image              |");
  EXPECT_EQ(format("%-5.5s|", {FormatArg::string("korv2dunta")}), "korv2|");
  EXPECT_EQ(format("%10.10s|", {FormatArg::string("Unknown")}), "   Unknown|");
  EXPECT_EQ(format("%8.8lX|", {FormatArg::number(0x4a2f)}), "00004A2F|");
  EXPECT_EQ(format("%8.8lX|", {FormatArg::number(0x123456789AB)}), "123456789AB|");
}

TEST(TextFormat, CutsAtCapacity) {
  char out[6];
  const FormatArg arg[] = {FormatArg::string("abcdefgh")};
  EXPECT_EQ(format_text(out, sizeof out, "%s", arg), 5u);
  EXPECT_STREQ(out, "abcde");
}

TEST(Traceback, HeaderAndRowLayout) {
  char out[4096];
  void* frames[2] = {reinterpret_cast<void*>(&format_traceback), reinterpret_cast<void*>(&catalog_text)};
  const std::size_t length = format_traceback(out, sizeof out, frames, 2);
  const std::string text(out, length);
  const std::string& header = test_support::TRACEBACK_HEADER;
  ASSERT_EQ(text.substr(0, header.size()), header);
  // Each row: module (17), two blanks, PC (8+ hex digits), two blanks, routine (17), two
  // blanks, line (10), two blanks, source.
  std::size_t rows = 0;
  for (std::size_t at = header.size(); at < text.size(); ++rows) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string row = text.substr(at, end - at);
    EXPECT_EQ(row.substr(17, 2), "  ");
    EXPECT_TRUE(row.ends_with("     Unknown  Unknown")) << row;
    at = end + 1;
  }
  EXPECT_EQ(rows, 2u);
  // A deeper stack shows its innermost 20 frames.
  void* deep[25];
  std::fill(std::begin(deep), std::end(deep), frames[0]);
  const std::string deep_text(out, format_traceback(out, sizeof out, deep, 25));
  EXPECT_EQ(std::count(deep_text.begin(), deep_text.end(), '\n'), 21);
}

constexpr StatementBranches END_ONLY{.end_branch = true};
constexpr StatementBranches QUIET_WRITE{.quiet_output_conversion = true};
constexpr StatementBranches ERROR_BRANCH{.error_branch = true};

TEST(ConditionRouting, EndOfFileTakenByEndBranch) {
  UnitConnection unit;
  unit.unit_number = 55;
  unit.last_os_error = 38;
  EXPECT_EQ(report_io_condition(UnitDisposition::keep, ConditionCode::end_of_file, 24, &unit, END_ONLY), -1);
  EXPECT_EQ(unit.last_os_error, 0u);
}

TEST(ConditionRouting, OutputConversionReturnedQuietly) {
  UnitConnection unit;
  unit.unit_number = 58;
  EXPECT_EQ(report_io_condition(UnitDisposition::keep, ConditionCode::output_conversion, 63, &unit, QUIET_WRITE), 63);
}

TEST(ConditionRouting, ErrorBranchTakesEverything) {
  UnitConnection unit;
  unit.unit_number = 58;
  unit.last_os_error = 28;
  EXPECT_EQ(report_io_condition(UnitDisposition::keep, ConditionCode::write_error, 38, &unit, ERROR_BRANCH), 38);
  EXPECT_EQ(report_io_condition(UnitDisposition::keep, ConditionCode::end_of_file, 24, &unit, ERROR_BRANCH), -1);
  EXPECT_EQ(unit.last_os_error, 0u);
}

TEST(ConditionRoutingDeathTest, SevereWithoutBranchPrintsAndEnds) {
  UnitConnection unit;
  unit.unit_number = 55;
  char path[] = "/data/KORV-data-E-sept08.txt";
  unit.path = path;
  EXPECT_EXIT(
      { (void)report_io_condition(UnitDisposition::keep, ConditionCode::input_conversion, 64, &unit, END_ONLY); },
      ::testing::ExitedWithCode(64),
      "korv2dunta: severe \\(64\\): input conversion error, unit 55, file /data/KORV-data-E-sept08.txt\r\n"
      "Image +PC +Routine +Line +Source");
}

TEST(ConditionRoutingDeathTest, EndOfFileWithoutEndBranchIsSevere) {
  UnitConnection unit;
  unit.unit_number = 55;
  EXPECT_EXIT({ (void)report_io_condition(UnitDisposition::keep, ConditionCode::end_of_file, 24, &unit, {}); },
              ::testing::ExitedWithCode(24),
              "korv2dunta: severe \\(24\\): end-of-file during read, unit 55, file \"Unknown\"\r\n");
}

TEST(ConditionRoutingDeathTest, PlatformTextPrecedesTheLine) {
  UnitConnection unit;
  unit.unit_number = 58;
  unit.last_os_error = 28;  // ENOSPC
  EXPECT_EXIT({ (void)report_io_condition(UnitDisposition::keep, ConditionCode::write_error, 38, &unit, QUIET_WRITE); },
              ::testing::ExitedWithCode(38),
              "^korv2dunta: No space left on device\r\nkorv2dunta: severe \\(38\\): error during write, unit 58");
}

TEST(DiagnosticLine, UnknownCodeKeepsItsWordAndNumber) {
  ::testing::internal::CaptureStderr();
  issue_diagnostic(static_cast<ConditionCode>(0x80000123u), {});
  issue_diagnostic(static_cast<ConditionCode>(0x00000007u), {});
  issue_diagnostic(static_cast<ConditionCode>(0x40000008u), {});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "korv2dunta: error (291): Message not found\n"
            "korv2dunta (7): Message not found\n"
            "korv2dunta: info (8): Message not found\n");
}

TEST(DiagnosticLine, ConsoleEventNotice) {
  ::testing::internal::CaptureStderr();
  const FormatArg name[] = {FormatArg::string("control-BREAK")};
  issue_diagnostic(ConditionCode::console_event, name);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "korv2dunta: error (200): program aborting due to control-BREAK event\r\n");
  // The formatted text is cut at 395 characters, line end and all.
  ::testing::internal::CaptureStderr();
  const std::string long_name(500, 'n');
  const FormatArg long_argument[] = {FormatArg::string(long_name.c_str())};
  issue_diagnostic(ConditionCode::console_event, long_argument);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "korv2dunta: error (200): " + ("program aborting due to " + long_name).substr(0, 395));
}

TEST(SystemError, PlatformTextEndsInCrLf) {
  ::testing::internal::CaptureStderr();
  report_system_error(2);  // ENOENT
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "korv2dunta: No such file or directory\r\n");
}

}  // namespace
}  // namespace records

namespace records {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

volatile bool keep_recursing = true;

/// Recurses until the stack is gone; the volatile array keeps every frame real.
int recurse_deeply(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (!keep_recursing) return frame[0];
  return recurse_deeply(depth + 1) + frame[0];
}

volatile int zero_divisor = 0;
int* volatile null_pointer = nullptr;

// Faults take the sanitizers' own handlers in their builds, so these run in plain builds only.
TEST(FaultSorting, StackOverflowIsAFaultWithin64KiBOfTheStack) {
  using platform::FaultKind;
  using platform::sort_fault;
  constexpr std::uintptr_t SP = 0x40000000;
  EXPECT_EQ(sort_fault(SIGSEGV, 0, SP - 65536, SP, 0, 0), FaultKind::stack_overflow);
  EXPECT_EQ(sort_fault(SIGSEGV, 0, SP - 65537, SP, 0, 0), FaultKind::access_violation);
  EXPECT_EQ(sort_fault(SIGSEGV, 0, SP + 65535, SP, 0, 0), FaultKind::stack_overflow);
  EXPECT_EQ(sort_fault(SIGBUS, 0, SP + 65536, SP, 0, 0), FaultKind::other);
  // Without the registers, the stack's bounds serve; without those, nothing is an overflow.
  constexpr std::uintptr_t LOW = 0x30000000;
  EXPECT_EQ(sort_fault(SIGSEGV, 0, LOW - 65536, 0, LOW, SP), FaultKind::stack_overflow);
  EXPECT_EQ(sort_fault(SIGSEGV, 0, LOW - 65537, 0, LOW, SP), FaultKind::access_violation);
  EXPECT_EQ(sort_fault(SIGSEGV, 0, SP, 0, LOW, SP), FaultKind::access_violation);
  EXPECT_EQ(sort_fault(SIGSEGV, 0, LOW, 0, 0, 0), FaultKind::access_violation);
  EXPECT_EQ(sort_fault(SIGFPE, FPE_INTDIV, 0, SP, 0, 0), FaultKind::integer_divide);
  EXPECT_EQ(sort_fault(SIGFPE, FPE_FLTDIV, 0, SP, 0, 0), FaultKind::other);
}

TEST(ProcessorFaultDeathTest, StackOverflow) {
  if (SANITIZED) GTEST_SKIP() << "the address sanitizer handles stack overflows itself";
  EXPECT_EXIT(
      {
        start_run();
        (void)recurse_deeply(0);
      },
      ::testing::ExitedWithCode(170),
      "^korv2dunta: severe \\(170\\): Program Exception - stack overflow\r\nImage +PC +Routine +Line +Source");
}

/// Faults in its first 256 bytes, which its alignment keeps within one 256-byte block.
[[gnu::noinline, gnu::aligned(256)]] void store_through_null() { *null_pointer = 1; }

TEST(ProcessorFaultDeathTest, AccessViolation) {
  if (SANITIZED) GTEST_SKIP() << "the address sanitizer handles access violations itself";
#if defined(__linux__) && !defined(KORV_PORTABLE_POSIX)
  // The traceback starts at the faulting instruction, whose registers the handler reads: its
  // first row's PC lies in the block.
  const std::string rows_before;
#else
  // Without the fault's registers it starts in the handler; the faulting row follows.
  const std::string rows_before = "([^\n]*\n)*";
#endif
  platform::FrameInfo start{};
  platform::describe_frame(reinterpret_cast<const void*>(&store_through_null), &start);
  char block[32];
  std::snprintf(block, sizeof block, "%8.8lX", static_cast<unsigned long>(start.pc));
  EXPECT_EXIT(
      {
        // A caller may hand over the fault signal blocked; the fault is still reported.
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGSEGV);
        ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
        start_run();
        store_through_null();
      },
      ::testing::ExitedWithCode(157),
      "^korv2dunta: severe \\(157\\): Program Exception - access violation\r\nImage +PC +Routine +Line +Source +\n" +
          rows_before + ".{17}  " + std::string(block, std::strlen(block) - 2) + "[0-9A-F][0-9A-F]  ");
}

TEST(ProcessorFaultDeathTest, IntegerDivideByZero) {
  if (SANITIZED) GTEST_SKIP() << "the undefined-behaviour sanitizer reports the division first";
#if defined(__aarch64__)
  GTEST_SKIP() << "AArch64 has no divide fault: a division by zero gives 0";
#endif
  EXPECT_EXIT(
      {
        start_run();
        std::exit(100 / zero_divisor);
      },
      ::testing::ExitedWithCode(164),
      "^korv2dunta: severe \\(164\\): Program Exception - integer divide by zero\r\nImage +PC +Routine +Line +Source");
}

TEST(ProcessorFaultDeathTest, OtherFaultsCarryTheirExceptionCode) {
  EXPECT_EXIT(
      {
        start_run();
        std::raise(SIGILL);
      },
      ::testing::ExitedWithCode(172),
      "^korv2dunta: severe \\(172\\): Program Exception - exception code = 0x4 \\(4\\)\r\n");
}

}  // namespace
}  // namespace records
