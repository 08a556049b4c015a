// Transfer limits of real disks: what sysfs says one SG_IO request may carry,
// raising a usb-storage disk's limit, and requests above the limit split by LBA
// or refused before anything is sent.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/linux/DiskBackend.h"
#include "platform/linux/Disks.h"
#include "platform/linux/SgIo.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using kxtest::FakeSys;

namespace {

constexpr int kFd = 7;
using Bytes = std::vector<unsigned char>;

Bytes Cdb(std::initializer_list<int> bytes) {
  Bytes v;
  for (int b : bytes) v.push_back(static_cast<unsigned char>(b));
  v.resize(16, 0);
  return v;
}

struct Split : ::testing::Test {
  FakeSys sys;
  std::vector<unsigned char> buf = std::vector<unsigned char>(1u << 20);
  void SetUp() override {
    sys.nodes.insert("/dev/sdb");
    sys.openFds[kFd] = "/dev/sdb";
  }
  // Pieces by their order: the CDB sent, the buffer offset and the length.
  void ExpectPiece(std::size_t i, const Bytes& cdb, std::size_t offset, unsigned length) {
    SCOPED_TRACE("piece " + std::to_string(i));
    ASSERT_LT(i, sys.sgCalls.size());
    const auto& c = sys.sgCalls[i];
    EXPECT_EQ(cdb, c.cdb);
    EXPECT_EQ(static_cast<void*>(buf.data() + offset), c.hdr.dxferp);
    EXPECT_EQ(length, c.hdr.dxfer_len);
  }
};

win::ATA_PASS_THROUGH_DIRECT Ata(win::USHORT flags, std::array<int, 7> cur, std::array<int, 7> prev, void* data,
                                 win::ULONG length) {
  win::ATA_PASS_THROUGH_DIRECT a;
  a.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  for (int i = 0; i < 7; ++i) {
    a.CurrentTaskFile[i] = static_cast<win::UCHAR>(cur[i]);
    a.PreviousTaskFile[i] = static_cast<win::UCHAR>(prev[i]);
  }
  a.DataBuffer = data;
  a.DataTransferLength = length;
  a.TimeOutValue = 10;
  return a;
}

win::ScsiPassThroughDirectBlock Scsi(const Bytes& cdb, win::UCHAR dataIn, void* data, win::ULONG length) {
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = 24;
  b.Sptd.DataIn = dataIn;
  b.Sptd.DataTransferLength = length;
  b.Sptd.TimeOutValue = 10;
  b.Sptd.DataBuffer = data;
  std::copy(cdb.begin(), cdb.end(), b.Sptd.Cdb);
  return b;
}

constexpr auto kReadDmaExt = win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_48BIT_COMMAND | win::ATA_FLAGS_USE_DMA;

TEST_F(Split, A48BitReadIsCutIntoWhole4KPiecesByLba) {
  // 300 sectors at LBA 0102030405F0h; 69000 bytes hold 134 sectors, taken as 128.
  auto a = Ata(kReadDmaExt, {0, 0x2C, 0xF0, 0x05, 0x04, 0x40, 0x25}, {0, 0x01, 0x03, 0x02, 0x01, 0, 0x25},
               buf.data(), 300 * 512);
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a, 69000));
  ASSERT_EQ(3u, sys.sgCalls.size());
  ExpectPiece(0, Cdb({0x85, 0x0D, 0x0E, 0, 0, 0x00, 0x80, 0x03, 0xF0, 0x02, 0x05, 0x01, 0x04, 0x40, 0x25}), 0, 65536);
  ExpectPiece(1, Cdb({0x85, 0x0D, 0x0E, 0, 0, 0x00, 0x80, 0x03, 0x70, 0x02, 0x06, 0x01, 0x04, 0x40, 0x25}), 65536,
              65536);
  ExpectPiece(2, Cdb({0x85, 0x0D, 0x0E, 0, 0, 0x00, 0x2C, 0x03, 0xF0, 0x02, 0x06, 0x01, 0x04, 0x40, 0x25}), 131072,
              22528);
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);
}

