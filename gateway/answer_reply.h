// Sending a back-end program's answer from the answered exchange file: a page, a URL or a file's
// bytes. Answers of any size go out in blocks, so a request never holds more than one block of
// its answer, whatever the back-end program wrote.
#ifndef KARVEL_GATEWAY_ANSWER_REPLY_H
#define KARVEL_GATEWAY_ANSWER_REPLY_H

#include "isapi/httpext.h"

// The block in which pages and files are read and sent; a page's first block carries its header
// lines, which must end within it.
#define ANSWER_BLOCK_BYTES 65536
// Longer URL answers are answered like an unreadable answer: an empty URL.
#define ANSWER_URL_LIMIT 8192
// Longer file paths name no file that could be opened: "Emage Error".
#define ANSWER_PATH_LIMIT 4096

// Each reply reads the answer from `answer`, the exchange file as the wait found it answered (the
// reply closes it), or, where that is INVALID_HANDLE_VALUE, from the file opened again by its path
// (a regular file only, never waited on). None deletes the exchange file: the caller does, after
// every reply, however it went (see ReplyToRequest).

// Reads the answer area (from byte 4) of an answer of `answerSize` bytes into `buffer`, at most
// `bufferSize` - 1 bytes, NULs turned into blanks and a NUL behind the bytes read. An exchange file
// that cannot be opened gives an empty string. Returns the bytes read; `answer` stays open.
DWORD ReadAnswer(LPCSTR exchangePath, HANDLE answer, CHAR* buffer, DWORD bufferSize, ULONGLONG answerSize);

// Result code 1: status "200 Ok" and the first block as the header-and-data string, the rest of
// the page with WriteClient, block by block, NULs sent as blanks. Stops when the client is gone.
// HSE_STATUS_SUCCESS.
DWORD ReplyWithPage(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize);

// Result code 2: ServerSupportFunction with HSE_REQ_SEND_URL for a URL that begins with '/', else
// HSE_REQ_SEND_URL_REDIRECT_RESP. HSE_STATUS_SUCCESS.
DWORD ReplyWithUrl(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize);

// Result code 4: the bytes of the file the answer names, exactly as they are: handed to the server
// whole (HSE_REQ_VECTOR_SEND), or where it does not take that, streamed with WriteClient. A file
// that cannot be opened (opened for reading and writing) or is no regular file (a FIFO, a device,
// a directory: never read) gives the error page "Emage Error" and HSE_STATUS_ERROR; else
// HSE_STATUS_SUCCESS.
DWORD ReplyWithFile(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR exchangePath, HANDLE answer, ULONGLONG answerSize);

#endif  // KARVEL_GATEWAY_ANSWER_REPLY_H
