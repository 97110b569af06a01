// Loading and saving a control's settings, in memory and in real settings files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/control/persistence.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/testing/fakes.hpp"

namespace kestrel::control {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace fs = std::filesystem;

class Site final : public ControlSite {
 public:
  void PropertyChanged(std::string_view name) override { notices.emplace_back(name); }
  control::FontRef AmbientFont() override {
    ++ambient_fetches;
    return ambient;
  }
  void DoEvents() override {}

  std::vector<std::string> notices;
  int ambient_fetches = 0;
  control::FontRef ambient = std::make_shared<control::Font>();
};

struct Fixture {
  testing::FakeLoop loop;
  testing::FakeClock clock{loop};
  Site site;
  std::unique_ptr<SNPPControl> control = Make();

  std::unique_ptr<SNPPControl> Make() {
    return std::make_unique<SNPPControl>(site, std::make_unique<testing::FakeSocket>(loop),
                                         std::make_unique<testing::FakeTimer>(clock));
  }
  session::SNPPInstance& s() { return control->session(); }
};

// Gives every persisted property a value that differs from its initial one.
void SetEverything(Fixture& f, control::FontRef font) {
  auto& a = f.control->appearance();
  a.BackColor = 16777215;
  a.ForeColor = -2;
  a.Enabled = 1;  // a Boolean is kept exactly as given
  a.Font = std::move(font);
  a.BackStyle = 1;
  a.BorderStyle = -7;
  auto& p = f.s().stored();
  p.SenderID = "ops";
  p.Recipient = "5551234";
  p.Idle = kFalse;
  p.State = 13;
  f.s().sck().SetRemoteHost("pager.example");
  f.s().sck().SetRemotePort(70000);
  p.ServerTimeout = -32768;
  p.Data = "line one\r\n.\nü";
  p.coverageArea = 32767;
  p.ServiceLevel = 0;
  p.SnppLevel = 1;
  p.LoginName = "alice";
  p.Password = "pw with spaces";
  p.HoldUntil = "370101120000 -0500";
  p.Subject = "Disk";
  p.Message = "";
  p.AlertOverride = 1;
}

// Every persisted value of a control, as the bag would get it.
MemoryBag Snapshot(Fixture& f) {
  MemoryBag bag;
  WriteProperties(*f.control, bag);
  return bag;
}

TEST(Persistence, NewControlStartsFromTheInitialValues) {
  Fixture f;
  SetEverything(f, std::make_shared<control::Font>());
  f.s().sck().SetRemoteHost("kept");
  f.site.notices.clear();
  InitProperties(*f.control);
  const auto& a = f.control->appearance();
  const auto& p = f.s().stored();
  EXPECT_EQ(a.BackColor, 0);
  EXPECT_EQ(a.Enabled, kFalse);
  EXPECT_EQ(a.Font, f.site.ambient);  // the very object, not a copy
  EXPECT_EQ(p.State, -1);
  EXPECT_EQ(p.SnppLevel, 3);
  EXPECT_EQ(p.ServerTimeout, 20);
  EXPECT_EQ(p.coverageArea, -1);
  EXPECT_EQ(p.ServiceLevel, -1);
  EXPECT_EQ(p.Idle, kTrue);
  EXPECT_EQ(p.AlertOverride, kFalse);
  EXPECT_EQ(p.Message, "0");
  EXPECT_EQ(p.Password, "");
  EXPECT_EQ(f.s().get_Server(), "kept");  // the socket keeps its own setting
  EXPECT_THAT(f.site.notices, IsEmpty());
}

TEST(Persistence, EmptyBagGivesEveryReadDefault) {
  Fixture f;
  SetEverything(f, std::make_shared<control::Font>());
  f.site.notices.clear();
  MemoryBag empty;
  ReadProperties(*f.control, empty);
  Fixture fresh;
  InitProperties(*fresh.control);
  fresh.control->appearance().Font = f.site.ambient;
  const auto got = Snapshot(f), want = Snapshot(fresh);
  EXPECT_THAT(got.entries(), ElementsAreArray(want.entries()));
  EXPECT_EQ(f.s().get_Server(), "127.0.0.1");
  EXPECT_EQ(f.s().get_ServerPort(), 0);
  EXPECT_THAT(f.site.notices, IsEmpty());
}

TEST(Persistence, WrittenValuesCarryThePropertysOwnType) {
  Fixture f;
  InitProperties(*f.control);
  f.control->appearance().BackColor = 16777215;
  const auto bag = Snapshot(f);
  std::vector<std::string> names;
  for (const auto& [name, value] : bag.entries()) names.push_back(name);
  EXPECT_THAT(names, ElementsAreArray(PersistedPropertyNames()));
  EXPECT_EQ(*bag.Find("BackColor"), Variant::FromLong(16777215));
  EXPECT_EQ(bag.Find("Enabled")->type(), VarType::kBoolean);
  EXPECT_EQ(bag.Find("State")->type(), VarType::kInteger);
  EXPECT_EQ(bag.Find("ServerPort")->type(), VarType::kLong);
  EXPECT_EQ(*bag.Find("Message"), Variant("0"));
  EXPECT_EQ(bag.Find("Font")->ToObject(), f.site.ambient);
}

TEST(Persistence, WriteThenReadRestoresEveryProperty) {
  Fixture saved;
  SetEverything(saved, std::make_shared<control::Font>(control::Font{"Arial", 10, true}));
  MemoryBag bag = Snapshot(saved);
  Fixture loaded;
  ReadProperties(*loaded.control, bag);
  EXPECT_THAT(Snapshot(loaded).entries(), ElementsAreArray(bag.entries()));
  EXPECT_EQ(loaded.s().get_State(), 13);
  EXPECT_EQ(loaded.s().get_Message(), "");
  EXPECT_EQ(loaded.s().get_ServerPort(), 70000);
}

TEST(Persistence, AFailingValueStopsReadingAtItsRow) {
  struct Case {
    const char* name;
    Variant value;
    std::int32_t error;
  } cases[] = {
      {"ServerTimeout", Variant("abc"), err::kTypeMismatch},
      {"SnppLevel", Variant::FromLong(40000), err::kOverflow},
      {"Font", Variant("Arial"), err::kTypeMismatch},
  };
  for (const auto& c : cases) {
    Fixture source;
    SetEverything(source, std::make_shared<control::Font>(control::Font{"Arial"}));
    MemoryBag bag = Snapshot(source);
    bag.WriteProperty(c.name, c.value, Variant());
    Fixture target;
    InitProperties(*target.control);
    const MemoryBag before = Snapshot(target);
    try {
      ReadProperties(*target.control, bag);
      ADD_FAILURE() << c.name << " loaded";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), c.error) << c.name;
    }
    // Rows before the bad one come from the bag; it and the rows after keep what they had.
    const MemoryBag after = Snapshot(target);
    bool reached = false;
    for (std::size_t i = 0; i < after.entries().size(); ++i) {
      const auto& [name, value] = after.entries()[i];
      if (name == c.name) reached = true;
      const auto& want = reached ? before.entries()[i].second : *bag.Find(name);
      EXPECT_EQ(value, want) << c.name << ": row " << name;
    }
  }
}

