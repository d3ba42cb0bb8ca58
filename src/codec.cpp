#include "codec.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include <fmt/format.h>
#include <kj/io.h>

namespace vorn_package {

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = kj::maxValue;  // bounded by Budget instead
  options.nestingLimit = 64;
  return options;
}

namespace detail {

void fail_capnp(std::string description) {
  throw Failure{PackageError::capnp(CapnpErrorKind::Failed, std::move(description))};
}

PackageError from_kj(const kj::Exception& e) {
  CapnpErrorKind kind = CapnpErrorKind::Failed;
  switch (e.getType()) {
    case kj::Exception::Type::FAILED: kind = CapnpErrorKind::Failed; break;
    case kj::Exception::Type::OVERLOADED: kind = CapnpErrorKind::Overloaded; break;
    case kj::Exception::Type::DISCONNECTED: kind = CapnpErrorKind::Disconnected; break;
    case kj::Exception::Type::UNIMPLEMENTED: kind = CapnpErrorKind::Unimplemented; break;
  }
  return PackageError::capnp(kind, std::string(e.getDescription().cStr()));
}

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  std::size_t i = 0;
  while (i < n) {
    // Plain ASCII eight bytes at a time: the common case for names.
    while (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if (chunk & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    auto bad = [&](std::optional<std::uint8_t> len) { return Utf8Error{i, len}; };
    if (b >= 0xC2 && b <= 0xDF) {
      if (i + 1 >= n) return bad(std::nullopt);
      if (!cont(s[i + 1])) return bad(1);
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (i + 1 >= n) return bad(std::nullopt);
      unsigned char c = s[i + 1];
      bool ok = b == 0xE0 ? (c >= 0xA0 && c <= 0xBF) : b == 0xED ? (c >= 0x80 && c <= 0x9F) : cont(c);
      if (!ok) return bad(1);
      if (i + 2 >= n) return bad(std::nullopt);
      if (!cont(s[i + 2])) return bad(2);
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (i + 1 >= n) return bad(std::nullopt);
      unsigned char c = s[i + 1];
      bool ok = b == 0xF0 ? (c >= 0x90 && c <= 0xBF) : b == 0xF4 ? (c >= 0x80 && c <= 0x8F) : cont(c);
      if (!ok) return bad(1);
      if (i + 2 >= n) return bad(std::nullopt);
      if (!cont(s[i + 2])) return bad(2);
      if (i + 3 >= n) return bad(std::nullopt);
      if (!cont(s[i + 3])) return bad(3);
      i += 4;
    } else {
      return bad(1);
    }
  }
  return std::nullopt;
}

namespace {
constexpr std::size_t kBudgetSlack = std::size_t{14} << 20;  // 16 MiB less 2 for the decoder itself
constexpr std::size_t kBudgetFactor = 8;
}  // namespace

Budget::Budget(std::size_t input_bytes)
    : limit_(input_bytes > (SIZE_MAX - kBudgetSlack) / kBudgetFactor ? SIZE_MAX
                                                                      : input_bytes * kBudgetFactor + kBudgetSlack),
      remaining_(limit_) {}

void Budget::exceeded(std::size_t bytes) const {
  throw Failure{PackageError::capnp(
      CapnpErrorKind::Overloaded,
      fmt::format("decode limit exceeded: the message would decode into more than {} bytes of records "
                  "(bound: 8 x its input + 16 MiB; {} more bytes requested with {} left); a message whose "
                  "pointers share objects is refused",
                  limit_, bytes, remaining_))};
}

void Framed::Release::operator()(capnp::word* words) const {
  if (bytes == 0) {
    ::operator delete(words);
  } else {
    munmap(words, bytes);
  }
}

Framed frame_message(std::span<const std::uint8_t> input, Budget& budget) {
  auto u32_at = [&](std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, input.data() + offset, 4);
    return v;  // little-endian host, as Cap'n Proto itself requires
  };
  if (input.size() < 8) {
    fail_capnp(fmt::format("input of {} bytes is too short for a message segment table", input.size()));
  }
  // The count field holds count - 1, so 0xFFFFFFFF announces 2^32 segments.
  std::uint64_t segments = std::uint64_t{u32_at(0)} + 1;
  if (segments >= 512) {
    fail_capnp(fmt::format("segment table announces {} segments; at most 511 are accepted", segments));
  }
  std::size_t table_bytes = (4 + 4 * segments + 7) / 8 * 8;
  if (input.size() < table_bytes) {
    fail_capnp(fmt::format("input of {} bytes ends inside a segment table of {} bytes", input.size(), table_bytes));
  }
  std::uint64_t words = 0;
  for (std::uint64_t i = 0; i < segments; ++i) words += u32_at(4 + 4 * i);  // < 2^41: no overflow
  std::uint64_t available = (input.size() - table_bytes) / 8;
  if (words > available) {
    fail_capnp(fmt::format("segment table announces {} words of segments but the input holds {}", words, available));
  }
  std::size_t message_words = table_bytes / 8 + words;

  Framed framed;
  if (reinterpret_cast<std::uintptr_t>(input.data()) % alignof(capnp::word) == 0) {
    framed.words = kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(input.data()), message_words);
  } else {
    const std::size_t bytes = message_words * sizeof(capnp::word);
    budget.charge(bytes);
    void* memory;
    if (bytes < (std::size_t{4} << 20)) {
      memory = ::operator new(bytes);
      framed.copy = std::unique_ptr<capnp::word, Framed::Release>(static_cast<capnp::word*>(memory), Framed::Release{0});
    } else {
      // A large copy lives only for the decode, and most of its cost is
      // faulting in fresh pages: a private mapping, with transparent huge
      // pages asked for where the system offers them.
      memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (memory == MAP_FAILED) throw std::bad_alloc();
      framed.copy = std::unique_ptr<capnp::word, Framed::Release>(static_cast<capnp::word*>(memory), Framed::Release{bytes});
      madvise(memory, bytes, MADV_HUGEPAGE);
    }
    std::memcpy(memory, input.data(), bytes);
    framed.words = kj::ArrayPtr<const capnp::word>(framed.copy.get(), message_words);
  }
  return framed;
}

