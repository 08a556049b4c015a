// SG_IO requests built from the Windows request blocks, and the results read back
// (the sense parsers themselves: tests/protocol/SenseTest.cpp).
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <vector>

#include "platform/linux/SgIo.h"
#include "tests/platform/linux/FakeSys.h"

using namespace platform;
using kxtest::FakeSys;

namespace {

constexpr int kFd = 7;

struct SgFixture : ::testing::Test {
  FakeSys sys;
  void SetUp() override {
    sys.nodes.insert("/dev/sdb");
    sys.openFds[kFd] = "/dev/sdb";
  }
  // Answer the next request with a SCSI status and sense bytes.
  void Answer(unsigned char status, std::vector<unsigned char> sense, int result = 0) {
    sys.onSgIo = [=](sg_io_hdr_t& h) {
      h.status = status;
      const std::size_t n = std::min<std::size_t>(sense.size(), h.mx_sb_len);
      std::copy(sense.begin(), sense.begin() + n, h.sbp);
      h.sb_len_wr = static_cast<unsigned char>(n);
      return result;
    };
  }
};

std::vector<unsigned char> Cdb(std::initializer_list<int> bytes) {
  std::vector<unsigned char> v;
  for (int b : bytes) v.push_back(static_cast<unsigned char>(b));
  return v;
}

// Descriptor-format sense with an ATA status return descriptor (09h), after an
// unrelated descriptor so that the walk has to step over it.
std::vector<unsigned char> DescriptorSense(unsigned char key, unsigned char error, unsigned char status,
                                           unsigned char count, bool extend = false) {
  std::vector<unsigned char> s = {0x72, key, 0x00, 0x1D, 0, 0, 0, 0};
  const std::vector<unsigned char> info = {0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<unsigned char> ata = {0x09, 0x0C, static_cast<unsigned char>(extend ? 1 : 0), error,
                                    0x01, count, 0x02, 0x11, 0x03, 0x22, 0x04, 0x33, 0xE0, status};
  s.insert(s.end(), info.begin(), info.end());
  s.insert(s.end(), ata.begin(), ata.end());
  s[7] = static_cast<unsigned char>(s.size() - 8);
  return s;
}

win::ATA_PASS_THROUGH_DIRECT Ata(win::USHORT flags, std::array<int, 7> cur, std::array<int, 7> prev = {},
                                 void* buf = nullptr, win::ULONG len = 0) {
  win::ATA_PASS_THROUGH_DIRECT a;
  a.AtaFlags = static_cast<win::USHORT>(flags | win::ATA_FLAGS_DRDY_REQUIRED);
  for (int i = 0; i < 7; ++i) {
    a.CurrentTaskFile[i] = static_cast<win::UCHAR>(cur[i]);
    a.PreviousTaskFile[i] = static_cast<win::UCHAR>(prev[i]);
  }
  a.DataBuffer = buf;
  a.DataTransferLength = len;
  a.TimeOutValue = 10;
  return a;
}

win::ScsiPassThroughDirectBlock Direct(win::UCHAR dataIn, void* buf, win::ULONG len, win::UCHAR senseRoom) {
  win::ScsiPassThroughDirectBlock b;
  b.Sptd.CdbLength = 16;
  b.Sptd.SenseInfoLength = senseRoom;
  b.Sptd.DataIn = dataIn;
  b.Sptd.DataTransferLength = len;
  b.Sptd.TimeOutValue = 30;
  b.Sptd.DataBuffer = buf;
  return b;
}

TEST_F(SgFixture, DirectScsiCarriesDirectionLengthTimeoutAndSense) {
  std::vector<unsigned char> data(512);
  auto b = Direct(win::SCSI_IOCTL_DATA_IN, data.data(), 512, 24);
  const unsigned char cdb[16] = {0x08, 0xF2, 0xA0};
  std::copy(cdb, cdb + 16, b.Sptd.Cdb);
  sys.onSgIo = [](sg_io_hdr_t& h) {
    h.status = 0x02;
    h.resid = 12;
    const unsigned char sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
    std::copy(sense, sense + 18, h.sbp);
    h.sb_len_wr = 18;
    return 0;
  };
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
  ASSERT_EQ(1u, sys.sgCalls.size());
  const auto& h = sys.sgCalls[0].hdr;
  EXPECT_EQ('S', h.interface_id);
  EXPECT_EQ(SG_DXFER_FROM_DEV, h.dxfer_direction);
  EXPECT_EQ(512u, h.dxfer_len);
  EXPECT_EQ(data.data(), h.dxferp);
  EXPECT_EQ(30000u, h.timeout);
  EXPECT_EQ(16, h.cmd_len);
  EXPECT_EQ(Cdb({0x08, 0xF2, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), sys.sgCalls[0].cdb);
  EXPECT_EQ(0x02, b.Sptd.ScsiStatus);
  EXPECT_EQ(18, b.Sptd.SenseInfoLength);
  EXPECT_EQ(0x05, b.Sense[2]);
  EXPECT_EQ(0x20, b.Sense[12]);
  EXPECT_EQ(500u, b.Sptd.DataTransferLength);

  // Out, with room for only 8 sense bytes; then no data at all.
  b = Direct(win::SCSI_IOCTL_DATA_OUT, data.data(), 16, 8);
  Answer(0x02, DescriptorSense(0x01, 0, 0x50, 0));
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
  EXPECT_EQ(SG_DXFER_TO_DEV, sys.sgCalls.back().hdr.dxfer_direction);
  EXPECT_EQ(8, b.Sptd.SenseInfoLength);
  b = Direct(win::SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, 8);
  ASSERT_EQ(0u, sgio::ScsiPassThroughDirect(sys, kFd, b));
  EXPECT_EQ(SG_DXFER_NONE, sys.sgCalls.back().hdr.dxfer_direction);
  EXPECT_EQ(nullptr, sys.sgCalls.back().hdr.dxferp);

  // Refused before anything is sent: a CDB too long, a length without a buffer.
  const std::size_t sent = sys.sgCalls.size();
  b.Sptd.CdbLength = 17;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::ScsiPassThroughDirect(sys, kFd, b));
  b = Direct(win::SCSI_IOCTL_DATA_IN, nullptr, 512, 8);
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::ScsiPassThroughDirect(sys, kFd, b));
  EXPECT_EQ(sent, sys.sgCalls.size());
}

TEST_F(SgFixture, BufferedScsiUsesTheDataAreaAndNoDataForLengthZero) {
  win::ScsiPassThroughBlock b;
  b.Spt.CdbLength = 16;
  b.Spt.DataIn = win::SCSI_IOCTL_DATA_IN;  // the finder says "in" even for TEST UNIT READY
  b.Spt.TimeOutValue = 10;
  ASSERT_EQ(0u, sgio::ScsiPassThroughBuffered(sys, kFd, b));
  EXPECT_EQ(SG_DXFER_NONE, sys.sgCalls.back().hdr.dxfer_direction);
  EXPECT_EQ(10000u, sys.sgCalls.back().hdr.timeout);

  b.Spt.DataTransferLength = 36;
  b.Spt.Cdb[0] = 0x12;
  b.Spt.Cdb[4] = 36;
  sys.onSgIo = [](sg_io_hdr_t& h) {
    static_cast<unsigned char*>(h.dxferp)[8] = 'Q';
    return 0;
  };
  ASSERT_EQ(0u, sgio::ScsiPassThroughBuffered(sys, kFd, b));
  EXPECT_EQ(SG_DXFER_FROM_DEV, sys.sgCalls.back().hdr.dxfer_direction);
  EXPECT_EQ(static_cast<void*>(b.Data), sys.sgCalls.back().hdr.dxferp);
  EXPECT_EQ('Q', b.Data[8]);
  sys.onSgIo = [](sg_io_hdr_t&) { return 0; };

  b.Spt.DataTransferLength = sizeof b.Data + 1;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::ScsiPassThroughBuffered(sys, kFd, b));
  b.Spt.DataTransferLength = 0;
  b.Spt.TimeOutValue = 0xFFFFFFFFu;  // seconds beyond what milliseconds can hold
  ASSERT_EQ(0u, sgio::ScsiPassThroughBuffered(sys, kFd, b));
  EXPECT_EQ(UINT_MAX, sys.sgCalls.back().hdr.timeout);
}

