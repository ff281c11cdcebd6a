// The control's window: what it was given and what it received, painted 24
// times a second with a running frame counter.
//
// Layout, for tests that look at pixels: a solid band of RGB(0, 128, 128)
// across the top kBandHeight rows (its text starts at x = 12, so the first
// 8 columns of the band are always the plain colour), below it a dark teal
// gradient with the properties, the load state and the frame counter in
// light text, and at the bottom a yellow frame-position bar.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "control.h"
#include "standin.h"

namespace standin {

const wchar_t kWindowClassName[] = L"MacromediaFlashPlayerActiveX";

namespace {

constexpr int kBandHeight = 36;
constexpr UINT_PTR kFrameTimer = 1;
constexpr COLORREF kBandColour = RGB(0, 128, 128);
constexpr COLORREF kTopColour = RGB(0, 72, 80);
constexpr COLORREF kBottomColour = RGB(0, 22, 30);
constexpr COLORREF kTextColour = RGB(235, 250, 250);
constexpr COLORREF kLabelColour = RGB(120, 215, 215);
constexpr COLORREF kErrorColour = RGB(255, 150, 110);
constexpr COLORREF kBarTrack = RGB(0, 96, 96);
constexpr COLORREF kBarFill = RGB(255, 204, 0);

HFONT g_text_font = nullptr;
HFONT g_bold_font = nullptr;
HFONT g_big_font = nullptr;
ATOM g_class = 0;

void EnsureFonts() {
  if (g_text_font) return;
  g_text_font =
      CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  g_bold_font =
      CreateFontW(-16, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  g_big_font =
      CreateFontW(-40, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

UINT FrameInterval(double rate) {
  if (rate < 1.0) rate = 1.0;
  if (rate > 120.0) rate = 120.0;
  return static_cast<UINT>(1000.0 / rate);
}

std::wstring Grouped(unsigned long long value) {
  wchar_t digits[32];
  swprintf(digits, ARRAYSIZE(digits), L"%llu", value);
  std::wstring in = digits, out;
  int count = 0;
  for (size_t i = in.size(); i-- > 0;) {
    if (count && count % 3 == 0) out.insert(out.begin(), L',');
    out.insert(out.begin(), in[i]);
    ++count;
  }
  return out;
}

std::wstring RateText(double rate) {
  wchar_t buffer[32];
  long whole = static_cast<long>(rate);
  if (static_cast<double>(whole) == rate) {
    swprintf(buffer, ARRAYSIZE(buffer), L"%ld", whole);
  } else {
    swprintf(buffer, ARRAYSIZE(buffer), L"%.2f", rate);
  }
  return buffer;
}

void FillSolid(HDC dc, const RECT& r, COLORREF colour) {
  SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

void PaintBackground(HDC dc, int width, int height) {
  RECT band = {0, 0, width, kBandHeight};
  FillSolid(dc, band, kBandColour);
  int body = height - kBandHeight;
  if (body <= 0) return;
  const int step = 6;
  for (int y = 0; y < body; y += step) {
    int num = body > 1 ? y * 256 / (body - 1) : 0;
    if (num > 256) num = 256;
    auto mix = [num](int a, int b) { return a + (b - a) * num / 256; };
    COLORREF c = RGB(mix(GetRValue(kTopColour), GetRValue(kBottomColour)),
                     mix(GetGValue(kTopColour), GetGValue(kBottomColour)),
                     mix(GetBValue(kTopColour), GetBValue(kBottomColour)));
    RECT r = {0, kBandHeight + y, width, kBandHeight + y + step};
    if (r.bottom > height) r.bottom = height;
    FillSolid(dc, r, c);
  }
}

// One "Label: value" item; returns the x after it.
int Item(HDC dc, int x, int y, const wchar_t* label, const std::wstring& value) {
  SIZE size;
  std::wstring l = std::wstring(label) + L": ";
  SetTextColor(dc, kLabelColour);
  TextOutW(dc, x, y, l.c_str(), static_cast<int>(l.size()));
  GetTextExtentPoint32W(dc, l.c_str(), static_cast<int>(l.size()), &size);
  x += size.cx;
  std::wstring v = value.empty() ? std::wstring(L"(not set)") : value;
  SetTextColor(dc, kTextColour);
  TextOutW(dc, x, y, v.c_str(), static_cast<int>(v.size()));
  GetTextExtentPoint32W(dc, v.c_str(), static_cast<int>(v.size()), &size);
  return x + size.cx + 24;
}

// A label with a long value wrapped below it, at most `max_lines` lines.
int Block(HDC dc, int x, int y, int width, const wchar_t* label, const std::wstring& value,
          int max_lines) {
  SIZE size;
  std::wstring l = std::wstring(label) + L": ";
  SetTextColor(dc, kLabelColour);
  TextOutW(dc, x, y, l.c_str(), static_cast<int>(l.size()));
  GetTextExtentPoint32W(dc, l.c_str(), static_cast<int>(l.size()), &size);
  int value_x = x + size.cx;
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  int line = metrics.tmHeight + 3;
  std::wstring v = value.empty() ? std::wstring(L"(not set)") : value;
  RECT r = {value_x, y, width - 12, y + line * max_lines};
  if (r.right <= r.left + 40) r.right = r.left + 40;
  SetTextColor(dc, kTextColour);
  RECT measure = r;
  DrawTextW(dc, v.c_str(), static_cast<int>(v.size()), &measure,
            DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_CALCRECT);
  DrawTextW(dc, v.c_str(), static_cast<int>(v.size()), &r,
            DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_END_ELLIPSIS);
  int used = measure.bottom - measure.top;
  if (used < line) used = line;
  if (used > line * max_lines) used = line * max_lines;
  return y + used + 4;
}

void Paint(HDC dc, int width, int height, const ViewState& v) {
  PaintBackground(dc, width, height);
  SetBkMode(dc, TRANSPARENT);
  EnsureFonts();
  HGDIOBJ old_font = SelectObject(dc, g_bold_font);

  // Band: title on the left, state on the right.
  SetTextColor(dc, kTextColour);
  const wchar_t* title = L"MEDIA CONTROL STAND-IN";
  TextOutW(dc, 12, 9, title, static_cast<int>(wcslen(title)));
  wchar_t summary[128];
  swprintf(summary, ARRAYSIZE(summary), L"%lsReadyState %ld   FrameNum %ld   TotalFrames %ld",
           v.focused ? L"[focus]   " : L"", v.ready_state, v.frame_num, v.total_frames);
  SIZE size;
  GetTextExtentPoint32W(dc, summary, static_cast<int>(wcslen(summary)), &size);
  int sx = width - 12 - size.cx;
  if (sx < 300) sx = 300;
  TextOutW(dc, sx, 9, summary, static_cast<int>(wcslen(summary)));

  SelectObject(dc, g_text_font);
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  const int line = metrics.tmHeight + 6;
  int x = 16;
  int y = kBandHeight + 12;
  y = Block(dc, x, y, width, L"Movie", v.text[kMovie], 3);
  y = Block(dc, x, y, width, L"FlashVars", v.text[kFlashVars], 4);
  int ix = Item(dc, x, y, L"WMode", v.text[kWMode]);
  ix = Item(dc, ix, y, L"Quality2", v.text[kQuality2]);
  Item(dc, ix, y, L"AllowScriptAccess", v.text[kAllowScriptAccess]);
  y += line;
  ix = Item(dc, x, y, L"AllowFullScreen", v.text[kAllowFullScreen]);
  Item(dc, ix, y, L"AllowFullScreenInteractive", v.text[kAllowFullScreenInteractive]);
  y += line;
  if (!v.text[kQuality].empty() || !v.text[kScaleMode].empty() ||
      !v.text[kAllowNetworking].empty()) {
    ix = Item(dc, x, y, L"Quality", v.text[kQuality]);
    ix = Item(dc, ix, y, L"ScaleMode", v.text[kScaleMode]);
    Item(dc, ix, y, L"AllowNetworking", v.text[kAllowNetworking]);
    y += line;
  }
  y += line / 2;

  // What the download brought.
  std::wstring state, detail;
  bool failed = false;
  const LoadStatus& load = v.load;
  if (!v.has_job) {
    state = L"no movie";
  } else if (load.state == LoadState::kLoading) {
    state = L"loading: " + Grouped(load.bytes) + L" bytes";
    if (load.expected) state += L" of " + Grouped(load.expected);
  } else if (load.state == LoadState::kFailed) {
    state = L"load failed: " + load.error;
    failed = true;
  } else {
    state = L"loaded " + Grouped(load.bytes) + L" bytes";
    wchar_t buffer[200];
    if (!load.is_movie) {
      detail = L"not a movie file (no FWS, CWS or ZWS signature)";
    } else if (load.header.has_frame_info) {
      swprintf(buffer, ARRAYSIZE(buffer),
               L"%hs movie, version %d, %ld x %ld px, %ls fps, %ld frames", load.header.signature,
               load.header.version, load.header.width_px, load.header.height_px,
               RateText(load.header.rate).c_str(), load.header.frames);
      detail = buffer;
    } else if (load.header.signature[0] != 'F') {
      swprintf(buffer, ARRAYSIZE(buffer),
               L"%hs movie (compressed), version %d, %ls bytes uncompressed", load.header.signature,
               load.header.version, Grouped(load.header.declared_length).c_str());
      detail = buffer;
    } else {
      swprintf(buffer, ARRAYSIZE(buffer), L"%hs movie, version %d, header cut short",
               load.header.signature, load.header.version);
      detail = buffer;
    }
  }
  wchar_t ready[32];
  swprintf(ready, ARRAYSIZE(ready), L"ReadyState %ld", v.ready_state);
  int after = Item(dc, x, y, L"State", ready) - 24;  // just after the value
  std::wstring rest = L"  \x2014  " + state;
  SetTextColor(dc, failed ? kErrorColour : kTextColour);
  TextOutW(dc, after, y, rest.c_str(), static_cast<int>(rest.size()));
  y += line;
  if (!detail.empty()) {
    Item(dc, x, y, L"Header", detail);
    y += line;
  }
  y += line / 2;

  // The frame counter.
  SelectObject(dc, g_big_font);
  wchar_t frame[64];
  if (v.total_frames > 0) {
    swprintf(frame, ARRAYSIZE(frame), L"Frame %ld / %ld", v.frame_num, v.total_frames);
  } else {
    swprintf(frame, ARRAYSIZE(frame), L"Frame %ld", v.frame_num);
  }
  SetTextColor(dc, kTextColour);
  TextOutW(dc, x, y, frame, static_cast<int>(wcslen(frame)));
  GetTextMetricsW(dc, &metrics);
  y += metrics.tmHeight + 4;
  SelectObject(dc, g_text_font);
  wchar_t ticks[96];
  swprintf(ticks, ARRAYSIZE(ticks), L"running %ld ticks at 24 fps; movie clock %ls fps", v.ticks,
           RateText(v.rate).c_str());
  SetTextColor(dc, kLabelColour);
  TextOutW(dc, x, y, ticks, static_cast<int>(wcslen(ticks)));
  y += line;
  if (v.last_char) {
    wchar_t key[48];
    if (v.last_char >= 32) {
      swprintf(key, ARRAYSIZE(key), L"last key: '%lc' (U+%04X)", v.last_char,
               static_cast<unsigned>(v.last_char));
    } else {
      swprintf(key, ARRAYSIZE(key), L"last key: U+%04X", static_cast<unsigned>(v.last_char));
    }
    TextOutW(dc, x, y, key, static_cast<int>(wcslen(key)));
  }

  // The frame-position bar.
  if (height > kBandHeight + 40 && width > 40) {
    RECT track = {16, height - 22, width - 16, height - 12};
    FillSolid(dc, track, kBarTrack);
    int span = track.right - track.left;
    RECT fill = track;
    if (v.total_frames > 0) {
      fill.right = track.left + static_cast<int>(static_cast<long long>(span) * (v.frame_num + 1) /
                                                 v.total_frames);
    } else {
      int block = 48 < span ? 48 : span;
      int travel = span - block;
      int at = travel > 0
                   ? static_cast<int>((static_cast<long long>(v.frame_num) * 8) % (2 * travel))
                   : 0;
      if (at > travel) at = 2 * travel - at;
      fill.left = track.left + at;
      fill.right = fill.left + block;
    }
    FillSolid(dc, fill, kBarFill);
  }
  SelectObject(dc, old_font);
}

MediaControl* ControlOf(HWND window) {
  return reinterpret_cast<MediaControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_CREATE:
      SetTimer(window, kFrameTimer, FrameInterval(24.0), nullptr);
      return 0;
    case WM_TIMER:
      if (wparam == kFrameTimer) {
        InvalidateRect(window, nullptr, FALSE);
        return 0;
      }
      break;
    case kLoadDoneMessage:
      if (MediaControl* control = ControlOf(window)) {
        // The counter follows the movie's own rate once it is known.
        SetTimer(window, kFrameTimer, FrameInterval(control->Snapshot().rate), nullptr);
      }
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      RECT client;
      GetClientRect(window, &client);
      int width = client.right, height = client.bottom;
      MediaControl* control = ControlOf(window);
      if (width > 0 && height > 0) {
        ViewState view;
        if (control) view = control->Snapshot();
        // Painted off screen, then copied: no flicker at 24 frames a second.
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
        if (memory && bitmap) {
          HGDIOBJ old = SelectObject(memory, bitmap);
          Paint(memory, width, height, view);
          BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
          SelectObject(memory, old);
        } else {
          Paint(dc, width, height, view);
        }
        if (bitmap) DeleteObject(bitmap);
        if (memory) DeleteDC(memory);
      }
      EndPaint(window, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      SetFocus(window);
      return 0;
    case WM_SETFOCUS:
      if (MediaControl* control = ControlOf(window)) control->OnFocus(true);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_KILLFOCUS:
      if (MediaControl* control = ControlOf(window)) control->OnFocus(false);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_CHAR:
      if (MediaControl* control = ControlOf(window)) control->OnChar(static_cast<wchar_t>(wparam));
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_DESTROY:
      KillTimer(window, kFrameTimer);
      return 0;
    case WM_NCDESTROY:
      if (MediaControl* control = ControlOf(window)) control->OnWindowDestroyed();
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool EnsureClass() {
  if (g_class) return true;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = g_module;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = kWindowClassName;
  g_class = RegisterClassExW(&wc);
  if (!g_class && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof existing;
    g_class = static_cast<ATOM>(GetClassInfoExW(g_module, kWindowClassName, &existing));
  }
  return g_class != 0;
}

}  // namespace

HWND CreateControlWindow(MediaControl* control, HWND parent, const RECT& pos) {
  if (!EnsureClass()) return nullptr;
  return CreateWindowExW(
      0, kWindowClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, pos.left,
      pos.top, pos.right - pos.left, pos.bottom - pos.top, parent, nullptr, g_module, control);
}

void ReleaseViewResources(bool unregister) {
  if (g_text_font) DeleteObject(g_text_font);
  if (g_bold_font) DeleteObject(g_bold_font);
  if (g_big_font) DeleteObject(g_big_font);
  g_text_font = g_bold_font = g_big_font = nullptr;
  if (unregister && g_class) UnregisterClassW(kWindowClassName, g_module);
  g_class = 0;
}

}  // namespace standin
