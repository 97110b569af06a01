#pragma once
// The standard font object of the control shell: a plain set of attributes, shared by reference.
//
// A control keeps a std::shared_ptr to the very object it was given, so a change made through
// another holder's reference shows in the control's font as well. Nothing here draws text, and
// the paging session never sees a font.

#include <memory>
#include <string>

#include "kestrel/platform/types.hpp"

namespace kestrel::control {

class Font {
 public:
  String name = "MS Sans Serif";
  double size = 8.25;  // points
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikethrough = false;
  Integer weight = 400;
  Integer charset = 0;

  friend bool operator==(const Font&, const Font&) = default;
};

using FontRef = std::shared_ptr<Font>;

}  // namespace kestrel::control
