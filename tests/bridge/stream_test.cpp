// The receiver's stream on a TCP port: the engine's clients against scripted connections, the
// poll gate on its own, the Linux sockets and the bridge's wait on them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge_metrics.h"
#include "bridge/poll_gate.h"
#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "bridge/unit_source.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/linux/tcp_stream.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/ubx_frame.h"

namespace tamrik::bridge {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyTime = std::chrono::steady_clock::time_point;

// --- scripted connections ---------------------------------------------------------------------

// A client as the engine sees it: it takes at most `room` bytes a write (0: it stopped reading),
// and sends what is put in `toSend`.
struct FakeClient {
  std::string peer;
  Bytes got;
  Bytes toSend;
  std::size_t room = SIZE_MAX;
  bool closes = false;  // the client closed its end
  bool gone = false;    // the engine closed the connection
};

class FakeConnection final : public platform::StreamConnection {
 public:
  explicit FakeConnection(std::shared_ptr<FakeClient> c) : c_(std::move(c)) {}
  ~FakeConnection() override { c_->gone = true; }
  const std::string& peer() const override { return c_->peer; }
  platform::StreamStep write(std::span<const std::uint8_t> bytes) override {
    const std::size_t n = std::min(bytes.size(), c_->room);
    c_->got.insert(c_->got.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return {n, platform::StreamStep::State::Open, {}};
  }
  platform::StreamStep read(std::span<std::uint8_t> bytes) override {
    const std::size_t n = std::min(bytes.size(), c_->toSend.size());
    std::copy_n(c_->toSend.begin(), n, bytes.begin());
    c_->toSend.erase(c_->toSend.begin(), c_->toSend.begin() + static_cast<std::ptrdiff_t>(n));
    return {n, c_->closes && c_->toSend.empty() ? platform::StreamStep::State::Closed : platform::StreamStep::State::Open, {}};
  }

 private:
  std::shared_ptr<FakeClient> c_;
};

class FakeListener final : public platform::StreamListener {
 public:
  const std::string& address() const override { return address_; }
  base::Result<std::unique_ptr<platform::StreamConnection>> accept() override {
    if (waiting_.empty()) return std::unique_ptr<platform::StreamConnection>();
    auto c = std::move(waiting_.front());
    waiting_.pop_front();
    return c;
  }
  // A client connecting from 127.0.0.1:<port>.
  std::shared_ptr<FakeClient> connect(int port) {
    auto c = std::make_shared<FakeClient>();
    c->peer = "127.0.0.1:" + std::to_string(port);
    waiting_.push_back(std::make_unique<FakeConnection>(c));
    return c;
  }

 private:
  std::string address_ = "127.0.0.1:2947";
  std::deque<std::unique_ptr<platform::StreamConnection>> waiting_;
};

// One epoch's burst as a u-blox 8 sends it: NAV-PVT, NAV-TIMEUTC and NAV-SVINFO with `channels`
// channels, all of second k.
Bytes epochBurst(int k, int channels = 12) {
  using namespace sim::ubx;
  NavPvt pvt;
  pvt.iTow = 1000u * static_cast<std::uint32_t>(k);
  NavTimeUtc utc;
  utc.iTow = pvt.iTow;
  NavSvInfo sv;
  sv.iTow = pvt.iTow;
  for (int c = 0; c < channels; ++c) sv.channels.push_back({static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c + 1)});
  Bytes all = navPvtFrame(pvt);
  for (const Bytes& f : {navTimeUtcFrame(utc), navSvInfoFrame(sv)}) all.insert(all.end(), f.begin(), f.end());
  return all;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The engine with scripted clients, its lines, and the receiver's bytes fed in reads of 64 bytes
// as the unit's reports bring them, a round of serving after each.
struct Harness {
  explicit Harness(StreamOptions options = {}, StreamClients::PassPoll pass = {})
      : clients(listener, options, std::move(pass), [this](const std::string& l) { log.push_back(l); }) {}
  void feed(const Bytes& burst, bool epochsKnown = true, std::size_t read = 64) {
    for (std::size_t at = 0; at < burst.size(); at += read) {
      const std::span<const std::uint8_t> part(burst.data() + at, std::min(read, burst.size() - at));
      clients.onReceiverBytes(part, at == 0 && epochsKnown, epochsKnown);
      fed += part.size();
      serve();
      if (afterRead) afterRead();
    }
  }
  void serve(std::chrono::milliseconds pass = 8ms) {
    now += pass;
    ASSERT_TRUE(clients.serve(now));
  }
  std::vector<std::string> linesWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const auto& l : log) {
      if (l.find(text) != std::string::npos) found.push_back(l);
    }
    return found;
  }
  FakeListener listener;
  std::vector<std::string> log;
  StreamClients clients;
  SteadyTime now{};
  std::size_t fed = 0;
  std::function<void()> afterRead;
};

