// Uses the installed package: the C interface of kestrel::snpp, and the C++ libraries.
#include <kestrel/kestrel_snpp.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/session/session_state.hpp"
#ifdef KESTREL_CONSUMER_PG
#include "kestrel/outbox/pg/store.hpp"
#endif

namespace {

int failures = 0;
void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: FAILED %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  // kestrel::platform and kestrel::session, linked statically.
  kestrel::platform::EventLoop loop;
  bool ran = false;
  loop.Post([&] { ran = true; });
  loop.RunFor(std::chrono::seconds(5));
  Check(ran, "the event loop runs a posted function");
  Check(kestrel::session::ToString(13) == "WaitSend", "state 13 is WaitSend");

  // kestrel::snpp: an instance through the class object, and its SnppLevel read by name.
  ks_loop* ks = KsLoopCreate();
  KsLoopSetCurrent(ks);
  ks_class_factory* factory = nullptr;
  ks_dispatch* control = nullptr;
  Check(DllGetClassObject(&KS_CLSID_SNPPInstance, &KS_IID_IClassFactory,
                          reinterpret_cast<void**>(&factory)) == KS_S_OK,
        "DllGetClassObject");
  if (factory == nullptr) return 1;
  Check(factory->vtbl->CreateInstance(factory, nullptr, &KS_IID__SNPPInstance,
                                      reinterpret_cast<void**>(&control)) == KS_S_OK,
        "CreateInstance");
  if (control == nullptr) return 1;
  const char* name = "SnppLevel";
  int32_t id = 0;
  Check(control->vtbl->GetIDsOfNames(control, nullptr, &name, 1, 0, &id) == KS_S_OK,
        "GetIDsOfNames(SnppLevel)");
  ks_dispparams none{};
  ks_variant level;
  KsVariantInit(&level);
  Check(control->vtbl->Invoke(control, id, nullptr, 0, KS_DISPATCH_PROPERTYGET, &none, &level,
                              nullptr, nullptr) == KS_S_OK,
        "get SnppLevel");
  Check(level.vt == KS_VT_I2 && level.u.iVal == 3, "SnppLevel starts at 3");
  control->vtbl->Release(control);
  factory->vtbl->Release(factory);
  KsLoopSetCurrent(nullptr);
  KsLoopDestroy(ks);
  Check(DllCanUnloadNow() == KS_S_OK, "nothing is left alive");

  // kestrel::outbox: a page into a SQLite outbox of our own.
  const auto folder = std::filesystem::temp_directory_path() /
                      ("kestrel-consumer-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  {
    auto store = kestrel::outbox::OpenSqliteStore(
        {(folder / "outbox.db").string(), [] { return kestrel::outbox::Millis{1}; },
         [&loop](std::function<void()> fn) { loop.Post(std::move(fn)); }, ""});
    kestrel::outbox::NewPage page;
    page.pagers = {"5551234"};
    page.content.message = "from a consumer";
    std::optional<kestrel::outbox::Result<std::vector<kestrel::outbox::Accepted>>> accepted;
    store->Accept({page}, [&](auto result) { accepted = std::move(result); });
    loop.RunUntil([&] { return accepted.has_value(); }, std::chrono::seconds(5));
    Check(accepted && *accepted && (*accepted)->at(0).created, "the SQLite outbox accepts");
  }
  std::filesystem::remove_all(folder);
#ifdef KESTREL_CONSUMER_PG
  // kestrel::outbox_pg: opening a database that is not there says so.
  std::optional<kestrel::outbox::pg::Opened> opened;
  kestrel::outbox::pg::StoreOptions options;
  options.conninfo = "host=/nonexistent-kestrel-consumer dbname=none connect_timeout=2";
  kestrel::outbox::pg::OpenStore(loop, options,
                                 [&](kestrel::outbox::pg::Opened o) { opened = std::move(o); });
  loop.RunUntil([&] { return opened.has_value(); }, std::chrono::seconds(20));
  Check(opened && !opened->store && opened->error.find("could not connect") != std::string::npos,
        "an unreachable PostgreSQL outbox is refused");
#endif

  if (failures == 0) std::printf("consumer: event loop, session, outbox and C interface work\n");
  return failures == 0 ? 0 : 1;
}
