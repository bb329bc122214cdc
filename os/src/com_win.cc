// COM on Windows: CoInitialize and CoCreateInstance of the privileged installer service's local
// server, and its ExecInstall, the eighth entry of the interface's table (after IUnknown's three
// and IDispatch's four).  A PrivilegedInstaller belongs to the thread that created it (the thread
// initialised COM; the proxy is that apartment's).

#include <cstddef>
#include <cstring>

#include "os/com.h"
#include "src/internal/win32.h"

namespace os::com {
namespace {

// IPrivilegedInstaller's function table as the service lays it out: IUnknown's three entries,
// IDispatch's four (not called here), then ExecInstall at index 7.  Spelled out as a table rather
// than a C++ class, so that the index is visible and checked.
struct PrivilegedInstallerTable {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* self, REFIID iid, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(void* self);
  ULONG(STDMETHODCALLTYPE* Release)(void* self);
  void* GetTypeInfoCount;
  void* GetTypeInfo;
  void* GetIDsOfNames;
  void* Invoke;
  HRESULT(STDMETHODCALLTYPE* ExecInstall)
  (void* self, BSTR path, BSTR parameters, BSTR md5, DWORD session_id, DWORD mode);
};
static_assert(offsetof(PrivilegedInstallerTable, ExecInstall) == 7 * sizeof(void*));

// A COM object: its first member points at its table.
struct PrivilegedInstallerObject {
  const PrivilegedInstallerTable* table;
};

GUID ToGuid(const Guid& guid) {
  GUID out{};
  out.Data1 = guid.data1;
  out.Data2 = guid.data2;
  out.Data3 = guid.data3;
  std::memcpy(out.Data4, guid.data4, sizeof(out.Data4));
  return out;
}

// A BSTR freed with the object.  The text ends at its first NUL, as SysAllocString reads it.
class ScopedBstr {
 public:
  explicit ScopedBstr(std::wstring_view text)
      : bstr_(::SysAllocString(std::wstring(text).c_str())) {}
  ~ScopedBstr() { ::SysFreeString(bstr_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return bstr_; }

 private:
  BSTR bstr_;
};

class ComPrivilegedInstaller final : public PrivilegedInstaller {
 public:
  explicit ComPrivilegedInstaller(PrivilegedInstallerObject* object) : object_(object) {}
  ~ComPrivilegedInstaller() override { object_->table->Release(object_); }
  ComPrivilegedInstaller(const ComPrivilegedInstaller&) = delete;
  ComPrivilegedInstaller& operator=(const ComPrivilegedInstaller&) = delete;

  HResult ExecInstall(std::wstring_view path, std::wstring_view parameters, std::wstring_view md5,
                      uint32_t session_id, uint32_t mode) override {
    const ScopedBstr path_bstr(path);
    const ScopedBstr parameters_bstr(parameters);
    const ScopedBstr md5_bstr(md5);
    if (path_bstr.get() == nullptr || parameters_bstr.get() == nullptr ||
        md5_bstr.get() == nullptr) {
      return kEOutOfMemory;
    }
    return object_->table->ExecInstall(object_, path_bstr.get(), parameters_bstr.get(),
                                       md5_bstr.get(), session_id, mode);
  }

 private:
  PrivilegedInstallerObject* const object_;  // one reference, released with this object
};

}  // namespace

HResult Initialize() { return ::CoInitialize(nullptr); }

HResult CreatePrivilegedInstaller(const Guid& clsid, const Guid& iid,
                                  std::unique_ptr<PrivilegedInstaller>* instance) {
  const GUID class_id = ToGuid(clsid);
  const GUID interface_id = ToGuid(iid);
  void* object = nullptr;
  const HRESULT hr =
      ::CoCreateInstance(class_id, nullptr, CLSCTX_LOCAL_SERVER, interface_id, &object);
  if (FAILED(hr)) {
    return hr;
  }
  if (object == nullptr) {
    return kEPointer;
  }
  *instance =
      std::make_unique<ComPrivilegedInstaller>(static_cast<PrivilegedInstallerObject*>(object));
  return hr;
}

}  // namespace os::com