TEST(AtaPassThrough16, CdbForEachProtocolAndWidth) {
  unsigned char buf[512];
  struct Case {
    const char* what;
    win::ATA_PASS_THROUGH_DIRECT apt;
    std::vector<unsigned char> cdb;
    bool registers;
  };
  const Case cases[] = {
      {"IDENTIFY DEVICE, 28-bit PIO in",
       Ata(win::ATA_FLAGS_DATA_IN, {0, 1, 0, 0, 0, 0xA0, 0xEC}, {}, buf, 512),
       Cdb({0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}), false},
      {"SMART READ DATA, 28-bit PIO in, features and LBA",
       Ata(win::ATA_FLAGS_DATA_IN, {0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 0xB0}, {}, buf, 512),
       Cdb({0x85, 0x08, 0x0E, 0, 0xD0, 0, 0x01, 0, 0, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0, 0}), false},
      {"WRITE SECTORS, 28-bit PIO out",
       Ata(win::ATA_FLAGS_DATA_OUT, {0, 1, 0x10, 0x20, 0x30, 0xE0, 0x30}, {}, buf, 512),
       Cdb({0x85, 0x0A, 0x06, 0, 0, 0, 0x01, 0, 0x10, 0, 0x20, 0, 0x30, 0xE0, 0x30, 0}), false},
      {"WRITE DMA, 28-bit DMA out",
       Ata(win::ATA_FLAGS_DATA_OUT | win::ATA_FLAGS_USE_DMA, {0, 1, 0, 0, 0, 0xE0, 0xCA}, {}, buf, 512),
       Cdb({0x85, 0x0C, 0x06, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xE0, 0xCA, 0}), false},
      {"READ DMA EXT, 48-bit DMA in",
       Ata(win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_48BIT_COMMAND | win::ATA_FLAGS_USE_DMA,
           {0, 0x01, 0x78, 0x56, 0x34, 0x40, 0x25}, {0, 0x00, 0x12, 0x9A, 0xBC, 0, 0x25}, buf, 512),
       Cdb({0x85, 0x0D, 0x0E, 0, 0, 0x00, 0x01, 0x12, 0x78, 0x9A, 0x56, 0xBC, 0x34, 0x40, 0x25, 0}), false},
      {"WRITE SECTORS EXT, 48-bit PIO out",
       Ata(win::ATA_FLAGS_DATA_OUT | win::ATA_FLAGS_48BIT_COMMAND, {0, 0x01, 1, 2, 3, 0x40, 0x34},
           {0, 0x00, 4, 5, 6, 0, 0x34}, buf, 512),
       Cdb({0x85, 0x0B, 0x06, 0, 0, 0x00, 0x01, 4, 1, 5, 2, 6, 3, 0x40, 0x34, 0}), false},
      {"CHECK POWER MODE, 28-bit non-data asks for registers",
       Ata(0, {0, 0, 0, 0, 0, 0xA0, 0xE5}),
       Cdb({0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xE5, 0}), true},
      {"FLUSH CACHE EXT, 48-bit non-data",
       Ata(win::ATA_FLAGS_48BIT_COMMAND, {0, 0, 0, 0, 0, 0x40, 0xEA}),
       Cdb({0x85, 0x07, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0xEA, 0}), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned char cdb[16];
    bool registers = !c.registers;
    ASSERT_EQ(0u, sgio::BuildAtaPassThrough16(c.apt, cdb, registers));
    EXPECT_EQ(c.cdb, std::vector<unsigned char>(cdb, cdb + 16));
    EXPECT_EQ(c.registers, registers);
  }
}

TEST(AtaPassThrough16, ContradictoryRequestsAreRefused) {
  unsigned char buf[512];
  unsigned char cdb[16];
  bool registers = false;
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER,
            sgio::BuildAtaPassThrough16(Ata(win::ATA_FLAGS_DATA_IN | win::ATA_FLAGS_DATA_OUT, {}, {}, buf, 512), cdb,
                                        registers));
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER,
            sgio::BuildAtaPassThrough16(Ata(win::ATA_FLAGS_DATA_IN, {}, {}, buf, 0), cdb, registers));
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER, sgio::BuildAtaPassThrough16(Ata(0, {}, {}, buf, 512), cdb, registers));
  EXPECT_EQ(win::ERROR_INVALID_PARAMETER,
            sgio::BuildAtaPassThrough16(Ata(win::ATA_FLAGS_DATA_IN, {}, {}, nullptr, 512), cdb, registers));
}

