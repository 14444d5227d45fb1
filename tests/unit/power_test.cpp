#include "platform/power.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Supply {
  std::string name, type, scope, online, capacity;  // "" : no such attribute
};

// What counts: a battery of the system (scope System, Unknown or none), the lowest charge of
// those, and a mains, USB or wireless supply of the system that reads online (1 or 2).
TEST(PowerSupplies, WhatCountsAsBatteryAndAc) {
  struct Case {
    const char* name;
    std::vector<Supply> supplies;
    PowerState want;
  } cases[] = {
      {"none", {}, {false, false, -1}},
      {"laptop on battery", {{"BAT0", "Battery", "", "", "42"}, {"AC", "Mains", "", "0", ""}}, {true, false, 42}},
      {"two batteries: the lowest", {{"BAT0", "Battery", "System", "", "80"}, {"BAT1", "Battery", "", "", "7"}}, {true, false, 7}},
      {"USB-C charger online", {{"BAT0", "Battery", "", "", "3"}, {"ucsi", "USB_PD", "", "1", ""}}, {true, true, 3}},
      {"a mouse's battery", {{"hid", "Battery", "Device", "", "5"}}, {false, false, -1}},
      {"unreadable charge", {{"BAT0", "Battery", "", "", "full"}, {"AC", "Mains", "", "1", ""}}, {true, true, -1}},
      {"scope Unknown is the system's", {{"BAT0", "Battery", "Unknown", "", "50"}}, {true, false, 50}},
      {"wireless charger online", {{"BAT0", "Battery", "", "", "50"}, {"qi", "Wireless", "", "1", ""}}, {true, true, 50}},
      {"a phone on USB charges nothing", {{"BAT0", "Battery", "", "", "50"}, {"usb", "USB", "Device", "1", ""}}, {true, false, 50}},
      {"online, programmable", {{"BAT0", "Battery", "", "", "50"}, {"AC", "Mains", "", "2", ""}}, {true, true, 50}},
      {"online reads neither 1 nor 2", {{"BAT0", "Battery", "", "", "50"}, {"AC", "Mains", "", "yes", ""}}, {true, false, 50}},
  };
  for (const auto& c : cases) {
    std::string dir = testing::TempDir() + "power_supply";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const auto& s : c.supplies) {
      std::filesystem::create_directory(dir + "/" + s.name);
      const std::pair<const char*, std::string> attrs[] = {
          {"type", s.type}, {"scope", s.scope}, {"online", s.online}, {"capacity", s.capacity}};
      for (const auto& [file, value] : attrs) {
        if (!value.empty()) std::ofstream(dir + "/" + s.name + "/" + file) << value << "\n";
      }
    }
    PowerState got = read_power_supplies(dir.c_str());
    EXPECT_EQ(got.battery, c.want.battery) << c.name;
    EXPECT_EQ(got.ac_online, c.want.ac_online) << c.name;
    EXPECT_EQ(got.capacity, c.want.capacity) << c.name;
  }
}

}  // namespace
