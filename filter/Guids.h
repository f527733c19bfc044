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
