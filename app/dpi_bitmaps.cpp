#include "app/dpi_bitmaps.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/little_endian.h"
#include "common/win_owners.h"
#include "storage/zlib_codec.h"

namespace {

// More than the pictures of any DPI need; a damaged length field asks for no more.
constexpr uint32_t kMaxContentBytes = 8u << 20;

// Where the pixels of a packed DIB of `length` bytes start, after its header and colour
// table; 0 when the header does not describe pixels that lie within those bytes.
uint32_t PixelsAt(const uint8_t* dib, uint32_t length) {
  if (length < sizeof(BITMAPINFOHEADER)) return 0;
  BITMAPINFOHEADER header;
  memcpy(&header, dib, sizeof header);
  if (header.biSize < sizeof header || header.biSize > length || header.biWidth <= 0 || header.biHeight == 0 ||
      header.biPlanes != 1 || header.biClrUsed > 256)
    return 0;
  uint32_t colours = header.biClrUsed;
  if (colours == 0 && header.biBitCount <= 8) colours = 1u << header.biBitCount;
  const uint64_t pixels = uint64_t(header.biSize) + 4u * colours;
  uint64_t bytes = 0;
  if (header.biCompression == BI_RGB && (header.biBitCount == 8 || header.biBitCount == 24)) {
    const uint64_t stride = (uint64_t(header.biWidth) * header.biBitCount + 31) / 32 * 4;
    bytes = stride * uint64_t(header.biHeight < 0 ? -int64_t(header.biHeight) : header.biHeight);
  } else if (header.biCompression == BI_RLE8 && header.biBitCount == 8) {
    bytes = header.biSizeImage;
  } else {
    return 0;
  }
  return pixels + bytes <= length ? uint32_t(pixels) : 0;
}

}  // namespace

HBITMAP LoadPackedBitmap(HINSTANCE instance, int resourceId, int bitmapId) {
  const tolvane::LoadedResource set(instance, resourceId, RT_RCDATA);
  if (!set.found() || set.size() < 4) return nullptr;
  const uint32_t contentBytes = tolvane::LoadLe32(set.data());
  if (contentBytes > kMaxContentBytes) return nullptr;
  std::vector<uint8_t> content;
  bool limited = false;
  if (!tolvane::InflateZlibAtMost(set.data() + 4, set.size() - 4, content, contentBytes, uint64_t(contentBytes) + 1,
                                  limited) ||
      content.size() != contentBytes)
    return nullptr;
  for (uint32_t at = 0; contentBytes - at >= 6;) {
    const uint16_t id = tolvane::LoadLe16(&content[at]);
    const uint32_t length = tolvane::LoadLe32(&content[at + 2]);
    at += 6;
    if (length > contentBytes - at) return nullptr;
    if (id == bitmapId) {
      const uint32_t pixels = PixelsAt(&content[at], length);
      if (!pixels) return nullptr;
      // Copied to where BITMAPINFO's fields and the pixel rows are aligned as GDI wants.
      std::vector<uint32_t> dib((length + 3) / 4);
      memcpy(dib.data(), &content[at], length);
      const auto* info = reinterpret_cast<const BITMAPINFO*>(dib.data());
      const tolvane::WindowDc screen(nullptr);
      if (!screen.get()) return nullptr;
      return CreateDIBitmap(screen.get(), &info->bmiHeader, CBM_INIT, reinterpret_cast<const uint8_t*>(dib.data()) + pixels,
                            info, DIB_RGB_COLORS);
    }
    at += length;
  }
  return nullptr;
}
