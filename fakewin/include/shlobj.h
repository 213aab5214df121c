// Stand-in for <shlobj.h>: special folders through item identifier lists and
// the shell's task allocator.
#ifndef FAKEWIN_SHLOBJ_H_
#define FAKEWIN_SHLOBJ_H_

#include <windows.h>

#define CSIDL_PROGRAMS 0x0002

typedef struct {
    BYTE abID[1];
} SHITEMID;
typedef struct {
    SHITEMID mkid;
} ITEMIDLIST, *LPITEMIDLIST;
typedef const ITEMIDLIST* LPCITEMIDLIST;

// The two methods of the shell allocator that programs call here; the real
// interface has more (QueryInterface, AddRef, Alloc, ...).
struct IMalloc {
    virtual void Free(void* block) = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IMalloc() = default;
};

HRESULT WINAPI SHGetMalloc(IMalloc** allocator);
HRESULT WINAPI SHGetSpecialFolderLocation(HWND owner, int folder, LPITEMIDLIST* list);
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path);

#endif  // FAKEWIN_SHLOBJ_H_
