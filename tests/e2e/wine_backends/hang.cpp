// hang EXCHANGE_FILE: never answers (a Windows program stuck in a dialog nobody sees).
#include <windows.h>

int main() {
  Sleep(600000);
  return 0;
}