TEST(StreamClients, AClientStartsAtTheNextEpochOrBeforeTheRhythmIsKnownAtTheNextFrame) {
  Harness h;
  // Before the receiver's rhythm is known, a client that comes mid-frame starts with the next frame.
  const auto early = h.listener.connect(40001);
  h.serve();
  const Bytes first = epochBurst(0);
  h.feed(Bytes(first.begin() + 10, first.end()), false);
  EXPECT_EQ(early->got, Bytes(first.begin() + sim::ubx::kNavPvtLength + 8, first.end()));
  // One whose first frame begins in one read and ends in the next gets it from its first byte.
  const auto spanning = h.listener.connect(40004);
  h.serve();
  const Bytes pvt = sim::ubx::navPvtFrame({});
  h.clients.onReceiverBytes(concat({Bytes{0x42, 0x42}, Bytes(pvt.begin(), pvt.begin() + 30)}), false, false);
  h.serve();
  h.clients.onReceiverBytes(std::span(pvt).subspan(30), false, false);
  h.serve();
  EXPECT_EQ(spanning->got, pvt);

  // Known: a client that comes before an epoch gets it whole; one that comes in the middle of an
  // epoch gets the next one from its start. Both get every byte from there on, in order.
  const auto before = h.listener.connect(40002);
  h.serve();
  const Bytes e1 = epochBurst(1), e2 = epochBurst(2), e3 = epochBurst(3);
  h.feed(Bytes(e1.begin(), e1.begin() + 128));
  const auto late = h.listener.connect(40003);
  h.serve();
  h.clients.onReceiverBytes(std::span(e1).subspan(128), false, true);
  h.serve();
  h.feed(e2);
  h.feed(e3);
  EXPECT_EQ(before->got, concat({e1, e2, e3}));
  EXPECT_EQ(late->got, concat({e2, e3}));
  const auto connected = h.linesWith("connected");
  ASSERT_EQ(connected.size(), 4u);
  EXPECT_EQ(connected[3], "client 127.0.0.1:40003 connected; it gets the receiver's bytes from the next epoch on");
}

TEST(StreamClients, AClientThatFallsBehindIsDroppedAloneAndTheOthersKeepTheirPace) {
  Harness h;
  const auto fast = h.listener.connect(40001);
  const auto slow = h.listener.connect(40002);     // takes 80 bytes a round: more than a report brings
  const auto stalled = h.listener.connect(40003);  // stopped reading
  slow->room = 80;
  stalled->room = 0;
  h.serve();
  std::size_t fedAtDrop = 0, boundAtDrop = 0;
  h.afterRead = [&] {
    if (stalled->gone && fedAtDrop == 0) {
      fedAtDrop = h.fed;
      boundAtDrop = h.clients.queueBound();
    }
  };
  Bytes stream;
  for (int k = 0; k < 40; ++k) {
    const Bytes e = epochBurst(k, k % 3 == 0 ? 16 : 12);
    stream.insert(stream.end(), e.begin(), e.end());
    h.feed(e);
  }
  for (int i = 0; i < 100; ++i) h.serve();
  EXPECT_EQ(fast->got, stream);
  EXPECT_EQ(slow->got, stream);
  // The stalled one: dropped with the read that took its queue past two epochs' bytes (epochs of
  // about 540 bytes: the smallest bound, 4 KiB), said once.
  EXPECT_TRUE(stalled->got.empty());
  EXPECT_TRUE(stalled->gone);
  EXPECT_EQ(boundAtDrop, StreamClients::kSmallestBound);
  EXPECT_GT(fedAtDrop, boundAtDrop);
  EXPECT_LE(fedAtDrop, boundAtDrop + 64);
  EXPECT_EQ(h.clients.clients(), 2u);
  EXPECT_EQ(h.clients.counters().dropped, 1u);
  const auto dropped = h.linesWith("does not keep up");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0], "client 127.0.0.1:40003 does not keep up: " + std::to_string(fedAtDrop) +
                            " bytes wait for it, more than two epochs' (4096); dropping it");
}

TEST(StreamClients, ClientsBeyondTheLimitAreTurnedAwayAndWhatClientsSendGoesNowhere) {
  Harness h;
  std::vector<std::shared_ptr<FakeClient>> c;
  for (int i = 0; i < 17; ++i) c.push_back(h.listener.connect(40001 + i));
  c[3]->toSend = {0xB5, 0x62, 0x06, 0x09, 0x0D, 0x00};  // the start of CFG-CFG
  c[4]->toSend = Bytes(10000, '?');
  h.serve();
  EXPECT_EQ(h.clients.clients(), 16u);
  EXPECT_TRUE(c[16]->gone);
  EXPECT_EQ(h.linesWith("turning away"),
            std::vector<std::string>{"turning away 127.0.0.1:40017: 16 clients are served already, the most there may be"});
  // Read-only: read, thrown away, said once a client. A client that writes without pause is read a
  // bounded amount a round.
  for (int i = 0; i < 5; ++i) h.serve();
  EXPECT_EQ(h.clients.counters().discarded, 6u + 10000u);
  EXPECT_EQ(h.linesWith("read-only").size(), 2u);
  EXPECT_EQ(h.linesWith("read-only")[0],
            "client 127.0.0.1:40004 sends bytes: the receiver's stream is read-only here, and they are thrown away");

  // One leaves: the next that comes is served.
  c[0]->closes = true;
  h.serve();
  EXPECT_EQ(h.linesWith("left"), std::vector<std::string>{"client 127.0.0.1:40001 left after 0 bytes"});
  const auto next = h.listener.connect(40100);
  h.serve();
  EXPECT_FALSE(next->gone);
  EXPECT_EQ(h.clients.clients(), 16u);
  EXPECT_EQ(h.clients.counters().accepted, 17u);
  EXPECT_EQ(h.clients.counters().turnedAway, 1u);
}

