// Loading the kernel driver, /dev/mem and the CMOS, on the virtual PC.
#ifdef ZORVPC
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "vpc.h"

namespace {

bool loaded(const Machine& m) { return m.module_state().find("loaded = 1") != std::string::npos; }

// What every run that reached the driver leaves behind: no node, module unloaded, I/O
// privilege dropped last.
void expect_clean_end(const Machine& m) {
  EXPECT_FALSE(file_exists(m.work + "/zorfl"));
  EXPECT_FALSE(loaded(m)) << m.module_state();
  auto t = m.trace();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back(), "iopl 0 = 0");
}

TEST(Driver, ModuleLoadedByTheSecondCommandWhenNoObjectFile) {
  Machine m;
  RunResult r = m.run({"/q"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  auto t = m.trace();
  // No object file, no command for it; insmod gets the checked file's descriptor.
  EXPECT_EQ(find_line(t, "system insmod fd:zorfldrv_mod.o"), -1);
  int second = find_line(t, "system insmod fd:zorfldrv_mod = 0");
  int node = find_line(t, "mknod zorfl 0x2180 254:0 = 0");
  ASSERT_GE(second, 0);
  EXPECT_GT(node, second);
  EXPECT_GE(find_line(t, "fstat zorfl = chr 254:0", node), 0);
  expect_clean_end(m);
}

TEST(Driver, ObjectFileInTheWorkingDirectoryIsLoadedFirst) {
  Machine m;
  write_file(m.work + "/zorfldrv_mod.o", "module");
  RunResult r = m.run({"/q"});
  EXPECT_EQ(r.code, 0);
  auto t = m.trace();
  EXPECT_GE(find_line(t, "system insmod fd:zorfldrv_mod.o = 0"), 0);
  EXPECT_EQ(find_line(t, "system insmod fd:zorfldrv_mod "), -1);
  expect_clean_end(m);
}

TEST(Driver, RegisteredModuleWithoutNodeNeedsNoLoadCommand) {
  Machine m(TEST_MACHINE, {"module_loaded = 1", "module_major = 77"});
  RunResult r = m.run({"/q"});
  EXPECT_EQ(r.code, 0) << r.out;
  auto t = m.trace();
  EXPECT_EQ(find_line(t, "system insmod"), -1);
  EXPECT_GE(find_line(t, "mknod zorfl 0x2180 77:0 = 0"), 0);
  // Every run ends by unloading, also when the module was loaded before it began.
  EXPECT_GE(find_line(t, "system rmmod zorfldrv_mod = 0"), 0);
  expect_clean_end(m);
}

// What a run killed in the middle (not a power cut) leaves behind: the loaded module and its node.
// The run lock proves no other run uses it: it is used while it names the module's device, and
// one that names another device (after a restart) is removed and made anew.
TEST(Driver, NodeLeftByAnEarlierRun) {
  for (const char* major : {"254", "253"}) {
    Machine m(TEST_MACHINE, {"module_loaded = 1"});
    RunResult made = m.vpc({"run", m.state, "--", "mknod", "zorfl", "c", major, "0"});
    ASSERT_EQ(made.code, 0) << made.out << made.err;
    m.clear_trace();
    RunResult r = m.run({"/q"});
    bool ours = std::string(major) == "254";
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, ours ? "" : "a device node zorfl left by an earlier, interrupted run was removed\n");
    auto t = m.trace();
    EXPECT_GE(find_line(t, "fopen /proc/devices"), 0);
    EXPECT_EQ(find_line(t, "system insmod"), -1);
    EXPECT_EQ(find_line(t, "mknod") >= 0, !ours) << major;
    expect_clean_end(m);
  }
}

// Each failure prints its line (after every load command failed, one more naming the cause),
// then the frame. rmmod's own complaint never shows: the module was not loaded by the run, or
// the run has already unloaded it.
TEST(Driver, LoadFailures) {
  const std::string key = " (Key was rejected by service): see Secure Boot in zorflashlnx2(8)\n";
  const std::string signed_only =
      "error loading driver\n the kernel loads only signed modules, and zorfldrv_mod has no signature it trusts" + key;
  struct Case {
    const char* name;
    std::vector<std::string> faults;
    std::string line;
    const char* lang = nullptr;  // the caller's locale: the module tools never speak it
  } cases[] = {
      {"both load commands fail", {"insmod_fail=both"},
       "error loading driver\n zorfldrv_mod did not load: insmod: ERROR: could not insert module "
       "zorfldrv_mod: Invalid module format\n"},
      {"signatures enforced", {"sig_enforce"}, signed_only},
      {"signatures enforced, a German caller", {"sig_enforce"}, signed_only, "de_DE.UTF-8"},
      // insmod is handed the checked file through /proc; without it only the load by name is left.
      {"no /proc", {"no_proc"},
       " /proc is not mounted: zorfldrv_mod is loaded by name only\nerror loading driver\n no zorfldrv_mod for "
       "this kernel (" + kernel_release() + "): install linux-headers-" + kernel_release() + " and zorfldrv-dkms\n"},
      {"loading disabled", {"modules_disabled"},
       "error loading driver\n module loading is disabled on this kernel "
       "(kernel.modules_disabled is 1) until the next boot\n"},
      {"loaded but not listed", {"not_listed"}, "error driver zorfldrv not found\n"},
      {"node does not open", {"node_unopenable"}, "error 13 opening driver: Permission denied\n"},
      {"working directory mounted nodev", {"nodev"},
       "error 13 opening driver: Permission denied\n The working directory is on a file system mounted nodev:"
       " run from a directory on a file system that allows device files\n"},
  };
  for (const auto& c : cases) {
    Machine m;
    if (c.lang) setenv("LANG", c.lang, 1);
    RunResult r = m.run({"/q"}, c.faults);
    if (c.lang) unsetenv("LANG");
    EXPECT_EQ(r.code, 16) << c.name;
    EXPECT_EQ(r.out, c.line + frame("Unable to load driver\n")) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    auto t = m.trace();
    EXPECT_GE(find_line(t, "system rmmod zorfldrv_mod"), 0) << c.name;
    EXPECT_EQ(find_line(t, "fopen /dev/mem"), -1) << c.name;
    expect_clean_end(m);
  }
}

// A failure that passes: insmod fails once, modprobe finds no module installed, and the insmod
// run again for its reason loads it; the run goes on with it and unloads it at the end.
TEST(Driver, ALoadThatWorksWhenAskedForItsReasonIsUsed) {
  Machine m;
  RunResult r = m.run({"/q"}, {"insmod_fail=1"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "");
  auto t = m.trace();
  EXPECT_EQ(lines_starting(t, "system insmod fd:zorfldrv_mod = 0").size(), 1u);
  EXPECT_GE(find_line(t, "fopen /dev/mem = ok"), 0);
  expect_clean_end(m);
}

TEST(Driver, BothLoadsFailingStillCleansUp) {
  Machine m;
  RunResult r = m.run({"/q"}, {"insmod_fail=both"});
  ASSERT_EQ(r.code, 16);
  auto t = m.trace();
  int second = find_line(t, "system insmod fd:zorfldrv_mod = 1");
  ASSERT_GE(second, 0);
  // The third attempt loads by name from the module tree.
  int failed = find_line(t, "system modprobe zorfldrv_mod = 1", second);
  ASSERT_GT(failed, second);
  // load_driver itself sends no unload; the clean-up removes the node and unloads.
  int remove = find_line(t, "remove zorfl", failed);
  int unload = find_line(t, "system rmmod zorfldrv_mod", failed);
  EXPECT_GT(remove, failed);
  EXPECT_GT(unload, remove);
  EXPECT_EQ(lines_starting(t, "system rmmod").size(), 1u);
}

// The module installed in the module tree, as the DKMS package leaves it, and no module file in
// the directory: no insmod command runs and modprobe loads it by name. Not installed: nothing
// loads it.
TEST(Driver, InstalledModuleIsLoadedByNameWithModprobe) {
  struct Case {
    const char* name;
    std::vector<std::string> machine;
    int code;
    std::string out;
    const char* modprobe;
  } cases[] = {
      {"installed", {"module_installed = 1"}, 0, "", "system modprobe zorfldrv_mod = 0"},
      {"not installed", {}, 16,
       "error loading driver\n no zorfldrv_mod for this kernel (" + kernel_release() +
           "): install linux-headers-" + kernel_release() + " and zorfldrv-dkms\n" +
           frame("Unable to load driver\n"),
       "system modprobe zorfldrv_mod = 1"},
  };
  for (const auto& c : cases) {
    Machine m(TEST_MACHINE, c.machine);
    std::filesystem::remove(m.work + "/zorfldrv_mod");
    RunResult r = m.run({"/q"});
    EXPECT_EQ(r.code, c.code) << c.name << r.out << r.err;
    EXPECT_EQ(r.out, c.out) << c.name;
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "system insmod"), -1) << c.name;  // no file to load
    EXPECT_GE(find_line(t, c.modprobe), 0) << c.name;
    expect_clean_end(m);
  }
}

