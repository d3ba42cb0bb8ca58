#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <system_error>

namespace vorn_package {

// Which check of the Cap'n Proto layer failed, mirroring the library's own
// exception kinds so that callers need not include its headers.
enum class CapnpErrorKind : std::uint8_t { Failed, Overloaded, Disconnected, Unimplemented };

// The standard UTF-8 decoding error: the text is valid up to `valid_up_to`
// bytes; `error_len` is the length of the invalid sequence found there, or
// empty when the text ended in the middle of a sequence.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;
  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// The one error type of the library. Exactly one of five kinds, each with its
// payload; every operation returns either its result or one of these.
class PackageError {
 public:
  enum class Kind { Capnp, Io, Utf8, SchemaEnum, Invalid };

  static PackageError capnp(CapnpErrorKind kind, std::string description);
  static PackageError io(std::error_code code);
  static PackageError utf8(Utf8Error error);
  static PackageError schema_enum(std::uint16_t value);
  static PackageError invalid(std::string message);

  Kind kind() const { return kind_; }
  // Invalid: exactly the message of the broken rule. Capnp: the Cap'n Proto
  // description. Io: the system's message. Utf8 and SchemaEnum: a
  // description of the payload.
  const std::string& message() const { return message_; }

  // Payloads; each is present only for its own kind.
  std::optional<CapnpErrorKind> capnp_kind() const;
  std::optional<std::error_code> io_error() const;
  const Utf8Error* utf8() const { return kind_ == Kind::Utf8 ? &utf8_ : nullptr; }
  std::optional<std::uint16_t> schema_enum_value() const;

  friend bool operator==(const PackageError&, const PackageError&) = default;

 private:
  PackageError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  CapnpErrorKind capnp_kind_ = CapnpErrorKind::Failed;
  std::error_code io_;
  Utf8Error utf8_;
  std::uint16_t enum_value_ = 0;
};

const char* to_string(PackageError::Kind kind);
const char* to_string(CapnpErrorKind kind);

// Diagnostic form: the kind followed by its payload in parentheses, for
// example Invalid("incompatible package header") or SchemaEnum(4).
std::ostream& operator<<(std::ostream& os, const PackageError& error);

}  // namespace vorn_package
