// Win32 types, constants and structures for files, disks, volumes, processes, messages and the
// shell (winbase.h, winioctl.h, dbt.h, shellapi.h, rpcdce.h). On Windows they come from the SDK;
// on Linux they are defined here with the SDK's values and its 32-bit binary layouts. The layouts
// that the system fills byte by byte are checked on both backends at the end.
#pragma once

#include "platform/win32_types.h"

#ifdef _WIN32

#include <dbt.h>
#include <rpc.h>
#include <shellapi.h>

#else  // emulated machine

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using UUID = GUID;
using RPC_STATUS = LONG;
constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_UUID_LOCAL_ONLY = 1824;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

constexpr DWORD MAX_PATH = 260;

// Locale settings (winnls.h).
using LCTYPE = DWORD;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCTYPE LOCALE_SDECIMAL = 0x0000000E;
constexpr LCTYPE LOCALE_STHOUSAND = 0x0000000F;

// Files (winbase.h, winnt.h).
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// Drive types (winbase.h).
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

// Volume information flags (winnt.h).
constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x00000001;
constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x00000002;
constexpr DWORD FILE_UNICODE_ON_DISK = 0x00000004;
constexpr DWORD FILE_PERSISTENT_ACLS = 0x00000008;

// Device control codes (winioctl.h).
constexpr DWORD IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x00070000;
constexpr DWORD IOCTL_DISK_GET_DRIVE_LAYOUT_EX = 0x00070050;
constexpr DWORD IOCTL_DISK_SET_DRIVE_LAYOUT_EX = 0x0007C054;
constexpr DWORD IOCTL_DISK_UPDATE_PROPERTIES = 0x00070140;
constexpr DWORD IOCTL_DISK_GET_LENGTH_INFO = 0x0007405C;
constexpr DWORD IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = 0x00560000;
constexpr DWORD FSCTL_LOCK_VOLUME = 0x00090018;
constexpr DWORD FSCTL_UNLOCK_VOLUME = 0x0009001C;
constexpr DWORD FSCTL_DISMOUNT_VOLUME = 0x00090020;

enum MEDIA_TYPE : int {
  Unknown = 0,
  RemovableMedia = 11,
  FixedMedia = 12,
};

struct DISK_GEOMETRY {
  LARGE_INTEGER Cylinders;
  MEDIA_TYPE MediaType;
  DWORD TracksPerCylinder;
  DWORD SectorsPerTrack;
  DWORD BytesPerSector;
};

struct GET_LENGTH_INFORMATION {
  LARGE_INTEGER Length;
};

enum PARTITION_STYLE : int {
  PARTITION_STYLE_MBR = 0,
  PARTITION_STYLE_GPT = 1,
  PARTITION_STYLE_RAW = 2,
};

struct PARTITION_INFORMATION_MBR {
  BYTE PartitionType;
  BOOLEAN BootIndicator;
  BOOLEAN RecognizedPartition;
  DWORD HiddenSectors;
  GUID PartitionId;
};

struct PARTITION_INFORMATION_GPT {
  GUID PartitionType;
  GUID PartitionId;
  DWORD64 Attributes;
  char16_t Name[36];  // UTF-16, as WCHAR on Windows
};

struct PARTITION_INFORMATION_EX {
  PARTITION_STYLE PartitionStyle;
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER PartitionLength;
  DWORD PartitionNumber;
  BOOLEAN RewritePartition;
  BOOLEAN IsServicePartition;
  union {
    PARTITION_INFORMATION_MBR Mbr;
    PARTITION_INFORMATION_GPT Gpt;
  };
};

struct DRIVE_LAYOUT_INFORMATION_MBR {
  DWORD Signature;
  DWORD CheckSum;
};

struct DRIVE_LAYOUT_INFORMATION_GPT {
  GUID DiskId;
  LARGE_INTEGER StartingUsableOffset;
  LARGE_INTEGER UsableLength;
  DWORD MaxPartitionCount;
};

struct DRIVE_LAYOUT_INFORMATION_EX {
  DWORD PartitionStyle;
  DWORD PartitionCount;
  union {
    DRIVE_LAYOUT_INFORMATION_MBR Mbr;
    DRIVE_LAYOUT_INFORMATION_GPT Gpt;
  };
  PARTITION_INFORMATION_EX PartitionEntry[1];
};

