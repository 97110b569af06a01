#pragma once
// What the control's library publishes about itself: the type library KestrelSNPPControl with
// its class and interfaces, their identifiers, and the resources carried in the library file
// (the two interface-identifier records and the toolbox picture).
//
// The identifiers below were generated once and must never change: hosts store them.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kestrel/control/dispatch.hpp"

namespace kestrel::control {

// A GUID in its usual four fields.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
  // "{D62449E3-0657-4AB9-A164-F58AC9A1EE41}", upper case, braces included.
  std::string ToString() const;
  // Parses that form (braces optional, any case); nothing for malformed text.
  static std::optional<Guid> Parse(std::string_view text);
  // The standard binary layout: data1, data2, data3 little-endian, then data4 as it is.
  std::array<std::uint8_t, 16> Bytes() const noexcept;
};

inline constexpr Guid kLibraryId{
    0xD62449E3, 0x0657, 0x4AB9, {0xA1, 0x64, 0xF5, 0x8A, 0xC9, 0xA1, 0xEE, 0x41}};
inline constexpr Guid kClassId{
    0x58B9D9BB, 0x7435, 0x4845, {0x85, 0xDD, 0xD7, 0xCE, 0x60, 0xF6, 0xD3, 0x02}};
// _SNPPInstance, the default (dual) interface.
inline constexpr Guid kInterfaceId{
    0x0B32C939, 0x694B, 0x4FE7, {0x85, 0x00, 0x6D, 0x66, 0xD1, 0x52, 0xBE, 0xC1}};
// __SNPPInstance, the event (source) interface.
inline constexpr Guid kEventInterfaceId{
    0xEA30B1D9, 0xFE7F, 0x4306, {0xAA, 0xD7, 0x61, 0x5C, 0x5B, 0x34, 0xE3, 0x12}};
// The standard font type of the OLE Automation library, the type of the Font property.
inline constexpr Guid kStdFontId{
    0xBEF6E003, 0xA874, 0x101A, {0x8B, 0xBA, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};

// Interface attributes, as type libraries flag them.
enum InterfaceFlags : std::uint32_t {
  kHidden = 0x10,
  kDual = 0x40,
  kNonExtensible = 0x80,
  kOleAutomation = 0x100,
  kDispatchable = 0x1000,
};

struct InterfaceInfo {
  std::string_view name;
  Guid iid;
  std::uint32_t flags;  // InterfaceFlags
};

struct ClassInfo {
  std::string_view name;
  Guid clsid;
  std::string_view prog_id;
  std::string_view threading_model;  // "Apartment"
  std::uint32_t misc_status;         // OLEMISC_* bits
  bool is_control;
  std::uint16_t toolbox_bitmap;  // resource number
};

struct ImportedLibrary {
  std::string_view name;
  std::string_view file;
  std::uint16_t major;
  std::uint16_t minor;
};

struct TypeLibraryInfo {
  std::string_view name;
  std::string_view help_string;
  Guid libid;
  std::uint16_t major;
  std::uint16_t minor;
  std::uint32_t lcid;            // the locale inside the library
  std::uint32_t published_lcid;  // the locale the library is published (registered) under
  std::string_view platform;
  ImportedLibrary imported;
  ClassInfo coclass;
  InterfaceInfo default_interface;  // its members: DefaultInterfaceMembers()
  InterfaceInfo event_interface;    // its members: EventInterfaceMembers()
};

inline constexpr std::uint32_t kMiscStatus = 0x20191;  // see TheTypeLibrary()
inline constexpr std::uint16_t kToolboxBitmapId = 30000;

const TypeLibraryInfo& TheTypeLibrary() noexcept;

// --- Resources -------------------------------------------------------------------------------

enum class ResourceType : std::uint8_t {
  kCustom,  // the interface-identifier records
  kBitmap,  // a device-independent bitmap without file header
};

struct Resource {
  std::string_view name;  // empty for a resource known by number only
  std::uint16_t number;   // 0 for a resource known by name only
  ResourceType type;
  std::span<const std::uint8_t> bytes;
};

std::span<const Resource> Resources() noexcept;
// By name (exact case), or "#30000" for a number.
const Resource* FindResource(std::string_view name) noexcept;
const Resource* FindResource(std::uint16_t number) noexcept;

// The 20-byte record of an interface identifier: the little-endian 32-bit 16, then the GUID.
std::array<std::uint8_t, 20> InterfaceIdRecord(const Guid& iid) noexcept;

}  // namespace kestrel::control
