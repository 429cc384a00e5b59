// CRC-32 as IEEE 802.3 defines it (reflected, polynomial 0xEDB88320,
// initial value and final xor 0xFFFFFFFF): the check of the state file.
#ifndef DIO_BOARDD_CRC32_H
#define DIO_BOARDD_CRC32_H

#include <cstddef>
#include <cstdint>

namespace dio_boardd {

uint32_t Crc32(const void *data, size_t size);

}  // namespace dio_boardd

#endif
