// Benchmark driver of the reader core: generates workloads, prints filter coefficients for the peer
// scripts, and times readRecording and a decode-only floor (warm cache, median of several rounds).
//
//   eegfetch_bench generate FILE nChans format(1|2|3) endian(l|b) frames [sparse]
//   eegfetch_bench butter ORDER CUTOFF FS          -> "b: ..." and "a: ..." lines
//   eegfetch_bench select nChans nSel              -> the selected channels, 1-based
//   eegfetch_bench run MODE FILE nChans format endian ORDER CUTOFF FS TARGETFS weights(last|boxcar)
//                      nSel(0 = all) rounds [threads isa chunkFrames]
//     MODE core | floor | copy (the floor's reads alone) | sections (core, with a band-pass from 0.1 Hz
//     to CUTOFF of order 2 x ORDER as ORDER second-order sections); isa 0 (the widest), sse2, avx2 or avx512;
//     prints "median_s=... min_s=... peak_rss_mb=... frames=..."
//   eegfetch_bench kernel FILE nChans format endian ORDER CUTOFF FS TARGETFS rounds [isa [sections]]
//     the filter's arithmetic alone: the read loop over the file's first 768 frames, already in memory
//     and in cache, every channel, default weights; prints the time that the file's frames would take
//     at that rate on one thread, "median_s=... min_s=... ns_per_sample=..."; with "sections", the
//     band-pass of run sections instead of the low-pass
//   eegfetch_bench recfloor FILE dataOffset nChans framesPerRecord rounds
//     the decode-only floor of a BDF file (24-bit, every channel framesPerRecord samples a record): read
//     whole records and convert every sample to double, nothing else; prints as run does
//   eegfetch_bench statusfloor FILE dataOffset recordBytes statusAt statusBytes rounds
//     the floor under finding a BDF file's Status events: one pread of each record's Status bytes
//     (statusBytes at statusAt in the record) and the changes of their low 16 bits to a value other
//     than 0 counted; beside it, the whole records read in 1 MiB preads (nothing decoded);
//     prints "status_median_s=... whole_median_s=... records=... events=..."
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filter_kernel.h"
#include "reader.h"
#include "sample_decoder.h"

