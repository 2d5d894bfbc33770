#pragma once

#include <unicode/uversion.h>

#include <memory>
#include <string>

U_NAMESPACE_BEGIN
class DateFormat;
U_NAMESPACE_END

namespace orvo::ui {

// Dates of paired devices in the user's locale and time zone: medium date style, short
// time style ("Dec 10, 2026, 9:30 AM" in US English). One shared instance per panel.
// GUI thread.
class PeerDateFormatter {
 public:
  // `locale`: an ICU locale name; empty means the user's (from the environment).
  explicit PeerDateFormatter(const std::string& locale = "", const std::string& timeZone = "");
  ~PeerDateFormatter();
  PeerDateFormatter(const PeerDateFormatter&) = delete;
  PeerDateFormatter& operator=(const PeerDateFormatter&) = delete;

  // `secondsSince2001`: an absolute time as stored for peers. UTF-8.
  std::string format(double secondsSince2001) const;

 private:
  std::unique_ptr<icu::DateFormat> format_;
};

}  // namespace orvo::ui
