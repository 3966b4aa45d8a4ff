// Pictures of the display: captured with GDI, examined in memory, saved as PNG.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::drive {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // top row first, 3 bytes a pixel

  uint32_t Pixel(int x, int y) const {  // 0xRRGGBB
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }
  // The part inside `area` (screen coordinates of the captured display), clipped.
  Image Crop(const RECT& area) const;
};

// The whole (virtual) screen as it is now; empty on failure.
Image CaptureScreen();
// A window's rectangle on the screen as it is now.
Image CaptureWindow(HWND window);
// The whole screen once it has stopped changing (pending painting has reached the
// display), or as it is when `timeoutMs` has passed.
Image CaptureSettledScreen(DWORD timeoutMs = 5000);

// Writes an 8-bit RGB PNG; false (and nothing half-written left behind) on failure.
bool SavePng(const Image& image, const std::wstring& path);

// How many pixels differ from the most common colour: the "ink" of text on a plain background.
size_t InkPixels(const Image& image);
// Rows (top to bottom) that hold ink: a text's height in pixels, 0 when blank.
int InkHeight(const Image& image);

}  // namespace tolvane::drive
