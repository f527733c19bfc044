// Identifiers of the filter's COM classes and of the interfaces and property sets it uses.
#pragma once
#include <windows.h>
#include <objbase.h>

// The filter class, the only class the module serves.
// {B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}
constexpr CLSID CLSID_PellucidorFilter = {0xB32C2A21, 0x8912, 0x48d0, {0xB3, 0x1D, 0xD9, 0x9C, 0xE9, 0xB5, 0xFC, 0x7C}};
// The persistent handler that links .rar to the filter class.
// {1D77BAD8-8F6A-4977-947E-133D5DEC961C}
constexpr CLSID CLSID_PellucidorPersistentHandler = {0x1D77BAD8, 0x8F6A, 0x4977, {0x94, 0x7E, 0x13, 0x3D, 0x5D, 0xEC, 0x96, 0x1C}};
// The RAR document class.
// {65A63621-E82A-480d-87FB-EC98F151FBD2}
constexpr CLSID CLSID_RarDocument = {0x65A63621, 0xE82A, 0x480d, {0x87, 0xFB, 0xEC, 0x98, 0xF1, 0x51, 0xFB, 0xD2}};

// Property sets of the filter's own chunks.
// {F29F85E0-4FF9-1068-AB91-08002B27B3D9}: summary information (the archive's title).
constexpr GUID PROPSET_SUMMARY_INFORMATION = {0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}};
// {B725F130-47EF-101A-A5F1-02608C9EEBAC}: storage (an entry's name).
constexpr GUID PROPSET_STORAGE = {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}};

// IID_IFilter in registry form: the name of a persistent handler's entry for its filter class.
constexpr const wchar_t *IID_IFILTER_KEY = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";
