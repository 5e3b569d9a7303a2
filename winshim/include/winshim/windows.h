// Stand-ins for the slice of the Windows API that the plugin calls, for builds without Windows.
// Each function keeps the documented contract the plugin relies on and nothing more.
//
// Where Windows and Wine differ, these follow Windows, which is what players run, so that the
// native testbed shows what a player gets; the Windows build under Wine shows Wine's way:
//  - A UTF-8 byte-order mark (EF BB BF) at the start of a settings file: Windows' private-profile
//    functions take it for bytes of the first line, so a "[Settings]" there is no section and
//    every key under it goes unseen; Wine skips the mark. (A UTF-16 file with its mark is read by
//    both.) See profile.cpp.
//  - A file another handle holds open with no sharing: Windows and Wine both refuse other opens
//    of it, Linux has no share modes; the stand-ins keep them (fileapi.h).
//  - Wine's profile writer rewrites the whole file; Windows, and the stand-in, change only the
//    line they write.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using UINT = unsigned int;
using SIZE_T = std::size_t;
using DWORD64 = std::uint64_t;
using LPVOID = void*;
using LPCVOID = const void*;
using PDWORD = DWORD*;
using LPSTR = char*;
using LPCSTR = const char*;
using HWND = struct HWND__*;
using HANDLE = void*;
using HRESULT = std::int32_t;
using WCHAR = wchar_t;
using PWSTR = wchar_t*;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using HMODULE = struct HINSTANCE__*;
using HINSTANCE = HMODULE;
using FARPROC = std::intptr_t (*)();

// The Windows x64 convention is the only one there; elsewhere the platform's own.
#define WINAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

inline constexpr DWORD MEM_COMMIT = 0x1000;
inline constexpr DWORD MEM_RESERVE = 0x2000;
inline constexpr DWORD MEM_DECOMMIT = 0x4000;
inline constexpr DWORD MEM_RELEASE = 0x8000;
inline constexpr DWORD MEM_FREE = 0x10000;
inline constexpr DWORD MEM_PRIVATE = 0x20000;
inline constexpr DWORD MEM_IMAGE = 0x1000000;

inline constexpr DWORD PAGE_NOACCESS = 0x01;
inline constexpr DWORD PAGE_READONLY = 0x02;
inline constexpr DWORD PAGE_READWRITE = 0x04;
inline constexpr DWORD PAGE_WRITECOPY = 0x08;
inline constexpr DWORD PAGE_EXECUTE = 0x10;
inline constexpr DWORD PAGE_EXECUTE_READ = 0x20;
inline constexpr DWORD PAGE_EXECUTE_READWRITE = 0x40;
inline constexpr DWORD PAGE_EXECUTE_WRITECOPY = 0x80;
inline constexpr DWORD PAGE_GUARD = 0x100;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_BAD_ARGUMENTS = 160;
inline constexpr DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr bool SUCCEEDED(HRESULT result) {
    return result >= 0;
}

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using KNOWNFOLDERID = GUID;
using REFKNOWNFOLDERID = const KNOWNFOLDERID&;
inline constexpr KNOWNFOLDERID FOLDERID_Documents = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};
inline constexpr DWORD KF_FLAG_DEFAULT = 0;

inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x1;
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

inline constexpr UINT MB_OK = 0x0;
inline constexpr int IDOK = 1;

struct MEMORY_BASIC_INFORMATION {
    void* BaseAddress;
    void* AllocationBase;
    DWORD AllocationProtect;
    WORD PartitionId;
    SIZE_T RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
};
using PMEMORY_BASIC_INFORMATION = MEMORY_BASIC_INFORMATION*;
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48);

extern "C" {
SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer, SIZE_T length);
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);
BOOL VirtualProtect(LPVOID address, SIZE_T size, DWORD newProtect, PDWORD oldProtect);
DWORD GetLastError();
void SetLastError(DWORD error);
HMODULE GetModuleHandleA(LPCSTR moduleName);
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
SHORT GetKeyState(int virtualKey);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR buffer,
                               DWORD size, LPCSTR fileName);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName);
HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path);
void CoTaskMemFree(void* memory);
}

// --- Libraries and XInput: the controllers, through whichever XInput DLL is to be had ---

inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;

