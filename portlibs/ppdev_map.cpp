#include "ppdev_map.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ppdev {

std::vector<ParallelPort> listPorts(const std::string& procRoot) {
  std::vector<ParallelPort> ports;
  std::string dir = procRoot + "/sys/dev/parport";
  DIR* d = opendir(dir.c_str());
  if (!d) return ports;
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strncmp(name, "parport", 7) != 0) continue;
    char* end = nullptr;
    long index = std::strtol(name + 7, &end, 10);
    if (end == name + 7 || *end != '\0' || index < 0) continue;
    std::FILE* f = std::fopen((dir + "/" + name + "/base-addr").c_str(), "r");
    if (!f) continue;
    unsigned long base = 0;
    bool ok = std::fscanf(f, "%lu", &base) == 1 && base <= 0xFFFF;
    std::fclose(f);
    if (ok) ports.push_back(ParallelPort{static_cast<int>(index), static_cast<unsigned>(base)});
  }
  closedir(d);
  std::sort(ports.begin(), ports.end(),
            [](const ParallelPort& a, const ParallelPort& b) { return a.index < b.index; });
  return ports;
}

Target mapAddress(const std::vector<ParallelPort>& ports, unsigned address) {
  for (size_t i = 0; i < ports.size(); ++i) {
    unsigned base = ports[i].base;
    if (address == base) return Target{static_cast<int>(i), Register::data};
    if (address == base + 1) return Target{static_cast<int>(i), Register::status};
    if (address == base + 2) return Target{static_cast<int>(i), Register::control};
  }
  return Target{};
}

}  // namespace ppdev
