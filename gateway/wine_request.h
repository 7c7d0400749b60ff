// Every Wine decision of a request: whether its program is a Windows program the host runs under
// Wine, the program named by a Windows path, the paths the request gives it (its uploads) as
// Windows paths, and the path a file answer names. Under IIS none of this applies: the host names
// no Wine prefix and the paths are Windows' own.
#ifndef KARVEL_GATEWAY_WINE_REQUEST_H
#define KARVEL_GATEWAY_WINE_REQUEST_H

#include <cstddef>

#include "gateway/field_list.h"
#include "gateway/request_settings.h"
#include "isapi/httpext.h"

// A program named by a Windows path ("C:\apps\order.exe"), mapped in place through the site's
// Windows directories (KarvelWindowsPath) to the file it stands for; any other path stays.
void MapWindowsProgramPath(const RequestSettings& settings, CHAR path[MAX_PATH]);

// Whether `program` (resolved inside the back-end directory) runs under Wine: the site has a Wine
// prefix and the file is a Windows program. Without a prefix the answer is no, and the file is not
// looked into.
bool RunsUnderWine(const RequestSettings& settings, LPCSTR program);

// The uploads among the first `fieldCount` fields of `list` (files in `uploadDirectory`) as the
// program under Wine is given them: each renamed as NameUploadForWine renames it, its path then
// as Windows opens it ("Z:\\..."). *given gets, per field, that path (heap text) or null for a
// field that is no upload; release it with FreeGivenPaths. False, *given null, when a path does
// not fit or memory fails.
bool GiveUploadsWindowsPaths(FormField* list, int32_t fieldCount, LPCSTR uploadDirectory, LPSTR** given);
void FreeGivenPaths(LPSTR* given, int32_t fieldCount);

// The path a file answer names (`size` bytes of room), mapped in place where a Windows program
// under the site's prefix named it as Windows does ("C:\\out\\chart.gif"): the prefix's drives say
// where that lies here. Any other path, or one that does not map, stays.
void MapWineAnswerPath(LPCSTR winePrefix, CHAR* path, DWORD size);

// Renames the upload saved at `path` (its name in Shift-JIS, as every request's uploads are saved)
// to its name in UTF-8, the way Wine names the file a program under it creates or opens by that
// Shift-JIS name: the program then finds it by the path it is given. Never replaces a file: where
// the UTF-8 name is taken (another upload's name converts alike), the next free "name(2).ext" ...
// is taken. Writes to `given` the Shift-JIS path to hand the program: `path` itself when the name
// is plain ASCII or the rename fails. false when that path does not fit.
bool NameUploadForWine(const char* path, CHAR given[MAX_PATH]);

#endif  // KARVEL_GATEWAY_WINE_REQUEST_H
