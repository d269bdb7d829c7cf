// The kept end of a runner's output.
#include "runner_output.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ostream>

namespace zel_runtime {

bool read_available(int read_fd, OutputTail& tail) {
  std::array<char, 1 << 16> chunk;
  for (;;) {
    const ssize_t n = ::read(read_fd, chunk.data(), chunk.size());
    if (n > 0) {
      tail.append({chunk.data(), static_cast<std::size_t>(n)});
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && errno == EAGAIN;
    }
  }
}

OutputTail::OutputTail(std::size_t capacity) : capacity_(capacity) {}

void OutputTail::append(std::string_view bytes) {
  total_ += bytes.size();
  if (bytes.size() >= capacity_) {
    ring_.assign(bytes.substr(bytes.size() - capacity_));
    next_ = 0;
    return;
  }
  if (ring_.size() < capacity_) {
    const std::size_t fits = std::min(bytes.size(), capacity_ - ring_.size());
    if (ring_.size() + fits > ring_.capacity()) {
      ring_.reserve(std::min(capacity_, std::max(2 * ring_.capacity(), ring_.size() + fits)));
    }
    ring_.append(bytes.substr(0, fits));
    bytes.remove_prefix(fits);
  }
  while (!bytes.empty()) {
    const std::size_t part = std::min(bytes.size(), capacity_ - next_);
    ring_.replace(next_, part, bytes.substr(0, part));
    next_ = (next_ + part) % capacity_;
    bytes.remove_prefix(part);
  }
}

void OutputTail::write_to(std::ostream& out) const {
  if (total_ > ring_.size()) {
    out << '[' << total_ - ring_.size() << " bytes of runner output left out; the last "
        << ring_.size() << " follow]\n";
  }
  const std::string_view kept(ring_);
  out << kept.substr(next_) << kept.substr(0, next_);
}

}  // namespace zel_runtime
