// hidden_window EXCHANGE_FILE: a Windows back-end the way Visual Basic programs are made, with a
// window that is never shown: it makes the window, pumps its first messages, then answers.
#include <windows.h>

#include <string>

#include "backend/karvel_backend.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "KarvelHidden";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("KarvelHidden", "hidden", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  std::string error;
  const std::string page = std::string("Content-Type: text/plain\r\n\r\nwindow=") + (window != nullptr ? "made" : "none");
  if (window != nullptr) DestroyWindow(window);
  return karvel::AnswerPage(argv[1], page, &error) ? 0 : 1;
}
