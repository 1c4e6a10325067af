// A read that may go on from an earlier read of the same growing recording.
#ifndef EEGFETCH_CORE_ONLINE_READ_H
#define EEGFETCH_CORE_ONLINE_READ_H

#include <cstdio>

#include "reader.h"
#include "stream_state.h"

namespace eeg {

// What a read that was asked to go on did.
struct OnlineReport {
  int64_t resumedFrames = 0;  // frames it did not read again: 0 for a read from byte 0
  FullReadReason reason = FullReadReason::none;
  // With OnlineTrack::newest: outputs between the newest one an earlier read of the stream placed and
  // the oldest one this read places, which no read placed (the caller fell behind); 0 on a stream's
  // first such read.
  int64_t missed = 0;
};

// What the stream remembers of the rows a read places, beyond its state.
enum class OnlineTrack {
  none,
  newest,   // the window holds the newest outputs: counts the outputs that fell between two windows
  newRows,  // the window starts at the first output not returned: marks those placed as returned
};

// The outputs that reads with OnlineTrack::newRows returned from the stream a read of `file` with
// these settings would go on from (0 without one). Changes no stream.
int64_t returnedOutputs(StreamCache& cache, std::FILE* file, const ReadPlan& plan,
                        const Digest& name) noexcept;

// Reads as readRecording(file, plan) does, from byte 0, with the same result bit for bit, but reads
// only the frames past the point an earlier read of this file with these settings left in `cache`,
// when that is safe (StreamCache::check): the same file, at least as long as that point, with the same
// bytes at its start and just before the point; plan.nPoints not ending before the point; and every
// output sample the window places one the stream still holds or one past the point. Otherwise it
// reads from byte 0, and `report` says why. Either way the stream then stands at the last frame read.
// `name` is the name the file was opened by. The caller states that the file only grows between reads.
// `track` says what the stream also notes of the rows placed (OnlineTrack).
// Holds the cache's lock for the whole read: reads through one cache take turns, reads through
// different caches run at once.
ReadOutcome readOnline(StreamCache& cache, std::FILE* file, const ReadPlan& plan, const Digest& name,
                       OnlineReport& report, OnlineTrack track = OnlineTrack::none) noexcept;

}  // namespace eeg

#endif
