// Writing one entry of the root archive out to a file.
#ifndef TAMARIN_EXTRACT_H_
#define TAMARIN_EXTRACT_H_

#include <string>

// Writes the root archive's entry (never a plain file of that name) to
// destination. True on failure, after showing its own message box; throws
// nothing. The entry is streamed in chunks of at most 1 MiB to a file beside
// destination, named like it with a last "~" ("_" where destination ends in
// "~"), flushed and closed, and only then moved over destination: on any
// failure (damaged archive, full disk, destination held open or read-only)
// the temporary file is removed and an existing destination stays as it was.
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