// The module tools run with an environment of their own, a fixed PATH and nothing of the
// caller's: a user's own insmod early in PATH, a start-up file or option the shell would act on,
// a library the loader would put first, or a modprobe option, never runs as root.
TEST(Driver, CallersEnvironmentNeverChoosesWhatRuns) {
  Machine m;
  std::string bin = m.root + "/bin";
  std::filesystem::create_directory(bin);
  for (const char* tool : {"insmod", "rmmod", "modprobe"}) {
    write_file(bin + "/" + tool, "#!/bin/sh\ntouch " + m.root + "/ran\n");
    std::filesystem::permissions(bin + "/" + tool, std::filesystem::perms(0755));
  }
  write_file(m.root + "/startup", "touch " + m.root + "/ran\n");
  const char* path = getenv("PATH");
  const std::vector<std::string> settings[] = {
      {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")},
      {"BASH_ENV=" + m.root + "/startup"}, {"ENV=" + m.root + "/startup"}, {"IFS=/"},
      {"CDPATH=" + m.root}, {"SHELLOPTS=xtrace"}, {"BASH_FUNC_insmod%%=() { touch " + m.root + "/ran; }"},
      {"MODPROBE_OPTIONS=-C " + m.root + "/startup"}, {"LD_PRELOAD=libm.so.6"}, {"LD_LIBRARY_PATH=" + bin},
      {"LD_AUDIT=" + m.root + "/audit.so"},
  };
  for (const auto& set : settings) {
    m.clear_trace();
    std::vector<std::string> argv = {"env"};
    argv.insert(argv.end(), set.begin(), set.end());
    for (const auto& w : m.command({"/q"})) argv.push_back(w);
    RunResult r = run_command(argv, m.work);
    EXPECT_EQ(r.code, 0) << set[0] << r.out;
    auto t = m.trace();
    EXPECT_GE(find_line(t, "system insmod fd:zorfldrv_mod = 0"), 0) << set[0];
    for (const auto& l : lines_starting(t, "system ")) EXPECT_EQ(l.find(" ran "), std::string::npos) << l;
    EXPECT_FALSE(file_exists(m.root + "/ran")) << set[0];
    expect_clean_end(m);
  }
}

// Something else under the node's name: the kernel's EEXIST on mknod, the thing removed, the
// module unloaded, and the next run starts clean. None of them is a node left by an interrupted
// run, so no line says so (Programming.PowerLossThenRunAgain has that one).
TEST(Driver, ForeignEntryNamedZorfl) {
  enum Kind { Directory, PlainFile, Link, LinkToDevice };
  for (Kind kind : {Directory, PlainFile, Link, LinkToDevice}) {
    Machine m;
    std::string node = m.work + "/zorfl";
    std::string target = m.root + "/target";
    write_file(target, "keep me");
    if (kind == Directory) mkdir(node.c_str(), 0700);
    if (kind == PlainFile) write_file(node, "not a device");
    if (kind == Link) {
      ASSERT_EQ(symlink(target.c_str(), node.c_str()), 0);
    }
    if (kind == LinkToDevice) {
      // A working node elsewhere, the module loaded: the link is still never followed.
      write_file(target, "zorvpc-node c 254:0\n");
      ASSERT_EQ(symlink(target.c_str(), node.c_str()), 0);
      write_file(m.state + "/module", "loaded = 1\nmajor = 254\n");
    }

    RunResult r = m.run({"/q"});
    EXPECT_EQ(r.code, 16) << kind;
    EXPECT_EQ(r.out, (kind == LinkToDevice ? "error loading driver\n zorfldrv_mod did not load: insmod: ERROR: could not"
                                             " insert module zorfldrv_mod: File exists\n"
                                           : "error 17 creating node zorfl: File exists\n") +
                         frame("Unable to load driver\n"))
        << kind;
    EXPECT_EQ(r.err, "") << kind;
    EXPECT_FALSE(file_exists(node)) << kind;
    if (kind != LinkToDevice) {
      EXPECT_EQ(read_file(target), "keep me");
    }
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "ioctl"), -1) << kind;  // no driver request went anywhere
    expect_clean_end(m);

    m.clear_trace();
    RunResult again = m.run({"/q"});
    EXPECT_EQ(again.code, 0) << kind << again.out;
    expect_clean_end(m);
  }
}

