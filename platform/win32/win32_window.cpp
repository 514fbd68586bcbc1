#include "platform/win32/win32_window.h"
#include "platform/win32/win32_module.h"

#include <commctrl.h>
#include <initguid.h>
#include <oleacc.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "platform/win32/win32_dpi.h"
#include "platform/windows/windows_text.h"

namespace tamrik::platform::win32 {

using ui::Control;
using ui::ControlKind;

namespace {

constexpr wchar_t kWindowClass[] = L"TamrikWindow";
constexpr wchar_t kContainerClass[] = L"TamrikContainer";
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kSubclassId = 1;
// Control IDs start above the dialog manager's IDOK and IDCANCEL.
constexpr int kFirstControlId = 1000;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
// A frame's caption sits this far in from its left edge, with this much room on either side.
constexpr int kCaptionIndent = 6;
constexpr int kCaptionGap = 2;
// The drop-down list of a combo box shows this many entries before it scrolls.
constexpr int kVisibleListEntries = 8;
// Tooltips wrap at this width, in design pixels.
constexpr int kTooltipWidth = 400;

RECT toRect(const PixelRect& r) { return {r.left, r.top, r.right(), r.bottom()}; }

COLORREF systemColor(ui::SystemColor c) {
  switch (c) {
    case ui::SystemColor::WindowBackground: return GetSysColor(COLOR_WINDOW);
    case ui::SystemColor::WindowText: return GetSysColor(COLOR_WINDOWTEXT);
    case ui::SystemColor::ApplicationWorkspace: return GetSysColor(COLOR_APPWORKSPACE);
    case ui::SystemColor::None: break;
  }
  return GetSysColor(COLOR_BTNFACE);
}

// The model writes colours 0xBBGGRR, which is a COLORREF.
COLORREF fromModel(std::uint32_t bgr) { return static_cast<COLORREF>(bgr & 0xFFFFFFu); }

}  // namespace

bool Win32Window::registerClasses() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = moduleInstance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpfnWndProc = &Win32Window::windowProc;
    wc.lpszClassName = kWindowClass;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    const bool window = RegisterClassExW(&wc) != 0;
    wc.lpszClassName = kContainerClass;
    wc.hIcon = nullptr;
    wc.style = CS_DBLCLKS;  // a picture box's double click
    return window && RegisterClassExW(&wc) != 0;
  }();
  return registered;
}

namespace {

bool faceInstalled(const wchar_t* face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(
      dc, &lf,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
        *reinterpret_cast<bool*>(found) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

// Draws into a bitmap first and copies it to the screen at the end, so nothing flickers.
class BufferedDc {
 public:
  BufferedDc(HDC target, const RECT& area) : target_(target), area_(area) {
    dc_ = CreateCompatibleDC(target);
    bitmap_ = CreateCompatibleBitmap(target, std::max<LONG>(1, area.right - area.left), std::max<LONG>(1, area.bottom - area.top));
    old_ = SelectObject(dc_, bitmap_);
    SetViewportOrgEx(dc_, -area.left, -area.top, nullptr);
  }
  ~BufferedDc() {
    SetViewportOrgEx(dc_, 0, 0, nullptr);
    BitBlt(target_, area_.left, area_.top, area_.right - area_.left, area_.bottom - area_.top, dc_, 0, 0, SRCCOPY);
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  BufferedDc(const BufferedDc&) = delete;
  BufferedDc& operator=(const BufferedDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC target_;
  RECT area_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

void fill(HDC dc, const RECT& r, COLORREF color) {
  const COLORREF old = SetBkColor(dc, color);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
  SetBkColor(dc, old);
}

// A rectangle's outline, width pixels wide, inside it.
void outline(HDC dc, const RECT& r, COLORREF color, int width) {
  fill(dc, {r.left, r.top, r.right, std::min(r.bottom, r.top + width)}, color);
  fill(dc, {r.left, std::max(r.top, r.bottom - width), r.right, r.bottom}, color);
  fill(dc, {r.left, r.top, std::min(r.right, r.left + width), r.bottom}, color);
  fill(dc, {std::max(r.left, r.right - width), r.top, r.right, r.bottom}, color);
}

}  // namespace

std::wstring windowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

Win32Window::Win32Window(ui::WindowModel& model, ui::WindowEvents& events) : model_(model), events_(events) {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&common);
  registerClasses();
  // Screen readers learn the controls' names through Windows' annotation service.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  comStarted_ = SUCCEEDED(com);
  if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                              reinterpret_cast<void**>(&accProps_)))) {
    accProps_ = nullptr;
  }
  defaultFace_ = faceInstalled(L"Microsoft Sans Serif") ? "Microsoft Sans Serif" : "MS Sans Serif";

  hwnd_ = CreateWindowExW(kWindowExStyle, kWindowClass, windows::wideFromUtf8(model_.window().caption).c_str(), kWindowStyle,
                          CW_USEDEFAULT, CW_USEDEFAULT, 400, 400, nullptr, nullptr, moduleInstance(), this);
  scale_.dpi = dpiOf(hwnd_);
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, moduleInstance(),
                             nullptr);
  wrapTooltips();

