#include <vorn_package/error.hpp>

#include <ostream>

#include <fmt/format.h>

namespace vorn_package {

PackageError PackageError::capnp(CapnpErrorKind kind, std::string description) {
  PackageError e(Kind::Capnp, std::move(description));
  e.capnp_kind_ = kind;
  return e;
}

PackageError PackageError::io(std::error_code code) {
  PackageError e(Kind::Io, code.message());
  e.io_ = code;
  return e;
}

PackageError PackageError::utf8(Utf8Error error) {
  std::string text = error.error_len
                         ? fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error.error_len,
                                       error.valid_up_to)
                         : fmt::format("incomplete utf-8 byte sequence from index {}", error.valid_up_to);
  PackageError e(Kind::Utf8, std::move(text));
  e.utf8_ = error;
  return e;
}

PackageError PackageError::schema_enum(std::uint16_t value) {
  PackageError e(Kind::SchemaEnum, fmt::format("enumerant {} is not in the schema", value));
  e.enum_value_ = value;
  return e;
}

PackageError PackageError::invalid(std::string message) { return PackageError(Kind::Invalid, std::move(message)); }

std::optional<CapnpErrorKind> PackageError::capnp_kind() const {
  if (kind_ != Kind::Capnp) return std::nullopt;
  return capnp_kind_;
}

std::optional<std::error_code> PackageError::io_error() const {
  if (kind_ != Kind::Io) return std::nullopt;
  return io_;
}

std::optional<std::uint16_t> PackageError::schema_enum_value() const {
  if (kind_ != Kind::SchemaEnum) return std::nullopt;
  return enum_value_;
}

const char* to_string(PackageError::Kind kind) {
  switch (kind) {
    case PackageError::Kind::Capnp: return "Capnp";
    case PackageError::Kind::Io: return "Io";
    case PackageError::Kind::Utf8: return "Utf8";
    case PackageError::Kind::SchemaEnum: return "SchemaEnum";
    case PackageError::Kind::Invalid: return "Invalid";
  }
  return "?";
}

const char* to_string(CapnpErrorKind kind) {
  switch (kind) {
    case CapnpErrorKind::Failed: return "Failed";
    case CapnpErrorKind::Overloaded: return "Overloaded";
    case CapnpErrorKind::Disconnected: return "Disconnected";
    case CapnpErrorKind::Unimplemented: return "Unimplemented";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& os, const PackageError& error) {
  os << to_string(error.kind()) << '(';
  switch (error.kind()) {
    case PackageError::Kind::Invalid: os << '"' << error.message() << '"'; break;
    case PackageError::Kind::Capnp:
      os << to_string(*error.capnp_kind()) << ": " << error.message();
      break;
    case PackageError::Kind::SchemaEnum: os << *error.schema_enum_value(); break;
    case PackageError::Kind::Io:
    case PackageError::Kind::Utf8: os << error.message(); break;
  }
  return os << ')';
}

}  // namespace vorn_package
