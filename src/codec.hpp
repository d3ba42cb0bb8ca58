// Shared pieces of the two message formats (packages and profile reports):
// framing checks, the memory bound of a decode, text and enumerant checks,
// the one place that turns lower-layer failures into a PackageError, and the
// step encoding that both schemas lay out identically.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/exception.h>

#include <vorn_package/vorn_package.hpp>

namespace vorn_package::detail {

// Thrown inside a decode or encode and caught at the operation's boundary;
// never leaves the library.
struct Failure {
  PackageError error;
};

[[noreturn]] void fail_capnp(std::string description);

PackageError from_kj(const kj::Exception& e);

// Runs `body` and turns every failure it raises into a PackageError: our own
// Failure, Cap'n Proto's lazy exceptions from getters, and exhausted memory.
template <class T, class Body>
std::expected<T, PackageError> guarded(Body&& body) noexcept {
  try {
    if constexpr (std::is_void_v<T>) {
      body();
      return {};
    } else {
      return body();
    }
  } catch (Failure& f) {
    return std::unexpected(std::move(f.error));
  } catch (const kj::Exception& e) {
    return std::unexpected(from_kj(e));
  } catch (const std::bad_alloc&) {
    return std::unexpected(PackageError::capnp(CapnpErrorKind::Overloaded, "out of memory"));
  } catch (const std::exception& e) {
    return std::unexpected(PackageError::capnp(CapnpErrorKind::Failed, e.what()));
  }
}

// The standard UTF-8 check: the error of the first invalid sequence, if any.
std::optional<Utf8Error> check_utf8(std::string_view text) noexcept;

// Bounds the memory one decode may take: 8 x the input + 16 MiB. Every
// heap block the decode builds (vectors, texts, an aligned copy of the input)
// is charged, with the allocator's overhead, before it is allocated; 2 MiB of
// the bound are kept for what the decode needs besides its records. Shared
// objects make a message decode into more records than it holds bytes; such
// a decode is stopped instead of exhausting the machine.
class Budget {
 public:
  explicit Budget(std::size_t input_bytes);
  // A heap block of `bytes`.
  void charge(std::size_t bytes) {
    if (bytes == 0) return;
    // glibc: a 16-byte header and 16-byte granules; mapped blocks take pages.
    std::size_t cost = bytes >= (std::size_t{128} << 10) ? (bytes + 8191) / 4096 * 4096 : (bytes + 31) / 16 * 16;
    if (cost > remaining_ || cost < bytes) exceeded(bytes);
    remaining_ -= cost;
  }
  // A text of `length` bytes in a std::string: on the heap past 15 bytes.
  void charge_text(std::size_t length) {
    if (length > 15) charge(length + 1);
  }
  template <class T>
  void charge_elements(std::size_t count) {
    if (count > remaining_ / sizeof(T)) exceeded(count * sizeof(T));
    charge(count * sizeof(T));
  }

