// The task files of an ATA pass-through request (IOCTL_ATA_PASS_THROUGH_DIRECT):
// the registers sent in, the registers returned in the same places. Byte table
// in TaskFiles.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/Ata.h"

namespace protocol {

inline constexpr std::size_t kTaskFileLength = 8;

// The registers sent; the previous task file counts only for a 48-bit request.
AtaTaskFile ParseTaskFiles(const std::uint8_t current[kTaskFileLength], const std::uint8_t previous[kTaskFileLength],
                           bool ext);

// The registers sent, written back into the task files (the previous one only
// for a 48-bit request; the reserved bytes are left as they are).
void WriteTaskFiles(const AtaTaskFile& r, bool ext, std::uint8_t current[kTaskFileLength],
                    std::uint8_t previous[kTaskFileLength]);

// The registers returned: the previous task file is zero unless r.extend.
void WriteReturnTaskFiles(const AtaReturn& r, std::uint8_t current[kTaskFileLength],
                          std::uint8_t previous[kTaskFileLength]);

}  // namespace protocol
