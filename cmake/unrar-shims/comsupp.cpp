// MinGW ships comdef.h but no COM-support library; UnRAR's _bstr_t use needs this one function.
#include <windows.h>
#include <oleauto.h>
#include <comutil.h>

namespace _com_util {
BSTR WINAPI ConvertStringToBSTR(const char *pSrc)
{
    if (pSrc == nullptr)
        return nullptr;
    int cwch = MultiByteToWideChar(CP_ACP, 0, pSrc, -1, nullptr, 0);
    if (cwch <= 0)
        return nullptr;
    BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(cwch - 1));
    if (bstr != nullptr)
        MultiByteToWideChar(CP_ACP, 0, pSrc, -1, bstr, cwch);
    return bstr;
}
} // namespace _com_util
