#include "install/shell_extract.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "install/scoped_com.h"

namespace {

// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI: no progress window,
// yes to every overwrite, directories made without asking, no error dialogs.
constexpr LONG CopyOptions = 0x614;

bool LookUp(IDispatch* object, const wchar_t* name, DISPID& id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
}

// Calls a method with positional arguments, given in reverse order as Invoke wants them.
HRESULT CallMethod(IDispatch* object, DISPID id, VARIANT* arguments, UINT count,
                   VARIANT* result) {
    DISPPARAMS parameters{arguments, nullptr, count, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                          result, nullptr, nullptr);
}

// Takes the object out of a method's result; false unless it is a non-null VT_DISPATCH.
bool TakeObject(HRESULT status, ScopedVariant& result, ScopedComPtr<IDispatch>& object) {
    if (FAILED(status) || result.value.vt != VT_DISPATCH || !result.value.pdispVal) return false;
    object.reset(result.value.pdispVal);
    result.value.vt = VT_EMPTY;  // the reference now belongs to object
    return true;
}

// Shell.NameSpace(path): the folder object for a path.
bool OpenFolder(IDispatch* shell, DISPID nameSpace, const std::wstring& path,
                ScopedComPtr<IDispatch>& folder) {
    ScopedVariant result;
    HRESULT status;
    {
        ScopedVariant argument;
        argument.value.vt = VT_BSTR;
        argument.value.bstrVal = SysAllocString(path.c_str());
        status = CallMethod(shell, nameSpace, &argument.value, 1, &result.value);
    }
    return TakeObject(status, result, folder);
}

// Everything up to and including the copy request, then the wait for its files. False when a
// step before the request failed; then copyStatus is not set. Every object and the COM
// initialisation are released on return, in the order destination folder, archive folder,
// shell object, COM.
bool RequestCopy(const std::wstring& archivePath, const std::wstring& destination,
                 const std::function<bool()>& filesDone, HRESULT& copyStatus) {
    ScopedComInit com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ScopedComPtr<IDispatch> shell;
    ScopedComPtr<IDispatch> archiveFolder;
    ScopedComPtr<IDispatch> destinationFolder;

    CLSID shellClass{};
    if (FAILED(CLSIDFromProgID(L"Shell.Application", &shellClass))) return false;
    if (FAILED(CoCreateInstance(shellClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(shell.put()))) ||
        !shell) {
        return false;
    }

    DISPID nameSpace = 0;
    if (!LookUp(shell.get(), L"NameSpace", nameSpace)) return false;
    if (!OpenFolder(shell.get(), nameSpace, archivePath, archiveFolder)) return false;
    if (!OpenFolder(shell.get(), nameSpace, destination, destinationFolder)) return false;

    DISPID items = 0;
    if (!LookUp(archiveFolder.get(), L"Items", items)) return false;
    ScopedVariant itemCollection;
    const HRESULT itemsStatus =
        CallMethod(archiveFolder.get(), items, nullptr, 0, &itemCollection.value);
    if (FAILED(itemsStatus) || itemCollection.value.vt != VT_DISPATCH ||
        !itemCollection.value.pdispVal) {
        return false;
    }

    DISPID copyHere = 0;
    if (!LookUp(destinationFolder.get(), L"CopyHere", copyHere)) return false;

    VARIANT arguments[2];
    VariantInit(&arguments[0]);
    VariantInit(&arguments[1]);
    arguments[0].vt = VT_I4;
    arguments[0].lVal = CopyOptions;
    // A plain copy: the collection's one reference stays with itemCollection, which clears it.
    arguments[1] = itemCollection.value;
    copyStatus = CallMethod(destinationFolder.get(), copyHere, arguments, 2, nullptr);
    if (SUCCEEDED(copyStatus) && !filesDone()) copyStatus = E_FAIL;
    return true;
}

}  // namespace

bool ShellExtractZip(const std::wstring& archivePath, const std::wstring& destination,
                     const std::function<bool()>& filesDone) {
    HRESULT copyStatus = E_FAIL;
    return RequestCopy(archivePath, destination, filesDone, copyStatus) && SUCCEEDED(copyStatus);
}
