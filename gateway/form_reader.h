// The form reader: turns one request's form data (the query string of a GET, the body of a POST;
// URL-encoded pairs or a multipart body with uploads) into the form field list.
#ifndef KARVEL_GATEWAY_FORM_READER_H
#define KARVEL_GATEWAY_FORM_READER_H

#include <cstdint>

#include "gateway/field_list.h"
#include "isapi/httpext.h"

// Reads the form data of `ecb`: the body for the method "POST", the query string for "GET"
// (methods compared without regard to case). Writes to *count the number of fields begun, in every
// case (it can exceed the list's length). Returns the list's first record, or null: no input, any
// other method, a name of 256 bytes or more, no memory, a failed write to an upload, or a body that
// did not arrive whole (see FormByteSource::bCut). Uploaded
// files are saved under the temporary directory, each request's in a new directory of its own, and
// stay there; a file field's value is the saved file's full path. Lowers ecb->cbAvailable by the
// preloaded body bytes it takes. The caller owns the list: release it with FreeFormFields.
FormField* ReadFormFields(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count);

// What a request's read may do beyond ReadFormFields.
struct FormReadOptions {
  LPCSTR szUploadDirectory;  // the directory for this request's uploads: made on the first upload
                             // (it must not exist yet) unless bUploadDirectoryMade; null: a new one
                             // with a random name in the temp directory
  int32_t nMaxFields;        // more fields begun than this end the read; 0: no limit
  uint32_t nFirstValueBytes; // the value buffer taken whole for inputs up to this length, else
                             // at this size and grown as values arrive; 0: 1 MiB (tests and
                             // fuzzing take less, to reach the growth with small inputs)
  int32_t nCharset;          // the FormCharset the site or the request declared (0: none); a
                             // `_charset_` field naming one holds for the uploads after it
  bool bUploadDirectoryMade; // szUploadDirectory exists already, made with the exchange file
  LPCSTR szTempDirectory;    // the site's temporary directory (ending in a separator) where an
                             // upload directory is named or an unwritable upload's path is told;
                             // null: the server's (GetServerTempPath)
};

// How a read ended, beside its list.
enum FormReadEnd {
  kFormReadComplete,       // the input was read (the list may still be null: no fields)
  kFormReadTooManyFields,  // stopped at field nMaxFields + 1: null list, *count that field
  kFormReadFailed,         // a name of 256 bytes or more, or no memory: null list
  kFormReadCut,            // the body ended before its end (the client left or stalled): null list,
                           // *count the fields begun; a part of a form is never taken for the form
  kFormReadTooLarge,       // cut so because the server refused the body's size (its limit): null list
  kFormReadUploadFailed,   // an upload could not be written (the disk full, ...): null list
};

// ReadFormFields with `options`; writes how the read ended to *end. A failed read removes the
// upload it was writing; an upload directory left empty is removed in every case. Uploads saved
// before a failure stay: the caller decides (see RemoveRequestDirectory).
FormField* ReadFormFieldsWith(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count, const FormReadOptions& options,
                              FormReadEnd* end);

#endif  // KARVEL_GATEWAY_FORM_READER_H
