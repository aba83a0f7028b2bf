// SHA-256 of a byte stream, for the digest of the files a command sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const void* data, size_t size);
  // The digest as 64 lower-case hex digits; the object is used up.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);
  uint32_t state_[8];
  uint8_t buffer_[64] = {};
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes added
};

// The digest of a whole file, and its size; false when it cannot be read to its end.
bool cmSha256File(const std::string& path, std::string* hex, uint64_t* size);
