#pragma once
// The control's properties, each described once: its name, dispatch id, declared type, the
// default that stands for "nothing stored" when loading and saving (and is the initial value of a
// new control), and how to reach its value through the public accessors (with change notice) and
// straight in storage (without).
//
// The dispatch table (dispatch.hpp), the persisted properties (persistence.hpp) and the initial
// values are all derived from this one table. Initial values themselves are stated where the
// value lives: the session's in session::SessionProperties, the appearance's in
// AppearanceProperties, the server and port by the socket at its creation.

#include <cstddef>
#include <span>
#include <string_view>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/variant.hpp"

namespace kestrel::control {

class SNPPControl;

struct PropertyDescription {
  DispId dispid;
  std::string_view name;
  DeclaredType type;
  // The read and write default.
  Variant (*default_value)(SNPPControl&);
  // False: a new control keeps what its storage already holds (the socket's own host and port).
  bool reset_by_init;
  // Public accessors: a put stores the value, then sends the change notice.
  Getter get;
  Setter put;
  // Storage: the value as it is loaded, without a change notice. (Saving reads through `get`,
  // which sends nothing.)
  Setter store;
};

inline constexpr std::size_t kPropertyCount = 23;

// Every property, in interface order (which is also the order of loading and saving).
std::span<const PropertyDescription, kPropertyCount> Properties() noexcept;

}  // namespace kestrel::control
