#pragma once
// Loading and saving a control's settings: the host's three calls.
//
// InitProperties gives a new control the initial value of every property. ReadProperties loads
// every property from a bag, WriteProperties saves every property into one; both go through
// the 23 persisted properties in one fixed order, and neither sends change notices (values go
// straight into storage). The server and port are the socket's RemoteHost and RemotePort.
//
// Failures are not caught: a bag that fails, or a value that does not convert to its property's
// type (error 13 or 6), stops the operation at that property. The properties before it have been
// loaded or saved; those after it keep what they had.

#include <span>
#include <string_view>

#include "kestrel/control/property_bag.hpp"
#include "kestrel/control/snpp_control.hpp"

namespace kestrel::control {

void InitProperties(SNPPControl& control);
void ReadProperties(SNPPControl& control, PropertyBag& bag);
void WriteProperties(SNPPControl& control, PropertyBag& bag);

// The persisted property names, in the order they are read and written.
std::span<const std::string_view> PersistedPropertyNames();

}  // namespace kestrel::control
