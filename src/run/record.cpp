#include "run/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "flash/layout.h"
#include "rom/image.h"
#include "run/exit_codes.h"
#include "run/options.h"

namespace {

// Root's own: nobody else can plant a record that names their file as the way back.
const char STATE_DIR[] = "/var/lib/zorflashlnx2";
const char RECORD[] = "last-run";
const char RECORD_NEW[] = "last-run.new";
const char RUNNING[] = "running";
const char FINISHED[] = "finished";
constexpr size_t FIELD = PATH_MAX;
constexpr size_t RECORD_MAX = 4 * PATH_MAX + 512;

struct Record {
  char time[32];
  char directory[FIELD];
  char command[FIELD];
  char rom_id_before[ROM_ID_LENGTH + 1];
  char rom_id_file[ROM_ID_LENGTH + 1];
  char backup[FIELD];  // full path of the save made before the flash was first touched
  char touched[4];     // b, n, c: what the runs programmed beside the main area
  char outcome[64];    // running; finished; failed with exit N [at block 0x...]
};

Record last;     // found at the start of this run
Record current;  // this run's, from its first erase on
bool started, passes_done, failed_block_known, unusable;
uint32_t failed_block;
char this_backup[FIELD];
char command_line[FIELD];

void append(char* out, size_t size, const char* text) {
  size_t len = strnlen(out, size);
  if (len + 1 < size) snprintf(out + len, size - len, "%s", text);
}

bool plain_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         strchr("_./:=@%+,-", c) != nullptr;
}

// A word as a shell reads it back: plain, or in single quotes. A control character becomes '?':
// each field of the record, and each line on the screen, stays one line.
void append_word(char* out, size_t size, const char* word) {
  bool plain = word[0] != '\0';
  for (const char* c = word; *c != '\0'; ++c) plain = plain && plain_char(*c);
  char buf[FIELD];
  size_t n = 0;
  if (!plain) buf[n++] = '\'';
  for (const char* c = word; *c != '\0' && n + 6 < sizeof buf; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if (u == '\'') {
      memcpy(buf + n, "'\\''", 4);
      n += 4;
    } else {
      buf[n++] = u < 0x20 || u == 0x7F ? '?' : *c;
    }
  }
  if (!plain) buf[n++] = '\'';
  buf[n] = '\0';
  if (out[0] != '\0') append(out, size, " ");
  append(out, size, buf);
}

void copy_field(char* out, size_t size, const char* text, size_t len) {
  size_t n = 0;
  for (size_t i = 0; i < len && text[i] != '\0' && n + 1 < size; ++i) {
    unsigned char u = static_cast<unsigned char>(text[i]);
    out[n++] = u < 0x20 || u == 0x7F ? '?' : text[i];
  }
  out[n] = '\0';
}

bool finished(const Record& r) { return strcmp(r.outcome, FINISHED) == 0; }
bool unfinished(const Record& r) { return r.outcome[0] != '\0' && !finished(r); }

// The command that programs the backup back over every region the runs touched.
void restore_command(const Record& r, char* out, size_t size) {
  out[0] = '\0';
  append_word(out, size, "zorflashlnx2");
  char arg[FIELD + 2] = "/i";
  append(arg, sizeof arg, r.backup);
  append_word(out, size, arg);
  char p[5] = "/p";
  if (strchr(r.touched, 'b') != nullptr) append(p, sizeof p, "b");
  if (strchr(r.touched, 'n') != nullptr) append(p, sizeof p, "n");
  if (p[2] != '\0') append_word(out, size, p);
  if (strchr(r.touched, 'c') != nullptr) append_word(out, size, "/c");
}

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

// Written whole beside the old record and renamed over it: a cut at any moment leaves the old
// record or the new one, never a mix.
void write_record(const Record& r) {
  if (unusable) return;
  static char text[RECORD_MAX];
  int len = snprintf(text, sizeof text,
                     "time=%s\ndirectory=%s\ncommand=%s\nrom_id_before=%s\nrom_id_file=%s\nbackup=%s\n"
                     "touched=%s\noutcome=%s\n",
                     r.time, r.directory, r.command, r.rom_id_before, r.rom_id_file, r.backup, r.touched,
                     r.outcome);
  int dfd = open_state_dir(true);
  int fd = dfd < 0 ? -1 : openat(dfd, RECORD_NEW, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && len > 0 && static_cast<size_t>(len) < sizeof text &&
            write_all(fd, text, static_cast<size_t>(len)) && fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && renameat(dfd, RECORD_NEW, dfd, RECORD) == 0 && (fsync(dfd) == 0 || errno == EINVAL);
  int err = errno;
  if (dfd >= 0) close(dfd);
  if (ok) return;
  unusable = true;
  if (!options.quiet) {
    printf(" No run record: %s cannot be written (%s); the run goes on without it\n", STATE_DIR, strerror(err));
    fflush(stdout);
  }
}

void parse_record(const char* text, Record* r) {
  struct Field {
    const char* key;
    char* value;
    size_t size;
  } fields[] = {{"time", r->time, sizeof r->time},
                {"directory", r->directory, sizeof r->directory},
                {"command", r->command, sizeof r->command},
                {"rom_id_before", r->rom_id_before, sizeof r->rom_id_before},
                {"rom_id_file", r->rom_id_file, sizeof r->rom_id_file},
                {"backup", r->backup, sizeof r->backup},
                {"touched", r->touched, sizeof r->touched},
                {"outcome", r->outcome, sizeof r->outcome}};
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    size_t len = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
    const char* eq = static_cast<const char*>(memchr(line, '=', len));
    for (const Field& f : fields) {
      size_t k = strlen(f.key);
      if (eq != nullptr && static_cast<size_t>(eq - line) == k && memcmp(line, f.key, k) == 0) {
        copy_field(f.value, f.size, eq + 1, len - k - 1);
      }
    }
    line += end == nullptr ? len : len + 1;
  }
}

