// Bare SMI traps: COUNT writes of a command byte the flash handler does not know to the SMI
// command port, each trapped, decoded, answered and traced by the virtual PC as the tool's
// commands are. What the run costs is the virtual PC's own price of that many commands.
// It refuses to run unless the virtual PC's library is loaded: the writes would be real.
#include <dlfcn.h>
#include <sys/io.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (dlsym(RTLD_DEFAULT, "zorvpc_loaded") == nullptr) {
    fputs("smi_loop: the virtual PC's library is not loaded; refusing to run\n", stderr);
    return 3;
  }
  if (argc != 3 && argc != 4) {
    fputs("usage: smi_loop PORT COUNT [COMMAND]\n", stderr);
    return 2;
  }
  unsigned long port = strtoul(argv[1], nullptr, 0);
  long count = strtol(argv[2], nullptr, 0);
  unsigned long command = argc == 4 ? strtoul(argv[3], nullptr, 0) : 0x7F;
  if (port > 0xFFFF || count < 0 || command > 0xFF) {
    fputs("smi_loop: bad argument\n", stderr);
    return 2;
  }
  if (iopl(3) != 0) {
    perror("smi_loop: iopl");
    return 1;
  }
  for (long i = 0; i < count; ++i) outb(static_cast<unsigned char>(command), static_cast<unsigned short>(port));
  iopl(0);
  return 0;
}
