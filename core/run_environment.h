// The clock, the program folder and the event loop, as the conversion run
// uses them; injectable so tests can fix the time and count the yields.
#pragma once

#include <functional>
#include <string>

namespace quillmar::core {

// A local date and time, as the clock shows it.
struct LocalDateTime {
  int year = 0;    // four digits
  int month = 0;   // 1-12
  int day = 0;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;  // 0-59
  int second = 0;  // 0-59
};

class RunEnvironment {
 public:
  virtual ~RunEnvironment() = default;

  // The local date and time, read as one reading.
  virtual LocalDateTime Now() = 0;
  // The folder that holds the program's own file, without a trailing
  // separator except at a root ("/" or "C:\").
  virtual std::string ProgramFolder() = 0;
  // Processes every pending user-interface event, then returns.
  virtual void ProcessPendingEvents() = 0;
};

// The real clock and program folder; the event loop is reached through the
// function given (the Qt side passes QCoreApplication::processEvents).
class SystemRunEnvironment : public RunEnvironment {
 public:
  explicit SystemRunEnvironment(std::function<void()> process_events);

  LocalDateTime Now() override;
  std::string ProgramFolder() override;
  void ProcessPendingEvents() override;

 private:
  std::function<void()> process_events_;
};

}  // namespace quillmar::core