// Every figure under its own name and labels: no two of them may trade places.
TEST(BridgeMetrics, EachFigureUnderItsOwnNameAndLabels) {
  BridgeFigures f;
  f.unit = "SIM001";
  f.unitOpen = true;
  f.epochs = 11;
  f.samplesMade = 12;
  f.withheld.cut = 13;
  f.withheld.noTime = 14;
  f.withheld.notFollowing = 15;
  f.sinks.push_back({"ntpd", "NTP shared memory unit 2", 16, 17, -0.125, std::nullopt});
  f.tcp = TcpFigures{2, 18, 19, 20, 21, 22};
  const std::string text = bridgeMetricsText(f, "9.9");
  for (const std::string line : {
           "tamrik_bridge_epochs_total{unit=\"SIM001\"} 11",
           "tamrik_bridge_samples_made_total{unit=\"SIM001\"} 12",
           "tamrik_bridge_samples_withheld_total{unit=\"SIM001\",reason=\"burst_cut\"} 13",
           "tamrik_bridge_samples_withheld_total{unit=\"SIM001\",reason=\"no_valid_time\"} 14",
           "tamrik_bridge_samples_withheld_total{unit=\"SIM001\",reason=\"time_not_following\"} 15",
           "tamrik_bridge_samples_sent_total{unit=\"SIM001\",to=\"ntpd\",path=\"NTP shared memory unit 2\"} 16",
           "tamrik_bridge_samples_not_taken_total{unit=\"SIM001\",to=\"ntpd\",path=\"NTP shared memory unit 2\"} 17",
           "tamrik_bridge_last_offset_seconds{unit=\"SIM001\",to=\"ntpd\",path=\"NTP shared memory unit 2\"} -0.125",
           "tamrik_bridge_tcp_clients{unit=\"SIM001\"} 2",
           "tamrik_bridge_tcp_clients_accepted_total{unit=\"SIM001\"} 18",
           "tamrik_bridge_tcp_clients_dropped_total{unit=\"SIM001\",reason=\"slow\"} 19",
           "tamrik_bridge_tcp_clients_dropped_total{unit=\"SIM001\",reason=\"limit\"} 20",
           "tamrik_bridge_receiver_polls_total{unit=\"SIM001\",outcome=\"passed\"} 21",
           "tamrik_bridge_receiver_polls_total{unit=\"SIM001\",outcome=\"refused\"} 22",
       }) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
  }
  // Never taken: no time, rather than a zero that reads as 1970.
  EXPECT_EQ(text.find("tamrik_bridge_last_taken_timestamp_seconds{"), std::string::npos);
}

// --- what clients may send the receiver -------------------------------------------------------

Bytes frame(std::uint8_t cls, std::uint8_t id, const Bytes& payload = {}) { return sim::ubx::frame(cls, id, payload); }

// The items' descriptions, runs of stray bytes (told at the end of each feed) joined.
std::vector<std::string> described(const std::vector<ClientInput::Item>& items) {
  std::vector<std::string> out;
  std::size_t strays = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].kind == ClientInput::Item::Kind::Other) {
      strays += items[i].length;
      if (i + 1 < items.size() && items[i + 1].kind == ClientInput::Item::Kind::Other) continue;
      ClientInput::Item joined;
      joined.length = strays;
      out.push_back(describe(joined));
      strays = 0;
      continue;
    }
    out.push_back(describe(items[i]));
  }
  return out;
}

