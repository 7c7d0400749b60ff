// The spawner's end of a resident instance's channel (see spawner_protocol.h): the request handed
// over (the instance's word is read with the codec's ReadInstanceWord). Plain POSIX; no Apache.
#ifndef KARVEL_HOST_RESIDENT_CHANNEL_H
#define KARVEL_HOST_RESIDENT_CHANNEL_H

#include <string>

// Sends 'R' and the exchange file's path; false when the path cannot go (empty, not absolute, a
// NUL in it, longer than kResidentPathLimit) or the packet was not sent whole.
bool HandOverRequest(int channel, const std::string& exchangePath);

#endif  // KARVEL_HOST_RESIDENT_CHANNEL_H
