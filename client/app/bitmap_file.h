// The files the shell writes beside itself: where that is, and the
// screenshot as an uncompressed 24-bit bitmap.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The executable's folder without a trailing separator ("." if unknown),
// however long its path.
std::wstring ModuleDir();

// The folder part of an executable path as ModuleDir gives it.
std::wstring DirectoryOf(const std::wstring& path);

// Bytes of one 24-bit pixel row of `width` pixels, padded to 4 bytes.
uint32_t BitmapStride(int width);

// The two headers of an uncompressed bottom-up 24-bit bitmap file.
void FillBitmapHeaders(int width, int height, BITMAPFILEHEADER* file, BITMAPINFOHEADER* info);

// Writes headers and pixels to `path`. Writes nothing and returns false when
// `pixels` is null (no complete file can be made) or the file cannot be
// created; a failed write leaves a short file.
bool WriteBitmapFile(const std::wstring& path, const BITMAPFILEHEADER& file,
                     const BITMAPINFOHEADER& info, const void* pixels);
