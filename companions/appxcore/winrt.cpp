// The package platform through the Windows Runtime's binary interface. mingw-w64 has no headers
// for Windows.Management.Deployment or Windows.ApplicationModel, so the few interfaces used are
// declared here with their published IIDs and vtable order. combase.dll is found at run time so that
// nothing ties the companions to Windows 8 at load time.
#include "companions/appxcore/platform.h"

#include "companions/appxcore/xmlapi.h"
#include "base/raii.h"

#include <hstring.h>
#include <inspectable.h>
#include <asyncinfo.h>

namespace appxcore {

namespace {

// --- Declarations of the runtime types used -------------------------------------------------------

struct PackageVersion {
    UINT16 Major, Minor, Build, Revision;
};
struct DeploymentProgress {
    INT32 state;
    UINT32 percentage;
};

// Windows.Foundation.Collections.IIterator<Windows.ApplicationModel.Package*>
struct IPackageIterator : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Current(IInspectable** current) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* hasCurrent) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveNext(boolean* hasCurrent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 capacity, IInspectable** items, UINT32* actual) = 0;
};
// IIterable<Package*>
struct IPackageIterable : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE First(IPackageIterator** first) = 0;
};
// IVectorView<Package*>
struct IPackageVectorView : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IInspectable** item) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE IndexOf(IInspectable* item, UINT32* index, boolean* found) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, IInspectable** items,
                                              UINT32* actual) = 0;
};