namespace {
// Cap'n Proto counts list elements, and the words of a composite list, in
// 29 bits.
constexpr std::size_t kMaxListElements = (std::size_t{1} << 29) - 1;

[[noreturn]] void too_large(std::string message) {
  throw Failure{PackageError::capnp(CapnpErrorKind::Failed, std::move(message))};
}
}  // namespace

void EncodeLimits::list(std::size_t count, std::size_t words, const char* what) {
  if (count > kMaxListElements) {
    too_large(fmt::format("cannot encode {}: {} elements exceed the list limit of {}", what, count, kMaxListElements));
  }
  if (words != 0 && count * words > kMaxListElements) {
    too_large(fmt::format("cannot encode {}: {} elements of {} words exceed the list limit of {} words", what, count,
                          words, kMaxListElements));
  }
}

void EncodeLimits::blob(std::size_t bytes, const char* what) {
  if (bytes > kMaxListElements) {
    too_large(fmt::format("cannot encode {}: {} bytes exceed the blob limit of {}", what, bytes, kMaxListElements));
  }
}

void EncodeLimits::text(const std::string& text, const char* what) {
  // The terminating NUL counts against the limit.
  if (text.size() >= kMaxListElements) {
    too_large(fmt::format("cannot encode {}: {} bytes exceed the text limit of {}", what, text.size(),
                          kMaxListElements - 1));
  }
}

void EncodeLimits::step(const ProfileStep& step) {
  text(step.operation, "a step operation");
  text(step.kernel, "a step kernel");
  list(step.metadata.size(), 2, "step metadata");
  for (const ProfileMetadata& m : step.metadata) {
    text(m.name, "a metadata name");
    text(m.value, "a metadata value");
  }
  list(step.exchange_activities.size(), 2, "step exchange activities");
}

namespace {
// Appends straight to the caller's vector: one copy of the segments.
class AppendStream final : public kj::OutputStream {
 public:
  explicit AppendStream(std::vector<std::uint8_t>& out) : out_(out) {}
  void write(const void* buffer, size_t size) override {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    out_.insert(out_.end(), p, p + size);
  }
  void write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    for (auto piece : pieces) write(piece.begin(), piece.size());
  }

 private:
  std::vector<std::uint8_t>& out_;
};
}  // namespace

