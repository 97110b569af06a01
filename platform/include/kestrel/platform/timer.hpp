#pragma once
// What the paging session asks of its periodic timer.
//
// Threading: ticks are delivered on the thread that runs the event loop, never from inside
// SetEnabled. A stopped (or destroyed) timer never ticks, even when a tick was already due.

#include <functional>

#include "kestrel/platform/types.hpp"

namespace kestrel::platform {

class Timer {
 public:
  virtual ~Timer() = default;

  virtual Long Interval() const = 0;  // milliseconds
  // Raises RuntimeError below 1 ms. A running timer starts the new interval from now.
  virtual void SetInterval(Long milliseconds) = 0;
  virtual bool Enabled() const = 0;
  // True starts the interval anew from now; false stops the timer.
  virtual void SetEnabled(bool enabled) = 0;

  using TickHandler = std::function<void()>;
  virtual void OnTick(TickHandler handler) = 0;
};

}  // namespace kestrel::platform
