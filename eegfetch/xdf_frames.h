// eegfetch over one stream of an XDF file (an HDR from eegmex_xdf, with HDR.xdfStream): the stream's
// Samples chunks, found from the chunk headers, feed the read's chunk buffers through a FrameGather,
// which copies each sample's values past its time stamp: frames come out as a plain recording's,
// whatever other streams' chunks lie between them. int8 samples are handed over as int16 (exact).
//
// The listing is kept between calls: a call on the same file (same identity, not shorter) lists only
// the chunks added since, so following a growing recording costs its new bytes.
#ifndef EEGFETCH_XDF_FRAMES_H
#define EEGFETCH_XDF_FRAMES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "messages.h"
#include "mexapi.h"
#include "reader.h"
#include "reader_call.h"
#include "stream_state.h"
#include "xdf.h"

namespace eeg {

class XdfFrames {
 public:
  XdfFrames() { gather_.context = this, gather_.read = &XdfFrames::readFrames; }
  XdfFrames(const XdfFrames&) = delete;
  XdfFrames& operator=(const XdfFrames&) = delete;

  // For a call whose HDR has xdfStream: lists the file (or the part added since the last call), finds the
  // stream, checks that HDR describes it (channels, encoding), and sets call.nPoints when HDR has none.
  // False with the message when any of that fails. `hdr` and `nameArray` are the call's arguments.
  // Holds no host value; raises nothing.
  bool prepare(const mxArray* nameArray, const mxArray* hdr, std::FILE* file, ReaderCall& call,
               char (&message)[kMessageSize]);
  // True when the HDR of a call names an XDF stream.
  static bool wanted(const mxArray* hdr);
  // What the read takes: plan.gather, and plan.dataOffset (the stream's header chunk, which tells
  // streams of one file apart in the resume cache).
  const FrameGather* gather() const noexcept { return &gather_; }
  int64_t streamOffset() const noexcept { return stream_ ? stream_->headerAt : 0; }
  void release();

 private:
  static int64_t readFrames(void* self, std::FILE* file, int64_t first, unsigned char* out,
                            int64_t bytes) noexcept;
  bool seekTo(std::FILE* file, int64_t frame) noexcept;
  const unsigned char* need(std::FILE* file, int64_t n) noexcept;

  FrameGather gather_;
  std::string path_;
  FileIdentity identity_;
  eegfmt::XdfFile listing_;
  const eegfmt::XdfStream* stream_ = nullptr;
  int64_t frameBytes_ = 0;      // of a frame the read takes
  int64_t fileFrameBytes_ = 0;  // of a sample's values in the file
  bool widen_ = false;          // int8 values, handed over as int16
  // Where the next frame is: its chunk, its number, the file offset of its first byte.
  size_t chunk_ = 0;
  int64_t next_ = -1, pos_ = 0;
  // The staging window of file bytes [windowAt, windowAt + windowLength).
  std::vector<unsigned char> window_;
  int64_t windowAt_ = 0, windowLength_ = 0;
};

}  // namespace eeg

#endif
