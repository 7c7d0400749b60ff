// The spawner protocol's codec: what one end encodes the other decodes to the same order, reply or
// result; a payload the encoder could not have made is refused, and a packet only arrives whole.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/spawner/spawner_protocol.h"

namespace {

SpawnOrderText SampleOrder() {
  SpawnOrderText order;
  order.fixed.maxBackends = 3;
  order.fixed.queueTimeoutMs = 10000;
  order.fixed.killGraceMs = 5000;
  order.fixed.stopAbandoned = 1;
  order.fixed.wine = 1;
  order.fixed.underWine = 1;
  for (int k = 0; k < kLimitCount; ++k) {
    order.fixed.limits[k][0] = k == 0 ? 7 : -1;
    order.fixed.limits[k][1] = k == 0 ? 9 : -1;
  }
  order.strings[kProgram] = "/srv/backends/echo.exe";
  order.strings[kArgument] = "/var/lib/karvel/tmp/VC0123456789ABCDEF.tmp";
  order.strings[kLabel] = "echo.exe";
  order.strings[kLogId] = "aBcD";
  order.strings[kUploadDirectory] = "";
  order.strings[kWindowsPaths] = "C:\\apps|/srv/apps\nD:\\|/srv/d";
  order.strings[kClient] = "[2001:db8::1]:50123";
  order.strings[kSiteName] = "/etc/apache2/sites-enabled/b.conf:1 b.example";
  order.fixed.site = 2;
  order.fixed.stderrLevel = kLogLevelWarning;
  order.fixed.siteMaxBackends = 4;
  order.environment = {"PATH=/usr/bin:/bin", "LANG=ja_JP.UTF-8", "EMPTY="};
  return order;
}

void ExpectSameOrder(const SpawnOrderText& decoded, const SpawnOrderText& sent, const char* what) {
  EXPECT_EQ(std::memcmp(&decoded.fixed.limits, &sent.fixed.limits, sizeof sent.fixed.limits), 0) << what;
  EXPECT_EQ(decoded.fixed.maxBackends, sent.fixed.maxBackends) << what;
  EXPECT_EQ(decoded.fixed.queueTimeoutMs, sent.fixed.queueTimeoutMs) << what;
  EXPECT_EQ(decoded.fixed.killGraceMs, sent.fixed.killGraceMs) << what;
  EXPECT_EQ(decoded.fixed.stopAbandoned, sent.fixed.stopAbandoned) << what;
  EXPECT_EQ(decoded.fixed.wine, sent.fixed.wine) << what;
  EXPECT_EQ(decoded.fixed.underWine, sent.fixed.underWine) << what;
  EXPECT_EQ(decoded.fixed.site, sent.fixed.site) << what;
  EXPECT_EQ(decoded.fixed.stderrLevel, sent.fixed.stderrLevel) << what;
  EXPECT_EQ(decoded.fixed.siteMaxBackends, sent.fixed.siteMaxBackends) << what;
  EXPECT_EQ(decoded.fixed.environmentCount, sent.environment.size()) << what;
  for (int k = 0; k < kSpawnStrings; ++k) EXPECT_EQ(decoded.strings[k], sent.strings[k]) << what << " string " << k;
  EXPECT_EQ(decoded.environment, sent.environment) << what;
}

TEST(SpawnerProtocol, OrdersComeBackAsSent) {
  SpawnOrderText empty;
  SpawnOrderText noEnvironment = SampleOrder();
  noEnvironment.environment.clear();
  SpawnOrderText large = SampleOrder();
  // As large as a packet takes: the fixed part, the strings and their NULs, one variable.
  size_t used = sizeof(SpawnOrder) + kSpawnStrings + 1;
  for (const std::string& text : large.strings) used += text.size();
  large.environment = {"FILL=" + std::string(kSpawnMessageLimit - used - 5, 'f')};
  const struct {
    const char* what;
    SpawnOrderText order;
  } cases[] = {{"every field", SampleOrder()}, {"all empty", empty}, {"no environment", noEnvironment},
               {"a whole packet", large}};
  for (const auto& c : cases) {
    std::string payload;
    ASSERT_TRUE(EncodeOrder(c.order, &payload)) << c.what;
    EXPECT_LE(payload.size(), kSpawnMessageLimit) << c.what;
    SpawnOrderText decoded;
    ASSERT_TRUE(DecodeOrder(payload.data(), payload.size(), &decoded)) << c.what;
    ExpectSameOrder(decoded, c.order, c.what);
  }
}

// Where a program's lines go travels with its order: the site's place and name, the client, and
// each of Apache's levels for its standard error (emerg 0 ... trace8 15).
TEST(SpawnerProtocol, AnOrdersSiteClientAndLevelComeBackAsSent) {
  const struct {
    uint32_t site, level;
    const char* client;
    std::string siteName;
  } cases[] = {
      {0, 0, "", ""},
      {0, kLogLevelError, "127.0.0.1:80", ":0 main.example"},
      {1, kLogLevelWarning, "192.0.2.7:65535", "/etc/apache2/sites-enabled/a.conf:3 a.example"},
      {4095, 7, "[2001:db8::1]:1", "x:1 b"},
      {0xFFFFFFFEu, kLogLevelHighest, "10.0.0.1:0", std::string(300, 's')},
  };
  for (const auto& c : cases) {
    SpawnOrderText order = SampleOrder();
    order.fixed.site = c.site;
    order.fixed.stderrLevel = c.level;
    order.strings[kClient] = c.client;
    order.strings[kSiteName] = c.siteName;
    std::string payload;
    ASSERT_TRUE(EncodeOrder(order, &payload)) << c.site << " " << c.level;
    SpawnOrderText decoded;
    ASSERT_TRUE(DecodeOrder(payload.data(), payload.size(), &decoded)) << c.site << " " << c.level;
    ExpectSameOrder(decoded, order, c.client);
  }
}

TEST(SpawnerProtocol, OrdersTheOtherEndCouldNotReadAreNotEncoded) {
  SpawnOrderText nulInString = SampleOrder();
  nulInString.strings[kLabel] = std::string("ec\0ho", 5);
  SpawnOrderText nulInVariable = SampleOrder();
  nulInVariable.environment.push_back(std::string("A=1\0B=2", 7));
  SpawnOrderText oversized = SampleOrder();
  oversized.environment.push_back("BIG=" + std::string(kSpawnMessageLimit, 'b'));
  SpawnOrderText noLevel = SampleOrder();
  noLevel.fixed.stderrLevel = kLogLevelHighest + 1;
  SpawnOrderText farLevel = SampleOrder();
  farLevel.fixed.stderrLevel = 0xFFFFFFFFu;
  const struct {
    const char* what;
    SpawnOrderText order;
  } cases[] = {{"a NUL in a string", nulInString}, {"a NUL in a variable", nulInVariable}, {"too large", oversized},
               {"a level beyond trace8", noLevel}, {"a level far beyond", farLevel}};
  for (const auto& c : cases) {
    std::string payload = "untouched";
    EXPECT_FALSE(EncodeOrder(c.order, &payload)) << c.what;
    EXPECT_EQ(payload, "untouched") << c.what;
  }
}

TEST(SpawnerProtocol, MalformedOrdersAreRefused) {
  std::string good;
  ASSERT_TRUE(EncodeOrder(SampleOrder(), &good));
  SpawnOrder fixed{};
  std::memcpy(&fixed, good.data(), sizeof fixed);
  auto withFixed = [&](uint32_t SpawnOrder::*field, uint32_t value) {
    SpawnOrder changed = fixed;
    changed.*field = value;
    std::string payload = good;
    std::memcpy(payload.data(), &changed, sizeof changed);
    return payload;
  };
  auto withCount = [&](uint32_t count) { return withFixed(&SpawnOrder::environmentCount, count); };
  const struct {
    const char* what;
    std::string payload;
  } cases[] = {
      {"empty", ""},
      {"the fixed part cut short", good.substr(0, sizeof(SpawnOrder) - 1)},
      {"the fixed part alone", good.substr(0, sizeof(SpawnOrder))},
      {"the last variable without its NUL", good.substr(0, good.size() - 1)},
      {"cut inside the strings", good.substr(0, sizeof(SpawnOrder) + 10)},
      {"more variables counted than sent", withCount(4)},
      {"a count beyond the payload", withCount(0xFFFFFFFFu)},
      {"fewer variables counted than sent", withCount(2)},
      {"bytes behind the last string", good + "x"},
      {"larger than a packet", good + std::string(kSpawnMessageLimit, '\0')},
      {"a log level none of Apache's", withFixed(&SpawnOrder::stderrLevel, kLogLevelHighest + 1)},
      {"a log level far beyond", withFixed(&SpawnOrder::stderrLevel, 0x80000003u)},
  };
  for (const auto& c : cases) {
    SpawnOrderText decoded;
    decoded.strings[kLabel] = "kept";
    EXPECT_FALSE(DecodeOrder(c.payload.data(), c.payload.size(), &decoded)) << c.what;
    EXPECT_EQ(decoded.strings[kLabel], "kept") << c.what << ": a refused order leaves nothing behind";
  }
}

TEST(SpawnerProtocol, RepliesAndResultsComeBackAsSent) {
  for (const int32_t value : {0, 1, -1, 12345, INT32_MIN, INT32_MAX}) {
    const std::string payload = EncodeReply(value);
    int32_t decoded = 42;
    ASSERT_TRUE(DecodeReply(payload.data(), payload.size(), &decoded)) << value;
    EXPECT_EQ(decoded, value);
  }
  // A resident instance's word comes with its reason only where it is one of no answer, cut to the
  // channel's bound.
  const std::string longReason(kResidentReasonLimit + 50, 'r');
  const struct {
    bool answered;
    const char* result;
    char word;
    std::string reason, reasonDecoded;
  } dones[] = {
      {true, "1", 0, "", ""},
      {false, "timeout", 0, "ignored", ""},
      {true, "", kResidentAnswered, "ignored", ""},
      {false, "1\nRunning: 99", 0, "", ""},
      {false, "exited", kResidentNoAnswer, "handler threw", "handler threw"},
      {false, "exited", kResidentNoAnswer, longReason, longReason.substr(0, kResidentReasonLimit)},
      {false, "exited", kResidentChannelEnded, "", ""},
  };
  for (const auto& c : dones) {
    const std::string payload = EncodeDone(c.answered, c.result, c.word, c.reason);
    bool answered = !c.answered;
    std::string result = "stale", reason = "stale";
    char word = 'z';
    ASSERT_TRUE(DecodeDone(payload.data(), payload.size(), &answered, &result, &word, &reason)) << c.result;
    EXPECT_EQ(answered, c.answered) << c.result;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(word, c.word) << c.result;
    EXPECT_EQ(reason, c.reasonDecoded) << c.result;
  }
}

// kDone's fixed part for a request that did not answer, with `word`.
std::string FixedDone(char word) {
  const SpawnDone fixed{0, static_cast<unsigned char>(word)};
  return std::string(reinterpret_cast<const char*>(&fixed), sizeof fixed);
}

TEST(SpawnerProtocol, MalformedRepliesAndResultsAreRefused) {
  const std::string reply = EncodeReply(7);
  const std::string done = EncodeDone(true, "1");
  const struct {
    const char* what;
    bool isDone;
    std::string payload;
  } cases[] = {
      {"a reply cut short", false, reply.substr(0, reply.size() - 1)},
      {"a reply with bytes behind it", false, reply + "x"},
      {"an empty reply", false, ""},
      {"a result without its NUL", true, done.substr(0, done.size() - 1)},
      {"a result with bytes behind its NUL", true, done + "x"},
      {"the fixed part of a result cut short", true, done.substr(0, sizeof(SpawnDone) - 1)},
      {"a result larger than a packet", true, EncodeDone(true, std::string(kSpawnMessageLimit, 'r').c_str())},
      {"a word the channel does not know", true,
       [] {
         std::string payload = EncodeDone(false, "exited", kResidentAnswered);
         payload[sizeof(uint32_t)] = 'Q';
         return payload;
       }()},
      {"a reason longer than the channel lets an instance say", true,
       [] {
         std::string payload = FixedDone(kResidentNoAnswer) + "exited" + '\0';
         return payload + std::string(kResidentReasonLimit + 1, 'r') + '\0';
       }()},
      {"the reason's NUL missing", true, done.substr(0, done.size() - 1) + "why"},
  };
  for (const auto& c : cases) {
    int32_t value = 0;
    bool answered = false;
    std::string result;
    const bool decoded = c.isDone ? DecodeDone(c.payload.data(), c.payload.size(), &answered, &result)
                                  : DecodeReply(c.payload.data(), c.payload.size(), &value);
    EXPECT_FALSE(decoded) << c.what;
  }
}

// Framing over a real SOCK_SEQPACKET pair: a packet arrives whole with its type, or not at all.
TEST(SpawnerProtocol, PacketsArriveWholeOrNotAtAll) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  char buffer[kSpawnPacketLimit];
  const char* payload = nullptr;
  size_t length = 0;
  EXPECT_EQ(ReceivePacket(pair[1], buffer, sizeof buffer, &payload, &length, MSG_DONTWAIT), kNoPacketYet);

