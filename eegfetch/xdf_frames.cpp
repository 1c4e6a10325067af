#include "xdf_frames.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "sample_decoder.h"

namespace eeg {

namespace {

constexpr int64_t kWindowBytes = int64_t(1) << 20;
constexpr int64_t kMaxFrames = 2147483647;

int encodingOf(eegfmt::XdfFormat f) {
  switch (f) {
    case eegfmt::XdfFormat::int8:  // widened to int16 by the gather, exactly
    case eegfmt::XdfFormat::int16: return encodingInt16;
    case eegfmt::XdfFormat::int32: return encodingInt32;
    case eegfmt::XdfFormat::float32: return encodingFloat32;
    default: return 0;
  }
}

bool say(char (&message)[kMessageSize], const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
bool say(char (&message)[kMessageSize], const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, kMessageSize, format, args);
  va_end(args);
  return false;
}

}  // namespace

bool XdfFrames::wanted(const mxArray* hdr) {
  return hdr && mxIsStruct(hdr) && mxGetNumberOfElements(hdr) >= 1 && mxGetFieldNumber(hdr, "xdfStream") >= 0;
}

void XdfFrames::release() {
  path_.clear();
  identity_ = FileIdentity();
  listing_ = eegfmt::XdfFile();
  stream_ = nullptr;
  std::vector<unsigned char>().swap(window_);
  next_ = -1;
  windowLength_ = 0;
}

bool XdfFrames::prepare(const mxArray* nameArray, const mxArray* hdr, std::FILE* file, ReaderCall& call,
                        char (&message)[kMessageSize]) {
  stream_ = nullptr;
  next_ = -1;
  windowLength_ = 0;
  const mxArray* id = mxGetField(hdr, 0, "xdfStream");
  const double v = id && mxIsNumeric(id) && !mxIsComplex(id) && mxGetNumberOfElements(id) == 1
                       ? numericElement(id, 0)
                       : -1;
  if (!(v >= 0 && v <= 4294967295.0 && v == std::floor(v)))
    return say(message, "HDR.xdfStream must be a stream id of the file, as eegmex_xdf gives it.");
  const uint32_t streamId = static_cast<uint32_t>(v);
  try {
    std::string path(mxGetNumberOfElements(nameArray) * 4 + 1, '\0');
    if (mxGetString(nameArray, &path[0], static_cast<mwSize>(path.size())) != 0)
      return say(message, "Could not read file name.");
    path.resize(std::strlen(path.c_str()));
    const FileIdentity identity = identifyFile(file);
    eegfmt::InputFile input;
    if (!input.open(path)) return say(message, "Could not open eeg file.");
    // The listing of the last call goes on when this is the same file, not shorter than was listed.
    const bool same = identity.known && identity_.known && identity.volume == identity_.volume &&
                      identity.index == identity_.index && path == path_ &&
                      input.length() >= listing_.wholeBytes;
    if (!same) {
      listing_ = eegfmt::XdfFile();
      listing_.path = path;
    }
    identity_ = identity;
    path_ = path;
    eegfmt::Problem p;
    if (!eegfmt::continueXdf(input, listing_, false, p)) {
      release();
      return say(message, "XDF file %s: %s", path.c_str(), p.text.c_str());
    }
    const eegfmt::XdfStream* s = listing_.find(streamId);
    if (!s) return say(message, "HDR.xdfStream: the XDF file has no stream %u.", streamId);
    const int encoding = encodingOf(s->format);
    if (!encoding)
      return say(
          message,
          "XDF stream %u holds %s values, which eegfetch does not read: read them with eegmex_xdf(file, %u).",
          streamId, s->formatText.c_str(), streamId);
    if (encoding != call.binaryFormat || s->channelCount != call.nChans || call.endian != 'l' ||
        call.recordSamples)
      return say(message,
                 "HDR does not describe XDF stream %u (%d channels of %s): use the HDR eegmex_xdf gives.",
                 streamId, s->channelCount, s->formatText.c_str());
    if (call.nPointsFromFile) {
      if (s->sampleCount > kMaxFrames)
        return say(message,
                   "The eeg file holds more than 2147483647 frames; set HDR.nPoints to read a part of it.");
      call.nPoints = s->sampleCount;
    }
    frameBytes_ = int64_t(s->channelCount) * sampleBytes(encoding);
    widen_ = s->format == eegfmt::XdfFormat::int8;
    fileFrameBytes_ = widen_ ? int64_t(s->channelCount) : frameBytes_;
    const int64_t least = 2 * (9 + frameBytes_);
    window_.resize(static_cast<size_t>(std::max(kWindowBytes, least)));
    stream_ = s;
    return true;
  } catch (const std::bad_alloc&) {
    release();
    return say(message, "%s", messageText(Msg::outOfMemory));
  }
}

// Bytes [pos_, pos_ + n) of the current chunk, from the window (read again from pos_ when they are not
// all in it); null past the chunk's end or when a read fails.
const unsigned char* XdfFrames::need(std::FILE* file, int64_t n) noexcept {
  const eegfmt::XdfSamplesChunk& c = stream_->chunks[chunk_];
  if (n > c.end - pos_) return nullptr;
  if (pos_ >= windowAt_ && pos_ + n <= windowAt_ + windowLength_) return window_.data() + (pos_ - windowAt_);
  const int64_t want = std::min<int64_t>(static_cast<int64_t>(window_.size()), c.end - pos_);
  windowLength_ = 0;
  if (!seekFile(file, pos_) || std::fread(window_.data(), 1, static_cast<size_t>(want), file) != size_t(want))
    return nullptr;
  windowAt_ = pos_;
  windowLength_ = want;
  return window_.data();
}

bool XdfFrames::seekTo(std::FILE* file, int64_t frame) noexcept {
  const auto& chunks = stream_->chunks;
  if (frame < 0 || frame >= stream_->sampleCount) return false;
  chunk_ = static_cast<size_t>(
               std::upper_bound(chunks.begin(), chunks.end(), frame,
                                [](int64_t f, const eegfmt::XdfSamplesChunk& c) { return f < c.first; }) -
               chunks.begin()) -
           1;
  pos_ = chunks[chunk_].values;
  for (next_ = chunks[chunk_].first; next_ < frame; ++next_) {
    const unsigned char* p = need(file, 1);
    if (!p || (p[0] != 0 && p[0] != 8)) return next_ = -1, false;
    pos_ += 1 + p[0] + fileFrameBytes_;
  }
  return true;
}

int64_t XdfFrames::readFrames(void* self, std::FILE* file, int64_t first, unsigned char* out,
                              int64_t bytes) noexcept {
  XdfFrames& x = *static_cast<XdfFrames*>(self);
  if (!x.stream_) return -1;
  const eegfmt::XdfStream& s = *x.stream_;
  if (first >= s.sampleCount) return 0;
  if (first != x.next_ && !x.seekTo(file, first)) return -1;
  const int64_t fb = x.frameBytes_;
  const int64_t frames = bytes / fb;
  int64_t done = 0;
  while (done < frames && x.next_ < s.sampleCount) {
    const eegfmt::XdfSamplesChunk* c = &s.chunks[x.chunk_];
    if (x.next_ == c->first + c->count) {
      ++x.chunk_;
      x.pos_ = s.chunks[x.chunk_].values;
      continue;
    }
    const unsigned char* p = x.need(file, 1);
    if (!p || (p[0] != 0 && p[0] != 8)) return -1;  // a read that failed, or a damaged sample
    const int64_t sample = 1 + p[0] + x.fileFrameBytes_;
    p = x.need(file, sample);
    if (!p) return -1;
    const unsigned char* values = p + (sample - x.fileFrameBytes_);
    unsigned char* to = out + done * fb;
    if (x.widen_) {  // int8 to little-endian int16
      for (int64_t k = 0; k < x.fileFrameBytes_; ++k) {
        to[2 * k] = values[k];
        to[2 * k + 1] = (values[k] & 0x80) ? 0xFF : 0x00;
      }
    } else {
      std::memcpy(to, values, static_cast<size_t>(fb));
    }
    x.pos_ += sample;
    ++x.next_;
    ++done;
  }
  return done * fb;
}

}  // namespace eeg