namespace {

// Butterworth low-pass of order n by the bilinear transform with prewarping; L = n + 1 coefficients.
void butter(int n, double cutoff, double fs, std::vector<double>& b, std::vector<double>& a) {
  const double pi = 3.14159265358979323846;
  const double warped = 2.0 * fs * std::tan(pi * cutoff / fs);
  std::vector<std::complex<double>> zPoles;
  for (int k = 0; k < n; ++k) {
    const double theta = pi * (2.0 * k + n + 1) / (2.0 * n);
    const std::complex<double> s = warped * std::complex<double>(std::cos(theta), std::sin(theta));
    zPoles.push_back((2.0 * fs + s) / (2.0 * fs - s));
  }
  std::vector<std::complex<double>> poly{1.0};
  for (auto p : zPoles) {
    std::vector<std::complex<double>> next(poly.size() + 1, 0.0);
    for (std::size_t i = 0; i < poly.size(); ++i) {
      next[i] += poly[i];
      next[i + 1] -= poly[i] * p;
    }
    poly = next;
  }
  a.clear();
  for (auto c : poly) a.push_back(c.real());
  // Numerator (1 + z^-1)^n, scaled to unit gain at DC.
  b.assign(n + 1, 0.0);
  b[0] = 1.0;
  for (int k = 0; k < n; ++k)
    for (int i = k + 1; i > 0; --i) b[i] += b[i - 1];
  double sa = 0, sb = 0;
  for (double v : a) sa += v;
  for (double v : b) sb += v;
  for (double& v : b) v *= sa / sb;
}

// Butterworth band-pass from low to high Hz, of order 2n, as n second-order sections (rows of
// [b0 b1 b2 a0 a1 a2]): the prototype's poles moved to the band, then the bilinear transform with
// prewarping; each section one pair of conjugate poles with zeros at z = 1 and z = -1, the gain in the
// first. n even.
std::vector<double> bandSections(int n, double low, double high, double fs) {
  const double pi = 3.14159265358979323846;
  const double w1 = 2.0 * fs * std::tan(pi * low / fs), w2 = 2.0 * fs * std::tan(pi * high / fs);
  const double bw = w2 - w1, w0sq = w1 * w2;
  std::vector<double> sos;
  std::complex<double> gain = std::pow(bw, n);
  for (int k = 0; k < n; ++k) {
    const double theta = pi * (2.0 * k + n + 1) / (2.0 * n);
    const std::complex<double> p = std::complex<double>(std::cos(theta), std::sin(theta)) * (bw / 2.0);
    const std::complex<double> root = std::sqrt(p * p - w0sq);
    for (const std::complex<double> s : {p + root, p - root}) {
      gain /= 2.0 * fs - s;
      if (s.imag() <= 0) continue;  // one section per conjugate pair
      const std::complex<double> z = (2.0 * fs + s) / (2.0 * fs - s);
      sos.insert(sos.end(), {1.0, 0.0, -1.0, 1.0, -2.0 * z.real(), std::norm(z)});
    }
  }
  gain *= std::pow(2.0 * fs, n);  // the n zeros at s = 0
  for (int i = 0; i < 3; ++i) sos[i] *= gain.real();
  return sos;
}

// The selected channels (0-based): all in order, or nSel of them in a fixed shuffled order.
std::vector<int32_t> selection(int nChans, int nSel) {
  std::vector<int32_t> channels(nChans);
  for (int c = 0; c < nChans; ++c) channels[c] = c;
  if (nSel <= 0 || nSel >= nChans) return channels;
  std::mt19937 rng(7);
  for (int i = nChans - 1; i > 0; --i) std::swap(channels[i], channels[rng() % (i + 1)]);
  channels.resize(nSel);
  return channels;
}

int generate(const char* path, int nChans, int format, bool big, int64_t frames, bool sparse) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return 1;
  const int bps = format == 1 ? 2 : 4;
  const uint64_t frameBytes = uint64_t(nChans) * bps;
  if (sparse) {  // a sparse file of zeros
    const uint64_t bytes = frameBytes * uint64_t(frames);
    if (std::fseek(f, 0, SEEK_SET) != 0 ||
        (bytes && (fseeko(f, off_t(bytes - 1), SEEK_SET) != 0 || std::fputc(0, f) == EOF))) {
      std::fclose(f);
      return 1;
    }
    return std::fclose(f) == 0 ? 0 : 1;
  }
  std::mt19937 rng(12345);
  std::normal_distribution<float> noise(0.0f, 50.0f);
  const int64_t perChunk = 4096;
  std::vector<unsigned char> buf(frameBytes * perChunk);
  const double pi = 3.14159265358979323846;
  for (int64_t f0 = 0; f0 < frames; f0 += perChunk) {
    const int64_t n = std::min(perChunk, frames - f0);
    unsigned char* p = buf.data();
    for (int64_t i = 0; i < n; ++i)
      for (int c = 0; c < nChans; ++c) {
        const double t = double(f0 + i);
        const double v = 1000.0 * std::sin(2 * pi * t * (0.001 + 0.0007 * c)) + noise(rng);
        unsigned char bytes[4];
        if (format == 1) {
          const int16_t s = static_cast<int16_t>(std::lrint(v));
          std::memcpy(bytes, &s, 2);
        } else if (format == 2) {
          const int32_t s = static_cast<int32_t>(std::lrint(v * 1000));
          std::memcpy(bytes, &s, 4);
        } else {
          const float s = static_cast<float>(v);
          std::memcpy(bytes, &s, 4);
        }
        if (big) std::reverse(bytes, bytes + bps);
        std::memcpy(p, bytes, bps);
        p += bps;
      }
    if (std::fwrite(buf.data(), 1, frameBytes * n, f) != frameBytes * n) {
      std::fclose(f);
      return 1;
    }
  }
  return std::fclose(f) == 0 ? 0 : 1;
}

