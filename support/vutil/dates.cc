// DATE (days since 1899-12-30, time of day as fraction) <-> time_t seconds
// since 1970-01-01, without time-zone shift.
#include <cmath>

#include "kiv/vutil.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr long long kDaysTo1970 = 25569;  // 1899-12-30 to 1970-01-01
// Far past any calendar date, and small enough that the seconds fit 64 bits.
constexpr double kMaxDays = 1e12;

}  // namespace

std::time_t DateToTime(DATE date) {
  if (!(std::fabs(date) <= kMaxDays)) kiv::vutil::Fail(u"Date out of range in VUtil::DateToTime");
  const double wholeDays = std::trunc(date);
  // Half a second added, then cut toward zero: the nearest second for the
  // positive fractions of dates after 1899-12-30.
  const auto daySeconds = static_cast<long long>((date - wholeDays) * kSecondsPerDay + 0.5);
  return static_cast<std::time_t>(
      (static_cast<long long>(wholeDays) - kDaysTo1970) * kSecondsPerDay + daySeconds);
}

DATE TimeToDate(std::time_t seconds) {
  return static_cast<DATE>(seconds / kSecondsPerDay + kDaysTo1970) +
         static_cast<DATE>(seconds % kSecondsPerDay) / kSecondsPerDay;
}

}  // namespace VUtil
