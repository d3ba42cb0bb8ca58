// Hostile inputs, each decoded in a child process under a memory limit: the
// decode must return a PackageError within a second, growing the process's
// peak memory by no more than the decode bound (8 x input + 16 MiB).
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include <capnp/any.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "fixtures.hpp"
#include "package_codec.hpp"
#include "profile.capnp.h"

using namespace vorn_package;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory makes address-space limits meaningless
#else
constexpr bool kSanitized = false;
#endif

std::size_t status_kib(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stoul(line.substr(std::strlen(key)));
  }
  return 0;
}

struct Outcome {
  bool package_error = false;
  double seconds = 0;
  std::size_t peak_growth_bytes = 0;
};

// Runs decode in a child under RLIMIT_AS and an alarm; reports what it saw.
Outcome in_child(const std::function<bool()>& decode_fails, std::size_t limit_growth) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    alarm(10);  // a hang kills the child
    if (!kSanitized) {
      rlimit limit{};
      limit.rlim_cur = limit.rlim_max = status_kib("VmSize:") * 1024 + limit_growth + (64u << 20);
      setrlimit(RLIMIT_AS, &limit);
    }
    // Hand free heap memory back and undo the parent's mmap threshold, so that
    // what the decode allocates shows as resident growth, not as reuse of
    // pages the parent had already touched.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // peak := current
    Outcome o;
    std::size_t before = status_kib("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    o.package_error = decode_fails();
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.peak_growth_bytes = (status_kib("VmHWM:") - before) * 1024;
    ssize_t written = write(pipe_fds[1], &o, sizeof o);
    _exit(written == sizeof o ? 0 : 1);
  }
  close(pipe_fds[1]);
  Outcome o{};
  bool got = read(pipe_fds[0], &o, sizeof o) == sizeof o;
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child died, status " << status;
  return o;
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t v) {
  std::memcpy(bytes.data() + offset, &v, 4);
}

// A package whose segment data pointers all share one blob.
std::vector<std::uint8_t> shared_blob_package(std::size_t blob_bytes, unsigned references) {
  namespace s = application_capnp;
  capnp::MallocMessageBuilder message(static_cast<unsigned>(blob_bytes / 8 + 3 * references + 64));
  auto root = message.initRoot<s::Application>();
  root.setSchemaVersion(5);
  root.setTarget("vorn21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  auto segments = root.initTiles(1)[0].initSegments(references);
  segments[0].initData(static_cast<unsigned>(blob_bytes));
  kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  capnp::FlatArrayMessageReader reader(words);
  fixtures::share_first_pointer(words, reader.getRoot<s::Application>().getTiles()[0].getSegments());
  return {words.asBytes().begin(), words.asBytes().end()};
}

// A report whose samples all share one step with a large text.
std::vector<std::uint8_t> shared_step_report(std::size_t text_bytes, unsigned references) {
  namespace s = profile_capnp;
  capnp::MallocMessageBuilder message(static_cast<unsigned>(text_bytes / 8 + 10 * references + 64));
  auto root = message.initRoot<s::Profile>();
  root.setSchemaVersion(5);
  auto samples = root.initTiles(1)[0].initSamples(references);
  samples[0].initStep().initOperation(static_cast<unsigned>(text_bytes));
  kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  capnp::FlatArrayMessageReader reader(words);
  fixtures::share_first_pointer(words, reader.getRoot<s::Profile>().getTiles()[0].getSamples());
  return {words.asBytes().begin(), words.asBytes().end()};
}

struct Hostile {
  const char* what;
  std::vector<std::uint8_t> input;
  bool report;  // decode as a profile report instead of a package
};

TEST(Hostile, DecodesFailFastWithinTheMemoryBound) {
  std::vector<Hostile> cases;
  {
    std::vector<std::uint8_t> b(64, 0);
    put_u32(b, 4, 1u << 28);  // one segment of 2^28 words announced in 64 bytes
    cases.push_back({"64 bytes announcing 2^28 words", b, false});
    cases.push_back({"64 bytes announcing 2^28 words (report)", b, true});
  }
  {
    std::vector<std::uint8_t> b(4 + 4 * 512 + 4 + 8 * 512, 0);
    put_u32(b, 0, 511);
    for (int i = 0; i < 512; ++i) put_u32(b, 4 + 4 * i, 1);
    cases.push_back({"512-segment table", b, false});
  }
  {
    // A chain of 100 structures, each pointing at the next.
    std::vector<std::uint64_t> words = {0x0001000200000000ull};  // root: 2 data words, 1 pointer
    for (int i = 0; i < 100; ++i) {
      words.push_back(5);  // schema_version 5
      words.push_back(0);
      words.push_back(0x0001000200000000ull);
    }
    words.push_back(0);
    std::vector<std::uint8_t> b(8 + 8 * words.size(), 0);
    put_u32(b, 4, static_cast<std::uint32_t>(words.size()));
    std::memcpy(b.data() + 8, words.data(), 8 * words.size());
    cases.push_back({"nesting deeper than 64", b, false});
    cases.push_back({"nesting deeper than 64 (report)", b, true});
  }
  cases.push_back({"1 MB of pointers sharing one blob", shared_blob_package(256 << 10, 30000), false});
  cases.push_back({"1 MB of samples sharing one step", shared_step_report(256 << 10, 20000), true});

  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t bound = 8 * c.input.size() + (16u << 20);
    Outcome o = in_child(
        [&] { return c.report ? !ProfileReport::read(c.input) : !Application::read(c.input); }, bound);
    EXPECT_TRUE(o.package_error);
    // Sanitizers slow the decode and keep freed memory in quarantine: there
    // only the outcome and a looser time are checked.
    EXPECT_LT(o.seconds, kSanitized ? 10.0 : 1.0);
    if (!kSanitized) {
      EXPECT_LE(o.peak_growth_bytes, bound);
      if (c.input.size() > 500000) {
        EXPECT_LT(o.peak_growth_bytes, 32u << 20);
      }
    }
    std::printf("[ hostile  ] %-42s input %8zu B  peak +%9zu B  (bound %9zu B)  %.3f s\n", c.what, c.input.size(),
                o.peak_growth_bytes, bound, o.seconds);
  }
}

}  // namespace
