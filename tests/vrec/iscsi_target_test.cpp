// The recorder served over iSCSI: a test initiator that builds PDUs by hand
// drives a Connection to a real recorder (a state folder of its own) and
// reads what comes back. Login with no authentication and with CHAP,
// Data-In segmentation with the status on the last PDU, Data-Out collected
// through R2T bursts, sense in the SCSI Response, CmdSN windows, NOP, task
// management, text, logout, one session at a time, and malformed input.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "vrec/iscsi/connection.h"
#include "vrec/iscsi/md5.h"
#include "vrec/iscsi/recorder_unit.h"
#include "vrec/iscsi/server.h"
#include "vrec_test_util.h"

namespace velloran::vrec::iscsi {
namespace {

using test::Bytes;
using test::TempDir;

constexpr const char* kTargetName = "iqn.2026-12.org.velloran:recorder0";

std::string Md5Hex(const std::string& text) {
  const auto d = Md5(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  char out[33];
  for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", d[static_cast<std::size_t>(i)]);
  return out;
}

TEST(IscsiMd5, MatchesTheVectorsOfRfc1321) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");  // two blocks
  EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");  // padding fits one block
  EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");  // padding needs a second
}

TEST(IscsiText, KeysRoundTripAndOversizedOnesAreRefused) {
  TextKeys keys;
  const Bytes text = EncodeTextKeys({{"InitiatorName", "iqn.x"}, {"AuthMethod", "CHAP,None"}});
  ASSERT_TRUE(ParseTextKeys(text, &keys));
  EXPECT_EQ(keys, (TextKeys{{"InitiatorName", "iqn.x"}, {"AuthMethod", "CHAP,None"}}));
  for (const std::string& bad : {std::string("novalue"), std::string("=x"), std::string(64, 'k') + "=v",
                                "k=" + std::string(8192, 'v')}) {
    Bytes b(bad.begin(), bad.end());
    b.push_back(0);
    EXPECT_FALSE(ParseTextKeys(b, &keys)) << bad.substr(0, 20);
  }
}

TEST(IscsiFraming, PdusAreCutAtTheirLengthsAndOversizedSegmentsStopTheStream) {
  Pdu a;
  a.bhs[0] = kNopOut;
  a.data = {1, 2, 3, 4, 5};  // padded to 8 on the wire
  Bytes wire = a.Encode();
  ASSERT_EQ(wire.size(), kBhsLength + 8);
  PduReader reader(8192);
  Pdu out;
  reader.Feed(std::span(wire).first(50));
  EXPECT_EQ(reader.Next(&out), PduReader::Result::kNeedMore);
  reader.Feed(std::span(wire).subspan(50));
  ASSERT_EQ(reader.Next(&out), PduReader::Result::kPdu);
  EXPECT_EQ(out.data, a.data);
  EXPECT_EQ(reader.Next(&out), PduReader::Result::kNeedMore);

  Bytes huge(kBhsLength, 0);
  be::store24(&huge[5], 8193);
  reader.Feed(huge);
  EXPECT_EQ(reader.Next(&out), PduReader::Result::kError);
}

// --- A test initiator -----------------------------------------------------------

class Initiator {
 public:
  Initiator(Target& target, std::string name = "iqn.2026-12.test:initiator", std::uint8_t isid = 1)
      : connection(target, "test"), name_(std::move(name)), isid_(isid) {}

  Connection connection;
  std::vector<Pdu> replies;  // of the last Send

  const std::vector<Pdu>& Send(Pdu pdu) {
    const Bytes bytes = pdu.Encode();
    connection.Receive(bytes);
    replies.clear();
    PduReader reader(1 << 24);
    reader.Feed(connection.TakeOutput());
    Pdu p;
    while (reader.Next(&p) == PduReader::Result::kPdu) replies.push_back(p);
    return replies;
  }

  Pdu LoginPdu(int csg, int nsg, bool transit, const TextKeys& keys) {
    Pdu p;
    p.bhs[0] = kLoginRequest | kImmediateBit;
    p.bhs[1] = static_cast<std::uint8_t>((transit ? 0x80 : 0) | (csg << 2) | nsg);
    p.bhs[13] = isid_;
    p.SetField32(16, itt_++);
    p.SetField32(24, cmdSn);
    p.data = EncodeTextKeys(keys);
    return p;
  }

