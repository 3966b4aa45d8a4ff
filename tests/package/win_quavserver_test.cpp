// The stand-in server is a real program: it opens its window and answers on the loopback port.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr DWORD kTimeoutMs = 30000;

struct FoundWindow {
  DWORD process;
  HWND window;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<FoundWindow*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (pid == found->process && std::wstring(title) == L"Tolvane\x7FFB\x8BD1\x670D\x52A1\x5668") {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

// Connects and sends one request; empty when nothing answers.
std::string Ask(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u_short(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    send(s, request, sizeof request - 1, 0);
    char buf[512];
    int n;
    while ((n = recv(s, buf, sizeof buf, 0)) > 0) reply.append(buf, size_t(n));
  }
  closesocket(s);
  return reply;
}

TEST(QuavServer, ServesItsStatusAndClosesWithItsWindow) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const int port = 18000 + int(GetCurrentProcessId() % 1000);
  std::wstring command = L"\"" TOLVANE_QUAVSERVER L"\" --port " + std::to_wstring(port);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));

  std::string reply;
  FoundWindow found{pi.dwProcessId, nullptr};
  for (DWORD start = GetTickCount(); GetTickCount() - start < kTimeoutMs;) {
    if (!found.window) EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&found));
    if (reply.empty()) reply = Ask(port);
    if (found.window && !reply.empty()) break;
    if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  EXPECT_NE(found.window, nullptr);
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Tolvane translation server 1.0.7 running"), std::string::npos);

  if (found.window) PostMessageW(found.window, WM_CLOSE, 0, 0);
  DWORD waited = WaitForSingleObject(pi.hProcess, kTimeoutMs);
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  WSACleanup();
}

}  // namespace
