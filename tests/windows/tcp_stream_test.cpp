// The receiver stream's TCP port over Winsock, on the loopback interface, under Wine here and on
// Windows alike: connections taken without waiting, bytes both ways, a client's end, refusals.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/windows/tcp_stream.h"

namespace tamrik::platform::windows {
namespace {

// A client as a program on this machine connects: Winsock's blocking calls.
struct Client {
  explicit Client(std::uint16_t port) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    connected = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    sockaddr_in own{};
    int length = sizeof own;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&own), &length);
    name = "127.0.0.1:" + std::to_string(ntohs(own.sin_port));
    DWORD timeout = 10000;  // every read below is bounded
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  }
  ~Client() {
    close();
    ::WSACleanup();
  }
  void close() {
    if (s != INVALID_SOCKET) ::closesocket(s);
    s = INVALID_SOCKET;
  }
  SOCKET s = INVALID_SOCKET;
  bool connected = false;
  std::string name;
};

// Steps until `done`, at most 10 s.
template <typename Step>
bool within10s(Step step) {
  for (int i = 0; i < 1000; ++i) {
    if (step()) return true;
    ::Sleep(10);
  }
  return false;
}

TEST(WindowsTcpStream, TakesConnectionsWithoutWaitingAndMovesBytesBothWays) {
  auto made = WindowsTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(made) << made.failure().reason;
  WindowsTcpListener& listener = **made;
  ASSERT_NE(listener.port(), 0);
  EXPECT_EQ(listener.address(), "127.0.0.1:" + std::to_string(listener.port()));
  // Nobody there: no connection, at once.
  auto none = listener.accept();
  ASSERT_TRUE(none) << none.failure().reason;
  EXPECT_EQ(*none, nullptr);

  Client client(listener.port());
  ASSERT_TRUE(client.connected);
  std::unique_ptr<StreamConnection> c;
  ASSERT_TRUE(within10s([&] {
    auto taken = listener.accept();
    if (taken && *taken) c = std::move(*taken);
    return c != nullptr;
  }));
  EXPECT_EQ(c->peer(), client.name);

  // Nothing sent yet: a read gives nothing and does not wait.
  std::vector<std::uint8_t> buffer(64);
  StreamStep step = c->read(buffer);
  EXPECT_TRUE(step.open());
  EXPECT_EQ(step.bytes, 0u);

  const std::vector<std::uint8_t> out = {0xB5, 0x62, 0x0A, 0x04, 0x00, 0x00, 0x0E, 0x34};
  step = c->write(out);
  ASSERT_TRUE(step.open()) << step.reason;
  EXPECT_EQ(step.bytes, out.size());
  std::vector<char> got(out.size());
  int have = 0;
  while (have < static_cast<int>(got.size())) {
    const int n = ::recv(client.s, got.data() + have, static_cast<int>(got.size()) - have, 0);
    ASSERT_GT(n, 0);
    have += n;
  }
  EXPECT_TRUE(std::equal(out.begin(), out.end(), got.begin(), [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));

  ASSERT_EQ(::send(client.s, "$PUBX,41\r\n", 10, 0), 10);
  std::string in;
  ASSERT_TRUE(within10s([&] {
    step = c->read(buffer);
    in.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(step.bytes));
    return in.size() >= 10 || !step.open();
  }));
  EXPECT_EQ(in, "$PUBX,41\r\n");

  // The client's end is an end, not a failure.
  client.close();
  ASSERT_TRUE(within10s([&] { return !c->read(buffer).open(); }));
  EXPECT_EQ(c->read(buffer).state, StreamStep::State::Closed);
}

TEST(WindowsTcpStream, TakesALocalNameAndRefusesAPortThatIsTaken) {
  const auto empty = WindowsTcpListener::create("", 0);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.failure().kind, base::FailureKind::BadArgument);
  EXPECT_EQ(empty.failure().reason, "no address to listen on");
  // A name: on its first address (this machine's own, for localhost).
  auto named = WindowsTcpListener::create("localhost", 0);
  ASSERT_TRUE(named) << named.failure().reason;
  const std::string at = (*named)->address();
  EXPECT_TRUE(at.rfind("127.0.0.1:", 0) == 0 || at.rfind("[::1]:", 0) == 0) << at;

  auto first = WindowsTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(first) << first.failure().reason;
  const auto second = WindowsTcpListener::create("127.0.0.1", (*first)->port());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.failure().kind, base::FailureKind::System);
  EXPECT_EQ(second.failure().reason.rfind("cannot listen on " + (*first)->address() + ": ", 0), 0u) << second.failure().reason;
}

}  // namespace
}  // namespace tamrik::platform::windows