  // A full login with no authentication; the operational keys given.
  bool LoginNone(const TextKeys& operational = {{"MaxRecvDataSegmentLength", "4096"}}) {
    Send(LoginPdu(0, 1, true,
                  {{"InitiatorName", name_}, {"TargetName", kTargetName}, {"SessionType", "Normal"},
                   {"AuthMethod", "None"}}));
    if (replies.size() != 1 || replies[0].bhs[36] != 0) return false;
    Send(LoginPdu(1, 3, true, operational));
    return replies.size() == 1 && replies[0].bhs[36] == 0 && (replies[0].bhs[1] & 0x83) == 0x83;
  }

  // A SCSI command; `data` is immediate data for a write.
  const std::vector<Pdu>& Command(const Bytes& cdb, std::uint32_t expected, bool read, bool write,
                                  const Bytes& data = {}) {
    Pdu p;
    p.bhs[0] = kScsiCommand;
    p.bhs[1] = static_cast<std::uint8_t>(0x80 | (read ? 0x40 : 0) | (write ? 0x20 : 0) | 0x01);
    p.SetField32(16, itt_++);
    p.SetField32(20, expected);
    p.SetField32(24, cmdSn++);
    std::copy(cdb.begin(), cdb.end(), p.bhs.begin() + 32);
    p.data = data;
    return Send(p);
  }

  const std::vector<Pdu>& DataOut(const Pdu& r2t, std::uint32_t offset, const Bytes& data, bool final) {
    Pdu p;
    p.bhs[0] = kDataOut;
    p.bhs[1] = final ? 0x80 : 0;
    p.SetField32(16, r2t.itt());
    p.SetField32(20, r2t.Field32(20));
    p.SetField32(40, offset);
    p.data = data;
    return Send(p);
  }

  std::uint32_t cmdSn = 100;

 private:
  std::string name_;
  std::uint8_t isid_;
  std::uint32_t itt_ = 1;
};

TextKeys Keys(const Pdu& p) {
  TextKeys k;
  EXPECT_TRUE(ParseTextKeys(p.data, &k));
  return k;
}

std::string Value(const TextKeys& keys, const std::string& key) {
  for (const auto& [k, v] : keys)
    if (k == key) return v;
  return "(absent)";
}

class IscsiTarget : public ::testing::Test {
 protected:
  IscsiTarget() : drive_(dir_.path), unit_(drive_.recorder) { MakeTarget({}); }

  void MakeTarget(TargetConfig config) {
    config.name = kTargetName;
    config.address = "127.0.0.1:3260";
    target_ = std::make_unique<Target>(config, unit_, [this](const std::string& l) { log_ += l + "\n"; });
  }

  TempDir dir_;
  test::Drive drive_;
  RecorderUnit unit_;
  std::unique_ptr<Target> target_;
  std::string log_;
};

TEST_F(IscsiTarget, LoginWithoutAuthenticationNegotiatesEveryOperationalKey) {
  Initiator i(*target_);
  const auto& first = i.Send(i.LoginPdu(0, 1, true,
                                        {{"InitiatorName", "iqn.2026-12.test:initiator"},
                                         {"TargetName", kTargetName},
                                         {"AuthMethod", "CHAP,None"}}));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].opcode(), kLoginResponse);
  EXPECT_EQ(first[0].bhs[1], 0x81) << "transit from security to operational";
  EXPECT_EQ(Value(Keys(first[0]), "AuthMethod"), "None");
  EXPECT_EQ(Value(Keys(first[0]), "TargetPortalGroupTag"), "1");
  const std::uint32_t statSn = first[0].Field32(24);
  EXPECT_EQ(first[0].Field32(28), 100u) << "ExpCmdSN starts at the login's CmdSN";

