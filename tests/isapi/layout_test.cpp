// The ISAPI records must match the SDK layout byte for byte on LP64, or a host and an extension
// built apart would read each other's fields at the wrong places. Checked at compile time; the test
// also writes a record through one view and reads it through raw offsets.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "isapi/httpext.h"

namespace {

static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, cbSize) == 0);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, dwVersion) == 4);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, ConnID) == 8);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode) == 16);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData) == 20);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod) == 104);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszQueryString) == 112);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszPathInfo) == 120);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszPathTranslated) == 128);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) == 136);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable) == 140);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpbData) == 144);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, lpszContentType) == 152);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable) == 160);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, WriteClient) == 168);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, ReadClient) == 176);
static_assert(sizeof(void*) != 8 || offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction) == 184);
static_assert(sizeof(void*) != 8 || sizeof(EXTENSION_CONTROL_BLOCK) == 192);
// The vector send, which hands the host whole files.
static_assert(sizeof(void*) != 8 || offsetof(HSE_VECTOR_ELEMENT, pvContext) == 8);
static_assert(sizeof(void*) != 8 || offsetof(HSE_VECTOR_ELEMENT, cbOffset) == 16);
static_assert(sizeof(void*) != 8 || sizeof(HSE_VECTOR_ELEMENT) == 32);
static_assert(sizeof(void*) != 8 || offsetof(HSE_RESPONSE_VECTOR, pszStatus) == 8);
static_assert(sizeof(void*) != 8 || offsetof(HSE_RESPONSE_VECTOR, nElementCount) == 24);
static_assert(sizeof(void*) != 8 || offsetof(HSE_RESPONSE_VECTOR, lpElementArray) == 32);
static_assert(sizeof(void*) != 8 || sizeof(HSE_RESPONSE_VECTOR) == 40);
static_assert(offsetof(HSE_VERSION_INFO, lpszExtensionDesc) == 4);
static_assert(sizeof(HSE_VERSION_INFO) == 260);
static_assert(sizeof(DWORD) == 4 && sizeof(BOOL) == 4);

TEST(IsapiLayout, FieldsSitAtTheSdkOffsetsAndTheConstantsHaveTheirValues) {
  EXTENSION_CONTROL_BLOCK ecb;
  std::memset(&ecb, 0, sizeof ecb);
  ecb.cbTotalBytes = 0x11223344u;
  ecb.cbAvailable = 0x55667788u;
  DWORD total = 0;
  DWORD available = 0;
  std::memcpy(&total, reinterpret_cast<const char*>(&ecb) + offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes), 4);
  std::memcpy(&available, reinterpret_cast<const char*>(&ecb) + offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) + 4, 4);
  EXPECT_EQ(total, 0x11223344u);
  EXPECT_EQ(available, 0x55667788u) << "cbAvailable must follow cbTotalBytes directly";

  EXPECT_EQ(HSE_STATUS_SUCCESS, 1);
  EXPECT_EQ(HSE_STATUS_ERROR, 4);
  EXPECT_EQ(HSE_REQ_SEND_URL_REDIRECT_RESP, 1);
  EXPECT_EQ(HSE_REQ_SEND_URL, 2);
  EXPECT_EQ(HSE_REQ_SEND_RESPONSE_HEADER, 3);
  EXPECT_EQ(HSE_IO_SYNC, 1u);
  EXPECT_EQ(HSE_LOG_BUFFER_LEN, 80);
  EXPECT_EQ(HSE_MAX_EXT_DLL_NAME_LEN, 256);
}

}  // namespace