  for (const auto& name : model_.order()) create(model_.at(name));
  stack("");
  for (const auto& name : model_.order()) {
    if (const Control& c = model_.at(name); c.kind == ControlKind::Frame || c.kind == ControlKind::PictureBox) stack(name);
  }
  built_ = true;
  for (const auto& name : model_.order()) sync(name);
  syncWindow();
  model_.setObserver([this](const std::string& name) {
    if (name.empty()) syncWindow();
    else sync(name);
  });
}

Win32Window::~Win32Window() {
  model_.setObserver({});
  destroying_ = true;
  if (accProps_) {
    const MSAAPROPID props[] = {PROPID_ACC_NAME, PROPID_ACC_DESCRIPTION, PROPID_ACC_ROLE};
    for (const auto& [hwnd, name] : names_) accProps_->ClearHwndProps(hwnd, OBJID_CLIENT, CHILDID_SELF, props, 3);
    accProps_->Release();
  }
  if (timerRunning_) KillTimer(hwnd_, kPollTimer);
  DestroyWindow(hwnd_);
  if (theme_) CloseThemeData(static_cast<HTHEME>(theme_));
  for (auto& [key, f] : fonts_) DeleteObject(f);
  for (auto& [color, b] : brushes_) DeleteObject(b);
  if (comStarted_) CoUninitialize();
}

HWND Win32Window::handleFor(const std::string& name) const {
  auto it = items_.find(name);
  return it == items_.end() ? nullptr : it->second.hwnd;
}

const std::string* Win32Window::nameOf(HWND hwnd) const {
  auto it = names_.find(hwnd);
  return it == names_.end() ? nullptr : &it->second;
}

HFONT Win32Window::fontFor(const std::string& name) { return font(model_.at(name).font); }

HFONT Win32Window::font(const ui::Font& f) {
  // The design's default font is MS Sans Serif, a bitmap font of a few sizes; its outline twin
  // Microsoft Sans Serif scales to every DPI.
  std::string face = f.family.empty() ? std::string("MS Sans Serif") : f.family;
  if (face == "MS Sans Serif") face = defaultFace_;
  const double points = f.pointSize > 0 ? f.pointSize : 9.75;
  const FontKey key{face, static_cast<int>(std::lround(points * 100)), f.cyrillic, scale_.dpi};
  if (auto it = fonts_.find(key); it != fonts_.end()) return it->second;
  LOGFONTW lf{};
  lf.lfHeight = -static_cast<LONG>(std::lround(points * scale_.dpi / 72.0));
  lf.lfWeight = FW_NORMAL;
  lf.lfCharSet = f.cyrillic ? RUSSIAN_CHARSET : DEFAULT_CHARSET;
  lf.lfQuality = DEFAULT_QUALITY;
  lstrcpynW(lf.lfFaceName, windows::wideFromUtf8(face).c_str(), LF_FACESIZE);
  HFONT created = CreateFontIndirectW(&lf);
  // A bitmap font (the chart's Small Fonts) comes in a few sizes only: where its nearest size
  // falls well short of the one asked for, as at 200 %, an outline font of that size stands in.
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, created);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  if (!(metrics.tmPitchAndFamily & (TMPF_VECTOR | TMPF_TRUETYPE)) &&
      (metrics.tmHeight - metrics.tmInternalLeading) * 5 < -lf.lfHeight * 4) {
    DeleteObject(created);
    lstrcpynW(lf.lfFaceName, L"Arial", LF_FACESIZE);
    created = CreateFontIndirectW(&lf);
  }
  fonts_[key] = created;
  return created;
}

HBRUSH Win32Window::brush(COLORREF color) {
  auto [it, added] = brushes_.try_emplace(color, nullptr);
  if (added) it->second = CreateSolidBrush(color);
  return it->second;
}

COLORREF Win32Window::backgroundOf(const std::string& container) const {
  if (container.empty()) return GetSysColor(COLOR_BTNFACE);
  const Control& c = model_.at(container);
  if (c.backColor) return fromModel(*c.backColor);
  return systemColor(c.systemBackColor);
}