  const auto& second = i.Send(i.LoginPdu(1, 3, true,
                                         {{"HeaderDigest", "CRC32C,None"},
                                          {"DataDigest", "CRC32C"},
                                          {"InitialR2T", "No"},
                                          {"ImmediateData", "Yes"},
                                          {"MaxRecvDataSegmentLength", "4096"},
                                          {"MaxBurstLength", "1048576"},
                                          {"FirstBurstLength", "300000"},
                                          {"ErrorRecoveryLevel", "2"},
                                          {"MaxOutstandingR2T", "8"},
                                          {"X-com.example.Thing", "1"}}));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].bhs[1], 0x87) << "transit from operational to full feature";
  EXPECT_NE(be::load16(&second[0].bhs[14]), 0) << "TSIH of the new session";
  EXPECT_EQ(second[0].Field32(24), statSn + 1);
  const TextKeys k = Keys(second[0]);
  EXPECT_EQ(Value(k, "HeaderDigest"), "None");
  EXPECT_EQ(Value(k, "DataDigest"), "Reject") << "only CRC32C offered, which this target lacks";
  EXPECT_EQ(Value(k, "InitialR2T"), "Yes");
  EXPECT_EQ(Value(k, "ImmediateData"), "Yes");
  EXPECT_EQ(Value(k, "MaxRecvDataSegmentLength"), "262144");
  EXPECT_EQ(Value(k, "MaxBurstLength"), "262144");
  EXPECT_EQ(Value(k, "FirstBurstLength"), "65536");
  EXPECT_EQ(Value(k, "ErrorRecoveryLevel"), "0");
  EXPECT_EQ(Value(k, "MaxOutstandingR2T"), "1");
  EXPECT_EQ(Value(k, "X-com.example.Thing"), "NotUnderstood");
  EXPECT_NE(log_.find("session opened for iqn.2026-12.test:initiator"), std::string::npos) << log_;
}

// CHAP: the initiator proves it knows the secret: MD5(id, secret, challenge).
std::string ChapResponse(const Pdu& challenge, const std::string& secret) {
  const TextKeys k = Keys(challenge);
  Bytes m{static_cast<std::uint8_t>(std::stoul(Value(k, "CHAP_I")))};
  m.insert(m.end(), secret.begin(), secret.end());
  const Bytes c = test::Hex(Value(k, "CHAP_C").substr(2));
  m.insert(m.end(), c.begin(), c.end());
  const auto d = Md5(m);
  std::string hex = "0x";
  char b[3];
  for (auto v : d) std::snprintf(b, sizeof b, "%02x", v), hex += b;
  return hex;
}

TEST_F(IscsiTarget, ChapAdmitsTheRightSecretOnlyAndNoneIsRefusedWhenItIsRequired) {
  TargetConfig config;
  config.chapUser = "burner";
  config.chapSecret = "twelve-chars";
  MakeTarget(config);
  struct Row {
    const char* what;
    std::string user, secret;
    bool admitted;
  };
  for (const Row& row : {Row{"right secret", "burner", "twelve-chars", true},
                         Row{"wrong secret", "burner", "twelve-charz", false},
                         Row{"wrong user", "other", "twelve-chars", false}}) {
    Initiator i(*target_);
    i.Send(i.LoginPdu(0, 0, false,
                      {{"InitiatorName", "iqn.2026-12.test:initiator"},
                       {"TargetName", kTargetName},
                       {"AuthMethod", "CHAP,None"}}));
    ASSERT_EQ(i.replies.size(), 1u);
    EXPECT_EQ(Value(Keys(i.replies[0]), "AuthMethod"), "CHAP");
    i.Send(i.LoginPdu(0, 0, false, {{"CHAP_A", "7,5"}}));
    ASSERT_EQ(i.replies.size(), 1u);
    EXPECT_EQ(Value(Keys(i.replies[0]), "CHAP_A"), "5");
    const std::string response = ChapResponse(i.replies[0], row.secret);
    i.Send(i.LoginPdu(0, 1, true, {{"CHAP_N", row.user}, {"CHAP_R", response}}));
    ASSERT_EQ(i.replies.size(), 1u) << row.what;
    if (row.admitted) {
      EXPECT_EQ(i.replies[0].bhs[36], 0) << row.what;
      EXPECT_EQ(i.replies[0].bhs[1], 0x81) << row.what;
      i.Send(i.LoginPdu(1, 3, true, {}));
      EXPECT_EQ(i.replies.at(0).bhs[36], 0);
    } else {
      EXPECT_EQ(i.replies[0].bhs[36], 0x02) << row.what;
      EXPECT_EQ(i.replies[0].bhs[37], 0x01) << row.what << ": authentication failure";
      EXPECT_TRUE(i.connection.Closing());
    }
  }
  // Skipping the security stage, or offering only None, is refused too.
  Initiator skip(*target_);
  skip.Send(skip.LoginPdu(1, 3, true, {{"InitiatorName", "iqn.2026-12.test:initiator"}, {"TargetName", kTargetName}}));
  EXPECT_EQ(skip.replies.at(0).bhs[37], 0x01);
  Initiator none(*target_);
  none.Send(none.LoginPdu(0, 1, true,
                          {{"InitiatorName", "iqn.2026-12.test:initiator"},
                           {"TargetName", kTargetName},
                           {"AuthMethod", "None"}}));
  EXPECT_EQ(none.replies.at(0).bhs[37], 0x01);
}

