#include "app/bitmap_file.h"

#include "platform/modules.h"
#include "platform/scoped_win.h"

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

std::wstring ModuleDir() { return DirectoryOf(ExecutablePath()); }

uint32_t BitmapStride(int width) { return (3u * static_cast<uint32_t>(width) + 3u) / 4u * 4u; }

void FillBitmapHeaders(int width, int height, BITMAPFILEHEADER* file, BITMAPINFOHEADER* info) {
  const uint32_t image_size = BitmapStride(width) * static_cast<uint32_t>(height);
  *info = BITMAPINFOHEADER();
  info->biSize = sizeof(BITMAPINFOHEADER);
  info->biWidth = width;
  info->biHeight = height;
  info->biPlanes = 1;
  info->biBitCount = 24;
  info->biCompression = BI_RGB;
  info->biSizeImage = image_size;
  *file = BITMAPFILEHEADER();
  file->bfType = 0x4D42;  // "BM"
  file->bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file->bfSize = file->bfOffBits + image_size;
}

bool WriteBitmapFile(const std::wstring& path, const BITMAPFILEHEADER& file,
                     const BITMAPINFOHEADER& info, const void* pixels) {
  if (!pixels) return false;
  const ScopedHandle handle(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!handle.valid()) return false;
  DWORD written = 0;
  return WriteFile(handle.get(), &file, sizeof(file), &written, nullptr) &&
         WriteFile(handle.get(), &info, sizeof(info), &written, nullptr) &&
         WriteFile(handle.get(), pixels, info.biSizeImage, &written, nullptr);
}
