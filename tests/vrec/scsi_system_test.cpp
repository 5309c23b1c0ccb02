// The recorders behind the pass-through seam, driven with real sg_io_hdr
// structures as the kernel takes them.
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>

#include <cerrno>

#include "vrec/virtual_scsi_system.h"
#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

class ScsiSystemTest : public ::testing::Test {
 protected:
  TempDir dir;
  ManualClock clock;
  std::unique_ptr<VirtualScsiSystem> sys;

  void SetUp() override { Make(2); }
  void Make(int recorders, std::vector<int> hosts = {}) {
    VirtualScsiOptions options;
    options.stateDir = dir.path;
    options.recorders = recorders;
    options.hostNumbers = std::move(hosts);
    options.recorder = RecorderOptions{&clock, 1.0};
    sys = std::make_unique<VirtualScsiSystem>(options);
  }

  struct Io {
    sg_io_hdr_t hdr{};
    std::array<unsigned char, 16> cdb{};
    std::array<unsigned char, 32> sense{};
    Bytes data;
    int rc = 0;
  };
  Io Send(int fd, std::initializer_list<unsigned char> cdb, int direction, std::size_t length) {
    Io io;
    std::copy(cdb.begin(), cdb.end(), io.cdb.begin());
    io.data.assign(length, 0xEE);
    io.hdr.interface_id = 'S';
    io.hdr.dxfer_direction = direction;
    io.hdr.cmd_len = static_cast<unsigned char>(cdb.size());
    io.hdr.cmdp = io.cdb.data();
    io.hdr.dxfer_len = static_cast<unsigned>(length);
    io.hdr.dxferp = length ? io.data.data() : nullptr;
    io.hdr.mx_sb_len = static_cast<unsigned char>(io.sense.size());
    io.hdr.sbp = io.sense.data();
    io.hdr.timeout = 10000;
    io.rc = sys->Ioctl(fd, SG_IO, &io.hdr);
    return io;
  }
};

TEST_F(ScsiSystemTest, NodesAndOpenRules) {
  EXPECT_TRUE(sys->NodeExists("/dev/sr0"));
  EXPECT_TRUE(sys->NodeExists("/dev/sr1"));
  EXPECT_FALSE(sys->NodeExists("/dev/sr2"));
  EXPECT_FALSE(sys->NodeExists("/dev/sda"));
  EXPECT_FALSE(sys->NodeExists("/dev/sr"));
  EXPECT_EQ(sys->Open("/dev/sr2", O_RDWR | O_NONBLOCK), -ENOENT);
  // Recorder 1 is new: it holds the first-use blank CD-R, so a blocking open works.
  int fd = sys->Open("/dev/sr1", O_RDONLY);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(sys->Close(fd), 0);
  EXPECT_EQ(sys->Close(fd), -EBADF);
  ASSERT_TRUE(sys->recorder(0).Eject());
  // Like sr: without O_NONBLOCK an empty drive does not open.
  EXPECT_EQ(sys->Open("/dev/sr0", O_RDWR), -ENOMEDIUM);
  fd = sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  sys->SetOpenError("/dev/sr0", EACCES);
  EXPECT_EQ(sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK), -EACCES);
  sys->SetOpenError("/dev/sr0", 0);
  EXPECT_EQ(sys->OpenHandles(0), 1);
  EXPECT_EQ(sys->Close(fd), 0);
  EXPECT_EQ(sys->OpenHandles(), 0);
}

