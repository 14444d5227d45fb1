// zorvpc show over a state directory whose every file is the input's: the machine description,
// the trace and the mark of the last run, the CMOS, the flash image and the captured backup.
// show reads files that a user may have put there, so it must end with 0 or 2 on any of them,
// reading nothing past what it checked.
//
// Input: a 16-bit length and that many bytes of machine description, the same for the trace,
// then 128 bytes of CMOS, then the flash image and the backup, each ROM size long (cut short
// when the input ends; a ROM larger than 1 MB is left out).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "input.h"
#include "launcher.h"
#include "machine.h"

namespace {

std::string dir;
int quiet;  // /dev/null

void put(const char* name, const uint8_t* data, size_t size) {
  FILE* f = fopen((dir + "/" + name).c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

// The next count bytes of the input (fewer when it ends) into the file name.
void put_next(const char* name, Input& in, size_t count) {
  if (count > in.left) count = in.left;
  put(name, in.p, count);
  in.p += count;
  in.left -= count;
}

// What show prints is not checked, only that it ends: its messages go to /dev/null, not over
// the fuzzer's own lines.
void show(const char* part) {
  int err = dup(2);
  dup2(quiet, 2);
  int code = cmd_show({dir, part});
  dup2(err, 2);
  close(err);
  if (code != 0 && code != 2) {
    fprintf(stderr, "show %s: exit %d\n", part, code);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char templ[] = "/tmp/fuzz-show.XXXXXX";
  if (mkdtemp(templ) == nullptr) abort();
  dir = templ;
  quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (quiet < 0 || freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = {data, size};
  size_t n = take16(in);
  std::string text(reinterpret_cast<const char*>(in.p), n < in.left ? n : in.left);
  put_next("machine", in, n);
  put_next("trace", in, take16(in));
  put("last-run", reinterpret_cast<const uint8_t*>("0\n"), 2);
  put_next("cmos.bin", in, 128);
  Machine m;
  std::string err;
  uint32_t rom = parse_machine(text, &m, &err) ? rom_size(m) : 0;
  if (rom > (1u << 20)) rom = 0;
  put_next("flash.bin", in, rom);
  put_next(kCapturedBackup, in, rom);
  show("changes");
  show("all");
  return 0;
}