inline constexpr int VK_GAMEPAD_A = 0xC3;
inline constexpr int VK_GAMEPAD_B = 0xC4;
inline constexpr int VK_GAMEPAD_X = 0xC5;
inline constexpr int VK_GAMEPAD_Y = 0xC6;
inline constexpr int VK_GAMEPAD_RIGHT_SHOULDER = 0xC7;
inline constexpr int VK_GAMEPAD_LEFT_SHOULDER = 0xC8;
inline constexpr int VK_GAMEPAD_LEFT_TRIGGER = 0xC9;
inline constexpr int VK_GAMEPAD_RIGHT_TRIGGER = 0xCA;
inline constexpr int VK_GAMEPAD_DPAD_UP = 0xCB;
inline constexpr int VK_GAMEPAD_DPAD_DOWN = 0xCC;
inline constexpr int VK_GAMEPAD_DPAD_LEFT = 0xCD;
inline constexpr int VK_GAMEPAD_DPAD_RIGHT = 0xCE;
inline constexpr int VK_GAMEPAD_MENU = 0xCF;
inline constexpr int VK_GAMEPAD_VIEW = 0xD0;
inline constexpr int VK_GAMEPAD_LEFT_THUMBSTICK_BUTTON = 0xD1;
inline constexpr int VK_GAMEPAD_RIGHT_THUMBSTICK_BUTTON = 0xD2;
inline constexpr int VK_GAMEPAD_LEFT_THUMBSTICK_UP = 0xD3;
inline constexpr int VK_GAMEPAD_LEFT_THUMBSTICK_DOWN = 0xD4;
inline constexpr int VK_GAMEPAD_LEFT_THUMBSTICK_RIGHT = 0xD5;
inline constexpr int VK_GAMEPAD_LEFT_THUMBSTICK_LEFT = 0xD6;
inline constexpr int VK_GAMEPAD_RIGHT_THUMBSTICK_UP = 0xD7;
inline constexpr int VK_GAMEPAD_RIGHT_THUMBSTICK_DOWN = 0xD8;
inline constexpr int VK_GAMEPAD_RIGHT_THUMBSTICK_RIGHT = 0xD9;
inline constexpr int VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT = 0xDA;

inline constexpr WORD XINPUT_GAMEPAD_DPAD_UP = 0x0001;
inline constexpr WORD XINPUT_GAMEPAD_DPAD_DOWN = 0x0002;
inline constexpr WORD XINPUT_GAMEPAD_DPAD_LEFT = 0x0004;
inline constexpr WORD XINPUT_GAMEPAD_DPAD_RIGHT = 0x0008;
inline constexpr WORD XINPUT_GAMEPAD_START = 0x0010;
inline constexpr WORD XINPUT_GAMEPAD_BACK = 0x0020;
inline constexpr WORD XINPUT_GAMEPAD_LEFT_THUMB = 0x0040;
inline constexpr WORD XINPUT_GAMEPAD_RIGHT_THUMB = 0x0080;
inline constexpr WORD XINPUT_GAMEPAD_LEFT_SHOULDER = 0x0100;
inline constexpr WORD XINPUT_GAMEPAD_RIGHT_SHOULDER = 0x0200;
inline constexpr WORD XINPUT_GAMEPAD_A = 0x1000;
inline constexpr WORD XINPUT_GAMEPAD_B = 0x2000;
inline constexpr WORD XINPUT_GAMEPAD_X = 0x4000;
inline constexpr WORD XINPUT_GAMEPAD_Y = 0x8000;
inline constexpr int XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE = 7849;
inline constexpr int XINPUT_GAMEPAD_RIGHT_THUMB_DEADZONE = 8689;
inline constexpr int XINPUT_GAMEPAD_TRIGGER_THRESHOLD = 30;

struct XINPUT_GAMEPAD {
    WORD wButtons;
    BYTE bLeftTrigger;
    BYTE bRightTrigger;
    SHORT sThumbLX;
    SHORT sThumbLY;
    SHORT sThumbRX;
    SHORT sThumbRY;
};
struct XINPUT_STATE {
    DWORD dwPacketNumber;
    XINPUT_GAMEPAD Gamepad;
};
static_assert(sizeof(XINPUT_STATE) == 16);

// --- File attributes ---

inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel };

extern "C" {
HMODULE LoadLibraryW(LPCWSTR fileName);
HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
HMODULE GetModuleHandleW(LPCWSTR moduleName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL GetFileAttributesExA(LPCSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information);
}

// The file functions, in a header of their own.
#include "winshim/fileapi.h"
