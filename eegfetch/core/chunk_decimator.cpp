#include "chunk_decimator.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "sample_decoder.h"

namespace eeg {

namespace {

constexpr int64_t decodedDoubles = 8192;  // decoded samples per pass: 64 KiB, in the first cache levels

template <typename T>
void gatherTyped(const T* x, const ChunkView& c, int64_t first, int64_t n, const int32_t* channels, int begin,
                 int used, int end, const double* inScale, const double* inOffset, double* rows) noexcept {
  const int64_t width = end - begin;
  for (int j = begin; j < used; ++j) {
    const int64_t ch = channels ? channels[j] : j;
    const T* from = x + first * c.frameStep + ch * c.channelStep;
    double* to = rows + (j - begin);
    if (inOffset) {  // the filter takes the samples in output units, as the reader gives them
      const double s = inScale[j], o = inOffset[j];
      for (int64_t f = 0; f < n; ++f) to[f * width] = static_cast<double>(from[f * c.frameStep]) * s + o;
    } else {
      for (int64_t f = 0; f < n; ++f) to[f * width] = static_cast<double>(from[f * c.frameStep]);
    }
  }
  for (int64_t f = 0; f < n; ++f)  // padding past the last filter channel
    for (int j = used; j < end; ++j) rows[f * width + (j - begin)] = 0.0;
}

int encodingOf(ChunkType t) noexcept {
  return t == ChunkType::int16 ? encodingInt16 : t == ChunkType::int32 ? encodingInt32 : encodingFloat32;
}

int64_t elementBytes(ChunkType t) noexcept {
  return t == ChunkType::float64 ? 8 : t == ChunkType::int16 ? 2 : 4;
}

}  // namespace

bool ChunkDecimator::setup(const ChunkSetup& s) noexcept {
  release();
  if (!s.scale || !decimator_.setup(s.decimator)) return false;
  nChans_ = s.decimator.nChans;
  kernel_ = kernelsFor(s.instructionSet);
  const int64_t width = decimator_.width();
  passFrames_ = decodedDoubles / width;
  if (passFrames_ < 16) passFrames_ = 16;
  sumRows_ = passFrames_ / decimator_.factor() + 1;
  const int nSel = decimator_.columns();
  const int nFiltered = decimator_.filtered();
  const uint64_t doubles = uint64_t(passFrames_) * uint64_t(width) + uint64_t(sumRows_) * uint64_t(width) +
                           uint64_t(nSel) + (s.offset ? 2 * uint64_t(nFiltered) : 0) + 8;
  if (doubles > SIZE_MAX / sizeof(double)) {
    release();
    return false;
  }
  storage_ = std::calloc(static_cast<std::size_t>(doubles), sizeof(double));
  if (!storage_) {
    release();
    return false;
  }
  decoded_ = reinterpret_cast<double*>((reinterpret_cast<uintptr_t>(storage_) + 63) & ~uintptr_t(63));
  sums_ = decoded_ + passFrames_ * width;
  outScale_ = sums_ + sumRows_ * width;
  const int32_t* fileChannel = decimator_.fileChannels();
  for (int k = 0; k < nSel; ++k)
    outScale_[k] = s.offset ? 1.0 : s.scale[s.decimator.channels[k]];  // with offsets: scaled before
  if (s.offset) {
    inScale_ = outScale_ + nSel;
    inOffset_ = inScale_ + nFiltered;
    for (int j = 0; j < nFiltered; ++j) {
      const int c = fileChannel ? fileChannel[j] : j;
      inScale_[j] = s.scale[c];
      inOffset_[j] = s.offset[c];
    }
  }
  return true;
}

void ChunkDecimator::release() noexcept {
  decimator_.release();
  std::free(storage_);
  storage_ = nullptr;
  decoded_ = sums_ = outScale_ = inScale_ = inOffset_ = nullptr;
  nChans_ = 0;
  passFrames_ = sumRows_ = 0;
}

void ChunkDecimator::gather(const ChunkView& c, int64_t first, int64_t n, int begin, int end,
                            double* rows) const noexcept {
  const int filtered = decimator_.filtered();
  const int used = end < filtered ? end : filtered;
  const int32_t* channels = decimator_.fileChannels();
  switch (c.type) {
    case ChunkType::float64:
      return gatherTyped(static_cast<const double*>(c.data), c, first, n, channels, begin, used, end,
                         inScale_, inOffset_, rows);
    case ChunkType::float32:
      return gatherTyped(static_cast<const float*>(c.data), c, first, n, channels, begin, used, end, inScale_,
                         inOffset_, rows);
    case ChunkType::int16:
      return gatherTyped(static_cast<const int16_t*>(c.data), c, first, n, channels, begin, used, end,
                         inScale_, inOffset_, rows);
    case ChunkType::int32:
      return gatherTyped(static_cast<const int32_t*>(c.data), c, first, n, channels, begin, used, end,
                         inScale_, inOffset_, rows);
  }
}

int64_t ChunkDecimator::push(const ChunkView& c, double* y, int64_t rowStep, int64_t columnStep) noexcept {
  if (!ready() || c.frames <= 0) return 0;
  Decimator& d = decimator_;
  const int width = static_cast<int>(d.width());
  const int nSel = d.columns();
  // Frames whose channels lie side by side, all of them filtered, without offsets: the kernel reads
  // int16, int32 and float32 samples where they lie (the whole vectors of channels; the rest is
  // gathered), and doubles in rows of exactly the filter's width as they are.
  const bool plain = !d.fileChannels() && !inOffset_ && c.channelStep == 1 && c.frameStep > 0;
  const int rawEnd = plain && c.type != ChunkType::float64 && d.decodesInLoop() ? nChans_ / 8 * 8 : 0;
  const bool direct = plain && c.type == ChunkType::float64 && c.frameStep == width && nChans_ == width;
  const int64_t esize = elementBytes(c.type);
  int64_t row = 0;
  for (int64_t start = 0; start < c.frames;) {
    const int64_t n = c.frames - start < passFrames_ ? c.frames - start : passFrames_;
    const int phase = d.phase();
    int64_t blocks = 0;
    if (rawEnd > 0) {
      FrameSource source;
      source.raw = static_cast<const unsigned char*>(c.data) + start * c.frameStep * esize;
      source.frameBytes = c.frameStep * esize;
      source.binaryFormat = encodingOf(c.type);
      blocks = d.pushRange(kernel_, source, 0, rawEnd, phase, n, sums_, sumRows_);
    }
    if (rawEnd < width) {
      FrameSource source;
      if (direct) {
        source.decoded = static_cast<const double*>(c.data) + start * width;
      } else {
        gather(c, start, n, rawEnd, width, decoded_);
        source.decoded = decoded_;
      }
      blocks =
          d.pushRange(kernel_, source, rawEnd, width, phase, n, sums_ + int64_t(rawEnd) * sumRows_, sumRows_);
    }
    d.advance(n);
    for (int k = 0; k < nSel; ++k) {
      const double* from = sums_ + int64_t(d.filterChannelOf(k)) * sumRows_;
      const double s = outScale_[k];
      double* to = y + row * rowStep + k * columnStep;
      for (int64_t e = 0; e < blocks; ++e) to[e * rowStep] = from[e] * s;
    }
    row += blocks;
    start += n;
  }
  return row;
}

// ---- times

TimesCheck checkTimes(const double* t, int64_t n, int64_t step, double last, double maxGap, int64_t& gaps,
                      int64_t& at) noexcept {
  gaps = 0;
  for (int64_t i = 0; i < n; ++i) {
    const double v = t[i * step];
    at = i;
    if (!std::isfinite(v)) return TimesCheck::notFinite;
    if (!std::isnan(last)) {
      if (v < last) return TimesCheck::backwards;
      if (v - last > maxGap) ++gaps;
    }
    last = v;
  }
  return TimesCheck::ok;
}

void listGaps(const double* t, int64_t n, int64_t step, double last, double maxGap, int64_t firstFrame,
              double* frame, double* jump) noexcept {
  int64_t g = 0;
  for (int64_t i = 0; i < n; ++i) {
    const double v = t[i * step];
    if (!std::isnan(last) && v - last > maxGap) {
      frame[g] = static_cast<double>(firstFrame + i + 1);
      jump[g] = v - last;
      ++g;
    }
    last = v;
  }
}

// ---- state

namespace {

int64_t settingsSizeOf(int64_t nChans, int64_t factor, int64_t nSel, int64_t L, bool filter, int64_t sections,
                       bool weights, bool offset) noexcept {
  return kSetupHead + nSel + nChans + (offset ? nChans : 0) + (filter ? 2 * L : 0) + 6 * sections +
         (weights ? factor : 0);
}

bool wholeIn(double v, double lo, double hi) noexcept { return v >= lo && v <= hi && v == std::floor(v); }

}  // namespace

int64_t settingsSize(const ChunkSettings& s) noexcept {
  const DecimatorSetup& d = s.setup.decimator;
  return settingsSizeOf(d.nChans, d.factor, d.nSel, d.filterLength, d.b != nullptr, d.sos ? d.sections : 0,
                        d.weights != nullptr, s.setup.offset != nullptr);
}

void packSettings(const ChunkSettings& s, double* out) noexcept {
  const DecimatorSetup& d = s.setup.decimator;
  const double head[kSetupHead] = {kStateVersion,
                                   double(d.nChans),
                                   double(d.factor),
                                   double(d.nSel),
                                   double(d.filterLength),
                                   d.b ? 1.0 : 0.0,
                                   d.weights ? 1.0 : 0.0,
                                   s.setup.offset ? 1.0 : 0.0,
                                   s.fs,
                                   s.maxGap,
                                   d.sos ? double(d.sections) : 0.0};
  double* p = out;
  for (double v : head) *p++ = v;
  for (int k = 0; k < d.nSel; ++k) *p++ = d.channels[k];
  for (int c = 0; c < d.nChans; ++c) *p++ = s.setup.scale[c];
  if (s.setup.offset)
    for (int c = 0; c < d.nChans; ++c) *p++ = s.setup.offset[c];
  if (d.b) {
    for (int i = 0; i < d.filterLength; ++i) *p++ = d.b[i];
    for (int i = 0; i < d.filterLength; ++i) *p++ = d.a[i];
  }
  if (d.sos)
    for (int64_t i = 0; i < 6 * int64_t(d.sections); ++i) *p++ = d.sos[i];
  if (d.weights)
    for (int i = 0; i < d.factor; ++i) *p++ = d.weights[i];
}

bool unpackSettings(const double* in, int64_t n, ChunkSettings& s, int32_t* channels,
                    int64_t channelRoom) noexcept {
  s = ChunkSettings();
  if (!in || n < kSetupHead || in[0] != kStateVersion) return false;
  const double nChans = in[1], factor = in[2], nSel = in[3], L = in[4];
  if (!wholeIn(nChans, 1, 2147483647.0) || !wholeIn(factor, 1, 2147483647.0) ||
      !wholeIn(nSel, 0, 2147483647.0) || !wholeIn(L, 1, 2147483647.0) || !wholeIn(in[5], 0, 1) ||
      !wholeIn(in[6], 0, 1) || !wholeIn(in[7], 0, 1) || !wholeIn(in[10], 0, 2147483647.0))
    return false;
  const bool filter = in[5] == 1, weights = in[6] == 1, offset = in[7] == 1;
  const int64_t sections = int64_t(in[10]);
  if (!filter && L != 1) return false;
  if (sections > 0 && filter) return false;
  if (n != settingsSizeOf(int64_t(nChans), int64_t(factor), int64_t(nSel), int64_t(L), filter, sections,
                          weights, offset))
    return false;
  if (int64_t(nSel) > channelRoom) return false;
  DecimatorSetup& d = s.setup.decimator;
  d.nChans = int(nChans);
  d.factor = int(factor);
  d.nSel = int(nSel);
  d.filterLength = int(L);
  s.fs = in[8];
  s.maxGap = in[9];
  const double* p = in + kSetupHead;
  for (int k = 0; k < d.nSel; ++k) {
    if (!wholeIn(p[k], 0, nChans - 1)) return false;
    channels[k] = static_cast<int32_t>(p[k]);
  }
  d.channels = channels;
  p += d.nSel;
  s.setup.scale = p;
  p += d.nChans;
  if (offset) {
    s.setup.offset = p;
    p += d.nChans;
  }
  if (filter) {
    d.b = p;
    d.a = p + d.filterLength;
    p += 2 * d.filterLength;
  }
  if (sections > 0) {
    d.sos = p;
    d.sections = int(sections);
    p += 6 * sections;
  }
  if (weights) d.weights = p;
  return true;
}

void stateCheck(const double* setup, int64_t setupSize, const double* state, int64_t stateSize,
                double out[2]) noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ uint64_t(setupSize) ^ (uint64_t(stateSize) << 32);
  const auto mix = [&h](double v) {
    uint64_t w;
    if (std::isnan(v)) v = NAN;  // any NaN counts as one (a save and load may change its payload)
    std::memcpy(&w, &v, sizeof w);
    h ^= w;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
  };
  for (int64_t i = 0; i < setupSize; ++i) mix(setup[i]);
  for (int64_t i = 0; i < stateSize; ++i) mix(state[i]);
  h *= 0x94D049BB133111EBull;
  h ^= h >> 31;
  out[0] = double(h >> 32);
  out[1] = double(h & 0xFFFFFFFFull);
}

}  // namespace eeg