TEST_F(SgFixture, AtaRequestHeaderFollowsTheFlags) {
  unsigned char buf[1024];
  auto a = Ata(win::ATA_FLAGS_DATA_OUT | win::ATA_FLAGS_USE_DMA, {0, 2, 0, 0, 0, 0xE0, 0xCA}, {}, buf, 1024);
  a.TimeOutValue = 7;
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  const auto& h = sys.sgCalls.back().hdr;
  EXPECT_EQ(SG_DXFER_TO_DEV, h.dxfer_direction);
  EXPECT_EQ(1024u, h.dxfer_len);
  EXPECT_EQ(static_cast<void*>(buf), h.dxferp);
  EXPECT_EQ(7000u, h.timeout);
  EXPECT_EQ(16, h.cmd_len);

  auto n = Ata(0, {0, 0, 0, 0, 0, 0xA0, 0xE0});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, n));
  EXPECT_EQ(SG_DXFER_NONE, sys.sgCalls.back().hdr.dxfer_direction);
  EXPECT_EQ(0u, sys.sgCalls.back().hdr.dxfer_len);
}

TEST_F(SgFixture, AtaOutcomesAreJudgedFromTheReturnedStatus) {
  // Registers returned on CK_COND: count carries the power mode.
  auto a = Ata(0, {0, 0, 0, 0, 0, 0xA0, 0xE5});
  Answer(0x02, DescriptorSense(0x01, 0x00, 0x50, 0xFF));
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);
  EXPECT_EQ(0xFF, a.CurrentTaskFile[1]);
  EXPECT_EQ(0x00, a.PreviousTaskFile[1]);

  // The device's error: the request is carried out, the status says ERR.
  a = Ata(0, {0, 0, 0, 0, 0, 0xA0, 0xEF});
  Answer(0x02, DescriptorSense(0x0B, 0x04, 0x51, 0x00));
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x51, a.CurrentTaskFile[6]);
  EXPECT_EQ(0x04, a.CurrentTaskFile[0]);

  // Older libata's fixed layout: the device's error comes back the same way.
  a = Ata(0, {0x11, 0x22, 0x33, 0x44, 0x55, 0xA0, 0xFE});
  Answer(0x02, {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x04, 0x41, 0xA0, 0x22, 0, 0, 0, 0, 0x00, 0x33});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x41, a.CurrentTaskFile[6]);
  EXPECT_EQ(0x04, a.CurrentTaskFile[0]);
  EXPECT_EQ(0x33, a.CurrentTaskFile[2]);

  // A meaningless sense key beside a good ATA status.
  Answer(0x02, DescriptorSense(0x05, 0x00, 0x50, 0x00));
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);

  // 48-bit: the high-order registers land in the previous task file.
  a = Ata(win::ATA_FLAGS_48BIT_COMMAND, {0, 0, 0, 0, 0, 0x40, 0xEA});
  Answer(0x02, DescriptorSense(0x01, 0x00, 0x50, 0x05, true));
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x01, a.PreviousTaskFile[1]);
  EXPECT_EQ(0x04, a.PreviousTaskFile[4]);
}

