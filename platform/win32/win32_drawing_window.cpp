#include "platform/win32/win32_drawing_window.h"
#include "platform/win32/win32_module.h"

#include <algorithm>

#include "platform/win32/win32_dpi.h"
#include "platform/windows/windows_text.h"

namespace tamrik::platform::win32 {

namespace {

constexpr wchar_t kDrawingClass[] = L"TamrikDrawing";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = 0;

void registerClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = moduleInstance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = kDrawingClass;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
}

}  // namespace

Win32DrawingWindow::Win32DrawingWindow(const std::string& caption, int width, int height, Painter painter)
    : painter_(std::move(painter)) {
  registerClass();
  hwnd_ = CreateWindowExW(kExStyle, kDrawingClass, windows::wideFromUtf8(caption).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                          width, height, nullptr, nullptr, moduleInstance(), nullptr);
  if (!hwnd_) return;
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32DrawingWindow::windowProc));
  dpi_ = dpiOf(hwnd_);
  const SIZE outer = outerSize(MulDiv(width, dpi_, 96), MulDiv(height, dpi_, 96), kStyle, kExStyle, dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Win32DrawingWindow::~Win32DrawingWindow() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  for (auto& [key, f] : fonts_) DeleteObject(f);
}

void Win32DrawingWindow::present() {
  if (!hwnd_) return;
  if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void Win32DrawingWindow::refresh() {
  if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
}

LRESULT CALLBACK Win32DrawingWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32DrawingWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

LRESULT Win32DrawingWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      paint();
      return 0;
    case WM_CLOSE:
      ShowWindow(hwnd_, SW_HIDE);
      return 0;
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wParam);
      const auto* r = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

HFONT Win32DrawingWindow::font(int pixels, bool bold) {
  const auto key = std::make_pair(pixels, bold);
  if (auto it = fonts_.find(key); it != fonts_.end()) return it->second;
  HFONT f = CreateFontW(-std::max(1, pixels), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
  fonts_[key] = f;
  return f;
}

void Win32DrawingWindow::paint() {
  PAINTSTRUCT ps;
  HDC target = BeginPaint(hwnd_, &ps);
  RECT client;
  GetClientRect(hwnd_, &client);
  const int width = client.right, height = client.bottom;
  // Drawn into a bitmap first and copied at the end, so nothing flickers.
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, std::max(1, width), std::max(1, height));
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  const ui::Drawing drawing = painter_(width, height, dpi_ / 96.0);
  HBRUSH background = CreateSolidBrush(drawing.background);
  FillRect(dc, &client, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  HGDIOBJ oldFont = SelectObject(dc, font(12, false));
  for (const ui::DrawOp& op : drawing.ops) {
    HPEN pen = CreatePen(PS_SOLID, std::max(1, op.penWidth), op.color);
    HGDIOBJ oldPen = SelectObject(dc, op.kind == ui::DrawOp::Kind::Text || (op.kind != ui::DrawOp::Kind::Line && !op.outlined)
                                          ? GetStockObject(NULL_PEN)
                                          : pen);
    switch (op.kind) {
      case ui::DrawOp::Kind::Line:
        MoveToEx(dc, op.x, op.y, nullptr);
        LineTo(dc, op.x2, op.y2);
        SetPixel(dc, op.x2, op.y2, op.color);  // LineTo leaves the last point out
        break;
      case ui::DrawOp::Kind::Rect:
      case ui::DrawOp::Kind::Ellipse: {
        HBRUSH fill = op.filled ? CreateSolidBrush(op.fill) : nullptr;
        HGDIOBJ oldBrush = SelectObject(dc, fill ? static_cast<HGDIOBJ>(fill) : GetStockObject(NULL_BRUSH));
        // Without a pen GDI leaves the right and bottom edge out.
        const int grow = op.outlined ? 0 : 1;
        if (op.kind == ui::DrawOp::Kind::Rect) Rectangle(dc, op.x, op.y, op.x + op.w + grow, op.y + op.h + grow);
        else Ellipse(dc, op.x, op.y, op.x + op.w + grow, op.y + op.h + grow);
        SelectObject(dc, oldBrush);
        if (fill) DeleteObject(fill);
        break;
      }
      case ui::DrawOp::Kind::Text: {
        SelectObject(dc, font(op.textPixels, op.bold));
        SetTextColor(dc, op.color);
        RECT box{op.x, op.y, op.x + op.w, op.y + op.h};
        const UINT align = op.align == ui::DrawOp::Align::Center  ? DT_CENTER
                           : op.align == ui::DrawOp::Align::Right ? DT_RIGHT
                                                                  : DT_LEFT;
        const std::wstring text = windows::wideFromUtf8(op.text);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
                  align | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
        break;
      }
    }
    SelectObject(dc, oldPen);
    DeleteObject(pen);
  }
  BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  EndPaint(hwnd_, &ps);
}

}  // namespace tamrik::platform::win32
