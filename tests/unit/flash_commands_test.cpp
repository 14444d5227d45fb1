#include "flash/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash/layout.h"
#include "flash/le.h"

namespace {

// A flash handler of the test's own, on a parameter block and a buffer in test memory.
struct Handler {
  uint8_t param[32];
  uint8_t buffer[TRANSFER_SIZE];
  std::vector<uint8_t> flash = std::vector<uint8_t>(0x10000, 0xFF);
  std::vector<std::pair<uint8_t, uint32_t>> commands;  // command, address
  std::vector<std::pair<uint32_t, uint32_t>> progress;
  uint32_t fail_at = 0xFFFFFFFF;  // piece address whose command fails
  bool bad_checksum = false;
};
Handler* h;

void fake_smi(uint16_t, uint8_t command) {
  uint32_t address = le32(h->param + PARAM_ADDRESS);
  h->commands.push_back({command, address});
  if (address == h->fail_at) {
    h->param[PARAM_STATUS] = 7;
    return;
  }
  h->param[PARAM_STATUS] = 0;
  if (command == SMI_FLASH_READ) {
    memcpy(h->buffer, h->flash.data() + address, TRANSFER_SIZE);
    uint32_t sum = word_checksum(h->buffer, TRANSFER_SIZE) ^ (h->bad_checksum ? 1u : 0u);
    put_le32(h->param + PARAM_CHECKSUM, sum);
  } else if (command == SMI_FLASH_WRITE) {
    if (le32(h->param + PARAM_CHECKSUM) != word_checksum(h->buffer, TRANSFER_SIZE)) {
      h->param[PARAM_STATUS] = 9;
      return;
    }
    memcpy(h->flash.data() + address, h->buffer, TRANSFER_SIZE);
  }
}

void record_progress(uint32_t position, uint32_t total) { h->progress.push_back({position, total}); }

class FlashCommands : public ::testing::Test {
 protected:
  Handler handler;
  void SetUp() override {
    h = &handler;
    memset(handler.param, 0, sizeof handler.param);
    smi_trigger = fake_smi;
    param_block = handler.param;
    transfer_buffer = handler.buffer;
    transfer_phys = 0x180000;
    rom_size = 0x80000;
  }
  void TearDown() override {
    smi_trigger = nullptr;
    param_block = nullptr;
    transfer_buffer = nullptr;
    transfer_phys = 0;
  }
  std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 1024);
    return v;
  }
  std::vector<std::pair<uint32_t, uint32_t>> pieces(uint32_t address, int count) {
    std::vector<std::pair<uint32_t, uint32_t>> v;
    for (int k = 0; k < count; ++k) v.push_back({address + 1024 * k, rom_size});
    return v;
  }
};

TEST(WordChecksum, Values) {
  std::vector<uint8_t> zeros(1024, 0);
  EXPECT_EQ(word_checksum(zeros.data(), 1024), 0xFFFFFFFFu);
  uint8_t words[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0};  // sums to 0xFFFFFFFF
  EXPECT_EQ(word_checksum(words, 8), 0u);
  uint8_t little[4] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(word_checksum(little, 4), ~0x04030201u);
  EXPECT_EQ(word_checksum(little, 3), 0xFFFFFFFFu);  // only whole words count
  // Every length and alignment against the sum word by word: the 64-byte steps and the tail.
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 151 + 7);
  for (uint32_t at = 0; at < 4; ++at) {
    for (uint32_t len = 0; len + at <= bytes.size(); ++len) {
      uint32_t sum = 0;
      for (uint32_t i = 0; i + 4 <= len; i += 4) sum += le32(&bytes[at + i]);
      ASSERT_EQ(word_checksum(&bytes[at], len), ~sum) << at << " " << len;
    }
  }
}