TEST(PhysicalMemory, MissingDevMem) {
  Machine m;
  RunResult r = m.run({"/q"}, {"no_devmem"});
  EXPECT_EQ(r.code, 32);
  EXPECT_EQ(r.out, " error opening /dev/mem!\n" + frame("Unable to initialize memory manager\n"));
  auto t = m.trace();
  EXPECT_EQ(find_line(t, "mmap mem"), -1);
  EXPECT_EQ(find_line(t, "munmap mem"), -1);
  EXPECT_EQ(find_line(t, "fclose /dev/mem"), -1);
  expect_clean_end(m);
}

TEST(TransferBuffer, AllocMapUnmapFreeInOrder) {
  Machine m;
  RunResult r = m.run({"/q", "/t"});
  EXPECT_EQ(r.code, 0);
  auto t = m.trace();
  int open = find_line(t, "smi 0x20");
  int alloc = find_line(t, "ioctl 0x4160 size=1024 = 0 phys=");
  int map = find_line(t, "mmap node 0x400 = ok");
  int close = find_line(t, "smi 0x24 status=0");
  int unmap = find_line(t, "munmap node 0x400 = 0");
  int free = find_line(t, "ioctl 0x4161 size=1024 = 0");
  int windows = find_line(t, "munmap mem");
  int unload = find_line(t, "system rmmod");
  ASSERT_GE(open, 0);
  EXPECT_GT(alloc, open);  // the open command goes before the buffer exists
  EXPECT_GT(map, alloc);
  EXPECT_GT(close, map);
  EXPECT_GT(unmap, close);
  EXPECT_GT(free, unmap);
  EXPECT_GT(windows, free);
  EXPECT_GT(unload, windows);
}

