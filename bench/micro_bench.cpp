// Micro-benchmarks of the record layer, each beside a baseline built on the C library's
// conversions in the same binary, so that their ratio means the same on any machine.
// A pair is named X and X_baseline; bench/run prints baseline time / X time.
// Data: the bundled sample line list, repeated into a scratch directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "converter/driver.h"
#include "converter/layouts.h"
#include "converter/line_record.h"
#include "converter/rules.h"
#include "platform/platform.h"
#include "records/detail.h"
#include "records/diagnostics.h"
#include "records/field_parse.h"
#include "records/field_render.h"
#include "records/reader.h"
#include "records/unit_connection.h"

namespace {

namespace fs = std::filesystem;
using converter::LineRecord;

/// Lines in the benchmark's input file; the reader re-opens it at its end.
constexpr std::size_t INPUT_LINES = 100000;
constexpr std::size_t FREQ_OFFSET = 56;
constexpr std::size_t FREQ_WIDTH = 10;
constexpr std::size_t DUNTA_COLUMNS = 66;

/// Everything the benchmarks share, built once before they run.
struct BenchData {
  fs::path directory;                                    ///< scratch directory, the current one while running
  std::vector<std::string> frequency_texts;              ///< columns 57-66 of each sample line, NUL-terminated
  std::vector<LineRecord> kept_records;                  ///< sample records as the rules leave them
  std::vector<double> scaled_frequencies;                ///< their frequencies, as rendered
  platform::FileHandle null_device = platform::NO_FILE;  ///< the output unit's descriptor
};

BenchData data;

constexpr records::StatementBranches NO_BRANCHES{};

[[noreturn]] void setup_failed(const char* what) {
  std::fprintf(stderr, "micro_bench: %s\n", what);
  std::exit(1);
}

std::vector<std::string> read_sample_lines() {
  std::FILE* sample = std::fopen(KORV_SAMPLE_FILE, "rb");
  if (sample == nullptr) setup_failed("cannot open the sample " KORV_SAMPLE_FILE);
  std::vector<std::string> lines;
  std::string line;
  for (int byte = std::fgetc(sample); byte != EOF; byte = std::fgetc(sample)) {
    if (byte == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(static_cast<char>(byte));
    }
  }
  std::fclose(sample);
  for (const std::string& each : lines) {
    if (each.size() < FREQ_OFFSET + FREQ_WIDTH) setup_failed("a sample line is shorter than 66 columns");
  }
  if (lines.empty()) setup_failed("the sample is empty");
  return lines;
}

void connect_input() {
  (void)records::connect_unit(
      {converter::INPUT_UNIT, converter::INPUT_FILE_NAME, records::BlankMode::null, records::FileStatus::old},
      NO_BRANCHES);
}

/// Starts the input file over: closes unit 55 and connects it again.
void reopen_input() {
  if (records::UnitConnection* unit = records::find_unit(converter::INPUT_UNIT)) (void)records::close_unit(*unit);
  connect_input();
}

void prepare() {
  const std::vector<std::string> sample = read_sample_lines();
  std::error_code error;
  data.directory = fs::temp_directory_path() / ("korv-micro-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(data.directory, error);
  if (error) setup_failed("cannot make the scratch directory");
  fs::current_path(data.directory);

  std::FILE* input = std::fopen(std::string(converter::INPUT_FILE_NAME).c_str(), "wb");
  if (input == nullptr) setup_failed("cannot write the input file");
  for (std::size_t i = 0; i < INPUT_LINES; ++i) {
    const std::string& line = sample[i % sample.size()];
    std::fwrite(line.data(), 1, line.size(), input);
    std::fwrite("\r\n", 1, 2, input);
  }
  std::fclose(input);
  // The writer's unit goes to the null device: the statement is timed, not the disk.
  fs::create_symlink("/dev/null", std::string(converter::OUTPUT_FILE_NAME), error);
  if (error) setup_failed("cannot link the output file to /dev/null");

  for (const std::string& line : sample) data.frequency_texts.push_back(line.substr(FREQ_OFFSET, FREQ_WIDTH));
  connect_input();
  for (std::size_t i = 0; i < sample.size(); ++i) {
    LineRecord record{};
    if (!converter::read_input_record(record)) setup_failed("the input ended early");
    if (converter::apply_conversion_rules(record)) {
      data.kept_records.push_back(record);
      data.scaled_frequencies.push_back(record.freq);
    }
  }
  if (data.kept_records.empty()) setup_failed("the sample has no kept record");
  reopen_input();
  (void)records::connect_unit(
      {converter::OUTPUT_UNIT, converter::OUTPUT_FILE_NAME, records::BlankMode::null, records::FileStatus::unknown},
      NO_BRANCHES);
  // The baseline writes through the same descriptor: the device is held locked by the unit.
  const records::UnitConnection* output = records::find_unit(converter::OUTPUT_UNIT);
  if (output == nullptr || !output->marks.connected) setup_failed("cannot connect the output unit");
  data.null_device = output->handle;
}

void clean_up() {
  records::close_all_units();
  std::error_code error;
  fs::current_path(data.directory.parent_path(), error);
  fs::remove_all(data.directory, error);
}

/// Next index into a table of `size` entries, wrapping to 0.
std::size_t next_index(std::size_t index, std::size_t size) { return index + 1 == size ? 0 : index + 1; }

// ---- reading one record ----

/// The read statement of the converter: take the next line, walk the input layout.
void bm_read_record(benchmark::State& state) {
  for (auto _ : state) {
    LineRecord record{};
    if (!converter::read_input_record(record)) {
      state.PauseTiming();
      reopen_input();
      state.ResumeTiming();
      continue;
    }
    benchmark::DoNotOptimize(record);
  }
}

/// An integer field through strtol, copied out so it ends in NUL.
std::int32_t integer_by_strtol(const char* field, std::size_t width) {
  char text[16];
  std::memcpy(text, field, width);
  text[width] = '\0';
  return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
}

/// The frequency through strtod; a field without a point counts 10^-7 units.
double real_by_strtod(const char* field) {
  char text[FREQ_WIDTH + 1];
  std::memcpy(text, field, FREQ_WIDTH);
  text[FREQ_WIDTH] = '\0';
  const double value = std::strtod(text, nullptr);
  return std::memchr(text, '.', FREQ_WIDTH) != nullptr ? value : value * 1e-7;
}

/// The same lines found by the same framing (take_record), fields converted by the C library.
void bm_read_record_baseline(benchmark::State& state) {
  records::UnitConnection* unit = records::find_unit(converter::INPUT_UNIT);
  for (auto _ : state) {
    if (records::detail::take_record(*unit) != records::ConditionCode::success) {
      state.PauseTiming();
      reopen_input();
      unit = records::find_unit(converter::INPUT_UNIT);
      state.ResumeTiming();
      continue;
    }
    const char* line = unit->formatting->input.record_start;  // every line holds 66 columns or more
    LineRecord record{};
    record.first.a = integer_by_strtol(line + 6, 2);
    record.first.b = integer_by_strtol(line + 11, 3);
    record.second.a = integer_by_strtol(line + 15, 2);
    record.second.b = integer_by_strtol(line + 20, 3);
    record.digit = integer_by_strtol(line + 26, 1);
    record.species = line[31];
    record.freq = real_by_strtod(line + FREQ_OFFSET);
    benchmark::DoNotOptimize(record);
  }
}

/// The framing alone, shared by both of the above: how much of a read is finding the line.
void bm_take_record(benchmark::State& state) {
  records::UnitConnection* unit = records::find_unit(converter::INPUT_UNIT);
  for (auto _ : state) {
    if (records::detail::take_record(*unit) != records::ConditionCode::success) {
      state.PauseTiming();
      reopen_input();
      unit = records::find_unit(converter::INPUT_UNIT);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(unit->formatting->input.record_start);
  }
}

// ---- one real field ----
// Each field as the compiled layouts take it: the constant-width form, and the general one
// for whatever that declines.

double parse_frequency(const char* text) {
  double value = 0.0;
  if (records::parse_fixed_constant_width<FREQ_WIDTH>(text, 7, value)) return value;
  return records::parse_fixed_in_full(std::string_view(text, FREQ_WIDTH), 7, true).value;
}

template <std::size_t W, std::size_t D>
void render_fixed_field(double value, char* columns) {
  if (!records::render_fixed_constant_width<W, D>(value, columns))
    (void)records::render_fixed_in_full(value, W, D, columns);
}

template <std::size_t W>
void render_integer_field(std::int32_t value, char* columns) {
  if (!records::render_integer_constant_width<W>(value, columns))
    (void)records::render_integer_in_full(value, W, columns);
}

void bm_parse_fixed(benchmark::State& state) {
  std::size_t index = 0;
  for (auto _ : state) {
    const double value = parse_frequency(data.frequency_texts[index].data());
    benchmark::DoNotOptimize(value);
    index = next_index(index, data.frequency_texts.size());
  }
}

/// strtod on the same texts, already NUL-terminated: the baseline gets no copy to do.
void bm_parse_fixed_baseline(benchmark::State& state) {
  std::size_t index = 0;
  for (auto _ : state) {
    const double value = std::strtod(data.frequency_texts[index].c_str(), nullptr);
    benchmark::DoNotOptimize(value);
    index = next_index(index, data.frequency_texts.size());
  }
}

void bm_render_fixed(benchmark::State& state) {
  std::size_t index = 0;
  char columns[12];
  for (auto _ : state) {
    render_fixed_field<12, 5>(data.scaled_frequencies[index], columns);
    benchmark::DoNotOptimize(columns);
    benchmark::ClobberMemory();
    index = next_index(index, data.scaled_frequencies.size());
  }
}

void bm_render_fixed_baseline(benchmark::State& state) {
  std::size_t index = 0;
  char text[32];
  for (auto _ : state) {
    std::snprintf(text, sizeof text, "%12.5f", data.scaled_frequencies[index]);
    benchmark::DoNotOptimize(text);
    benchmark::ClobberMemory();
    index = next_index(index, data.scaled_frequencies.size());
  }
}

// ---- one output record's fields ----

/// The fourteen values of a DUNTA line rendered into its 66 columns, skips blank.
void render_dunta_fields(const LineRecord& record, char* line) {
  std::memset(line, ' ', DUNTA_COLUMNS);
  render_fixed_field<12, 5>(record.freq, line);
  render_integer_field<2>(record.first.lead, line + 12);
  render_integer_field<2>(record.first.a, line + 16);
  render_integer_field<3>(record.first.b, line + 20);
  records::render_characters(&record.first.sign, 1, 1, line + 25);
  render_integer_field<2>(record.first.a_next, line + 27);
  render_integer_field<1>(record.second.lead, line + 31);
  render_integer_field<2>(record.second.a, line + 34);
  render_integer_field<3>(record.second.b, line + 38);
  records::render_characters(&record.second.sign, 1, 1, line + 43);
  render_integer_field<2>(record.second.a_next, line + 45);
  render_integer_field<1>(record.trailer_flag, line + 49);
  render_integer_field<4>(record.trailer_code, line + 53);
  records::render_characters(record.trailer_text, sizeof record.trailer_text, 6, line + 60);
}

/// The same line by one snprintf; returns its length (66 unless a value is too wide).
int snprintf_dunta_fields(const LineRecord& record, char* line, std::size_t size) {
  return std::snprintf(line, size, "%12.5f%2d  %2d  %3d  %c %2d  %1d  %2d  %3d  %c %2d  %1d   %4d   %.6s", record.freq,
                       record.first.lead, record.first.a, record.first.b, record.first.sign, record.first.a_next,
                       record.second.lead, record.second.a, record.second.b, record.second.sign, record.second.a_next,
                       record.trailer_flag, record.trailer_code, record.trailer_text);
}

void bm_render_record(benchmark::State& state) {
  std::size_t index = 0;
  char line[DUNTA_COLUMNS];
  for (auto _ : state) {
    render_dunta_fields(data.kept_records[index], line);
    benchmark::DoNotOptimize(line);
    benchmark::ClobberMemory();
    index = next_index(index, data.kept_records.size());
  }
}

void bm_render_record_baseline(benchmark::State& state) {
  std::size_t index = 0;
  char line[96];
  for (auto _ : state) {
    benchmark::DoNotOptimize(snprintf_dunta_fields(data.kept_records[index], line, sizeof line));
    benchmark::ClobberMemory();
    index = next_index(index, data.kept_records.size());
  }
}

// ---- the whole write statement, to the null device ----

/// The converter's write statement: record area, fields, CR LF, one platform write.
void bm_write_record(benchmark::State& state) {
  std::size_t index = 0;
  for (auto _ : state) {
    converter::write_output_record(data.kept_records[index]);
    index = next_index(index, data.kept_records.size());
  }
}

void bm_write_record_baseline(benchmark::State& state) {
  std::size_t index = 0;
  char line[96];
  const platform::FileCalls& calls = platform::file_calls();
  for (auto _ : state) {
    const int length = snprintf_dunta_fields(data.kept_records[index], line, sizeof line - 2);
    const auto end = static_cast<std::size_t>(length);
    line[end] = '\r';
    line[end + 1] = '\n';
    benchmark::DoNotOptimize(calls.write(data.null_device, line, end + 2));
    index = next_index(index, data.kept_records.size());
  }
}

BENCHMARK(bm_read_record);
BENCHMARK(bm_read_record_baseline);
BENCHMARK(bm_take_record);
BENCHMARK(bm_parse_fixed);
BENCHMARK(bm_parse_fixed_baseline);
BENCHMARK(bm_render_fixed);
BENCHMARK(bm_render_fixed_baseline);
BENCHMARK(bm_render_record);
BENCHMARK(bm_render_record_baseline);
BENCHMARK(bm_write_record);
BENCHMARK(bm_write_record_baseline);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  prepare();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  clean_up();
  return 0;
}
