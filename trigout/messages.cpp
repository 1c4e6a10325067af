#include "messages.h"

namespace trig {

namespace {

struct Entry {
  Message message;
  const char* text;
};

// In check order; the trailing line feeds are part of the texts callers have long matched.
constexpr Entry kMessages[] = {
    {Message::argumentCount, "Two or three or four input arguments required"},
    {Message::outputArgument, "No output argument allowed"},
    {Message::noIoLib, "IO_LIB not found or is nor global variable."},
    {Message::ioLibNul, "IO_LIB must not hold a NUL character."},
    {Message::loadFailed, "LoadLibrary Failed. Check IO_LIB.\n"},
    {Message::noOut32, "GetProcAddress for Oup32 Failed.\n"},
    {Message::noInp32, "GetProcAddress for Inp32 Failed.\n"},
    {Message::noIsDriverOpen, "GetProcAddress for IsOpen Failed.\n"},
    {Message::driverClosed, "Parellel Port library is not loaded.(Try running as an administrator).\n"},
    {Message::portNotNumber, "port must be a finite real number."},
    {Message::valueNotNumber, "value must be a finite real number."},
    {Message::durationNotNumber, "duration must be a finite real number."},
    {Message::durationNegative, "duration must not be negative."},
    {Message::durationTooLarge, "duration must be at most 2147483647 ms."},
    {Message::delayNotNumber, "delay must be a finite real number."},
    {Message::delayNegative, "delay must not be negative."},
    {Message::delayTooLarge, "delay must be at most 2147483647 ms."},
    {Message::noThread, "Could not start the pulse thread; a value written by this call was reset."},
    {Message::bindingNoMemory, "Out of memory while binding the port library."},
    {Message::requestNoMemory, "Out of memory for the pulse request."},
};

}  // namespace

const char* text(Message message) {
  for (const Entry& e : kMessages)
    if (e.message == message) return e.text;
  return "";
}

}  // namespace trig