TEST_F(Split, A28BitSatWriteIsCutWithTheLbaTopInTheDeviceByte) {
  // WRITE DMA of 256 sectors (count 0) at 0ABCDEF0h behind a bridge; 120 KiB per request.
  auto b = Scsi(Cdb({0xA1, 0x16, 0x06, 0x00, 0x00, 0xF0, 0xDE, 0xBC, 0xEA, 0xCA}), win::SCSI_IOCTL_DATA_OUT,
                buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 120 * 1024));
  ASSERT_EQ(2u, sys.sgCalls.size());
  ExpectPiece(0, Cdb({0xA1, 0x16, 0x06, 0x00, 0xF0, 0xF0, 0xDE, 0xBC, 0xEA, 0xCA}), 0, 122880);
  ExpectPiece(1, Cdb({0xA1, 0x16, 0x06, 0x00, 0x10, 0xE0, 0xDF, 0xBC, 0xEA, 0xCA}), 122880, 8192);
  EXPECT_EQ(SG_DXFER_TO_DEV, sys.sgCalls[1].hdr.dxfer_direction);
  EXPECT_EQ(131072u, b.Sptd.DataTransferLength);
  EXPECT_EQ(0, b.Sptd.ScsiStatus);
  // The caller's CDB is left as it sent it (the fail report shows it).
  EXPECT_EQ(0x00, b.Sptd.Cdb[4]);

  // 48-bit SAT (85h) read crossing 2^32: the upper LBA bytes move too.
  sys.sgCalls.clear();
  b = Scsi(Cdb({0x85, 0x09, 0x0E, 0, 0, 0x00, 0x10, 0xFF, 0xF8, 0x00, 0xFF, 0x00, 0xFF, 0x40, 0x24}),
           win::SCSI_IOCTL_DATA_IN, buf.data(), 16 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 4096));
  ASSERT_EQ(2u, sys.sgCalls.size());
  ExpectPiece(0, Cdb({0x85, 0x09, 0x0E, 0, 0, 0x00, 0x08, 0xFF, 0xF8, 0x00, 0xFF, 0x00, 0xFF, 0x40, 0x24}), 0, 4096);
  ExpectPiece(1, Cdb({0x85, 0x09, 0x0E, 0, 0, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x24}), 4096,
              4096);
}