// Windows.ApplicationModel.IPackageId {1adb665e-37c7-4790-9980-dd7ae74e8bb2}
struct IPackageId : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version(PackageVersion* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Architecture(INT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FamilyName(HSTRING* value) = 0;
};

// Windows.ApplicationModel.IPackage {163c792f-bd75-413c-bf23-b1fe7b95d825}, the default interface
// of Package, so every Package pointer the collections hand out is one of these.
const IID IID_IPackage = {0x163c792f, 0xbd75, 0x413c, {0xbf, 0x23, 0xb1, 0xfe, 0x7b, 0x95, 0xd8, 0x25}};
struct IPackage : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Id(IPackageId** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InstalledLocation(IInspectable** storageFolder) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsFramework(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Dependencies(IPackageVectorView** value) = 0;
};

// Windows.Storage.IStorageItem {4207a996-ca2f-42f7-bde8-8b10457a7f30}; only get_Path is called.
const IID IID_IStorageItem = {0x4207a996, 0xca2f, 0x42f7, {0xbd, 0xe8, 0x8b, 0x10, 0x45, 0x7a, 0x7f, 0x30}};
struct IStorageItem : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE RenameAsyncOverloadDefaultOptions(HSTRING, IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenameAsync(HSTRING, INT32, IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteAsyncOverloadDefaultOptions(IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteAsync(INT32, IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBasicPropertiesAsync(IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(HSTRING* value) = 0;
};

// Windows.Management.Deployment.IDeploymentResult {2563b9ae-b77d-4c1f-8a7b-20e6ad515ef3}
struct IDeploymentResult : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* value) = 0;
};

struct IDeploymentOperation;
// AsyncOperationWithProgressCompletedHandler<DeploymentResult*, DeploymentProgress>; the IID is the
// parameterized one the runtime derives from the type signature.
const IID IID_DeploymentCompletedHandler = {
    0x6e1c7129, 0x61e0, 0x5d88, {0x9f, 0xd4, 0xf3, 0xce, 0x65, 0xa0, 0x57, 0x19}};
struct IDeploymentCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation* operation, INT32 status) = 0;
};
// IAsyncOperationWithProgress<DeploymentResult*, DeploymentProgress>
// {5a97aab7-b6ea-55ac-a5dc-d5b164d94e94}
struct IDeploymentOperation : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Progress(IUnknown* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Progress(IUnknown** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Completed(IDeploymentCompletedHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(IDeploymentCompletedHandler** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** results) = 0;
};

// Windows.Foundation.IUriRuntimeClassFactory {44a9796f-723e-4fdf-a218-033e75b0c084}
const IID IID_IUriRuntimeClassFactory = {
    0x44a9796f, 0x723e, 0x4fdf, {0xa2, 0x18, 0x03, 0x3e, 0x75, 0xb0, 0xc0, 0x84}};
struct IUriRuntimeClassFactory : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IInspectable** instance) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING base, HSTRING relative,
                                                            IInspectable** instance) = 0;
};

// Windows.Management.Deployment.IPackageManager {9a7d4b65-5e8f-4fc7-a2e5-7f6925cb8b53}
const IID IID_IPackageManager = {
    0x9a7d4b65, 0x5e8f, 0x4fc7, {0xa2, 0xe5, 0x7f, 0x69, 0x25, 0xcb, 0x8b, 0x53}};
struct IPackageManager : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE AddPackageAsync(IInspectable*, IInspectable*, UINT32,
                                                      IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdatePackageAsync(IInspectable*, IInspectable*, UINT32,
                                                         IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING, IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE StagePackageAsync(IInspectable*, IInspectable*,
                                                        IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterPackageAsync(IInspectable* manifestUri,
                                                           IInspectable* dependencyUris, UINT32 options,
                                                           IDeploymentOperation** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable** packages) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING sid,
                                                                   IPackageIterable** packages) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByNamePublisher(HSTRING, HSTRING, IPackageIterable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityIdNamePublisher(HSTRING, HSTRING, HSTRING,
                                                                                IPackageIterable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindUsers(HSTRING, IInspectable**) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPackageState(HSTRING, INT32) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackageByPackageFullName(HSTRING, IPackage**) = 0;
    virtual HRESULT STDMETHODCALLTYPE CleanupPackageForUserAsync(HSTRING, HSTRING,
                                                                 IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByPackageFamilyName(HSTRING familyName,
                                                                      IPackageIterable** packages) = 0;
};

const IID IID_IAgileObject = {0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

// --- combase, found at run time -------------------------------------------------------------------

typedef HRESULT(WINAPI* RoInitializeFn)(int);
typedef void(WINAPI* RoUninitializeFn)();
typedef HRESULT(WINAPI* RoActivateInstanceFn)(HSTRING, IInspectable**);
typedef HRESULT(WINAPI* RoGetActivationFactoryFn)(HSTRING, REFIID, void**);
typedef HRESULT(WINAPI* WindowsCreateStringFn)(const wchar_t*, UINT32, HSTRING*);
typedef HRESULT(WINAPI* WindowsDeleteStringFn)(HSTRING);
typedef const wchar_t*(WINAPI* WindowsGetStringRawBufferFn)(HSTRING, UINT32*);

struct Combase {
    RoInitializeFn roInitialize = nullptr;
    RoUninitializeFn roUninitialize = nullptr;
    RoActivateInstanceFn roActivateInstance = nullptr;
    RoGetActivationFactoryFn roGetActivationFactory = nullptr;
    WindowsCreateStringFn createString = nullptr;
    WindowsDeleteStringFn deleteString = nullptr;
    WindowsGetStringRawBufferFn rawBuffer = nullptr;
};

template <class F> bool Entry(HMODULE module, const char* name, F* target) {
    *target = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *target != nullptr;
}

// Loads combase.dll from the system folder; false (last error set) before Windows 8.
bool LoadCombase(Combase* c) {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + 12 >= MAX_PATH) return false;
    lstrcatW(path, L"\\combase.dll");
    HMODULE module = LoadLibraryW(path); // kept loaded for the life of the process
    if (!module) return false;
    if (!Entry(module, "RoInitialize", &c->roInitialize) ||
        !Entry(module, "RoUninitialize", &c->roUninitialize) ||
        !Entry(module, "RoActivateInstance", &c->roActivateInstance) ||
        !Entry(module, "RoGetActivationFactory", &c->roGetActivationFactory) ||
        !Entry(module, "WindowsCreateString", &c->createString) ||
        !Entry(module, "WindowsDeleteString", &c->deleteString) ||
        !Entry(module, "WindowsGetStringRawBuffer", &c->rawBuffer)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    return true;
}

void Check(HRESULT hr) {
    if (FAILED(hr)) ThrowError(hr);
}

class HString {
  public:
    explicit HString(const Combase& c) : c_(c) {}
    HString(const Combase& c, const std::wstring& text) : c_(c) {
        Check(c_.createString(text.c_str(), static_cast<UINT32>(text.size()), &value_));
    }
    ~HString() {
        if (value_) c_.deleteString(value_);
    }
    HString(const HString&) = delete;
    HString& operator=(const HString&) = delete;
    HSTRING get() const { return value_; }
    HSTRING* put() { return &value_; }
    std::wstring text() const {
        UINT32 length = 0;
        const wchar_t* raw = c_.rawBuffer(value_, &length);
        return std::wstring(raw ? raw : L"", length);
    }

  private:
    const Combase& c_;
    HSTRING value_ = nullptr;
};

std::wstring ArchitectureName(INT32 value) {
    switch (value) {
    case 0:
        return L"X86";
    case 5:
        return L"Arm";
    case 9:
        return L"X64";
    case 11:
        return L"Neutral";
    case 12:
        return L"Arm64";
    case 14:
        return L"X86OnArm64";
    default:
        return L"Unknown";
    }
}

// Every Package pointer is an IPackage (its default interface); the iterator hands them out as
// IInspectable, so they are cast, not queried.
class WinRtPackage : public PlatformPackage {
  public:
    WinRtPackage(const Combase& c, IInspectable* package)
        : c_(c), package_(static_cast<IPackage*>(package)) {}
    ~WinRtPackage() override { package_->Release(); }

    PackageIdentity Identity() override {
        ComPtr<IPackageId> id;
        Check(package_->get_Id(id.put()));
        PackageIdentity identity;
        identity.name = Text(id.get(), &IPackageId::get_Name);
        identity.publisher = Text(id.get(), &IPackageId::get_Publisher);
        identity.resourceId = Text(id.get(), &IPackageId::get_ResourceId);
        identity.fullName = Text(id.get(), &IPackageId::get_FullName);
        identity.familyName = Text(id.get(), &IPackageId::get_FamilyName);
        identity.publisherId = Text(id.get(), &IPackageId::get_PublisherId);
        INT32 architecture = 0;
        Check(id->get_Architecture(&architecture));
        identity.architecture = ArchitectureName(architecture);
        PackageVersion version = {};
        Check(id->get_Version(&version));
        identity.version[0] = version.Major;
        identity.version[1] = version.Minor;
        identity.version[2] = version.Build;
        identity.version[3] = version.Revision;
        return identity;
    }

    std::wstring InstalledPath() override {
        ComPtr<IInspectable> folder;
        Check(package_->get_InstalledLocation(folder.put()));
        if (!folder) ThrowError(E_POINTER);
        ComPtr<IStorageItem> item;
        Check(folder->QueryInterface(IID_IStorageItem, item.putVoid()));
        HString path(c_);
        Check(item->get_Path(path.put()));
        return path.text();
    }

    bool IsFramework() override {
        boolean value = 0;
        Check(package_->get_IsFramework(&value));
        return value != 0;
    }

    std::vector<PackagePtr> Dependencies() override {
        ComPtr<IPackageVectorView> view;
        Check(package_->get_Dependencies(view.put()));
        std::vector<PackagePtr> result;
        if (!view) return result;
        UINT32 size = 0;
        Check(view->get_Size(&size));
        for (UINT32 i = 0; i < size; ++i) {
            IInspectable* item = nullptr;
            Check(view->GetAt(i, &item));
            if (item) result.push_back(std::make_shared<WinRtPackage>(c_, item));
        }
        return result;
    }

  private:
    std::wstring Text(IPackageId* id, HRESULT (STDMETHODCALLTYPE IPackageId::*get)(HSTRING*)) {
        HString value(c_);
        Check((id->*get)(value.put()));
        return value.text();
    }

    const Combase& c_;
    IPackage* package_;
};

// The completion handler: signals an event; agile, so the runtime may call it from any thread.
class CompletedHandler final : public IDeploymentCompletedHandler {
  public:
    CompletedHandler() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HANDLE done() const { return done_.get(); }
    INT32 status() const { return status_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAgileObject) ||
            IsEqualIID(iid, IID_DeploymentCompletedHandler)) {
            *object = static_cast<IDeploymentCompletedHandler*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation*, INT32 status) override {
        status_ = status;
        SetEvent(done_.get());
        return S_OK;
    }

  private:
    ~CompletedHandler() = default;
    LONG refs_ = 1;
    volatile INT32 status_ = 0;
    UniqueHandle done_;
};

class WinRtPlatform : public PackagePlatform {
  public:
    WinRtPlatform(const Combase& c, IPackageManager* manager, bool uninitialize)
        : c_(c), manager_(manager), uninitialize_(uninitialize) {}
    ~WinRtPlatform() override {
        manager_->Release();
        if (uninitialize_) c_.roUninitialize();
    }

    std::vector<PackagePtr> FindPackagesForUser(const std::wstring& sid) override {
        HString text(c_, sid);
        ComPtr<IPackageIterable> packages;
        Check(manager_->FindPackagesByUserSecurityId(text.get(), packages.put()));
        return Collect(packages.get());
    }

    std::vector<PackagePtr> FindPackages(const std::wstring& familyName) override {
        HString text(c_, familyName);
        ComPtr<IPackageIterable> packages;
        Check(manager_->FindPackagesByPackageFamilyName(text.get(), packages.put()));
        return Collect(packages.get());
    }

    DeploymentOutcome RegisterPackage(const std::wstring& manifestPath) override {
        ComPtr<IUriRuntimeClassFactory> factory;
        HString uriClass(c_, L"Windows.Foundation.Uri");
        Check(c_.roGetActivationFactory(uriClass.get(), IID_IUriRuntimeClassFactory, factory.putVoid()));
        HString uriText(c_, ManifestPathToFileUri(manifestPath));
        ComPtr<IInspectable> uri;
        Check(factory->CreateUri(uriText.get(), uri.put()));

        ComPtr<IDeploymentOperation> operation;
        Check(manager_->RegisterPackageAsync(uri.get(),
                                             nullptr, // no dependency URIs
                                             0,       // DeploymentOptions.None
                                             operation.put()));
        CompletedHandler* handler = new CompletedHandler();
        HRESULT hr = operation->put_Completed(handler);
        if (FAILED(hr)) {
            handler->Release();
            ThrowError(hr);
        }
        DeploymentOutcome outcome;
        // A completion that never comes must not hold a new user's logon: past the limit the
        // operation is cancelled and counted as unsettled, and the caller gives up on it.
        if (WaitForSingleObject(handler->done(), RegistrationLimitMs) != WAIT_OBJECT_0) {
            ComPtr<IAsyncInfo> info;
            if (SUCCEEDED(operation->QueryInterface(__uuidof(IAsyncInfo), info.putVoid()))) info->Cancel();
            handler->Release(); // the operation keeps its own reference until it has ended
            outcome.status = DeploymentStatus::Started;
            outcome.errorCode = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
            outcome.errorText = ErrorMessage(outcome.errorCode);
            return outcome;
        }
        outcome.status = static_cast<DeploymentStatus>(handler->status());
        handler->Release();
        if (outcome.status == DeploymentStatus::Error) {
            ComPtr<IAsyncInfo> info;
            if (SUCCEEDED(operation->QueryInterface(__uuidof(IAsyncInfo), info.putVoid())))
                info->get_ErrorCode(&outcome.errorCode);
            // The operation's result still carries the deployment's error text after a failure.
            ComPtr<IDeploymentResult> result;
            operation->GetResults(result.put());
            if (result) {
                HString text(c_);
                if (SUCCEEDED(result->get_ErrorText(text.put()))) outcome.errorText = text.text();
            }
            if (outcome.errorText.empty()) outcome.errorText = ErrorMessage(outcome.errorCode);
        }
        return outcome;
    }

    std::wstring Description() const override { return L"Windows.Management.Deployment.PackageManager"; }

  private:
    std::vector<PackagePtr> Collect(IPackageIterable* packages) {
        std::vector<PackagePtr> result;
        if (!packages) return result;
        ComPtr<IPackageIterator> it;
        Check(packages->First(it.put()));
        boolean has = 0;
        Check(it->get_HasCurrent(&has));
        while (has) {
            IInspectable* item = nullptr;
            Check(it->get_Current(&item));
            if (item) result.push_back(std::make_shared<WinRtPackage>(c_, item));
            Check(it->MoveNext(&has));
        }
        return result;
    }

    const Combase& c_;
    IPackageManager* manager_;
    bool uninitialize_;
};

Combase& SharedCombase() {
    static Combase combase;
    return combase;
}

} // namespace

HRESULT CreateWinRtPackagePlatform(std::unique_ptr<PackagePlatform>* platform) {
    Combase& c = SharedCombase();
    if (!c.roActivateInstance && !LoadCombase(&c)) {
        DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error ? error : ERROR_MOD_NOT_FOUND);
    }
    // The multithreaded apartment, so that the completion handler can run while this thread waits.
    HRESULT init = c.roInitialize(1); // RO_INIT_MULTITHREADED
    bool uninitialize = SUCCEEDED(init);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) return init;
    HRESULT hr;
    IInspectable* instance = nullptr;
    {
        HString name(c);
        const wchar_t* className = L"Windows.Management.Deployment.PackageManager";
        hr = c.createString(className, static_cast<UINT32>(lstrlenW(className)), name.put());
        if (SUCCEEDED(hr)) hr = c.roActivateInstance(name.get(), &instance);
    }
    IPackageManager* manager = nullptr;
    if (SUCCEEDED(hr)) {
        hr = instance->QueryInterface(IID_IPackageManager, reinterpret_cast<void**>(&manager));
        instance->Release();
    }
    if (FAILED(hr)) {
        if (uninitialize) c.roUninitialize();
        return hr;
    }
    platform->reset(new WinRtPlatform(c, manager, uninitialize));
    return S_OK;
}

} // namespace appxcore
