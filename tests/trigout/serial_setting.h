// The serial port library's setting as eegmex_serialport writes it: a device's name and a text
// template go in as hex, so that no comma or odd byte in them can split an entry.
#ifndef EEGMEX_TESTS_TRIGOUT_SERIAL_SETTING_H
#define EEGMEX_TESTS_TRIGOUT_SERIAL_SETTING_H

#include <cstdio>
#include <string>

inline std::string hex(const std::string& s) {
  std::string out;
  char two[3];
  for (unsigned char c : s) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

#endif
