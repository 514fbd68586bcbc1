#include "platform/windows/windows_shell.h"

#include <windows.h>
// clang-format off
#include <objbase.h>
#include <shellapi.h>
// clang-format on

#include "platform/openable_url.h"
#include "platform/windows/windows_text.h"

namespace tamrik::platform::windows {

WindowsShell::WindowsShell() : WindowsShell(shellOpen) {}

WindowsShell::WindowsShell(Opener open) : open_(std::move(open)) {}

bool WindowsShell::openUrl(const std::string& url) {
  if (!isOpenableHttpsUrl(url) || !open_) return false;
  return open_(wideFromUtf8(url));
}

bool shellOpen(const std::wstring& url) {
  // The shell's handlers may be COM objects: they want COM on the calling thread, apartment-
  // threaded. A thread that already has COM keeps it as it is.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = url.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool started = ::ShellExecuteExW(&info) != FALSE;
  if (SUCCEEDED(com)) ::CoUninitialize();
  return started;
}

}  // namespace tamrik::platform::windows
