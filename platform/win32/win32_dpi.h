#pragma once
#include <windows.h>

// Per-monitor DPI awareness. The calls came with Windows 10 (1607 and 1703); they are looked up at
// run time, so that the program still starts, unscaled, where they are missing.
namespace tamrik::platform::win32 {

// Makes the process per-monitor DPI aware (version 2 where there is one): Windows then no longer
// stretches the window's bitmap, and the window lays itself out again on WM_DPICHANGED. The
// program's manifest says the same; this call covers a start without it.
void becomeDpiAware();

// The dots per inch a window is shown at: 96 at 100 %, 192 at 200 %.
int dpiOf(HWND hwnd);

// The outer size of a window whose client area is width x height at dpi.
SIZE outerSize(int width, int height, DWORD style, DWORD exStyle, int dpi);

// The fonts and sizes of message boxes and captions at dpi.
NONCLIENTMETRICSW nonClientMetrics(int dpi);

int systemMetric(int index, int dpi);

}  // namespace tamrik::platform::win32
