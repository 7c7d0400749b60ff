#include "gateway/backend_choice.h"

#include <cstring>

bool ChooseBackend(FormField* list, int32_t fieldCount, BackendChoice* choice) {
  choice->szPath[0] = '\0';
  choice->nVcexeField = -1;
  int32_t k = 0;
  for (FormField* field = list; field != nullptr && k < fieldCount; field = field->pNext, ++k) {
    char* name = nullptr;
    int32_t length = 0;
    GetFormField(field, &name, &length, nullptr, nullptr);
    const bool vcexe = choice->nVcexeField < 0 && std::strncmp(name, "VCEXE", 5) == 0;
    const bool vbexe = std::strncmp(name, "VBEXE", 5) == 0;
    if (!vcexe && !vbexe) continue;
    if (length > BACKEND_PATH_LIMIT) return false;
    std::memcpy(choice->szPath, GetFormFieldValue(field), static_cast<size_t>(length));
    choice->szPath[length] = '\0';
    // A VBEXE field decides for good; a VCEXE field only until one comes.
    if (vbexe) return true;
    choice->nVcexeField = k;
  }
  return true;
}