COLORREF Win32Window::textColorOf(const Control& c) const {
  if (c.foreColor) return fromModel(*c.foreColor);
  if (c.systemForeColor == ui::SystemColor::WindowText) return GetSysColor(COLOR_WINDOWTEXT);
  return GetSysColor(effectivelyEnabled(model_, c.name) ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
}

HWND Win32Window::containerWindow(const std::string& container) {
  if (container.empty()) return hwnd_;
  if (HWND w = handleFor(container)) return w;
  create(model_.at(container));
  return handleFor(container);
}

void Win32Window::create(const Control& c) {
  if (items_.count(c.name)) return;
  Item& item = items_[c.name];
  if (!isWindowed(model_, c)) return;  // drawn by its container, or the timer
  HWND parent = containerWindow(c.container);
  const std::wstring text = windows::wideFromUtf8(c.text);
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD exStyle = 0;
  const wchar_t* windowClass = L"STATIC";
  std::wstring initial;
  switch (c.kind) {
    case ControlKind::Frame:
    case ControlKind::PictureBox:
      windowClass = kContainerClass;
      style |= WS_CLIPCHILDREN;
      exStyle |= WS_EX_CONTROLPARENT;
      break;
    case ControlKind::Label:
      // Drawn by the window itself, as plain text; SS_NOPREFIX keeps screen readers from taking
      // an ampersand in a device string for a mnemonic.
      style |= SS_OWNERDRAW | SS_NOPREFIX | SS_NOTIFY;
      break;
    case ControlKind::TextBox:
      windowClass = L"EDIT";
      style |= ES_AUTOHSCROLL | ES_LEFT;
      exStyle |= WS_EX_CLIENTEDGE;
      break;
    case ControlKind::ComboBox:
      windowClass = L"COMBOBOX";
      style |= CBS_DROPDOWNLIST | WS_VSCROLL;
      break;
    case ControlKind::CheckBox:
      windowClass = L"BUTTON";
      style |= BS_AUTOCHECKBOX;
      break;
    case ControlKind::Button:
      windowClass = L"BUTTON";
      style |= BS_PUSHBUTTON;
      break;
    default:
      return;
  }
  const int id = kFirstControlId + static_cast<int>(names_.size());
  const bool container = windowClass == kContainerClass;
  HWND w = CreateWindowExW(exStyle, windowClass, L"", style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), moduleInstance(), container ? this : nullptr);
  if (!w) return;
  item.hwnd = w;
  names_[w] = c.name;
  if (!container) SetWindowSubclass(w, &Win32Window::controlProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font(c.font)), FALSE);
  if (built_) sync(c.name);
}

void Win32Window::sync(const std::string& name) {
  if (destroying_ || !model_.has(name)) return;
  const Control& c = model_.at(name);
  if (c.kind == ControlKind::Timer) {
    syncTimer(c);
    return;
  }
  auto it = items_.find(name);
  if (it == items_.end()) {
    create(c);
    it = items_.find(name);
  }
  Item& item = it->second;
  HWND w = item.hwnd;
  if (!w) {
    invalidateDrawn(c, item);
    return;
  }
  syncing_ = true;
  syncGeometry(c, w);
  syncContent(c, w);
  EnableWindow(w, effectivelyEnabled(model_, name));
  syncTooltip(c, item);
  syncAccessibility(c, item);
  const bool shown = (GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != c.visible) ShowWindow(w, c.visible ? SW_SHOWNA : SW_HIDE);
  syncing_ = false;
  if (c.kind == ControlKind::Frame || c.kind == ControlKind::PictureBox) syncDescendants(name);
  if (built_ && item.stackedZ != c.zOrder) stack(c.container);
  if (built_ && (takesFocus(c.kind) || c.kind == ControlKind::Frame || c.kind == ControlKind::PictureBox)) {
    updateFocusReach();
  }
  if (model_.focus() == name && GetFocus() != w && IsWindowVisible(hwnd_)) SetFocus(w);
}

void Win32Window::syncGeometry(const Control& c, HWND w) {
  const PixelRect r = placeInContainer(model_, c, scale_);
  if (c.kind == ControlKind::ComboBox) {
    // The window's height includes the dropped list; the closed box gets the model's height.
    const int entries = std::clamp(static_cast<int>(c.items.size()), 1, kVisibleListEntries);
    const int entryHeight = static_cast<int>(SendMessageW(w, CB_GETITEMHEIGHT, 0, 0));
    SetWindowPos(w, nullptr, r.left, r.top, r.width, r.height + entries * entryHeight + 2 * scale_.lineWidth() + 2,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    fitComboHeight(w, r.height);
    return;
  }
  RECT now;
  GetWindowRect(w, &now);
  MapWindowPoints(HWND_DESKTOP, GetParent(w), reinterpret_cast<POINT*>(&now), 2);
  if (now.left != r.left || now.top != r.top || now.right - now.left != r.width || now.bottom - now.top != r.height) {
    SetWindowPos(w, nullptr, r.left, r.top, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void Win32Window::fitComboHeight(HWND combo, int height) {
  // The selection field is the item height plus the box's edges, whose width depends on the style;
  // what CB_GETITEMHEIGHT reports is not always what CB_SETITEMHEIGHT took. Set a height, see what
  // the box makes of it and correct by the difference.
  auto boxHeight = [combo] {
    RECT r;
    GetWindowRect(combo, &r);
    return static_cast<int>(r.bottom - r.top);
  };
  if (boxHeight() == height) return;
  const int probe = std::max(1, height - 6);
  SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), probe);
  const int difference = height - boxHeight();
  if (difference != 0) SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), std::max(1, probe + difference));
}