TEST_F(IscsiTarget, LoginRefusalsCarryTheirStatusAndCloseTheConnection) {
  struct Row {
    const char* what;
    TextKeys keys;
    std::uint8_t cls, detail;
  };
  for (const Row& row : {Row{"unknown target", {{"InitiatorName", "iqn.i"}, {"TargetName", "iqn.other"}}, 2, 3},
                         Row{"no initiator name", {{"TargetName", kTargetName}}, 2, 7},
                         Row{"bad session type", {{"InitiatorName", "iqn.i"}, {"SessionType", "Odd"}}, 2, 9}}) {
    Initiator i(*target_);
    i.Send(i.LoginPdu(0, 1, true, row.keys));
    ASSERT_EQ(i.replies.size(), 1u) << row.what;
    EXPECT_EQ(i.replies[0].bhs[36], row.cls) << row.what;
    EXPECT_EQ(i.replies[0].bhs[37], row.detail) << row.what;
    EXPECT_TRUE(i.connection.Closing()) << row.what;
  }
  // Anything but a login before the login completes ends the connection.
  Initiator early(*target_);
  early.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false);
  EXPECT_TRUE(early.replies.empty());
  EXPECT_TRUE(early.connection.Closing());
}

TEST_F(IscsiTarget, OneSessionAtATimeButTheSameInitiatorMayStartItsSessionAgain) {
  auto first = std::make_unique<Initiator>(*target_);
  ASSERT_TRUE(first->LoginNone());
  Initiator other(*target_, "iqn.2026-12.test:other");
  EXPECT_FALSE(other.LoginNone());
  EXPECT_EQ(other.replies.at(0).bhs[36], 0x03);
  EXPECT_EQ(other.replies.at(0).bhs[37], 0x02) << "out of resources";
  EXPECT_NE(log_.find("refused a session for iqn.2026-12.test:other: the recorder is in use by "
                      "iqn.2026-12.test:initiator (one session at a time)"),
            std::string::npos)
      << log_;
  // A discovery session is no session on the unit: it may come in beside.
  Initiator discovery(*target_, "iqn.2026-12.test:other");
  discovery.Send(discovery.LoginPdu(0, 3, true, {{"InitiatorName", "iqn.x"}, {"SessionType", "Discovery"},
                                                 {"AuthMethod", "None"}}));
  EXPECT_EQ(discovery.replies.at(0).bhs[36], 0);

  // The holder's PREVENT lock goes with its session.
  EXPECT_EQ(first->Command({0x1E, 0, 0, 0, 1, 0}, 0, false, false).at(0).bhs[3], 0);
  EXPECT_TRUE(drive_.recorder.Prevented());
  Initiator again(*target_);  // same name and ISID: session reinstatement
  EXPECT_TRUE(again.LoginNone());
  EXPECT_TRUE(first->connection.Closing());
  EXPECT_FALSE(drive_.recorder.Prevented());
  first.reset();
  Initiator third(*target_, "iqn.2026-12.test:third");
  EXPECT_FALSE(third.LoginNone()) << "the reinstated session still holds the recorder";
}

