#include "platform/win32/win32_toolkit.h"
#include "platform/win32/win32_module.h"

#include <algorithm>

#include "platform/win32/win32_dpi.h"
#include "platform/windows/windows_text.h"

namespace tamrik::platform::win32 {

namespace {

constexpr wchar_t kNoticeClass[] = L"TamrikNotice";
// A round of pending events ends at the latest after this many messages, so that a source of
// messages that never dries up cannot hold the caller in the round.
constexpr int kMaxMessagesPerRound = 1000;

UINT boxIcon(MessageIcon icon) { return icon == MessageIcon::Critical ? MB_ICONERROR : MB_ICONINFORMATION; }

// The state of one notice window, kept in its GWLP_USERDATA.
struct Notice {
  Win32Toolkit* toolkit = nullptr;
  HICON icon = nullptr;
  HFONT font = nullptr;
  RECT iconRect{};
};

}  // namespace

Win32Toolkit::~Win32Toolkit() {
  for (HWND notice : std::vector<HWND>(notices_)) DestroyWindow(notice);
}

MessageAnswer Win32Toolkit::messageBox(const MessageBoxRequest& request) {
  UINT type = boxIcon(request.icon) | MB_SETFOREGROUND;
  type |= request.buttons == MessageButtons::YesNo ? MB_YESNO | MB_DEFBUTTON1 : MB_OK;
  HWND owner = owner_ && IsWindow(owner_) && IsWindowVisible(owner_) ? owner_ : nullptr;
  ++nesting_;
  // The box shows its text as it is: message boxes take no mnemonics and no markup.
  const int answer = MessageBoxW(owner, windows::wideFromUtf8(request.text).c_str(), windows::wideFromUtf8(request.title).c_str(), type);
  --nesting_;
  if (request.buttons == MessageButtons::YesNo) return answer == IDYES ? MessageAnswer::Yes : MessageAnswer::No;
  return MessageAnswer::Ok;
}

void Win32Toolkit::showNotice(const MessageBoxRequest& request) {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = noticeProc;
    wc.hInstance = moduleInstance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kNoticeClass;
    return RegisterClassExW(&wc) != 0;
  }();
  if (!registered) return;

  HWND owner = owner_ && IsWindow(owner_) ? owner_ : nullptr;
  const int dpi = dpiOf(owner);
  auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
  auto* notice = new Notice{this};
  notice->icon = LoadIconW(nullptr, request.icon == MessageIcon::Critical ? IDI_ERROR : IDI_INFORMATION);
  const NONCLIENTMETRICSW metrics = nonClientMetrics(dpi);
  notice->font = CreateFontIndirectW(&metrics.lfMessageFont);

  // Measure the text at most 400 design pixels wide, as a message box wraps it.
  const std::wstring text = windows::wideFromUtf8(request.text);
  RECT textRect{0, 0, scaled(400), 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, notice->font);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &textRect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);

  const int margin = scaled(12), iconSize = scaled(32), buttonWidth = scaled(88), buttonHeight = scaled(26);
  const int textLeft = margin + iconSize + margin;
  const int textHeight = std::max<int>(textRect.bottom, iconSize);
  const int clientWidth = std::max<int>(textLeft + textRect.right + margin, buttonWidth + 2 * margin);
  const int clientHeight = margin + textHeight + margin + buttonHeight + margin;
  notice->iconRect = {margin, margin, margin + iconSize, margin + iconSize};

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  const SIZE outer = outerSize(clientWidth, clientHeight, style, exStyle, dpi);
  RECT ownerRect{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner) GetWindowRect(owner, &ownerRect);
  const int x = ownerRect.left + (ownerRect.right - ownerRect.left - outer.cx) / 2;
  const int y = ownerRect.top + (ownerRect.bottom - ownerRect.top - outer.cy) / 2;

  HWND hwnd = CreateWindowExW(exStyle, kNoticeClass, windows::wideFromUtf8(request.title).c_str(), style, x, y, outer.cx, outer.cy,
                              owner, nullptr, moduleInstance(), notice);
  if (!hwnd) {
    DeleteObject(notice->font);
    delete notice;
    return;
  }
  HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, textLeft,
                               margin + (textHeight - textRect.bottom) / 2, textRect.right, textRect.bottom, hwnd, nullptr,
                               moduleInstance(), nullptr);
  HWND ok = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                            (clientWidth - buttonWidth) / 2, clientHeight - margin - buttonHeight, buttonWidth,
                            buttonHeight, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), moduleInstance(), nullptr);
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(notice->font), FALSE);
  SendMessageW(ok, WM_SETFONT, reinterpret_cast<WPARAM>(notice->font), FALSE);
  notices_.push_back(hwnd);
  MessageBeep(boxIcon(request.icon));
  ShowWindow(hwnd, SW_SHOWNORMAL);
  SetFocus(ok);
}

LRESULT CALLBACK Win32Toolkit::noticeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  }
  auto* notice = reinterpret_cast<Notice*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (notice && notice->icon) {
        const RECT& r = notice->iconRect;
        DrawIconEx(dc, r.left, r.top, notice->icon, r.right - r.left, r.bottom - r.top, 0, nullptr, DI_NORMAL);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) DestroyWindow(hwnd);
      return 0;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_NCDESTROY:
      if (notice) {
        auto& list = notice->toolkit->notices_;
        list.erase(std::remove(list.begin(), list.end(), hwnd), list.end());
        DeleteObject(notice->font);
        delete notice;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Win32Toolkit::dispatch(MSG& msg) {
  // Keyboard input of the main window and of the notices goes through the dialog manager.
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (root && (root == owner_ || std::find(notices_.begin(), notices_.end(), root) != notices_.end())) {
    if (IsDialogMessageW(root, &msg)) return;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void Win32Toolkit::processPendingEvents(UserInput input) {
  // Deferred input stays in the queue, in its order: only repaints, posted messages (the timers
  // among them) and messages sent from elsewhere are taken.
  UINT flags = PM_REMOVE;
  if (input == UserInput::Defer) flags |= PM_QS_PAINT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE;
  ++nesting_;
  MSG msg;
  for (int n = 0; n < kMaxMessagesPerRound && PeekMessageW(&msg, nullptr, 0, 0, flags); ++n) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // it is the top-level loop's to end
      break;
    }
    dispatch(msg);
  }
  --nesting_;
}

int Win32Toolkit::run() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    dispatch(msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace tamrik::platform::win32