double peakRssMb() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

// Read and convert every frame to double, nothing else: the floor under any reader of the file. Without
// `convert`, only the read: the copy out of the page cache, the part of the floor that no reader avoids.
int64_t decodeFloor(FILE* f, int nChans, int format, bool big, bool convert, double* sink) {
  eeg::SampleDecoder d;
  eeg::setupSampleDecoder(d, format, big);
  const eeg::DecodeFunction decode = eeg::kernelFor(eeg::widestInstructionSet()).decode;
  const uint64_t frameBytes = uint64_t(nChans) * d.bytesPerSample;
  const int64_t chunkFrames = std::max<int64_t>(1, (4 << 20) / frameBytes);
  const int64_t pass = std::max<int64_t>(16, (192 << 10) / 8 / nChans);
  std::vector<unsigned char> raw(chunkFrames * frameBytes);
  std::vector<double> x(pass * nChans);
  int64_t frames = 0;
  double acc = 0;
  for (;;) {
    const std::size_t got = std::fread(raw.data(), 1, raw.size(), f);
    const int64_t n = int64_t(got / frameBytes);
    for (int64_t s = 0; convert && s < n; s += pass) {
      const int64_t m = std::min(pass, n - s);
      decode(format, big, raw.data() + s * frameBytes, frameBytes, m, 0, nChans, x.data(), nChans);
      acc += x[0] + x[(m - 1) * nChans + nChans - 1];
    }
    if (!convert && n > 0) acc += raw[0] + raw[got - 1];
    frames += n;
    if (got < raw.size()) break;
  }
  *sink = acc;
  return frames;
}

// The same floor for data records: whole records read and every channel's samples converted.
int recordFloor(const char* path, int64_t dataOffset, int nChans, int64_t perRecord, int rounds) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return 1;
  eeg::SampleDecoder d;
  eeg::setupSampleDecoder(d, eeg::encodingInt24, false);
  const int64_t recordBytes = int64_t(nChans) * perRecord * 3;
  const int64_t records = std::max<int64_t>(1, (4 << 20) / recordBytes);
  std::vector<unsigned char> raw(std::size_t(records * recordBytes));
  std::vector<int64_t> channelBytes(static_cast<std::size_t>(nChans));
  for (int c = 0; c < nChans; ++c) channelBytes[std::size_t(c)] = int64_t(c) * perRecord * 3;
  const int64_t pass = std::max<int64_t>(16, (192 << 10) / 8 / nChans);
  std::vector<double> x(std::size_t(pass * nChans));
  std::vector<double> times;
  double sink = 0;
  int64_t frames = 0;
  for (int r = 0; r < rounds; ++r) {
    fseeko(f, off_t(dataOffset), SEEK_SET);
    frames = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const std::size_t got = std::fread(raw.data(), 1, raw.size(), f);
      const int64_t n = int64_t(got) / recordBytes * perRecord;
      for (int64_t s = 0; s < n; s += pass) {
        const int64_t m = std::min(pass, n - s);
        eeg::decodeRecords(d, raw.data(), recordBytes, perRecord, s, m, channelBytes.data(), nChans, x.data(),
                           nChans);
        sink += x[0] + x[std::size_t((m - 1) * nChans + nChans - 1)];
      }
      frames += n;
      if (got < raw.size()) break;
    }
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::fclose(f);
  std::sort(times.begin(), times.end());
  std::printf("median_s=%.4f peak_rss_mb=%.1f frames=%lld check=%g\n", times[times.size() / 2], peakRssMb(),
              (long long)frames, sink);
  return 0;
}

