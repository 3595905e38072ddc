// The process's share of the host's resources: open descriptors and the
// listen queue, and how to tell that a call failed because they ran out.
#pragma once

#include <cstdint>

// Raises the soft limit on open descriptors to the hard limit. Answers the
// soft limit in force afterwards, or -1 when it cannot be read.
int64_t ZRaiseDescriptorLimit();

// The longest listen queue the host grants (what a larger request is cut to).
int32_t ZMaxListenQueue();

// Whether a failure with this system error number (a channel's GetOSError)
// means that descriptors or buffers ran out for a moment, or that one waiting
// connection went away: the caller may wait a little and try again.
bool ZIsTransientAcceptError(int32_t osError);
