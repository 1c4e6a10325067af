// Every message trigout raises, in one table (messages.cpp), in the order the call checks them.
// The checks name a message; its text lives only in the table.
#ifndef TRIGOUT_MESSAGES_H
#define TRIGOUT_MESSAGES_H

namespace trig {

enum class Message {
  argumentCount,
  outputArgument,
  noIoLib,
  ioLibNul,
  loadFailed,
  noOut32,
  noInp32,
  noIsDriverOpen,
  driverClosed,  // when the library says no reason of its own
  portNotNumber,
  valueNotNumber,
  durationNotNumber,
  durationNegative,
  durationTooLarge,
  delayNotNumber,
  delayNegative,
  delayTooLarge,
  noThread,
  bindingNoMemory,
  requestNoMemory,
};

// The message's text, as the host shows it after the module's name.
const char* text(Message message);

}  // namespace trig

#endif