TEST_F(Split, TheFirstFailingPieceEndsTheTransferWithItsOutcome) {
  // Task files: the second piece meets an uncorrectable sector (libata's fixed sense).
  int n = 0;
  sys.onSgIo = [&n](sg_io_hdr_t& h) {
    if (n++ != 1) return 0;
    const unsigned char sense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 0x0A, 0x40, 0x51, 0x40, 0x08, 0, 0, 0, 0, 0x80, 0x13};
    std::copy(sense, sense + 18, h.sbp);
    h.sb_len_wr = 18;
    h.status = 0x02;
    return 0;
  };
  auto a = Ata(kReadDmaExt, {0, 0x00, 0x00, 0, 0, 0x40, 0x25}, {0, 0x01, 0, 0, 0, 0, 0x25}, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a, 32768));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(0x40, a.CurrentTaskFile[0]);
  EXPECT_EQ(0x51, a.CurrentTaskFile[6]);
  EXPECT_EQ(0x13, a.CurrentTaskFile[2]);

  // An operating-system failure: its error, and no registers.
  sys.sgCalls.clear();
  n = 0;
  sys.onSgIo = [&n](sg_io_hdr_t&) { return n++ == 1 ? -EIO : 0; };
  a = Ata(kReadDmaExt, {0, 0x00, 0x00, 0, 0, 0x40, 0x25}, {0, 0x01, 0, 0, 0, 0, 0x25}, buf.data(), 256 * 512);
  EXPECT_EQ(win::ERROR_GEN_FAILURE, sgio::AtaPassThrough(sys, kFd, a, 32768));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(0, a.CurrentTaskFile[6]);

  // SAT through SCSI: CHECK CONDITION without registers stops it; the bytes of
  // both pieces sent count, the sense is the failing piece's.
  sys.sgCalls.clear();
  n = 0;
  sys.onSgIo = [&n](sg_io_hdr_t& h) {
    if (n++ != 1) return 0;
    const unsigned char sense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x11, 0x00};
    std::copy(sense, sense + 18, h.sbp);
    h.sb_len_wr = 18;
    h.status = 0x02;
    h.resid = 512;
    return 0;
  };
  auto b = Scsi(Cdb({0xA1, 0x08, 0x0E, 0x00, 0x00, 0, 0, 0, 0xE0, 0x20}), win::SCSI_IOCTL_DATA_IN, buf.data(),
                256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 32768));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(0x02, b.Sptd.ScsiStatus);
  EXPECT_EQ(0x03, b.Sense[2]);
  EXPECT_EQ(18, b.Sptd.SenseInfoLength);
  EXPECT_EQ(32768u + 32768u - 512u, b.Sptd.DataTransferLength);

  // A bridge that reports every command's registers: a clean status goes on.
  sys.sgCalls.clear();
  sys.onSgIo = [](sg_io_hdr_t& h) {
    const unsigned char sense[14] = {0x70, 0, 0x01, 0x00, 0x50, 0xE0, 0x00, 0x0A, 0, 0, 0, 0, 0x00, 0x1D};
    std::copy(sense, sense + 14, h.sbp);
    h.sb_len_wr = 14;
    h.status = 0x02;
    return 0;
  };
  b = Scsi(Cdb({0xA1, 0x08, 0x0E, 0x00, 0x00, 0, 0, 0, 0xE0, 0x20}), win::SCSI_IOCTL_DATA_IN, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 65536));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(131072u, b.Sptd.DataTransferLength);
}

TEST_F(Split, RequestsThatCannotBeCutAreRefusedUnsent) {
  unsigned char* p = buf.data();
  struct AtaCase {
    const char* what;
    win::ATA_PASS_THROUGH_DIRECT apt;
  };
  const AtaCase ataCases[] = {
      {"vendor read", Ata(win::ATA_FLAGS_DATA_IN, {0x12, 0x00, 0, 0, 0, 0xA0, 0x21}, {}, p, 256 * 512)},
      {"48-bit read without the LBA bit", Ata(kReadDmaExt, {0, 0, 0, 0, 0, 0x00, 0x25}, {0, 1, 0, 0, 0, 0, 0x25}, p,
                                              256 * 512)},
      {"28-bit read whose length is not its count",
       Ata(win::ATA_FLAGS_DATA_IN, {0, 0x10, 0, 0, 0, 0xE0, 0x20}, {}, p, 256 * 512)},
  };
  for (const auto& c : ataCases) {
    SCOPED_TRACE(c.what);
    auto a = c.apt;
    EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::AtaPassThrough(sys, kFd, a, 65536));
  }
  struct ScsiCase {
    const char* what;
    Bytes cdb;
  };
  const ScsiCase scsiCases[] = {
      {"tester form", Cdb({0x08, 0xF2, 0x48, 0x25, 0x00, 0x01})},
      {"SAT with the length in the features field", Cdb({0x85, 0x0D, 0x0D, 0, 0, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0x40, 0x25})},
      {"SAT with the length in bytes", Cdb({0x85, 0x0D, 0x0A, 0, 0, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0x40, 0x25})},
      {"SAT non-data protocol", Cdb({0x85, 0x07, 0x0E, 0, 0, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0x40, 0x25})},
      {"SAT IDENTIFY", Cdb({0xA1, 0x08, 0x0E, 0, 0x00, 0, 0, 0, 0xE0, 0xEC})},
  };
  for (const auto& c : scsiCases) {
    SCOPED_TRACE(c.what);
    auto b = Scsi(c.cdb, win::SCSI_IOCTL_DATA_IN, p, 256 * 512);
    EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::ScsiPassThroughDirect(sys, kFd, b, 65536));
  }
  win::ScsiPassThroughBlock buffered;
  buffered.Spt.CdbLength = 6;
  buffered.Spt.DataIn = win::SCSI_IOCTL_DATA_IN;
  buffered.Spt.DataTransferLength = 1024;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::ScsiPassThroughBuffered(sys, kFd, buffered, 512));
  EXPECT_TRUE(sys.sgCalls.empty());

  // At the limit, and with no limit known, a request goes as it is.
  auto at = Scsi(scsiCases[0].cdb, win::SCSI_IOCTL_DATA_IN, p, 65536);
  EXPECT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, at, 65536));
  auto unknown = Scsi(scsiCases[0].cdb, win::SCSI_IOCTL_DATA_IN, p, 256 * 512);
  EXPECT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, unknown, 0));
  EXPECT_EQ(2u, sys.sgCalls.size());
}