  const struct {
    uint32_t type;
    std::string payload;
  } sent[] = {{kStatus, ""}, {kDone, EncodeDone(true, "1")}, {kStatusText, std::string(kSpawnMessageLimit, 's')}};
  for (const auto& c : sent) {
    ASSERT_TRUE(SendPacket(pair[0], c.type, c.payload)) << c.type;
    ASSERT_EQ(ReceivePacket(pair[1], buffer, sizeof buffer, &payload, &length), c.type);
    EXPECT_EQ(std::string(payload, length), c.payload) << c.type;
  }
  EXPECT_FALSE(SendPacket(pair[0], kStatusText, std::string(kSpawnMessageLimit + 1, 's'))) << "larger than a packet";

  // Headers that do not match what came, and a packet larger than the reader's buffer.
  const auto raw = [&](uint32_t type, uint32_t claimed, const std::string& body) {
    std::string packet(sizeof(SpawnHeader), '\0');
    const SpawnHeader header{type, claimed};
    std::memcpy(packet.data(), &header, sizeof header);
    packet += body;
    return send(pair[0], packet.data(), packet.size(), 0) == static_cast<ssize_t>(packet.size());
  };
  const struct {
    const char* what;
    uint32_t type, claimed;
    std::string body;
    size_t bufferSize;
  } refused[] = {
      {"claims more than came", kDone, 10, "abc", sizeof buffer},
      {"claims less than came", kDone, 1, "abc", sizeof buffer},
      {"larger than the buffer", kStatusText, 100, std::string(100, 'x'), sizeof(SpawnHeader) + 50},
      {"a type that means no packet", kNoPacket, 0, "", sizeof buffer},
  };
  for (const auto& c : refused) {
    ASSERT_TRUE(raw(c.type, c.claimed, c.body)) << c.what;
    EXPECT_EQ(ReceivePacket(pair[1], buffer, c.bufferSize, &payload, &length), kNoPacket) << c.what;
  }
  {
    ASSERT_EQ(send(pair[0], "ab", 2, 0), 2);
    EXPECT_EQ(ReceivePacket(pair[1], buffer, sizeof buffer, &payload, &length), kNoPacket) << "shorter than a header";
  }
  close(pair[0]);
  EXPECT_EQ(ReceivePacket(pair[1], buffer, sizeof buffer, &payload, &length), kNoPacket) << "the peer closed";
  close(pair[1]);
}