struct DISK_EXTENT {
  DWORD DiskNumber;
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER ExtentLength;
};

struct VOLUME_DISK_EXTENTS {
  DWORD NumberOfDiskExtents;
  DISK_EXTENT Extents[1];
};

// MBR partition types (winioctl.h, ntdddisk.h).
constexpr BYTE PARTITION_ENTRY_UNUSED = 0x00;
constexpr BYTE PARTITION_FAT_12 = 0x01;
constexpr BYTE PARTITION_FAT_16 = 0x04;
constexpr BYTE PARTITION_EXTENDED = 0x05;
constexpr BYTE PARTITION_HUGE = 0x06;
constexpr BYTE PARTITION_IFS = 0x07;
constexpr BYTE PARTITION_FAT32 = 0x0B;
constexpr BYTE PARTITION_FAT32_XINT13 = 0x0C;
constexpr BYTE PARTITION_XINT13 = 0x0E;
constexpr BYTE PARTITION_XINT13_EXTENDED = 0x0F;

// Processes (winbase.h, processthreadsapi.h).
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STILL_ACTIVE = 259;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

// Messages (winuser.h, dbt.h).
struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
constexpr int GWLP_WNDPROC = -4;

constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_CONFIGCHANGED = 0x0018;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_VOLUME = 0x00000002;
constexpr WORD DBTF_MEDIA = 0x0001;
constexpr WORD DBTF_NET = 0x0002;

struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};

struct DEV_BROADCAST_VOLUME {
  DWORD dbcv_size;
  DWORD dbcv_devicetype;
  DWORD dbcv_reserved;
  DWORD dbcv_unitmask;
  WORD dbcv_flags;
};

// The shell's file operation (shellapi.h).
using FILEOP_FLAGS = WORD;
constexpr UINT FO_MOVE = 0x0001;
constexpr UINT FO_COPY = 0x0002;
constexpr UINT FO_DELETE = 0x0003;
constexpr UINT FO_RENAME = 0x0004;
constexpr FILEOP_FLAGS FOF_MULTIDESTFILES = 0x0001;
constexpr FILEOP_FLAGS FOF_SILENT = 0x0004;
constexpr FILEOP_FLAGS FOF_NOCONFIRMATION = 0x0010;
constexpr FILEOP_FLAGS FOF_ALLOWUNDO = 0x0040;
constexpr FILEOP_FLAGS FOF_FILESONLY = 0x0080;
constexpr FILEOP_FLAGS FOF_NOCONFIRMMKDIR = 0x0200;
constexpr FILEOP_FLAGS FOF_NOERRORUI = 0x0400;

// Errors the shell's file operation returns besides Win32 codes (its DE_ values).
constexpr int DE_SAMEFILE = 0x71;
constexpr int DE_INVALIDFILES = 0x7C;
constexpr int DE_DESTSUBTREE = 0x76;
constexpr int DE_ROOTDIR = 0x78;
constexpr int DE_ERROR_MAX = 0xB7;
constexpr int DE_PATHNOTFOUND_OR_ERRORONDEST = 0x10000;

#endif  // _WIN32

namespace win {

// The shell's file operation at the seam: the fields of SHFILEOPSTRUCTW, with pFrom and pTo as
// UTF-8 lists of paths, each path followed by a zero byte and the list by one more.
struct ShellFileOperation {
  HWND hwnd = nullptr;
  UINT wFunc = 0;
  const char* pFrom = nullptr;
  const char* pTo = nullptr;
  FILEOP_FLAGS fFlags = 0;
  BOOL fAnyOperationsAborted = FALSE;
};

}  // namespace win

// Layouts the system fills byte by byte: the same on both backends.
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(DISK_GEOMETRY) == 24);
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == 32);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionNumber) == 24);
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_EX) == 48 + 144);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48);
static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32);
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20);
static_assert(sizeof(((PARTITION_INFORMATION_GPT*)nullptr)->Name) == 72);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(STARTUPINFOW) == 68);
#endif