TEST(TransferBuffer, FailedMappingGivesTheBufferBack) {
  Machine m;
  RunResult r = m.run({"/q"}, {"node_mmap_fail"});
  EXPECT_EQ(r.code, 36);
  EXPECT_EQ(r.out, frame("BIOS has no flash information available"));
  auto t = m.trace();
  int map = find_line(t, "mmap node 0x400 = fail");
  ASSERT_GE(map, 0);
  EXPECT_GT(find_line(t, "ioctl 0x4161 size=1024", map), map);
  EXPECT_EQ(find_line(t, "smi 0x24"), -1);  // no close command without a buffer
  expect_clean_end(m);
}

TEST(Cmos, DestroyedOnlyAfterProgrammingAndRestoredByASecondRun) {
  Machine m;
  m.mkrom("new.rom", {"--seed", "11"});
  m.set_cmos_byte(0x2E, 0x5A);
  RunResult r = m.run({"/q", "/inew.rom", "/pc"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(static_cast<uint8_t>(m.cmos()[0x2E]), 0xA5);
  std::string before = m.cmos();
  r = m.run({"/q", "/inew.rom", "/pc"});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(static_cast<uint8_t>(m.cmos()[0x2E]), 0x5A);
  for (int i = 0; i < 128; ++i) {
    if (i != 0x2E) {
      EXPECT_EQ(m.cmos()[i], before[i]) << i;
    }
  }
  auto t = m.trace();
  EXPECT_GE(find_line(t, "out 0x70 0x2e"), 0);

  m.set_cmos_byte(0x2E, 0x00);
  r = m.run({"/q", "/inew.rom", "/d", "/pc"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(static_cast<uint8_t>(m.cmos()[0x2E]), 0x00);
}

TEST(Ports, SmiPortAboveFF) {
  Machine m(TEST_MACHINE, {"smi_port = 0x1234"});
  RunResult r = m.run({"/q", "/t"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "\n ROM ID = ZX512A01");
}

}  // namespace
#endif
