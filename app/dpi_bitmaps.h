// The wizard's bitmaps for higher DPIs, kept compressed together in one RCDATA resource
// (resources/make_bitmaps.py writes it): a u32 content length, then the content as one
// zlib stream; the content is a sequence of records, each a u16 bitmap id, a u32 length n
// and n bytes of a packed DIB (BITMAPINFOHEADER, colour table, pixels: what a BITMAP
// resource holds), all little-endian. About half the size of the same bitmaps as BITMAP
// resources, and GDI draws them from the same bytes.
#pragma once

#include <windows.h>

// Bitmap `bitmapId` of the set in RCDATA `resourceId` of `instance`, as a device bitmap of
// the screen (what LoadImageW without flags makes of a BITMAP resource); nullptr when the
// set or the bitmap is missing or damaged. The caller deletes it.
HBITMAP LoadPackedBitmap(HINSTANCE instance, int resourceId, int bitmapId);