// One pread per record of its Status bytes, the events counted; and the whole records' bytes read.
int statusFloor(const char* path, int64_t dataOffset, int64_t recordBytes, int64_t statusAt,
                int64_t statusBytes, int rounds) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return 1;
  const off_t length = ::lseek(fd, 0, SEEK_END);
  const int64_t records = (int64_t(length) - dataOffset) / recordBytes;
  std::vector<unsigned char> status(static_cast<std::size_t>(statusBytes)), whole(std::size_t(1) << 20);
  std::vector<double> statusTimes, wholeTimes;
  int64_t events = 0;
  uint64_t sink = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    events = 0;
    unsigned previous = 0;
    for (int64_t k = 0; k < records; ++k) {
      if (::pread(fd, status.data(), status.size(), off_t(dataOffset + k * recordBytes + statusAt)) !=
          ssize_t(status.size()))
        return 1;
      for (std::size_t i = 0; i + 2 < status.size(); i += 3) {
        const unsigned low = status[i] | unsigned(status[i + 1]) << 8;
        events += low != previous && low != 0;
        previous = low;
      }
    }
    statusTimes.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    t0 = std::chrono::steady_clock::now();
    const int64_t end = dataOffset + records * recordBytes;
    for (int64_t at = dataOffset; at < end; at += int64_t(whole.size())) {
      const std::size_t n = std::size_t(std::min<int64_t>(int64_t(whole.size()), end - at));
      if (::pread(fd, whole.data(), n, off_t(at)) != ssize_t(n)) return 1;
      sink += whole[n - 1];
    }
    wholeTimes.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  ::close(fd);
  std::sort(statusTimes.begin(), statusTimes.end());
  std::sort(wholeTimes.begin(), wholeTimes.end());
  std::printf("status_median_s=%.5f whole_median_s=%.5f records=%lld events=%lld check=%llu\n",
              statusTimes[statusTimes.size() / 2], wholeTimes[wholeTimes.size() / 2], (long long)records,
              (long long)events, (unsigned long long)sink);
  return 0;
}

// An instruction set by the name the commands take: 0 (or widest), sse2, avx2 or avx512.
bool instructionSetNamed(const std::string& name, eeg::InstructionSet& isa) {
  if (name == "sse2")
    isa = eeg::InstructionSet::sse2;
  else if (name == "avx2")
    isa = eeg::InstructionSet::avx2;
  else if (name == "avx512")
    isa = eeg::InstructionSet::avx512;
  else if (name == "0" || name == "widest")
    isa = eeg::InstructionSet::widest;
  else {
    std::fprintf(stderr, "unknown instruction set %s (the one read loop has no frame-at-a-time form)\n",
                 name.c_str());
    return false;
  }
  return true;
}

// The recording and the filter a command works on: FILE nChans format endian ORDER CUTOFF FS TARGETFS.
struct Workload {
  const char* path;
  int nChans, format;
  bool big;
  int order;
  double cutoff;
  int fs, targetFs;
};

Workload workloadAt(char** a) {
  return Workload{a[0],
                  std::atoi(a[1]),
                  std::atoi(a[2]),
                  a[3][0] == 'b',
                  std::atoi(a[4]),
                  std::atof(a[5]),
                  std::atoi(a[6]),
                  std::atoi(a[7])};
}

