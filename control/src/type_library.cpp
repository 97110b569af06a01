// The type library description and the resources of the control's library file.

#include "kestrel/control/type_library.hpp"

#include <cstdio>

namespace kestrel::control {
namespace {

// OLEMISC bits of the class: set the client site before loading, activate when visible, act
// in place inside out, no links inside, recompose when resized. Not invisible at run time.
constexpr std::uint32_t kSetClientSiteFirst = 0x20000;
constexpr std::uint32_t kActivateWhenVisible = 0x100;
constexpr std::uint32_t kInsideOut = 0x80;
constexpr std::uint32_t kCantLinkInside = 0x10;
constexpr std::uint32_t kRecomposeOnResize = 0x1;
static_assert((kSetClientSiteFirst | kActivateWhenVisible | kInsideOut | kCantLinkInside |
               kRecomposeOnResize) == kMiscStatus);

constexpr TypeLibraryInfo kTypeLibrary{
    .name = "KestrelSNPPControl",
    .help_string = "KestrelSNPPControl",
    .libid = kLibraryId,
    .major = 18,
    .minor = 0,
    .lcid = 0x0409,
    .published_lcid = 0,
    .platform = "win32",
    .imported = {"stdole", "stdole2.tlb", 2, 0},
    .coclass = {"SNPPInstance", kClassId, "KestrelSNPPControl.SNPPInstance", "Apartment",
                kMiscStatus, true, kToolboxBitmapId},
    .default_interface = {"_SNPPInstance", kInterfaceId,
                          kHidden | kDual | kNonExtensible | kOleAutomation | kDispatchable},
    .event_interface = {"__SNPPInstance", kEventInterfaceId, kHidden | kNonExtensible},
};

// --- The toolbox picture ---------------------------------------------------------------------
//
// A pager, 16 by 15, drawn in the 16 standard colours. One character per pixel, top row
// first; the bitmap itself stores the rows bottom-up.
//   . silver background   # black case outline   g grey case   a lime display
//   2 dark green text     w white key            r red lamp
constexpr std::array<std::string_view, 15> kPagerArt{
    "................",  //
    "...........rr...",  //
    "..############..",  //
    ".#gggggggggggg#.",  //
    ".#g##########g#.",  //
    ".#g#aaaaaaaa#g#.",  //
    ".#g#a2a22a2a#g#.",  //
    ".#g#aaaaaaaa#g#.",  //
    ".#g##########g#.",  //
    ".#gggggggggggg#.",  //
    ".#gg#w#g#w#g#w#.",  //
    ".#gggggggggggg#.",  //
    "..############..",  //
    "................",  //
    "................",  //
};

constexpr std::uint8_t PaletteIndex(char c) {
  switch (c) {
    case '#':
      return 0;  // black
    case '2':
      return 2;  // dark green
    case '.':
      return 7;  // silver
    case 'g':
      return 8;  // grey
    case 'r':
      return 9;  // red
    case 'a':
      return 10;  // lime
    case 'w':
      return 15;  // white
    default:
      return 0xFF;  // not a colour of the picture
  }
}

constexpr std::int32_t kWidth = 16;
constexpr std::int32_t kHeight = 15;
constexpr std::size_t kRowBytes = ((kWidth * 4 + 31) / 32) * 4;  // rows padded to 4 bytes
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kPaletteSize = 16 * 4;
constexpr std::size_t kBitmapSize = kInfoHeaderSize + kPaletteSize + kRowBytes * kHeight;

// The 16 standard colours, as blue, green, red, reserved.
constexpr std::array<std::uint32_t, 16> kPalette{
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

constexpr void Put16(std::array<std::uint8_t, kBitmapSize>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void Put32(std::array<std::uint8_t, kBitmapSize>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A BITMAPINFOHEADER, the palette, then the pixels: uncompressed, 4 bits per pixel, the high
// nibble being the left pixel.
constexpr std::array<std::uint8_t, kBitmapSize> MakeToolboxBitmap() {
  std::array<std::uint8_t, kBitmapSize> b{};
  Put32(b, 0, kInfoHeaderSize);       // biSize
  Put32(b, 4, kWidth);                // biWidth
  Put32(b, 8, kHeight);               // biHeight (positive: bottom-up)
  Put16(b, 12, 1);                    // biPlanes
  Put16(b, 14, 4);                    // biBitCount
  Put32(b, 16, 0);                    // biCompression: BI_RGB
  Put32(b, 20, kRowBytes * kHeight);  // biSizeImage
  Put32(b, 24, 0);                    // biXPelsPerMeter
  Put32(b, 28, 0);                    // biYPelsPerMeter
  Put32(b, 32, 16);                   // biClrUsed
  Put32(b, 36, 0);                    // biClrImportant: all
  for (std::size_t i = 0; i < kPalette.size(); ++i) {
    const std::uint32_t rgb = kPalette[i];
    const std::size_t at = kInfoHeaderSize + 4 * i;
    b[at] = static_cast<std::uint8_t>(rgb);            // blue
    b[at + 1] = static_cast<std::uint8_t>(rgb >> 8);   // green
    b[at + 2] = static_cast<std::uint8_t>(rgb >> 16);  // red
  }
  for (std::int32_t y = 0; y < kHeight; ++y) {
    const auto row = kPagerArt[static_cast<std::size_t>(kHeight - 1 - y)];
    const std::size_t at = kInfoHeaderSize + kPaletteSize + kRowBytes * static_cast<std::size_t>(y);
    for (std::int32_t x = 0; x < kWidth; x += 2) {
      const auto left = PaletteIndex(row[static_cast<std::size_t>(x)]);
      const auto right = PaletteIndex(row[static_cast<std::size_t>(x + 1)]);
      b[at + static_cast<std::size_t>(x / 2)] = static_cast<std::uint8_t>((left << 4) | right);
    }
  }
  return b;
}

constexpr bool ArtIsWellFormed() {
  for (auto row : kPagerArt) {
    if (row.size() != kWidth) return false;
    for (char c : row)
      if (PaletteIndex(c) == 0xFF) return false;
  }
  return true;
}
static_assert(ArtIsWellFormed(), "every row of the pager is 16 known colours");

constexpr auto kToolboxBitmap = MakeToolboxBitmap();

constexpr std::array<std::uint8_t, 20> Record(const Guid& g) {
  std::array<std::uint8_t, 20> r{};
  r[0] = 16;  // the length of what follows, little-endian 32-bit
  r[4] = static_cast<std::uint8_t>(g.data1);
  r[5] = static_cast<std::uint8_t>(g.data1 >> 8);
  r[6] = static_cast<std::uint8_t>(g.data1 >> 16);
  r[7] = static_cast<std::uint8_t>(g.data1 >> 24);
  r[8] = static_cast<std::uint8_t>(g.data2);
  r[9] = static_cast<std::uint8_t>(g.data2 >> 8);
  r[10] = static_cast<std::uint8_t>(g.data3);
  r[11] = static_cast<std::uint8_t>(g.data3 >> 8);
  for (std::size_t i = 0; i < 8; ++i) r[12 + i] = g.data4[i];
  return r;
}

constexpr auto kIidRecord = Record(kInterfaceId);
constexpr auto kSrcIidRecord = Record(kEventInterfaceId);

constexpr std::array<Resource, 3> kResources{{
    {"_IID_SNPPINSTANCE", 0, ResourceType::kCustom, kIidRecord},
    {"_SRCIID_SNPPINSTANCE", 0, ResourceType::kCustom, kSrcIidRecord},
    {"", kToolboxBitmapId, ResourceType::kBitmap, kToolboxBitmap},
}};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Guid::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(data1), unsigned{data2}, unsigned{data3}, data4[0], data4[1],
                data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return buf;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  std::array<std::uint8_t, 16> bytes{};  // in reading order
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[++i]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  Guid g;
  g.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

std::array<std::uint8_t, 16> Guid::Bytes() const noexcept {
  const auto record = Record(*this);
  std::array<std::uint8_t, 16> b{};
  for (std::size_t i = 0; i < 16; ++i) b[i] = record[4 + i];
  return b;
}

const TypeLibraryInfo& TheTypeLibrary() noexcept {
  return kTypeLibrary;
}

std::span<const Resource> Resources() noexcept {
  return kResources;
}

const Resource* FindResource(std::string_view name) noexcept {
  if (!name.empty() && name.front() == '#') {
    unsigned number = 0;
    if (name.size() < 2 || name.size() > 6) return nullptr;
    for (char c : name.substr(1)) {
      if (c < '0' || c > '9') return nullptr;
      number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number == 0 || number > 0xFFFF) return nullptr;
    return FindResource(static_cast<std::uint16_t>(number));
  }
  for (const auto& r : kResources)
    if (!r.name.empty() && r.name == name) return &r;
  return nullptr;
}

const Resource* FindResource(std::uint16_t number) noexcept {
  if (number == 0) return nullptr;
  for (const auto& r : kResources)
    if (r.number == number) return &r;
  return nullptr;
}

std::array<std::uint8_t, 20> InterfaceIdRecord(const Guid& iid) noexcept {
  return Record(iid);
}

}  // namespace kestrel::control
