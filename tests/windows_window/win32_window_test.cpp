// The Win32 rendering of the window model and the Win32 toolkit, under Wine on a display of their
// own (tests/e2e/windows_e2e.py --run).
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/routing_device_backend.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"
#include "platform/win32/win32_toolkit.h"
#include "platform/win32/win32_window.h"
#include "platform/windows/windows_text.h"
#include "platform/sim/fault_schedule.h"
#include "tests/support/simulated_window.h"
#include "tests/support/window_without_units.h"
#include "ui/satellite_chart.h"

namespace tamrik {
namespace {

namespace win = platform::windows;
namespace win32 = platform::win32;
using Names = std::vector<std::string>;

std::string text(HWND h) { return win::utf8FromWide(win32::windowText(h)); }

// The text the tooltip control holds for a control's window.
std::string tooltipOf(HWND tooltips, HWND control) {
  wchar_t tip[1024] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = GetParent(control);
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = tip;
  SendMessageW(tooltips, TTM_GETTEXTW, std::size(tip), reinterpret_cast<LPARAM>(&tool));
  return win::utf8FromWide(tip);
}

// The window's events on their way to the window object, noted.
struct NotedEvents final : ui::WindowEvents {
  explicit NotedEvents(FrmMain& frm) : frm(frm) {}
  void click(const std::string& c) override {
    // What the logic finds in the model when the click reaches it.
    const ui::Control& now = frm.model().at(c);
    if (now.kind == ui::ControlKind::CheckBox) picks.push_back(c + "=" + (now.checked ? "1" : "0"));
    if (now.kind == ui::ControlKind::ComboBox) picks.push_back(c + "=" + std::to_string(now.selected));
    clicks.push_back(c), frm.click(c);
  }
  void keyPress(const std::string& c, int key) override { keys.push_back(c + ":" + std::to_string(key)), frm.keyPress(c, key); }
  void change(const std::string& c) override { frm.change(c); }
  void timerTick() override { frm.timerTick(); }
  void unload() override { frm.unload(); }
  FrmMain& frm;
  Names clicks, keys, picks;
};

// A window with no unit attached, rendered by Win32 and shown; no polling, so the logic leaves it
// to the test.
struct RenderedWindow : testing::WindowWithoutUnits {
  NotedEvents events{frm};
  win32::Win32Window window{frm.model(), events};

