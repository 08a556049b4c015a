// SCSI and ATA pass-through over the Linux SG_IO interface (sg version 3), used
// on /dev/sdX and /dev/sgN. The typed Windows request blocks come in; an
// sg_io_hdr goes to the kernel; the results go back into the block, with every
// Linux failure turned into the Windows error number the callers react to.
//
// ATA pass-through travels as SAT ATA PASS-THROUGH (16) (protocol/SatCdb.h).
// Whether an ATA command worked is judged from the ATA status register it
// returned (found by protocol/Sense.h), never from the SCSI sense key alone:
// libata and USB bridges differ in sense format (descriptor or fixed), in whether
// they honour CK_COND, and some put a meaningless sense key beside a good ATA
// status.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/DeviceIo.h"
#include "platform/linux/SysCalls.h"

namespace platform::sgio {

// Windows error number for the transport part of a completed SG_IO request
// (host and driver status); 0 when the transport delivered the command.
win::DWORD TransportError(unsigned hostStatus, unsigned driverStatus);

// Builds the ATA PASS-THROUGH (16) command for a request. Sets wantRegisters
// when CK_COND was asked for. ERROR_INVALID_PARAMETER for contradictory flags.
win::DWORD BuildAtaPassThrough16(const win::ATA_PASS_THROUGH_DIRECT& apt, std::uint8_t cdb[16], bool& wantRegisters);

// The three requests. Each returns 0 or a Windows error number; on 0 the block
// holds the results (SCSI status, sense and transferred length; or the returned
// task files). After a failed ATA request both task files are zero: no registers
// came back.
//
// limit is the most data one SG_IO request to the device may carry (0: not
// known, nothing is checked); the kernel refuses more with EIO, which would read
// as a transient failure. A larger standard ATA read or write addressed by LBA
// (READ/WRITE SECTORS, READ/WRITE DMA and their EXT forms, as task files or as a
// SAT ATA PASS-THROUGH CDB counting 512-byte blocks) is carried out as several
// requests by LBA, stopping at the first piece that fails; the block then holds
// that piece's outcome (and the bytes moved so far). Any other request above the
// limit is refused with ERROR_INVALID_PARAMETER before anything is sent.
win::DWORD ScsiPassThroughDirect(ISysCalls& sys, int fd, win::ScsiPassThroughDirectBlock& blk,
                                 std::uint32_t limit = 0);
win::DWORD ScsiPassThroughBuffered(ISysCalls& sys, int fd, win::ScsiPassThroughBlock& blk, std::uint32_t limit = 0);
win::DWORD AtaPassThrough(ISysCalls& sys, int fd, win::ATA_PASS_THROUGH_DIRECT& apt, std::uint32_t limit = 0);

}  // namespace platform::sgio
