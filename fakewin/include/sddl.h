// Stand-in for <sddl.h>: security descriptors from their string form. The
// stand-in's descriptor keeps the string, so tests can read it back.
#ifndef FAKEWIN_SDDL_H_
#define FAKEWIN_SDDL_H_

#include <windows.h>

#define SDDL_REVISION_1 1u

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG size);

#endif  // FAKEWIN_SDDL_H_
