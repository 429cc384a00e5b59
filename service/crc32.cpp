#include "crc32.h"

#include <array>

namespace dio_boardd {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// The CRC of each byte value on its own, one table for a byte at a time.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ kPolynomial : crc >> 1;
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32(const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t at = 0; at < size; ++at) crc = kTable[(crc ^ bytes[at]) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace dio_boardd