TEST(ClientInput, FindsWholePollsAndNamesEverythingElseWhereverTheBytesAreCut) {
  Bytes badPoll = frame(0x0A, 0x09);
  badPoll.back() ^= 0x01;
  Bytes save = frame(0x06, 0x09, Bytes(13, 0xFF));
  save[10] ^= 0x40;  // a bit flipped in the payload
  const std::string pubx = "$PUBX,41,1,0007,0003,19200,0*25\r\n";
  const Bytes input = concat({frame(0x0A, 0x04), frame(0x06, 0x00, Bytes(20, 1)), save, Bytes(pubx.begin(), pubx.end()),
                              Bytes{'x', 'y', 'z', 0xB5, 0x00}, frame(0x06, 0x00), badPoll,
                              // a length no receiver message has: its header is stray bytes
                              Bytes{0xB5, 0x62, 0x06, 0x01, 0xFF, 0xFF}, frame(0x06, 0x8A, Bytes(9, 0)), frame(0x27, 0x03),
                              // no payload, and yet it erases the receiver's log
                              frame(0x21, 0x03),
                              // a stray sync: the polls behind it are found all the same
                              Bytes{0xB5, 0x62}, frame(0x06, 0x00), frame(0x0A, 0x04)});
  const std::vector<std::string> expected = {
      "UBX MON-VER (0A 04, a poll)",
      "UBX CFG-PRT (06 00, 20 bytes)",
      "UBX CFG-CFG (06 09, 13 bytes) with a bad checksum",
      "NMEA $PUBX",
      "5 bytes that are neither UBX nor NMEA",
      "UBX CFG-PRT (06 00, a poll)",
      "UBX MON-HW (0A 09, a poll) with a bad checksum",
      "6 bytes that are neither UBX nor NMEA",
      "UBX CFG-VALSET (06 8A, 9 bytes)",
      "UBX SEC-UNIQID (27 03, a poll)",
      "UBX 21 03 (a command)",
      "2 bytes that are neither UBX nor NMEA",
      "UBX CFG-PRT (06 00, a poll)",
      "UBX MON-VER (0A 04, a poll)",
  };
  for (std::size_t cut = 0; cut <= input.size(); ++cut) {
    ClientInput scanner;
    std::vector<ClientInput::Item> items;
    scanner.feed(std::span(input).first(cut), items);
    scanner.feed(std::span(input).subspan(cut), items);
    ASSERT_EQ(described(items), expected) << "cut at " << cut;
  }
  ClientInput byByte;
  std::vector<ClientInput::Item> items;
  for (const std::uint8_t b : input) byByte.feed(std::span(&b, 1), items);
  EXPECT_EQ(described(items), expected);
  const auto erase = std::find_if(items.begin(), items.end(), [](const ClientInput::Item& i) { return i.messageClass == 0x21; });
  ASSERT_NE(erase, items.end());
  EXPECT_EQ(erase->kind, ClientInput::Item::Kind::Message);  // LOG-ERASE: refused, never passed as a poll
  ClientInput::Item unnamed;
  unnamed.kind = ClientInput::Item::Kind::Message;
  unnamed.messageClass = 0x06;
  unnamed.messageId = 0xFE;
  unnamed.length = 1;
  EXPECT_EQ(describe(unnamed), "UBX 06 FE (1 byte)");
}

// Headers that each declare the longest payload, one behind the other: every frame fails its
// checksum over bytes holding another start. Looking again behind each would cost its 8 KiB for
// every 6 bytes a client sends; the scan's work stays a few times the input, and the poll after
// them is found.
TEST(ClientInput, BytesBuiltToBeLookedAtAgainCostAFewTimesTheirLength) {
  Bytes input;
  for (int i = 0; i < 11000; ++i) input.insert(input.end(), {0xB5, 0x62, 0x01, 0x01, 0x00, 0x20});
  const Bytes poll = frame(0x0A, 0x04);
  input.insert(input.end(), 8300, 0x00);  // the last header's payload and checksum, and then some
  input.insert(input.end(), poll.begin(), poll.end());
  ClientInput scanner;
  std::vector<ClientInput::Item> items;
  for (std::size_t at = 0; at < input.size(); at += 4096) {
    scanner.feed(std::span(input).subspan(at, std::min<std::size_t>(4096, input.size() - at)), items);
  }
  EXPECT_LE(scanner.looked(), (1 + ClientInput::kReplayPerByte) * input.size());
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().kind, ClientInput::Item::Kind::Poll);
  EXPECT_EQ(describe(items.back()), "UBX MON-VER (0A 04, a poll)");
}

