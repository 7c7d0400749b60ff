// The form reader: turns one request's form data (the query string of a GET, the body of a POST;
// URL-encoded pairs or a multipart body with uploads) into the form field list.
#ifndef KARVEL_GATEWAY_FORM_READER_H
#define KARVEL_GATEWAY_FORM_READER_H

#include <cstdint>

#include "isapi/httpext.h"

// One field. A heap block with the name inline; the list's first record also carries, directly
// behind the NUL of its name (unaligned), the address of the value buffer that holds every value.
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

// Reads the form data of `ecb`: the body for the method "POST", the query string for "GET"
// (methods compared without regard to case). Writes to *count the number of fields begun, in every
// case (it can exceed the list's length). Returns the list's first record, or null: no input, any
// other method, a name of 256 bytes or more, no memory, or a failed write to an upload. Uploaded
// files are saved under the temporary directory, each request's in a new directory of its own, and
// stay there; a file field's value is the saved file's full path. Lowers ecb->cbAvailable by the
// preloaded body bytes it takes. The caller owns the list: release it with FreeFormFields.
FormField* ReadFormFields(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count);

// What a request's read may do beyond ReadFormFields.
struct FormReadOptions {
  LPCSTR szUploadDirectory;  // the directory to create for this request's uploads (it must not
                             // exist yet); null: a new one with a random name in the temp directory
  int32_t nMaxFields;        // more fields begun than this end the read; 0: no limit
  uint32_t nFirstValueBytes; // the value buffer taken whole for inputs up to this length, else
                             // at this size and grown as values arrive; 0: 1 MiB (tests and
                             // fuzzing take less, to reach the growth with small inputs)
  int32_t nCharset;          // the FormCharset the site or the request declared (0: none); a
                             // `_charset_` field naming one holds for the uploads after it
};

// How a read ended, beside its list.
enum FormReadEnd {
  kFormReadComplete,       // the input was read (the list may still be null: no fields)
  kFormReadTooManyFields,  // stopped at field nMaxFields + 1: null list, *count that field
  kFormReadFailed,         // a name of 256 bytes or more, no memory, a failed upload write: null list
};

// ReadFormFields with `options`; writes how the read ended to *end. A failed read removes the
// upload it was writing; an upload directory left empty is removed in every case. Uploads saved
// before a failure stay: the caller decides (see RemoveRequestDirectory).
FormField* ReadFormFieldsWith(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count, const FormReadOptions& options,
                              FormReadEnd* end);

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

#endif  // KARVEL_GATEWAY_FORM_READER_H
