#include "app/update_window.h"

#include <cwchar>
#include <string>

#include "platform/scoped_win.h"

namespace {

const wchar_t kClassName[] = L"TavrensilUpdateWindow";
const wchar_t kTitle[] = L"Tavrensil Güncelleme";
const UINT kDoneMessage = WM_APP + 41;
const UINT_PTR kProgressTimer = 1;
const UINT kProgressMs = 100;  // at most ten redraws a second
// Esc comes as IDCANCEL, so Cancel has that identifier.
const int kCancelId = IDCANCEL;
const int kPageId = 100;
// The layout in pixels at 96 DPI.
const int kWidth = 440;
const int kHeight = 200;
const int kMargin = 16;
const int kLine = 22;
const int kBarHeight = 18;
const int kButtonHeight = 28;

// The system's font for messages; null where it cannot be had.
HFONT MessageFont() {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return nullptr;
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

class ProgressWindow {
 public:
  ProgressWindow(Updater& updater, HWND owner)
      : updater_(updater), owner_(owner), font_(MessageFont()) {}

  UpdateChoice Run(HINSTANCE instance);

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Create(HINSTANCE instance);
  void OnDone();
  void OnCancel();
  void Paint(HDC dc);
  void Finish(UpdateChoice choice);
  int Scaled(int pixels) const { return MulDiv(pixels, dpi_, 96); }

  Updater& updater_;
  HWND owner_;
  HWND window_ = nullptr;
  HWND cancel_ = nullptr;
  const ScopedGdiObject<HFONT> font_;
  int dpi_ = 96;
  bool installing_ = false;
  bool done_ = false;
  UpdateChoice choice_ = UpdateChoice::kClose;
};

std::wstring Megabytes(uint64_t bytes) {
  wchar_t text[32];
  _snwprintf(text, 31, L"%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  text[31] = L'\0';
  return text;
}

LRESULT CALLBACK ProgressWindow::Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<ProgressWindow*>(create->lpCreateParams)->window_ = window;
  }
  auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self ? self->Handle(message, wparam, lparam)
              : DefWindowProcW(window, message, wparam, lparam);
}

LRESULT ProgressWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kProgressTimer) InvalidateRect(window_, nullptr, TRUE);
      return 0;
    case kDoneMessage:
      OnDone();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kCancelId) OnCancel();
      if (LOWORD(wparam) == kPageId) Finish(UpdateChoice::kPage);
      return 0;
    case WM_CLOSE:
      OnCancel();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      const HDC dc = BeginPaint(window_, &paint);
      Paint(dc);
      EndPaint(window_, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window_, message, wparam, lparam);
  }
}

void ProgressWindow::Create(HINSTANCE instance) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = Proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kClassName;
  RegisterClassExW(&window_class);  // already there from an earlier window: fine
  {
    const ScopedScreenDc screen;
    dpi_ = GetDeviceCaps(screen.get(), LOGPIXELSY);
  }
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  RECT frame = {0, 0, Scaled(kWidth), Scaled(kHeight)};
  AdjustWindowRect(&frame, style, FALSE);
  RECT owner = {};
  GetWindowRect(owner_, &owner);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  CreateWindowExW(WS_EX_DLGMODALFRAME, kClassName, kTitle, style,
                  owner.left + (owner.right - owner.left - width) / 2,
                  owner.top + (owner.bottom - owner.top - height) / 2, width, height, owner_,
                  nullptr, instance, this);
  if (!window_) return;
  const int top = Scaled(kHeight - kMargin - kButtonHeight);
  const int page_width = Scaled(180);
  const int cancel_width = Scaled(100);
  HWND page = CreateWindowExW(
      0, L"BUTTON", L"İndirme sayfasını aç", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
      Scaled(kMargin), top, page_width, Scaled(kButtonHeight), window_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPageId)), instance, nullptr);
  cancel_ = CreateWindowExW(
      0, L"BUTTON", L"İptal", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
      Scaled(kWidth - kMargin) - cancel_width, top, cancel_width, Scaled(kButtonHeight), window_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCancelId)), instance, nullptr);
  for (HWND button : {page, cancel_}) {
    if (button && font_.get()) {
      SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
    }
  }
}

