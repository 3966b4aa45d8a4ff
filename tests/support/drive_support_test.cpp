// The driver's own parts that do not need setup.exe: message boxes, screenshots as PNG,
// the ink measures, path conversion and waiting.
#include <windows.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "tests/support/screenshot.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

uint32_t BigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<uint8_t> ReadFile(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return bytes;
  uint8_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(file);
  return bytes;
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

Image Gradient(int width, int height) {
  Image image;
  image.width = width;
  image.height = height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.rgb.push_back(static_cast<uint8_t>(x * 7));
      image.rgb.push_back(static_cast<uint8_t>(y * 13));
      image.rgb.push_back(static_cast<uint8_t>(x ^ y));
    }
  }
  return image;
}

// A PNG written by SavePng decodes back to the same pixels, with valid chunk CRCs.
TEST(Screenshot, PngHoldsTheExactPixels) {
  const Image image = Gradient(37, 11);  // odd width: rows are not multiples of 4 bytes
  const std::wstring path = TempPath(L"tolvane-drive-test.png");
  ASSERT_TRUE(SavePng(image, path));
  const std::vector<uint8_t> png = ReadFile(path);
  DeleteFileW(path.c_str());
  ASSERT_GT(png.size(), 8u);
  ASSERT_EQ(0, memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8));

  std::vector<uint8_t> idat;
  size_t at = 8;
  std::string last;
  while (at + 12 <= png.size()) {
    const uint32_t length = BigEndian(&png[at]);
    ASSERT_LE(at + 12 + length, png.size());
    const std::string type(reinterpret_cast<const char*>(&png[at + 4]), 4);
    const uLong crc = crc32(0L, &png[at + 4], length + 4);
    EXPECT_EQ(crc, BigEndian(&png[at + 8 + length])) << type;
    if (type == "IHDR") {
      EXPECT_EQ(BigEndian(&png[at + 8]), 37u);
      EXPECT_EQ(BigEndian(&png[at + 12]), 11u);
      EXPECT_EQ(png[at + 16], 8);  // bit depth
      EXPECT_EQ(png[at + 17], 2);  // RGB
    }
    if (type == "IDAT") idat.insert(idat.end(), &png[at + 8], &png[at + 8 + length]);
    last = type;
    at += 12 + length;
  }
  EXPECT_EQ(last, "IEND");
  EXPECT_EQ(at, png.size());

  std::vector<uint8_t> raw((37 * 3 + 1) * 11);
  uLongf rawSize = static_cast<uLongf>(raw.size());
  ASSERT_EQ(uncompress(raw.data(), &rawSize, idat.data(), static_cast<uLong>(idat.size())), Z_OK);
  ASSERT_EQ(rawSize, raw.size());
  for (int y = 0; y < 11; ++y) {
    EXPECT_EQ(raw[y * (37 * 3 + 1)], 0) << "filter of row " << y;
    EXPECT_EQ(0, memcmp(&raw[y * (37 * 3 + 1) + 1], &image.rgb[y * 37 * 3], 37 * 3)) << "row " << y;
  }
}

TEST(Screenshot, RefusesAnEmptyImageOrAnUnwritablePath) {
  EXPECT_FALSE(SavePng(Image(), TempPath(L"tolvane-empty.png")));
  EXPECT_FALSE(SavePng(Gradient(2, 2), L"Q:\\no\\such\\folder\\x.png"));
}

TEST(Screenshot, InkIsWhatDiffersFromTheBackground) {
  Image image;
  image.width = 10;
  image.height = 8;
  image.rgb.assign(10 * 8 * 3, 255);
  EXPECT_EQ(InkPixels(image), 0u);
  EXPECT_EQ(InkHeight(image), 0);
  auto dot = [&](int x, int y) { std::fill_n(&image.rgb[(y * 10 + x) * 3], 3, 0); };
  dot(1, 2);
  dot(5, 2);
  dot(3, 5);
  EXPECT_EQ(InkPixels(image), 3u);
  EXPECT_EQ(InkHeight(image), 4);  // rows 2 to 5

  const Image part = image.Crop(RECT{0, 3, 10, 8});
  EXPECT_EQ(part.width, 10);
  EXPECT_EQ(part.height, 5);
  EXPECT_EQ(InkPixels(part), 1u);
  EXPECT_EQ(part.Pixel(3, 2), 0u);
  EXPECT_EQ(image.Crop(RECT{20, 20, 30, 30}).width, 0);  // outside: empty
}

TEST(Screenshot, CapturesTheDisplay) {
  const Image screen = CaptureScreen();
  EXPECT_EQ(screen.width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(screen.height, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  EXPECT_EQ(screen.rgb.size(), static_cast<size_t>(screen.width) * screen.height * 3);
}

TEST(Paths, UnixPathsGoThroughDriveZ) {
  EXPECT_EQ(WindowsPath(L"/work/build/setup.exe"), L"Z:\\work\\build\\setup.exe");
  EXPECT_EQ(WindowsPath(L"C:\\x\\y.exe"), L"C:\\x\\y.exe");
  EXPECT_EQ(WindowsPath(L"relative/a.exe"), L"relative/a.exe");
  EXPECT_EQ(WindowsPath(L""), L"");
}

TEST(Waiting, ReturnsAsSoonAsTheConditionHoldsOrFalseAtTheDeadline) {
  int calls = 0;
  EXPECT_TRUE(WaitUntil([&] { return ++calls == 3; }, 5000));
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(WaitUntil([] { return false; }, 100));
}

// A message box of this very process, shown on another thread, found by process and
// caption, read and answered.
TEST(MessageBoxes, FoundByProcessAndCaptionReadAndAnswered) {
  std::atomic<int> answer{0};
  std::thread shower([&] {
    answer = MessageBoxW(nullptr, L"确认从计算机中卸载?", kMessageCaption, MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
  });
  EXPECT_FALSE(MessageBoxWindow::Find(GetCurrentProcessId() + 4, kMessageCaption, 300));  // another process
  MessageBoxWindow box = MessageBoxWindow::Find(GetCurrentProcessId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box.Text(), L"确认从计算机中卸载?");
  const std::vector<int> buttons = box.Buttons();
  EXPECT_EQ(std::set<int>(buttons.begin(), buttons.end()), (std::set<int>{IDYES, IDNO, IDCANCEL}));
  EXPECT_FALSE(box.Press(IDOK, 300));  // not one of its buttons
  EXPECT_TRUE(box.Press(IDNO));
  shower.join();
  EXPECT_EQ(answer.load(), IDNO);
}

}  // namespace
}  // namespace tolvane::drive
