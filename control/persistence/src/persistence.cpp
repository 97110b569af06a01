#include "kestrel/control/persistence.hpp"

#include <array>

#include "kestrel/control/properties.hpp"

namespace kestrel::control {
namespace {

// The persisted properties are all the properties, described once in properties.cpp.
const std::array<std::string_view, kPropertyCount> kNames = [] {
  std::array<std::string_view, kPropertyCount> names{};
  for (std::size_t i = 0; i < kPropertyCount; ++i) names[i] = Properties()[i].name;
  return names;
}();

}  // namespace

void InitProperties(SNPPControl& control) {
  for (const auto& p : Properties()) {
    if (p.reset_by_init) p.store(control, p.default_value(control));
  }
}

void ReadProperties(SNPPControl& control, PropertyBag& bag) {
  for (const auto& p : Properties()) {
    // Read and convert first: a value that does not convert leaves the property as it was.
    const Variant value = bag.ReadProperty(String(p.name), p.default_value(control));
    p.store(control, value);
  }
}

void WriteProperties(SNPPControl& control, PropertyBag& bag) {
  for (const auto& p : Properties()) {
    bag.WriteProperty(String(p.name), p.get(control), p.default_value(control));
  }
}

std::span<const std::string_view> PersistedPropertyNames() {
  return kNames;
}

}  // namespace kestrel::control
