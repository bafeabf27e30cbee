// qxtrapd fed 100,000 random and mutated datagrams never stops and goes on
// receiving good traps.
#include <fstream>
#include <iterator>

#include "trapd_support.h"

namespace qx::testing::snmp2 {
namespace {

// A valid trap's bytes, built with the engine.
std::vector<uint8_t> GoodTrap(int32_t specific) {
  auto t = qx::snmp::snmp_pdu_create(qx::snmp::SNMP_MSG_TRAP);
  t->enterprise = {1, 3, 6, 1, 4, 1, 9, 1};
  t->agent_addr = "127.0.0.1";
  t->generic_type = 6;
  t->specific_type = specific;
  const qx::snmp::oid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  auto& v = qx::snmp::snmp_add_null_var(t.get(), name, std::size(name));
  v.type = qx::snmp::ASN_OCTET_STR;
  v.bytes = {'h', 'o', 's', 't', 'n', 'a', 'm', 'e'};
  const qx::snmp::oid oid_name[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
  auto& w = qx::snmp::snmp_add_null_var(t.get(), oid_name, std::size(oid_name));
  w.type = qx::snmp::ASN_OBJECT_ID;
  w.objid = {1, 3, 6, 1, 4, 1, 32473, 1};
  std::vector<uint8_t> data(qx::snmp::kMaxMessageSize);
  int32_t length = qx::snmp::kMaxMessageSize;
  qx::snmp::SnmpSession s;
  EXPECT_EQ(qx::snmp::snmp_build(&s, t.get(), data.data(), &length), 0);
  data.resize(static_cast<size_t>(length));
  return data;
}

// Reads what a growing file gained since the last look.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  // True once text has shown up in the file.
  bool Seen(const std::string& text) {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string fresh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += fresh.size();
    window_ = window_.substr(window_.size() > 64 ? window_.size() - 64 : 0) + fresh;
    return window_.find(text) != std::string::npos;
  }

 private:
  std::string path_;
  size_t offset_ = 0;
  std::string window_;
};

// One flood datagram: random bytes, or the good trap damaged in one of a few ways.
std::vector<uint8_t> Mutant(const std::vector<uint8_t>& good, std::mt19937* rng) {
  std::mt19937& r = *rng;
  std::vector<uint8_t> d;
  switch (r() % 4) {
    case 0:  // random bytes
      d.resize(r() % 200);
      for (auto& b : d) b = static_cast<uint8_t>(r());
      break;
    case 1:  // bytes changed
      d = good;
      for (int k = 1 + r() % 4; k > 0; --k) d[r() % d.size()] = static_cast<uint8_t>(r());
      break;
    case 2:  // cut short or lengthened
      d = good;
      d.resize(r() % (d.size() + 40), static_cast<uint8_t>(r()));
      break;
    default:  // a length or tag byte set to an extreme
      d = good;
      d[r() % d.size()] = std::array<uint8_t, 6>{0x00, 0x7F, 0x80, 0x84, 0xFF, 0x1F}[r() % 6];
      break;
  }
  return d;
}

TEST_F(TrapdTest, SurvivesAFloodOfRandomAndMutatedDatagrams) {
  StartTrapd(false);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(std::stoi(port_)));
  auto send = [&](const std::vector<uint8_t>& d) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  const std::vector<uint8_t> good = GoodTrap(1);
  std::mt19937 rng(20261207);
  Tail out(TestRoot() + "/qxtrapd.out");

  // The flood goes in chunks small enough for the socket to hold; after each, a
  // good trap (a probe) must come out before the next chunk goes, so the
  // receiver takes in the whole flood however fast it is. A probe that does not
  // show up within two seconds is sent again.
  constexpr int kDatagrams = 100000;
  constexpr int kChunk = 50;
  const auto end = std::chrono::steady_clock::now() + 240s;
  int sent = 0, probes = 0, resent = 0;
  while (sent < kDatagrams && std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < kChunk && sent < kDatagrams; ++i, ++sent) send(Mutant(good, &rng));
    const int32_t probe = 100000 + probes++;
    const std::string marker = "Specific trap: " + std::to_string(probe) + "\n";
    for (int attempt = 0;; ++attempt) {
      send(GoodTrap(probe));
      auto wait_end = std::chrono::steady_clock::now() + 2s;
      bool seen = false;
      while (!(seen = out.Seen(marker)) && std::chrono::steady_clock::now() < wait_end)
        std::this_thread::sleep_for(1ms);
      if (seen) break;
      ASSERT_TRUE(trapd_->Running()) << trapd_->err().substr(0, 2000);
      ASSERT_LT(attempt, 10) << "probe " << probe << " never came out";
      ++resent;
    }
  }
  close(fd);
  std::printf("sent %d flood datagrams and %d probes (%d sent again)\n", sent, probes, resent);
  EXPECT_GE(sent, kDatagrams / 10) << "the flood was cut short by the time bound";
  EXPECT_TRUE(trapd_->Running());
  trapd_->Signal(SIGINT);
  EXPECT_EQ(trapd_->Wait(30s), 0);
  std::smatch m;
  std::string err = trapd_->err();
  ASSERT_TRUE(std::regex_search(err, m, std::regex("stopped after ([0-9]+) datagrams")));
  std::printf("qxtrapd took in %s datagrams\n", m[1].str().c_str());
  EXPECT_GE(std::stoll(m[1].str()), static_cast<long long>(sent) * 9 / 10);
}

}  // namespace
}  // namespace qx::testing::snmp2
