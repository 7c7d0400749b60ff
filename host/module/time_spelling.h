// A time value as an operator writes it for a Karvel directive (KarvelBackendTimeout 1500ms,
// KarvelQueueTimeout 30s, KarvelKillGrace 2m), put in the spelling httpd's own parser
// (ap_timeout_parameter_parse) reads. Plain C++: no Apache header, so that its table is tested alone.
#ifndef KARVEL_HOST_TIME_SPELLING_H
#define KARVEL_HOST_TIME_SPELLING_H

#include <cstddef>

// The digits a time may have: few enough that no unit makes httpd's microseconds overflow.
constexpr size_t kTimeDigitsLimit = 9;
// The room ApacheTimeSpelling needs: the digits, a unit of two letters, the end.
constexpr size_t kTimeSpellingRoom = kTimeDigitsLimit + 3;

// `text` is 1 to kTimeDigitsLimit digits and a unit: "ms", "s", "mi" or "m" (minutes: httpd spells
// them "mi" and reads "m" alone as nothing; "m" is taken too, as the operator means it), "h", or
// none (seconds, as httpd's Timeout). Writes httpd's spelling of it ("2mi" for "2m") into `spelled`
// (`room` bytes) and returns true; false for anything else (a sign, a blank, a fraction, an unknown
// or upper-case unit, text behind the unit), which httpd's parser would misread rather than refuse
// ("5x" fails there, but "5sec" is 5 s and "-1" a negative time).
bool ApacheTimeSpelling(const char* text, char* spelled, size_t room);

#endif  // KARVEL_HOST_TIME_SPELLING_H
