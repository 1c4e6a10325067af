// Argument checks of eegfetch, in their fixed order. The first failing check decides the message.
//
// Each field first gets the long-standing checks with their long-standing messages; the checks
// that keep unsafe values out (NaN, infinities, numbers that do not fit a 32-bit integer, rates
// and counts that would divide by zero or size a negative matrix, channel numbers outside the
// file, sparse or complex storage) follow directly after them, for the same field.
#include "reader_call.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "mxelement.h"
#include "stream_state.h"
#if defined(_WIN32)
#include <io.h>
#define fileno _fileno
#endif

namespace eeg {

namespace {

constexpr double kInt32Low = -2147483649.0;  // exclusive bounds of values that truncate into int32
constexpr double kInt32High = 2147483648.0;
constexpr int64_t kMaxFrames = 2147483647;
constexpr double kMaxOffset = 9007199254740992.0;      // 2^53: every such offset is a double
constexpr int64_t kMaxRecordBytes = int64_t(1) << 30;  // a record is read whole
constexpr size_t kMaxSections = size_t(1) << 20;

// Bytes of the file after `offset` (0 when it is shorter), or -1 when its length cannot be found.
int64_t dataBytes(std::FILE* file, int64_t offset) {
  const int64_t length = fileLength(file);
  if (length < 0) return -1;
  return length > offset ? length - offset : 0;
}

// The element count: rows times columns (columns span every trailing dimension).
size_t count(const mxArray* a) { return a ? mxGetNumberOfElements(a) : 0; }
size_t rows(const mxArray* a) { return a ? mxGetM(a) : 0; }
size_t columns(const mxArray* a) { return a ? mxGetN(a) : 0; }
bool isNumeric(const mxArray* a) { return a && mxIsNumeric(a); }
bool isStruct(const mxArray* a) { return a && mxIsStruct(a); }
bool has(const mxArray* s, const char* name) { return mxGetFieldNumber(s, name) != -1; }
const mxArray* field(const mxArray* s, const char* name) { return mxGetField(s, 0, name); }

// True when every element of a numeric array converts to double exactly.
bool convertsExactly(const mxArray* a) {
  const mxClassID cls = mxGetClassID(a);
  const void* data = mxGetData(a);
  size_t n = count(a);
  for (size_t i = 0; i < n; ++i)
    if (!mxElementIsExact(cls, data, i)) return false;
  return true;
}

// A directory opens for reading on some systems but holds no recording.
bool isDirectory(std::FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  return (st.st_mode & S_IFMT) == S_IFDIR;
}

bool fitsInt32(double v) { return v > kInt32Low && v < kInt32High; }  // false for NaN

// The checks of one call. Every failing check goes through fail(), which closes the data file.
class Checks {
 public:
  Checks(std::FILE** file, char (&message)[kMessageSize]) : file_(file), message_(message) {}

  bool fail(Msg m, const char* field = nullptr) {
    if (*file_) {
      std::fclose(*file_);
      *file_ = nullptr;
    }
    formatMessage(message_, m, field);
    return false;
  }

  // A scalar field converted to a signed 32-bit integer by truncation toward zero. `name` is the
  // field as the user writes it ("HDR.fs").
  bool integerScalar(const mxArray* a, const char* name, int32_t& out) {
    if (!isNumeric(a)) return fail(Msg::notRealScalar, name);
    if (count(a) != 1) return fail(Msg::notOneElement, name);
    if (mxIsSparse(a)) return fail(Msg::sparse, name);
    if (mxIsComplex(a)) return fail(Msg::notRealScalar, name);
    double v = numericElement(a, 0);
    if (!fitsInt32(v)) return fail(Msg::outsideInt32, name);
    out = static_cast<int32_t>(v);
    return true;
  }

  // A switch: a logical or numeric scalar, true when nonzero.
  bool flag(const mxArray* r, const char* name, bool& out) {
    const bool logical = r && mxGetClassID(r) == mxLOGICAL_CLASS;
    if (!logical && !isNumeric(r)) return fail(Msg::flagNotNumeric, name);
    if (count(r) != 1) return fail(Msg::flagNotScalar, name);
    if (mxIsSparse(r)) return fail(Msg::sparse, name);
    if (mxIsComplex(r)) return fail(Msg::flagComplex, name);
    const double v = logical ? static_cast<const unsigned char*>(mxGetData(r))[0] : numericElement(r, 0);
    if (std::isnan(v)) return fail(Msg::flagNaN, name);
    out = v != 0.0;
    return true;
  }

