// Whether the machine may lose its power in the middle of an update: a laptop on its battery.
#pragma once

struct PowerState {
  bool battery;    // a system battery is present
  bool ac_online;  // a mains or USB supply is online
  int capacity;    // the lowest system battery's charge in percent, -1 when unknown
};

// The supplies listed in dir (as /sys/class/power_supply lists them). A battery that powers a
// device (a mouse, a keyboard) is not the system's.
PowerState read_power_supplies(const char* dir);
// Before a run that would erase: on battery power the run ends before anything is touched; on
// mains power with a battery below 10 % a line warns that the charger must stay connected.
void check_power();
