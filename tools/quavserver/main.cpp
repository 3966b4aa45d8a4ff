// quavserver: the stand-in translation server. A small window that shows its state and a
// loopback HTTP listener that answers every request with a one-line status.
//
//   quavserver.exe [--port N]      (default port 8427; 127.0.0.1 only)
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr UINT WM_SOCKET = WM_APP + 1;
constexpr int kDefaultPort = 8427;
constexpr wchar_t kClassName[] = L"QuavServerWindow";
constexpr char kStatus[] = "Tolvane translation server 1.0.7 running\r\n";

// Owner of one socket.
class Socket {
 public:
  explicit Socket(SOCKET s = INVALID_SOCKET) : s_(s) {}
  ~Socket() { reset(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return s_; }
  void reset(SOCKET s = INVALID_SOCKET) {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = s;
  }

 private:
  SOCKET s_;
};

// Winsock for the life of the program.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (ok_) WSACleanup();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

Socket gListener;
HWND gStatusText = nullptr;

void Answer(SOCKET client) {
  // The request itself does not matter; read what arrived and answer.
  char request[2048];
  recv(client, request, sizeof request, 0);
  char response[256];
  int n = std::snprintf(response, sizeof response,
                        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %u\r\n\r\n%s",
                        unsigned(sizeof kStatus - 1), kStatus);
  send(client, response, n, 0);
  shutdown(client, SD_SEND);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      gStatusText = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, 12, 12, 360, 40, window,
                                    nullptr, reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance, nullptr);
      return 0;
    case WM_SOCKET:
      if (WSAGETSELECTEVENT(lParam) == FD_ACCEPT) {
        Socket client(accept(gListener.get(), nullptr, nullptr));
        if (client.get() != INVALID_SOCKET) {
          // Back to blocking for the short answer.
          WSAAsyncSelect(client.get(), window, 0, 0);
          u_long blocking = 0;
          ioctlsocket(client.get(), FIONBIO, &blocking);
          Answer(client.get());
        }
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int ParsePort(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::wcscmp(argv[i], L"--port")) return std::wcstol(argv[i + 1], nullptr, 10);
  return kDefaultPort;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  int port = ParsePort(argc, argv);
  LocalFree(argv);
  if (port <= 0 || port > 65535) return 2;

  WinsockSession winsock;
  if (!winsock.ok()) return 1;

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc)) return 1;
  HWND window = CreateWindowExW(0, kClassName, L"Tolvane\x7FFB\x8BD1\x670D\x52A1\x5668", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 400, 120, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;

  gListener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u_short(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool listening = gListener.get() != INVALID_SOCKET &&
                   bind(gListener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   listen(gListener.get(), SOMAXCONN) == 0 &&
                   WSAAsyncSelect(gListener.get(), window, WM_SOCKET, FD_ACCEPT) == 0;
  wchar_t status[64];
  std::swprintf(status, 64, listening ? L"Listening on 127.0.0.1:%d" : L"Cannot listen on 127.0.0.1:%d", port);
  SetWindowTextW(gStatusText, status);
  ShowWindow(window, show);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  gListener.reset();
  return listening ? 0 : 1;
}