TEST_F(IscsiTarget, ReadsComeInSegmentsTheInitiatorTakesWithTheStatusOnTheLast) {
  // A DVD-ROM pressed from a 40-block image of known bytes.
  Bytes image(40 * 2048);
  for (std::size_t n = 0; n < image.size(); ++n) image[n] = static_cast<std::uint8_t>(n * 7 + n / 2048);
  const auto path = dir_.path / "pressed.iso";
  {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
  }
  InsertOptions pressed;
  pressed.image = path;
  ASSERT_TRUE(drive_.recorder.Insert(MediumKind::DvdRom, pressed));
  Initiator i(*target_);
  ASSERT_TRUE(i.LoginNone({{"MaxRecvDataSegmentLength", "4096"}, {"MaxBurstLength", "16384"}}));
  i.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false);  // the medium-change attention
  const auto& r = i.Command({0x28, 0, 0, 0, 0, 2, 0, 0, 10, 0}, 10 * 2048, true, false);
  ASSERT_EQ(r.size(), 5u) << "20 KiB in 4 KiB segments";
  Bytes got;
  for (std::size_t n = 0; n < r.size(); ++n) {
    EXPECT_EQ(r[n].opcode(), kDataIn);
    EXPECT_EQ(r[n].Field32(36), n) << "DataSN";
    EXPECT_EQ(r[n].Field32(40), got.size()) << "buffer offset";
    const bool last = n + 1 == r.size();
    // Bursts of 16 KiB end with F; the status only on the last PDU.
    EXPECT_EQ((r[n].bhs[1] & 0x80) != 0, last || n == 3) << n;
    EXPECT_EQ((r[n].bhs[1] & 0x01) != 0, last) << n;
    got.insert(got.end(), r[n].data.begin(), r[n].data.end());
  }
  EXPECT_EQ(got, Bytes(image.begin() + 2 * 2048, image.begin() + 12 * 2048));
  EXPECT_EQ(r.back().bhs[3], 0);

  // Less than expected (INQUIRY): underflow; more (a block into 200 bytes):
  // the part that fits, and overflow.
  const auto& inq = i.Command({0x12, 0, 0, 0, 200, 0}, 200, true, false);
  ASSERT_EQ(inq.size(), 1u);
  EXPECT_EQ(inq[0].data.size(), 96u);
  EXPECT_EQ(inq[0].bhs[1] & 0x07, 0x03) << "status, underflow";
  EXPECT_EQ(inq[0].Field32(44), 104u);
  const auto& over = i.Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 200, true, false);
  ASSERT_EQ(over.size(), 1u);
  EXPECT_EQ(over[0].data, Bytes(image.begin(), image.begin() + 200));
  EXPECT_EQ(over[0].bhs[1] & 0x07, 0x05) << "status, overflow";
  EXPECT_EQ(over[0].Field32(44), 2048u - 200);
}

