// Sending a back-end program's answer from the answered exchange file: a page, a URL or a file's
// bytes. Answers of any size go out in blocks, so a request never holds more than one block of
// its answer, whatever the back-end program wrote.
#ifndef KARVEL_GATEWAY_ANSWER_REPLY_H
#define KARVEL_GATEWAY_ANSWER_REPLY_H

#include "gateway/io_block.h"
#include "gateway/request_record.h"
#include "isapi/httpext.h"

// The block in which pages and files are read and sent; a page's first block carries its header
// lines, which must end within it.
constexpr DWORD ANSWER_BLOCK_BYTES = GATEWAY_BLOCK_BYTES;
// Longer URL answers are answered like an unreadable answer: an empty URL.
constexpr DWORD ANSWER_URL_LIMIT = 8192;
// Longer file paths name no file that could be opened: "Emage Error".
constexpr DWORD ANSWER_PATH_LIMIT = 4096;

// What the answer's result code asks for.
enum AnswerKind {
  kPageAnswer,   // '1'
  kUrlAnswer,    // '2'
  kFileAnswer,   // '4'
  kOtherAnswer,  // any other code, or no regular file to read: nothing is sent, the server answers 500
};

// Replies with the answer of `kind` to `request`, read from `answer`, the exchange file as the wait
// found it answered, or where that is INVALID_HANDLE_VALUE, from the file opened again by its path (a
// regular file only, never waited on); `answerSize` is its size as measured at the answer. The
// answer is closed here, once, in every case (before a file answer's file is opened). A file
// answer's Windows path is found through the site's Wine prefix. A failure's page goes as the
// site's error statuses say (an answer that cannot be sent is answer-error). The exchange file is not
// deleted: the caller does, after every reply, however it went (see ReplyToRequest).
//   page: status "200 Ok" and the first block as the header-and-data string, the rest of the
//         page with WriteClient, block by block, NULs sent as blanks. Stops when the client is
//         gone. HSE_STATUS_SUCCESS (an exchange file that cannot be opened again gives an empty
//         header-and-data string).
//   URL:  ServerSupportFunction with HSE_REQ_SEND_URL for a URL that begins with '/', else
//         HSE_REQ_SEND_URL_REDIRECT_RESP. HSE_STATUS_SUCCESS.
//   file: the bytes of the file the answer names, exactly as they are: handed to the server whole
//         (HSE_REQ_VECTOR_SEND), or where it does not take that, streamed with WriteClient. A file
//         that cannot be opened (opened for reading and writing) or is no regular file (a FIFO, a
//         device, a directory: never read), or one the server refuses to send for the site
//         (HSE_REQ_VECTOR_SEND failing with ERROR_ACCESS_DENIED), gives the error page "Emage
//         Error" and HSE_STATUS_ERROR; else HSE_STATUS_SUCCESS.
//   other: nothing; HSE_STATUS_ERROR.
DWORD ReplyWithAnswer(EXTENSION_CONTROL_BLOCK* ecb, AnswerKind kind, const ExchangeRequest& request, HANDLE answer,
                      ULONGLONG answerSize);

#endif  // KARVEL_GATEWAY_ANSWER_REPLY_H