TEST_F(SgFixture, AtaWithoutRegistersIsReadyOnGoodStatusAndAFailureOtherwise) {
  unsigned char buf[512];
  // GOOD with no sense (data command, or a bridge that ignored CK_COND): a ready
  // device, and none of the sent registers echoed back as if returned.
  auto a = Ata(win::ATA_FLAGS_DATA_IN, {0x11, 1, 0x22, 0x33, 0x44, 0xA0, 0xEC}, {}, buf, 512);
  Answer(0x00, {});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);
  for (int i : {0, 1, 2, 3, 4, 5}) EXPECT_EQ(0, a.CurrentTaskFile[i]) << i;

  // A bridge that ignored CK_COND on a non-data command: ready, and the count
  // sent (here 1) is not passed off as the device's answer.
  auto power = Ata(0, {0, 1, 1, 0, 0, 0xA0, 0xE5});
  Answer(0x00, {});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, power));
  EXPECT_EQ(0x20, sys.sgCalls.back().cdb[2]);  // CK_COND was asked for
  EXPECT_EQ(0x50, power.CurrentTaskFile[6]);
  EXPECT_EQ(0, power.CurrentTaskFile[1]);
  EXPECT_EQ(0, power.CurrentTaskFile[2]);

  // GOOD with stray sense that holds no registers: still good.
  Answer(0x00, {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00});
  ASSERT_EQ(0u, sgio::AtaPassThrough(sys, kFd, a));
  EXPECT_EQ(0x50, a.CurrentTaskFile[6]);

  // CHECK CONDITION without registers must never read as success, and the
  // registers sent are not left behind as if the device had returned them.
  auto sent = Ata(win::ATA_FLAGS_48BIT_COMMAND, {0x11, 0x22, 0x33, 0x44, 0x55, 0x40, 0xEA}, {1, 2, 3, 4, 5, 6, 0xEA});
  Answer(0x02, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00});
  EXPECT_EQ(win::ERROR_NOT_SUPPORTED, sgio::AtaPassThrough(sys, kFd, sent));
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(0, sent.CurrentTaskFile[i]) << "current " << i;
    EXPECT_EQ(0, sent.PreviousTaskFile[i]) << "previous " << i;
  }
  sent = Ata(0, {0x11, 0x22, 0x33, 0x44, 0x55, 0xA0, 0xE5});
  sys.onSgIo = [](sg_io_hdr_t&) { return -EIO; };
  EXPECT_EQ(win::ERROR_GEN_FAILURE, sgio::AtaPassThrough(sys, kFd, sent));
  EXPECT_EQ(0, sent.CurrentTaskFile[1]);
  EXPECT_EQ(0, sent.CurrentTaskFile[6]);
  Answer(0x02, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00});
  EXPECT_EQ(win::ERROR_NOT_SUPPORTED, sgio::AtaPassThrough(sys, kFd, a));
  Answer(0x02, {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x00});
  EXPECT_EQ(win::ERROR_NOT_READY, sgio::AtaPassThrough(sys, kFd, a));
  Answer(0x02, {0x70, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00});
  EXPECT_EQ(win::ERROR_IO_DEVICE, sgio::AtaPassThrough(sys, kFd, a));
  Answer(0x02, {});
  EXPECT_EQ(win::ERROR_GEN_FAILURE, sgio::AtaPassThrough(sys, kFd, a));
  Answer(0x08, {});  // BUSY
  EXPECT_EQ(win::ERROR_GEN_FAILURE, sgio::AtaPassThrough(sys, kFd, a));
}