TEST_F(IscsiTarget, FailedCommandsBringTheSenseInTheResponse) {
  ASSERT_TRUE(drive_.recorder.Eject());
  Initiator i(*target_);
  ASSERT_TRUE(i.LoginNone());
  const auto& r = i.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].opcode(), kScsiResponse);
  EXPECT_EQ(r[0].bhs[3], 0x02);
  ASSERT_EQ(r[0].data.size(), 20u);
  EXPECT_EQ(be::load16(r[0].data.data()), 18);
  EXPECT_EQ(r[0].data[2 + 2] & 0x0F, 0x02);
  EXPECT_EQ(r[0].data[2 + 12], 0x3A) << "MEDIUM NOT PRESENT";

  // REPORT LUNS lists LUN 0 alone; other LUNs exist for INQUIRY only.
  const auto& luns = i.Command({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}, 64, true, false);
  ASSERT_EQ(luns.size(), 1u);
  EXPECT_EQ(luns[0].data, Bytes({0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  Pdu toLun1;
  toLun1.bhs[0] = kScsiCommand;
  toLun1.bhs[1] = 0x80;
  toLun1.bhs[9] = 1;
  toLun1.SetField32(24, i.cmdSn++);
  const auto& lun1 = i.Send(toLun1);
  ASSERT_EQ(lun1.size(), 1u);
  EXPECT_EQ(lun1[0].data.at(2 + 12), 0x25) << "LOGICAL UNIT NOT SUPPORTED";
}

TEST_F(IscsiTarget, WriteDataArrivesAsImmediateDataThenOneR2tPerBurst) {
  Initiator i(*target_);
  ASSERT_TRUE(i.LoginNone({{"MaxBurstLength", "16384"}, {"FirstBurstLength", "4096"}}));
  i.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false);
  Bytes data(16 * 2048);
  for (std::size_t n = 0; n < data.size(); ++n) data[n] = static_cast<std::uint8_t>(n % 251);
  // WRITE (10) of 16 blocks at the blank DVD+R's first address.
  const Bytes write = {0x2A, 0, 0, 0, 0, 0, 0, 0, 16, 0};
  const auto& r2t1 = i.Command(write, 32768, false, true, Bytes(data.begin(), data.begin() + 4096));
  ASSERT_EQ(r2t1.size(), 1u);
  EXPECT_EQ(r2t1[0].opcode(), kR2t);
  EXPECT_EQ(r2t1[0].Field32(36), 0u) << "R2TSN";
  EXPECT_EQ(r2t1[0].Field32(40), 4096u);
  EXPECT_EQ(r2t1[0].Field32(44), 16384u);
  const Pdu first = r2t1[0];
  EXPECT_TRUE(i.DataOut(first, 4096, Bytes(data.begin() + 4096, data.begin() + 12288), false).empty());
  const auto& r2t2 = i.DataOut(first, 12288, Bytes(data.begin() + 12288, data.begin() + 20480), true);
  ASSERT_EQ(r2t2.size(), 1u);
  EXPECT_EQ(r2t2[0].Field32(36), 1u);
  EXPECT_EQ(r2t2[0].Field32(40), 20480u);
  EXPECT_EQ(r2t2[0].Field32(44), 12288u);
  const Pdu second = r2t2[0];
  // Data for the finished burst's tag is refused.
  EXPECT_EQ(i.DataOut(first, 20480, Bytes(10), false).at(0).opcode(), kReject);
  const auto& done = i.DataOut(second, 20480, Bytes(data.begin() + 20480, data.end()), true);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].opcode(), kScsiResponse);
  EXPECT_EQ(done[0].bhs[3], 0) << "sense " << (done[0].data.size() > 14 ? int{done[0].data[14]} : -1);

  const auto s = drive_.recorder.Status();
  ASSERT_TRUE(s);
  ASSERT_FALSE(s->tracks.empty());
  EXPECT_EQ(s->tracks[0].written, 16u);
  const auto& back = i.Command({0x28, 0, 0, 0, 0, 0, 0, 0, 16, 0}, 32768, true, false);
  Bytes got;
  for (const auto& p : back) got.insert(got.end(), p.data.begin(), p.data.end());
  EXPECT_EQ(got, data);
}

