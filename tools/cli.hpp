// Shared pieces of the vorn-package command-line tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <vorn_package/vorn_package.hpp>

namespace cli {

using namespace vorn_package;

// Ends a command: printed as "vorn-package: <what>: <detail>" with the exit
// status (1: invalid input or failed operation, 2: usage or I/O).
struct Failure {
  int status;
  std::string what;
  std::string detail;
};

inline constexpr int kInvalid = 1;
inline constexpr int kIoError = 2;

[[noreturn]] void fail(int status, std::string what, std::string detail);
[[noreturn]] void fail(std::string what, const PackageError& error);

// A whole file, memory-mapped read-only: page-aligned, so the readers decode
// it in place.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

Application read_package(const std::string& path);
ProfileReport read_report(const std::string& path);
void write_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Buffered output to a file, gzip-compressed when the name ends in ".gz".
class Output {
 public:
  explicit Output(const std::string& path);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  void write(std::string_view text);
  void close();  // flushes; fails with an I/O error

 private:
  void flush();
  std::string path_;
  std::string buffer_;
  std::FILE* file_ = nullptr;
  void* gz_ = nullptr;
};

// JSON string literal, quotes included.
std::string json_string(std::string_view text);
// XML text with &, <, > and quotes escaped.
std::string xml_escape(std::string_view text);

// Cycle counters of one tile on a 64-bit time line: each reading advances
// from the previous one modulo 2^32, so counters that wrapped keep counting
// up and the steps of a tile never overlap.
struct TimedSample {
  const CycleSample* sample;
  std::uint64_t start;
  std::uint64_t end;
};
std::vector<TimedSample> unwrap(const TileProfile& tile);

// "1,3,8-12" -> predicate on physical tiles.
std::vector<std::pair<std::uint32_t, std::uint32_t>> parse_tile_ranges(const std::string& text);

int cmd_inspect(const std::string& package, bool json);
int cmd_validate(const std::vector<std::string>& packages);
int cmd_image(const std::string& package, std::optional<std::uint32_t> tile, bool all, const std::string& out);
int cmd_profile(const std::string& package, const std::string& runtime_output, std::uint64_t clock_hz,
                const std::string& out);
int cmd_report(const std::string& report, std::size_t top, bool json);
int cmd_trace(const std::string& report, const std::string& out, const std::string& tiles);
int cmd_timeline(const std::string& report, const std::string& out);
int cmd_diff(const std::string& old_package, const std::string& new_package, bool json);
int cmd_example(const std::string& dir, std::uint32_t tiles, std::uint32_t steps);

}  // namespace cli
