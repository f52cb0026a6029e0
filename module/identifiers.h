// The component's four identifiers, fixed at build time. The registration scripts in
// resources/registry/ and the type library description in resources/typelib/ spell the same
// values out as text; a module test keeps them in step.
#pragma once

#include <guiddef.h>

// The band object's dual interface; it adds no members to IDispatch.
BF_DECLARE_IID(IBrackenfoldToolbar, "1777D013-7683-4F2B-895E-B9E0AD0D5039");

namespace Brackenfold {

// Class of the band object (CBrackenfoldToolbar).
inline constexpr CLSID CLSID_BrackenfoldToolbar = bf::make_guid("E513426E-5E44-4930-A20F-94329767E1A4");
// The type library "BrackenfoldLib" 1.0.
inline constexpr GUID LIBID_BrackenfoldLib = bf::make_guid("3ECB3377-20B6-45AB-AF7E-8811EE05A266");
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;
// The AppID is used only as text (replacement "APPID").
inline constexpr char16_t kAppIdText[] = u"{F882070A-48B2-424B-8BDE-E5BB8BD339BD}";

}  // namespace Brackenfold
