#include "core/window_size.h"

#include <algorithm>
#include <cstdint>

namespace window_size {

namespace {

// Below this the game cannot be played at all; a work area smaller than the
// window then gets a window larger than itself.
const int kMinClientWidth = 100;
// Saved coordinates beyond this are no monitor's.
const int kMaxCoordinate = 100000;

bool ParseNumber(const std::string& text, int* value) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) at = 1;
  if (at == text.size() || text.size() - at > 6) return false;
  int64_t number = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    number = number * 10 + (text[at] - '0');
  }
  if (number > kMaxCoordinate) return false;
  *value = static_cast<int>(negative ? -number : number);
  return true;
}

// "name=number", the name exactly `name`.
bool ParseField(const std::string& field, const char* name, int* value) {
  const std::string prefix = std::string(name) + "=";
  return field.compare(0, prefix.size(), prefix) == 0 &&
         ParseNumber(field.substr(prefix.size()), value);
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t blank = text.find(' ', start);
    fields.push_back(text.substr(start, blank - start));
    if (blank == std::string::npos) return fields;
    start = blank + 1;
  }
}

}  // namespace

int Scale(int value, int dpi) {
  if (dpi <= 0) dpi = kBaseDpi;
  const int64_t product = static_cast<int64_t>(value) * dpi;
  const int64_t half = kBaseDpi / 2;
  return static_cast<int>(product >= 0 ? (product + half) / kBaseDpi : (product - half) / kBaseDpi);
}

Size ClientSize(int dpi, Size frame, Size work) {
  Size client;
  client.width = Scale(kBaseClientWidth, dpi);
  client.height = Scale(kBaseClientHeight, dpi);
  const int64_t room_width = static_cast<int64_t>(work.width) - frame.width;
  const int64_t room_height = static_cast<int64_t>(work.height) - frame.height;
  if (client.width <= room_width && client.height <= room_height) return client;
  // A multiple of 5 wide, so that 3/5 of it is exact.
  int64_t width = std::min<int64_t>({room_width, room_height * 5 / 3, client.width});
  width -= width % 5;
  width = std::max<int64_t>(width, kMinClientWidth);
  client.width = static_cast<int>(width);
  client.height = static_cast<int>(width / 5 * 3);
  return client;
}

Rect MoveInto(Rect window, Rect work) {
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  int left = window.left;
  int top = window.top;
  if (left + width > work.right) left = work.right - width;
  if (top + height > work.bottom) top = work.bottom - height;
  left = std::max(left, work.left);
  top = std::max(top, work.top);
  return Rect{left, top, left + width, top + height};
}

std::string FormatPlacement(const Placement& placement) {
  const Rect& r = placement.normal;
  return "left=" + std::to_string(r.left) + " top=" + std::to_string(r.top) +
         " right=" + std::to_string(r.right) + " bottom=" + std::to_string(r.bottom) +
         " maximized=" + (placement.maximized ? "1" : "0") +
         " fullscreen=" + (placement.fullscreen ? "1" : "0");
}

bool ParsePlacement(const std::string& text, Placement* placement) {
  std::string line = text;
  if (line.size() >= 1 && line.back() == '\n') line.pop_back();
  if (line.size() >= 1 && line.back() == '\r') line.pop_back();
  const std::vector<std::string> fields = SplitBlanks(line);
  if (fields.size() != 6) return false;
  Rect r;
  int maximized = 0;
  int fullscreen = 0;
  if (!ParseField(fields[0], "left", &r.left) || !ParseField(fields[1], "top", &r.top) ||
      !ParseField(fields[2], "right", &r.right) || !ParseField(fields[3], "bottom", &r.bottom) ||
      !ParseField(fields[4], "maximized", &maximized) ||
      !ParseField(fields[5], "fullscreen", &fullscreen)) {
    return false;
  }
  if (r.right <= r.left || r.bottom <= r.top) return false;
  if ((maximized != 0 && maximized != 1) || (fullscreen != 0 && fullscreen != 1)) return false;
  placement->normal = r;
  placement->maximized = maximized == 1;
  placement->fullscreen = fullscreen == 1;
  return true;
}

bool ShouldRestore(const Rect& saved, const std::vector<Rect>& work_areas) {
  const int width = saved.right - saved.left;
  const int height = saved.bottom - saved.top;
  if (width < kCaptionReach || height < kCaptionBand) return false;
  for (const Rect& area : work_areas) {
    const bool fits = width <= area.right - area.left && height <= area.bottom - area.top;
    const bool band_inside = saved.top >= area.top && saved.top + kCaptionBand <= area.bottom;
    const int reach = std::min(saved.right, area.right) - std::max(saved.left, area.left);
    if (fits && band_inside && reach >= kCaptionReach) return true;
  }
  return false;
}

}  // namespace window_size