TEST(Persistence, AmbientFontIsFetchedAfreshByEachOperation) {
  Fixture f;
  const int at_start = f.site.ambient_fetches;
  MemoryBag bag;
  InitProperties(*f.control);
  WriteProperties(*f.control, bag);
  ReadProperties(*f.control, bag);
  EXPECT_EQ(f.site.ambient_fetches - at_start, 3);
}

// --- Settings files on disk ----------------------------------------------------------------------

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kestrel-settings-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path File(const char* name) const { return dir_ / name; }
  static void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
  static long FilesIn(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

TEST_F(SettingsFile, RoundTripKeepsEveryTypeAndIsPrivate) {
  Fixture saved;
  SetEverything(saved, std::make_shared<control::Font>(control::Font{"Arial", 10.5, true}));
  const fs::path path = File("gw.json");
  settings_file::Save(Snapshot(saved), path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Fixture loaded;
  MemoryBag bag = settings_file::Load(path);
  ReadProperties(*loaded.control, bag);
  EXPECT_THAT(Snapshot(loaded).entries().size(), 23u);
  const auto a = Snapshot(saved), b = Snapshot(loaded);
  for (std::size_t i = 0; i < a.entries().size(); ++i) {
    if (a.entries()[i].first == "Font") {
      EXPECT_EQ(*b.entries()[i].second.ToObject(), *a.entries()[i].second.ToObject());
    } else {
      EXPECT_EQ(b.entries()[i], a.entries()[i]);
    }
  }
  EXPECT_EQ(FilesIn(dir_), 1);  // no temporary left over
}

TEST_F(SettingsFile, SavingReplacesAnOpenFileAtomicallyAndTightensItsMode) {
  const fs::path path = File("gw.json");
  Write(path, "old");
  fs::permissions(path, fs::perms::all);
  MemoryBag bag;
  bag.WriteProperty("Recipient", Variant("5551234"), Variant(""));
  settings_file::Save(bag, path);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(settings_file::Load(path).Find("Recipient")->ToString(), "5551234");
}

TEST_F(SettingsFile, FailedSaveLeavesNothingBehind) {
  MemoryBag bag;
  try {
    settings_file::Save(bag, File("missing-folder/gw.json"));
    FAIL() << "saved into a folder that does not exist";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSettingsFileWrite);
    EXPECT_THAT(e.description(), HasSubstr("missing-folder/gw.json"));
  }
  EXPECT_EQ(FilesIn(dir_), 0);
}

TEST_F(SettingsFile, DamagedFilesAreRefusedWithTheirNameAndReason) {
  Fixture f;
  InitProperties(*f.control);
  const fs::path good = File("good.json");
  settings_file::Save(Snapshot(f), good);
  const std::string text = Read(good);
  struct Case {
    const char* what;
    std::string text;
    const char* says;
  } cases[] = {
      {"truncated", text.substr(0, text.size() / 2), "not valid JSON"},
      {"empty", "", "not valid JSON"},
      {"a number past every number type",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"BackColor":{"type":"Long","value":747e777777}}})",
       "not valid JSON"},
      {"some other JSON", R"({"a": 1})", "not a kestrel-snpp settings file"},
      {"a format that is a number", R"({"format": 1})", "not a kestrel-snpp settings file"},
      {"future version", R"({"format":"kestrel-snpp-settings","version":2,"properties":{}})",
       "version"},
      {"Integer out of range",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"State":{"type":"Integer","value":40000}}})",
       "\"State\" is out of range"},
      {"unknown type",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"State":{"type":"Date","value":1}}})",
       "unknown type"},
      {"text where a number belongs",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"BackColor":{"type":"Long","value":"red"}}})",
       "not a whole number"},
      {"a password where JSON breaks",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"Password":
         {"type":"String","value":hunter2}}})",
       "not valid JSON (at line 2, column "},
      {"a password as the type",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"Password":{"type":"hunter2","value":1}}})",
       "unknown type"},
      {"hex that is not",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"Password":{"type":"String","hex":"hunter2"}}})",
       "\"hex\" has an odd number"},
      {"font without its attributes",
       R"({"format":"kestrel-snpp-settings","version":1,"properties":{"Font":{"type":"Font","value":{"name":"A"}}}})",
       "has no \"size\""},
  };
  for (const auto& c : cases) {
    const fs::path path = File("broken.json");
    Write(path, c.text);
    try {
      settings_file::Load(path);
      ADD_FAILURE() << c.what << " loaded";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kSettingsFileDamaged) << c.what;
      EXPECT_THAT(e.description(), HasSubstr(path.string())) << c.what;
      EXPECT_THAT(e.description(), HasSubstr(c.says)) << c.what;
      EXPECT_THAT(e.description(), Not(HasSubstr("hunt"))) << c.what;
    }
  }
}

