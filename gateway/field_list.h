// The form field list as its readers see it: the records ReadFormFields returns, how to walk them
// and how to release them. (form_fields.h builds the list; form_reader.h fills it from a request.)
#ifndef KARVEL_GATEWAY_FIELD_LIST_H
#define KARVEL_GATEWAY_FIELD_LIST_H

#include <cstdint>

// One field's record, with the name inline, in the list's chunks (form_fields.h); the list's first
// record also carries, directly behind the NUL of its name (unaligned), the address of the value
// buffer that holds every value.
struct FormField {
  int32_t nSameNameCount;  // earlier fields whose names equal this one without regard to case
  int32_t nValueOffset;    // the value's offset in the value buffer
  int32_t nValueLength;    // value bytes, without the NUL behind them; values may hold NUL bytes
  int32_t bNonPrintable;   // 1 when a byte collected for the value lies outside 0x20-0x7F
  FormField* pNext;        // the next record, null at the end
  FormField* pHead;        // the list's first record (the first points to itself)
  char* pValue;            // value buffer + nValueOffset
  char szName[1];          // the name, NUL-terminated, at most 255 bytes (the block is longer)
};

// Writes the address of the field's name, its value length, bNonPrintable and nSameNameCount to
// the outputs that are not null; returns the next record. A null field returns null, writes nothing.
FormField* GetFormField(FormField* field, char** name, int32_t* valueLength, int32_t* nonPrintable,
                        int32_t* sameNameCount);

// The field's value: nValueLength bytes followed by a NUL. Null for a null field.
char* GetFormFieldValue(FormField* field);

// Releases the value buffer and every record of the list that `field` belongs to (any record of
// it will do). A null field does nothing.
void FreeFormFields(FormField* field);

// Length of `text` up to its first NUL, or up to its first byte from 1 to 8, which is overwritten
// by a NUL (it writes!); 0 when neither comes within 64000 bytes. TAB, LF and CR count as text.
// The exchange writer relies on the cut: a field name's record ends at such a byte, and the name
// left in the list is the one written, so later looks at the name (the program's field) agree.
uint16_t MeasureText(char* text);

#endif  // KARVEL_GATEWAY_FIELD_LIST_H