TEST_F(FlashCommands, WriteThenReadAndVerifyInFourPieces) {
  auto data = pattern(4096);
  ASSERT_EQ(flash_write_block(0x2000, 4096, data.data(), record_progress), 1);
  EXPECT_EQ(handler.progress, pieces(0x2000, 4));
  EXPECT_EQ(0, memcmp(handler.flash.data() + 0x2000, data.data(), 4096));
  EXPECT_EQ(le32(handler.param + PARAM_LENGTH), 1024u);

  std::vector<uint8_t> back(4096, 0);
  handler.progress.clear();
  ASSERT_EQ(flash_read_block(0x2000, 4096, back.data(), record_progress), 1);
  EXPECT_EQ(back, data);
  EXPECT_EQ(handler.progress, pieces(0x2000, 4));

  handler.progress.clear();
  EXPECT_EQ(flash_verify_block(0x2000, 4096, data.data(), record_progress), 1);
  EXPECT_EQ(handler.progress, pieces(0x2000, 4));
  EXPECT_EQ(handler.commands.size(), 12u);
}

TEST_F(FlashCommands, FailuresStopAtTheFailingPiece) {
  auto data = pattern(4096);
  std::vector<uint8_t> back(4096, 0);
  handler.fail_at = 0x2800;
  EXPECT_EQ(flash_write_block(0x2000, 4096, data.data(), record_progress), 0);
  // Progress comes before the command for writes: the failing piece was announced.
  EXPECT_EQ(handler.progress, pieces(0x2000, 3));
  EXPECT_EQ(handler.commands.size(), 3u);

  handler.progress.clear();
  EXPECT_EQ(flash_read_block(0x2000, 4096, back.data(), record_progress), 0);
  EXPECT_EQ(handler.progress, pieces(0x2000, 3));

  // Verify reports a piece only once it was read back successfully.
  handler.progress.clear();
  EXPECT_EQ(flash_verify_block(0x2000, 4096, data.data(), record_progress), 0);
  EXPECT_EQ(handler.progress, pieces(0x2000, 2));
}

TEST_F(FlashCommands, ReadRejectsABadChecksumEvenWithGoodStatus) {
  std::vector<uint8_t> back(1024, 0);
  handler.bad_checksum = true;
  EXPECT_EQ(flash_read_block(0x0, 1024, back.data(), nullptr), 0);
  EXPECT_EQ(handler.param[PARAM_STATUS], 0);
  // Verify compares bytes instead of the read checksum.
  std::vector<uint8_t> erased(1024, 0xFF);
  EXPECT_EQ(flash_verify_block(0x0, 1024, erased.data(), nullptr), 1);
  erased[1023] = 0;
  EXPECT_EQ(flash_verify_block(0x0, 1024, erased.data(), nullptr), 0);
}

TEST_F(FlashCommands, BlockBelowOneKilobyte) {
  auto data = pattern(1024);
  EXPECT_EQ(flash_write_block(0x0, 1000, data.data(), record_progress), 1);
  EXPECT_EQ(flash_read_block(0x0, 1000, data.data(), record_progress), 1);
  EXPECT_EQ(flash_verify_block(0x0, 1000, data.data(), record_progress), 1);
  EXPECT_TRUE(handler.commands.empty());
  EXPECT_TRUE(handler.progress.empty());
  // Erase sends its one command whatever the size, with the progress call first.
  EXPECT_EQ(flash_erase_block(0x400, 1000, record_progress), 1);
  ASSERT_EQ(handler.commands.size(), 1u);
  EXPECT_EQ(handler.commands[0].first, SMI_FLASH_ERASE);
  EXPECT_EQ(le32(handler.param + PARAM_LENGTH), 1000u);
  EXPECT_EQ(handler.progress, pieces(0x400, 1));
}

TEST_F(FlashCommands, CloseWithoutBufferSendsNothing) {
  transfer_phys = 0;
  EXPECT_EQ(flash_close(), 0);
  EXPECT_TRUE(handler.commands.empty());
}

}  // namespace
