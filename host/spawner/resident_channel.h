// The spawner's end of a resident instance's channel (see spawner_protocol.h): the request handed
// over, and the instance's word on it read back. Plain POSIX; no Apache.
#ifndef KARVEL_HOST_RESIDENT_CHANNEL_H
#define KARVEL_HOST_RESIDENT_CHANNEL_H

#include <string>

// What the instance said: its request answered, no answer (and why), nothing yet, or an end of
// the channel (closed, failed, or a packet the channel does not know: the instance is no good).
enum InstanceWord { kWordAnswered, kWordNoAnswer, kWordNothingYet, kWordEnded };

// Sends 'R' and the exchange file's path; false when the path cannot go (empty, not absolute, a
// NUL in it, longer than kResidentPathLimit) or the packet was not sent whole.
bool HandOverRequest(int channel, const std::string& exchangePath);

// One word from the instance, without waiting. With kWordNoAnswer, *reason is the instance's text,
// at most kResidentReasonLimit bytes, control characters shown as '?'.
InstanceWord ReadInstanceWord(int channel, std::string* reason);

#endif  // KARVEL_HOST_RESIDENT_CHANNEL_H