TEST_F(SettingsFile, AnyByteStringLoadsBackUnchangedAndTextFilesLookAsBefore) {
  using namespace std::string_literals;
  const std::string values[] = {"plain",
                                "caf\xc3\xa9",
                                "Latin-1 caf\xe9",
                                "\xff\xfe"s,
                                "a\0b"s,
                                "\xed\xa0\x80" /* a surrogate */,
                                "\xc0\xaf" /* overlong */,
                                "\xf4\x90\x80\x80" /* past U+10FFFF */,
                                "cut \xe2\x82"};
  MemoryBag bag;
  for (std::size_t i = 0; i < std::size(values); ++i) {
    bag.WriteProperty("P" + std::to_string(i), Variant(values[i]), Variant());
  }
  const fs::path path = File("bytes.json");
  settings_file::Save(bag, path);
  const MemoryBag loaded = settings_file::Load(path);
  for (std::size_t i = 0; i < std::size(values); ++i) {
    const Variant* v = loaded.Find("P" + std::to_string(i));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ToString(), values[i]) << i;
  }
  // Text is written as it always was, so files written before load the same.
  const std::string text = Read(path);
  EXPECT_THAT(text, HasSubstr(R"("P1": {
      "type": "String",
      "value": "café")"));
  EXPECT_THAT(text, HasSubstr(R"("hex": "4c6174696e2d3120636166e9")"));
  EXPECT_THAT(text, HasSubstr(R"("value": "a\u0000b")"));
}

TEST_F(SettingsFile, ManyUnknownNamesLoadInLinearTime) {
  // 200,000 names took a minute when each one was looked up among all before it.
  std::string text = R"({"format":"kestrel-snpp-settings","version":1,"properties":{)";
  for (int i = 0; i < 200000; ++i) {
    text += "\"x" + std::to_string(i) + R"(":{"type":"Integer","value":1},)";
  }
  text += R"("Recipient":{"type":"String","value":"5551234"}}})";
  MemoryBag bag = settings_file::Parse(text, "'many.json'");
  EXPECT_EQ(bag.entries().size(), 200001u);
  Fixture f;
  ReadProperties(*f.control, bag);  // the unknown names are ignored
  EXPECT_EQ(f.control->session().get_Recipient(), "5551234");
}

TEST_F(SettingsFile, MissingFileSaysSo) {
  try {
    settings_file::Load(File("nope.json"));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSettingsFileUnreadable);
    EXPECT_THAT(e.description(), HasSubstr("No such file"));
  }
  // Neither a directory nor an endless device is read.
  for (const auto& [path, says] : {std::pair<fs::path, const char*>{dir_, "is a directory"},
                                   {"/dev/zero", "is a character device"}}) {
    try {
      settings_file::Load(path);
      ADD_FAILURE() << path;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kSettingsFileUnreadable);
      EXPECT_THAT(e.description(), HasSubstr(says));
      EXPECT_THAT(e.description(), ::testing::StartsWith("The settings file '"));
    }
  }
}

}  // namespace
}  // namespace kestrel::control