UpdateChoice ProgressWindow::Run(HINSTANCE instance) {
  Create(instance);
  if (!window_) return UpdateChoice::kPage;  // no window: the download page instead
  EnableWindow(owner_, FALSE);
  ShowWindow(window_, SW_SHOW);
  SetTimer(window_, kProgressTimer, kProgressMs, nullptr);
  if (updater_.phase() == Updater::Phase::kFailed || !updater_.Start(window_, kDoneMessage)) {
    OnDone();
  }
  MSG message;
  while (!done_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window_, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  EnableWindow(owner_, TRUE);
  DestroyWindow(window_);
  return choice_;
}

void ProgressWindow::OnDone() {
  if (updater_.phase() == Updater::Phase::kReady) {
    installing_ = true;
    InvalidateRect(window_, nullptr, TRUE);
    ::UpdateWindow(window_);
    if (updater_.Launch()) {
      Finish(UpdateChoice::kInstalling);
      return;
    }
  }
  if (updater_.failure() == UpdateFailure::kCancelled) {
    Finish(UpdateChoice::kClose);
    return;
  }
  installing_ = false;
  KillTimer(window_, kProgressTimer);
  SetWindowTextW(cancel_, L"Kapat");
  InvalidateRect(window_, nullptr, TRUE);
}

void ProgressWindow::OnCancel() {
  const Updater::Phase phase = updater_.phase();
  if (phase == Updater::Phase::kDownloading || phase == Updater::Phase::kVerifying) {
    // The worker stops at once and reports back (kCancelled closes).
    updater_.Cancel();
    EnableWindow(cancel_, FALSE);
    return;
  }
  Finish(UpdateChoice::kClose);
}

void ProgressWindow::Finish(UpdateChoice choice) {
  if (done_) return;
  choice_ = choice;
  done_ = true;
  updater_.Cancel();
  PostMessageW(window_, WM_NULL, 0, 0);  // ends the wait for a message
}

void ProgressWindow::Paint(HDC dc) {
  const HGDIOBJ old_font = font_.get() ? SelectObject(dc, font_.get()) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  const Updater::Phase phase = updater_.phase();
  const InstallerOffer& offer = updater_.offer();
  std::wstring headline = L"Güncelleme indiriliyor";
  if (phase == Updater::Phase::kVerifying) headline = L"Doğrulanıyor…";
  if (installing_) headline = L"Kuruluyor — oyun yeniden başlayacak";
  if (phase == Updater::Phase::kFailed) headline = UpdateFailureText(updater_.failure());
  const std::wstring build = L"Yeni sürüm: v" + std::to_wstring(offer.build);
  const uint64_t received = updater_.received();
  const std::wstring amount = Megabytes(received) + L" MB / " + Megabytes(offer.size) + L" MB";
  const int left = Scaled(kMargin);
  int top = Scaled(kMargin);
  const std::wstring* lines[] = {&headline, &build, &amount};
  for (const std::wstring* line : lines) {
    TextOutW(dc, left, top, line->c_str(), static_cast<int>(line->size()));
    top += Scaled(kLine);
  }
  RECT bar = {left, top + Scaled(4), Scaled(kWidth - kMargin), top + Scaled(4 + kBarHeight)};
  FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
  InflateRect(&bar, -1, -1);
  const uint64_t total = offer.size ? offer.size : 1;
  const uint64_t shown = received < total ? received : total;
  bar.right = bar.left + static_cast<LONG>((bar.right - bar.left) * shown / total);
  FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
  if (old_font) SelectObject(dc, old_font);
}

}  // namespace

UpdateChoice RunUpdateWindow(HINSTANCE instance, HWND owner, Updater& updater) {
  ProgressWindow window(updater, owner);
  return window.Run(instance);
}
