#pragma once
// The services a control asks of the host it sits in.
//
// Threading: everything happens on the control's thread. RaiseEvent runs every handler to its end
// before it returns; a handler may call back into the control and may assign a new text to the
// argument, which the control then keeps.

#include <string_view>

#include "kestrel/platform/types.hpp"

namespace kestrel::platform {

// Dispatch identifiers of the events the paging session raises.
enum class EventId : Long {
  kOnError = 1,
  kOnComplete = 2,
};

// The container a control sits in: it hears the control's change notices and runs the
// notifications pending on the control's thread. A control shell's site is one, too.
class ControlContainer {
 public:
  virtual ~ControlContainer() = default;

  // Tells the container that the named property changed. May raise RuntimeError.
  virtual void PropertyChanged(std::string_view name) = 0;
  // Runs the notifications pending on the control's thread once, then returns.
  virtual void DoEvents() = 0;
};

// What the paging session asks of its host: the container's services, and its events.
class ControlHost : public ControlContainer {
 public:
  // Raises OnError or OnComplete with its one String argument, by reference.
  virtual void RaiseEvent(EventId event, String& argument) = 0;
};

}  // namespace kestrel::platform
