#include "browser_host.h"

// The browser control is not hosted yet: the host stays empty and says so.

void BrowserHost::EnsureBrowserEmulation() {}

bool BrowserHost::Create(HWND, const std::wstring&, PlayNavigationCallback) {
  last_error = L"web browser control not available";
  return false;
}

void BrowserHost::Resize(int, int) {}

bool BrowserHost::HasTextFocus() { return false; }

bool BrowserHost::TranslateAcceleratorW(MSG*) { return false; }

void BrowserHost::Destroy() {}
