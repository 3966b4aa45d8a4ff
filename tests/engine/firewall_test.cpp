// The firewall registration against fakes of the firewall's COM interfaces: which calls
// are made, what gets added, that every object is released and every string is a BSTR.
// The system's own objects are used once at the end (Wine's report the firewall as off).
#include "engine/firewall.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kPath[] = L"C:\\Program Files\\QUAV_SRV\\quavserver.exe";
constexpr wchar_t kName[] = L"Tolvane翻译服务器";

// The state behind the fakes, and the failures to inject.
struct FirewallWorld {
  HRESULT createManager = S_OK, localPolicy = S_OK, profileByType = S_OK, firewallEnabledCall = S_OK,
          itemCall = S_OK, entryEnabledCall = S_OK, createApplication = S_OK, putImage = S_OK, putName = S_OK,
          addCall = S_OK;
  int failApplicationsOnCall = 0;  // 1-based call of get_AuthorizedApplications that fails
  bool firewallEnabled = true;
  std::map<std::wstring, bool> listed;  // path -> enabled

  int live = 0;  // fake objects not yet released
  int applicationsCalls = 0;
  int requestedProfile = -1;
  bool nonBstrSeen = false;
  std::vector<std::wstring> lookedUp;
  std::vector<std::pair<std::wstring, std::wstring>> added;  // path, name
  std::vector<std::string> calls;

  void CheckBstr(BSTR s) {
    // A BSTR carries its length in front: a plain wide string would not match it.
    if (!s || SysStringLen(s) != wcslen(s)) nonBstrSeen = true;
  }
};

template <typename I>
class Fake : public I {
 public:
  explicit Fake(FirewallWorld& world) : world_(world) { ++world_.live; }
  virtual ~Fake() { --world_.live; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(I)) {
      *out = static_cast<I*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 protected:
  FirewallWorld& world_;
  ULONG refs_ = 1;
};

class FakeApplication : public Fake<INetFwAuthorizedApplication> {
 public:
  FakeApplication(FirewallWorld& world, std::wstring path, bool enabled)
      : Fake(world), path_(std::move(path)), enabled_(enabled) {}
  const std::wstring& path() const { return path_; }
  const std::wstring& name() const { return name_; }

  HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override {
    world_.calls.push_back("put_Name");
    world_.CheckBstr(name);
    if (FAILED(world_.putName)) return world_.putName;
    name_ = name;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR path) override {
    world_.calls.push_back("put_ProcessImageFileName");
    world_.CheckBstr(path);
    if (FAILED(world_.putImage)) return world_.putImage;
    path_ = path;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
    world_.calls.push_back("get_Enabled");
    if (FAILED(world_.entryEnabledCall)) return world_.entryEnabledCall;
    *enabled = enabled_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }

 private:
  std::wstring path_, name_;
  bool enabled_;
};

class FakeApplications : public Fake<INetFwAuthorizedApplications> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
    world_.calls.push_back("Add");
    if (FAILED(world_.addCall)) return world_.addCall;
    auto* fake = static_cast<FakeApplication*>(app);
    world_.added.emplace_back(fake->path(), fake->name());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Remove(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Item(BSTR path, INetFwAuthorizedApplication** app) override {
    world_.calls.push_back("Item");
    world_.CheckBstr(path);
    world_.lookedUp.push_back(path);
    *app = nullptr;
    if (FAILED(world_.itemCall)) return world_.itemCall;
    auto it = world_.listed.find(path);
    if (it == world_.listed.end()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    *app = new FakeApplication(world_, it->first, it->second);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
};

class FakeProfile : public Fake<INetFwProfile> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL* enabled) override {
    world_.calls.push_back("get_FirewallEnabled");
    if (FAILED(world_.firewallEnabledCall)) return world_.firewallEnabledCall;
    *enabled = world_.firewallEnabled ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Services(INetFwServices**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications** apps) override {
    world_.calls.push_back("get_AuthorizedApplications");
    *apps = nullptr;
    if (++world_.applicationsCalls == world_.failApplicationsOnCall) return E_ACCESSDENIED;
    *apps = new FakeApplications(world_);
    return S_OK;
  }
};

class FakePolicy : public Fake<INetFwPolicy> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE type, INetFwProfile** profile) override {
    world_.calls.push_back("GetProfileByType");
    world_.requestedProfile = type;
    *profile = nullptr;
    if (FAILED(world_.profileByType)) return world_.profileByType;
    *profile = new FakeProfile(world_);
    return S_OK;
  }
};

class FakeManager : public Fake<INetFwMgr> {
 public:
  using Fake::Fake;
  HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** policy) override {
    world_.calls.push_back("get_LocalPolicy");
    *policy = nullptr;
    if (FAILED(world_.localPolicy)) return world_.localPolicy;
    *policy = new FakePolicy(world_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RestoreDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*,
                                          VARIANT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*) override {
    return E_NOTIMPL;
  }
};

tolvane::FirewallObjects FakeObjects(FirewallWorld& world) {
  tolvane::FirewallObjects objects;
  objects.CreateManager = [&world](INetFwMgr** out) -> HRESULT {
    *out = nullptr;
    if (FAILED(world.createManager)) return world.createManager;
    *out = new FakeManager(world);
    return S_OK;
  };
  objects.CreateApplication = [&world](INetFwAuthorizedApplication** out) -> HRESULT {
    world.calls.push_back("CreateApplication");
    *out = nullptr;
    if (FAILED(world.createApplication)) return world.createApplication;
    *out = new FakeApplication(world, L"", true);
    return S_OK;
  };
  return objects;
}

bool Register(FirewallWorld& world) { return tolvane::AllowThroughFirewall(FakeObjects(world), kPath, kName); }