TEST_F(ScsiSystemTest, SgIoCarriesDataStatusAndSense) {
  const int fd = sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  auto inquiry = Send(fd, {0x12, 0, 0, 0, 96, 0}, SG_DXFER_FROM_DEV, 128);
  EXPECT_EQ(inquiry.rc, 0);
  EXPECT_EQ(inquiry.hdr.status, 0);
  EXPECT_EQ(inquiry.hdr.driver_status, 0);
  EXPECT_EQ(inquiry.hdr.sb_len_wr, 0);
  EXPECT_EQ(inquiry.hdr.resid, 128 - 96);
  EXPECT_EQ(inquiry.hdr.info & SG_INFO_OK_MASK, SG_INFO_OK);
  EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 16), "VELLORAN");
  // A check condition: autosense, DRIVER_SENSE, masked status.
  auto read = Send(fd, {0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, SG_DXFER_FROM_DEV, 2048);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.hdr.status, 0x02);
  EXPECT_EQ(read.hdr.masked_status, CHECK_CONDITION);
  EXPECT_EQ(read.hdr.driver_status, 0x08);
  EXPECT_EQ(read.hdr.sb_len_wr, 18);
  EXPECT_EQ(read.hdr.host_status, 0);
  EXPECT_EQ(read.hdr.resid, 2048);
  EXPECT_EQ(read.hdr.info & SG_INFO_OK_MASK, SG_INFO_CHECK);
  EXPECT_EQ(read.sense[2], 0x05);
  EXPECT_EQ(read.sense[12], 0x21);
  // Data out, then back in.
  Io write;
  {
    Bytes payload(2 * 2048, 0x42);
    write.cdb = {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    write.hdr.interface_id = 'S';
    write.hdr.dxfer_direction = SG_DXFER_TO_DEV;
    write.hdr.cmd_len = 10;
    write.hdr.cmdp = write.cdb.data();
    write.hdr.dxfer_len = static_cast<unsigned>(payload.size());
    write.hdr.dxferp = payload.data();
    write.hdr.mx_sb_len = 32;
    write.hdr.sbp = write.sense.data();
    EXPECT_EQ(sys->Ioctl(fd, SG_IO, &write.hdr), 0);
    EXPECT_EQ(write.hdr.status, 0);
    EXPECT_EQ(write.hdr.resid, 0);
  }
  auto back = Send(fd, {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, SG_DXFER_FROM_DEV, 4096);
  EXPECT_EQ(back.hdr.status, 0);
  EXPECT_EQ(back.data[4095], 0x42);
  // A short sense buffer gets what fits.
  Io small;
  small.cdb = {0x00, 0, 0, 0, 0, 0};
  ASSERT_TRUE(sys->recorder(0).Eject());
  small.hdr.interface_id = 'S';
  small.hdr.dxfer_direction = SG_DXFER_NONE;
  small.hdr.cmd_len = 6;
  small.hdr.cmdp = small.cdb.data();
  small.hdr.mx_sb_len = 8;
  small.hdr.sbp = small.sense.data();
  EXPECT_EQ(sys->Ioctl(fd, SG_IO, &small.hdr), 0);
  EXPECT_EQ(small.hdr.sb_len_wr, 8);
  EXPECT_EQ(small.sense[2], 0x02);
  EXPECT_EQ(small.sense[8], 0x00);  // nothing past the buffer
  // Malformed requests fail the ioctl itself.
  auto bad = Send(fd, {0x00, 0, 0, 0, 0, 0}, SG_DXFER_NONE, 0);
  bad.hdr.interface_id = 'Q';
  EXPECT_EQ(sys->Ioctl(fd, SG_IO, &bad.hdr), -EINVAL);
  bad.hdr.interface_id = 'S';
  bad.hdr.cmd_len = 4;
  EXPECT_EQ(sys->Ioctl(fd, SG_IO, &bad.hdr), -EINVAL);
  EXPECT_EQ(sys->Ioctl(fd, 0x1234, &bad.hdr), -ENOTTY);
  EXPECT_EQ(sys->Ioctl(fd + 100, SG_IO, &bad.hdr), -EBADF);
  EXPECT_EQ(sys->CommandsSeen(0x12), 1u);
  EXPECT_EQ(sys->CommandsSeen(0x28), 2u);
  EXPECT_EQ(sys->CommandsSeen(0x2A), 1u);
  sys->Close(fd);
}

TEST_F(ScsiSystemTest, AddressIoctlsUseTheKernelPacking) {
  Make(2, {12, 3});
  const int fd0 = sys->Open("/dev/sr0", O_RDONLY | O_NONBLOCK);
  const int fd1 = sys->Open("/dev/sr1", O_RDONLY | O_NONBLOCK);
  int idlun[2] = {-1, -1};
  EXPECT_EQ(sys->Ioctl(fd0, SCSI_IOCTL_GET_IDLUN, idlun), 0);
  EXPECT_EQ(idlun[0], 12 << 24);  // id 0, lun 0, channel 0, host 12
  int bus = -1;
  EXPECT_EQ(sys->Ioctl(fd0, SCSI_IOCTL_GET_BUS_NUMBER, &bus), 0);
  EXPECT_EQ(bus, 12);
  sys->SetHostNumber(1, 5);
  EXPECT_EQ(sys->Ioctl(fd1, SCSI_IOCTL_GET_IDLUN, idlun), 0);
  EXPECT_EQ(idlun[0] >> 24, 5);
  EXPECT_EQ((idlun[0] >> 16) & 0xFF, 0);
  EXPECT_EQ(sys->Ioctl(fd1, SCSI_IOCTL_GET_BUS_NUMBER, nullptr), -EFAULT);
  sys->Close(fd0);
  sys->Close(fd1);
}

TEST_F(ScsiSystemTest, LastCloseReleasesThePreventLock) {
  const int a = sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK);
  const int b = sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK);
  EXPECT_EQ(Send(a, {0x1E, 0, 0, 0, 1, 0}, SG_DXFER_NONE, 0).hdr.status, 0);
  EXPECT_TRUE(sys->recorder(0).Prevented());
  EXPECT_EQ(Send(b, {0x1B, 0, 0, 0, 2, 0}, SG_DXFER_NONE, 0).sense[12], 0x53);
  sys->Close(a);
  EXPECT_TRUE(sys->recorder(0).Prevented());  // b still holds the device open
  sys->Close(b);
  EXPECT_FALSE(sys->recorder(0).Prevented());
  const int c = sys->Open("/dev/sr0", O_RDWR | O_NONBLOCK);
  EXPECT_EQ(Send(c, {0x1B, 0, 0, 0, 2, 0}, SG_DXFER_NONE, 0).hdr.status, 0);
  sys->Close(c);
}

TEST_F(ScsiSystemTest, RecorderCountFollowsTheStateFolder) {
  Make(0);
  EXPECT_EQ(sys->RecorderCount(), 2);  // recorder0 and recorder1 exist from SetUp's use
  Recorder extra(dir.path, 2);
  ASSERT_TRUE(extra.Insert(MediumKind::DvdR, {}));
  Make(0);
  EXPECT_EQ(sys->RecorderCount(), 3);
  EXPECT_TRUE(sys->NodeExists("/dev/sr2"));
}

}  // namespace
}  // namespace velloran::vrec::test
