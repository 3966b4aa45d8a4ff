// Shows one message box and exits with the button pressed: lets tests drive a box that
// belongs to another process, as an end-to-end test does with setup.exe.
//   msgbox_show.exe CAPTION TEXT FLAGS
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fwprintf(stderr, L"usage: msgbox_show CAPTION TEXT FLAGS\n");
    return 100;
  }
  const UINT flags = static_cast<UINT>(wcstoul(argv[3], nullptr, 0));
  return MessageBoxW(nullptr, argv[2], argv[1], flags);
}
