#include "run/record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "flash/layout.h"
#include "rom/image.h"
#include "rom/program.h"
#include "rom/romfile.h"
#include "rom/sha256.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/quote.h"

namespace {

// Root's own: nobody else can plant a record that names their file as the way back.
const char STATE_DIR[] = "/var/lib/zorflashlnx2";
const char RECORD[] = "last-run";
const char RECORD_NEW[] = "last-run.new";
const char RUNNING[] = "running";
const char FINISHED[] = "finished";
constexpr size_t FIELD = PATH_MAX;
constexpr size_t NUMBER = 24;
constexpr size_t RECORD_LIMIT = 64u << 20;  // a record is a few KB; a larger file is not one
constexpr size_t IN_NAME_MAX = NAME_SIZE - 1;

// Block flags, by BlockTable index.
constexpr uint8_t SELECTED = 1, SKIPPED = 2, CARRIED = 4;

struct Record {
  char format[4];
  char time[32], epoch[NUMBER], boot_id[40], pid[NUMBER];
  char directory[FIELD];
  char command[FIELD];
  char rom_id_before[ROM_ID_LENGTH + 1], rom_id_file[ROM_ID_LENGTH + 1];
  char regions[8];
  char rom_id_erased[4];
  char backup[FIELD];  // the way back, exact bytes
  char backup_size[NUMBER], backup_sha256[SHA256_HEX_SIZE], backup_dev[NUMBER], backup_ino[NUMBER];
  char backup_nc[256];  // the backup's non-critical blocks, as ranges of flash addresses
  char outcome[64], failed_block[16], pending[4];
  char changed_epoch[NUMBER], changed_boot_id[40];
  char* touched;  // ranges (an older record: the letters b, n, c); malloc'd
};

Record last;     // found at the start of this run
Record current;  // this run's, from its first erase on
bool started, passes_done, failed_block_known, unusable, restoring, rom_id_block_erased;
uint32_t failed_block;
uint8_t* flags;  // per block, from the first skipped block or the run's start
char command_line[FIELD];

// The save of this run, until the run starts programming.
struct {
  char path[FIELD];
  struct stat st;
  char sha256[SHA256_HEX_SIZE];
  char nc[256];
} saved;

bool is(const char* value, const char* text) { return strcmp(value, text) == 0; }

// Copies text, cut to fit.
void set(char* out, size_t size, const char* text) {
  size_t n = strnlen(text, size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
}

// An older record (no format key) says "finished" or not, and nothing else that is needed here.
bool pending(const Record& r) {
  if (r.format[0] == '\0') return r.outcome[0] != '\0' && !is(r.outcome, FINISHED);
  return is(r.pending, "1");
}

void append_text(char* out, size_t size, const char* text) {
  size_t len = strnlen(out, size);
  if (len + 1 < size) set(out + len, size - len, text);
}

// ---- Ranges of flash addresses: "0x00080000-0x0009ffff,0x000f0000-0x000fffff" ----

int by_address(const void* a, const void* b) {
  uint32_t x = block_address(*static_cast<const uint16_t*>(a)), y = block_address(*static_cast<const uint16_t*>(b));
  return x < y ? -1 : x > y;
}

// The blocks whose flags make pick true, merged where they meet; malloc'd, never null.
char* block_ranges(bool (*pick)(uint8_t)) {
  uint32_t n = flags == nullptr ? 0 : block_count();
  uint16_t* order = static_cast<uint16_t*>(malloc((n + 1) * sizeof(uint16_t)));
  char* text = static_cast<char*>(malloc(n * 24 + 1));
  if (order == nullptr || text == nullptr) {
    free(order);
    free(text);
    return strdup("");
  }
  uint32_t k = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (pick(flags[i]) && block_size(i) > 0) order[k++] = static_cast<uint16_t>(i);
  }
  qsort(order, k, sizeof *order, by_address);
  size_t len = 0;
  text[0] = '\0';
  for (uint32_t i = 0; i < k;) {
    uint64_t start = block_address(order[i]), end = start + block_size(order[i]);
    for (++i; i < k && block_address(order[i]) <= end; ++i) {
      uint64_t e = static_cast<uint64_t>(block_address(order[i])) + block_size(order[i]);
      if (e > end) end = e;
    }
    len += static_cast<size_t>(snprintf(text + len, 24, "%s0x%08" PRIx64 "-0x%08" PRIx64, len ? "," : "", start, end - 1));
  }
  free(order);
  return text;
}

// 1 when [start, start + size) meets one of the ranges of text.
bool meets(const char* text, uint64_t start, uint64_t size) {
  for (const char* p = text; p != nullptr && *p != '\0';) {
    char* end = nullptr;
    unsigned long long a = strtoull(p, &end, 16);
    if (end == p || *end != '-') return false;
    unsigned long long b = strtoull(end + 1, &end, 16);
    if (a <= b && a < start + size && start <= b) return true;
    p = *end == ',' ? end + 1 : nullptr;
  }
  return false;
}

// ---- The state directory and the record file ----

// The state directory, when it is a directory only this user can change; else -1.
int open_state_dir(bool create) {
  // A rescue system may lack /var/lib: made as a base system has it, 0755 and root's.
  if (create && mkdir(STATE_DIR, 0700) != 0 && errno == ENOENT) {
    mkdir("/var", 0755);
    mkdir("/var/lib", 0755);
    mkdir(STATE_DIR, 0700);
  }
  int fd = open(STATE_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

bool write_all(int fd, const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

struct Field {
  const char* key;
  char* value;
  size_t size;
};

// Every key of the record but the three lists of ranges, in the order they are written.
int fields_of(Record& r, Field* out) {
  Field f[] = {{"format", r.format, sizeof r.format},
               {"time", r.time, sizeof r.time},
               {"epoch", r.epoch, sizeof r.epoch},
               {"boot_id", r.boot_id, sizeof r.boot_id},
               {"pid", r.pid, sizeof r.pid},
               {"directory", r.directory, sizeof r.directory},
               {"command", r.command, sizeof r.command},
               {"rom_id_before", r.rom_id_before, sizeof r.rom_id_before},
               {"rom_id_file", r.rom_id_file, sizeof r.rom_id_file},
               {"regions", r.regions, sizeof r.regions},
               {"rom_id_erased", r.rom_id_erased, sizeof r.rom_id_erased},
               {"backup", r.backup, sizeof r.backup},
               {"backup_size", r.backup_size, sizeof r.backup_size},
               {"backup_sha256", r.backup_sha256, sizeof r.backup_sha256},
               {"backup_dev", r.backup_dev, sizeof r.backup_dev},
               {"backup_ino", r.backup_ino, sizeof r.backup_ino},
               {"backup_nc", r.backup_nc, sizeof r.backup_nc},
               {"outcome", r.outcome, sizeof r.outcome},
               {"failed_block", r.failed_block, sizeof r.failed_block},
               {"pending", r.pending, sizeof r.pending},
               {"changed_epoch", r.changed_epoch, sizeof r.changed_epoch},
               {"changed_boot_id", r.changed_boot_id, sizeof r.changed_boot_id}};
  memcpy(out, f, sizeof f);
  return static_cast<int>(sizeof f / sizeof f[0]);
}

bool picks_selected(uint8_t f) { return f & SELECTED; }
bool picks_skipped(uint8_t f) { return f & SKIPPED; }
bool picks_touched(uint8_t f) { return (f & CARRIED) || ((f & SELECTED) && !(f & SKIPPED)); }

void say_unusable(int err) {
  unusable = true;
  // Said with /q too: without a record the next run cannot name the way back.
  printf(" No run record: %s cannot be written (%s); the run goes on without it\n", STATE_DIR, strerror(err));
  fflush(stdout);
}

// Written whole beside the old record and renamed over it: a cut at any moment leaves the old
// record or the new one, never a mix.
void write_record(Record& r) {
  if (unusable) return;
  char* lists[3] = {block_ranges(picks_selected), block_ranges(picks_skipped), block_ranges(picks_touched)};
  Field f[32];
  int n = fields_of(r, f);
  size_t cap = strlen(lists[0]) + strlen(lists[1]) + strlen(lists[2]) + 64;
  for (int i = 0; i < n; ++i) cap += strlen(f[i].key) + 4 * strlen(f[i].value) + 2;
  char* text = static_cast<char*>(malloc(cap));
  size_t len = 0;
  auto add = [&](const char* bytes, size_t k) {
    memcpy(text + len, bytes, k);
    len += k;
  };
  auto add_line = [&](const char* key, const char* value, bool escape) {
    add(key, strlen(key));
    add("=", 1);
    if (escape) {
      record_escape(text + len, cap - len, value, strlen(value));
      len += strlen(text + len);
    } else {
      add(value, strlen(value));
    }
    add("\n", 1);
  };
  for (int i = 0; text != nullptr && i < n; ++i) {
    add_line(f[i].key, f[i].value, true);
    // The block lists follow the ROM IDs, where a reader looks for what the run did.
    if (is(f[i].key, "rom_id_file")) {
      add_line("selected", lists[0], false);
      add_line("skipped", lists[1], false);
      add_line("touched", lists[2], false);
    }
  }
  free(r.touched);
  r.touched = lists[2];
  free(lists[0]);
  free(lists[1]);
  int dfd = open_state_dir(true);
  int fd = dfd < 0 ? -1 : openat(dfd, RECORD_NEW, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && text != nullptr && write_all(fd, text, len) && fsync(fd) == 0;
  int err = text == nullptr ? ENOMEM : errno;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && renameat(dfd, RECORD_NEW, dfd, RECORD) == 0 && (fsync(dfd) == 0 || errno == EINVAL);
  if (!ok && err == 0) err = errno;
  free(text);
  if (dfd >= 0) close(dfd);
  if (!ok) say_unusable(err);
}

void parse_record(char* text, Record* r) {
  Field f[32];
  int n = fields_of(*r, f);
  for (char* line = text; *line != '\0';) {
    char* end = strchr(line, '\n');
    size_t len = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
    char* eq = static_cast<char*>(memchr(line, '=', len));
    size_t k = eq == nullptr ? 0 : static_cast<size_t>(eq - line);
    for (int i = 0; eq != nullptr && i < n; ++i) {
      if (strncmp(f[i].key, line, k) != 0 || f[i].key[k] != '\0') continue;
      if (!record_unescape(f[i].value, f[i].size, eq + 1, len - k - 1)) f[i].value[0] = '\0';
      break;
    }
    if (eq != nullptr && k == 7 && memcmp(line, "touched", 7) == 0) {
      free(r->touched);
      r->touched = strndup(eq + 1, len - k - 1);
    }
    line += end == nullptr ? len : len + 1;
  }
}

// ---- What the lines say ----

enum BackupState { NO_BACKUP, BACKUP_THERE, BACKUP_MISSING, BACKUP_REPLACED };

// The SHA-256 of the regular file at fd, read from its start, and its size.
bool hash_file(int fd, char out[SHA256_HEX_SIZE], uint64_t* size) {
  static uint8_t buffer[64 * 1024];
  Sha256 h;
  sha256_init(&h);
  *size = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(*size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    sha256_update(&h, buffer, static_cast<size_t>(n));
    *size += static_cast<uint64_t>(n);
  }
  sha256_hex(&h, out);
  return true;
}

bool same_file(const struct stat& st, const Record& r) {
  return r.backup_dev[0] != '\0' && st.st_dev == strtoull(r.backup_dev, nullptr, 10) &&
         st.st_ino == strtoull(r.backup_ino, nullptr, 10);
}

// Whether the recorded backup is still at its name: the same file, or a file with its bytes.
BackupState backup_state(const Record& r) {
  if (r.backup[0] == '\0') return NO_BACKUP;
  struct stat st;
  if (lstat(r.backup, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? BACKUP_MISSING : BACKUP_REPLACED;
  if (!S_ISREG(st.st_mode)) return BACKUP_REPLACED;
  if (r.backup_sha256[0] == '\0') return BACKUP_THERE;  // an older record knows only the name
  if (static_cast<uint64_t>(st.st_size) != strtoull(r.backup_size, nullptr, 10)) return BACKUP_REPLACED;
  if (same_file(st, r)) return BACKUP_THERE;
  int fd = open(r.backup, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  char hash[SHA256_HEX_SIZE] = "";
  uint64_t size = 0;
  bool same = fd >= 0 && hash_file(fd, hash, &size) && is(hash, r.backup_sha256);
  if (fd >= 0) close(fd);
  return same ? BACKUP_THERE : BACKUP_REPLACED;
}

// The command that programs the backup back over every block the runs touched; pasted into sh it
// names the backup's exact bytes. A path too long for /i is reached from its directory.
void restore_command(const Record& r, char* out, size_t size) {
  out[0] = '\0';
  const char* name = r.backup;
  char dir[FIELD];
  if (strlen(r.backup) > IN_NAME_MAX) {
    const char* slash = strrchr(r.backup, '/');
    size_t len = slash == r.backup ? 1 : static_cast<size_t>(slash - r.backup);
    snprintf(dir, sizeof dir, "%.*s", static_cast<int>(len), r.backup);
    name = slash + 1;
    append_text(out, size, "cd");
    append_shell_word(out, size, dir);
    append_text(out, size, " &&");
  }
  append_shell_word(out, size, "zorflashlnx2");
  char arg[FIELD + 2] = "/i";
  append_text(arg, sizeof arg, name);
  append_shell_word(out, size, arg);
  char p[5] = "/p";
  if (strchr(r.regions, 'b') != nullptr) append_text(p, sizeof p, "b");
  if (strchr(r.regions, 'n') != nullptr) append_text(p, sizeof p, "n");
  if (p[2] != '\0') append_shell_word(out, size, p);
  if (strchr(r.regions, 'c') != nullptr) append_shell_word(out, size, "/c");
  if (is(r.rom_id_erased, "1")) append_shell_word(out, size, "/n");
}

// "did not finish", or the failure as the record gives it.
const char* how_it_ended(const Record& r) {
  if (is(r.outcome, RUNNING)) return "did not finish";
  if (is(r.outcome, FINISHED)) return "finished without programming every block an earlier run left partly programmed";
  return r.outcome;
}

// The way back as a sentence: the backup and the command that restores it, or the command to run
// again where no backup was made.
void way_back(const Record& r, bool at_end, char* out, size_t size) {
  char restore[2 * FIELD], shown[2 * FIELD] = "";
  restore_command(r, restore, sizeof restore);
  append_shell_word(shown, sizeof shown, r.backup);
  switch (backup_state(r)) {
    case BACKUP_THERE:
      if (at_end) {
        snprintf(out, size, "The BIOS as it was before the update is in %s; to restore it: %s", shown, restore);
      } else {
        snprintf(out, size, "To restore the backup: %s", restore);
      }
      break;
    case BACKUP_MISSING:
      snprintf(out, size,
               "The BIOS as it was before the update was saved to %s, which is missing: with the backup back "
               "there, restore it: %s",
               shown, restore);
      break;
    case BACKUP_REPLACED:
      snprintf(out, size,
               "The BIOS as it was before the update was saved to %s, which no longer holds it: with the backup "
               "back there, restore it: %s",
               shown, restore);
      break;
    case NO_BACKUP: {
      char dir[FIELD] = "";
      append_shell_word(dir, sizeof dir, r.directory);
      snprintf(out, size, "To program it again, in %s: %s", dir, r.command);
      break;
    }
  }
}

void read_boot_id(char* out, size_t size) {
  out[0] = '\0';
  int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n = read(fd, out, size - 1);
  close(fd);
  out[n > 0 ? n : 0] = '\0';
  out[strcspn(out, "\n")] = '\0';
}

// The block that holds the BIOS's ROM ID, or -1.
int rom_id_block() {
  uint64_t at = static_cast<uint64_t>(RomBase) + rom_size - 32;
  for (uint32_t i = 0; rom_size >= 32 && i < block_count(); ++i) {
    if (block_address(i) <= at && at < static_cast<uint64_t>(block_address(i)) + block_size(i)) return static_cast<int>(i);
  }
  return -1;
}

void make_flags() {
  if (flags == nullptr) flags = static_cast<uint8_t*>(calloc(block_count() + 1u, 1));
  if (flags == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
}

// The options a restore from the backup needs to reach every touched block; the non-critical
// blocks are the backup's own, since the restore programs from it.
void regions_of(Record& r) {
  r.regions[0] = '\0';
  bool seen[4] = {};
  for (uint32_t i = 0; flags != nullptr && i < block_count(); ++i) {
    if (!picks_touched(flags[i])) continue;
    uint32_t a = block_address(i);
    bool nc = r.backup[0] != '\0' ? meets(r.backup_nc, a, 1) : in_any_nc_block(a - RomBase);
    seen[nc ? 3 : is_nvram_block(a) ? 2 : is_boot_block(a) ? 1 : 0] = true;
  }
  for (int k = 0; k < 4; ++k) {
    if (seen[k]) append_text(r.regions, sizeof r.regions, k == 0 ? "m" : k == 1 ? "b" : k == 2 ? "n" : "c");
  }
}

// What an older record's letters name, in this run's layout.
bool in_old_regions(const char* letters, uint32_t a) {
  if (is_boot_block(a)) return strchr(letters, 'b') != nullptr;
  if (is_nvram_block(a)) return strchr(letters, 'n') != nullptr;
  return !in_any_nc_block(a - RomBase) || strchr(letters, 'c') != nullptr;
}

}  // namespace

void record_forget() {
  free(flags);
  free(last.touched);
  free(current.touched);
  flags = nullptr;
  last = current = Record{};
  saved = {};
  started = passes_done = failed_block_known = unusable = restoring = rom_id_block_erased = false;
}

void record_command_line(int argc, char** argv) {
  command_line[0] = '\0';
  append_shell_word(command_line, sizeof command_line, "zorflashlnx2");
  for (int i = 1; i < argc; ++i) append_shell_word(command_line, sizeof command_line, argv[i]);
}

// Once a run, as record_run_start: both records start zeroed, and clearing their 13 KB again
// would only cost time before the first erase.
void read_last_record() {
  int dfd = open_state_dir(false);
  if (dfd < 0) return;
  int fd = openat(dfd, RECORD, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(dfd);
  if (fd < 0) return;
  struct stat st;
  char* text = nullptr;
  size_t len = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) < RECORD_LIMIT) {
    text = static_cast<char*>(malloc(static_cast<size_t>(st.st_size) + 1));
    for (ssize_t n; text != nullptr && len < static_cast<size_t>(st.st_size) &&
                    (n = read(fd, text + len, static_cast<size_t>(st.st_size) - len)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      len += static_cast<size_t>(n);
    }
  }
  close(fd);
  if (text == nullptr) return;
  text[len] = '\0';
  parse_record(text, &last);
  free(text);
  if (!pending(last)) return;
  static char line[6 * FIELD];
  way_back(last, false, line, sizeof line);
  printf(" The run of %s (%s) %s: the flash may be partly programmed. %s\n", last.time, last.command,
         how_it_ended(last), line);
  fflush(stdout);
}

int record_pending() { return pending(last) ? 1 : 0; }

int save_refused_while_pending() {
  struct stat out;
  if (!pending(last) || lstat(options.out_name, &out) != 0) return 0;
  char name[FIELD] = "", restore[2 * FIELD];
  append_shell_word(name, sizeof name, options.out_name);
  restore_command(last, restore, sizeof restore);
  struct stat b;
  bool older = last.backup_dev[0] == '\0' && last.backup[0] != '\0' && stat(last.backup, &b) == 0;
  if (S_ISREG(out.st_mode) && (same_file(out, last) || (older && b.st_dev == out.st_dev && b.st_ino == out.st_ino))) {
    printf(" %s holds the BIOS as it was before the run of %s, which %s; it is kept. To restore it: %s. "
           "For a new save, name another file with /o\n",
           name, last.time, how_it_ended(last), restore);
  } else {
    printf(" %s exists: until the run of %s is made good, a save only makes a new file, so that nothing can "
           "take the place of the backup. For a new save, name another file with /o\n",
           name, last.time);
  }
  fflush(stdout);
  return 1;
}

void check_restore_file() {
  if (!pending(last) || last.backup_sha256[0] == '\0' || rom_file == nullptr) return;
  struct stat in;
  char real[PATH_MAX];
  if (fstat(fileno(rom_file), &in) != 0) return;
  bool named = realpath(options.in_name, real) != nullptr && is(real, last.backup);
  if (!named && !same_file(in, last)) return;
  char hash[SHA256_HEX_SIZE] = "";
  uint64_t size = 0;
  restoring = hash_file(fileno(rom_file), hash, &size) && is(hash, last.backup_sha256) &&
              size == strtoull(last.backup_size, nullptr, 10);
  if (restoring) return;
  char name[FIELD] = "";
  append_shell_word(name, sizeof name, options.in_name);
  printf(" %s is not the backup this machine made before the run of %s: its SHA-256 is %s, the backup's %s\n",
         name, last.time, hash, last.backup_sha256);
  fatal(EXIT_NO_INPUT, "ROM file is not the backup this machine made");
}

void record_backup(const char* name, const struct stat& written, const char* sha256, const NcSpan* nc, int nc_count) {
  if (realpath(name, saved.path) == nullptr) {
    saved.path[0] = '\0';
    return;
  }
  saved.st = written;
  set(saved.sha256, sizeof saved.sha256, sha256);
  saved.nc[0] = '\0';
  for (int i = 0; i < nc_count; ++i) {
    char range[32];
    uint64_t start = static_cast<uint64_t>(RomBase) + nc[i].start;
    snprintf(range, sizeof range, "%s0x%08" PRIx64 "-0x%08" PRIx64, i ? "," : "", start,
             start + (nc[i].size > 0 ? nc[i].size - 1 : 0));
    append_text(saved.nc, sizeof saved.nc, range);
  }
}

void record_skipped_block(uint32_t address) {
  make_flags();
  for (uint32_t i = 0; i < block_count(); ++i) {
    if (block_address(i) == address) flags[i] |= SKIPPED;
  }
}

void record_run_start() {
  Record& r = current;
  set(r.format, sizeof r.format, "2");
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc) != nullptr) strftime(r.time, sizeof r.time, "%Y-%m-%d %H:%M:%S UTC", &utc);
  snprintf(r.epoch, sizeof r.epoch, "%lld", static_cast<long long>(now));
  read_boot_id(r.boot_id, sizeof r.boot_id);
  snprintf(r.pid, sizeof r.pid, "%ld", static_cast<long>(getpid()));
  if (getcwd(r.directory, sizeof r.directory) == nullptr) r.directory[0] = '\0';
  set(r.command, sizeof r.command, command_line);
  snprintf(r.rom_id_before, sizeof r.rom_id_before, "%s", RomId);
  if (rom_size >= 32 && image_slot != nullptr) {
    memcpy(r.rom_id_file, image_slot + rom_size - 32, ROM_ID_LENGTH);
    for (int i = 0; i < ROM_ID_LENGTH; ++i) r.rom_id_file[i] = r.rom_id_file[i] == '\0' ? '?' : r.rom_id_file[i];
    r.rom_id_file[ROM_ID_LENGTH] = '\0';
  }
  // The image is what gets programmed: a restore is the backup's bytes, or it is not one. Other
  // runs are not hashed: on an emulated machine the hash would cost more than all the rest.
  char image_sha256[SHA256_HEX_SIZE] = "";
  if (restoring && options.signature_value == 0 && image_slot != nullptr) sha256_of(image_slot, rom_size, image_sha256);
  if (restoring && options.signature_value == 0 && !is(image_sha256, last.backup_sha256)) {
    fatal(EXIT_NO_INPUT, "%s", ROM_FILE_CHANGED);
  }

  // What this run programs, and what the unfinished runs before it left behind.
  bool carried = pending(last);
  make_flags();
  for (uint32_t i = 0; i < block_count(); ++i) {
    uint32_t a = block_address(i);
    if (block_selected(a, MainPass) || block_selected(a, BootBlockPass)) flags[i] |= SELECTED;
    bool before = last.format[0] != '\0' ? meets(last.touched, a, block_size(i))
                                          : in_old_regions(last.touched != nullptr ? last.touched : "", a);
    if (carried && before) flags[i] |= CARRIED;
  }
  // The way back is the backup made before the first of the unfinished runs; a save made after
  // it holds a partly programmed flash and is never called the backup.
  if (carried) {
    memcpy(r.backup, last.backup, sizeof r.backup);
    memcpy(r.backup_size, last.backup_size, sizeof r.backup_size);
    memcpy(r.backup_sha256, last.backup_sha256, sizeof r.backup_sha256);
    memcpy(r.backup_dev, last.backup_dev, sizeof r.backup_dev);
    memcpy(r.backup_ino, last.backup_ino, sizeof r.backup_ino);
    memcpy(r.backup_nc, last.backup_nc, sizeof r.backup_nc);
  } else if (saved.path[0] != '\0') {
    set(r.backup, sizeof r.backup, saved.path);
    snprintf(r.backup_size, sizeof r.backup_size, "%lld", static_cast<long long>(saved.st.st_size));
    set(r.backup_sha256, sizeof r.backup_sha256, saved.sha256);
    snprintf(r.backup_dev, sizeof r.backup_dev, "%llu", static_cast<unsigned long long>(saved.st.st_dev));
    snprintf(r.backup_ino, sizeof r.backup_ino, "%llu", static_cast<unsigned long long>(saved.st.st_ino));
    set(r.backup_nc, sizeof r.backup_nc, saved.nc);
  }
  regions_of(r);
  set(r.rom_id_erased, sizeof r.rom_id_erased, carried && is(last.rom_id_erased, "1") ? "1" : "0");
  set(r.outcome, sizeof r.outcome, RUNNING);
  set(r.pending, sizeof r.pending, "1");
  bool erases = false;
  for (uint32_t i = 0; i < block_count(); ++i) erases = erases || ((flags[i] & SELECTED) && !(flags[i] & SKIPPED));
  set(r.changed_epoch, sizeof r.changed_epoch, erases ? r.epoch : last.changed_epoch);
  set(r.changed_boot_id, sizeof r.changed_boot_id, erases ? r.boot_id : last.changed_boot_id);
  started = true;
  write_record(r);
}

// The ROM ID goes with the erase of its block, and a restore then needs /n: the record says so
// before the command, so that a cut during it leaves a record that knows.
void record_erasing(uint32_t address) {
  int id_block = rom_id_block();
  if (!started || rom_id_block_erased || id_block < 0 || block_address(static_cast<uint32_t>(id_block)) != address) return;
  rom_id_block_erased = true;
  if (is(current.rom_id_erased, "1")) return;
  set(current.rom_id_erased, sizeof current.rom_id_erased, "1");
  write_record(current);
}

void record_failed_block(uint32_t address) {
  failed_block_known = true;
  failed_block = address;
}

void record_passes_done() { passes_done = true; }

void record_run_end(int code) {
  if (!started) return;
  started = false;
  Record& r = current;
  bool covered = true;
  for (uint32_t i = 0; i < block_count(); ++i) covered = covered && (!(flags[i] & CARRIED) || (flags[i] & SELECTED));
  int id_block = rom_id_block();
  bool carried_id = pending(last) && is(last.rom_id_erased, "1");
  if (passes_done) {
    set(r.outcome, sizeof r.outcome, FINISHED);
    bool id_programmed = id_block >= 0 && (flags[id_block] & SELECTED);
    set(r.rom_id_erased, sizeof r.rom_id_erased, !id_programmed && carried_id ? "1" : "0");
  } else {
    snprintf(r.outcome, sizeof r.outcome, "failed with exit %d", code);
    if (failed_block_known) {
      snprintf(r.failed_block, sizeof r.failed_block, "0x%08lX", static_cast<unsigned long>(failed_block));
      append_text(r.outcome, sizeof r.outcome, " at block ");
      append_text(r.outcome, sizeof r.outcome, r.failed_block);
    }
    set(r.rom_id_erased, sizeof r.rom_id_erased, carried_id || rom_id_block_erased ? "1" : "0");
  }
  set(r.pending, sizeof r.pending, passes_done && covered ? "0" : "1");
  regions_of(r);
  write_record(r);
  free(flags);
  flags = nullptr;
  if (passes_done && covered) return;
  static char line[6 * FIELD];
  // Without a backup, what brings those blocks back is the command of the run that left them.
  way_back(r.backup[0] == '\0' ? last : r, true, line, sizeof line);
  if (passes_done) {
    printf(" This run did not program every block that an earlier run left partly programmed: the flash may "
           "still be partly programmed. %s\n",
           line);
  } else if (r.backup[0] != '\0') {
    printf(" The flash may be partly programmed. %s\n", line);
  } else {
    printf(" The flash may be partly programmed; the same command can be run again: %s\n", r.command);
  }
  fflush(stdout);
}
