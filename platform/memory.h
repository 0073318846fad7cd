// Memory calls of the buffer pool: the large-page size, the lock-memory
// privilege, physical pages mapped into a reserved range (AWE), and the
// aligned block with its lock.
//
// Here "physical pages" are anonymous shared memory, populated and locked;
// a page frame number names one page of it, and MapUserPhysicalPages maps
// those pages into a range that VirtualAlloc reserved with MEM_PHYSICAL.
#pragma once
#include "platform/types.h"

namespace win {

// The system's huge-page size; 0 when none is reported.
SIZE_T GetLargePageMinimum();

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;

struct LUID { DWORD LowPart; int32_t HighPart; };
struct LUID_AND_ATTRIBUTES { LUID Luid; DWORD Attributes; };
struct TOKEN_PRIVILEGES { DWORD PrivilegeCount; LUID_AND_ATTRIBUTES Privileges[1]; };

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// Knows "SeLockMemoryPrivilege" only.
BOOL LookupPrivilegeValueW(const wchar_t* system, const wchar_t* name, LUID* luid);
// Succeeds, and leaves ERROR_NOT_ALL_ASSIGNED as the last error when this
// process may not lock memory without a limit (neither the CAP_IPC_LOCK
// capability nor an unlimited locked-memory limit).
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* state,
                           DWORD length, TOKEN_PRIVILEGES* previous, DWORD* returned);

BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR* pages, ULONG_PTR* page_frames);
BOOL MapUserPhysicalPages(void* address, ULONG_PTR pages, ULONG_PTR* page_frames);  // NULL frames unmap
BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR* pages, ULONG_PTR* page_frames);

constexpr DWORD MEM_COMMIT = 0x00001000;
constexpr DWORD MEM_RESERVE = 0x00002000;
constexpr DWORD MEM_DECOMMIT = 0x00004000;
constexpr DWORD MEM_PHYSICAL = 0x00400000;
constexpr DWORD MEM_RELEASE = 0x00008000;
constexpr DWORD PAGE_NOACCESS = 0x01;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
void* VirtualAlloc(void* address, SIZE_T size, DWORD type, DWORD protect);
BOOL VirtualFree(void* address, SIZE_T size, DWORD type);
BOOL VirtualLock(void* address, SIZE_T size);
BOOL VirtualUnlock(void* address, SIZE_T size);
BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);  // best effort

constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
HANDLE GetProcessHeap();
void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void* mem);

void* _aligned_malloc(SIZE_T size, SIZE_T alignment);
void _aligned_free(void* mem);

}  // namespace win
