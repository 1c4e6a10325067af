// A port I/O library for real parallel ports on Linux, through the kernel's ppdev driver:
// Out32(base, v) writes the data register of the /dev/parportN whose base address is `base`,
// Out32(base + 2, v) its control register; Inp32 reads data, status (base + 1) and control.
//
// Needs the ppdev module loaded, lp unloaded (it holds the port) and read-write access to
// /dev/parportN (group lp). A port is opened and claimed on first use and kept until unload.
//
// Environment (for tests): PPDEVPORT_PROC_ROOT (default /proc) and PPDEVPORT_DEV_ROOT
// (default /dev) say where the port list and the devices are.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ppdev_map.h"

#define PPDEVPORT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct OpenPort {
  ppdev::ParallelPort port;
  int fd = -1;  // open and claimed, or -1
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_listed = false;
std::vector<OpenPort> g_ports;

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

// Locked. Lists the ports once.
void listOnce() {
  if (g_listed) return;
  g_listed = true;
  for (const ppdev::ParallelPort& p : ppdev::listPorts(envOr("PPDEVPORT_PROC_ROOT", "/proc")))
    g_ports.push_back(OpenPort{p, -1});
}

// Locked. Opens and claims the port when that has not succeeded yet; true when claimed.
bool claim(OpenPort& p) {
  if (p.fd >= 0) return true;
  std::string dev = envOr("PPDEVPORT_DEV_ROOT", "/dev") + "/parport" + std::to_string(p.port.index);
  int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  if (ioctl(fd, PPCLAIM) != 0) {
    close(fd);
    return false;
  }
  p.fd = fd;
  return true;
}

// Locked. The claimed port and register that `address` names, or null.
OpenPort* target(unsigned address, ppdev::Register* reg) {
  listOnce();
  std::vector<ppdev::ParallelPort> list;
  for (const OpenPort& p : g_ports) list.push_back(p.port);
  ppdev::Target t = ppdev::mapAddress(list, address);
  if (t.port < 0 || !claim(g_ports[static_cast<size_t>(t.port)])) return nullptr;
  *reg = t.reg;
  return &g_ports[static_cast<size_t>(t.port)];
}

struct Unload {
  ~Unload() {
    for (OpenPort& p : g_ports)
      if (p.fd >= 0) {
        ioctl(p.fd, PPRELEASE);
        close(p.fd);
      }
  }
} g_unload;

}  // namespace

PPDEVPORT_EXPORT void Out32(short port, short value) {
  pthread_mutex_lock(&g_lock);
  ppdev::Register reg;
  if (OpenPort* p = target(static_cast<unsigned short>(port), &reg)) {
    unsigned char byte = static_cast<unsigned char>(value);
    if (reg == ppdev::Register::data) ioctl(p->fd, PPWDATA, &byte);
    if (reg == ppdev::Register::control) ioctl(p->fd, PPWCONTROL, &byte);
  }
  pthread_mutex_unlock(&g_lock);
}

PPDEVPORT_EXPORT short Inp32(short port) {
  pthread_mutex_lock(&g_lock);
  unsigned char byte = 0;
  ppdev::Register reg;
  if (OpenPort* p = target(static_cast<unsigned short>(port), &reg)) {
    if (reg == ppdev::Register::data) ioctl(p->fd, PPRDATA, &byte);
    if (reg == ppdev::Register::status) ioctl(p->fd, PPRSTATUS, &byte);
    if (reg == ppdev::Register::control) ioctl(p->fd, PPRCONTROL, &byte);
  }
  pthread_mutex_unlock(&g_lock);
  return byte;
}

// Nonzero when at least one announced port could be opened and claimed.
PPDEVPORT_EXPORT int IsInpOutDriverOpen() {
  pthread_mutex_lock(&g_lock);
  listOnce();
  int claimed = 0;
  for (OpenPort& p : g_ports)
    if (claim(p)) ++claimed;
  pthread_mutex_unlock(&g_lock);
  return claimed > 0 ? 1 : 0;
}
