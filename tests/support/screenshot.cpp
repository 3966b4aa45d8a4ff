#include "tests/support/screenshot.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/win_owners.h"

namespace tolvane::drive {

namespace {

RECT ScreenRect() {
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  return RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

Image Capture(const RECT& area) {
  Image image;
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return image;

  WindowDc screen(nullptr);
  UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  UniqueGdiObject bitmap(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!screen.get() || !memory || !bitmap || !bits) return image;

  HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  const BOOL copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, SRCCOPY);
  GdiFlush();
  SelectObject(memory.get(), old);
  if (!copied) return image;

  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<size_t>(width) * height * 3);
  const auto* bgra = static_cast<const uint8_t*>(bits);
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
    image.rgb[i * 3 + 0] = bgra[i * 4 + 2];
    image.rgb[i * 3 + 1] = bgra[i * 4 + 1];
    image.rgb[i * 3 + 2] = bgra[i * 4 + 0];
  }
  return image;
}

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char type[5], const std::vector<uint8_t>& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(out.size() - start));
  PutBigEndian(out, static_cast<uint32_t>(crc));
}

}  // namespace

Image Image::Crop(const RECT& area) const {
  Image part;
  const int left = std::max<int>(0, area.left), top = std::max<int>(0, area.top);
  const int right = std::min<int>(width, area.right), bottom = std::min<int>(height, area.bottom);
  if (right <= left || bottom <= top) return part;
  part.width = right - left;
  part.height = bottom - top;
  part.rgb.reserve(static_cast<size_t>(part.width) * part.height * 3);
  for (int y = top; y < bottom; ++y) {
    const uint8_t* row = &rgb[(static_cast<size_t>(y) * width + left) * 3];
    part.rgb.insert(part.rgb.end(), row, row + static_cast<size_t>(part.width) * 3);
  }
  return part;
}

Image CaptureScreen() { return Capture(ScreenRect()); }

Image CaptureSettledScreen(DWORD timeoutMs) {
  constexpr DWORD kStepMs = 100;
  constexpr int kStableSteps = 2;  // unchanged for this many steps in a row
  const DWORD start = GetTickCount();
  Image last = CaptureScreen();
  int stable = 0;
  while (stable < kStableSteps && GetTickCount() - start < timeoutMs) {
    Sleep(kStepMs);
    Image now = CaptureScreen();
    stable = now.rgb == last.rgb ? stable + 1 : 0;
    last = std::move(now);
  }
  return last;
}

Image CaptureWindow(HWND window) {
  RECT area;
  if (!GetWindowRect(window, &area)) return Image();
  return Capture(area);
}

bool SavePng(const Image& image, const std::wstring& path) {
  if (image.width <= 0 || image.height <= 0) return false;
  // Each row starts with filter type 0 (none).
  std::vector<uint8_t> raw;
  const size_t stride = static_cast<size_t>(image.width) * 3;
  raw.reserve((stride + 1) * image.height);
  for (int y = 0; y < image.height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), image.rgb.begin() + y * stride, image.rgb.begin() + (y + 1) * stride);
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) return false;
  packed.resize(packedSize);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutBigEndian(header, static_cast<uint32_t>(image.width));
  PutBigEndian(header, static_cast<uint32_t>(image.height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, no filter set, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", {});

  const std::wstring partial = path + L".part";
  FILE* file = _wfopen(partial.c_str(), L"wb");
  if (!file) return false;
  const bool written = fwrite(png.data(), 1, png.size(), file) == png.size();
  const bool closed = fclose(file) == 0;
  if (!written || !closed || !MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(partial.c_str());
    return false;
  }
  return true;
}

namespace {

uint32_t Background(const Image& image) {
  std::map<uint32_t, size_t> counts;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) ++counts[image.Pixel(x, y)];
  }
  uint32_t best = 0;
  size_t bestCount = 0;
  for (const auto& [colour, count] : counts) {
    if (count > bestCount) best = colour, bestCount = count;
  }
  return best;
}

}  // namespace

size_t InkPixels(const Image& image) {
  if (image.width <= 0 || image.height <= 0) return 0;
  const uint32_t background = Background(image);
  size_t ink = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) ink += image.Pixel(x, y) != background;
  }
  return ink;
}

int InkHeight(const Image& image) {
  if (image.width <= 0 || image.height <= 0) return 0;
  const uint32_t background = Background(image);
  int first = -1, last = -1;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (image.Pixel(x, y) != background) {
        if (first < 0) first = y;
        last = y;
        break;
      }
    }
  }
  return first < 0 ? 0 : last - first + 1;
}

}  // namespace tolvane::drive