void Win32Window::syncContent(const Control& c, HWND w) {
  switch (c.kind) {
    case ControlKind::Frame:
    case ControlKind::Label:
    case ControlKind::PictureBox: {
      // The window text is what screen readers read; the drawing shows it.
      const std::wstring text = windows::wideFromUtf8(c.text);
      if (windowText(w) != text) SetWindowTextW(w, text.c_str());
      InvalidateRect(w, nullptr, FALSE);
      break;
    }
    case ControlKind::TextBox: {
      if (userEdit_ == c.name) break;
      const std::wstring text = windows::wideFromUtf8(c.text);
      if (windowText(w) != text) SetWindowTextW(w, text.c_str());
      DWORD start = 0, end = 0;
      SendMessageW(w, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
      if (start != end || static_cast<int>(end) != c.selStart) SendMessageW(w, EM_SETSEL, c.selStart, c.selStart);
      break;
    }
    case ControlKind::ComboBox: {
      const int count = static_cast<int>(SendMessageW(w, CB_GETCOUNT, 0, 0));
      bool same = count == static_cast<int>(c.items.size());
      for (int i = 0; same && i < count; ++i) {
        std::wstring entry(static_cast<std::size_t>(SendMessageW(w, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        entry.resize(static_cast<std::size_t>(SendMessageW(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry.data()))));
        same = entry == windows::wideFromUtf8(c.items[static_cast<std::size_t>(i)]);
      }
      if (!same) {
        SendMessageW(w, CB_RESETCONTENT, 0, 0);
        for (const auto& entry : c.items) SendMessageW(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(windows::wideFromUtf8(entry).c_str()));
        syncGeometry(c, w);  // the list's height follows the number of entries
      }
      if (SendMessageW(w, CB_GETCURSEL, 0, 0) != c.selected) SendMessageW(w, CB_SETCURSEL, c.selected, 0);
      break;
    }
    case ControlKind::CheckBox:
    case ControlKind::Button: {
      const std::wstring caption = windows::wideFromUtf8(literalCaption(c.text));
      if (windowText(w) != caption) SetWindowTextW(w, caption.c_str());
      if (c.kind == ControlKind::CheckBox) SendMessageW(w, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    }
    default:
      break;
  }
}

void Win32Window::syncDescendants(const std::string& container) {
  // A frame's enabled state shows on everything in it.
  for (const auto& name : model_.order()) {
    const Control& c = model_.at(name);
    if (c.container != container) continue;
    if (HWND w = handleFor(name)) {
      EnableWindow(w, effectivelyEnabled(model_, name));
      InvalidateRect(w, nullptr, FALSE);
    }
    if (c.kind == ControlKind::Frame || c.kind == ControlKind::PictureBox) syncDescendants(name);
  }
}

void Win32Window::syncTimer(const Control& c) {
  const int interval = std::max(1, c.interval);
  if (c.enabled && (!timerRunning_ || interval != timerInterval_)) {
    SetTimer(hwnd_, kPollTimer, static_cast<UINT>(interval), nullptr);
    timerRunning_ = true;
    timerInterval_ = interval;
  } else if (!c.enabled && timerRunning_) {
    KillTimer(hwnd_, kPollTimer);
    timerRunning_ = false;
  }
}

void Win32Window::wrapTooltips() {
  // A long tooltip (the status lights' tell a night's story) breaks into lines of a readable width
  // instead of running across the screen.
  if (tooltip_) SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, scale_.fromDesignPixels(kTooltipWidth));
}

void Win32Window::syncTooltip(const Control& c, Item& item) {
  const std::wstring tip = windows::wideFromUtf8(c.tooltip);
  if (tip == item.tooltip || !tooltip_) return;
  TTTOOLINFOW info{};
  info.cbSize = TTTOOLINFOW_V2_SIZE;
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = GetParent(item.hwnd);
  info.uId = reinterpret_cast<UINT_PTR>(item.hwnd);
  info.lpszText = const_cast<wchar_t*>(tip.c_str());
  if (item.tooltip.empty()) SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  else if (tip.empty()) SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  else SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
  item.tooltip = tip;
}

void Win32Window::syncAccessibility(const Control& c, Item& item) {
  if (!accProps_) return;
  const std::wstring announced = windows::wideFromUtf8(ui::announcedName(c)) + L'\n' + windows::wideFromUtf8(c.tooltip);
  if (announced == item.announced) return;
  item.announced = announced;
  HWND w = item.hwnd;
  // A text box is named after the label beside it, a label that shows a value with its value; the
  // tooltip is the description. Frames are announced as groups.
  if (FAILED(accProps_->SetHwndPropStr(w, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME,
                                       windows::wideFromUtf8(ui::announcedName(c)).c_str()))) {
    // No annotations here (Wine has the service but not the calls): screen readers get the
    // window texts alone.
    accProps_->Release();
    accProps_ = nullptr;
    return;
  }
  if (!c.tooltip.empty()) {
    accProps_->SetHwndPropStr(w, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_DESCRIPTION, windows::wideFromUtf8(c.tooltip).c_str());
  }
  if (c.kind == ControlKind::Frame) {
    VARIANT role;
    VariantInit(&role);
    role.vt = VT_I4;
    role.lVal = ROLE_SYSTEM_GROUPING;
    accProps_->SetHwndProp(w, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_ROLE, role);
  }
}

void Win32Window::invalidateDrawn(const Control& c, Item& item) {
  if (c.kind == ControlKind::Timer) return;
  HWND container = handleFor(c.container);
  if (c.container.empty()) container = hwnd_;
  if (!container) return;
  const PixelRect now = placeInContainer(model_, c, scale_);
  const bool visible = c.visible;
  // The old place and the new; what lies above them in the container repaints too.
  if (item.drawnVisible) {
    const RECT old = toRect(item.drawn);
    RedrawWindow(container, &old, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  }
  if (visible) {
    const RECT r = toRect(now);
    RedrawWindow(container, &r, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  }
  item.drawn = now;
  item.drawnVisible = visible;
}

void Win32Window::syncWindow() {
  if (destroying_) return;
  const std::wstring caption = windows::wideFromUtf8(model_.window().caption);
  if (windowText(hwnd_) != caption) SetWindowTextW(hwnd_, caption.c_str());
  // The caption and borders as the window has them now, at the DPI it is shown at.
  const PixelRect client = clientArea(model_, scale_);
  RECT outer, inner;
  GetWindowRect(hwnd_, &outer);
  GetClientRect(hwnd_, &inner);
  if (inner.right != client.width || inner.bottom != client.height) {
    const int width = client.width + (outer.right - outer.left) - inner.right;
    const int height = client.height + (outer.bottom - outer.top) - inner.bottom;
    SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  updateFocusReach();
  if (model_.shown() && !closing_ && !IsWindowVisible(hwnd_)) {
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
  }
}

void Win32Window::relayout() {
  // At another DPI every position, size and font changes; the model stays as it is.
  std::map<FontKey, HFONT> old;
  old.swap(fonts_);
  for (const auto& name : model_.order()) {
    const Control& c = model_.at(name);
    Item& item = items_[name];
    if (item.hwnd) {
      SendMessageW(item.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font(c.font)), FALSE);
      syncGeometry(c, item.hwnd);
    } else {
      item.drawn = placeInContainer(model_, c, scale_);
    }
  }
  for (auto& [key, f] : old) DeleteObject(f);
  if (theme_) {
    CloseThemeData(static_cast<HTHEME>(theme_));
    theme_ = nullptr;
    themeOpened_ = false;
  }
  syncWindow();
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Win32Window::stack(const std::string& container) {
  HWND after = HWND_TOP;
  for (const auto& name : stackingOrder(model_, container)) {
    Item& item = items_[name];
    if (!item.hwnd) continue;
    SetWindowPos(item.hwnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    item.stackedZ = model_.at(name).zOrder;
    after = item.hwnd;
  }
}

void Win32Window::updateFocusReach() {
  // A control out of sight (below the window, below its frame's visible part, or right of the
  // narrow window) is no tab stop: neither Tab nor the window's first focus lands where the user
  // cannot see what is typed.
  for (const auto& name : model_.order()) {
    const Control& c = model_.at(name);
    HWND w = handleFor(name);
    if (!w || !takesFocus(c.kind)) continue;
    const bool stop = c.tabIndex >= 0 && inSight(model_, name, scale_);
    const LONG style = GetWindowLongW(w, GWL_STYLE);
    if (stop != ((style & WS_TABSTOP) != 0)) SetWindowLongW(w, GWL_STYLE, stop ? style | WS_TABSTOP : style & ~WS_TABSTOP);
  }
  HWND focused = GetFocus();
  if (!focused || focused == hwnd_ || !IsChild(hwnd_, focused)) return;
  if (GetParent(focused) && nameOf(GetParent(focused)) == nullptr && GetParent(focused) != hwnd_) {
    focused = GetParent(focused);  // the edit inside a combo box
  }
  const std::string* name = nameOf(focused);
  if (!name || (GetWindowLongW(focused, GWL_STYLE) & WS_TABSTOP)) return;
  HWND next = GetNextDlgTabItem(hwnd_, focused, FALSE);
  if (next && next != focused && (GetWindowLongW(next, GWL_STYLE) & WS_TABSTOP)) SetFocus(next);
  else SetFocus(hwnd_);
}

LRESULT CALLBACK Win32Window::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* created = reinterpret_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    if (created && !created->hwnd_) created->hwnd_ = hwnd;  // the main window comes first
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->handle(hwnd, message, wParam, lParam);
}

LRESULT Win32Window::handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool main = hwnd == hwnd_;
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers everything
    case WM_PAINT:
      paint(hwnd);
      return 0;
    case WM_LBUTTONDBLCLK:
      if (const std::string* name = main ? nullptr : nameOf(hwnd); name && !destroying_) {
        const std::string control = *name;
        events_.doubleClick(control);
        return 0;
      }
      break;
    case WM_COMMAND:
      if (lParam && !destroying_) onCommand(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlType != ODT_STATIC) break;
      drawLabel(*item);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // Check boxes and buttons stand on their container's colour.
      const std::string* container = nameOf(hwnd);
      const COLORREF back = backgroundOf(main || !container ? std::string() : *container);
      const std::string* control = nameOf(reinterpret_cast<HWND>(lParam));
      if (!control || model_.at(*control).kind == ControlKind::TextBox) break;
      SetBkColor(reinterpret_cast<HDC>(wParam), back);
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(brush(back));
    }
    default:
      break;
  }
  if (!main) return DefWindowProcW(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_TIMER:
      if (wParam == kPollTimer && !closing_) events_.timerTick();
      return 0;
    case WM_CLOSE:
      if (!closing_) {
        closing_ = true;
        events_.unload();
      }
      ShowWindow(hwnd_, SW_HIDE);
      if (timerRunning_) KillTimer(hwnd_, kPollTimer);
      timerRunning_ = false;
      if (closed_) closed_();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focused = GetFocus();
        if (focused && IsChild(hwnd_, focused)) lastFocus_ = focused;
      }
      break;
    case WM_SETFOCUS: {
      // The focus goes back to where it was, or to the first tab stop.
      HWND target = lastFocus_ && IsWindow(lastFocus_) && IsWindowVisible(lastFocus_) && IsWindowEnabled(lastFocus_)
                        ? lastFocus_
                        : GetNextDlgTabItem(hwnd_, nullptr, FALSE);
      if (target && target != hwnd_ && (GetWindowLongW(target, GWL_STYLE) & WS_TABSTOP)) SetFocus(target);
      return 0;
    }
    case WM_GETDPISCALEDSIZE: {
      const PixelRect client = clientArea(model_, Scale{static_cast<int>(wParam)});
      *reinterpret_cast<SIZE*>(lParam) =
          outerSize(client.width, client.height, kWindowStyle, kWindowExStyle, static_cast<int>(wParam));
      return TRUE;
    }
    case WM_DPICHANGED: {
      const int dpi = LOWORD(wParam);
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      if (dpi > 0 && dpi != scale_.dpi) {
        scale_.dpi = dpi;
        wrapTooltips();
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        relayout();
      }
      return 0;
    }
    case WM_THEMECHANGED:
    case WM_SYSCOLORCHANGE:
      if (theme_) CloseThemeData(static_cast<HTHEME>(theme_));
      theme_ = nullptr;
      themeOpened_ = false;
      RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK Win32Window::controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR self) {
  return reinterpret_cast<Win32Window*>(self)->handleControl(hwnd, message, wParam, lParam);
}

LRESULT Win32Window::handleControl(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, &Win32Window::controlProc, kSubclassId);
    return DefSubclassProc(hwnd, message, wParam, lParam);
  }
  const std::string* name = nameOf(hwnd);
  if (!name || destroying_) return DefSubclassProc(hwnd, message, wParam, lParam);
  const ControlKind kind = model_.at(*name).kind;
  if (kind == ControlKind::TextBox) {
    switch (message) {
      case WM_GETDLGCODE: {
        // Enter belongs to the box (it requests the frequency), not to the dialog manager.
        LRESULT code = DefSubclassProc(hwnd, message, wParam, lParam);
        const auto* msg = reinterpret_cast<const MSG*>(lParam);
        if (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) code |= DLGC_WANTMESSAGE;
        return code;
      }
      case WM_CHAR:
        if (wParam == VK_RETURN) {
          const std::string control = *name;
          events_.keyPress(control, 13);
          return 0;
        }
        [[fallthrough]];
      case WM_KEYDOWN:
      case WM_KEYUP:
      case WM_LBUTTONDOWN:
      case WM_LBUTTONUP:
      case WM_MOUSEMOVE: {
        const std::string control = *name;
        const LRESULT r = DefSubclassProc(hwnd, message, wParam, lParam);
        trackCaret(control, hwnd);
        return r;
      }
      default:
        break;
    }
  } else if (kind == ControlKind::Label) {
    // A label is clicked when the left button goes up over it after going down on it.
    switch (message) {
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:
        pressedLabel_ = hwnd;
        SetCapture(hwnd);
        return 0;
      case WM_LBUTTONUP:
        if (pressedLabel_ == hwnd) {
          pressedLabel_ = nullptr;
          ReleaseCapture();
          RECT r;
          GetClientRect(hwnd, &r);
          const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
          if (PtInRect(&r, p)) {
            const std::string control = *name;
            events_.click(control);
          }
        }
        return 0;
      case WM_CAPTURECHANGED:
        if (pressedLabel_ == hwnd) pressedLabel_ = nullptr;
        break;
      default:
        break;
    }
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

void Win32Window::onCommand(HWND control, int code) {
  const std::string* found = nameOf(control);
  if (!found) return;
  const std::string name = *found;
  const Control& c = model_.at(name);
  switch (c.kind) {
    case ControlKind::TextBox:
      if (code == EN_CHANGE && !syncing_) onEdited(name, control);
      if (code == EN_SETFOCUS) trackCaret(name, control);
      break;
    case ControlKind::ComboBox:
      if (syncing_) break;
      if (code == CBN_SELENDOK || (code == CBN_SELCHANGE && !SendMessageW(control, CB_GETDROPPEDSTATE, 0, 0))) {
        onComboPicked(name, control);
      }
      break;
    case ControlKind::CheckBox:
      if (code == BN_CLICKED) {
        model_.setChecked(name, SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED);
        events_.click(name);
      }
      break;
    case ControlKind::Button:
      if (code == BN_CLICKED) events_.click(name);
      break;
    default:
      break;
  }
}

void Win32Window::onEdited(const std::string& name, HWND edit) {
  // The box already shows what the user typed: store it without writing it back.
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  userEdit_ = name;
  model_.setSelStart(name, static_cast<int>(end));
  model_.setText(name, windows::utf8FromWide(windowText(edit)));
  model_.setSelStart(name, static_cast<int>(end));
  userEdit_.clear();
  events_.change(name);
}

void Win32Window::trackCaret(const std::string& name, HWND edit) {
  if (syncing_ || !model_.has(name)) return;
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  userEdit_ = name;
  model_.setSelStart(name, static_cast<int>(end));
  userEdit_.clear();
}

void Win32Window::onComboPicked(const std::string& name, HWND combo) {
  const int index = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  if (index < 0) return;
  // One pick may be told twice (the list's end and the selection's change): report it once.
  const std::tuple<HWND, int, LONG> pick{combo, index, GetMessageTime()};
  if (pick == lastPick_) return;
  lastPick_ = pick;
  model_.setSelected(name, index);
  events_.click(name);
}

void Win32Window::paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC target = BeginPaint(hwnd, &ps);
  if (!IsRectEmpty(&ps.rcPaint)) {
    const std::string* name = nameOf(hwnd);
    BufferedDc buffer(target, ps.rcPaint);
    paintSurface(hwnd == hwnd_ || !name ? std::string() : *name, buffer.get(), ps.rcPaint, INT_MIN, INT_MAX);
  }
  EndPaint(hwnd, &ps);
}

void Win32Window::paintSurface(const std::string& container, HDC dc, const RECT& area, int fromZ, int belowZ) {
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
  const Control* frame = container.empty() ? nullptr : &model_.at(container);
  RECT box{0, 0, 0, 0};
  if (frame) {
    if (HWND w = handleFor(container)) GetClientRect(w, &box);
  }
  if (fromZ == INT_MIN) {
    fill(dc, area, backgroundOf(container));
    if (frame && frame->kind == ControlKind::Frame) drawFrame(*frame, dc, box);
    if (frame && frame->kind == ControlKind::PictureBox) drawPictureBorder(*frame, dc, box);
  }
  if (frame && frame->kind == ControlKind::Frame) {
    // What the frame draws of its controls stays inside its border, as the design's toolkit keeps
    // it: a label wider than the frame is cut off there.
    const int border = scale_.fromDesignPixels(2);
    IntersectClipRect(dc, box.left + border, box.top, box.right - border, box.bottom - border);
  }
  std::vector<const Control*> drawn;
  for (const auto& name : model_.order()) {
    const Control& c = model_.at(name);
    if (c.container != container || !c.visible || isWindowed(model_, c) || c.kind == ControlKind::Timer) continue;
    if (c.zOrder < fromZ || c.zOrder >= belowZ) continue;
    drawn.push_back(&c);
  }
  std::sort(drawn.begin(), drawn.end(), [](const Control* a, const Control* b) { return a->zOrder < b->zOrder; });
  for (const Control* c : drawn) drawItem(*c, dc);
  RestoreDC(dc, saved);
}

void Win32Window::drawFrame(const Control& c, HDC dc, const RECT& client) {
  HGDIOBJ old = SelectObject(dc, font(c.font));
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  RECT box = client;
  box.top += metrics.tmHeight / 2;
  const std::wstring caption = windows::wideFromUtf8(c.text);
  SIZE extent{0, 0};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
  const int gap = scale_.fromDesignPixels(kCaptionGap);
  RECT captionRect{scale_.fromDesignPixels(kCaptionIndent), client.top,
                   scale_.fromDesignPixels(kCaptionIndent) + extent.cx + 2 * gap, client.top + metrics.tmHeight};
  const bool enabled = effectivelyEnabled(model_, c.name);
  if (!themeOpened_) {
    themeOpened_ = true;
    theme_ = IsAppThemed() ? OpenThemeData(hwnd_, L"BUTTON") : nullptr;
  }
  const int saved = SaveDC(dc);
  if (!caption.empty()) ExcludeClipRect(dc, captionRect.left, captionRect.top, captionRect.right, captionRect.bottom);
  if (theme_) {
    DrawThemeBackground(static_cast<HTHEME>(theme_), dc, BP_GROUPBOX, enabled ? GBS_NORMAL : GBS_DISABLED, &box, nullptr);
  } else {
    // Classic frames: an etched rectangle whose top line runs through the middle of the caption.
    DrawEdge(dc, &box, EDGE_ETCHED, BF_RECT);
  }
  RestoreDC(dc, saved);
  if (!caption.empty()) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &captionRect,
              DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  }
  SelectObject(dc, old);
}

void Win32Window::drawPictureBorder(const Control&, HDC dc, const RECT& client) {
  // A sunken border two design pixels wide: the outer half shadow and highlight, the inner half
  // dark shadow and light.
  const int width = scale_.pictureBorder();
  const int outer = std::max(1, width / 2), inner = width - outer;
  RECT r = client;
  auto bevel = [&](int thickness, COLORREF topLeft, COLORREF bottomRight) {
    if (thickness <= 0) return;
    fill(dc, {r.left, r.top, r.right, r.top + thickness}, topLeft);
    fill(dc, {r.left, r.top, r.left + thickness, r.bottom}, topLeft);
    fill(dc, {r.left, r.bottom - thickness, r.right, r.bottom}, bottomRight);
    fill(dc, {r.right - thickness, r.top, r.right, r.bottom}, bottomRight);
    InflateRect(&r, -thickness, -thickness);
  };
  bevel(outer, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
  bevel(inner, GetSysColor(COLOR_3DDKSHADOW), GetSysColor(COLOR_3DLIGHT));
}

void Win32Window::drawItem(const Control& c, HDC dc) {
  const PixelRect place = placeInContainer(model_, c, scale_);
  const RECT r = toRect(place);
  switch (c.kind) {
    case ControlKind::Shape:
      if (c.solidFill) fill(dc, r, fromModel(c.fillColor));
      outline(dc, r, fromModel(c.borderColor), scale_.lineWidth());
      break;
    case ControlKind::Line: {
      const COLORREF color =
          c.systemForeColor != ui::SystemColor::None ? systemColor(c.systemForeColor) : fromModel(c.borderColor);
      const PixelLine l = lineInContainer(model_, c, scale_);
      if (l.x1 == l.x2 || l.y1 == l.y2) {
        fill(dc, r, color);  // both end points included, as the line was designed
      } else {
        HPEN pen = CreatePen(PS_SOLID, scale_.lineWidth(), color);
        HGDIOBJ old = SelectObject(dc, pen);
        MoveToEx(dc, l.x1, l.y1, nullptr);
        LineTo(dc, l.x2, l.y2);
        SelectObject(dc, old);
        DeleteObject(pen);
      }
      break;
    }
    case ControlKind::Label: {
      // The chart's scale numbers blank the scale lines behind them, so the digits stay readable.
      const Control& container = model_.at(c.container);
      COLORREF back = c.backColor ? fromModel(*c.backColor) : backgroundOf(container.name);
      if (!c.backColor && c.systemBackColor != ui::SystemColor::None) back = systemColor(c.systemBackColor);
      fill(dc, r, back);
      drawLabelText(c, dc, r);
      break;
    }
    default:
      break;
  }
}

void Win32Window::drawLabelText(const Control& c, HDC dc, const RECT& box) {
  RECT r = box;
  if (c.border) {
    outline(dc, r, textColorOf(c), scale_.lineWidth());
    InflateRect(&r, -scale_.lineWidth(), -scale_.lineWidth());
  }
  const std::wstring text = windows::wideFromUtf8(c.text);
  if (text.empty()) return;
  HGDIOBJ old = SelectObject(dc, font(c.font));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, textColorOf(c));
  // Plain text: no mnemonics; lines break only where the text has a line break.
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_LEFT | DT_TOP | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
}

void Win32Window::drawLabel(const DRAWITEMSTRUCT& item) {
  const std::string* name = nameOf(item.hwndItem);
  if (!name) return;
  const Control& c = model_.at(*name);
  const RECT client = item.rcItem;
  BufferedDc buffer(item.hDC, client);
  HDC dc = buffer.get();
  const PixelRect place = placeInContainer(model_, c, scale_);
  const RECT inContainer = toRect(place);
  const bool opaque = c.backColor || c.systemBackColor != ui::SystemColor::None;
  if (opaque) {
    fill(dc, client, c.backColor ? fromModel(*c.backColor) : systemColor(c.systemBackColor));
  } else {
    // A label without a colour of its own shows its container's surface and what is drawn there
    // beneath it (the search progress beneath "Searching...").
    POINT origin;
    GetViewportOrgEx(dc, &origin);
    SetViewportOrgEx(dc, origin.x - place.left, origin.y - place.top, nullptr);
    paintSurface(c.container, dc, inContainer, INT_MIN, c.zOrder);
    SetViewportOrgEx(dc, origin.x, origin.y, nullptr);
  }
  drawLabelText(c, dc, client);
  if (!opaque) {
    POINT origin;
    GetViewportOrgEx(dc, &origin);
    SetViewportOrgEx(dc, origin.x - place.left, origin.y - place.top, nullptr);
    paintSurface(c.container, dc, inContainer, c.zOrder + 1, INT_MAX);
    SetViewportOrgEx(dc, origin.x, origin.y, nullptr);
  }
}

}  // namespace tamrik::platform::win32
