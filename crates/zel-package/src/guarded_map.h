// A read-only mapping of a file that another process may shrink while it is read: the pages
// past the new end read as zeros instead of ending the process with SIGBUS.
//
//   if (auto map = GuardedMap::map(fd, bytes)) {
//     decode(map->data(), map->size());
//     if (map->lost_pages()) { /* the file shrank underneath: the bytes read are not the file */ }
//   } else { /* copy the file instead */ }
#pragma once

#include <cstddef>
#include <optional>

namespace zel_package {

// How many guarded mappings may be live at once in the process.
inline constexpr std::size_t kGuardSlots = 64;

class GuardedMap {
 public:
  // Whether the whole file is read in at once, or each page when it is first read.
  enum class Reading { Whole, OnDemand };

  // A private read-only mapping of [0, bytes) of `fd`. Empty when `bytes` is 0, the file cannot
  // be mapped, or all kGuardSlots mappings are live.
  static std::optional<GuardedMap> map(int fd, std::size_t bytes, Reading reading = Reading::Whole);

  GuardedMap(GuardedMap&& other) noexcept;
  GuardedMap& operator=(GuardedMap&& other) noexcept;
  ~GuardedMap();

  const std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  // A page vanished (the file shrank) while the mapping was live; it read as zeros.
  bool lost_pages() const;
  // Hands back the memory of the pages in [begin, end) that are whole: they leave the process's
  // resident set, and a later read of them reads the file again.
  void drop_pages(const std::byte* begin, const std::byte* end) const;

 private:
  static constexpr std::size_t kNoSlot = kGuardSlots;

  GuardedMap(const std::byte* data, std::size_t size, std::size_t slot)
      : data_(data), size_(size), slot_(slot) {}
  void release() noexcept;

  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t slot_ = kNoSlot;
};

}  // namespace zel_package
