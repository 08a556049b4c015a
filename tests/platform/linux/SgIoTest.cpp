// SG_IO requests built from the Windows request blocks, and the results read back
// (the sense parsers themselves: tests/protocol/SenseTest.cpp).
#include <gtest/gtest.h>

#include <climits>

#include "platform/ErrorText.h"
#include "platform/linux/SgIo.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using namespace kxtest;

namespace {

constexpr auto kIn = win::SCSI_IOCTL_DATA_IN;

Bytes FixedSense(unsigned char key, unsigned char asc) { return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0}; }

TEST_F(SgTest, DirectionFollowsTheRequestAndNoLengthMeansNoData) {
  struct Row {
    const char* what;
    win::UCHAR dataIn;
    win::USHORT ataFlags;
    win::ULONG length;
    int direction;
  };
  const Row rows[] = {
      {"in", kIn, win::ATA_FLAGS_DATA_IN, 512, SG_DXFER_FROM_DEV},
      {"out", win::SCSI_IOCTL_DATA_OUT, win::ATA_FLAGS_DATA_OUT | win::ATA_FLAGS_USE_DMA, 1024, SG_DXFER_TO_DEV},
      {"none", win::SCSI_IOCTL_DATA_UNSPECIFIED, 0, 0, SG_DXFER_NONE},
      {"in without a length (the finder's TEST UNIT READY)", kIn, 0, 0, SG_DXFER_NONE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    void* data = row.length ? buf.data() : nullptr;
    auto b = Scsi(Cdb({0x12}), row.dataIn, buf.data(), row.length);
    ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
    auto a = Ata(row.ataFlags, {0, 1, 0, 0, 0, 0xE0, 0xC8}, {}, data, row.length);
    ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
    for (int last : {2, 1}) {  // the SCSI request, then the ATA one
      SCOPED_TRACE(last == 2 ? "SCSI" : "ATA");
      const sg_io_hdr_t& h = sys.sgCalls.end()[-last].hdr;
      EXPECT_EQ(row.direction, h.dxfer_direction);
      EXPECT_EQ(data, h.dxferp);
      EXPECT_EQ(row.length, h.dxfer_len);
    }
  }
}

TEST_F(SgTest, ScsiResultsComeBackIntoTheBlock) {
  auto b = Scsi(Cdb({0x08, 0xF2, 0xA0}), kIn, buf.data(), 512);
  b.Sptd.SenseInfoLength = 8;  // room for 8 of the 18 bytes returned
  sys.onSgIo = [](sg_io_hdr_t& h) {
    h.status = 0x02;
    h.resid = 12;
    h.sbp[2] = 0x05;
    h.sbp[8] = 0x77;
    h.sb_len_wr = 18;
    return 0;
  };
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
  EXPECT_EQ(Cdb({0x08, 0xF2, 0xA0}), sys.sgCalls[0].cdb);
  EXPECT_EQ(30000u, sys.sgCalls[0].hdr.timeout);
  EXPECT_EQ(0x02, b.Sptd.ScsiStatus);
  EXPECT_EQ(500u, b.Sptd.DataTransferLength);
  EXPECT_EQ(8, b.Sptd.SenseInfoLength);
  EXPECT_EQ(0x05, b.Sense[2]);
  EXPECT_EQ(0x00, b.Sense[8]);
  b.Sptd.TimeOutValue = 0xFFFFFFFFu;  // seconds beyond what milliseconds can hold
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
  EXPECT_EQ(UINT_MAX, sys.sgCalls[1].hdr.timeout);
}

TEST_F(SgTest, RequestsRefusedUnsentWithInvalidParameter) {
  unsigned char* p = buf.data();
  auto scsi = [&](win::ScsiPassThroughDirectBlock b, std::uint32_t limit = 0) {
    return sgio::ScsiPassThroughDirect(sys, kFd, b, limit);
  };
  auto ata = [&](win::ATA_PASS_THROUGH_DIRECT a, std::uint32_t limit = 0) {
    return sgio::AtaPassThrough(sys, kFd, a, limit);
  };
  auto buffered = [&](win::ULONG length, std::uint32_t limit) {
    win::ScsiPassThroughBlock b;
    b.Spt.CdbLength = 6;
    b.Spt.DataIn = kIn;
    b.Spt.DataTransferLength = length;
    return sgio::ScsiPassThroughBuffered(sys, kFd, b, limit);
  };
  auto longCdb = Scsi(Cdb({0x12}), kIn, p, 36);
  longCdb.Sptd.CdbLength = 17;
  const std::uint32_t big = 256 * 512, limit = 65536;
  const std::pair<const char*, win::DWORD> rows[] = {
      {"a CDB of 17 bytes", scsi(longCdb)},
      {"a length without a buffer", scsi(Scsi(Cdb({0x12}), kIn, nullptr, 36))},
      {"a length without a direction", scsi(Scsi(Cdb({0x12}), win::SCSI_IOCTL_DATA_UNSPECIFIED, p, 36))},
      {"buffered, beyond its data area", buffered(sizeof(win::ScsiPassThroughBlock::Data) + 1, 0)},
      {"ATA both directions", ata(Ata(win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_DATA_OUT, {}, {}, p, 512))},
      {"ATA a length without a buffer", ata(Ata(win::ATA_FLAGS_DATA_IN, {}, {}, nullptr, 512))},
      // Above the limit: a buffered one, and any that is no standard read or write by LBA.
      {"buffered", buffered(1024, 512)},
      {"a vendor read", ata(Ata(win::ATA_FLAGS_DATA_IN, {0x12, 0, 0, 0, 0, 0xA0, 0x21}, {}, p, big), limit)},
      {"a 28-bit read whose length is not its count",
       ata(Ata(win::ATA_FLAGS_DATA_IN, {0, 0x10, 0, 0, 0, 0xE0, 0x20}, {}, p, big), limit)},
      {"the tester's 48 form", scsi(Scsi(Cdb({0x08, 0xF2, 0x48, 0x25, 0, 0x01}), kIn, p, big), limit)},
      {"SAT with the length in bytes",
       scsi(Scsi(Cdb({0x85, 0x0D, 0x0A, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x25}), kIn, p, big), limit)},
  };
  for (const auto& [what, result] : rows) EXPECT_EQ(win::ERROR_INVALID_PARAMETER, result) << what;
  EXPECT_TRUE(sys.sgCalls.empty());
}

// Byte 1: PROTOCOL and EXTEND; byte 2: T_DIR, BYT_BLOK, T_LENGTH in the count, or CK_COND without data.
TEST(AtaPassThrough16, ProtocolAndFlagsFollowTheRequest) {
  unsigned char buf[512];
  struct Case {
    const char* what;
    win::USHORT flags;
    win::ULONG length;
    int byte1, byte2;
    bool registers;
  };
  const Case cases[] = {
      {"PIO in", win::ATA_FLAGS_DATA_IN, 512, 0x08, 0x0E, false},
      {"PIO out", win::ATA_FLAGS_DATA_OUT, 512, 0x0A, 0x06, false},
      {"DMA out", win::ATA_FLAGS_DATA_OUT | win::ATA_FLAGS_USE_DMA, 512, 0x0C, 0x06, false},
      {"48-bit DMA in", win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_48BIT_COMMAND | win::ATA_FLAGS_USE_DMA, 512, 0x0D, 0x0E,
       false},
      {"non-data: registers asked for", 0, 0, 0x06, 0x20, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned char cdb[16];
    bool registers = !c.registers;
    const auto apt = Ata(c.flags, {0, 1, 0, 0, 0, 0xE0, 0x25}, {}, buf, c.length);
    ASSERT_EQ(0u, sgio::BuildAtaPassThrough16(apt, cdb, registers));
    EXPECT_EQ(c.byte1, cdb[1]);
    EXPECT_EQ(c.byte2, cdb[2]);
    EXPECT_EQ(c.registers, registers);
  }
}

TEST_F(SgTest, ReturnedRegistersLandInTheTaskFiles) {
  auto a = Ata(win::ATA_FLAGS_48BIT_COMMAND, {0, 0, 0, 0, 0, 0x40, 0xEA});
  Answer(0x02, {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14,  // an ATA status return descriptor with EXTEND
                0x09, 0x0C, 0x01, 0x04, 0x81, 0x11, 0x82, 0x22, 0x83, 0x33, 0x84, 0x44, 0xE0, 0x51});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  // error, count, LBA low, mid, high, device, status; the high-order bytes in the previous task file
  EXPECT_EQ(Bytes({0x04, 0x11, 0x22, 0x33, 0x44, 0xE0, 0x51, 0}), Bytes(a.CurrentTaskFile, a.CurrentTaskFile + 8));
  EXPECT_EQ(Bytes({0, 0x81, 0x82, 0x83, 0x84, 0, 0, 0}), Bytes(a.PreviousTaskFile, a.PreviousTaskFile + 8));
}

// Judged by the ATA status returned, never by the sense key alone; without
// registers, the registers sent never pass for the device's answer.
TEST_F(SgTest, AtaOutcomeIsTheReturnedStatus) {
  struct Row {
    const char* what;
    unsigned char scsiStatus;
    Bytes sense;
    int err;
    win::DWORD result;
    int error, count, lbaLow, status;
  };
  const Row rows[] = {
      {"libata's fixed layout, ERR", 0x02,
       {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x41, 0xA0, 0x34, 0, 0, 0, 0, 0, 0x56}, 0, 0, 0x04, 0x34, 0x56, 0x41},
      {"a meaningless sense key beside a good status", 0x02,
       {0x72, 5, 0, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0x40, 0x50}, 0, 0, 0, 7, 0, 0x50},
      {"GOOD without registers: a ready device", 0x00, {}, 0, 0, 0, 0, 0, 0x50},
      {"GOOD with sense that holds no registers", 0x00, FixedSense(0x06, 0x29), 0, 0, 0, 0, 0, 0x50},
      {"ILLEGAL REQUEST: no SAT", 0x02, FixedSense(0x05, 0x20), 0, win::ERROR_NOT_SUPPORTED, 0, 0, 0, 0},
      {"NOT READY", 0x02, FixedSense(0x02, 0x04), 0, win::ERROR_NOT_READY, 0, 0, 0, 0},
      {"HARDWARE ERROR", 0x02, FixedSense(0x04, 0x44), 0, win::ERROR_IO_DEVICE, 0, 0, 0, 0},
      {"UNIT ATTENTION: worth another try", 0x02, FixedSense(0x06, 0x29), 0, win::ERROR_GEN_FAILURE, 0, 0, 0, 0},
      {"BUSY", 0x08, {}, 0, win::ERROR_GEN_FAILURE, 0, 0, 0, 0},
      {"the ioctl fails", 0x00, {}, EIO, win::ERROR_GEN_FAILURE, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto a = Ata(win::ATA_FLAGS_48BIT_COMMAND, {0x11, 0x22, 0x33, 0x44, 0x55, 0x40, 0xEA}, {1, 2, 3, 4, 5, 6, 0xEA});
    Answer(row.scsiStatus, row.sense, row.err);
    EXPECT_EQ(row.result, sgio::AtaPassThrough(sys, kFd, a));
    EXPECT_EQ(row.error, a.CurrentTaskFile[0]);
    EXPECT_EQ(row.count, a.CurrentTaskFile[1]);
    EXPECT_EQ(row.lbaLow, a.CurrentTaskFile[2]);
    EXPECT_EQ(row.status, a.CurrentTaskFile[6]);
    EXPECT_EQ(0, a.PreviousTaskFile[1]);
  }
}

TEST_F(SgTest, LinuxFailuresBecomeWindowsNumbers) {
  const std::pair<int, win::DWORD> errnos[] = {{EPERM, 5},  {EACCES, 5},     {EROFS, 19},  {ENOENT, 2},
                                               {ENODEV, 2}, {ENXIO, 2},       {ETIMEDOUT, 121}, {EBUSY, 170},
                                               {EIO, 31},   {EINVAL, 87},     {ENOTTY, 50},
                                               {ENOMEDIUM, 21},
                                               {ENOSPC, 31}};  // a file system's state, none of a device
  for (const auto& [e, w] : errnos) {
    SCOPED_TRACE("errno " + std::to_string(e));
    EXPECT_EQ(w, platform::DeviceErrorFromErrno(e));
  }
  struct Transport {
    const char* what;
    unsigned short host, driver;
    win::DWORD expected;
  };
  const Transport transports[] = {
      {"DRIVER_SENSE alone: nothing failed", 0x00, 0x08, 0}, {"DID_TIME_OUT", 0x03, 0x00, 121},
      {"DRIVER_TIMEOUT", 0x00, 0x06, 121},                   {"DID_NO_CONNECT: the device is gone", 0x01, 0x00, 2},
      {"DID_BAD_TARGET", 0x04, 0x00, 2},                     {"DID_ERROR", 0x07, 0x00, 31},
      {"DRIVER_ERROR", 0x00, 0x04, 31},
  };
  for (const auto& t : transports) {
    SCOPED_TRACE(t.what);
    sys.onSgIo = [t](sg_io_hdr_t& h) {
      h.host_status = t.host;
      h.driver_status = t.driver;
      return 0;
    };
    auto b = Scsi(Cdb({0x00}), kIn, nullptr, 0);
    EXPECT_EQ(t.expected, sgio::ScsiPassThroughDirect(sys, kFd, b));
  }
}

}  // namespace