  RenderedWindow() {
    frm.Load();
    model().setEnabled("Timer", false);
  }
  ui::WindowModel& model() { return frm.model(); }
  HWND operator[](const std::string& name) const { return window.handleFor(name); }
  // Everything enabled and the window wide: every control in sight takes input.
  void unlock() {
    for (const auto& name : model().order()) {
      if (name != "Timer") model().setEnabled(name, true);
    }
    if (model().window().widthTwips != 9450) frm.click("Advanced");
  }
  COLORREF pixel(const std::string& name, int x, int y) {
    RedrawWindow(window.handleFor(name), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    HDC dc = GetDC(window.handleFor(name));
    const COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(window.handleFor(name), dc);
    return c;
  }
};

void expectLaidOut(RenderedWindow& w, int dpi) {
  const win32::Scale scale{dpi};
  const auto& m = w.model();
  RECT client;
  GetClientRect(w.window.hwnd(), &client);
  EXPECT_EQ(client.right, win32::clientArea(m, scale).width);
  EXPECT_EQ(client.bottom, win32::clientArea(m, scale).height);
  for (const auto& name : m.order()) {
    if (HWND h = w[name]) {
      RECT r;
      GetWindowRect(h, &r);
      MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
      const win32::PixelRect seen{r.left, r.top, r.right - r.left, r.bottom - r.top};  // a combo box closed
      EXPECT_EQ(seen, win32::placeInContainer(m, m.at(name), scale)) << name;
      // The caption or contents the model gives (a list shows its entry instead).
      const ui::Control& c = m.at(name);
      const bool pressable = c.kind == ui::ControlKind::Button || c.kind == ui::ControlKind::CheckBox;
      if (c.kind != ui::ControlKind::ComboBox) {
        EXPECT_EQ(text(h), pressable ? win32::literalCaption(c.text) : c.text) << name;
      }
    }
  }
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(w["Out1Freq"], WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -std::lround(9.75 * dpi / 72));
  // The chart's numbers grow with the screen too, even where their bitmap font has no such size.
  HDC dc = GetDC(w.window.hwnd());
  HGDIOBJ old = SelectObject(dc, w.window.fontFor("CNoLbl(2)"));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(w.window.hwnd(), dc);
  EXPECT_GE((metrics.tmHeight - metrics.tmInternalLeading) * 5, std::lround(6.0 * dpi / 72) * 4) << dpi << " dpi";
}

TEST(Win32Window, ControlsSitWhereTheLayoutPutsThemAndFollowTheScreensDpi) {
  RenderedWindow w;
  EXPECT_TRUE(IsWindowVisible(w.window.hwnd()));
  EXPECT_EQ(text(w.window.hwnd()), "Tamrik Configuration");
  expectLaidOut(w, w.window.dpi());
  // Moved to a screen at 200 %: Windows suggests the new outer rectangle, the window lays out again.
  RECT suggested;
  GetWindowRect(w.window.hwnd(), &suggested);
  SendMessageW(w.window.hwnd(), WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  expectLaidOut(w, 192);
  w.frm.click("Advanced");
  expectLaidOut(w, 192);
  EXPECT_EQ(w.model().twipsPerPixelX(), 15.0);  // the model, and so the snapshot, stays as designed
}

TEST(Win32Window, TextsAreShownAsTheyAreNeverAsMnemonicsOrMarkup) {
  RenderedWindow w;
  auto& m = w.model();
  m.setText("lblManuf", "R&D <b>Maker</b> &amp;");
  EXPECT_EQ(text(w["lblManuf"]), "R&D <b>Maker</b> &amp;");
  EXPECT_TRUE(GetWindowLongW(w["lblManuf"], GWL_STYLE) & SS_NOPREFIX);
  m.setText("SetFreq", "Save & go");
  EXPECT_EQ(text(w["SetFreq"]), "Save && go");  // drawn as "Save & go"
  m.addItem("SerNo", "<i>S&N</i>");
  wchar_t entry[32] = {};
  SendMessageW(w["SerNo"], CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(entry));
  EXPECT_EQ(win::utf8FromWide(entry), "<i>S&N</i>");
  m.setText("lblVersion", std::string("1.2\xff", 4));  // not UTF-8: a replacement character
  EXPECT_EQ(win32::windowText(w["lblVersion"]), L"1.2\xfffd");

  // Drawn, every ampersand shows: the ink reaches as far as the whole text is wide.
  const std::wstring ampersands(8, L'&');
  m.setText("lblManuf", win::utf8FromWide(ampersands));
  HWND label = w["lblManuf"];
  RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  RECT box;
  GetClientRect(label, &box);
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, w.window.fontFor("lblManuf"));
  SIZE extent{};
  GetTextExtentPoint32W(dc, ampersands.c_str(), static_cast<int>(ampersands.size()), &extent);
  SelectObject(dc, old);
  const COLORREF back = GetPixel(dc, 0, box.bottom - 1);  // below the text
  int inkRight = -1;
  // Up to twice the text's width: the label reaches beyond its frame, whose border lies further on.
  for (int x = 0; x < std::min<int>(box.right, 2 * extent.cx); ++x) {
    for (int y = 0; y < box.bottom; ++y) {
      if (const COLORREF c = GetPixel(dc, x, y); c != back && c != CLR_INVALID) inkRight = x;
    }
  }
  ReleaseDC(label, dc);
  EXPECT_GT(inkRight, extent.cx * 3 / 4) << "drawn " << inkRight << " px of " << extent.cx;
}

TEST(Win32Window, ModelChangesReachTheWindowsAndTheChart) {
  RenderedWindow w;
  auto& m = w.model();
  // A disabled frame disables what it holds (no unit: the settings frame is disabled).
  auto expectEnabledAsTheModel = [&] {
    for (const auto& name : m.order()) {
      if (HWND h = w[name]) {
        EXPECT_EQ(IsWindowEnabled(h) != 0, win32::effectivelyEnabled(m, name)) << name;
      }
    }
  };
  EXPECT_FALSE(m.at("Frame3").enabled);
  expectEnabledAsTheModel();
  m.setEnabled("Frame3", true);
  m.setEnabled("Out1Freq", true);
  EXPECT_TRUE(IsWindowEnabled(w["Out1Freq"]));
  expectEnabledAsTheModel();
  m.setBackColor("LOS", 0x6060FF);
  RECT los;
  GetClientRect(w["LOS"], &los);
  EXPECT_EQ(w.pixel("LOS", los.right - 3, los.bottom - 3), RGB(0xFF, 0x60, 0x60));  // right of the text
  m.setChecked("OUT1EN", true);
  EXPECT_EQ(SendMessageW(w["OUT1EN"], BM_GETCHECK, 0, 0), BST_CHECKED);
  m.setVisible("Bar", true);
  EXPECT_TRUE(IsWindowVisible(w["Bar"]));
  // The chart is drawn from the model: a bar in its colour, the scale numbers clear of their lines.
  ui::setSatelliteBar(m, 3, 45, ui::kBarGreen);
  const win32::Scale scale{w.window.dpi()};
  const auto bar = win32::placeInContainer(m, m.at("Sat(3)"), scale);
  EXPECT_EQ(w.pixel("PicSat", bar.left + bar.width / 2, bar.bottom() - 3), RGB(0, 0xB0, 0));
  const auto number = win32::placeInContainer(m, m.at("CNoLbl(2)"), scale);
  const int lineY = win32::placeInContainer(m, m.at("CNoLine(2)"), scale).top;
  EXPECT_EQ(w.pixel("PicSat", number.left - 3, lineY), RGB(0xE0, 0xE0, 0xE0));
  RECT chart;
  GetClientRect(w["PicSat"], &chart);
  for (int x = number.left; x < std::min<int>(number.right(), chart.right - scale.pictureBorder()); ++x) {
    EXPECT_NE(w.pixel("PicSat", x, lineY), RGB(0xE0, 0xE0, 0xE0)) << "the line runs through the number at " << x;
  }
  // Tooltips as the model has them.
  EXPECT_EQ(tooltipOf(w.window.tooltips(), w["Label12"]), "Click to open in Google maps");
}

// The status lights' tooltips reach the tooltip control as the health record words them, wrapped
// to a readable width: a simulated unit in virtual time loses its signal and is then unplugged.
TEST(Win32Window, StatusLightTooltipsFollowTheUnit) {
  testing::SimulatedWindow sim;
  sim.addUnit(u"SIM001");
  sim.units.scheduleFaults(sim::parseFaultSpec("signal-loss:SIM001@60000, unplug:SIM001@120000").events);
  NotedEvents events{sim.frm};
  win32::Win32Window window{sim.model(), events};
  sim.frm.Load();
  const HWND tips = window.tooltips();
  EXPECT_GT(SendMessageW(tips, TTM_GETMAXTIPWIDTH, 0, 0), 0);

  sim.runFor(std::chrono::seconds(70));
  EXPECT_EQ(sim.control("LOS").tooltip,
            "No GPS signal since 08:06:09 UTC (10 s); 1 loss since the program started, the last at 08:06:09 UTC");
  EXPECT_EQ(tooltipOf(tips, window.handleFor("LOS")), sim.control("LOS").tooltip);
  EXPECT_EQ(tooltipOf(tips, window.handleFor("LOL")), sim.control("LOL").tooltip);

  sim.runFor(std::chrono::seconds(60));
  const std::string away = "The unit has been away since 08:07:09 UTC (10 s); the lights show its last known state: ";
  EXPECT_EQ(sim.control("LOS").tooltip.substr(0, away.size()), away);
  EXPECT_EQ(tooltipOf(tips, window.handleFor("LOS")), sim.control("LOS").tooltip);
  EXPECT_EQ(tooltipOf(tips, window.handleFor("LOL")), sim.control("LOL").tooltip);
  EXPECT_EQ(text(window.handleFor("LOL")), "PLL lock OK");
}

TEST(Win32Window, TypingAndClicksReachTheModel) {
  RenderedWindow w;
  auto& m = w.model();
  w.unlock();
  HWND edit = w["Out1Freq"];
  SetWindowTextW(edit, L"");
  for (wchar_t ch : std::wstring(L"125\r")) SendMessageW(edit, WM_CHAR, ch, 0);
  EXPECT_EQ(m.at("Out1Freq").text, "125");
  EXPECT_EQ(m.at("Out1Freq").selStart, 3);
  EXPECT_EQ(w.events.keys, Names{"Out1Freq:13"});  // Enter belongs to the box
  // A change from the logic does not come back as an edit, and puts the caret where it is told.
  m.setText("Out1Freq", "10000000");
  m.setSelStart("Out1Freq", 3);
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(text(edit), "10000000");
  EXPECT_EQ(end, 3u);
  // A label is clicked when the button goes up over it; the check box's state reaches the model.
  const bool wasChecked = m.at("OUT1EN").checked;
  SendMessageW(w["OUT1EN"], BM_CLICK, 0, 0);
  EXPECT_EQ(w.events.picks, Names{std::string("OUT1EN=") + (wasChecked ? "0" : "1")});  // the new state
  EXPECT_EQ(m.at("OUT1EN").checked, SendMessageW(w["OUT1EN"], BM_GETCHECK, 0, 0) == BST_CHECKED);
  for (const auto& [label, upAt] : {std::pair{"Label13", 3}, std::pair{"Label12", -20}}) {
    SendMessageW(w[label], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(w[label], WM_LBUTTONUP, 0, MAKELPARAM(upAt, 3));
  }
  EXPECT_EQ(w.events.clicks, (Names{"OUT1EN", "Label13"}));
  EXPECT_TRUE(m.at("Label13").border);  // the clock is armed
}

TEST(Win32Window, APickInAListReachesTheModelOnce) {
  RenderedWindow w;
  auto& m = w.model();
  w.unlock();
  for (const char* entry : {"8mA", "16mA", "24mA", "32mA"}) m.addItem("Enc1", entry);
  m.setSelected("Enc1", 0);
  HWND combo = w["Enc1"];
  SetForegroundWindow(w.window.hwnd());
  SetFocus(combo);
  // From the keyboard on the closed list, then in the dropped list, taken with Enter.
  SendMessageW(combo, WM_KEYDOWN, VK_DOWN, 0);
  EXPECT_EQ(w.events.picks, Names{"Enc1=1"});
  SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
  SendMessageW(combo, WM_KEYDOWN, VK_DOWN, 0);
  SendMessageW(combo, WM_KEYDOWN, VK_DOWN, 0);
  EXPECT_EQ(w.events.picks, Names{"Enc1=1"});  // still choosing
  SendMessageW(combo, WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_EQ(w.events.picks, (Names{"Enc1=1", "Enc1=3"}));
  EXPECT_EQ(m.at("Enc1").selected, 3);
}

// The controls Tab visits from one until it comes back, as the dialog manager walks them.
Names tabCycle(RenderedWindow& w, const std::string& from) {
  Names visited;
  for (HWND h = w[from]; h && visited.size() < 80; h = GetNextDlgTabItem(w.window.hwnd(), h, FALSE)) {
    if (!visited.empty() && h == w[from]) break;
    visited.push_back("?");
    for (const auto& name : w.model().order()) {
      if (w[name] == h) visited.back() = name;
    }
  }
  return visited;
}

TEST(Win32Window, TabFollowsTheTabIndicesOverTheControlsInSight) {
  RenderedWindow w;
  EXPECT_EQ(GetNextDlgTabItem(w.window.hwnd(), nullptr, FALSE), nullptr);  // no unit: nothing takes input
  w.unlock();
  EXPECT_EQ(tabCycle(w, "Out1Freq"), (Names{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo", "Enc1", "OUT1EN",
                                            "NC2_LS", "GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "BW",
                                            "SetFreq", "OUT1ID"}));
  SetForegroundWindow(w.window.hwnd());
  SetFocus(w["BW"]);
  w.frm.click("Advanced");  // narrow: the focus moves on from the box now out of sight
  EXPECT_NE(GetFocus(), w["BW"]);
  EXPECT_EQ(tabCycle(w, "Out1Freq"), (Names{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo"}));
}

HWND messageBoxOnScreen() {
  HWND box = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND h, LPARAM found) {
        wchar_t name[16];
        GetClassNameW(h, name, 16);
        if (std::wstring(name) == L"#32770" && IsWindowVisible(h)) *reinterpret_cast<HWND*>(found) = h;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&box));
  return box;
}

TEST(Win32Toolkit, QuestionsWaitForTheAnswerNoticesDoNot) {
  RenderedWindow w;
  win32::Win32Toolkit toolkit;
  toolkit.setOwner(w.window.hwnd());
  static std::string seen;
  // The user reads the box and answers No, from a timer that runs in the box's own event loop.
  SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
    if (HWND box = messageBoxOnScreen()) {
      KillTimer(nullptr, id);
      // Enter answers Yes, the question's first button.
      const bool yesFirst = (GetWindowLongW(GetDlgItem(box, IDYES), GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON;
      seen = text(box) + "|" + text(GetDlgItem(box, 0xFFFF)) + (yesFirst ? "|Yes" : "|No");
      PostMessageW(box, WM_COMMAND, IDNO, 0);
    }
  });
  EXPECT_EQ(toolkit.messageBox({platform::MessageIcon::Information, platform::MessageButtons::YesNo,
                                "Cannot set exact frequency", "R&D <b>1</b> Hz\nSet it?"}),
            platform::MessageAnswer::No);
  EXPECT_EQ(seen, "Cannot set exact frequency|R&D <b>1</b> Hz\nSet it?|Yes");
  EXPECT_EQ(toolkit.nesting(), 0);

  toolkit.showNotice({platform::MessageIcon::Information, platform::MessageButtons::Ok, "Computer clock",
                      "The clock was not set & <i>why</i>"});
  ASSERT_EQ(toolkit.notices().size(), 1u);  // shown, and back at once
  HWND notice = toolkit.notices().front();
  EXPECT_TRUE(IsWindowVisible(notice));
  EXPECT_TRUE(IsWindowEnabled(w.window.hwnd()));  // the window goes on working
  EXPECT_EQ(GetWindow(notice, GW_OWNER), w.window.hwnd());
  EXPECT_EQ(text(notice), "Computer clock");
  EXPECT_EQ(text(GetWindow(notice, GW_CHILD)), "The clock was not set & <i>why</i>");
  SendMessageW(GetDlgItem(notice, IDOK), BM_CLICK, 0, 0);
  EXPECT_TRUE(toolkit.notices().empty());
}

TEST(Win32Toolkit, ADeferredRoundLeavesTheUsersInputQueued) {
  RenderedWindow w;
  win32::Win32Toolkit toolkit;
  toolkit.setOwner(w.window.hwnd());
  w.unlock();
  SetForegroundWindow(w.window.hwnd());
  SetFocus(w["Out1Freq"]);
  SetWindowTextW(w["Out1Freq"], L"");
  INPUT keys[2] = {};
  keys[0].type = keys[1].type = INPUT_KEYBOARD;
  keys[0].ki.wVk = keys[1].ki.wVk = '7';
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ASSERT_EQ(SendInput(2, keys, sizeof(INPUT)), 2u);
  auto keyQueued = [] {
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_NOREMOVE) != 0;
  };
  for (int i = 0; i < 100 && !keyQueued(); ++i) Sleep(10);  // the key comes round through the display
  ASSERT_TRUE(keyQueued());
  InvalidateRect(w["LOS"], nullptr, FALSE);
  static int ticks = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) { ++ticks; });
  Sleep(50);
  // A round that defers input: the repaint and the timer run, the key stays queued.
  toolkit.processPendingEvents(platform::UserInput::Defer);
  KillTimer(nullptr, timer);
  EXPECT_GE(ticks, 1);
  RECT dirty;
  EXPECT_FALSE(GetUpdateRect(w["LOS"], &dirty, FALSE));
  EXPECT_EQ(w.model().at("Out1Freq").text, "");
  EXPECT_TRUE(keyQueued());
  toolkit.processPendingEvents(platform::UserInput::Handle);
  EXPECT_EQ(w.model().at("Out1Freq").text, "7");
}

}  // namespace
}  // namespace tamrik
