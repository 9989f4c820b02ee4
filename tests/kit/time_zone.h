// Sets the time zone for the life of a test, and puts back the one there was.
#pragma once

#include <stdlib.h>

#include <ctime>
#include <optional>
#include <string>

namespace quorvane::testkit {

class TimeZone {
  public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

  private:
    std::optional<std::string> previous_;
};

}  // namespace quorvane::testkit
