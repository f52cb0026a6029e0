// The host tests' stand-in band object: a class id of its own, registered in a test hive.
#pragma once

#include <guiddef.h>

inline constexpr CLSID CLSID_FakeBand = bf::make_guid("5D0C6E2A-7B41-4F3C-9E8D-2A61B0C4F7E3");
inline constexpr const char* kFakeBandClsidText = "{5D0C6E2A-7B41-4F3C-9E8D-2A61B0C4F7E3}";
