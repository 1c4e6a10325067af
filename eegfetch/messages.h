// Every message of eegfetch in one table: the argument checks and the read raise them by name, and
// the list in docs/eegfetch.md and `help eegfetch` are checked against it. "%s" stands for the field a
// shared check is about ("HDR.fs"); the warning's numbers are printf conversions. Reworded here, a
// message changes everywhere it is raised.
#ifndef EEGFETCH_MESSAGES_H
#define EEGFETCH_MESSAGES_H

#include <cstddef>

// clang-format off
#define EEGFETCH_MESSAGES(X) \
  X(threeArguments, "Exactly three input arguments required.") \
  X(outputCount, "One or two output arguments required.") \
  X(fileName, "Could not read file name.") \
  X(fileNameNul, "The file name must not hold a NUL character.") \
  X(openFile, "Could not open eeg file.") \
  X(hdrNotStruct, "HDR has to be a struct.") \
  X(fieldNotSet, "The field %s was not set") \
  X(hdrEmpty, "HDR must not be an empty struct array.") \
  X(notRealScalar, "%s must be a real scalar.") \
  X(notOneElement, "%s argument must be real scalar.") \
  X(sparse, "%s must not be sparse.") \
  X(outsideInt32, "%s must be a finite number within the signed 32-bit range.") \
  X(atLeastOne, "%s must be at least 1.") \
  X(unknownFormat, "Unknown Binary Format!") \
  X(dataOffsetRange, "HDR.dataOffset must be a whole number of bytes from 0 to 2^53.") \
  X(perChannel, "%s must have HDR.nChans entries.") \
  X(recordSamplesRange, "HDR.recordSamples entries must be whole numbers from 0 to 2147483647.") \
  X(recordSize, "HDR.recordSamples must make records of 1 byte to 1 GiB.") \
  X(mixedRates, "OPT.chanidx selects channels with different HDR.recordSamples counts: read the channels of one rate at a time.") \
  X(noSamples, "OPT.chanidx selects a channel with no samples in a record (HDR.recordSamples is 0).") \
  X(channelRate, "HDR.channelFs of the channels OPT.chanidx selects must be a whole number of Hz from 1 to 2147483647.") \
  X(noFileLength, "Could not find the length of the eeg file.") \
  X(tooManyFrames, "The eeg file holds more than 2147483647 frames; set HDR.nPoints to read a part of it.") \
  X(negativePoints, "HDR.nPoints must not be negative.") \
  X(notRealVector, "%s must be a real scalar vector.") \
  X(scaleNotVector, "HDR.scale has to be a vector.") \
  X(scaleSize, "HDR.scale has to be a vector with the size of nChanns.") \
  X(inexactInt64, "%s holds a 64-bit integer that has no exact double.") \
  X(endianNotChar, "HDR.endian must be a character.") \
  X(endianNotOne, "HDR.endian argument must be character.") \
  X(endianUnreadable, "Could not read HDR.endian .") \
  X(endianValue, "HDR.endian must be 'l' or 'b', see documentation.") \
  X(optNotStruct, "OPT has to be a struct.") \
  X(optEmpty, "OPT must not be an empty struct array.") \
  X(notVector, "%s has to be a vector.") \
  X(chanidxTooMany, "OPT.chanidx has more than 2147483647 entries.") \
  X(chanidxRange, "OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.") \
  X(scaleUnknown, "HDR.scale of a channel OPT.chanidx selects is not a finite number: its scale is unknown.") \
  X(rateMultiple, " The base frequency has to be a multiple of the requested frequency.") \
  X(dataNotNumeric, "OPT.data must be a real scalar matrix.") \
  X(dataColumns, "OPT.data must have the same size as chanidx.") \
  X(dataNotDouble, "OPT.data must be a real double matrix.") \
  X(dataPosNotVector, "OPT.dataPos must be a vector.") \
  X(dataPosSize, "OPT.dataPos must have the size 4") \
  X(dataPosRange, "OPT.dataPos entries must be finite numbers within the signed 32-bit range.") \
  X(filterHalf, "OPT.filt_a or OPT.filt_b was not set.") \
  X(filterSizes, "OPT.filt_a and OPT.filt_b must have the same size.") \
  X(filterTooLong, "OPT.filt_a has more than 2147483647 coefficients.") \
  X(sosWithFilter, "Give OPT.sos or OPT.filt_a and OPT.filt_b, not both.") \
  X(sosShape, "OPT.sos must be a real matrix of second-order sections, one row [b0 b1 b2 a0 a1 a2] each.") \
  X(sosTooLong, "OPT.sos has more than 1048576 sections.") \
  X(sosLeading, "Every row of OPT.sos must have a0 = 1 (divide the row by its a0).") \
  X(weightsLength, "FIR filter has to correspondent with the sampling rate.") \
  X(flagNotNumeric, "%s must be a logical or numeric scalar.") \
  X(flagNotScalar, "%s must be a scalar.") \
  X(flagComplex, "%s must be real.") \
  X(flagNaN, "%s must not be NaN.") \
  X(newestNeedsData, "OPT.newest needs OPT.data.") \
  X(newestWithDataPos, "OPT.newest places the rows itself: give OPT.newest or OPT.dataPos, not both.") \
  X(newRowsNeedsResume, "OPT.newRows needs OPT.resume.") \
  X(newRowsWithData, "OPT.newRows returns the new rows as a new matrix: give OPT.newRows or OPT.data, not both.") \
  X(threadCount, "OPT.threads must be a whole number of threads from 1 to 16.") \
  X(outOfMemory, "Not enough memory for the working storage of the read.") \
  X(readError, "Could not read the eeg file.") \
  X(interrupted, "The read was interrupted (Ctrl-C).") \
  X(sharedData, "eegfetch: OPT.data shares its storage with another value (a variable, a constant in the code, or a matrix it was cut from), which this call has written too; give OPT.data a fresh matrix from zeros, such as zeros(rows, numel(OPT.chanidx)).") \
  X(shortFile, "eegfetch: HDR.nPoints asks for %lld frames but the file holds only %lld whole frames; rows of blocks past the end of the file were not written.")
// clang-format on

namespace eeg {

enum class Msg : int {
#define EEGFETCH_MESSAGE_NAME(name, text) name,
  EEGFETCH_MESSAGES(EEGFETCH_MESSAGE_NAME)
#undef EEGFETCH_MESSAGE_NAME
};

// The text of `m`, "%s" and conversions as they stand.
const char* messageText(Msg m) noexcept;

// Room for any message of the module, with the field or numbers some of them carry.
constexpr std::size_t kMessageSize = 256;

// `m` with "%s" replaced by `field` (null: none), into `out`.
void formatMessage(char (&out)[kMessageSize], Msg m, const char* field = nullptr) noexcept;

}  // namespace eeg

#endif