int run(int argc, char** argv) {
  if (argc < 14) return 2;
  const std::string mode = argv[2];
  const auto [path, nChans, format, big, order, cutoff, fs, targetFs] = workloadAt(argv + 3);
  const std::string weightKind = argv[11];
  int nSel = std::atoi(argv[12]);
  const int rounds = std::atoi(argv[13]);
  const int threads = argc > 14 ? std::atoi(argv[14]) : 0;
  eeg::InstructionSet isa = eeg::InstructionSet::widest;
  if (!instructionSetNamed(argc > 15 ? argv[15] : "0", isa)) return 2;
  const int64_t chunkFrames = argc > 16 ? std::atoll(argv[16]) : 0;
  const int factor = fs / targetFs;

  FILE* f = std::fopen(path, "rb");
  if (!f) return 1;
  fseeko(f, 0, SEEK_END);
  const int64_t bytes = ftello(f);
  const int bps = format == 1 ? 2 : 4;
  const int64_t nPoints = bytes / (int64_t(nChans) * bps);

  std::vector<double> b, a, sos;
  if (mode == "sections" && order > 0)
    sos = bandSections(order, 0.1, cutoff, fs);
  else if (order > 0)
    butter(order, cutoff, fs, b, a);
  std::vector<double> weights(factor, weightKind == "boxcar" ? 1.0 / factor : 0.0);
  if (weightKind != "boxcar") weights.back() = 1.0;
  const std::vector<int32_t> channels = selection(nChans, nSel);
  nSel = static_cast<int>(channels.size());
  std::vector<double> scale(nChans, 0.1);
  const int64_t nOut = nPoints / factor;

  std::vector<double> times;
  double sink = 0;
  int64_t frames = 0;
  double* target = nullptr;
  for (int r = 0; r < rounds; ++r) {
    fseeko(f, 0, SEEK_SET);
    const auto t0 = std::chrono::steady_clock::now();
    if (mode == "floor" || mode == "copy") {
      frames = decodeFloor(f, nChans, format, big, mode == "floor", &sink);
    } else {
      // A fresh zeroed result each round, as the module creates one (with its advice for large pages):
      // its first touch is part of the cost.
      target = static_cast<double*>(std::calloc(std::size_t(nOut) * nSel + 1, sizeof(double)));
      if (!target) return 1;
      eeg::prepareFreshTarget(target, nOut * nSel);
      eeg::ReadPlan p;
      p.nChans = nChans;
      p.binaryFormat = format;
      p.swapBytes = big;
      p.nPoints = nPoints;
      p.filterLength = b.empty() ? 1 : order + 1;
      p.b = b.empty() ? nullptr : b.data();
      p.a = a.empty() ? nullptr : a.data();
      p.sos = sos.empty() ? nullptr : sos.data();
      p.sections = static_cast<int>(sos.size() / 6);
      p.decimationFactor = factor;
      p.weights = weights.data();
      p.channels = channels.data();
      p.nSel = nSel;
      p.scale = scale.data();
      p.target = target;
      p.stride = nOut;
      p.columnStep = p.stride;  // column-major
      p.destEnd = nOut;
      p.srcEnd = nOut;
      p.threads = threads;
      p.instructionSet = isa;
      p.chunkFrames = chunkFrames;
      const eeg::ReadOutcome o = eeg::readRecording(f, p);
      if (o.status != eeg::ReadStatus::ok) return 1;
      frames = o.framesRead;
      sink += target[0];
    }
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    std::free(target);
    target = nullptr;
  }
  std::fclose(f);
  std::sort(times.begin(), times.end());
  std::printf("median_s=%.4f min_s=%.4f peak_rss_mb=%.1f frames=%lld bytes=%lld check=%g\n",
              times[times.size() / 2], times[0], peakRssMb(), (long long)frames, (long long)bytes, sink);
  return 0;
}

