#include "ui/PeerDateFormatter.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "core/Clock.h"

namespace orvo::ui {

PeerDateFormatter::PeerDateFormatter(const std::string& locale, const std::string& timeZone) {
  const icu::Locale chosen = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
  format_.reset(icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort, chosen));
  if (format_ && !timeZone.empty()) {
    format_->adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
  }
}

PeerDateFormatter::~PeerDateFormatter() = default;

std::string PeerDateFormatter::format(double secondsSince2001) const {
  if (!format_) return {};
  icu::UnicodeString text;
  format_->format(static_cast<UDate>((secondsSince2001 + kSecondsFrom1970To2001) * 1000.0), text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace orvo::ui