  // The checks that follow the long-standing ones of a vector field read as doubles.
  bool realVector(const mxArray* a, const char* name) {
    if (mxIsSparse(a)) return fail(Msg::sparse, name);
    if (mxIsComplex(a)) return fail(Msg::notRealVector, name);
    if (!convertsExactly(a)) return fail(Msg::inexactInt64, name);
    return true;
  }

 private:
  std::FILE** file_;
  char (&message_)[kMessageSize];
};

// Steps 3 and 4: the file name, read into a buffer that is released before anything is raised.
bool openFile(const mxArray* nameArray, ReaderCall& call, std::FILE** file, Checks& checks) {
  size_t size = count(nameArray) + 1;
  if (size > 2147483647u) return checks.fail(Msg::fileName);
  char* name = static_cast<char*>(std::malloc(size));
  if (!name) return checks.fail(Msg::fileName);
  if (mxGetString(nameArray, name, static_cast<int>(size)) != 0) {
    std::free(name);
    return checks.fail(Msg::fileName);
  }
  // A NUL inside the name would open the file its first part names.
  if (std::strlen(name) + 1 != size) {
    std::free(name);
    return checks.fail(Msg::fileNameNul);
  }
  *file = std::fopen(name, "rb");
  call.fileName = nameDigest(name);
  std::free(name);
  if (!*file || isDirectory(*file)) return checks.fail(Msg::openFile);
  return true;
}

// HDR.BinaryFormat, dataOffset, recordSamples and nPoints: where the frames lie in the file.
bool checkLayout(const mxArray* hdr, ReaderCall& call, std::FILE* file, Checks& checks) {
  const mxArray* format = field(hdr, "BinaryFormat");
  if (!isNumeric(format)) return checks.fail(Msg::notRealScalar, "HDR.BinaryFormat");
  if (count(format) != 1) return checks.fail(Msg::notOneElement, "HDR.BinaryFormat");
  if (mxIsSparse(format)) return checks.fail(Msg::sparse, "HDR.BinaryFormat");
  if (mxIsComplex(format)) return checks.fail(Msg::notRealScalar, "HDR.BinaryFormat");
  double code = numericElement(format, 0);
  // Truncation toward zero; NaN and infinities are no code either.
  if (code >= 1.0 && code < 2.0) {
    call.binaryFormat = 1;
    call.bytesPerSample = 2;
  } else if (code >= 2.0 && code < 4.0) {
    call.binaryFormat = code < 3.0 ? 2 : 3;
    call.bytesPerSample = 4;
  } else if (code >= 4.0 && code < 5.0) {
    call.binaryFormat = 4;
    call.bytesPerSample = 3;
  } else {
    return checks.fail(Msg::unknownFormat);
  }

  // The layout fields of recordings with a header and of record-blocked ones; absent, as before.
  if (has(hdr, "dataOffset")) {
    const mxArray* d = field(hdr, "dataOffset");
    if (!isNumeric(d)) return checks.fail(Msg::notRealScalar, "HDR.dataOffset");
    if (count(d) != 1) return checks.fail(Msg::notOneElement, "HDR.dataOffset");
    if (mxIsSparse(d)) return checks.fail(Msg::sparse, "HDR.dataOffset");
    if (mxIsComplex(d)) return checks.fail(Msg::notRealScalar, "HDR.dataOffset");
    if (!convertsExactly(d)) return checks.fail(Msg::inexactInt64, "HDR.dataOffset");
    const double v = numericElement(d, 0);
    if (!(v >= 0.0 && v <= kMaxOffset && v == std::floor(v))) return checks.fail(Msg::dataOffsetRange);
    call.dataOffset = static_cast<int64_t>(v);
  }
  if (has(hdr, "recordSamples")) {
    const mxArray* r = field(hdr, "recordSamples");
    if (!isNumeric(r)) return checks.fail(Msg::notRealVector, "HDR.recordSamples");
    if (rows(r) != 1) return checks.fail(Msg::notVector, "HDR.recordSamples");
    if (columns(r) != static_cast<size_t>(call.nChans))
      return checks.fail(Msg::perChannel, "HDR.recordSamples");
    if (!checks.realVector(r, "HDR.recordSamples")) return false;
    int64_t samples = 0;
    for (int32_t c = 0; c < call.nChans; ++c) {
      const double v = numericElement(r, static_cast<size_t>(c));
      if (!(v >= 0.0 && v <= 2147483647.0 && v == std::floor(v))) return checks.fail(Msg::recordSamplesRange);
      samples += static_cast<int64_t>(v);
    }
    if (samples == 0 || samples * call.bytesPerSample > kMaxRecordBytes) return checks.fail(Msg::recordSize);
    call.recordSamples = r;
    call.recordBytes = samples * call.bytesPerSample;
  }

  if (!has(hdr, "nPoints")) {
    // Whole frames in the file; a partial trailing frame is not counted. Of records, the count is
    // known once the selection is (checkOptions).
    call.nPointsFromFile = true;
    if (!call.recordSamples) {
      const int64_t bytes = dataBytes(file, call.dataOffset);
      if (bytes == -1) return checks.fail(Msg::noFileLength);
      const int64_t frames = bytes / (int64_t(call.bytesPerSample) * call.nChans);
      if (frames > kMaxFrames) return checks.fail(Msg::tooManyFrames);
      call.nPoints = frames;
    }
  } else {
    int32_t n = 0;
    if (!checks.integerScalar(field(hdr, "nPoints"), "HDR.nPoints", n)) return false;
    if (n < 0) return checks.fail(Msg::negativePoints);
    call.nPoints = n;
  }
  return true;
}

bool checkScale(const mxArray* hdr, ReaderCall& call, Checks& checks) {
  const mxArray* scale = field(hdr, "scale");
  if (!isNumeric(scale)) return checks.fail(Msg::notRealVector, "HDR.scale");
  if (rows(scale) != 1) return checks.fail(Msg::notVector, "HDR.scale");
  if (columns(scale) != static_cast<size_t>(call.nChans)) return checks.fail(Msg::scaleSize);
  if (!checks.realVector(scale, "HDR.scale")) return false;
  call.scale = scale;
  return true;
}

bool checkEndian(const mxArray* hdr, ReaderCall& call, Checks& checks) {
  const mxArray* endian = field(hdr, "endian");
  if (!endian || !mxIsChar(endian)) return checks.fail(Msg::endianNotChar);
  if (count(endian) != 1) return checks.fail(Msg::endianNotOne);
  char text[2] = {0, 0};
  if (mxGetString(endian, text, 2) != 0) return checks.fail(Msg::endianUnreadable);
  if (text[0] != 'l' && text[0] != 'b') return checks.fail(Msg::endianValue);
  call.endian = text[0];
  return true;
}

bool checkHeader(const mxArray* hdr, ReaderCall& call, std::FILE* file, Checks& checks) {
  if (!isStruct(hdr)) return checks.fail(Msg::hdrNotStruct);
  if (!has(hdr, "fs")) return checks.fail(Msg::fieldNotSet, "HDR.fs");
  if (!has(hdr, "nChans")) return checks.fail(Msg::fieldNotSet, "HDR.nChans");
  // A stream's samples come as arrays of their own type: no encoding, byte order or file layout.
  const bool stream = call.stream;
  if (!stream && !has(hdr, "BinaryFormat")) return checks.fail(Msg::fieldNotSet, "HDR.BinaryFormat");
  if (!has(hdr, "scale")) return checks.fail(Msg::fieldNotSet, "HDR.scale");
  if (!stream && !has(hdr, "endian")) return checks.fail(Msg::fieldNotSet, "HDR.endian");
  if (count(hdr) == 0) return checks.fail(Msg::hdrEmpty);

  if (!checks.integerScalar(field(hdr, "fs"), "HDR.fs", call.fs)) return false;
  if (call.fs < 1) return checks.fail(Msg::atLeastOne, "HDR.fs");

  if (!checks.integerScalar(field(hdr, "nChans"), "HDR.nChans", call.nChans)) return false;
  if (call.nChans < 1) return checks.fail(Msg::atLeastOne, "HDR.nChans");

  if (!stream && !checkLayout(hdr, call, file, checks)) return false;
  if (!checkScale(hdr, call, checks)) return false;
  if (!stream && !checkEndian(hdr, call, checks)) return false;
  if (has(hdr, "offset")) {
    const mxArray* o = field(hdr, "offset");
    if (!isNumeric(o)) return checks.fail(Msg::notRealVector, "HDR.offset");
    if (rows(o) != 1) return checks.fail(Msg::notVector, "HDR.offset");
    if (columns(o) != static_cast<size_t>(call.nChans)) return checks.fail(Msg::perChannel, "HDR.offset");
    if (!checks.realVector(o, "HDR.offset")) return false;
    call.offset = o;
  }
  if (call.recordSamples && has(hdr, "channelFs")) {  // of use only where channels have rates of their own
    const mxArray* r = field(hdr, "channelFs");
    if (!isNumeric(r)) return checks.fail(Msg::notRealVector, "HDR.channelFs");
    if (rows(r) != 1) return checks.fail(Msg::notVector, "HDR.channelFs");
    if (columns(r) != static_cast<size_t>(call.nChans)) return checks.fail(Msg::perChannel, "HDR.channelFs");
    if (!checks.realVector(r, "HDR.channelFs")) return false;
    call.channelFs = r;
  }
  return true;
}

bool checkOptions(const mxArray* opt, ReaderCall& call, std::FILE* file, Checks& checks) {
  if (!isStruct(opt)) return checks.fail(Msg::optNotStruct);
  if (!has(opt, "chanidx")) return checks.fail(Msg::fieldNotSet, "OPT.chanidx");
  if (!has(opt, "fs")) return checks.fail(Msg::fieldNotSet, "OPT.fs");
  if (count(opt) == 0) return checks.fail(Msg::optEmpty);

  const mxArray* chanidx = field(opt, "chanidx");
  if (!isNumeric(chanidx)) return checks.fail(Msg::notRealVector, "OPT.chanidx");
  if (rows(chanidx) != 1) return checks.fail(Msg::notVector, "OPT.chanidx");
  if (!checks.realVector(chanidx, "OPT.chanidx")) return false;
  size_t nSel = columns(chanidx);
  if (nSel > 2147483647u) return checks.fail(Msg::chanidxTooMany);
  for (size_t k = 0; k < nSel; ++k) {
    double v = numericElement(chanidx, k);
    // After truncation toward zero the channel number must lie in 1..nChans (false for NaN).
    if (!(v >= 1.0 && v < static_cast<double>(call.nChans) + 1.0)) return checks.fail(Msg::chanidxRange);
  }
  // A channel without a scale (an EDF channel whose physical minimum equals its maximum) is not read.
  for (size_t k = 0; k < nSel; ++k)
    if (!std::isfinite(numericElement(call.scale, static_cast<size_t>(numericElement(chanidx, k)) - 1)))
      return checks.fail(Msg::scaleUnknown);
  call.chanidx = chanidx;

  if (call.recordSamples) {  // the selection's one count of samples per record: its frames per record
    const auto countOf = [&](size_t k) {
      return numericElement(call.recordSamples, static_cast<size_t>(numericElement(chanidx, k)) - 1);
    };
    const double perRecord = nSel > 0 ? countOf(0) : 1.0;
    for (size_t k = 0; k < nSel; ++k)
      if (countOf(k) != perRecord) return checks.fail(Msg::mixedRates);
    if (perRecord < 1.0) return checks.fail(Msg::noSamples);
    if (call.channelFs && nSel > 0) {
      // A channel at another rate than HDR.fs is read at its own: HDR.fs would decimate it wrongly.
      const double rate = numericElement(call.channelFs, static_cast<size_t>(numericElement(chanidx, 0)) - 1);
      if (!(rate >= 1.0 && rate <= 2147483647.0 && rate == std::floor(rate)))
        return checks.fail(Msg::channelRate);
      call.fs = static_cast<int32_t>(rate);
    }
    if (call.nPointsFromFile) {
      const int64_t bytes = dataBytes(file, call.dataOffset);
      if (bytes == -1) return checks.fail(Msg::noFileLength);
      const int64_t records = bytes / call.recordBytes;
      if (records > kMaxFrames / static_cast<int64_t>(perRecord)) return checks.fail(Msg::tooManyFrames);
      call.nPoints = records * static_cast<int64_t>(perRecord);
    }
  }
  call.nSel = static_cast<int32_t>(nSel);

  if (!checks.integerScalar(field(opt, "fs"), "OPT.fs", call.targetRate)) return false;
  if (call.targetRate < 1) return checks.fail(Msg::atLeastOne, "OPT.fs");

  double factor = std::trunc(static_cast<double>(call.fs) / static_cast<double>(call.targetRate));
  call.decimationFactor = static_cast<int32_t>(factor);  // fs >= 1 and rate >= 1: 0..fs
  if (static_cast<int64_t>(call.decimationFactor) * call.targetRate != call.fs)
    return checks.fail(Msg::rateMultiple);

  if (!call.stream && has(opt, "data")) {  // a stream's rows are the call's result
    mxArray* data = const_cast<mxArray*>(field(opt, "data"));  // written in place
    if (!isNumeric(data)) return checks.fail(Msg::dataNotNumeric);
    if (columns(data) != nSel) return checks.fail(Msg::dataColumns);
    if (mxGetClassID(data) != mxDOUBLE_CLASS || mxIsComplex(data) || mxIsSparse(data))
      return checks.fail(Msg::dataNotDouble);
    call.data = data;
    call.targetRows = static_cast<int64_t>(rows(data));
    call.destStart = 0;
    call.destEnd = call.targetRows > 2147483647 ? 2147483647 : static_cast<int32_t>(call.targetRows);
    call.srcStart = -1;
    call.srcEnd = -1;
    if (has(opt, "dataPos")) {
      call.hasDataPos = true;
      const mxArray* pos = field(opt, "dataPos");
      if (!isNumeric(pos)) return checks.fail(Msg::notRealVector, "OPT.dataPos");
      if (rows(pos) != 1) return checks.fail(Msg::dataPosNotVector);
      if (columns(pos) != 4) return checks.fail(Msg::dataPosSize);
      if (!checks.realVector(pos, "OPT.dataPos")) return false;
      int32_t window[4];
      for (size_t i = 0; i < 4; ++i) {
        double v = numericElement(pos, i);
        if (!fitsInt32(v)) return checks.fail(Msg::dataPosRange);
        window[i] = static_cast<int32_t>(v);
      }
      call.destStart = window[0];
      call.destEnd = window[1];
      call.srcStart = window[2];
      call.srcEnd = window[3];
    }
  }

  bool hasA = has(opt, "filt_a"), hasB = has(opt, "filt_b");
  if (hasA != hasB) return checks.fail(Msg::filterHalf);
  call.filterLength = 1;
  if (hasA) {
    const mxArray* a = field(opt, "filt_a");
    const mxArray* b = field(opt, "filt_b");
    if (!isNumeric(a)) return checks.fail(Msg::notRealVector, "OPT.filt_a");
    if (rows(a) != 1) return checks.fail(Msg::notVector, "OPT.filt_a");
    if (!isNumeric(b)) return checks.fail(Msg::notRealVector, "OPT.filt_b");
    if (rows(b) != 1) return checks.fail(Msg::notVector, "OPT.filt_b");
    if (columns(a) != columns(b)) return checks.fail(Msg::filterSizes);
    if (!checks.realVector(a, "OPT.filt_a") || !checks.realVector(b, "OPT.filt_b")) return false;
    if (columns(a) > 2147483647u) return checks.fail(Msg::filterTooLong);
    // An empty pair (1 x 0 each) is the identity filter.
    if (columns(a) > 0) {
      call.filterLength = static_cast<int32_t>(columns(a));
      call.filtA = a;
      call.filtB = b;
    }
  }

  // Second-order sections, the form scipy, MNE and MATLAB design filters in. A row with another a0 is
  // refused rather than divided by it, as scipy.signal.sosfilt refuses it: dividing would round.
  if (has(opt, "sos")) {
    if (hasA) return checks.fail(Msg::sosWithFilter);
    const mxArray* q = field(opt, "sos");
    if (!isNumeric(q) || mxIsComplex(q)) return checks.fail(Msg::sosShape);
    if (mxIsSparse(q)) return checks.fail(Msg::sparse, "OPT.sos");
    if (count(q) > 0) {  // empty: no filter
      if (columns(q) != 6) return checks.fail(Msg::sosShape);
      if (rows(q) > kMaxSections) return checks.fail(Msg::sosTooLong);
      if (!convertsExactly(q)) return checks.fail(Msg::inexactInt64, "OPT.sos");
      for (size_t k = 0; k < rows(q); ++k)
        if (numericElement(q, k + 3 * rows(q)) != 1.0) return checks.fail(Msg::sosLeading);
      call.sos = q;
      call.sections = static_cast<int32_t>(rows(q));
    }
  }

  if (has(opt, "filt_subsample")) {
    const mxArray* w = field(opt, "filt_subsample");
    if (!isNumeric(w)) return checks.fail(Msg::notRealVector, "OPT.filt_subsample");
    if (rows(w) != 1) return checks.fail(Msg::notVector, "OPT.filt_subsample");
    if (columns(w) != static_cast<size_t>(call.decimationFactor)) return checks.fail(Msg::weightsLength);
    if (!checks.realVector(w, "OPT.filt_subsample")) return false;
    call.weights = w;
  }

  // Checked after everything else, so every earlier message keeps its place.
  call.resume = false;
  call.newest = false;
  if (call.stream) return true;  // a stream goes on from the state its caller holds
  if (has(opt, "resume") && !checks.flag(field(opt, "resume"), "OPT.resume", call.resume)) return false;
  if (has(opt, "newest")) {
    if (!checks.flag(field(opt, "newest"), "OPT.newest", call.newest)) return false;
    if (call.newest && !call.data) return checks.fail(Msg::newestNeedsData);
    if (call.newest && call.hasDataPos) return checks.fail(Msg::newestWithDataPos);
  }
  call.newRows = false;
  if (has(opt, "newRows")) {
    if (!checks.flag(field(opt, "newRows"), "OPT.newRows", call.newRows)) return false;
    if (call.newRows && !call.resume) return checks.fail(Msg::newRowsNeedsResume);
    if (call.newRows && call.data) return checks.fail(Msg::newRowsWithData);
  }
  call.threads = 0;
  if (has(opt, "threads")) {
    const mxArray* t = field(opt, "threads");
    if (!isNumeric(t) || count(t) != 1 || mxIsSparse(t) || mxIsComplex(t)) return checks.fail(Msg::threadCount);
    const double v = numericElement(t, 0);
    if (!(v >= 1 && v <= kMaxThreads) || v != std::floor(v)) return checks.fail(Msg::threadCount);
    call.threads = static_cast<int32_t>(v);
  }
  return true;
}

}  // namespace

double numericElement(const mxArray* a, size_t i) {
  return mxElementAsDouble(mxGetClassID(a), mxGetData(a), i);
}

bool validateCall(int nlhs, int nrhs, const mxArray* prhs[], ReaderCall& call, std::FILE** file,
                  char (&message)[kMessageSize]) {
  Checks checks(file, message);
  call = ReaderCall();
  if (nrhs != 3) return checks.fail(Msg::threeArguments);
  if (nlhs > 2) return checks.fail(Msg::outputCount);
  if (!openFile(prhs[0], call, file, checks)) return false;
  if (!checkHeader(prhs[1], call, *file, checks)) return false;
  return checkOptions(prhs[2], call, *file, checks);
}

bool validateStreamSetup(const mxArray* hdr, const mxArray* opt, ReaderCall& call,
                         char (&message)[kMessageSize]) {
  std::FILE* none = nullptr;
  Checks checks(&none, message);
  call = ReaderCall();
  call.stream = true;
  return checkHeader(hdr, call, nullptr, checks) && checkOptions(opt, call, nullptr, checks);
}

void sosRowsOf(const ReaderCall& call, double* rows) {
  const size_t k = size_t(call.sections);
  for (size_t r = 0; r < k; ++r)
    for (size_t i = 0; i < 6; ++i) rows[6 * r + i] = numericElement(call.sos, r + i * k);
}

}  // namespace eeg
