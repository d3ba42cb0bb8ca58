#include "cli.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <fmt/format.h>

namespace cli {

void fail(int status, std::string what, std::string detail) { throw Failure{status, std::move(what), std::move(detail)}; }

void fail(std::string what, const PackageError& error) {
  // An error of the operating system is an I/O error; every other kind says
  // the input is invalid.
  fail(error.kind() == PackageError::Kind::Io ? kIoError : kInvalid, std::move(what), error.message());
}

MappedFile::MappedFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(kIoError, path, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int e = errno;
    ::close(fd);
    fail(kIoError, path, S_ISDIR(st.st_mode) ? "is a directory" : std::strerror(e));
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ != 0) {
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      int e = errno;
      ::close(fd);
      fail(kIoError, path, std::strerror(e));
    }
    data_ = static_cast<const std::uint8_t*>(p);
  }
  ::close(fd);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

Application read_package(const std::string& path) {
  MappedFile file(path);
  auto app = Application::read(file.bytes());
  if (!app) fail(path, app.error());
  return std::move(*app);
}

ProfileReport read_report(const std::string& path) {
  MappedFile file(path);
  auto report = ProfileReport::read(file.bytes());
  if (!report) fail(path, report.error());
  return std::move(*report);
}

void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fail(kIoError, path, std::strerror(errno));
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) fail(kIoError, path, "write failed");
}

Output::Output(const std::string& path) : path_(path) {
  if (path.size() > 3 && path.ends_with(".gz")) {
    gz_ = gzopen(path.c_str(), "wb1");  // fastest level: traces are large and compress well anyway
    if (!gz_) fail(kIoError, path, std::strerror(errno));
  } else {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) fail(kIoError, path, std::strerror(errno));
  }
  buffer_.reserve(1 << 20);
}

Output::~Output() {
  if (file_) std::fclose(file_);
  if (gz_) gzclose(static_cast<gzFile>(gz_));
}

void Output::write(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= (1 << 20)) flush();
}

void Output::flush() {
  if (buffer_.empty()) return;
  bool ok = file_ ? std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size()
                  : gzwrite(static_cast<gzFile>(gz_), buffer_.data(), static_cast<unsigned>(buffer_.size())) ==
                        static_cast<int>(buffer_.size());
  if (!ok) fail(kIoError, path_, "write failed");
  buffer_.clear();
}

void Output::close() {
  flush();
  int rc = 0;
  if (file_) rc = std::fclose(file_);
  if (gz_) rc = gzclose(static_cast<gzFile>(gz_)) == Z_OK ? 0 : -1;
  file_ = nullptr;
  gz_ = nullptr;
  if (rc != 0) fail(kIoError, path_, "write failed");
}

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
          out.push_back(' ');
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::vector<TimedSample> unwrap(const TileProfile& tile) {
  std::vector<TimedSample> out;
  out.reserve(tile.samples.size());
  std::uint64_t now = 0;
  std::uint32_t last = tile.samples.empty() ? 0 : tile.samples.front().start_cycle;
  for (const CycleSample& s : tile.samples) {
    now += static_cast<std::uint32_t>(s.start_cycle - last);
    std::uint64_t start = now;
    now += static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);
    last = s.end_cycle;
    out.push_back(TimedSample{&s, start, now});
  }
  return out;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> parse_tile_ranges(const std::string& text) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::stringstream in(text);
  std::string item;
  auto number = [&](const std::string& s) -> std::uint32_t {
    std::size_t used = 0;
    unsigned long long v = 0;
    try {
      v = std::stoull(s, &used, 10);
    } catch (...) {
      used = 0;
    }
    if (used != s.size() || s.empty() || v > 0xFFFFFFFFull) fail(kIoError, "--tiles", fmt::format("bad tile number '{}'", s));
    return static_cast<std::uint32_t>(v);
  };
  while (std::getline(in, item, ',')) {
    auto dash = item.find('-');
    if (dash == std::string::npos) {
      std::uint32_t t = number(item);
      ranges.emplace_back(t, t);
    } else {
      std::uint32_t a = number(item.substr(0, dash)), b = number(item.substr(dash + 1));
      if (a > b) fail(kIoError, "--tiles", fmt::format("empty range '{}'", item));
      ranges.emplace_back(a, b);
    }
  }
  if (ranges.empty()) fail(kIoError, "--tiles", "no tiles given");
  return ranges;
}

}  // namespace cli
