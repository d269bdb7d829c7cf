// The debug text of package errors: what a caller prints when it gives up.
#include <string_view>

#include "zel_package.h"
#include "zel_text.h"

namespace zel_package {

namespace {

std::string_view exception_kind_name(kj::Exception::Type type) {
  switch (type) {
    case kj::Exception::Type::FAILED:
      return "Failed";
    case kj::Exception::Type::OVERLOADED:
      return "Overloaded";
    case kj::Exception::Type::DISCONNECTED:
      return "Disconnected";
    case kj::Exception::Type::UNIMPLEMENTED:
      return "Unimplemented";
  }
  return "Unknown";
}

}  // namespace

std::string debug_text(const PackageError& error) {
  struct Render {
    std::string operator()(const PackageError::Capnp& e) const {
      const kj::StringPtr description = e.exception.getDescription();
      return "Capnp(Error { kind: " + std::string(exception_kind_name(e.exception.getType())) +
             ", extra: " +
             zel_text::debug_quoted(std::string_view(description.begin(), description.size())) +
             " })";
    }
    std::string operator()(const PackageError::Io& e) const {
      return "Io(" + zel_text::os_error_debug(e.error.code) + ")";
    }
    std::string operator()(const PackageError::Utf8& e) const {
      return "Utf8(" + zel_utf8::debug_text(e.error) + ")";
    }
    std::string operator()(const PackageError::SchemaEnum& e) const {
      return "SchemaEnum(NotInSchema(" + std::to_string(e.error.value) + "))";
    }
    std::string operator()(const PackageError::Invalid& e) const {
      return "Invalid(" + zel_text::debug_quoted(e.message) + ")";
    }
  };
  return std::visit(Render{}, error.value);
}

}  // namespace zel_package
