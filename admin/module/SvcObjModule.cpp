// The exported entry points of libTarnwickSvcObj.so: the class objects of
// the three classes, the unload check and the registration functions.
#include "admin/ConfigCollection.h"
#include "admin/ConfigItem.h"
#include "admin/Manager.h"
#include "admin/Registration.h"
#include "platform/AsciiText.h"
#include "platform/Desktop.h"

#include <atomic>
#include <cstring>

namespace tarnwick {
namespace {

std::atomic<long> serverLocks{0};

// One class object per class; it lives as long as the module.
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const Guid& clsid) : clsid_(clsid) {}

  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }

  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (clsid_ == CLSID_Manager) return Manager::Create()->QueryInterface(iid, out);
    if (clsid_ == CLSID_ConfigCollection) return ConfigCollection::Create()->QueryInterface(iid, out);
    return ConfigItem::Create()->QueryInterface(iid, out);
  }
  HRESULT LockServer(bool lock) override {
    serverLocks.fetch_add(lock ? 1 : -1);
    return S_OK;
  }

 private:
  Guid clsid_;
};

ClassFactory managerFactory{CLSID_Manager};
ClassFactory collectionFactory{CLSID_ConfigCollection};
ClassFactory itemFactory{CLSID_ConfigItem};

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

}  // namespace
}  // namespace tarnwick

using namespace tarnwick;

extern "C" {

__attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!clsid || !iid) return E_INVALIDARG;
  ClassFactory* f = *clsid == CLSID_Manager            ? &managerFactory
                    : *clsid == CLSID_ConfigCollection ? &collectionFactory
                    : *clsid == CLSID_ConfigItem       ? &itemFactory
                                                       : nullptr;
  if (!f) return CLASS_E_CLASSNOTAVAILABLE;
  return f->QueryInterface(*iid, out);
}

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return LiveObjectCount().load() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return RegisterModule(ThisModule(), false) == 0 ? S_OK : E_FAIL;
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return UnregisterModule(false) == 0 ? S_OK : E_FAIL;
}

// cmdLine beginning "user" (any letter case): the current user's classes
// only. Installing registers, and unregisters again when that fails.
__attribute__((visibility("default"))) HRESULT DllInstall(int install, const char* cmdLine) {
  const bool perUser = cmdLine && StartsWithNoCase(cmdLine, "user");
  if (install) {
    if (RegisterModule(ThisModule(), perUser) == 0) return S_OK;
    UnregisterModule(perUser);
    return E_FAIL;
  }
  return UnregisterModule(perUser) == 0 ? S_OK : E_FAIL;
}

}  // extern "C"
