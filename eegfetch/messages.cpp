#include "messages.h"

#include <cstdio>

namespace eeg {

const char* messageText(Msg m) noexcept {
  static const char* const texts[] = {
#define EEGFETCH_MESSAGE_TEXT(name, text) text,
      EEGFETCH_MESSAGES(EEGFETCH_MESSAGE_TEXT)
#undef EEGFETCH_MESSAGE_TEXT
  };
  return texts[static_cast<int>(m)];
}

void formatMessage(char (&out)[kMessageSize], Msg m, const char* field) noexcept {
  if (field)
    std::snprintf(out, kMessageSize, messageText(m), field);
  else
    std::snprintf(out, kMessageSize, "%s", messageText(m));
}

}  // namespace eeg
