#include "flash_host.h"

// The media control is not hosted yet: the host stays empty.

bool FlashHost::Create(HWND, const std::wstring&) {
  last_error = L"media control not available";
  return false;
}

bool FlashHost::SetProperty(const wchar_t*, const std::wstring&) { return false; }

long FlashHost::GetLong(const wchar_t*) { return -1; }

void FlashHost::Resize(int, int) {}

void FlashHost::Destroy() {}