 private:
  [[noreturn]] void exceeded(std::size_t bytes) const;
  std::size_t limit_;
  std::size_t remaining_;
};

// A framed message checked against its segment table and viewed as words.
// Aligned input is used in place; unaligned input is copied once (only the
// message, not what follows it).
struct Framed {
  struct Release {
    std::size_t bytes;  // 0: from the heap
    void operator()(capnp::word* words) const;
  };
  std::unique_ptr<capnp::word, Release> copy{nullptr, Release{0}};
  kj::ArrayPtr<const capnp::word> words;
};

// Checks the segment table before anything is sliced or allocated; an
// aligned copy is charged to the budget.
Framed frame_message(std::span<const std::uint8_t> input, Budget& budget);

// A text field: checked as UTF-8, charged, copied.
inline std::string read_text(capnp::Text::Reader text, Budget& budget) {
  std::string_view bytes(text.begin(), text.size());
  if (auto error = check_utf8(bytes)) throw Failure{PackageError::utf8(*error)};
  budget.charge_text(bytes.size());
  return std::string(bytes);
}

// Texts are passed with their length: no strlen, and no cut at an inner NUL.
inline capnp::Text::Reader as_text(const std::string& s) { return capnp::Text::Reader(s.data(), s.size()); }

template <class T, class ListReader>
std::vector<T> reserve_for(const ListReader& list, Budget& budget) {
  budget.charge_elements<T>(list.size());
  std::vector<T> out;
  out.reserve(list.size());
  return out;
}

template <class ListReader>
std::vector<std::uint32_t> read_u32_list(const ListReader& list, Budget& budget) {
  auto out = reserve_for<std::uint32_t>(list, budget);
  for (std::uint32_t v : list) out.push_back(v);
  return out;
}

template <class Enum>
std::uint16_t enum_value(Enum e) {
  return static_cast<std::uint16_t>(e);
}

// Decodes one step into `step` (a fresh record, built in place where it is
// kept). StepReader is the reader of either schema's step structure; they
// share names and layout.
template <class StepReader>
void read_step(const StepReader& r, Budget& budget, ProfileStep& step) {
  step.local_index = r.getLocalIndex();
  step.phase = r.getPhase();
  step.epoch = r.getEpoch();
  step.operation = read_text(r.getOperation(), budget);
  std::uint16_t kind = enum_value(r.getKind());
  if (kind > 3) throw Failure{PackageError::schema_enum(kind)};
  step.kind = static_cast<ProfileStepKind>(kind);
  step.kernel = read_text(r.getKernel(), budget);
  auto metadata = r.getMetadata();
  budget.charge_elements<ProfileMetadata>(metadata.size());
  step.metadata.reserve(metadata.size());
  for (auto entry : metadata) {
    ProfileMetadata& m = step.metadata.emplace_back();
    m.name = read_text(entry.getName(), budget);
    m.value = read_text(entry.getValue(), budget);
  }
  auto activities = r.getExchangeActivities();
  budget.charge_elements<ProfileExchangeActivity>(activities.size());
  step.exchange_activities.reserve(activities.size());
  for (auto activity : activities) {
    std::uint16_t activity_kind = enum_value(activity.getKind());
    if (activity_kind > 2) throw Failure{PackageError::schema_enum(activity_kind)};
    step.exchange_activities.push_back(ProfileExchangeActivity{static_cast<ProfileExchangeActivityKind>(activity_kind),
                                                               activity.getStartCycle(), activity.getEndCycle()});
  }
  step.exchange_event_cycles = r.getExchangeEventCycles();
}

// Encodes one step; the order of the setters fixes the order of the objects
// in the message, and so the bytes.
template <class StepBuilder>
void write_step(StepBuilder b, const ProfileStep& step) {
  using KindEnum = decltype(b.getKind());
  using ActivityKindEnum = decltype(b.getExchangeActivities()[0].getKind());
  b.setLocalIndex(step.local_index);
  b.setPhase(step.phase);
  b.setEpoch(step.epoch);
  b.setOperation(as_text(step.operation));
  b.setKind(static_cast<KindEnum>(step.kind));
  b.setKernel(as_text(step.kernel));
  b.setExchangeEventCycles(step.exchange_event_cycles);
  auto metadata = b.initMetadata(static_cast<unsigned>(step.metadata.size()));
  for (unsigned i = 0; i < step.metadata.size(); ++i) {
    auto entry = metadata[i];
    entry.setName(as_text(step.metadata[i].name));
    entry.setValue(as_text(step.metadata[i].value));
  }
  auto activities = b.initExchangeActivities(static_cast<unsigned>(step.exchange_activities.size()));
  for (unsigned i = 0; i < step.exchange_activities.size(); ++i) {
    auto activity = activities[i];
    const ProfileExchangeActivity& a = step.exchange_activities[i];
    activity.setKind(static_cast<ActivityKindEnum>(a.kind));
    activity.setStartCycle(a.start_cycle);
    activity.setEndCycle(a.end_cycle);
  }
}

// Predicts, without building anything, the segments Cap'n Proto's standard
// builder (MallocMessageBuilder with its defaults) makes for a sequence of
// allocations: the first segment of 1024 words, each further one as large as
// all before it (or as the object needs); an object goes into the segment
// that holds its pointer when it fits there, else into the newest segment,
// else into a new one, behind a one-word landing pad for a far pointer.
class SegmentPlan {
 public:
  using Segment = std::size_t;
  // The root pointer and a root structure of `words`; its segment.
  Segment root(std::size_t words);
  // An object of `words` whose pointer lies in `pointer`; its segment.
  Segment object(Segment pointer, std::size_t words);
  Segment text(Segment pointer, std::size_t bytes) { return object(pointer, (bytes + 8) / 8); }
  Segment data(Segment pointer, std::size_t bytes) { return object(pointer, (bytes + 7) / 8); }
  Segment structs(Segment pointer, std::size_t count, std::size_t words) { return object(pointer, 1 + count * words); }
  Segment u32s(Segment pointer, std::size_t count) { return object(pointer, (4 * count + 7) / 8); }
  // The words each segment ends up holding.
  std::vector<std::uint32_t> sizes() const;

 private:
  Segment arena(std::size_t words);
  struct State {
    std::size_t capacity;
    std::size_t used;
  };
  std::vector<State> segments_;
  std::size_t next_size_ = 1024;  // the standard first segment
};

// The allocations of one step, in the order write_step makes them.
inline void plan_step(SegmentPlan& plan, SegmentPlan::Segment step_segment, const ProfileStep& step) {
  plan.text(step_segment, step.operation.size());
  plan.text(step_segment, step.kernel.size());
  auto metadata = plan.structs(step_segment, step.metadata.size(), 2);
  for (const ProfileMetadata& m : step.metadata) {
    plan.text(metadata, m.name.size());
    plan.text(metadata, m.value.size());
  }
  plan.structs(step_segment, step.exchange_activities.size(), 2);
}

// What Cap'n Proto can encode: refuse a list, blob or text past its limits
// before anything is built, instead of writing a truncated length.
class EncodeLimits {
 public:
  // A list of `count` elements of `words` words each (0 for primitive lists).
  static void list(std::size_t count, std::size_t words, const char* what);
  static void blob(std::size_t bytes, const char* what);
  static void text(const std::string& text, const char* what);
  static void step(const ProfileStep& step);
};

// Serialises the message in the standard stream framing and appends it to
// `output`; on failure `output` keeps exactly what it held.
void append_message(capnp::MessageBuilder& builder, std::vector<std::uint8_t>& output);

// Builds a message with Cap'n Proto's standard allocation and appends it,
// framed, to `output`, with the bytes the standard builder gives.
//
// `plan` holds the segment sizes that SegmentPlan predicted for the
// allocations `build(message)` will make. Each segment is placed at its final
// position inside `output`, exactly as large as predicted, so the data is
// written once, straight into the caller's vector, instead of into the
// builder's own segments and then copied out. Every allocation that fits a
// predicted segment fits it here too, and every one that does not fit does
// not, so the builder makes the same decisions. Should the build ask for
// segments other than the predicted ones, or the place in `output` not be
// 8-byte aligned, the message is built by the standard builder and copied.
void write_message(std::vector<std::uint8_t>& output, const std::vector<std::uint32_t>& plan,
                   const std::function<void(capnp::MessageBuilder&)>& build);

// Segment sizes of a built message.
std::vector<std::uint32_t> segment_sizes(capnp::MessageBuilder& message);

}  // namespace vorn_package::detail
