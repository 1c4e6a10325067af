// A read that may go on from an earlier read of the same growing recording.
#ifndef EEGFETCH_CORE_ONLINE_READ_H
#define EEGFETCH_CORE_ONLINE_READ_H

#include <cstdio>

#include "reader.h"
#include "stream_state.h"

namespace eeg {

// Reads as readRecording(file, plan) does, from byte 0 (plan.firstFrame must be 0), with the same
// result bit for bit, but reads only the frames past the point an earlier read of this file with
// these settings left in `cache`, when that is safe:
//  - the file is the same file (identity), at least as long as that point, with the same bytes at
//    its start and just before the point;
//  - plan.nPoints does not end before the point;
//  - every output sample the window places is one the stream still holds or one past the point.
// Otherwise it reads from byte 0. Either way the stream's state is then taken at the last whole
// block read. The caller states that the file only grows between reads.
ReadOutcome readOnline(StreamCache& cache, std::FILE* file, const ReadPlan& plan) noexcept;

}  // namespace eeg

#endif
