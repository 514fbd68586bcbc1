#pragma once
// SIGINT and SIGTERM (and SIGHUP where the system has it) end a long-running command in good order:
// while a StopSignals lives they only set a flag that the command's loop looks at between its
// bounded steps. The handlers before it are given back when it goes.

namespace tamrik::ctl {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool requested() const;
};

}  // namespace tamrik::ctl