TEST(PollGate, PassesOnePollAtATimeAFewASecondAndTakesTheClientsInTurn) {
  PollGate gate;
  const SteadyTime t0 = SteadyTime{} + 100h;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(gate.offer(1, 0x0A, static_cast<std::uint8_t>(0x30 + i)));
  EXPECT_FALSE(gate.offer(1, 0x0A, 0x40));  // a fifth waiting from one client
  ASSERT_TRUE(gate.offer(2, 0x0A, 0x50));
  ASSERT_TRUE(gate.offer(2, 0x0A, 0x51));
  ASSERT_TRUE(gate.offer(3, 0x0A, 0x60));
  ASSERT_TRUE(gate.offer(4, 0x0A, 0x70));
  gate.forget(4);  // left before its turn
  EXPECT_EQ(gate.waiting(), 7u);

  std::vector<PollGate::Poll> passed;
  SteadyTime t = t0;
  for (int round = 0; round < 7; ++round) {
    const auto p = gate.next(t);
    ASSERT_TRUE(p) << round;
    passed.push_back(*p);
    // Nothing more while it waits for its answer: not after a frame of another message, nor
    // after an ACK of another.
    gate.onReceiverFrame(0x01, 0x07, Bytes(92, 0));
    gate.onReceiverFrame(0x05, 0x01, Bytes{0x06, 0x01});
    EXPECT_FALSE(gate.next(t + 1s));
    gate.onReceiverFrame(p->messageClass, p->messageId, Bytes(100, 0));
    // Answered, but not sooner than 250 ms after the last.
    EXPECT_FALSE(gate.next(t + 249ms));
    t += 250ms;
  }
  const std::vector<PollGate::Poll> turns = {{1, 0x0A, 0x30}, {2, 0x0A, 0x50}, {3, 0x0A, 0x60}, {1, 0x0A, 0x31},
                                             {2, 0x0A, 0x51}, {1, 0x0A, 0x32}, {1, 0x0A, 0x33}};
  EXPECT_EQ(passed, turns);
  EXPECT_FALSE(gate.next(t + 1h));

  // A CFG poll is answered by the message and then its ACK; only the ACK ends it. A poll the
  // receiver does not know ends with its ACK-NAK. One never answered waits 2 s.
  ASSERT_TRUE(gate.offer(5, 0x06, 0x00));
  ASSERT_TRUE(gate.offer(5, 0x0A, 0x99));
  ASSERT_TRUE(gate.offer(5, 0x0A, 0x04));
  ASSERT_TRUE(gate.next(t));
  gate.onReceiverFrame(0x06, 0x00, Bytes(20, 0));
  EXPECT_TRUE(gate.inFlight());
  gate.onReceiverFrame(0x05, 0x01, Bytes{0x06, 0x00});
  EXPECT_FALSE(gate.inFlight());
  t += 1s;
  ASSERT_TRUE(gate.next(t));
  gate.onReceiverFrame(0x05, 0x00, Bytes{0x0A, 0x99});
  EXPECT_FALSE(gate.inFlight());
  t += 1s;
  ASSERT_TRUE(gate.next(t));
  EXPECT_FALSE(gate.expire(t + 1999ms));
  EXPECT_FALSE(gate.next(t + 1999ms));
  const auto gone = gate.expire(t + 2s);
  ASSERT_TRUE(gone);
  EXPECT_EQ(*gone, (PollGate::Poll{5, 0x0A, 0x04}));
  EXPECT_FALSE(gate.inFlight());
}

TEST(StreamClients, OnlyPollsReachTheUnitTheAnswerReachesEveryoneAndAFloodCostsAFewLines) {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> toUnit;
  StreamOptions options;
  options.passPolls = true;
  Harness h(options, [&](std::uint8_t c, std::uint8_t i) {
    toUnit.emplace_back(c, i);
    return true;
  });
  const auto a = h.listener.connect(40001);
  const auto b = h.listener.connect(40002);
  const std::string pubx = "$PUBX,41,1,0007,0003,19200,0*25\r\n";
  a->toSend = concat({frame(0x0A, 0x04), frame(0x06, 0x09, Bytes(13, 0)), frame(0x06, 0x04, Bytes{0xFF, 0xFF, 0, 0}),
                      Bytes(pubx.begin(), pubx.end())});
  b->toSend = frame(0x0A, 0x09);
  h.serve();
  // The polls wait while the clients get no receiver bytes yet, which would hold their answers.
  EXPECT_TRUE(toUnit.empty());
  EXPECT_EQ(h.linesWith("refused"), (std::vector<std::string>{
                                        "refused UBX CFG-CFG (06 09, 13 bytes) from 127.0.0.1:40001: only polls pass",
                                        "refused UBX CFG-RST (06 04, 4 bytes) from 127.0.0.1:40001: only polls pass",
                                        "refused NMEA $PUBX from 127.0.0.1:40001: only polls pass",
                                    }));
  // Both start with the epoch, and A's poll goes once its burst is over; B's waits for its answer.
  h.feed(epochBurst(0));
  EXPECT_TRUE(toUnit.empty());
  for (int i = 0; i < 50; ++i) h.serve();
  ASSERT_EQ(toUnit.size(), 1u);
  EXPECT_EQ(toUnit[0], std::make_pair(std::uint8_t{0x0A}, std::uint8_t{0x04}));
  // The receiver answers between epochs, as its own bytes: both clients get it.
  Bytes version = sim::ubx::monVerPayload("ROM CORE 3.01 (107888)", "00080000", std::vector<std::string>{"PROTVER=18.00"});
  const Bytes answer = frame(0x0A, 0x04, version);
  h.clients.onReceiverBytes(answer, false, true);
  // Too late in the second for B's poll: its answer could run into the next epoch's start.
  h.serve(300ms);
  EXPECT_EQ(toUnit.size(), 1u);
  h.feed(epochBurst(1));
  for (int i = 0; i < 10; ++i) h.serve();
  ASSERT_EQ(toUnit.size(), 2u);
  EXPECT_EQ(toUnit[1], std::make_pair(std::uint8_t{0x0A}, std::uint8_t{0x09}));
  EXPECT_EQ(a->got, concat({epochBurst(0), answer, epochBurst(1)}));
  EXPECT_EQ(b->got, a->got);

  // A minute of configuration sent without pause: every frame refused, none passed; the log gets
  // what is left of the first ten lines and one every 5 s after them.
  const std::size_t linesBefore = h.log.size();
  const Bytes config = frame(0x06, 0x00, Bytes(20, 0));
  for (int i = 0; i < 600; ++i) {
    for (int j = 0; j < 50; ++j) a->toSend.insert(a->toSend.end(), config.begin(), config.end());
    h.serve(100ms);
  }
  EXPECT_EQ(toUnit.size(), 2u);
  EXPECT_EQ(h.clients.counters().refused, 3u + 30000u);
  const std::size_t lines = h.log.size() - linesBefore;
  EXPECT_GE(lines, 12u);
  EXPECT_LE(lines, 10u + 13u);
  EXPECT_NE(h.log.back().find("lines left out before this one)"), std::string::npos) << h.log.back();
}

