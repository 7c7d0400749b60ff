// The status board as the pages show it: "Name: value" lines (karvel-status?auto, and with a
// "Karvel" prefix mod_status's ?auto), JSON (karvel-status?json) and HTML tables. Plain C++, so
// the formats are tested on their own; every name or label is made safe for its format here.
#ifndef KARVEL_HOST_STATUS_TEXT_H
#define KARVEL_HOST_STATUS_TEXT_H

#include <string>

#include "host/module/status_board.h"

// Program lines the text formats list at most; the rest are counted in a "(N more)" line.
constexpr size_t kStatusProgramsListed = 100;
// Site lines likewise.
constexpr size_t kStatusSitesListed = 100;

// The lines of karvel-status?auto: Running, WaitingForSlot, LongestWaitMs, Started, StartFailed,
// Busy, Result-<result> (those not 0), Program lines ("Program: PID AGEs STATE LABEL"), Site lines
// ("Site: NAME running=N waiting=M cap=C", cap 0: none of its own), then
// ServerStarted, ServerRestarted, Generation, Requests, ProgramsRan, Timeouts, Failures and
// Wait-<bucket>.
std::string StatusAutoText(const StatusShown& shown);

// mod_status's short report: the lines above but the Program ones, each name prefixed "Karvel".
std::string StatusServerStatusLines(const StatusShown& shown);

// karvel-status?json: one object (field names in the README), strings as JSON escapes them,
// every byte outside printable ASCII as \u00XX.
std::string StatusJson(const StatusShown& shown);

// The HTML tables: the lines (the programs running and each site's share among them), the
// programs counted by site and label.
std::string StatusHtmlTables(const StatusShown& shown);

// The name of a program state on the board ('w' ...): "waiting", "answered", "abandoned", "ended".
const char* ProgramStateName(char state);

#endif  // KARVEL_HOST_STATUS_TEXT_H
