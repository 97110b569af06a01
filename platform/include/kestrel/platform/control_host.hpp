#pragma once
// The services a control asks of the host it sits in.
//
// Threading: everything happens on the control's thread. RaiseEvent runs every handler to its end
// before it returns; a handler may call back into the control and may assign a new text to the
// argument, which the control then keeps.

#include "kestrel/platform/font.hpp"
#include "kestrel/platform/types.hpp"

#include <string_view>

namespace kestrel::platform {

// Dispatch identifiers of the control's events.
enum class EventId : Long {
  kOnError = 1,
  kOnComplete = 2,
  kClick = 3,
  kDblClick = 4,
  kKeyDown = 5,
  kKeyPress = 6,
  kKeyUp = 7,
  kMouseDown = 8,
  kMouseMove = 9,
  kMouseUp = 10,
};

class ControlHost {
 public:
  virtual ~ControlHost() = default;

  // Tells the host that the named property changed. May raise RuntimeError.
  virtual void PropertyChanged(std::string_view name) = 0;
  // Raises OnError or OnComplete with its one String argument, by reference.
  virtual void RaiseEvent(EventId event, String& argument) = 0;
  // Runs the notifications pending on the control's thread once, then returns.
  virtual void DoEvents() = 0;
  // The host's font, offered to its controls. May raise RuntimeError.
  virtual FontRef AmbientFont() = 0;
};

}  // namespace kestrel::platform
