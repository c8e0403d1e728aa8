#include "tests/soak/journal.h"

#include <cstdio>
#include <iostream>

namespace kiv::soak {

void Journal::Print(const std::string& line) {
  const std::string stamp = "[" + Seconds(Elapsed()) + "] ";
  PScopedLock hold(&lock_);
  std::cout << stamp << line << std::endl;
}

double Journal::Elapsed() const {
  return SecondsAt(Clock::now());
}

double Journal::SecondsAt(Clock::time_point when) const {
  return std::chrono::duration<double>(when - start_).count();
}

std::string Seconds(double seconds, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, seconds);
  return text;
}

}  // namespace kiv::soak