// The filter's arithmetic alone, in cache: jobs of 768 frames and 32 channels of raw samples, as the read
// gives its loop for a recording like W1, over the same in-memory frames again and again.
int kernelOnly(int argc, char** argv) {
  if (argc < 11) return 2;
  const auto [path, nChans, format, big, order, cutoff, fs, targetFs] = workloadAt(argv + 2);
  const int rounds = std::atoi(argv[10]);
  eeg::InstructionSet isa = eeg::InstructionSet::widest;
  if (!instructionSetNamed(argc > 11 ? argv[11] : "0", isa)) return 2;
  if (isa == eeg::InstructionSet::widest) isa = eeg::widestInstructionSet();
  const eeg::KernelFunction filter = eeg::kernelFor(isa).filter;
  if (!filter || order < 1 || nChans % 8 != 0 || fs % targetFs != 0) return 2;
  const int bps = format == 1 ? 2 : 4;
  const int64_t frameBytes = int64_t(nChans) * bps;
  const int64_t pass = 768, part = 32;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 1;
  std::vector<unsigned char> raw(std::size_t(pass * frameBytes) + 64);
  const std::size_t got = std::fread(raw.data(), 1, std::size_t(pass * frameBytes), f);
  fseeko(f, 0, SEEK_END);
  const int64_t fileFrames = ftello(f) / frameBytes;
  std::fclose(f);
  if (got != std::size_t(pass * frameBytes)) return 1;
  std::vector<double> b, a, sos;
  const bool sections = argc > 12 && std::strcmp(argv[12], "sections") == 0;
  if (sections)
    sos = bandSections(order, 0.1, cutoff, fs);
  else
    butter(order, cutoff, fs, b, a);
  const int factor = fs / targetFs;
  std::vector<double> state(std::size_t(sections ? 2 * order : order) * nChans), accumulators(nChans);
  std::vector<double> sums(std::size_t(part) * (pass / factor + 2));
  eeg::KernelJob job;
  job.frameBytes = frameBytes;
  job.binaryFormat = format;
  job.swapBytes = big;
  job.frames = pass;
  job.L = sections ? 2 * order + 1 : order + 1;
  job.b = b.data();
  job.a = a.data();
  job.sos = sos.data();
  job.sections = sections ? order : 0;
  job.stateStride = nChans;
  job.factor = factor;
  job.blockSums = sums.data();
  job.sumStride = pass / factor + 2;
  const int64_t reps = std::max<int64_t>(1, (int64_t(50) << 20) / (pass * nChans));
  std::vector<double> times;
  double sink = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t k = 0; k < reps; ++k)
      for (int64_t c = 0; c < nChans; c += part) {
        job.raw = raw.data() + c * bps;
        job.width = std::min<int64_t>(part, nChans - c);
        job.state = state.data() + c;
        job.accumulators = accumulators.data() + c;
        job.phase = 0;
        filter(job);
      }
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    sink += sums[0];
  }
  std::sort(times.begin(), times.end());
  const double perFrame = times[times.size() / 2] / double(reps * pass);
  std::printf("median_s=%.4f min_s=%.4f ns_per_sample=%.3f frames=%lld check=%g\n", perFrame * fileFrames,
              times[0] / double(reps * pass) * fileFrames, perFrame / nChans * 1e9, (long long)fileFrames,
              sink);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 7 && std::strcmp(argv[1], "generate") == 0)
    return generate(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5][0] == 'b', std::atoll(argv[6]),
                    argc > 7 && std::strcmp(argv[7], "sparse") == 0);
  if (argc >= 5 && std::strcmp(argv[1], "butter") == 0) {
    std::vector<double> b, a;
    butter(std::atoi(argv[2]), std::atof(argv[3]), std::atof(argv[4]), b, a);
    std::printf("b:");
    for (double v : b) std::printf(" %.17g", v);
    std::printf("\na:");
    for (double v : a) std::printf(" %.17g", v);
    std::printf("\n");
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return run(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "kernel") == 0) return kernelOnly(argc, argv);
  if (argc >= 7 && std::strcmp(argv[1], "recfloor") == 0)
    return recordFloor(argv[2], std::atoll(argv[3]), std::atoi(argv[4]), std::atoll(argv[5]),
                       std::atoi(argv[6]));
  if (argc >= 8 && std::strcmp(argv[1], "statusfloor") == 0)
    return statusFloor(argv[2], std::atoll(argv[3]), std::atoll(argv[4]), std::atoll(argv[5]),
                       std::atoll(argv[6]), std::atoi(argv[7]));
  if (argc >= 4 && std::strcmp(argv[1], "select") == 0) {  // 1-based, for the peer scripts
    for (int32_t c : selection(std::atoi(argv[2]), std::atoi(argv[3]))) std::printf(" %d", c + 1);
    std::printf("\n");
    return 0;
  }
  std::fprintf(stderr, "usage: see the comment at the top of bench/bench_core.cpp\n");
  return 2;
}
