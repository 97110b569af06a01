// The type library description, the identifiers and the resources of the library file.

#include <gtest/gtest.h>

#include <set>

#include "kestrel/control/type_library.hpp"

namespace kestrel::control {
namespace {

std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t U16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST(TypeLibrary, Facts) {
  const auto& tl = TheTypeLibrary();
  EXPECT_EQ(tl.name, "KestrelSNPPControl");
  EXPECT_EQ(tl.help_string, "KestrelSNPPControl");
  EXPECT_EQ(tl.major, 18);
  EXPECT_EQ(tl.minor, 0);
  EXPECT_EQ(tl.lcid, 0x0409U);
  EXPECT_EQ(tl.published_lcid, 0U);
  EXPECT_EQ(tl.imported.file, "stdole2.tlb");
  EXPECT_EQ(tl.imported.major, 2);
  EXPECT_EQ(tl.coclass.name, "SNPPInstance");
  EXPECT_TRUE(tl.coclass.is_control);
  EXPECT_EQ(tl.coclass.prog_id, "KestrelSNPPControl.SNPPInstance");
  EXPECT_EQ(tl.coclass.threading_model, "Apartment");
  EXPECT_EQ(tl.coclass.misc_status, 0x20191U);
  EXPECT_EQ(tl.coclass.toolbox_bitmap, 30000);
  EXPECT_EQ(tl.default_interface.name, "_SNPPInstance");
  EXPECT_EQ(tl.default_interface.flags & (kDual | kHidden | kNonExtensible | kOleAutomation),
            kDual | kHidden | kNonExtensible | kOleAutomation);
  EXPECT_EQ(tl.event_interface.name, "__SNPPInstance");
  EXPECT_EQ(tl.event_interface.flags & kDual, 0U) << "dispatch-only";
  EXPECT_EQ(tl.event_interface.flags & (kHidden | kNonExtensible), kHidden | kNonExtensible);
}

TEST(TypeLibrary, IdentifiersAreFixedAndDistinct) {
  EXPECT_EQ(kLibraryId.ToString(), "{D62449E3-0657-4AB9-A164-F58AC9A1EE41}");
  EXPECT_EQ(kClassId.ToString(), "{58B9D9BB-7435-4845-85DD-D7CE60F6D302}");
  EXPECT_EQ(kInterfaceId.ToString(), "{0B32C939-694B-4FE7-8500-6D66D152BEC1}");
  EXPECT_EQ(kEventInterfaceId.ToString(), "{EA30B1D9-FE7F-4306-AAD7-615C5B34E312}");
  EXPECT_EQ(TheTypeLibrary().libid, kLibraryId);
  EXPECT_EQ(TheTypeLibrary().coclass.clsid, kClassId);
  EXPECT_EQ(TheTypeLibrary().default_interface.iid, kInterfaceId);
  EXPECT_EQ(TheTypeLibrary().event_interface.iid, kEventInterfaceId);

  EXPECT_EQ(Guid::Parse("{58b9d9bb-7435-4845-85dd-d7ce60f6d302}"), kClassId);
  EXPECT_EQ(Guid::Parse("58B9D9BB-7435-4845-85DD-D7CE60F6D302"), kClassId);
  EXPECT_EQ(Guid::Parse("{58B9D9BB-7435-4845-85DD-D7CE60F6D30}"), std::nullopt);
  EXPECT_EQ(Guid::Parse("{58B9D9BB-7435-4845-85DD-D7CE60F6D30G}"), std::nullopt);
  EXPECT_EQ(Guid::Parse("58B9D9BB+7435-4845-85DD-D7CE60F6D302"), std::nullopt);
}

TEST(Resources, InterfaceIdRecordsAreLengthThenGuidInBinaryLayout) {
  const struct {
    const char* name;
    std::array<std::uint8_t, 20> bytes;
  } expected[] = {
      {"_IID_SNPPINSTANCE", {16,   0,    0,    0,    0x39, 0xC9, 0x32, 0x0B, 0x4B, 0x69,
                             0xE7, 0x4F, 0x85, 0x00, 0x6D, 0x66, 0xD1, 0x52, 0xBE, 0xC1}},
      {"_SRCIID_SNPPINSTANCE", {16,   0,    0,    0,    0xD9, 0xB1, 0x30, 0xEA, 0x7F, 0xFE,
                                0x06, 0x43, 0xAA, 0xD7, 0x61, 0x5C, 0x5B, 0x34, 0xE3, 0x12}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    const Resource* r = FindResource(e.name);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->bytes.size(), 20U);
    EXPECT_TRUE(std::equal(r->bytes.begin(), r->bytes.end(), e.bytes.begin()));
  }
  EXPECT_EQ(FindResource("_iid_snppinstance"), nullptr) << "names are exact";
  EXPECT_EQ(FindResource("_IID_SNPPINSTANCE "), nullptr);
}

TEST(Resources, ToolboxBitmapIsA16By15FourBitDib) {
  const Resource* r = FindResource(std::uint16_t{30000});
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(FindResource("#30000"), r);
  EXPECT_EQ(r->type, ResourceType::kBitmap);
  const auto b = r->bytes;
  ASSERT_EQ(b.size(), 40U + 16 * 4 + 8 * 15);
  EXPECT_EQ(U32(b, 0), 40U);    // BITMAPINFOHEADER
  EXPECT_EQ(U32(b, 4), 16U);    // width
  EXPECT_EQ(U32(b, 8), 15U);    // height, bottom-up
  EXPECT_EQ(U16(b, 12), 1);     // planes
  EXPECT_EQ(U16(b, 14), 4);     // bits per pixel
  EXPECT_EQ(U32(b, 16), 0U);    // BI_RGB: uncompressed
  EXPECT_EQ(U32(b, 20), 120U);  // image size: 15 rows of 8 bytes
  EXPECT_EQ(U32(b, 32), 16U);   // colours used
  // The palette: black first, white last, reserved bytes 0.
  EXPECT_EQ(U32(b, 40), 0x00000000U);
  EXPECT_EQ(U32(b, 40 + 15 * 4), 0x00FFFFFFU);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(b[40 + 4 * i + 3], 0) << i;
  // Not a blank picture: more than one colour is used.
  std::set<std::uint8_t> colours;
  for (std::size_t i = 104; i < b.size(); ++i) {
    colours.insert(b[i] >> 4);
    colours.insert(b[i] & 0xF);
  }
  EXPECT_GE(colours.size(), 4U);
}

TEST(Resources, UnknownNamesAndNumbersAreNotFound) {
  for (const char* name : {"", "#", "#0", "#30001", "#3000x", "#99999999", "TOOLBOX", "30000"}) {
    EXPECT_EQ(FindResource(std::string_view(name)), nullptr) << name;
  }
  EXPECT_EQ(FindResource(std::uint16_t{0}), nullptr);
  EXPECT_EQ(FindResource(std::uint16_t{1}), nullptr);
  EXPECT_EQ(Resources().size(), 3U);
}

}  // namespace
}  // namespace kestrel::control
