#include "admin/Registration.h"

#include "admin/Interfaces.h"
#include "platform/Registry.h"

#include <array>

namespace tarnwick {

namespace {

struct ClassInfo {
  std::string_view name;       // "Manager"
  std::string_view interface;  // "IManager"
  Guid clsid;
  Guid iid;
};

const std::array<ClassInfo, 3> kClasses{{
    {"Manager", "IManager", CLSID_Manager, IID_IManager},
    {"ConfigCollection", "IConfigCollection", CLSID_ConfigCollection, IID_IConfigCollection},
    {"ConfigItem", "IConfigItem", CLSID_ConfigItem, IID_IConfigItem},
}};

constexpr std::string_view kTypeLibHelp = "QX Mail Pull Service Object 1.0 Type Library";
constexpr std::string_view kModuleName = "libTarnwickSvcObj.so";
// The automation marshaller every dual interface points to.
constexpr std::string_view kAutomationProxy = "{00020424-0000-0000-C000-000000000046}";

struct Target {
  RegHive hive;
  std::string prefix;  // "" or "Software\Classes\"
};

Target TargetFor(bool perUser) {
  return perUser ? Target{RegHive::CurrentUser, "Software\\Classes\\"} : Target{RegHive::ClassesRoot, ""};
}

// Collects the entries in the registry held in memory; the first value
// that cannot be stored fails the whole change.
class Writer {
 public:
  Writer(const Target& t, RegistryData& reg) : t_(t), reg_(reg) {}
  void Key(const std::string& key) { reg_.CreateKey(t_.hive, t_.prefix + key); }
  void Value(const std::string& key, std::string_view name, const std::string& text) {
    if (!reg_.Set(t_.hive, t_.prefix + key, name, RegValue::Str(text)) && !error_) error_ = 87;
  }
  int Error() const { return error_; }

 private:
  Target t_;
  RegistryData& reg_;
  int error_ = 0;
};

}  // namespace

int RegisterModule(const std::string& modulePath, bool perUser) {
  // One rewrite of the registry file: all entries or none.
  return RegModify([&](RegistryData& reg) {
    Writer w(TargetFor(perUser), reg);
    const std::string appId = APPID_TarnwickSvcObj.ToString();
    const std::string libId = LIBID_TarnwickSvcObjLib.ToString();
    for (const ClassInfo& c : kClasses) {
      const std::string title = std::string(c.name) + " Class";
      const std::string progId = "TarnwickSvcObj." + std::string(c.name);
      const std::string current = progId + ".1";
      const std::string clsid = c.clsid.ToString();
      w.Value(current, "", title);
      w.Value(current + "\\CLSID", "", clsid);
      w.Value(progId, "", title);
      w.Value(progId + "\\CLSID", "", clsid);
      w.Value(progId + "\\CurVer", "", current);
      const std::string key = "CLSID\\" + clsid;
      w.Value(key, "", title);
      w.Value(key, "AppID", appId);
      w.Value(key + "\\ProgID", "", current);
      w.Value(key + "\\VersionIndependentProgID", "", progId);
      w.Key(key + "\\Programmable");
      w.Value(key + "\\InprocServer32", "", modulePath);
      w.Value(key + "\\InprocServer32", "ThreadingModel", "Apartment");
      w.Value(key + "\\TypeLib", "", libId);
      const std::string iface = "Interface\\" + c.iid.ToString();
      w.Value(iface, "", std::string(c.interface));
      w.Value(iface + "\\ProxyStubClsid32", "", std::string(kAutomationProxy));
      w.Value(iface + "\\TypeLib", "", libId);
      w.Value(iface + "\\TypeLib", "Version", "1.0");
    }
    w.Value("AppID\\" + appId, "", "TarnwickSvcObj");
    w.Value("AppID\\" + std::string(kModuleName), "AppID", appId);
    const std::string lib = "TypeLib\\" + libId + "\\1.0";
    w.Value(lib, "", std::string(kTypeLibHelp));
    w.Value(lib + "\\FLAGS", "", "0");
    w.Value(lib + "\\409\\linux64", "", modulePath);  // locale 1033
    w.Value(lib + "\\HELPDIR", "", modulePath.substr(0, modulePath.find_last_of('/') + 1));
    return w.Error();
  });
}

int UnregisterModule(bool perUser) {
  const Target t = TargetFor(perUser);
  return RegModify([&](RegistryData& reg) {
    auto drop = [&](const std::string& key) { reg.DeleteKey(t.hive, t.prefix + key); };
    for (const ClassInfo& c : kClasses) {
      const std::string progId = "TarnwickSvcObj." + std::string(c.name);
      drop(progId + ".1");
      drop(progId);
      drop("CLSID\\" + c.clsid.ToString());
      drop("Interface\\" + c.iid.ToString());
    }
    drop("AppID\\" + APPID_TarnwickSvcObj.ToString());
    drop("AppID\\" + std::string(kModuleName));
    drop("TypeLib\\" + LIBID_TarnwickSvcObjLib.ToString());
    return 0;
  });
}

}  // namespace tarnwick
