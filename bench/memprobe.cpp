// Peak resident memory of one read or one write of the W1 package, in a
// fresh process, relative to the message size.
//   vorn-package-memprobe read|write
// prints: <mode> message_bytes=N extra_peak_bytes=M ratio=R

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "workloads.hpp"

namespace {

std::size_t status_kib(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stoul(line.substr(std::strlen(key)));
  }
  return 0;
}

// Sets the peak to the current resident size.
bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  return static_cast<bool>(clear);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "read" && mode != "write") {
    std::fprintf(stderr, "usage: %s read|write\n", argv[0]);
    return 2;
  }
  auto app = std::make_unique<vorn_package::Application>(workloads::w1());
  std::vector<std::uint8_t> bytes;
  std::size_t before = 0, peak = 0;
  if (mode == "write") {
    malloc_trim(0);
    before = status_kib("VmRSS:");
    if (!reset_peak()) return 1;
    if (!app->write(bytes)) return 1;
    peak = status_kib("VmHWM:");
  } else {
    if (!app->write(bytes)) return 1;
    app.reset();
    malloc_trim(0);
    before = status_kib("VmRSS:");  // holds the input
    if (!reset_peak()) return 1;
    auto read = vorn_package::Application::read(bytes);
    if (!read) return 1;
    peak = status_kib("VmHWM:");
  }
  const double extra = static_cast<double>(peak - before) * 1024.0;
  std::printf("%s message_bytes=%zu extra_peak_bytes=%.0f ratio=%.3f\n", mode.c_str(), bytes.size(), extra,
              extra / static_cast<double>(bytes.size()));
  return 0;
}