// --- the Linux sockets --------------------------------------------------------------------------

// A client of this machine, with blocking calls bounded by a receive timeout.
struct SocketClient {
  explicit SocketClient(std::uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    sockaddr_in own{};
    socklen_t length = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length);
    name = "127.0.0.1:" + std::to_string(ntohs(own.sin_port));
    timeval bound{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  }
  ~SocketClient() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fd = -1;
  bool connected = false;
  std::string name;
};

// The wait, bounded at 10 s; true when it woke well before that.
bool wokeSoon(platform::PollBridgeWait& wait) {
  const auto start = std::chrono::steady_clock::now();
  const auto r = wait.wait(10s, false);
  return r.outcome == platform::BridgeWait::Outcome::Woken && std::chrono::steady_clock::now() - start < 5s;
}

TEST(LinuxTcpStream, TheWaitWakesForANewClientItsBytesItsEndAndRoomToWriteAndATakenPortIsRefused) {
  auto made = platform::LinuxTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(made) << made.failure().reason;
  platform::LinuxTcpListener& listener = **made;
  EXPECT_EQ(listener.address(), "127.0.0.1:" + std::to_string(listener.port()));
  platform::PollBridgeWait wait(nullptr, -1, &listener);
  auto none = listener.accept();
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, nullptr);

  SocketClient client(listener.port());
  ASSERT_TRUE(client.connected);
  EXPECT_TRUE(wokeSoon(wait));
  auto taken = listener.accept();
  ASSERT_TRUE(taken && *taken);
  std::unique_ptr<platform::StreamConnection> c = std::move(*taken);
  EXPECT_EQ(c->peer(), client.name);

  ASSERT_EQ(::send(client.fd, "$PUBX,41\r\n", 10, MSG_NOSIGNAL), 10);
  EXPECT_TRUE(wokeSoon(wait));
  std::array<std::uint8_t, 64> buffer{};
  const platform::StreamStep got = c->read(buffer);
  EXPECT_TRUE(got.open());
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got.bytes)), "$PUBX,41\r\n");

  // A client that does not read: the socket takes what its buffers hold and no more, at once; the
  // wait wakes when the client takes some.
  const Bytes lots(8 << 20, 0x55);
  const platform::StreamStep cut = c->write(lots);
  ASSERT_TRUE(cut.open()) << cut.reason;
  EXPECT_GT(cut.bytes, 0u);
  EXPECT_LT(cut.bytes, lots.size());
  std::vector<std::uint8_t> scrap(1 << 20);
  std::size_t taken_ = 0;
  while (taken_ < cut.bytes) {
    const ssize_t n = ::recv(client.fd, scrap.data(), scrap.size(), 0);
    ASSERT_GT(n, 0);
    taken_ += static_cast<std::size_t>(n);
  }
  EXPECT_TRUE(wokeSoon(wait));
  EXPECT_GT(c->write(std::span(lots).first(100)).bytes, 0u);

  client.close();
  EXPECT_TRUE(wokeSoon(wait));
  EXPECT_EQ(c->read(buffer).state, platform::StreamStep::State::Closed);
  EXPECT_EQ(c->write(std::span(lots).first(100)).state, platform::StreamStep::State::Closed);

  // A port that is taken is refused with the system's words; a name listens on its first address.
  const auto taken2 = platform::LinuxTcpListener::create("127.0.0.1", listener.port());
  ASSERT_FALSE(taken2);
  EXPECT_EQ(taken2.failure().reason, "cannot listen on " + listener.address() + ": Address already in use");
  auto named = platform::LinuxTcpListener::create("localhost", 0);
  ASSERT_TRUE(named) << named.failure().reason;
  EXPECT_TRUE((*named)->address().rfind("127.0.0.1:", 0) == 0 || (*named)->address().rfind("[::1]:", 0) == 0);
}

// --- on a simulated unit -------------------------------------------------------------------------

