// Stand-in for <wintrust.h>: the parameter blocks of WinVerifyTrust, which
// the programs resolve at run time (fakewin::State scripts its result).
#ifndef FAKEWIN_WINTRUST_H_
#define FAKEWIN_WINTRUST_H_

#include <windows.h>

#define WTD_UI_NONE 2u
#define WTD_REVOKE_NONE 0u
#define WTD_CHOICE_FILE 1u
#define WTD_STATEACTION_VERIFY 1u
#define WTD_STATEACTION_CLOSE 2u
#define WTD_CACHE_ONLY_URL_RETRIEVAL 0x00001000u

typedef struct {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

typedef struct {
    DWORD cbStruct;
    LPCWSTR pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
} WINTRUST_FILE_INFO;

// Same field order as Windows.
typedef struct {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        WINTRUST_FILE_INFO* pFile;
        void* pOther;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
} WINTRUST_DATA;

#endif  // FAKEWIN_WINTRUST_H_
