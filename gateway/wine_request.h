// A request whose program is a Windows program the host runs under Wine: the program may be named
// by a Windows path, and the paths the request gives it (its uploads) are Windows paths too. Under
// IIS none of this applies: the host names no Wine prefix and the paths are Windows' own.
#ifndef KARVEL_GATEWAY_WINE_REQUEST_H
#define KARVEL_GATEWAY_WINE_REQUEST_H

#include <cstddef>

#include "isapi/httpext.h"

// A program named by a Windows path ("C:\apps\order.exe"), mapped in place through the site's
// Windows directories (KarvelWindowsPath) to the file it stands for; any other path stays.
void MapWindowsProgramPath(EXTENSION_CONTROL_BLOCK* ecb, CHAR path[MAX_PATH]);

// Whether `requested` (as MapWindowsProgramPath left it), resolved in `backendDirectory` (empty:
// the default), is a Windows program that the host runs under Wine for this site.
bool ProgramRunsUnderWine(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR requested, LPCSTR backendDirectory);

// Renames the upload saved at `path` (its name in Shift-JIS, as every request's uploads are saved)
// to its name in UTF-8, the way Wine names the file a program under it creates or opens by that
// Shift-JIS name: the program then finds it by the path it is given. Never replaces a file: where
// the UTF-8 name is taken (another upload's name converts alike), the next free "name(2).ext" ...
// is taken. Writes to `given` the Shift-JIS path to hand the program: `path` itself when the name
// is plain ASCII or the rename fails. false when that path does not fit.
bool NameUploadForWine(const char* path, CHAR given[MAX_PATH]);

#endif  // KARVEL_GATEWAY_WINE_REQUEST_H
