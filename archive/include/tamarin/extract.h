// Writing one entry of the root archive out to a file.
#ifndef TAMARIN_EXTRACT_H_
#define TAMARIN_EXTRACT_H_

#include <cstdint>
#include <functional>
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

// Takes a chunk of an entry (at most 1 MiB); true when it could not be
// written.
typedef std::function<bool(const unsigned char* data, uint32_t size)> ChunkWriter;

// Hands the root archive's entry to write, in order and in chunks, for a
// caller that writes to a file it has made itself. True on failure, after
// the same message boxes as ExtractEntry ("システムフォルダに書き込みできません。"
// when write fails); what was written by then is the caller's to remove.
bool ExtractEntryTo(const std::string& entryName, const ChunkWriter& write);

#endif  // TAMARIN_EXTRACT_H_
