// The form field list under construction: records, the value buffer, and the write position.
#ifndef KARVEL_GATEWAY_FORM_FIELDS_H
#define KARVEL_GATEWAY_FORM_FIELDS_H

#include <cstddef>
#include <cstdint>

#include "gateway/field_list.h"

// Names seen so far, folded to lower case, with how often each came: the same-name count of a new
// field in one lookup instead of a walk over the whole list (a body of short pairs has tens of
// thousands of fields). Open addressing; a slot is empty while pFirst is null.
struct SameNameSlot {
  uint32_t nHash;
  int32_t nSeen;
  const FormField* pFirst;  // the first field of that name, for the comparison
};

// The records live in chunks taken from the heap as the list grows, not in a block per field: a
// form of many tiny fields costs its records' bytes and little more. A chunk begins with this
// header; the records follow it one after another, 8-byte aligned, the list's head first of all.
struct RecordChunk {
  RecordChunk* pNext;
  size_t nSize;  // bytes for records behind the header
  size_t nUsed;
};

struct FormFieldList {
  RecordChunk* pFirstChunk;  // null until the first record
  RecordChunk* pLastChunk;
  SameNameSlot* pNames;      // null when the index could not be had: the list is walked instead
  uint32_t nNameSlots;       // a power of two
  uint32_t nNamesUsed;
  FormField* pHead;
  FormField* pTail;
  char* pValueBuffer;        // every value, one after another, each followed by a NUL
  size_t nValueCapacity;     // bytes in pValueBuffer
  size_t nWritePosition;     // where the next value byte goes
  size_t nRunningOffset;     // where the next value begins
};

// Takes a value buffer of `capacity` bytes; false (nothing held) when there is none.
bool StartFormFieldList(FormFieldList* list, size_t capacity);

// Stores one value byte at the write position. The caller keeps the room (see EnsureValueRoom).
inline void StoreValueByte(FormFieldList* list, uint8_t byte) {
  list->pValueBuffer[list->nWritePosition++] = static_cast<char>(byte);
}

// Makes room for `bytes` more value bytes behind the write position, moving the value buffer (and
// every record's pValue) when it must grow. False when no memory is left; nothing changes then.
bool EnsureValueRoom(FormFieldList* list, size_t bytes);

// Ends the value that began at the running offset (a NUL behind it) and appends its record named
// `name`. False when no chunk can be had for the record.
bool AppendFormField(FormFieldList* list, const char* name, int32_t nonPrintable);

// Releases the name index; the list itself stays.
void ReleaseSameNameIndex(FormFieldList* list);

// Releases every record, the value buffer and the name index.
void ReleaseFormFieldList(FormFieldList* list);

// 1 when a byte stored for a value lies outside 0x20-0x7F (as a signed byte below 0x20).
inline int32_t NonPrintable(uint8_t byte) { return static_cast<int8_t>(byte) < 0x20 ? 1 : 0; }

#endif  // KARVEL_GATEWAY_FORM_FIELDS_H
