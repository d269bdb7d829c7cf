// The cycle-profile reader: decodes one profile message into plain owned
// records, checking the schema version, the step kinds and every text on the way.
//
//   kj::AutoCloseFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   auto report = zel_package::ProfileReport::read(kj::mv(fd));
//   if (!report) std::puts(zel_package::debug_text(report.error()).c_str());
#pragma once

#include <capnp/message.h>
#include <kj/exception.h>
#include <kj/io.h>

#include <cstdint>
#include <expected>
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "zel_utf8.h"

namespace zel_package {

enum class ProfileStepKind : std::uint8_t {
  Exchange = 0,
  Compute = 1,
  Synchronization = 2,
  Idle = 3
};

struct ProfileMetadata {
  std::string name;
  std::string value;
  bool operator==(const ProfileMetadata&) const = default;
};

struct ProfileStep {
  std::uint32_t local_index = 0;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string operation;
  ProfileStepKind kind = ProfileStepKind::Exchange;
  std::string kernel;
  std::vector<ProfileMetadata> metadata;
  bool operator==(const ProfileStep&) const = default;
};

struct CycleSample {
  ProfileStep step;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  bool operator==(const CycleSample&) const = default;
};

struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;
  bool operator==(const TileProfile&) const = default;
};

// A stored enum value that the schema does not name.
struct NotInSchema {
  std::uint16_t value = 0;
  bool operator==(const NotInSchema&) const = default;
};

// An operating-system error number (errno).
struct OsError {
  int code = 0;
  bool operator==(const OsError&) const = default;
};

// Why a profile could not be read. The alternatives of `value`, in order:
// Capnp (the decoding library failed; its exception is kept whole), Io,
// Utf8 (a text is not well-formed UTF-8), SchemaEnum (a kind outside the
// schema), Invalid (the message names what is unsupported).
struct PackageError {
  struct Capnp {
    kj::Exception exception;

    explicit Capnp(kj::Exception e) : exception(kj::mv(e)) {}
    Capnp(const Capnp&) = default;
    Capnp(Capnp&&) = default;
    // kj::Exception can be copied and moved but not assigned; errors can.
    Capnp& operator=(const Capnp& other) noexcept {
      if (this != &other) {
        exception.~Exception();
        new (&exception) kj::Exception(other.exception);
      }
      return *this;
    }
    Capnp& operator=(Capnp&& other) noexcept {
      if (this != &other) {
        exception.~Exception();
        new (&exception) kj::Exception(kj::mv(other.exception));
      }
      return *this;
    }
  };
  struct Io {
    OsError error;
  };
  struct Utf8 {
    zel_utf8::Utf8Error error;
  };
  struct SchemaEnum {
    NotInSchema error;
  };
  struct Invalid {
    std::string message;
  };

  PackageError(kj::Exception exception) : value(Capnp{kj::mv(exception)}) {}
  PackageError(OsError error) : value(Io{error}) {}
  PackageError(zel_utf8::Utf8Error error) : value(Utf8{error}) {}
  PackageError(NotInSchema error) : value(SchemaEnum{error}) {}
  PackageError(Invalid invalid) : value(std::move(invalid)) {}

  std::variant<Capnp, Io, Utf8, SchemaEnum, Invalid> value;
};

// Capnp(Error { kind: Failed, extra: "Premature EOF." }), Io(Os { code: 2, kind: NotFound,
// message: "No such file or directory" }), Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) }),
// SchemaEnum(NotInSchema(4)), Invalid("unsupported profile schema version 0")
std::string debug_text(const PackageError& error);

// No traversal limit, so that a whole-card profile of any size is read, and
// the library's default nesting limit of 64.
capnp::ReaderOptions capnp_reader_options();

struct ProfileReport {
  std::uint64_t clock_hz = 0;
  std::vector<TileProfile> tiles;
  bool operator==(const ProfileReport&) const = default;

  // Reads exactly one unpacked stream message from the current position of
  // `input` and copies it into owned records. The input is released before the
  // call returns, on every path; nothing of a failed read is kept. A regular
  // file that another process truncates or rewrites meanwhile gives an error
  // ("the file changed while it was read ..."), never a crash.
  static std::expected<ProfileReport, PackageError> read(kj::AutoCloseFd input);
  static std::expected<ProfileReport, PackageError> read(kj::Own<kj::InputStream> input);
};

}  // namespace zel_package