// The simulation's virtual time as the bridge's clocks, and the real sockets' wait that never
// waits: the time it would have waited passes in virtual time.
struct VirtualTime final : platform::BridgeClock, platform::BridgeWait {
  VirtualTime(sim::VirtualClock& c, const platform::WaitDescriptors& sockets) : clock(c), inner(nullptr, -1, &sockets) {}
  std::chrono::steady_clock::time_point steadyNow() override { return clock.now(); }
  std::chrono::system_clock::time_point realNow() override {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(clock.utcAt(clock.now()).time_since_epoch()));
  }
  Result wait(std::chrono::milliseconds timeout, bool wantWrite) override {
    clock.advance(timeout);
    return inner.wait(0ms, wantWrite);
  }
  sim::VirtualClock& clock;
  platform::PollBridgeWait inner;
};

// Everything there is on a client's socket now.
void takeAll(SocketClient& c, Bytes& into) {
  std::array<std::uint8_t, 4096> buffer{};
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0) return;
    into.insert(into.end(), buffer.begin(), buffer.begin() + n);
  }
}

TEST(StreamClients, OnASimulatedUnitOnlyPollsReachItsReceiverAndEveryClientGetsTheAnswers) {
  sim::VirtualClock clock;
  sim::SimulatedUnits units(clock);
  const sim::UnitId id = units.addUnit(sim::UnitConfig{});
  UnitSource source(units, std::nullopt);
  ASSERT_TRUE(source.open().ok());
  auto made = platform::LinuxTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(made) << made.failure().reason;
  platform::LinuxTcpListener& listener = **made;
  VirtualTime time(clock, listener);
  std::vector<std::string> log;
  const auto say = [&log](const std::string& l) { log.push_back(l); };
  BridgeOptions options;
  options.retryFirst = 10ms;
  ReceiverBridge bridge(source, nullptr, {}, time, time, options, say);
  StreamOptions streamOptions;
  streamOptions.passPolls = true;
  StreamClients clients(listener, streamOptions, [&source](std::uint8_t c, std::uint8_t i) { return source.passPoll(c, i); }, say);
  bridge.serveClients(&clients);
  std::vector<double> offsets;  // of the time samples made after the polls were sent
  bool sent = false;
  bridge.onSample = [&](const platform::TimeSample& s) {
    if (sent) offsets.push_back(s.offsetSeconds);
  };

  // A connects at once, B once the epochs are told.
  SocketClient a(listener.port());
  ASSERT_TRUE(a.connected);
  std::unique_ptr<SocketClient> later;
  Bytes gotA, gotB;
  const std::string pubx = "$PUBX,41,0,0007,0003,115200,0*1A\r\n";
  for (int i = 0; i < 200000 && clock.elapsed() < 20s; ++i) {
    ASSERT_EQ(bridge.step(), ReceiverBridge::Step::Running) << (log.empty() ? "" : log.back());
    takeAll(a, gotA);
    if (!later && bridge.stamper().quietGap()) {
      later = std::make_unique<SocketClient>(listener.port());
      ASSERT_TRUE(later->connected);
    }
    if (!later) continue;
    SocketClient& b = *later;
    takeAll(b, gotB);
    // Once both clients have their first bytes: configuration, a save, a reset and a port setting
    // in NMEA from one, polls from both.
    if (!sent && !gotA.empty() && !gotB.empty()) {
      const Bytes fromA = concat({frame(0x06, 0x09, Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x17}),
                                  frame(0x06, 0x00, Bytes(20, 0)), frame(0x06, 0x04, Bytes{0xFF, 0xFF, 0x00, 0x00}),
                                  Bytes(pubx.begin(), pubx.end()), frame(0x0A, 0x04)});
      const Bytes fromB = concat({frame(0x0A, 0x09), frame(0x06, 0x00)});
      ASSERT_EQ(::send(a.fd, fromA.data(), fromA.size(), MSG_NOSIGNAL), static_cast<ssize_t>(fromA.size()));
      ASSERT_EQ(::send(b.fd, fromB.data(), fromB.size(), MSG_NOSIGNAL), static_cast<ssize_t>(fromB.size()));
      sent = true;
    }
  }
  ASSERT_TRUE(sent);

  // The receiver got the rate commands of the opening and the three polls, in turn, nothing else.
  std::vector<std::string> passed;
  for (const sim::PassThroughMessage& m : units.unit(id).firmware.passThrough) {
    if (m.cls == 0x06 && m.id == 0x01 && m.payload.size() == 8) continue;  // CFG-MSG: the messages switched on
    ClientInput::Item item;
    item.kind = ClientInput::Item::Kind::Poll;
    item.messageClass = m.cls;
    item.messageId = m.id;
    item.length = m.payload.size();
    passed.push_back(describe(item));
  }
  EXPECT_EQ(passed, (std::vector<std::string>{"UBX MON-VER (0A 04, a poll)", "UBX MON-HW (0A 09, a poll)",
                                              "UBX CFG-PRT (06 00, a poll)"}));
  std::vector<std::string> refused;
  for (const auto& l : log) {
    if (l.rfind("refused", 0) == 0) refused.push_back(l.substr(0, l.find(" from ")));
  }
  EXPECT_EQ(refused, (std::vector<std::string>{"refused UBX CFG-CFG (06 09, 13 bytes)", "refused UBX CFG-PRT (06 00, 20 bytes)",
                                               "refused UBX CFG-RST (06 04, 4 bytes)", "refused NMEA $PUBX"}));

  // Both clients started at a frame: A, before the receiver's rhythm was known, with the
  // answers to the opening's rate commands; B at an epoch, with its NAV-PVT. Both got every answer
  // to the polls, as the receiver sent them.
  for (const Bytes* got : {&gotA, &gotB}) {
    const auto frames = sim::ubx::findFrames(*got);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].offset, 0u);
    if (got == &gotB) {
      EXPECT_EQ(frames[0].id, sim::ubx::kIdNavPvt);
    }
    std::vector<std::string> answers;
    for (const auto& f : frames) {
      if (f.cls == sim::ubx::kClassNav) continue;
      answers.push_back(std::string(core::messageName(f.cls, f.id)) + " " + std::to_string(f.payload.size()));
      if (f.cls == 0x0A && f.id == 0x04) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.payload.data())), "ROM CORE 3.01 (107888)");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.payload.data() + 70)), "PROTVER=18.00");
      }
    }
    std::vector<std::string> expected = {"MON-VER 160", "MON-HW 60", "CFG-PRT 20", "ACK-ACK 2"};
    if (got == &gotA) expected.insert(expected.begin(), 3, "ACK-ACK 2");
    EXPECT_EQ(answers, expected);
  }
  EXPECT_EQ(clients.counters().polls, 3u);
  EXPECT_EQ(clients.counters().unanswered, 0u);
  // The answers came in the quiet part of the second: every epoch's stamp stayed its first report,
  // 40 ms and 62 bytes at 9600 baud after the second, and at most one 8 ms poll of the host later.
  ASSERT_GE(offsets.size(), 8u);
  for (const double o : offsets) {
    EXPECT_LE(o, -0.040 - 62 / 960.0 + 13e-6);
    EXPECT_GE(o, -0.040 - 62 / 960.0 - 0.0081);
  }
}

