// The form field list: building it, walking it, releasing it; and MeasureText.
#include "gateway/form_fields.h"

#include <cstring>

#include "gateway/ascii_fold.h"
#include "platform/win32.h"

namespace {

constexpr int kMeasureLimit = 64000;

// The value buffer's address sits behind the NUL of the first record's name, unaligned.
char* ValueBufferSlot(FormField* head) { return head->szName + std::strlen(head->szName) + 1; }

constexpr uint32_t kFirstNameSlots = 64;
// Record chunks double from the first size up to the last, so a small form takes one small block
// and a large one a block per few thousand records.
constexpr size_t kFirstChunkBytes = 2048;
constexpr size_t kLargestChunkBytes = 256 * 1024;

char* ChunkRecords(RecordChunk* chunk) { return reinterpret_cast<char*>(chunk) + sizeof(RecordChunk); }

// `bytes` of zeroed room for one record, from the last chunk or a new one; null without memory.
FormField* TakeRecord(FormFieldList* list, size_t bytes) {
  bytes = (bytes + 7) & ~size_t{7};
  RecordChunk* chunk = list->pLastChunk;
  if (chunk == nullptr || chunk->nSize - chunk->nUsed < bytes) {
    size_t size = chunk == nullptr ? kFirstChunkBytes : chunk->nSize * 2;
    if (size > kLargestChunkBytes) size = kLargestChunkBytes;
    if (size < bytes) size = bytes;
    auto* grown = static_cast<RecordChunk*>(HeapAlloc(GetProcessHeap(), 0, sizeof(RecordChunk) + size));
    if (grown == nullptr) return nullptr;
    *grown = RecordChunk{nullptr, size, 0};
    if (chunk == nullptr) {
      list->pFirstChunk = grown;
    } else {
      chunk->pNext = grown;
    }
    list->pLastChunk = grown;
    chunk = grown;
  }
  char* record = ChunkRecords(chunk) + chunk->nUsed;
  chunk->nUsed += bytes;
  std::memset(record, 0, bytes);
  return reinterpret_cast<FormField*>(record);
}

// FNV-1a over the name folded as lstrcmpiA folds it, so names it calls equal hash alike.
uint32_t NameHash(const char* name) {
  uint32_t hash = 2166136261u;
  for (; *name != '\0'; ++name) hash = (hash ^ static_cast<uint8_t>(AsciiLower(*name))) * 16777619u;
  return hash;
}

SameNameSlot* FindSlot(SameNameSlot* slots, uint32_t count, uint32_t hash, const char* name) {
  for (uint32_t k = hash & (count - 1);; k = (k + 1) & (count - 1)) {
    SameNameSlot* slot = &slots[k];
    if (slot->pFirst == nullptr) return slot;
    if (slot->nHash == hash && lstrcmpiA(slot->pFirst->szName, name) == 0) return slot;
  }
}

// Doubles the index when half full; false (index dropped) when no memory is left.
bool GrowNameIndex(FormFieldList* list) {
  if (list->nNamesUsed * 2 < list->nNameSlots) return true;
  const uint32_t count = list->nNameSlots * 2;
  auto* slots = static_cast<SameNameSlot*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * sizeof(SameNameSlot)));
  if (slots != nullptr) {
    for (uint32_t k = 0; k < list->nNameSlots; ++k) {
      const SameNameSlot& old = list->pNames[k];
      if (old.pFirst != nullptr) *FindSlot(slots, count, old.nHash, old.pFirst->szName) = old;
    }
  }
  const uint32_t used = list->nNamesUsed;
  ReleaseSameNameIndex(list);
  list->pNames = slots;
  list->nNameSlots = slots ? count : 0;
  list->nNamesUsed = slots ? used : 0;
  return slots != nullptr;
}

// How many earlier fields have `name` (without regard to case); counts this one in.
int32_t CountSameName(FormFieldList* list, const FormField* field) {
  if (list->pNames != nullptr && GrowNameIndex(list)) {
    const uint32_t hash = NameHash(field->szName);
    SameNameSlot* slot = FindSlot(list->pNames, list->nNameSlots, hash, field->szName);
    if (slot->pFirst == nullptr) {
      *slot = SameNameSlot{hash, 0, field};
      list->nNamesUsed++;
    }
    return slot->nSeen++;
  }
  int32_t sameName = 0;
  for (FormField* earlier = list->pHead; earlier != nullptr; earlier = earlier->pNext) {
    if (lstrcmpiA(earlier->szName, field->szName) == 0) ++sameName;
  }
  return sameName;
}

}  // namespace

bool StartFormFieldList(FormFieldList* list, size_t capacity) {
  *list = FormFieldList{};
  // Not cleared: every value byte and every NUL is written before anything reads it, and a large
  // body would otherwise touch as many pages as it has bytes.
  list->pValueBuffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
  if (list->pValueBuffer == nullptr) return false;
  list->nValueCapacity = capacity;
  list->pNames = static_cast<SameNameSlot*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kFirstNameSlots * sizeof(SameNameSlot)));
  list->nNameSlots = list->pNames ? kFirstNameSlots : 0;
  return true;
}

bool EnsureValueRoom(FormFieldList* list, size_t bytes) {
  if (list->nValueCapacity - list->nWritePosition >= bytes) return true;
  const size_t capacity = list->nWritePosition + bytes + list->nValueCapacity / 2;
  // Resized rather than copied: a copy would hold the form's values twice at the last growth, and
  // a large block grows by remapping its pages.
  char* grown = static_cast<char*>(HeapReAlloc(GetProcessHeap(), 0, list->pValueBuffer, capacity));
  if (grown == nullptr) return false;
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
  FormField* field = TakeRecord(list, size);
  if (field == nullptr) return false;

  std::memcpy(field->szName, name, nameLength + 1);
  field->nSameNameCount = CountSameName(list, field);
  field->nValueOffset = static_cast<int32_t>(list->nRunningOffset);
  field->nValueLength = static_cast<int32_t>(valueLength);
  field->bNonPrintable = nonPrintable;
  field->pValue = list->pValueBuffer + list->nRunningOffset;
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

void ReleaseSameNameIndex(FormFieldList* list) {
  if (list->pNames != nullptr) HeapFree(GetProcessHeap(), 0, list->pNames);
  list->pNames = nullptr;
  list->nNameSlots = 0;
  list->nNamesUsed = 0;
}

void ReleaseFormFieldList(FormFieldList* list) {
  ReleaseSameNameIndex(list);
  FreeFormFields(list->pHead);
  if (list->pHead == nullptr) {
    if (list->pValueBuffer != nullptr) HeapFree(GetProcessHeap(), 0, list->pValueBuffer);
    if (list->pFirstChunk != nullptr) HeapFree(GetProcessHeap(), 0, list->pFirstChunk);
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
  // The head is the first record of the first chunk; the chunks hold every record.
  auto* chunk = reinterpret_cast<RecordChunk*>(reinterpret_cast<char*>(head) - sizeof(RecordChunk));
  while (chunk != nullptr) {
    RecordChunk* next = chunk->pNext;
    HeapFree(GetProcessHeap(), 0, chunk);
    chunk = next;
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
