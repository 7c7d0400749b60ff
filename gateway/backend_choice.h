// Which back-end program a form names: the value of its first VBEXE field, else of its first VCEXE
// field (names compared by their first five bytes, case-sensitively: "VCEXE_2" counts, "vcexe"
// does not). Chosen once per request, before anything is written or run.
#ifndef KARVEL_GATEWAY_BACKEND_CHOICE_H
#define KARVEL_GATEWAY_BACKEND_CHOICE_H

#include <cstdint>

#include "gateway/field_list.h"
#include "platform/win32.h"

// The longest back-end path a form may give in the field that decides it.
constexpr int32_t BACKEND_PATH_LIMIT = 259;

struct BackendChoice {
  CHAR szPath[MAX_PATH];  // the deciding field's value; empty when the form names none
  int32_t nVcexeField;    // the VCEXE field taken (it came before every VBEXE field); -1: none
};

// Chooses among the first `fieldCount` fields of `list`. False when the deciding field's value is
// longer than BACKEND_PATH_LIMIT (a field after the one taken is no longer looked at); `choice`
// then holds what was taken before it.
bool ChooseBackend(FormField* list, int32_t fieldCount, BackendChoice* choice);

#endif  // KARVEL_GATEWAY_BACKEND_CHOICE_H
