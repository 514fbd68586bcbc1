// The patched hidapi bounds every feature-report request: a device that never answers makes a
// failed request once the bound has passed, instead of a caller that waits for ever. A named pipe's
// listen stands in for the device: it stays pending until a client comes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "tests/windows/bounded_request.h"

namespace {

// FSCTL_PIPE_LISTEN, the request ConnectNamedPipe makes.
constexpr unsigned long kPipeListen = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Pipe {
  explicit Pipe(const wchar_t* name)
      : name(name),
        server(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64,
                                  0, nullptr)) {}
  ~Pipe() {
    if (server != INVALID_HANDLE_VALUE) ::CloseHandle(server);
  }
  HANDLE connectClient() const {
    return ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  const wchar_t* name;
  HANDLE server;
};

TEST(BoundedFeatureRequest, ARequestThatIsNeverAnsweredFailsOnceTheBoundHasPassedAndIsCancelled) {
  Pipe pipe(L"\\\\.\\pipe\\tamrik-bounded-request-never");
  ASSERT_NE(pipe.server, INVALID_HANDLE_VALUE);
  char error[256];
  EXPECT_EQ(tamrik_bounded_ioctl(pipe.server, kPipeListen, 200, error, sizeof error), -1);
  EXPECT_STREQ(error, "the device did not answer in time");
  // The request was taken back: the pipe listens again, and a client that comes now is the one
  // that new request sees.
  std::thread client([&] {
    ::Sleep(100);
    const HANDLE h = pipe.connectClient();
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  });
  EXPECT_EQ(tamrik_bounded_ioctl(pipe.server, kPipeListen, 10000, error, sizeof error), 0) << error;
  client.join();
}

TEST(BoundedFeatureRequest, ARequestTheSystemRefusesFailsAtOnceWithItsWords) {
  Pipe pipe(L"\\\\.\\pipe\\tamrik-bounded-request-refused");
  ASSERT_NE(pipe.server, INVALID_HANDLE_VALUE);
  const HANDLE client = pipe.connectClient();
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  char error[256];
  // Listening on a pipe whose client is already there fails with ERROR_PIPE_CONNECTED.
  EXPECT_EQ(tamrik_bounded_ioctl(pipe.server, kPipeListen, 10000, error, sizeof error), -1);
  EXPECT_NE(std::string(error).find("DeviceIoControl: (0x00000217)"), std::string::npos) << error;
  ::CloseHandle(client);
}

}  // namespace
