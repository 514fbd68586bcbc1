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

// Steps until one returns true, for at most 10 s.
template <typename Step>
bool within10s(Step step) {
  for (int i = 0; i < 1000; ++i) {
    if (step()) return true;
    ::Sleep(10);
  }
  return false;
}

TEST(WindowsTcpStream, TakesConnectionsWithoutWaitingMovesBytesBothWaysAndRefusesATakenPort) {
  auto made = WindowsTcpListener::create("127.0.0.1", 0);
  ASSERT_TRUE(made) << made.failure().reason;
  WindowsTcpListener& listener = **made;
  EXPECT_EQ(listener.address(), "127.0.0.1:" + std::to_string(listener.port()));
  auto none = listener.accept();
  ASSERT_TRUE(none && *none == nullptr);

  // A client of this machine, with Winsock's blocking calls.
  WSADATA data{};
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(listener.port());
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  sockaddr_in own{};
  int length = sizeof own;
  ::getsockname(client, reinterpret_cast<sockaddr*>(&own), &length);
  std::unique_ptr<StreamConnection> c;
  ASSERT_TRUE(within10s([&] {
    auto taken = listener.accept();
    if (taken && *taken) c = std::move(*taken);
    return c != nullptr;
  }));
  EXPECT_EQ(c->peer(), "127.0.0.1:" + std::to_string(ntohs(own.sin_port)));

  std::vector<std::uint8_t> buffer(64);
  StreamStep step = c->read(buffer);  // nothing sent yet: nothing, at once
  EXPECT_TRUE(step.open() && step.bytes == 0);
  const std::string poll("\xb5\x62\x0a\x04\x00\x00\x0e\x34", 8);
  step = c->write(std::span(reinterpret_cast<const std::uint8_t*>(poll.data()), poll.size()));
  ASSERT_TRUE(step.open()) << step.reason;
  EXPECT_EQ(step.bytes, poll.size());
  std::string got(poll.size(), '\0');
  DWORD bound = 10000;
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&bound), sizeof bound);
  for (int have = 0; have < static_cast<int>(got.size());) {
    const int n = ::recv(client, got.data() + have, static_cast<int>(got.size()) - have, 0);
    ASSERT_GT(n, 0);
    have += n;
  }
  EXPECT_EQ(got, poll);
  ASSERT_EQ(::send(client, "$PUBX,41\r\n", 10, 0), 10);
  std::string in;
  ASSERT_TRUE(within10s([&] {
    step = c->read(buffer);
    in.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(step.bytes));
    return in.size() >= 10;
  }));
  EXPECT_EQ(in, "$PUBX,41\r\n");
  // The client's end is an end, not a failure.
  ::closesocket(client);
  ASSERT_TRUE(within10s([&] { return !c->read(buffer).open(); }));
  EXPECT_EQ(c->read(buffer).state, StreamStep::State::Closed);
  ::WSACleanup();

  const auto second = WindowsTcpListener::create("127.0.0.1", listener.port());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.failure().kind, base::FailureKind::System);
  EXPECT_EQ(second.failure().reason.rfind("cannot listen on " + listener.address() + ": ", 0), 0u) << second.failure().reason;
  const auto empty = WindowsTcpListener::create("", 0);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.failure().kind, base::FailureKind::BadArgument);
}

}  // namespace
}  // namespace tamrik::platform::windows