TEST_F(SgFixture, LinuxFailuresBecomeWindowsNumbers) {
  const std::pair<int, win::DWORD> errnos[] = {
      {EPERM, 5}, {EACCES, 5}, {ENOENT, 2}, {ENODEV, 2}, {ENXIO, 2}, {ETIMEDOUT, 121}, {EIO, 31}, {EINVAL, 87}};
  for (const auto& [e, w] : errnos) {
    win::ScsiPassThroughDirectBlock b;
    b.Sptd.CdbLength = 6;
    sys.onSgIo = [e = e](sg_io_hdr_t&) { return -e; };
    EXPECT_EQ(w, sgio::ScsiPassThroughDirect(sys, kFd, b)) << "errno " << e;
    auto a = Ata(0, {0, 0, 0, 0, 0, 0, 0xE5});
    EXPECT_EQ(w, sgio::AtaPassThrough(sys, kFd, a)) << "errno " << e;
  }
  struct Transport {
    unsigned host, driver;
    win::DWORD expected;
  };
  const Transport transports[] = {
      {0x00, 0x08, 0},     // DRIVER_SENSE alone: sense is there, nothing failed
      {0x03, 0x00, 121},   // DID_TIME_OUT
      {0x00, 0x06, 121},   // DRIVER_TIMEOUT
      {0x01, 0x00, 2},     // DID_NO_CONNECT: the device is gone
      {0x04, 0x00, 2},     // DID_BAD_TARGET
      {0x07, 0x00, 31},    // DID_ERROR
      {0x0E, 0x00, 31},    // DID_TRANSPORT_DISRUPTED
      {0x00, 0x04, 31},    // DRIVER_ERROR
  };
  for (const auto& t : transports) {
    EXPECT_EQ(t.expected, sgio::TransportError(t.host, t.driver)) << t.host << "/" << t.driver;
    sys.onSgIo = [t](sg_io_hdr_t& h) {
      h.host_status = static_cast<unsigned short>(t.host);
      h.driver_status = static_cast<unsigned short>(t.driver);
      return 0;
    };
    auto a = Ata(0, {0, 0, 0, 0, 0, 0, 0xE5});
    EXPECT_EQ(t.expected, sgio::AtaPassThrough(sys, kFd, a));
  }
}

}  // namespace