// The queue attributes of one disk.
void Queue(FakeSys& sys, const std::string& disk, const char* kb, const char* hwKb, const char* segments,
           const char* segmentSize = "65536\n") {
  const std::string q = "/sys/block/" + disk + "/queue/";
  if (kb) sys.files[q + "max_sectors_kb"] = kb;
  if (hwKb) sys.files[q + "max_hw_sectors_kb"] = hwKb;
  if (segments) sys.files[q + "max_segments"] = segments;
  if (segmentSize) sys.files[q + "max_segment_size"] = segmentSize;
}

TEST(TransferLimit, SmallestOfTheQueueSizesAndSegmentPages) {
  struct Case {
    const char* what;
    const char *kb, *hwKb, *segments, *segmentSize;
    std::uint32_t bytes;
  };
  const Case cases[] = {
      {"AHCI: 168 segments of a page", "1280\n", "32767\n", "168\n", "65536\n", 688128},
      {"USB 2.0 bridge before the raise", "120\n", "120\n", "2048\n", "65536\n", 122880},
      {"max_sectors_kb under max_hw_sectors_kb", "1280\n", "2048\n", "2048\n", "65536\n", 1310720},
      {"segments smaller than a page", "1024\n", "1024\n", "64\n", "2048\n", 131072},
      {"only max_hw_sectors_kb readable", nullptr, "512\n", nullptr, nullptr, 524288},
      {"a garbled size is ignored", "12a\n", "256\n", "4096\n", "65536\n", 262144},
      {"nothing in sysfs", nullptr, nullptr, "128\n", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSys sys;
    Queue(sys, "sdc", c.kb, c.hwKb, c.segments, c.segmentSize);
    EXPECT_EQ(c.bytes, linuxdisk::TransferLimit(sys, "sdc"));
  }
}

// A usb-storage disk whose kernel acts as Linux does: device/max_sectors sets
// max_hw_sectors_kb and caps max_sectors_kb at 1280.
struct UsbDisk : ::testing::Test {
  FakeSys sys;
  void SetUp() override {
    sys.files["/sys/block/sdb/device/max_sectors"] = "240\n";
    Queue(sys, "sdb", "120\n", "120\n", "2048\n");
    sys.onWriteText = [this](const std::string& path, const std::string& text) {
      if (path != "/sys/block/sdb/device/max_sectors") return;
      const unsigned long hw = std::stoul(text) / 2;
      sys.files["/sys/block/sdb/queue/max_hw_sectors_kb"] = std::to_string(hw) + "\n";
      sys.files["/sys/block/sdb/queue/max_sectors_kb"] = std::to_string(std::min(hw, 1280ul)) + "\n";
    };
  }
  using Writes = std::vector<std::pair<std::string, std::string>>;
};

TEST_F(UsbDisk, RaisedTo2MiBWhereTheKernelAllows) {
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_EQ((Writes{{"/sys/block/sdb/device/max_sectors", "4096"}, {"/sys/block/sdb/queue/max_sectors_kb", "2048"}}),
            sys.textWrites);
  EXPECT_EQ(2097152u, linuxdisk::TransferLimit(sys, "sdb"));
  // Raised already: nothing written again.
  sys.textWrites.clear();
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_TRUE(sys.textWrites.empty());
}

TEST_F(UsbDisk, RefusedOrHigherAlreadyOrNotUsbIsLeftAlone) {
  // Without the permission: the limit stays what the kernel set.
  sys.writeErrno["/sys/block/sdb/device/max_sectors"] = EACCES;
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_EQ(122880u, linuxdisk::TransferLimit(sys, "sdb"));
  EXPECT_EQ(1u, sys.textWrites.size());

  // A SuperSpeed bridge beyond 2 MiB already: only max_sectors_kb goes up, to 2 MiB.
  sys.textWrites.clear();
  sys.files["/sys/block/sdb/device/max_sectors"] = "8192\n";
  Queue(sys, "sdb", "1280\n", "4096\n", "2048\n");
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_EQ((Writes{{"/sys/block/sdb/queue/max_sectors_kb", "2048"}}), sys.textWrites);

  // Never lowered.
  sys.textWrites.clear();
  Queue(sys, "sdb", "4096\n", "4096\n", "2048\n");
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_TRUE(sys.textWrites.empty());

  // A libata disk has no device/max_sectors: untouched.
  Queue(sys, "sda", "1280\n", "32767\n", "168\n");
  linuxdisk::RaiseUsbTransferLimit(sys, "sda");
  EXPECT_TRUE(sys.textWrites.empty());
}

TEST_F(UsbDisk, EachOpenLearnsTheLimitAndTheHandleKeepsToIt) {
  sys.AddDisk("sdb", 8, 16, 64ull << 30);
  sys.AddDisk("sdc", 8, 32, 64ull << 30);
  Queue(sys, "sdc", "128\n", "128\n", "168\n");
  LinuxDiskBackend backend(sys);
  std::shared_ptr<IDeviceHandle> usb, sata;
  ASSERT_EQ(0u, backend.Open("\\\\.\\PhysicalDrive1", win::GENERIC_READ | win::GENERIC_WRITE, 0, usb));
  EXPECT_EQ("2048", sys.files["/sys/block/sdb/queue/max_sectors_kb"]);
  ASSERT_EQ(0u, backend.Open("\\\\.\\PhysicalDrive2", win::GENERIC_READ | win::GENERIC_WRITE, 0, sata));

  std::vector<unsigned char> data(2u << 20);
  win::DWORD got = 0;
  // 2 MiB in one request to the raised USB disk, in 16 to the SATA disk.
  auto read10 = Scsi(Cdb({0x28, 0, 0, 0, 0, 0, 0, 0x10, 0x00}), win::SCSI_IOCTL_DATA_IN, data.data(), 2u << 20);
  EXPECT_EQ(0u, usb->IoControl(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &read10, sizeof read10, &read10, sizeof read10,
                               &got));
  EXPECT_EQ(1u, sys.sgCalls.size());
  auto a = Ata(kReadDmaExt, {0, 0x00, 0, 0, 0, 0x40, 0x25}, {0, 0x10, 0, 0, 0, 0, 0x25}, data.data(), 2u << 20);
  EXPECT_EQ(0u, sata->IoControl(win::IOCTL_ATA_PASS_THROUGH_DIRECT, &a, sizeof a, &a, sizeof a, &got));
  EXPECT_EQ(17u, sys.sgCalls.size());
  // A SCSI read beyond the SATA disk's limit cannot be cut: refused, not sent.
  read10 = Scsi(Cdb({0x28, 0, 0, 0, 0, 0, 0, 0x02, 0x00}), win::SCSI_IOCTL_DATA_IN, data.data(), 512 * 512);
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sata->IoControl(win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &read10, sizeof read10,
                                                          &read10, sizeof read10, &got));
  EXPECT_EQ(17u, sys.sgCalls.size());
}

}  // namespace