void ExpectCleanRun(const FirewallWorld& world) {
  EXPECT_EQ(world.live, 0) << "a firewall object was not released";
  EXPECT_FALSE(world.nonBstrSeen) << "a string was not allocated as a BSTR";
}

TEST(Firewall, DisabledFirewallChangesNothing) {
  FirewallWorld world;
  world.firewallEnabled = false;
  EXPECT_FALSE(Register(world));
  EXPECT_EQ(world.requestedProfile, NET_FW_PROFILE_STANDARD);
  EXPECT_EQ(world.applicationsCalls, 0);
  EXPECT_TRUE(world.added.empty());
  ExpectCleanRun(world);
}

TEST(Firewall, ListedAndEnabledEntryIsLeftAlone) {
  FirewallWorld world;
  world.listed[kPath] = true;
  EXPECT_TRUE(Register(world));
  EXPECT_TRUE(world.added.empty());
  ASSERT_EQ(world.lookedUp.size(), 1u);
  EXPECT_EQ(world.lookedUp[0], kPath);
  ExpectCleanRun(world);
}

TEST(Firewall, ListedButDisabledEntryIsAddedAgain) {
  FirewallWorld world;
  world.listed[kPath] = false;
  EXPECT_TRUE(Register(world));
  ASSERT_EQ(world.added.size(), 1u);
  EXPECT_EQ(world.added[0].first, kPath);
  EXPECT_EQ(world.added[0].second, kName);
  ExpectCleanRun(world);
}

TEST(Firewall, UnlistedExecutableIsAddedWithPathThenName) {
  FirewallWorld world;
  world.listed[L"C:\\other.exe"] = true;
  EXPECT_TRUE(Register(world));
  ASSERT_EQ(world.added.size(), 1u);
  EXPECT_EQ(world.added[0].first, kPath);
  EXPECT_EQ(world.added[0].second, kName);
  const std::vector<std::string> expected = {
      "get_LocalPolicy", "GetProfileByType",           "get_FirewallEnabled",      "get_AuthorizedApplications",
      "Item",            "get_AuthorizedApplications", "CreateApplication",        "put_ProcessImageFileName",
      "put_Name",        "Add"};
  EXPECT_EQ(world.calls, expected);
  EXPECT_EQ(world.requestedProfile, NET_FW_PROFILE_STANDARD);
  ExpectCleanRun(world);
}

TEST(Firewall, FailingLookUpCountsAsNotListed) {
  FirewallWorld world;
  world.listed[kPath] = true;
  world.itemCall = E_FAIL;
  EXPECT_TRUE(Register(world));
  EXPECT_EQ(world.added.size(), 1u);
  ExpectCleanRun(world);
}

// Each failure point ends the operation with false and leaves nothing behind.
struct FailurePoint {
  const char* name;
  void (*inject)(FirewallWorld&);
  bool listedDisabled;  // reach the paths that read the entry's state
};

class FirewallFailure : public ::testing::TestWithParam<FailurePoint> {};

TEST_P(FirewallFailure, EndsWithFalseAndReleasesEverything) {
  FirewallWorld world;
  if (GetParam().listedDisabled) world.listed[kPath] = false;
  GetParam().inject(world);
  EXPECT_FALSE(Register(world));
  EXPECT_TRUE(world.added.empty());
  ExpectCleanRun(world);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FirewallFailure,
    ::testing::Values(
        FailurePoint{"CreateManager", [](FirewallWorld& w) { w.createManager = REGDB_E_CLASSNOTREG; }, false},
        FailurePoint{"LocalPolicy", [](FirewallWorld& w) { w.localPolicy = E_FAIL; }, false},
        FailurePoint{"ProfileByType", [](FirewallWorld& w) { w.profileByType = E_NOTIMPL; }, false},
        FailurePoint{"FirewallEnabled", [](FirewallWorld& w) { w.firewallEnabledCall = E_FAIL; }, false},
        FailurePoint{"FirstApplications", [](FirewallWorld& w) { w.failApplicationsOnCall = 1; }, false},
        FailurePoint{"EntryEnabled", [](FirewallWorld& w) { w.entryEnabledCall = E_FAIL; }, true},
        FailurePoint{"SecondApplications", [](FirewallWorld& w) { w.failApplicationsOnCall = 2; }, false},
        FailurePoint{"CreateApplication", [](FirewallWorld& w) { w.createApplication = E_OUTOFMEMORY; }, false},
        FailurePoint{"ProcessImageFileName", [](FirewallWorld& w) { w.putImage = E_INVALIDARG; }, false},
        FailurePoint{"Name", [](FirewallWorld& w) { w.putName = E_INVALIDARG; }, true},
        FailurePoint{"Add", [](FirewallWorld& w) { w.addCall = E_ACCESSDENIED; }, false}),
    [](const ::testing::TestParamInfo<FailurePoint>& info) { return std::string(info.param.name); });

TEST(Firewall, ObjectsThatReportSuccessWithoutAnObjectCountAsFailure) {
  FirewallWorld world;
  tolvane::FirewallObjects objects = FakeObjects(world);
  objects.CreateManager = [](INetFwMgr** out) {
    *out = nullptr;
    return S_OK;
  };
  EXPECT_FALSE(tolvane::AllowThroughFirewall(objects, kPath, kName));
  ExpectCleanRun(world);
}

TEST(Firewall, SystemObjectsUnderWineAddNothing) {
  // Wine's firewall objects offer no enabled standard profile: the operation fails
  // quietly rather than crashing or claiming success.
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  EXPECT_FALSE(AllowServerThroughFirewall(kPath, kName));
  CoUninitialize();
}

}  // namespace
