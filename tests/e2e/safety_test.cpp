// One run at a time, untrusted directories, closed descriptors, signals, on the virtual PC.
#ifdef ZORVPC
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "vpc.h"

namespace {

// Waits until a started run has filled its one-page output pipe, so that it stands still at a
// known stage: blocked on its next progress line.
void wait_pipe_full(const Started& s) {
  for (int i = 0; i < 2000; ++i) {
    int queued = 0;
    ioctl(s.out_fd, FIONREAD, &queued);
    if (queued > 4096 - 100) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FAIL() << "the run never filled its output pipe";
}

TEST(OneRunAtATime, SecondRunEnds19AndTouchesNothing) {
  for (bool same_dir : {true, false}) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    Started first = m.start({"/inew.rom", "/pbn"});
    wait_pipe_full(first);  // loading the file, before the first erase
    auto trace = m.trace();
    std::string other = m.root + "/other";
    std::filesystem::create_directory(other);
    RunResult second = m.run_in(same_dir ? m.work : other, {"/q", "/t"});
    EXPECT_EQ(second.code, 19) << same_dir;
    EXPECT_EQ(second.out, frame("Another zorflashlnx2 is running on this machine")) << same_dir;
    EXPECT_EQ(m.trace(), trace) << same_dir;
    RunResult r = finish_command(first);
    EXPECT_EQ(r.code, 0) << same_dir;
    EXPECT_TRUE(m.flash() == file) << same_dir;
  }
}

// The save file: never through a link, never the ROM file being programmed, readable by its
// owner only.
TEST(SaveFile, LinksAndTheRomFileAreRefused) {
  struct Case {
    const char* name;
    std::string save;  // the /o name, set up by prepare
    int code;
    std::string out_start;
  } cases[] = {
      {"link", "/osaved.rom", 50, frame("Unable to create output file\n")},
      {"same name", "/onew.rom", 1, " /o and /i name the same file: a save would overwrite the ROM file\n Usage:"},
      {"hard link", "/ohard.rom", 1, " /o and /i name the same file: a save would overwrite the ROM file\n Usage:"},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    std::string before = m.flash();
    write_file(m.root + "/victim", "precious");
    std::filesystem::create_symlink(m.root + "/victim", m.work + "/saved.rom");
    std::filesystem::create_hard_link(m.work + "/new.rom", m.work + "/hard.rom");
    m.clear_trace();
    RunResult r = m.run({"/q", c.save, "/inew.rom"});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.name;
    EXPECT_EQ(read_file(m.root + "/victim"), "precious") << c.name;
    EXPECT_TRUE(read_file(m.work + "/new.rom") == file) << c.name;
    EXPECT_TRUE(m.flash() == before) << c.name;
    if (c.code == 1) {
      EXPECT_TRUE(m.trace().empty()) << c.name;
    }
  }
  Machine m;
  ASSERT_EQ(m.run({"/q", "/osaved.rom"}).code, 0);
  EXPECT_EQ(std::filesystem::status(m.work + "/saved.rom").permissions(), std::filesystem::perms(0600));
}

}  // namespace
#endif