void append_message(capnp::MessageBuilder& builder, std::vector<std::uint8_t>& output) {
  const std::size_t before = output.size();
  try {
    output.reserve(before + capnp::computeSerializedSizeInWords(builder) * sizeof(capnp::word));
    AppendStream stream(output);
    capnp::writeMessage(stream, builder);
  } catch (...) {
    output.resize(before);
    throw;
  }
}

namespace {

constexpr std::size_t kMaxSegmentWords = (std::size_t{1} << 29) - 1;

// Hands out segments of known sizes, back to back in caller-provided zeroed
// memory.
class PlacedBuilder final : public capnp::MessageBuilder {
 public:
  struct Mismatch {};
  PlacedBuilder(capnp::word* base, std::span<const std::uint32_t> sizes) : next_(base), sizes_(sizes) {}
  kj::ArrayPtr<capnp::word> allocateSegment(unsigned minimum) override {
    if (index_ >= sizes_.size() || sizes_[index_] < minimum) throw Mismatch{};
    auto segment = kj::arrayPtr(next_, sizes_[index_]);
    next_ += sizes_[index_++];
    return segment;
  }

 private:
  capnp::word* next_;
  std::span<const std::uint32_t> sizes_;
  std::size_t index_ = 0;
};

}  // namespace

SegmentPlan::Segment SegmentPlan::arena(std::size_t words) {
  if (!segments_.empty()) {
    State& newest = segments_.back();
    if (words <= newest.capacity - newest.used) {
      newest.used += words;
      return segments_.size() - 1;
    }
  }
  // MallocMessageBuilder: the first segment sets the pace, later ones grow
  // it by their own size, up to the largest segment a message may have.
  if (words > kMaxSegmentWords) fail_capnp(fmt::format("an object of {} words exceeds the segment limit", words));
  std::size_t size = std::max(words, next_size_);
  next_size_ = segments_.empty() ? size : std::min(next_size_ + size, kMaxSegmentWords);
  segments_.push_back(State{size, words});
  return segments_.size() - 1;
}

SegmentPlan::Segment SegmentPlan::root(std::size_t words) { return object(arena(1), words); }

SegmentPlan::Segment SegmentPlan::object(Segment pointer, std::size_t words) {
  State& home = segments_[pointer];
  if (words <= home.capacity - home.used) {
    home.used += words;
    return pointer;
  }
  return arena(words + 1);  // with the landing pad of a far pointer
}

std::vector<std::uint32_t> SegmentPlan::sizes() const {
  std::vector<std::uint32_t> sizes;
  sizes.reserve(segments_.size());
  for (const State& s : segments_) sizes.push_back(static_cast<std::uint32_t>(s.used));
  return sizes;
}

std::vector<std::uint32_t> segment_sizes(capnp::MessageBuilder& message) {
  std::vector<std::uint32_t> sizes;
  for (auto segment : message.getSegmentsForOutput()) sizes.push_back(static_cast<std::uint32_t>(segment.size()));
  return sizes;
}

void write_message(std::vector<std::uint8_t>& output, const std::vector<std::uint32_t>& plan,
                   const std::function<void(capnp::MessageBuilder&)>& build) {
  const std::size_t before = output.size();
  std::size_t words = 0;
  for (std::uint32_t size : plan) words += size;
  const std::size_t table_bytes = (4 + 4 * plan.size() + 7) / 8 * 8;

  try {
    output.resize(before + table_bytes + words * sizeof(capnp::word));  // zeroed, as segments must be
    std::uint8_t* table = output.data() + before;
    if (!plan.empty() && reinterpret_cast<std::uintptr_t>(table) % alignof(capnp::word) == 0) {
      PlacedBuilder placed(reinterpret_cast<capnp::word*>(table + table_bytes), plan);
      try {
        build(placed);
        if (segment_sizes(placed) == plan) {
          std::uint32_t count_minus_one = static_cast<std::uint32_t>(plan.size() - 1);
          std::memcpy(table, &count_minus_one, 4);
          std::memcpy(table + 4, plan.data(), 4 * plan.size());
          return;
        }
      } catch (const PlacedBuilder::Mismatch&) {
      }
    }
    output.resize(before);
    capnp::MallocMessageBuilder message;
    build(message);
    append_message(message, output);
  } catch (...) {
    output.resize(before);
    throw;
  }
}

}  // namespace detail
}  // namespace vorn_package
