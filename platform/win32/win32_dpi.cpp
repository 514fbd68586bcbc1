#include "platform/win32/win32_dpi.h"

namespace tamrik::platform::win32 {

namespace {

template <typename F>
F user32(const char* name) {
  static HMODULE module = GetModuleHandleW(L"user32.dll");
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

int screenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

void becomeDpiAware() {
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto set = user32<SetContext>("SetProcessDpiAwarenessContext")) {
    if (set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) || set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE)) return;
    if (GetLastError() == ERROR_ACCESS_DENIED) return;  // already set, by the manifest
  }
  using SetAware = BOOL(WINAPI*)();
  if (auto set = user32<SetAware>("SetProcessDPIAware")) set();
}

int dpiOf(HWND hwnd) {
  using GetDpi = UINT(WINAPI*)(HWND);
  if (auto get = user32<GetDpi>("GetDpiForWindow"); get && hwnd) {
    if (const UINT dpi = get(hwnd); dpi > 0) return static_cast<int>(dpi);
  }
  return screenDpi();
}

SIZE outerSize(int width, int height, DWORD style, DWORD exStyle, int dpi) {
  RECT r{0, 0, width, height};
  using Adjust = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  if (auto adjust = user32<Adjust>("AdjustWindowRectExForDpi")) {
    adjust(&r, style, FALSE, exStyle, static_cast<UINT>(dpi));
  } else {
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
  }
  return {r.right - r.left, r.bottom - r.top};
}

NONCLIENTMETRICSW nonClientMetrics(int dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  using Get = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT);
  if (auto get = user32<Get>("SystemParametersInfoForDpi")) {
    if (get(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, static_cast<UINT>(dpi))) return metrics;
  }
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  // Without the per-DPI call the metrics are the system's: scale the message font.
  metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, screenDpi());
  return metrics;
}

int systemMetric(int index, int dpi) {
  using Get = int(WINAPI*)(int, UINT);
  if (auto get = user32<Get>("GetSystemMetricsForDpi")) return get(index, static_cast<UINT>(dpi));
  return MulDiv(GetSystemMetrics(index), dpi, screenDpi());
}

}  // namespace tamrik::platform::win32
