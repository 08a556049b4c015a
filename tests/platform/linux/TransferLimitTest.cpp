// Transfer limits of real disks: requests above the limit split by LBA, what
// sysfs says one SG_IO request may carry, and raising a usb-storage disk's limit.
#include <gtest/gtest.h>

#include "platform/linux/Disks.h"
#include "platform/linux/SgIo.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using namespace kxtest;

namespace {

constexpr auto kRead48 = win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_48BIT_COMMAND | win::ATA_FLAGS_USE_DMA;

struct Split : SgTest {
  struct Piece {
    Bytes cdb;
    std::size_t offset;
    unsigned length;
  };
  void ExpectPieces(const std::vector<Piece>& pieces) {
    ASSERT_EQ(pieces.size(), sys.sgCalls.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      SCOPED_TRACE("piece " + std::to_string(i));
      EXPECT_EQ(pieces[i].cdb, sys.sgCalls[i].cdb);
      EXPECT_EQ(static_cast<void*>(buf.data() + pieces[i].offset), sys.sgCalls[i].hdr.dxferp);
      EXPECT_EQ(pieces[i].length, sys.sgCalls[i].hdr.dxfer_len);
    }
  }
  // The second request ends in CHECK CONDITION with this sense, every other one GOOD.
  void FailSecond(Bytes sense, int resid = 0) {
    sys.sgCalls.clear();
    sys.onSgIo = [sense, resid, n = 0](sg_io_hdr_t& h) mutable {
      if (n++ != 1) return 0;
      h.status = 0x02;
      std::copy(sense.begin(), sense.end(), h.sbp);
      h.sb_len_wr = static_cast<unsigned char>(sense.size());
      h.resid = resid;
      return 0;
    };
  }
};

TEST_F(Split, A48BitReadIsCutIntoWhole4KPiecesByLba) {
  // 300 sectors at LBA 0100FFFFFFC0h, crossing 2^32; 69000 bytes hold 134 sectors, taken as 128.
  auto a = Ata(kRead48, {0, 0x2C, 0xC0, 0xFF, 0xFF, 0x40, 0x25}, {0, 0x01, 0xFF, 0x00, 0x01, 0, 0x25}, buf.data(),
               300 * 512);
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a, 69000));
  ExpectPieces({{Cdb({0x85, 0x0D, 0x0E, 0, 0, 0, 0x80, 0xFF, 0xC0, 0, 0xFF, 1, 0xFF, 0x40, 0x25}), 0, 65536},
                {Cdb({0x85, 0x0D, 0x0E, 0, 0, 0, 0x80, 0x00, 0x40, 1, 0x00, 1, 0x00, 0x40, 0x25}), 65536, 65536},
                {Cdb({0x85, 0x0D, 0x0E, 0, 0, 0, 0x2C, 0x00, 0xC0, 1, 0x00, 1, 0x00, 0x40, 0x25}), 131072, 22528}});
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);
}

TEST_F(Split, A28BitSatWriteIsCutWithTheLbaTopInTheDeviceByte) {
  // WRITE DMA of 256 sectors (count 0) at 0ABCDEF0h behind a bridge; 120 KiB per request.
  const Bytes cdb = Cdb({0xA1, 0x16, 0x06, 0x00, 0x00, 0xF0, 0xDE, 0xBC, 0xEA, 0xCA});
  auto b = Scsi(cdb, win::SCSI_IOCTL_DATA_OUT, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 120 * 1024));
  ExpectPieces({{Cdb({0xA1, 0x16, 0x06, 0x00, 0xF0, 0xF0, 0xDE, 0xBC, 0xEA, 0xCA}), 0, 122880},
                {Cdb({0xA1, 0x16, 0x06, 0x00, 0x10, 0xE0, 0xDF, 0xBC, 0xEA, 0xCA}), 122880, 8192}});
  EXPECT_EQ(131072u, b.Sptd.DataTransferLength);
  EXPECT_EQ(cdb, Bytes(b.Sptd.Cdb, b.Sptd.Cdb + 16));  // as sent: the fail report shows it
}

TEST_F(Split, TheFirstFailingPieceEndsTheTransferWithItsOutcome) {
  // Task files: the second piece meets an uncorrectable sector (libata's fixed layout).
  FailSecond({0x70, 0, 0x03, 0, 0, 0, 0, 0x0A, 0x40, 0x51, 0x40, 0x08, 0, 0, 0, 0, 0x80, 0x13});
  auto a = Ata(kRead48, {0, 0x00, 0x00, 0, 0, 0x40, 0x25}, {0, 0x01, 0, 0, 0, 0, 0x25}, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a, 32768));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(0x40, a.CurrentTaskFile[0]);
  EXPECT_EQ(0x13, a.CurrentTaskFile[2]);
  EXPECT_EQ(0x51, a.CurrentTaskFile[6]);

  // SAT through SCSI: CHECK CONDITION without registers stops it; the bytes of
  // both pieces count, the sense is the failing piece's.
  FailSecond({0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00}, 512);  // MEDIUM ERROR, no registers
  const Bytes read28 = Cdb({0xA1, 0x08, 0x0E, 0x00, 0x00, 0, 0, 0, 0xE0, 0x20});
  auto b = Scsi(read28, win::SCSI_IOCTL_DATA_IN, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 32768));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(0x02, b.Sptd.ScsiStatus);
  EXPECT_EQ(0x03, b.Sense[2]);
  EXPECT_EQ(14, b.Sptd.SenseInfoLength);
  EXPECT_EQ(32768u + 32768u - 512u, b.Sptd.DataTransferLength);

  // A bridge that reports every command's registers: a clean status goes on.
  sys.sgCalls.clear();
  Answer(0x02, {0x70, 0, 0x01, 0x00, 0x50, 0xE0, 0x00, 0x0A, 0, 0, 0, 0, 0x00, 0x1D});
  b = Scsi(read28, win::SCSI_IOCTL_DATA_IN, buf.data(), 256 * 512);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b, 65536));
  EXPECT_EQ(2u, sys.sgCalls.size());
  EXPECT_EQ(131072u, b.Sptd.DataTransferLength);
}

TEST_F(Split, AtTheLimitOrWithNoLimitKnownARequestGoesWhole) {
  const Bytes tester = Cdb({0x08, 0xF2, 0x48, 0x25, 0x00, 0x01});
  auto at = Scsi(tester, win::SCSI_IOCTL_DATA_IN, buf.data(), 65536);
  EXPECT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, at, 65536));
  auto unknown = Scsi(tester, win::SCSI_IOCTL_DATA_IN, buf.data(), 256 * 512);
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
  using Writes = std::vector<std::pair<std::string, std::string>>;
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
};

TEST_F(UsbDisk, RaisedTo2MiBWhereTheKernelAllows) {
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  EXPECT_EQ((Writes{{"/sys/block/sdb/device/max_sectors", "4096"}, {"/sys/block/sdb/queue/max_sectors_kb", "2048"}}),
            sys.textWrites);
  EXPECT_EQ(2097152u, linuxdisk::TransferLimit(sys, "sdb"));
  sys.textWrites.clear();
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");  // raised already
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

  sys.textWrites.clear();
  Queue(sys, "sdb", "4096\n", "4096\n", "2048\n");  // never lowered
  linuxdisk::RaiseUsbTransferLimit(sys, "sdb");
  Queue(sys, "sda", "1280\n", "32767\n", "168\n");  // a libata disk has no device/max_sectors
  linuxdisk::RaiseUsbTransferLimit(sys, "sda");
  EXPECT_TRUE(sys.textWrites.empty());
}

}  // namespace
