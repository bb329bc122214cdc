// Random access to the bytes of the file under verification, from memory or from an open
// descriptor. Private to the component.

#ifndef AUTHENTICODE_SRC_BYTE_SOURCE_H_
#define AUTHENTICODE_SRC_BYTE_SOURCE_H_

#include <cstdint>
#include <span>
#include <string_view>

namespace authenticode::internal {

// A fixed-size run of bytes. The size is taken once, when the source is made; reads never go beyond
// it. Used by one verification at a time.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  uint64_t size() const { return size_; }

  // Fills |out| with the bytes at |offset|. False when the range is not inside the source or the
  // bytes cannot be read (the file shrank, an I/O error).
  bool ReadAt(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > size_ || out.size() > size_ - offset) {
      return false;
    }
    return DoRead(offset, out);
  }

 protected:
  explicit ByteSource(uint64_t size) : size_(size) {}

 private:
  // Reads exactly |out.size()| bytes at |offset|; the range is inside the source.
  virtual bool DoRead(uint64_t offset, std::span<uint8_t> out) const = 0;

  const uint64_t size_;
};

// Bytes in memory; the caller keeps them alive.
class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::string_view bytes) : ByteSource(bytes.size()), bytes_(bytes) {}

 private:
  bool DoRead(uint64_t offset, std::span<uint8_t> out) const override;

  const std::string_view bytes_;
};

// A regular file open for reading, read with pread. Does not own the descriptor.
class DescriptorByteSource final : public ByteSource {
 public:
  DescriptorByteSource(int fd, uint64_t size) : ByteSource(size), fd_(fd) {}

 private:
  bool DoRead(uint64_t offset, std::span<uint8_t> out) const override;

  const int fd_;
};

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_BYTE_SOURCE_H_