// "did not finish", or the failure as the record gives it.
const char* how_it_ended(const Record& r) {
  return strcmp(r.outcome, RUNNING) == 0 ? "did not finish" : r.outcome;
}

}  // namespace

void record_command_line(int argc, char** argv) {
  command_line[0] = '\0';
  append_word(command_line, sizeof command_line, "zorflashlnx2");
  for (int i = 1; i < argc; ++i) append_word(command_line, sizeof command_line, argv[i]);
}

void read_last_record() {
  last = Record{};
  int dfd = open_state_dir(false);
  if (dfd < 0) return;
  int fd = openat(dfd, RECORD, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(dfd);
  if (fd < 0) return;
  static char text[RECORD_MAX];
  size_t len = 0;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    for (ssize_t n; len + 1 < sizeof text && (n = read(fd, text + len, sizeof text - 1 - len)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      len += static_cast<size_t>(n);
    }
  }
  close(fd);
  text[len] = '\0';
  parse_record(text, &last);
  if (!unfinished(last)) return;
  char way_back[3 * FIELD];
  if (last.backup[0] != '\0') {
    char restore[FIELD];
    restore_command(last, restore, sizeof restore);
    snprintf(way_back, sizeof way_back, "To restore the backup: %s", restore);
  } else {
    snprintf(way_back, sizeof way_back, "To program it again, in %s: %s", last.directory, last.command);
  }
  printf(" The run of %s (%s) %s: the flash may be partly programmed. %s\n", last.time, last.command,
         how_it_ended(last), way_back);
  fflush(stdout);
}

int save_is_way_back() {
  if (!unfinished(last) || last.backup[0] == '\0') return 0;
  struct stat out, backup;
  if (stat(options.out_name, &out) != 0 || stat(last.backup, &backup) != 0) return 0;
  if (out.st_dev != backup.st_dev || out.st_ino != backup.st_ino) return 0;
  char restore[FIELD];
  restore_command(last, restore, sizeof restore);
  printf(" %s holds the BIOS as it was before the run of %s, which %s; it is kept. To restore it: %s. "
         "For a new save, name another file with /o\n",
         options.out_name, last.time, how_it_ended(last), restore);
  fflush(stdout);
  return 1;
}

void record_backup(const char* name) {
  char full[PATH_MAX];
  if (realpath(name, full) == nullptr) return;
  copy_field(this_backup, sizeof this_backup, full, sizeof full);
}

void record_run_start() {
  Record& r = current;
  r = Record{};
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc) != nullptr) strftime(r.time, sizeof r.time, "%Y-%m-%d %H:%M:%S UTC", &utc);
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) copy_field(r.directory, sizeof r.directory, cwd, sizeof cwd);
  copy_field(r.command, sizeof r.command, command_line, sizeof command_line);
  copy_field(r.rom_id_before, sizeof r.rom_id_before, RomId, ROM_ID_LENGTH);
  if (rom_size >= 32 && image_slot != nullptr) {
    copy_field(r.rom_id_file, sizeof r.rom_id_file, reinterpret_cast<const char*>(image_slot + rom_size - 32),
               ROM_ID_LENGTH);
  }
  // After a run that did not finish, a new save holds a partly programmed flash: the way back is
  // still the backup made before that run, and restoring it must cover what both runs touched.
  struct stat st;
  bool carried = unfinished(last) && last.backup[0] != '\0' && stat(last.backup, &st) == 0;
  memcpy(r.backup, carried ? last.backup : this_backup, sizeof r.backup);
  if (options.prog_bootblock || (carried && strchr(last.touched, 'b') != nullptr)) append(r.touched, sizeof r.touched, "b");
  if (options.prog_nvram || (carried && strchr(last.touched, 'n') != nullptr)) append(r.touched, sizeof r.touched, "n");
  if (options.nc_mode || (carried && strchr(last.touched, 'c') != nullptr)) append(r.touched, sizeof r.touched, "c");
  snprintf(r.outcome, sizeof r.outcome, "%s", RUNNING);
  started = true;
  write_record(r);
}

void record_failed_block(uint32_t address) {
  failed_block_known = true;
  failed_block = address;
}

void record_passes_done() { passes_done = true; }

void record_run_end(int code) {
  if (!started) return;
  started = false;
  if (passes_done) {
    snprintf(current.outcome, sizeof current.outcome, "%s", FINISHED);
  } else if (failed_block_known) {
    snprintf(current.outcome, sizeof current.outcome, "failed with exit %d at block 0x%08lX", code,
             static_cast<unsigned long>(failed_block));
  } else {
    snprintf(current.outcome, sizeof current.outcome, "failed with exit %d", code);
  }
  write_record(current);
  if (passes_done) return;
  if (current.backup[0] != '\0') {
    char restore[FIELD];
    restore_command(current, restore, sizeof restore);
    printf(" The flash may be partly programmed. The BIOS as it was before the update is in %s; to restore it: %s\n",
           current.backup, restore);
  } else {
    printf(" The flash may be partly programmed; the same command can be run again: %s\n", current.command);
  }
  fflush(stdout);
}