// A resident instance's channel lent with kStarted: the copy received reaches the instance; one
// not asked for, or sent with what is no packet, is not kept open.
TEST(SpawnerProtocol, ADescriptorPassedWithAPacketIsTakenOnlyByWhoAsks) {
  int link[2], channel[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, link), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel), 0);
  char buffer[kSpawnPacketLimit];
  const char* payload = nullptr;
  size_t length = 0;
  const auto openDescriptors = [] {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
  };
  const int before = openDescriptors();
  ASSERT_TRUE(SendPacketWithDescriptor(link[0], kStarted, EncodeReply(77), channel[0]));
  int lent = -2;
  ASSERT_EQ(ReceivePacket(link[1], buffer, sizeof buffer, &payload, &length, 0, false, &lent), kStarted);
  int32_t pid = 0;
  ASSERT_TRUE(DecodeReply(payload, length, &pid));
  EXPECT_EQ(pid, 77);
  ASSERT_GE(lent, 0);
  EXPECT_NE(fcntl(lent, F_GETFD) & FD_CLOEXEC, 0) << "a lent channel must not reach the programs a child starts";
  ASSERT_EQ(send(channel[1], "D", 1, 0), 1);
  std::string reason;
  EXPECT_EQ(ReadInstanceWord(lent, &reason), kWordAnswered) << "the instance's word reaches the copy";
  close(lent);
  EXPECT_EQ(openDescriptors(), before);
  // Not asked for: the packet is read, its descriptor closed unseen.
  ASSERT_TRUE(SendPacketWithDescriptor(link[0], kStarted, EncodeReply(78), channel[0]));
  EXPECT_EQ(ReceivePacket(link[1], buffer, sizeof buffer, &payload, &length), kStarted);
  EXPECT_EQ(openDescriptors(), before);
  // Asked for, but with no packet around it (a header that does not match): none kept.
  const SpawnHeader lying{kStarted, 99};
  ASSERT_TRUE(SendWithDescriptor(link[0], &lying, sizeof lying, channel[0]));
  lent = -2;
  EXPECT_EQ(ReceivePacket(link[1], buffer, sizeof buffer, &payload, &length, 0, false, &lent), kNoPacket);
  EXPECT_EQ(lent, -1);
  EXPECT_EQ(openDescriptors(), before);
  for (const int fd : {link[0], link[1], channel[0], channel[1]}) close(fd);
}