TEST_F(IscsiTarget, NopTaskManagementTextAndLogout) {
  Initiator i(*target_);
  ASSERT_TRUE(i.LoginNone());
  Pdu ping;
  ping.bhs[0] = kNopOut | kImmediateBit;
  ping.bhs[1] = 0x80;
  ping.SetField32(16, 77);
  ping.SetField32(20, kReservedTag);
  ping.SetField32(24, i.cmdSn);
  ping.data = {'p', 'i', 'n', 'g'};
  const auto& pong = i.Send(ping);
  ASSERT_EQ(pong.size(), 1u);
  EXPECT_EQ(pong[0].opcode(), kNopIn);
  EXPECT_EQ(pong[0].itt(), 77u);
  EXPECT_EQ(pong[0].data, ping.data);
  EXPECT_EQ(pong[0].Field32(28), i.cmdSn) << "an immediate NOP does not take a CmdSN";
  EXPECT_EQ(pong[0].Field32(32), i.cmdSn + 15) << "MaxCmdSN: a window of 16";

  // A write waiting for its data is aborted; its late data is refused.
  const auto& r2t = i.Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048, false, true);
  ASSERT_EQ(r2t.at(0).opcode(), kR2t);
  const Pdu waiting = r2t[0];
  Pdu abort;
  abort.bhs[0] = kTaskManagement | kImmediateBit;
  abort.bhs[1] = 0x80 | 1;
  abort.SetField32(16, 500);
  abort.SetField32(20, waiting.itt());
  const auto& aborted = i.Send(abort);
  ASSERT_EQ(aborted.size(), 1u);
  EXPECT_EQ(aborted[0].opcode(), kTaskManagementResponse);
  EXPECT_EQ(aborted[0].bhs[2], 0) << "function complete";
  EXPECT_EQ(i.DataOut(waiting, 0, Bytes(2048), true).at(0).opcode(), kReject);

  // A LUN reset drops the PREVENT lock, as a drive's reset does.
  i.Command({0x1E, 0, 0, 0, 1, 0}, 0, false, false);
  ASSERT_TRUE(drive_.recorder.Prevented());
  abort.bhs[1] = 0x80 | 5;
  EXPECT_EQ(i.Send(abort).at(0).bhs[2], 0);
  EXPECT_FALSE(drive_.recorder.Prevented());

  Pdu text;
  text.bhs[0] = kTextRequest;
  text.bhs[1] = 0x80;
  text.SetField32(20, kReservedTag);
  text.SetField32(24, i.cmdSn++);
  text.data = EncodeTextKeys({{"SendTargets", "All"}});
  const auto& targets = i.Send(text);
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(Keys(targets[0]), (TextKeys{{"TargetName", kTargetName}, {"TargetAddress", "127.0.0.1:3260,1"}}));

  // Commands outside the CmdSN window are ignored without an answer.
  i.cmdSn += 16;
  EXPECT_TRUE(i.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false).empty());
  i.cmdSn -= 17;
  EXPECT_EQ(i.Command({0x00, 0, 0, 0, 0, 0}, 0, false, false).size(), 1u);

  Pdu logout;
  logout.bhs[0] = kLogoutRequest;
  logout.bhs[1] = 0x80;
  logout.SetField32(24, i.cmdSn++);
  const auto& bye = i.Send(logout);
  ASSERT_EQ(bye.size(), 1u);
  EXPECT_EQ(bye[0].opcode(), kLogoutResponse);
  EXPECT_EQ(bye[0].bhs[2], 0);
  EXPECT_TRUE(i.connection.Closing());
  EXPECT_FALSE(target_->SessionOpen());
}

TEST_F(IscsiTarget, MalformedPdusAreRejectedOrEndTheConnection) {
  Initiator i(*target_);
  ASSERT_TRUE(i.LoginNone());
  Pdu unknown;
  unknown.bhs[0] = 0x1C;  // a vendor opcode
  EXPECT_EQ(i.Send(unknown).at(0).opcode(), kReject);
  EXPECT_EQ(i.replies[0].bhs[2], 0x05) << "command not supported";
  EXPECT_EQ(Bytes(i.replies[0].data.begin(), i.replies[0].data.begin() + 1), Bytes{0x1C}) << "the header comes back";
  // Immediate data beyond FirstBurstLength (64 KiB) breaks the negotiation.
  i.Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 40, 0}, 81920, false, true, Bytes(65540));
  EXPECT_EQ(i.replies.at(0).opcode(), kReject);
  EXPECT_TRUE(i.connection.Closing());

  // A segment longer than the target accepts cannot be skipped: the stream
  // is closed before anything is allocated for it.
  Initiator j(*target_);
  Bytes header(kBhsLength, 0);
  header[0] = kLoginRequest;
  be::store24(&header[5], 16000000);
  j.connection.Receive(header);
  EXPECT_TRUE(j.connection.Closing());
}

TEST_F(IscsiTarget, ServerRefusesConnectionsBeyondItsLimitWithALogLine) {
  Server server(*target_, 2);
  std::string why;
  ASSERT_TRUE(server.Listen("127.0.0.1", 0, &why)) << why;
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Run(stop); });
  auto connect = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server.Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  const int a = connect(), b = connect();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int c = connect();
  char byte;
  // The third is closed at once: read sees the end of the stream.
  timeval t{5, 0};
  ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  EXPECT_EQ(::recv(c, &byte, 1, 0), 0);
  stop = true;
  serving.join();
  for (int fd : {a, b, c}) ::close(fd);
  EXPECT_NE(log_.find("refused a connection from 127.0.0.1:"), std::string::npos) << log_;
  EXPECT_NE(log_.find(": 2 connections are open already (at most 2)"), std::string::npos) << log_;
}

}  // namespace
}  // namespace velloran::vrec::iscsi
