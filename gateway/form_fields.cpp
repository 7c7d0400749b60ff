// The form field list: building it, walking it, releasing it; and MeasureText.
#include "gateway/form_fields.h"

#include <cstring>

#include "platform/win32.h"

namespace {

constexpr int kMeasureLimit = 64000;

// The value buffer's address sits behind the NUL of the first record's name, unaligned.
char* ValueBufferSlot(FormField* head) { return head->szName + std::strlen(head->szName) + 1; }

}  // namespace

bool StartFormFieldList(FormFieldList* list, size_t capacity) {
  *list = FormFieldList{};
  list->pValueBuffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, capacity));
  if (list->pValueBuffer == nullptr) return false;
  list->nValueCapacity = capacity;
  return true;
}

bool EnsureValueRoom(FormFieldList* list, size_t bytes) {
  if (list->nValueCapacity - list->nWritePosition >= bytes) return true;
  const size_t capacity = list->nWritePosition + bytes + list->nValueCapacity / 2;
  char* grown = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, capacity));
  if (grown == nullptr) return false;
  std::memcpy(grown, list->pValueBuffer, list->nWritePosition);
  HeapFree(GetProcessHeap(), 0, list->pValueBuffer);
  list->pValueBuffer = grown;
  list->nValueCapacity = capacity;
  for (FormField* field = list->pHead; field != nullptr; field = field->pNext) {
    field->pValue = grown + field->nValueOffset;
  }
  if (list->pHead != nullptr) std::memcpy(ValueBufferSlot(list->pHead), &grown, sizeof grown);
  return true;
}

bool AppendFormField(FormFieldList* list, const char* name, int32_t nonPrintable) {
  const size_t valueLength = list->nWritePosition - list->nRunningOffset;
  // The room for the NUL was kept with the value's bytes.
  list->pValueBuffer[list->nWritePosition++] = '\0';

  const size_t nameLength = std::strlen(name);
  const bool first = list->pHead == nullptr;
  const size_t size = offsetof(FormField, szName) + nameLength + 1 + (first ? sizeof(char*) : 0);
  auto* field = static_cast<FormField*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (field == nullptr) return false;

  int32_t sameName = 0;
  for (FormField* earlier = list->pHead; earlier != nullptr; earlier = earlier->pNext) {
    if (lstrcmpiA(earlier->szName, name) == 0) ++sameName;
  }
  field->nSameNameCount = sameName;
  field->nValueOffset = static_cast<int32_t>(list->nRunningOffset);
  field->nValueLength = static_cast<int32_t>(valueLength);
  field->bNonPrintable = nonPrintable;
  field->pValue = list->pValueBuffer + list->nRunningOffset;
  std::memcpy(field->szName, name, nameLength + 1);
  list->nRunningOffset += valueLength + 1;

  if (first) {
    list->pHead = field;
    std::memcpy(ValueBufferSlot(field), &list->pValueBuffer, sizeof list->pValueBuffer);
  } else {
    list->pTail->pNext = field;
  }
  field->pHead = list->pHead;
  list->pTail = field;
  return true;
}

void ReleaseFormFieldList(FormFieldList* list) {
  FreeFormFields(list->pHead);
  if (list->pHead == nullptr && list->pValueBuffer != nullptr) {
    HeapFree(GetProcessHeap(), 0, list->pValueBuffer);
  }
  *list = FormFieldList{};
}

FormField* GetFormField(FormField* field, char** name, int32_t* valueLength, int32_t* nonPrintable,
                        int32_t* sameNameCount) {
  if (field == nullptr) return nullptr;
  if (name != nullptr) *name = field->szName;
  if (valueLength != nullptr) *valueLength = field->nValueLength;
  if (nonPrintable != nullptr) *nonPrintable = field->bNonPrintable;
  if (sameNameCount != nullptr) *sameNameCount = field->nSameNameCount;
  return field->pNext;
}

char* GetFormFieldValue(FormField* field) { return field == nullptr ? nullptr : field->pValue; }

void FreeFormFields(FormField* field) {
  if (field == nullptr) return;
  FormField* head = field->pHead;
  // The first value starts the value buffer. Taken from pValue rather than from the slot behind
  // the name: callers may shorten names in place (MeasureText), which would move the slot.
  HeapFree(GetProcessHeap(), 0, head->pValue - head->nValueOffset);
  while (head != nullptr) {
    FormField* next = head->pNext;
    HeapFree(GetProcessHeap(), 0, head);
    head = next;
  }
}

uint16_t MeasureText(char* text) {
  for (int k = 0; k < kMeasureLimit; ++k) {
    const uint8_t byte = static_cast<uint8_t>(text[k]);
    if (byte == 0) return static_cast<uint16_t>(k);
    if (byte <= 8) {
      text[k] = '\0';
      return static_cast<uint16_t>(k);
    }
  }
  return 0;
}
