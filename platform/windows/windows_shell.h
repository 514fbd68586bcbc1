#pragma once
#include <functional>
#include <string>

#include "platform/shell_service.h"

namespace tamrik::platform::windows {

// Opens web links with the shell's handler for them (the default browser) through ShellExecuteEx
// with the "open" verb. Only plain https links go out (isOpenableHttpsUrl): nothing that names a
// file, a program or another protocol handler ever reaches the shell.
class WindowsShell final : public ShellService {
 public:
  // Hands a link to the shell; true when the shell took it.
  using Opener = std::function<bool(const std::wstring& url)>;

  WindowsShell();  // the shell itself (shellOpen)
  explicit WindowsShell(Opener open);

  bool openUrl(const std::string& url) override;

 private:
  Opener open_;
};

// ShellExecuteExW "open" on url, without error dialogs of the shell's own: true when the handler
// started.
bool shellOpen(const std::wstring& url);

}  // namespace tamrik::platform::windows