TEST(SpawnerProtocol, AVariableIsSetOnce) {
  const struct {
    std::vector<std::string> before;
    const char* set;
    std::vector<std::string> after;
  } cases[] = {
      {{}, "A=1", {"A=1"}},
      {{"A=1", "B=2"}, "A=3", {"A=3", "B=2"}},
      {{"AB=1"}, "A=2", {"AB=1", "A=2"}},
      {{"A=1"}, "A=", {"A="}},
      {{"PATH=/bin", "TMPDIR=/t"}, "TMPDIR=/u", {"PATH=/bin", "TMPDIR=/u"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> environment = c.before;
    SetOrderVariable(&environment, c.set);
    EXPECT_EQ(environment, c.after) << c.set;
  }
}

}  // namespace

// A lent instance's request as a child hands it back: every field comes back as sent, and what
// the other end could not read is neither encoded nor decoded.
TEST(SpawnerProtocol, LentRequestsComeBackAsSentAndMalformedOnesAreRefused) {
  LentRequest sent;
  sent.fixed = SpawnLent{(uint64_t{4242} << 34) | 9, 17, 2000};
  sent.logId = "aBc";
  sent.client = "10.0.0.1:80";
  sent.exchangePath = "/run/karvel/VC1.tmp";
  sent.uploadDirectory = "/var/lib/karvel/uploads/VCU1.tmp";
  sent.answered = false;
  sent.result = "timeout";
  sent.word = kResidentNoAnswer;
  sent.reason = "no such record";
  std::string payload;
  ASSERT_TRUE(EncodeLentDone(sent, &payload));
  LentRequest got;
  ASSERT_TRUE(DecodeLentDone(payload.data(), payload.size(), &got));
  EXPECT_EQ(got.fixed.instance, sent.fixed.instance);
  EXPECT_EQ(got.fixed.entry, 17u);
  EXPECT_EQ(got.fixed.answerWaitMs, 2000u);
  EXPECT_EQ(std::vector<std::string>({got.logId, got.client, got.exchangePath, got.uploadDirectory, got.result,
                                      got.reason}),
            std::vector<std::string>({sent.logId, sent.client, sent.exchangePath, sent.uploadDirectory, sent.result,
                                      sent.reason}));
  EXPECT_EQ(got.word, kResidentNoAnswer);
  EXPECT_FALSE(got.answered);
  LentRequest withNul = sent;
  withNul.exchangePath = std::string("/run/karvel/VC\0x", 16);
  EXPECT_FALSE(EncodeLentDone(withNul, &payload)) << "a NUL in a path";
  const struct {
    const char* what;
    std::function<void(std::string*)> spoil;
  } spoiled[] = {
      {"cut in its fixed part", [](std::string* p) { p->resize(8); }},
      {"cut in its strings", [](std::string* p) { p->resize(sizeof(SpawnLent) + 2); }},
      {"a byte more", [](std::string* p) { p->push_back('x'); }},
      {"no instance", [](std::string* p) { std::memset(p->data(), 0, sizeof(uint64_t)); }},
      {"a word none knows", [](std::string* p) {
         const size_t done = p->find("timeout") - sizeof(SpawnDone);
         (*p)[done + offsetof(SpawnDone, word)] = 'Q';
       }},
  };
  for (const auto& s : spoiled) {
    std::string bad;
    ASSERT_TRUE(EncodeLentDone(sent, &bad));
    s.spoil(&bad);
    EXPECT_FALSE(DecodeLentDone(bad.data(), bad.size(), &got)) << s.what;
  }
  SpawnInstanceStarted started{};
  const std::string good = EncodeInstanceStarted(SpawnInstanceStarted{77, 3, 5});
  ASSERT_TRUE(DecodeInstanceStarted(good.data(), good.size(), &started));
  EXPECT_EQ(std::vector<int64_t>({started.pid, started.entry, static_cast<int64_t>(started.instance)}),
            std::vector<int64_t>({77, 3, 5}));
  const std::string oneShot = EncodeReply(77);
  EXPECT_FALSE(DecodeInstanceStarted(oneShot.data(), oneShot.size(), &started)) << "a one-shot start's reply";
  const std::string noId = EncodeInstanceStarted(SpawnInstanceStarted{77, 3, 0});
  EXPECT_FALSE(DecodeInstanceStarted(noId.data(), noId.size(), &started));
  const std::string badEntry = EncodeInstanceStarted(SpawnInstanceStarted{77, -2, 5});
  EXPECT_FALSE(DecodeInstanceStarted(badEntry.data(), badEntry.size(), &started));
}

// kStarted of an instance that may be lent carries three descriptors: each arrives in its place,
// and those beyond what the receiver asks for are closed.
TEST(SpawnerProtocol, DescriptorsPassedTogetherArriveInOrder) {
  int link[2], a[2], b[2], c[2];
  for (int* pair : {link, a, b, c}) ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  const auto openDescriptors = [] {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
  };
  char buffer[kSpawnPacketLimit];
  const char* payload = nullptr;
  size_t length = 0;
  const int passed[] = {a[0], b[0], c[0]};
  const int before = openDescriptors();
  for (const size_t asked : {size_t{3}, size_t{2}, size_t{1}}) {
    ASSERT_TRUE(SendPacketWithDescriptors(link[0], kStarted, "x", passed, 3));
    int got[3] = {-2, -2, -2};
    ASSERT_EQ(ReceivePacket(link[1], buffer, sizeof buffer, &payload, &length, 0, false, got, asked), kStarted);
    const int peers[] = {a[1], b[1], c[1]};
    for (size_t k = 0; k < asked; ++k) {
      ASSERT_GE(got[k], 0) << asked;
      // Each copy is the one sent in its place: a byte sent on it reaches that pair's other end.
      ASSERT_EQ(send(got[k], "w", 1, 0), 1);
      char w = 0;
      EXPECT_EQ(recv(peers[k], &w, 1, MSG_DONTWAIT), 1) << "descriptor " << k << " of " << asked;
      close(got[k]);
    }
    if (asked < 3) {
      EXPECT_EQ(got[asked], -2) << "no slot beyond those asked is written";
    }
    EXPECT_EQ(openDescriptors(), before) << "those not asked for are closed (" << asked << ")";
  }
  EXPECT_FALSE(SendPacketWithDescriptors(link[0], kStarted, "x", passed, kPassedLimit + 1));
  for (int* pair : {link, a, b, c}) {
    close(pair[0]);
    close(pair[1]);
  }
}
