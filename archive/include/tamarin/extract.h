// Writing one entry of the root archive out to a file.
#ifndef TAMARIN_EXTRACT_H_
#define TAMARIN_EXTRACT_H_

#include <string>

// Writes the entry (a plain file of that name first, else the root
// archive's entry) to destination. True on failure, after showing its own message box.
// The entry is read whole before the destination is created, so a damaged
// archive never truncates an existing file; a failed write removes the
// partial file.
// Texts of its message boxes, Shift-JIS (code page 932).
// "こばる川柳スクリーンセーバー", the product's title.
extern const char kProductTitle[];
// "インストーラが壊れています。": the entry is missing or cannot be read whole.
extern const char kBrokenInstallerText[];
// "システムフォルダに書き込みできません。": the destination cannot be written.
extern const char kCannotWriteText[];

// Shows text in a message box under the product's title, owned by the top
// child of the foreground window, style MB_OK.
void ShowProductMessage(const char* text);

bool ExtractEntry(const std::string& destination, const std::string& entryName);

#endif  // TAMARIN_EXTRACT_H_