// u-center polls a few messages every second for as long as it is connected. Their answers
// come in the quiet part of the second and are no epochs: the rhythm stays known and every epoch
// gives its time sample, stamped as without polls.
TEST(StreamClients, AClientPollingEverySecondKeepsTheEpochsAndTheTimeSamples) {
  sim::VirtualClock clock;
  sim::SimulatedUnits units(clock);
  units.addUnit(sim::UnitConfig{});
  UnitSource source(units, std::nullopt);
  ASSERT_TRUE(source.open().ok());
  auto made = platform::LinuxTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(made) << made.failure().reason;
  platform::LinuxTcpListener& listener = **made;
  VirtualTime time(clock, listener);
  std::vector<std::string> log;
  ReceiverBridge bridge(source, nullptr, {}, time, time, BridgeOptions{}, [&log](const std::string& l) { log.push_back(l); });
  StreamOptions streamOptions;
  streamOptions.passPolls = true;
  StreamClients clients(listener, streamOptions, [&source](std::uint8_t c, std::uint8_t i) { return source.passPoll(c, i); },
                        [&log](const std::string& l) { log.push_back(l); });
  bridge.serveClients(&clients);
  std::vector<double> offsets;
  bridge.onSample = [&](const platform::TimeSample& s) {
    if (clock.elapsed() >= 20s) offsets.push_back(s.offsetSeconds);
  };
  SocketClient c(listener.port());
  ASSERT_TRUE(c.connected);
  Bytes got;
  const Bytes polls = concat({frame(0x0A, 0x09), frame(0x0A, 0x04)});  // MON-HW, MON-VER: 60 and 160 bytes back
  auto nextPoll = clock.now() + 10s;
  std::uint64_t epochsAt20 = 0;
  for (int i = 0; i < 400000 && clock.elapsed() < 60s; ++i) {
    ASSERT_EQ(bridge.step(), ReceiverBridge::Step::Running) << (log.empty() ? "" : log.back());
    takeAll(c, got);
    if (clock.now() >= nextPoll) {
      ASSERT_EQ(::send(c.fd, polls.data(), polls.size(), MSG_NOSIGNAL), static_cast<ssize_t>(polls.size()));
      nextPoll += 1s;
    }
    if (clock.elapsed() < 20s) epochsAt20 = bridge.counters().epochs;
  }
  // 40 s of polls after the first 20 s: the answers passed, and all 40 epochs were told and stamped.
  EXPECT_GE(clients.counters().polls, 90u);
  EXPECT_TRUE(bridge.stamper().quietGap().has_value());
  EXPECT_GE(bridge.counters().epochs - epochsAt20, 39u);
  ASSERT_GE(offsets.size(), 39u);
  for (const double o : offsets) {
    EXPECT_LE(o, -0.040 - 62 / 960.0 + 13e-6);
    EXPECT_GE(o, -0.040 - 62 / 960.0 - 0.0081);
  }
}

}  // namespace
}  // namespace tamrik::bridge
