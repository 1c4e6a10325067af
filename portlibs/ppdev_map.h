// Which Linux parallel port (ppdev device) and register an I/O address names.
#ifndef PORTLIBS_PPDEV_MAP_H
#define PORTLIBS_PPDEV_MAP_H

#include <string>
#include <vector>

namespace ppdev {

// A port the kernel announces: /dev/parport<index> with its base I/O address.
struct ParallelPort {
  int index = -1;
  unsigned base = 0;
};

// The ports listed under <procRoot>/sys/dev/parport/parport<N>/base-addr (its first number is
// the base address), sorted by index. Entries without a readable base-addr are skipped.
std::vector<ParallelPort> listPorts(const std::string& procRoot);

enum class Register { none, data, status, control };

// The port and register `address` names: base -> data, base+1 -> status, base+2 -> control.
// `port` is -1 and the register none when no listed port has that address.
struct Target {
  int port = -1;  // position in `ports`
  Register reg = Register::none;
};
Target mapAddress(const std::vector<ParallelPort>& ports, unsigned address);

}  // namespace ppdev

#endif
